// veltool index TABLE INDEXFILE [--tag NAME] [--create NAME KEY [--for EXPR]
//   [--unique] [--descending]] [--delete-tag NAME] [--reindex] [--check] [--json]
//
// The tags of an index file (CDX, MDX, NDX or NTX, by extension): name, key and FOR expressions, unique,
// descending, key type and length, collation. Changes run first, in the
// order --delete-tag, --create, --reindex (the table and index are then
// opened for writing, exclusively; --create makes a missing MDX, NDX or NTX
// file, whose one tag (NDX, NTX) is named after the file). --tag walks one tag printing each key
// (text, or hex for binary keys) and its record number. --check verifies the
// whole file: key order, sibling links both ways, the free-byte count of every
// leaf, and every record of the table present exactly once in each tag whose
// FOR condition it passes; it prints what it found and ends with status 1
// when it found a problem.
//
// Plain output: the tag list, one tag a line (name, type, length, unique,
// order, collation, key, FOR), tab-separated; with --tag the walk, one key a
// line (key, record number); with --check one line per tag and per problem,
// then a verdict. --json: one document with the same content.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "index/hx6_cdx.h"
#include "index/hx6_indx.h"
#include "index/hx6_xidx.h"
#include "table_text.h"
#include "tables/hx6_dbf.h"
#include "veltool.h"

namespace {

struct Options {
  std::string table;
  std::string index;
  std::string tag;
  std::vector<std::string> create;  // NAME KEY
  std::string forExpression;
  bool unique = false;
  bool descending = false;
  std::string deleteTag;
  bool reindex = false;
  bool check = false;
  bool json = false;
  int codePage = 0;
};

// A progress bar on stdout while a tag is built (terminal only).
class ProgressTable : public HXO_dBaseFld {
 public:
  ProgressTable(const std::string& name, bool shared, bool readWrite, bool bar)
      : HXO_dBaseFld(name, shared, readWrite), bar_(bar) {}
  void EventHook(int phase, int position, int total) override {
    if (!bar_) return;
    if (phase == -1) {
      step_ = position;
      total_ = std::max(total, 1);
      last_ = -1;
      return;
    }
    if (phase == 0) {
      std::fprintf(stdout, "\r%60s\r", "");
      std::fflush(stdout);
      return;
    }
    const int pct = static_cast<int>(int64_t{position} * 100 / total_);
    if (pct == last_) return;
    last_ = pct;
    std::string s(20, ' ');
    for (int i = 0; i < pct / 5 && i < 20; ++i) s[static_cast<size_t>(i)] = '#';
    std::fprintf(stdout, "\r%s [%s] %3d%%", step_ == 1 ? "reading" : "writing", s.c_str(),
                 std::min(pct, 100));
    std::fflush(stdout);
  }

