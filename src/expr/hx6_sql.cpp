#include "expr/hx6_sql.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "expr/hx6_fctn.h"
#include "platform/text.h"
#include "tables/hx6_date.h"
#include "tables/hx6_glbl.h"
#include "tables/hx6_tool.h"

namespace {

inline bool IsBlank(char c) { return static_cast<unsigned char>(c) <= ' '; }
inline bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsIdentChar(char c) { return IsLetter(c) || IsDigit(c) || c == '_'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view TrimRightBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

void UpperInto(std::string_view s, std::string& out) {
  out.resize(s.size());
  for (size_t i = 0; i < s.size(); ++i) out[i] = platform::AnsiUpperChar(s[i]);
}

}  // namespace

// ---- types and values ----------------------------------------------------------

const char* ExpTypeName(uint8_t type) {
  static const char* const kNames[] = {"Unknown", "Empty",    "Any",     "Text", "Number", "Integer",
                                       "Date",    "DateTime", "Boolean", "Memo", "Pointer"};
  return type <= hxtPointer ? kNames[type] : "Invalid Value";
}

Variant ThxExpValue::ToVariant(uint8_t type) const {
  if (null) return Variant::Null();
  switch (type) {
    case hxtText:
    case hxtMemo:
      return Variant(text);
    case hxtNumber:
    case hxtDate:
    case hxtDateTime:
      return Variant(number);
    case hxtInteger:
      if (number >= -2147483648.0 && number <= 2147483647.0) return Variant(static_cast<int32_t>(number));
      return Variant(number);
    case hxtBoolean:
      return Variant(boolean);
    default:
      return Variant::Null();
  }
}

bool HxDayFromNumber(double value, int32_t& day) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return false;  // blank date, NaN, huge
  day = static_cast<int32_t>(std::trunc(value));
  return true;
}

void HxCheckFinite(double value) {
  if (std::isnan(value)) throw EMathError("Invalid floating point operation");
  if (std::isinf(value)) throw EMathError("Floating point overflow");
}

bool HxPatternMatch(std::string_view p, std::string_view t, char wildMany, char wildOne) {
  if (p.empty() || p.size() > t.size()) return false;
  if (p.size() == 1 && p[0] == wildMany) return true;
  const bool leading = p.front() == wildMany;
  if (leading) p.remove_prefix(1);
  if (!p.empty() && p.back() == wildMany) p.remove_suffix(1);
  if (p.size() == 1 && p[0] == wildMany) return true;
  if (p.empty()) return true;
  // Without a leading wildcard each WildOne of the pattern stands for the
  // character at the same position of the text (counted from its start).
  auto textAt = [&](size_t j) -> char {
    if (!leading && j < p.size() && p[j] == wildOne) return wildOne;
    return t[j];
  };
  for (size_t s = 0; s + p.size() <= t.size(); ++s) {
    size_t i = 0;
    while (i < p.size() && textAt(s + i) == p[i]) ++i;
    if (i == p.size()) return true;
  }
  return false;
}

// ---- functions and variables -----------------------------------------------------

uint8_t ThxUserDefFunction::Execute(ThxExpFunction&, ThxExpValue& value) {
  value.SetNull();
  return hxtEmpty;
}

ThxUserDefFieldVar::ThxUserDefFieldVar(std::string_view names) : names_(HxUpperCase(names)) {}

std::string ThxUserDefFieldVar::FirstName() const {
  std::string all = Names();
  size_t p = all.find(';');
  return p == std::string::npos ? all : all.substr(0, p);
}

uint8_t ThxUserDefFieldVar::GetValue(ThxExpValue& value) {
  value.SetNull();
  return hxtEmpty;
}

// ---- registries --------------------------------------------------------------------

namespace {

template <typename Entries>
auto LowerBound(Entries& entries, std::string_view name) {
  return std::lower_bound(entries.begin(), entries.end(), name,
                          [](const auto& e, std::string_view n) { return std::string_view(e.first) < n; });
}

}  // namespace

bool ThxFunctionReg::Register(std::unique_ptr<ThxUserDefFunction> function) {
  if (!function) return false;
  std::string name = HxUpperCase(function->FunctionName());
  if (name.empty()) return false;
  auto it = LowerBound(entries_, name);
  if (it != entries_.end() && it->first == name) return false;
  entries_.insert(it, {std::move(name), std::move(function)});
  return true;
}

ThxUserDefFunction* ThxFunctionReg::Find(std::string_view name) const {
  auto it = LowerBound(entries_, name);
  return it != entries_.end() && it->first == name ? it->second.get() : nullptr;
}

std::string ThxFunctionReg::Names(int index) const {
  return index >= 0 && index < Count() ? entries_[static_cast<size_t>(index)].first : std::string();
}

ThxUserDefFunction* ThxFunctionReg::Objects(int index) const {
  return index >= 0 && index < Count() ? entries_[static_cast<size_t>(index)].second.get() : nullptr;
}

ThxFieldVarReg::~ThxFieldVarReg() {
  for (auto& e : entries_) e.second->SetRefCount(e.second->RefCount() - 1);
}

