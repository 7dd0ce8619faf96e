// The expression engine: dBase-style expressions compiled into a tree of
// nodes and evaluated against the current record of a table.
//
// Compilation runs in two passes. The tokenizer turns the text into a flat
// token list, alternating between operands and operators; the tree builder
// turns every token into a node (compiling sub-expressions and function
// arguments recursively) and then binds the operators, level by level from
// the tightest (2, power) to the loosest (8, .OR.), leftmost first. Names are
// resolved while compiling: the global registries first, then the table's
// link. Types are checked only while evaluating.
//
// Result type codes: 0 Unknown, 1 Empty, 2 Any, 3 Text, 4 Number, 5 Integer,
// 6 Date, 7 DateTime, 8 Boolean, 9 Memo, 10 Pointer (11 and above print as
// "Invalid Value"); 4 to 7 form the numeric family. A date is its Julian day
// number held as a double.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/exceptions.h"
#include "framework/variants.h"
#include "tables/hx6_cnst.h"

class ThxVariant;
class ThxExpHandler;
class ThxExpFunction;

// ---- result types ----------------------------------------------------------

inline constexpr uint8_t hxtUnknown = 0;
inline constexpr uint8_t hxtEmpty = 1;
inline constexpr uint8_t hxtAny = 2;
inline constexpr uint8_t hxtText = 3;
inline constexpr uint8_t hxtNumber = 4;
inline constexpr uint8_t hxtInteger = 5;
inline constexpr uint8_t hxtDate = 6;
inline constexpr uint8_t hxtDateTime = 7;
inline constexpr uint8_t hxtBoolean = 8;
inline constexpr uint8_t hxtMemo = 9;
inline constexpr uint8_t hxtPointer = 10;
inline constexpr uint8_t hxtInvalid = 11;  // takes the expected type wherever one is expected

inline bool IsNumericType(uint8_t t) { return t >= hxtNumber && t <= hxtDateTime; }
// "Unknown", "Empty", "Any", "Text", "Number", "Integer", "Date", "DateTime",
// "Boolean", "Memo", "Pointer"; "Invalid Value" above 10.
const char* ExpTypeName(uint8_t type);

// The blank date (CTOD of an empty text).
inline constexpr double kHxBlankDate = 1.0E100;

// Nodes nest at most this deep (operators, sub-expressions and function
// calls together); deeper texts fail to compile instead of exhausting the
// stack while compiling, evaluating or freeing the tree.
inline constexpr int kHxMaxExpressionDepth = 256;

// Longest text that concatenation or STRTRAN builds ("Argument for %s must
// be %s" beyond it), and the largest working buffer a node keeps between
// evaluations (bigger ones are given back after use, so a long chain of
// large texts does not keep a copy at every node).
inline constexpr size_t kHxMaxBuiltText = size_t{16} << 20;
inline constexpr size_t kHxKeptBuffer = size_t{256} << 10;

// ---- errors ------------------------------------------------------------------

class EKeldorExpression : public Exception {
 public:
  using Exception::Exception;
};

template <typename... Args>
[[noreturn]] void RaiseExpression(int id, const Args&... args) {
  throw EKeldorExpression(FormatKeldorMessage(id, args...));
}

// ---- values ------------------------------------------------------------------

// The value of a node. Nodes keep their working values between evaluations,
// so the text buffers are allocated once and then reused.
struct ThxExpValue {
  bool null = true;
  double number = 0;  // numeric family (dates are day numbers)
  bool boolean = false;
  std::string text;

  void SetNull() {
    null = true;
    text.clear();
  }
  void SetText(std::string_view s) {
    null = false;
    text.assign(s.data(), s.size());
  }
  void SetNumber(double v) {
    null = false;
    number = v;
  }
  void SetBoolean(bool v) {
    null = false;
    boolean = v;
  }
  // The value as a framework variant, read as `type`.
  Variant ToVariant(uint8_t type) const;
  // Gives back a text buffer larger than kHxKeptBuffer.
  void ReleaseLarge() {
    if (text.capacity() > kHxKeptBuffer) {
      text.clear();
      text.shrink_to_fit();
    }
  }
};

// ---- registries --------------------------------------------------------------

