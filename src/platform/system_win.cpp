// Clock, sleep and whole-file reads on Windows. Local time comes from the
// system's time-zone rules for the date in question (not today's bias), so a
// file time converts the same way on both hosts.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <cstdlib>
#include <string>

#include "platform/internal.h"
#include "platform/system.h"

namespace platform {

namespace {

LocalTime FromSystemTime(const SYSTEMTIME& st) {
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond;
  t.millisecond = st.wMilliseconds;
  t.dayOfWeek = st.wDayOfWeek;
  return t;
}

}  // namespace

LocalTime Now() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  return FromSystemTime(st);
}

LocalTime ToLocalTime(int64_t unixSeconds) {
  FILETIME ft = detail::UnixToFileTime(unixSeconds < -11644473600LL ? -11644473600LL : unixSeconds);
  SYSTEMTIME utc, local;
  if (!::FileTimeToSystemTime(&ft, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return LocalTime{1601, 1, 1, 0, 0, 0, 0, 1};
  return FromSystemTime(local);
}

int64_t FromLocalTime(const LocalTime& t) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(t.year);
  local.wMonth = static_cast<WORD>(t.month);
  local.wDay = static_cast<WORD>(t.day);
  local.wHour = static_cast<WORD>(t.hour);
  local.wMinute = static_cast<WORD>(t.minute);
  local.wSecond = static_cast<WORD>(t.second);
  SYSTEMTIME utc;
  FILETIME ft;
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !::SystemTimeToFileTime(&utc, &ft))
    return -1;
  return detail::FileTimeToUnix(ft);
}

uint64_t TickCount() { return ::GetTickCount64(); }

void Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

bool SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
  // The C runtime's copy (getenv) and the process's (children) both change.
  std::wstring n = detail::Widen(name), v = value ? detail::Widen(*value) : std::wstring();
  return ::_wputenv_s(n.c_str(), v.c_str()) == 0;
}

namespace detail {

bool ReadWholeFile(const std::string& dosPath, std::string& text, size_t limit) {
  std::wstring wide = WidePath(dosPath);
  if (wide.empty()) return false;
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char buf[65536];
  while (true) {
    DWORD n = 0;
    if (!::ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0) break;
    text.append(buf, n);
    if (text.size() > limit) break;
  }
  ::CloseHandle(h);
  return true;
}

}  // namespace detail
}  // namespace platform
