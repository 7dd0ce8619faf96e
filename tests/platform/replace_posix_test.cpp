// Replacing, moving and copying files without ever losing one: on one host
// file system, and onto a small file system that fills up while the source
// lies on another.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "processes_posix.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> HostNames(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(Replace, OntoAFullFileSystemKeepsTheOldFile) {
  // The archive lies on a 2 MB file system, the new archive is made elsewhere
  // (the temporary folder): every way of putting it in place either succeeds
  // whole or leaves the old archive and the source as they were.
  RunWithTmpfs("size=2m", [](const std::string& small) {
    TempDrive temp('T');  // /tmp: another file system than the tmpfs
    MapDrive('V', DriveMapping{small, false, 0});
    const std::string oldArchive(1200 * 1024, 'A'), bigNew(1500 * 1024, 'B'), smallNew(500 * 1024, 'C');
    ASSERT_TRUE(WriteHostFile(small + "/archive.zip", oldArchive));
    ASSERT_TRUE(WriteHostFile(temp.Host("zar1.tmp"), bigNew));

    EXPECT_FALSE(MoveFileReplace("T:\\zar1.tmp", "V:\\archive.zip"));
    EXPECT_EQ(LastError(), ErrorCode::DiskFull);
    EXPECT_TRUE(ReadHostFile(small + "/archive.zip") == oldArchive);
    EXPECT_TRUE(ReadHostFile(temp.Host("zar1.tmp")) == bigNew);
    EXPECT_EQ(HostNames(small), std::vector<std::string>{"archive.zip"});  // no partial copy left

    EXPECT_FALSE(CopyFile("T:\\zar1.tmp", "V:\\archive.zip", false));
    EXPECT_EQ(LastError(), ErrorCode::DiskFull);
    EXPECT_TRUE(ReadHostFile(small + "/archive.zip") == oldArchive);
    EXPECT_FALSE(MoveFile("T:\\zar1.tmp", "V:\\other.zip"));
    EXPECT_EQ(LastError(), ErrorCode::DiskFull);
    EXPECT_EQ(HostNames(small), std::vector<std::string>{"archive.zip"});
    EXPECT_TRUE(ReadHostFile(temp.Host("zar1.tmp")) == bigNew);

    // A replacement that fits takes the old one's place; the source is gone.
    ASSERT_TRUE(WriteHostFile(temp.Host("zar2.tmp"), smallNew));
    EXPECT_TRUE(MoveFileReplace("T:\\zar2.tmp", "V:\\archive.zip"));
    EXPECT_TRUE(ReadHostFile(small + "/archive.zip") == smallNew);
    EXPECT_FALSE(fs::exists(temp.Host("zar2.tmp")));
    EXPECT_EQ(HostNames(small), std::vector<std::string>{"archive.zip"});

    // Copies onto an existing name: kept when asked, replaced whole otherwise.
    ASSERT_TRUE(WriteHostFile(temp.Host("zar3.tmp"), "short"));
    EXPECT_FALSE(CopyFile("T:\\zar3.tmp", "V:\\ARCHIVE.ZIP", true));
    EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
    EXPECT_TRUE(ReadHostFile(small + "/archive.zip") == smallNew);
    EXPECT_TRUE(CopyFile("T:\\zar3.tmp", "V:\\ARCHIVE.ZIP", false));
    EXPECT_EQ(ReadHostFile(small + "/archive.zip"), "short");
    EXPECT_EQ(ReadHostFile(temp.Host("zar3.tmp")), "short");

    // A target held open elsewhere is refused before anything is copied.
    auto holder = File::Open("V:\\archive.zip", Access::Read, Share::Shared);
    ASSERT_TRUE(holder);
    EXPECT_FALSE(MoveFileReplace("T:\\zar1.tmp", "V:\\archive.zip"));
    EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
    holder.reset();
    EXPECT_EQ(HostNames(small), std::vector<std::string>{"archive.zip"});
    UnmapDrive('V');
  });
}

