// Compress of a folder of table-like files (DBF records, FPT memo blocks,
// CDX-style index pages) at dtDeflateN, beside `zip -6 -q` of the same files
// and zlib alone (deflate level 6 + CRC-32 over the same bytes, read the same
// way). Also: the cost of progress events and the peak memory of a run.
//
//   bench_zip [--mb N] [benchmark flags]    total input size (default 500 MB)
//   bench_zip --child SRC_DOS ARCHIVE_DOS    one Compress; prints "hwm <kB>"
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "archive/zarvoZip.h"
#include "platform/paths.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

namespace {

size_t gTotalMb = 500;
std::unique_ptr<TempDrive> gDrive;
std::vector<std::string> gFiles;  // host paths
std::string gSelf;
std::map<std::string, double> gSeconds;
std::map<std::string, double> gBytes;
std::map<std::string, double> gCpu;  // CPU seconds of this process (runs inside it only)

uint64_t gEvents = 0;  // progress events of the run with OnProgress set
double gEventNs = 0;   // cost of one progress event

double Cpu() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

uint32_t Next(uint32_t& x) {
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return x;
}

const char* const kNames[] = {"ANDERSEN", "BAKER",   "CASTILLO", "DUBOIS", "EKSTROM",  "FISCHER",
                              "GARCIA",   "HOFFMAN", "IVANOV",   "JENSEN", "KOWALSKI", "LINDQVIST"};
const char* const kCities[] = {"VELMORA", "OSTBURG", "KARNHOLM", "RIVADELLA", "MONTFORT", "SALZHEIM"};

// A DBF file: 32-byte header, field descriptors, fixed-length records of text,
// numbers and dates, as a customer table looks.
std::string MakeDbf(size_t bytes, uint32_t seed) {
  std::string s(32, '\0');
  s[0] = 0x30;
  s.append(32 * 8, ' ');
  s += '\r';
  char rec[129];
  for (uint32_t r = 0; s.size() < bytes; ++r) {
    std::snprintf(rec, sizeof rec, " %08u%-20s%-20s%-12s%010.2f%04u%02u%02u%-30s%6u%c", r + seed,
                  kNames[Next(seed) % 12], kNames[(r / 7) % 12], kCities[Next(seed) % 6],
                  (Next(seed) % 1000000) / 100.0, 1990 + r % 30, 1 + r % 12, 1 + r % 28,
                  (r % 5 == 0) ? "PAID IN FULL" : (r % 3 ? "OPEN" : "REMINDER SENT"), Next(seed) % 100000,
                  (r % 11) ? 'T' : 'F');
    s.append(rec, 128);
  }
  s.resize(bytes);
  return s;
}

// An FPT memo file: 512-byte header, blocks of 64 bytes holding memo texts.
std::string MakeFpt(size_t bytes, uint32_t seed) {
  std::string s(512, '\0');
  s[7] = 64;
  while (s.size() < bytes) {
    std::string text;
    int sentences = 2 + Next(seed) % 12;
    for (int i = 0; i < sentences; ++i) {
      text += "Customer ";
      text += kNames[Next(seed) % 12];
      text += " called about order ";
      text += std::to_string(Next(seed) % 90000 + 10000);
      text += i % 2 ? "; shipment from " : ", invoice sent to ";
      text += kCities[Next(seed) % 6];
      text += ". ";
    }
    std::string block(8, '\0');
    block[3] = 1;
    uint32_t n = static_cast<uint32_t>(text.size());
    for (int i = 0; i < 4; ++i) block[7 - i] = static_cast<char>(n >> (8 * i));
    block += text;
    block.resize((block.size() + 63) / 64 * 64, '\0');
    s += block;
  }
  s.resize(bytes);
  return s;
}

// CDX-style index pages: 512-byte nodes with a header, packed binary record
// numbers and trailing sorted keys.
std::string MakeCdx(size_t bytes, uint32_t seed) {
  std::string s;
  uint32_t key = seed % 1000;
  while (s.size() < bytes) {
    std::string page(512, '\0');
    page[0] = 2;
    page[2] = static_cast<char>(Next(seed) % 100);
    for (int i = 0; i < 24; ++i) {
      uint32_t recno = Next(seed) % 200000;
      for (int b = 0; b < 3; ++b) page[24 + i * 6 + b] = static_cast<char>(recno >> (8 * b));
      page[27 + i * 6] = static_cast<char>(i);
    }
    size_t pos = 512;
    for (int i = 0; i < 24 && pos > 200; ++i) {
      std::string k = std::string(kNames[(key / 50) % 12]) + std::to_string(key);
      ++key;
      pos -= k.size();
      page.replace(pos, k.size(), k);
    }
    s += page;
  }
  s.resize(bytes);
  return s;
}

void Generate(size_t totalMb) {
  gDrive = std::make_unique<TempDrive>('B');
  fs::create_directories(gDrive->Host("data"));
  const size_t total = totalMb * 1024 * 1024;
  // 50 files, sizes between 0.2x and 1.8x of the mean.
  std::vector<double> weights;
  double sum = 0;
  uint32_t x = 12345;
  for (int i = 0; i < 50; ++i) {
    weights.push_back(0.2 + (Next(x) % 1600) / 1000.0);
    sum += weights.back();
  }
  for (int i = 0; i < 50; ++i) {
    size_t bytes = static_cast<size_t>(total * weights[i] / sum);
    std::string name, data;
    switch (i % 3) {
      case 0:
        name = "TABLE" + std::to_string(i) + ".DBF";
        data = MakeDbf(bytes, i + 1);
        break;
      case 1:
        name = "TABLE" + std::to_string(i) + ".FPT";
        data = MakeFpt(bytes, i + 1);
        break;
      default:
        name = "TABLE" + std::to_string(i) + ".CDX";
        data = MakeCdx(bytes, i + 1);
        break;
    }
    std::string host = gDrive->Host("data/" + name);
    std::ofstream(host, std::ios::binary) << data;
    gFiles.push_back(host);
  }
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t FileSize(const std::string& host) {
  std::error_code ec;
  auto n = fs::file_size(host, ec);
  return ec ? 0 : n;
}

int RunOurs(bool progress, const std::string& archive) {
  TZip zip;
  zip.SetArchiveFile(gDrive->Dos(archive));
  zip.SetTempDir(gDrive->Dos(""));
  zip.SetRecurseDirs(false);
  zip.SetStoredDirNames(sdNone);
  zip.SetDeflateType(dtDeflateN);
  zip.FileSpec().Add(gDrive->Dos("data\\*.*"));
  uint64_t events = 0;
  if (progress) zip.OnProgress = [&](TComponent*, uint8_t, uint8_t) { ++events; };
  int n = zip.Compress();
  if (progress) gEvents = events;
  return n;
}

void BM_TZipCompress(benchmark::State& state) {
  const bool progress = state.range(0) != 0;
  const std::string name = progress ? "ours_progress.zip" : "ours_plain.zip";
  for (auto _ : state) {
    fs::remove(gDrive->Host(name));
    double t = Now(), c = Cpu();
    int n = RunOurs(progress, name);
    gSeconds[progress ? "tzip_progress" : "tzip_plain"] = Now() - t;
    gCpu[progress ? "tzip_progress" : "tzip_plain"] = Cpu() - c;
    if (n != 50) state.SkipWithError("Compress did not archive 50 files");
  }
  gBytes[progress ? "tzip_progress" : "tzip_plain"] = static_cast<double>(FileSize(gDrive->Host(name)));
  state.counters["archive_MB"] = FileSize(gDrive->Host(name)) / 1048576.0;
}

void BM_InfoZip6(benchmark::State& state) {
  for (auto _ : state) {
    fs::remove(gDrive->Host("infozip.zip"));
    double t = Now();
    std::string cmd = "cd '" + gDrive->Host("data") + "' && zip -6 -q -X ../infozip.zip *";
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("zip failed");
    gSeconds["zip6"] = Now() - t;
  }
  gBytes["zip6"] = static_cast<double>(FileSize(gDrive->Host("infozip.zip")));
  state.counters["archive_MB"] = gBytes["zip6"] / 1048576.0;
}

// zlib alone: the same files read in the same chunks, CRC-32 and raw deflate at
// level 6 into a 64 KiB buffer written to one output file.
void BM_ZlibAlone(benchmark::State& state) {
  std::vector<char> in(61440);
  std::vector<unsigned char> out(65536);
  for (auto _ : state) {
    double t = Now(), c = Cpu();
    std::ofstream dst(gDrive->Host("zlib.out"), std::ios::binary | std::ios::trunc);
    uint64_t written = 0;
    for (const auto& f : gFiles) {
      std::ifstream src(f, std::ios::binary);
      z_stream zs{};
      deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
      uLong crc = crc32(0, nullptr, 0);
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      for (;;) {
        src.read(in.data(), static_cast<std::streamsize>(in.size()));
        std::streamsize n = src.gcount();
        if (n <= 0) break;
        crc = crc32(crc, reinterpret_cast<Bytef*>(in.data()), static_cast<uInt>(n));
        zs.next_in = reinterpret_cast<Bytef*>(in.data());
        zs.avail_in = static_cast<uInt>(n);
        while (zs.avail_in > 0) {
          deflate(&zs, Z_NO_FLUSH);
          if (zs.avail_out == 0) {
            dst.write(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
            written += out.size();
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
          }
        }
      }
      while (deflate(&zs, Z_FINISH) != Z_STREAM_END) {
        dst.write(reinterpret_cast<char*>(out.data()),
                  static_cast<std::streamsize>(out.size() - zs.avail_out));
        written += out.size() - zs.avail_out;
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
      }
      dst.write(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() - zs.avail_out));
      written += out.size() - zs.avail_out;
      deflateEnd(&zs);
      benchmark::DoNotOptimize(crc);
    }
    dst.close();
    gSeconds["zlib"] = Now() - t;
    gCpu["zlib"] = Cpu() - c;
    gBytes["zlib"] = static_cast<double>(written);
  }
  state.counters["deflated_MB"] = gBytes["zlib"] / 1048576.0;
}

// One progress event as the run raises it: the queue served, the handler called.
void BM_ProgressEvent(benchmark::State& state) {
  TZip zip;
  uint64_t seen = 0;
  zip.OnProgress = [&](TComponent*, uint8_t f, uint8_t a) { seen += f + a; };
  uint64_t i = 0;
  for (auto _ : state) {
    ++i;
    zip.DoProgress(static_cast<uint8_t>(i & 63), static_cast<uint8_t>((i >> 6) & 63));
  }
  benchmark::DoNotOptimize(seen);
}

long PeakKbOfChild(const std::string& args) {
  std::string out = gDrive->Host("child.txt");
  std::string cmd =
      "VELUPDATE_DRIVE_B='" + gDrive->Root() + "' '" + gSelf + "' --child " + args + " > '" + out + "'";
  if (std::system(cmd.c_str()) != 0) return -1;
  std::ifstream f(out);
  std::string word;
  long kb = -1;
  while (f >> word)
    if (word == "hwm") f >> kb;
  return kb;
}

long PeakKbOfCommand(const std::string& cmd) {
  std::string out = gDrive->Host("time.txt");
  if (std::system(("/usr/bin/time -f 'hwm %M' sh -c \"" + cmd + "\" 2> '" + out + "' >/dev/null").c_str()) !=
      0)
    return -1;
  std::ifstream f(out);
  std::string word;
  long kb = -1;
  while (f >> word)
    if (word == "hwm") f >> kb;
  return kb;
}

int ChildMain(const std::string& srcDos, const std::string& archiveDos) {
  TZip zip;
  zip.SetArchiveFile(archiveDos);
  zip.SetRecurseDirs(false);
  zip.SetStoredDirNames(sdNone);
  zip.FileSpec().Add(srcDos);
  zip.OnProgress = [](TComponent*, uint8_t, uint8_t) {};
  int n = zip.Compress();
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0)
      std::cout << "hwm " << std::strtol(line.c_str() + 6, nullptr, 10) << "\n";
  std::cout << "files " << n << "\n";
  return n > 0 ? 0 : 1;
}

}  // namespace

