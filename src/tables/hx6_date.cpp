#include "tables/hx6_date.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "framework/exceptions.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tables/hx6_glbl.h"
#include "tables/hx6_tool.h"

namespace {

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int MonthDays(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return days[m - 1] + (m == 2 && IsLeap(y) ? 1 : 0);
}

// Proleptic Gregorian calendar to Julian day number and back.
int32_t CivilToJulian(int y, int m, int d) {
  const int a = (14 - m) / 12;
  const int64_t yy = int64_t{y} + 4800 - a;
  const int64_t mm = m + 12 * a - 3;
  return static_cast<int32_t>(d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045);
}

void JulianToCivil(int32_t jd, int& y, int& m, int& d) {
  const int64_t a = int64_t{jd} + 32044;
  const int64_t b = (4 * a + 3) / 146097;
  const int64_t c = a - 146097 * b / 4;
  const int64_t dd = (4 * c + 3) / 1461;
  const int64_t e = c - 1461 * dd / 4;
  const int64_t mm = (5 * e + 2) / 153;
  d = static_cast<int>(e - (153 * mm + 2) / 5 + 1);
  m = static_cast<int>(mm + 3 - 12 * (mm / 10));
  y = static_cast<int>(100 * b + dd - 4800 + mm / 10);
}

[[noreturn]] void RaiseBadDate(std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a valid date");
}

// Reads a date in the locale's short format: the order of day, month and
// year comes from the format, the separator is the format's first character
// that is not a letter. A missing year is the current one; a year of one or
// two digits lies within 50 years of today.
int32_t ParseLocaleDate(std::string_view text, const std::string& fmt) {
  char order[3] = {0, 0, 0};
  int parts = 0;
  char sep = '/';
  bool sepFound = false;
  for (size_t i = 0; i < fmt.size(); ++i) {
    char c = static_cast<char>(fmt[i] | 0x20);
    if (c == 'd' || c == 'm' || c == 'y') {
      if (parts < 3 && (parts == 0 || order[parts - 1] != c)) order[parts++] = c;
    } else if (!sepFound && !(c >= 'a' && c <= 'z')) {
      sep = fmt[i];
      sepFound = true;
    }
  }
  if (parts != 3) {
    order[0] = 'm';
    order[1] = 'd';
    order[2] = 'y';
  }
  const std::string s = HxTrim(text);
  int values[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (i < s.size()) {
    if (count == 3) RaiseBadDate(text);
    int v = 0, n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      if (n < 9) v = v * 10 + (s[i] - '0');
      ++n;
      ++i;
    }
    if (n == 0) RaiseBadDate(text);
    values[count] = v;
    digits[count] = n;
    ++count;
    if (i < s.size()) {
      if (s[i] != sep) RaiseBadDate(text);
      ++i;
      if (i == s.size()) RaiseBadDate(text);
    }
  }
  if (count < 2) RaiseBadDate(text);
  const platform::LocalTime now = platform::Now();
  int y = now.year, m = 0, d = 0;
  bool yearGiven = false;
  int yearDigits = 4;
  int k = 0;
  for (int p = 0; p < 3 && k < count; ++p) {
    if (order[p] == 'y') {
      // With two numbers only the year is the one left out.
      if (count == 2) continue;
      y = values[k];
      yearDigits = digits[k];
      yearGiven = true;
    } else if (order[p] == 'm') {
      m = values[k];
    } else {
      d = values[k];
    }
    ++k;
  }
  if (yearGiven && yearDigits <= 2) {
    const int century = now.year - now.year % 100;
    y += century;
    if (y < now.year - 50) y += 100;
    if (y > now.year + 50) y -= 100;
  }
  int32_t day = 0;
  if (!ThxDBFDate::Encode(y, m, d, day)) RaiseBadDate(text);
  return day;
}

std::string TwoDigits(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v % 100);
  return buf;
}

const char* const kShortDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kLongDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
const char* const kShortMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kLongMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                   "July",    "August",   "September", "October", "November", "December"};

std::unique_ptr<ThxDBFDate>& Converter() {
  static std::unique_ptr<ThxDBFDate> converter;
  return converter;
}

// The converter is part of the engine's global state.
const bool kRegistered = [] {
  AddEngineHook([] { Converter() = std::make_unique<ThxDBFDate>(); }, [] { Converter().reset(); });
  return true;
}();

}  // namespace

ThxDBFDate& DBFDate() {
  (void)kRegistered;
  auto& c = Converter();
  if (!c) c = std::make_unique<ThxDBFDate>();
  return *c;
}

