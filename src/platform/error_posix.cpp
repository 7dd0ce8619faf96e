// The errno side of the last error (POSIX hosts).
#include <sys/stat.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/internal.h"

namespace platform {

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
