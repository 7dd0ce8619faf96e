// Volume queries per drive, with simulated removable disks.
//
// A drive mapped as removable (VELUPDATE_DRIVE_A=<folder>;removable;capacity=N,
// or MapDrive with DriveMapping::removable) reports DriveType::Removable, a
// total of `capacity` bytes and a free space of capacity minus the bytes the
// folder holds; writes that would exceed the capacity fail with DiskFull.
// Changing the disk is remapping the letter to another folder. A simulated
// disk keeps its label and serial number in memory, per host folder; the
// serial starts as a hash of the folder's path.
//
// On other drives the figures (sizes, serial, file system, write protection)
// are those of the host file system holding the deepest existing folder of
// the path asked about, since one letter may span several host file systems.
// A query never creates anything: write protection means a read-only mount,
// not a folder the user may not write to.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum class DriveType { Unknown, NoRootDir, Removable, Fixed, Remote, CdRom, RamDisk };

struct VolumeInfo {
  bool ready = false;
  uint64_t totalBytes = 0;
  uint64_t freeBytes = 0;
  std::string label;
  uint32_t serial = 0;  // file-system id on the host
  std::string fileSystem;
  DriveType type = DriveType::Unknown;
  bool writeProtected = false;  // a read-only file system
};

// `root` is any DOS path on the drive ("A:\", "C:\Velmora\x.zip").
bool GetVolumeInfo(const std::string& root, VolumeInfo& info);
DriveType GetDriveType(const std::string& root);
bool GetDiskFreeSpace(const std::string& root, uint64_t& freeBytes, uint64_t& totalBytes);
// Sets the label of a simulated removable disk; false on other drives.
bool SetVolumeLabel(const std::string& root, const std::string& label);
// Sets the serial number of a simulated removable disk (tests: a "new" disk).
bool SetVolumeSerial(const std::string& root, uint32_t serial);

}  // namespace platform
