// Field values and memos beside plain loops doing the same byte work.
//
// A generated table of 1,000,000 records (NAME C 20, AMOUNT N 12.2, QTY N 8,
// DAY D 8, FLAG L 1) is read record by record; every field of every record is
// read with GetString, the numeric fields with GetNumber, and the numeric
// and character fields are written with PutNumber and PutString. The
// baseline reads the same records with pread and copies each field's bytes.
// Memos: 100,000 memos of 1 KB are written and read through a FoxPro memo
// file, beside a pwrite/pread loop moving the same bytes at the same offsets.
// Figures are field operations (or memos) per second; compare the ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"

namespace {

constexpr int64_t kRecords = 1000000;
constexpr int kMemos = 100000;
constexpr size_t kMemoSize = 1024;
constexpr uint32_t kRecordLength = 1 + 20 + 12 + 8 + 8 + 1;

std::unique_ptr<TempDrive> gDrive;
uint32_t gHeaderLength = 0;

std::string Descriptor(const char* name, char type, int width, int decimals) {
  std::string d(32, '\0');
  std::memcpy(d.data(), name, std::strlen(name));
  d[11] = type;
  d[16] = static_cast<char>(width);
  d[17] = static_cast<char>(decimals);
  return d;
}

std::string Header(uint8_t version, uint32_t records, const std::vector<std::string>& descriptors,
                   uint32_t rl) {
  std::string h(32, '\0');
  h[0] = static_cast<char>(version);
  h[1] = 26;
  h[2] = 1;
  h[3] = 8;
  PutLE32(reinterpret_cast<uint8_t*>(h.data()) + 4, records);
  const uint32_t hl = 32 + 32 * static_cast<uint32_t>(descriptors.size()) + 1;
  PutLE16(reinterpret_cast<uint8_t*>(h.data()) + 8, static_cast<uint16_t>(hl));
  PutLE16(reinterpret_cast<uint8_t*>(h.data()) + 10, static_cast<uint16_t>(rl));
  for (const auto& d : descriptors) h += d;
  return h + "\x0D";
}

void MakeFiles() {
  gDrive = std::make_unique<TempDrive>('B');
  const std::string header =
      Header(0x03, kRecords,
             {Descriptor("NAME", 'C', 20, 0), Descriptor("AMOUNT", 'N', 12, 2), Descriptor("QTY", 'N', 8, 0),
              Descriptor("DAY", 'D', 8, 0), Descriptor("FLAG", 'L', 1, 0)},
             kRecordLength);
  gHeaderLength = static_cast<uint32_t>(header.size());
  FILE* f = std::fopen(gDrive->Host("big.dbf").c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  std::vector<char> chunk(kRecordLength * 10000);
  for (int64_t r = 0; r < kRecords; r += 10000) {
    for (int i = 0; i < 10000; ++i) {
      char rec[kRecordLength + 1];
      const long long n = r + i + 1;
      std::snprintf(rec, sizeof rec, " %-20s%12.2f%8lld%04d%02d%02d%c", ("name " + std::to_string(n)).c_str(),
                    static_cast<double>(n) / 7, n % 100000, 1980 + static_cast<int>(n % 40),
                    1 + static_cast<int>(n % 12), 1 + static_cast<int>(n % 28), n % 2 ? 'T' : 'F');
      std::memcpy(chunk.data() + i * kRecordLength, rec, kRecordLength);
    }
    std::fwrite(chunk.data(), 1, chunk.size(), f);
  }
  std::fputc(0x1A, f);
  std::fclose(f);
}

// A FoxPro table with one memo field and an empty memo file (block size 64).
void FreshMemoTable(const std::string& name) {
  const std::string header = Header(0xF5, 0, {Descriptor("NOTE", 'M', 10, 0)}, 11);
  FILE* f = std::fopen(gDrive->Host(name + ".dbf").c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), f);
  std::fputc(0x1A, f);
  std::fclose(f);
  std::string fpt(512, '\0');
  PutBE32(reinterpret_cast<uint8_t*>(fpt.data()), 8);
  PutBE16(reinterpret_cast<uint8_t*>(fpt.data()) + 6, 64);
  f = std::fopen(gDrive->Host(name + ".fpt").c_str(), "wb");
  std::fwrite(fpt.data(), 1, fpt.size(), f);
  std::fclose(f);
}

void SetRate(benchmark::State& state, int64_t operations) {
  state.counters["ops_per_s"] =
      benchmark::Counter(static_cast<double>(operations), benchmark::Counter::kIsRate);
}

// ---- field reads and writes ----

void BM_Baseline_FieldBytes(benchmark::State& state) {
  const int fd = ::open(gDrive->Host("big.dbf").c_str(), O_RDONLY);
  const uint32_t widths[] = {20, 12, 8, 8, 1};
  char rec[kRecordLength];
  std::string field;
  int64_t ops = 0;
  for (auto _ : state) {
    for (int64_t r = 0; r < kRecords; ++r) {
      if (::pread(fd, rec, kRecordLength, gHeaderLength + r * kRecordLength) != kRecordLength)
        state.SkipWithError("read");
      uint32_t at = 1;
      for (uint32_t w : widths) {
        field.assign(rec + at, w);
        benchmark::DoNotOptimize(field.data());
        at += w;
        ++ops;
      }
    }
  }
  ::close(fd);
  SetRate(state, ops);
}

void BM_GetString_AllFields(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  std::string text;
  int64_t ops = 0;
  for (auto _ : state) {
    t.GetRecord(kGetFirst);
    while (!t.Eof()) {
      for (int i = 1; i <= 5; ++i) {
        t.GetString(i, text);
        benchmark::DoNotOptimize(text.data());
        ++ops;
      }
      t.GetRecord(kGetNext);
    }
  }
  SetRate(state, ops);
}

void BM_GetNumber_NumericFields(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  int64_t ops = 0;
  double sum = 0;
  for (auto _ : state) {
    t.GetRecord(kGetFirst);
    while (!t.Eof()) {
      sum += t.GetNumber(2) + t.GetNumber(3);
      ops += 2;
      t.GetRecord(kGetNext);
    }
  }
  benchmark::DoNotOptimize(sum);
  SetRate(state, ops);
}

void BM_Baseline_FormatFields(benchmark::State& state) {
  char rec[kRecordLength + 1];
  std::memset(rec, ' ', kRecordLength);
  int64_t ops = 0;
  char buf[64];
  for (auto _ : state) {
    for (int64_t r = 0; r < kRecords; ++r) {
      const int n = std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(r) / 7);
      std::memset(rec + 21, ' ', 12);
      std::memcpy(rec + 21 + 12 - n, buf, static_cast<size_t>(n));
      std::memset(rec + 1, ' ', 20);
      std::memcpy(rec + 1, "some name", 9);
      benchmark::DoNotOptimize(rec);
      ops += 2;
    }
  }
  SetRate(state, ops);
}

