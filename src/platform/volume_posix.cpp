#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/volume.h"

namespace platform {

namespace detail {

namespace {
uint64_t FolderBytesAt(const std::string& folder, int depth) {
  if (depth > 64) return 0;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  uint64_t total = 0;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string path = JoinHost(folder, name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode))
      total += static_cast<uint64_t>(st.st_size);
    else if (S_ISDIR(st.st_mode))
      total += FolderBytesAt(path, depth + 1);
  }
  ::closedir(dir);
  return total;
}

bool UnderRoot(const std::string& path, const std::string& root) {
  if (root == "/") return !path.empty() && path[0] == '/';
  return path == root ||
         (path.size() > root.size() && path.compare(0, root.size(), root) == 0 && path[root.size()] == '/');
}
}  // namespace

uint64_t FolderBytes(const std::string& hostFolder) { return FolderBytesAt(hostFolder, 0); }

std::optional<RemovableDisk> RemovableDiskFor(const std::string& hostPath) {
  std::optional<RemovableDisk> best;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::optional<DriveMapping> m = GetDriveMapping(letter);
    if (!m || !m->removable || !UnderRoot(hostPath, m->hostRoot)) continue;
    if (!best || m->hostRoot.size() > best->hostRoot.size()) best = RemovableDisk{m->hostRoot, m->capacity};
  }
  return best;
}

}  // namespace detail

namespace {

// Label and serial number of the simulated disks, per host folder.
struct SimulatedDisk {
  std::string label;
  std::optional<uint32_t> serial;
};

std::mutex gDisksMutex;
std::map<std::string, SimulatedDisk>& Disks() {
  static std::map<std::string, SimulatedDisk> disks;
  return disks;
}

uint32_t HashFolder(const std::string& s) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : s) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

struct Target {
  std::string hostRoot;
  bool removable = false;
  bool remote = false;
  uint64_t capacity = 0;
};

// The drive a DOS path lies on; false (NotReady) when its letter is not mapped.
bool FindTarget(const std::string& root, Target& target) {
  std::string full = GetFullPathName(root);
  if (full.size() >= 2 && full[0] == '\\' && full[1] == '\\') {
    size_t server = full.find('\\', 2);
    size_t share = server == std::string::npos ? std::string::npos : full.find('\\', server + 1);
    target.hostRoot = ToHostPath(share == std::string::npos ? full : full.substr(0, share));
    target.remote = true;
    return !target.hostRoot.empty();
  }
  if (full.size() < 2 || full[1] != ':') {
    SetLastError(ErrorCode::InvalidName);
    return false;
  }
  std::optional<DriveMapping> m = GetDriveMapping(full[0]);
  if (!m) {
    SetLastError(ErrorCode::NotReady);
    return false;
  }
  target.hostRoot = m->hostRoot;
  target.removable = m->removable;
  target.capacity = m->capacity;
  return true;
}

bool IsFolder(const std::string& host) {
  struct stat st;
  return ::stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      out += static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) | (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The type of the file system holding a host folder, from the mount table.
std::string FileSystemOf(const std::string& host) {
  char resolved[PATH_MAX];
  std::string path = ::realpath(host.c_str(), resolved) ? resolved : host;
  std::ifstream mounts("/proc/mounts");
  std::string line, best, bestType;
  while (std::getline(mounts, line)) {
    std::istringstream in(line);
    std::string device, point, type;
    if (!(in >> device >> point >> type)) continue;
    point = Unescape(point);
    bool under = point == "/" || path == point ||
                 (path.size() > point.size() && path.compare(0, point.size(), point) == 0 &&
                  path[point.size()] == '/');
    if (under && point.size() >= best.size()) {
      best = point;
      bestType = type;
    }
  }
  return bestType.empty() ? "ext4" : bestType;
}

// The folder a query is about: the deepest existing folder on the path given,
// not above the drive's root.
std::string QueriedFolder(const std::string& path, const std::string& hostRoot) {
  std::string host = ToHostPath(path);
  if (host.empty()) return hostRoot;
  while (host.size() > hostRoot.size() && !IsFolder(host)) host = detail::HostDirName(host);
  return host.size() >= hostRoot.size() && IsFolder(host) ? host : hostRoot;
}

// Write protection is a property of the volume: a read-only mount. A folder
// the user may not write to (the host root "/" behind Z:) is a matter of
// access rights, reported as "access denied" when a file is created there.
// Nothing is created to find out.
bool IsWriteProtected(const std::string& hostFolder, const struct statvfs& vfs) {
  if ((vfs.f_flag & ST_RDONLY) != 0) return true;
  return ::access(hostFolder.c_str(), W_OK) != 0 && errno == EROFS;
}

}  // namespace

bool GetVolumeInfo(const std::string& root, VolumeInfo& info) {
  info = VolumeInfo{};
  Target t;
  if (!FindTarget(root, t)) {
    info.type = DriveType::NoRootDir;
    return false;
  }
  info.type = t.remote ? DriveType::Remote : t.removable ? DriveType::Removable : DriveType::Fixed;
  if (!IsFolder(t.hostRoot)) {
    // A removable drive without its folder is a drive with no disk in it.
    if (!t.removable) info.type = DriveType::NoRootDir;
    SetLastError(ErrorCode::NotReady);
    return false;
  }
  // The figures are those of the file system holding the folder asked about:
  // one drive letter may span several host file systems.
  std::string folder = t.remote ? t.hostRoot : QueriedFolder(root, t.hostRoot);
  struct statvfs vfs;
  if (::statvfs(folder.c_str(), &vfs) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  info.ready = true;
  uint64_t hostTotal = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
  uint64_t hostFree = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  info.writeProtected = IsWriteProtected(folder, vfs);
  if (t.removable) {
    uint64_t used = detail::FolderBytes(t.hostRoot);
    info.totalBytes = t.capacity;
    info.freeBytes = used >= t.capacity ? 0 : t.capacity - used;
    if (info.freeBytes > hostFree) info.freeBytes = hostFree;
    info.fileSystem = "FAT";
    std::lock_guard<std::mutex> lock(gDisksMutex);
    SimulatedDisk& disk = Disks()[t.hostRoot];
    info.label = disk.label;
    info.serial = disk.serial ? *disk.serial : HashFolder(t.hostRoot);
  } else {
    info.totalBytes = hostTotal;
    info.freeBytes = hostFree;
    info.fileSystem = FileSystemOf(folder);
    uint64_t fsid = static_cast<uint64_t>(vfs.f_fsid);
    info.serial = static_cast<uint32_t>(fsid ^ (fsid >> 32));
  }
  return true;
}

DriveType GetDriveType(const std::string& root) {
  VolumeInfo info;
  GetVolumeInfo(root, info);
  return info.type;
}

bool SetVolumeLabel(const std::string& root, const std::string& label) {
  Target t;
  if (!FindTarget(root, t)) return false;
  if (!t.removable) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  std::lock_guard<std::mutex> lock(gDisksMutex);
  Disks()[t.hostRoot].label = label;
  return true;
}

bool SetVolumeSerial(const std::string& root, uint32_t serial) {
  Target t;
  if (!FindTarget(root, t)) return false;
  if (!t.removable) {
    SetLastError(ErrorCode::AccessDenied);
    return false;
  }
  std::lock_guard<std::mutex> lock(gDisksMutex);
  Disks()[t.hostRoot].serial = serial;
  return true;
}

}  // namespace platform
