#include "platform/text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/internal.h"

namespace platform {

namespace {

constexpr char kSubstitute = '?';

// One single-byte code page: each byte's Unicode scalar (-1 when the page
// leaves it undefined) and the way back.
struct CodePage {
  std::array<int32_t, 256> toUnicode{};
  std::unordered_map<uint32_t, uint8_t> fromUnicode;
};

// The upper halves of the three pages the program always needs, carried here
// so that they never depend on the host's iconv. Index 0 is byte 0x80; -1
// marks a byte the page leaves undefined. The lower halves are ASCII.
constexpr int32_t kCp1252High[128] = {
    0x20AC, -1,     0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152,
    -1,     0x017D, -1,     -1,     0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x02DC, 0x2122,
    0x0161, 0x203A, 0x0153, -1,     0x017E, 0x0178, 0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x00A4, 0x00A5, 0x00A6,
    0x00A7, 0x00A8, 0x00A9, 0x00AA, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF, 0x00B0, 0x00B1, 0x00B2, 0x00B3,
    0x00B4, 0x00B5, 0x00B6, 0x00B7, 0x00B8, 0x00B9, 0x00BA, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF, 0x00C0,
    0x00C1, 0x00C2, 0x00C3, 0x00C4, 0x00C5, 0x00C6, 0x00C7, 0x00C8, 0x00C9, 0x00CA, 0x00CB, 0x00CC, 0x00CD,
    0x00CE, 0x00CF, 0x00D0, 0x00D1, 0x00D2, 0x00D3, 0x00D4, 0x00D5, 0x00D6, 0x00D7, 0x00D8, 0x00D9, 0x00DA,
    0x00DB, 0x00DC, 0x00DD, 0x00DE, 0x00DF, 0x00E0, 0x00E1, 0x00E2, 0x00E3, 0x00E4, 0x00E5, 0x00E6, 0x00E7,
    0x00E8, 0x00E9, 0x00EA, 0x00EB, 0x00EC, 0x00ED, 0x00EE, 0x00EF, 0x00F0, 0x00F1, 0x00F2, 0x00F3, 0x00F4,
    0x00F5, 0x00F6, 0x00F7, 0x00F8, 0x00F9, 0x00FA, 0x00FB, 0x00FC, 0x00FD, 0x00FE, 0x00FF};

constexpr int32_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

constexpr int32_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x00C1, 0x00C2, 0x00C0, 0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C,
    0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, 0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4, 0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6,
    0x00A7, 0x00F7, 0x00B8, 0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0};

const int32_t* BuiltInHighHalf(int codePage) {
  switch (codePage) {
    case 1252:
      return kCp1252High;
    case 437:
      return kCp437High;
    case 850:
      return kCp850High;
  }
  return nullptr;
}

std::unique_ptr<CodePage> BuildCodePage(int codePage) {
  auto page = std::make_unique<CodePage>();
  if (const int32_t* high = BuiltInHighHalf(codePage)) {
    for (int b = 0; b < 256; ++b) page->toUnicode[b] = b < 0x80 ? b : high[b - 0x80];
  } else if (!detail::HostCodePageTable(codePage, page->toUnicode)) {
    // CodePageProblem() reports this at start-up; until then the page carries ASCII only.
    for (int b = 0; b < 256; ++b) page->toUnicode[b] = b < 0x80 ? b : -1;
  }
  // Windows gives the five holes of its Western page the C1 control of the same value.
  if (codePage == 1252)
    for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) page->toUnicode[b] = b;
  for (int b = 0; b < 256; ++b) {
    int32_t u = page->toUnicode[b];
    if (u >= 0) page->fromUnicode.emplace(static_cast<uint32_t>(u), static_cast<uint8_t>(b));
  }
  return page;
}

std::mutex gPagesMutex;
std::map<int, std::unique_ptr<CodePage>> gPages;
std::map<std::pair<int, int>, std::unique_ptr<std::array<uint8_t, 256>>> gTranslations;

const CodePage& GetCodePage(int codePage) {
  std::lock_guard<std::mutex> lock(gPagesMutex);
  auto& slot = gPages[codePage];
  if (!slot) slot = BuildCodePage(codePage);
  return *slot;
}

