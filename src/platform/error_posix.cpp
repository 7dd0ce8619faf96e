// The errno side of the last error (POSIX hosts).
#include <sys/stat.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/internal.h"

namespace platform {

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
    case ETXTBSY:
      code = ErrorCode::AccessDenied;
      break;
    case EEXIST:
      code = ErrorCode::AlreadyExists;
      break;
    case ENOSPC:
    case EDQUOT:
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
    case ENOMEDIUM:
      code = ErrorCode::NotReady;
      break;
    default:
      code = ErrorCode::Io;
      break;
  }
  SetLastError(code);
  return code;
}

namespace detail {

void SetLastErrorForPath(int err, const std::string& hostPath) {
  if (err == ENOENT) {
    struct stat st;
    std::string parent = HostDirName(hostPath);
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      SetLastError(ErrorCode::PathNotFound);
      return;
    }
  }
  SetLastErrorFromErrno(err);
}

}  // namespace detail
}  // namespace platform