 private:
  bool bar_;
  int step_ = 0;
  int total_ = 1;
  int last_ = -1;
};

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

// Character keys are shown as text in the table's code page; keys of other
// types, and keys holding bytes that are no text, in hex.
bool KeyAsText(const HXobjIndexTag& tag, const veltool::TableText& text, std::string_view key,
               std::string& utf8) {
  if (tag.KeyType() != hxKeyCharacter || !tag.Orderable()) return false;
  for (unsigned char c : key)
    if (c < 0x20) return false;
  return text.Decode(key, utf8);
}

std::string Collation(const HXobjIndexTag& tag) {
  if (auto* cdx = dynamic_cast<const HXobjCDXTag*>(&tag)) {
    switch (cdx->Collation()) {
      case hxCollationGeneral:
        return "general";
      case hxCollationMachine:
        return "machine";
      default:
        return "none";
    }
  }
  return "none";
}

std::string TypeName(char type) { return std::string(1, type); }

// NTX and MDX tags keep descending keys in descending order on disk.
bool IsDescending(const HXobjIndexTag& tag) {
  if (auto* plain = dynamic_cast<const HXobjPlainTag*>(&tag)) return plain->StoredDescending();
  return tag.Descending();
}

veltool::Json TagJson(const HXobjIndexTag& tag) {
  veltool::Json t;
  t["name"] = veltool::FromAnsi(tag.Name());
  t["key"] = veltool::FromAnsi(tag.KeyExpression());
  t["for"] = tag.HasFor() ? veltool::Json(veltool::FromAnsi(tag.ForExpression())) : veltool::Json(nullptr);
  t["unique"] = tag.Unique();
  t["kind"] = tag.KindText();
  t["descending"] = IsDescending(tag);
  t["type"] = TypeName(tag.KeyType());
  t["length"] = tag.KeyLength();
  t["collation"] = Collation(tag);
  if (!tag.Orderable()) t["not_orderable"] = veltool::FromAnsi(tag.NotOrderableReason());
  return t;
}

std::string TagLine(const HXobjIndexTag& tag) {
  std::string line = veltool::FromAnsi(tag.Name()) + "\t" + TypeName(tag.KeyType()) + "\t" +
                     std::to_string(tag.KeyLength()) + "\t" + (tag.Unique() ? "unique" : "-") + "\t" +
                     (IsDescending(tag) ? "descending" : "ascending") + "\t" + Collation(tag) + "\t" +
                     veltool::FromAnsi(tag.KeyExpression()) + "\t" +
                     (tag.HasFor() ? veltool::FromAnsi(tag.ForExpression()) : std::string());
  return line;
}

int RunIndex(const Options& o) {
  const bool writing = !o.create.empty() || !o.deleteTag.empty() || o.reindex;
  const bool bar = veltool::StdoutIsTerminal() && !o.json;
  // Changes need the files to themselves; reading lets others in.
  ProgressTable table(veltool::ToEnginePath(o.table), !writing, writing, bar);
  // A bare name is looked for beside the table.
  const bool bare = o.index.find_first_of("/\\:") == std::string::npos;
  const std::string indexName = bare ? o.index : veltool::ToEnginePath(o.index);
  auto file = o.create.empty() ? HxOpenIndexFile(&table, indexName, !writing, writing, 0)
                               : HxCreateIndexFile(&table, indexName);

  if (!o.deleteTag.empty() && !file->DeleteTag(o.deleteTag))
    throw EKeldorError(FormatKeldorMessage(hxErrIndexTagNotFound, o.deleteTag));
  if (!o.create.empty()) file->AddTag(o.create[0], o.create[1], o.unique, !o.descending, o.forExpression);
  if (o.reindex) file->Reindex();
  if (writing) file->Flush();

  veltool::Json doc;
  if (o.json) {
    doc["table"] = veltool::FromAnsi(table.FileName());
    doc["index"] = veltool::FromAnsi(file->FullName());
    veltool::Json tags = veltool::Json::array();
    for (int i = 0; i < file->TagCount(); ++i) tags.push_back(TagJson(*file->Tags(i)));
    doc["tags"] = std::move(tags);
  } else if (o.tag.empty() && !o.check) {
    std::ostringstream out;
    for (int i = 0; i < file->TagCount(); ++i) out << TagLine(*file->Tags(i)) << "\n";
    std::cout << out.str();
  }

  if (!o.tag.empty()) {
    HXobjIndexTag* tag = file->TagByName(o.tag);
    if (!tag) throw EKeldorError(FormatKeldorMessage(hxErrIndexTagNotFound, o.tag));
    const veltool::TableText text(veltool::ChooseCodePage(table, o.codePage).page);
    veltool::Json entries = veltool::Json::array();
    std::string line, utf8;
    for (int64_t r = tag->First(); r != 0; r = tag->Next()) {
      const std::string_view key = tag->CurrentKey().Bytes();
      const bool asText = KeyAsText(*tag, text, key, utf8);
      if (o.json) {
        veltool::Json e;
        if (asText)
          e["key"] = utf8;
        else
          e["hex"] = Hex(key);
        e["recno"] = r;
        entries.push_back(std::move(e));
      } else {
        line = asText ? veltool::EscapePlain(utf8) : Hex(key);
        line += '\t';
        line += std::to_string(r);
        line += '\n';
        std::cout << line;
      }
    }
    if (o.json) doc["walk"] = {{"tag", veltool::FromAnsi(tag->Name())}, {"entries", std::move(entries)}};
  }

  int status = 0;
  if (o.check) {
    int lastTag = -1;
    auto* plain = dynamic_cast<HXobjPlainFile*>(file.get());
    const HxIndexCheckReport report =
        plain ? HxCheckPlainIndexFile(*plain)
              : HxCheckIndexFile(*file, [&](int tagIndex, int64_t done, int64_t total) {
                  if (!bar || total <= 0) return;
                  if (tagIndex != lastTag) lastTag = tagIndex;
                  std::fprintf(stdout, "\rchecking %s %3d%%", file->Tags(tagIndex)->Name().c_str(),
                               static_cast<int>(done * 100 / total));
                  std::fflush(stdout);
                });
    if (bar) std::fprintf(stdout, "\r%60s\r", "");
    if (o.json) {
      veltool::Json tags = veltool::Json::array();
      for (const auto& t : report.tags)
        tags.push_back({{"name", veltool::FromAnsi(t.name)},
                        {"keys", t.keys},
                        {"leaves", t.leaves},
                        {"interior_nodes", t.interiorNodes},
                        {"depth", t.depth},
                        {"records_checked", t.recordsChecked}});
      veltool::Json problems = veltool::Json::array();
      for (const auto& p : report.problems) problems.push_back(veltool::FromAnsi(p));
      doc["check"] = {{"ok", report.Ok()}, {"tags", std::move(tags)}, {"problems", std::move(problems)}};
    } else {
      std::ostringstream out;
      for (const auto& t : report.tags)
        out << "tag\t" << veltool::FromAnsi(t.name) << "\tkeys " << t.keys << "\tleaves " << t.leaves
            << "\tinterior " << t.interiorNodes << "\tdepth " << t.depth << "\t"
            << (t.recordsChecked ? "records checked" : "records not checked") << "\n";
      for (const auto& p : report.problems) out << "problem\t" << veltool::FromAnsi(p) << "\n";
      out << (report.Ok() ? "ok" : std::to_string(report.problems.size()) + " problems") << "\n";
      std::cout << out.str();
    }
    if (!report.Ok()) {
      std::cerr << "veltool index: " << veltool::FromAnsi(file->FullName()) << ": " << report.problems.size()
                << " problems found\n";
      status = 1;
    }
  }
  if (o.json) veltool::PrintJson(doc);
  return status;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd =
      veltool::AddCommand(app, "index", "tags of an index file; walk, create, delete, rebuild, check",
                          [o] { return RunIndex(*o); });
  cmd->add_option("TABLE", o->table, "the table (.dbf)")->required();
  cmd->add_option(
         "INDEXFILE", o->index,
         "the index file (.cdx, .mdx, .ndx or .ntx by extension); a name without folder is looked for "
         "beside the table")
      ->required();
  cmd->add_option("--tag", o->tag, "walk this tag: every key and its record number");
  CLI::Option* create =
      cmd->add_option("--create", o->create,
                      "create (or replace) tag NAME on the key expression KEY (a missing MDX, NDX or NTX "
                      "file is made; NDX and NTX files hold one tag named after the file)")
          ->expected(2)
          ->type_name("NAME KEY");
  cmd->add_option("--for", o->forExpression, "FOR condition of the tag --create makes")->needs(create);
  cmd->add_flag("--unique", o->unique, "the tag --create makes keeps one record per key")->needs(create);
  cmd->add_flag("--descending", o->descending, "the tag --create makes orders from the greatest key")
      ->needs(create);
  cmd->add_option("--delete-tag", o->deleteTag, "remove this tag");
  cmd->add_flag("--reindex", o->reindex, "rebuild every tag");
  cmd->add_flag("--check", o->check,
                "verify key order, sibling links, leaf bookkeeping and that every record is indexed once");
  veltool::AddCodePageOption(cmd, o->codePage);
  veltool::AddJsonFlag(cmd, o->json);
}

}  // namespace

VELTOOL_COMMAND("index", Setup);