// Byte-for-byte translation table from one page to another.
const std::array<uint8_t, 256>& GetTranslation(int from, int to) {
  const CodePage& src = GetCodePage(from);
  const CodePage& dst = GetCodePage(to);
  std::lock_guard<std::mutex> lock(gPagesMutex);
  auto& slot = gTranslations[{from, to}];
  if (!slot) {
    auto table = std::make_unique<std::array<uint8_t, 256>>();
    for (int b = 0; b < 256; ++b) {
      int32_t u = src.toUnicode[b];
      uint8_t out = static_cast<uint8_t>(kSubstitute);
      if (u >= 0) {
        auto it = dst.fromUnicode.find(static_cast<uint32_t>(u));
        if (it != dst.fromUnicode.end()) out = it->second;
      }
      (*table)[b] = out;
    }
    slot = std::move(table);
  }
  return *slot;
}

void Translate(char* buffer, size_t count, int from, int to) {
  const auto& table = GetTranslation(from, to);
  for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<char>(table[static_cast<uint8_t>(buffer[i])]);
}

void AppendUtf8(std::string& out, uint32_t u) {
  if (u < 0x80) {
    out += static_cast<char>(u);
  } else if (u < 0x800) {
    out += static_cast<char>(0xC0 | (u >> 6));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else if (u < 0x10000) {
    out += static_cast<char>(0xE0 | (u >> 12));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (u >> 18));
    out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (u & 0x3F));
  }
}

// Decodes one UTF-8 scalar at `i`; malformed input yields -1 and consumes one byte.
int32_t DecodeUtf8(std::string_view s, size_t& i) {
  uint8_t b = static_cast<uint8_t>(s[i]);
  int extra;
  uint32_t u;
  if (b < 0x80) {
    ++i;
    return b;
  } else if (b >= 0xC2 && b < 0xE0) {
    extra = 1;
    u = b & 0x1F;
  } else if (b >= 0xE0 && b < 0xF0) {
    extra = 2;
    u = b & 0x0F;
  } else if (b >= 0xF0 && b < 0xF5) {
    extra = 3;
    u = b & 0x07;
  } else {
    ++i;
    return -1;
  }
  if (i + extra >= s.size()) {
    ++i;
    return -1;
  }
  for (int k = 1; k <= extra; ++k) {
    uint8_t c = static_cast<uint8_t>(s[i + k]);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    u = (u << 6) | (c & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (u < kMin[extra] || u > 0x10FFFF || (u >= 0xD800 && u < 0xE000)) {
    ++i;
    return -1;
  }
  i += extra + 1;
  return static_cast<int32_t>(u);
}

}  // namespace

namespace detail {
int OemCodePageSetting() {
  const char* env = std::getenv("VELUPDATE_OEMCP");
  if (!env || !*env) return 0;
  char* end = nullptr;
  long v = std::strtol(env, &end, 10);
  if (end && *end == '\0' && v > 0 && v < 65536) return static_cast<int>(v);
  return -1;
}
}  // namespace detail

int OemCodePage() {
  int setting = detail::OemCodePageSetting();
  return setting > 0 ? setting : detail::HostOemCodePage();
}

bool CodePageAvailable(int codePage) {
  return BuiltInHighHalf(codePage) != nullptr || detail::HostCodePageAvailable(codePage);
}

std::string CodePageProblem() {
  int setting = detail::OemCodePageSetting();
  const char* env = std::getenv("VELUPDATE_OEMCP");
  if (setting < 0)
    return std::string("VELUPDATE_OEMCP=") + env + " is not a code page number (for example 437, 850 or 866)";
  if (setting > 0 && !CodePageAvailable(setting))
    return "the OEM code page " + std::to_string(setting) +
           " named by VELUPDATE_OEMCP is not available: " + detail::HostConverterName() +
           " has no converter for it";
  return "";
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size())
    if (DecodeUtf8(text, i) < 0) return false;
  return true;
}

int32_t NextUtf8(std::string_view text, size_t& i) { return DecodeUtf8(text, i); }

void AppendUtf8Char(std::string& out, uint32_t codePoint) { AppendUtf8(out, codePoint); }

