// Helpers shared by the Windows units of the platform layer; not part of its
// interface, and included only by *_win.cpp files.
#pragma once

#include <windows.h>

// windows.h names its A/W pairs with macros that would rename the platform
// layer's own functions of the same names.
#undef CopyFile
#undef CreateDirectory
#undef DeleteFile
#undef GetCurrentDirectory
#undef GetDiskFreeSpace
#undef GetDriveType
#undef GetFileAttributes
#undef GetFullPathName
#undef GetTempFileName
#undef GetTempPath
#undef MoveFile
#undef RemoveDirectory
#undef SetCurrentDirectory
#undef SetFileAttributes
#undef SetVolumeLabel

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/paths.h"

namespace platform::detail {

// UTF-8 <-> UTF-16 (invalid sequences become U+FFFD, never an error).
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// Stores the ErrorCode for a Win32 error (GetLastError() by default) and
// returns it.
ErrorCode SetLastErrorFromWin32(DWORD err);
inline ErrorCode SetLastErrorFromWin32() { return SetLastErrorFromWin32(::GetLastError()); }

// A DOS path as the wide path Win32 calls take: completed from the current
// folder, escapes decoded, a letter substituted by MapDrive replaced by its
// folder, and the long-path prefix added where the path needs it. Empty (last
// error InvalidName) for a name Windows cannot take.
std::wstring WidePath(const std::string& dosPath);
// The DOS form of a wide native path: substituted letters put back, the
// characters outside the ANSI page escaped.
std::string DosPathOf(std::wstring_view wide);
// One wide name component in the DOS form; `plain` is set when it needed
// no escape.
std::string DosNameOf(std::wstring_view wideName, bool& plain);

// The simulated removable disk a native path lies on (a letter substituted
// by MapDrive with `removable`): its native root and capacity.
struct SimulatedDisk {
  std::wstring root;
  uint64_t capacity = 0;
};
std::optional<SimulatedDisk> SimulatedDiskFor(const std::wstring& widePath);
// True while some letter is a simulated removable disk.
bool AnySimulatedDisk();
// Bytes held by the regular files below a native folder (recursive).
uint64_t WideFolderBytes(const std::wstring& folder);

// FILETIME (100 ns since 1601, UTC) <-> Unix seconds.
int64_t FileTimeToUnix(const FILETIME& ft);
FILETIME UnixToFileTime(int64_t unixSeconds);

}  // namespace platform::detail
