#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

// Runs `body` in a child process that reports one byte when it holds what it
// should hold, then waits for the parent's go-ahead before it exits.
class Child {
 public:
  explicit Child(const std::function<bool()>& body) {
    if (::pipe(up_) != 0 || ::pipe(down_) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      char ok = body() ? 'y' : 'n';
      (void)!::write(up_[1], &ok, 1);
      char go;
      (void)!::read(down_[0], &go, 1);
      ::_exit(0);
    }
  }
  bool Ready() {
    char ok = 0;
    return ::read(up_[0], &ok, 1) == 1 && ok == 'y';
  }
  void Finish() {
    if (pid_ <= 0) return;
    char go = 'g';
    (void)!::write(down_[1], &go, 1);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  ~Child() {
    Finish();
    for (int fd : {up_[0], up_[1], down_[0], down_[1]}) ::close(fd);
  }

 private:
  int up_[2], down_[2];
  pid_t pid_ = -1;
};

}  // namespace

TEST(File, PositionedReadWriteAndOpenFailures) {
  TempDrive drive;
  std::string name = drive.Dos("data.bin");
  auto f = File::Open(name, Access::ReadWrite, Share::Shared, Disposition::CreateNew);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->DosPath(), name);
  EXPECT_EQ(f->WriteAt(10, "0123456789", 10), 10);
  EXPECT_EQ(f->WriteAt(0, "ab", 2), 2);
  EXPECT_EQ(f->Size(), 20);
  char buf[16] = {};
  EXPECT_EQ(f->ReadAt(15, buf, 16), 5);  // short count at the end, not hidden
  EXPECT_EQ(std::string(buf, 5), "56789");
  EXPECT_EQ(f->ReadAt(20, buf, 4), 0);
  EXPECT_EQ(f->ReadAt(1, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("b\0\0", 3));
  EXPECT_TRUE(f->Truncate(12));
  EXPECT_EQ(f->Size(), 12);
  EXPECT_TRUE(f->Truncate(30));
  EXPECT_EQ(f->Size(), 30);
  EXPECT_TRUE(f->Flush());
  ASSERT_TRUE(f->SetModifiedTime(1000000000));
  int64_t mtime = 0;
  EXPECT_TRUE(f->GetModifiedTime(mtime));
  EXPECT_EQ(mtime, 1000000000);
  f.reset();

  auto reader = File::Open(name, Access::Read, Share::Shared);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->WriteAt(0, "x", 1), -1);
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  EXPECT_FALSE(reader->Truncate(0));
  auto writer = File::Open(name, Access::Write, Share::Shared);
  ASSERT_TRUE(writer);
  EXPECT_EQ(writer->ReadAt(0, buf, 1), -1);
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  reader.reset();
  writer.reset();

  EXPECT_FALSE(File::Open(drive.Dos("none.dbf"), Access::Read, Share::Shared));
  EXPECT_EQ(LastError(), ErrorCode::FileNotFound);
  EXPECT_FALSE(File::Open(drive.Dos("nodir\\none.dbf"), Access::Read, Share::Shared));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  EXPECT_FALSE(
      File::Open(drive.Dos("nodir\\new.dbf"), Access::ReadWrite, Share::Shared, Disposition::CreateNew));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Shared, Disposition::CreateNew));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  fs::create_directories(drive.Host("folder"));
  EXPECT_FALSE(File::Open(drive.Dos("folder"), Access::Read, Share::Shared));
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  EXPECT_FALSE(File::Open("K:\\x", Access::Read, Share::Shared));
  EXPECT_EQ(LastError(), ErrorCode::NotReady);

  auto again = File::Open(name, Access::ReadWrite, Share::Exclusive, Disposition::OpenAlways);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Size(), 30);
  EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  again.reset();
  again = File::Open(name, Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Size(), 0);
}

