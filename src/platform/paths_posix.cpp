#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace platform {

namespace {
// Set while any letter is a simulated removable disk, so that writes elsewhere
// skip the capacity check without taking the lock.
std::atomic<bool> gAnyRemovable{false};
}  // namespace

namespace detail {

namespace {
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string XdgFolder(const char* variable, const char* fallback) {
  const char* v = std::getenv(variable);
  if (v && v[0] == '/') return v;  // relative values are to be ignored
  return JoinHost(HomeFolder(), fallback);
}
}  // namespace

bool AnyRemovableDrive() { return gAnyRemovable.load(std::memory_order_relaxed); }

std::string DataHome() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }
std::string ConfigHome() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }
std::string UncBase() { return DataHome() + "/velupdate/unc"; }

std::string JoinHost(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string HostBaseName(const std::string& hostPath) {
  size_t end = hostPath.size();
  while (end > 1 && hostPath[end - 1] == '/') --end;
  size_t slash = hostPath.rfind('/', end - 1);
  if (slash == std::string::npos) return hostPath.substr(0, end);
  if (end == 1 && slash == 0) return "";
  return hostPath.substr(slash + 1, end - slash - 1);
}

std::string HostDirName(const std::string& hostPath) {
  size_t end = hostPath.size();
  while (end > 1 && hostPath[end - 1] == '/') --end;
  size_t slash = hostPath.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return hostPath.substr(0, slash);
}

}  // namespace detail

namespace {

using detail::DosForm;
using detail::IsDriveLetter;
using detail::LetterIndex;
using detail::SplitDos;
using detail::StrictDosForm;

// The context-free DOS form of a host entry, as lookups compare it; plain
// ASCII names are their own form.
std::string MatchForm(const char* hostName) {
  bool plain = true;
  for (const char* p = hostName; *p && plain; ++p)
    plain = static_cast<unsigned char>(*p) < 0x80 && *p != '\\';
  if (plain) return hostName;
  return HostNameToDos(hostName);
}

}  // namespace

namespace detail {

std::string ListedName(const std::string& hostFolder, const std::string& hostName, bool& plain) {
  bool escaped;
  std::string name = DosForm(hostName, true, escaped);
  plain = !escaped;
  std::string back = DosNameToHost(name);
  if (back != hostName) {
    // The name would be read as `back`; when that entry exists, this one
    // needs a form of its own.
    struct stat st;
    if (::lstat(JoinHost(hostFolder, back).c_str(), &st) == 0) {
      name = StrictDosForm(hostName);
      plain = false;
    }
  }
  return name;
}

}  // namespace detail

namespace {

using detail::JoinHost;

// Lexically folds "//", "." and ".." of an absolute host path.
std::string NormalizeHost(const std::string& path) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string part = path.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string HostCwd() {
  std::vector<char> buf(4096);
  while (true) {
    if (::getcwd(buf.data(), buf.size())) return buf.data();
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
}

std::string MakeAbsoluteHost(const std::string& path) {
  if (!path.empty() && path[0] == '/') return NormalizeHost(path);
  return NormalizeHost(HostCwd() + "/" + path);
}

struct DriveMap {
  std::mutex mutex;
  bool loaded = false;
  std::array<std::optional<DriveMapping>, 26> drives;
};

void NoteRemovable(const DriveMap& map) {
  bool any = false;
  for (const auto& d : map.drives) any |= d && d->removable;
  gAnyRemovable.store(any, std::memory_order_relaxed);
}

DriveMap& Map() {
  static DriveMap map;
  return map;
}

bool ParseMappingText(const std::string& text, DriveMapping& mapping) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (true) {
    size_t j = text.find(';', i);
    fields.push_back(text.substr(i, j == std::string::npos ? std::string::npos : j - i));
    if (j == std::string::npos) break;
    i = j + 1;
  }
  if (fields.empty() || fields[0].empty()) return false;
  mapping.hostRoot = MakeAbsoluteHost(fields[0]);
  for (size_t k = 1; k < fields.size(); ++k) {
    const std::string& f = fields[k];
    if (CompareTextAscii(f, "removable") == 0) {
      mapping.removable = true;
    } else if (f.size() > 9 && CompareTextAscii(f.substr(0, 9), "capacity=") == 0) {
      mapping.capacity = std::strtoull(f.c_str() + 9, nullptr, 10);
    }
  }
  return true;
}

void LoadDefaults(DriveMap& map) {
  for (auto& d : map.drives) d.reset();
  DriveMapping c;
  c.hostRoot = detail::DataHome() + "/velupdate/drive_c";
  map.drives['C' - 'A'] = c;
  DriveMapping z;
  z.hostRoot = "/";
  map.drives['Z' - 'A'] = z;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    std::string name = std::string("VELUPDATE_DRIVE_") + letter;
    const char* value = std::getenv(name.c_str());
    if (!value) continue;
    DriveMapping m;
    if (ParseMappingText(value, m))
      map.drives[letter - 'A'] = m;
    else
      map.drives[letter - 'A'].reset();  // an empty value removes the letter
  }
  map.loaded = true;
  NoteRemovable(map);
}

