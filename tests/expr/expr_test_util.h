// Helpers for the expression tests: a link with variables whose values the
// test sets, and one-line compile-and-evaluate calls.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "expr/hx6_sql.h"

namespace exprtest {

// A variable whose value and type the test chooses.
class TestVar : public ThxUserDefFieldVar {
 public:
  TestVar(const std::string& names, uint8_t type, int length = 0) : ThxUserDefFieldVar(names), type_(type) {
    SetLength(length);
  }
  uint8_t GetValue(ThxExpValue& value) override {
    value = current;
    return type_;
  }
  void SetText(const std::string& s) { current.SetText(s); }
  void SetNumber(double v) { current.SetNumber(v); }
  void SetBoolean(bool v) { current.SetBoolean(v); }
  ThxExpValue current;

 private:
  uint8_t type_;
};

// A link holding a few variables, qualified by the alias T.
struct TestLink {
  ThxExpUserLink link;
  std::shared_ptr<TestVar> Add(const std::string& name, uint8_t type, int length = 0) {
    auto v = std::make_shared<TestVar>(name + ";T." + name, type, length);
    link.AddFieldVar(v);
    return v;
  }
};

struct Result {
  uint8_t type;
  ThxExpValue value;
};

inline Result Eval(const std::string& text, ThxExpUserLink* link = nullptr) {
  ThxExpHandler h(link, false, text);
  const ThxExpValue& v = h.EvaluateValue();
  return {h.ResultType(), v};
}

inline double Num(const std::string& text, ThxExpUserLink* link = nullptr) {
  Result r = Eval(text, link);
  EXPECT_TRUE(IsNumericType(r.type)) << text << " gave type " << int(r.type);
  return r.value.number;
}

inline std::string Text(const std::string& text, ThxExpUserLink* link = nullptr) {
  Result r = Eval(text, link);
  EXPECT_EQ(r.type, hxtText) << text;
  return r.value.text;
}

inline bool Bool(const std::string& text, ThxExpUserLink* link = nullptr) {
  Result r = Eval(text, link);
  EXPECT_EQ(r.type, hxtBoolean) << text;
  return r.value.boolean;
}

// The message of the exception that compiling and evaluating `text` raises
// ("" when none).
template <typename E = EKeldorExpression>
std::string ErrorOf(const std::string& text, ThxExpUserLink* link = nullptr) {
  try {
    Eval(text, link);
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

}  // namespace exprtest
