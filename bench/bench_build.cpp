// Table builders beside plain writes of the same bytes.
//
// A FoxPro 2 table of 40 fields with a memo file replaces the one built
// before it. Baselines from the same run: creating the two files with
// open/pwrite/close, and the same with the fsync and rename a writer needs
// so that a crash never leaves a half-written table in place of a whole one
// (what the builder does). Figures are printed as ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr int kFields = 40;
std::unique_ptr<TempDrive> gDrive;

void BuildTable() {
  HXO_DBFoxBuild b(gDrive->Dos("BENCH"));
  for (int i = 0; i < kFields; ++i) {
    std::string name = "F";
    name += std::to_string(i);
    b.AddField(name, i == 0 ? 'M' : 'C', 20, 0);
  }
  b.Build();
}

void WriteFile(const std::string& host, const std::string& bytes, bool durable) {
  const std::string target = durable ? host + ".new" : host;
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0 || ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  if (durable && ::fsync(fd) != 0) std::abort();
  ::close(fd);
  if (durable && ::rename(target.c_str(), host.c_str()) != 0) std::abort();
}

void BM_BuildFoxPro(benchmark::State& state) {
  for (auto _ : state) BuildTable();
}
BENCHMARK(BM_BuildFoxPro);

void PlainWrites(benchmark::State& state, bool durable) {
  BuildTable();
  const std::string dbf = ReadHostFile(gDrive->Host("BENCH.DBF"));
  const std::string fpt = ReadHostFile(gDrive->Host("BENCH.FPT"));
  for (auto _ : state) {
    WriteFile(gDrive->Host("PLAIN.DBF"), dbf, durable);
    WriteFile(gDrive->Host("PLAIN.FPT"), fpt, durable);
  }
}
void BM_PlainWrite(benchmark::State& state) { PlainWrites(state, false); }
void BM_PlainWriteFsyncRename(benchmark::State& state) { PlainWrites(state, true); }
BENCHMARK(BM_PlainWrite);
BENCHMARK(BM_PlainWriteFsyncRename);

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
  double ratio = ia->second / ib->second;
  std::printf("%-34s %10.1f ns  baseline %10.1f ns  ratio %5.2fx  (goal <= %.2fx) %s\n", what, ia->second,
              ib->second, ratio, goal, ratio <= goal ? "ok" : "OVER");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  gDrive = std::make_unique<TempDrive>('B');
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nBuilders vs plain writes of the same files (same run):\n");
  PrintRatio(reporter, "Build vs write+fsync+rename", "BM_BuildFoxPro", "BM_PlainWriteFsyncRename", 1.5);
  PrintRatio(reporter, "Build vs plain write", "BM_BuildFoxPro", "BM_PlainWrite", 100.0);
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
