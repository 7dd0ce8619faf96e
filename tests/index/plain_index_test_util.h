// Helpers shared by the NDX, NTX and MDX tests: random rows, the order a tag
// must have, and random record writes through a maintained table.
#pragma once

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "index_test_util.h"

namespace plaintest {

using namespace indextest;

inline std::vector<Row> RandomRows(size_t n, std::mt19937& rng, int alphabet = 4, int maxLength = 6) {
  std::vector<Row> rows;
  for (size_t i = 0; i < n; ++i) {
    std::string name;
    const int length = 1 + int(rng() % maxLength);
    for (int k = 0; k < length; ++k) name += char('A' + rng() % alphabet);
    rows.push_back({name, double(int(rng() % 2001) - 1000) / 100.0, ""});
  }
  return rows;
}

// Record numbers ordered by `key` of each row, equal keys by record number;
// `descending` turns the key order round (equal keys stay ascending).
template <typename Key>
std::vector<int64_t> Expected(const std::vector<Row>& rows, Key key, bool descending = false) {
  using K = decltype(key(rows[0]));
  std::vector<std::pair<K, int64_t>> v;
  for (size_t i = 0; i < rows.size(); ++i) v.push_back({key(rows[i]), int64_t(i + 1)});
  std::stable_sort(v.begin(), v.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return descending ? b.first < a.first : a.first < b.first;
    return a.second < b.second;
  });
  std::vector<int64_t> out;
  for (auto& p : v) out.push_back(p.second);
  return out;
}

inline std::string PadName(const Row& r, size_t width = 10) {
  std::string s = r.name;
  s.resize(width, ' ');
  return s;
}

// One random append or rewrite of NAME and AMOUNT (the rows follow).
inline void RandomWrite(IndexedTable& t, std::vector<Row>& rows, std::mt19937& rng) {
  const bool append = rows.empty() || rng() % 4 == 0;
  Row r = RandomRows(1, rng)[0];
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
}

// Writes each damaged image as `file` beside the table and expects opening,
// walking and seeking its first tag to end in "corrupted", never a crash.
inline void ExpectEachCorrupted(IndexedTable& t, TempDrive& drive, const std::string& file,
                                const std::vector<std::pair<std::string, std::string>>& cases) {
  for (const auto& [what, bytes] : cases) {
    ASSERT_TRUE(WriteHostFile(drive.Host(file), bytes));
    try {
      HXobjIndexFile& f = t.Open(file);
      Walk(*f.Tags(0));
      f.Tags(0)->Seek(Text("AB"));
      ADD_FAILURE() << what << ": no error";
    } catch (const EKeldorError& e) {
      EXPECT_NE(std::string(e.what()).find("corrupted"), std::string::npos) << what << ": " << e.what();
    }
    t.files.clear();
  }
}

}  // namespace plaintest
