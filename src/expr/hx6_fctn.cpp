#include "expr/hx6_fctn.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "framework/sysutils.h"
#include "platform/text.h"
#include "tables/hx6_date.h"

namespace {

constexpr double kPi = 3.1415926535897932385;

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }

// A count or position: the integer part, kept within a range where the
// arithmetic on it cannot overflow.
int64_t Whole(double v) {
  if (std::isnan(v)) return 0;
  v = std::trunc(v);
  if (v > 4.0e18) return int64_t{4000000000000000000};
  if (v < -4.0e18) return -int64_t{4000000000000000000};
  return static_cast<int64_t>(v);
}

// Normalises -0 to 0 so that results print without a sign.
double Plain(double v) { return v + 0.0; }

double NumberArg(ThxExpFunction& call, int index) {
  uint8_t actual;
  return call.CheckArgument(index, hxtNumber, actual).number;
}

const std::string& TextArg(ThxExpFunction& call, int index) {
  uint8_t actual;
  ThxExpValue& v = call.CheckArgument(index, hxtText, actual);
  if (v.null) v.SetText("");
  return v.text;
}

int32_t DateArg(ThxExpFunction& call, int index, bool* blank = nullptr) {
  uint8_t actual;
  const double d = call.CheckArgument(index, hxtDate, actual).number;
  int32_t day = 0;
  const bool ok = HxDayFromNumber(d, day);
  if (blank) *blank = !ok;
  return ok ? day : 0;
}

// An optional number: used only when the argument evaluates to a number.
bool OptionalNumber(ThxExpFunction& call, int index, double& out) {
  uint8_t actual;
  const ThxExpValue& v = call.CheckArgument(index, hxtAny, actual);
  if ((actual == hxtNumber || actual == hxtInteger) && !v.null) {
    out = v.number;
    return true;
  }
  return false;
}

// An optional text: missing gives `fallback`; present it must be text.
const std::string& OptionalText(ThxExpFunction& call, int index, const std::string& fallback) {
  uint8_t actual;
  ThxExpValue& v = call.CheckArgument(index, hxtAny, actual);
  if (actual == hxtEmpty) return fallback;
  if (actual != hxtText)
    RaiseExpression(hxExpArgumentNeeded, ExpTypeName(hxtText), index + 1, call.NodeText());
  if (v.null) v.SetText("");
  return v.text;
}

void CheckPadWidth(int64_t width, const char* function) {
  if (width > kHxMaxPadWidth) RaiseExpression(hxExpArgumentMustBe, function, "at most 65535");
}

uint8_t NumberResult(ThxExpValue& value, double v) {
  value.SetNumber(Plain(v));
  return hxtNumber;
}

uint8_t BooleanResult(ThxExpValue& value, bool v) {
  value.SetBoolean(v);
  return hxtBoolean;
}

// Position (from 1) of the n-th occurrence of `needle` in `hay`; each search
// starts one character after the previous hit, so occurrences may overlap.
// 0 when there are fewer than n occurrences.
int64_t NthPosition(std::string_view needle, std::string_view hay, int64_t n) {
  if (needle.empty() || n < 1) return 0;
  size_t from = 0;
  size_t hit = std::string_view::npos;
  for (int64_t i = 0; i < n; ++i) {
    hit = hay.find(needle, from);
    if (hit == std::string_view::npos) return 0;
    from = hit + 1;
  }
  return static_cast<int64_t>(hit) + 1;
}

std::string UpperAsciiOnly(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

bool SameValue(const ThxExpValue& a, uint8_t ta, std::string_view aText, const ThxExpValue& b, uint8_t tb) {
  if (IsNumericType(ta) && IsNumericType(tb)) return a.number == b.number;
  if (ta != tb) return false;
  if (ta == hxtBoolean) return a.boolean == b.boolean;
  if (ta == hxtText || ta == hxtMemo) return aText == std::string_view(b.text);
  return false;
}

// <0, 0, >0 of two values of the same type.
int CompareValues(const ThxExpValue& a, const ThxExpValue& b, uint8_t type) {
  if (IsNumericType(type)) return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
  if (type == hxtBoolean) return int(a.boolean) - int(b.boolean);
  if (type == hxtText || type == hxtMemo) return platform::AnsiCompareStr(a.text, b.text);
  return 0;
}

std::string TrimmedRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return std::string(s);
}

