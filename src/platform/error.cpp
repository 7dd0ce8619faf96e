#include "platform/error.h"

#include <cerrno>

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

// errno values as the C runtime of either host gives them; a few exist on
// POSIX hosts only.
ErrorCode SetLastErrorFromErrno(int err) {
  ErrorCode code;
  switch (err) {
    case 0:
      code = ErrorCode::None;
      break;
    case ENOENT:
      code = ErrorCode::FileNotFound;
      break;
    case ENOTDIR:
      code = ErrorCode::PathNotFound;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
#ifdef ETXTBSY
    case ETXTBSY:
#endif
      code = ErrorCode::AccessDenied;
      break;
    case EEXIST:
      code = ErrorCode::AlreadyExists;
      break;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
    case EFBIG:
      code = ErrorCode::DiskFull;
      break;
    case ENOTEMPTY:
      code = ErrorCode::NotEmpty;
      break;
    case EAGAIN:
      code = ErrorCode::LockViolation;
      break;
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
      code = ErrorCode::InvalidName;
      break;
    case ENODEV:
    case ENXIO:
#ifdef ENOMEDIUM
    case ENOMEDIUM:
#endif
      code = ErrorCode::NotReady;
      break;
    default:
      code = ErrorCode::Io;
      break;
  }
  SetLastError(code);
  return code;
}

}  // namespace platform