// Base of every function an expression can call. Function objects are shared
// by every expression and keep no state between calls.
class ThxUserDefFunction {
 public:
  ThxUserDefFunction() = default;
  ThxUserDefFunction(const ThxUserDefFunction&) = delete;
  ThxUserDefFunction& operator=(const ThxUserDefFunction&) = delete;
  virtual ~ThxUserDefFunction() = default;

  virtual std::string FunctionName() const { return std::string(); }
  // Computes the call's value into `value` and answers its type code.
  virtual uint8_t Execute(ThxExpFunction& call, ThxExpValue& value);
};

// A named value: predefined variables and the fields of a table. Names holds
// one or more names separated by ";", upper-cased.
class ThxUserDefFieldVar {
 public:
  explicit ThxUserDefFieldVar(std::string_view names = {});
  ThxUserDefFieldVar(const ThxUserDefFieldVar&) = delete;
  ThxUserDefFieldVar& operator=(const ThxUserDefFieldVar&) = delete;
  virtual ~ThxUserDefFieldVar() = default;

  virtual std::string Names() const { return names_; }
  virtual std::string FirstName() const;
  // 16 for a plain variable; table fields answer 17.
  virtual int NameKind() const { return 16; }
  virtual uint8_t GetValue(ThxExpValue& value);

  int32_t Length() const { return length_; }
  void SetLength(int32_t v) { length_ = v; }
  int32_t Decimals() const { return decimals_; }
  void SetDecimals(int32_t v) { decimals_ = v; }
  // Number of registry entries naming this object.
  int RefCount() const { return refCount_; }
  void SetRefCount(int v) { refCount_ = v; }

 private:
  std::string names_;
  int32_t length_ = 0;
  int32_t decimals_ = 0;
  int refCount_ = 0;
};

// Sorted, duplicate-free list of upper-cased names and their function
// objects. The registry owns its functions.
class ThxFunctionReg {
 public:
  ThxFunctionReg() = default;
  ThxFunctionReg(const ThxFunctionReg&) = delete;
  ThxFunctionReg& operator=(const ThxFunctionReg&) = delete;

  // Adds under the upper-cased FunctionName; false (and the object freed)
  // when the name is taken or empty.
  bool Register(std::unique_ptr<ThxUserDefFunction> function);
  ThxUserDefFunction* Find(std::string_view name) const;
  int Count() const { return static_cast<int>(entries_.size()); }
  // By position in name order; empty / nullptr out of range.
  std::string Names(int index) const;
  ThxUserDefFunction* Objects(int index) const;

 private:
  std::vector<std::pair<std::string, std::unique_ptr<ThxUserDefFunction>>> entries_;
};

// Sorted, duplicate-free list of upper-cased names and their variables. A
// variable may be registered under several names; its RefCount counts the
// entries and drops with them when the registry goes.
class ThxFieldVarReg {
 public:
  ThxFieldVarReg() = default;
  ThxFieldVarReg(const ThxFieldVarReg&) = delete;
  ThxFieldVarReg& operator=(const ThxFieldVarReg&) = delete;
  ~ThxFieldVarReg();

  // Adds the object under each ";"-separated part of its Names. False when
  // any part could not be added (taken or empty); the other parts stay.
  bool Register(std::shared_ptr<ThxUserDefFieldVar> var);
  ThxUserDefFieldVar* Find(std::string_view name) const;
  int Count() const { return static_cast<int>(entries_.size()); }
  std::string Names(int index) const;
  ThxUserDefFieldVar* Objects(int index) const;

 private:
  std::vector<std::pair<std::string, std::shared_ptr<ThxUserDefFieldVar>>> entries_;
};

// The global registries: the built-in functions and the variables TRUE,
// FALSE and PI. HxExpressionsStart/End are counted; the first start fills
// them, the last end frees them. Reaching them before any start fills them
// too (they then live until the process ends).
void HxExpressionsStart();
void HxExpressionsEnd();
ThxFunctionReg& HxGlobalFunctions();
ThxFieldVarReg& HxGlobalVariables();

// The link between expressions and one open table: its own functions and
// field variables. Created and owned by the table.
class ThxExpUserLink {
 public:
  ThxExpUserLink();
  ThxExpUserLink(const ThxExpUserLink&) = delete;
  ThxExpUserLink& operator=(const ThxExpUserLink&) = delete;
  virtual ~ThxExpUserLink();

