// CDX files byte by byte: a new file, tag headers, leaf compression, key
// encodings; opening, adding, replacing and deleting tags; the table's
// structural-index flag.
#include "index/hx6_cdx.h"

#include <gtest/gtest.h>

#include "framework/bytes.h"
#include "index_test_util.h"
#include "tables/hx6_cnst.h"

using namespace indextest;

namespace {

std::vector<Row> Names(const std::vector<std::string>& names) {
  std::vector<Row> rows;
  for (size_t i = 0; i < names.size(); ++i) rows.push_back({names[i], double(i), ""});
  return rows;
}

const uint8_t* At(const std::string& bytes, size_t offset) {
  return reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
}

}  // namespace

TEST(CdxFile, ANewFileIsADirectoryHeaderAndAnEmptyRootLeaf) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable({})));
  { HXobjCDXFile cdx(&t, drive.Dos("other.cdx"), false, true); }
  const std::string f = ReadHostFile(drive.Host("other.cdx"));
  ASSERT_EQ(f.size(), 1536u);
  // Directory header: root at 1024, key length 10, options 0xE0, signature 1.
  EXPECT_EQ(GetLE32(At(f, 0)), 1024u);
  EXPECT_EQ(GetLE32(At(f, 4)), 0u);
  EXPECT_EQ(GetLE16(At(f, 12)), 10);
  EXPECT_EQ(f[14], char(0xE0));
  EXPECT_EQ(f[15], 1);
  EXPECT_EQ(GetLE16(At(f, 504)), 0);  // no key expression
  EXPECT_EQ(GetLE16(At(f, 506)), 1);
  EXPECT_EQ(GetLE16(At(f, 510)), 1);
  // Empty root leaf: attributes 3, no keys, siblings -1, 488 free, masks
  // 0xFFFF/15/15, 16/4/4 bits, N = 3.
  const uint8_t* n = At(f, 1024);
  EXPECT_EQ(GetLE16(n), 3);
  EXPECT_EQ(GetLE16(n + 2), 0);
  EXPECT_EQ(GetLE32(n + 4), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE32(n + 8), 0xFFFFFFFFu);
  EXPECT_EQ(GetLE16(n + 12), 488);
  EXPECT_EQ(GetLE32(n + 14), 0xFFFFu);
  EXPECT_EQ(n[18], 15);
  EXPECT_EQ(n[19], 15);
  EXPECT_EQ(n[20], 16);
  EXPECT_EQ(n[21], 4);
  EXPECT_EQ(n[22], 4);
  EXPECT_EQ(n[23], 3);
}

TEST(CdxFile, NumericKeysSortAsBytes) {
  uint8_t b[8];
  HxSortableDouble(1.0, b);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 8), std::string("\xBF\xF0\0\0\0\0\0\0", 8));
  HxSortableDouble(-1.0, b);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 8), std::string("\x40\x0F\xFF\xFF\xFF\xFF\xFF\xFF", 8));
  HxSortableDouble(0.0, b);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 8), std::string("\x80\0\0\0\0\0\0\0", 8));
  uint8_t z[8];
  HxSortableDouble(-0.0, z);  // -0 is the same key as 0
  EXPECT_EQ(0, std::memcmp(b, z, 8));
  const double values[] = {-1e300, -2.5, -1.0, -1e-300, 0.0, 1e-300, 0.5, 1.0, 3.0, 1e300};
  for (size_t i = 0; i + 1 < std::size(values); ++i) {
    uint8_t x[8], y[8];
    HxSortableDouble(values[i], x);
    HxSortableDouble(values[i + 1], y);
    EXPECT_LT(std::memcmp(x, y, 8), 0) << values[i] << " before " << values[i + 1];
    EXPECT_EQ(HxDoubleFromSortable(x, 8), values[i]);
  }
}