bool ThxDBFDate::Encode(int year, int month, int dayOfMonth, int32_t& day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || dayOfMonth < 1 ||
      dayOfMonth > MonthDays(year, month))
    return false;
  day = CivilToJulian(year, month, dayOfMonth);
  return true;
}

void ThxDBFDate::Decode(int32_t day, int& year, int& month, int& dayOfMonth) const {
  if (day <= 0) {
    year = month = dayOfMonth = 0;
    return;
  }
  JulianToCivil(day, year, month, dayOfMonth);
}

int32_t ThxDBFDate::ToJulian(std::string_view text) const {
  // Blanks and zeros only ("        ", "00000000", "       0", NULs) is how
  // programs write the empty date.
  if (text.find_first_not_of(std::string_view(" 0\0", 3)) == std::string_view::npos) return 0;
  const std::string t = HxTrimRight(text);
  if (t.empty()) return 0;
  if (t.size() == 8) {
    bool digits = true;
    for (char c : t) digits = digits && c >= '0' && c <= '9';
    if (digits) {
      const int y = (t[0] - '0') * 1000 + (t[1] - '0') * 100 + (t[2] - '0') * 10 + (t[3] - '0');
      const int m = (t[4] - '0') * 10 + (t[5] - '0');
      const int d = (t[6] - '0') * 10 + (t[7] - '0');
      int32_t day = 0;
      if (!Encode(y, m, d, day)) return julianOffset_;  // 30 December 1899
      return day;
    }
  }
  return ParseLocaleDate(t, ShortFormat());
}

std::string ThxDBFDate::ToText(int32_t day) const {
  int y, m, d;
  Decode(day, y, m, d);
  if (day <= 0 || y < 1 || y > 9999) return std::string(8, ' ');
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return buf;
}

void ThxDBFDate::Refresh() const {
  const char* env = std::getenv("VELUPDATE_SHORTDATE");
  const bool envSet = env && *env;
  if (cached_ && envSet == cachedEnvSet_ && (!envSet || cachedEnv_ == env)) return;
  cachedEnvSet_ = envSet;
  cachedEnv_ = envSet ? env : "";
  shortFormat_ = platform::ShortDateFormat();
  std::string fmt = HxUpperCase(shortFormat_);
  while (fmt.find("YYYY") == std::string::npos) {
    const size_t at = fmt.find('Y');
    fmt.insert(at == std::string::npos ? 0 : at, 1, 'Y');
  }
  displayFormat_ = fmt;
  cached_ = true;
}

const std::string& ThxDBFDate::ShortFormat() const {
  Refresh();
  return shortFormat_;
}

const std::string& ThxDBFDate::DisplayFormat() const {
  Refresh();
  return displayFormat_;
}

std::string ThxDBFDate::ToDisplay(int32_t day) const {
  const std::string& fmt = DisplayFormat();
  // The platform's day 0 is what a date that does not exist reads as: it
  // shows as the empty date, not as 30 December 1899.
  if (day <= 0 || day == kPlatformDayZero) return std::string(fmt.size(), ' ');
  int y, m, d;
  Decode(day, y, m, d);
  const int dow = DayOfWeek(day) - 1;
  std::string out;
  size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    if (c == '"' || c == '\'') {  // quoted literal
      size_t end = fmt.find(c, i + 1);
      if (end == std::string::npos) end = fmt.size();
      out.append(fmt, i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    if (c != 'D' && c != 'M' && c != 'Y') {
      out += c;
      ++i;
      continue;
    }
    size_t run = 1;
    while (i + run < fmt.size() && fmt[i + run] == c) ++run;
    i += run;
    if (c == 'Y') {
      if (run <= 2) {
        out += TwoDigits(y);
      } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%04d", y);
        out += buf;
      }
    } else {
      const int v = c == 'D' ? d : m;
      if (run == 1) {
        out += std::to_string(v);
      } else if (run == 2) {
        out += TwoDigits(v);
      } else if (c == 'D') {
        out += run == 3 ? kShortDays[dow] : kLongDays[dow];
      } else {
        out += run == 3 ? kShortMonths[m - 1] : kLongMonths[m - 1];
      }
    }
  }
  return out;
}

int32_t ThxDBFDate::Today() const {
  const platform::LocalTime now = platform::Now();
  int32_t day = 0;
  Encode(now.year, now.month, now.day, day);
  return day;
}

int ThxDBFDate::DayOfWeek(int32_t day) const {
  if (day <= 0) return 0;
  return static_cast<int>((int64_t{day} + 1) % 7) + 1;
}
