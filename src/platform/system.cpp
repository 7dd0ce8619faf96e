#include "platform/system.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/text.h"

namespace platform {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return s.substr(b, e - b);
}

}  // namespace

uint32_t UnixToDosDateTime(int64_t unixSeconds) {
  LocalTime t = ToLocalTime(unixSeconds);
  if (t.year < 1980) return (((0u << 9) | (1u << 5) | 1u) << 16);
  if (t.year > 2107) {
    t = LocalTime{2107, 12, 31, 23, 59, 58, 0, 0};
  }
  uint32_t date = (static_cast<uint32_t>(t.year - 1980) << 9) | (static_cast<uint32_t>(t.month) << 5) |
                  static_cast<uint32_t>(t.day);
  uint32_t time = (static_cast<uint32_t>(t.hour) << 11) | (static_cast<uint32_t>(t.minute) << 5) |
                  static_cast<uint32_t>(t.second / 2);
  return (date << 16) | time;
}

int64_t DosDateTimeToUnix(uint32_t dosDateTime) {
  uint32_t date = dosDateTime >> 16, time = dosDateTime & 0xFFFF;
  LocalTime t;
  t.year = static_cast<int>((date >> 9) & 0x7F) + 1980;
  t.month = static_cast<int>((date >> 5) & 0x0F);
  t.day = static_cast<int>(date & 0x1F);
  t.hour = static_cast<int>((time >> 11) & 0x1F);
  t.minute = static_cast<int>((time >> 5) & 0x3F);
  t.second = static_cast<int>(time & 0x1F) * 2;
  // Out-of-range fields (month 0, day 0, hour 31) are clamped rather than rolled over.
  if (t.month < 1) t.month = 1;
  if (t.month > 12) t.month = 12;
  if (t.day < 1) t.day = 1;
  if (t.hour > 23) t.hour = 23;
  if (t.minute > 59) t.minute = 59;
  if (t.second > 59) t.second = 59;
  return FromLocalTime(t);
}

IniFile::IniFile(const std::string& dosPath) : fileName_(dosPath) {
  std::string text;
  // A profile file is small; refuse to swallow a disk.
  if (!detail::ReadWholeFile(dosPath, text, 64u << 20)) return;

  // Editors of today save profile files in UTF-8, often with a byte-order
  // mark; the program reads ANSI text. A file that is not valid UTF-8 is
  // taken to be ANSI already (what older editors wrote).
  bool bom = text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0;
  if (bom) text.erase(0, 3);
  if (bom || IsValidUtf8(text)) text = Utf8ToDosName(text);

  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      std::string name = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      sections_.push_back(name);
      inSection = true;
      continue;
    }
    if (!inSection) continue;  // keys before the first section belong to none
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    // A value in matching quotes loses them.
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0])
      value = value.substr(1, value.size() - 2);
    if (key.empty()) continue;
    entries_.push_back(Entry{sections_.back(), key, value, sections_.size() - 1});
  }
}

namespace {
// The first section of that name; later sections of the same name are not seen.
long FirstSection(const std::vector<std::string>& sections, const std::string& name) {
  for (size_t i = 0; i < sections.size(); ++i)
    if (CompareTextAscii(sections[i], name) == 0) return static_cast<long>(i);
  return -1;
}
}  // namespace

std::string IniFile::ReadString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const {
  long index = FirstSection(sections_, Trim(section));
  if (index < 0) return defaultValue;
  std::string k = Trim(key);
  for (const Entry& e : entries_)
    if (static_cast<long>(e.sectionIndex) == index && CompareTextAscii(e.key, k) == 0) return e.value;
  return defaultValue;
}

int IniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const {
  std::string s = ReadString(section, key, "");
  if (s.empty()) return defaultValue;
  const char* p = s.c_str();
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  int base = 10;
  if (*p == '$') {
    base = 16;
    ++p;
  } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (*p == '\0' || *p == '-' || *p == '+' || *p == ' ') return defaultValue;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(p, &end, base);
  if (errno != 0 || *end != '\0') return defaultValue;
  if (negative) v = -v;
  if (base == 16 && !negative && v > 0x7FFFFFFFLL && v <= 0xFFFFFFFFLL)
    v -= 0x100000000LL;  // $FFFFFFFF is -1
  if (v < INT32_MIN || v > INT32_MAX) return defaultValue;
  return static_cast<int>(v);
}

bool IniFile::SectionExists(const std::string& section) const {
  return FirstSection(sections_, Trim(section)) >= 0;
}

std::vector<std::string> IniFile::ReadSection(const std::string& section) const {
  std::vector<std::string> keys;
  long index = FirstSection(sections_, Trim(section));
  for (const Entry& e : entries_)
    if (static_cast<long>(e.sectionIndex) == index) keys.push_back(e.key);
  return keys;
}

std::vector<std::string> IniFile::ReadSectionValues(const std::string& section) const {
  std::vector<std::string> lines;
  long index = FirstSection(sections_, Trim(section));
  for (const Entry& e : entries_)
    if (static_cast<long>(e.sectionIndex) == index) lines.push_back(e.key + "=" + e.value);
  return lines;
}

}  // namespace platform