TEST(CdxFile, LeafKeysShareLeadingBytesAndDropTrailingBlanks) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"ABCD", "ABCE"}))));
  HXobjCDXFile cdx(&t, drive.Dos("people.cdx"), false, true);
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.Flush();
  const std::string f = ReadHostFile(drive.Host("people.cdx"));
  const HXobjIndexTag& tag = *cdx.TagByName("name");
  const uint8_t* h = At(f, static_cast<size_t>(tag.HeaderOffset()));
  EXPECT_EQ(GetLE16(h + 12), 10);
  EXPECT_EQ(h[14], 0x60);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 512)), "NAME");
  EXPECT_EQ(GetLE16(h + 504), 5);
  EXPECT_EQ(GetLE16(h + 510), 5);
  const uint8_t* leaf = At(f, GetLE32(h));
  EXPECT_EQ(GetLE16(leaf), 3);
  EXPECT_EQ(GetLE16(leaf + 2), 2);
  ASSERT_EQ(leaf[23], 3);
  const uint32_t e1 = GetLE32(leaf + 24) & 0xFFFFFF, e2 = GetLE32(leaf + 27) & 0xFFFFFF;
  EXPECT_EQ(e1 & 0xFFFF, 1u);
  EXPECT_EQ((e1 >> 16) & 15, 0u);  // duplicate count
  EXPECT_EQ(e1 >> 20, 6u);         // trailing count
  EXPECT_EQ(e2 & 0xFFFF, 2u);
  EXPECT_EQ((e2 >> 16) & 15, 3u);
  EXPECT_EQ(e2 >> 20, 6u);
  // Key bytes from the end: ABCD, then only E.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(leaf + 507), 5), "EABCD");
  EXPECT_EQ(GetLE16(leaf + 12), 488 - 3 - 4 - 3 - 1);
}

TEST(CdxFile, TagHeadersCarryUniqueForAndDescending) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"A", "B"}))));
  {
    HXobjCDXFile cdx(&t, drive.Dos("people.cdx"), false, true);
    cdx.AddTag("byname", "NAME", true, false, "AMOUNT > 0");
    cdx.AddTag("amount", "AMOUNT", false, true, "");
    cdx.AddTag("born", "BORN", false, true, "");
  }
  const std::string f = ReadHostFile(drive.Host("people.cdx"));
  HXobjCDXFile cdx(&t, drive.Dos("people.cdx"), false, false);
  ASSERT_TRUE(cdx.IsOpen());
  // The directory lists tags in name order.
  ASSERT_EQ(cdx.TagCount(), 3);
  EXPECT_EQ(cdx.Tags(0)->Name(), "AMOUNT");
  EXPECT_EQ(cdx.Tags(1)->Name(), "BORN");
  EXPECT_EQ(cdx.Tags(2)->Name(), "BYNAME");
  HXobjIndexTag& byName = *cdx.TagByName("BYNAME");
  EXPECT_TRUE(byName.Unique());
  EXPECT_TRUE(byName.Descending());
  EXPECT_TRUE(byName.HasFor());
  EXPECT_EQ(byName.ForExpression(), "AMOUNT > 0");
  const uint8_t* h = At(f, static_cast<size_t>(byName.HeaderOffset()));
  EXPECT_EQ(h[14], 0x60 | 0x01 | 0x08);
  EXPECT_EQ(GetLE16(h + 502), 1);
  EXPECT_EQ(GetLE16(h + 506), 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 512 + 5)), "AMOUNT > 0");
  EXPECT_EQ(cdx.TagByName("amount")->KeyType(), 'N');
  EXPECT_EQ(cdx.TagByName("amount")->KeyLength(), 8);
  EXPECT_EQ(cdx.TagByName("born")->KeyType(), 'D');
  EXPECT_EQ(byName.KeyType(), 'C');
  EXPECT_EQ(byName.KeyLength(), 10);
}

TEST(CdxFile, AddingATagOfAnExistingNameReplacesIt) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"B", "A", "C"}))));
  HXobjCDXFile cdx(&t, drive.Dos("people.cdx"), false, true);
  cdx.AddTag("ORDER", "NAME", false, true, "");
  EXPECT_EQ(Walk(*cdx.TagByName("ORDER")), (std::vector<int64_t>{2, 1, 3}));
  const int64_t size = cdx.DiskFile().FileSize();
  cdx.AddTag("order", "NAME", false, false, "");
  ASSERT_EQ(cdx.TagCount(), 1);
  EXPECT_EQ(Walk(*cdx.TagByName("ORDER")), (std::vector<int64_t>{3, 1, 2}));
  // The old blocks stay in the file unused.
  EXPECT_GT(cdx.DiskFile().FileSize(), size);
  EXPECT_EQ(CheckProblems(cdx), "");
}

