// The backup's compress run on a folder of table-like files (DBF records, FPT
// memo blocks, CDX-style index pages; 500 MB in 50 files by default) beside,
// in the same run:
//   - `zip -6 -q` (Info-ZIP) and `tar -cf - FILES | pigz -6` (parallel gzip)
//     on the same files: wall time, archive size, CPU time;
//   - zlib alone: deflate level 6 + CRC-32 over the same bytes, read the same
//     way, one thread (the CPU-time baseline);
//   - the verified backup (compress, then every entry read back, inflated and
//     its CRC-32 checked) beside `zip -6` followed by `unzip -t`;
//   - storing (cmStore) beside a plain loop that reads, computes CRC-32 and
//     writes the same bytes;
//   - a folder of many small files beside `zip -6`;
//   - peak memory of a whole run (a child process) over all files and over a
//     fifth of them, and of `zip -6`.
// The run is timed with one worker (the sequential writer) and with the
// default (one per core). Every timed figure is measured in --rounds rounds
// (default 2, interleaved) and the faster round kept; the load average is
// printed with the figures.
//
//   bench_zip [--mb N] [--rounds N] [--block KiB] [benchmark flags]
//   bench_zip --child SRC_DOS ARCHIVE_DOS    one Compress; prints "hwm <kB>"
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "archive/zarvoHeaders.h"
#include "archive/zarvoStreams.h"
#include "archive/zarvoZip.h"
#include "platform/paths.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

