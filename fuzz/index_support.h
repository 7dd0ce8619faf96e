// Shared by the index fuzz targets: the fixed table every seed was indexed
// on, a table that keeps its index file up to date after each write as the
// table handler does, and a walk of one tag both ways, with searches and a
// range, that fails as a finding when it never ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "framework/exceptions.h"
#include "index/hx6_indx.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace fuzzindex {


// Steps of one walk: far more than the table's records, so a walk that goes
// round in circles is caught here as a finding, not as a time-out.
constexpr int kMaxSteps = 5000;

// NAME C 10, AMOUNT N 10.2, BORN D 8; the records the seeds were indexed on.
inline const std::string& TableImage() {
  static const std::string image = [] {
    std::string out(32 + 3 * 32 + 1, '\0');
    out[0] = 0x03;
    out[1] = 26;
    out[2] = 1;
    out[3] = 1;
    const int rows = 40;
    out[4] = static_cast<char>(rows);
    out[8] = static_cast<char>(out.size());
    out[10] = 29;
    auto field = [&](size_t at, const char* name, char type, uint8_t width, uint8_t decimals) {
      std::snprintf(&out[at], 11, "%s", name);
      out[at + 11] = type;
      out[at + 16] = static_cast<char>(width);
      out[at + 17] = static_cast<char>(decimals);
    };
    field(32, "NAME", 'C', 10, 0);
    field(64, "AMOUNT", 'N', 10, 2);
    field(96, "BORN", 'D', 8, 0);
    out[128] = 0x0D;
    for (int i = 0; i < rows; ++i) {
      char rec[64];
      std::snprintf(rec, sizeof rec, "%c%-10.10s%10.2f%04d%02d%02d", i % 7 == 3 ? '*' : ' ',
                    std::string(1 + i % 6, char('A' + (i * 7) % 26)).c_str(), (i * 37 % 101) - 20.5,
                    1950 + i, 1 + i % 12, 1 + i % 28);
      out.append(rec, 29);
    }
    out += '\x1A';
    return out;
  }();
  return image;
}

// A table that keeps its index file up to date after each write, as the
// table handler does.
class IndexedTable : public HXO_dBaseFld {
 public:
  using HXO_dBaseFld::HXO_dBaseFld;
  ~IndexedTable() override { index.reset(); }
  void StatusUpdate(int code, int64_t value) override {
    if (code == kStatusAfterWrite && index) index->UpdateRecord(value == 0 ? RecNo() : value, value == 0);
    HXO_dBaseFld::StatusUpdate(code, value);
  }
  std::unique_ptr<HXobjIndexFile> index;
};

inline ThxVariant ProbeFor(char keyType, int i) {
  ThxVariant v;
  if (keyType == hxKeyCharacter)
    v.SetString(std::string(1 + i % 3, char('A' + i * 5 % 26)));
  else if (keyType == hxKeyDate)
    v.SetDate(2433000 + i * 3000);
  else
    v.SetNumber(i * 13.25 - 20);
  return v;
}

inline void WalkTag(HXobjIndexTag& tag) {
  int steps = 0;
  for (int64_t r = tag.First(); r != 0 && steps < kMaxSteps; r = tag.Next()) ++steps;
  if (steps >= kMaxSteps) std::abort();  // a walk that never ends
  steps = 0;
  for (int64_t r = tag.Last(); r != 0 && steps < kMaxSteps; r = tag.Previous()) ++steps;
  if (steps >= kMaxSteps) std::abort();
  for (int i = 0; i < 4; ++i) {
    try {
      ThxVariant probe = ProbeFor(tag.KeyType(), i);
      (void)tag.Seek(probe);
      (void)tag.SeekRecord(probe, 1 + i * 9);
      (void)tag.Next();
      (void)tag.Position(1 + i * 11);
    } catch (const Exception&) {
    }
  }
  try {
    ThxVariant low = ProbeFor(tag.KeyType(), 1), high = ProbeFor(tag.KeyType(), 3);
    if (tag.SetRange(&low, &high)) {
      steps = 0;
      for (int64_t r = tag.First(); r != 0 && steps < kMaxSteps; r = tag.Next()) ++steps;
      if (steps >= kMaxSteps) std::abort();
    }
    tag.SetRange(nullptr, nullptr);
  } catch (const Exception&) {
  }
}

// Changes the table through its index file as the handler does (a key
// changed, another, a record appended), then walks every tag again.
inline void ChangeThroughIndex(IndexedTable& t) {
  try {
    t.GetRecord(5);
    t.PutStringByName("NAME", "MMMMMMMMMM");
    t.PutRecord(5);
    t.GetRecord(9);
    t.PutStringByName("NAME", "AAA");
    t.PutNumberByName("AMOUNT", 5000);
    t.PutRecord(9);
    t.AppendRecord();
    t.PutStringByName("NAME", "ZZ");
    t.PutRecord(t.RecNo());
    for (int i = 0; i < t.index->TagCount(); ++i) WalkTag(*t.index->Tags(i));
  } catch (const Exception&) {
  }
}

}  // namespace fuzzindex
