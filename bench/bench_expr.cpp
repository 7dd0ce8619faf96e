// Expression evaluation over a table of 1,000,000 records held in memory,
// beside hand-written C++ loops computing the same results over the same
// record bytes.
//
// The table file is generated in a temporary folder and opened with the
// engine (for its expression link); its records are then read once into
// memory and each evaluation points the table's record buffer at the next
// record, so the figures measure the expression engine, not the disk.
//
//   filter   Tablename = "ORDERS"                    (the update driver's filter)
//   key      UPPER(NAME)+STR(AMOUNT,10,2)+DTOS(BORN)  (an index key)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "expr/hx6_sql.h"
#include "platform/text.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/table_test_util.h"

namespace {

constexpr int64_t kRecords = 1000000;
// Layout: flag, TABLENAME C 20, NAME C 20, AMOUNT N 10.2, BORN D 8.
constexpr size_t kTableNameAt = 1, kNameAt = 21, kAmountAt = 41, kBornAt = 51, kRecordLength = 59;

std::unique_ptr<TempDrive> gDrive;
std::unique_ptr<HXO_dBaseFld> gTable;
std::vector<uint8_t> gRecords;

const char* const kTableNames[] = {"ORDERS",   "CUSTOMERS", "orders", "ORDERS2",
                                   "INVOICES", "ITEMS",     "Orders", "STOCK"};
const char* const kNames[] = {"smith", "Jones",        "m\xFCller", "O'Brien",
                              "lee",   "garcia-lopez", "Nguyen",    "ab"};

void MakeTable() {
  gDrive = std::make_unique<TempDrive>('B');
  tabletest::DbfImage img;
  img.fields = {{"TABLENAME", 'C', 20}, {"NAME", 'C', 20}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8}};
  std::string header = tabletest::Bytes(img);
  header.pop_back();  // the end-of-file byte goes after the records
  std::FILE* f = std::fopen(gDrive->Host("big.dbf").c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  uint64_t x = 88172645463325252ULL;
  std::string rec(kRecordLength, ' ');
  for (int64_t r = 0; r < kRecords; ++r) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memset(rec.data(), ' ', kRecordLength);
    const char* t = kTableNames[x % 8];
    std::memcpy(&rec[kTableNameAt], t, std::strlen(t));
    const char* n = kNames[(x >> 8) % 8];
    std::memcpy(&rec[kNameAt], n, std::strlen(n));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%10.2f", static_cast<double>((x >> 16) % 10000000) / 100.0 - 20000.0);
    std::memcpy(&rec[kAmountAt], buf, 10);
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", 1950 + static_cast<int>((x >> 40) % 70),
                  1 + static_cast<int>((x >> 48) % 12), 1 + static_cast<int>((x >> 56) % 28));
    std::memcpy(&rec[kBornAt], buf, 8);
    std::fwrite(rec.data(), 1, kRecordLength, f);
  }
  std::fputc(0x1A, f);
  std::fclose(f);
  gTable = std::make_unique<HXO_dBaseFld>(gDrive->Dos("BIG.DBF"), false, false);
  // The records area, read once; evaluations point the record buffer into it.
  std::ifstream in(gDrive->Host("big.dbf"), std::ios::binary);
  in.seekg(gTable->HeaderLength());
  gRecords.resize(kRecords * kRecordLength + 1);
  in.read(reinterpret_cast<char*>(gRecords.data()), static_cast<std::streamsize>(kRecords * kRecordLength));
}

inline const uint8_t* Record(int64_t i) { return gRecords.data() + i * kRecordLength; }

// ---- filter ----

bool HandFilter(const uint8_t* rec) {
  const char* p = reinterpret_cast<const char*>(rec + kTableNameAt);
  size_t n = 20;
  while (n > 0 && static_cast<unsigned char>(p[n - 1]) <= ' ') --n;
  return n == 6 && std::memcmp(p, "ORDERS", 6) == 0;
}

void BM_FilterExpression(benchmark::State& state) {
  ThxExpHandler h(gTable->ExpUserLink(), false, "Tablename = \"ORDERS\"");
  int64_t hits = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kRecords; ++i) {
      gTable->SetRecordBuffer(const_cast<uint8_t*>(Record(i)));
      hits += h.EvaluateValue().boolean;
    }
  }
  gTable->SetRecordBuffer(nullptr);
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_FilterExpression)->Unit(benchmark::kMillisecond);

