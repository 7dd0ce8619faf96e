// Volume queries on Windows: GetVolumeInformationW, GetDiskFreeSpaceExW and
// GetDriveTypeW on the root of the drive or network share, with the system's
// critical-error boxes suppressed (a drive without a disk answers "not
// ready" instead of asking the user). A letter substituted by MapDrive
// answers for the volume that holds its folder; one mapped as removable is
// a simulated disk (capacity, label and serial kept here), as on POSIX hosts.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/volume.h"

namespace platform {

namespace {

struct SimulatedDiskState {
  std::string label;
  std::optional<uint32_t> serial;
};

std::mutex gDisksMutex;
std::map<std::wstring, SimulatedDiskState>& Disks() {
  static std::map<std::wstring, SimulatedDiskState> disks;
  return disks;
}

uint32_t HashFolder(const std::wstring& s) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (wchar_t c : s) {
    h ^= static_cast<uint32_t>(c);
    h *= 16777619u;
  }
  return h;
}

// No "insert a disk" box from the system while a drive is asked about.
class QuietErrors {
 public:
  QuietErrors() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &old_); }
  ~QuietErrors() { ::SetThreadErrorMode(old_, nullptr); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  DWORD old_ = 0;
};

struct Target {
  std::wstring root;  // the volume root, ending in a backslash
  bool simulated = false;
  uint64_t capacity = 0;
  std::wstring folder;  // a simulated disk's folder
};

// The root of the volume a DOS path lies on; false (InvalidName, NotReady)
// when it has none.
bool FindTarget(const std::string& dosPath, Target& target) {
  std::string full = GetFullPathName(dosPath);
  if (full.empty()) return false;
  if (full.size() >= 2 && full[1] == ':') {
    std::optional<DriveMapping> m = GetDriveMapping(full[0]);
    if (m && m->removable) {
      target.simulated = true;
      target.capacity = m->capacity;
      target.folder = detail::Widen(m->hostRoot);
    }
  }
  std::wstring wide = detail::WidePath(full);
  if (wide.empty()) return false;
  if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0)
    wide = L"\\\\" + wide.substr(8);
  else if (wide.rfind(L"\\\\?\\", 0) == 0)
    wide = wide.substr(4);
  // The volume holding the deepest existing folder on the path (a folder may
  // be a mount point of another volume).
  wchar_t buf[MAX_PATH + 1];
  std::wstring probe = wide;
  while (true) {
    if (::GetVolumePathNameW(probe.c_str(), buf, MAX_PATH + 1)) {
      target.root = buf;
      break;
    }
    size_t slash = probe.find_last_of(L'\\');
    if (slash == std::wstring::npos || slash < 3) {
      target.root = wide.substr(0, 3);
      break;
    }
    probe = probe.substr(0, slash);
  }
  if (target.root.empty() || target.root.back() != L'\\') target.root += L'\\';
  return true;
}

DriveType TypeOf(UINT t) {
  switch (t) {
    case DRIVE_NO_ROOT_DIR:
      return DriveType::NoRootDir;
    case DRIVE_REMOVABLE:
      return DriveType::Removable;
    case DRIVE_FIXED:
      return DriveType::Fixed;
    case DRIVE_REMOTE:
      return DriveType::Remote;
    case DRIVE_CDROM:
      return DriveType::CdRom;
    case DRIVE_RAMDISK:
      return DriveType::RamDisk;
  }
  return DriveType::Unknown;
}

}  // namespace

bool GetVolumeInfo(const std::string& root, VolumeInfo& info) {
  info = VolumeInfo{};
  Target t;
  if (!FindTarget(root, t)) {
    info.type = DriveType::NoRootDir;
    return false;
  }
  QuietErrors quiet;
  if (t.simulated) {
    info.type = DriveType::Removable;
    DWORD a = ::GetFileAttributesW(t.folder.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      // A removable drive without its folder is a drive with no disk in it.
      SetLastError(ErrorCode::NotReady);
      return false;
    }
  } else {
    info.type = TypeOf(::GetDriveTypeW(t.root.c_str()));
    if (info.type == DriveType::NoRootDir) {
      SetLastError(ErrorCode::NotReady);
      return false;
    }
  }
  ULARGE_INTEGER freeToCaller, total, totalFree;
  if (!::GetDiskFreeSpaceExW(t.root.c_str(), &freeToCaller, &total, &totalFree)) {
    detail::SetLastErrorFromWin32();
    if (LastError() == ErrorCode::Io) SetLastError(ErrorCode::NotReady);
    return false;
  }
  wchar_t label[MAX_PATH + 1] = L"", fileSystem[MAX_PATH + 1] = L"";
  DWORD serial = 0, maxComponent = 0, flags = 0;
  if (!::GetVolumeInformationW(t.root.c_str(), label, MAX_PATH + 1, &serial, &maxComponent, &flags,
                               fileSystem, MAX_PATH + 1)) {
    detail::SetLastErrorFromWin32();
    return false;
  }
  info.ready = true;
  info.writeProtected = (flags & FILE_READ_ONLY_VOLUME) != 0;
  if (t.simulated) {
    uint64_t used = detail::WideFolderBytes(t.folder);
    info.totalBytes = t.capacity;
    info.freeBytes = used >= t.capacity ? 0 : t.capacity - used;
    if (info.freeBytes > freeToCaller.QuadPart) info.freeBytes = freeToCaller.QuadPart;
    info.fileSystem = "FAT";
    std::lock_guard<std::mutex> lock(gDisksMutex);
    SimulatedDiskState& disk = Disks()[t.folder];
    info.label = disk.label;
    info.serial = disk.serial ? *disk.serial : HashFolder(t.folder);
  } else {
    info.totalBytes = total.QuadPart;
    info.freeBytes = freeToCaller.QuadPart;
    info.label = Utf8ToDosName(detail::Narrow(label));
    info.serial = serial;
    info.fileSystem = detail::Narrow(fileSystem);
  }
  return true;
}

DriveType GetDriveType(const std::string& root) {
  Target t;
  if (!FindTarget(root, t)) return DriveType::NoRootDir;
  if (t.simulated) return DriveType::Removable;
  QuietErrors quiet;
  return TypeOf(::GetDriveTypeW(t.root.c_str()));
}

bool SetVolumeLabel(const std::string& root, const std::string& label) {
  Target t;
  if (!FindTarget(root, t)) return false;
  if (!t.simulated) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  std::lock_guard<std::mutex> lock(gDisksMutex);
  Disks()[t.folder].label = label;
  return true;
}

bool SetVolumeSerial(const std::string& root, uint32_t serial) {
  Target t;
  if (!FindTarget(root, t)) return false;
  if (!t.simulated) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  std::lock_guard<std::mutex> lock(gDisksMutex);
  Disks()[t.folder].serial = serial;
  return true;
}

}  // namespace platform
