#include "platform/file.h"

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
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"

namespace platform {

namespace {

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

bool RangeFits(uint64_t offset, uint64_t length) {
  return offset <= static_cast<uint64_t>(LLONG_MAX) && length <= static_cast<uint64_t>(LLONG_MAX) - offset;
}

bool OwnerCannotWrite(const struct stat& st) { return (st.st_mode & S_IWUSR) == 0; }

uint32_t AttributesOf(const struct stat& st, const std::string& hostPath) {
  uint32_t a = 0;
  if (S_ISDIR(st.st_mode))
    a |= kAttrDirectory;
  else if (S_ISREG(st.st_mode))
    a |= kAttrArchive;
  else
    a |= kAttrSystem;  // devices, pipes and sockets
  if (OwnerCannotWrite(st)) a |= kAttrReadOnly;
  std::string name = detail::HostBaseName(hostPath);
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttrHidden;
  return a == 0 ? kAttrNormal : a;
}

FileInfo InfoOf(const struct stat& st, const std::string& hostName, const std::string& hostPath) {
  FileInfo info;
  info.name = Utf8ToAnsi(hostName);
  info.attributes = AttributesOf(st, hostPath);
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

bool CopyHostFile(const std::string& from, const std::string& to, bool failIfExists) {
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
  struct stat dst;
  if (::stat(to.c_str(), &dst) == 0) {
    if (failIfExists) {
      ::close(in);
      SetLastError(ErrorCode::AlreadyExists);
      return false;
    }
    if (S_ISDIR(dst.st_mode) || OwnerCannotWrite(dst)) {
      ::close(in);
      SetLastError(ErrorCode::AccessDenied);
      return false;
    }
    if (detail::IsOpenElsewhere(to)) {
      ::close(in);
      SetLastError(ErrorCode::SharingViolation);
      return false;
    }
  }
  if (!FitsOnDisk(to, 0, static_cast<uint64_t>(st.st_size))) {
    ::close(in);
    return false;
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (failIfExists ? O_EXCL : 0),
                   st.st_mode & 0777);
  if (out < 0) {
    detail::SetLastErrorForPath(errno, to);
    ::close(in);
    return false;
  }
  std::vector<char> buf(1 << 16);
  bool ok = true;
  while (ok) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      SetLastErrorFromErrno(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    ssize_t done = 0;
    while (done < n) {
      ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        SetLastErrorFromErrno(errno);
        ok = false;
        break;
      }
      done += w;
    }
  }
  if (ok) {
    timespec times[2] = {st.st_atim, st.st_mtim};  // the copy keeps the last write time
    ::futimens(out, times);
  }
  ::close(in);
  if (::close(out) != 0 && ok) {
    SetLastErrorFromErrno(errno);
    ok = false;
  }
  if (!ok) ::unlink(to.c_str());
  return ok;
}

}  // namespace

namespace detail {

bool IsOpenElsewhere(const std::string& hostPath) {
  int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(kShareSentinelOffset);
  fl.l_len = 1;
  fl.l_pid = 0;
  bool held = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

}  // namespace detail

File::File(int fd, std::string dosPath, std::string hostPath, Access access, Share share)
    : fd_(fd),
      dosPath_(std::move(dosPath)),
      hostPath_(std::move(hostPath)),
      access_(access),
      share_(share),
      readLocksOnly_(access == Access::Read || (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {}

File::~File() {
  if (fd_ >= 0) ::close(fd_);  // closing the description drops its locks
}

std::unique_ptr<File> File::Open(const std::string& dosPath, Access access, Share share,
                                 Disposition disposition) {
  std::string full = GetFullPathName(dosPath);
  std::string host = ToHostPath(dosPath);
  if (host.empty() || full.empty()) return nullptr;

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
    // A read-only file refuses writers, whoever runs the program.
    if (access != Access::Read && OwnerCannotWrite(st)) {
      SetLastError(ErrorCode::AccessDenied);
      return nullptr;
    }
  } else if (disposition == Disposition::OpenExisting) {
    detail::SetLastErrorForPath(ENOENT, host);
    return nullptr;
  }

  int create = 0;
  if (disposition == Disposition::CreateNew) create = O_CREAT | O_EXCL;
  if (disposition == Disposition::CreateAlways || disposition == Disposition::OpenAlways) create = O_CREAT;

  // Locks need the descriptor opened for what they lock: shared openers hold a
  // read lock, exclusive openers a write lock. Reading through a write-only
  // File is refused below, not by the descriptor.
  bool wantWrite = access != Access::Read || share == Share::Exclusive;
  int fd = -1;
  if (wantWrite) {
    fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC | create, 0666);
    if (fd < 0 && access == Access::Read && (errno == EACCES || errno == EROFS || errno == EPERM))
      fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | create, 0666);
  } else {
    fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC | create, 0666);
  }
  if (fd < 0) {
    detail::SetLastErrorForPath(errno, host);
    return nullptr;
  }
  int mode = ::fcntl(fd, F_GETFL) & O_ACCMODE;
  short shareType = (share == Share::Exclusive && mode == O_RDWR) ? F_WRLCK : F_RDLCK;
  if (!SetOfdLock(fd, shareType, kShareSentinelOffset, 1)) {
    int err = errno;
    if (err == EAGAIN || err == EACCES) {
      ::close(fd);
      if (!existed) ::unlink(host.c_str());
      SetLastError(ErrorCode::SharingViolation);
      return nullptr;
    }
    // A file system without open-file-description locks: go on without share modes.
  }
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

int64_t File::ReadAt(uint64_t offset, void* buffer, size_t count) {
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
    ssize_t n = ::pread(fd_, p + done, count - done, static_cast<off_t>(offset + done));
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

int64_t File::WriteAt(uint64_t offset, const void* buffer, size_t count) {
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
    if (::fstat(fd_, &st) != 0) {
      SetLastErrorFromErrno(errno);
      return -1;
    }
    if (!FitsOnDisk(hostPath_, static_cast<uint64_t>(st.st_size), offset + count)) return -1;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pwrite(fd_, p + done, count - done, static_cast<off_t>(offset + done));
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
  if (::fstat(fd_, &st) != 0) {
    SetLastErrorFromErrno(errno);
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

bool File::Flush() {
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool File::Truncate(uint64_t size) {
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
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool File::LockRange(uint64_t offset, uint64_t length) {
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
  if (!SetOfdLock(fd_, type, offset, length)) {
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
      if (!SetOfdLock(fd_, F_UNLCK, offset, length)) {
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

bool File::GetModifiedTime(int64_t& unixSeconds) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
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
  if (::futimens(fd_, times) != 0) {
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
  return AttributesOf(st, host);
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
  info = InfoOf(st, detail::HostBaseName(host), host);
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

bool DeleteFile(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  struct stat st;
  if (::lstat(host.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && OwnerCannotWrite(st))) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  if (detail::IsOpenElsewhere(host)) {
    SetLastError(ErrorCode::SharingViolation);
    return false;
  }
  if (::unlink(host.c_str()) != 0) {
    detail::SetLastErrorForPath(errno, host);
    return false;
  }
  return true;
}

namespace {

// The host name `to` should get: when it resolves to the source itself (a
// change of case only), the last component as written.
std::string TargetHost(const std::string& fromHost, const std::string& to, bool& sameFile) {
  std::string host = ToHostPath(to);
  sameFile = false;
  if (host.empty()) return host;
  struct stat a, b;
  if (::lstat(fromHost.c_str(), &a) == 0 && ::lstat(host.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino) {
    sameFile = true;
    std::string full = GetFullPathName(to);
    size_t slash = full.rfind('\\');
    std::string last = slash == std::string::npos ? full : full.substr(slash + 1);
    return detail::JoinHost(detail::HostDirName(host), AnsiToUtf8(last));
  }
  return host;
}

bool MoveHost(const std::string& fromHost, const std::string& toHost, bool replace) {
  struct stat st;
  if (::lstat(fromHost.c_str(), &st) != 0) {
    detail::SetLastErrorForPath(errno, fromHost);
    return false;
  }
  if (detail::IsOpenElsewhere(fromHost)) {
    SetLastError(ErrorCode::SharingViolation);
    return false;
  }
  if (::rename(fromHost.c_str(), toHost.c_str()) == 0) return true;
  if (errno != EXDEV) {
    int err = errno;
    detail::SetLastErrorForPath(err, toHost);
    if (err == ENOENT && LastError() == ErrorCode::FileNotFound) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  // Another file system: copy, then remove the original once the copy is whole.
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  if (!CopyHostFile(fromHost, toHost, !replace)) return false;
  if (::unlink(fromHost.c_str()) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

}  // namespace

bool MoveFile(const std::string& from, const std::string& to) {
  std::string fromHost = ToHostPath(from);
  if (fromHost.empty()) return false;
  bool sameFile = false;
  std::string toHost = TargetHost(fromHost, to, sameFile);
  if (toHost.empty()) return false;
  struct stat st;
  if (!sameFile && ::lstat(toHost.c_str(), &st) == 0) {
    SetLastError(ErrorCode::AlreadyExists);
    return false;
  }
  return MoveHost(fromHost, toHost, false);
}

bool MoveFileReplace(const std::string& from, const std::string& to) {
  std::string fromHost = ToHostPath(from);
  if (fromHost.empty()) return false;
  bool sameFile = false;
  std::string toHost = TargetHost(fromHost, to, sameFile);
  if (toHost.empty()) return false;
  struct stat st;
  if (!sameFile && ::lstat(toHost.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && OwnerCannotWrite(st))) {
      SetLastError(ErrorCode::AccessDenied);
      return false;
    }
    if (detail::IsOpenElsewhere(toHost)) {
      SetLastError(ErrorCode::SharingViolation);
      return false;
    }
  }
  return MoveHost(fromHost, toHost, true);
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
  std::string fromHost = ToHostPath(from);
  std::string toHost = ToHostPath(to);
  if (fromHost.empty() || toHost.empty()) return false;
  struct stat a, b;
  if (::stat(fromHost.c_str(), &a) == 0 && ::stat(toHost.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino) {
    SetLastError(failIfExists ? ErrorCode::AlreadyExists : ErrorCode::SharingViolation);
    return false;  // copying a file onto itself would empty it
  }
  return CopyHostFile(fromHost, toHost, failIfExists);
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
    entries.push_back(InfoOf(st, name, path));
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
  if (!S_ISDIR(st.st_mode) && detail::IsOpenElsewhere(host)) {
    SetLastError(ErrorCode::SharingViolation);
    return false;
  }
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
