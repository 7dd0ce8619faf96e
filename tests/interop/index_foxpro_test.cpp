// Compound index files written by Visual FoxPro: they open, list their tags
// with their expressions, walk every tag in the order of its key over the
// table's records, pass the engine's own verification and answer seeks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFoxDir = fs::path(VEL_FIXTURES_DIR) / "foxprodb";

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Copies the fixture folder onto a fresh drive, so nothing can touch the originals.
bool CopyFixtures(const TempDrive& drive) {
  if (!fs::is_directory(kFoxDir)) return false;
  for (const auto& e : fs::directory_iterator(kFoxDir))
    if (!WriteHostFile(drive.Host(e.path().filename().string()), ReadHostFile(e.path().string())))
      return false;
  return true;
}

struct Expected {
  const char* table;
  std::map<std::string, std::string> tags;  // name -> key expression
};

const Expected kTables[] = {
    {"calls", {{"CALL_ID", "call_id"}, {"CONTACT_ID", "contact_id"}}},
    {"contacts", {{"CONTACT_ID", "contact_id"}, {"TYPE_ID", "contact_type_id"}}},
    {"setup", {{"KEY_NAME", "key_name"}}},
    {"types", {{"TYPE_ID", "contact_type_id"}}},
};

// The records in the order of one field, read through the table (integers
// as numbers, text as blank-padded text), equal values by record number.
std::vector<int64_t> OrderByField(HXO_dBaseFld& t, const std::string& field) {
  const int n = t.FieldNumber(field.substr(0, 10));
  EXPECT_GT(n, 0) << field;
  std::vector<std::pair<std::pair<double, std::string>, int64_t>> keyed;
  for (int64_t r = 1; r <= t.RecordCount(); ++r) {
    t.GetRecord(r);
    std::string raw;
    t.GetRaw(n, raw);
    const bool number = t.FieldType(n) == 'I';
    keyed.push_back({{number ? t.GetNumber(n) : 0.0, number ? std::string() : raw}, r});
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<int64_t> out;
  for (const auto& k : keyed) out.push_back(k.second);
  return out;
}

}  // namespace

TEST(IndexFoxPro, RealCompoundIndexesOpenListTheirTagsAndWalkInKeyOrder) {
  TempDrive drive;
  if (!CopyFixtures(drive)) {
    if (UnderCi()) FAIL() << "fixtures missing at " << kFoxDir;
    GTEST_SKIP() << "fixtures missing at " << kFoxDir;
  }
  for (const Expected& e : kTables) {
    SCOPED_TRACE(e.table);
    HXO_dBaseFld t(drive.Dos(std::string(e.table) + ".dbf"), false, false);
    auto file = HxOpenIndexFile(&t, std::string(e.table) + ".CDX");
    std::map<std::string, std::string> tags;
    for (int i = 0; i < file->TagCount(); ++i) tags[file->Tags(i)->Name()] = file->Tags(i)->KeyExpression();
    EXPECT_EQ(tags, e.tags);
    for (int i = 0; i < file->TagCount(); ++i) {
      HXobjIndexTag& tag = *file->Tags(i);
      SCOPED_TRACE(tag.Name());
      EXPECT_TRUE(tag.Orderable()) << tag.NotOrderableReason();
      std::vector<int64_t> walk;
      for (int64_t r = tag.First(); r != 0 && walk.size() <= 100000; r = tag.Next()) walk.push_back(r);
      EXPECT_EQ(walk, OrderByField(t, tag.KeyExpression()));
      std::vector<int64_t> back;
      for (int64_t r = tag.Last(); r != 0 && back.size() <= 100000; r = tag.Previous()) back.push_back(r);
      std::reverse(back.begin(), back.end());
      EXPECT_EQ(back, walk);
    }
    const HxIndexCheckReport report = HxCheckIndexFile(*file);
    EXPECT_TRUE(report.Ok()) << report.problems.front();
    for (const auto& s : report.tags) EXPECT_TRUE(s.recordsChecked) << s.name;
  }
}

TEST(IndexFoxPro, IntegerAndCharacterTagsAnswerSeeks) {
  TempDrive drive;
  if (!CopyFixtures(drive)) {
    if (UnderCi()) FAIL() << "fixtures missing at " << kFoxDir;
    GTEST_SKIP() << "fixtures missing at " << kFoxDir;
  }
  HXO_dBaseFld calls(drive.Dos("calls.dbf"), false, false);
  auto file = HxOpenIndexFile(&calls, "calls.CDX");
  HXobjIndexTag& byId = *file->TagByName("call_id");
  EXPECT_EQ(byId.KeyType(), hxKeyInteger);
  const int field = calls.FieldNumber("CALL_ID");
  for (int64_t r = 1; r <= calls.RecordCount(); ++r) {
    calls.GetRecord(r);
    ThxVariant v;
    v.SetNumber(calls.GetNumber(field));
    EXPECT_EQ(byId.Seek(v), r) << "call " << calls.GetNumber(field);
  }
  HXO_dBaseFld setup(drive.Dos("setup.dbf"), false, false);
  auto setupIndex = HxOpenIndexFile(&setup, "setup.CDX");
  HXobjIndexTag& byName = *setupIndex->TagByName("KEY_NAME");
  setup.GetRecord(2);
  std::string name;
  setup.GetString(1, name);
  ThxVariant v;
  v.SetString(name.substr(0, 3));
  EXPECT_NE(byName.Seek(v), 0) << name;
}
