// DOS paths on Windows: they are the system's own. Drive letters are the real
// ones; MapDrive substitutes a letter by a folder inside this process only
// (as "subst" does for a session), which is how tests get a scratch drive and
// how a simulated removable disk is made. Names are handed to the Unicode
// calls: the ANSI text of a DOS name is widened through the ANSI page, its
// escapes ("<E697A5E69CAC>") decoded to the characters they stand for.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <shlobj.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace platform {

namespace {

std::atomic<bool> gAnySimulated{false};

struct DriveMap {
  std::mutex mutex;
  std::array<std::optional<DriveMapping>, 26> drives;
  std::array<std::wstring, 26> wideRoots;  // the substitutes as wide native folders
};

DriveMap& Map() {
  static DriveMap map;
  return map;
}

void NoteSimulated(const DriveMap& map) {
  bool any = false;
  for (const auto& d : map.drives) any |= d && d->removable;
  gAnySimulated.store(any, std::memory_order_relaxed);
}

std::wstring FullWide(const std::wstring& path) {
  DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring out(n, L'\0');
  n = ::GetFullPathNameW(path.c_str(), n, out.data(), nullptr);
  out.resize(n);
  return out;
}

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// A native folder without its trailing separator, except at a drive root.
std::wstring TrimRoot(std::wstring root) {
  for (wchar_t& c : root)
    if (c == L'/') c = L'\\';
  while (root.size() > 3 && IsSep(root.back())) root.pop_back();
  if (root.size() == 2 && root[1] == L':') root += L'\\';
  return root;
}

std::wstring StripLongPrefix(std::wstring_view p) {
  if (p.substr(0, 8) == L"\\\\?\\UNC\\") return L"\\\\" + std::wstring(p.substr(8));
  if (p.substr(0, 4) == L"\\\\?\\") return std::wstring(p.substr(4));
  return std::wstring(p);
}

// Paths past the classic limit need the long-path prefix (which also turns
// off the system's own folding of "." and "..": ours has been done).
std::wstring WithLongPrefix(const std::wstring& p) {
  if (p.size() < 248) return p;
  if (p.size() >= 2 && p[0] == L'\\' && p[1] == L'\\') return L"\\\\?\\UNC\\" + p.substr(2);
  return L"\\\\?\\" + p;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::string EnvironmentValue(const wchar_t* name) {
  const wchar_t* v = ::_wgetenv(name);
  return v && *v ? detail::Narrow(v) : std::string();
}

}  // namespace

namespace detail {

std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                        nullptr);
  return out;
}

std::string DosNameOf(std::wstring_view wideName, bool& plain) {
  bool escaped = false;
  std::string name = DosForm(Narrow(wideName), true, escaped);
  plain = !escaped;
  return name;
}

std::wstring WidePath(const std::string& dosPath) {
  if (dosPath.find('\0') != std::string::npos) {
    SetLastError(ErrorCode::InvalidName);
    return {};
  }
  std::string full = GetFullPathName(dosPath);
  if (full.empty()) return {};
  std::wstring wide = Widen(DosNameToHost(full));
  if (full.size() >= 2 && full[1] == ':') {
    int index = LetterIndex(full[0]);
    DriveMap& map = Map();
    std::lock_guard<std::mutex> lock(map.mutex);
    if (index >= 0 && map.drives[index]) {
      std::wstring root = map.wideRoots[index];
      std::wstring rest = wide.substr(2);  // "\folder\name" or "\"
      while (!rest.empty() && IsSep(rest.front())) rest.erase(0, 1);
      if (!rest.empty()) {
        if (!IsSep(root.back())) root += L'\\';
        root += rest;
      }
      wide = root;
    }
  }
  return WithLongPrefix(wide);
}