TEST(File, ShareModesExcludeEachOtherWithinOneProcess) {
  TempDrive drive;
  std::string name = drive.Dos("t.dbf");
  WriteHostFile(drive.Host("t.dbf"), "precious");
  {
    auto exclusive = File::Open(name, Access::ReadWrite, Share::Exclusive);
    ASSERT_TRUE(exclusive);
    EXPECT_FALSE(File::Open(name, Access::Read, Share::Shared));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
    EXPECT_FALSE(File::Open(name, Access::Read, Share::Exclusive));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
    // A refused CreateAlways must not empty the file the other opener holds.
    EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways));
    EXPECT_EQ(ReadHostFile(drive.Host("t.dbf")), "precious");
    // An open file is neither deleted nor replaced nor moved away.
    EXPECT_FALSE(DeleteFile(name));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
    WriteHostFile(drive.Host("other.dbf"), "o");
    EXPECT_FALSE(MoveFileReplace(drive.Dos("other.dbf"), name));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
    EXPECT_FALSE(MoveFile(name, drive.Dos("moved.dbf")));
    EXPECT_EQ(ReadHostFile(drive.Host("t.dbf")), "precious");
  }
  auto first = File::Open(name, Access::ReadWrite, Share::Shared);
  auto second = File::Open(name, Access::Read, Share::Shared);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Exclusive));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  first.reset();
  second.reset();
  EXPECT_TRUE(File::Open(name, Access::Read, Share::Exclusive));
  EXPECT_TRUE(DeleteFile(name));
  EXPECT_FALSE(FileExists(name));
}

TEST(File, ShareModesExcludeAnotherProcess) {
  TempDrive drive;
  std::string name = drive.Dos("shared.dbf");
  WriteHostFile(drive.Host("shared.dbf"), "x");
  {
    Child child([&] {
      static std::unique_ptr<File> held;
      held = File::Open(name, Access::ReadWrite, Share::Exclusive);
      return held != nullptr;
    });
    ASSERT_TRUE(child.Ready());
    EXPECT_FALSE(File::Open(name, Access::Read, Share::Shared));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  }
  EXPECT_TRUE(File::Open(name, Access::Read, Share::Shared));  // the child has gone
  {
    Child child([&] {
      static std::unique_ptr<File> held;
      held = File::Open(name, Access::Read, Share::Shared);
      return held != nullptr;
    });
    ASSERT_TRUE(child.Ready());
    EXPECT_TRUE(File::Open(name, Access::Read, Share::Shared));
    EXPECT_FALSE(File::Open(name, Access::ReadWrite, Share::Exclusive));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  }
}

