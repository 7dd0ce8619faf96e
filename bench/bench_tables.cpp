// Table engine record access beside a plain pread/pwrite loop of the same sizes.
//
// A generated table of 1,000,000 records of 100 bytes is read sequentially
// (GetRecord(-1)) and at random record numbers; records are appended to a
// shared and to an exclusive table. Each figure is printed beside its
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
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace {

constexpr int64_t kRecords = 1000000;
constexpr uint32_t kRecordLength = 100;

std::unique_ptr<TempDrive> gDrive;
uint32_t gHeaderLength = 0;

// Header for a table with one C field of 99 bytes.
std::string TableHeader(uint32_t records) {
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 26;
  h[2] = 1;
  h[3] = 8;
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(records >> (8 * i));
  const uint32_t hl = 32 + 32 + 1;
  h[8] = static_cast<char>(hl);
  h[10] = static_cast<char>(kRecordLength);
  std::string d(32, '\0');
  std::memcpy(d.data(), "TEXT", 4);
  d[11] = 'C';
  d[16] = static_cast<char>(kRecordLength - 1);
  return h + d + "\x0D";
}

void MakeTables() {
  gDrive = std::make_unique<TempDrive>('B');
  std::string header = TableHeader(kRecords);
  gHeaderLength = static_cast<uint32_t>(header.size());
  FILE* f = std::fopen(gDrive->Host("big.dbf").c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  std::vector<char> chunk(kRecordLength * 10000);
  for (int64_t r = 0; r < kRecords; r += 10000) {
    for (int i = 0; i < 10000; ++i) {
      char* rec = chunk.data() + i * kRecordLength;
      std::memset(rec, ' ', kRecordLength);
      std::snprintf(rec + 1, kRecordLength - 1, "record %lld", static_cast<long long>(r + i + 1));
      rec[std::strlen(rec)] = ' ';
    }
    std::fwrite(chunk.data(), 1, chunk.size(), f);
  }
  std::fputc(0x1A, f);
  std::fclose(f);
}

void FreshAppendTable(const std::string& name) {
  std::string header = TableHeader(0);
  FILE* f = std::fopen(gDrive->Host(name).c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  std::fputc(0x1A, f);
  std::fclose(f);
}

std::vector<int64_t> RandomRecords() {
  std::vector<int64_t> v(1 << 16);
  uint64_t x = 88172645463325252ULL;
  for (auto& r : v) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    r = static_cast<int64_t>(x % kRecords) + 1;
  }
  return v;
}

// ---- reads ----

void BM_SequentialGetRecord(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  for (auto _ : state) {
    t.GetRecord(kGetNext);
    if (t.Eof()) t.GetRecord(kGetFirst);
    benchmark::DoNotOptimize(t.RecordBuffer()[1]);
  }
}
BENCHMARK(BM_SequentialGetRecord);

void BM_SequentialPread(benchmark::State& state) {
  int fd = ::open(gDrive->Host("big.dbf").c_str(), O_RDONLY);
  char buf[kRecordLength + 1];
  int64_t r = 0;
  for (auto _ : state) {
    if (++r > kRecords) r = 1;
    if (::pread(fd, buf, kRecordLength, gHeaderLength + (r - 1) * kRecordLength) != kRecordLength)
      state.SkipWithError("short read");
    benchmark::DoNotOptimize(buf[1]);
  }
  ::close(fd);
}
BENCHMARK(BM_SequentialPread);

void BM_RandomGetRecord(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  auto recs = RandomRecords();
  size_t i = 0;
  for (auto _ : state) {
    t.GetRecord(recs[i++ & 0xFFFF]);
    benchmark::DoNotOptimize(t.RecordBuffer()[1]);
  }
}
BENCHMARK(BM_RandomGetRecord);

void BM_RandomPread(benchmark::State& state) {
  int fd = ::open(gDrive->Host("big.dbf").c_str(), O_RDONLY);
  auto recs = RandomRecords();
  char buf[kRecordLength + 1];
  size_t i = 0;
  for (auto _ : state) {
    int64_t r = recs[i++ & 0xFFFF];
    if (::pread(fd, buf, kRecordLength, gHeaderLength + (r - 1) * kRecordLength) != kRecordLength)
      state.SkipWithError("short read");
    benchmark::DoNotOptimize(buf[1]);
  }
  ::close(fd);
}
BENCHMARK(BM_RandomPread);

// ---- appends ----

void AppendLoop(benchmark::State& state, bool shared) {
  const std::string name = shared ? "app_shared.dbf" : "app_excl.dbf";
  FreshAppendTable(name);
  HXO_dBaseFld t(gDrive->Dos(name), shared, true);
  std::memset(t.RecordBuffer(), 'x', kRecordLength);
  for (auto _ : state) t.AppendRecord();
  state.counters["records"] = static_cast<double>(t.RecordCount());
}

void BM_AppendShared(benchmark::State& state) { AppendLoop(state, true); }
BENCHMARK(BM_AppendShared);

void BM_AppendExclusive(benchmark::State& state) { AppendLoop(state, false); }
BENCHMARK(BM_AppendExclusive);

void BM_AppendPwrite(benchmark::State& state) {
  FreshAppendTable("app_plain.dbf");
  int fd = ::open(gDrive->Host("app_plain.dbf").c_str(), O_RDWR);
  char buf[kRecordLength + 1];
  std::memset(buf, 'x', kRecordLength);
  buf[kRecordLength] = 0x1A;
  int64_t n = 0;
  for (auto _ : state) {
    if (::pwrite(fd, buf, kRecordLength + 1, gHeaderLength + n * kRecordLength) != kRecordLength + 1)
      state.SkipWithError("short write");
    ++n;
  }
  ::close(fd);
}
BENCHMARK(BM_AppendPwrite);

// What a shared append needs at the least, done by hand: take the append
// byte lock, learn the file size, write the record and the header, unlock.
void BM_AppendPwriteLocked(benchmark::State& state) {
  FreshAppendTable("app_plain_locked.dbf");
  int fd = ::open(gDrive->Host("app_plain_locked.dbf").c_str(), O_RDWR);
  char buf[kRecordLength + 1];
  std::memset(buf, 'x', kRecordLength);
  buf[kRecordLength] = 0x1A;
  char header[32] = {};
  struct flock lk = {};
  lk.l_whence = SEEK_SET;
  lk.l_start = 0x7FFFFFFE;
  lk.l_len = 1;
  for (auto _ : state) {
    lk.l_type = F_WRLCK;
    if (::fcntl(fd, F_OFD_SETLK, &lk) != 0) state.SkipWithError("lock");
    struct stat st;
    ::fstat(fd, &st);
    int64_t n = (st.st_size - gHeaderLength) / kRecordLength;
    if (::pwrite(fd, buf, kRecordLength + 1, gHeaderLength + n * kRecordLength) != kRecordLength + 1)
      state.SkipWithError("short write");
    ::pwrite(fd, header, sizeof header, 0);
    lk.l_type = F_UNLCK;
    ::fcntl(fd, F_OFD_SETLK, &lk);
  }
  ::close(fd);
}
BENCHMARK(BM_AppendPwriteLocked);

// Keeps the time per iteration of every run, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the benchmark; else the single run.
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
  double ratio = ia->second / ib->second;
  std::printf("%-34s %10.1f ns  baseline %10.1f ns  ratio %5.2fx  (goal <= %.2fx) %s\n", what, ia->second,
              ib->second, ratio, goal, ratio <= goal ? "ok" : "OVER");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MakeTables();
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nTable engine vs plain loop (same run):\n");
  PrintRatio(reporter, "sequential GetRecord(-1)", "BM_SequentialGetRecord", "BM_SequentialPread", 1.25);
  PrintRatio(reporter, "random GetRecord(n)", "BM_RandomGetRecord", "BM_RandomPread", 1.25);
  PrintRatio(reporter, "AppendRecord, exclusive table", "BM_AppendExclusive", "BM_AppendPwrite", 3.0);
  PrintRatio(reporter, "AppendRecord, shared table", "BM_AppendShared", "BM_AppendPwrite", 3.0);
  // Beside the least a locked shared append needs (lock, size, two writes, unlock).
  PrintRatio(reporter, "AppendRecord, shared vs locked loop", "BM_AppendShared", "BM_AppendPwriteLocked",
             1.5);
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
