// Helpers shared by the platform units; not part of the platform's interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform::detail {

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

}  // namespace platform::detail