TEST(File, ByteRangeLocksBelongToTheOpenFile) {
  TempDrive drive;
  std::string name = drive.Dos("locks.dbf");
  WriteHostFile(drive.Host("locks.dbf"), std::string(100, 'r'));
  auto a = File::Open(name, Access::ReadWrite, Share::Shared);
  auto b = File::Open(name, Access::ReadWrite, Share::Shared);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(a->LockRange(0x40000000, 0x3FFFFFFF));  // a table lock, far beyond the data
  EXPECT_FALSE(b->LockRange(0x40000000 + 500, 1));
  EXPECT_EQ(LastError(), ErrorCode::LockViolation);
  EXPECT_FALSE(b->LockRange(0x7FFFFFFE, 1));  // the table lock covers the append byte
  EXPECT_TRUE(b->LockRange(0x7FFFFFFF, 1));
  EXPECT_FALSE(a->LockRange(0x40000010, 4));          // overlaps what a already holds
  EXPECT_FALSE(a->UnlockRange(0x40000000, 10));       // not the range that was locked
  EXPECT_TRUE(a->LockRange(0xEFFFFFFF, 0xB0000000));  // offsets beyond 4 GB work
  {
    // Closing another File of the same file keeps a's locks (unlike classic record locks).
    auto c = File::Open(name, Access::Read, Share::Shared);
    ASSERT_TRUE(c);
  }
  EXPECT_FALSE(b->LockRange(0x40000000, 1));
  EXPECT_TRUE(a->UnlockRange(0x40000000, 0x3FFFFFFF));
  EXPECT_FALSE(a->UnlockRange(0x40000000, 0x3FFFFFFF));
  EXPECT_TRUE(b->LockRange(0x40000000, 1));
  EXPECT_FALSE(a->LockRange(0x1'00000000, 1));  // inside a's own second range
  EXPECT_TRUE(a->LockRange(0, 0));

  // Readers hold read locks: they share a range, a writer is kept out of it.
  auto r1 = File::Open(name, Access::Read, Share::Shared);
  auto r2 = File::Open(name, Access::Read, Share::Shared);
  ASSERT_TRUE(r1 && r2);
  EXPECT_TRUE(r1->LockRange(10, 5));
  EXPECT_TRUE(r2->LockRange(10, 5));
  EXPECT_FALSE(b->LockRange(12, 1));
  r1.reset();
  r2.reset();
  EXPECT_TRUE(b->LockRange(12, 1));
}

TEST(File, ByteRangeLocksAcrossProcesses) {
  TempDrive drive;
  std::string name = drive.Dos("locks.dbf");
  WriteHostFile(drive.Host("locks.dbf"), "x");
  auto mine = File::Open(name, Access::ReadWrite, Share::Shared);
  ASSERT_TRUE(mine);
  ASSERT_TRUE(mine->LockRange(0x7FFFFFFD, 1));
  {
    Child child([&] {
      static std::unique_ptr<File> held;
      held = File::Open(name, Access::ReadWrite, Share::Shared);
      return held && held->LockRange(0x7FFFFFFE - 7, 1) && !held->LockRange(0x7FFFFFFD, 1);
    });
    ASSERT_TRUE(child.Ready());
    EXPECT_FALSE(mine->LockRange(0x7FFFFFFE - 7, 1));
    EXPECT_EQ(LastError(), ErrorCode::LockViolation);
  }
  EXPECT_TRUE(mine->LockRange(0x7FFFFFFE - 7, 1));  // released when the child ended
}

TEST(File, AttributesAndInformation) {
  TempDrive drive;
  WriteHostFile(drive.Host("Plain.TXT"), "12345");
  WriteHostFile(drive.Host(".hidden"), "");
  fs::create_directories(drive.Host("Folder"));
  EXPECT_EQ(GetFileAttributes(drive.Dos("plain.txt")), kAttrArchive);
  EXPECT_EQ(GetFileAttributes(drive.Dos(".HIDDEN")), kAttrArchive | kAttrHidden);
  EXPECT_EQ(GetFileAttributes(drive.Dos("folder")), kAttrDirectory);
  EXPECT_EQ(GetFileAttributes(drive.Dos("missing")), kInvalidAttributes);
  EXPECT_EQ(LastError(), ErrorCode::FileNotFound);
  EXPECT_TRUE(FileExists(drive.Dos("PLAIN.txt")));
  EXPECT_FALSE(FileExists(drive.Dos("folder")));
  EXPECT_TRUE(DirectoryExists(drive.Dos("FOLDER")));

  FileInfo info;
  ASSERT_TRUE(GetFileInfo(drive.Dos("plain.txt"), info));
  EXPECT_EQ(info.name, "Plain.TXT");
  EXPECT_EQ(info.size, 5u);
  ASSERT_TRUE(SetFileModifiedTime(drive.Dos("plain.txt"), 946684800));
  ASSERT_TRUE(GetFileInfo(drive.Dos("plain.txt"), info));
  EXPECT_EQ(info.modified, 946684800);

  // Read-only: writers and deletion are refused, whoever runs the tests.
  ASSERT_TRUE(SetFileAttributes(drive.Dos("plain.txt"), kAttrReadOnly | kAttrArchive));
  EXPECT_EQ(GetFileAttributes(drive.Dos("plain.txt")), kAttrReadOnly | kAttrArchive);
  EXPECT_FALSE(File::Open(drive.Dos("plain.txt"), Access::ReadWrite, Share::Shared));
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  EXPECT_TRUE(File::Open(drive.Dos("plain.txt"), Access::Read, Share::Exclusive));
  EXPECT_FALSE(DeleteFile(drive.Dos("plain.txt")));
  EXPECT_EQ(LastError(), ErrorCode::AccessDenied);
  ASSERT_TRUE(SetFileAttributes(drive.Dos("plain.txt"), kAttrArchive));
  EXPECT_EQ(GetFileAttributes(drive.Dos("plain.txt")), kAttrArchive);
  EXPECT_FALSE(DeleteFile(drive.Dos("folder")));
  EXPECT_TRUE(DeleteFile(drive.Dos("plain.txt")));
  EXPECT_FALSE(DeleteFile(drive.Dos("plain.txt")));
  EXPECT_EQ(LastError(), ErrorCode::FileNotFound);
}

TEST(File, MoveCopyAndFolders) {
  TempDrive drive;
  WriteHostFile(drive.Host("a.txt"), "AAA");
  WriteHostFile(drive.Host("b.txt"), "BBB");
  EXPECT_FALSE(MoveFile(drive.Dos("a.txt"), drive.Dos("B.TXT")));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  EXPECT_EQ(ReadHostFile(drive.Host("a.txt")), "AAA");
  EXPECT_EQ(ReadHostFile(drive.Host("b.txt")), "BBB");
  EXPECT_TRUE(MoveFile(drive.Dos("a.txt"), drive.Dos("A.TXT")));  // a change of case only
  EXPECT_EQ(ReadHostFile(drive.Host("A.TXT")), "AAA");
  EXPECT_FALSE(fs::exists(drive.Host("a.txt")));
  EXPECT_FALSE(MoveFile(drive.Dos("a.txt"), drive.Dos("no\\where.txt")));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  EXPECT_FALSE(MoveFile(drive.Dos("gone.txt"), drive.Dos("x.txt")));
  EXPECT_EQ(LastError(), ErrorCode::FileNotFound);
  EXPECT_TRUE(MoveFileReplace(drive.Dos("a.txt"), drive.Dos("b.txt")));
  EXPECT_EQ(ReadHostFile(drive.Host("b.txt")), "AAA");

  ASSERT_TRUE(CreateDirectory(drive.Dos("Dir")));
  EXPECT_FALSE(CreateDirectory(drive.Dos("DIR")));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  EXPECT_FALSE(CreateDirectory(drive.Dos("x\\y")));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  EXPECT_TRUE(MoveFile(drive.Dos("b.txt"), drive.Dos("dir\\b.txt")));
  ASSERT_TRUE(SetFileModifiedTime(drive.Dos("dir\\b.txt"), 1234567890));
  EXPECT_TRUE(CopyFile(drive.Dos("dir\\b.txt"), drive.Dos("c.txt"), true));
  FileInfo info;
  ASSERT_TRUE(GetFileInfo(drive.Dos("c.txt"), info));
  EXPECT_EQ(info.modified, 1234567890);  // a copy keeps the last write time
  EXPECT_FALSE(CopyFile(drive.Dos("dir\\b.txt"), drive.Dos("C.TXT"), true));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  WriteHostFile(drive.Host("c.txt"), "changed");
  EXPECT_TRUE(CopyFile(drive.Dos("dir\\b.txt"), drive.Dos("C.TXT"), false));
  EXPECT_EQ(ReadHostFile(drive.Host("c.txt")), "AAA");
  EXPECT_FALSE(CopyFile(drive.Dos("c.txt"), drive.Dos("C.txt"), false));  // onto itself
  EXPECT_EQ(ReadHostFile(drive.Host("c.txt")), "AAA");

  EXPECT_FALSE(RemoveDirectory(drive.Dos("dir")));
  EXPECT_EQ(LastError(), ErrorCode::NotEmpty);
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory(drive.Dos("DIR"), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "b.txt");
  EXPECT_EQ(list[0].attributes, kAttrArchive);
  EXPECT_TRUE(DeleteFile(drive.Dos("dir\\B.txt")));
  EXPECT_TRUE(RemoveDirectory(drive.Dos("dir")));
  EXPECT_FALSE(ListDirectory(drive.Dos("dir"), list));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  EXPECT_TRUE(list.empty());

  // Another host file system: the move copies and then removes the original.
  if (fs::is_directory("/dev/shm")) {
    std::string tmpl = "/dev/shm/veltest-XXXXXX";
    ASSERT_TRUE(::mkdtemp(tmpl.data()));
    struct stat s1, s2;
    if (::stat(tmpl.c_str(), &s1) == 0 && ::stat(drive.Root().c_str(), &s2) == 0 && s1.st_dev != s2.st_dev) {
      MapDrive('S', DriveMapping{tmpl, false, 0});
      EXPECT_TRUE(MoveFile(drive.Dos("c.txt"), "S:\\c.txt"));
      EXPECT_EQ(ReadHostFile(tmpl + "/c.txt"), "AAA");
      EXPECT_FALSE(fs::exists(drive.Host("c.txt")));
      UnmapDrive('S');
    }
    fs::remove_all(tmpl);
  }
}

TEST(File, MoveToTrashKeepsFreedesktopLayout) {
  TempDrive drive;
  ScopedEnv data("XDG_DATA_HOME", drive.Host("xdg"));
  fs::create_directories(drive.Host("work"));
  WriteHostFile(drive.Host("work/old file.zip"), "one");
  ASSERT_TRUE(MoveToTrash(drive.Dos("work\\OLD FILE.zip")));
  WriteHostFile(drive.Host("work/old file.zip"), "two");
  ASSERT_TRUE(MoveToTrash(drive.Dos("work\\old file.zip")));
  EXPECT_FALSE(fs::exists(drive.Host("work/old file.zip")));
  std::string trash = drive.Host("xdg/Trash");
  EXPECT_EQ(ReadHostFile(trash + "/files/old file.zip"), "one");
  EXPECT_EQ(ReadHostFile(trash + "/files/old file.2.zip"), "two");
  std::string info = ReadHostFile(trash + "/info/old file.zip.trashinfo");
  EXPECT_EQ(info.rfind("[Trash Info]\nPath=", 0), 0u) << info;
  EXPECT_NE(info.find("/work/old%20file.zip\n"), std::string::npos) << info;
  EXPECT_NE(info.find("\nDeletionDate=20"), std::string::npos) << info;
  EXPECT_TRUE(fs::exists(trash + "/info/old file.2.zip.trashinfo"));
  EXPECT_FALSE(MoveToTrash(drive.Dos("work\\missing")));
}

TEST(File, FolderIdentityTellsFoldersApartThroughLinks) {
  TempDrive drive;
  fs::create_directories(drive.Host("data/sub"));
  fs::create_directories(drive.Host("other"));
  fs::create_directory_symlink(drive.Host("data"), drive.Host("other/loop"));
  WriteHostFile(drive.Host("file.txt"), "x");
  FileIdentity data, viaLink, sub, other;
  ASSERT_TRUE(GetFolderIdentity(drive.Dos("DATA"), data));
  ASSERT_TRUE(GetFolderIdentity(drive.Dos("other\\loop"), viaLink));
  ASSERT_TRUE(GetFolderIdentity(drive.Dos("data\\sub\\.."), sub));
  ASSERT_TRUE(GetFolderIdentity(drive.Dos("other"), other));
  EXPECT_EQ(viaLink, data);  // a link back into a scanned folder is recognised
  EXPECT_EQ(sub, data);
  EXPECT_FALSE(other == data);
  FileIdentity none;
  EXPECT_FALSE(GetFolderIdentity(drive.Dos("missing"), none));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
  EXPECT_FALSE(GetFolderIdentity(drive.Dos("file.txt"), none));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
}
