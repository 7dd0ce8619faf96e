// Files, sharing, byte-range locks, attributes and folder listings.
//
// All names are DOS paths (see paths.h). Reads and writes are positioned;
// short counts are reported, not hidden.
//
// Share modes behave as on Windows, for every opener that goes through this
// layer, in this process or another:
//
//   existing \ new      Shared r  Shared w  DenyWrite r  DenyWrite w  Exclusive
//   Shared, reads        ok        ok        ok           ok           refused
//   Shared, writes       ok        ok        refused      refused      refused
//   DenyWrite, reads     ok        refused   ok           refused      refused
//   DenyWrite, writes    ok        refused   refused      refused      refused
//   Exclusive            refused   refused   refused      refused      refused
//
// ("writes": opened with Write or ReadWrite access.) The modes are open-file-
// description locks on three sentinel bytes far above every lock-protocol
// offset: every opener read-locks the first (an exclusive opener write-locks
// it); an opener that may write read-locks the second, a deny-write opener the
// third, and each then tests whether another opener holds the byte of the
// kind it excludes. Both announce themselves before they look, so of two
// openers racing one always sees the other (a simultaneous pair may both be
// refused; never both admitted).
//
// Creating, deleting and renaming are race-free between processes that use
// this layer. Open creates with O_EXCL when the file looked absent and opens
// plainly when someone else created it meanwhile; it never removes a file it
// failed to lock. Deleting, moving and replacing hold the first sentinel's
// write lock across the unlink or rename, so no opener can take the file
// between the "is it open?" check and the act; and Open verifies, once its
// lock is held, that the name still names the file it locked, and looks again
// when it does not.
//
// Replacing a file never loses it. On one host file system the source is
// flushed, renamed over the target and the folder flushed, so a crash leaves
// the old file or the new one. Across host file systems the source is copied
// to a hidden unique name in the target's folder, flushed with its folder and
// renamed over the target; a failure (a full disk) removes only that partial
// copy. The target is never truncated or removed before its replacement is
// complete; the replacement is a new file (hard links to the old one keep the
// old contents).
//
// Byte-range locks are open-file-description locks as well: they belong to the
// File object, not to the process, so two File objects of one process contend
// like two processes, and closing one never drops the other's locks. They
// never wait; the engines retry on their own. A file opened read-only locks
// with a read lock.
//
// On Windows none of this is emulated: the modes are CreateFileW's share
// flags (FILE_SHARE_DELETE never given), the locks LockFileEx's, the
// replacement MoveFileExW's (see file_win.cpp).
//
// Limits of the POSIX emulation: locks do not block plain reads and writes (the lock
// protocols place them beyond the data anyway); an exclusive read-only open of
// a file the host does not let us open for writing holds the sentinel with a
// read lock, so it keeps writers out but not other readers; a file we may not
// open for writing can only be checked, not held, while it is moved; programs
// that do not use this layer are not excluded at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

enum class Access { Read, Write, ReadWrite };
enum class Share {
  Exclusive,  // no other opener
  Shared,     // any other opener but an exclusive one
  DenyWrite   // other readers, but no opener that may write
};
enum class Disposition {
  OpenExisting,  // fail when missing
  CreateAlways,  // create or empty
  CreateNew,     // fail when present
  OpenAlways     // open, creating when missing
};

// The lock-protocol offsets reach up to about 6.5 GB; the share sentinels sit
// far above them (this byte and the two after it).
inline constexpr uint64_t kShareSentinelOffset = 0x7FFFFFFF00000000ULL;

// The identity of a file or folder on the host (device and inode; volume serial and file index on Windows),
// following links: two names with equal identities name one object.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

class File {
 public:
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // nullptr on failure with the last error set (FileNotFound, PathNotFound,
  // AccessDenied, SharingViolation, AlreadyExists, NotReady; NameAmbiguous
  // for CreateAlways on a name that matches several case variants).
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

