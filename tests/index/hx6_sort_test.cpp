// The build sort: order against std::sort for every key kind, runs spilled
// to the temporary file and merged in passes, unique retrieval, bounded
// memory, and the sort's error messages.
#include "index/hx6_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "index_test_util.h"
#include "support/scoped_env.h"
#include "tables/hx6_cnst.h"

using namespace indextest;

namespace {

struct Keyed {
  std::string key;
  uint32_t recno;
  bool operator<(const Keyed& o) const { return key != o.key ? key < o.key : recno < o.recno; }
};

std::vector<Keyed> Drain(ThxSort& sort) {
  std::vector<Keyed> out;
  ThxVariant v;
  uint32_t recno;
  while (sort.NextKey(v, recno)) out.push_back({std::string(v.Bytes()), recno});
  return out;
}

std::string RandomText(std::mt19937& rng, size_t maxLength, int alphabet) {
  std::string s(1 + rng() % maxLength, ' ');
  for (char& c : s) c = char('A' + rng() % alphabet);
  return s;
}

}  // namespace

TEST(IndexSort, CharacterKeysComeOutInByteOrderThenRecordOrderAcrossSpilledRuns) {
  TempDrive drive;
  ScopedEnv tmp("TMPDIR", drive.Host());
  std::mt19937 rng(3);
  ThxSort sort(30, nullptr, true, false);
  sort.SetTrieNodeLimit(600);  // hundreds of runs: merged in passes
  sort.SetMemoryBudget(64 << 10);
  std::vector<Keyed> want;
  for (uint32_t i = 1; i <= 20000; ++i) {
    std::string k = RandomText(rng, 12, 5);
    want.push_back({k, i});
    sort.AddKey(Text(k + "   "), i);  // trailing blanks do not count
  }
  EXPECT_GT(sort.RunCount(), 64);
  std::sort(want.begin(), want.end());
  const auto got = Drain(sort);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].key, want[i].key) << i;
    ASSERT_EQ(got[i].recno, want[i].recno) << i;
  }
  EXPECT_TRUE(sort.Spilled());
}

TEST(IndexSort, NumbersDatesAndRawKeysSortByValue) {
  ThxSort numbers(8, nullptr, true, false);
  const double values[] = {3.5, -1, 0, 1, -1e10, 2e-5, -0.25, 1};
  for (uint32_t i = 0; i < std::size(values); ++i) numbers.AddKey(Number(values[i]), i + 1);
  std::vector<std::pair<double, uint32_t>> got;
  ThxVariant v;
  uint32_t r;
  while (numbers.NextKey(v, r)) {
    EXPECT_EQ(v.Kind(), hxvNumber);
    got.push_back({v.AsNumber(), r});
  }
  EXPECT_EQ(got, (std::vector<std::pair<double, uint32_t>>{
                     {-1e10, 5}, {-1, 2}, {-0.25, 7}, {0, 3}, {2e-5, 6}, {1, 4}, {1, 8}, {3.5, 1}}));

  ThxSort dates(8, nullptr, true, false);
  for (int32_t day : {2460000, 2444240, 0, 2451545}) {
    ThxVariant d;
    d.SetDate(day);
    dates.AddKey(d, static_cast<uint32_t>(day % 7 + 1));
  }
  std::vector<int32_t> days;
  while (dates.NextKey(v, r)) days.push_back(v.AsDate());
  EXPECT_EQ(days, (std::vector<int32_t>{0, 2444240, 2451545, 2460000}));

  ThxSort raw(8, nullptr, true, false);
  const std::string a("\x01\x02", 2), b("\x01", 1), c("\xFF", 1);
  ThxVariant x;
  for (const auto& s : {a, b, c}) {
    x.SetRaw(s.data(), s.size());
    raw.AddKey(x, 1);
  }
  std::vector<std::string> bytes;
  while (raw.NextKey(v, r)) bytes.push_back(std::string(v.Bytes()));
  EXPECT_EQ(bytes, (std::vector<std::string>{b, a, c}));
}

TEST(IndexSort, UniqueKeepsTheLowestRecordAndDescendingReversesTheOrder) {
  ThxSort unique(10, nullptr, true, true);
  ThxSort down(10, nullptr, false, false);
  const std::vector<std::string> keys = {"B", "A", "B", "C", "A", "B"};
  for (uint32_t i = 0; i < keys.size(); ++i) {
    unique.AddKey(Text(keys[i]), i + 1);
    down.AddKey(Text(keys[i]), i + 1);
  }
  const auto u = Drain(unique);
  ASSERT_EQ(u.size(), 3u);
  EXPECT_EQ(u[0].key + std::to_string(u[0].recno), "A2");
  EXPECT_EQ(u[1].key + std::to_string(u[1].recno), "B1");
  EXPECT_EQ(u[2].key + std::to_string(u[2].recno), "C4");
  std::string order;
  for (const auto& k : Drain(down)) order += k.key + std::to_string(k.recno) + " ";
  EXPECT_EQ(order, "C4 B6 B3 B1 A5 A2 ");
}

