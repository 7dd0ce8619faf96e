// Share modes and byte-range locks as both hosts give them: two File objects
// of one process, and this process against a second program (platform_peer).
// On POSIX hosts the layer emulates the modes; on Windows (and under Wine)
// they are the system's own, so the same expectations pin both.
#include <gtest/gtest.h>

#include <string>

#include "peer_process.h"
#include "platform/error.h"
#include "platform/file.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

using namespace platform;

namespace {

struct Mode {
  Access access;
  Share share;
  const char* a;  // the peer's spelling
  const char* s;
};

const Mode kModes[] = {{Access::Read, Share::Shared, "r", "s"},
                       {Access::ReadWrite, Share::Shared, "rw", "s"},
                       {Access::Read, Share::DenyWrite, "r", "dw"},
                       {Access::ReadWrite, Share::DenyWrite, "rw", "dw"},
                       {Access::ReadWrite, Share::Exclusive, "rw", "x"}};

std::string Describe(const Mode& m) { return std::string(m.a) + "/" + m.s; }

// May `second` open the file while `first` holds it? (The table in file.h.)
bool Admits(const Mode& first, const Mode& second) {
  if (first.share == Share::Exclusive || second.share == Share::Exclusive) return false;
  if (first.share == Share::DenyWrite && second.access != Access::Read) return false;
  if (second.share == Share::DenyWrite && first.access != Access::Read) return false;
  return true;
}

class Contention : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(WriteHostFile(drive.Host("t.dbf"), "table data")); }
  std::string Dos() const { return drive.Dos("t.dbf"); }
  std::string HostName() const { return drive.Host("t.dbf"); }
  TempDrive drive;
};

}  // namespace

TEST_F(Contention, ShareModesBetweenTwoOpenersOfOneProcess) {
  for (const Mode& first : kModes) {
    auto held = File::Open(Dos(), first.access, first.share);
    ASSERT_TRUE(held) << Describe(first);
    for (const Mode& second : kModes) {
      auto next = File::Open(Dos(), second.access, second.share);
      EXPECT_EQ(next != nullptr, Admits(first, second)) << Describe(first) << " then " << Describe(second);
      if (!next) {
        EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
      }
    }
  }
}

TEST_F(Contention, ShareModesBetweenTwoProcesses) {
  for (const Mode& first : kModes) {
    PeerProcess peer({"hold", HostName(), first.a, first.s});
    ASSERT_TRUE(peer.Started());
    ASSERT_EQ(peer.ReadLine(), "open") << Describe(first);
    for (const Mode& second : kModes) {
      auto next = File::Open(Dos(), second.access, second.share);
      EXPECT_EQ(next != nullptr, Admits(first, second))
          << "the peer holds " << Describe(first) << ", we open " << Describe(second);
    }
    EXPECT_EQ(peer.Wait(), 0);
  }
  // And the other way round: the peer is refused while we hold the file.
  auto mine = File::Open(Dos(), Access::ReadWrite, Share::DenyWrite);
  ASSERT_TRUE(mine);
  PeerProcess writer({"hold", HostName(), "rw", "s"});
  EXPECT_EQ(writer.ReadLine(), "refused SharingViolation");
  PeerProcess reader({"hold", HostName(), "r", "s"});
  EXPECT_EQ(reader.ReadLine(), "open");
}

TEST_F(Contention, ByteRangeLocksBetweenTwoOpenersOfOneProcess) {
  auto a = File::Open(Dos(), Access::ReadWrite, Share::Shared);
  auto b = File::Open(Dos(), Access::ReadWrite, Share::Shared);
  ASSERT_TRUE(a && b);
  // The table lock of the default protocol, and a record lock inside it.
  ASSERT_TRUE(a->LockRange(0x40000000, 0x3FFFFFFF));
  EXPECT_FALSE(b->LockRange(0x40000010, 1));
  EXPECT_EQ(LastError(), ErrorCode::LockViolation);
  EXPECT_TRUE(b->LockRange(0xEFFFFFFF, 1));  // another protocol's append byte lies outside it
  // A range overlapping one this File holds is refused too; an unlock must
  // name the exact range.
  EXPECT_FALSE(a->LockRange(0x40000000, 1));
  EXPECT_FALSE(a->UnlockRange(0x40000000, 1));
  ASSERT_TRUE(a->UnlockRange(0x40000000, 0x3FFFFFFF));
  EXPECT_TRUE(b->LockRange(0x40000010, 1));
  // Closing a File drops its locks, and only its own.
  EXPECT_FALSE(a->LockRange(0xEFFFFFFF, 1));
  b.reset();
  EXPECT_TRUE(a->LockRange(0xEFFFFFFF, 1));
  EXPECT_TRUE(a->LockRange(0x40000010, 1));
}

