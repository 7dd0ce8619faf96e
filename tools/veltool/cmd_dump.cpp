// veltool dump FILE [--json] [--deleted] [--codepage N]: every record of a
// table, each field typed by its field type (see FieldValue in
// table_text.h) and its text decoded from the table's code page.
//
// Plain output: one record a line, the record number first (followed by "*"
// for a deleted record), then the fields, tab-separated; backslash, tab,
// line feed and carriage return inside a value are written as \\, \t, \n, \r;
// NULL (also an empty date, a blank number or logical, no memo) is an empty
// field; dates yyyy-mm-dd, date-times yyyy-mm-ddThh:mm:ss;
// binary memos "<N bytes>"; bytes that are no text \x{hex}.
// --json: one object a line, {"recno":N,"deleted":false,"fields":{...}}: text
// as strings, numbers as numbers, logicals as true/false, NULL and empty
// dates as null, binary memos as {"size":N}, bytes as {"hex":"..."}. A
// second field of the same name is keyed NAME_2.
//
// A value that cannot be read (a bad memo block, a number that is no number)
// is NULL; the engine's message goes to stderr and the exit status is 1 once
// every record is written.
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

#include "table_text.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_dbsy.h"
#include "tables/hx6_memo.h"
#include "veltool.h"

namespace {

struct Options {
  std::string file;
  bool json = false;
  bool deleted = false;
  int codePage = 0;
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

// Writes the table's records one a line, in the order `next` gives them:
// `next(first)` positions on the first (true) or the following record and
// answers false when there is none.
template <typename Next>
int DumpRecords(HXO_dBaseFld& t, const Options& o, Next next) {
  // A missing memo file is the table's failure, not one of each record.
  if (t.HasMemo()) t.MemoFile();
  const veltool::TableText text(veltool::ChooseCodePage(t, o.codePage).page);
  const veltool::ValueReader reader(t, text);
  std::vector<std::string> names;
  for (int n : reader.Columns()) names.push_back(reader.Name(n));
  const std::vector<std::string> keys = UniqueKeys(names);

  int problems = 0;
  std::string line, problem;
  for (bool first = true; next(first); first = false) {
    const int64_t recno = t.RecNo();
    const bool isDeleted = t.RecordBuffer()[0] != ' ';
    veltool::Json fields = veltool::Json::object();
    line = std::to_string(recno);
    if (isDeleted) line += '*';
    for (size_t c = 0; c < reader.Columns().size(); ++c) {
      const int n = reader.Columns()[c];
      const veltool::FieldValue v = reader.Read(n, problem);
      if (!problem.empty()) {
        ++problems;
        std::cout.flush();
        std::cerr << "veltool dump: record " << recno << " field " << names[c] << ": "
                  << veltool::FromAnsi(problem) << "\n";
      }
      if (o.json) {
        fields[keys[c]] = veltool::ToJson(v);
      } else {
        line += '\t';
        line += veltool::ToPlain(v);
      }
    }
    if (o.json) {
      veltool::Json rec;
      rec["recno"] = recno;
      rec["deleted"] = isDeleted;
      rec["fields"] = std::move(fields);
      veltool::PrintJson(rec);
    } else {
      line += '\n';
      std::cout << line;
    }
  }
  return problems == 0 ? 0 : 1;
}

// Through the table handler: index order, filter, seek.
int RunHandlerDump(const Options& o) {
  HXO_dBHandler h(veltool::ToEnginePath(o.file), true, false);
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
  return DumpRecords(h, o, [&](bool first) {
    if (first) {
      if (o.seeking) {
        if (!h.SeekKey(o.seek)) return false;  // no such key: no records
      } else {
        h.GetRecord(kGetFirst);
      }
    } else {
      h.GetRecord(kGetNext);
    }
    return h.RecordValid() && (!o.seeking || h.CurrentKeyMatches(o.seek));
  });
}

int RunDump(const Options& o) {
  if (!o.indexes.empty() || !o.filter.empty()) return RunHandlerDump(o);
  HXO_dBaseFld t(veltool::ToEnginePath(o.file), true, false);
  int64_t recno = 0;
  return DumpRecords(t, o, [&](bool) {
    for (;;) {
      if (++recno > t.RecordCount()) return false;
      t.GetRecord(recno);
      if (t.Eof()) return false;  // the table became shorter meanwhile
      if (o.deleted || t.RecordBuffer()[0] == ' ') return true;
    }
  });
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd =
      veltool::AddCommand(app, "dump", "every record of a table, one a line", [o] { return RunDump(*o); });
  cmd->add_option("FILE", o->file, "the table (.dbf)")->required();
  veltool::AddJsonFlag(cmd, o->json);
  cmd->add_flag("--deleted", o->deleted, "include deleted records (marked * / \"deleted\":true)");
  veltool::AddCodePageOption(cmd, o->codePage);
  CLI::Option* index = cmd->add_option(
      "--index", o->indexes, "open this index file (repeatable; a name without folder is beside the table)");
  CLI::Option* tag = cmd->add_option("--tag", o->tag, "walk in the order of this tag of the --index files");
  tag->needs(index);
  cmd->add_option("--filter", o->filter, "only the records for which this dBase expression is true");
  cmd->add_option("--seek", o->seek, "only the records whose key in --tag begins with KEY")
      ->needs(tag)
      ->each([o](const std::string&) { o->seeking = true; });
  cmd->footer(
      "Fields by type: C V text; N F I numbers; Y currency (4 decimals); B double (Visual FoxPro); D "
      "yyyy-mm-dd; T yyyy-mm-ddThh:mm:ss; L T/F (true/false); M memo text; G B W memo size. NULL (from "
      "_NullFlags), empty dates, blank numbers and logicals, and missing memos are empty (null).");
}

}  // namespace

VELTOOL_COMMAND("dump", Setup);