namespace {

size_t gTotalMb = 500;
int gRounds = 2;
size_t gBlock = 0;  // --block: the runs' BlockSize (0: the component's default)
std::unique_ptr<TempDrive> gDrive;
std::vector<std::string> gFiles;  // host paths
std::string gSelf;

// A timed figure: the faster of its rounds, with that round's CPU time (of
// this process and its children) and the bytes it produced.
struct Figure {
  double wall = 0, cpu = 0, bytes = 0;
  int rounds = 0;
};
std::map<std::string, Figure> gFig;

void Keep(const std::string& name, double wall, double cpu, double bytes) {
  Figure& f = gFig[name];
  if (f.rounds == 0 || wall < f.wall) {
    f.wall = wall;
    f.cpu = cpu;
  }
  if (bytes > 0) f.bytes = bytes;
  ++f.rounds;
}

uint64_t gEvents = 0;  // progress events of the run with OnProgress set
double gEventNs = 0;   // cost of one progress event

// CPU seconds of this process (all its threads) and of its waited-for children.
double Cpu() {
  rusage self{}, children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return sec(self.ru_utime) + sec(self.ru_stime) + sec(children.ru_utime) + sec(children.ru_stime);
}

double Load() {
  std::ifstream f("/proc/loadavg");
  double one = -1;
  f >> one;
  return one;
}

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

// A folder of many small files, as a data folder of little tables has: 1,500
// files of 1 to 64 KB.
void GenerateSmall() {
  fs::create_directories(gDrive->Host("small"));
  uint32_t x = 777;
  for (int i = 0; i < 1500; ++i) {
    size_t bytes = 1024 + Next(x) % (63 * 1024);
    static const char* const kExt[] = {"DBF", "FPT", "CDX"};
    char name[32];
    std::snprintf(name, sizeof name, "small/T%d.%s", i, kExt[i % 3]);
    std::string data = i % 3 == 0   ? MakeDbf(bytes, i + 1)
                       : i % 3 == 1 ? MakeFpt(bytes, i + 1)
                                    : MakeCdx(bytes, i + 1);
    std::ofstream(gDrive->Host(name), std::ios::binary) << data;
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

// One Compress of `folder` into `archive` (names relative to the drive).
int RunOurs(const std::string& folder, const std::string& archive, int workers, bool progress,
            TCompressMethod method = cmDeflate) {
  TZip zip;
  zip.SetArchiveFile(gDrive->Dos(archive));
  zip.SetTempDir(gDrive->Dos(""));
  zip.SetRecurseDirs(false);
  zip.SetStoredDirNames(sdNone);
  zip.SetDeflateType(dtDeflateN);
  zip.SetCompressMethod(method);
  zip.SetWorkers(workers);
  if (gBlock) zip.SetBlockSize(gBlock);
  zip.FileSpec().Add(gDrive->Dos(folder + "\\*.*"));
  uint64_t events = 0;
  if (progress) zip.OnProgress = [&](TComponent*, uint8_t, uint8_t) { ++events; };
  int n = zip.Compress();
  if (progress) gEvents = events;
  return n;
}

bool Shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }

// Reads an archive back as the verified backup does: the engine's reader
// lists the entries, then every entry is inflated and its CRC-32 checked.
// Entries are spread over `threads` threads. True when every entry is sound.
bool ReadBack(const std::string& archive, int threads) {
  TFileStream32 in(gDrive->Dos(archive), fmOpenRead | fmShareDenyWrite);
  if (!in.Valid()) return false;
  TZipFormat fmt;
  TCompHeaderObj list;
  fmt.ReadArchive(in, list);
  if (list.Damaged) return false;
  std::vector<const THeaderEntry*> entries;
  for (const THeaderEntry& e : list.Items()) entries.push_back(&e);
  std::atomic<size_t> next{0};
  std::atomic<bool> sound{true};
  auto work = [&] {
    int fd = ::open(gDrive->Host(archive).c_str(), O_RDONLY);
    std::vector<uint8_t> packed(1 << 16), plain(1 << 18);
    for (size_t i; (i = next++) < entries.size();) {
      const THeaderEntry& e = *entries[i];
      uint8_t h[30];
      if (::pread(fd, h, 30, static_cast<off_t>(e.Rec.LocalOffset)) != 30) {
        sound = false;
        continue;
      }
      uint64_t pos = e.Rec.LocalOffset + 30 + (h[26] | h[27] << 8) + (h[28] | h[29] << 8);
      uint64_t left = e.PackedSize();
      uLong crc = crc32(0, nullptr, 0);
      uint64_t out = 0;
      z_stream z{};
      inflateInit2(&z, -15);
      int rc = e.Method() == 8 ? Z_OK : Z_STREAM_END;
      while (left > 0) {
        ssize_t n =
            ::pread(fd, packed.data(), std::min<uint64_t>(packed.size(), left), static_cast<off_t>(pos));
        if (n <= 0) break;
        pos += n;
        left -= n;
        if (e.Method() == 0) {
          crc = crc32(crc, packed.data(), static_cast<uInt>(n));
          out += n;
          continue;
        }
        z.next_in = packed.data();
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0 && rc == Z_OK) {
          z.next_out = plain.data();
          z.avail_out = static_cast<uInt>(plain.size());
          rc = inflate(&z, Z_NO_FLUSH);
          size_t got = plain.size() - z.avail_out;
          crc = crc32(crc, plain.data(), static_cast<uInt>(got));
          out += got;
        }
      }
      inflateEnd(&z);
      if (left != 0 || rc != Z_STREAM_END || out != e.UnpackedSize() || crc != e.Crc32()) sound = false;
    }
    ::close(fd);
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  return sound;
}

// ---- the timed figures (one Google Benchmark run per round) ----

// Times `body` (which returns false on failure) and keeps the figure.
template <class F>
void Timed(benchmark::State& state, const std::string& name, const std::string& outHost, F body) {
  for (auto _ : state) {
    if (!outHost.empty()) fs::remove(outHost);
    double t = Now(), c = Cpu();
    bool ok = body();
    double wall = Now() - t, cpu = Cpu() - c;
    if (!ok) {
      state.SkipWithError((name + " failed").c_str());
      return;
    }
    double bytes = outHost.empty() ? 0 : static_cast<double>(FileSize(outHost));
    Keep(name, wall, cpu, bytes);
    state.counters["cpu_s"] = cpu;
    if (bytes > 0) state.counters["out_MB"] = bytes / 1048576.0;
  }
}

void BM_TZip(benchmark::State& state) {
  const int workers = static_cast<int>(state.range(0));
  const bool progress = state.range(1) != 0;
  const std::string name = std::string(workers == 1 ? "tzip_1" : "tzip") + (progress ? "" : "_noprogress");
  Timed(state, name, gDrive->Host("ours.zip"),
        [&] { return RunOurs("data", "ours.zip", workers, progress) == 50; });
}

void BM_InfoZip6(benchmark::State& state) {
  Timed(state, "zip6", gDrive->Host("infozip.zip"),
        [] { return Shell("cd '" + gDrive->Host("data") + "' && zip -6 -q -X ../infozip.zip *"); });
}

void BM_Pigz6(benchmark::State& state) {
  Timed(state, "pigz6", gDrive->Host("pigz.tar.gz"),
        [] { return Shell("cd '" + gDrive->Host("data") + "' && tar -cf - * | pigz -6 > ../pigz.tar.gz"); });
}

// zlib alone: the same files read in the same chunks, CRC-32 and raw deflate
// at level 6 into a 64 KiB buffer written to one output file; one thread.
void BM_ZlibAlone(benchmark::State& state) {
  std::vector<char> in(61440);
  std::vector<unsigned char> out(65536);
  Timed(state, "zlib", gDrive->Host("zlib.out"), [&] {
    std::ofstream dst(gDrive->Host("zlib.out"), std::ios::binary | std::ios::trunc);
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
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
          }
        }
      }
      while (deflate(&zs, Z_FINISH) != Z_STREAM_END) {
        dst.write(reinterpret_cast<char*>(out.data()),
                  static_cast<std::streamsize>(out.size() - zs.avail_out));
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
      }
      dst.write(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size() - zs.avail_out));
      deflateEnd(&zs);
      benchmark::DoNotOptimize(crc);
    }
    return true;
  });
}

