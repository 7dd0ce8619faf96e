#include "tables/hx6_disk.h"

#include <gtest/gtest.h>

#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_glbl.h"

using tabletest::MessageOf;
using tabletest::ShortLockWait;

namespace {}  // namespace

TEST(DiskFile, OpenCreateReadWriteAndTheFileList) {
  TempDrive drive;
  HXO_DiskFile missing(drive.Dos("none.dat"), true, true);
  EXPECT_FALSE(missing.Exists());
  EXPECT_EQ(MessageOf([&] { missing.Open(); }), "File " + drive.Dos("none.dat") + " could not be found");
  EXPECT_TRUE(missing.Closed());

  HXO_DiskFile f(drive.Dos("data.dat"), false, true);
  f.CreateNew();
  EXPECT_TRUE(f.Exists());
  EXPECT_FALSE(f.Closed());
  EXPECT_GE(FileColl().IndexOf(&f), 0);
  EXPECT_EQ(f.FileSize(), 0);
  EXPECT_EQ(f.WriteAt(10, "hello", 5), 5u);
  EXPECT_TRUE(f.Written());
  EXPECT_EQ(f.Position(), 15u);
  f.Flush();
  EXPECT_FALSE(f.Written());
  char buf[16] = {};
  // A read past the end reports the short count instead of failing.
  EXPECT_EQ(f.ReadAt(12, buf, 10), 3u);
  EXPECT_EQ(std::string(buf, 3), "llo");
  EXPECT_EQ(f.LastCount(), 3u);
  EXPECT_EQ(f.Position(), 22u);
  f.Close();
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(FileColl().IndexOf(&f), -1);
  EXPECT_EQ(MessageOf([&] { f.ReadAt(0, buf, 1); }), "Error on Read of file " + drive.Dos("data.dat"));

  // CreateNew empties an existing file.
  f.CreateNew();
  EXPECT_EQ(f.FileSize(), 0);

  // An exclusive opener keeps everyone else out.
  HXO_DiskFile other(drive.Dos("DATA.DAT"), true, false);
  EXPECT_EQ(MessageOf([&] { other.Open(); }), "Access denied to file " + drive.Dos("DATA.DAT"));
  EXPECT_TRUE(other.Closed());
  f.Close();
  other.Open();  // names match without regard to case
  EXPECT_EQ(other.FileSize(), 0);

  // A read-only opener cannot write.
  EXPECT_EQ(MessageOf([&] { other.WriteAt(0, "x", 1); }), "Error writing to " + drive.Dos("DATA.DAT"));
  EXPECT_FALSE(other.Written());
}

TEST(DiskFile, LockCountingOnSharedAndExclusiveFiles) {
  TempDrive drive;
  WriteHostFile(drive.Host("t.dat"), "0123456789");
  HXO_DiskFile a(drive.Dos("t.dat"), true, true);
  HXO_DiskFile b(drive.Dos("t.dat"), true, true);
  a.Open();
  b.Open();

  EXPECT_TRUE(a.LockRange(0x7FFFFFFE, 1));
  EXPECT_TRUE(a.LockRange(0x7FFFFFFE, 1));  // same range: counted
  EXPECT_EQ(a.LockCount(), 2);
  EXPECT_FALSE(a.LockRange(0x40000000, 5));  // a different range while one is held
  EXPECT_EQ(a.LockCount(), 2);
  // Two open descriptions contend like two processes.
  EXPECT_FALSE(b.LockRange(0x7FFFFFFE, 1));
  EXPECT_TRUE(a.Unlock());
  EXPECT_FALSE(b.LockRange(0x7FFFFFFE, 1));  // still one level held
  EXPECT_TRUE(a.Unlock());
  EXPECT_EQ(a.LockCount(), 0);
  EXPECT_TRUE(a.Unlock());  // nothing held: still true
  EXPECT_TRUE(b.LockRange(0x7FFFFFFE, 1));

  {
    ShortLockWait shortWait;
    EXPECT_EQ(MessageOf([&] { LockRangeWithWait(a, 0x7FFFFFFE, 1); }),
              "Can not Lock file " + drive.Dos("t.dat"));
    b.Unlock();
    EXPECT_NO_THROW(LockRangeWithWait(a, 0x7FFFFFFE, 1));
    EXPECT_EQ(a.LockCount(), 1);
  }
  // Closing releases the held range for the others.
  a.Close();
  EXPECT_TRUE(b.LockRange(0x7FFFFFFE, 1));
  b.Unlock();

  // Truncate needs the whole-file lock on a shared file.
  b.WriteAt(0, "0123456789", 10);
  EXPECT_FALSE(b.HasFullAccess());
  EXPECT_EQ(MessageOf([&] { b.Truncate(4); }), "Truncate requires full access to file " + drive.Dos("t.dat"));
  EXPECT_TRUE(b.LockAll());
  EXPECT_TRUE(b.HasFullAccess());
  b.Truncate(4);
  EXPECT_EQ(b.FileSize(), 4);
  b.Unlock();
  b.Close();

  // Exclusive: locks only count, LockAll is true, Truncate is allowed.
  HXO_DiskFile x(drive.Dos("t.dat"), false, true);
  x.Open();
  EXPECT_TRUE(x.LockRange(1, 1));
  EXPECT_TRUE(x.LockRange(1, 1));
  EXPECT_EQ(x.LockCount(), 2);
  x.AddLockCount();
  EXPECT_EQ(x.LockCount(), 3);
  EXPECT_TRUE(x.LockAll());
  EXPECT_TRUE(x.HasFullAccess());
  x.Truncate(2);
  EXPECT_EQ(x.FileSize(), 2);
  x.Close();
  EXPECT_EQ(x.LockCount(), 0);

  // Read-only: no truncation even when exclusive.
  HXO_DiskFile r(drive.Dos("t.dat"), false, false);
  r.Open();
  EXPECT_EQ(MessageOf([&] { r.Truncate(0); }), "Truncate requires full access to file " + drive.Dos("t.dat"));
}