BENCHMARK(BM_TZipCompress)->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_InfoZip6)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ProgressEvent)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ZlibAlone)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

int main(int argc, char** argv) {
  gSelf = fs::canonical("/proc/self/exe").string();
  if (argc == 4 && std::string(argv[1]) == "--child") return ChildMain(argv[2], argv[3]);
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--mb" && i + 1 < argc) {
      gTotalMb = std::strtoul(argv[++i], nullptr, 10);
      continue;
    }
    rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  std::printf("generating %zu MB of table-like files in 50 files...\n", gTotalMb);
  Generate(gTotalMb);
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();

  {
    TZip zip;
    uint64_t seen = 0;
    zip.OnProgress = [&](TComponent*, uint8_t f, uint8_t a) { seen += f + a; };
    const int count = 2000000;
    double t = Now();
    for (int i = 0; i < count; ++i)
      zip.DoProgress(static_cast<uint8_t>(i & 63), static_cast<uint8_t>(i & 31));
    gEventNs = (Now() - t) / count * 1e9;
    benchmark::DoNotOptimize(seen);
  }
  // Peak memory: a whole run in a child, over the full set and over a fifth of it.
  fs::create_directories(gDrive->Host("fifth"));
  for (size_t i = 0; i < gFiles.size(); i += 5)
    fs::copy_file(gFiles[i], gDrive->Host("fifth/" + fs::path(gFiles[i]).filename().string()));
  long hwmAll = PeakKbOfChild("'" + gDrive->Dos("data\\*.*") + "' '" + gDrive->Dos("mem_all.zip") + "'");
  long hwmFifth = PeakKbOfChild("'" + gDrive->Dos("fifth\\*.*") + "' '" + gDrive->Dos("mem_fifth.zip") + "'");
  long hwmZip = PeakKbOfCommand("cd '" + gDrive->Host("data") + "' && zip -6 -q -X ../mem_zip.zip *");

  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  std::printf("\n=== bench_zip: %zu MB in 50 files, dtDeflateN ===\n", gTotalMb);
  std::printf("%-34s %10s %10s %8s\n", "figure", "value", "baseline", "ratio");
  std::printf("%-34s %9.2fs %9.2fs %8.3f  (TZip vs zip -6)\n", "wall time", gSeconds["tzip_progress"],
              gSeconds["zip6"], ratio(gSeconds["tzip_progress"], gSeconds["zip6"]));
  std::printf("%-34s %9.2fs %9.2fs %8.3f  (TZip vs zlib alone)\n", "wall time", gSeconds["tzip_progress"],
              gSeconds["zlib"], ratio(gSeconds["tzip_progress"], gSeconds["zlib"]));
  std::printf("%-34s %9.2fs %9.2fs %8.3f  (TZip vs zlib alone)\n", "CPU time", gCpu["tzip_progress"],
              gCpu["zlib"], ratio(gCpu["tzip_progress"], gCpu["zlib"]));
  std::printf("%-34s %9.1fM %9.1fM %8.4f  (TZip vs zip -6)\n", "archive size",
              gBytes["tzip_progress"] / 1048576, gBytes["zip6"] / 1048576,
              ratio(gBytes["tzip_progress"], gBytes["zip6"]));
  std::printf("%-34s %9.2fs %9.2fs %8.3f  (OnProgress set vs unset, wall)\n", "progress events",
              gSeconds["tzip_progress"], gSeconds["tzip_plain"],
              ratio(gSeconds["tzip_progress"], gSeconds["tzip_plain"]));
  std::printf("%-34s %9.2fs %9.2fs %8.3f  (OnProgress set vs unset, CPU)\n", "progress events",
              gCpu["tzip_progress"], gCpu["tzip_plain"], ratio(gCpu["tzip_progress"], gCpu["tzip_plain"]));
  double eventShare = gEvents * gEventNs * 1e-9 / (gCpu["tzip_progress"] > 0 ? gCpu["tzip_progress"] : 1);
  std::printf("%-34s %9.0fns %7llu ev %7.4f%%  (events x cost / CPU time of the run)\n",
              "progress event cost", gEventNs, static_cast<unsigned long long>(gEvents), eventShare * 100);
  std::printf("%-34s %8.1fMB %8.1fMB %8.3f  (whole set vs a fifth)\n", "peak memory (VmHWM)", hwmAll / 1024.0,
              hwmFifth / 1024.0, ratio(static_cast<double>(hwmAll), static_cast<double>(hwmFifth)));
  if (hwmZip > 0)
    std::printf("%-34s %8.1fMB %8.1fMB %8.3f  (TZip vs zip -6)\n", "peak memory", hwmAll / 1024.0,
                hwmZip / 1024.0, ratio(static_cast<double>(hwmAll), static_cast<double>(hwmZip)));
  benchmark::Shutdown();
  return 0;
}
