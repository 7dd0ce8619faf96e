// Code pages through the host's iconv, and the locale's date format and
// decimal separator (POSIX hosts).
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/internal.h"
#include "platform/text.h"

namespace platform {

namespace {

iconv_t OpenToUtf32(int codePage) {
  const std::string names[] = {"CP" + std::to_string(codePage), "IBM" + std::to_string(codePage),
                               "WINDOWS-" + std::to_string(codePage)};
  for (const std::string& name : names) {
    iconv_t cd = ::iconv_open("UTF-32LE", name.c_str());
    if (cd != reinterpret_cast<iconv_t>(-1)) return cd;
  }
  return reinterpret_cast<iconv_t>(-1);
}

// The page from iconv; false when the host has no converter for it.
bool ReadFromIconv(int codePage, std::array<int32_t, 256>& toUnicode) {
  iconv_t cd = OpenToUtf32(codePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  for (int b = 0; b < 256; ++b) {
    int32_t u = -1;
    char in[1] = {static_cast<char>(b)};
    unsigned char out[8];
    char* inPtr = in;
    char* outPtr = reinterpret_cast<char*>(out);
    size_t inLeft = 1, outLeft = sizeof out;
    ::iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) && inLeft == 0 &&
        outLeft == 4) {
      u = static_cast<int32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (uint32_t(out[3]) << 24));
    }
    toUnicode[b] = u;
  }
  ::iconv_close(cd);
  return true;
}

}  // namespace

namespace detail {

// The program's ANSI page is the Western one, whatever the host's locale.
int AnsiCodePage() { return 1252; }

int HostOemCodePage() { return 437; }

bool HostCodePageTable(int codePage, std::array<int32_t, 256>& toUnicode) {
  return ReadFromIconv(codePage, toUnicode);
}

bool HostCodePageAvailable(int codePage) {
  iconv_t cd = OpenToUtf32(codePage);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  ::iconv_close(cd);
  return true;
}

std::string HostConverterName() { return "the host's iconv"; }

}  // namespace detail

std::string ShortDateFormat() {
  const char* env = std::getenv("VELUPDATE_SHORTDATE");
  if (env && *env) return env;
  std::string fmt = "%m/%d/%y";
  locale_t loc = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (loc) {
    const char* d = ::nl_langinfo_l(D_FMT, loc);
    if (d && *d) fmt = d;
    ::freelocale(loc);
  }
  std::string result = PosixDateFormatToWindows(fmt);
  return result.empty() ? "MM/dd/yy" : result;
}

char DecimalSeparator() {
  char sep = '.';
  locale_t loc = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc) {
    const char* r = ::nl_langinfo_l(RADIXCHAR, loc);
    if (r && r[0] && !r[1] && static_cast<uint8_t>(r[0]) < 0x80) sep = r[0];
    ::freelocale(loc);
  }
  return sep;
}

}  // namespace platform