  virtual ThxUserDefFunction* FindFunction(std::string_view name);
  // Looks up the first 10 characters of the name.
  virtual ThxUserDefFieldVar* FindFieldVar(std::string_view name);
  // Raises "There is no function for %s".
  [[noreturn]] virtual void NoFunction(std::string_view name);

  bool AddFunction(std::unique_ptr<ThxUserDefFunction> function) {
    return functions_.Register(std::move(function));
  }
  bool AddFieldVar(std::shared_ptr<ThxUserDefFieldVar> var) { return fieldVars_.Register(std::move(var)); }
  ThxFunctionReg& Functions() { return functions_; }
  ThxFieldVarReg& FieldVars() { return fieldVars_; }

  // Width STR uses when none is given.
  int DefaultWidth() const { return defaultWidth_; }
  void SetDefaultWidth(int width) { defaultWidth_ = width; }

 private:
  ThxFunctionReg functions_;
  ThxFieldVarReg fieldVars_;
  int defaultWidth_ = 10;
};

// ---- nodes -------------------------------------------------------------------

inline constexpr uint8_t hxnContainer = 0;
inline constexpr uint8_t hxnBoundOperator = 2;
inline constexpr uint8_t hxnOperator = 3;
inline constexpr uint8_t hxnFunction = 4;
inline constexpr uint8_t hxnFieldVar = 5;
inline constexpr uint8_t hxnTextLit = 6;
inline constexpr uint8_t hxnNumLit = 7;
inline constexpr uint8_t hxnDateLit = 8;
inline constexpr uint8_t hxnBlnLit = 9;

class ThxExpBaseObject {
 public:
  explicit ThxExpBaseObject(uint8_t kind) : nodeKind_(kind) {}
  ThxExpBaseObject(const ThxExpBaseObject&) = delete;
  ThxExpBaseObject& operator=(const ThxExpBaseObject&) = delete;
  virtual ~ThxExpBaseObject() = default;

  virtual std::string NodeText() const { return std::string(); }
  virtual int NameKind() const { return -1; }
  virtual std::string ExpressionText() const;
  virtual std::string CollectNames(int kind) const;
  // Computes the value and answers its type code.
  virtual uint8_t Evaluate(ThxExpValue& value);

  uint8_t NodeKind() const { return nodeKind_; }
  void SetNodeKind(uint8_t kind) { nodeKind_ = kind; }
  uint8_t ValueType() const { return valueType_; }
  int32_t Length() const { return length_; }
  int32_t Decimals() const { return decimals_; }
  ThxExpBaseObject* Left() const { return left_.get(); }
  ThxExpBaseObject* Right() const { return right_.get(); }
  void SetLeft(std::unique_ptr<ThxExpBaseObject> node);
  void SetRight(std::unique_ptr<ThxExpBaseObject> node);
  // Height of the subtree (1 for a leaf), sub-expressions and arguments included.
  int Depth() const { return depth_; }

 protected:
  void UpdateDepth(int childDepth);

  uint8_t nodeKind_;
  uint8_t valueType_ = hxtUnknown;
  int32_t length_ = 0;
  int32_t decimals_ = 0;
  int depth_ = 1;
  std::unique_ptr<ThxExpBaseObject> left_;
  std::unique_ptr<ThxExpBaseObject> right_;
};

// A parenthesised sub-expression; the inner tree is in Right.
class ThxExpContainer : public ThxExpBaseObject {
 public:
  ThxExpContainer() : ThxExpBaseObject(hxnContainer) {}
  std::string ExpressionText() const override;
  uint8_t Evaluate(ThxExpValue& value) override;
};

class ThxExpFunction : public ThxExpBaseObject {
 public:
  ThxExpFunction(ThxExpHandler* handler, ThxUserDefFunction* function)
      : ThxExpBaseObject(hxnFunction), handler_(handler), function_(function) {}

  std::string NodeText() const override;
  std::string ExpressionText() const override;
  std::string CollectNames(int kind) const override;
  uint8_t Evaluate(ThxExpValue& value) override;

