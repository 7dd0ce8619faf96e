// DOS paths on the host.
//
// On Windows they are the system's own paths: drive letters are the real
// ones, and MapDrive substitutes a letter by a folder inside this process
// only (tests, simulated removable disks); the VELUPDATE_DRIVE_<L> variables
// and the case-variant rules below are for POSIX hosts (paths_win.cpp).
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
// otherwise a directory entry that equals it ignoring ASCII case. When two or
// more entries differ from the name only in case and none equals it exactly,
// the one whose host name sorts first byte by byte is taken, on every run the
// same; a call that would create, replace, move or delete a file under such a
// name fails with NameAmbiguous instead, since it could only pick one of the
// variants to destroy or add yet another spelling.
//
// Names outside the ANSI page. Host names are UTF-8; the program's names are
// CP1252. A host name converts character by character; host bytes that are not
// valid UTF-8 (a name written by an older program in a Western page) are read
// as CP1252 bytes. A character CP1252 does not have, and a backslash inside a
// host name, are written in an escape form: "<", the host bytes in upper-case
// hex, ">" ("日本.dbf" is "<E697A5E69CAC>.dbf"). The layer resolves the escape
// form wherever it takes a name, so every name a listing returns opens the same
// file again. Text between "<" and ">" that is not an even count of hex digits,
// or that would stand for "/" or NUL, is taken literally. In the rare folder
// where a listed name would also be read as another entry's exact name (a
// Latin-1 "M\xFCller" beside a UTF-8 "Müller"), the listing escapes every byte
// of the later one that is not plain ASCII, so each keeps a name of its own.
// FileInfo (file.h) carries the name as UTF-8 text beside the DOS form, so a
// caller that stores names (the archive) can keep the host's spelling.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// One host name component in the DOS form described above.
std::string HostNameToDos(std::string_view hostName);
// A DOS name or path back to host bytes: escapes decoded, CP1252 to UTF-8.
// Backslashes outside escapes are kept (callers split paths first).
std::string DosNameToHost(std::string_view dosName);
// A DOS name or path as UTF-8 text (escapes decoded), for showing or storing it.
std::string DosNameToUtf8(std::string_view dosName);
// UTF-8 text (a name or a path from an archive, a UTF-8 INI file) to the DOS
// form; characters CP1252 lacks become escapes, backslashes stay separators.
// Text that is not valid UTF-8 is taken to be CP1252 already.
std::string Utf8ToDosName(std::string_view text);
// True when `dosName` holds an escape that DosNameToHost would decode.
bool HasEscapes(std::string_view dosName);

// The current folder in DOS form ("C:\Velmora"), and changing it.
std::string GetCurrentDirectory();
bool SetCurrentDirectory(const std::string& dosPath);

// A full DOS path for a name: drive-relative and folder-relative names are
// completed from the current folder, "." and ".." are folded. No file access.
std::string GetFullPathName(const std::string& dosPath);

// The running program's own file in DOS form (the INI file sits beside it).
std::string ExecutablePath();

// A file name from the command line (UTF-8): a DOS path ("C:\x.dbf",
// "\\server\share\x") or a host path, relative names taken from the
// current folder; in DOS form.
std::string ArgumentToDosPath(const std::string& argument);

// The user's desktop folder in DOS form, no trailing backslash: POSIX
// $XDG_DESKTOP_DIR, else ~/Desktop; Windows the shell's desktop folder.
std::string DesktopDirectory();

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
