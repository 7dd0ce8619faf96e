// Helpers shared by the platform units; not part of the platform's interface.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::detail {

// ---- the host's side of the file calls the fault hook sees (file.cpp) ----

bool HostDeleteFile(const std::string& dosPath);
bool HostMoveFile(const std::string& from, const std::string& to);
bool HostMoveFileReplace(const std::string& from, const std::string& to);
bool HostCopyFile(const std::string& from, const std::string& to, bool failIfExists);

// ---- shared by both hosts (paths.cpp) ----

// The DOS form of host text in UTF-8 (see paths.h); `component` escapes
// backslashes too; `escaped` tells whether any escape was written.
std::string DosForm(std::string_view host, bool component, bool& escaped);
// Every byte that is not plain ASCII, and '<' and '\', escaped.
std::string StrictDosForm(std::string_view host);
// 0 for A (or a) .. 25 for Z, -1 for anything else.
int LetterIndex(char letter);
bool IsDriveLetter(char c);
// '/' turned into '\'.
std::string Slashes(const std::string& dosPath);
// The non-empty components between backslashes.
std::vector<std::string> SplitDos(const std::string& s);
// The whole file (at most `limit` bytes); false when it cannot be read
// (system_posix.cpp, system_win.cpp).
bool ReadWholeFile(const std::string& dosPath, std::string& bytes, size_t limit);
// The ANSI code page of the program: 1252 on POSIX hosts, the system's
// ANSI page on Windows (text_posix.cpp, text_win.cpp).
int AnsiCodePage();
// Fills `toUnicode` with the Unicode scalar of each byte of a single-byte
// page (-1 where the page has none); false when the host cannot convert the
// page (text_posix.cpp: iconv; text_win.cpp: MultiByteToWideChar).
bool HostCodePageTable(int codePage, std::array<int32_t, 256>& toUnicode);
// True when the host converts the page (without building its table).
bool HostCodePageAvailable(int codePage);
// What converts pages on this host, for messages ("the host's iconv").
std::string HostConverterName();
// VELUPDATE_OEMCP as a page number; 0 when unset, -1 when it is no number.
int OemCodePageSetting();
// The OEM page when VELUPDATE_OEMCP does not name one: 437 on POSIX hosts,
// the system's OEM page on Windows.
int HostOemCodePage();

// ---- POSIX host ----

// Stores the ErrorCode for errno `err`; ENOENT becomes PathNotFound when the
// folder that should hold `hostPath` is missing.
void SetLastErrorForPath(int err, const std::string& hostPath);

// $XDG_DATA_HOME, else ~/.local/share (read at each call).
std::string DataHome();
// $XDG_CONFIG_HOME, else ~/.config.
std::string ConfigHome();
// The host folder under which \\server\share names live.
std::string UncBase();

// Joins a host folder and a name ("/" + "x" is "/x").
std::string JoinHost(const std::string& folder, const std::string& name);
// The last component of a host path.
std::string HostBaseName(const std::string& hostPath);
// The folder part of a host path ("/" for "/x").
std::string HostDirName(const std::string& hostPath);

// Bytes held by the regular files below a host folder (recursive, symbolic
// links not followed).
uint64_t FolderBytes(const std::string& hostFolder);

// When `hostPath` lies on a simulated removable disk: its host root and capacity.
struct RemovableDisk {
  std::string hostRoot;
  uint64_t capacity = 0;
};
std::optional<RemovableDisk> RemovableDiskFor(const std::string& hostPath);
// True while some drive letter is a simulated removable disk.
bool AnyRemovableDrive();

// True when some File object (of any process) holds `hostPath` open. Only a
// snapshot: removal takes the share sentinel's write lock instead (file.cpp).
bool IsOpenElsewhere(const std::string& hostPath);

// A DOS path resolved to the host, with what the lookup of its last component
// found (see paths.h for the rules).
struct ResolvedPath {
  std::string host;
  bool found = false;      // the last component names an existing entry
  bool ambiguous = false;  // ... found only as one of several case variants
};
// False (last error NotReady or InvalidName) when the path cannot be mapped.
bool ResolvePath(const std::string& dosPath, ResolvedPath& out);

// The name a listing of `hostFolder` gives its entry `hostName`; `plain` is
// set when it is the host name's ANSI text without escapes.
std::string ListedName(const std::string& hostFolder, const std::string& hostName, bool& plain);

// RegisterTempFile for a host path (staging copies the layer makes itself).
int RegisterHostTempFile(const std::string& hostPath);

}  // namespace platform::detail