  ThxExpHandler* Handler() const { return handler_; }
  ThxUserDefFunction* Function() const { return function_; }
  int ArgumentCount() const { return static_cast<int>(arguments_.size()); }
  ThxExpBaseObject* Arguments(int index) const {
    return index >= 0 && index < ArgumentCount() ? arguments_[static_cast<size_t>(index)].get() : nullptr;
  }
  void AddArgument(std::unique_ptr<ThxExpBaseObject> argument);

  // Evaluates argument `index` (from 0) into `value` and sets `actual` to its
  // type; a missing argument gives 1 (Empty) and leaves `value` alone. 11
  // becomes `expected`. Unless `expected` is 2 (Any), a type other than the
  // expected one (outside the numeric family) raises "%s needed for Argument
  // %d of %s".
  void CheckArgument(int index, ThxExpValue& value, uint8_t expected, uint8_t& actual);
  // The same into the call's own working value for that argument, which
  // lives as long as the call node.
  ThxExpValue& CheckArgument(int index, uint8_t expected, uint8_t& actual) {
    ThxExpValue& v = Scratch(index);
    CheckArgument(index, v, expected, actual);
    return v;
  }
  // Length of argument `index`, 10 when there is none.
  int32_t ArgumentLength(int index) const;
  // The call's working value for argument `index` (a spare one past the end).
  ThxExpValue& Scratch(int index) {
    return index >= 0 && index < static_cast<int>(scratch_.size()) ? scratch_[static_cast<size_t>(index)]
                                                                   : spare_;
  }
  // A working text for the function (reused between evaluations).
  std::string& WorkText() { return work_; }

 private:
  ThxExpHandler* handler_;
  ThxUserDefFunction* function_;
  std::vector<std::unique_ptr<ThxExpBaseObject>> arguments_;
  std::vector<ThxExpValue> scratch_;
  ThxExpValue spare_;
  std::string work_;
};

class ThxExpFieldvar : public ThxExpBaseObject {
 public:
  ThxExpFieldvar(ThxExpHandler* handler, ThxUserDefFieldVar* var);
  std::string NodeText() const override;
  int NameKind() const override;
  uint8_t Evaluate(ThxExpValue& value) override;
  ThxUserDefFieldVar* FieldVar() const { return var_; }

 private:
  ThxExpHandler* handler_;
  ThxUserDefFieldVar* var_;
};

// Operation codes of ThxExpOperator.
enum class HxOp : uint8_t {
  Equal,
  NotEqual,
  Greater,
  Less,
  GreaterEqual,
  LessEqual,
  Contained,
  Add,
  Subtract,
  Multiply,
  Divide,
  Power,
  And,
  Or,
  Not
};

class ThxExpOperator : public ThxExpBaseObject {
 public:
  ThxExpOperator(HxOp op, int level, const ThxExpHandler& handler);
  std::string NodeText() const override;
  uint8_t Evaluate(ThxExpValue& value) override;

  HxOp Operator() const { return op_; }
  int Level() const { return level_; }
  bool Bound() const { return nodeKind_ == hxnBoundOperator; }
  bool CaseInsensitive() const { return caseInsensitive_; }
  bool PartialMatch() const { return partialMatch_; }
  char WildMany() const { return wildMany_; }
  char WildOne() const { return wildOne_; }

  // Text comparison of L against R: <0, 0, >0 (trailing blanks do not count;
  // case ignored when CaseInsensitive; R starting or ending with WildMany is
  // a pattern when PartialMatch is set).
  int CompareText(const ThxExpValue& l, const ThxExpValue& r);

 private:
  uint8_t EvaluateBoolean(ThxExpValue& value);
  uint8_t EvaluateNumeric(ThxExpValue& value);
  uint8_t EvaluateText(ThxExpValue& value);

  HxOp op_;
  int level_;
  bool caseInsensitive_;
  bool partialMatch_;
  char wildMany_;
  char wildOne_;
  ThxExpValue left_value_;
  ThxExpValue right_value_;
  std::string upperL_;
  std::string upperR_;
};

