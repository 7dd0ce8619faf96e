// MDX files: the 12-byte numbers, the layout of a new file, several tags of
// every kind in one file, maintenance through many record writes checked by
// the file checker, Reindex, and damaged files.
#include "index/hx6_mdx.h"

#include <gtest/gtest.h>

#include "plain_index_test_util.h"

using namespace plaintest;

namespace {

const uint8_t* At(const std::string& bytes, size_t offset) {
  return reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
}

HXobjIndexFile& NewMdx(IndexedTable& t, const TempDrive& drive, const std::string& name) {
  t.files.push_back(HxCreateIndexFile(&t, drive.Dos(name)));
  return *t.files.back();
}

std::string Problems(HXobjIndexFile& file) {
  std::string out;
  for (const auto& p : HxCheckPlainIndexFile(static_cast<HXobjPlainFile&>(file)).problems) out += p + "\n";
  return out;
}

// The five tags the tests put in one file.
void AddFiveTags(HXobjIndexFile& f) {
  f.AddTag("NAME", "NAME", false, true, "");
  f.AddTag("amount", "AMOUNT", false, true, "");
  f.AddTag("BORN", "BORN", false, true, "");
  f.AddTag("DOWN", "AMOUNT", false, false, "");
  f.AddTag("POSNAME", "NAME", false, true, "AMOUNT >= 0");
}

std::vector<int64_t> PositiveByName(const std::vector<Row>& rows) {
  std::vector<int64_t> out;
  for (int64_t r : Expected(rows, [](const Row& r) { return PadName(r); }))
    if (rows[size_t(r - 1)].amount >= 0) out.push_back(r);
  return out;
}

}  // namespace

TEST(MdxKeys, NumbersTakeTwelveBytesAndComeBackExactly) {
  uint8_t b[kMdxNumericLength];
  HxMdxEncodeNumber(12.34, b);
  EXPECT_EQ(b[0], 0x36);  // 0.1234 x 10^2
  EXPECT_EQ(b[1], 4 << 2);
  EXPECT_EQ(b[2], 0x12);
  EXPECT_EQ(b[3], 0x34);
  HxMdxEncodeNumber(-0.05, b);
  EXPECT_EQ(b[0], 0x33);
  EXPECT_EQ(b[1], 0x80 | (1 << 2));
  EXPECT_EQ(b[2], 0x50);
  HxMdxEncodeNumber(0, b);
  EXPECT_EQ(b[0], 0x34);
  const double values[] = {0, 1, -1, 12.34, -1000.25, 1.0 / 3, -2.0 / 7, 123456789012345.0, 9.87654321e150,
                           3.5e-40, 1e-60, -1e250};
  for (double v : values) {
    HxMdxEncodeNumber(v, b);
    double back = -99;
    ASSERT_TRUE(HxMdxDecodeNumber(b, back)) << v;
    EXPECT_EQ(back, HxMdxNormalNumber(v)) << v;
  }
  EXPECT_EQ(HxMdxNormalNumber(1e-60), 0);
  EXPECT_EQ(HxMdxNormalNumber(-1e250), -1e200);
  b[2] = 0xAB;  // not a digit
  double d;
  EXPECT_FALSE(HxMdxDecodeNumber(b, d));
}

TEST(MdxFile, ANewFileHasItsHeaderTagTableAndTagHeader) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable({})));
  HXobjIndexFile& f = NewMdx(t, drive, "people.mdx");
  f.AddTag("name", "NAME", true, false, "AMOUNT > 0");
  t.files.clear();
  const std::string h = ReadHostFile(drive.Host("people.mdx"));
  ASSERT_EQ(h.size(), 4096u);  // header, tag header, empty root
  EXPECT_EQ(h[0], 2);
  EXPECT_EQ(h.substr(4, 7), std::string("PEOPLE\0", 7));
  EXPECT_EQ(GetLE16(At(h, 20)), 2);
  EXPECT_EQ(GetLE16(At(h, 22)), 1024);
  EXPECT_EQ(h[24], 1);
  EXPECT_EQ(GetLE16(At(h, 28)), 1);
  EXPECT_EQ(GetLE32(At(h, 32)), 8u);  // next free block
  EXPECT_EQ(GetLE32(At(h, 544)), 4u);  // the tag's header block
  EXPECT_EQ(h.substr(548, 5), std::string("NAME\0", 5));
  EXPECT_EQ(h[544 + 20], 'C');
  const size_t tag = 2048;
  EXPECT_EQ(GetLE32(At(h, tag)), 6u);  // root block
  EXPECT_EQ(uint8_t(h[tag + 8]), 0x10 | 0x40 | 0x08);
  EXPECT_EQ(h[tag + 9], 'C');
  EXPECT_EQ(GetLE16(At(h, tag + 12)), 10);
  EXPECT_EQ(GetLE16(At(h, tag + 14)), 1016 / 16 - 1);
  EXPECT_EQ(GetLE16(At(h, tag + 18)), 16);
  EXPECT_EQ(h[tag + 23], 64);
  EXPECT_EQ(h.substr(tag + 24, 5), std::string("NAME\0", 5));
  EXPECT_EQ(h[tag + 245], 1);
  EXPECT_EQ(GetLE32(At(h, tag + 248)), 4u);
  EXPECT_EQ(h.substr(tag + 762, 11), std::string("AMOUNT > 0\0", 11));
  EXPECT_EQ(GetLE32(At(h, 3072)), 0u);  // the root: no keys
}