// Text of a value of any type, for the padding functions.
std::string ValueText(const ThxExpValue& v, uint8_t type) {
  switch (type) {
    case hxtText:
    case hxtMemo:
      return v.text;
    case hxtDate: {
      int32_t day = 0;
      if (!HxDayFromNumber(v.number, day)) day = 0;
      return DBFDate().ToDisplay(day);
    }
    case hxtNumber:
    case hxtInteger:
    case hxtDateTime:
      return FloatToStr(v.number);
    case hxtBoolean:
      return v.boolean ? "True" : "False";
    default:
      return std::string();
  }
}

// Formats x right-aligned in `width` characters with `decimals` decimals;
// width asterisks when it does not fit. The point is always ".", as in the
// numeric fields, so keys built from STR do not depend on the locale.
void FormatNumber(double x, int64_t width, int64_t decimals, std::string& out) {
  out.clear();
  if (width <= 0) return;
  if (decimals < 0) decimals = 0;
  if (decimals + 2 > width && decimals > 0) {
    // "0." and the decimals alone would not fit.
    out.assign(static_cast<size_t>(width), '*');
    return;
  }
  // Whole numbers (record numbers, codes, amounts in cents: most index keys)
  // are written without printf; they give the same text.
  const double plain = Plain(x);
  if (std::fabs(plain) < 1e15 && plain == std::trunc(plain) && decimals <= 64) {
    char digits[96];
    char* end = digits + sizeof digits;
    char* p = end;
    for (int64_t i = 0; i < decimals; ++i) *--p = '0';
    if (decimals > 0) *--p = '.';
    uint64_t whole = static_cast<uint64_t>(std::fabs(plain));
    do {
      *--p = static_cast<char>('0' + whole % 10);
      whole /= 10;
    } while (whole != 0);
    if (plain < 0) *--p = '-';
    const int64_t length = end - p;
    if (length > width) {
      out.assign(static_cast<size_t>(width), '*');
    } else {
      out.assign(static_cast<size_t>(width - length), ' ');
      out.append(p, static_cast<size_t>(length));
    }
    return;
  }
  char buf[512];
  int n =
      std::snprintf(buf, sizeof buf, "%*.*f", static_cast<int>(width), static_cast<int>(decimals), Plain(x));
  if (n < 0 || n > width || static_cast<size_t>(n) >= sizeof buf) {
    if (n > 0 && n <= width) {
      out.resize(static_cast<size_t>(n) + 1);
      std::snprintf(out.data(), out.size(), "%*.*f", static_cast<int>(width), static_cast<int>(decimals),
                    Plain(x));
      out.resize(static_cast<size_t>(n));
    } else {
      out.assign(static_cast<size_t>(width), '*');
      return;
    }
  } else {
    out.assign(buf, static_cast<size_t>(n));
  }
}

double RoundHalfAway(double y) {
  // A product such as 2.675 * 100 lands a hair below the half it stands
  // for; a few units of rounding error are not allowed to decide.
  return std::round(y + std::copysign(std::fabs(y) * 4 * DBL_EPSILON, y));
}

}  // namespace

// ---- predefined variables ----

uint8_t ThxSDVTrue::GetValue(ThxExpValue& value) { return BooleanResult(value, true); }
uint8_t ThxSDVFalse::GetValue(ThxExpValue& value) { return BooleanResult(value, false); }
uint8_t ThxSDVPi::GetValue(ThxExpValue& value) { return NumberResult(value, kPi); }

// ---- numeric functions ----

std::string ThxUDFAbsolute::FunctionName() const { return "ABS"; }
uint8_t ThxUDFAbsolute::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::fabs(NumberArg(call, 0)));
}

std::string ThxUDFArcCos::FunctionName() const { return "ACOS"; }
uint8_t ThxUDFArcCos::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = NumberArg(call, 0);
  if (!(std::fabs(x) <= 1)) RaiseExpression(hxExpArgumentMustBe, "ACOS", "-1 to +1");
  return NumberResult(value, std::acos(x));
}

std::string ThxUDFArcSin::FunctionName() const { return "ASIN"; }
uint8_t ThxUDFArcSin::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = NumberArg(call, 0);
  if (!(std::fabs(x) <= 1)) RaiseExpression(hxExpArgumentMustBe, "ASIN", "-1 to +1");
  return NumberResult(value, std::asin(x));
}

std::string ThxUDFArcTan::FunctionName() const { return "ATAN"; }
uint8_t ThxUDFArcTan::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::atan(NumberArg(call, 0)));
}

std::string ThxUDFArcTan2::FunctionName() const { return "ATN2"; }
uint8_t ThxUDFArcTan2::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double y = NumberArg(call, 0);
  const double x = NumberArg(call, 1);
  return NumberResult(value, std::atan2(y, x));
}

std::string ThxUDFCeiling::FunctionName() const { return "CEILING"; }
uint8_t ThxUDFCeiling::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::ceil(NumberArg(call, 0)));
}