std::array<std::optional<DriveMapping>, 26> Snapshot() {
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  if (!map.loaded) LoadDefaults(map);
  return map.drives;
}

// A full DOS path split into its root ("C:" or "\\server\share" parts) and the
// folders below it.
struct DosParts {
  bool unc = false;
  char letter = 0;                      // drive paths
  std::vector<std::string> components;  // for UNC names: server, share, then the rest
};

bool ParseFull(const std::string& full, DosParts& parts) {
  if (full.size() >= 2 && full[0] == '\\' && full[1] == '\\') {
    parts.unc = true;
    parts.components = SplitDos(full.substr(2));
    return !parts.components.empty();
  }
  if (full.size() >= 2 && IsDriveLetter(full[0]) && full[1] == ':') {
    parts.letter = static_cast<char>(LetterIndex(full[0]) + 'A');
    parts.components = SplitDos(full.substr(2));
    return true;
  }
  return false;
}

// Looks `dosName` up in `folder`: the host name it stands for first, then the
// entries whose DOS form equals it, then those equal to it ignoring ASCII
// case (the first by host bytes when there are several).
struct Match {
  std::string path;  // the entry found, or the name as written when none
  bool found = false;
  bool ambiguous = false;
};

Match FindEntry(const std::string& folder, const std::string& dosName) {
  Match m;
  m.path = JoinHost(folder, DosNameToHost(dosName));
  struct stat st;
  if (::lstat(m.path.c_str(), &st) == 0) {
    m.found = true;
    return m;
  }
  if (errno != ENOENT) return m;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return m;
  std::string exact, loose;
  int looseCount = 0;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
      continue;
    std::string form = MatchForm(e->d_name);
    if (form == dosName) {
      if (exact.empty() || std::string_view(e->d_name) < exact) exact = e->d_name;
    } else if (CompareTextAscii(form, dosName) == 0) {
      ++looseCount;
      if (loose.empty() || std::string_view(e->d_name) < loose) loose = e->d_name;
    }
  }
  ::closedir(dir);
  if (!exact.empty()) {
    m.path = JoinHost(folder, exact);
    m.found = true;
  } else if (looseCount > 0) {
    m.path = JoinHost(folder, loose);
    m.found = true;
    m.ambiguous = looseCount > 1;
  }
  return m;
}

detail::ResolvedPath Resolve(const std::string& root, const std::vector<std::string>& components) {
  detail::ResolvedPath r;
  r.host = root;
  r.found = true;  // the root itself
  bool searching = true;
  for (const std::string& comp : components) {
    if (searching) {
      Match m = FindEntry(r.host, comp);
      r.host = m.path;
      r.found = m.found;
      r.ambiguous = m.ambiguous;
      searching = m.found;  // nothing below a missing folder can exist
      continue;
    }
    r.host = JoinHost(r.host, DosNameToHost(comp));
    r.found = false;
    r.ambiguous = false;
  }
  return r;
}

// The DOS form of the host components in `tail` ("a/b/c"), below `base`.
std::string DosTail(const std::string& base, const std::string& tail) {
  std::string out, folder = base;
  size_t i = 0;
  while (i < tail.size()) {
    size_t j = tail.find('/', i);
    if (j == std::string::npos) j = tail.size();
    if (j > i) {
      std::string comp = tail.substr(i, j - i);
      bool plain;
      if (!out.empty()) out += '\\';
      out += detail::ListedName(folder, comp, plain);
      folder = JoinHost(folder, comp);
    }
    i = j + 1;
  }
  return out;
}

}  // namespace

void MapDrive(char letter, const DriveMapping& mapping) {
  int index = LetterIndex(letter);
  if (index < 0) return;
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  if (!map.loaded) LoadDefaults(map);
  DriveMapping m = mapping;
  m.hostRoot = MakeAbsoluteHost(m.hostRoot.empty() ? "/" : m.hostRoot);
  map.drives[index] = m;
  NoteRemovable(map);
}

void UnmapDrive(char letter) {
  int index = LetterIndex(letter);
  if (index < 0) return;
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  if (!map.loaded) LoadDefaults(map);
  map.drives[index].reset();
  NoteRemovable(map);
}

std::optional<DriveMapping> GetDriveMapping(char letter) {
  int index = LetterIndex(letter);
  if (index < 0) return std::nullopt;
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  if (!map.loaded) LoadDefaults(map);
  return map.drives[index];
}

void ResetDriveMap() {
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  LoadDefaults(map);
}

namespace detail {

bool ResolvePath(const std::string& dosPath, ResolvedPath& out) {
  out = ResolvedPath{};
  if (dosPath.find('\0') != std::string::npos) {
    SetLastError(ErrorCode::InvalidName);
    return false;
  }
  std::string full = GetFullPathName(dosPath);
  DosParts parts;
  if (full.empty() || !ParseFull(full, parts)) {
    SetLastError(ErrorCode::InvalidName);
    return false;
  }
  if (parts.unc) {
    out = Resolve(UncBase(), parts.components);
    return true;
  }
  std::optional<DriveMapping> mapping = GetDriveMapping(parts.letter);
  if (!mapping) {
    SetLastError(ErrorCode::NotReady);
    return false;
  }
  out = Resolve(mapping->hostRoot, parts.components);
  return true;
}

}  // namespace detail