int AnsiByteFor(uint32_t codePoint) {
  static const CodePage& page = GetCodePage(detail::AnsiCodePage());  // built in: never changes
  auto it = page.fromUnicode.find(codePoint);
  return it == page.fromUnicode.end() ? -1 : it->second;
}

uint32_t AnsiCharToUnicode(char c) {
  static const CodePage& page = GetCodePage(detail::AnsiCodePage());
  int32_t u = page.toUnicode[static_cast<uint8_t>(c)];
  return u < 0 ? static_cast<uint32_t>(kSubstitute) : static_cast<uint32_t>(u);
}

std::string AnsiToOem(std::string_view text) {
  std::string out(text);
  AnsiToOemBuff(out.data(), out.size());
  return out;
}

std::string OemToAnsi(std::string_view text) {
  std::string out(text);
  OemToAnsiBuff(out.data(), out.size());
  return out;
}

void AnsiToOemBuff(char* buffer, size_t count) {
  Translate(buffer, count, detail::AnsiCodePage(), OemCodePage());
}
void OemToAnsiBuff(char* buffer, size_t count) {
  Translate(buffer, count, OemCodePage(), detail::AnsiCodePage());
}

std::string AnsiToUtf8(std::string_view text) { return CodePageToUtf8(text, detail::AnsiCodePage()); }
std::string Utf8ToAnsi(std::string_view text) { return Utf8ToCodePage(text, detail::AnsiCodePage()); }

std::string CodePageToUtf8(std::string_view text, int codePage) {
  const CodePage& page = GetCodePage(codePage);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    int32_t u = page.toUnicode[static_cast<uint8_t>(c)];
    if (u < 0) u = kSubstitute;
    AppendUtf8(out, static_cast<uint32_t>(u));
  }
  return out;
}

std::string Utf8ToCodePage(std::string_view text, int codePage) {
  const CodePage& page = GetCodePage(codePage);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    int32_t u = DecodeUtf8(text, i);
    char b = kSubstitute;
    if (u >= 0) {
      auto it = page.fromUnicode.find(static_cast<uint32_t>(u));
      if (it != page.fromUnicode.end()) b = static_cast<char>(it->second);
    }
    out += b;
  }
  return out;
}

char AnsiUpperChar(char c) {
  uint8_t b = static_cast<uint8_t>(c);
  if (b >= 'a' && b <= 'z') return static_cast<char>(b - 32);
  if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<char>(b - 0x20);
  switch (b) {
    case 0x9A:
      return static_cast<char>(0x8A);
    case 0x9C:
      return static_cast<char>(0x8C);
    case 0x9E:
      return static_cast<char>(0x8E);
    case 0xFF:
      return static_cast<char>(0x9F);
  }
  return c;
}

char AnsiLowerChar(char c) {
  uint8_t b = static_cast<uint8_t>(c);
  if (b >= 'A' && b <= 'Z') return static_cast<char>(b + 32);
  if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<char>(b + 0x20);
  switch (b) {
    case 0x8A:
      return static_cast<char>(0x9A);
    case 0x8C:
      return static_cast<char>(0x9C);
    case 0x8E:
      return static_cast<char>(0x9E);
    case 0x9F:
      return static_cast<char>(0xFF);
  }
  return c;
}

std::string AnsiUpperCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AnsiUpperChar(c);
  return out;
}

std::string AnsiLowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AnsiLowerChar(c);
  return out;
}

bool IsAnsiAlpha(char c) {
  uint8_t b = static_cast<uint8_t>(c);
  if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) return true;
  if (b >= 0xC0 && b != 0xD7 && b != 0xF7) return true;
  switch (b) {
    case 0x83:  // f with hook
    case 0x8A:
    case 0x8C:
    case 0x8E:
    case 0x9A:
    case 0x9C:
    case 0x9E:
    case 0x9F:
    case 0xAA:  // feminine ordinal
    case 0xB5:  // micro sign
    case 0xBA:  // masculine ordinal
      return true;
  }
  return false;
}

