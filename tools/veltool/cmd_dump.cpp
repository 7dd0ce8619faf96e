// veltool dump FILE [--json] [--deleted]: every record of a table with each
// field read as text (memo fields give their memo text).
//
// Plain output: one record a line, the record number first (followed by "*"
// for a deleted record), then the fields, tab-separated; backslash, tab,
// line feed and carriage return inside a value are written as \\, \t, \n, \r.
// --json: one object a line, {"recno":N,"deleted":false,"fields":{...}}.
#include <iostream>
#include <string>

#include "platform/text.h"
#include "tables/hx6_dbf.h"
#include "veltool.h"

namespace {

constexpr const char* kUsage = "usage: veltool dump FILE [--json] [--deleted]\n";

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

int RunDump(const std::vector<std::string>& args) {
  std::string file;
  bool json = false, deleted = false;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--deleted") {
      deleted = true;
    } else if (file.empty() && !a.empty() && a[0] != '-') {
      file = a;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  if (file.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    HXO_dBaseFld t(veltool::ToEnginePath(file), true, false);
    std::vector<std::string> names;
    for (int i = 1; i <= t.FieldCount(); ++i) names.push_back(platform::AnsiToUtf8(t.FieldName(i)));
    std::string line, value;
    const int64_t count = t.RecordCount();
    for (int64_t recno = 1; recno <= count; ++recno) {
      t.GetRecord(recno);
      if (t.Eof()) break;  // the table became shorter meanwhile
      const bool isDeleted = t.RecordBuffer()[0] != ' ';
      if (isDeleted && !deleted) continue;
      line.clear();
      if (json) {
        line += "{\"recno\":" + std::to_string(recno) + ",\"deleted\":" + (isDeleted ? "true" : "false") +
                ",\"fields\":{";
      } else {
        line += std::to_string(recno);
        if (isDeleted) line += '*';
      }
      for (int i = 1; i <= t.FieldCount(); ++i) {
        t.GetString(i, value);
        const std::string utf8 = platform::AnsiToUtf8(value);
        if (json) {
          if (i > 1) line += ',';
          line += veltool::JsonString(names[static_cast<size_t>(i - 1)]) + ":" + veltool::JsonString(utf8);
        } else {
          line += '\t';
          line += EscapePlain(utf8);
        }
      }
      if (json) line += "}}";
      line += '\n';
      std::cout << line;
    }
    std::cout.flush();
    return 0;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "veltool dump: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

VELTOOL_COMMAND("dump", "dump FILE [--json] [--deleted]   every record, fields as text", RunDump);
