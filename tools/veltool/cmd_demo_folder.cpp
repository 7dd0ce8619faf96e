// veltool demo-folder DIR [--force] [--json]: seeds a demo data folder for
// VelUpdate with our own engine: the data dictionary Dictionary.dbf with its
// dictionary.CDX (tags MyTables and MyFields) and the tables it describes.
//
// The tables are made by the table creator (FoxPro 2 layout) and filled
// through the table dataset, so their text is in the OEM code page on disk;
// their index files are built by the index engine. The structures on disk
// differ from what the dictionary prescribes (CUSTOMER lacks EMAIL, ORDERS has
// a narrower ITEM; nothing the dictionary drops), so a Start in VelUpdate has
// work to do and succeeds.
//
// Dictionary.dbf, one row per field of each table:
//
//   FIELDPOS   N 3   the field's place in its table (MyFields orders by it)
//   TABLENAME  C 20  second by position: VelUpdate reads the table name there
//   FIELDNAME  C 10
//   FIELDTYPE  C 1
//   FIELDSIZE  N 5
//   FIELDDEC   N 3
//
//   MyTables   TABLENAME                    unique: each table once
//   MyFields   TABLENAME+STR(FIELDPOS,3)    a table's fields in their order
//
// The rows are not stored in either order (an added field's row comes last,
// as it would in a dictionary kept over the years), so a reader that ignores
// the tags gets another order.
#include <algorithm>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dataset/Keldor6db.h"
#include "framework/sysutils.h"
#include "index/hx6_indx.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "tables/hx6_dbsy.h"
#include "tables/hx6_tool.h"
#include "veltool.h"

