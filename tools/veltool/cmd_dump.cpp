// veltool dump FILE [--json] [--deleted]: every record of a table with each
// field read as text (memo fields give their memo text).
//
// Plain output: one record a line, the record number first (followed by "*"
// for a deleted record), then the fields, tab-separated; backslash, tab,
// line feed and carriage return inside a value are written as \\, \t, \n, \r.
// --json: one object a line, {"recno":N,"deleted":false,"fields":{...}}.
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "platform/text.h"
#include "tables/hx6_dbf.h"
#include "veltool.h"

namespace {

std::string EscapePlain(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

struct Options {
  std::string file;
  bool json = false;
  bool deleted = false;
};

// JSON keys must be unique: a second field of the same name is keyed
// "NAME_2" (the next free suffix), so no parser silently drops a field.
std::vector<std::string> UniqueKeys(const std::vector<std::string>& names) {
  std::vector<std::string> keys;
  std::set<std::string> used(names.begin(), names.end());
  std::set<std::string> seen;
  for (const auto& n : names) {
    std::string key = n;
    if (!seen.insert(n).second) {
      for (int k = 2;; ++k) {
        key = n + "_" + std::to_string(k);
        if (!used.count(key)) break;
      }
      used.insert(key);
    }
    keys.push_back(key);
  }
  return keys;
}

int RunDump(const Options& o) {
  HXO_dBaseFld t(veltool::ToEnginePath(o.file), true, false);
  std::vector<std::string> names;
  for (int i = 1; i <= t.FieldCount(); ++i) names.push_back(veltool::FromAnsi(t.FieldName(i)));
  const std::vector<std::string> keys = UniqueKeys(names);
  std::string line, value;
  const int64_t count = t.RecordCount();
  for (int64_t recno = 1; recno <= count; ++recno) {
    t.GetRecord(recno);
    if (t.Eof()) break;  // the table became shorter meanwhile
    const bool isDeleted = t.RecordBuffer()[0] != ' ';
    if (isDeleted && !o.deleted) continue;
    if (o.json) {
      veltool::Json fields = veltool::Json::object();
      for (int i = 1; i <= t.FieldCount(); ++i) {
        t.GetString(i, value);
        fields[keys[static_cast<size_t>(i - 1)]] = veltool::FromAnsi(value);
      }
      veltool::Json rec;
      rec["recno"] = recno;
      rec["deleted"] = isDeleted;
      rec["fields"] = std::move(fields);
      veltool::PrintJson(rec);
      continue;
    }
    line = std::to_string(recno);
    if (isDeleted) line += '*';
    for (int i = 1; i <= t.FieldCount(); ++i) {
      t.GetString(i, value);
      line += '\t';
      line += EscapePlain(veltool::FromAnsi(value));
    }
    line += '\n';
    std::cout << line;
  }
  return 0;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd =
      veltool::AddCommand(app, "dump", "every record of a table, one a line", [o] { return RunDump(*o); });
  cmd->add_option("FILE", o->file, "the table (.dbf)")->required();
  veltool::AddJsonFlag(cmd, o->json);
  cmd->add_flag("--deleted", o->deleted, "include deleted records (marked * / \"deleted\":true)");
}

}  // namespace

VELTOOL_COMMAND("dump", Setup);