// Comparison in three levels, the way the Windows user locale sorts words:
//   1. primary: symbols and punctuation (in code order) before digits before
//      letters; an accented letter weighs as its base letter, a ligature or
//      sharp s as its two letters (Æ = AE, Œ = OE, ß = ss); Þ follows Z;
//   2. secondary: the accent (none, acute, grave, circumflex, diaeresis,
//      tilde, ring, cedilla, caron, stroke, hook, ligature, ordinal);
//   3. tertiary: case, lower before upper (AnsiCompareStr only).
// Strings equal on every level are finally ordered by their bytes (by their
// upper-case bytes in AnsiCompareText), so the order is total.
namespace {

struct Weight {
  uint16_t primary;
  uint8_t secondary;
  uint8_t tertiary;
};

enum Accent : uint8_t {
  kNone,
  kAcute,
  kGrave,
  kCircumflex,
  kDiaeresis,
  kTilde,
  kRing,
  kCedilla,
  kCaron,
  kStroke,
  kHook,
  kLigature,
  kOrdinal
};

constexpr uint16_t kDigitBase = 0x200;
constexpr uint16_t kLetterBase = 0x300;

uint16_t LetterWeight(char upper) { return static_cast<uint16_t>(kLetterBase + (upper - 'A')); }

// Base letter(s) and accent of an upper-case (or caseless) CP1252 letter.
struct LetterInfo {
  char base;
  char second;  // expansion, 0 when none
  Accent accent;
};

bool DescribeLetter(uint8_t up, LetterInfo& info) {
  if (up >= 'A' && up <= 'Z') {
    info = {static_cast<char>(up), 0, kNone};
    return true;
  }
  static const Accent kRow[] = {kGrave, kAcute, kCircumflex, kTilde, kDiaeresis, kRing};
  switch (up) {
    case 0xC0:
    case 0xC1:
    case 0xC2:
    case 0xC3:
    case 0xC4:
    case 0xC5:
      info = {'A', 0, kRow[up - 0xC0]};
      return true;
    case 0xC6:
      info = {'A', 'E', kLigature};
      return true;
    case 0xC7:
      info = {'C', 0, kCedilla};
      return true;
    case 0xC8:
    case 0xC9:
    case 0xCA:
      info = {'E', 0, kRow[up - 0xC8]};
      return true;
    case 0xCB:
      info = {'E', 0, kDiaeresis};
      return true;
    case 0xCC:
    case 0xCD:
    case 0xCE:
      info = {'I', 0, kRow[up - 0xCC]};
      return true;
    case 0xCF:
      info = {'I', 0, kDiaeresis};
      return true;
    case 0xD0:
      info = {'D', 0, kStroke};
      return true;
    case 0xD1:
      info = {'N', 0, kTilde};
      return true;
    case 0xD2:
    case 0xD3:
    case 0xD4:
    case 0xD5:
    case 0xD6:
      info = {'O', 0, kRow[up - 0xD2]};
      return true;
    case 0xD8:
      info = {'O', 0, kStroke};
      return true;
    case 0xD9:
    case 0xDA:
    case 0xDB:
      info = {'U', 0, kRow[up - 0xD9]};
      return true;
    case 0xDC:
      info = {'U', 0, kDiaeresis};
      return true;
    case 0xDD:
      info = {'Y', 0, kAcute};
      return true;
    case 0xDE:
      info = {'Z' + 1, 0, kNone};  // thorn, after z
      return true;
    case 0xDF:
      info = {'S', 'S', kLigature};
      return true;
    case 0x83:
      info = {'F', 0, kHook};
      return true;
    case 0x8A:
      info = {'S', 0, kCaron};
      return true;
    case 0x8C:
      info = {'O', 'E', kLigature};
      return true;
    case 0x8E:
      info = {'Z', 0, kCaron};
      return true;
    case 0x9F:
      info = {'Y', 0, kDiaeresis};
      return true;
    case 0xAA:
      info = {'A', 0, kOrdinal};
      return true;
    case 0xBA:
      info = {'O', 0, kOrdinal};
      return true;
  }
  return false;
}

void AppendWeights(uint8_t b, std::vector<Weight>& out) {
  uint8_t up = static_cast<uint8_t>(AnsiUpperChar(static_cast<char>(b)));
  // Lower case first; letters without an upper form (sharp s, f with hook) count as lower.
  bool isLower = up != b || b == 0xDF || b == 0x83 || b == 0xAA || b == 0xBA;
  uint8_t tertiary = isLower ? 0 : 1;
  LetterInfo info;
  if (DescribeLetter(up, info)) {
    out.push_back({LetterWeight(info.base), static_cast<uint8_t>(info.accent), tertiary});
    if (info.second) out.push_back({LetterWeight(info.second), kNone, tertiary});
    return;
  }
  if (b >= '0' && b <= '9') {
    out.push_back({static_cast<uint16_t>(kDigitBase + (b - '0')), kNone, 0});
    return;
  }
  switch (b) {  // superscript digits sort with their digit
    case 0xB9:
      out.push_back({kDigitBase + 1, kOrdinal, 0});
      return;
    case 0xB2:
      out.push_back({kDigitBase + 2, kOrdinal, 0});
      return;
    case 0xB3:
      out.push_back({kDigitBase + 3, kOrdinal, 0});
      return;
  }
  out.push_back({b, kNone, 0});
}

std::vector<Weight> Weigh(std::string_view s) {
  std::vector<Weight> w;
  w.reserve(s.size() + 2);
  for (char c : s) AppendWeights(static_cast<uint8_t>(c), w);
  return w;
}

template <typename Field>
int CompareLevel(const std::vector<Weight>& a, const std::vector<Weight>& b, Field field) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = field(a[i]), y = field(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

int CompareBytes(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = static_cast<uint8_t>(a[i]), y = static_cast<uint8_t>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

int LocaleCompare(std::string_view a, std::string_view b, bool withCase) {
  std::vector<Weight> wa = Weigh(a), wb = Weigh(b);
  if (int r = CompareLevel(wa, wb, [](const Weight& w) { return int(w.primary); })) return r;
  if (int r = CompareLevel(wa, wb, [](const Weight& w) { return int(w.secondary); })) return r;
  if (withCase) {
    if (int r = CompareLevel(wa, wb, [](const Weight& w) { return int(w.tertiary); })) return r;
    return CompareBytes(a, b);
  }
  return CompareBytes(AnsiUpperCase(a), AnsiUpperCase(b));
}

}  // namespace

int AnsiCompareStr(std::string_view a, std::string_view b) { return LocaleCompare(a, b, true); }
int AnsiCompareText(std::string_view a, std::string_view b) { return LocaleCompare(a, b, false); }

// Weights come from a letter's upper-case form and the last tie-break compares
// the upper-cased bytes, so the case-blind order calls two texts equal exactly
// when their upper-case forms are the same bytes.
bool AnsiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && AnsiUpperChar(a[i]) != AnsiUpperChar(b[i])) return false;
  return true;
}