std::string ThxUDFFloor::FunctionName() const { return "FLOOR"; }
uint8_t ThxUDFFloor::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::floor(NumberArg(call, 0)));
}

std::string ThxUDFInt::FunctionName() const { return "INT"; }
uint8_t ThxUDFInt::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::trunc(NumberArg(call, 0)));
}

std::string ThxUDFCosine::FunctionName() const { return "COS"; }
uint8_t ThxUDFCosine::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::cos(NumberArg(call, 0)));
}

std::string ThxUDFSin::FunctionName() const { return "SIN"; }
uint8_t ThxUDFSin::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::sin(NumberArg(call, 0)));
}

std::string ThxUDFTan::FunctionName() const { return "TAN"; }
uint8_t ThxUDFTan::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, std::tan(NumberArg(call, 0)));
}

std::string ThxUDFDegToRad::FunctionName() const { return "DTOR"; }
uint8_t ThxUDFDegToRad::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, NumberArg(call, 0) * kPi / 180.0);
}

std::string ThxUDFRadToDeg::FunctionName() const { return "RTOD"; }
uint8_t ThxUDFRadToDeg::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, NumberArg(call, 0) * 180.0 / kPi);
}

std::string ThxUDFLog::FunctionName() const { return "LOG"; }
uint8_t ThxUDFLog::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = NumberArg(call, 0);
  if (!(x > 0)) RaiseExpression(hxExpArgumentMustBe, "LOG", "> 0");
  return NumberResult(value, std::log(x));
}

std::string ThxUDFLog10::FunctionName() const { return "LOG10"; }
uint8_t ThxUDFLog10::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = NumberArg(call, 0);
  if (!(x > 0)) RaiseExpression(hxExpArgumentMustBe, "LOG10", "> 0");
  return NumberResult(value, std::log10(x));
}

std::string ThxUDFMod::FunctionName() const { return "MOD"; }
uint8_t ThxUDFMod::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double a = std::trunc(NumberArg(call, 0));
  const double b = std::trunc(NumberArg(call, 1));
  if (b == 0) throw EZeroDivide();
  return NumberResult(value, std::fmod(a, b));  // the sign of the dividend
}

std::string ThxUDFPi::FunctionName() const { return "PI"; }
uint8_t ThxUDFPi::Execute(ThxExpFunction&, ThxExpValue& value) { return NumberResult(value, kPi); }

std::string ThxUDFRound::FunctionName() const { return "ROUND"; }
uint8_t ThxUDFRound::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = NumberArg(call, 0);
  double d = 0;
  OptionalNumber(call, 1, d);
  const int64_t n = std::clamp<int64_t>(Whole(d), -308, 308);
  double result = x;
  if (n >= 0) {
    const double scale = std::pow(10.0, static_cast<double>(n));
    const double y = x * scale;
    // Beyond 2^52 a double has no fraction left to round.
    if (std::isfinite(y) && std::fabs(y) < 4503599627370496.0) result = RoundHalfAway(y) / scale;
  } else {
    const double scale = std::pow(10.0, static_cast<double>(-n));
    result = RoundHalfAway(x / scale) * scale;
  }
  return NumberResult(value, result);
}

namespace {

// FV and PV share their arguments: payment, rate, periods, the other value
// (present for FV, future for PV) and the payment time.
uint8_t Annuity(ThxExpFunction& call, ThxExpValue& value, bool future) {
  const double p = NumberArg(call, 0);
  const double r = NumberArg(call, 1);
  const double n = std::trunc(NumberArg(call, 2));
  double other = 0, time = 0;
  OptionalNumber(call, 3, other);
  OptionalNumber(call, 4, time);
  const int64_t t = Whole(time);
  if (t > 1 || t < -1)
    RaiseExpression(hxExpArgumentMustBe, future ? "FV PaymentTime" : "PV PaymentTime", "0 or 1");
  if (r == 0) return NumberResult(value, std::fabs(p * n + other));
  const double c = std::pow(1 + r, n);
  const double a = p * (1 + r * static_cast<double>(t)) * (c - 1) / r;
  if (future) return NumberResult(value, std::fabs(a + other * c));
  if (c == 0) throw EZeroDivide();
  return NumberResult(value, std::fabs((a + other) / c));
}

}  // namespace

std::string ThxUDFFutureValue::FunctionName() const { return "FV"; }
uint8_t ThxUDFFutureValue::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return Annuity(call, value, true);
}

std::string ThxUDFPresentValue::FunctionName() const { return "PV"; }
uint8_t ThxUDFPresentValue::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return Annuity(call, value, false);
}

