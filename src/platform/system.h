// Clock, sleep, MS-DOS date and time, and INI files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct LocalTime {
  int year = 0, month = 0, day = 0;  // month 1-12, day 1-31
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  int dayOfWeek = 0;  // 0 Sunday .. 6 Saturday
};

LocalTime Now();
LocalTime ToLocalTime(int64_t unixSeconds);
int64_t FromLocalTime(const LocalTime& t);  // Unix seconds
uint64_t TickCount();                       // milliseconds, monotonic
void Sleep(uint32_t milliseconds);

// Sets a variable of the process environment (removes it with no value), as
// getenv and child processes then see it. UTF-8 on Windows.
bool SetEnvironment(const std::string& name, const std::optional<std::string>& value);

// MS-DOS date and time packed as (date << 16) | time, from local time.
// Years before 1980 clamp to 1980-01-01 00:00:00.
uint32_t UnixToDosDateTime(int64_t unixSeconds);
int64_t DosDateTimeToUnix(uint32_t dosDateTime);

// A profile (INI) file, read only. Sections and keys compare without regard to
// case, the first match wins (a repeated section is not read), a missing file
// or key gives the default. Values are trimmed of surrounding blanks and of a
// pair of enclosing quotes; lines starting with ';' are comments. A UTF-8 file
// (with or without a byte-order mark) is converted to the ANSI page, a
// character the page lacks kept in the escape form the path layer resolves
// (paths.h), so a folder named outside the page still works; a file that is
// not valid UTF-8 is read as ANSI.
class IniFile {
 public:
  explicit IniFile(const std::string& dosPath);
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
  bool SectionExists(const std::string& section) const;
  std::vector<std::string> ReadSection(const std::string& section) const;        // keys
  std::vector<std::string> ReadSectionValues(const std::string& section) const;  // "key=value"
  const std::string& FileName() const { return fileName_; }

 private:
  struct Entry {
    std::string section, key, value;
    size_t sectionIndex = 0;  // which [section] line it follows
  };
  std::string fileName_;
  std::vector<Entry> entries_;
  std::vector<std::string> sections_;
};

}  // namespace platform