TEST(MdxFile, SeveralTagsOfEveryKindWalkSeekAndReadBack) {
  TempDrive drive;
  std::vector<Row> rows = {{"SMITH", 2.5, "19991231"},
                           {"JONES", -1, ""},
                           {"SMITHSON", 0, "19800101"},
                           {"ADAMS", 10, "20200229"},
                           {"SMITH", -1, "19991231"}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& f = NewMdx(t, drive, "people.MDX");
  AddFiveTags(f);
  f.AddTag("UNIQ", "NAME", true, true, "");
  auto check = [&](HXobjIndexFile& m) {
    ASSERT_EQ(m.TagCount(), 6);
    EXPECT_EQ(Walk(*m.TagByName("name")), (std::vector<int64_t>{4, 2, 1, 5, 3}));
    EXPECT_EQ(WalkBack(*m.TagByName("NAME")), (std::vector<int64_t>{3, 5, 1, 2, 4}));
    EXPECT_EQ(Walk(*m.TagByName("AMOUNT")), (std::vector<int64_t>{2, 5, 3, 1, 4}));
    EXPECT_EQ(Walk(*m.TagByName("BORN")), (std::vector<int64_t>{3, 1, 5, 4, 2}));  // the blank date last
    EXPECT_EQ(Walk(*m.TagByName("DOWN")), (std::vector<int64_t>{4, 1, 3, 2, 5}));
    EXPECT_EQ(Walk(*m.TagByName("POSNAME")), (std::vector<int64_t>{4, 1, 3}));
    EXPECT_EQ(Walk(*m.TagByName("UNIQ")), (std::vector<int64_t>{4, 2, 1, 3}));
    EXPECT_EQ(m.TagByName("BORN")->KeyType(), hxKeyDate);
    EXPECT_EQ(m.TagByName("AMOUNT")->KeyLength(), 12);
    EXPECT_EQ(m.TagByName("NAME")->Seek(Text("SMI")), 1);
    EXPECT_EQ(m.TagByName("AMOUNT")->Seek(Number(0)), 3);
    EXPECT_EQ(m.TagByName("DOWN")->Seek(Number(1)), 0);
    EXPECT_EQ(m.TagByName("DOWN")->Current(), 3);  // the next lower value going down
    EXPECT_EQ(m.TagByName("DOWN")->Seek(Number(-1)), 2);
    EXPECT_EQ(Problems(m), "");
  };
  check(f);
  t.files.clear();
  check(t.Open("PEOPLE.mdx"));
  // A tag goes, another takes the place of one of the same name.
  HXobjIndexFile& m = *t.files.back();
  EXPECT_TRUE(m.DeleteTag("uniq"));
  EXPECT_FALSE(m.DeleteTag("uniq"));
  m.AddTag("NAME", "AMOUNT", false, true, "");
  EXPECT_EQ(m.TagCount(), 5);
  EXPECT_EQ(Walk(*m.Tags(0)), (std::vector<int64_t>{2, 5, 3, 1, 4}));
  EXPECT_ANY_THROW(m.AddTag("BAD", "NOSUCHFIELD", false, true, ""));
  EXPECT_THROW(m.AddTag("MUCHTOOLONGNAME", "NAME", false, true, ""), EKeldorError);
  EXPECT_EQ(m.TagCount(), 5);
  t.files.clear();
  HXobjIndexFile& again = t.Open("people.mdx");
  EXPECT_EQ(again.TagCount(), 5);
  EXPECT_EQ(Walk(*again.TagByName("NAME")), (std::vector<int64_t>{2, 5, 3, 1, 4}));
  EXPECT_EQ(Problems(again), "");
}

TEST(MdxFile, ThousandsOfWritesKeepEveryTagSoundAndReindexRebuildsThem) {
  TempDrive drive;
  std::mt19937 rng(44);
  // Enough rows that appends split the root of the built tags.
  auto rows = RandomRows(3600, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& f = NewMdx(t, drive, "people.mdx");
  AddFiveTags(f);
  auto byName = [](const Row& r) { return PadName(r); };
  auto byAmount = [](const Row& r) { return r.amount; };
  for (int step = 0; step < 3000; ++step) {
    if (step % 7 == 3) {
      // Deleting marks the record; its entries stay.
      t.GetRecord(1 + int64_t(rng() % rows.size()));
      t.DeleteRecord();
    } else {
      RandomWrite(t, rows, rng);
    }
    if (step % 1000 == 999) {
      ASSERT_EQ(Walk(*f.TagByName("NAME")), Expected(rows, byName)) << "after step " << step;
      ASSERT_EQ(Walk(*f.TagByName("AMOUNT")), Expected(rows, byAmount)) << "after step " << step;
      ASSERT_EQ(Walk(*f.TagByName("DOWN")), Expected(rows, byAmount, true)) << "after step " << step;
      ASSERT_EQ(Walk(*f.TagByName("POSNAME")), PositiveByName(rows)) << "after step " << step;
      ASSERT_EQ(Problems(f), "") << "after step " << step;
    }
  }
  EXPECT_GE(static_cast<HXobjPlainFile&>(f).TagCount(), 5);
  EXPECT_GE(HxCheckPlainIndexFile(static_cast<HXobjPlainFile&>(f)).tags[0].depth, 3);
  t.files.clear();
  const std::string closed = ReadHostFile(drive.Host("people.mdx"));
  EXPECT_EQ(int64_t{GetLE32(At(closed, 32))} * 512, int64_t(closed.size()));
  HXobjIndexFile& again = t.Open("people.mdx");
  EXPECT_EQ(Walk(*again.TagByName("NAME")), Expected(rows, byName));
  EXPECT_EQ(WalkBack(*again.TagByName("DOWN")).size(), rows.size());
  EXPECT_EQ(again.TagByName("AMOUNT")->Seek(Number(rows[7].amount)) != 0, true);
  EXPECT_EQ(Problems(again), "");
  again.Reindex();
  EXPECT_EQ(Walk(*again.TagByName("POSNAME")), PositiveByName(rows));
  EXPECT_EQ(Walk(*again.TagByName("DOWN")), Expected(rows, byAmount, true));
  EXPECT_EQ(Problems(again), "");
  t.files.clear();
  const std::string f2 = ReadHostFile(drive.Host("people.mdx"));
  EXPECT_LT(f2.size(), closed.size());
  EXPECT_EQ(int64_t{GetLE32(At(f2, 32))} * 512, int64_t(f2.size()));
}

TEST(MdxFile, DamagedFilesAreCorruptedNeverACrash) {
  TempDrive drive;
  std::mt19937 rng(5);
  auto rows = RandomRows(600, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  NewMdx(t, drive, "people.mdx").AddTag("NAME", "NAME", false, true, "");
  t.files.clear();
  const std::string good = ReadHostFile(drive.Host("people.mdx"));
  const uint32_t root = GetLE32(At(good, 2048));
  auto damaged = [&](size_t offset, const std::string& bytes) {
    std::string f = good;
    f.replace(offset, bytes.size(), bytes);
    return f;
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"tag count past the table", damaged(28, std::string("\x40\x00", 2))},
      {"node size 0", damaged(22, std::string(2, '\0'))},
      {"tag header past the file", damaged(544, std::string("\xFF\xFF\x00\x00", 4))},
      {"root past the file", damaged(2048, std::string("\xFF\xFF\x00\x00", 4))},
      {"numeric key of 8 bytes", damaged(2048 + 9, "N")},
      {"count beyond the node", damaged(root * 512, std::string("\xFF\x00\x00\x00", 4))},
      {"child pointing at its parent",
       damaged(root * 512 + 8, std::string(reinterpret_cast<const char*>(&root), 4))},
      {"no expression end", damaged(2048 + 24, std::string(221, 'A'))},
      {"cut short", good.substr(0, 3000)},
  };
  ExpectEachCorrupted(t, drive, "bad.mdx", cases);
}

TEST(MdxFile, TwoOpenersWritingInTurnSeeEachOthersNodesAndTags) {
  TempDrive drive;
  std::mt19937 rng(9);
  auto rows = RandomRows(300, rng);
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(rows));
  {
    IndexedTable t(name);
    AddFiveTags(NewMdx(t, drive, "people.mdx"));
  }
  {
  IndexedTable a(name, true, true), b(name, true, true);
  a.Open("people.mdx");
  b.Open("people.mdx");
  for (int step = 0; step < 600; ++step) RandomWrite(step % 2 ? b : a, rows, rng);
  // A tag one opener adds is maintained by the other.
  a.files[0]->LockIndex();
  a.files[0]->AddTag("BORN2", "BORN", false, true, "");
  a.files[0]->UnlockIndex();
  for (int step = 0; step < 100; ++step) RandomWrite(b, rows, rng);
  // A tag the other removes is no longer kept, nor written back.
  b.files[0]->LockIndex();
  EXPECT_TRUE(b.files[0]->DeleteTag("POSNAME"));
  b.files[0]->UnlockIndex();
  for (int step = 0; step < 100; ++step) RandomWrite(a, rows, rng);
  EXPECT_FALSE(a.files[0]->TagByName("POSNAME")->Orderable());
  EXPECT_EQ(Walk(*b.files[0]->TagByName("BORN2")).size(), rows.size());
  }
  IndexedTable t(name);
  HXobjIndexFile& f = t.Open("people.mdx");
  EXPECT_EQ(f.TagCount(), 5);
  EXPECT_EQ(f.TagByName("POSNAME"), nullptr);
  EXPECT_EQ(Walk(*f.TagByName("NAME")), Expected(rows, [](const Row& r) { return PadName(r); }));
  EXPECT_EQ(Problems(f), "");
}
