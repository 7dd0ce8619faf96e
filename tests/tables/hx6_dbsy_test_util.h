// Tables for the handler tests: records with a name, a city and an amount,
// written byte by byte so the tests do not depend on the engine's builders.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "expr/hx6_sql.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_dbsy.h"

namespace handlertest {

struct Row {
  std::string name;
  std::string city;
  double amount = 0;
  bool deleted = false;
};

// NAME C 10, CITY C 10, AMOUNT N 8.2: record length 29.
inline tabletest::DbfImage PeopleTable(const std::vector<Row>& rows) {
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 10}, {"CITY", 'C', 10}, {"AMOUNT", 'N', 8, 2}};
  for (const Row& r : rows) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%c%-10.10s%-10.10s%8.2f", r.deleted ? '*' : ' ', r.name.c_str(),
                  r.city.c_str(), r.amount);
    img.records.push_back(buf);
  }
  return img;
}

// Rows N1 .. Nn with amount i, city C(i % 3).
inline std::vector<Row> Numbered(int n) {
  std::vector<Row> rows;
  for (int i = 1; i <= n; ++i)
    rows.push_back({"N" + std::to_string(i), "C" + std::to_string(i % 3), double(i)});
  return rows;
}

inline std::string Name(HXO_dBaseFld& t) { return t.FieldText(1); }

// The record numbers a walk from the first record visits.
inline std::vector<int64_t> WalkForward(HXO_dBHandler& h) {
  std::vector<int64_t> seen;
  h.GetRecord(kGetFirst);
  while (h.RecordValid()) {
    seen.push_back(h.RecNo());
    h.GetRecord(kGetNext);
  }
  return seen;
}

inline std::vector<int64_t> WalkBackward(HXO_dBHandler& h) {
  std::vector<int64_t> seen;
  h.GetRecord(kGetLast);
  while (h.RecordValid()) {
    seen.push_back(h.RecNo());
    h.GetRecord(kGetPrevious);
  }
  return seen;
}

// A table function that counts its calls and answers true: put into a
// filter it tells how often the filter was evaluated.
class CountingFunction : public ThxUserDefFunction {
 public:
  explicit CountingFunction(int& calls) : calls_(calls) {}
  std::string FunctionName() const override { return "TICK"; }
  uint8_t Execute(ThxExpFunction&, ThxExpValue& value) override {
    ++calls_;
    value.SetBoolean(true);
    return hxtBoolean;
  }

 private:
  int& calls_;
};

}  // namespace handlertest
