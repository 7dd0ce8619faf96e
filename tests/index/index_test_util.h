// Helpers for the index tests: tables written byte by byte, a table that
// maintains its open index files after every write (as the table handler
// does), and walks of a tag.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/hx6_cdx.h"
#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/table_test_util.h"

namespace indextest {

using tabletest::DbfImage;
using tabletest::FieldDef;
using tabletest::MessageOf;

// A table that, like the table handler, keeps its open index files up to
// date: every index file updates its tags under the index lock after each
// record write.
class IndexedTable : public HXO_dBaseFld {
 public:
  IndexedTable(const std::string& name, bool shared = false, bool readWrite = true,
               const std::string& password = "")
      : HXO_dBaseFld(name, shared, readWrite, password) {}
  ~IndexedTable() override { files.clear(); }

  HXobjIndexFile& Open(const std::string& indexName) {
    files.push_back(HxOpenIndexFile(this, indexName));
    return *files.back();
  }

  // Writes hold every index file locked, as the handler's do.
  void AppendRecord() override {
    Locked([this] { HXO_dBaseFld::AppendRecord(); });
  }
  void PutRecord(int64_t recno) override {
    Locked([&] { HXO_dBaseFld::PutRecord(recno); });
  }
  void StatusUpdate(int code, int64_t value) override {
    if (code == kStatusAfterWrite) {
      const int64_t recno = value == 0 ? RecNo() : value;
      for (auto& f : files) f->UpdateRecord(recno, value == 0);
    }
    HXO_dBaseFld::StatusUpdate(code, value);
  }
  template <typename Fn>
  void Locked(Fn&& fn) {
    size_t locked = 0;
    try {
      for (; locked < files.size(); ++locked) files[locked]->LockIndex();
      fn();
    } catch (...) {
      while (locked > 0) files[--locked]->UnlockIndex();
      throw;
    }
    while (locked > 0) files[--locked]->UnlockIndex();
  }

  // Field bytes of the current record (right-aligned for numbers).
  void Set(const std::string& field, const std::string& value) {
    const ThxDBFFields& f = FieldEntryByName(field);
    std::string v = value;
    const bool right = f.type == 'N' || f.type == 'F';
    if (v.size() < f.length)
      v = right ? std::string(f.length - v.size(), ' ') + v : v + std::string(f.length - v.size(), ' ');
    std::memcpy(RecordBuffer() + f.offset, v.data(), f.length);
    SetRecordChanged(true);
  }

  std::vector<std::unique_ptr<HXobjIndexFile>> files;
};

// Records NAME C(name width), AMOUNT N(10,2), BORN D: one per entry.
struct Row {
  std::string name;
  double amount = 0;
  std::string born;  // yyyymmdd or blank
  bool deleted = false;
};

inline DbfImage PeopleTable(const std::vector<Row>& rows, int nameWidth = 10) {
  DbfImage img;
  img.fields = {{"NAME", 'C', nameWidth}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8}};
  for (const Row& r : rows) {
    std::string rec(1, r.deleted ? '*' : ' ');
    std::string name = r.name;
    name.resize(static_cast<size_t>(nameWidth), ' ');
    rec += name;
    char num[32];
    std::snprintf(num, sizeof num, "%10.2f", r.amount);
    rec += num;
    std::string born = r.born;
    born.resize(8, ' ');
    rec += born;
    img.records.push_back(rec);
  }
  return img;
}

// Writes the image as `name` on the drive; answers its DOS path.
inline std::string WriteTable(const TempDrive& drive, const std::string& name, const DbfImage& img) {
  EXPECT_TRUE(WriteHostFile(drive.Host(name), tabletest::Bytes(img)));
  return drive.Dos(name);
}

// The record numbers of a tag from First to the end.
inline std::vector<int64_t> Walk(HXobjIndexTag& tag) {
  std::vector<int64_t> out;
  for (int64_t r = tag.First(); r != 0; r = tag.Next()) {
    out.push_back(r);
    if (out.size() > 10000000) break;
  }
  return out;
}

// The same from Last backwards.
inline std::vector<int64_t> WalkBack(HXobjIndexTag& tag) {
  std::vector<int64_t> out;
  for (int64_t r = tag.Last(); r != 0; r = tag.Previous()) {
    out.push_back(r);
    if (out.size() > 10000000) break;
  }
  return out;
}

inline ThxVariant Text(const std::string& s) {
  ThxVariant v;
  v.SetString(s);
  return v;
}

inline ThxVariant Number(double d) {
  ThxVariant v;
  v.SetNumber(d);
  return v;
}

// Every problem HxCheckIndexFile finds, one a line ("" when none).
inline std::string CheckProblems(HXobjIndexFile& file) {
  HxIndexCheckReport r = HxCheckIndexFile(file);
  std::string out;
  for (const auto& p : r.problems) out += p + "\n";
  return out;
}

}  // namespace indextest