std::string ThxUDFAsc::FunctionName() const { return "ASC"; }
uint8_t ThxUDFAsc::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const std::string& s = TextArg(call, 0);
  return NumberResult(value, s.empty() ? 0 : static_cast<unsigned char>(s[0]));
}

std::string ThxUDFAt::FunctionName() const { return "AT"; }
uint8_t ThxUDFAt::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const std::string& needle = TextArg(call, 0);
  const std::string& hay = TextArg(call, 1);
  double n = 1;
  OptionalNumber(call, 2, n);
  return NumberResult(value, static_cast<double>(NthPosition(needle, hay, Whole(n))));
}

std::string ThxUDFAtC::FunctionName() const { return "ATC"; }
uint8_t ThxUDFAtC::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const std::string needle = UpperAsciiOnly(TextArg(call, 0));
  const std::string hay = UpperAsciiOnly(TextArg(call, 1));
  double n = 1;
  OptionalNumber(call, 2, n);
  return NumberResult(value, static_cast<double>(NthPosition(needle, hay, Whole(n))));
}

std::string ThxUDFLen::FunctionName() const { return "LEN"; }
uint8_t ThxUDFLen::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return NumberResult(value, static_cast<double>(TextArg(call, 0).size()));
}

std::string ThxUDFVal::FunctionName() const { return "VAL"; }
uint8_t ThxUDFVal::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const std::string& text = TextArg(call, 0);
  double v = 0;
  // The locale's form first, then the form STR and the numeric fields use.
  if (!TryStrToFloat(text, v)) {
    std::string_view s = text;
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || p != s.data() + s.size()) v = 0;
  }
  if (!std::isfinite(v)) v = 0;
  return NumberResult(value, v);
}

// ---- text functions ----

std::string ThxUDFAllTrim::FunctionName() const { return "ALLTRIM"; }
uint8_t ThxUDFAllTrim::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  std::string& s = value.text;
  size_t end = s.size();
  while (end > 0 && IsBlank(s[end - 1])) --end;
  size_t start = 0;
  while (start < end && IsBlank(s[start])) ++start;
  s.erase(end);
  s.erase(0, start);
  value.null = false;
  return hxtText;
}

std::string ThxUDFLTrim::FunctionName() const { return "LTRIM"; }
uint8_t ThxUDFLTrim::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  size_t start = 0;
  while (start < value.text.size() && IsBlank(value.text[start])) ++start;
  value.text.erase(0, start);
  value.null = false;
  return hxtText;
}

std::string ThxUDFTrim::FunctionName() const { return "TRIM"; }
uint8_t ThxUDFTrim::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  size_t end = value.text.size();
  while (end > 0 && IsBlank(value.text[end - 1])) --end;
  value.text.erase(end);
  value.null = false;
  return hxtText;
}

std::string ThxUDFRTrim::FunctionName() const { return "RTRIM"; }

std::string ThxUDFUpper::FunctionName() const { return "UPPER"; }
uint8_t ThxUDFUpper::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  for (char& c : value.text) c = platform::AnsiUpperChar(c);
  value.null = false;
  return hxtText;
}

std::string ThxUDFLower::FunctionName() const { return "LOWER"; }
uint8_t ThxUDFLower::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  for (char& c : value.text) c = platform::AnsiLowerChar(c);
  value.null = false;
  return hxtText;
}

std::string ThxUDFProper::FunctionName() const { return "PROPER"; }
uint8_t ThxUDFProper::Execute(ThxExpFunction& call, ThxExpValue& value) {
  static constexpr char kStarts[] = " !\"#$%&()*+,-./:;<=>?[\\]^_{|}~@\x7F";
  static const std::string_view kWordStarts(kStarts, sizeof kStarts - 1);
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  std::string& s = value.text;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool start = i == 0 || s[i - 1] == '\0' || kWordStarts.find(s[i - 1]) != std::string_view::npos;
    s[i] = start ? platform::AnsiUpperChar(s[i]) : platform::AnsiLowerChar(s[i]);
  }
  value.null = false;
  return hxtText;
}

std::string ThxUDFChr::FunctionName() const { return "CHR"; }
uint8_t ThxUDFChr::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = std::trunc(NumberArg(call, 0));
  if (!(x >= 0 && x <= 255)) RaiseExpression(hxExpValueInvalid, "Byte");
  value.SetText(std::string_view());
  value.text.push_back(static_cast<char>(static_cast<unsigned char>(x)));
  return hxtText;
}

