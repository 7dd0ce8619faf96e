// The index model through CDX tags: navigation both ways and in descending
// tags, seeks with the prefix rule, ranges, and the maintenance after record
// writes, checked against an independent model of the expected order.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "index_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_date.h"

using namespace indextest;

namespace {

std::string Padded(const std::string& s, size_t n) {
  std::string r = s;
  r.resize(n, ' ');
  return r;
}

// The order a character tag on NAME must have: names as padded keys, equal
// names by record number.
std::vector<int64_t> ExpectedByName(const std::vector<Row>& rows, size_t width = 10,
                                    bool (*keep)(const Row&) = nullptr) {
  std::vector<std::pair<std::string, int64_t>> v;
  for (size_t i = 0; i < rows.size(); ++i)
    if (!keep || keep(rows[i])) v.push_back({Padded(rows[i].name, width).substr(0, width), int64_t(i + 1)});
  std::sort(v.begin(), v.end());
  std::vector<int64_t> out;
  for (auto& p : v) out.push_back(p.second);
  return out;
}

std::vector<Row> RandomRows(size_t n, std::mt19937& rng, int alphabet = 26, int maxLength = 8) {
  std::vector<Row> rows;
  for (size_t i = 0; i < n; ++i) {
    std::string name;
    const int length = 1 + int(rng() % maxLength);
    for (int k = 0; k < length; ++k) name += char('A' + rng() % alphabet);
    rows.push_back({name, double(int(rng() % 20001) - 10000) / 100.0, ""});
  }
  return rows;
}

}  // namespace

TEST(IndexNavigation, WalksBothWaysAcrossManyLeaves) {
  TempDrive drive;
  std::mt19937 rng(7);
  const auto rows = RandomRows(3000, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  HXobjIndexTag& tag = *cdx.TagByName("NAME");
  const auto expected = ExpectedByName(rows);
  EXPECT_EQ(Walk(tag), expected);
  EXPECT_TRUE(tag.AtBottom());
  EXPECT_EQ(tag.Current(), 0);
  auto back = WalkBack(tag);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, expected);
  EXPECT_TRUE(tag.AtTop());
  // From the end one step back reaches the last key; past the end stays there.
  tag.Last();
  EXPECT_EQ(tag.Next(), 0);
  EXPECT_EQ(tag.Next(), 0);
  EXPECT_EQ(tag.Previous(), expected.back());
  EXPECT_FALSE(tag.AtBottom());
  // A dropped path is found again from the current key.
  tag.First();
  tag.Next();
  tag.ReleasePath();
  EXPECT_EQ(tag.Current(), expected[1]);
  EXPECT_EQ(tag.Next(), expected[2]);
  EXPECT_EQ(CheckProblems(cdx), "");
}

TEST(IndexNavigation, DescendingTagsReverseEveryMove) {
  TempDrive drive;
  std::mt19937 rng(11);
  const auto rows = RandomRows(800, rng, 4, 3);  // many duplicates
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("DOWN", "NAME", false, false, "");
  HXobjIndexTag& tag = *cdx.TagByName("DOWN");
  auto expected = ExpectedByName(rows);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(Walk(tag), expected);
  EXPECT_TRUE(tag.AtBottom());
  EXPECT_FALSE(tag.AtTop());
  EXPECT_EQ(tag.First(), expected.front());
  EXPECT_EQ(tag.Previous(), 0);
  EXPECT_TRUE(tag.AtTop());
  auto back = WalkBack(tag);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, expected);
}

