#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/volume.h"
#include "processes_posix.h"
#include "support/temp_drive.h"

using namespace platform;
namespace fs = std::filesystem;

TEST(Volume, SimulatedRemovableDiskFillsUp) {
  TempDrive disk1('A');
  MapDrive('A', DriveMapping{disk1.Root(), true, 10000});
  VolumeInfo info;
  ASSERT_TRUE(GetVolumeInfo("A:\\", info));
  EXPECT_TRUE(info.ready);
  EXPECT_EQ(info.type, DriveType::Removable);
  EXPECT_EQ(info.totalBytes, 10000u);
  EXPECT_EQ(info.freeBytes, 10000u);
  EXPECT_FALSE(info.writeProtected);
  EXPECT_EQ(GetDriveType("a:\\backup.zip"), DriveType::Removable);

  std::vector<char> data(7000, 'z');
  fs::create_directories(disk1.Host("sub"));
  auto f = File::Open("A:\\sub\\part.z01", Access::ReadWrite, Share::Exclusive, Disposition::CreateNew);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->WriteAt(0, data.data(), 4000), 4000);
  uint64_t freeBytes = 0, total = 0;
  ASSERT_TRUE(GetDiskFreeSpace("A:", freeBytes, total));
  EXPECT_EQ(freeBytes, 6000u);  // files in sub-folders count too
  EXPECT_EQ(f->WriteAt(4000, data.data(), 7000), -1);
  EXPECT_EQ(LastError(), ErrorCode::DiskFull);
  EXPECT_EQ(f->Size(), 4000);                         // a write that does not fit writes nothing
  EXPECT_EQ(f->WriteAt(0, data.data(), 7000), 7000);  // overwriting only grows by 3000
  EXPECT_FALSE(f->Truncate(10001));
  EXPECT_EQ(f->WriteAt(7000, data.data(), 3000), 3000);
  ASSERT_TRUE(GetDiskFreeSpace("A:\\", freeBytes, total));
  EXPECT_EQ(freeBytes, 0u);
  EXPECT_EQ(f->WriteAt(10000, data.data(), 1), -1);
  f.reset();
  EXPECT_FALSE(CopyFile("A:\\sub\\part.z01", "A:\\copy.z01", true));
  EXPECT_EQ(LastError(), ErrorCode::DiskFull);
  EXPECT_FALSE(fs::exists(disk1.Host("copy.z01")));

  // Label and serial belong to the disk (the folder), not to the letter.
  uint32_t serial1 = info.serial;
  ASSERT_TRUE(SetVolumeLabel("A:\\", "BACKUP 1"));
  ASSERT_TRUE(GetVolumeInfo("A:\\", info));
  EXPECT_EQ(info.label, "BACKUP 1");
  EXPECT_EQ(info.serial, serial1);
  TempDrive disk2('B');
  MapDrive('A', DriveMapping{disk2.Root(), true, 5000});  // a new disk in the drive
  ASSERT_TRUE(GetVolumeInfo("A:\\", info));
  EXPECT_EQ(info.label, "");
  EXPECT_NE(info.serial, serial1);
  EXPECT_EQ(info.freeBytes, 5000u);
  ASSERT_TRUE(SetVolumeSerial("A:\\", 0x1234ABCD));
  ASSERT_TRUE(GetVolumeInfo("A:\\", info));
  EXPECT_EQ(info.serial, 0x1234ABCDu);
  MapDrive('A', DriveMapping{disk1.Root(), true, 10000});
  ASSERT_TRUE(GetVolumeInfo("A:\\", info));
  EXPECT_EQ(info.label, "BACKUP 1");
  EXPECT_EQ(info.serial, serial1);

  // No disk in the drive: the folder is missing.
  MapDrive('A', DriveMapping{disk1.Host("absent"), true, 10000});
  EXPECT_FALSE(GetVolumeInfo("A:\\", info));
  EXPECT_FALSE(info.ready);
  EXPECT_EQ(info.type, DriveType::Removable);
  EXPECT_EQ(LastError(), ErrorCode::NotReady);
  UnmapDrive('A');
}

