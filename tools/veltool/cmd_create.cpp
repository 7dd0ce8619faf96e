// veltool create TABLE [--type foxpro2|dbase3|dbase4|clipper] FIELD... [--overwrite] [--json]:
// a new, empty table (and its memo file) from field descriptions
// "NAME;TYPE;SIZE;DECIMALS", checked as the table creator checks them.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "platform/file.h"
#include "platform/text.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"
#include "veltool.h"

namespace {

struct Options {
  std::string table;
  std::string type = "clipper";
  std::vector<std::string> fields;
  bool overwrite = false;
  bool json = false;
};

// The builder for a table flavour; Clipper tables have the dBase III layout.
std::unique_ptr<HXO_DBFBuild> MakeBuilder(const std::string& type, const std::string& file) {
  if (type == "foxpro2") return std::make_unique<HXO_DBFoxBuild>(file);
  if (type == "dbase4") return std::make_unique<HXO_DB4Build>(file);
  return std::make_unique<HXO_DBFBuild>(file);
}

bool NeedsMemo(const ThxFieldDescription& f) {
  const char t = platform::AnsiUpperChar(f.type);
  return !HxTrim(f.name).empty() && (t == 'M' || t == 'B' || t == 'G');
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

int RunCreate(const Options& o) {
  std::string type = HxLowerCase(o.type);

  // The whole list is checked before anything is written.
  std::vector<std::string> lines;
  for (const auto& f : o.fields) lines.push_back(platform::Utf8ToAnsi(f));
  const ThxFieldListCheck check = CheckFieldList(lines);
  if (!check.valid) {
    std::string where = check.line > 0 ? "line " + std::to_string(check.line) + " \"" +
                                             o.fields[static_cast<size_t>(check.line - 1)] + "\": "
                                       : "";
    throw veltool::Failure("Field list is invalid: " + where + veltool::FromAnsi(check.reason));
  }

  // An existing table or memo file is replaced only when asked to.
  const std::string table = ExpandFileName(DefaultExtension(HxTrim(veltool::ToEnginePath(o.table)), ".DBF"));
  const bool memo = std::any_of(check.fields.begin(), check.fields.end(), NeedsMemo);
  if (!o.overwrite) {
    std::vector<std::string> present;
    if (platform::FileExists(table)) present.push_back(table);
    const std::string memoFile = ChangeFileExt(table, type == "foxpro2" ? ".fpt" : ".dbt");
    if (memo && platform::FileExists(memoFile)) present.push_back(memoFile);
    if (!present.empty())
      throw veltool::Failure(veltool::FromAnsi(present.front()) + " exists (--overwrite replaces it)");
  }

  std::string memoFile;
  {
    std::unique_ptr<HXO_DBFBuild> builder = MakeBuilder(type, table);
    for (const auto& f : check.fields) builder->AddField(f.name, f.type, f.size, f.decimals);
    builder->Build();
    if (builder->HasMemo()) memoFile = builder->MemoFileName();
  }  // closes the new table

  // Report the table as the engine now reads it.
  HXO_dBaseFld t(table, true, false);
  std::vector<int> skipped;
  for (size_t i = 0; i < check.fields.size(); ++i)
    if (HxTrim(check.fields[i].name).empty()) skipped.push_back(static_cast<int>(i) + 1);

  if (o.json) {
    veltool::Json doc;
    doc["table"] = veltool::FromAnsi(t.FileName());
    doc["memo"] = memoFile.empty() ? veltool::Json(nullptr) : veltool::Json(veltool::FromAnsi(memoFile));
    doc["type"] = type;
    doc["version"] = unsigned{t.Version()};
    doc["header_length"] = t.HeaderLength();
    doc["record_length"] = t.RecordLength();
    veltool::Json fields = veltool::Json::array();
    for (int i = 1; i <= t.FieldCount(); ++i) {
      const ThxDBFFields* f = t.FieldEntry(i);
      fields.push_back({{"name", veltool::FromAnsi(f->name)},
                        {"type", veltool::FromAnsi(std::string(1, f->type))},
                        {"width", f->length},
                        {"decimals", f->type == 'C' ? 0u : unsigned{f->decimals}},
                        {"offset", f->offset}});
    }
    doc["fields"] = std::move(fields);
    doc["skipped_lines"] = skipped;
    veltool::PrintJson(doc);
    return 0;
  }
  std::ostringstream out;
  out << "table\t" << veltool::FromAnsi(t.FileName()) << "\n";
  if (!memoFile.empty()) out << "memo\t" << veltool::FromAnsi(memoFile) << "\n";
  out << "type\t" << type << "\n"
      << "version\t" << Hex2(t.Version()) << "\n"
      << "header length\t" << t.HeaderLength() << "\n"
      << "record length\t" << t.RecordLength() << "\n"
      << "fields\t" << t.FieldCount() << "\n";
  for (int i = 1; i <= t.FieldCount(); ++i) {
    const ThxDBFFields* f = t.FieldEntry(i);
    out << veltool::FromAnsi(f->name) << "\t" << veltool::FromAnsi(std::string(1, f->type)) << "\t"
        << f->length << "\t" << (f->type == 'C' ? 0 : unsigned{f->decimals}) << "\t" << f->offset << "\n";
  }
  for (int line : skipped) out << "skipped\tline " << line << " (no name)\n";
  std::cout << out.str();
  return 0;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(app, "create", "a new, empty table from field descriptions",
                                      [o] { return RunCreate(*o); });
  cmd->add_option("TABLE", o->table, "the new table (\".DBF\" added when it has no extension)")->required();
  cmd->add_option("FIELD", o->fields,
                  "one field each: NAME;TYPE;SIZE;DECIMALS (C N F D L M B G ...; a field without a "
                  "name is skipped)")
      ->required();
  cmd->add_option("--type", o->type, "table flavour (Clipper tables have the dBase III layout)")
      ->check(CLI::IsMember({"foxpro2", "dbase3", "dbase4", "clipper"}, CLI::ignore_case))
      ->capture_default_str();
  cmd->add_flag("--overwrite", o->overwrite, "replace an existing table and memo file");
  veltool::AddJsonFlag(cmd, o->json);
  cmd->footer(
      "The list is refused as a whole, naming the line and the reason, when a line does not read\n"
      "NAME;TYPE;SIZE;DECIMALS, repeats a name (as stored: upper case, 10 characters), has a name that\n"
      "is not a field name, or describes a field that does not fit the table (C 1-65534 wide, other\n"
      "types with a width of their own 1-255 with at most that many decimals, a record of at most\n"
      "65535 bytes).");
}

}  // namespace

VELTOOL_COMMAND("create", Setup);
