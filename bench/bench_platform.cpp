// Platform file calls beside the bare host calls they stand on, in the same
// run: what the share modes, the name checks and the crash-safe renames cost.
//
//   open/close     File::Open (shared writer) + close  vs  open(2) + close(2)
//   create/delete  File::Open(CreateNew) + DeleteFile   vs  open(O_EXCL) + unlink
//   replace        MoveFileReplace                      vs  rename(2), and vs
//                  fsync + rename + fsync of the folder (what a crash-safe rename needs)
//   listing        ListDirectory of 1,000 names          vs  readdir + stat
//   read           File::ReadAt of one 32-byte record     vs  pread(2), and with
//                  a pass-through fault hook armed (what the tests' double adds)
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/faults.h"
#include "platform/file.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

namespace {

std::unique_ptr<TempDrive> gDrive;

TempDrive& Drive() {
  if (!gDrive) {
    gDrive = std::make_unique<TempDrive>('B');
    WriteHostFile(gDrive->Host("table.dbf"), std::string(4096, 't'));
    WriteHostFile(gDrive->Host("a.zip"), std::string(64 * 1024, 'a'));
    std::string payload(100, 'x');
    for (int i = 0; i < 1000; ++i) {
      // One name in ten has no ANSI form, as in a folder shared with other programs.
      std::string name =
          i % 10 == 0 ? "\xE6\x97\xA5" + std::to_string(i) + ".dbf" : "file" + std::to_string(i) + ".dbf";
      WriteHostFile(gDrive->Host("list/" + name), payload);
    }
  }
  return *gDrive;
}

void BM_RawOpenClose(benchmark::State& state) {
  std::string host = Drive().Host("table.dbf");
  for (auto _ : state) {
    int fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC);
    benchmark::DoNotOptimize(fd);
    ::close(fd);
  }
}

void BM_FileOpenClose(benchmark::State& state) {
  std::string dos = Drive().Dos("table.dbf");
  for (auto _ : state) {
    auto f = platform::File::Open(dos, platform::Access::ReadWrite, platform::Share::Shared);
    benchmark::DoNotOptimize(f.get());
  }
}

void BM_RawCreateDelete(benchmark::State& state) {
  std::string host = Drive().Host("work.dbf");
  for (auto _ : state) {
    int fd = ::open(host.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    ::close(fd);
    ::unlink(host.c_str());
  }
}

void BM_FileCreateDelete(benchmark::State& state) {
  std::string dos = Drive().Dos("work.dbf");
  for (auto _ : state) {
    platform::File::Open(dos, platform::Access::ReadWrite, platform::Share::Exclusive,
                         platform::Disposition::CreateNew);
    platform::DeleteFile(dos);
  }
}

void BM_RawRename(benchmark::State& state) {
  std::string a = Drive().Host("a.zip"), b = Drive().Host("b.zip");
  for (auto _ : state) {
    ::rename(a.c_str(), b.c_str());
    ::rename(b.c_str(), a.c_str());
  }
}

void SyncedRename(const std::string& from, const std::string& to, const std::string& folder) {
  int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  ::fsync(fd);
  ::close(fd);
  ::rename(from.c_str(), to.c_str());
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::fsync(dir);
  ::close(dir);
}

void BM_RawSyncedRename(benchmark::State& state) {
  std::string a = Drive().Host("a.zip"), b = Drive().Host("b.zip"), folder = Drive().Root();
  for (auto _ : state) {
    SyncedRename(a, b, folder);
    SyncedRename(b, a, folder);
  }
}

void BM_MoveFileReplace(benchmark::State& state) {
  std::string a = Drive().Dos("a.zip"), b = Drive().Dos("b.zip");
  for (auto _ : state) {
    platform::MoveFileReplace(a, b);
    platform::MoveFileReplace(b, a);
  }
}

void BM_RawListing(benchmark::State& state) {
  std::string folder = Drive().Host("list");
  for (auto _ : state) {
    DIR* d = ::opendir(folder.c_str());
    size_t n = 0;
    while (dirent* e = ::readdir(d)) {
      struct stat st;
      std::string path = folder + "/" + e->d_name;
      if (::stat(path.c_str(), &st) == 0) ++n;
    }
    ::closedir(d);
    benchmark::DoNotOptimize(n);
  }
}

void BM_ListDirectory(benchmark::State& state) {
  std::string folder = Drive().Dos("list");
  std::vector<platform::FileInfo> entries;
  for (auto _ : state) {
    platform::ListDirectory(folder, entries);
    benchmark::DoNotOptimize(entries.size());
  }
}

}  // namespace

void BM_RawPread(benchmark::State& state) {
  int fd = ::open(Drive().Host("table.dbf").c_str(), O_RDONLY | O_CLOEXEC);
  char record[32];
  int64_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::pread(fd, record, sizeof record, at));
    at = (at + 32) & 4095;
  }
  ::close(fd);
}

void ReadRecords(benchmark::State& state) {
  auto f = platform::File::Open(Drive().Dos("table.dbf"), platform::Access::Read, platform::Share::Shared);
  char record[32];
  uint64_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f->ReadAt(at, record, sizeof record));
    at = (at + 32) & 4095;
  }
}

void BM_FileReadAt(benchmark::State& state) { ReadRecords(state); }

struct PassThrough : platform::FileFaults {
  platform::FaultAnswer Before(const platform::FileCallInfo&) override { return {}; }
};

void BM_FileReadAtHooked(benchmark::State& state) {
  PassThrough hook;
  platform::SetFileFaults(&hook);
  ReadRecords(state);
  platform::SetFileFaults(nullptr);
}

BENCHMARK(BM_RawOpenClose);
BENCHMARK(BM_FileOpenClose);
BENCHMARK(BM_RawCreateDelete);
BENCHMARK(BM_FileCreateDelete);
BENCHMARK(BM_RawRename);
BENCHMARK(BM_RawSyncedRename);
BENCHMARK(BM_MoveFileReplace);
BENCHMARK(BM_RawListing);
BENCHMARK(BM_ListDirectory);
BENCHMARK(BM_RawPread);
BENCHMARK(BM_FileReadAt);
BENCHMARK(BM_FileReadAtHooked);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gDrive.reset();
  return 0;
}