  // The identity of the open file; false (FileNotFound) once it has no name
  // left (deleted while open).
  bool GetIdentity(FileIdentity& identity);

  // Modification time (Unix seconds); false on failure.
  bool GetModifiedTime(int64_t& unixSeconds);
  bool SetModifiedTime(int64_t unixSeconds);

  const std::string& DosPath() const { return dosPath_; }
  const std::string& HostPath() const { return hostPath_; }
  Access GetAccess() const { return access_; }
  Share GetShare() const { return share_; }
  // The host's handle as a number: a descriptor on POSIX hosts, a HANDLE
  // value on Windows; never negative for an open File.
  int NativeHandle() const { return static_cast<int>(handle_); }

 private:
  File(intptr_t handle, std::string dosPath, std::string hostPath, Access access, Share share);
  // The host's side of the calls above (file_posix.cpp, file_win.cpp); the
  // public ones consult the fault-injection hook first (faults.h, file.cpp).
  static std::unique_ptr<File> HostOpen(const std::string& dosPath, Access access, Share share,
                                        Disposition disposition);
  int64_t HostReadAt(uint64_t offset, void* buffer, size_t count);
  int64_t HostWriteAt(uint64_t offset, const void* buffer, size_t count);
  bool HostFlush();
  bool HostTruncate(uint64_t size);
  bool HostLockRange(uint64_t offset, uint64_t length);
  int Fd() const { return static_cast<int>(handle_); }
  intptr_t handle_;  // descriptor (POSIX) or HANDLE (Windows)
  std::string dosPath_;
  std::string hostPath_;
  Access access_;
  Share share_;
  std::vector<std::pair<uint64_t, uint64_t>> locks_;  // ranges this File holds (offset, length)
  bool readLocksOnly_ = false;  // POSIX: opened read-only, so the host allows read locks only
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
  std::string name;         // name only, DOS form (CP1252, escapes for the rest: see paths.h)
  std::string utf8Name;     // the host's name as UTF-8 text (a non-UTF-8 name read as CP1252)
  bool plainName = true;    // `name` is the ANSI text of the host name, without escapes
  uint32_t attributes = 0;  // DOS attribute bits
  uint64_t size = 0;
  int64_t modified = 0;  // Unix seconds
};

bool FileExists(const std::string& dosPath);  // a file, not a folder
bool DirectoryExists(const std::string& dosPath);
uint32_t GetFileAttributes(const std::string& dosPath);  // kInvalidAttributes when missing
// POSIX hosts change only the read-only bit (owner write permission);
// Windows sets the attributes as given.
bool SetFileAttributes(const std::string& dosPath, uint32_t attributes);
bool GetFileInfo(const std::string& dosPath, FileInfo& info);
bool SetFileModifiedTime(const std::string& dosPath, int64_t unixSeconds);

// False (PathNotFound, or AccessDenied for a file) when `dosFolder` names no folder.
bool GetFolderIdentity(const std::string& dosFolder, FileIdentity& identity);
// The identity of the file (or folder) a name names; false when it names none.
bool GetFileIdentity(const std::string& dosPath, FileIdentity& identity);

// As on Windows, a file that some File object holds open (in this or another
// process) cannot be deleted, moved or replaced (SharingViolation), and a
// read-only file cannot be deleted or replaced (AccessDenied). A name that
// matches several case variants is refused (NameAmbiguous).
bool DeleteFile(const std::string& dosPath);
// Fails (AlreadyExists) when `to` exists, as MoveFile does, also when another
// process creates `to` meanwhile; works across folders and, by copying,
// across host file systems.
bool MoveFile(const std::string& from, const std::string& to);
// Replaces `to` when it exists, never losing it (see above).
bool MoveFileReplace(const std::string& from, const std::string& to);
// The copy appears under `to` only when complete; an existing `to` is replaced
// as MoveFileReplace does, or kept (AlreadyExists) with failIfExists.
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
