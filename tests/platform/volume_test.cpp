#include "platform/volume.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
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
  EXPECT_TRUE(fs::is_empty(drive.Root()));  // the write probe leaves nothing behind

  EXPECT_FALSE(GetVolumeInfo("K:\\", info));
  EXPECT_EQ(LastError(), ErrorCode::NotReady);
  EXPECT_EQ(GetDriveType("K:\\"), DriveType::NoRootDir);
  MapDrive('K', DriveMapping{drive.Host("missing"), false, 0});
  EXPECT_EQ(GetDriveType("K:\\"), DriveType::NoRootDir);
  uint64_t freeBytes, total;
  EXPECT_FALSE(GetDiskFreeSpace("K:\\", freeBytes, total));
  UnmapDrive('K');
}