std::string ToHostPath(const std::string& dosPath) {
  detail::ResolvedPath r;
  if (!detail::ResolvePath(dosPath, r)) return "";
  return r.host;
}

std::string ToDosPath(const std::string& hostPath) {
  std::string host = MakeAbsoluteHost(hostPath);
  auto drives = Snapshot();
  int best = -1;
  size_t bestLength = 0;
  for (int i = 0; i < 26; ++i) {
    if (!drives[i]) continue;
    const std::string& root = drives[i]->hostRoot;
    bool match =
        root == "/" || host == root ||
        (host.size() > root.size() && host.compare(0, root.size(), root) == 0 && host[root.size()] == '/');
    size_t length = root == "/" ? 0 : root.size();
    if (match && (best < 0 || length > bestLength)) {
      best = i;
      bestLength = length;
    }
  }
  // \\server\share names live below the UNC folder.
  std::string unc = detail::UncBase();
  if (host.size() > unc.size() + 1 && host.compare(0, unc.size(), unc) == 0 && host[unc.size()] == '/') {
    std::string rest = host.substr(unc.size() + 1);
    size_t serverEnd = rest.find('/');
    if (serverEnd != std::string::npos && serverEnd + 1 < rest.size()) {
      size_t shareEnd = rest.find('/', serverEnd + 1);
      size_t length = unc.size() + 1 + (shareEnd == std::string::npos ? rest.size() : shareEnd);
      if (best < 0 || length > bestLength) return "\\\\" + DosTail(unc, rest);
    }
  }
  if (best < 0) {
    SetLastError(ErrorCode::NotReady);
    return "";
  }
  std::string rest = host.substr(bestLength);
  while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  std::string base = bestLength == 0 ? "/" : host.substr(0, bestLength);
  return std::string(1, static_cast<char>('A' + best)) + ":\\" + DosTail(base, rest);
}

std::string GetCurrentDirectory() {
  std::string dos = ToDosPath(HostCwd());
  // A drive root keeps its backslash ("C:\"); a folder has none.
  return dos;
}

bool SetCurrentDirectory(const std::string& dosPath) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  if (::chdir(host.c_str()) != 0) {
    detail::SetLastErrorForPath(errno, host);
    if (LastError() == ErrorCode::FileNotFound) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  return true;
}

std::string ExecutablePath() {
  std::vector<char> buf(4096);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) {
    SetLastErrorFromErrno(errno);
    return "";
  }
  return ToDosPath(std::string(buf.data(), static_cast<size_t>(n)));
}

std::string ArgumentToDosPath(const std::string& argument) {
  bool dos = (argument.size() >= 2 && argument[1] == ':') || argument.rfind("\\\\", 0) == 0;
  if (dos) return Utf8ToAnsi(argument);
  std::string host = argument;
  if (host.empty() || host[0] != '/') host = HostCwd() + "/" + host;
  return ToDosPath(host);
}

std::string DesktopDirectory() {
  const char* xdg = std::getenv("XDG_DESKTOP_DIR");
  const char* home = std::getenv("HOME");
  std::string host = xdg && *xdg ? xdg : std::string(home ? home : "") + "/Desktop";
  return ToDosPath(host);
}

std::string WindowsDirectory() {
  const char* env = std::getenv("VELUPDATE_WINDIR");
  std::string host = env && *env ? std::string(env) : detail::ConfigHome() + "/velupdate";
  return ToDosPath(host);
}

std::string GetTempPath() {
  const char* env = std::getenv("TMPDIR");
  std::string host = env && *env ? std::string(env) : "/tmp";
  std::string dos = ToDosPath(host);
  if (!dos.empty() && dos.back() != '\\') dos += '\\';
  return dos;
}

std::string GetTempFileName(const std::string& dosFolder, const std::string& prefix) {
  std::string folder = GetFullPathName(dosFolder);
  if (folder.empty()) return "";
  if (folder.back() != '\\') folder += '\\';
  std::string hostFolder = ToHostPath(folder);
  if (hostFolder.empty()) return "";
  struct stat st;
  if (::stat(hostFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ErrorCode::PathNotFound);
    return "";
  }
  std::string pre = prefix.substr(0, 3);
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  unsigned start = static_cast<unsigned>(ts.tv_nsec / 1000 ^ ::getpid() ^ ts.tv_sec) & 0xFFFF;
  for (unsigned attempt = 0; attempt < 0xFFFF; ++attempt) {
    unsigned number = (start + attempt) % 0xFFFF + 1;
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", number);
    std::string dos = folder + pre + hex + ".tmp";
    std::string host = ToHostPath(dos);  // finds a case variant, which counts as taken
    if (host.empty()) return "";
    int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return dos;
    }
    if (errno != EEXIST) {
      detail::SetLastErrorForPath(errno, host);
      return "";
    }
  }
  SetLastError(ErrorCode::AlreadyExists);
  return "";
}

}  // namespace platform