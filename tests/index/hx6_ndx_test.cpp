// NDX files: the layout of a new file, keys of every type, seeks, the
// maintenance after many record writes, Reindex, and damaged files.
#include "index/hx6_ndx.h"

#include <gtest/gtest.h>

#include "plain_index_test_util.h"

using namespace plaintest;

namespace {

const uint8_t* At(const std::string& bytes, size_t offset) {
  return reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
}

HXobjIndexFile& NewNdx(IndexedTable& t, const TempDrive& drive, const std::string& name,
                       const std::string& expr, bool unique = false) {
  t.files.push_back(HxCreateIndexFile(&t, drive.Dos(name)));
  t.files.back()->AddTag("", expr, unique, true, "");
  return *t.files.back();
}

}  // namespace

TEST(NdxFile, AnEmptyTableGivesAHeaderBlockAndAnEmptyRoot) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable({})));
  NewNdx(t, drive, "name.ndx", "NAME");
  t.files.clear();
  const std::string f = ReadHostFile(drive.Host("name.ndx"));
  ASSERT_EQ(f.size(), 1024u);
  EXPECT_EQ(GetLE32(At(f, 0)), 1u);   // root block
  EXPECT_EQ(GetLE32(At(f, 4)), 2u);   // next free block
  EXPECT_EQ(GetLE16(At(f, 12)), 10);  // key length
  EXPECT_EQ(GetLE16(At(f, 14)), 504 / 20);
  EXPECT_EQ(GetLE16(At(f, 16)), 0);
  EXPECT_EQ(GetLE16(At(f, 18)), 20);
  EXPECT_EQ(f.substr(24, 5), std::string("NAME\0", 5));
  EXPECT_EQ(GetLE16(At(f, 512)), 0);   // no keys
  EXPECT_EQ(GetLE32(At(f, 516)), 0u);  // a leaf
}