std::string DosPathOf(std::wstring_view native) {
  std::wstring full = StripLongPrefix(FullWide(StripLongPrefix(native)));
  for (wchar_t& c : full)
    if (c == L'/') c = L'\\';
  // A substituted letter whose folder holds the path stands for it (the
  // longest such folder wins).
  std::wstring prefix;
  size_t rootLength = 0;
  {
    DriveMap& map = Map();
    std::lock_guard<std::mutex> lock(map.mutex);
    size_t best = 0;
    for (int i = 0; i < 26; ++i) {
      if (!map.drives[i]) continue;
      const std::wstring& root = map.wideRoots[i];
      size_t n = root.size();
      if (n > 0 && IsSep(root.back())) --n;
      bool under = full.size() >= n &&
                   EqualsIgnoringCase(std::wstring_view(full).substr(0, n), root.substr(0, n)) &&
                   (full.size() == n || IsSep(full[n]));
      if (under && n > best) {
        best = n;
        prefix = std::wstring(1, static_cast<wchar_t>(L'A' + i)) + L":";
        rootLength = n;
      }
    }
  }
  std::string out;
  std::wstring rest;
  if (!prefix.empty()) {
    out = Narrow(prefix);
    rest = full.substr(rootLength);
  } else if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\') {
    out = "\\\\";
    rest = full.substr(2);
  } else if (full.size() >= 2 && full[1] == L':') {
    out = Narrow(full.substr(0, 1));
    if (!out.empty() && out[0] >= 'a' && out[0] <= 'z') out[0] = static_cast<char>(out[0] - 32);
    out += ':';
    rest = full.substr(2);
  } else {
    rest = full;
  }
  // Each component in the DOS form; separators stay.
  size_t i = 0;
  while (i < rest.size()) {
    if (IsSep(rest[i])) {
      out += '\\';
      ++i;
      continue;
    }
    size_t j = i;
    while (j < rest.size() && !IsSep(rest[j])) ++j;
    bool plain;
    out += DosNameOf(std::wstring_view(rest).substr(i, j - i), plain);
    i = j;
  }
  if (out.size() == 2 && out[1] == ':') out += '\\';
  return out;
}

std::optional<SimulatedDisk> SimulatedDiskFor(const std::wstring& widePath) {
  if (!gAnySimulated.load(std::memory_order_relaxed)) return std::nullopt;
  std::wstring full = StripLongPrefix(widePath);
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  std::optional<SimulatedDisk> best;
  for (int i = 0; i < 26; ++i) {
    if (!map.drives[i] || !map.drives[i]->removable) continue;
    const std::wstring& root = map.wideRoots[i];
    size_t n = root.size();
    if (n > 0 && IsSep(root.back())) --n;
    bool under = full.size() >= n &&
                 EqualsIgnoringCase(std::wstring_view(full).substr(0, n), root.substr(0, n)) &&
                 (full.size() == n || IsSep(full[n]));
    if (under && (!best || root.size() > best->root.size()))
      best = SimulatedDisk{root, map.drives[i]->capacity};
  }
  return best;
}

bool AnySimulatedDisk() { return gAnySimulated.load(std::memory_order_relaxed); }

}  // namespace detail

void MapDrive(char letter, const DriveMapping& mapping) {
  int index = detail::LetterIndex(letter);
  if (index < 0) return;
  DriveMapping m = mapping;
  std::wstring root = TrimRoot(FullWide(detail::Widen(m.hostRoot.empty() ? "C:\\" : m.hostRoot)));
  m.hostRoot = detail::Narrow(root);
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  map.drives[index] = m;
  map.wideRoots[index] = root;
  NoteSimulated(map);
}

void UnmapDrive(char letter) {
  int index = detail::LetterIndex(letter);
  if (index < 0) return;
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  map.drives[index].reset();
  map.wideRoots[index].clear();
  NoteSimulated(map);
}

std::optional<DriveMapping> GetDriveMapping(char letter) {
  int index = detail::LetterIndex(letter);
  if (index < 0) return std::nullopt;
  {
    DriveMap& map = Map();
    std::lock_guard<std::mutex> lock(map.mutex);
    if (map.drives[index]) return map.drives[index];
  }
  // A real drive is its own root.
  if ((::GetLogicalDrives() & (1u << index)) == 0) return std::nullopt;
  DriveMapping m;
  m.hostRoot = std::string(1, static_cast<char>('A' + index)) + ":\\";
  return m;
}

