// NTX files: text keys (the negative digit mapping), interior keys that are
// records of their own, descending and FOR tags, maintenance through many
// writes, and damaged files.
#include "index/hx6_ntx.h"

#include <gtest/gtest.h>

#include "plain_index_test_util.h"

using namespace plaintest;

namespace {

HXobjIndexFile& NewNtx(IndexedTable& t, const TempDrive& drive, const std::string& name,
                       const std::string& expr, bool unique = false, bool ascending = true,
                       const std::string& cond = "") {
  t.files.push_back(HxCreateIndexFile(&t, drive.Dos(name)));
  t.files.back()->AddTag("", expr, unique, ascending, cond);
  return *t.files.back();
}

}  // namespace

TEST(NtxKeys, NumbersBecomeTextThatSortsNegativesFirst) {
  EXPECT_EQ(HxNtxNumberKey(-5, 4, 0), ",,,'");
  EXPECT_EQ(HxNtxNumberKey(5, 4, 0), "0005");
  EXPECT_EQ(HxNtxNumberKey(-1.5, 6, 2), ",,+.',");
  EXPECT_EQ(HxNtxNumberKey(12345, 4, 0), "****");
  const double values[] = {-99.5, -10, -2.25, -0.5, 0, 0.5, 3, 99.75};
  for (size_t i = 0; i + 1 < std::size(values); ++i)
    EXPECT_LT(HxNtxNumberKey(values[i], 8, 2), HxNtxNumberKey(values[i + 1], 8, 2)) << values[i];
}

