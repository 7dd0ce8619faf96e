#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "platform/text.h"

namespace platform {

namespace {

// The share sentinels (see file.h): every opener read-locks the first (an
// exclusive one write-locks it), openers that may write read-lock the second,
// deny-write openers the third.
constexpr uint64_t kSentinel = kShareSentinelOffset;
constexpr uint64_t kWriterSentinel = kShareSentinelOffset + 1;
constexpr uint64_t kDenyWriteSentinel = kShareSentinelOffset + 2;

// How often Open and the removers look again when a name changed under them.
constexpr int kRaceAttempts = 100;

bool SetOfdLock(int fd, short type, uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;
  while (true) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// True when another open file description holds any lock on the byte at
// `offset` (one that a write lock would conflict with). Needs no write access.
bool OthersHoldByte(int fd, uint64_t offset) {
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = 1;
  fl.l_pid = 0;
  return ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool IsRefusal(int err) { return err == EAGAIN || err == EACCES; }

enum class LockResult { Taken, Refused, Unsupported };

LockResult TakeShareLocks(int fd, bool writes, Share share, bool writeLockable) {
  short first = (share == Share::Exclusive && writeLockable) ? F_WRLCK : F_RDLCK;
  if (!SetOfdLock(fd, first, kSentinel, 1))
    return IsRefusal(errno) ? LockResult::Refused : LockResult::Unsupported;
  if (share == Share::Exclusive) return LockResult::Taken;
  // Announce first, look second: of a writer and a deny-write opener racing,
  // the later one to announce always sees the earlier.
  if (writes && !SetOfdLock(fd, F_RDLCK, kWriterSentinel, 1)) return LockResult::Refused;
  if (share == Share::DenyWrite && !SetOfdLock(fd, F_RDLCK, kDenyWriteSentinel, 1))
    return LockResult::Refused;
  if (writes && OthersHoldByte(fd, kDenyWriteSentinel)) return LockResult::Refused;
  if (share == Share::DenyWrite && OthersHoldByte(fd, kWriterSentinel)) return LockResult::Refused;
  return LockResult::Taken;
}

// True when `hostPath` (links followed) still names the file open as `fd`.
bool NamesFile(const std::string& hostPath, int fd) {
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(hostPath.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool RangeFits(uint64_t offset, uint64_t length) {
  return offset <= static_cast<uint64_t>(LLONG_MAX) && length <= static_cast<uint64_t>(LLONG_MAX) - offset;
}

bool OwnerCannotWrite(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

uint32_t AttributesOf(const struct stat& st, const std::string& hostName) {
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode))
    a |= kAttrDirectory;
  else if (S_ISREG(st.st_mode))
    a |= kAttrArchive;
  else
    a |= kAttrSystem;  // devices, pipes and sockets
  if (OwnerCannotWrite(st)) a |= kAttrReadOnly;
  if (!hostName.empty() && hostName[0] == '.' && hostName != "." && hostName != "..") a |= kAttrHidden;
  return a == 0 ? kAttrNormal : a;
}

FileInfo InfoOf(const struct stat& st, const std::string& hostFolder, const std::string& hostName) {
  FileInfo info;
  info.name = detail::ListedName(hostFolder, hostName, info.plainName);
  info.utf8Name = IsValidUtf8(hostName) ? hostName : AnsiToUtf8(hostName);
  info.attributes = AttributesOf(st, hostName);
  info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  info.modified = st.st_mtim.tv_sec;
  return info;
}

// stat() following links; a dangling link is described by lstat().
bool StatHost(const std::string& host, struct stat& st) {
  if (::stat(host.c_str(), &st) == 0) return true;
  int err = errno;
  if (::lstat(host.c_str(), &st) == 0) return true;
  errno = err;
  return false;
}

// Refuses a write that would carry a simulated removable disk past its capacity.
bool FitsOnDisk(const std::string& hostPath, uint64_t currentSize, uint64_t newEnd) {
  if (newEnd <= currentSize || !detail::AnyRemovableDrive()) return true;
  auto disk = detail::RemovableDiskFor(hostPath);
  if (!disk) return true;
  uint64_t used = detail::FolderBytes(disk->hostRoot);
  uint64_t growth = newEnd - currentSize;
  if (used > disk->capacity || growth > disk->capacity - used) {
    SetLastError(ErrorCode::DiskFull);
    return false;
  }
  return true;
}

// Flushes a folder's entries (a rename or a new name) to disk. Best effort:
// some file systems cannot sync a folder, and the rename itself has happened.
void SyncFolder(const std::string& hostFolder) {
  int fd = ::open(hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// fsync that tolerates file systems without it.
bool SyncFd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == EROFS) return true;
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

// rename() that fails (EEXIST) instead of replacing an existing target, also
// against a target created by another process at the same moment.
int RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the flag: a hard link is just as exclusive for files.
  struct stat st;
  if (::lstat(from.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return 0;
    }
    if (errno == EEXIST) return -1;
  }
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(from.c_str(), to.c_str());
}

// Holds a regular file so that no opener of this layer can take it while it
// is deleted, moved or replaced: the first sentinel's write lock conflicts with
// every opener's lock, and Open checks after locking that its name still names
// what it locked. Folders, links and devices are not held (no File opens them).
class RemovalHold {
 public:
  RemovalHold() = default;
  RemovalHold(const RemovalHold&) = delete;
  RemovalHold& operator=(const RemovalHold&) = delete;
  ~RemovalHold() { Release(); }

  // False with the last error set: SharingViolation when some File holds it.
  bool Acquire(const std::string& host) {
    Release();
    for (int attempt = 0; attempt < kRaceAttempts; ++attempt) {
      struct stat st;
      if (::lstat(host.c_str(), &st) != 0) {
        detail::SetLastErrorForPath(errno, host);
        return false;
      }
      if (!S_ISREG(st.st_mode)) return true;
      bool probeOnly = false;
      int fd = ::open(host.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS || errno == ETXTBSY)) {
        // Not ours to write: the host allows a read lock only, which would not
        // keep shared readers out, so the best left is to look.
        probeOnly = true;
        fd = ::open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      }
      if (fd < 0) {
        if (errno == ENOENT || errno == ELOOP) continue;  // replaced meanwhile: look again
        detail::SetLastErrorForPath(errno, host);
        return false;
      }
      bool held = probeOnly ? OthersHoldByte(fd, kSentinel)
                            : !SetOfdLock(fd, F_WRLCK, kSentinel, 1) && IsRefusal(errno);
      struct stat now, mine;
      bool same = ::fstat(fd, &mine) == 0 && ::lstat(host.c_str(), &now) == 0 && now.st_dev == mine.st_dev &&
                  now.st_ino == mine.st_ino;
      if (!same) {
        ::close(fd);
        continue;
      }
      if (held) {
        ::close(fd);
        SetLastError(ErrorCode::SharingViolation);
        return false;
      }
      fd_ = fd;
      return true;
    }
    SetLastError(ErrorCode::SharingViolation);
    return false;
  }

  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// Renames `from` over `to`, holding an existing `to` against new openers for
// the moment of the rename. A `to` that looked absent is renamed onto without
// replacing, so one that another process creates (and opens) in that moment
// is held like any other instead of being replaced under its opener. On
// failure `err` is the host's error, or 0 when the last error is already set.
bool RenameReplacing(const std::string& from, const std::string& to, int& err) {
  err = 0;
  for (int attempt = 0; attempt < kRaceAttempts; ++attempt) {
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) {
      RemovalHold target;
      if (!target.Acquire(to)) {
        if (LastError() == ErrorCode::FileNotFound) continue;  // gone meanwhile
        return false;
      }
      if (::rename(from.c_str(), to.c_str()) == 0) return true;
    } else {
      if (RenameNoReplace(from, to) == 0) return true;
      if (errno == EEXIST) continue;
    }
    err = errno;
    return false;
  }
  SetLastError(ErrorCode::SharingViolation);
  return false;
}

// Flushes a file's data before it takes another name.
bool SyncFile(const std::string& host, int heldFd) {
  if (heldFd >= 0) return SyncFd(heldFd);
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return true;
  int fd = ::open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return true;  // nothing we could flush
  bool ok = SyncFd(fd);
  ::close(fd);
  return ok;
}

// A hidden, unique file in `hostFolder` for a copy under way; -1 on failure.
int CreateStagingFile(const std::string& hostFolder, std::string& name) {
  name = detail::JoinHost(hostFolder, ".velupdate-copy-XXXXXX");
  return ::mkostemp(name.data(), O_CLOEXEC);
}

bool CopyData(int in, int out) {
  std::vector<char> buf(1 << 16);
  while (true) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    if (n == 0) return true;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        SetLastErrorFromErrno(errno);
        return false;
      }
      done += w;
    }
  }
}

enum class CopyMode { Replace, KeepExisting };

// Copies `from` into the folder of `to` under a staging name, flushes it and
// only then gives it the name `to`: replacing an existing `to` (held against
// new openers for the moment of the rename) or failing with AlreadyExists.
// On any failure only the staging copy is removed; `to` is as it was.
bool CopyIntoPlace(const std::string& from, const std::string& to, CopyMode mode) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    detail::SetLastErrorForPath(errno, from);
    return false;
  }
  struct stat st;
  if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(in);
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  if (!FitsOnDisk(to, 0, static_cast<uint64_t>(st.st_size))) {
    ::close(in);
    return false;
  }
  std::string folder = detail::HostDirName(to);
  std::string staging;
  int out = CreateStagingFile(folder, staging);
  if (out < 0) {
    int err = errno;
    ::close(in);
    detail::SetLastErrorForPath(err, to);
    if (err == ENOENT) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  // Interrupted by a signal, the half-made copy goes with the process.
  const int token = detail::RegisterHostTempFile(staging);
  bool ok = CopyData(in, out);
  ::close(in);
  if (ok) {
    timespec times[2] = {st.st_atim, st.st_mtim};  // the copy keeps the last write time
    ::futimens(out, times);
    ::fchmod(out, st.st_mode & 0777);
    ok = SyncFd(out);
  }
  if (::close(out) != 0 && ok) {
    SetLastErrorFromErrno(errno);
    ok = false;
  }
  if (ok) {
    if (mode == CopyMode::KeepExisting) {
      if (RenameNoReplace(staging, to) != 0) {
        detail::SetLastErrorForPath(errno, to);
        ok = false;
      }
    } else {
      int err;
      ok = RenameReplacing(staging, to, err);
      if (!ok && err != 0) detail::SetLastErrorForPath(err, to);
    }
  }
  if (!ok) {
    ErrorCode err = LastError();
    ::unlink(staging.c_str());
    UnregisterTempFile(token);
    SetLastError(err);
    return false;
  }
  UnregisterTempFile(token);
  SyncFolder(folder);
  return true;
}

}  // namespace