namespace {

struct Column {
  const char* name;
  char type;
  int size;
  int decimals;
};

struct Tag {
  const char* name;
  const char* key;
  bool unique;
};

// One record: the values by column of the structure on disk, UTF-8 text
// (numbers as text, dates as yyyymmdd, logicals T or F; empty stays blank).
using Row = std::vector<const char*>;

struct DemoTable {
  const char* name;
  std::vector<Column> onDisk;
  // The structure the dictionary prescribes.
  std::vector<Column> prescribed;
  std::vector<Row> rows;
  std::vector<int> deleted;  // records (1-based) marked deleted
  // The table's own compound index (NAME.cdx); none when empty.
  std::vector<Tag> tags;
};

const std::vector<DemoTable>& DemoTables() {
  static const std::vector<DemoTable> tables = {
      {"CUSTOMER",
       {{"CUSTNO", 'N', 6, 0},
        {"NAME", 'C', 30, 0},
        {"CITY", 'C', 20, 0},
        {"SINCE", 'D', 8, 0},
        {"ACTIVE", 'L', 1, 0},
        {"NOTES", 'M', 10, 0}},
       {{"CUSTNO", 'N', 6, 0},
        {"NAME", 'C', 30, 0},
        {"CITY", 'C', 20, 0},
        {"EMAIL", 'C', 40, 0},  // added
        {"SINCE", 'D', 8, 0},
        {"ACTIVE", 'L', 1, 0},
        {"NOTES", 'M', 10, 0}},
       {{"1001", "Ada Lovelace", "London", "20190314", "T", "Prefers invoices by post.\r\nCalls on Mondays."},
        {"1002", "Konrad Zuse", "Berlin", "20200701", "T", ""},
        {"1003", "Émilie du Châtelet", "Cirey-sur-Blaise", "20210517", "T",
         "Grüße an das Büro in Zürich.\r\nRéunion le lundi à 9 h."},
        {"1004", "Grace Hopper", "Arlington", "20181209", "F", "Account closed; keep for the records."},
        {"1005", "José Martínez Ibáñez", "Málaga", "", "T", "Café owner; pays in advance."}},
       {4},
       {{"CUSTNO", "CUSTNO", false}, {"NAME", "UPPER(NAME)", false}}},
      {"ORDERS",
       {{"ORDERNO", 'N', 8, 0},
        {"CUSTNO", 'N', 6, 0},
        {"ITEM", 'C', 20, 0},
        {"QTY", 'N', 5, 0},
        {"PRICE", 'N', 10, 2},
        {"ORDERED", 'D', 8, 0}},
       {{"ORDERNO", 'N', 8, 0},
        {"CUSTNO", 'N', 6, 0},
        {"ITEM", 'C', 30, 0},  // widened from 20
        {"QTY", 'N', 5, 0},
        {"PRICE", 'N', 10, 2},
        {"ORDERED", 'D', 8, 0}},
       {{"1", "1001", "Difference engine", "1", "12500.00", "20240105"},
        {"2", "1002", "Relay set", "40", "3.75", "20240211"},
        {"3", "1003", "Crème brûlée torch", "2", "19.90", "20240302"},
        {"4", "1001", "Punched cards", "500", "0.05", "20240320"},
        {"5", "1005", "Café filters (100)", "12", "2.40", "20240402"}},
       {2},
       {}},
      {"PRODUCTS",
       {{"CODE", 'C', 8, 0}, {"DESCR", 'C', 30, 0}, {"STOCK", 'N', 6, 0}, {"COST", 'N', 9, 2}},
       {{"CODE", 'C', 8, 0}, {"DESCR", 'C', 30, 0}, {"STOCK", 'N', 6, 0}, {"COST", 'N', 9, 2}},
       {{"P-100", "Relay set", "120", "2.10"},
        {"P-200", "Punched cards (box)", "35", "4.00"},
        {"P-300", "Café filters (100)", "80", "1.15"}},
       {},
       {}},
  };
  return tables;
}

const char* const kDictionary = "Dictionary.dbf";
const char* const kDictionaryIndex = "dictionary.CDX";

const std::vector<Column> kDictionaryColumns = {{"FIELDPOS", 'N', 3, 0},   {"TABLENAME", 'C', 20, 0},
                                                {"FIELDNAME", 'C', 10, 0}, {"FIELDTYPE", 'C', 1, 0},
                                                {"FIELDSIZE", 'N', 5, 0},  {"FIELDDEC", 'N', 3, 0}};

const std::vector<Tag> kDictionaryTags = {{"MyTables", "TABLENAME", true},
                                          {"MyFields", "TABLENAME+STR(FIELDPOS,3)", false}};

struct Options {
  std::string folder;
  bool force = false;
  bool json = false;
};

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool EndsWithDbf(const std::string& name) {
  return name.size() > 4 && Lower(name.substr(name.size() - 4)) == ".dbf";
}

// The tables in `folder` that are not the demo's.
std::vector<std::string> ForeignTables(const std::string& folder) {
  std::vector<platform::FileInfo> entries;
  std::vector<std::string> foreign;
  if (!platform::ListDirectory(folder, entries)) return foreign;
  std::vector<std::string> own = {Lower(kDictionary)};
  for (const DemoTable& t : DemoTables()) own.push_back(Lower(std::string(t.name) + ".dbf"));
  for (const platform::FileInfo& e : entries) {
    if ((e.attributes & platform::kAttrDirectory) || !EndsWithDbf(e.name)) continue;
    if (std::find(own.begin(), own.end(), Lower(e.name)) == own.end()) foreign.push_back(e.name);
  }
  std::sort(foreign.begin(), foreign.end());
  return foreign;
}

// Makes `folder` (no trailing backslash) and the folders above it.
void MakeFolder(const std::string& folder) {
  if (platform::DirectoryExists(folder)) return;
  if (platform::FileExists(folder))
    throw veltool::Failure(veltool::FromAnsi(folder) + " is a file, not a folder");
  const size_t cut = folder.find_last_of('\\');
  // Drive roots ("C:") and "\\server\share" exist or are not ours to make.
  if (cut != std::string::npos && cut > 2 && folder.rfind("\\\\", 0) != 0) MakeFolder(folder.substr(0, cut));
  if (!platform::CreateDirectory(folder) && !platform::DirectoryExists(folder))
    throw veltool::Failure("cannot create the folder " + veltool::FromAnsi(folder) + ": " +
                           veltool::FromAnsi(platform::ErrorText(platform::LastError())));
}

// Removes a file the demo is about to write anew or that would be stale
// beside a rebuilt table.
void Remove(const std::string& file) {
  if (platform::FileExists(file) && !platform::DeleteFile(file))
    throw veltool::Failure("cannot remove " + veltool::FromAnsi(file) + ": " +
                           veltool::FromAnsi(platform::ErrorText(platform::LastError())));
}

void PutValue(TField* field, const Column& c, const std::string& utf8) {
  if (utf8.empty()) return;  // stays blank (null)
  switch (c.type) {
    case 'N':
      field->SetAsFloat(std::stod(utf8));
      break;
    case 'D':
      field->SetAsDateTime(EncodeDate(std::stoi(utf8.substr(0, 4)), std::stoi(utf8.substr(4, 2)),
                                      std::stoi(utf8.substr(6, 2))));
      break;
    case 'L':
      field->SetAsBoolean(utf8 == "T");
      break;
    default:
      field->SetAsString(platform::Utf8ToAnsi(utf8));
  }
}

// Creates `name` in `folder` with the columns through the table creator,
// appends the rows through the dataset and marks `deleted` records deleted.
void MakeTable(const std::string& folder, const std::string& name, const std::vector<Column>& columns,
               const std::vector<std::vector<std::string>>& rows, const std::vector<int>& deleted) {
  TKeldorDataSet table;
  table.SetDatabaseName(folder);
  table.SetTableName(name);
  table.SetTranslateASCII(true);  // the program's ANSI text goes to disk in the OEM code page
  TCreateKeldorDataSet creator;
  creator.SetDBFTable(&table);
  creator.SetDBFType(ThxDBFTypes::FoxPro2);
  creator.SetAutoOverwrite(true);  // the old demo file, checked by the caller
  for (const Column& c : columns)
    creator.CreateFields().Add(Format("%s;%s;%d;%d", {c.name, std::string(1, c.type), c.size, c.decimals}));
  if (!creator.CreateTable())
    throw veltool::Failure("the table " + veltool::FromAnsi(name) + " was not created");
  for (const auto& row : rows) {
    table.Append();
    for (size_t i = 0; i < columns.size() && i < row.size(); ++i)
      PutValue(table.FieldByName(columns[i].name), columns[i], row[i]);
    table.Post();
  }
  for (int recno : deleted) {
    table.SetRecNo(recno);
    table.Delete();
  }
  table.Close();
}

// Builds the compound index `cdx` of `table` with the tags, through the index engine.
void MakeIndex(const std::string& table, const std::string& cdx, const std::vector<Tag>& tags) {
  HXO_dBHandler h(table, false, true);
  if (h.OpenIndex(cdx) != 0) throw veltool::Failure("cannot open " + veltool::FromAnsi(cdx));
  for (const Tag& t : tags) h.IndexFile(1)->AddTag(t.name, t.key, t.unique, true, "");
}

std::vector<std::vector<std::string>> Texts(const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> out;
  for (const Row& r : rows) out.emplace_back(r.begin(), r.end());
  return out;
}

// The dictionary's rows: table by table (PRODUCTS first), each field with
// its place, except the fields a table gains, whose rows come last.
std::vector<std::vector<std::string>> DictionaryRows() {
  std::vector<std::vector<std::string>> rows, added;
  std::vector<const DemoTable*> order;
  for (const DemoTable& t : DemoTables()) order.push_back(&t);
  std::rotate(order.begin(), order.end() - 1, order.end());
  for (const DemoTable* t : order) {
    for (size_t i = 0; i < t->prescribed.size(); ++i) {
      const Column& c = t->prescribed[i];
      const bool isNew = std::none_of(t->onDisk.begin(), t->onDisk.end(),
                                      [&](const Column& d) { return std::string(d.name) == c.name; });
      std::vector<std::string> row = {
          std::to_string(i + 1),     t->name, c.name, std::string(1, c.type), std::to_string(c.size),
          std::to_string(c.decimals)};
      (isNew ? added : rows).push_back(std::move(row));
    }
  }
  rows.insert(rows.end(), added.begin(), added.end());
  return rows;
}

struct Written {
  std::string name;
  uint64_t bytes = 0;
};

int RunDemoFolder(const Options& o) {
  std::string folder = veltool::ToEnginePath(o.folder);
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  const std::string prefix = folder.back() == '\\' ? folder : folder + "\\";

  if (platform::DirectoryExists(folder) && !o.force) {
    const std::vector<std::string> foreign = ForeignTables(folder);
    if (!foreign.empty()) {
      std::string list;
      for (const std::string& n : foreign) list += (list.empty() ? "" : ", ") + veltool::FromAnsi(n);
      throw veltool::Failure(veltool::FromAnsi(folder) + " holds tables that are not the demo's (" + list +
                             "); nothing was written (--force seeds the demo files beside them)");
    }
  }
  MakeFolder(folder);

  std::vector<std::string> files;
  for (const DemoTable& t : DemoTables()) {
    const std::string base = t.name;
    // Memo and index files of an earlier state of the table would be stale.
    for (const char* ext : {".fpt", ".dbt", ".cdx"}) Remove(prefix + base + ext);
    MakeTable(folder, base + ".dbf", t.onDisk, Texts(t.rows), t.deleted);
    files.push_back(base + ".dbf");
    if (std::any_of(t.onDisk.begin(), t.onDisk.end(), [](const Column& c) { return c.type == 'M'; }))
      files.push_back(base + ".fpt");
    if (!t.tags.empty()) {
      MakeIndex(prefix + base + ".dbf", base + ".cdx", t.tags);
      files.push_back(base + ".cdx");
    }
  }
  for (const char* ext : {".fpt", ".dbt"}) Remove(prefix + "Dictionary" + ext);
  Remove(prefix + kDictionaryIndex);
  MakeTable(folder, kDictionary, kDictionaryColumns, DictionaryRows(), {});
  MakeIndex(prefix + kDictionary, kDictionaryIndex, kDictionaryTags);
  files.push_back(kDictionary);
  files.push_back(kDictionaryIndex);

  std::vector<Written> written;
  for (const std::string& f : files) {
    platform::FileInfo info;
    Written w{f, 0};
    if (platform::GetFileInfo(prefix + f, info)) w.bytes = info.size;
    written.push_back(w);
  }

  if (o.json) {
    veltool::Json doc;
    doc["folder"] = veltool::FromAnsi(folder);
    veltool::Json list = veltool::Json::array();
    for (const Written& w : written)
      list.push_back({{"name", veltool::FromAnsi(w.name)}, {"bytes", w.bytes}});
    doc["files"] = std::move(list);
    veltool::Json tables = veltool::Json::array();
    for (const DemoTable& t : DemoTables()) tables.push_back(t.name);
    doc["tables"] = std::move(tables);
    veltool::PrintJson(doc);
    return 0;
  }
  std::ostringstream out;
  out << "folder\t" << veltool::FromAnsi(folder) << "\n";
  for (const Written& w : written) out << veltool::FromAnsi(w.name) << "\t" << w.bytes << "\n";
  std::cout << out.str();
  return 0;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(app, "demo-folder",
                                      "seed a demo data folder: a dictionary and the tables it describes",
                                      [o] { return RunDemoFolder(*o); });
  cmd->add_option("DIR", o->folder, "the data folder (host or DOS path; made when missing)")->required();
  cmd->add_flag("--force", o->force, "seed the demo files even where the folder holds other tables");
  veltool::AddJsonFlag(cmd, o->json);
  cmd->footer(
      "Writes Dictionary.dbf with dictionary.CDX (tags MyTables and MyFields) and the tables the\n"
      "dictionary describes: CUSTOMER (memo file, a deleted record, CUSTOMER.cdx), ORDERS and PRODUCTS,\n"
      "in FoxPro 2 form with their text in the OEM code page. Their structures on disk differ from the\n"
      "dictionary's (CUSTOMER lacks EMAIL, ORDERS.ITEM is narrower), so VelUpdate's Start rebuilds them.\n"
      "Only those files are created or replaced (and stale memo or index files of those tables removed);\n"
      "a folder that holds other .dbf files is refused unless --force is given.");
}

}  // namespace

VELTOOL_COMMAND("demo-folder", Setup);
