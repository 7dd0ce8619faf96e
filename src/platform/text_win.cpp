// Code pages and locale on Windows: the system's ANSI and OEM pages, each
// page read through MultiByteToWideChar, the user locale's short date format
// and decimal separator.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/internal.h"
#include "platform/text.h"

namespace platform {

namespace {

// A page the program can use byte for byte: a single-byte page the system has.
bool SingleBytePage(UINT codePage) {
  CPINFO info;
  return ::GetCPInfo(codePage, &info) && info.MaxCharSize == 1;
}

}  // namespace

namespace detail {

// The program's text is in the system's ANSI page; a system whose ANSI page
// is no single-byte page (UTF-8, or an East Asian page) gets the Western one.
int AnsiCodePage() {
  static const int page = SingleBytePage(::GetACP()) ? static_cast<int>(::GetACP()) : 1252;
  return page;
}

int HostOemCodePage() {
  static const int page = SingleBytePage(::GetOEMCP()) ? static_cast<int>(::GetOEMCP()) : 437;
  return page;
}

bool HostCodePageTable(int codePage, std::array<int32_t, 256>& toUnicode) {
  if (codePage <= 0 || !SingleBytePage(static_cast<UINT>(codePage))) return false;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    wchar_t out[2];
    int n = ::MultiByteToWideChar(static_cast<UINT>(codePage), MB_ERR_INVALID_CHARS, &in, 1, out, 2);
    toUnicode[b] = n == 1 ? static_cast<int32_t>(out[0]) : -1;
  }
  return true;
}

bool HostCodePageAvailable(int codePage) {
  return codePage > 0 && SingleBytePage(static_cast<UINT>(codePage));
}

std::string HostConverterName() { return "Windows"; }

}  // namespace detail

std::string ShortDateFormat() {
  const char* env = std::getenv("VELUPDATE_SHORTDATE");
  if (env && *env) return env;
  wchar_t buf[80];
  int n = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, buf, 80);
  if (n <= 1) return "MM/dd/yy";
  return detail::Narrow(std::wstring_view(buf, static_cast<size_t>(n - 1)));
}

char DecimalSeparator() {
  wchar_t buf[8];
  int n = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8);
  if (n == 2 && buf[0] < 0x80) return static_cast<char>(buf[0]);
  return '.';
}

}  // namespace platform
