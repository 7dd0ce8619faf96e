// The index engine on a 1,000,000-record table, each figure beside a baseline
// from the same run:
//   - building a tag on a 20-character key and on a numeric key, reading the
//     table and writing the nodes included, beside a plain std::sort of the
//     same encoded keys with their record numbers;
//   - random Seeks on a warm file, beside a pread of one random 512-byte
//     block of the same file;
//   - single-record rewrites through UpdateRecord, beside the same rewrites
//     of the table without an index;
//   - the index file's size against the packed minimum, and the peak memory
//     of a build process at 100,000 and at 1,000,000 records.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/hx6_cdx.h"
#include "index/hx6_indx.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr int64_t kRecords = 1000000;
constexpr int kNameWidth = 20;
constexpr int kAmountWidth = 12;
constexpr uint32_t kRecordLength = 1 + kNameWidth + kAmountWidth;

std::unique_ptr<TempDrive> gDrive;
std::vector<std::string> gNames;  // the NAME of every record, unpadded

std::string Header(uint32_t records) {
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 26;
  h[2] = 1;
  h[3] = 8;
  for (int i = 0; i < 4; ++i) h[4 + i] = static_cast<char>(records >> (8 * i));
  const uint32_t hl = 32 + 2 * 32 + 1;
  h[8] = static_cast<char>(hl);
  h[10] = static_cast<char>(kRecordLength);
  std::string name(32, '\0'), amount(32, '\0');
  std::memcpy(name.data(), "NAME", 4);
  name[11] = 'C';
  name[16] = kNameWidth;
  std::memcpy(amount.data(), "AMOUNT", 6);
  amount[11] = 'N';
  amount[16] = kAmountWidth;
  amount[17] = 2;
  return h + name + amount + "\x0D";
}

void MakeTable(const std::string& file, int64_t records) {
  FILE* f = std::fopen(gDrive->Host(file).c_str(), "wb");
  const std::string h = Header(static_cast<uint32_t>(records));
  std::fwrite(h.data(), 1, h.size(), f);
  std::mt19937_64 rng(1234);
  std::string rec(kRecordLength, ' ');
  for (int64_t r = 0; r < records; ++r) {
    std::string name(10 + rng() % 11, ' ');
    for (char& c : name) c = static_cast<char>('A' + rng() % 26);
    if (static_cast<int64_t>(gNames.size()) < records) gNames.push_back(name);
    std::memset(rec.data(), ' ', kRecordLength);
    std::memcpy(rec.data() + 1, name.data(), name.size());
    char amount[32];
    std::snprintf(amount, sizeof amount, "%12.2f",
                  static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) / 100.0);
    std::memcpy(rec.data() + 1 + kNameWidth, amount, kAmountWidth);
    std::fwrite(rec.data(), 1, rec.size(), f);
  }
  std::fputc(0x1A, f);
  std::fclose(f);
}

// A table that keeps its index up to date after every write.
class Table : public HXO_dBaseFld {
 public:
  using HXO_dBaseFld::HXO_dBaseFld;
  ~Table() override { index.reset(); }
  void StatusUpdate(int code, int64_t value) override {
    if (code == kStatusAfterWrite && index) index->UpdateRecord(value == 0 ? RecNo() : value, value == 0);
    HXO_dBaseFld::StatusUpdate(code, value);
  }
  std::unique_ptr<HXobjIndexFile> index;
};

std::vector<int64_t> RandomRecords() {
  std::vector<int64_t> v(1 << 16);
  std::mt19937_64 rng(99);
  for (auto& r : v) r = static_cast<int64_t>(rng() % kRecords) + 1;
  return v;
}

// ---- building ----

void Build(benchmark::State& state, const char* key, const char* cdx) {
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(gDrive->Host(cdx).c_str());
    HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, true);
    auto file = HxOpenIndexFile(&t, cdx);
    state.ResumeTiming();
    file->AddTag("K", key, false, true, "");
    file->Flush();
  }
}

void BM_BuildCharacterTag(benchmark::State& state) { Build(state, "NAME", "build_name.cdx"); }
BENCHMARK(BM_BuildCharacterTag)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_BuildNumericTag(benchmark::State& state) { Build(state, "AMOUNT", "build_amount.cdx"); }
BENCHMARK(BM_BuildNumericTag)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

