// A data folder as an operator has it, for the restructure tests: the data
// dictionary with its compound index and three FoxPro tables whose
// prescribed structure differs from the files on disk, written byte by byte
// (index files through the index engine).
//
//   CUSTOMER  CUSTNO N 6, NAME C 20, CITY C 15, NOTES M; every fifth record
//             deleted, memos on odd records; CUSTOMER.cdx (CUSTNO, NAME, CITY).
//             New: NAME widened to C 30, EMAIL C 30 added.
//   ORDERS    ORDERNO N 8, CUSTNO N 6, ITEM C 20, PRICE N 10.2, ORDERED D,
//             PAID L; no memo file; ORDERS.cdx (ORDERNO, CUSTDATE).
//             New: REMARK M added (a memo file appears); with `dropField`
//             the dictionary leaves PAID out, which stops the run.
//   PRODUCTS  CODE C 8, DESCR C 30, NOTES M; PRODUCTS.fpt, no index.
//             New: NOTES C 40 (no memo field left); one note is longer.
//   MISSING   named by the dictionary, no files.
//
// Dictionary.dbf: ID N 4, TABLENAME C 20, FIELDNAME C 10, FIELDTYPE C 1,
// FIELDSIZE N 3, FIELDDEC N 2, plus one deleted row; dictionary.CDX tags
// MyTables (TABLENAME, unique) and MyFields (TABLENAME+STR(ID,4)).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "tables/hx6_dbsy.h"
#include "tables/table_test_util.h"

