// Share modes, creation, deletion and renaming between two processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "processes_posix.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

using namespace platform;

namespace {

struct Mode {
  const char* access;  // as platform_peer takes it
  const char* share;
  Access a;
  Share s;
  const char* label;
};

const Mode kModes[] = {
    {"r", "s", Access::Read, Share::Shared, "shared reader"},
    {"rw", "s", Access::ReadWrite, Share::Shared, "shared writer"},
    {"r", "dw", Access::Read, Share::DenyWrite, "deny-write reader"},
    {"rw", "dw", Access::ReadWrite, Share::DenyWrite, "deny-write writer"},
    {"r", "x", Access::Read, Share::Exclusive, "exclusive reader"},
    {"rw", "x", Access::ReadWrite, Share::Exclusive, "exclusive writer"},
};

// Windows' sharing table for the modes above: kAdmitted[held][new].
const bool kAdmitted[6][6] = {
    // new:  Sr     Sw     DWr    DWw    Xr     Xw
    {true, true, true, true, false, false},      // held by a shared reader
    {true, true, false, false, false, false},    // a shared writer
    {true, false, true, false, false, false},    // a deny-write reader
    {true, false, false, false, false, false},   // a deny-write writer
    {false, false, false, false, false, false},  // an exclusive reader
    {false, false, false, false, false, false},  // an exclusive writer
};

std::string DriveEnv(const TempDrive& drive) {
  return std::string("VELUPDATE_DRIVE_") + drive.Letter() + "=" + drive.Root();
}

}  // namespace

TEST(Sharing, EveryPairOfModesBetweenTwoProcesses) {
  TempDrive drive;
  std::string name = drive.Dos("table.dbf");
  ASSERT_TRUE(WriteHostFile(drive.Host("table.dbf"), "data"));
  for (int held = 0; held < 6; ++held) {
    for (int next = 0; next < 6; ++next) {
      SCOPED_TRACE(std::string(kModes[held].label) + " holds it, a " + kModes[next].label + " comes");
      // The other process holds the file; this one comes second.
      {
        PeerProcess peer({"hold", name, kModes[held].access, kModes[held].share}, {DriveEnv(drive)});
        ASSERT_TRUE(peer.Started());
        ASSERT_EQ(peer.ReadLine(), "open");
        auto f = File::Open(name, kModes[next].a, kModes[next].s);
        EXPECT_EQ(f != nullptr, kAdmitted[held][next]);
        if (!f) {
          EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
        }
      }
      // This process holds the file; the other one comes second.
      {
        auto f = File::Open(name, kModes[held].a, kModes[held].s);
        ASSERT_TRUE(f);
        PeerProcess peer({"hold", name, kModes[next].access, kModes[next].share}, {DriveEnv(drive)});
        ASSERT_TRUE(peer.Started());
        EXPECT_EQ(peer.ReadLine(), kAdmitted[held][next] ? "open" : "refused SharingViolation");
      }
    }
  }
  EXPECT_EQ(ReadHostFile(drive.Host("table.dbf")), "data");
}

TEST(Sharing, DenyWriteReaderKeepsTheFileAsItIs) {
  TempDrive drive;
  std::string name = drive.Dos("backup.zip");
  ASSERT_TRUE(WriteHostFile(drive.Host("backup.zip"), "old archive"));
  auto reader = File::Open(name, Access::Read, Share::DenyWrite);
  ASSERT_TRUE(reader);
  // Neither a writer nor a replace nor a delete gets past it; readers do.
  EXPECT_FALSE(File::Open(name, Access::Write, Share::Shared));
  EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Shared, Disposition::CreateAlways));
  EXPECT_TRUE(File::Open(name, Access::Read, Share::Shared));
  EXPECT_TRUE(File::Open(name, Access::Read, Share::DenyWrite));
  ASSERT_TRUE(WriteHostFile(drive.Host("new.zip"), "new archive"));
  EXPECT_FALSE(MoveFileReplace(drive.Dos("new.zip"), name));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_FALSE(DeleteFile(name));
  EXPECT_FALSE(CopyFile(drive.Dos("new.zip"), name, false));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_EQ(ReadHostFile(drive.Host("backup.zip")), "old archive");
  reader.reset();
  EXPECT_TRUE(MoveFileReplace(drive.Dos("new.zip"), name));
  EXPECT_EQ(ReadHostFile(drive.Host("backup.zip")), "new archive");
}

TEST(Sharing, RefusedCreateLeavesTheOtherProcessesFile) {
  TempDrive drive;
  std::string name = drive.Dos("NEWTable.dbf");
  PeerProcess peer({"hold", name, "rw", "x", "create"}, {DriveEnv(drive)});
  ASSERT_TRUE(peer.Started());
  ASSERT_EQ(peer.ReadLine(), "open");
  struct stat before;
  ASSERT_EQ(::stat(drive.Host("NEWTable.dbf").c_str(), &before), 0);
  for (Disposition d : {Disposition::CreateAlways, Disposition::OpenAlways, Disposition::OpenExisting}) {
    EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Exclusive, d));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  }
  EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Exclusive, Disposition::CreateNew));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  struct stat after;
  ASSERT_EQ(::stat(drive.Host("NEWTable.dbf").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // still the peer's file, not a new one
}

namespace {

// Runs two racing peers in `drive` and checks that neither lost a file it held.
void Race(const TempDrive& drive, double seconds, bool createOnly) {
  std::vector<std::string> extra;
  if (createOnly) extra.push_back("create");
  auto args = [&](const char* seed) {
    std::vector<std::string> a = {"race", drive.Dos(), std::to_string(seconds), seed};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  PeerProcess a(args("1"), {DriveEnv(drive)});
  PeerProcess b(args("2"), {DriveEnv(drive)});
  ASSERT_TRUE(a.Started() && b.Started());
  for (PeerProcess* p : {&a, &b}) {
    std::string report = p->ReadLine();
    EXPECT_EQ(p->Wait(), 0) << report;
    long ops = 0, held = 0, lost = 0;
    ASSERT_EQ(std::sscanf(report.c_str(), "ops %ld held %ld lost %ld", &ops, &held, &lost), 3) << report;
    EXPECT_GT(held, 100) << report;  // the run really raced
    EXPECT_EQ(lost, 0) << report;
  }
}

double RaceSeconds(double usual) {
  const char* s = std::getenv("VELUPDATE_RACE_SECONDS");
  return s && *s ? std::atof(s) : usual;
}

}  // namespace

// Two processes create, open, delete, rename and copy the same few files as
// fast as they can; neither ever finds a file it holds open deleted or renamed
// away under it. A few seconds here; VELUPDATE_RACE_SECONDS=60 for a long run.
TEST(Sharing, TwoProcessesRacingLoseNoFile) {
  TempDrive drive;
  Race(drive, RaceSeconds(1.0), true);
  Race(drive, RaceSeconds(2.0), false);
  // Nothing but the race's own files is left: no staging copies.
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory(drive.Dos(), list));
  for (const FileInfo& e : list) EXPECT_EQ(e.name.rfind("f", 0), 0u) << e.name;
}