std::string ThxUDFLeft::FunctionName() const { return "LEFT"; }
uint8_t ThxUDFLeft::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  const double n = NumberArg(call, 1);
  value.null = false;
  if (n <= 0.01) {
    value.text.clear();
    return hxtText;
  }
  const int64_t count = Whole(n);
  if (count > static_cast<int64_t>(value.text.size())) CheckPadWidth(count, "LEFT");
  value.text.resize(static_cast<size_t>(count), ' ');
  return hxtText;
}

std::string ThxUDFRight::FunctionName() const { return "RIGHT"; }
uint8_t ThxUDFRight::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  const int64_t n = Whole(NumberArg(call, 1));
  value.null = false;
  if (n <= 0)
    value.text.clear();
  else if (n < static_cast<int64_t>(value.text.size()))
    value.text.erase(0, value.text.size() - static_cast<size_t>(n));
  return hxtText;
}

std::string ThxUDFSubStr::FunctionName() const { return "SUBSTR"; }
uint8_t ThxUDFSubStr::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t actual;
  call.CheckArgument(0, value, hxtText, actual);
  value.null = false;
  const int64_t len = static_cast<int64_t>(value.text.size());
  const int64_t start = Whole(NumberArg(call, 1));
  double c = 0;
  int64_t count = OptionalNumber(call, 2, c) ? Whole(c) : len;
  if (start <= 0 || start > len) {
    value.text.clear();
    return hxtText;
  }
  count = std::min(count, len - start + 1);
  if (count <= 0) {
    value.text.clear();
    return hxtText;
  }
  value.text.erase(static_cast<size_t>(start - 1 + count));
  value.text.erase(0, static_cast<size_t>(start - 1));
  return hxtText;
}

std::string ThxUDFSpace::FunctionName() const { return "SPACE"; }
uint8_t ThxUDFSpace::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const int64_t n = Whole(NumberArg(call, 0));
  CheckPadWidth(n, "SPACE");
  value.SetText(std::string_view());
  if (n > 0) value.text.assign(static_cast<size_t>(n), ' ');
  return hxtText;
}

std::string ThxUDFStr::FunctionName() const { return "STR"; }
uint8_t ThxUDFStr::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const double x = NumberArg(call, 0);
  double w = 0, d = 0;
  int64_t width = 10;
  int64_t decimals = 0;
  if (OptionalNumber(call, 1, w)) {
    width = Whole(w);
    if (OptionalNumber(call, 2, d)) decimals = Whole(d);
  } else if (ThxExpUserLink* link = call.Handler() ? call.Handler()->Link() : nullptr) {
    width = link->DefaultWidth();
  }
  CheckPadWidth(width, FunctionName().c_str());
  value.null = false;
  FormatNumber(x, width, std::min(decimals, width), value.text);
  return hxtText;
}

std::string ThxUDFStrZero::FunctionName() const { return "STRZERO"; }
uint8_t ThxUDFStrZero::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const uint8_t type = ThxUDFStr::Execute(call, value);
  for (char& c : value.text) {
    if (c != ' ') break;
    c = '0';
  }
  return type;
}

std::string ThxUDFStrTran::FunctionName() const { return "STRTRAN"; }
uint8_t ThxUDFStrTran::Execute(ThxExpFunction& call, ThxExpValue& value) {
  static const std::string kNone;
  const std::string& text = TextArg(call, 0);
  const std::string& search = TextArg(call, 1);
  const std::string& replacement = OptionalText(call, 2, kNone);
  double f = 1, c = 0;
  OptionalNumber(call, 3, f);
  const int64_t first = Whole(f);
  int64_t count = OptionalNumber(call, 4, c) ? Whole(c) : INT64_MAX;
  std::string& out = call.WorkText();
  out.clear();
  if (text.empty()) {
    value.SetText(std::string_view());
    return hxtText;
  }
  if (search.empty()) {
    value.SetText(text);
    return hxtText;
  }
  size_t pos = 0;
  int64_t passed = 0;
  while (count > 0) {
    const size_t hit = text.find(search, pos);
    if (hit == std::string::npos) break;
    if (passed < first - 1) {
      out.append(text, pos, hit + search.size() - pos);
      ++passed;
    } else {
      out.append(text, pos, hit - pos);
      out.append(replacement);
      --count;
    }
    pos = hit + search.size();
    if (out.size() > kHxMaxBuiltText)
      RaiseExpression(hxExpArgumentMustBe, "STRTRAN", "a result of at most 16 MB");
  }
  out.append(text, pos, std::string::npos);
  value.SetText(out);
  return hxtText;
}

