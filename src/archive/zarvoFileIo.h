// Byte-level helpers of the archive engine: little-endian fields, MS-DOS
// date and time, stored names in header form, and folder/drive tools for DOS
// paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "framework/bytes.h"

namespace zarvo {

using ::GetLE16;
using ::GetLE32;
using ::GetLE64;
using ::PutLE16;
using ::PutLE32;
using ::PutLE64;

// MS-DOS date and time packed as (date << 16) | time from a file's
// last-write time (Unix seconds), converted to local time:
// time = hour * 2048 + minute * 32 + second / 2,
// date = (year - 1980) * 512 + month * 32 + day.
uint32_t DosDateTimeOf(int64_t unixSeconds);
inline uint16_t DosTime(uint32_t dosDateTime) { return static_cast<uint16_t>(dosDateTime); }
inline uint16_t DosDate(uint32_t dosDateTime) { return static_cast<uint16_t>(dosDateTime >> 16); }
// "yyyy-mm-dd hh:nn:ss" of a packed DOS date-time (for listings).
std::string FormatDosDateTime(uint32_t dosDateTime);

// A stored name ("dir\file.txt", ANSI) in the form headers hold: "/"
// separators and, with `translateOem`, the OEM code page, or UTF-8 when the
// OEM page cannot hold the name (then *utf8 is set: the entry needs flag
// bit 11).
std::string HeaderNameFromStored(const std::string& storedName, bool translateOem, bool* utf8 = nullptr);
// The reverse: UTF-8 (`utf8`) or OEM (`translateOem`) to ANSI, "/" back to
// "\". *exact is cleared when a UTF-8 name has characters ANSI lacks.
std::string StoredNameFromHeader(const std::string& headerName, bool translateOem, bool utf8 = false,
                                 bool* exact = nullptr);
// UTF-8 text with every malformed byte replaced by U+FFFD.
std::string ValidUtf8(const std::string& text);

// ---- DOS paths ----
// The folder part with its trailing "\" ("" when there is none).
std::string ExtractFilePath(const std::string& path);
std::string ExtractFileName(const std::string& path);
std::string IncludeTrailingBackslash(const std::string& path);
// Creates a folder with all its parents; true when it exists afterwards.
bool ForceDirectories(const std::string& dosFolder);
// True when both paths carry a drive (":" in them) and their first letters
// are the same, letter case ignored.
bool SameDrive(const std::string& a, const std::string& b);

}  // namespace zarvo