TEST(IndexSort, MemoryStaysBoundedAsKeysGrow) {
  TempDrive drive;
  ScopedEnv tmp("TMPDIR", drive.Host());
  std::mt19937 rng(9);
  size_t peaks[2];
  for (int round = 0; round < 2; ++round) {
    ThxSort sort(20, nullptr, true, false);
    sort.SetMemoryBudget(1 << 20);
    const uint32_t count = round == 0 ? 60000 : 240000;
    for (uint32_t i = 1; i <= count; ++i) sort.AddKey(Text(RandomText(rng, 20, 26)), i);
    uint32_t seen = 0;
    ThxVariant v;
    uint32_t r;
    while (sort.NextKey(v, r)) ++seen;
    EXPECT_EQ(seen, count);
    peaks[round] = sort.PeakMemory();
  }
  // Four times the keys, not four times the memory: trie and its fan tables,
  // the run budget, merge buffers.
  EXPECT_LT(peaks[1], size_t{5} << 20);
  EXPECT_LT(peaks[1], peaks[0] * 2);
}

TEST(IndexSort, ACollationTableOrdersCharacterKeysByWeight) {
  uint8_t fold[256];
  for (int i = 0; i < 256; ++i) fold[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  ThxSort sort(4, fold, true, false);
  sort.SetPadLength(4);
  const std::vector<std::string> keys = {"b", "A", "ab", "a", "B", "Ab"};
  for (uint32_t i = 0; i < keys.size(); ++i) sort.AddKey(Text(keys[i]), i + 1);
  std::string order;
  for (const auto& k : Drain(sort)) order += k.key + " ";
  // Keys compare by weight position by position; where two bytes weigh the
  // same, the bytes themselves decide.
  EXPECT_EQ(order, "A Ab a ab B b ");
}

TEST(IndexSort, RefusesWhatItCannotSort) {
  EXPECT_EQ(MessageOf([] { ThxSort s(241, nullptr, true, false); }),
            "Sort key length must be 1-240 bytes, is 241");
  ThxSort sort(4, nullptr, true, false);
  EXPECT_EQ(MessageOf([&] { sort.AddKey(Text("ABCDE"), 1); }), "Sort key length must be 1-4 bytes, is 5");
  ThxVariant logical;
  logical.SetLogical(true);
  EXPECT_EQ(MessageOf([&] { sort.AddKey(logical, 1); }), "Variant type cannot be sorted");
  sort.AddKey(Text("AB"), 1);
  ThxVariant v;
  uint32_t r;
  ASSERT_TRUE(sort.NextKey(v, r));
  EXPECT_EQ(MessageOf([&] { sort.AddKey(Text("C"), 2); }), "Cannot add sort keys after beginning retrieval");
  EXPECT_FALSE(sort.NextKey(v, r));
}

TEST(IndexSort, BuildingLinksEveryLevelAndMakesOneRoot) {
  TempDrive drive;
  std::vector<Row> rows;
  std::mt19937 rng(1);
  for (int i = 0; i < 20000; ++i) rows.push_back({RandomText(rng, 10, 26), 0, ""});
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  cdx.AddTag("NAME", "NAME", false, true, "");
  const HxIndexCheckReport report = HxCheckIndexFile(cdx);
  ASSERT_TRUE(report.Ok()) << report.problems.front();
  EXPECT_EQ(report.tags[0].keys, 20000);
  EXPECT_GE(report.tags[0].depth, 3);
  // Only the root carries the root bit.
  HXobjIndexTag& tag = *cdx.TagByName("NAME");
  const std::string f = ReadHostFile(drive.Host("people.cdx"));
  int roots = 0;
  for (size_t off = 1024; off + 512 <= f.size(); off += 512) {
    if (off == size_t(tag.HeaderOffset()) || off == size_t(tag.HeaderOffset() + 512) || off < 1536) continue;
    if (f[off] & 1) ++roots;
  }
  EXPECT_EQ(roots, 1);
  EXPECT_EQ(f[size_t(tag.RootOffset())] & 1, 1);
}

TEST(IndexSort, TheBuildReportsItsProgressToTheTable) {
  class Watched : public IndexedTable {
   public:
    using IndexedTable::IndexedTable;
    void EventHook(int phase, int position, int total) override {
      calls.push_back(std::to_string(phase) + "," + std::to_string(position) + "," + std::to_string(total));
    }
    std::vector<std::string> calls;
  };
  TempDrive drive;
  Watched t(WriteTable(drive, "people.dbf", PeopleTable({{"B", 1, ""}, {"A", 2, ""}, {"C", -1, "", true}})));
  HXobjIndexFile& cdx = t.Open("people.cdx");
  t.calls.clear();
  cdx.AddTag("NAME", "NAME", false, true, "AMOUNT > 0");
  EXPECT_EQ(t.calls, (std::vector<std::string>{"-1,1,3", "1,1,0", "1,2,0", "1,3,0", "0,0,0", "-1,2,3",
                                               "2,1,0", "2,2,0", "0,0,0"}));
  // Deleted records are indexed too.
  cdx.AddTag("ALL", "NAME", false, true, "");
  EXPECT_EQ(Walk(*cdx.TagByName("ALL")), (std::vector<int64_t>{2, 1, 3}));
}
