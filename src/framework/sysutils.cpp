#include "framework/sysutils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "framework/exceptions.h"
#include "platform/system.h"
#include "platform/text.h"

namespace {

[[noreturn]] void FormatError(std::string_view format) {
  throw EConvertError("Format '" + std::string(format) + "' invalid or incompatible with argument");
}

// Puts the locale's decimal separator in place of the C locale's ".".
std::string LocalDecimal(std::string s) {
  char sep = platform::DecimalSeparator();
  if (sep != '.')
    for (char& c : s)
      if (c == '.') c = sep;
  return s;
}

// "1.5e-05" -> "1.5E-5", "1e+20" -> "1E20"; `minDigits` pads the exponent.
std::string TidyExponent(const std::string& s, int minDigits, bool plus) {
  size_t e = s.find_first_of("eE");
  if (e == std::string::npos) return s;
  std::string mant = s.substr(0, e);
  char sign = '+';
  size_t p = e + 1;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) sign = s[p++];
  std::string digits = s.substr(p);
  while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  while (static_cast<int>(digits.size()) < minDigits) digits.insert(0, "0");
  std::string out = mant + "E";
  if (sign == '-' || plus) out += sign;
  return out + digits;
}

std::string FixedText(double v, int decimals) {
  char buf[512];
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  if (std::fabs(v) >= 1e18) {
    // Fixed notation of huge values would be hundreds of digits long.
    std::snprintf(buf, sizeof buf, "%.*E", 14, v);
    return LocalDecimal(TidyExponent(buf, 3, true));
  }
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return LocalDecimal(buf);
}

std::string ThousandText(double v, int decimals) {
  std::string s = FixedText(v, decimals);
  if (s.find('E') != std::string::npos) return s;
  size_t start = (s[0] == '-') ? 1 : 0;
  size_t end = s.find(platform::DecimalSeparator());
  if (end == std::string::npos) end = s.size();
  char thousand = platform::DecimalSeparator() == ',' ? '.' : ',';
  for (long i = static_cast<long>(end) - 3; i > static_cast<long>(start); i -= 3)
    s.insert(static_cast<size_t>(i), 1, thousand);
  return s;
}

std::string Pad(std::string s, int width, bool left) {
  if (width > static_cast<int>(s.size())) {
    std::string fill(static_cast<size_t>(width) - s.size(), ' ');
    s = left ? s + fill : fill + s;
  }
  return s;
}

}  // namespace

