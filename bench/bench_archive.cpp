// The archive engine's writers beside their baselines from the same run.
//
// Data: generated mixed content (fixed-width table records, text, and
// incompressible bytes), VEL_BENCH_MB megabytes (default 200).
//   - the deflating writer (copy loop -> TCompressStream) at each level beside
//     zlib's deflate called directly with the same parameters (raw, window
//     bits -15, memory level 8, default strategy), 61,440-byte input chunks
//     and a 65,536-byte output buffer, plus zlib's crc32 over each chunk (the
//     writer keeps the entry's CRC as it goes); compared on CPU time, which a
//     shared machine disturbs less than wall time;
//   - CRC-32 beside zlib's crc32 over the same chunks;
//   - the storing writer copying a file beside `cp` of the same file (which
//     copies inside the kernel), beside a plain pread/pwrite loop and beside
//     the loop that also computes the CRC-32 (the bound the writer is held to:
//     storing cannot do less than read, checksum and write);
//   - peak memory (getrusage) after deflating a quarter, a half and all of
//     the file from disk: the writer's footprint does not grow with its input.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "archive/zarvoDeflate.h"
#include "archive/zarvoStreams.h"
#include "support/temp_drive.h"

namespace {

std::unique_ptr<TempDrive> gDrive;
int64_t gBytes = 0;
std::vector<uint8_t> gData;                     // loaded after the memory figures
std::vector<std::pair<double, double>> gPeaks;  // (input MB, peak RSS MB)

// Output that only counts.
class TNullStream32 : public TStream32 {
 public:
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void*, int64_t count) override {
    pos_ += count;
    if (pos_ > size_) size_ = pos_;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    pos_ = (origin == soBeginning ? 0 : origin == soCurrent ? pos_ : size_) + offset;
    return pos_;
  }
  int64_t size_ = 0, pos_ = 0;
};

// A memory stream over the generated data (not owned).
class TViewStream : public TCustomMemoryStream32 {
 public:
  TViewStream(uint8_t* p, int64_t n) { SetPointer(p, n); }
};

void MakeData() {
  const char* mb = std::getenv("VEL_BENCH_MB");
  gBytes = (mb ? std::atoll(mb) : 200) * 1024 * 1024;
  gDrive = std::make_unique<TempDrive>('B');
  FILE* f = std::fopen(gDrive->Host("data.bin").c_str(), "wb");
  std::mt19937 rng(42);
  static const char* words[] = {"Velmora", "dictionary", "table", "field",  "record", "backup",   "the",
                                "of",      "and",        "order", "amount", "date",   "customer", "index"};
  std::string block;
  for (int64_t done = 0; done < gBytes; done += static_cast<int64_t>(block.size())) {
    block.clear();
    unsigned kind = rng() % 10;
    while (block.size() < 1024 * 1024) {
      if (kind < 5) {  // fixed-width records
        char rec[128];
        std::snprintf(rec, sizeof rec, " %-20s%08u%-30s%12.2f%c", words[rng() % 14],
                      static_cast<unsigned>(rng() % 99999999), words[rng() % 14], (rng() % 10000000) / 100.0,
                      "TF"[rng() % 2]);
        block += rec;
      } else if (kind < 8) {  // text
        block += words[rng() % 14];
        block += (rng() % 12 == 0) ? ".\r\n" : " ";
      } else {  // already compressed / random
        uint32_t v = rng();
        block.append(reinterpret_cast<const char*>(&v), 4);
      }
    }
    block.resize(static_cast<size_t>(std::min<int64_t>(1024 * 1024, gBytes - done)));
    std::fwrite(block.data(), 1, block.size(), f);
  }
  std::fclose(f);
}

void LoadData() {
  if (!gData.empty()) return;
  gData.resize(static_cast<size_t>(gBytes));
  FILE* f = std::fopen(gDrive->Host("data.bin").c_str(), "rb");
  size_t n = std::fread(gData.data(), 1, gData.size(), f);
  std::fclose(f);
  gData.resize(n);
}

double PeakRssMb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

// ---- peak memory while deflating from disk ----
void BM_PeakMemory(benchmark::State& state) {
  const int64_t part = gBytes * state.range(0) / 4;
  for (auto _ : state) {
    TFileStream32 src(gDrive->Dos("data.bin"), fmOpenRead | fmShareDenyNone);
    TNullStream32 sink;
    TCompressStream z(sink, 6, -15, nullptr, nullptr);
    z.CopyFrom(src, part);
    z.Release();
    benchmark::DoNotOptimize(sink.size_);
  }
  state.counters["input_MB"] = static_cast<double>(part) / (1024.0 * 1024.0);
  state.counters["peak_rss_MB"] = PeakRssMb();
  gPeaks.emplace_back(static_cast<double>(part) / (1024.0 * 1024.0), PeakRssMb());
  state.SetBytesProcessed(part * static_cast<int64_t>(state.iterations()));
}

