// The framework's variant: a value of one of a few kinds that converts to
// the others on request.
//
// Kinds: Empty (unassigned), Null (no value), String, Integer (32-bit),
// Int64, Double, Boolean, Date (TDateTime), Currency (64-bit scaled by
// 10000). Conversions follow the framework's rules: Empty reads as "" / 0 /
// false, Null cannot be converted (EVariantTypeCastError), text converts to a
// number when it is one, booleans are -1 and 0 as numbers and "True"/"False"
// as text, doubles round to integers (half to even). A value that does not
// fit the target raises EVariantOverflowError.
#pragma once

#include <cstdint>
#include <string>

#include "framework/exceptions.h"
#include "framework/sysutils.h"

class EVariantError : public Exception {
 public:
  using Exception::Exception;
};
// "Could not convert variant of type (%s) into type (%s)"
class EVariantTypeCastError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};
class EVariantOverflowError : public EVariantError {
 public:
  using EVariantError::EVariantError;
};

enum class TVarType {
  varEmpty,
  varNull,
  varString,
  varInteger,
  varInt64,
  varDouble,
  varBoolean,
  varDate,
  varCurrency
};

// The framework's name of a kind: "Empty", "Null", "String", "Integer",
// "Int64", "Double", "Boolean", "Date", "Currency".
const char* VarTypeName(TVarType type);

class Variant {
 public:
  Variant() = default;
  Variant(const std::string& s) : type_(TVarType::varString), s_(s) {}
  Variant(const char* s) : type_(TVarType::varString), s_(s ? s : "") {}
  Variant(int32_t v) : type_(TVarType::varInteger), i_(v) {}
  Variant(int64_t v) : type_(TVarType::varInt64), i_(v) {}
  Variant(double v) : type_(TVarType::varDouble), d_(v) {}
  Variant(bool v) : type_(TVarType::varBoolean), i_(v ? 1 : 0) {}

  static Variant Null();
  static Variant FromDate(TDateTime value);
  // `scaled` is the amount times 10000.
  static Variant FromCurrency(int64_t scaled);
  static Variant FromCurrency(double amount);

  TVarType VarType() const { return type_; }
  bool IsEmpty() const { return type_ == TVarType::varEmpty; }
  bool IsNull() const { return type_ == TVarType::varNull; }
  // Empty or Null.
  bool IsClear() const { return IsEmpty() || IsNull(); }
  void Clear() { *this = Variant(); }

  std::string AsString() const;
  double AsDouble() const;
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;
  int64_t AsCurrency() const;  // scaled by 10000

  // Same kind and value, or both Empty / both Null (no conversion).
  bool SameAs(const Variant& other) const;

 private:
  [[noreturn]] void CastError(TVarType target) const;
  double NumberFromString() const;

  TVarType type_ = TVarType::varEmpty;
  std::string s_;
  int64_t i_ = 0;  // Integer, Int64, Boolean, Currency (scaled)
  double d_ = 0;   // Double, Date
};

// Empty text for a Null variant; otherwise AsString.
std::string VarToStr(const Variant& v);