bool ThxFieldVarReg::Register(std::shared_ptr<ThxUserDefFieldVar> var) {
  if (!var) return false;
  std::string names = var->Names();
  bool all = true;
  size_t start = 0;
  while (true) {
    size_t end = names.find(';', start);
    std::string part =
        HxUpperCase(names.substr(start, end == std::string::npos ? std::string::npos : end - start));
    auto it = LowerBound(entries_, part);
    if (part.empty() || (it != entries_.end() && it->first == part)) {
      all = false;
    } else {
      entries_.insert(it, {std::move(part), var});
      var->SetRefCount(var->RefCount() + 1);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return all;
}

ThxUserDefFieldVar* ThxFieldVarReg::Find(std::string_view name) const {
  auto it = LowerBound(entries_, name);
  return it != entries_.end() && it->first == name ? it->second.get() : nullptr;
}

std::string ThxFieldVarReg::Names(int index) const {
  return index >= 0 && index < Count() ? entries_[static_cast<size_t>(index)].first : std::string();
}

ThxUserDefFieldVar* ThxFieldVarReg::Objects(int index) const {
  return index >= 0 && index < Count() ? entries_[static_cast<size_t>(index)].second.get() : nullptr;
}

// ---- global registries ---------------------------------------------------------------

namespace {

struct HxGlobals {
  ThxFunctionReg functions;
  ThxFieldVarReg variables;
};

std::unique_ptr<HxGlobals>& GlobalsSlot() {
  static std::unique_ptr<HxGlobals> globals;
  return globals;
}

int& GlobalsUseCount() {
  static int count = 0;
  return count;
}

HxGlobals& Globals() {
  auto& slot = GlobalsSlot();
  if (!slot) {
    slot = std::make_unique<HxGlobals>();
    HxRegisterBuiltIns(slot->functions, slot->variables);
  }
  return *slot;
}

// The registries are part of the engine's global state: HxEngineStart
// fills them, HxEngineEnd frees them.
const bool kRegistered = [] {
  AddEngineHook(HxExpressionsStart, HxExpressionsEnd);
  return true;
}();

}  // namespace

void HxExpressionsStart() {
  if (GlobalsUseCount()++ == 0) Globals();
}

void HxExpressionsEnd() {
  if (GlobalsUseCount() <= 0) return;
  if (--GlobalsUseCount() == 0) GlobalsSlot().reset();
}

ThxFunctionReg& HxGlobalFunctions() { return Globals().functions; }
ThxFieldVarReg& HxGlobalVariables() { return Globals().variables; }

// ---- user link -----------------------------------------------------------------------

ThxExpUserLink::ThxExpUserLink() = default;
ThxExpUserLink::~ThxExpUserLink() = default;

ThxUserDefFunction* ThxExpUserLink::FindFunction(std::string_view name) { return functions_.Find(name); }

ThxUserDefFieldVar* ThxExpUserLink::FindFieldVar(std::string_view name) {
  return fieldVars_.Find(name.substr(0, std::min<size_t>(name.size(), 10)));
}

void ThxExpUserLink::NoFunction(std::string_view name) { RaiseExpression(hxExpNoFunction, name); }

// ---- nodes ------------------------------------------------------------------------------

void ThxExpBaseObject::UpdateDepth(int childDepth) {
  if (childDepth + 1 > depth_) depth_ = childDepth + 1;
  if (depth_ > kHxMaxExpressionDepth) RaiseExpression(hxExpCannotEvaluate);
}

void ThxExpBaseObject::SetLeft(std::unique_ptr<ThxExpBaseObject> node) {
  left_ = std::move(node);
  if (left_) UpdateDepth(left_->Depth());
}

void ThxExpBaseObject::SetRight(std::unique_ptr<ThxExpBaseObject> node) {
  right_ = std::move(node);
  if (right_) UpdateDepth(right_->Depth());
}

std::string ThxExpBaseObject::ExpressionText() const {
  std::string s;
  if (left_) s += left_->ExpressionText();
  s += NodeText();
  if (right_) s += right_->ExpressionText();
  return s;
}

std::string ThxExpBaseObject::CollectNames(int kind) const {
  std::string s;
  if (left_) s += left_->CollectNames(kind);
  if (NameKind() == kind) s += ";" + NodeText();
  if (right_) s += right_->CollectNames(kind);
  return s;
}

uint8_t ThxExpBaseObject::Evaluate(ThxExpValue& value) {
  value.SetNull();
  valueType_ = hxtUnknown;
  return valueType_;
}

std::string ThxExpContainer::ExpressionText() const {
  return "(" + (right_ ? right_->ExpressionText() : std::string()) + ")";
}

uint8_t ThxExpContainer::Evaluate(ThxExpValue& value) {
  if (!right_) {
    value.SetNull();
    valueType_ = hxtEmpty;
  } else {
    valueType_ = right_->Evaluate(value);
  }
  return valueType_;
}

std::string ThxExpFunction::NodeText() const {
  return function_ ? HxUpperCase(function_->FunctionName()) : "";
}

std::string ThxExpFunction::ExpressionText() const {
  std::string s = NodeText() + "(";
  for (size_t i = 0; i < arguments_.size(); ++i) {
    if (i) s += ",";
    s += arguments_[i]->ExpressionText();
  }
  return s + ")";
}

std::string ThxExpFunction::CollectNames(int kind) const {
  std::string s = ThxExpBaseObject::CollectNames(kind);
  for (const auto& a : arguments_) s += a->CollectNames(kind);
  return s;
}

void ThxExpFunction::AddArgument(std::unique_ptr<ThxExpBaseObject> argument) {
  if (!argument) return;
  UpdateDepth(argument->Depth());
  arguments_.push_back(std::move(argument));
  scratch_.resize(arguments_.size());
}

uint8_t ThxExpFunction::Evaluate(ThxExpValue& value) {
  valueType_ = function_ ? function_->Execute(*this, value) : hxtEmpty;
  for (ThxExpValue& v : scratch_) v.ReleaseLarge();
  spare_.ReleaseLarge();
  if (work_.capacity() > kHxKeptBuffer) std::string().swap(work_);
  if (IsNumericType(valueType_) && !value.null) HxCheckFinite(value.number);
  return valueType_;
}

void ThxExpFunction::CheckArgument(int index, ThxExpValue& value, uint8_t expected, uint8_t& actual) {
  if (index >= 0 && index < ArgumentCount())
    actual = arguments_[static_cast<size_t>(index)]->Evaluate(value);
  else
    actual = hxtEmpty;
  if (actual == hxtInvalid) actual = expected;
  if (expected != hxtAny && actual != expected && !(IsNumericType(actual) && IsNumericType(expected)))
    RaiseExpression(hxExpArgumentNeeded, ExpTypeName(expected), index + 1, NodeText());
}

int32_t ThxExpFunction::ArgumentLength(int index) const {
  const ThxExpBaseObject* a = Arguments(index);
  return a ? a->Length() : 10;
}

ThxExpFieldvar::ThxExpFieldvar(ThxExpHandler* handler, ThxUserDefFieldVar* var)
    : ThxExpBaseObject(hxnFieldVar), handler_(handler), var_(var) {
  length_ = var_->Length();
}

std::string ThxExpFieldvar::NodeText() const { return var_->FirstName(); }
int ThxExpFieldvar::NameKind() const { return var_->NameKind(); }

uint8_t ThxExpFieldvar::Evaluate(ThxExpValue& value) {
  valueType_ = var_->GetValue(value);
  return valueType_;
}

// ---- literals ----

ThxExpTextLit::ThxExpTextLit(std::string text) : ThxExpBaseObject(hxnTextLit), text_(std::move(text)) {
  valueType_ = hxtText;
  length_ = static_cast<int32_t>(std::min<size_t>(text_.size(), std::numeric_limits<int32_t>::max()));
}

std::string ThxExpTextLit::NodeText() const { return "\"" + text_ + "\""; }

uint8_t ThxExpTextLit::Evaluate(ThxExpValue& value) {
  value.SetText(text_);
  return hxtText;
}

ThxExpNumLit::ThxExpNumLit(std::string_view source) : ThxExpBaseObject(hxnNumLit) {
  valueType_ = hxtNumber;
  length_ = static_cast<int32_t>(std::min<size_t>(source.size(), std::numeric_limits<int32_t>::max()));
  size_t dot = source.find('.');
  decimals_ = dot == std::string_view::npos ? 0 : static_cast<int32_t>(source.size() - dot - 1);
  // The literal runs over digits and periods after an optional sign; anything
  // that is not a proper number (1.2.3, a lone sign) reads as 0.
  std::string_view digits = source;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  double v = 0;
  if (!digits.empty()) {
    auto [ptr, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || ptr != digits.data() + digits.size() || !std::isfinite(v)) v = 0;
  }
  value_ = negative ? -v : v;
}

std::string ThxExpNumLit::NodeText() const {
  // At most 309 integer digits, a sign, a point and 1000 decimals.
  char buf[1400];
  const int decimals = std::min(decimals_, 1000);
  const int n = std::snprintf(buf, sizeof buf, "%20.*f", decimals, value_);
  std::string s(buf, static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1)));
  size_t first = s.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first);
}

