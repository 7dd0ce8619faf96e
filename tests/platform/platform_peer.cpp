// A second process for the platform tests: another program opening, creating,
// deleting and renaming the same files through the platform layer.
//
//   platform_peer hold <dos path> <r|w|rw> <x|s|dw> [disposition]
//       Opens the file and prints "open" or "refused <error>", then keeps it
//       open until its standard input closes.
//   platform_peer race <dos folder> <seconds> <seed> [create]
//       Creates, opens, deletes, renames and copies the files f0.dbf ... f3.dbf
//       in the folder at random for the given time (with "create": only
//       creates f0.dbf with CreateAlways, exclusively, and deletes it again,
//       over and over). Every file it holds open is
//       checked, while held, to be still the one its name names: a file deleted
//       or renamed away under its opener is counted as lost. Prints
//       "ops <n> held <n> lost <n>" and exits 1 when anything was lost.
//
//   platform_peer lock <path> <offset> <length>
//       Opens the file shared for reading and writing, locks the byte range
//       and prints "locked" or "refused <error>", then keeps the lock until
//       its standard input closes.
//
// A path is a DOS path, with the drive letters from the environment
// (VELUPDATE_DRIVE_<L> on POSIX hosts) as for any program using the layer,
// or a host path.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"

using namespace platform;

namespace {

const char* ErrorName(ErrorCode code) {
  switch (code) {
    case ErrorCode::SharingViolation:
      return "SharingViolation";
    case ErrorCode::FileNotFound:
      return "FileNotFound";
    case ErrorCode::AlreadyExists:
      return "AlreadyExists";
    case ErrorCode::AccessDenied:
      return "AccessDenied";
    case ErrorCode::LockViolation:
      return "LockViolation";
    default:
      return "Other";
  }
}

bool ParseMode(const std::string& a, const std::string& s, Access& access, Share& share) {
  if (a == "r")
    access = Access::Read;
  else if (a == "w")
    access = Access::Write;
  else if (a == "rw")
    access = Access::ReadWrite;
  else
    return false;
  if (s == "x")
    share = Share::Exclusive;
  else if (s == "s")
    share = Share::Shared;
  else if (s == "dw")
    share = Share::DenyWrite;
  else
    return false;
  return true;
}

void WaitForEndOfInput() {
  while (std::fgetc(stdin) != EOF) {
  }
}

int Hold(int argc, char** argv) {
  if (argc < 5) return 2;
  Access access;
  Share share;
  if (!ParseMode(argv[3], argv[4], access, share)) return 2;
  Disposition disposition = Disposition::OpenExisting;
  if (argc > 5 && std::strcmp(argv[5], "create") == 0) disposition = Disposition::CreateAlways;
  auto file = File::Open(ArgumentToDosPath(argv[2]), access, share, disposition);
  if (file)
    std::printf("open\n");
  else
    std::printf("refused %s\n", ErrorName(LastError()));
  std::fflush(stdout);
  WaitForEndOfInput();
  return 0;
}

int Lock(int argc, char** argv) {
  if (argc < 5) return 2;
  auto file = File::Open(ArgumentToDosPath(argv[2]), Access::ReadWrite, Share::Shared);
  if (!file) {
    std::printf("refused %s\n", ErrorName(LastError()));
  } else if (file->LockRange(std::strtoull(argv[3], nullptr, 0), std::strtoull(argv[4], nullptr, 0))) {
    std::printf("locked\n");
  } else {
    std::printf("refused %s\n", ErrorName(LastError()));
  }
  std::fflush(stdout);
  WaitForEndOfInput();
  return 0;
}

// True while the file's host name still names the open file.
bool StillNamed(File& f) {
  FileIdentity open, named;
  return f.GetIdentity(open) && GetFileIdentity(f.DosPath(), named) && open == named;
}

int Race(int argc, char** argv) {
  if (argc < 5) return 2;
  std::string folder = ArgumentToDosPath(argv[2]);
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  double seconds = std::atof(argv[3]);
  std::mt19937 rng(static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  auto name = [&](int i) { return folder + "f" + std::to_string(i) + ".dbf"; };

  bool createOnly = argc > 5 && std::strcmp(argv[5], "create") == 0;
  uint64_t end = TickCount() + static_cast<uint64_t>(seconds * 1000);
  long ops = 0, held = 0, lost = 0;
  while (TickCount() < end) {
    ++ops;
    int i = pick(4), j = pick(4);
    if (createOnly) {
      auto f = File::Open(name(0), Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways);
      if (!f) continue;
      ++held;
      f->WriteAt(0, "peer", 4);
      if (!StillNamed(*f)) ++lost;
      f.reset();
      DeleteFile(name(0));  // a work file: made, used, removed
      continue;
    }
    switch (pick(10)) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: {
        static const Disposition kDispositions[] = {Disposition::CreateAlways, Disposition::OpenAlways,
                                                    Disposition::CreateNew, Disposition::OpenExisting};
        static const Share kShares[] = {Share::Exclusive, Share::Shared, Share::DenyWrite};
        Disposition d = kDispositions[pick(4)];
        Share s = kShares[pick(3)];
        Access a = pick(3) == 0 ? Access::Read : Access::ReadWrite;
        if (a == Access::Read && d == Disposition::CreateAlways) d = Disposition::OpenAlways;
        auto f = File::Open(name(i), a, s, d);
        if (!f) break;
        ++held;
        if (!StillNamed(*f)) ++lost;
        if (a != Access::Read) f->WriteAt(0, "peer", 4);
        for (int k = pick(20); k > 0; --k) std::this_thread::yield();
        if (!StillNamed(*f)) ++lost;
        break;
      }
      case 5:
      case 6:
        DeleteFile(name(i));
        break;
      case 7:
        MoveFile(name(i), name(j));
        break;
      case 8:
        MoveFileReplace(name(i), name(j));
        break;
      case 9:
        CopyFile(name(i), name(j), pick(2) == 0);
        break;
    }
  }
  std::printf("ops %ld held %ld lost %ld\n", ops, held, lost);
  return lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "hold") == 0) return Hold(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "race") == 0) return Race(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "lock") == 0) return Lock(argc, argv);
  std::fprintf(stderr, "usage: platform_peer hold|race|lock ...\n");
  return 2;
}