std::string Format(std::string_view format, std::initializer_list<TVarRec> list) {
  const TVarRec* args = list.begin();
  const int count = static_cast<int>(list.size());
  std::string out;
  int next = 0;
  size_t i = 0;
  auto takeInt = [&]() -> int {
    if (next >= count) throw EConvertError("No argument for format '" + std::string(format) + "'");
    const TVarRec& a = args[next++];
    if (a.GetKind() == TVarRec::Kind::Integer) return static_cast<int>(a.AsInteger());
    if (a.GetKind() == TVarRec::Kind::Unsigned) return static_cast<int>(a.AsUnsigned());
    FormatError(format);
  };
  while (i < format.size()) {
    char c = format[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i < format.size() && format[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // [index ":"] ["-"] [width] ["." prec] type
    size_t save = i;
    int number = -1;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
      number = (number < 0 ? 0 : number) * 10 + (format[i] - '0');
      if (number > 100000) FormatError(format);
      ++i;
    }
    if (i < format.size() && format[i] == ':') {
      if (number < 0) number = 0;
      next = number;
      ++i;
      number = -1;
    } else {
      i = save;
      number = -1;
    }
    bool left = false;
    if (i < format.size() && format[i] == '-') {
      left = true;
      ++i;
    }
    int width = -1, prec = -1;
    if (i < format.size() && format[i] == '*') {
      width = takeInt();
      ++i;
    } else {
      while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
        width = (width < 0 ? 0 : width) * 10 + (format[i++] - '0');
        if (width > 100000) FormatError(format);
      }
    }
    if (i < format.size() && format[i] == '.') {
      ++i;
      prec = 0;
      if (i < format.size() && format[i] == '*') {
        prec = takeInt();
        ++i;
      } else {
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
          prec = prec * 10 + (format[i++] - '0');
          if (prec > 100000) FormatError(format);
        }
      }
    }
    if (i >= format.size()) FormatError(format);
    char type = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i++])));
    if (next >= count || next < 0)
      throw EConvertError("No argument for format '" + std::string(format) + "'");
    const TVarRec& a = args[next++];
    std::string text;
    switch (type) {
      case 'd':
      case 'u': {
        bool neg = false;
        uint64_t mag = 0;
        if (a.GetKind() == TVarRec::Kind::Integer) {
          int64_t v = a.AsInteger();
          neg = v < 0;
          mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
          if (type == 'u' && neg) {
            mag = static_cast<uint32_t>(v);
            neg = false;
          }
        } else if (a.GetKind() == TVarRec::Kind::Unsigned) {
          mag = a.AsUnsigned();
        } else {
          FormatError(format);
        }
        text = std::to_string(mag);
        if (prec > static_cast<int>(text.size()))
          text.insert(0, static_cast<size_t>(prec) - text.size(), '0');
        if (neg) text.insert(0, "-");
        break;
      }
      case 'x': {
        uint64_t v;
        if (a.GetKind() == TVarRec::Kind::Integer)
          v = a.AsInteger() < 0 && a.AsInteger() >= std::numeric_limits<int32_t>::min()
                  ? static_cast<uint32_t>(a.AsInteger())
                  : static_cast<uint64_t>(a.AsInteger());
        else if (a.GetKind() == TVarRec::Kind::Unsigned)
          v = a.AsUnsigned();
        else
          FormatError(format);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
        text = buf;
        if (prec > static_cast<int>(text.size()))
          text.insert(0, static_cast<size_t>(prec) - text.size(), '0');
        break;
      }
      case 's':
        if (a.GetKind() != TVarRec::Kind::String) FormatError(format);
        text = a.AsString();
        if (prec >= 0 && prec < static_cast<int>(text.size())) text.resize(static_cast<size_t>(prec));
        break;
      case 'f':
      case 'n':
      case 'e':
      case 'g': {
        double v;
        if (a.GetKind() == TVarRec::Kind::Float)
          v = a.AsFloat();
        else
          FormatError(format);
        if (type == 'f') {
          text = FixedText(v, prec < 0 ? 2 : std::min(prec, 18));
        } else if (type == 'n') {
          text = ThousandText(v, prec < 0 ? 2 : std::min(prec, 18));
        } else if (type == 'e') {
          char buf[64];
          int p = prec < 0 ? 15 : std::clamp(prec, 1, 18);
          std::snprintf(buf, sizeof buf, "%.*E", p - 1, v);
          text = LocalDecimal(TidyExponent(buf, 3, true));
        } else {
          char buf[64];
          int p = prec < 0 ? 15 : std::clamp(prec, 1, 18);
          std::snprintf(buf, sizeof buf, "%.*G", p, v);
          text = LocalDecimal(TidyExponent(buf, 0, false));
        }
        break;
      }
      default:
        FormatError(format);
    }
    out += Pad(text, width, left);
  }
  return out;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return LocalDecimal(TidyExponent(buf, 0, false));
}

