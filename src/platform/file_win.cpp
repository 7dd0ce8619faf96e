// Files on Windows: CreateFileW with the real share modes, positioned reads and
// writes through OVERLAPPED offsets, byte-range locks through LockFileEx and
// UnlockFileEx, attributes and times from the file system.
//
// Share modes map one to one: Shared is FILE_SHARE_READ | FILE_SHARE_WRITE,
// DenyWrite is FILE_SHARE_READ, Exclusive is no sharing. FILE_SHARE_DELETE is
// never given, so a file some File holds open cannot be deleted, moved or
// replaced under it (the system refuses with a sharing violation).
//
// Replacing never loses the target: on one volume MoveFileExW renames over it
// with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH; across volumes the
// source is first copied to a hidden temporary name beside the target and
// flushed, and only that complete copy is renamed over the target.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <shellapi.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace platform {

namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

bool RangeFits(uint64_t offset, uint64_t length) {
  return offset <= static_cast<uint64_t>(LLONG_MAX) && length <= static_cast<uint64_t>(LLONG_MAX) - offset;
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

DWORD ShareFlags(Share share) {
  switch (share) {
    case Share::Shared:
      return FILE_SHARE_READ | FILE_SHARE_WRITE;
    case Share::DenyWrite:
      return FILE_SHARE_READ;
    case Share::Exclusive:
      break;
  }
  return 0;
}

DWORD CreationFlags(Disposition d) {
  switch (d) {
    case Disposition::OpenExisting:
      return OPEN_EXISTING;
    case Disposition::CreateAlways:
      return CREATE_ALWAYS;
    case Disposition::CreateNew:
      return CREATE_NEW;
    case Disposition::OpenAlways:
      return OPEN_ALWAYS;
  }
  return OPEN_EXISTING;
}

// The bits this layer reports; 0x80 (normal) never together with another.
uint32_t Attributes(DWORD a) {
  a &= 0xFFFF;
  return a == 0 ? kAttrNormal : (a != kAttrNormal ? a & ~kAttrNormal : a);
}

uint64_t Size64(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

FileInfo InfoOf(const WIN32_FIND_DATAW& fd) {
  FileInfo info;
  info.name = detail::DosNameOf(fd.cFileName, info.plainName);
  info.utf8Name = detail::Narrow(fd.cFileName);
  info.attributes = Attributes(fd.dwFileAttributes);
  info.size =
      (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : Size64(fd.nFileSizeHigh, fd.nFileSizeLow);
  info.modified = detail::FileTimeToUnix(fd.ftLastWriteTime);
  return info;
}

bool Attribs(const std::wstring& wide, WIN32_FILE_ATTRIBUTE_DATA& data) {
  if (::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return true;
  detail::SetLastErrorFromWin32();
  return false;
}

// Refuses a write that would carry a simulated removable disk past its capacity.
bool FitsOnDisk(const std::wstring& path, uint64_t currentSize, uint64_t newEnd) {
  if (newEnd <= currentSize || !detail::AnySimulatedDisk()) return true;
  auto disk = detail::SimulatedDiskFor(path);
  if (!disk) return true;
  uint64_t used = detail::WideFolderBytes(disk->root);
  uint64_t growth = newEnd - currentSize;
  if (used > disk->capacity || growth > disk->capacity - used) {
    SetLastError(ErrorCode::DiskFull);
    return false;
  }
  return true;
}

std::wstring FolderOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// Flushes a file's data before it takes another name. A file we may not open
// for writing has nothing of ours to flush.
void FlushByName(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  ::FlushFileBuffers(h);
  ::CloseHandle(h);
}

// True when some opener holds the file without letting it be deleted (the
// question MoveFileExW and DeleteFileW answer with "access denied" on some
// systems and "sharing violation" on others).
bool HeldOpen(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    ::CloseHandle(h);
    return false;
  }
  return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// The last error of a failed delete, move or replace, with an open file
// reported as a sharing violation.
void SetRemovalError(DWORD err, const std::wstring& a, const std::wstring& b = {}) {
  if (err == ERROR_ACCESS_DENIED && (HeldOpen(a) || (!b.empty() && HeldOpen(b)))) {
    SetLastError(ErrorCode::SharingViolation);
    return;
  }
  detail::SetLastErrorFromWin32(err);
}

bool SameFile(const std::wstring& a, const std::wstring& b) {
  auto identity = [](const std::wstring& p, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE h = ::CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
    return ok;
  };
  BY_HANDLE_FILE_INFORMATION x, y;
  return identity(a, x) && identity(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
         x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// A hidden, empty file with a unique name in `folder` for a copy under way.
bool CreateStagingFile(const std::wstring& folder, std::wstring& name) {
  wchar_t buf[MAX_PATH];
  if (::GetTempFileNameW(folder.c_str(), L"vel", 0, buf) == 0) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  name = buf;
  ::SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_HIDDEN);
  return true;
}

// Copies `from` beside `to`, flushes the copy and only then gives it the name
// `to` (replacing an existing `to`, or failing with AlreadyExists). On any
// failure only the staging copy is removed.
bool CopyIntoPlace(const std::wstring& from, const std::wstring& to, bool replace) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attribs(from, data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  if (!FitsOnDisk(to, 0, Size64(data.nFileSizeHigh, data.nFileSizeLow))) return false;
  std::wstring staging;
  if (!CreateStagingFile(FolderOf(to), staging)) return false;
  auto fail = [&](DWORD err) {
    ::SetFileAttributesW(staging.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(staging.c_str());
    if (err != ERROR_SUCCESS) detail::SetLastErrorFromWin32(err);
    return false;
  };
  // The staging file is hidden; CopyFileW onto a hidden file is refused, so
  // it is made plain for the copy.
  ::SetFileAttributesW(staging.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!::CopyFileW(from.c_str(), staging.c_str(), FALSE)) return fail(::GetLastError());
  ::SetFileAttributesW(staging.c_str(),
                       (data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_HIDDEN);
  FlushByName(staging);
  ::SetFileAttributesW(staging.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!::MoveFileExW(staging.c_str(), to.c_str(), flags)) {
    DWORD err = ::GetLastError();
    fail(ERROR_SUCCESS);
    SetRemovalError(err, to);
    return false;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
    ::SetFileAttributesW(to.c_str(), data.dwFileAttributes);
  return true;
}

// The refusals Windows gives a delete, move or replace target before trying:
// a folder or a read-only file.
bool TargetWritable(const std::wstring& wide) {
  DWORD a = ::GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return true;
  if (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  return true;
}

bool Move(const std::string& from, const std::string& to, bool replace) {
  std::wstring a = detail::WidePath(from), b = detail::WidePath(to);
  if (a.empty() || b.empty()) return false;
  if (::GetFileAttributesW(a.c_str()) == INVALID_FILE_ATTRIBUTES) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  bool sameFile = SameFile(a, b);  // a change of case only
  if (!sameFile && ::GetFileAttributesW(b.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (!replace) {
      SetLastError(ErrorCode::AlreadyExists);
      return false;
    }
    if (!TargetWritable(b)) return false;
  }
  // The data reaches the disk before the new name does.
  FlushByName(a);
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (::MoveFileExW(a.c_str(), b.c_str(), flags)) return true;
  DWORD err = ::GetLastError();
  if (err != ERROR_NOT_SAME_DEVICE) {
    SetRemovalError(err, a, replace ? b : std::wstring());
    return false;
  }
  // Another volume: copy beside the target, then remove the original once
  // the copy has its name.
  if (HeldOpen(a)) {
    SetLastError(ErrorCode::SharingViolation);
    return false;
  }
  if (!CopyIntoPlace(a, b, replace)) return false;
  if (!::DeleteFileW(a.c_str())) {
    SetRemovalError(::GetLastError(), a);
    return false;
  }
  return true;
}

}  // namespace

namespace detail {

int64_t FileTimeToUnix(const FILETIME& ft) {
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / 10000000ULL) - 11644473600LL;
}

FILETIME UnixToFileTime(int64_t unixSeconds) {
  uint64_t t = static_cast<uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(t);
  ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
  return ft;
}

uint64_t WideFolderBytes(const std::wstring& folder) {
  uint64_t total = 0;
  std::vector<std::wstring> pending{folder};
  for (int visited = 0; !pending.empty() && visited < 100000; ++visited) {
    std::wstring dir = pending.back();
    pending.pop_back();
    WIN32_FIND_DATAW fd;
    HANDLE h =
        ::FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE) continue;
    do {
      if (std::wcscmp(fd.cFileName, L".") == 0 || std::wcscmp(fd.cFileName, L"..") == 0) continue;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
          pending.push_back(dir + L"\\" + fd.cFileName);
      } else {
        total += Size64(fd.nFileSizeHigh, fd.nFileSizeLow);
      }
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
  }
  return total;
}

bool IsOpenElsewhere(const std::string& hostPath) { return HeldOpen(Widen(hostPath)); }

}  // namespace detail

File::File(intptr_t handle, std::string dosPath, std::string hostPath, Access access, Share share)
    : handle_(handle),
      dosPath_(std::move(dosPath)),
      hostPath_(std::move(hostPath)),
      access_(access),
      share_(share) {}

File::~File() {
  // Closing the handle drops the locks it holds.
  if (handle_ != 0) ::CloseHandle(H(handle_));
}

std::unique_ptr<File> File::HostOpen(const std::string& dosPath, Access access, Share share,
                                     Disposition disposition) {
  std::string full = GetFullPathName(dosPath);
  if (full.empty()) return nullptr;
  std::wstring wide = detail::WidePath(full);
  if (wide.empty()) return nullptr;
  // A read-only file refuses writers, whoever runs the program (the system
  // does so too, except for an administrator under some hosts, Wine among them).
  if (access != Access::Read && disposition != Disposition::CreateNew) {
    DWORD a = ::GetFileAttributesW(wide.c_str());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) && !(a & FILE_ATTRIBUTE_DIRECTORY)) {
      SetLastError(ErrorCode::AccessDenied);
      return nullptr;
    }
  }
  DWORD desired = access == Access::Read    ? GENERIC_READ
                  : access == Access::Write ? GENERIC_WRITE
                                            : GENERIC_READ | GENERIC_WRITE;
  // The share check comes first and CREATE_ALWAYS empties the file only after
  // it, so another opener's data is never cut.
  HANDLE h = ::CreateFileW(wide.c_str(), desired, ShareFlags(share), nullptr, CreationFlags(disposition),
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    // A folder named as a file, or a read-only file opened to write, is
    // "access denied"; an open file refused by its share mode a sharing
    // violation.
    detail::SetLastErrorFromWin32(err);
    return nullptr;
  }
  SetLastError(ErrorCode::None);
  std::string host = detail::Narrow(wide);
  return std::unique_ptr<File>(new File(reinterpret_cast<intptr_t>(h), full, host, access, share));
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
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
    OVERLAPPED ov = At(offset + done);
    DWORD n = 0;
    if (!::ReadFile(H(handle_), p + done, chunk, &n, &ov)) {
      DWORD err = ::GetLastError();
      if (err == ERROR_HANDLE_EOF) break;  // the short count tells the caller
      detail::SetLastErrorFromWin32(err);
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) break;
    done += n;
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
  if (detail::AnySimulatedDisk()) {
    // On a simulated removable disk a write that does not fit writes nothing.
    int64_t size = Size();
    if (size < 0) return -1;
    if (!FitsOnDisk(detail::Widen(hostPath_), static_cast<uint64_t>(size), offset + count)) return -1;
  }
  const char* p = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(count - done, 1u << 30));
    OVERLAPPED ov = At(offset + done);
    DWORD n = 0;
    if (!::WriteFile(H(handle_), p + done, chunk, &n, &ov)) {
      detail::SetLastErrorFromWin32();
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (n == 0) {
      SetLastError(ErrorCode::DiskFull);
      break;
    }
    done += n;
  }
  return static_cast<int64_t>(done);
}

int64_t File::Size() {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(H(handle_), &size)) {
    detail::SetLastErrorFromWin32();
    return -1;
  }
  return size.QuadPart;
}

bool File::HostFlush() {
  if (!::FlushFileBuffers(H(handle_))) {
    // A handle opened for reading has nothing to flush.
    if (::GetLastError() == ERROR_ACCESS_DENIED && access_ == Access::Read) return true;
    detail::SetLastErrorFromWin32();
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
  if (!FitsOnDisk(detail::Widen(hostPath_), static_cast<uint64_t>(current), size)) return false;
  FILE_END_OF_FILE_INFO eof;
  eof.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFileInformationByHandle(H(handle_), FileEndOfFileInfo, &eof, sizeof eof)) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  return true;
}

bool File::HostLockRange(uint64_t offset, uint64_t length) {
  if (length == 0) return true;  // an empty range locks nothing
  if (!RangeFits(offset, length)) {
    SetLastError(ErrorCode::LockViolation);
    return false;
  }
  // The system refuses an overlap with our own lock as well; asking first
  // keeps the answer independent of the file system.
  for (const auto& [o, l] : locks_) {
    if (offset < o + l && o < offset + length) {
      SetLastError(ErrorCode::LockViolation);
      return false;
    }
  }
  OVERLAPPED ov = At(offset);
  if (!::LockFileEx(H(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                    static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &ov)) {
    DWORD err = ::GetLastError();
    if (err == ERROR_IO_PENDING || err == ERROR_LOCK_VIOLATION || err == ERROR_LOCK_FAILED)
      SetLastError(ErrorCode::LockViolation);
    else
      detail::SetLastErrorFromWin32(err);
    return false;
  }
  locks_.emplace_back(offset, length);
  return true;
}

bool File::UnlockRange(uint64_t offset, uint64_t length) {
  if (length == 0) return true;
  for (auto it = locks_.begin(); it != locks_.end(); ++it) {
    if (it->first == offset && it->second == length) {
      OVERLAPPED ov = At(offset);
      if (!::UnlockFileEx(H(handle_), 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32), &ov)) {
        detail::SetLastErrorFromWin32();
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
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(H(handle_), &info)) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  if (info.nNumberOfLinks == 0) {
    SetLastError(ErrorCode::FileNotFound);
    return false;
  }
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = Size64(info.nFileIndexHigh, info.nFileIndexLow);
  return true;
}

bool File::GetModifiedTime(int64_t& unixSeconds) {
  FILETIME written;
  if (!::GetFileTime(H(handle_), nullptr, nullptr, &written)) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  unixSeconds = detail::FileTimeToUnix(written);
  return true;
}

bool File::SetModifiedTime(int64_t unixSeconds) {
  FILETIME written = detail::UnixToFileTime(unixSeconds);
  if (!::SetFileTime(H(handle_), nullptr, nullptr, &written)) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  return true;
}

bool FileExists(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  DWORD a = ::GetFileAttributesW(wide.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  DWORD a = ::GetFileAttributesW(wide.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t GetFileAttributes(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return kInvalidAttributes;
  DWORD a = ::GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    detail::SetLastErrorFromWin32();
    return kInvalidAttributes;
  }
  return Attributes(a);
}

bool SetFileAttributes(const std::string& dosPath, uint32_t attributes) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  if (!::SetFileAttributesW(wide.c_str(), attributes & ~(kAttrDirectory | kAttrVolumeId))) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  return true;
}

bool GetFileInfo(const std::string& dosPath, FileInfo& info) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  WIN32_FIND_DATAW fd;
  bool wild = wide.find_first_of(L"*?", wide.rfind(L'\\') == std::wstring::npos ? 0 : wide.rfind(L'\\')) !=
              std::wstring::npos;
  HANDLE h = wild ? INVALID_HANDLE_VALUE
                  : ::FindFirstFileExW(wide.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  if (h != INVALID_HANDLE_VALUE) {
    ::FindClose(h);
    info = InfoOf(fd);
    return true;
  }
  // A drive root has no directory entry of its own.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attribs(wide, data)) return false;
  info = FileInfo{};
  info.attributes = Attributes(data.dwFileAttributes);
  info.modified = detail::FileTimeToUnix(data.ftLastWriteTime);
  return true;
}

bool SetFileModifiedTime(const std::string& dosPath, int64_t unixSeconds) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  HANDLE h = ::CreateFileW(wide.c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  FILETIME written = detail::UnixToFileTime(unixSeconds);
  bool ok = ::SetFileTime(h, nullptr, nullptr, &written) != 0;
  if (!ok) detail::SetLastErrorFromWin32();
  ::CloseHandle(h);
  return ok;
}

namespace {
bool IdentityOf(const std::wstring& wide, FileIdentity& identity) {
  HANDLE h = ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = ::GetFileInformationByHandle(h, &info) != 0;
  if (!ok) detail::SetLastErrorFromWin32();
  ::CloseHandle(h);
  if (!ok) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.inode = Size64(info.nFileIndexHigh, info.nFileIndexLow);
  return true;
}
}  // namespace

bool GetFolderIdentity(const std::string& dosFolder, FileIdentity& identity) {
  std::wstring wide = detail::WidePath(dosFolder);
  if (wide.empty()) return false;
  DWORD a = ::GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  return IdentityOf(wide, identity);
}

bool GetFileIdentity(const std::string& dosPath, FileIdentity& identity) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  if (::GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  return IdentityOf(wide, identity);
}

bool detail::HostDeleteFile(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  DWORD a = ::GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  if (!TargetWritable(wide)) return false;
  if (!::DeleteFileW(wide.c_str())) {
    SetRemovalError(::GetLastError(), wide);
    return false;
  }
  return true;
}

bool detail::HostMoveFile(const std::string& from, const std::string& to) { return Move(from, to, false); }

bool detail::HostMoveFileReplace(const std::string& from, const std::string& to) {
  return Move(from, to, true);
}

bool detail::HostCopyFile(const std::string& from, const std::string& to, bool failIfExists) {
  std::wstring a = detail::WidePath(from), b = detail::WidePath(to);
  if (a.empty() || b.empty()) return false;
  DWORD target = ::GetFileAttributesW(b.c_str());
  if (target != INVALID_FILE_ATTRIBUTES) {
    if (failIfExists) {
      SetLastError(ErrorCode::AlreadyExists);
      return false;
    }
    if (SameFile(a, b)) {
      SetLastError(ErrorCode::SharingViolation);
      return false;  // copying a file onto itself would empty it
    }
    if (!TargetWritable(b)) return false;
    // Fail before the copy when the target is open; refused for real at the rename.
    if (HeldOpen(b)) {
      SetLastError(ErrorCode::SharingViolation);
      return false;
    }
  }
  return CopyIntoPlace(a, b, !failIfExists);
}

bool CreateDirectory(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  if (!::CreateDirectoryW(wide.c_str(), nullptr)) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  return true;
}

bool RemoveDirectory(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  if (!::RemoveDirectoryW(wide.c_str())) {
    DWORD err = ::GetLastError();
    detail::SetLastErrorFromWin32(err);
    if (err == ERROR_DIRECTORY) SetLastError(ErrorCode::InvalidName);
    return false;
  }
  return true;
}

bool ListDirectory(const std::string& dosFolder, std::vector<FileInfo>& entries) {
  entries.clear();
  std::wstring wide = detail::WidePath(dosFolder);
  if (wide.empty()) return false;
  DWORD a = ::GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  if (wide.back() != L'\\') wide += L'\\';
  WIN32_FIND_DATAW fd;
  HANDLE h =
      ::FindFirstFileExW((wide + L"*").c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr, 0);
  if (h == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_FILE_NOT_FOUND) return true;  // an empty drive root
    detail::SetLastErrorFromWin32();
    return false;
  }
  do {
    if (std::wcscmp(fd.cFileName, L".") == 0 || std::wcscmp(fd.cFileName, L"..") == 0) continue;
    entries.push_back(InfoOf(fd));
  } while (::FindNextFileW(h, &fd));
  ::FindClose(h);
  return true;
}

bool MoveToTrash(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  if (::GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  if (HeldOpen(wide)) {
    SetLastError(ErrorCode::SharingViolation);
    return false;
  }
  // The shell's delete with undo: the recycle bin. The list ends in two NULs.
  std::wstring from = wide;
  if (from.rfind(L"\\\\?\\", 0) == 0) from = from.substr(4);
  from.push_back(L'\0');
  from.push_back(L'\0');
  SHFILEOPSTRUCTW op{};
  op.wFunc = FO_DELETE;
  op.pFrom = from.c_str();
  op.fFlags = FOF_ALLOWUNDO | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
  int rc = ::SHFileOperationW(&op);
  if (rc != 0 || op.fAnyOperationsAborted) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  return true;
}

}  // namespace platform