void BM_PutNumber_PutString(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("big.dbf"), false, false);
  t.GetRecord(1);
  int64_t ops = 0;
  for (auto _ : state) {
    for (int64_t r = 0; r < kRecords; ++r) {
      t.PutNumber(2, static_cast<double>(r) / 7);
      t.PutString(1, "some name");
      ops += 2;
    }
  }
  SetRate(state, ops);
}

// ---- memos ----

std::vector<uint32_t> gBlocks;

void BM_Baseline_MemoPwrite(benchmark::State& state) {
  std::vector<char> image(kMemoSize + 8, 'm');
  int64_t ops = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FreshMemoTable("raw");
    const int fd = ::open(gDrive->Host("raw.fpt").c_str(), O_RDWR);
    state.ResumeTiming();
    uint64_t offset = 512;
    for (int i = 0; i < kMemos; ++i) {
      // The same bytes at the same places as the memo file: 1032 bytes from each 1088-byte slot.
      if (::pwrite(fd, image.data(), image.size(), offset) != static_cast<ssize_t>(image.size()))
        state.SkipWithError("write");
      offset += 17 * 64;
      ++ops;
    }
    ::close(fd);
  }
  SetRate(state, ops);
}

void BM_MemoWrite(benchmark::State& state) {
  const std::string data(kMemoSize, 'm');
  int64_t ops = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FreshMemoTable("memo");
    auto t = std::make_unique<HXO_dBaseFld>(gDrive->Dos("memo.dbf"), false, true);
    HXobjMemo* memo = t->MemoFile();
    gBlocks.assign(kMemos, 0);
    state.ResumeTiming();
    for (int i = 0; i < kMemos; ++i) {
      memo->PutMemo(data.data(), gBlocks[static_cast<size_t>(i)], data.size());
      ++ops;
    }
  }
  SetRate(state, ops);
}

void BM_Baseline_MemoPread(benchmark::State& state) {
  const int fd = ::open(gDrive->Host("memo.fpt").c_str(), O_RDONLY);
  std::string text(kMemoSize, '\0');
  int64_t ops = 0;
  for (auto _ : state) {
    for (uint32_t block : gBlocks) {
      if (::pread(fd, text.data(), kMemoSize, uint64_t{block} * 64 + 8) != static_cast<ssize_t>(kMemoSize))
        state.SkipWithError("read");
      benchmark::DoNotOptimize(text.data());
      ++ops;
    }
  }
  ::close(fd);
  SetRate(state, ops);
}

void BM_MemoRead(benchmark::State& state) {
  HXO_dBaseFld t(gDrive->Dos("memo.dbf"), false, false);
  HXobjMemo* memo = t.MemoFile();
  int64_t ops = 0;
  for (auto _ : state) {
    for (uint32_t block : gBlocks) {
      std::string text = memo->ReadMemo(block);
      if (text.size() != kMemoSize) state.SkipWithError("short memo");
      benchmark::DoNotOptimize(text.data());
      ++ops;
    }
  }
  SetRate(state, ops);
}

}  // namespace

BENCHMARK(BM_Baseline_FieldBytes)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_GetString_AllFields)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_GetNumber_NumericFields)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Baseline_FormatFields)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_PutNumber_PutString)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Baseline_MemoPwrite)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_MemoWrite)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Baseline_MemoPread)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemoRead)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) {
  MakeFiles();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
