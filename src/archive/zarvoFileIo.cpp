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

std::string HeaderNameFromStored(const std::string& storedName, bool translateOem, bool* utf8) {
  std::string s = storedName;
  for (char& c : s)
    if (c == '\\') c = '/';
  if (utf8) *utf8 = false;
  if (!translateOem) return s;
  std::string oem = platform::AnsiToOem(s);
  // A character the OEM page lacks would come back as "?": such a name goes
  // into the header in UTF-8 instead.
  if (platform::OemToAnsi(oem) == s) return oem;
  if (utf8) *utf8 = true;
  return platform::AnsiToUtf8(s);
}

std::string StoredNameFromHeader(const std::string& headerName, bool translateOem, bool utf8, bool* exact) {
  std::string s;
  if (exact) *exact = true;
  if (utf8) {
    s = platform::Utf8ToAnsi(headerName);
    if (exact && platform::AnsiToUtf8(s) != headerName) *exact = false;
  } else {
    s = translateOem ? platform::OemToAnsi(headerName) : headerName;
  }
  for (char& c : s)
    if (c == '/') c = '\\';
  return s;
}

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const uint8_t b = static_cast<uint8_t>(text[i]);
    size_t extra = b < 0x80                  ? 0
                   : (b >= 0xC2 && b < 0xE0) ? 1
                   : (b >= 0xE0 && b < 0xF0) ? 2
                   : (b >= 0xF0 && b < 0xF5) ? 3
                                             : 4;
    bool ok = extra < 4 && i + extra < text.size();
    uint32_t u = extra == 0 ? b : (b & (0x3F >> extra));
    for (size_t k = 1; ok && k <= extra; ++k) {
      const uint8_t c = static_cast<uint8_t>(text[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      u = (u << 6) | (c & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (u < kMin[extra] || u > 0x10FFFF || (u >= 0xD800 && u < 0xE000))) ok = false;
    if (ok) {
      out.append(text, i, extra + 1);
      i += extra + 1;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
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
