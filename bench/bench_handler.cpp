// The table handler beside plain loops of the same work, on a table of
// 1,000,000 records of 100 bytes.
//
//   walk in record order with the read-ahead window  vs  one pread per record
//   walk in the order of a tag                        vs  one pread per record
//   walk under a filter that 1% of the records pass  vs  the unfiltered walk
//   setting that filter (one evaluation per record)
//   AppendRecord on a shared table with a CDX open    vs  a hand-written loop
//     of the same lock, size, record write, header write and unlock calls
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

#include "index/hx6_indx.h"
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
void MakeTable();

void FreshTable(const std::string& name) {
  const std::string header = TableHeader(0);
  FILE* f = std::fopen(gDrive->Host(name).c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  std::fputc(0x1A, f);
  std::fclose(f);
}

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
  // The AMOUNT tag orders the records in a scattered sequence of the file.
  HXO_dBHandler h(gDrive->Dos("big.dbf"), false, true);
  h.OpenIndex("big.cdx");
  h.IndexFile(1)->AddTag("AMOUNT", "AMOUNT", false, true, "");
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

void BM_WalkTag(benchmark::State& state) {
  HXO_dBHandler h(gDrive->Dos("big.dbf"), true, false);
  h.OpenIndex("big.cdx");
  h.SelectTag("AMOUNT", false);
  for (auto _ : state)
    if (Walk(h) != kRecords) state.SkipWithError("records missing");
}
BENCHMARK(BM_WalkTag)->Unit(benchmark::kMillisecond);

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

// ---- appends ----

void PutName(HXO_dBHandler& h, int64_t n) {
  char name[32];
  std::snprintf(name, sizeof name, "NAME%-16lld", static_cast<long long>(n));
  std::memcpy(h.RecordBuffer() + 1, name, 20);
}

// Shared table, CDX with one tag on NAME, no tag selected.
void BM_AppendCdx(benchmark::State& state) {
  FreshTable("app.dbf");
  std::remove(gDrive->Host("app.cdx").c_str());
  {
    HXO_dBHandler h(gDrive->Dos("app.dbf"), false, true);
    h.OpenIndex("app.cdx");
    h.IndexFile(1)->AddTag("NAME", "NAME", false, true, "");
  }
  HXO_dBHandler h(gDrive->Dos("app.dbf"), true, true);
  h.OpenIndex("app.cdx");
  int64_t n = 0;
  for (auto _ : state) {
    h.BlankRecord();
    PutName(h, ++n);
    h.AppendRecord();
  }
  state.counters["records"] = static_cast<double>(h.RecordCount());
}
BENCHMARK(BM_AppendCdx)->Unit(benchmark::kMicrosecond);

// The same shared table without index files.
void BM_AppendNoIndex(benchmark::State& state) {
  FreshTable("app2.dbf");
  HXO_dBHandler h(gDrive->Dos("app2.dbf"), true, true);
  int64_t n = 0;
  for (auto _ : state) {
    h.BlankRecord();
    PutName(h, ++n);
    h.AppendRecord();
  }
}
BENCHMARK(BM_AppendNoIndex)->Unit(benchmark::kMicrosecond);

// By hand: the index lock and the append lock, the file size, the record
// and the header written, both locks released.
void BM_AppendHandLoop(benchmark::State& state) {
  FreshTable("app3.dbf");
  const int fd = ::open(gDrive->Host("app3.dbf").c_str(), O_RDWR);
  const int ix = ::open(gDrive->Host("app3.dbf").c_str(), O_RDWR);  // stands in for the index file
  char buf[kRecordLength + 1];
  std::memset(buf, ' ', kRecordLength);
  buf[kRecordLength] = 0x1A;
  char header[32] = {};
  auto lock = [&](int file, off_t at, short type) {
    struct flock lk = {};
    lk.l_whence = SEEK_SET;
    lk.l_start = at;
    lk.l_len = 1;
    lk.l_type = type;
    return ::fcntl(file, F_OFD_SETLK, &lk) == 0;
  };
  for (auto _ : state) {
    if (!lock(ix, 0x7FFFFFFD, F_WRLCK) || !lock(fd, 0x7FFFFFFE, F_WRLCK)) state.SkipWithError("lock");
    struct stat st;
    ::fstat(fd, &st);
    const int64_t n = (st.st_size - gHeaderLength) / kRecordLength;
    if (::pwrite(fd, buf, kRecordLength + 1, gHeaderLength + n * kRecordLength) != kRecordLength + 1)
      state.SkipWithError("short write");
    ::pwrite(fd, header, sizeof header, 0);
    lock(fd, 0x7FFFFFFE, F_UNLCK);
    lock(ix, 0x7FFFFFFD, F_UNLCK);
  }
  ::close(ix);
  ::close(fd);
}
BENCHMARK(BM_AppendHandLoop)->Unit(benchmark::kMicrosecond);

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

// Times are in each benchmark's own unit (ms for walks, us for appends).
void PrintRatio(const RatioReporter& rep, const char* what, const char* a, const char* base, double goal) {
  auto ia = rep.times.find(a), ib = rep.times.find(base);
  if (ia == rep.times.end() || ib == rep.times.end() || ib->second <= 0) return;
  const double ratio = ia->second / ib->second;
  std::printf("%-44s %9.2f  baseline %9.2f  ratio %5.2fx", what, ia->second, ib->second, ratio);
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
  PrintRatio(reporter, "tag order (AMOUNT, scattered)", "BM_WalkTag", "BM_PlainRead", 0);
  PrintRatio(reporter, "walk under a 1% filter vs unfiltered walk", "BM_WalkFiltered", "BM_WalkShared", 1.0);
  PrintRatio(reporter, "setting the 1% filter vs plain read", "BM_SetFilter", "BM_PlainRead", 0);
  PrintRatio(reporter, "AppendRecord, shared, CDX open", "BM_AppendCdx", "BM_AppendHandLoop", 1.5);
  PrintRatio(reporter, "AppendRecord, shared, no index", "BM_AppendNoIndex", "BM_AppendHandLoop", 0);
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