uint8_t ThxUDFPadMain::Pad(ThxExpFunction& call, ThxExpValue& value, Side side) {
  uint8_t actual;
  // The fill character is checked first, then the value, then the width.
  const ThxExpValue& fill = call.CheckArgument(2, hxtAny, actual);
  char fillChar = ' ';
  if (actual != hxtEmpty) {
    if (actual != hxtText || fill.text.size() != 1) RaiseExpression(hxExpValueInvalid, "Char");
    fillChar = fill.text[0];
  }
  const ThxExpValue& v = call.CheckArgument(0, hxtAny, actual);
  if (actual == hxtEmpty) RaiseExpression(hxExpArgumentNeeded, "Value", 1, "Pad");
  std::string text = ValueText(v, actual);
  const int64_t width = Whole(NumberArg(call, 1));
  if (width > static_cast<int64_t>(text.size())) CheckPadWidth(width, "Pad");
  fill_ = fillChar;
  width_ = width;
  text_ = std::move(text);
  value.null = false;
  const int64_t len = static_cast<int64_t>(text_.size());
  if (len >= width_) {
    value.text = text_;
    return hxtText;
  }
  const size_t total = static_cast<size_t>(width_);
  value.text.assign(total, fill_);
  size_t at = 0;
  if (side == Side::Left)
    at = total - text_.size();
  else if (side == Side::Center)
    at = (total - text_.size()) / 2;
  value.text.replace(at, text_.size(), text_);
  return hxtText;
}

std::string ThxUDFPadL::FunctionName() const { return "PADL"; }
uint8_t ThxUDFPadL::Execute(ThxExpFunction& call, ThxExpValue& value) { return Pad(call, value, Side::Left); }
std::string ThxUDFPadR::FunctionName() const { return "PADR"; }
uint8_t ThxUDFPadR::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return Pad(call, value, Side::Right);
}
std::string ThxUDFPadC::FunctionName() const { return "PADC"; }
uint8_t ThxUDFPadC::Execute(ThxExpFunction& call, ThxExpValue& value) {
  return Pad(call, value, Side::Center);
}

std::string ThxUDFSoundex::FunctionName() const { return "SOUNDEX"; }
uint8_t ThxUDFSoundex::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const std::string& in = TextArg(call, 0);
  std::string& code = call.WorkText();
  code.clear();
  if (in.empty()) {
    value.SetText("0000");
    return hxtText;
  }
  code.push_back(platform::AnsiUpperChar(in[0]));
  for (size_t i = 1; i < in.size(); ++i) {
    switch (platform::AnsiUpperChar(in[i])) {
      case 'B':
      case 'F':
      case 'P':
      case 'V':
        code.push_back('1');
        break;
      case 'C':
      case 'G':
      case 'J':
      case 'K':
      case 'Q':
      case 'S':
      case 'X':
      case 'Z':
        code.push_back('2');
        break;
      case 'D':
      case 'T':
        code.push_back('3');
        break;
      case 'L':
        code.push_back('4');
        break;
      case 'M':
      case 'N':
        code.push_back('5');
        break;
      case 'R':
        code.push_back('6');
        break;
      default:
        break;
    }
  }
  code.erase(std::unique(code.begin(), code.end()), code.end());
  code += "0000";
  value.SetText(std::string_view(code).substr(0, 4));
  return hxtText;
}

std::string ThxUDFDTOC::FunctionName() const { return "DTOC"; }
uint8_t ThxUDFDTOC::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const int32_t day = DateArg(call, 0);
  double mode = 0;
  const bool compact = OptionalNumber(call, 1, mode) && Whole(mode) == 1;
  value.SetText(compact ? DBFDate().ToText(day) : DBFDate().ToDisplay(day));
  return hxtText;
}

std::string ThxUDFDTOS::FunctionName() const { return "DTOS"; }
uint8_t ThxUDFDTOS::Execute(ThxExpFunction& call, ThxExpValue& value) {
  value.SetText(DBFDate().ToText(DateArg(call, 0)));
  return hxtText;
}

// ---- date functions ----

std::string ThxUDFDate::FunctionName() const { return "DATE"; }
uint8_t ThxUDFDate::Execute(ThxExpFunction&, ThxExpValue& value) {
  value.SetNumber(DBFDate().Today());
  return hxtDate;
}

std::string ThxUDFCTOD::FunctionName() const { return "CTOD"; }
uint8_t ThxUDFCTOD::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const std::string& text = TextArg(call, 0);
  bool empty = true;
  for (char c : text)
    if (!IsBlank(c)) empty = false;
  value.SetNumber(empty ? kHxBlankDate : DBFDate().ToJulian(text));
  return hxtDate;
}