std::string CurrToStr(int64_t scaled) {
  bool neg = scaled < 0;
  uint64_t mag = neg ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
  std::string text = std::to_string(mag / 10000);
  uint64_t frac = mag % 10000;
  if (frac) {
    std::string f = std::to_string(frac);
    f.insert(0, 4 - f.size(), '0');
    while (!f.empty() && f.back() == '0') f.pop_back();
    text += platform::DecimalSeparator();
    text += f;
  }
  return neg ? "-" + text : text;
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string UpperCase(const std::string& text) {
  std::string s = text;
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return s;
}

std::string LowerCase(const std::string& text) {
  std::string s = text;
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

bool TryStrToInt64(const std::string& text, int64_t& value) {
  std::string s = Trim(text);
  if (s.empty()) return false;
  size_t i = 0;
  bool neg = false;
  if (s[i] == '+' || s[i] == '-') neg = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t mag = 0;
  const uint64_t limit = neg ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  for (; i < s.size(); ++i) {
    char c = s[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    if (mag > (limit - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    mag = mag * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  value = neg ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
  return true;
}

int64_t StrToInt64(const std::string& text) {
  int64_t v;
  if (!TryStrToInt64(text, v)) throw EConvertError("'" + text + "' is not a valid integer value");
  return v;
}

int StrToInt(const std::string& text) {
  int64_t v;
  if (!TryStrToInt64(text, v) || v < std::numeric_limits<int32_t>::min() ||
      v > std::numeric_limits<int32_t>::max())
    throw EConvertError("'" + text + "' is not a valid integer value");
  return static_cast<int>(v);
}

bool TryStrToFloat(const std::string& text, double& value) {
  std::string s = Trim(text);
  if (s.empty()) return false;
  char sep = platform::DecimalSeparator();
  // Accept only sign, digits, one separator and an exponent; strtod would
  // also take "inf", "nan" and hex floats.
  std::string c;
  size_t i = 0;
  if (s[i] == '+' || s[i] == '-') c += s[i++];
  bool digits = false, point = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9') {
      digits = true;
      c += s[i];
    } else if (s[i] == sep && !point) {
      point = true;
      c += '.';
    } else {
      break;
    }
  }
  if (!digits) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    c += 'e';
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) c += s[i++];
    bool expDigits = false;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      c += s[i];
      expDigits = true;
    }
    if (!expDigits) return false;
  }
  if (i != s.size()) return false;
  errno = 0;
  double v = std::strtod(c.c_str(), nullptr);
  if (std::isinf(v)) return false;
  value = v;
  return true;
}

double StrToFloat(const std::string& text) {
  double v;
  if (!TryStrToFloat(text, v)) throw EConvertError("'" + text + "' is not a valid floating point value");
  return v;
}

// ---- date and time ----

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return days[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  int64_t days = day;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  int64_t y = year - 1;
  days += y * 365 + y / 4 - y / 100 + y / 400;
  // Day 1 is 1 January of year 1; day 0 of TDateTime is 30 December 1899.
  result = static_cast<double>(days - 693594);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime r;
  if (!TryEncodeDate(year, month, day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999)
    throw EConvertError("Invalid argument to time encode");
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  double whole = std::trunc(value);
  if (!(whole >= -693593.0 && whole <= 2958465.0)) {
    year = month = day = 0;
    return;
  }
  int64_t d = static_cast<int64_t>(whole) + 693593;  // days since 1 Jan of year 1, from 0
  int64_t y = 1;
  int64_t n400 = d / 146097;
  d %= 146097;
  int64_t n100 = d / 36524;
  if (n100 == 4) n100 = 3;
  d -= n100 * 36524;
  int64_t n4 = d / 1461;
  d %= 1461;
  int64_t n1 = d / 365;
  if (n1 == 4) n1 = 3;
  d -= n1 * 365;
  y += n400 * 400 + n100 * 100 + n4 * 4 + n1;
  year = static_cast<int>(y);
  month = 1;
  while (d >= DaysInMonth(year, month)) d -= DaysInMonth(year, month++);
  day = static_cast<int>(d) + 1;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond) {
  double frac = std::fabs(value - std::trunc(value));
  int64_t ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  hour = static_cast<int>(ms / 3600000);
  minute = static_cast<int>(ms / 60000 % 60);
  second = static_cast<int>(ms / 1000 % 60);
  millisecond = static_cast<int>(ms % 1000);
}

TDateTime Date() {
  platform::LocalTime t = platform::Now();
  return EncodeDate(t.year, t.month, t.day);
}

TDateTime Now() {
  platform::LocalTime t = platform::Now();
  return EncodeDate(t.year, t.month, t.day) + EncodeTime(t.hour, t.minute, t.second, t.millisecond);
}

std::string FormatDateTimeWin(const std::string& pattern, TDateTime value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(value, y, mo, d);
  DecodeTime(value, h, mi, s, ms);
  auto two = [](int v) {
    std::string t = std::to_string(v);
    return t.size() < 2 ? "0" + t : t;
  };
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    char c = pattern[i];
    size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c) ++run;
    switch (c) {
      case 'd':
        out += run >= 2 ? two(d) : std::to_string(d);
        break;
      case 'M':
        out += run >= 2 ? two(mo) : std::to_string(mo);
        break;
      case 'y': {
        if (run >= 3) {
          std::string t = std::to_string(y);
          out += std::string(t.size() < 4 ? 4 - t.size() : 0, '0') + t;
        } else {
          out += run == 2 ? two(y % 100) : std::to_string(y % 100);
        }
        break;
      }
      case 'H':
        out += run >= 2 ? two(h) : std::to_string(h);
        break;
      case 'h': {
        int h12 = h % 12 == 0 ? 12 : h % 12;
        out += run >= 2 ? two(h12) : std::to_string(h12);
        break;
      }
      case 'm':
        out += run >= 2 ? two(mi) : std::to_string(mi);
        break;
      case 's':
        out += run >= 2 ? two(s) : std::to_string(s);
        break;
      case 't':
        out += run >= 2 ? (h < 12 ? "AM" : "PM") : (h < 12 ? "A" : "P");
        break;
      case '\'': {
        size_t end = pattern.find('\'', i + 1);
        if (end == std::string::npos) end = pattern.size();
        out += pattern.substr(i + 1, end - i - 1);
        run = end - i + 1;
        break;
      }
      default:
        out.append(run, c);
    }
    i += run;
  }
  return out;
}

std::string DateToStr(TDateTime value) { return FormatDateTimeWin(platform::ShortDateFormat(), value); }

std::string DateTimeToStr(TDateTime value) {
  std::string text = DateToStr(value);
  int h, mi, s, ms;
  DecodeTime(value, h, mi, s, ms);
  if (h || mi || s || ms) text += " " + FormatDateTimeWin("HH:mm:ss", value);
  return text;
}
