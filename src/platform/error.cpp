#include "platform/error.h"

namespace platform {

namespace {
thread_local ErrorCode tLastError = ErrorCode::None;
}

ErrorCode LastError() { return tLastError; }

void SetLastError(ErrorCode code) { tLastError = code; }

std::string ErrorText(ErrorCode code) {
  switch (code) {
    case ErrorCode::None:
      return "The operation completed successfully.";
    case ErrorCode::FileNotFound:
      return "The system cannot find the file specified.";
    case ErrorCode::PathNotFound:
      return "The system cannot find the path specified.";
    case ErrorCode::AccessDenied:
      return "Access is denied.";
    case ErrorCode::SharingViolation:
      return "The process cannot access the file because it is being used by another process.";
    case ErrorCode::LockViolation:
      return "The process cannot access the file because another process has locked a portion of the "
             "file.";
    case ErrorCode::AlreadyExists:
      return "The file exists.";
    case ErrorCode::DiskFull:
      return "There is not enough space on the disk.";
    case ErrorCode::NotReady:
      return "The device is not ready.";
    case ErrorCode::InvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case ErrorCode::NotEmpty:
      return "The directory is not empty.";
    case ErrorCode::NameAmbiguous:
      return "The name matches more than one file that differ only in case.";
    case ErrorCode::Io:
      return "The request could not be performed because of an I/O device error.";
  }
  return "Unknown error.";
}

}  // namespace platform
