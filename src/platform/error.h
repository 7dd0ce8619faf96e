// Error reporting of the platform layer.
//
// Calls report failure through their return value (false, -1, nullptr or an
// empty string) and leave the reason in a per-thread last error, as the
// operating system the engines were written for does.
#pragma once

#include <string>

namespace platform {

enum class ErrorCode {
  None,
  FileNotFound,      // the file does not exist
  PathNotFound,      // a folder on the way does not exist
  AccessDenied,      // permissions, read-only file, folder where a file was expected
  SharingViolation,  // another opener's share mode excludes this one
  LockViolation,     // a byte range is locked by another open file
  AlreadyExists,     // create-new on an existing name
  DiskFull,          // no space left (or a simulated disk is full)
  NotReady,          // drive letter not mapped
  InvalidName,       // a name the host cannot represent
  NotEmpty,          // folder not empty
  NameAmbiguous,     // the name matches several files that differ only in case
  Io                 // any other host failure
};

ErrorCode LastError();
void SetLastError(ErrorCode code);
// Maps the host errno to an ErrorCode and stores it as the last error.
ErrorCode SetLastErrorFromErrno(int err);
// A short English text for a code ("The system cannot find the file specified.").
std::string ErrorText(ErrorCode code);

}  // namespace platform
