#include "archive/zarvoFileIo.h"

#include <cctype>
#include <cstdio>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/text.h"

namespace zarvo {

uint32_t DosDateTimeOf(int64_t unixSeconds) { return platform::UnixToDosDateTime(unixSeconds); }

std::string FormatDosDateTime(uint32_t dt) {
  unsigned date = dt >> 16, time = dt & 0xFFFF;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), (date >> 5) & 15,
                date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2);
  return buf;
}

std::string HeaderNameFromStored(const std::string& storedName, bool translateOem) {
  std::string s = storedName;
  for (char& c : s)
    if (c == '\\') c = '/';
  return translateOem ? platform::AnsiToOem(s) : s;
}

std::string StoredNameFromHeader(const std::string& headerName, bool translateOem) {
  std::string s = translateOem ? platform::OemToAnsi(headerName) : headerName;
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string ExtractFilePath(const std::string& path) {
  size_t p = path.find_last_of("\\:");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& path) {
  size_t p = path.find_last_of("\\:");
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string IncludeTrailingBackslash(const std::string& path) {
  if (!path.empty() && path.back() == '\\') return path;
  return path + "\\";
}

bool ForceDirectories(const std::string& dosFolder) {
  std::string dir = dosFolder;
  while (dir.size() > 1 && dir.back() == '\\') dir.pop_back();
  if (dir.empty()) return false;
  if (platform::DirectoryExists(dir)) return true;
  // A bare drive ("C:") or share root cannot be created.
  if (dir.size() == 2 && dir[1] == ':') return false;
  size_t cut = dir.find_last_of('\\');
  if (cut != std::string::npos && cut > 0) {
    std::string parent = dir.substr(0, cut);
    if (!(parent.size() == 2 && parent[1] == ':') && !ForceDirectories(parent)) return false;
  }
  return platform::CreateDirectory(dir) || platform::DirectoryExists(dir);
}

bool SameDrive(const std::string& a, const std::string& b) {
  if (a.find(':') == std::string::npos || b.find(':') == std::string::npos) return false;
  return std::toupper(static_cast<unsigned char>(a[0])) == std::toupper(static_cast<unsigned char>(b[0]));
}

}  // namespace zarvo
