// DOS paths on the host.
//
// The engines name files the way the programs they were written for do: a
// drive letter, a colon and backslash-separated folders ("C:\Velmora\Dictionary.dbf"),
// or "\\server\share\...". Names inside the program are ANSI (CP1252) bytes.
// This unit maps them to host paths (UTF-8) through the drive map:
//
//   C:  $XDG_DATA_HOME/velupdate/drive_c (~/.local/share/velupdate/drive_c)
//   Z:  the host root "/"                 (Z:\srv\data is /srv/data)
//   VELUPDATE_DRIVE_<L>=<folder>[;removable][;capacity=<bytes>]  adds or overrides L:
//   \\server\share\x  $XDG_DATA_HOME/velupdate/unc/server/share/x
//
// Components are matched without regard to case: an exact match wins,
// otherwise the first directory entry that equals it ignoring ASCII case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct DriveMapping {
  std::string hostRoot;    // absolute host folder, no trailing slash except "/"
  bool removable = false;  // simulated removable disk (volume queries report it so)
  uint64_t capacity = 0;   // removable: total bytes; free = capacity - bytes held
};

// The drive map is process-wide. It is built from the environment on first use.
void MapDrive(char letter, const DriveMapping& mapping);
void UnmapDrive(char letter);
std::optional<DriveMapping> GetDriveMapping(char letter);
// Drops every mapping and reads the defaults and the environment again.
void ResetDriveMap();

// DOS path -> host path. Existing components are resolved without regard to
// case; components that do not exist are kept as written (so a file about to
// be created lands under the name given). Backslashes and forward slashes both
// separate. Relative names are taken from the current folder. Returns an empty
// string (last error NotReady or InvalidName) when the drive is not mapped.
std::string ToHostPath(const std::string& dosPath);

// Host path -> DOS path through the drive map: the longest matching drive root
// wins, Z: is the fallback. The result is CP1252.
std::string ToDosPath(const std::string& hostPath);

// The current folder in DOS form ("C:\Velmora"), and changing it.
std::string GetCurrentDirectory();
bool SetCurrentDirectory(const std::string& dosPath);

// A full DOS path for a name: drive-relative and folder-relative names are
// completed from the current folder, "." and ".." are folded. No file access.
std::string GetFullPathName(const std::string& dosPath);

// The running program's own file in DOS form (the INI file sits beside it).
std::string ExecutablePath();

// The "Windows folder": $VELUPDATE_WINDIR, else $XDG_CONFIG_HOME/velupdate
// (~/.config/velupdate). DOS form, no trailing backslash.
std::string WindowsDirectory();

// The temporary folder ($TMPDIR or /tmp) in DOS form, with a trailing backslash.
std::string GetTempPath();

// Creates an empty, uniquely named file in `dosFolder`: up to the first three
// letters of `prefix`, a hexadecimal number, ".tmp". Returns its DOS path, or
// an empty string on failure (last error set).
std::string GetTempFileName(const std::string& dosFolder, const std::string& prefix);

}  // namespace platform
