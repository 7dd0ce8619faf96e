// Clock, sleep and whole-file reads (POSIX hosts).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace platform {

namespace {

LocalTime FromTm(const std::tm& tm, int millisecond) {
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = millisecond;
  t.dayOfWeek = tm.tm_wday;
  return t;
}

}  // namespace

LocalTime Now() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  ::localtime_r(&ts.tv_sec, &tm);
  return FromTm(tm, static_cast<int>(ts.tv_nsec / 1000000));
}

LocalTime ToLocalTime(int64_t unixSeconds) {
  time_t t = static_cast<time_t>(unixSeconds);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  return FromTm(tm, 0);
}

int64_t FromLocalTime(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(::mktime(&tm));
}

uint64_t TickCount() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void Sleep(uint32_t milliseconds) {
  timespec req;
  req.tv_sec = milliseconds / 1000;
  req.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  timespec rem;
  while (::nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

bool SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  return (value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str())) == 0;
}

namespace detail {

bool ReadWholeFile(const std::string& dosPath, std::string& text, size_t limit) {
  std::string host = ToHostPath(dosPath);
  if (host.empty()) return false;
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    if (text.size() > limit) break;
  }
  ::close(fd);
  return true;
}

}  // namespace detail
}  // namespace platform
