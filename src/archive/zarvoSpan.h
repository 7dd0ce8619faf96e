// Volume checks of the archive's drive and the disk-spanning writer that puts
// a finished archive onto a series of removable disks.
//
// Spanned disk layout: disk 1 may start with the 4-byte spanning marker
// 0x08074B50 (written when the archive does not fit on it); entries follow,
// each local header on the disk where it starts (the central record's
// disk-number-start names that disk); the central directory starts on the disk
// after the last entry's bytes, and the 22-byte end record closes the last
// disk. Disks are labelled "PKBACK# 001", "PKBACK# 002", ...
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/volume.h"

class TZipCommon;
class TZipEntries;

enum TOverwriteMode { omOverwrite, omSkip };

// What one look at a volume yields.
class TDiskCommon {
 public:
  virtual ~TDiskCommon() = default;

  std::string DriveRoot;  // "A:\" or "\\server\share\"
  platform::DriveType DriveType = platform::DriveType::Unknown;
  std::string VolumeLabel;
  uint32_t SerialNumber = 0;
  std::string FileSystem;
  uint64_t FreeSpace = 0;
  uint64_t TotalSpace = 0;

  // The root of the drive that holds `path`: its drive letter or network
  // share, or the current folder's drive when the name has neither.
  static std::string RootOf(const std::string& path);
};

// The volume check the compress run makes before it touches anything, and
// that disk spanning repeats after every disk change.
class TDiskManager : public TDiskCommon {
 public:
  explicit TDiskManager(TZipCommon& owner) : owner_(owner) {}
  // Readiness (OnDiskInDrvErr), write protection (OnDiskWriteProtectErr) and
  // volume information; false, with the error reported, when the check fails.
  bool CheckVolume(const std::string& path);
  bool IsRemovable() const { return DriveType == platform::DriveType::Removable; }

 private:
  bool DriveReady();
  bool WriteProtected();
  TZipCommon& owner_;
  std::string probeFolder_;
};

// Copies the entries of a finished temporary output onto removable disks and
// writes the central directory and end record after them.
class TDiskSpanObj : public TDiskCommon {
 public:
  // Reads `count` bytes of the finished temporary output at `offset`; returns
  // the bytes read or -1.
  using SourceReader = std::function<int64_t(uint64_t offset, void* buffer, size_t count)>;

  // The entries sit in the temporary output at the offsets the entry list
  // names; `sourceSize` is its size.
  TDiskSpanObj(TZipCommon& owner, TZipEntries& entries, SourceReader source, uint64_t sourceSize);
  ~TDiskSpanObj() override;

  // True when the end record was written in full on the last disk.
  bool Execute();
  int DiskNumber() const { return diskNumber_; }

 private:
  bool PrepareDisk(bool first);
  bool CheckVolume();
  bool WriteSpanned(const uint8_t* data, size_t count);
  bool CopySpanned(uint64_t offset, uint64_t count);

  TZipCommon& owner_;
  TZipEntries& entries_;
  SourceReader source_;
  uint64_t sourceSize_;
  std::unique_ptr<platform::File> disk_;
  std::string diskFile_;
  uint64_t diskPos_ = 0;   // size of the file on the current disk
  uint64_t diskFree_ = 0;  // bytes that may still go onto the current disk
  int diskNumber_ = 0;     // 1-based
  uint64_t reserve_ = 0;
  uint32_t previousSerial_ = 0;
  bool havePreviousSerial_ = false;
  TOverwriteMode overwrite_ = omOverwrite;
};
