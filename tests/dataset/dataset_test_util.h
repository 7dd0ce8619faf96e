// Tables for the dataset tests, written byte by byte (tables/table_test_util.h)
// on a throw-away drive, index files made through the index engine, and a
// small memo-file writer.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "dataset/Keldor6db.h"
#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbsy.h"
#include "tables/table_test_util.h"

namespace dstest {

using tabletest::DbfImage;
using tabletest::FieldDef;
using tabletest::MessageOf;

struct Person {
  std::string name;
  std::string city;
  double amount = 0;
  bool deleted = false;
};

// NAME C 10, CITY C 10, AMOUNT N 8.2: record length 29.
inline DbfImage PeopleImage(const std::vector<Person>& rows) {
  DbfImage img;
  img.fields = {{"NAME", 'C', 10}, {"CITY", 'C', 10}, {"AMOUNT", 'N', 8, 2}};
  for (const Person& p : rows) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%c%-10.10s%-10.10s%8.2f", p.deleted ? '*' : ' ', p.name.c_str(),
                  p.city.c_str(), p.amount);
    img.records.push_back(buf);
  }
  return img;
}

inline std::vector<Person> SamplePeople() {
  return {{"Smith", "Paris", 10}, {"Jones", "London", 20}, {"Brown", "Paris", 30},
          {"Adams", "Rome", 40},  {"Clark", "London", 50}, {"Young", "Paris", 60, true},
          {"Evans", "Rome", 70},  {"Baker", "paris", 80}};
}

// A data folder T:\data with the windows folder (keldor.cfg) beside it.
struct DataFolder {
  TempDrive drive{'T'};
  ScopedEnv windir;
  DataFolder() : windir("VELUPDATE_WINDIR", drive.Root() + "/windows") { ReloadKeldorAliases(); }
  ~DataFolder() { ReloadKeldorAliases(); }

  std::string Dos(const std::string& name = "") const {
    return drive.Dos(name.empty() ? "data" : "data/" + name);
  }
  std::string Host(const std::string& name) const { return drive.Host("data/" + name); }
  void Write(const std::string& name, const DbfImage& img) const {
    ASSERT_TRUE(WriteHostFile(Host(name), tabletest::Bytes(img)));
  }
  void WriteBytes(const std::string& name, const std::string& bytes) const {
    ASSERT_TRUE(WriteHostFile(Host(name), bytes));
  }
  std::string Read(const std::string& name) const { return ReadHostFile(Host(name)); }

  // A closed dataset on `table` in the folder.
  std::unique_ptr<TKeldorDataSet> DataSet(const std::string& table, const std::string& name = "ds") const {
    auto ds = std::make_unique<TKeldorDataSet>();
    ds->SetName(name);
    ds->SetDatabaseName(Dos());
    ds->SetTableName(table);
    return ds;
  }
};

struct TagDef {
  std::string name, key, forExpr;
  bool descending = false;
};

// Makes (or replaces) a compound index with the tags, through the index engine.
inline void MakeCdx(const std::string& tableDos, const std::string& cdx, const std::vector<TagDef>& tags) {
  HXO_dBHandler h(tableDos, false, true);
  ASSERT_EQ(h.OpenIndex(cdx), 0);
  for (const TagDef& t : tags) h.IndexFile(1)->AddTag(t.name, t.key, false, !t.descending, t.forExpr);
}

inline void PutBE32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

// A FoxPro memo file with 64-byte blocks holding `memos` (text memos);
// `blocks` receives each memo's first block number.
inline std::string FptImage(const std::vector<std::string>& memos, std::vector<int>* blocks = nullptr) {
  std::string out(512, '\0');
  out[6] = 0;
  out[7] = 64;
  int next = 8;
  for (const std::string& m : memos) {
    if (blocks) blocks->push_back(next);
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

// Record n (1-based) of a table file's bytes.
inline std::string RecordBytes(const std::string& file, int n) {
  const size_t headerLength = static_cast<uint8_t>(file[8]) | static_cast<uint8_t>(file[9]) << 8;
  const size_t recordLength = static_cast<uint8_t>(file[10]) | static_cast<uint8_t>(file[11]) << 8;
  const size_t at = headerLength + static_cast<size_t>(n - 1) * recordLength;
  return at + recordLength <= file.size() ? file.substr(at, recordLength) : std::string();
}

inline int RecordsInFile(const std::string& file) {
  const size_t headerLength = static_cast<uint8_t>(file[8]) | static_cast<uint8_t>(file[9]) << 8;
  const size_t recordLength = static_cast<uint8_t>(file[10]) | static_cast<uint8_t>(file[11]) << 8;
  return file.size() <= headerLength ? 0 : static_cast<int>((file.size() - headerLength) / recordLength);
}

// The NAME values a walk from First shows.
inline std::vector<std::string> Names(TKeldorDataSet& ds, const std::string& field = "NAME") {
  std::vector<std::string> out;
  ds.First();
  while (!ds.Eof()) {
    out.push_back(ds.FieldByName(field)->AsString());
    ds.Next();
    if (out.size() > 10000) break;
  }
  return out;
}

// Peers and fixtures: under CI a missing one fails the test, elsewhere it skips.
inline bool InCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

}  // namespace dstest

#define DS_REQUIRE(cond, what)                       \
  do {                                               \
    if (!(cond)) {                                   \
      if (dstest::InCI()) FAIL() << what " missing"; \
      GTEST_SKIP() << what " missing";               \
    }                                                \
  } while (0)
