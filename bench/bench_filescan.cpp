// File scanner over a generated tree of 100,000 files beside `find` walking
// the same tree in the same run.
//
// The tree: 10 folders of 10 folders of 1,000 small files (plus a few
// non-matching names). The scanner collects every file into its result list
// (name, folder, size, attributes, DOS date-time); `find` prints the same
// facts per file (-printf with size, mode and time, so it stats every entry
// as the scanner does) into a pipe that is read to its end.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/zarvoFileScan.h"
#include "support/temp_drive.h"

namespace {

constexpr int kTop = 10, kMid = 10, kFiles = 1000;
constexpr int kTotal = kTop * kMid * kFiles;

std::unique_ptr<TempDrive> gDrive;

void MakeTree() {
  gDrive = std::make_unique<TempDrive>('B');
  std::string payload(100, 'x');
  for (int t = 0; t < kTop; ++t)
    for (int m = 0; m < kMid; ++m) {
      std::string dir = gDrive->Host("tree/t" + std::to_string(t) + "/m" + std::to_string(m));
      std::filesystem::create_directories(dir);
      for (int f = 0; f < kFiles; ++f) {
        std::string name = dir + "/file" + std::to_string(f) + ".dbf";
        if (FILE* fp = std::fopen(name.c_str(), "wb")) {
          std::fwrite(payload.data(), 1, static_cast<size_t>(f % 100), fp);
          std::fclose(fp);
        }
      }
    }
}

size_t RunFind(bool details = true) {
  std::string cmd = "find '" + gDrive->Host("tree") + "' -type f";
  if (details) cmd += " -printf '%h\\t%f\\t%s\\t%m\\t%T@\\n'";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return 0;
  std::vector<char> buf(1 << 16);
  size_t total = 0, n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) total += n;
  ::pclose(p);
  return total;
}

void BM_FindBaseline(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(RunFind());
  state.counters["files"] = kTotal;
}
BENCHMARK(BM_FindBaseline)->Unit(benchmark::kMillisecond)->Iterations(5);

// A lower bound: names only, which find gets without a stat per file.
void BM_FindNamesOnly(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(RunFind(false));
  state.counters["files"] = kTotal;
}
BENCHMARK(BM_FindNamesOnly)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_ScanToList(benchmark::State& state) {
  int found = 0;
  for (auto _ : state) {
    TZarvoFileScan scan;
    TStringList spec;
    spec.Add(gDrive->Dos("tree\\*.dbf"));
    scan.SetFileSpec(spec);
    scan.Scan();
    found = scan.FilesList().Count();
  }
  if (found != kTotal) state.SkipWithError("the scan did not find every file");
  state.counters["files"] = found;
}
BENCHMARK(BM_ScanToList)->Unit(benchmark::kMillisecond)->Iterations(5);

// The walk alone: matches counted, nothing collected.
void BM_ScanCountOnly(benchmark::State& state) {
  int found = 0;
  for (auto _ : state) {
    TZarvoFileScan scan;
    scan.SetFileCallback(nullptr);
    TStringList spec;
    spec.Add(gDrive->Dos("tree\\*"));
    scan.SetFileSpec(spec);
    scan.Scan();
    found = scan.FilesCount();
  }
  state.counters["files"] = found;
}
BENCHMARK(BM_ScanCountOnly)->Unit(benchmark::kMillisecond)->Iterations(5);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (!r.error_occurred && r.iterations > 0) times[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

// A goal of 0 prints the ratio without judging it.
void PrintRatio(const RatioReporter& rep, const char* what, const char* a, const char* base, double goal) {
  auto ia = rep.times.find(a), ib = rep.times.find(base);
  if (ia == rep.times.end() || ib == rep.times.end() || ib->second <= 0) return;
  double ratio = ia->second / ib->second;
  std::printf("%-34s %10.1f ms  baseline %10.1f ms  ratio %5.2fx", what, ia->second, ib->second, ratio);
  if (goal > 0)
    std::printf("  (goal <= %.2fx) %s\n", goal, ratio <= goal ? "ok" : "OVER");
  else
    std::printf("  (for information: the baseline does less work)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MakeTree();
  RunFind();  // both sides start with the tree in the cache
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nScanner vs find over %d files (same run):\n", kTotal);
  PrintRatio(reporter, "scan into the result list", "BM_ScanToList/iterations:5",
             "BM_FindBaseline/iterations:5", 2.0);
  PrintRatio(reporter, "scan, count only", "BM_ScanCountOnly/iterations:5", "BM_FindBaseline/iterations:5",
             2.0);
  PrintRatio(reporter, "scan vs find listing names only", "BM_ScanToList/iterations:5",
             "BM_FindNamesOnly/iterations:5", 0);
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