std::string ThxUDFDOW::FunctionName() const { return "DOW"; }
uint8_t ThxUDFDOW::Execute(ThxExpFunction& call, ThxExpValue& value) {
  const int32_t day = DateArg(call, 0);
  return NumberResult(value, day > 0 ? DBFDate().DayOfWeek(day) : 0);
}

// ---- logical and general functions ----

std::string ThxUDFBetween::FunctionName() const { return "BETWEEN"; }
uint8_t ThxUDFBetween::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t tx, tl, th;
  const ThxExpValue& x = call.CheckArgument(0, hxtAny, tx);
  const ThxExpValue& low = call.CheckArgument(1, tx, tl);
  const ThxExpValue& high = call.CheckArgument(2, tx, th);
  if (tx == hxtEmpty || x.null || low.null || high.null) return BooleanResult(value, false);
  if (tx == hxtText || tx == hxtMemo) {
    const std::string a = TrimmedRight(x.text), l = TrimmedRight(low.text), h = TrimmedRight(high.text);
    return BooleanResult(value, platform::AnsiCompareStr(l, a) <= 0 && platform::AnsiCompareStr(a, h) <= 0);
  }
  return BooleanResult(value, CompareValues(low, x, tx) <= 0 && CompareValues(x, high, tx) <= 0);
}

std::string ThxUDFEmpty::FunctionName() const { return "EMPTY"; }
uint8_t ThxUDFEmpty::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t t;
  const ThxExpValue& v = call.CheckArgument(0, hxtAny, t);
  bool empty = false;
  switch (t) {
    case hxtDate:
    case hxtDateTime:
      empty = v.number == 0 || v.number == kHxBlankDate;
      break;
    case hxtNumber:
    case hxtInteger:
      empty = v.number == 0;
      break;
    case hxtText: {
      empty = true;
      for (char c : v.text)
        if (c != ' ') empty = false;
      break;
    }
    case hxtBoolean:
      empty = !v.boolean;
      break;
    default:
      break;
  }
  return BooleanResult(value, empty);
}

std::string ThxUDFIIF::FunctionName() const { return "IIF"; }
uint8_t ThxUDFIIF::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t t;
  const bool condition = call.CheckArgument(0, hxtBoolean, t).boolean;
  // Only the chosen branch is evaluated.
  value.SetNull();
  call.CheckArgument(condition ? 1 : 2, value, hxtAny, t);
  return t;
}

std::string ThxUDFInlist::FunctionName() const { return "INLIST"; }
uint8_t ThxUDFInlist::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t tx;
  const ThxExpValue& x = call.CheckArgument(0, hxtAny, tx);
  if (tx == hxtEmpty || x.null) return BooleanResult(value, false);
  std::string_view xText = x.text;
  while (!xText.empty() && xText.back() == ' ') xText.remove_suffix(1);
  for (int i = 1;; ++i) {
    uint8_t ti;
    const ThxExpValue& c = call.CheckArgument(i, hxtAny, ti);
    if (ti == hxtEmpty) break;
    if (!c.null && SameValue(x, tx, xText, c, ti)) return BooleanResult(value, true);
  }
  return BooleanResult(value, false);
}

namespace {

uint8_t Extreme(ThxExpFunction& call, ThxExpValue& value, bool greatest) {
  const char* name = greatest ? "Max()" : "Min()";
  uint8_t t0;
  call.CheckArgument(0, value, hxtAny, t0);
  if (t0 == hxtEmpty) RaiseExpression(hxExpValueRequired, name);
  for (int i = 1;; ++i) {
    uint8_t ti;
    ThxExpValue& c = call.CheckArgument(i, hxtAny, ti);
    if (ti == hxtEmpty) break;
    if (ti != t0) RaiseExpression(hxExpSameType, name);
    const int order = CompareValues(c, value, t0);
    if (greatest ? order > 0 : order < 0) {
      value.null = c.null;
      value.number = c.number;
      value.boolean = c.boolean;
      value.text = c.text;
    }
  }
  return t0;
}

}  // namespace

std::string ThxUDFMax::FunctionName() const { return "MAX"; }
uint8_t ThxUDFMax::Execute(ThxExpFunction& call, ThxExpValue& value) { return Extreme(call, value, true); }
std::string ThxUDFMin::FunctionName() const { return "MIN"; }
uint8_t ThxUDFMin::Execute(ThxExpFunction& call, ThxExpValue& value) { return Extreme(call, value, false); }