uint8_t ThxExpNumLit::Evaluate(ThxExpValue& value) {
  value.SetNumber(value_);
  return hxtNumber;
}

ThxExpDateLit::ThxExpDateLit(int32_t day) : ThxExpBaseObject(hxnDateLit), day_(day) { valueType_ = hxtDate; }

std::string ThxExpDateLit::NodeText() const { return "{" + DBFDate().ToDisplay(day_) + "}"; }

uint8_t ThxExpDateLit::Evaluate(ThxExpValue& value) {
  value.SetNumber(day_);
  return hxtDate;
}

ThxExpBlnLit::ThxExpBlnLit(bool value) : ThxExpBaseObject(hxnBlnLit), value_(value) {
  valueType_ = hxtBoolean;
}

std::string ThxExpBlnLit::NodeText() const { return value_ ? ".T." : ".F."; }

uint8_t ThxExpBlnLit::Evaluate(ThxExpValue& value) {
  value.SetBoolean(value_);
  return hxtBoolean;
}

// ---- operators ----

ThxExpOperator::ThxExpOperator(HxOp op, int level, const ThxExpHandler& handler)
    : ThxExpBaseObject(hxnOperator),
      op_(op),
      level_(level),
      caseInsensitive_(handler.CaseInsensitive()),
      partialMatch_(handler.PartialMatch()),
      wildMany_(handler.WildMany()),
      wildOne_(handler.WildOne()) {}