int CompareTextAscii(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = static_cast<uint8_t>(a[i]), y = static_cast<uint8_t>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return 0;
}

std::string PosixDateFormatToWindows(std::string_view fmt) {
  std::string out;
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = fmt[i];
    if (c != '%' || i + 1 >= fmt.size()) {
      out += c;
      continue;
    }
    char d = fmt[++i];
    if ((d == 'E' || d == 'O') && i + 1 < fmt.size()) d = fmt[++i];  // alternative-era modifiers
    switch (d) {
      case 'd':
        out += "dd";
        break;
      case 'e':
        out += "d";
        break;
      case 'm':
        out += "MM";
        break;
      case 'y':
        out += "yy";
        break;
      case 'Y':
      case 'G':
        out += "yyyy";
        break;
      case 'b':
      case 'h':
        out += "MMM";
        break;
      case 'B':
        out += "MMMM";
        break;
      case 'a':
        out += "ddd";
        break;
      case 'A':
        out += "dddd";
        break;
      case 'D':
        out += "MM/dd/yy";
        break;
      case 'F':
        out += "yyyy-MM-dd";
        break;
      case '%':
        out += '%';
        break;
      case 'n':
      case 't':
        out += ' ';
        break;
      default:
        break;  // not a date part: left out
    }
  }
  return out;
}

}  // namespace platform