TEST(Replace, OnOneFileSystemIsOneRename) {
  TempDrive drive;
  ASSERT_TRUE(WriteHostFile(drive.Host("old.dbf"), "old"));
  ASSERT_TRUE(WriteHostFile(drive.Host("new.dbf"), "new"));
  struct stat before;
  ASSERT_EQ(::stat(drive.Host("new.dbf").c_str(), &before), 0);
  ASSERT_TRUE(MoveFileReplace(drive.Dos("NEW.DBF"), drive.Dos("OLD.DBF")));
  struct stat after;
  ASSERT_EQ(::stat(drive.Host("old.dbf").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);  // renamed, not copied
  EXPECT_EQ(ReadHostFile(drive.Host("old.dbf")), "new");
  EXPECT_EQ(HostNames(drive.Root()), std::vector<std::string>{"old.dbf"});

  // A move onto an existing name is refused and changes nothing.
  ASSERT_TRUE(WriteHostFile(drive.Host("other.dbf"), "other"));
  EXPECT_FALSE(MoveFile(drive.Dos("other.dbf"), drive.Dos("old.dbf")));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  EXPECT_EQ(ReadHostFile(drive.Host("old.dbf")), "new");
  EXPECT_EQ(ReadHostFile(drive.Host("other.dbf")), "other");
  // A file held open by another File keeps its name (source or target).
  auto held = File::Open(drive.Dos("other.dbf"), Access::Read, Share::Shared);
  ASSERT_TRUE(held);
  EXPECT_FALSE(MoveFileReplace(drive.Dos("other.dbf"), drive.Dos("old.dbf")));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_FALSE(MoveFileReplace(drive.Dos("old.dbf"), drive.Dos("other.dbf")));
  EXPECT_EQ(LastError(), ErrorCode::SharingViolation);
  EXPECT_EQ(ReadHostFile(drive.Host("old.dbf")), "new");
  EXPECT_EQ(ReadHostFile(drive.Host("other.dbf")), "other");
}

TEST(Replace, AcrossFileSystemsMovesAndReplacesWhole) {
  if (!fs::is_directory("/dev/shm")) GTEST_SKIP() << "needs /dev/shm as a second file system";
  TempDrive drive;
  std::string tmpl = "/dev/shm/veltest-XXXXXX";
  ASSERT_TRUE(::mkdtemp(tmpl.data()));
  struct stat a, b;
  ASSERT_EQ(::stat(tmpl.c_str(), &a), 0);
  ASSERT_EQ(::stat(drive.Root().c_str(), &b), 0);
  if (a.st_dev == b.st_dev) {
    fs::remove_all(tmpl);
    GTEST_SKIP() << "/dev/shm and the temporary folder are one file system here";
  }
  MapDrive('S', DriveMapping{tmpl, false, 0});
  ASSERT_TRUE(WriteHostFile(drive.Host("new.zip"), "new archive"));
  ASSERT_TRUE(WriteHostFile(tmpl + "/backup.zip", "old archive"));
  ASSERT_TRUE(fs::exists(tmpl + "/backup.zip"));
  ::chmod(drive.Host("new.zip").c_str(), 0640);
  ASSERT_TRUE(SetFileModifiedTime(drive.Dos("new.zip"), 1234567890));
  EXPECT_TRUE(MoveFileReplace(drive.Dos("new.zip"), "S:\\backup.zip"));
  EXPECT_EQ(ReadHostFile(tmpl + "/backup.zip"), "new archive");
  EXPECT_FALSE(fs::exists(drive.Host("new.zip")));
  FileInfo info;
  ASSERT_TRUE(GetFileInfo("S:\\backup.zip", info));
  EXPECT_EQ(info.modified, 1234567890);  // the copy keeps the last write time and mode
  struct stat st;
  ASSERT_EQ(::stat((tmpl + "/backup.zip").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(HostNames(tmpl), std::vector<std::string>{"backup.zip"});
  // Without replace, an existing target stays and so does the source.
  ASSERT_TRUE(WriteHostFile(drive.Host("again.zip"), "again"));
  EXPECT_FALSE(MoveFile(drive.Dos("again.zip"), "S:\\BACKUP.ZIP"));
  EXPECT_EQ(LastError(), ErrorCode::AlreadyExists);
  EXPECT_EQ(ReadHostFile(drive.Host("again.zip")), "again");
  EXPECT_TRUE(MoveFile(drive.Dos("again.zip"), "S:\\again.zip"));
  EXPECT_EQ(ReadHostFile(tmpl + "/again.zip"), "again");
  UnmapDrive('S');
  fs::remove_all(tmpl);
}