std::string ThxExpOperator::NodeText() const {
  switch (op_) {
    case HxOp::Equal:
      return "=";
    case HxOp::NotEqual:
      return "#";
    case HxOp::Greater:
      return ">";
    case HxOp::Less:
      return "<";
    case HxOp::GreaterEqual:
      return ">=";
    case HxOp::LessEqual:
      return "<=";
    case HxOp::Contained:
      return "in string";
    case HxOp::Add:
      return "+";
    case HxOp::Subtract:
      return "-";
    case HxOp::Multiply:
      return "*";
    case HxOp::Divide:
      return "/";
    case HxOp::Power:
      return "^";
    case HxOp::And:
      return ".AND.";
    case HxOp::Or:
      return ".OR.";
    case HxOp::Not:
      return ".NOT.";
  }
  return std::string();
}

uint8_t ThxExpOperator::Evaluate(ThxExpValue& value) {
  if (!right_ || (!left_ && op_ != HxOp::Not)) RaiseExpression(hxExpTargetMissing, NodeText());
  const uint8_t tr = right_->Evaluate(right_value_);
  const uint8_t tl = left_ ? left_->Evaluate(left_value_) : tr;
  valueType_ = tr;
  if (tl != tr && !(IsNumericType(tl) && IsNumericType(tr))) RaiseExpression(hxExpSidesDoNotMatch);
  if (tr == hxtBoolean) {
    EvaluateBoolean(value);
  } else if (IsNumericType(tr)) {
    EvaluateNumeric(value);
  } else if (tr == hxtText) {
    EvaluateText(value);
    left_value_.ReleaseLarge();
    right_value_.ReleaseLarge();
  } else {
    value.SetNull();
    if (op_ != HxOp::Add && op_ != HxOp::Subtract && op_ != HxOp::Multiply && op_ != HxOp::Divide &&
        op_ != HxOp::Power)
      valueType_ = hxtBoolean;
  }
  return valueType_;
}

uint8_t ThxExpOperator::EvaluateBoolean(ThxExpValue& value) {
  const bool r = right_value_.boolean;
  const bool l = left_ ? left_value_.boolean : r;
  switch (op_) {
    case HxOp::Equal:
      value.SetBoolean(l == r);
      break;
    case HxOp::NotEqual:
      value.SetBoolean(l != r);
      break;
    case HxOp::And:
      value.SetBoolean(l && r);
      break;
    case HxOp::Or:
      value.SetBoolean(l || r);
      break;
    case HxOp::Not:
      value.SetBoolean(!r);
      break;
    case HxOp::Add:
    case HxOp::Subtract:
    case HxOp::Multiply:
    case HxOp::Divide:
    case HxOp::Power:
      RaiseExpression(hxExpValueInvalid, "number");
    default:
      RaiseExpression(hxExpValueInvalid, "assigned");
  }
  valueType_ = hxtBoolean;
  return valueType_;
}

namespace {

// L raised to R: whole exponents above 1 multiply L by itself, 0 gives 1, a
// negative whole exponent the reciprocal, any other exponent the real power.
double Power(double l, double r) {
  const double whole = std::trunc(r);
  if (whole != r) return std::pow(l, r);
  if (r == 0) return 1;
  if (r < 0) {
    double p = Power(l, -r);
    if (p == 0) throw EZeroDivide();
    return 1 / p;
  }
  if (r > 1024) return std::pow(l, r);  // same product; the loop would only take longer
  double acc = l;
  for (double i = 1; i < whole; ++i) {
    acc *= l;
    if (!std::isfinite(acc) || acc == 0) break;
  }
  return acc;
}

}  // namespace

uint8_t ThxExpOperator::EvaluateNumeric(ThxExpValue& value) {
  const double r = right_value_.number;
  const double l = left_value_.number;
  if (!left_ && op_ == HxOp::Not) RaiseExpression(hxExpValueInvalid, "assigned");
  const double d = l - r;
  switch (op_) {
    case HxOp::Equal:
      value.SetBoolean(d == 0);
      break;
    case HxOp::NotEqual:
      value.SetBoolean(d != 0);
      break;
    case HxOp::Greater:
      value.SetBoolean(d > 0);
      break;
    case HxOp::Less:
      value.SetBoolean(d < 0);
      break;
    case HxOp::GreaterEqual:
      value.SetBoolean(d >= 0);
      break;
    case HxOp::LessEqual:
      value.SetBoolean(d <= 0);
      break;
    case HxOp::Add:
      value.SetNumber(l + r);
      HxCheckFinite(value.number);
      return valueType_;
    case HxOp::Subtract:
      value.SetNumber(d);
      HxCheckFinite(value.number);
      return valueType_;
    case HxOp::Multiply:
      value.SetNumber(l * r);
      HxCheckFinite(value.number);
      return valueType_;
    case HxOp::Divide:
      if (r == 0) throw EZeroDivide();
      value.SetNumber(l / r);
      HxCheckFinite(value.number);
      return valueType_;
    case HxOp::Power:
      value.SetNumber(Power(l, r));
      HxCheckFinite(value.number);
      return valueType_;
    default:
      RaiseExpression(hxExpValueInvalid, "assigned");
  }
  valueType_ = hxtBoolean;
  return valueType_;
}

