// Code pages, case mapping, comparison and locale.
//
// The program's ANSI code page is CP1252; the OEM code page is CP437 unless
// VELUPDATE_OEMCP names another (850, 852, 866 ...). Conversions map byte for
// byte and never fail: a character without a counterpart becomes the target
// page's substitute ('?' for 8-bit pages). Case mapping and comparison follow
// CP1252 (accented letters included) whatever the host's locale.
//
// CP1252, CP437 and CP850 are built in; any other page comes from the host's
// iconv. A page iconv does not have is reported by CodePageProblem(), which
// the programs check at start-up, so that it never turns text into '?' unseen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

int OemCodePage();
// True when the page is built in or the host's iconv converts it.
bool CodePageAvailable(int codePage);
// Empty when the configured pages are usable; otherwise a sentence naming the
// setting and the problem (VELUPDATE_OEMCP not a number, or a page the host lacks).
std::string CodePageProblem();

std::string AnsiToOem(std::string_view text);
std::string OemToAnsi(std::string_view text);
void AnsiToOemBuff(char* buffer, size_t count);  // in place, same length
void OemToAnsiBuff(char* buffer, size_t count);

std::string AnsiToUtf8(std::string_view text);
std::string Utf8ToAnsi(std::string_view text);
// Any single-byte code page by number (437, 850, 866, 1251 ...) to and from UTF-8.
std::string CodePageToUtf8(std::string_view text, int codePage);
std::string Utf8ToCodePage(std::string_view text, int codePage);

// UTF-8 helpers. NextUtf8 decodes the character at `i` and moves past it; a
// malformed sequence yields -1 and moves one byte on.
bool IsValidUtf8(std::string_view text);
int32_t NextUtf8(std::string_view text, size_t& i);
void AppendUtf8Char(std::string& out, uint32_t codePoint);
// The CP1252 byte of a Unicode character, -1 when the page has none; and back.
int AnsiByteFor(uint32_t codePoint);
uint32_t AnsiCharToUnicode(char c);

char AnsiUpperChar(char c);
char AnsiLowerChar(char c);
std::string AnsiUpperCase(std::string_view text);
std::string AnsiLowerCase(std::string_view text);
bool IsAnsiAlpha(char c);

// Locale-aware comparisons in the manner of the Windows user locale: letters
// order alphabetically with their accented forms, upper case after lower case
// only as a tie-break. <0, 0, >0.
int AnsiCompareStr(std::string_view a, std::string_view b);   // case matters
int AnsiCompareText(std::string_view a, std::string_view b);  // case ignored
// AnsiCompareText(a, b) == 0 without weighing the letters: the same text once
// both are in upper case. For name lookups, which only ask for equality.
bool AnsiSameText(std::string_view a, std::string_view b);
// Plain byte-wise comparison ignoring ASCII case.
int CompareTextAscii(std::string_view a, std::string_view b);

// The short date format of the host locale in Windows notation ("MM/dd/yy"),
// or VELUPDATE_SHORTDATE when set; and the decimal separator.
std::string ShortDateFormat();
char DecimalSeparator();
// A POSIX date format ("%d.%m.%Y") in Windows notation ("dd.MM.yyyy").
std::string PosixDateFormatToWindows(std::string_view fmt);

}  // namespace platform