namespace opfolder {

struct Options {
  int customers = 12;
  int orders = 9;
  bool dropField = false;
};

inline void PutBE32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

// A FoxPro memo file (64-byte blocks) with `memos`; `blocks` gets each first block.
inline std::string FptImage(const std::vector<std::string>& memos, std::vector<int>& blocks) {
  std::string out(512, '\0');
  out[7] = 64;
  int next = 8;
  for (const std::string& m : memos) {
    blocks.push_back(next);
    std::string block(8, '\0');
    PutBE32(block, 0, 1);
    PutBE32(block, 4, static_cast<uint32_t>(m.size()));
    block += m;
    block.resize((block.size() + 63) / 64 * 64, '\0');
    out.resize(static_cast<size_t>(next) * 64, '\0');
    out += block;
    next += static_cast<int>(block.size() / 64);
  }
  PutBE32(out, 0, static_cast<uint32_t>(next));
  return out;
}

inline std::string Fixed(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Fixed(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// The customer's name as the file holds it (CP437: "M\x81ller" is Müller).
inline std::string CustomerName(int i) {
  return i == 3 ? "M\x81ller & S\x94hne" : "Customer " + std::to_string(i);
}
inline std::string CustomerNote(int i) { return "Note " + std::to_string(i) + "\r\nsecond line of the note"; }
inline bool CustomerDeleted(int i) { return i % 5 == 0; }
inline std::string ProductNote(int i) {
  return i == 2 ? "A note far longer than the forty characters the new field holds"
                : "Short note " + std::to_string(i);
}

inline void Index(const std::string& tableDos, const std::string& cdx,
                  const std::vector<std::pair<std::string, std::string>>& tags, bool uniqueFirst = false) {
  HXO_dBHandler h(tableDos, false, true);
  h.OpenIndex(cdx);
  bool first = true;
  for (const auto& [name, key] : tags) {
    h.IndexFile(1)->AddTag(name, key, uniqueFirst && first, true, "");
    first = false;
  }
}

struct DictionaryRow {
  const char *table, *field, *type;
  int size, dec;
};

// Dictionary.dbf with dictionary.CDX; rows with an empty type are left out.
inline void WriteDictionary(const std::string& dos, const std::string& host,
                            const std::vector<DictionaryRow>& rows) {
  tabletest::DbfImage dict;
  dict.fields = {{"ID", 'N', 4},        {"TABLENAME", 'C', 20}, {"FIELDNAME", 'C', 10},
                 {"FIELDTYPE", 'C', 1}, {"FIELDSIZE", 'N', 3},  {"FIELDDEC", 'N', 2}};
  int id = 0;
  for (const DictionaryRow& r : rows) {
    ++id;
    if (*r.type)
      dict.records.push_back(Fixed(" %4d%-20s%-10s%-1s%3d%2d", id, r.table, r.field, r.type, r.size, r.dec));
  }
  dict.records.push_back(Fixed("*%4d%-20s%-10s%-1s%3d%2d", 99, "CUSTOMER", "OBSOLETE", "C", 5, 0));
  WriteHostFile(host + "/Dictionary.dbf", tabletest::Bytes(dict));
  Index(dos + "\\Dictionary.dbf", "dictionary.CDX",
        {{"MyTables", "TABLENAME"}, {"MyFields", "TABLENAME+STR(ID,4)"}}, true);
}

// Writes the folder; `dos` and `host` name the same folder.
inline void Write(const std::string& dos, const std::string& host, const Options& o = {}) {
  using tabletest::DbfImage;
  std::vector<DictionaryRow> rows = {
      {"CUSTOMER", "CUSTNO", "N", 6, 0}, {"CUSTOMER", "NAME", "C", 30, 0},  {"CUSTOMER", "CITY", "C", 15, 0},
      {"CUSTOMER", "EMAIL", "C", 30, 0}, {"CUSTOMER", "NOTES", "M", 10, 0}, {"ORDERS", "ORDERNO", "N", 8, 0},
      {"ORDERS", "CUSTNO", "N", 6, 0},   {"ORDERS", "ITEM", "C", 20, 0},    {"ORDERS", "PRICE", "N", 10, 2},
      {"ORDERS", "ORDERED", "D", 8, 0},  {"ORDERS", "PAID", "L", 1, 0},     {"ORDERS", "REMARK", "M", 10, 0},
      {"PRODUCTS", "CODE", "C", 8, 0},   {"PRODUCTS", "DESCR", "C", 30, 0}, {"PRODUCTS", "NOTES", "C", 40, 0},
      {"MISSING", "X", "C", 10, 0}};
  if (o.dropField) rows[10].type = "";
  WriteDictionary(dos, host, rows);

  // CUSTOMER with its memo file and index.
  DbfImage cust;
  cust.version = 0xF5;
  cust.fields = {{"CUSTNO", 'N', 6}, {"NAME", 'C', 20}, {"CITY", 'C', 15}, {"NOTES", 'M', 10}};
  std::vector<std::string> memos;
  std::vector<int> blocks;
  for (int i = 1; i <= o.customers; ++i)
    if (i % 2 == 1) memos.push_back(CustomerNote(i));
  WriteHostFile(host + "/CUSTOMER.FPT", FptImage(memos, blocks));
  size_t memo = 0;
  for (int i = 1; i <= o.customers; ++i) {
    const std::string ref = i % 2 == 1 ? Fixed("%10d", blocks[memo++]) : std::string(10, ' ');
    cust.records.push_back(Fixed("%c%6d%-20s%-15s%s", CustomerDeleted(i) ? '*' : ' ', 1000 + i,
                                 CustomerName(i).c_str(), i % 3 == 0 ? "Paris" : "London", ref.c_str()));
  }
  WriteHostFile(host + "/CUSTOMER.DBF", tabletest::Bytes(cust));
  Index(dos + "\\CUSTOMER.DBF", "CUSTOMER.CDX",
        {{"CUSTNO", "STR(CUSTNO,6)"}, {"NAME", "UPPER(NAME)"}, {"CITY", "CITY"}});

  // ORDERS: no memo file; the new structure adds a memo field.
  DbfImage ord;
  ord.fields = {{"ORDERNO", 'N', 8},   {"CUSTNO", 'N', 6},  {"ITEM", 'C', 20},
                {"PRICE", 'N', 10, 2}, {"ORDERED", 'D', 8}, {"PAID", 'L', 1}};
  for (int i = 1; i <= o.orders; ++i)
    ord.records.push_back(Fixed("%c%8d%6d%-20s%10.2f2024%02d%02d%c", i == 4 ? '*' : ' ', i, 1000 + i % 7,
                                ("Item " + std::to_string(i)).c_str(), i * 12.5, 1 + i % 12, 1 + i % 28,
                                i % 2 ? 'T' : 'F'));
  WriteHostFile(host + "/orders.dbf", tabletest::Bytes(ord));
  Index(dos + "\\orders.dbf", "orders.cdx",
        {{"ORDERNO", "STR(ORDERNO,8)"}, {"CUSTDATE", "STR(CUSTNO,6)+DTOS(ORDERED)"}});

  // PRODUCTS: its memo field becomes text; no memo file afterwards.
  DbfImage prod;
  prod.version = 0xF5;
  prod.fields = {{"CODE", 'C', 8}, {"DESCR", 'C', 30}, {"NOTES", 'M', 10}};
  memos.clear();
  blocks.clear();
  for (int i = 1; i <= 3; ++i) memos.push_back(ProductNote(i));
  WriteHostFile(host + "/PRODUCTS.FPT", FptImage(memos, blocks));
  for (int i = 1; i <= 3; ++i)
    prod.records.push_back(Fixed(" P-%-6d%-30s%10d", i * 100, ("Product " + std::to_string(i)).c_str(),
                                 blocks[static_cast<size_t>(i - 1)]));
  WriteHostFile(host + "/PRODUCTS.DBF", tabletest::Bytes(prod));
}

}  // namespace opfolder

// ---- reading the folder back (through the dataset layer, text as on disk) ----

#include <map>

#include "dataset/Keldor6db.h"

namespace opfolder {

using Row = std::map<std::string, std::string>;

struct Column {
  std::string name;
  char type;
  int width;
};

// The new structure of each table, as the dictionary prescribes it.
inline std::vector<Column> NewStructure(const std::string& table, const Options& o = {}) {
  if (table == "CUSTOMER")
    return {{"CUSTNO", 'N', 6}, {"NAME", 'C', 30}, {"CITY", 'C', 15}, {"EMAIL", 'C', 30}, {"NOTES", 'M', 10}};
  if (table == "ORDERS") {
    std::vector<Column> c = {{"ORDERNO", 'N', 8}, {"CUSTNO", 'N', 6}, {"ITEM", 'C', 20},  {"PRICE", 'N', 10},
                             {"ORDERED", 'D', 8}, {"PAID", 'L', 1},   {"REMARK", 'M', 10}};
    if (o.dropField) c.erase(c.begin() + 5);
    return c;
  }
  if (table == "PRODUCTS") return {{"CODE", 'C', 8}, {"DESCR", 'C', 30}, {"NOTES", 'C', 40}};
  return {};
}

// Field names, types and widths of a table ("NAME C 30" each).
inline std::vector<std::string> Structure(const std::string& dosFolder, const std::string& table) {
  HXO_dBaseFld t(dosFolder + "\\" + table + ".dbf", true, false);
  std::vector<std::string> out;
  for (int n = 1; n <= t.FieldCount(); ++n)
    out.push_back(t.FieldName(n) + " " + std::string(1, t.FieldType(n)) + " " +
                  std::to_string(t.FieldWidth(n)));
  return out;
}

inline std::vector<std::string> StructureOf(const std::vector<Column>& columns) {
  std::vector<std::string> out;
  for (const Column& c : columns)
    out.push_back(c.name + " " + std::string(1, c.type) + " " + std::to_string(c.width));
  return out;
}

// The live records of a table in record order, every field as text (OEM bytes as stored).
inline std::vector<Row> Rows(const std::string& dosFolder, const std::string& table) {
  TKeldorDataSet ds;
  ds.SetDatabaseName(dosFolder);
  ds.SetTableName(table + ".dbf");
  ds.SetTranslateASCII(false);
  ds.Open();
  std::vector<Row> rows;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    Row r;
    for (int i = 0; i < ds.FieldCount(); ++i) r[ds.Fields()[i]->FieldName()] = ds.Fields()[i]->AsString();
    rows.push_back(std::move(r));
  }
  return rows;
}

// What the rebuilt table must hold: the old live records, each field of the
// new structure taken by name (text cut to its new width), new fields blank.
inline std::vector<Row> Expected(const std::vector<Row>& old, const std::vector<Column>& columns) {
  std::vector<Row> out;
  for (const Row& r : old) {
    Row n;
    for (const Column& c : columns) {
      auto it = r.find(c.name);
      std::string v = it == r.end() ? "" : it->second;
      if (c.type == 'C' && static_cast<int>(v.size()) > c.width) v.resize(static_cast<size_t>(c.width));
      while (c.type == 'C' && !v.empty() && v.back() == ' ') v.pop_back();
      n[c.name] = v;
    }
    out.push_back(std::move(n));
  }
  return out;
}

// Each tag of a table's index file: "NAME key-expression keys", walked through the index engine.
inline std::vector<std::string> Tags(const std::string& dosTable, const std::string& cdx) {
  HXO_dBHandler h(dosTable, true, false);
  h.OpenIndex(cdx);
  std::vector<std::string> out;
  HXobjIndexFile* f = h.IndexFile(1);
  for (int i = 0; i < f->TagCount(); ++i) {
    HXobjIndexTag* t = f->Tags(i);
    int keys = 0;
    for (int64_t r = t->First(); r != 0; r = t->Next()) ++keys;
    out.push_back(t->Name() + " " + t->KeyExpression() + " " + std::to_string(keys));
  }
  return out;
}

}  // namespace opfolder