int ThxExpOperator::CompareText(const ThxExpValue& lv, const ThxExpValue& rv) {
  const bool lEmpty = lv.null || lv.text.empty();
  const bool rEmpty = rv.null || rv.text.empty();
  if (lEmpty || rEmpty) return lEmpty == rEmpty ? 0 : (lEmpty ? -1 : 1);
  std::string_view l = TrimRightBlanks(lv.text);
  std::string_view r = TrimRightBlanks(rv.text);
  if (caseInsensitive_) {
    UpperInto(l, upperL_);
    UpperInto(r, upperR_);
    l = upperL_;
    r = upperR_;
  }
  if (partialMatch_ && !r.empty() && (r.front() == wildMany_ || r.back() == wildMany_))
    return HxPatternMatch(r, l, wildMany_, wildOne_) ? 0 : -1;
  // The locale's order is total and puts only identical texts level, so
  // equality needs no more than the bytes.
  if (op_ == HxOp::Equal || op_ == HxOp::NotEqual) return l == r ? 0 : (l < r ? -1 : 1);
  return platform::AnsiCompareStr(l, r);
}

namespace {

void CheckBuiltLength(const ThxExpValue& l, const ThxExpValue& r) {
  const size_t total = (l.null ? 0 : l.text.size()) + (r.null ? 0 : r.text.size());
  if (total > kHxMaxBuiltText) RaiseExpression(hxExpArgumentMustBe, "+", "a text of at most 16 MB");
}

}  // namespace

uint8_t ThxExpOperator::EvaluateText(ThxExpValue& value) {
  switch (op_) {
    case HxOp::Equal:
      value.SetBoolean(CompareText(left_value_, right_value_) == 0);
      break;
    case HxOp::NotEqual:
      value.SetBoolean(CompareText(left_value_, right_value_) != 0);
      break;
    case HxOp::Greater:
      value.SetBoolean(CompareText(left_value_, right_value_) > 0);
      break;
    case HxOp::Less:
      value.SetBoolean(CompareText(left_value_, right_value_) < 0);
      break;
    case HxOp::GreaterEqual:
      value.SetBoolean(CompareText(left_value_, right_value_) >= 0);
      break;
    case HxOp::LessEqual:
      value.SetBoolean(CompareText(left_value_, right_value_) <= 0);
      break;
    case HxOp::Contained: {
      std::string_view l = left_value_.null ? std::string_view() : std::string_view(left_value_.text);
      std::string_view r = right_value_.null ? std::string_view() : std::string_view(right_value_.text);
      value.SetBoolean(!l.empty() && r.find(l) != std::string_view::npos);
      break;
    }
    case HxOp::Add: {
      CheckBuiltLength(left_value_, right_value_);
      value.null = false;
      value.text.clear();
      if (!left_value_.null) value.text.append(left_value_.text);
      if (!right_value_.null) value.text.append(right_value_.text);
      return valueType_;
    }
    case HxOp::Subtract: {
      std::string_view l = left_value_.null ? std::string_view() : std::string_view(left_value_.text);
      std::string_view r = right_value_.null ? std::string_view() : std::string_view(right_value_.text);
      CheckBuiltLength(left_value_, right_value_);
      const size_t total = l.size() + r.size();
      value.null = false;
      value.text.assign(TrimRightBlanks(l));
      value.text.append(r);
      value.text.resize(total, ' ');
      return valueType_;
    }
    default:
      RaiseExpression(hxExpValueInvalid, "assigned");
  }
  valueType_ = hxtBoolean;
  return valueType_;
}

// ---- compiler --------------------------------------------------------------------------

namespace {

struct HxOpSpelling {
  const char* text;
  HxOp op;
  int level;
};

const HxOpSpelling kSymbolOps[] = {
    {"^", HxOp::Power, 2},      {"**", HxOp::Power, 2},        {"*", HxOp::Multiply, 3},
    {"/", HxOp::Divide, 3},     {"+", HxOp::Add, 4},           {"-", HxOp::Subtract, 4},
    {"=", HxOp::Equal, 5},      {"==", HxOp::Equal, 5},        {"#", HxOp::NotEqual, 5},
    {"<>", HxOp::NotEqual, 5},  {"!=", HxOp::NotEqual, 5},     {">", HxOp::Greater, 5},
    {"<", HxOp::Less, 5},       {">=", HxOp::GreaterEqual, 5}, {"=>", HxOp::GreaterEqual, 5},
    {"<=", HxOp::LessEqual, 5}, {"=<", HxOp::LessEqual, 5},    {"$", HxOp::Contained, 5},
};

const HxOpSpelling kWordOps[] = {
    {"EQ", HxOp::Equal, 5}, {"NE", HxOp::NotEqual, 5},     {"GT", HxOp::Greater, 5},
    {"LT", HxOp::Less, 5},  {"GE", HxOp::GreaterEqual, 5}, {"LE", HxOp::LessEqual, 5},
    {"AND", HxOp::And, 7},  {"OR", HxOp::Or, 8},
};

constexpr int kNotLevel = 6;

template <size_t N>
const HxOpSpelling* FindOp(const HxOpSpelling (&table)[N], std::string_view text) {
  for (const auto& row : table)
    if (text == row.text) return &row;
  return nullptr;
}

struct HxToken {
  enum Kind { Operator, Container, Function, Field, TextLit, NumLit, DateLit, BlnLit };
  Kind kind;
  std::string text;  // container: inner text; function: the whole call; literals: content; field: name
  HxOp op = HxOp::Equal;
  int level = 0;
  ThxUserDefFieldVar* var = nullptr;
  bool flag = false;  // logical literal value
};

// Scans a function call's argument text from `from` (just after "(" or a
// splitting ","). Quotes, brackets and braces hide their content; "(" and
// ")" nest. Answers the position of the ")" that closes the call, or of a ","
// at the outer level when `stopAtComma`; npos when there is none.
size_t ScanArgument(std::string_view s, size_t from, bool stopAtComma) {
  char closer = 0;
  int depth = 0;
  for (size_t i = from; i < s.size(); ++i) {
    const char c = s[i];
    if (closer) {
      if (c == closer) closer = 0;
      continue;
    }
    switch (c) {
      case '"':
        closer = '"';
        break;
      case '\'':
        closer = '\'';
        break;
      case '[':
        closer = ']';
        break;
      case '{':
        closer = '}';
        break;
      case '(':
        ++depth;
        break;
      case ')':
        if (depth == 0) return i;
        --depth;
        break;
      case ',':
        if (stopAtComma && depth == 0) return i;
        break;
      default:
        break;
    }
  }
  return std::string_view::npos;
}

}  // namespace

