#include "framework/variants.h"

#include <cmath>
#include <limits>
#include <vector>

#include "platform/text.h"

namespace {

// Round half to even, as the framework rounds doubles into integers.
bool RoundToInt64(double v, int64_t& out) {
  if (!std::isfinite(v)) return false;
  double r = std::nearbyint(v);  // default rounding mode: to nearest, ties to even
  if (r < -9223372036854775808.0 || r >= 9223372036854775808.0) return false;
  out = static_cast<int64_t>(r);
  return true;
}

bool IsTrueText(const std::string& s) { return platform::CompareTextAscii(Trim(s), "True") == 0; }
bool IsFalseText(const std::string& s) { return platform::CompareTextAscii(Trim(s), "False") == 0; }

// Date (and optional time) in the order of the locale's short date format.
bool TryParseDateTime(const std::string& text, TDateTime& out) {
  std::string fmt = platform::ShortDateFormat();
  std::vector<char> order;
  for (char c : fmt) {
    char k = c == 'd' ? 'd' : c == 'M' ? 'M' : c == 'y' ? 'y' : 0;
    if (k && (order.empty() || order.back() != k)) order.push_back(k);
  }
  if (order.size() != 3) order = {'M', 'd', 'y'};
  std::vector<int> nums;
  std::vector<int> widths;
  size_t i = 0;
  std::string s = Trim(text);
  while (i < s.size() && nums.size() < 6) {
    if (s[i] < '0' || s[i] > '9') {
      ++i;
      continue;
    }
    int v = 0, w = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && w < 9) {
      v = v * 10 + (s[i++] - '0');
      ++w;
    }
    nums.push_back(v);
    widths.push_back(w);
  }
  if (nums.size() < 3) return false;
  int y = 0, m = 0, d = 0;
  for (size_t k = 0; k < 3; ++k) {
    if (order[k] == 'd') d = nums[k];
    if (order[k] == 'M') m = nums[k];
    if (order[k] == 'y') {
      y = nums[k];
      if (widths[k] <= 2) y += y < 50 ? 2000 : 1900;
    }
  }
  TDateTime date;
  if (!TryEncodeDate(y, m, d, date)) return false;
  int h = nums.size() > 3 ? nums[3] : 0, mi = nums.size() > 4 ? nums[4] : 0,
      sec = nums.size() > 5 ? nums[5] : 0;
  if (h > 23 || mi > 59 || sec > 59) return false;
  out = date + EncodeTime(h, mi, sec, 0);
  return true;
}

}  // namespace

const char* VarTypeName(TVarType type) {
  switch (type) {
    case TVarType::varEmpty:
      return "Empty";
    case TVarType::varNull:
      return "Null";
    case TVarType::varString:
      return "String";
    case TVarType::varInteger:
      return "Integer";
    case TVarType::varInt64:
      return "Int64";
    case TVarType::varDouble:
      return "Double";
    case TVarType::varBoolean:
      return "Boolean";
    case TVarType::varDate:
      return "Date";
    case TVarType::varCurrency:
      return "Currency";
  }
  return "Unknown";
}

Variant Variant::Null() {
  Variant v;
  v.type_ = TVarType::varNull;
  return v;
}

Variant Variant::FromDate(TDateTime value) {
  Variant v;
  v.type_ = TVarType::varDate;
  v.d_ = value;
  return v;
}

Variant Variant::FromCurrency(int64_t scaled) {
  Variant v;
  v.type_ = TVarType::varCurrency;
  v.i_ = scaled;
  return v;
}

Variant Variant::FromCurrency(double amount) {
  int64_t scaled;
  if (!RoundToInt64(amount * 10000.0, scaled))
    throw EVariantOverflowError("Overflow while converting variant of type (Double) into type (Currency)");
  return FromCurrency(scaled);
}

void Variant::CastError(TVarType target) const {
  throw EVariantTypeCastError(std::string("Could not convert variant of type (") + VarTypeName(type_) +
                              ") into type (" + VarTypeName(target) + ")");
}

double Variant::NumberFromString() const {
  double v;
  if (TryStrToFloat(s_, v)) return v;
  if (IsTrueText(s_)) return -1;
  if (IsFalseText(s_)) return 0;
  CastError(TVarType::varDouble);
}

std::string Variant::AsString() const {
  switch (type_) {
    case TVarType::varEmpty:
      return "";
    case TVarType::varNull:
      CastError(TVarType::varString);
    case TVarType::varString:
      return s_;
    case TVarType::varInteger:
    case TVarType::varInt64:
      return IntToStr(i_);
    case TVarType::varDouble:
      return FloatToStr(d_);
    case TVarType::varBoolean:
      return i_ ? "True" : "False";
    case TVarType::varDate:
      return DateTimeToStr(d_);
    case TVarType::varCurrency:
      return CurrToStr(i_);
  }
  return "";
}