namespace detail {

bool IsOpenElsewhere(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool held = OthersHoldByte(fd, kSentinel);
  ::close(fd);
  return held;
}

}  // namespace detail

File::File(intptr_t fd, std::string dosPath, std::string hostPath, Access access, Share share)
    : handle_(fd),
      dosPath_(std::move(dosPath)),
      hostPath_(std::move(hostPath)),
      access_(access),
      share_(share),
      readLocksOnly_(access == Access::Read || (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {}

File::~File() {
  if (Fd() >= 0) ::close(Fd());  // closing the description drops its locks
}

std::unique_ptr<File> File::HostOpen(const std::string& dosPath, Access access, Share share,
                                     Disposition disposition) {
  std::string full = GetFullPathName(dosPath);
  if (full.empty()) return nullptr;
  const bool writes = access != Access::Read;
  // Locks need the descriptor opened for what they lock: exclusive openers
  // hold a write lock. Reading through a write-only File is refused below,
  // not by the descriptor.
  const bool wantWrite = writes || share == Share::Exclusive;

  // Each pass resolves the name afresh: another process may create, delete or
  // rename it between our look and our lock, and then we look again.
  for (int attempt = 0; attempt < kRaceAttempts; ++attempt) {
    detail::ResolvedPath resolved;
    if (!detail::ResolvePath(dosPath, resolved)) return nullptr;
    const std::string& host = resolved.host;

    struct stat st;
    bool existed = ::stat(host.c_str(), &st) == 0;
    if (existed) {
      if (S_ISDIR(st.st_mode)) {
        SetLastError(ErrorCode::AccessDenied);
        return nullptr;
      }
      if (disposition == Disposition::CreateNew) {
        SetLastError(ErrorCode::AlreadyExists);
        return nullptr;
      }
      if (disposition == Disposition::CreateAlways && resolved.ambiguous) {
        SetLastError(ErrorCode::NameAmbiguous);
        return nullptr;
      }
      // A read-only file refuses writers, whoever runs the program.
      if (writes && OwnerCannotWrite(st)) {
        SetLastError(ErrorCode::AccessDenied);
        return nullptr;
      }
    } else if (disposition == Disposition::OpenExisting) {
      detail::SetLastErrorForPath(ENOENT, host);
      return nullptr;
    }

    // A file that looked absent is created exclusively: if another process
    // made it meanwhile, the next pass opens it as an existing file.
    int create = existed ? 0 : O_CREAT | O_EXCL;
    int fd = ::open(host.c_str(), (wantWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | create, 0666);
    if (fd < 0 && wantWrite && !writes && (errno == EACCES || errno == EROFS || errno == EPERM))
      fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | create, 0666);
    if (fd < 0) {
      int err = errno;
      if (!existed && err == EEXIST) {
        struct stat link;
        if (::lstat(host.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && ::stat(host.c_str(), &st) != 0) {
          // A link to a file that does not exist yet: create the file it names.
          fd = ::open(host.c_str(), (wantWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_CREAT, 0666);
          if (fd < 0) {
            detail::SetLastErrorForPath(errno, host);
            return nullptr;
          }
        } else {
          if (disposition == Disposition::CreateNew) {
            SetLastError(ErrorCode::AlreadyExists);
            return nullptr;
          }
          continue;
        }
      } else if (existed && err == ENOENT) {
        continue;  // removed meanwhile
      } else {
        detail::SetLastErrorForPath(err, host);
        return nullptr;
      }
    }
    int mode = ::fcntl(fd, F_GETFL) & O_ACCMODE;
    LockResult locked = TakeShareLocks(fd, writes, share, mode == O_RDWR);
    // Once the lock is held no remover of this layer can take the file; the
    // name must still name it, or we locked a file that is gone or moved.
    bool named = NamesFile(host, fd);
    if (locked == LockResult::Refused || !named) {
      ::close(fd);  // never removed: whatever we created belongs to whoever holds it now
      if (!named) continue;
      SetLastError(ErrorCode::SharingViolation);
      return nullptr;
    }
    // LockResult::Unsupported: a file system without open-file-description
    // locks; go on without share modes.
    if (existed && disposition == Disposition::CreateAlways && mode == O_RDWR) {
      // Emptied only now, after the share check, so another opener's data is never cut.
      if (::ftruncate(fd, 0) != 0) {
        SetLastErrorFromErrno(errno);
        ::close(fd);
        return nullptr;
      }
    }
    SetLastError(ErrorCode::None);
    return std::unique_ptr<File>(new File(fd, full, host, access, share));
  }
  SetLastError(ErrorCode::SharingViolation);  // the name kept changing under us
  return nullptr;
}

int64_t File::HostReadAt(uint64_t offset, void* buffer, size_t count) {
  if (access_ == Access::Write) {
    SetLastError(ErrorCode::AccessDenied);
    return -1;
  }
  if (!RangeFits(offset, count)) {
    SetLastError(ErrorCode::Io);
    return -1;
  }
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(Fd(), p + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) break;  // end of file: the short count tells the caller
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t File::HostWriteAt(uint64_t offset, const void* buffer, size_t count) {
  if (access_ == Access::Read) {
    SetLastError(ErrorCode::AccessDenied);
    return -1;
  }
  if (!RangeFits(offset, count)) {
    SetLastError(ErrorCode::DiskFull);
    return -1;
  }
  if (count == 0) return 0;
  if (detail::AnyRemovableDrive()) {
    // On a simulated removable disk a write that does not fit writes nothing.
    struct stat st;
    if (::fstat(Fd(), &st) != 0) {
      SetLastErrorFromErrno(errno);
      return -1;
    }
    if (!FitsOnDisk(hostPath_, static_cast<uint64_t>(st.st_size), offset + count)) return -1;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pwrite(Fd(), p + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastErrorFromErrno(errno);
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) {
      SetLastError(ErrorCode::DiskFull);
      break;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

int64_t File::Size() {
  struct stat st;
  if (::fstat(Fd(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool File::HostFlush() {
  if (::fsync(Fd()) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool File::HostTruncate(uint64_t size) {
  if (access_ == Access::Read) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  if (size > static_cast<uint64_t>(LLONG_MAX)) {
    SetLastError(ErrorCode::DiskFull);
    return false;
  }
  int64_t current = Size();
  if (current < 0) return false;
  if (!FitsOnDisk(hostPath_, static_cast<uint64_t>(current), size)) return false;
  if (::ftruncate(Fd(), static_cast<off_t>(size)) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool File::HostLockRange(uint64_t offset, uint64_t length) {
  if (length == 0) return true;  // an empty range locks nothing
  if (!RangeFits(offset, length) || offset + length > kShareSentinelOffset) {
    SetLastError(ErrorCode::LockViolation);
    return false;
  }
  // As on Windows, a range overlapping one this File already holds is refused.
  for (const auto& [o, l] : locks_) {
    if (offset < o + l && o < offset + length) {
      SetLastError(ErrorCode::LockViolation);
      return false;
    }
  }
  short type = readLocksOnly_ ? F_RDLCK : F_WRLCK;
  if (!SetOfdLock(Fd(), type, offset, length)) {
    if (errno == EAGAIN || errno == EACCES)
      SetLastError(ErrorCode::LockViolation);
    else
      SetLastErrorFromErrno(errno);
    return false;
  }
  locks_.emplace_back(offset, length);
  return true;
}

bool File::UnlockRange(uint64_t offset, uint64_t length) {
  if (length == 0) return true;
  for (auto it = locks_.begin(); it != locks_.end(); ++it) {
    if (it->first == offset && it->second == length) {
      if (!SetOfdLock(Fd(), F_UNLCK, offset, length)) {
        SetLastErrorFromErrno(errno);
        return false;
      }
      locks_.erase(it);
      return true;
    }
  }
  SetLastError(ErrorCode::LockViolation);  // not held by this File
  return false;
}

bool File::GetIdentity(FileIdentity& identity) {
  struct stat st;
  if (::fstat(Fd(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  if (st.st_nlink == 0) {
    SetLastError(ErrorCode::FileNotFound);
    return false;
  }
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool File::GetModifiedTime(int64_t& unixSeconds) {
  struct stat st;
  if (::fstat(Fd(), &st) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  unixSeconds = st.st_mtim.tv_sec;
  return true;
}

bool File::SetModifiedTime(int64_t unixSeconds) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[1].tv_nsec = 0;
  if (::futimens(Fd(), times) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool FileExists(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  struct stat st;
  return !host.empty() && ::stat(host.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  struct stat st;
  return !host.empty() && ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t GetFileAttributes(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return kInvalidAttributes;
  struct stat st;
  if (!StatHost(host, st)) {
    detail::SetLastErrorForPath(errno, host);
    return kInvalidAttributes;
  }
  return AttributesOf(st, detail::HostBaseName(host));
}

bool SetFileAttributes(const std::string& dosPath, uint32_t attributes) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  mode_t mode = st.st_mode & 07777;
  if (attributes & kAttrReadOnly)
    mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
  else
    mode |= S_IWUSR;
  if (mode != (st.st_mode & 07777) && ::chmod(host.c_str(), mode) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool GetFileInfo(const std::string& dosPath, FileInfo& info) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  struct stat st;
  if (!StatHost(host, st)) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  info = InfoOf(st, detail::HostDirName(host), detail::HostBaseName(host));
  return true;
}

bool SetFileModifiedTime(const std::string& dosPath, int64_t unixSeconds) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(unixSeconds);
  times[1].tv_nsec = 0;
  if (::utimensat(AT_FDCWD, host.c_str(), times, 0) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  return true;
}

bool GetFolderIdentity(const std::string& dosFolder, FileIdentity& identity) {
  std::string host = ToHostPath(dosFolder);
  if (host.empty()) return false;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    int err = errno;
    SetLastErrorFromErrno(err);
    if (err == ENOENT || err == ENOTDIR) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool GetFileIdentity(const std::string& dosPath, FileIdentity& identity) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  struct stat st;
  if (::stat(host.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  identity.device = static_cast<uint64_t>(st.st_dev);
  identity.inode = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool detail::HostDeleteFile(const std::string& dosPath) {
  detail::ResolvedPath resolved;
  if (!detail::ResolvePath(dosPath, resolved)) return false;
  const std::string& host = resolved.host;
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  if (resolved.ambiguous) {
    SetLastError(ErrorCode::NameAmbiguous);
    return false;
  }
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && OwnerCannotWrite(st))) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  RemovalHold hold;
  if (!hold.Acquire(host)) return false;
  if (::unlink(host.c_str()) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  return true;
}

namespace {

// Where a move or copy to `to` lands. When `to` resolves to the source itself
// (a change of case only), the last component as written.
bool ResolveTarget(const std::string& fromHost, const std::string& to, detail::ResolvedPath& target,
                   bool& sameFile) {
  sameFile = false;
  if (!detail::ResolvePath(to, target)) return false;
  struct stat a, b;
  if (::lstat(fromHost.c_str(), &a) == 0 && ::lstat(target.host.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino) {
    sameFile = true;
    std::string full = GetFullPathName(to);
    size_t slash = full.rfind('\\');
    std::string last = slash == std::string::npos ? full : full.substr(slash + 1);
    target.host = detail::JoinHost(detail::HostDirName(target.host), DosNameToHost(last));
    target.ambiguous = false;
  }
  return true;
}

// The source of a move, resolved; refuses a name that matches several variants.
bool ResolveSource(const std::string& from, std::string& fromHost) {
  detail::ResolvedPath source;
  if (!detail::ResolvePath(from, source)) return false;
  if (source.ambiguous) {
    SetLastError(ErrorCode::NameAmbiguous);
    return false;
  }
  fromHost = source.host;
  return true;
}

bool MoveHost(const std::string& fromHost, const std::string& toHost, bool replace, bool sameFile) {
  struct stat st;
  if (::lstat(fromHost.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, fromHost);
    return false;
  }
  if (fromHost == toHost) return true;
  RemovalHold source;
  if (!source.Acquire(fromHost)) return false;
  struct stat existing;
  bool targetExists = !sameFile && ::lstat(toHost.c_str(), &existing) == 0;
  if (targetExists && !replace) {
    SetLastError(ErrorCode::AlreadyExists);
    return false;
  }
  if (targetExists &&
      (S_ISDIR(existing.st_mode) || (S_ISREG(existing.st_mode) && OwnerCannotWrite(existing)))) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  // The data reaches the disk before the new name does, so a crash leaves the
  // old file or the complete new one under that name.
  if (!SyncFile(fromHost, source.Fd())) return false;
  int err = 0;
  bool renamed = false;
  if (replace) {
    renamed = RenameReplacing(fromHost, toHost, err);
  } else {
    renamed = RenameNoReplace(fromHost, toHost) == 0;
    if (!renamed) err = errno;
  }
  if (renamed) {
    std::string toFolder = detail::HostDirName(toHost), fromFolder = detail::HostDirName(fromHost);
    SyncFolder(toFolder);
    if (fromFolder != toFolder) SyncFolder(fromFolder);
    return true;
  }
  if (err == 0) return false;  // refused; the last error says why
  if (err != EXDEV) {
    detail::SetLastErrorForPath(err, toHost);
    if (err == ENOENT && LastError() == ErrorCode::FileNotFound) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  // Another host file system: copy beside the target, then remove the
  // original once the copy has its name.
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  if (!CopyIntoPlace(fromHost, toHost, replace ? CopyMode::Replace : CopyMode::KeepExisting)) return false;
  if (::unlink(fromHost.c_str()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace

bool detail::HostMoveFile(const std::string& from, const std::string& to) {
  std::string fromHost;
  if (!ResolveSource(from, fromHost)) return false;
  bool sameFile = false;
  detail::ResolvedPath target;
  if (!ResolveTarget(fromHost, to, target, sameFile)) return false;
  if (!sameFile && target.found) {
    SetLastError(ErrorCode::AlreadyExists);
    return false;
  }
  return MoveHost(fromHost, target.host, false, sameFile);
}

bool detail::HostMoveFileReplace(const std::string& from, const std::string& to) {
  std::string fromHost;
  if (!ResolveSource(from, fromHost)) return false;
  bool sameFile = false;
  detail::ResolvedPath target;
  if (!ResolveTarget(fromHost, to, target, sameFile)) return false;
  if (target.ambiguous) {
    SetLastError(ErrorCode::NameAmbiguous);
    return false;
  }
  return MoveHost(fromHost, target.host, true, sameFile);
}

bool detail::HostCopyFile(const std::string& from, const std::string& to, bool failIfExists) {
  std::string fromHost = ToHostPath(from);
  if (fromHost.empty()) return false;
  detail::ResolvedPath target;
  if (!detail::ResolvePath(to, target)) return false;
  const std::string& toHost = target.host;
  struct stat a, b;
  bool targetExists = ::stat(toHost.c_str(), &b) == 0;
  if (targetExists && ::stat(fromHost.c_str(), &a) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
    SetLastError(failIfExists ? ErrorCode::AlreadyExists : ErrorCode::SharingViolation);
    return false;  // copying a file onto itself would empty it
  }
  if (targetExists) {
    if (failIfExists) {
      SetLastError(ErrorCode::AlreadyExists);
      return false;
    }
    if (target.ambiguous) {
      SetLastError(ErrorCode::NameAmbiguous);
      return false;
    }
    if (S_ISDIR(b.st_mode) || OwnerCannotWrite(b)) {
      SetLastError(ErrorCode::AccessDenied);
      return false;
    }
    // Fail before the copy when the target is open; held for real at the rename.
    if (detail::IsOpenElsewhere(toHost)) {
      SetLastError(ErrorCode::SharingViolation);
      return false;
    }
  }
  return CopyIntoPlace(fromHost, toHost, failIfExists ? CopyMode::KeepExisting : CopyMode::Replace);
}

bool CreateDirectory(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  if (::mkdir(host.c_str(), 0777) != 0) {
    int err = errno;
    detail::SetLastErrorForPath(err, host);
    if (err == ENOENT) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  return true;
}

bool RemoveDirectory(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  if (::rmdir(host.c_str()) != 0) {
    int err = errno;
    detail::SetLastErrorForPath(err, host);
    if (err == ENOTDIR) SetLastError(ErrorCode::InvalidName);
    if (err == EEXIST) SetLastError(ErrorCode::NotEmpty);
    return false;
  }
  return true;
}

bool ListDirectory(const std::string& dosFolder, std::vector<FileInfo>& entries) {
  entries.clear();
  std::string host = ToHostPath(dosFolder);
  if (host.empty()) return false;
  DIR* dir = ::opendir(host.c_str());
  if (!dir) {
    int err = errno;
    SetLastErrorFromErrno(err);
    if (err == ENOENT || err == ENOTDIR) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = detail::JoinHost(host, name);
    struct stat st;
    if (!StatHost(path, st)) continue;  // vanished meanwhile
    entries.push_back(InfoOf(st, host, name));
  }
  ::closedir(dir);
  return true;
}

namespace {

std::string PercentEncode(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

bool MakeFolders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool MoveToTrash(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  // Held until the file has left its folder, so nobody opens it meanwhile.
  RemovalHold hold;
  if (!hold.Acquire(host)) return false;
  std::string trash = detail::DataHome() + "/Trash";
  std::string files = trash + "/files", infos = trash + "/info";
  if (!MakeFolders(files) || !MakeFolders(infos)) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  std::string base = detail::HostBaseName(host);
  std::string name, infoPath;
  int infoFd = -1;
  for (int n = 1; n < 100000 && infoFd < 0; ++n) {
    if (n == 1) {
      name = base;
    } else {
      size_t dot = base.rfind('.');
      if (dot == std::string::npos || dot == 0)
        name = base + "." + std::to_string(n);
      else
        name = base.substr(0, dot) + "." + std::to_string(n) + base.substr(dot);
    }
    struct stat probe;
    if (::lstat((files + "/" + name).c_str(), &probe) == 0) continue;
    infoPath = infos + "/" + name + ".trashinfo";
    // Creating the info file first reserves the name against other trashers.
    infoFd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (infoFd < 0 && errno != EEXIST) {
      SetLastErrorFromErrno(errno);
      return false;
    }
  }
  if (infoFd < 0) {
    SetLastError(ErrorCode::AlreadyExists);
    return false;
  }
  LocalTime t = Now();
  char date[32];
  std::snprintf(date, sizeof date, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  std::string text = "[Trash Info]\nPath=" + PercentEncode(host) + "\nDeletionDate=" + date + "\n";
  bool ok = ::write(infoFd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(infoFd);
  std::string target = files + "/" + name;
  if (ok && ::rename(host.c_str(), target.c_str()) != 0) {
    if (errno == EXDEV) {
      // Another file system: copy the whole tree, then remove the original.
      std::error_code ec;
      std::filesystem::copy(
          host, target,
          std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks, ec);
      if (!ec) std::filesystem::remove_all(host, ec);
      if (ec) {
        std::error_code ignore;
        std::filesystem::remove_all(target, ignore);
        SetLastError(ErrorCode::Io);
        ok = false;
      }
    } else {
      SetLastErrorFromErrno(errno);
      ok = false;
    }
  } else if (!ok) {
    SetLastError(ErrorCode::DiskFull);
  }
  if (!ok) ::unlink(infoPath.c_str());
  return ok;
}

}  // namespace platform