class HxExpCompiler {
 public:
  explicit HxExpCompiler(ThxExpHandler& h) : h_(h) {}

  std::unique_ptr<ThxExpBaseObject> Compile(std::string_view text, int nesting) {
    if (nesting > kHxMaxExpressionDepth) RaiseExpression(hxExpCannotEvaluate);
    text = TrimBlanks(text);
    if (text.empty()) return nullptr;
    std::vector<HxToken> tokens = Tokenize(std::string(text));
    return Build(tokens, nesting);
  }

 private:
  [[noreturn]] void SyntaxError() { RaiseExpression(hxExpSyntaxError, h_.text_); }

  ThxUserDefFieldVar* LookupVariable(const std::string& upper) {
    if (ThxUserDefFieldVar* v = HxGlobalVariables().Find(upper)) return v;
    return h_.link_ ? h_.link_->FindFieldVar(upper) : nullptr;
  }

  static size_t SkipBlanks(const std::string& s, size_t pos) {
    while (pos < s.size() && IsBlank(s[pos])) ++pos;
    return pos;
  }

  static size_t IdentEnd(const std::string& s, size_t pos) {
    while (pos < s.size() && IsIdentChar(s[pos])) ++pos;
    return pos;
  }

  // "!", or a word of letters optionally framed by periods that reads NOT,
  // followed by at least one more character. Answers the end of the word.
  static bool IsNegation(const std::string& s, size_t pos, size_t& end) {
    if (s[pos] == '!') {
      end = pos + 1;
      return end < s.size();
    }
    size_t j = pos;
    if (s[j] == '.') ++j;
    size_t letters = j;
    while (j < s.size() && IsLetter(s[j])) ++j;
    if (j == letters) return false;
    std::string word = UpperAscii(std::string_view(s).substr(letters, j - letters));
    if (j < s.size() && s[j] == '.') ++j;
    end = j;
    return word == "NOT" && j < s.size();
  }

  std::vector<HxToken> Tokenize(std::string s) {
    std::vector<HxToken> tokens;
    bool operand = true;
    size_t pos = SkipBlanks(s, 0);
    while (pos < s.size()) {
      if (operand) {
        size_t end = 0;
        if (IsNegation(s, pos, end)) {
          if (tokens.empty()) {
            HxToken t{HxToken::Operator, ".NOT."};
            t.op = HxOp::Not;
            t.level = kNotLevel;
            tokens.push_back(std::move(t));
            pos = SkipBlanks(s, end);
            continue;
          }
          // A negation after other tokens takes the rest of the text as its
          // operand: A .AND. .NOT. B .OR. C is A .AND. (.NOT. B .OR. C).
          s = "(" + s.substr(pos) + ")";
          pos = 0;
        }
        pos = Operand(s, pos, tokens);
        operand = false;
      } else {
        pos = OperatorToken(s, pos, tokens);
        operand = true;
      }
      pos = SkipBlanks(s, pos);
    }
    return tokens;
  }

  size_t Operand(const std::string& s, size_t pos, std::vector<HxToken>& tokens) {
    const char c = s[pos];
    if (c == '(') {
      int depth = 0;
      size_t close = std::string::npos;
      for (size_t i = pos; i < s.size(); ++i) {
        if (s[i] == '(') ++depth;
        if (s[i] == ')' && --depth == 0) {
          close = i;
          break;
        }
      }
      if (close == std::string::npos) RaiseExpression(hxExpMissingParenthesis);
      tokens.push_back({HxToken::Container, s.substr(pos + 1, close - pos - 1)});
      return close + 1;
    }
    if (c == '.') {
      size_t close = s.find('.', pos + 1);
      if (close == std::string::npos) RaiseExpression(hxExpMissingPeriod);
      std::string lit = UpperAscii(std::string_view(s).substr(pos, close - pos + 1));
      if (lit != ".T." && lit != ".F.") RaiseExpression(hxExpExpectingLogical);
      HxToken t{HxToken::BlnLit, lit};
      t.flag = lit == ".T.";
      tokens.push_back(std::move(t));
      return close + 1;
    }
    if (IsLetter(c) || c == '_') {
      size_t end = IdentEnd(s, pos);
      if (end < s.size() && s[end] == '(') {
        size_t close = ScanArgument(s, end + 1, false);
        if (close == std::string::npos) RaiseExpression(hxExpMissingParenthesis);
        tokens.push_back({HxToken::Function, s.substr(pos, close - pos + 1)});
        return close + 1;
      }
      return FieldToken(s, pos, end, tokens);
    }
    if (c == '"' || c == '\'' || c == '[' || c == '{') {
      const char closer = c == '[' ? ']' : c == '{' ? '}' : c;
      size_t close = s.find(closer, pos + 1);
      if (close == std::string::npos) RaiseExpression(hxExpMissingQuote, std::string(1, c));
      tokens.push_back({c == '{' ? HxToken::DateLit : HxToken::TextLit, s.substr(pos + 1, close - pos - 1)});
      return close + 1;
    }
    if (c == '+' || c == '-' || IsDigit(c)) {
      size_t end = pos + 1;
      while (end < s.size() && (IsDigit(s[end]) || s[end] == '.')) ++end;
      tokens.push_back({HxToken::NumLit, s.substr(pos, end - pos)});
      return end;
    }
    SyntaxError();
  }