void BM_FilterHandWritten(benchmark::State& state) {
  int64_t hits = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kRecords; ++i) hits += HandFilter(Record(i));
  }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_FilterHandWritten)->Unit(benchmark::kMillisecond);

// ---- key ----

void HandKey(const uint8_t* rec, std::string& out) {
  out.resize(20 + 10 + 8);
  for (size_t i = 0; i < 20; ++i) out[i] = platform::AnsiUpperChar(static_cast<char>(rec[kNameAt + i]));
  char num[16];
  std::memcpy(num, rec + kAmountAt, 10);
  num[10] = '\0';
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%10.2f", std::strtod(num, nullptr));
  if (n != 10) std::memset(buf, '*', 10);
  std::memcpy(&out[20], buf, 10);
  std::memcpy(&out[30], rec + kBornAt, 8);  // a valid yyyymmdd date is its own DTOS
}

void BM_KeyExpression(benchmark::State& state) {
  ThxExpHandler h(gTable->ExpUserLink(), false, "UPPER(NAME)+STR(AMOUNT,10,2)+DTOS(BORN)");
  size_t total = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kRecords; ++i) {
      gTable->SetRecordBuffer(const_cast<uint8_t*>(Record(i)));
      total += h.EvaluateValue().text.size();
    }
  }
  gTable->SetRecordBuffer(nullptr);
  benchmark::DoNotOptimize(total);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_KeyExpression)->Unit(benchmark::kMillisecond);

void BM_KeyHandWritten(benchmark::State& state) {
  std::string key;
  size_t total = 0;
  for (auto _ : state) {
    for (int64_t i = 0; i < kRecords; ++i) {
      HandKey(Record(i), key);
      total += key.size();
    }
  }
  benchmark::DoNotOptimize(total);
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_KeyHandWritten)->Unit(benchmark::kMillisecond);

// Both sides must compute the same results, or the comparison means nothing.
void CheckSameResults() {
  ThxExpHandler filter(gTable->ExpUserLink(), false, "Tablename = \"ORDERS\"");
  ThxExpHandler key(gTable->ExpUserLink(), false, "UPPER(NAME)+STR(AMOUNT,10,2)+DTOS(BORN)");
  std::string hand;
  for (int64_t i = 0; i < kRecords; i += 97) {
    gTable->SetRecordBuffer(const_cast<uint8_t*>(Record(i)));
    HandKey(Record(i), hand);
    if (filter.EvaluateValue().boolean != HandFilter(Record(i)) || key.EvaluateValue().text != hand) {
      std::fprintf(stderr, "record %lld: expression and hand-written loop disagree\n",
                   static_cast<long long>(i));
      std::exit(1);
    }
  }
  gTable->SetRecordBuffer(nullptr);
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the benchmark; else the single run.
    for (const auto& r : runs) {
      if (r.error_occurred || !r.counters.count("items_per_second")) continue;
      const std::string name = r.run_name.function_name;
      const double rate = double(r.counters.at("items_per_second"));
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        perSecond[name] = rate;
        fromMedian[name] = true;
      } else if (r.run_type == Run::RT_Iteration && r.iterations > 0 && !fromMedian[name]) {
        perSecond[name] = rate;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> perSecond;
  std::map<std::string, bool> fromMedian;
};

void PrintRatio(const RatioReporter& rep, const char* what, const char* a, const char* base, double goalRate,
                double goalRatio) {
  auto ia = rep.perSecond.find(a), ib = rep.perSecond.find(base);
  if (ia == rep.perSecond.end() || ib == rep.perSecond.end() || ia->second <= 0) return;
  const double ratio = ib->second / ia->second;
  std::printf(
      "%-28s %8.2f M evals/s  hand-written %8.2f M/s  slower by %5.2fx  (goal >= %.1f M/s, <= %.1fx) %s\n",
      what, ia->second / 1e6, ib->second / 1e6, ratio, goalRate / 1e6, goalRatio,
      ia->second >= goalRate && ratio <= goalRatio ? "ok" : "OVER");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MakeTable();
  CheckSameResults();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nExpression engine vs hand-written loop (same run, same records):\n");
  PrintRatio(reporter, "filter Tablename = \"ORDERS\"", "BM_FilterExpression", "BM_FilterHandWritten", 5e6,
             8);
  PrintRatio(reporter, "key UPPER+STR+DTOS", "BM_KeyExpression", "BM_KeyHandWritten", 0, 8);
  benchmark::Shutdown();
  gTable.reset();
  gDrive.reset();
  return 0;
}