TEST(CdxFile, AFailedReplacementKeepsTheOldTag) {
  TempDrive drive;
  DbfImage img = PeopleTable({{"B", 1, "20200101"}, {"A", 2, "20200229"}});
  img.records[1].replace(21, 8, "2020XX01");  // a date the key cannot read
  IndexedTable t(WriteTable(drive, "people.dbf", img));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("ORDER", "NAME", false, true, "");
  // An expression error, raised before anything changed; a record the new
  // key cannot read, found while building.
  EXPECT_NE(MessageOf([&] { cdx.AddTag("ORDER", "NAME +", false, true, ""); }), "(no error)");
  EXPECT_NE(MessageOf([&] { cdx.AddTag("ORDER", "DTOS(BORN)", false, true, ""); }), "(no error)");
  ASSERT_EQ(cdx.TagCount(), 1);
  EXPECT_EQ(cdx.TagByName("ORDER")->KeyExpression(), "NAME");
  t.files.clear();
  HXobjIndexFile& again = t.Open("people.cdx");
  EXPECT_EQ(Walk(*again.TagByName("ORDER")), (std::vector<int64_t>{2, 1}));
  EXPECT_EQ(CheckProblems(again), "");
}

TEST(CdxFile, DeletingTheLastTagLeavesOnlyTheDirectory) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"B", "A"}))));
  HXobjCDXFile cdx(&t, drive.Dos("people.cdx"), false, true);
  cdx.AddTag("N1", "NAME", false, true, "");
  cdx.AddTag("N2", "AMOUNT", false, true, "");
  EXPECT_TRUE(cdx.DeleteTag("n1"));
  EXPECT_FALSE(cdx.DeleteTag("n1"));
  EXPECT_EQ(cdx.TagCount(), 1);
  EXPECT_TRUE(cdx.DeleteTag("N2"));
  EXPECT_EQ(cdx.TagCount(), 0);
  EXPECT_EQ(cdx.DiskFile().FileSize(), 1536);
}

TEST(CdxFile, RenamingKeepsTheExtension) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"B", "A"}))));
  HXobjIndexFile& cdx = t.Open("people.CDX");
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.RenameFile("renamed");
  EXPECT_EQ(cdx.FileName(), "renamed.CDX");
  EXPECT_EQ(Walk(*cdx.TagByName("NAME")), (std::vector<int64_t>{2, 1}));
  t.files.clear();
  EXPECT_EQ(Walk(*t.Open("renamed.cdx").TagByName("NAME")), (std::vector<int64_t>{2, 1}));
}

TEST(CdxFile, AFileOfOneBlockOrLessIsTreatedAsNew) {
  TempDrive drive;
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"A"}))));
  ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), std::string(512, 'x')));
  HXobjCDXFile cdx(&t, drive.Dos("people.cdx"), false, true);
  EXPECT_TRUE(cdx.IsOpen());
  EXPECT_EQ(cdx.TagCount(), 0);
  EXPECT_EQ(GetLE32(At(ReadHostFile(drive.Host("people.cdx")), 0)), 1024u);
}

TEST(CdxFile, OpeningTheTablesOwnIndexSetsTheStructuralFlag) {
  TempDrive drive;
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(Names({"A"})));
  {
    IndexedTable t(name);
    HxOpenIndexFile(&t, "PEOPLE.CDX");  // created beside the table
    EXPECT_TRUE(t.StructuralIndex());
  }
  EXPECT_EQ(ReadHostFile(drive.Host("people.dbf"))[28] & 1, 1);
  // Another name leaves the flag alone.
  ASSERT_TRUE(WriteHostFile(drive.Host("other.dbf"), tabletest::Bytes(PeopleTable(Names({"A"})))));
  IndexedTable other(drive.Dos("other.dbf"));
  HxOpenIndexFile(&other, "people.cdx");
  EXPECT_FALSE(other.StructuralIndex());
}

TEST(CdxFile, OtherExtensionsAnswerFileNotFound) {
  TempDrive drive;
  {
    IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(Names({"A"}))));
    for (const char* name : {"people.ntx", "people.NDX", "people.mdx", "people.idx"})
      EXPECT_EQ(MessageOf([&] { HxOpenIndexFile(&t, name); }),
                FormatKeldorMessage(hxErrFileNotFound, drive.Dos(name)))
          << name;
  }
  // A missing CDX opened read-only is not created.
  IndexedTable ro(drive.Dos("people.dbf"), false, false);
  EXPECT_EQ(MessageOf([&] { HxOpenIndexFile(&ro, "missing.cdx"); }),
            FormatKeldorMessage(hxErrFileNotFound, drive.Dos("missing.cdx")));
}