// ---- deflate ----
void EngineDeflate(benchmark::State& state, int level) {
  LoadData();
  for (auto _ : state) {
    TViewStream src(gData.data(), static_cast<int64_t>(gData.size()));
    TNullStream32 sink;
    TCompressStream z(sink, level, -15, nullptr, nullptr);
    z.CopyFrom(src, TStream32::kWholeStream);
    z.Release();
    state.counters["ratio_pct"] = 100.0 * static_cast<double>(sink.size_) / static_cast<double>(gData.size());
  }
  state.SetBytesProcessed(static_cast<int64_t>(gData.size()) * static_cast<int64_t>(state.iterations()));
}

void ZlibDeflate(benchmark::State& state, int level) {
  LoadData();
  std::vector<uint8_t> out(65536);
  for (auto _ : state) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    uint64_t total = 0;
    uLong crc = crc32(0, nullptr, 0);
    for (size_t pos = 0; pos < gData.size(); pos += 61440) {
      z.next_in = gData.data() + pos;
      z.avail_in = static_cast<uInt>(std::min<size_t>(61440, gData.size() - pos));
      crc = crc32(crc, z.next_in, z.avail_in);
      while (z.avail_in > 0) {
        deflate(&z, Z_NO_FLUSH);
        if (z.avail_out == 0) {
          total += out.size();
          z.next_out = out.data();
          z.avail_out = static_cast<uInt>(out.size());
        }
      }
    }
    int rc;
    while ((rc = deflate(&z, Z_FINISH)) != Z_STREAM_END) {
      total += out.size() - z.avail_out;
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
    }
    total += out.size() - z.avail_out;
    deflateEnd(&z);
    benchmark::DoNotOptimize(total);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(gData.size()) * static_cast<int64_t>(state.iterations()));
}

// ---- CRC-32 ----
void BM_EngineCrc32(benchmark::State& state) {
  LoadData();
  for (auto _ : state) {
    uint32_t reg = kCrc32Preset;
    for (size_t pos = 0; pos < gData.size(); pos += 61440)
      reg = UpdateCrc32(reg, gData.data() + pos, std::min<size_t>(61440, gData.size() - pos));
    benchmark::DoNotOptimize(reg);
  }
  state.SetBytesProcessed(static_cast<int64_t>(gData.size()) * static_cast<int64_t>(state.iterations()));
}

void BM_ZlibCrc32(benchmark::State& state) {
  LoadData();
  for (auto _ : state) {
    uLong c = crc32(0, nullptr, 0);
    for (size_t pos = 0; pos < gData.size(); pos += 61440)
      c = crc32(c, gData.data() + pos, static_cast<uInt>(std::min<size_t>(61440, gData.size() - pos)));
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<int64_t>(gData.size()) * static_cast<int64_t>(state.iterations()));
}

// ---- storing a file ----
void BM_EngineStoreFile(benchmark::State& state) {
  for (auto _ : state) {
    TFileStream32 src(gDrive->Dos("data.bin"), fmOpenRead | fmShareDenyNone);
    TFileStream32 dst(gDrive->Dos("stored.bin"), fmCreate);
    TStoreStream store(dst, 32, nullptr, &src);
    store.CopyFromStore(src, TStream32::kWholeStream);
    benchmark::DoNotOptimize(store.Crc());
  }
  state.SetBytesProcessed(gBytes * static_cast<int64_t>(state.iterations()));
}