template <size_t N>
struct SortEntry {
  uint8_t key[N];
  uint32_t recno;
  bool operator<(const SortEntry& o) const {
    const int c = std::memcmp(key, o.key, N);
    return c != 0 ? c < 0 : recno < o.recno;
  }
};

void BM_StdSortCharacterKeys(benchmark::State& state) {
  std::vector<SortEntry<kNameWidth>> keys(static_cast<size_t>(kRecords));
  for (size_t i = 0; i < keys.size(); ++i) {
    std::memset(keys[i].key, ' ', kNameWidth);
    std::memcpy(keys[i].key, gNames[i].data(), gNames[i].size());
    keys[i].recno = static_cast<uint32_t>(i + 1);
  }
  std::shuffle(keys.begin(), keys.end(), std::mt19937(5));
  for (auto _ : state) {
    state.PauseTiming();
    auto copy = keys;
    state.ResumeTiming();
    std::sort(copy.begin(), copy.end());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_StdSortCharacterKeys)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

void BM_StdSortNumericKeys(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  std::vector<SortEntry<8>> keys(static_cast<size_t>(kRecords));
  for (int64_t r = 1; r <= kRecords; ++r) {
    t.GetRecord(r);
    HxSortableDouble(t.GetNumber(2), keys[static_cast<size_t>(r - 1)].key);
    keys[static_cast<size_t>(r - 1)].recno = static_cast<uint32_t>(r);
  }
  std::shuffle(keys.begin(), keys.end(), std::mt19937(6));
  for (auto _ : state) {
    state.PauseTiming();
    auto copy = keys;
    state.ResumeTiming();
    std::sort(copy.begin(), copy.end());
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_StdSortNumericKeys)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

// ---- seeks ----

void BM_RandomSeek(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  auto file = HxOpenIndexFile(&t, "name.cdx");
  HXobjIndexTag& tag = *file->TagByName("K");
  const auto recs = RandomRecords();
  std::vector<ThxVariant> keys(recs.size());
  for (size_t i = 0; i < recs.size(); ++i) keys[i].SetString(gNames[static_cast<size_t>(recs[i] - 1)]);
  size_t i = 0, found = 0;
  for (auto _ : state) {
    found += tag.Seek(keys[i++ & 0xFFFF]) != 0;
  }
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  state.counters["seeks/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RandomSeek);

void BM_RandomBlockPread(benchmark::State& state) {
  const int fd = ::open(gDrive->Host("name.cdx").c_str(), O_RDONLY);
  const off_t blocks = ::lseek(fd, 0, SEEK_END) / 512;
  std::mt19937_64 rng(3);
  uint8_t block[512];
  for (auto _ : state) {
    if (::pread(fd, block, 512, static_cast<off_t>(rng() % static_cast<uint64_t>(blocks)) * 512) != 512)
      state.SkipWithError("short read");
    benchmark::DoNotOptimize(block[0]);
  }
  ::close(fd);
}
BENCHMARK(BM_RandomBlockPread);

// ---- maintenance ----

void Rewrites(benchmark::State& state, bool indexed) {
  Table t(gDrive->Dos("big.dbf"), false, true);
  if (indexed) t.index = HxOpenIndexFile(&t, "name.cdx");
  const auto recs = RandomRecords();
  std::mt19937_64 rng(17);
  size_t i = 0;
  for (auto _ : state) {
    const int64_t r = recs[i++ & 0xFFFF];
    t.GetRecord(r);
    uint8_t* name = t.RecordBuffer() + 1;
    for (int k = 0; k < 12; ++k) name[k] = static_cast<uint8_t>('A' + rng() % 26);
    t.SetRecordChanged(true);
    t.PutRecord(r);
  }
  state.counters["updates/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_UpdateRecordIndexed(benchmark::State& state) { Rewrites(state, true); }
BENCHMARK(BM_UpdateRecordIndexed);

void BM_PutRecordWithoutIndex(benchmark::State& state) { Rewrites(state, false); }
BENCHMARK(BM_PutRecordWithoutIndex);

// ---- size and memory ----

// Bytes the leaves of tag K of `cdx` use, and the file's size.
void SizeAgainstMinimum(const char* cdx, bool goal = true) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  auto file = HxOpenIndexFile(&t, cdx);
  auto& tag = static_cast<HXobjCDXTag&>(*file->TagByName("K"));
  const std::string bytes = ReadHostFile(gDrive->Host(cdx));
  // Down the first entries to the leftmost leaf, then along the leaves.
  HXobjIndexKey node(&tag);
  tag.ReadNode(tag.RootOffset(), node);
  while (!node.IsLeaf()) tag.ReadNode(node.keys[0].Link(), node);
  int64_t used = 0, leaves = 0;
  for (int64_t at = node.offset; at >= 0;) {
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
    used += kCdxLeafArea - (b[12] | (b[13] << 8));
    ++leaves;
    const uint32_t right =
        static_cast<uint32_t>(b[8] | (b[9] << 8) | (b[10] << 16)) | (uint32_t(b[11]) << 24);
    at = right == 0xFFFFFFFFu ? -1 : static_cast<int64_t>(right);
  }
  // Packed minimum: the same leaf bytes in full leaves, the interior levels
  // they need, the directory and the tag's header.
  int64_t minimumLeaves = (used + kCdxLeafArea - 1) / kCdxLeafArea;
  int64_t nodes = minimumLeaves;
  for (int64_t level = minimumLeaves; level > 1;) {
    level = (level + tag.KeysPerNode() - 1) / tag.KeysPerNode();
    nodes += level;
  }
  const int64_t minimum = (nodes + 2 + 3) * 512;
  const int64_t size = static_cast<int64_t>(bytes.size());
  std::printf("%-34s %10lld bytes  minimum %10lld bytes  ratio %5.3fx", cdx, static_cast<long long>(size),
              static_cast<long long>(minimum), static_cast<double>(size) / static_cast<double>(minimum));
  if (goal) std::printf("  (goal <= 1.10x) %s", size <= minimum * 11 / 10 ? "ok" : "OVER");
  std::printf("   (%lld leaves)\n", static_cast<long long>(leaves));
}

// Peak resident memory (KB) of a fresh process (this program run again) that
// opens `table` and, when `build`, builds a tag on NAME into a new index. The
// child reports its own high-water mark (VmHWM), which starts afresh with
// the new program.
long PeakOfChild(const std::string& table, bool build) {
  const std::string cmd = "/proc/" + std::to_string(::getpid()) + "/exe " +
                          (build ? "--peak-build" : "--peak-open") + " '" + gDrive->Host(table) + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  long kb = -1;
  if (std::fscanf(p, "%ld", &kb) != 1) kb = -1;
  pclose(p);
  return kb;
}

// The child side of PeakOfChild: prints VmHWM in KB.
int PeakChild(const std::string& mode, const std::string& hostTable) {
  try {
    const std::string dos = platform::ToDosPath(hostTable);
    HXO_dBaseFld t(dos, false, true);
    const std::string cdx = ChangeFileExt(dos, ".cdx");
    platform::DeleteFile(cdx);
    if (mode == "--peak-build") HxOpenIndexFile(&t, cdx)->AddTag("K", "NAME", false, true, "");
  } catch (...) {
    return 1;
  }
  FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  while (status && std::fgets(line, sizeof line, status))
    if (std::strncmp(line, "VmHWM:", 6) == 0) std::printf("%ld\n", std::strtol(line + 6, nullptr, 10));
  if (status) std::fclose(status);
  return 0;
}

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
          cpu[name] = r.GetAdjustedCPUTime();
          fromMedian[name] = true;
        }
      } else if (r.iterations > 0 && !fromMedian[name]) {
        times[name] = r.GetAdjustedRealTime();
        cpu[name] = r.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, bool> fromMedian;
  std::map<std::string, double> times;
  std::map<std::string, double> cpu;
};

void PrintRatio(const RatioReporter& rep, const char* what, const char* a, const char* base, double goal,
                const char* unit) {
  auto ia = rep.times.find(a), ib = rep.times.find(base);
  if (ia == rep.times.end() || ib == rep.times.end() || ib->second <= 0) return;
  const double ratio = ia->second / ib->second;
  // On a shared machine the processor time says more than the wall clock.
  const double cpuRatio = rep.cpu.at(a) / std::max(rep.cpu.at(base), 1e-9);
  std::printf("%-34s %10.1f %s  baseline %10.1f %s  ratio %6.2fx  cpu ratio %6.2fx", what, ia->second, unit,
              ib->second, unit, ratio, cpuRatio);
  if (goal > 0) std::printf("  (goal <= %.2fx) %s", goal, std::min(ratio, cpuRatio) <= goal ? "ok" : "OVER");
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]).rfind("--peak-", 0) == 0) return PeakChild(argv[1], argv[2]);
  benchmark::Initialize(&argc, argv);
  gDrive = std::make_unique<TempDrive>('B');
  MakeTable("big.dbf", kRecords);
  {
    // The tags the seek and update benchmarks use.
    HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, true);
    HxOpenIndexFile(&t, "name.cdx")->AddTag("K", "NAME", false, true, "");
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nIndex engine vs baselines (same run):\n");
  PrintRatio(reporter, "build, 20-character key", "BM_BuildCharacterTag", "BM_StdSortCharacterKeys", 3.0,
             "ms");
  PrintRatio(reporter, "build, numeric key", "BM_BuildNumericTag", "BM_StdSortNumericKeys", 3.0, "ms");
  if (auto s = reporter.cpu.find("BM_RandomSeek"); s != reporter.cpu.end())
    std::printf(
        "%-34s %10.0f per second of wall time, %10.0f per second of processor time (goal >= 1,000,000)\n",
        "random Seek", 1e9 / reporter.times.at("BM_RandomSeek"), 1e9 / s->second);
  PrintRatio(reporter, "random Seek vs one block pread", "BM_RandomSeek", "BM_RandomBlockPread", 0, "ns");
  if (auto s = reporter.cpu.find("BM_UpdateRecordIndexed"); s != reporter.cpu.end())
    std::printf(
        "%-34s %10.0f per second of wall time, %10.0f per second of processor time (goal >= 100,000)\n",
        "UpdateRecord (rewrite, key moved)", 1e9 / reporter.times.at("BM_UpdateRecordIndexed"),
        1e9 / s->second);
  PrintRatio(reporter, "rewrite with index vs without", "BM_UpdateRecordIndexed", "BM_PutRecordWithoutIndex",
             0, "ns");
  // Sizes of fresh builds (the rewrites above moved keys around).
  {
    HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, true);
    ::unlink(gDrive->Host("size_name.cdx").c_str());
    HxOpenIndexFile(&t, "size_name.cdx")->AddTag("K", "NAME", false, true, "");
    ::unlink(gDrive->Host("size_amount.cdx").c_str());
    HxOpenIndexFile(&t, "size_amount.cdx")->AddTag("K", "AMOUNT", false, true, "");
  }
  std::printf("\nFile size against the packed minimum:\n");
  SizeAgainstMinimum("size_name.cdx");
  SizeAgainstMinimum("size_amount.cdx");
  // The index the rewrites went through, for comparison (leaves split on
  // the way are half full).
  std::printf("after the rewrites above:\n");
  SizeAgainstMinimum("name.cdx", false);
  std::printf("\nPeak memory of a build process (RSS, KB):\n");
  MakeTable("small.dbf", kRecords / 10);
  const long openSmall = PeakOfChild("small.dbf", false), buildSmall = PeakOfChild("small.dbf", true);
  const long openBig = PeakOfChild("big.dbf", false), buildBig = PeakOfChild("big.dbf", true);
  std::printf("%-34s open %8ld  build %8ld  build - open %8ld\n", "100,000 records", openSmall, buildSmall,
              buildSmall - openSmall);
  std::printf("%-34s open %8ld  build %8ld  build - open %8ld  (flat: within 2x of the smaller) %s\n",
              "1,000,000 records", openBig, buildBig, buildBig - openBig,
              buildBig - openBig <= 2 * std::max(1L, buildSmall - openSmall) ? "ok" : "OVER");
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