void BM_VerifiedBackup(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  Timed(state, threads == 1 ? "verified_readback1" : "verified", gDrive->Host("verified.zip"),
        [&] { return RunOurs("data", "verified.zip", 0, true) == 50 && ReadBack("verified.zip", threads); });
}

void BM_ZipThenUnzipT(benchmark::State& state) {
  Timed(state, "zip6_unzipt", gDrive->Host("zipt.zip"), [] {
    return Shell("cd '" + gDrive->Host("data") + "' && zip -6 -q -X ../zipt.zip * && unzip -tqq ../zipt.zip");
  });
}

void BM_TZipStore(benchmark::State& state) {
  const int workers = static_cast<int>(state.range(0));
  Timed(state, workers == 1 ? "store_1" : "store", gDrive->Host("stored.zip"),
        [&] { return RunOurs("data", "stored.zip", workers, true, cmStore) == 50; });
}

// The least storing can do: read each file in the store writer's chunks,
// CRC-32 them and write them to one output file, flushed to disk at the end
// as the run's replacement of the archive flushes it.
void BM_PlainStoreLoop(benchmark::State& state) {
  std::vector<char> buf(102400);
  Timed(state, "plain_store", gDrive->Host("plain.bin"), [&] {
    int out = ::open(gDrive->Host("plain.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    off_t at = 0;
    bool ok = out >= 0;
    for (const auto& f : gFiles) {
      int in = ::open(f.c_str(), O_RDONLY);
      uLong crc = crc32(0, nullptr, 0);
      off_t pos = 0;
      ssize_t n;
      while ((n = ::pread(in, buf.data(), buf.size(), pos)) > 0) {
        crc = crc32(crc, reinterpret_cast<Bytef*>(buf.data()), static_cast<uInt>(n));
        ok = ok && ::pwrite(out, buf.data(), static_cast<size_t>(n), at) == n;
        pos += n;
        at += n;
      }
      benchmark::DoNotOptimize(crc);
      ::close(in);
    }
    ok = ok && ::fsync(out) == 0;
    ::close(out);
    return ok;
  });
}

void BM_SmallFiles(benchmark::State& state) {
  const int workers = static_cast<int>(state.range(0));
  Timed(state, workers == 1 ? "small_1" : "small", gDrive->Host("small.zip"),
        [&] { return RunOurs("small", "small.zip", workers, true) == 1500; });
}

void BM_SmallFilesZip6(benchmark::State& state) {
  Timed(state, "small_zip6", gDrive->Host("small_zip6.zip"),
        [] { return Shell("cd '" + gDrive->Host("small") + "' && zip -6 -q -X ../small_zip6.zip *"); });
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
  std::cout << "files " << n << " workers " << zip.Workers() << "\n";
  return n > 0 ? 0 : 1;
}

void Register() {
  auto timed = [](const char* name, void (*fn)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name, fn)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
  };
  // Rounds interleave the contenders, so drift on a shared machine hits all alike.
  for (int round = 0; round < gRounds; ++round) {
    timed("BM_TZip", BM_TZip)->Args({0, 1});
    timed("BM_InfoZip6", BM_InfoZip6);
    timed("BM_Pigz6", BM_Pigz6);
    timed("BM_TZip", BM_TZip)->Args({1, 1});
    timed("BM_ZlibAlone", BM_ZlibAlone);
    timed("BM_VerifiedBackup", BM_VerifiedBackup)->Arg(0);
    timed("BM_ZipThenUnzipT", BM_ZipThenUnzipT);
    timed("BM_TZipStore", BM_TZipStore)->Arg(0);
    timed("BM_PlainStoreLoop", BM_PlainStoreLoop);
    timed("BM_TZipStore", BM_TZipStore)->Arg(1);
    timed("BM_SmallFiles", BM_SmallFiles)->Arg(0);
    timed("BM_SmallFilesZip6", BM_SmallFilesZip6);
    timed("BM_SmallFiles", BM_SmallFiles)->Arg(1);
  }
  timed("BM_TZip", BM_TZip)->Args({0, 0});
  timed("BM_VerifiedBackup", BM_VerifiedBackup)->Arg(1);
}

}  // namespace