TEST(DiskFile, RenameKeepsTheObjectUsable) {
  TempDrive drive;
  WriteHostFile(drive.Host("a.dat"), "abc");
  WriteHostFile(drive.Host("taken.dat"), "xyz");
  HXO_DiskFile f(drive.Dos("a.dat"), true, true);
  f.Open();
  f.RenameTo(drive.Dos("b.dat"));
  EXPECT_EQ(f.FileName(), drive.Dos("b.dat"));
  EXPECT_FALSE(f.Closed());
  EXPECT_EQ(f.FileSize(), 3);
  EXPECT_EQ(ReadHostFile(drive.Host("b.dat")), "abc");

  // A target that exists is not overwritten; the file stays open under its name.
  EXPECT_EQ(MessageOf([&] { f.RenameTo(drive.Dos("taken.dat")); }),
            "Error on Rename of file " + drive.Dos("b.dat"));
  EXPECT_EQ(f.FileName(), drive.Dos("b.dat"));
  EXPECT_FALSE(f.Closed());
  EXPECT_EQ(ReadHostFile(drive.Host("taken.dat")), "xyz");
}

TEST(DiskFile, EngineEndClosesWhatIsStillOpen) {
  TempDrive drive;
  WriteHostFile(drive.Host("e.dat"), "abc");
  HxEngineStart();
  int started = 0, ended = 0;
  AddEngineHook([&] { ++started; }, [&] { ++ended; });
  EXPECT_EQ(started, 1);  // the engine runs already: the hook starts at once
  HXO_DiskFile f(drive.Dos("e.dat"), true, true);
  f.Open();
  ASSERT_TRUE(f.LockRange(5, 1));
  HxEngineEnd();
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(f.Closed());
  EXPECT_EQ(FileCollIfAny(), nullptr);
  // The lock went with the handle.
  HXO_DiskFile g(drive.Dos("e.dat"), true, true);
  g.Open();
  EXPECT_TRUE(g.LockRange(5, 1));
}

TEST(LockProtocols, RangesPerProtocol) {
  HxLockOffsets lk;
  HxLockRange r;
  EXPECT_EQ(lk.TableLock(), (HxLockRange{0x40000000, 0x3FFFFFFF}));
  EXPECT_EQ(lk.AppendLock(), (HxLockRange{0x7FFFFFFE, 1}));
  ASSERT_TRUE(lk.RecordLock(3, true, 100, 20, r));
  EXPECT_EQ(r, (HxLockRange{0x7FFFFFFB, 1}));
  ASSERT_TRUE(lk.RecordLock(3, false, 100, 20, r));
  EXPECT_EQ(r, (HxLockRange{100 + 2 * 20 + 0x40000000u, 1}));
  ASSERT_TRUE(lk.MemoLock(r));
  EXPECT_EQ(r, (HxLockRange{0x7FFFFFFD, 1}));
  EXPECT_EQ(HxLockOffsets::WholeFile(), (HxLockRange{0, 0x7FFFFFFF}));

  lk.SetProtocol(1);  // DB4Lock
  EXPECT_EQ(lk.TableLock(), (HxLockRange{0x40000000, 0xB0000000}));
  EXPECT_EQ(lk.AppendLock(), (HxLockRange{0xEFFFFFFF, 1}));
  ASSERT_TRUE(lk.RecordLock(3, false, 100, 20, r));
  EXPECT_EQ(r, (HxLockRange{0xEFFFFFFF - 3 - 1, 1}));
  ASSERT_TRUE(lk.MemoLock(r));
  EXPECT_EQ(r, (HxLockRange{0xEFFFFFFE, 2}));

  lk.SetProtocol(2);  // ClipLock
  EXPECT_EQ(lk.TableLock(), (HxLockRange{1000000000, 1000000000}));
  EXPECT_EQ(lk.AppendLock(), (HxLockRange{1000000000, 1}));
  ASSERT_TRUE(lk.RecordLock(3, true, 100, 20, r));
  EXPECT_EQ(r, (HxLockRange{1000000003, 1}));
  ASSERT_TRUE(lk.MemoLock(r));
  EXPECT_EQ(r, (HxLockRange{1000000000, 1}));

  lk.SetProtocol(3);  // FoxLock: as Default
  EXPECT_EQ(lk.AppendLock(), (HxLockRange{0x7FFFFFFE, 1}));

  // 4 and above keep the values and have no record or memo locks.
  lk.SetProtocol(2);
  lk.SetProtocol(9);
  EXPECT_EQ(lk.Protocol(), 9);
  EXPECT_EQ(lk.TableLock(), (HxLockRange{1000000000, 1000000000}));
  EXPECT_FALSE(lk.RecordLock(1, false, 100, 20, r));
  EXPECT_FALSE(lk.MemoLock(r));
}
