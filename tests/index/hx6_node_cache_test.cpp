// The node cache of an index file: the file written with it is the file
// written without it, whatever the budget and however the file is opened;
// its memory stays within the budget; and every seek served from it agrees
// with the table.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "index_test_util.h"

using namespace indextest;

namespace {

struct ChurnResult {
  std::string bytes;  // the index file after closing
  std::string problems;
  uint64_t hits = 0;
  bool withinBudget = true;
};

std::string Key(uint32_t n) {
  char b[16];
  std::snprintf(b, sizeof b, "K%06u", n % 1000000);
  return b;
}

// Rewrites and appends that move keys all over three tags (splits and
// emptied leaves included), with seeks and walks between them that fill the
// cache; every seek is checked against a model of the NAME keys.
ChurnResult Churn(size_t budget, bool shared) {
  TempDrive drive;
  std::vector<Row> rows;
  for (uint32_t i = 0; i < 1500; ++i) rows.push_back({Key(i * 7919 % 1500), double(i % 97), ""});
  const std::string name = WriteTable(drive, "churn.dbf", PeopleTable(rows));
  std::set<std::pair<std::string, int64_t>> model;
  for (size_t i = 0; i < rows.size(); ++i) model.insert({rows[i].name, int64_t(i + 1)});
  std::map<int64_t, std::string> byRecord;
  for (const auto& [k, r] : model) byRecord[r] = k;

  ChurnResult out;
  {
    IndexedTable t(name, shared, true);
    t.SetExactCompare(true);
    HXobjIndexFile& f = t.Open("churn.cdx");
    f.SetNodeCacheBudget(budget);
    f.AddTag("NAME", "NAME", false, true, "");
    f.AddTag("AMOUNT", "AMOUNT", false, false, "");
    f.AddTag("HIGH", "NAME", false, true, "AMOUNT > 50");
    HXobjIndexTag& tag = *f.TagByName("NAME");
    std::mt19937 rng(7);
    for (int op = 0; op < 1500; ++op) {
      const uint32_t what = rng() % 10;
      if (what < 5) {
        const int64_t r = 1 + rng() % t.RecordCount();
        const std::string k = Key(rng() % 3000);
        t.GetRecord(r);
        t.Set("NAME", k);
        t.Set("AMOUNT", std::to_string(rng() % 100));
        t.PutRecord(r);
        model.erase({byRecord[r], r});
        model.insert({k, r});
        byRecord[r] = k;
      } else if (what < 7) {
        const std::string k = Key(rng() % 3000);
        t.BlankRecord();
        t.Set("NAME", k);
        t.Set("AMOUNT", std::to_string(rng() % 100));
        t.AppendRecord();
        model.insert({k, t.RecNo()});
        byRecord[t.RecNo()] = k;
      } else {
        const std::string k = Key(rng() % 3000);
        const auto first = model.lower_bound({k, 0});
        const int64_t want = first != model.end() && first->first == k ? first->second : 0;
        const int64_t got = tag.Seek(Text(k));
        if (got != want)
          out.problems += k + ": " + std::to_string(got) + " not " + std::to_string(want) + "\n";
      }
      if (op % 500 == 499 && Walk(tag).size() != model.size()) out.problems += "walk short\n";
      out.withinBudget = out.withinBudget && f.NodeCache().Bytes() <= budget;
    }
    out.problems += CheckProblems(f);
    out.hits = f.NodeCache().Hits();
  }
  out.bytes = ReadHostFile(drive.Host("churn.cdx"));
  return out;
}

size_t FirstDifference(const std::string& a, const std::string& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

TEST(NodeCache, FilesAreTheSameByteForByteWithAndWithoutIt) {
  const ChurnResult plain = Churn(0, false);
  ASSERT_EQ(plain.problems, "");
  EXPECT_EQ(plain.hits, 0u);
  for (bool shared : {false, true}) {
    for (size_t budget : {size_t{0}, size_t{6} << 10, size_t{64} << 10, size_t{64} << 20}) {
      if (!shared && budget == 0) continue;
      const ChurnResult cached = Churn(budget, shared);
      SCOPED_TRACE("budget " + std::to_string(budget) + (shared ? ", shared" : ", exclusive"));
      EXPECT_EQ(cached.problems, "");
      EXPECT_TRUE(cached.withinBudget);
      if (budget >= (size_t{64} << 10)) {
        EXPECT_GT(cached.hits, 1000u);
      }
      ASSERT_EQ(cached.bytes.size(), plain.bytes.size());
      EXPECT_TRUE(cached.bytes == plain.bytes)
          << "first difference at " << FirstDifference(cached.bytes, plain.bytes);
    }
  }
}

// A walk over a large tag keeps no more than the budget, and after it a seek
// down a path taken before reads no interior node again (leaves, many and
// seldom wanted twice, are the first to go).
TEST(NodeCache, StaysWithinItsBudgetAndServesRepeatedDescents) {
  TempDrive drive;
  std::vector<Row> rows;
  for (uint32_t i = 0; i < 20000; ++i) rows.push_back({Key(i * 7919 % 20000), 0, ""});
  const std::string name = WriteTable(drive, "big.dbf", PeopleTable(rows));
  IndexedTable t(name);
  HXobjIndexFile& f = t.Open("big.cdx");
  f.AddTag("NAME", "NAME", false, true, "");
  HXobjIndexTag& tag = *f.TagByName("NAME");
  f.SetNodeCacheBudget(size_t{16} << 10);
  EXPECT_EQ(Walk(tag).size(), rows.size());
  EXPECT_LE(f.NodeCache().Bytes(), size_t{16} << 10);
  EXPECT_GT(f.NodeCache().Count(), 0u);
  tag.Seek(Text(Key(123)));
  tag.Seek(Text(Key(19000)));
  const uint64_t misses = f.NodeCache().Misses();
  EXPECT_NE(tag.Seek(Text(Key(123))), 0);
  EXPECT_LE(f.NodeCache().Misses(), misses + 1);
  // A budget of nothing keeps nothing.
  f.SetNodeCacheBudget(0);
  EXPECT_EQ(f.NodeCache().Count(), 0u);
  tag.Seek(Text(Key(5000)));
  EXPECT_EQ(f.NodeCache().Count(), 0u);
}