  size_t FieldToken(const std::string& s, size_t pos, size_t end, std::vector<HxToken>& tokens) {
    const std::string written = s.substr(pos, end - pos);
    std::string name = HxUpperCase(written);
    ThxUserDefFieldVar* var = LookupVariable(name);
    // Qualified names: T->NAME and T.NAME name the field NAME of the table
    // registered under the qualifier T.
    while (!var) {
      size_t next;
      if (end + 1 < s.size() && s[end] == '-' && s[end + 1] == '>') {
        next = end + 2;
      } else if (h_.link_ && end < s.size() && s[end] == '.') {
        next = end + 1;
      } else {
        break;
      }
      size_t identEnd = IdentEnd(s, next);
      name.push_back('.');
      name.append(HxUpperCase(std::string_view(s).substr(next, identEnd - next)));
      end = identEnd;
      var = LookupVariable(name);
    }
    if (!var && h_.link_) RaiseExpression(hxExpNoFunction, written);
    HxToken t{HxToken::Field, var ? name : s.substr(pos, end - pos)};
    t.var = var;
    tokens.push_back(std::move(t));
    return end;
  }

  size_t OperatorToken(const std::string& s, size_t pos, std::vector<HxToken>& tokens) {
    static const std::string_view kSymbolStart = "!#$*+-/<=>^";
    static const std::string_view kSymbolMore = "*<=>";
    const char c = s[pos];
    const HxOpSpelling* row = nullptr;
    size_t end = pos;
    if (kSymbolStart.find(c) != std::string_view::npos) {
      end = pos + 1;
      while (end < s.size() && kSymbolMore.find(s[end]) != std::string_view::npos) ++end;
      if (end < s.size()) row = FindOp(kSymbolOps, std::string_view(s).substr(pos, end - pos));
    } else if (IsLetter(c) || c == '.') {
      end = pos;
      if (s[end] == '.') ++end;
      while (end < s.size() && IsLetter(s[end])) ++end;
      if (end < s.size() && s[end] == '.') ++end;
      if (end < s.size()) {
        std::string word = UpperAscii(std::string_view(s).substr(pos, end - pos));
        if (word.size() >= 2 && word.front() == '.' && word.back() == '.')
          word = word.substr(1, word.size() - 2);
        row = FindOp(kWordOps, word);
      }
    }
    if (!row) SyntaxError();
    HxToken t{HxToken::Operator, row->text};
    t.op = row->op;
    t.level = row->level;
    tokens.push_back(std::move(t));
    return end;
  }

  void NoteOperand(const ThxExpBaseObject& node, bool sized) {
    ++h_.operandCount_;
    if (sized) {
      h_.maxLength_ = std::max(h_.maxLength_, node.Length());
      h_.maxDecimals_ = std::max(h_.maxDecimals_, node.Decimals());
    }
  }

  std::unique_ptr<ThxExpBaseObject> MakeFunction(const HxToken& t, int nesting) {
    const std::string& s = t.text;
    const size_t open = s.find('(');
    const std::string written = s.substr(0, open);
    const std::string name = HxUpperCase(written);
    ThxUserDefFunction* f = HxGlobalFunctions().Find(name);
    if (!f && h_.link_) f = h_.link_->FindFunction(name);
    if (!f) {
      if (h_.link_) h_.link_->NoFunction(written);
      RaiseExpression(hxExpNoFunction, written);
    }
    auto node = std::make_unique<ThxExpFunction>(&h_, f);
    NoteOperand(*node, false);
    size_t from = open + 1;
    while (from < s.size()) {
      size_t stop = ScanArgument(s, from, true);
      if (stop == std::string::npos) stop = s.size() - 1;  // the call's own ")"
      std::string_view arg = std::string_view(s).substr(from, stop - from);
      if (!TrimBlanks(arg).empty()) node->AddArgument(Compile(arg, nesting + 1));
      if (s[stop] == ')') break;
      from = stop + 1;
    }
    return node;
  }