TEST(NtxFile, BuildsWalksSeeksAndReadsBackEveryKind) {
  TempDrive drive;
  std::vector<Row> rows = {{"SMITH", 2.5, "19991231"},
                           {"JONES", -1, ""},
                           {"SMITHSON", 0, "19800101"},
                           {"ADAMS", 10, "20200229"},
                           {"SMITH", -1, "19991231"}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& name = NewNtx(t, drive, "name.ntx", "NAME");
  HXobjIndexFile& amount = NewNtx(t, drive, "amount.NTX", "AMOUNT");
  HXobjIndexFile& born = NewNtx(t, drive, "born.ntx", "BORN");
  HXobjIndexFile& down = NewNtx(t, drive, "down.ntx", "NAME", false, false);
  HXobjIndexFile& cond = NewNtx(t, drive, "cond.ntx", "NAME", false, true, "AMOUNT >= 0");
  EXPECT_EQ(Walk(*name.Tags(0)), (std::vector<int64_t>{4, 2, 1, 5, 3}));
  EXPECT_EQ(Walk(*amount.Tags(0)), (std::vector<int64_t>{2, 5, 3, 1, 4}));
  EXPECT_EQ(Walk(*born.Tags(0)), (std::vector<int64_t>{2, 3, 1, 5, 4}));  // "00000000" first
  EXPECT_EQ(Walk(*down.Tags(0)), (std::vector<int64_t>{3, 1, 5, 2, 4}));
  EXPECT_EQ(Walk(*cond.Tags(0)), (std::vector<int64_t>{4, 1, 3}));
  EXPECT_EQ(amount.Tags(0)->KeyLength(), 10);
  EXPECT_EQ(amount.Tags(0)->Seek(Number(-1)), 2);
  // "SMITH" is a prefix of "SMITHSON", which comes first going down.
  EXPECT_EQ(down.Tags(0)->Seek(Text("SMITH")), 3);
  EXPECT_EQ(down.Tags(0)->Next(), 1);
  EXPECT_EQ(down.Tags(0)->Next(), 5);
  EXPECT_EQ(down.Tags(0)->Seek(Text("K")), 0);
  EXPECT_EQ(down.Tags(0)->Current(), 2);
  // Header: signature 7 with a FOR expression, descending flag.
  t.files.clear();
  const std::string f = ReadHostFile(drive.Host("cond.ntx"));
  EXPECT_EQ(GetLE16(reinterpret_cast<const uint8_t*>(f.data())), 7);
  EXPECT_EQ(f.substr(282, 12), std::string("AMOUNT >= 0\0", 12));
  EXPECT_EQ(ReadHostFile(drive.Host("down.ntx"))[279], 1);
  EXPECT_EQ(Walk(*t.Open("DOWN.ntx").Tags(0)), (std::vector<int64_t>{3, 1, 5, 2, 4}));
  EXPECT_EQ(Walk(*t.Open("cond.ntx").Tags(0)), (std::vector<int64_t>{4, 1, 3}));
  EXPECT_EQ(Walk(*t.Open("amount.ntx").Tags(0)), (std::vector<int64_t>{2, 5, 3, 1, 4}));
}

TEST(NtxFile, ThousandsOfWritesKeepEveryTagInOrder) {
  TempDrive drive;
  std::mt19937 rng(21);
  auto rows = RandomRows(500, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& name = NewNtx(t, drive, "name.ntx", "NAME");
  HXobjIndexFile& down = NewNtx(t, drive, "down.ntx", "AMOUNT", false, false);
  HXobjIndexFile& cond = NewNtx(t, drive, "cond.ntx", "NAME", false, true, "AMOUNT >= 0");
  auto byName = [](const Row& r) { return PadName(r); };
  auto byAmount = [](const Row& r) { return r.amount; };
  auto positive = [](const Row& r) { return r.amount >= 0 ? PadName(r) : std::string(); };
  auto expectCond = [&] {
    std::vector<int64_t> all = Expected(rows, positive), out;
    for (int64_t r : all)
      if (rows[size_t(r - 1)].amount >= 0) out.push_back(r);
    return out;
  };
  for (int step = 0; step < 3000; ++step) {
    RandomWrite(t, rows, rng);
    if (step % 1000 == 999) {
      ASSERT_EQ(Walk(*name.Tags(0)), Expected(rows, byName)) << "after step " << step;
      ASSERT_EQ(Walk(*down.Tags(0)), Expected(rows, byAmount, true)) << "after step " << step;
      ASSERT_EQ(Walk(*cond.Tags(0)), expectCond()) << "after step " << step;
    }
  }
  t.files.clear();
  EXPECT_EQ(Walk(*t.Open("name.ntx").Tags(0)), Expected(rows, byName));
  EXPECT_EQ(Walk(*t.Open("down.ntx").Tags(0)), Expected(rows, byAmount, true));
  HXobjIndexFile& again = t.Open("cond.ntx");
  EXPECT_EQ(Walk(*again.Tags(0)), expectCond());
  again.Reindex();
  EXPECT_EQ(Walk(*again.Tags(0)), expectCond());
}

TEST(NtxFile, RemovingTheHighestKeysKeepsTheOnesBelow) {
  // Emptying the last leaf turns the separator in front of it into the
  // tree's last key: it must stay in the file.
  TempDrive drive;
  std::vector<Row> rows;
  for (int i = 0; i < 400; ++i)
    rows.push_back({std::string(1, char('A' + i % 26)) + std::to_string(1000 + i), 0, ""});
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& name = NewNtx(t, drive, "name.ntx", "NAME");
  auto byName = [](const Row& r) { return PadName(r); };
  for (int i = 0; i < 200; ++i) {
    // The greatest name becomes the smallest.
    const std::vector<int64_t> order = Expected(rows, byName);
    const int64_t recno = order.back();
    t.GetRecord(recno);
    rows[size_t(recno - 1)].name = "0" + std::to_string(1000 + i);
    t.Set("NAME", rows[size_t(recno - 1)].name);
    t.PutRecord(recno);
  }
  ASSERT_EQ(Walk(*name.Tags(0)), Expected(rows, byName));
  t.files.clear();
  EXPECT_EQ(Walk(*t.Open("name.ntx").Tags(0)), Expected(rows, byName));
}

TEST(NtxFile, DamagedFilesAreCorruptedNeverACrash) {
  TempDrive drive;
  std::mt19937 rng(4);
  auto rows = RandomRows(600, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  NewNtx(t, drive, "name.ntx", "NAME");
  t.files.clear();
  const std::string good = ReadHostFile(drive.Host("name.ntx"));
  const uint32_t root = GetLE32(reinterpret_cast<const uint8_t*>(good.data()) + 4);
  auto damaged = [&](size_t offset, const std::string& bytes) {
    std::string f = good;
    f.replace(offset, bytes.size(), bytes);
    return f;
  };
  const std::string rootText(reinterpret_cast<const char*>(&root), 4);
  const uint16_t firstItem = GetLE16(reinterpret_cast<const uint8_t*>(good.data()) + root + 2);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"root past the file", damaged(4, std::string("\x00\x00\xFF\x00", 4))},
      {"root not on a page", damaged(4, std::string("\x01\x04\x00\x00", 4))},
      {"bad signature", damaged(0, std::string("\x09\x00", 2))},
      {"key length 0", damaged(14, std::string(2, '\0'))},
      {"count beyond the page", damaged(root, std::string("\xFF\x00", 2))},
      {"item offset past the page", damaged(root + 2, std::string("\xFF\x03", 2))},
      {"child pointing at its page", damaged(root + firstItem, rootText)},
      {"cut short", good.substr(0, 1500)},
  };
  ExpectEachCorrupted(t, drive, "bad.ntx", cases);
}
