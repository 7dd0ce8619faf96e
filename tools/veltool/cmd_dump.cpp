// veltool dump FILE [--json] [--deleted]: every record of a table with each
// field read as text (memo fields give their memo text).
//
// Plain output: one record a line, the record number first (followed by "*"
// for a deleted record), then the fields, tab-separated; backslash, tab,
// line feed and carriage return inside a value are written as \\, \t, \n, \r.
// --json: one object a line, {"recno":N,"deleted":false,"fields":{...}}.
//
// With --index, --tag, --filter or --seek the records come through the table
// handler: --index opens index files (a name without folder is looked for
// beside the table), --tag walks in that tag's order, --filter keeps the
// records for which a dBase expression is true, --seek starts at the first
// record whose key in --tag begins with KEY and stops after the last one.
#include <iostream>
#include <memory>
#include <set>
#include <string>

#include "platform/text.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_dbsy.h"
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
  std::vector<std::string> indexes;
  std::string tag;
  std::string filter;
  std::string seek;
  bool seeking = false;
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

// Writes the current record of `t` as one line.
void PrintRecord(HXO_dBaseFld& t, int64_t recno, const std::vector<std::string>& keys, const Options& o) {
  std::string value;
  const bool isDeleted = t.RecordBuffer()[0] != ' ';
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
    return;
  }
  std::string line = std::to_string(recno);
  if (isDeleted) line += '*';
  for (int i = 1; i <= t.FieldCount(); ++i) {
    t.GetString(i, value);
    line += '\t';
    line += EscapePlain(veltool::FromAnsi(value));
  }
  line += '\n';
  std::cout << line;
}

std::vector<std::string> FieldKeys(HXO_dBaseFld& t) {
  std::vector<std::string> names;
  for (int i = 1; i <= t.FieldCount(); ++i) names.push_back(veltool::FromAnsi(t.FieldName(i)));
  return UniqueKeys(names);
}

// Through the table handler: index order, filter, seek.
int RunHandlerDump(const Options& o) {
  HXO_dBHandler h(veltool::ToEnginePath(o.file), true, false);
  const std::vector<std::string> keys = FieldKeys(h);
  h.SetUseDeleted(o.deleted);
  for (const std::string& index : o.indexes) {
    // A bare name is the table's neighbour; anything with a folder is a path.
    const bool bare = index.find_first_of("/\\:") == std::string::npos;
    h.OpenIndex(bare ? index : veltool::ToEnginePath(index));
  }
  if (!o.tag.empty())
    h.SelectTag(o.tag, false);
  else
    h.SetBuffering(true);
  if (!o.filter.empty()) {
    h.SetFilterActive(true);
    h.SetFilter(o.filter, false, true);
  }
  if (o.seeking) {
    if (!h.SeekKey(o.seek)) return 0;  // no such key: no records
  } else {
    h.GetRecord(kGetFirst);
  }
  while (h.RecordValid()) {
    if (o.seeking && !h.CurrentKeyMatches(o.seek)) break;
    PrintRecord(h, h.RecNo(), keys, o);
    h.GetRecord(kGetNext);
  }
  return 0;
}

int RunDump(const Options& o) {
  if (!o.indexes.empty() || !o.filter.empty()) return RunHandlerDump(o);
  HXO_dBaseFld t(veltool::ToEnginePath(o.file), true, false);
  const std::vector<std::string> keys = FieldKeys(t);
  const int64_t count = t.RecordCount();
  for (int64_t recno = 1; recno <= count; ++recno) {
    t.GetRecord(recno);
    if (t.Eof()) break;  // the table became shorter meanwhile
    if (t.RecordBuffer()[0] != ' ' && !o.deleted) continue;
    PrintRecord(t, recno, keys, o);
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
  CLI::Option* index = cmd->add_option(
      "--index", o->indexes, "open this index file (repeatable; a name without folder is beside the table)");
  CLI::Option* tag = cmd->add_option("--tag", o->tag, "walk in the order of this tag of the --index files");
  tag->needs(index);
  cmd->add_option("--filter", o->filter, "only the records for which this dBase expression is true");
  cmd->add_option("--seek", o->seek, "only the records whose key in --tag begins with KEY")
      ->needs(tag)
      ->each([o](const std::string&) { o->seeking = true; });
}

}  // namespace

VELTOOL_COMMAND("dump", Setup);