TEST_F(Contention, ByteRangeLocksBetweenTwoProcesses) {
  PeerProcess peer({"lock", HostName(), "0x7FFFFFFE", "1"});
  ASSERT_TRUE(peer.Started());
  ASSERT_EQ(peer.ReadLine(), "locked");
  auto mine = File::Open(Dos(), Access::ReadWrite, Share::Shared);
  ASSERT_TRUE(mine);
  EXPECT_FALSE(mine->LockRange(0x7FFFFFFE, 1));
  EXPECT_EQ(LastError(), ErrorCode::LockViolation);
  EXPECT_FALSE(mine->LockRange(0x7FFFFF00, 0x100));  // any overlap
  EXPECT_TRUE(mine->LockRange(0x7FFFFFFD, 1));       // the memo lock beside it
  // The lock ends with the process that held it.
  EXPECT_EQ(peer.Wait(), 0);
  EXPECT_TRUE(mine->LockRange(0x7FFFFFFE, 1));

  // Now ours keeps the peer out.
  PeerProcess second({"lock", HostName(), "0x7FFFFFFE", "1"});
  EXPECT_EQ(second.ReadLine(), "refused LockViolation");
}

TEST_F(Contention, AFileAnotherProcessHoldsIsNeitherRemovedNorReplaced) {
  ASSERT_TRUE(WriteHostFile(drive.Host("new.dbf"), "new data"));
  PeerProcess peer({"hold", HostName(), "r", "s"});
  ASSERT_EQ(peer.ReadLine(), "open");
  EXPECT_FALSE(DeleteFile(Dos()));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_FALSE(MoveFile(Dos(), drive.Dos("moved.dbf")));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_FALSE(MoveFileReplace(drive.Dos("new.dbf"), Dos()));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_FALSE(CopyFile(drive.Dos("new.dbf"), Dos(), false));
  // A create that would empty it is refused before anything is cut.
  EXPECT_FALSE(File::Open(Dos(), Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways));
  EXPECT_EQ(ReadHostFile(HostName()), "table data");
  EXPECT_EQ(ReadHostFile(drive.Host("new.dbf")), "new data");

  EXPECT_EQ(peer.Wait(), 0);
  ASSERT_TRUE(MoveFileReplace(drive.Dos("new.dbf"), Dos()));
  EXPECT_EQ(ReadHostFile(HostName()), "new data");
  EXPECT_FALSE(FileExists(drive.Dos("new.dbf")));
  EXPECT_TRUE(DeleteFile(Dos()));
  EXPECT_FALSE(FileExists(Dos()));
}

TEST_F(Contention, CreateAlwaysEmptiesOnlyAfterTheShareCheck) {
  auto reader = File::Open(Dos(), Access::Read, Share::Shared);
  ASSERT_TRUE(reader);
  // A shared writer may come in and empty it; an exclusive one may not.
  EXPECT_FALSE(File::Open(Dos(), Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways));
  EXPECT_EQ(ReadHostFile(HostName()), "table data");
  auto writer = File::Open(Dos(), Access::ReadWrite, Share::Shared, Disposition::CreateAlways);
  ASSERT_TRUE(writer);
  EXPECT_EQ(writer->Size(), 0);
  EXPECT_EQ(File::Open(Dos(), Access::ReadWrite, Share::Shared, Disposition::CreateNew), nullptr);
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
}