TEST(IndexSeek, FindsPrefixesUnlessExactAndRestsOnTheNextGreaterKey) {
  TempDrive drive;
  const std::vector<Row> rows = {{"SMITH", 1, ""}, {"SMITHSON", 2, ""}, {"JONES", 3, ""},
                                 {"SMITH", 4, ""}, {"ADAMS", 5, ""},    {"ZORN", 6, ""}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  HXobjIndexTag& tag = *cdx.TagByName("NAME");
  EXPECT_EQ(tag.Seek(Text("SMITH")), 1);
  EXPECT_EQ(tag.Next(), 4);
  EXPECT_EQ(tag.Next(), 2);
  EXPECT_EQ(tag.Seek(Text("SMI")), 1);  // a prefix counts as equal
  EXPECT_EQ(tag.Seek(Text("SMITHS")), 2);
  t.SetExactCompare(true);
  EXPECT_EQ(tag.Seek(Text("SMI")), 0);
  EXPECT_EQ(tag.Current(), 1);               // resting on the first greater key
  EXPECT_EQ(tag.Seek(Text("SMITH   ")), 1);  // trailing blanks do not count
  t.SetExactCompare(false);
  EXPECT_EQ(tag.Seek(Text("B")), 0);
  EXPECT_EQ(tag.Current(), 3);
  EXPECT_EQ(tag.Seek(Text("ZZ")), 0);
  EXPECT_TRUE(tag.AtBottom());
  EXPECT_EQ(tag.Current(), 0);
  // The entry of one record among equal keys.
  EXPECT_EQ(tag.SeekRecord(Text("SMITH"), 4), 4);
  EXPECT_EQ(tag.Previous(), 1);
  EXPECT_EQ(tag.SeekRecord(Text("SMITH"), 3), 0);
  // Position: the record's own entry, found from the table's current record.
  t.GetRecord(4);
  EXPECT_EQ(tag.Position(4), 4);
  EXPECT_EQ(tag.Next(), 2);
  // A descending tag lands on the first of the equal keys in its own order,
  // and a missing key rests on the next key of that order.
  cdx.AddTag("DOWN", "NAME", false, false, "");
  HXobjIndexTag& down = *cdx.TagByName("DOWN");
  EXPECT_EQ(down.Seek(Text("SMITH")), 2);  // SMITHSON begins with SMITH
  EXPECT_EQ(down.Next(), 4);
  EXPECT_EQ(down.Next(), 1);
  EXPECT_EQ(down.Next(), 3);
  t.SetExactCompare(true);
  EXPECT_EQ(down.Seek(Text("SMITH")), 4);
  EXPECT_EQ(down.Seek(Text("K")), 0);
  EXPECT_EQ(down.Current(), 3);  // JONES, the next one going down
  EXPECT_EQ(down.Seek(Text("A")), 0);
  EXPECT_TRUE(down.AtBottom());
  t.SetExactCompare(false);
}

TEST(IndexSeek, NumericAndDateTagsSeekValues) {
  TempDrive drive;
  const std::vector<Row> rows = {{"A", -2.5, "20240301"},
                                 {"B", 0, "19991231"},
                                 {"C", 7.25, "20240229"},
                                 {"D", -100, ""},
                                 {"E", 7.25, "20000101"}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("AMOUNT", "AMOUNT", false, true, "");
  cdx.AddTag("BORN", "BORN", false, true, "");
  HXobjIndexTag& amount = *cdx.TagByName("AMOUNT");
  EXPECT_EQ(Walk(amount), (std::vector<int64_t>{4, 1, 2, 3, 5}));
  EXPECT_EQ(amount.Seek(Number(7.25)), 3);
  EXPECT_EQ(amount.Seek(Number(-2.5)), 1);
  EXPECT_EQ(amount.Seek(Text("-100")), 4);  // text turns into the number
  EXPECT_EQ(amount.Seek(Number(1)), 0);
  EXPECT_EQ(amount.Current(), 3);
  HXobjIndexTag& born = *cdx.TagByName("BORN");
  EXPECT_EQ(Walk(born), (std::vector<int64_t>{4, 2, 5, 3, 1}));  // the empty date first
  ThxVariant day;
  day.SetDate(DBFDate().ToJulian("20240229"));
  EXPECT_EQ(born.Seek(day), 3);
  EXPECT_EQ(CheckProblems(cdx), "");
}

TEST(IndexRange, NavigationStaysWithinTheBounds) {
  TempDrive drive;
  std::vector<Row> rows;
  for (const char* n : {"ADAMS", "BAKER", "SMITH", "SMITHSON", "SMYTHE", "TAYLOR", "SMITH", "ZORN"})
    rows.push_back({n, 0, ""});
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.AddTag("DOWN", "NAME", false, false, "");
  HXobjIndexTag& tag = *cdx.TagByName("NAME");
  const ThxVariant low = Text("SMITH"), high = Text("SMITH");
  EXPECT_TRUE(tag.SetRange(&low, &high));
  EXPECT_FALSE(tag.SetRange(&low, &high));  // unchanged
  // A bound takes in the keys that begin with it.
  EXPECT_EQ(Walk(tag), (std::vector<int64_t>{3, 7, 4}));
  EXPECT_TRUE(tag.AtBottom());
  EXPECT_EQ(WalkBack(tag), (std::vector<int64_t>{4, 7, 3}));
  EXPECT_TRUE(tag.AtTop());
  EXPECT_TRUE(tag.SetRange(&low, &high, hxRangeExact));
  EXPECT_EQ(Walk(tag), (std::vector<int64_t>{3, 7}));
  const ThxVariant b = Text("BAKER"), s = Text("SMYTHE");
  EXPECT_TRUE(tag.SetRange(&b, &s, hxRangeLowExcluded | hxRangeHighExcluded | hxRangeExact));
  EXPECT_EQ(Walk(tag), (std::vector<int64_t>{3, 7, 4}));
  EXPECT_TRUE(tag.SetRange(nullptr, &b));
  EXPECT_EQ(Walk(tag), (std::vector<int64_t>{1, 2}));
  EXPECT_TRUE(tag.SetRange(nullptr, nullptr));
  EXPECT_FALSE(tag.HasRange());
  EXPECT_EQ(Walk(tag).size(), 8u);
  // A range that holds nothing: both ends at once.
  const ThxVariant x = Text("X");
  tag.SetRange(&x, &x);
  EXPECT_EQ(tag.First(), 0);
  EXPECT_TRUE(tag.AtBottom() && tag.AtTop());
  // Descending tags walk the same range backwards.
  HXobjIndexTag& down = *cdx.TagByName("DOWN");
  down.SetRange(&low, &high);
  EXPECT_EQ(Walk(down), (std::vector<int64_t>{4, 7, 3}));
  // A seek outside the range finds nothing.
  EXPECT_EQ(tag.Seek(Text("BAKER")), 0);
}

TEST(IndexMaintenance, RewritesMoveEntriesAndUniqueAndForTagsFollowTheirRules) {
  TempDrive drive;
  const std::vector<Row> rows = {{"CAROL", 5, ""}, {"ALICE", -1, ""}, {"BOB", 3, ""}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.AddTag("UNIQ", "NAME", true, true, "");
  cdx.AddTag("POS", "NAME", false, true, "AMOUNT > 0");
  HXobjIndexTag& name = *cdx.TagByName("NAME");
  HXobjIndexTag& uniq = *cdx.TagByName("UNIQ");
  HXobjIndexTag& pos = *cdx.TagByName("POS");
  EXPECT_EQ(Walk(pos), (std::vector<int64_t>{3, 1}));

  // A rewrite that keeps the key leaves the tag unchanged.
  t.GetRecord(1);
  t.Set("AMOUNT", "6.00");
  t.PutRecord(1);
  EXPECT_FALSE(name.Changed());
  // Changing the key moves the entry.
  t.GetRecord(2);
  t.Set("NAME", "DAVE");
  t.PutRecord(2);
  EXPECT_TRUE(name.Changed());
  EXPECT_EQ(Walk(name), (std::vector<int64_t>{3, 1, 2}));
  // A record that stops passing the FOR condition leaves the tag.
  t.GetRecord(3);
  t.Set("AMOUNT", "-3.00");
  t.PutRecord(3);
  EXPECT_EQ(Walk(pos), (std::vector<int64_t>{1}));
  // An appended record that fails it is not added; one that passes is.
  t.BlankRecord();
  t.Set("NAME", "ERIN");
  t.Set("AMOUNT", "-1.00");
  t.AppendRecord();
  EXPECT_EQ(Walk(pos), (std::vector<int64_t>{1}));
  EXPECT_EQ(Walk(name), (std::vector<int64_t>{3, 1, 2, 4}));
  // A second record with a key a unique tag already holds is not added.
  t.BlankRecord();
  t.Set("NAME", "BOB");
  t.Set("AMOUNT", "9.00");
  t.AppendRecord();
  EXPECT_EQ(Walk(uniq), (std::vector<int64_t>{3, 1, 2, 4}));
  EXPECT_FALSE(uniq.Changed());
  EXPECT_EQ(Walk(pos), (std::vector<int64_t>{5, 1}));
  EXPECT_EQ(CheckProblems(cdx), "");
}

// Random rewrites and appends against a model of every tag; nodes split,
// empty out and the root splits while keeping its offset.
TEST(IndexMaintenance, RandomWritesKeepEveryTagInOrder) {
  TempDrive drive;
  std::mt19937 rng(2024);
  auto rows = RandomRows(400, rng, 3, 6);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.AddTag("AMOUNT", "AMOUNT", false, false, "");
  cdx.AddTag("FOR", "NAME", false, true, "AMOUNT >= 0");
  HXobjIndexTag& name = *cdx.TagByName("NAME");
  const int64_t root = name.RootOffset();
  for (int step = 0; step < 2500; ++step) {
    const bool append = rng() % 4 == 0;
    Row r = RandomRows(1, rng, 3, 6)[0];
    if (rng() % 3 == 0) r.name = std::string(10, char('A' + rng() % 3));  // long shared prefixes
    if (append) {
      t.BlankRecord();
      rows.push_back(r);
    } else {
      const int64_t recno = 1 + int64_t(rng() % rows.size());
      t.GetRecord(recno);
      rows[size_t(recno - 1)] = r;
    }
    t.Set("NAME", r.name);
    char num[32];
    std::snprintf(num, sizeof num, "%.2f", r.amount);
    t.Set("AMOUNT", num);
    if (append)
      t.AppendRecord();
    else
      t.PutRecord(t.RecNo());
    if (step % 500 == 499) {
      ASSERT_EQ(Walk(name), ExpectedByName(rows)) << "after step " << step;
      ASSERT_EQ(CheckProblems(cdx), "") << "after step " << step;
    }
  }
  EXPECT_EQ(name.RootOffset(), root);
  EXPECT_GE(HxCheckIndexFile(cdx).tags[0].depth, 2);
  EXPECT_EQ(Walk(*cdx.TagByName("FOR")),
            ExpectedByName(rows, 10, [](const Row& r) { return r.amount >= 0; }));
  // The amount tag is descending: greatest first, equal amounts by record number backwards.
  std::vector<std::pair<double, int64_t>> byAmount;
  for (size_t i = 0; i < rows.size(); ++i) byAmount.push_back({rows[i].amount, int64_t(i + 1)});
  std::sort(byAmount.rbegin(), byAmount.rend());
  std::vector<int64_t> expected;
  for (auto& p : byAmount) expected.push_back(p.second);
  EXPECT_EQ(Walk(*cdx.TagByName("AMOUNT")), expected);
  // Everything reads back the same from the file.
  t.files.clear();
  HXobjIndexFile& again = t.Open("people.cdx");
  EXPECT_EQ(Walk(*again.TagByName("NAME")), ExpectedByName(rows));
  EXPECT_EQ(CheckProblems(again), "");
}

TEST(IndexMaintenance, AppendsInRandomOrderSplitTheRootUnderItsOwnOffset) {
  TempDrive drive;
  std::mt19937 rng(5);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable({})));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.AddTag("UNIQ", "NAME", true, true, "");
  HXobjIndexTag& name = *cdx.TagByName("NAME");
  const int64_t root = name.RootOffset();
  std::vector<Row> rows;
  for (int i = 0; i < 6000; ++i) {
    Row r = RandomRows(1, rng, 26, 10)[0];
    rows.push_back(r);
    t.BlankRecord();
    t.Set("NAME", r.name);
    t.AppendRecord();
  }
  EXPECT_EQ(name.RootOffset(), root);
  const HxIndexCheckReport report = HxCheckIndexFile(cdx);
  EXPECT_TRUE(report.Ok()) << report.problems.front();
  EXPECT_GE(report.tags[0].depth, 3);
  EXPECT_EQ(Walk(name), ExpectedByName(rows));
}

TEST(IndexMaintenance, ATagEmptiedByWritesAndFilledAgainStaysSound) {
  TempDrive drive;
  std::vector<Row> rows;
  for (int i = 0; i < 300; ++i) rows.push_back({"N" + std::to_string(i), 1, ""});
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("POS", "NAME", false, true, "AMOUNT > 0");
  HXobjIndexTag& pos = *cdx.TagByName("POS");
  for (int64_t r = 1; r <= 300; ++r) {
    t.GetRecord(r);
    t.Set("AMOUNT", "-1.00");
    t.PutRecord(r);
  }
  EXPECT_EQ(Walk(pos), std::vector<int64_t>{});
  EXPECT_EQ(CheckProblems(cdx), "");
  for (int64_t r = 300; r >= 1; r -= 2) {
    t.GetRecord(r);
    t.Set("AMOUNT", "1.00");
    t.PutRecord(r);
  }
  EXPECT_EQ(Walk(pos).size(), 150u);
  EXPECT_EQ(CheckProblems(cdx), "");
}

TEST(IndexKeys, NegativeKeysKeepAllBytesAndLongKeysAreCut) {
  TempDrive drive;
  // -0.5 has low bytes 0xFF once inverted: trimming them would read back as
  // another number.
  const std::vector<Row> rows = {{"A", -0.5, ""}, {"B", -0.25, ""}, {"C", 0.5, ""}};
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("AMOUNT", "AMOUNT", false, true, "");
  HXobjIndexTag& amount = *cdx.TagByName("AMOUNT");
  HXobjIndexKeyData key;
  amount.EncodeKey(Number(-0.5), true, key);
  EXPECT_EQ(key.Length(), 8u);
  amount.EncodeKey(Number(0.5), true, key);
  EXPECT_EQ(key.Length(), 2u);
  EXPECT_EQ(amount.Seek(Number(-0.5)), 1);
  EXPECT_EQ(amount.Seek(Number(-0.25)), 2);
  t.GetRecord(3);
  t.Set("AMOUNT", "-0.75");
  t.PutRecord(3);
  EXPECT_EQ(Walk(amount), (std::vector<int64_t>{3, 1, 2}));
  EXPECT_EQ(amount.Seek(Number(-0.75)), 3);
  EXPECT_EQ(CheckProblems(cdx), "");

  // A key expression whose values grow past the key length it was defined with.
  t.GetRecord(1);
  cdx.AddTag("TRIMMED", "TRIM(NAME)+TRIM(NAME)", false, true, "");  // key length 2 from record 1
  HXobjIndexTag& trimmed = *cdx.TagByName("TRIMMED");
  EXPECT_EQ(trimmed.KeyLength(), 2);
  t.GetRecord(2);
  t.Set("NAME", "LONGERNAME");
  t.PutRecord(2);
  trimmed.EncodeKey(Text("LONGERNAMELONGERNAME"), true, key);
  EXPECT_EQ(key.Length(), 2u);
  EXPECT_EQ(Walk(trimmed), (std::vector<int64_t>{1, 3, 2}));
  EXPECT_EQ(CheckProblems(cdx), "");
}

TEST(IndexKeys, LeavesGrowTheirRecordFieldWithTheRecordCount) {
  TempDrive drive;
  std::vector<Row> rows;
  for (int i = 0; i < 70000; ++i) rows.push_back({i % 7 ? "X" : "Y", double(i % 13), ""});
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  HXobjIndexTag& tag = *cdx.TagByName("NAME");
  // 70000 records need 17 record bits: N grows from 3 to 4.
  const std::string f = ReadHostFile(drive.Host("people.cdx"));
  HXobjIndexKey root(&tag);
  tag.ReadNode(tag.RootOffset(), root);
  ASSERT_FALSE(root.IsLeaf());
  int64_t offset = root.keys[0].Link();
  for (HXobjIndexKey n(&tag);;) {
    tag.ReadNode(offset, n);
    if (n.IsLeaf()) break;
    offset = n.keys[0].Link();
  }
  EXPECT_EQ(static_cast<uint8_t>(f[static_cast<size_t>(offset) + 23]), 4);
  EXPECT_EQ(static_cast<uint8_t>(f[static_cast<size_t>(offset) + 20]), 24);
  EXPECT_EQ(Walk(tag).size(), 70000u);
  EXPECT_EQ(CheckProblems(cdx), "");
}