  std::unique_ptr<ThxExpBaseObject> MakeNode(const HxToken& t, int nesting) {
    switch (t.kind) {
      case HxToken::Operator:
        return std::make_unique<ThxExpOperator>(t.op, t.level, h_);
      case HxToken::Container: {
        auto node = std::make_unique<ThxExpContainer>();
        node->SetRight(Compile(t.text, nesting + 1));
        return node;
      }
      case HxToken::Function:
        return MakeFunction(t, nesting);
      case HxToken::Field: {
        if (!t.var) RaiseExpression(hxExpUnknownVariable, t.text);
        auto node = std::make_unique<ThxExpFieldvar>(&h_, t.var);
        ++h_.operandCount_;
        h_.maxLength_ = std::max(h_.maxLength_, t.var->Length());
        h_.maxDecimals_ = std::max(h_.maxDecimals_, t.var->Decimals());
        return node;
      }
      case HxToken::TextLit: {
        auto node = std::make_unique<ThxExpTextLit>(t.text);
        NoteOperand(*node, false);
        return node;
      }
      case HxToken::NumLit: {
        auto node = std::make_unique<ThxExpNumLit>(t.text);
        NoteOperand(*node, true);
        return node;
      }
      case HxToken::DateLit: {
        int32_t day = 0;
        try {
          day = DBFDate().ToJulian(t.text);
        } catch (const EConvertError&) {
          SyntaxError();  // a date the locale cannot read
        }
        auto node = std::make_unique<ThxExpDateLit>(day);
        NoteOperand(*node, false);
        return node;
      }
      case HxToken::BlnLit: {
        auto node = std::make_unique<ThxExpBlnLit>(t.flag);
        NoteOperand(*node, false);
        return node;
      }
    }
    SyntaxError();
  }

  std::unique_ptr<ThxExpBaseObject> Build(const std::vector<HxToken>& tokens, int nesting) {
    std::vector<std::unique_ptr<ThxExpBaseObject>> list;
    list.reserve(tokens.size());
    for (const HxToken& t : tokens) list.push_back(MakeNode(t, nesting));
    // Bind the operators level by level, leftmost first: each takes its
    // right neighbour and (except .NOT.) its left one.
    for (int level = 2; level <= 8 && list.size() > 1; ++level) {
      std::vector<std::unique_ptr<ThxExpBaseObject>> out;
      out.reserve(list.size());
      for (size_t i = 0; i < list.size(); ++i) {
        auto* op = dynamic_cast<ThxExpOperator*>(list[i].get());
        if (!op || op->Bound() || op->Level() != level) {
          out.push_back(std::move(list[i]));
          continue;
        }
        std::unique_ptr<ThxExpBaseObject> node = std::move(list[i]);
        if (i + 1 < list.size()) node->SetRight(std::move(list[++i]));
        if (level != kNotLevel && !out.empty()) {
          node->SetLeft(std::move(out.back()));
          out.pop_back();
        }
        node->SetNodeKind(hxnBoundOperator);
        out.push_back(std::move(node));
      }
      list = std::move(out);
    }
    if (list.size() != 1) RaiseExpression(hxExpCannotEvaluate);
    return std::move(list.front());
  }

  ThxExpHandler& h_;
};

// ---- handler ----------------------------------------------------------------------------

ThxExpHandler::ThxExpHandler(ThxExpUserLink* link, bool sqlStyle, const std::string& text) : link_(link) {
  if (sqlStyle) {
    wildMany_ = '%';
    wildOne_ = '_';
  }
  HxGlobalFunctions();  // the registries exist before the first compile
  if (!text.empty()) SetExpression(text);
}

ThxExpHandler::~ThxExpHandler() = default;

void ThxExpHandler::SetExpression(const std::string& text) {
  root_.reset();
  text_ = text;
  maxLength_ = maxDecimals_ = operandCount_ = 0;
  resultType_ = hxtUnknown;
  if (text.empty()) return;
  HxExpCompiler compiler(*this);
  root_ = compiler.Compile(text, 0);
}

const ThxExpValue& ThxExpHandler::EvaluateValue() {
  if (!root_) {
    resultType_ = hxtUnknown;
    value_.SetNull();
    return value_;
  }
  resultType_ = root_->Evaluate(value_);
  return value_;
}

void ThxExpHandler::EvaluateVariant(Variant& value) {
  if (!root_) {
    resultType_ = hxtUnknown;
    value = Variant();
    return;
  }
  EvaluateValue();
  value = value_.ToVariant(resultType_);
}

void ThxExpHandler::Evaluate(ThxVariant& target) {
  if (!root_) {
    target.SetString("");
    resultType_ = hxtUnknown;
    return;
  }
  EvaluateValue();
  switch (resultType_) {
    case hxtText:
      if (!value_.null) target.SetString(value_.text);
      break;
    case hxtNumber:
    case hxtDateTime:
      if (!value_.null) target.SetNumber(value_.number);
      break;
    case hxtDate:
      if (!value_.null) {
        int32_t day = 0;
        if (!HxDayFromNumber(value_.number, day)) day = 0;
        target.SetDate(day);
      }
      break;
    case hxtBoolean:
      if (!value_.null) target.SetLogical(value_.boolean);
      break;
    default:
      resultType_ = hxtUnknown;
      break;
  }
}

std::string ThxExpHandler::ExpressionText() const { return root_ ? root_->ExpressionText() : std::string(); }

std::string ThxExpHandler::CollectNames(int kind) const {
  return root_ ? root_->CollectNames(kind) : std::string();
}
