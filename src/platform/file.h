// Files, sharing, byte-range locks, attributes and folder listings.
//
// All names are DOS paths (see paths.h). Reads and writes are positioned;
// short counts are reported, not hidden.
//
// Share modes behave as on Windows: an exclusive opener and any other opener
// of the same file exclude each other. This is an open-file-description lock
// on one sentinel byte far above every lock-protocol offset (shared openers
// hold a read lock on it, exclusive openers a write lock).
//
// Byte-range locks are open-file-description locks as well: they belong to the
// File object, not to the process, so two File objects of one process contend
// like two processes, and closing one never drops the other's locks. They
// never wait; the engines retry on their own. A file opened read-only locks
// with a read lock.
//
// Limits of the emulation: locks do not block plain reads and writes (the lock
// protocols place them beyond the data anyway); an exclusive read-only open of
// a file the host does not let us open for writing holds the sentinel with a
// read lock, so it keeps writers out but not other readers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

enum class Access { Read, Write, ReadWrite };
enum class Share { Exclusive, Shared };
enum class Disposition {
  OpenExisting,  // fail when missing
  CreateAlways,  // create or empty
  CreateNew,     // fail when present
  OpenAlways     // open, creating when missing
};

// The lock-protocol offsets reach up to about 6.5 GB; the share sentinel sits
// far above them.
inline constexpr uint64_t kShareSentinelOffset = 0x7FFFFFFF00000000ULL;

class File {
 public:
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // nullptr on failure with the last error set (FileNotFound, PathNotFound,
  // AccessDenied, SharingViolation, AlreadyExists, NotReady).
  static std::unique_ptr<File> Open(const std::string& dosPath, Access access, Share share,
                                    Disposition disposition = Disposition::OpenExisting);

  // Bytes read (0 at or past the end), -1 on failure.
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count);
  // Bytes written, -1 on failure (DiskFull when the disk or simulated disk is full).
  int64_t WriteAt(uint64_t offset, const void* buffer, size_t count);
  int64_t Size();  // -1 on failure
  bool Flush();
  bool Truncate(uint64_t size);  // sets the end of file (shorter or longer)

  // A range overlapping one this File already holds is refused as well, as on
  // Windows. An empty range locks nothing and succeeds.
  bool LockRange(uint64_t offset, uint64_t length);    // false (LockViolation) when refused
  bool UnlockRange(uint64_t offset, uint64_t length);  // false when not held (exact range)

  // Modification time (Unix seconds); false on failure.
  bool GetModifiedTime(int64_t& unixSeconds);
  bool SetModifiedTime(int64_t unixSeconds);

  const std::string& DosPath() const { return dosPath_; }
  const std::string& HostPath() const { return hostPath_; }
  Access GetAccess() const { return access_; }
  Share GetShare() const { return share_; }
  int NativeHandle() const { return fd_; }

 private:
  File(int fd, std::string dosPath, std::string hostPath, Access access, Share share);
  int fd_;
  std::string dosPath_;
  std::string hostPath_;
  Access access_;
  Share share_;
  std::vector<std::pair<uint64_t, uint64_t>> locks_;  // ranges this File holds (offset, length)
  bool readLocksOnly_;  // the descriptor was opened read-only: the host allows read locks only
};

// DOS file attributes.
inline constexpr uint32_t kAttrReadOnly = 0x01;
inline constexpr uint32_t kAttrHidden = 0x02;
inline constexpr uint32_t kAttrSystem = 0x04;
inline constexpr uint32_t kAttrVolumeId = 0x08;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kAttrCompressed = 0x800;
inline constexpr uint32_t kAttrEncrypted = 0x4000;
inline constexpr uint32_t kInvalidAttributes = 0xFFFFFFFF;

struct FileInfo {
  std::string name;         // name only, CP1252
  uint32_t attributes = 0;  // DOS attribute bits
  uint64_t size = 0;
  int64_t modified = 0;  // Unix seconds
};

bool FileExists(const std::string& dosPath);  // a file, not a folder
bool DirectoryExists(const std::string& dosPath);
uint32_t GetFileAttributes(const std::string& dosPath);  // kInvalidAttributes when missing
// Only the read-only bit can be changed on the host (owner write permission).
bool SetFileAttributes(const std::string& dosPath, uint32_t attributes);
bool GetFileInfo(const std::string& dosPath, FileInfo& info);
bool SetFileModifiedTime(const std::string& dosPath, int64_t unixSeconds);

// As on Windows, a file that some File object holds open (in this or another
// process) cannot be deleted, moved or replaced (SharingViolation), and a
// read-only file cannot be deleted or replaced (AccessDenied).
bool DeleteFile(const std::string& dosPath);
// Fails (AlreadyExists) when `to` exists, as MoveFile does; works across folders
// and, by copying, across host file systems.
bool MoveFile(const std::string& from, const std::string& to);
// Replaces `to` when it exists.
bool MoveFileReplace(const std::string& from, const std::string& to);
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists);
bool CreateDirectory(const std::string& dosPath);
bool RemoveDirectory(const std::string& dosPath);

// The entries of a folder in the order the host lists them, "." and ".."
// left out. False (PathNotFound) when the folder does not exist.
bool ListDirectory(const std::string& dosFolder, std::vector<FileInfo>& entries);

// Moves a file or folder to the desktop's trash (freedesktop layout:
// $XDG_DATA_HOME/Trash/files and Trash/info/<name>.trashinfo).
bool MoveToTrash(const std::string& dosPath);

}  // namespace platform