// The least a user-space copy does: pread/pwrite of the store writer's chunk size.
void BM_PreadPwriteFile(benchmark::State& state) {
  std::vector<char> buf(102400);
  for (auto _ : state) {
    int in = ::open(gDrive->Host("data.bin").c_str(), O_RDONLY);
    int out = ::open(gDrive->Host("raw.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    off_t pos = 0;
    ssize_t n;
    while ((n = ::pread(in, buf.data(), buf.size(), pos)) > 0) {
      if (::pwrite(out, buf.data(), static_cast<size_t>(n), pos) != n) state.SkipWithError("pwrite failed");
      pos += n;
    }
    ::close(in);
    ::close(out);
  }
  state.SetBytesProcessed(gBytes * static_cast<int64_t>(state.iterations()));
}

// The same loop with the CRC-32 of every chunk: what storing must do at least.
void BM_PreadCrcPwriteFile(benchmark::State& state) {
  std::vector<char> buf(102400);
  for (auto _ : state) {
    int in = ::open(gDrive->Host("data.bin").c_str(), O_RDONLY);
    int out = ::open(gDrive->Host("raw.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    off_t pos = 0;
    ssize_t n;
    uLong crc = crc32(0, nullptr, 0);
    while ((n = ::pread(in, buf.data(), buf.size(), pos)) > 0) {
      crc = crc32(crc, reinterpret_cast<Bytef*>(buf.data()), static_cast<uInt>(n));
      if (::pwrite(out, buf.data(), static_cast<size_t>(n), pos) != n) state.SkipWithError("pwrite failed");
      pos += n;
    }
    benchmark::DoNotOptimize(crc);
    ::close(in);
    ::close(out);
  }
  state.SetBytesProcessed(gBytes * static_cast<int64_t>(state.iterations()));
}

void BM_CpFile(benchmark::State& state) {
  const std::string cmd = "cp '" + gDrive->Host("data.bin") + "' '" + gDrive->Host("copied.bin") + "'";
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("cp failed");
  }
  state.SetBytesProcessed(gBytes * static_cast<int64_t>(state.iterations()));
}

// Keeps every single run per name; a figure is the median of its runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (!r.error_occurred && r.run_type != Run::RT_Aggregate && r.iterations > 0) {
        times[r.run_name.function_name].push_back(r.GetAdjustedRealTime());
        cpu[r.run_name.function_name].push_back(r.GetAdjustedCPUTime());
      }
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const std::string& name, bool useCpu) const {
    const auto& m = useCpu ? cpu : times;
    auto it = m.find(name);
    if (it == m.end() || it->second.empty()) return -1;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  std::map<std::string, std::vector<double>> times, cpu;
};

void PrintRatio(const RatioReporter& rep, const std::string& what, const std::string& a,
                const std::string& base, double goal, bool useCpu) {
  double ta = rep.Median(a, useCpu), tb = rep.Median(base, useCpu);
  if (ta < 0 || tb <= 0) return;
  double ratio = ta / tb;
  if (goal <= 0) {
    std::printf("%-36s %10.1f ms  baseline %10.1f ms  ratio %5.3fx  (%s time)\n", what.c_str(), ta, tb, ratio,
                useCpu ? "cpu" : "wall");
    return;
  }
  std::printf("%-36s %10.1f ms  baseline %10.1f ms  ratio %5.3fx  (goal <= %.2fx, %s time) %s\n",
              what.c_str(), ta, tb, ratio, goal, useCpu ? "cpu" : "wall", ratio <= goal ? "ok" : "OVER");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  MakeData();
  // Memory first, before the in-memory copy of the data exists.
  benchmark::RegisterBenchmark("BM_PeakMemory", BM_PeakMemory)
      ->Arg(1)
      ->Arg(2)
      ->Arg(4)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  const int levels[] = {0, 1, 6, 9};
  const int reps = std::getenv("VEL_BENCH_REPS") ? std::atoi(std::getenv("VEL_BENCH_REPS")) : 3;
  for (int level : levels) {
    // Interleaved so drift on a shared machine hits both alike.
    for (int rep = 0; rep < reps; ++rep) {
      benchmark::RegisterBenchmark(("EngineDeflate_L" + std::to_string(level)).c_str(),
                                   [level](benchmark::State& s) { EngineDeflate(s, level); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
      benchmark::RegisterBenchmark(("ZlibDeflate_L" + std::to_string(level)).c_str(),
                                   [level](benchmark::State& s) { ZlibDeflate(s, level); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  benchmark::RegisterBenchmark("BM_EngineCrc32", BM_EngineCrc32)
      ->Repetitions(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ZlibCrc32", BM_ZlibCrc32)->Repetitions(3)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_EngineStoreFile", BM_EngineStoreFile)
      ->Repetitions(3)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_PreadPwriteFile", BM_PreadPwriteFile)
      ->Repetitions(3)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_PreadCrcPwriteFile", BM_PreadCrcPwriteFile)
      ->Repetitions(3)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_CpFile", BM_CpFile)
      ->Repetitions(3)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nArchive engine vs baseline (same run, %lld MB of mixed data):\n",
              static_cast<long long>(gBytes >> 20));
  for (int level : levels) {
    std::string l = std::to_string(level);
    PrintRatio(reporter, "deflating writer, level " + l, "EngineDeflate_L" + l, "ZlibDeflate_L" + l, 1.03,
               true);
  }
  PrintRatio(reporter, "CRC-32", "BM_EngineCrc32", "BM_ZlibCrc32", 1.03, true);
  PrintRatio(reporter, "storing writer (file to file) vs cp", "BM_EngineStoreFile", "BM_CpFile", 1.5, false);
  PrintRatio(reporter, "storing writer vs read+CRC+write loop", "BM_EngineStoreFile", "BM_PreadCrcPwriteFile",
             1.25, false);
  PrintRatio(reporter, "storing writer vs pread/pwrite loop", "BM_EngineStoreFile", "BM_PreadPwriteFile", 0,
             false);
  for (const auto& [in, rss] : gPeaks)
    std::printf("peak memory after deflating %7.1f MB from disk: %6.1f MB\n", in, rss);
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