void ResetDriveMap() {
  DriveMap& map = Map();
  std::lock_guard<std::mutex> lock(map.mutex);
  for (auto& d : map.drives) d.reset();
  for (auto& r : map.wideRoots) r.clear();
  NoteSimulated(map);
}

std::string ToHostPath(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return "";
  return detail::Narrow(StripLongPrefix(wide));
}

std::string ToDosPath(const std::string& hostPath) {
  if (hostPath.empty()) {
    SetLastError(ErrorCode::InvalidName);
    return "";
  }
  return detail::DosPathOf(detail::Widen(hostPath));
}

std::string GetCurrentDirectory() {
  DWORD n = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring buf(n, L'\0');
  n = ::GetCurrentDirectoryW(n, buf.data());
  buf.resize(n);
  return detail::DosPathOf(buf);
}

bool SetCurrentDirectory(const std::string& dosPath) {
  std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty()) return false;
  if (!::SetCurrentDirectoryW(wide.c_str())) {
    detail::SetLastErrorFromWin32();
    if (LastError() == ErrorCode::FileNotFound) SetLastError(ErrorCode::PathNotFound);
    return false;
  }
  return true;
}

std::string ArgumentToDosPath(const std::string& argument) {
  // Host paths and DOS paths are one kind here; a relative name is completed
  // from the current folder, as the shell would.
  if (argument.empty()) return "";
  return detail::DosPathOf(detail::Widen(argument));
}

std::string DesktopDirectory() {
  wchar_t buf[MAX_PATH];
  if (::SHGetFolderPathW(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, buf) != S_OK) {
    SetLastError(ErrorCode::PathNotFound);
    return "";
  }
  return detail::DosPathOf(buf);
}

std::string ExecutablePath() {
  std::wstring buf(MAX_PATH, L'\0');
  while (true) {
    DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) {
      detail::SetLastErrorFromWin32();
      return "";
    }
    if (n < buf.size()) {
      buf.resize(n);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  return detail::DosPathOf(buf);
}

std::string WindowsDirectory() {
  // VELUPDATE_WINDIR lets an administrator (or a test) keep keldor.cfg
  // elsewhere; otherwise it is the system's Windows folder.
  std::string env = EnvironmentValue(L"VELUPDATE_WINDIR");
  if (!env.empty()) return ToDosPath(env);
  wchar_t buf[MAX_PATH];
  UINT n = ::GetWindowsDirectoryW(buf, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    detail::SetLastErrorFromWin32();
    return "";
  }
  return detail::DosPathOf(std::wstring_view(buf, n));
}

std::string GetTempPath() {
  wchar_t buf[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH) {
    detail::SetLastErrorFromWin32();
    return "";
  }
  std::string dos = detail::DosPathOf(std::wstring_view(buf, n));
  if (!dos.empty() && dos.back() != '\\') dos += '\\';
  return dos;
}

std::string GetTempFileName(const std::string& dosFolder, const std::string& prefix) {
  std::wstring folder = detail::WidePath(dosFolder);
  if (folder.empty()) return "";
  DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    SetLastError(ErrorCode::PathNotFound);
    return "";
  }
  // The system takes the first three characters of the prefix, a hexadecimal
  // number and ".tmp", and creates the file empty.
  std::wstring pre = detail::Widen(DosNameToUtf8(prefix.substr(0, 3)));
  wchar_t buf[MAX_PATH];
  if (::GetTempFileNameW(folder.c_str(), pre.c_str(), 0, buf) == 0) {
    detail::SetLastErrorFromWin32();
    return "";
  }
  // The name as the caller wrote the folder (a substituted letter stays).
  std::string full = GetFullPathName(dosFolder);
  if (!full.empty() && full.back() != '\\') full += '\\';
  std::wstring_view made(buf);
  size_t slash = made.find_last_of(L"\\/");
  bool plain;
  return full + detail::DosNameOf(made.substr(slash == std::wstring_view::npos ? 0 : slash + 1), plain);
}

}  // namespace platform