class ThxExpTextLit : public ThxExpBaseObject {
 public:
  explicit ThxExpTextLit(std::string text);
  std::string NodeText() const override;
  uint8_t Evaluate(ThxExpValue& value) override;
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

class ThxExpNumLit : public ThxExpBaseObject {
 public:
  // `source` is the literal as written: its length and the digits after
  // its first '.' become Length and Decimals.
  explicit ThxExpNumLit(std::string_view source);
  std::string NodeText() const override;
  uint8_t Evaluate(ThxExpValue& value) override;
  double Value() const { return value_; }

 private:
  double value_ = 0;
};

class ThxExpDateLit : public ThxExpBaseObject {
 public:
  explicit ThxExpDateLit(int32_t day);
  std::string NodeText() const override;
  uint8_t Evaluate(ThxExpValue& value) override;
  int32_t Day() const { return day_; }

 private:
  int32_t day_;
};

class ThxExpBlnLit : public ThxExpBaseObject {
 public:
  explicit ThxExpBlnLit(bool value);
  std::string NodeText() const override;
  uint8_t Evaluate(ThxExpValue& value) override;

 private:
  bool value_;
};

// ---- the handler -------------------------------------------------------------

class ThxExpHandler {
 public:
  // `link` may be null; sqlStyle selects '%' and '_' as wildcards instead of
  // '*' and '?'. A non-empty text is compiled at once.
  ThxExpHandler(ThxExpUserLink* link, bool sqlStyle, const std::string& text = std::string());
  ThxExpHandler(const ThxExpHandler&) = delete;
  ThxExpHandler& operator=(const ThxExpHandler&) = delete;
  ~ThxExpHandler();

  // Frees the old tree, resets the counters and compiles `text` (not when
  // empty). A failed compile leaves no tree.
  void SetExpression(const std::string& text);
  const std::string& Expression() const { return text_; }

  // Evaluates into a framework variant (Null for no value); ResultType gets
  // the type, 0 without a tree.
  void EvaluateVariant(Variant& value);
  // Evaluates into the engine's value carrier: Text as a string, Number and
  // DateTime as a number, Date as a date, Boolean as a logical; other types
  // set ResultType to 0 and leave `target` alone, as does a null value.
  // Without a tree `target` becomes the empty string.
  void Evaluate(ThxVariant& target);
  // Evaluates and answers the handler's own value (valid until the next
  // evaluation); ResultType gets the type.
  const ThxExpValue& EvaluateValue();

  uint8_t ResultType() const { return resultType_; }
  std::string ExpressionText() const;
  // ";" + name for every field variable of kind `kind` the tree refers to.
  std::string CollectNames(int kind) const;

  int32_t MaxLength() const { return maxLength_; }
  int32_t MaxDecimals() const { return maxDecimals_; }
  int32_t OperandCount() const { return operandCount_; }

  // Operators copy these when they are created: set them before SetExpression.
  bool CaseInsensitive() const { return caseInsensitive_; }
  void SetCaseInsensitive(bool on) { caseInsensitive_ = on; }
  bool PartialMatch() const { return partialMatch_; }
  void SetPartialMatch(bool on) { partialMatch_ = on; }
  char WildMany() const { return wildMany_; }
  void SetWildMany(char c) { wildMany_ = c; }
  char WildOne() const { return wildOne_; }
  void SetWildOne(char c) { wildOne_ = c; }

  ThxExpUserLink* Link() const { return link_; }
  ThxExpBaseObject* Root() const { return root_.get(); }

 private:
  friend class HxExpCompiler;

  ThxExpUserLink* link_;
  std::string text_;
  uint8_t resultType_ = hxtUnknown;
  int32_t maxLength_ = 0;
  int32_t maxDecimals_ = 0;
  int32_t operandCount_ = 0;
  bool caseInsensitive_ = false;
  bool partialMatch_ = true;
  char wildMany_ = '*';
  char wildOne_ = '?';
  std::unique_ptr<ThxExpBaseObject> root_;
  ThxExpValue value_;
};

// ---- helpers shared with the function library --------------------------------

// A day number held as a double turned into an integer day; false for the
// blank date and for values outside the 32-bit range.
bool HxDayFromNumber(double value, int32_t& day);
// Pattern match of the text comparison: `text` and `pattern` already trimmed.
bool HxPatternMatch(std::string_view pattern, std::string_view text, char wildMany, char wildOne);
// Raises EMathError for a result that is not a finite number.
void HxCheckFinite(double value);