TEST(Volume, HostDrives) {
  TempDrive drive('T');
  VolumeInfo info;
  ASSERT_TRUE(GetVolumeInfo("T:\\some\\file.dbf", info));
  EXPECT_TRUE(info.ready);
  EXPECT_EQ(info.type, DriveType::Fixed);
  EXPECT_GT(info.totalBytes, 0u);
  EXPECT_LE(info.freeBytes, info.totalBytes);
  EXPECT_FALSE(info.fileSystem.empty());
  EXPECT_FALSE(info.writeProtected);
  VolumeInfo root;
  ASSERT_TRUE(GetVolumeInfo("Z:\\", root));
  EXPECT_EQ(root.type, DriveType::Fixed);
  EXPECT_FALSE(SetVolumeLabel("T:\\", "NOPE"));
  EXPECT_FALSE(SetVolumeSerial("T:\\", 1));

  EXPECT_FALSE(GetVolumeInfo("K:\\", info));
  EXPECT_EQ(LastError(), ErrorCode::NotReady);
  EXPECT_EQ(GetDriveType("K:\\"), DriveType::NoRootDir);
  MapDrive('K', DriveMapping{drive.Host("missing"), false, 0});
  EXPECT_EQ(GetDriveType("K:\\"), DriveType::NoRootDir);
  uint64_t freeBytes, total;
  EXPECT_FALSE(GetDiskFreeSpace("K:\\", freeBytes, total));
  UnmapDrive('K');
}

namespace {

// Names created or removed in `hostFolder` while `action` runs.
std::vector<std::string> ChangesDuring(const std::string& hostFolder, const std::function<void()>& action) {
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return {"<no inotify>"};
  ::inotify_add_watch(fd, hostFolder.c_str(), IN_CREATE | IN_DELETE | IN_MOVED_TO);
  action();
  std::vector<std::string> names;
  alignas(inotify_event) char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) {
    for (char* p = buf; p < buf + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      names.push_back(e->len ? e->name : "?");
      p += sizeof(inotify_event) + e->len;
    }
  }
  ::close(fd);
  return names;
}

}  // namespace

TEST(Volume, QueriesCreateNothing) {
  TempDrive drive('T');
  fs::create_directories(drive.Host("Velmora"));
  VolumeInfo info;
  EXPECT_EQ(ChangesDuring(drive.Root(),
                          [&] {
                            EXPECT_TRUE(GetVolumeInfo("T:\\", info));
                            EXPECT_TRUE(GetVolumeInfo("T:\\Velmora\\backup.zip", info));
                          }),
            std::vector<std::string>{});
  EXPECT_EQ(ChangesDuring(drive.Host("Velmora"), [&] { EXPECT_TRUE(GetVolumeInfo("T:\\Velmora\\", info)); }),
            std::vector<std::string>{});
  EXPECT_FALSE(info.writeProtected);
}

TEST(Volume, AFolderTheUserMayNotWriteIsNoWriteProtection) {
  // As an ordinary user, "/" behind Z: is not writable; that makes neither Z:
  // nor a writable folder below it write-protected.
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    VolumeInfo info;
    if (!GetVolumeInfo("Z:\\", info)) ::_exit(4);
    if (info.writeProtected) ::_exit(5);
    if (!GetVolumeInfo("Z:\\tmp\\", info) || info.writeProtected) ::_exit(6);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Volume, AReadOnlyFileSystemIsWriteProtected) {
  RunWithTmpfs("ro,size=1m", [](const std::string& mount) {
    MapDrive('V', DriveMapping{mount, false, 0});
    VolumeInfo info;
    ASSERT_TRUE(GetVolumeInfo("V:\\", info));
    EXPECT_TRUE(info.writeProtected);
    EXPECT_EQ(info.fileSystem, "tmpfs");
    EXPECT_EQ(info.totalBytes, 1024u * 1024u);
    // A drive spanning file systems answers for the folder asked about.
    MapDrive('W', DriveMapping{"/tmp", false, 0});
    ASSERT_TRUE(GetVolumeInfo("W:\\" + mount.substr(5) + "\\x.zip", info));
    EXPECT_TRUE(info.writeProtected);
    ASSERT_TRUE(GetVolumeInfo("W:\\", info));
    EXPECT_FALSE(info.writeProtected);
    UnmapDrive('W');
    UnmapDrive('V');
  });
}
