// The Win32 and C runtime side of the last error (Windows).
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <cerrno>

#include "platform/error.h"

namespace platform {

namespace detail {

ErrorCode SetLastErrorFromWin32(DWORD err) {
  ErrorCode code;
  switch (err) {
    case ERROR_SUCCESS:
      code = ErrorCode::None;
      break;
    case ERROR_FILE_NOT_FOUND:
      code = ErrorCode::FileNotFound;
      break;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DIRECTORY:
      code = ErrorCode::PathNotFound;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_CURRENT_DIRECTORY:
    case ERROR_INVALID_ACCESS:
      code = ErrorCode::AccessDenied;
      break;
    case ERROR_SHARING_VIOLATION:
      code = ErrorCode::SharingViolation;
      break;
    case ERROR_LOCK_VIOLATION:
    case ERROR_NOT_LOCKED:
    case ERROR_LOCK_FAILED:
      code = ErrorCode::LockViolation;
      break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      code = ErrorCode::AlreadyExists;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_FILE_TOO_LARGE:
      code = ErrorCode::DiskFull;
      break;
    case ERROR_NOT_READY:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_UNIT:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DEV_NOT_EXIST:
      code = ErrorCode::NotReady;
      break;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_PARAMETER:
      code = ErrorCode::InvalidName;
      break;
    case ERROR_DIR_NOT_EMPTY:
      code = ErrorCode::NotEmpty;
      break;
    default:
      code = ErrorCode::Io;
      break;
  }
  SetLastError(code);
  return code;
}

}  // namespace detail
}  // namespace platform