TEST(NdxFile, KeysOfEveryTypeWalkSeekAndReadBack) {
  TempDrive drive;
  std::vector<Row> rows = {{"SMITH", 2.5, "19991231"},
                           {"JONES", -1, ""},
                           {"SMITHSON", 0, "19800101"},
                           {"ADAMS", 10, "20200229"},
                           {"SMITH", -1, "19991231"}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& name = NewNdx(t, drive, "name.NDX", "NAME");
  HXobjIndexFile& amount = NewNdx(t, drive, "amount.ndx", "AMOUNT");
  HXobjIndexFile& born = NewNdx(t, drive, "born.ndx", "BORN");
  HXobjIndexFile& uniq = NewNdx(t, drive, "uniq.ndx", "NAME", true);
  EXPECT_EQ(Walk(*name.Tags(0)), (std::vector<int64_t>{4, 2, 1, 5, 3}));
  EXPECT_EQ(WalkBack(*name.Tags(0)), (std::vector<int64_t>{3, 5, 1, 2, 4}));
  EXPECT_EQ(Walk(*amount.Tags(0)), (std::vector<int64_t>{2, 5, 3, 1, 4}));
  EXPECT_EQ(Walk(*born.Tags(0)), (std::vector<int64_t>{3, 1, 5, 4, 2}));  // the blank date last
  EXPECT_EQ(Walk(*uniq.Tags(0)), (std::vector<int64_t>{4, 2, 1, 3}));
  EXPECT_EQ(name.Tags(0)->Name(), "NAME");
  EXPECT_EQ(name.Tags(0)->Seek(Text("SMI")), 1);
  EXPECT_EQ(name.Tags(0)->Next(), 5);
  EXPECT_EQ(name.Tags(0)->Seek(Text("B")), 0);
  EXPECT_EQ(name.Tags(0)->Current(), 2);  // rests on the next greater key
  EXPECT_EQ(amount.Tags(0)->Seek(Number(0)), 3);
  EXPECT_EQ(born.Tags(0)->KeyType(), hxKeyDate);
  // Numbers are stored as doubles, a blank date as 1.0E100. (The files are
  // let go first: a Windows host refuses to read a file held exclusively.)
  t.files.clear();
  const std::string f = ReadHostFile(drive.Host("born.ndx"));
  double d;
  const uint64_t bits = GetLE64(At(f, 512 + 4 + 4 * 16 + 8));
  std::memcpy(&d, &bits, 8);
  EXPECT_EQ(d, 1.0E100);
  // Everything reads back from the files, opened by extension in any case.
  EXPECT_EQ(Walk(*t.Open("NAME.ndx").Tags(0)), (std::vector<int64_t>{4, 2, 1, 5, 3}));
  EXPECT_EQ(Walk(*t.Open("born.Ndx").Tags(0)), (std::vector<int64_t>{3, 1, 5, 4, 2}));
  EXPECT_TRUE(t.Open("uniq.ndx").Tags(0)->Unique());
  try {
    t.Open("missing.ndx");
    FAIL() << "a missing file opened";
  } catch (const EKeldorError& e) {
    EXPECT_NE(std::string(e.what()).find("could not be found"), std::string::npos) << e.what();
  }
}

TEST(NdxFile, ThousandsOfWritesKeepTheTagInOrderAndReindexRebuildsIt) {
  TempDrive drive;
  std::mt19937 rng(16);
  auto rows = RandomRows(300, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& name = NewNdx(t, drive, "name.ndx", "NAME");
  HXobjIndexFile& amount = NewNdx(t, drive, "amount.ndx", "AMOUNT");
  const int64_t root = name.Tags(0)->RootOffset();
  auto byName = [](const Row& r) { return PadName(r); };
  auto byAmount = [](const Row& r) { return r.amount; };
  for (int step = 0; step < 3000; ++step) {
    RandomWrite(t, rows, rng);
    if (step % 1000 == 999) {
      ASSERT_EQ(Walk(*name.Tags(0)), Expected(rows, byName)) << "after step " << step;
      ASSERT_EQ(Walk(*amount.Tags(0)), Expected(rows, byAmount)) << "after step " << step;
    }
  }
  EXPECT_EQ(name.Tags(0)->RootOffset(), root);
  t.files.clear();
  HXobjIndexFile& again = t.Open("name.ndx");
  EXPECT_EQ(Walk(*again.Tags(0)), Expected(rows, byName));
  EXPECT_EQ(WalkBack(*again.Tags(0)).size(), rows.size());
  t.files.clear();
  const size_t grown = ReadHostFile(drive.Host("name.ndx")).size();
  HXobjIndexFile& rebuilt = t.Open("name.ndx");
  rebuilt.Reindex();
  EXPECT_EQ(Walk(*rebuilt.Tags(0)), Expected(rows, byName));
  t.files.clear();
  const std::string f = ReadHostFile(drive.Host("name.ndx"));
  EXPECT_LT(f.size(), grown);
  EXPECT_EQ(int64_t{GetLE32(At(f, 4))} * 512, int64_t(f.size()));
}

TEST(NdxFile, DamagedFilesAreCorruptedNeverACrash) {
  TempDrive drive;
  std::mt19937 rng(3);
  auto rows = RandomRows(400, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  NewNdx(t, drive, "name.ndx", "NAME");
  t.files.clear();
  const std::string good = ReadHostFile(drive.Host("name.ndx"));
  const uint32_t root = GetLE32(At(good, 0));
  auto damaged = [&](size_t offset, const std::string& bytes) {
    std::string f = good;
    f.replace(offset, bytes.size(), bytes);
    return f;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"root past the file", damaged(0, std::string("\xFF\x00\x00\x00", 4))},
      {"root in the header", damaged(0, std::string(4, '\0'))},
      {"key length 0", damaged(12, std::string(2, '\0'))},
      {"key length past a node", damaged(12, std::string("\xF4\x01", 2))},
      {"count beyond the node", damaged(root * 512, std::string("\xFF\x00", 2))},
      {"child past the file", damaged(root * 512 + 4, std::string("\xFF\xFF\x00\x00", 4))},
      {"child pointing at its parent",
       damaged(root * 512 + 4, std::string(reinterpret_cast<const char*>(&root), 4))},
      {"no expression end", damaged(24, std::string(488, 'A'))},
      {"cut short", good.substr(0, 700)},
  };
  ExpectEachCorrupted(t, drive, "bad.ndx", cases);
}
