// The table handler beside plain loops of the same work, on a table of
// 1,000,000 records of 100 bytes.
//
//   walk in record order with the read-ahead window  vs  one pread per record
//   walk under a filter that 1% of the records pass  vs  the unfiltered walk
//   setting that filter (one evaluation per record)
//
// Each iteration walks the whole table. Every figure is printed beside its
// baseline from the same run, as a ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_drive.h"
#include "tables/hx6_dbsy.h"
#include "tables/hx6_tool.h"

namespace {

constexpr int64_t kRecords = 1000000;
constexpr uint32_t kRecordLength = 100;            // flag, NAME C 20, AMOUNT N 10, TEXT C 69
constexpr const char* kFilter = "AMOUNT < 10000";  // 1% of the records, spread over the table

std::unique_ptr<TempDrive> gDrive;
uint32_t gHeaderLength = 0;

std::string Descriptor(const char* name, char type, int width) {
  std::string d(32, '\0');
  std::memcpy(d.data(), name, std::strlen(name));
  d[11] = type;
  d[16] = static_cast<char>(width);
  return d;
}

std::string TableHeader(uint32_t records) {
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 26;
  h[2] = 1;
  h[3] = 8;
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(records >> (8 * i));
  const uint32_t hl = 32 + 3 * 32 + 1;
  h[8] = static_cast<char>(hl & 0xFF);
  h[9] = static_cast<char>(hl >> 8);
  h[10] = static_cast<char>(kRecordLength);
  return h + Descriptor("NAME", 'C', 20) + Descriptor("AMOUNT", 'N', 10) + Descriptor("TEXT", 'C', 69) +
         "\x0D";
}

// AMOUNT runs through every value 0 .. 999999 once, in a scattered order.
void MakeTable() {
  gDrive = std::make_unique<TempDrive>('B');
  const std::string header = TableHeader(kRecords);
  gHeaderLength = static_cast<uint32_t>(header.size());
  FILE* f = std::fopen(gDrive->Host("big.dbf").c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  std::vector<char> chunk(kRecordLength * 10000);
  for (int64_t r = 0; r < kRecords; r += 10000) {
    for (int i = 0; i < 10000; ++i) {
      const int64_t n = r + i + 1;
      char* rec = chunk.data() + i * kRecordLength;
      char buf[kRecordLength + 1];
      std::snprintf(buf, sizeof buf, " %-20s%10lld%-69s", ("NAME" + std::to_string(n)).c_str(),
                    static_cast<long long>((n * 7919) % 1000000), "text");
      std::memcpy(rec, buf, kRecordLength);
    }
    std::fwrite(chunk.data(), 1, chunk.size(), f);
  }
  std::fputc(0x1A, f);
  std::fclose(f);
}

int64_t Walk(HXO_dBHandler& h) {
  int64_t n = 0;
  h.GetRecord(kGetFirst);
  while (h.RecordValid()) {
    benchmark::DoNotOptimize(h.RecordBuffer()[1]);
    ++n;
    h.GetRecord(kGetNext);
  }
  return n;
}

// ---- record order ----

void BM_PlainRead(benchmark::State& state) {
  const int fd = ::open(gDrive->Host("big.dbf").c_str(), O_RDONLY);
  char buf[kRecordLength];
  for (auto _ : state) {
    for (int64_t r = 0; r < kRecords; ++r) {
      if (::pread(fd, buf, kRecordLength, gHeaderLength + r * kRecordLength) != kRecordLength)
        state.SkipWithError("short read");
      benchmark::DoNotOptimize(buf[1]);
    }
  }
  ::close(fd);
}
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond);

void WalkRecordOrder(benchmark::State& state, bool shared, bool window) {
  HXO_dBHandler h(gDrive->Dos("big.dbf"), shared, false);
  h.SetBuffering(window);
  for (auto _ : state)
    if (Walk(h) != kRecords) state.SkipWithError("records missing");
}

void BM_WalkShared(benchmark::State& state) { WalkRecordOrder(state, true, true); }
BENCHMARK(BM_WalkShared)->Unit(benchmark::kMillisecond);

void BM_WalkExclusive(benchmark::State& state) { WalkRecordOrder(state, false, true); }
BENCHMARK(BM_WalkExclusive)->Unit(benchmark::kMillisecond);

void BM_WalkNoWindow(benchmark::State& state) { WalkRecordOrder(state, true, false); }
BENCHMARK(BM_WalkNoWindow)->Unit(benchmark::kMillisecond);

// ---- filter ----

void BM_WalkFiltered(benchmark::State& state) {
  HXO_dBHandler h(gDrive->Dos("big.dbf"), true, false);
  h.SetBuffering(true);
  h.SetFilterActive(true);
  h.SetFilter(kFilter, false, true);
  for (auto _ : state)
    if (Walk(h) != kRecords / 100) state.SkipWithError("wrong count");
}
BENCHMARK(BM_WalkFiltered)->Unit(benchmark::kMillisecond);

void BM_SetFilter(benchmark::State& state) {
  HXO_dBHandler h(gDrive->Dos("big.dbf"), true, false);
  h.SetFilterActive(true);
  for (auto _ : state) {
    h.SetFilter("", false, true);
    h.SetFilter(kFilter, false, true);
  }
}
BENCHMARK(BM_SetFilter)->Unit(benchmark::kMillisecond);

// Keeps the time per iteration of every run, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.error_occurred) continue;
      const std::string name = r.run_name.function_name;
      if (r.run_type == Run::RT_Aggregate) {
        if (r.aggregate_name == "median") {
          times[name] = r.GetAdjustedRealTime();
          fromMedian[name] = true;
        }
      } else if (r.iterations > 0 && !fromMedian[name]) {
        times[name] = r.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, bool> fromMedian;
  std::map<std::string, double> times;
};

void PrintRatio(const RatioReporter& rep, const char* what, const char* a, const char* base, double goal) {
  auto ia = rep.times.find(a), ib = rep.times.find(base);
  if (ia == rep.times.end() || ib == rep.times.end() || ib->second <= 0) return;
  const double ratio = ia->second / ib->second;
  std::printf("%-44s %9.2f ms  baseline %9.2f ms  ratio %5.2fx", what, ia->second, ib->second, ratio);
  if (goal > 0)
    std::printf("  (goal <= %.2fx) %s\n", goal, ratio <= goal ? "ok" : "OVER");
  else
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MakeTable();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nTable handler vs plain loops (same run, whole table per iteration):\n");
  PrintRatio(reporter, "record order, window, shared table", "BM_WalkShared", "BM_PlainRead", 1.5);
  PrintRatio(reporter, "record order, window, exclusive table", "BM_WalkExclusive", "BM_PlainRead", 1.5);
  PrintRatio(reporter, "record order without window", "BM_WalkNoWindow", "BM_PlainRead", 0);
  PrintRatio(reporter, "walk under a 1% filter vs unfiltered walk", "BM_WalkFiltered", "BM_WalkShared", 1.0);
  PrintRatio(reporter, "setting the 1% filter vs plain read", "BM_SetFilter", "BM_PlainRead", 0);
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