int main(int argc, char** argv) {
  gSelf = fs::canonical("/proc/self/exe").string();
  if (argc == 4 && std::string(argv[1]) == "--child") return ChildMain(argv[2], argv[3]);
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::string(argv[i]) == "--mb" && i + 1 < argc) {
      gTotalMb = std::strtoul(argv[++i], nullptr, 10);
      continue;
    }
    if (std::string(argv[i]) == "--block" && i + 1 < argc) {
      gBlock = std::strtoul(argv[++i], nullptr, 10) * 1024;
      continue;
    }
    if (std::string(argv[i]) == "--rounds" && i + 1 < argc) {
      gRounds = std::max(1, std::atoi(argv[++i]));
      continue;
    }
    rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  std::printf("generating %zu MB of table-like files in 50 files, and 1,500 small files...\n", gTotalMb);
  Generate(gTotalMb);
  GenerateSmall();
  benchmark::Initialize(&n, rest.data());
  Register();
  const double loadBefore = Load();
  benchmark::RunSpecifiedBenchmarks();
  const double loadAfter = Load();

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
    fs::copy_file(gFiles[i], gDrive->Host("fifth/" + fs::path(gFiles[i]).filename().string()),
                  fs::copy_options::overwrite_existing);
  long hwmAll = PeakKbOfChild("'" + gDrive->Dos("data\\*.*") + "' '" + gDrive->Dos("mem_all.zip") + "'");
  long hwmFifth = PeakKbOfChild("'" + gDrive->Dos("fifth\\*.*") + "' '" + gDrive->Dos("mem_fifth.zip") + "'");
  long hwmZip = PeakKbOfCommand("cd '" + gDrive->Host("data") + "' && zip -6 -q -X ../mem_zip.zip *");

  auto fig = [](const std::string& name) -> const Figure& { return gFig[name]; };
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  auto line = [&](const char* what, double a, double b, const char* unit, double goal, bool,
                  const char* against) {
    double r = ratio(a, b);
    std::printf("%-30s %9.2f%-2s %9.2f%-2s %7.3f  %s", what, a, unit, b, unit, r, against);
    if (goal > 0) std::printf(" (goal <= %.3g) %s", goal, r <= goal ? "ok" : "OVER");
    std::printf("\n");
  };
  const int workers = DefaultWorkerCount();
  std::printf("\n=== bench_zip: %zu MB in 50 files, dtDeflateN, %d workers by default (%u cores) ===\n",
              gTotalMb, workers, std::thread::hardware_concurrency());
  std::printf("load average (1 min): %.2f before, %.2f after; best of %d round(s)\n", loadBefore, loadAfter,
              gRounds);
  std::printf("%-30s %11s %11s %7s\n", "figure", "value", "baseline", "ratio");
  line("wall time", fig("tzip").wall, fig("zip6").wall, "s", 0.55, true, "TZip vs zip -6");
  line("wall time", fig("tzip").wall, fig("pigz6").wall, "s", 1.0, true, "TZip vs tar | pigz -6");
  line("wall time, 1 worker", fig("tzip_1").wall, fig("zip6").wall, "s", 0, true,
       "TZip (1 worker) vs zip -6");
  line("speed-up", fig("tzip_1").wall, fig("tzip").wall, "s", 0, true, "1 worker / default workers, wall");
  line("archive size", fig("tzip").bytes / 1048576, fig("zip6").bytes / 1048576, "M", 1.005, true,
       "TZip vs zip -6");
  line("archive size", fig("tzip").bytes / 1048576, fig("pigz6").bytes / 1048576, "M", 0, true,
       "TZip vs pigz -6 (tar.gz)");
  line("archive size, 1 worker", fig("tzip_1").bytes / 1048576, fig("zip6").bytes / 1048576, "M", 0, true,
       "TZip (1 worker) vs zip -6");
  line("CPU time", fig("tzip").cpu, fig("zlib").cpu, "s", 1.10, true, "TZip vs zlib alone");
  line("CPU time, 1 worker", fig("tzip_1").cpu, fig("zlib").cpu, "s", 0, true,
       "TZip (1 worker) vs zlib alone");
  line("CPU time", fig("zip6").cpu, fig("zlib").cpu, "s", 0, true, "zip -6 vs zlib alone");
  line("CPU time", fig("pigz6").cpu, fig("zlib").cpu, "s", 0, true, "tar | pigz -6 vs zlib alone");
  line("verified backup", fig("verified").wall, fig("zip6_unzipt").wall, "s", 1.0, true,
       "compress + read back vs zip -6 + unzip -t");
  line("verified, 1-thread read back", fig("verified_readback1").wall, fig("zip6_unzipt").wall, "s", 0, true,
       "compress + read back on one thread");
  line("storing", fig("store").wall, fig("plain_store").wall, "s", 1.25, true,
       "cmStore vs read + CRC-32 + write loop");
  line("storing, 1 worker", fig("store_1").wall, fig("plain_store").wall, "s", 1.25, true,
       "cmStore (1 worker) vs the same loop");
  line("1,500 small files", fig("small").wall, fig("small_zip6").wall, "s", 0, true, "TZip vs zip -6");
  line("1,500 small files, 1 worker", fig("small_1").wall, fig("small_zip6").wall, "s", 0, true,
       "TZip (1 worker) vs zip -6");
  line("small files size", fig("small").bytes / 1048576, fig("small_zip6").bytes / 1048576, "M", 0, true,
       "TZip vs zip -6");
  line("progress events", fig("tzip").wall, fig("tzip_noprogress").wall, "s", 0, true,
       "OnProgress set vs unset, wall");
  double eventShare = gEvents * gEventNs * 1e-9 / (fig("tzip").cpu > 0 ? fig("tzip").cpu : 1);
  std::printf("%-30s %9.0fns %7llu ev %7.4f%%  (events x cost / CPU time of the run)\n",
              "progress event cost", gEventNs, static_cast<unsigned long long>(gEvents), eventShare * 100);
  line("peak memory (VmHWM)", hwmAll / 1024.0, hwmFifth / 1024.0, "MB", 0, true, "whole set vs a fifth");
  std::printf("%-30s %9.2fMB %s\n", "peak memory (VmHWM)", hwmAll / 1024.0,
              hwmAll > 0 && hwmAll < 64 * 1024 ? "(goal < 64 MB) ok" : "(goal < 64 MB) OVER");
  if (hwmZip > 0) line("peak memory", hwmAll / 1024.0, hwmZip / 1024.0, "MB", 0, true, "TZip vs zip -6");
  benchmark::Shutdown();
  return 0;
}