double Variant::AsDouble() const {
  switch (type_) {
    case TVarType::varEmpty:
      return 0;
    case TVarType::varNull:
      CastError(TVarType::varDouble);
    case TVarType::varString:
      return NumberFromString();
    case TVarType::varInteger:
    case TVarType::varInt64:
      return static_cast<double>(i_);
    case TVarType::varBoolean:
      return i_ ? -1 : 0;
    case TVarType::varDouble:
    case TVarType::varDate:
      return d_;
    case TVarType::varCurrency:
      return static_cast<double>(i_) / 10000.0;
  }
  return 0;
}

int64_t Variant::AsInt64() const {
  int64_t out = 0;
  switch (type_) {
    case TVarType::varEmpty:
      return 0;
    case TVarType::varNull:
      CastError(TVarType::varInt64);
    case TVarType::varInteger:
    case TVarType::varInt64:
      return i_;
    case TVarType::varBoolean:
      return i_ ? -1 : 0;
    case TVarType::varString:
      if (TryStrToInt64(s_, out)) return out;
      if (!RoundToInt64(NumberFromString(), out))
        throw EVariantOverflowError("Overflow while converting variant of type (String) into type (Int64)");
      return out;
    case TVarType::varDouble:
    case TVarType::varDate:
      if (!RoundToInt64(d_, out))
        throw EVariantOverflowError(std::string("Overflow while converting variant of type (") +
                                    VarTypeName(type_) + ") into type (Int64)");
      return out;
    case TVarType::varCurrency: {
      // Half to even on the scaled amount, kept in integers.
      int64_t q = i_ / 10000, r = i_ % 10000;
      if (r > 5000 || (r == 5000 && (q & 1))) ++q;
      if (r < -5000 || (r == -5000 && (q & 1))) --q;
      return q;
    }
  }
  return 0;
}

int32_t Variant::AsInteger() const {
  int64_t v = AsInt64();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    throw EVariantOverflowError(std::string("Overflow while converting variant of type (") +
                                VarTypeName(type_) + ") into type (Integer)");
  return static_cast<int32_t>(v);
}

bool Variant::AsBoolean() const {
  switch (type_) {
    case TVarType::varEmpty:
      return false;
    case TVarType::varNull:
      CastError(TVarType::varBoolean);
    case TVarType::varString: {
      if (IsTrueText(s_)) return true;
      if (IsFalseText(s_)) return false;
      double v;
      if (TryStrToFloat(s_, v)) return v != 0;
      CastError(TVarType::varBoolean);
    }
    case TVarType::varInteger:
    case TVarType::varInt64:
    case TVarType::varBoolean:
    case TVarType::varCurrency:
      return i_ != 0;
    case TVarType::varDouble:
    case TVarType::varDate:
      return d_ != 0;
  }
  return false;
}

TDateTime Variant::AsDateTime() const {
  switch (type_) {
    case TVarType::varEmpty:
      return 0;
    case TVarType::varNull:
      CastError(TVarType::varDate);
    case TVarType::varString: {
      TDateTime t;
      if (TryParseDateTime(s_, t)) return t;
      double v;
      if (TryStrToFloat(s_, v)) return v;
      CastError(TVarType::varDate);
    }
    default:
      return AsDouble();
  }
}

int64_t Variant::AsCurrency() const {
  switch (type_) {
    case TVarType::varEmpty:
      return 0;
    case TVarType::varNull:
      CastError(TVarType::varCurrency);
    case TVarType::varCurrency:
      return i_;
    case TVarType::varInteger:
    case TVarType::varInt64:
    case TVarType::varBoolean: {
      int64_t v = type_ == TVarType::varBoolean ? (i_ ? -1 : 0) : i_;
      if (v > std::numeric_limits<int64_t>::max() / 10000 || v < std::numeric_limits<int64_t>::min() / 10000)
        throw EVariantOverflowError(std::string("Overflow while converting variant of type (") +
                                    VarTypeName(type_) + ") into type (Currency)");
      return v * 10000;
    }
    default: {
      int64_t out;
      if (!RoundToInt64(AsDouble() * 10000.0, out))
        throw EVariantOverflowError(std::string("Overflow while converting variant of type (") +
                                    VarTypeName(type_) + ") into type (Currency)");
      return out;
    }
  }
}

bool Variant::SameAs(const Variant& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case TVarType::varEmpty:
    case TVarType::varNull:
      return true;
    case TVarType::varString:
      return s_ == other.s_;
    case TVarType::varDouble:
    case TVarType::varDate:
      return d_ == other.d_;
    default:
      return i_ == other.i_;
  }
}

std::string VarToStr(const Variant& v) { return v.IsNull() ? std::string() : v.AsString(); }