std::string ThxUDFDescend::FunctionName() const { return "DESCEND"; }
uint8_t ThxUDFDescend::Execute(ThxExpFunction& call, ThxExpValue& value) {
  uint8_t t;
  call.CheckArgument(0, value, hxtAny, t);
  switch (t) {
    case hxtDate:
    case hxtDateTime:
      if (value.number != kHxBlankDate) value.number = 5231808.0 - value.number;
      return t;
    case hxtNumber:
    case hxtInteger:
      value.number = Plain(-value.number);
      return t;
    case hxtText:
      for (char& c : value.text) c = static_cast<char>((256 - static_cast<unsigned char>(c)) % 256);
      return t;
    case hxtBoolean:
      value.boolean = !value.boolean;
      return t;
    default:
      return BooleanResult(value, false);
  }
}

// ---- registration ----

void HxRegisterBuiltIns(ThxFunctionReg& functions, ThxFieldVarReg& variables) {
  functions.Register(std::make_unique<ThxUDFAbsolute>());
  functions.Register(std::make_unique<ThxUDFAllTrim>());
  functions.Register(std::make_unique<ThxUDFArcCos>());
  functions.Register(std::make_unique<ThxUDFArcSin>());
  functions.Register(std::make_unique<ThxUDFArcTan>());
  functions.Register(std::make_unique<ThxUDFArcTan2>());
  functions.Register(std::make_unique<ThxUDFAsc>());
  functions.Register(std::make_unique<ThxUDFAt>());
  functions.Register(std::make_unique<ThxUDFAtC>());
  functions.Register(std::make_unique<ThxUDFBetween>());
  functions.Register(std::make_unique<ThxUDFCeiling>());
  functions.Register(std::make_unique<ThxUDFChr>());
  functions.Register(std::make_unique<ThxUDFCosine>());
  functions.Register(std::make_unique<ThxUDFCTOD>());
  functions.Register(std::make_unique<ThxUDFDate>());
  functions.Register(std::make_unique<ThxUDFDescend>());
  functions.Register(std::make_unique<ThxUDFDOW>());
  functions.Register(std::make_unique<ThxUDFDTOC>());
  functions.Register(std::make_unique<ThxUDFDegToRad>());
  functions.Register(std::make_unique<ThxUDFDTOS>());
  functions.Register(std::make_unique<ThxUDFEmpty>());
  functions.Register(std::make_unique<ThxUDFFloor>());
  functions.Register(std::make_unique<ThxUDFFutureValue>());
  functions.Register(std::make_unique<ThxUDFIIF>());
  functions.Register(std::make_unique<ThxUDFInlist>());
  functions.Register(std::make_unique<ThxUDFInt>());
  functions.Register(std::make_unique<ThxUDFLeft>());
  functions.Register(std::make_unique<ThxUDFLen>());
  functions.Register(std::make_unique<ThxUDFLog>());
  functions.Register(std::make_unique<ThxUDFLog10>());
  functions.Register(std::make_unique<ThxUDFLower>());
  functions.Register(std::make_unique<ThxUDFLTrim>());
  functions.Register(std::make_unique<ThxUDFMax>());
  functions.Register(std::make_unique<ThxUDFMin>());
  functions.Register(std::make_unique<ThxUDFMod>());
  functions.Register(std::make_unique<ThxUDFPadC>());
  functions.Register(std::make_unique<ThxUDFPadL>());
  functions.Register(std::make_unique<ThxUDFPadR>());
  functions.Register(std::make_unique<ThxUDFPi>());
  functions.Register(std::make_unique<ThxUDFPresentValue>());
  functions.Register(std::make_unique<ThxUDFProper>());
  functions.Register(std::make_unique<ThxUDFRight>());
  functions.Register(std::make_unique<ThxUDFRTrim>());
  functions.Register(std::make_unique<ThxUDFRadToDeg>());
  functions.Register(std::make_unique<ThxUDFRound>());
  functions.Register(std::make_unique<ThxUDFSin>());
  functions.Register(std::make_unique<ThxUDFSoundex>());
  functions.Register(std::make_unique<ThxUDFSpace>());
  functions.Register(std::make_unique<ThxUDFStr>());
  functions.Register(std::make_unique<ThxUDFStrTran>());
  functions.Register(std::make_unique<ThxUDFStrZero>());
  functions.Register(std::make_unique<ThxUDFSubStr>());
  functions.Register(std::make_unique<ThxUDFTan>());
  functions.Register(std::make_unique<ThxUDFTrim>());
  functions.Register(std::make_unique<ThxUDFUpper>());
  functions.Register(std::make_unique<ThxUDFVal>());

  variables.Register(std::make_shared<ThxSDVTrue>());
  variables.Register(std::make_shared<ThxSDVFalse>());
  variables.Register(std::make_shared<ThxSDVPi>());
}
