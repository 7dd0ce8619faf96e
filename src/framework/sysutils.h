// Text formatting and conversions of the framework: Format with "%s"/"%d"
// style directives, number <-> text, and date-time values.
//
// Numbers use the locale's decimal separator (platform::DecimalSeparator);
// date-time values are days since 30 December 1899 with the time of day as
// the fraction, as the framework's TDateTime is.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

// One argument of Format. Converts implicitly from the usual C++ types.
class TVarRec {
 public:
  enum class Kind { Integer, Unsigned, Float, String };
  TVarRec(int v) : kind_(Kind::Integer), i_(v) {}
  TVarRec(long v) : kind_(Kind::Integer), i_(v) {}
  TVarRec(long long v) : kind_(Kind::Integer), i_(v) {}
  TVarRec(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
  TVarRec(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
  TVarRec(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
  TVarRec(double v) : kind_(Kind::Float), d_(v) {}
  TVarRec(const char* v) : kind_(Kind::String), s_(v ? v : "") {}
  TVarRec(std::string v) : kind_(Kind::String), s_(std::move(v)) {}
  TVarRec(std::string_view v) : kind_(Kind::String), s_(v) {}
  TVarRec(char c) : kind_(Kind::String), s_(1, c) {}
  TVarRec(bool) = delete;  // ambiguous in messages; convert explicitly

  Kind GetKind() const { return kind_; }
  int64_t AsInteger() const { return i_; }
  uint64_t AsUnsigned() const { return u_; }
  double AsFloat() const { return d_; }
  const std::string& AsString() const { return s_; }

 private:
  Kind kind_;
  int64_t i_ = 0;
  uint64_t u_ = 0;
  double d_ = 0;
  std::string s_;
};

// Directives: "%" [index ":"] ["-"] [width] ["." precision] type, with width
// and precision also given as "*" (taken from the arguments), and "%%".
// Types: d (integer; precision = minimum digits), u (unsigned), x (hex,
// upper case), s (text; precision = maximum characters), f (fixed, default
// 2 decimals), n (fixed with thousand separators), e (scientific, default
// 15 digits), g (general, default 15 digits).
// A directive that does not fit its argument, or a missing argument, raises
// EConvertError naming the format.
std::string Format(std::string_view format, std::initializer_list<TVarRec> args);

std::string IntToStr(int64_t value);
// General format with 15 significant digits; exponent form "1E20", "1.5E-5"
// when the exponent is below -4 or at least 15.
std::string FloatToStr(double value);
// Currency (scaled by 10000): up to 4 decimals, trailing zeros dropped.
std::string CurrToStr(int64_t scaled);

// Leading and trailing blanks are allowed; "$" introduces hexadecimal.
// EConvertError "'%s' is not a valid integer value" otherwise.
int StrToInt(const std::string& text);
int64_t StrToInt64(const std::string& text);
bool TryStrToInt64(const std::string& text, int64_t& value);
// The locale's decimal separator; exponent allowed. EConvertError
// "'%s' is not a valid floating point value" otherwise.
double StrToFloat(const std::string& text);
bool TryStrToFloat(const std::string& text, double& value);

std::string Trim(const std::string& text);
std::string UpperCase(const std::string& text);  // ASCII letters only
std::string LowerCase(const std::string& text);

// ---- date and time ----

using TDateTime = double;

// EConvertError "Invalid argument to date encode" / "... time encode".
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& millisecond);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);
TDateTime Now();
TDateTime Date();

// Windows date notation (d, dd, M, MM, yy, yyyy, and any other text kept)
// plus the time patterns H/h, HH/hh, mm, ss where they follow an hour.
std::string FormatDateTimeWin(const std::string& pattern, TDateTime value);
// The short date in the locale's format, then " hh:mm:ss" unless the value
// is exactly midnight.
std::string DateTimeToStr(TDateTime value);
std::string DateToStr(TDateTime value);
