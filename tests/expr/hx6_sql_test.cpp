#include "expr/hx6_sql.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "expr/hx6_fctn.h"
#include "expr_test_util.h"
#include "tables/hx6_date.h"
#include "tables/hx6_tool.h"

using namespace exprtest;

TEST(ExpOperators, ArithmeticPrecedenceAndAssociativity) {
  EXPECT_EQ(Num("2^3^2"), 64);  // left-associative
  EXPECT_EQ(Num("2**3"), 8);
  EXPECT_EQ(Num("10-2-3"), 5);
  EXPECT_EQ(Num("2+3*4"), 14);
  EXPECT_EQ(Num("(2+3)*4"), 20);
  EXPECT_EQ(Num("12/4/3"), 1);
  EXPECT_EQ(Num("2*-3"), -6);
  EXPECT_EQ(Num("1--5"), 6);
  EXPECT_EQ(Num("  7  "), 7);
  EXPECT_EQ(Num("1.2.3"), 0);  // not a number: reads as 0
  EXPECT_EQ(Num("-.5"), -0.5);
  EXPECT_TRUE(Bool("1+1 = 2 .AND. 3 > 2"));
  EXPECT_TRUE(Bool("1 <> 2 and 2 EQ 2 and 3 ge 3 and 1 LT 2 and 1 != 2 and 2 => 1 and 1 =< 1 and 1 # 2"));
  EXPECT_FALSE(Bool("1 > 2 .OR. 2 < 1"));
}

TEST(ExpOperators, PowerExponentsAndDivisionByZero) {
  EXPECT_EQ(Num("2^0"), 1);
  EXPECT_EQ(Num("2^-1"), 0.5);
  EXPECT_EQ(Num("4^0.5"), 2);
  EXPECT_EQ(Num("3^1"), 3);
  EXPECT_EQ(Num("-2^3"), -8);
  EXPECT_EQ(Num("2^1.5"), std::pow(2.0, 1.5));
  EXPECT_THROW(Eval("0^-1"), EZeroDivide);
  EXPECT_THROW(Eval("1/0"), EZeroDivide);
  EXPECT_THROW(Eval("1/(2-2)"), EZeroDivide);
  EXPECT_THROW(Eval("MOD(5, 0)"), EZeroDivide);
  EXPECT_THROW(Eval("MOD(5, 0.5)"), EZeroDivide);  // the divisor's integer part counts
  // Overflow is reported, never passed on as an infinity.
  EXPECT_THROW(Eval("10^400"), EMathError);
  EXPECT_THROW(Eval("99999999999999999999^99"), EMathError);
}

TEST(ExpOperators, TextConcatenationAndContainment) {
  EXPECT_EQ(Text("'AB' + 'CD'"), "ABCD");
  EXPECT_EQ(Text("'AB  ' - 'CD'"), "ABCD  ");
  EXPECT_EQ(Text("'' + 'X' + ''"), "X");
  EXPECT_TRUE(Bool("'BC' $ 'ABCD'"));
  EXPECT_FALSE(Bool("'BC ' $ 'ABCD'"));  // operands are not trimmed
  EXPECT_FALSE(Bool("'bc' $ 'ABCD'"));
  EXPECT_TRUE(Bool("[x] = \"x\""));
}

TEST(ExpOperators, DatesAndTypesMeeting) {
  TestLink t;
  auto born = t.Add("BORN", hxtDate, 8);
  born->SetNumber(2444240);
  EXPECT_TRUE(Bool("BORN = 2444240", &t.link));
  EXPECT_TRUE(Bool("BORN = {19800101}", &t.link));
  Result r = Eval("BORN + 1", &t.link);
  EXPECT_EQ(r.type, hxtNumber);  // the right operand's type
  r = Eval("1 + BORN", &t.link);
  EXPECT_EQ(r.type, hxtDate);
  EXPECT_EQ(r.value.number, 2444241);
  EXPECT_EQ(ErrorOf("'A' = 1"), "The two sides of an operation do not match");
  EXPECT_EQ(ErrorOf(".T. + .T."), "A number value is required but invalid");
  EXPECT_EQ(ErrorOf(".T. > .F."), "A assigned value is required but invalid");
  EXPECT_EQ(ErrorOf("1 .AND. 2"), "A assigned value is required but invalid");
  EXPECT_EQ(ErrorOf("'A' * 'B'"), "A assigned value is required but invalid");
  EXPECT_EQ(ErrorOf(".NOT. 1"), "A assigned value is required but invalid");
}

TEST(ExpLogic, NegationAndLiterals) {
  TestLink t;
  auto a = t.Add("A", hxtBoolean), b = t.Add("B", hxtBoolean), c = t.Add("C", hxtBoolean);
  auto eval = [&](bool x, bool y, bool z, const char* text) {
    a->SetBoolean(x);
    b->SetBoolean(y);
    c->SetBoolean(z);
    return Bool(text, &t.link);
  };
  for (int m = 0; m < 8; ++m) {
    bool x = m & 1, y = m & 2, z = m & 4;
    EXPECT_EQ(eval(x, y, z, "A .AND. .NOT. B .OR. C"), x && (!y || z)) << m;
    EXPECT_EQ(eval(x, y, z, ".NOT. A .AND. B"), !x && y) << m;
    EXPECT_EQ(eval(x, y, z, "NOT A OR B"), !x || y) << m;
    EXPECT_EQ(eval(x, y, z, "!A"), !x) << m;
    EXPECT_EQ(eval(x, y, z, "!!A"), x) << m;
  }
  ThxExpHandler h(&t.link, false, "A .AND. .NOT. B .OR. C");
  EXPECT_EQ(h.ExpressionText(), "A.AND.(.NOT.B.OR.C)");
  EXPECT_TRUE(Bool(".T."));
  EXPECT_FALSE(Bool(".f."));
  EXPECT_TRUE(Bool("TRUE .AND. .NOT. FALSE"));
  EXPECT_EQ(Num("PI"), 3.1415926535897932385);
}

TEST(ExpTextCompare, TrailingBlanksCaseAndWildcards) {
  TestLink t;
  auto name = t.Add("NAME", hxtText, 10);
  auto is = [&](const std::string& value, const std::string& expr, bool caseInsensitive = false,
                bool partial = true, bool sql = false) {
    name->SetText(value);
    ThxExpHandler h(&t.link, sql);
    h.SetCaseInsensitive(caseInsensitive);
    h.SetPartialMatch(partial);
    h.SetExpression(expr);
    const ThxExpValue& v = h.EvaluateValue();
    EXPECT_EQ(h.ResultType(), hxtBoolean);
    return v.boolean;
  };
  EXPECT_TRUE(is("CUSTOMER  ", "NAME = 'CUSTOMER'"));
  EXPECT_FALSE(is("CUSTOMER  ", "NAME = 'CUST'"));  // no prefix match
  EXPECT_TRUE(is("customer", "NAME = 'CUSTOMER'", true));
  EXPECT_FALSE(is("customer", "NAME = 'CUSTOMER'"));
  EXPECT_TRUE(is("ABCDEF", "NAME = 'ABC*'"));
  EXPECT_TRUE(is("XXABCX", "NAME = '*ABC'"));  // containment, not anchoring
  EXPECT_TRUE(is("XXABCX", "NAME = '*ABC*'"));
  EXPECT_FALSE(is("AB", "NAME = 'ABC*'"));  // pattern longer than the text
  EXPECT_FALSE(is("XBCDEF", "NAME = 'ABC*'"));
  EXPECT_TRUE(is("AXCDEF", "NAME = 'A?C*'"));
  EXPECT_TRUE(is("ANYTHING", "NAME = '*'"));
  EXPECT_FALSE(is("ABCDEF", "NAME = 'ABC*'", false, false));  // wildcards off: plain comparison
  EXPECT_FALSE(is("ABCDEF", "NAME = 'ABC%'"));
  EXPECT_TRUE(is("ABCDEF", "NAME = 'ABC%'", false, true, true));
  EXPECT_TRUE(is("AXCDEF", "NAME = 'A_C%'", false, true, true));
  EXPECT_FALSE(is("ABCDEF", "NAME = 'ABC*'", false, true, true));
  // Empty sides: empty sorts first, two empties are equal.
  EXPECT_TRUE(is("", "NAME < 'A'"));
  EXPECT_TRUE(is("", "NAME = ''"));
  EXPECT_TRUE(is("A", "NAME > ''"));
  EXPECT_TRUE(is("b", "NAME > 'A'"));  // the locale's order, not the bytes
  EXPECT_TRUE(is("a", "NAME < 'B'"));
  EXPECT_TRUE(is("ABC", "NAME # 'ABD'"));
}

TEST(ExpTextCompare, DriverFilterOverRows) {
  TestLink t;
  auto tablename = t.Add("TABLENAME", hxtText, 20);
  ThxExpHandler exact(&t.link, false, "Tablename = \"ORDERS\"");
  ThxExpHandler folded(&t.link, false);
  folded.SetCaseInsensitive(true);
  folded.SetExpression("Tablename = \"ORDERS\"");
  ThxExpHandler pattern(&t.link, false, "Tablename = \"ORD*\"");
  struct Row {
    const char* value;
    bool exact, folded, pattern;
  } rows[] = {
      {"ORDERS              ", true, true, true},    {"ORDERS2             ", false, false, true},
      {"orders              ", false, true, false},  {"ORDER               ", false, false, true},
      {"                    ", false, false, false}, {"XORDERS             ", false, false, true},
  };
  for (const Row& r : rows) {
    tablename->SetText(r.value);
    EXPECT_EQ(exact.EvaluateValue().boolean, r.exact) << r.value;
    EXPECT_EQ(folded.EvaluateValue().boolean, r.folded) << r.value;
    EXPECT_EQ(pattern.EvaluateValue().boolean, r.pattern) << r.value;
  }
  EXPECT_EQ(exact.ExpressionText(), "TABLENAME=\"ORDERS\"");
}

TEST(ExpNames, ResolutionQualifiersAndLengths) {
  TestLink t;
  auto name = t.Add("CUSTOMERNA", hxtText, 30);
  name->SetText("Smith");
  auto amount = t.Add("AMOUNT", hxtNumber, 12);
  amount->SetNumber(4);
  EXPECT_EQ(Text("CUSTOMERNAME", &t.link), "Smith");  // first 10 characters
  EXPECT_EQ(Text("customerna", &t.link), "Smith");
  EXPECT_EQ(Num("T->AMOUNT * 2", &t.link), 8);
  EXPECT_EQ(Num("T.AMOUNT + t.amount", &t.link), 8);
  EXPECT_EQ(ErrorOf("CUSTOMER.NAME", &t.link), "There is no function for CUSTOMER");
  EXPECT_EQ(ErrorOf("Missing + 1", &t.link), "There is no function for Missing");
  EXPECT_EQ(ErrorOf("NOSUCH(1)", &t.link), "There is no function for NOSUCH");
  EXPECT_EQ(ErrorOf("NOSUCH(1)"), "There is no function for NOSUCH");
  EXPECT_EQ(ErrorOf("AMOUNT + 1"), "Field/variable AMOUNT is unknown");
  EXPECT_EQ(ErrorOf("A .AND. B"), "Field/variable A is unknown");
  // Globals come first: a table variable named PI cannot be reached.
  auto pi = t.Add("PI", hxtNumber);
  pi->SetNumber(3);
  EXPECT_EQ(Num("PI", &t.link), 3.1415926535897932385);

  ThxExpHandler h(&t.link, false, "AMOUNT + 1.25 + 100 + LEN(CUSTOMERNAME)");
  EXPECT_EQ(h.MaxLength(), 30);
  EXPECT_EQ(h.MaxDecimals(), 2);
  EXPECT_EQ(h.OperandCount(), 5);  // AMOUNT, 1.25, 100, LEN, CUSTOMERNA
  EXPECT_EQ(h.ExpressionText(), "AMOUNT+1.25+100+LEN(CUSTOMERNA)");
  EXPECT_EQ(h.CollectNames(16), ";AMOUNT;CUSTOMERNA");
  EXPECT_EQ(h.CollectNames(17), "");
  h.SetExpression("");
  EXPECT_EQ(h.MaxLength(), 0);
  EXPECT_EQ(h.OperandCount(), 0);
  EXPECT_EQ(h.Root(), nullptr);
}

TEST(ExpHandler, EvaluateIntoValueCarrierAndVariant) {
  ThxVariant v;
  ThxExpHandler h(nullptr, false);
  h.Evaluate(v);  // no tree: the empty string
  EXPECT_EQ(v.Kind(), hxvString);
  EXPECT_EQ(v.Length(), 0u);
  EXPECT_EQ(h.ResultType(), hxtUnknown);

  h.SetExpression("'AB' + 'C'");
  h.Evaluate(v);
  EXPECT_EQ(v.AsString(), "ABC");
  EXPECT_EQ(h.ResultType(), hxtText);
  h.SetExpression("1.5 * 2");
  h.Evaluate(v);
  EXPECT_EQ(v.Kind(), hxvNumber);
  EXPECT_EQ(v.AsNumber(), 3);
  h.SetExpression("{19800102}");
  h.Evaluate(v);
  EXPECT_EQ(v.Kind(), hxvDate);
  EXPECT_EQ(v.AsDate(), 2444241);
  h.SetExpression("CTOD('')");  // the blank date stores as the empty date
  h.Evaluate(v);
  EXPECT_EQ(v.AsDate(), 0);
  h.SetExpression("1 < 2");
  h.Evaluate(v);
  EXPECT_EQ(v.Kind(), hxvLogical);
  EXPECT_TRUE(v.AsLogical());
  h.SetExpression("()");  // an empty sub-expression: type Empty, target left alone
  h.Evaluate(v);
  EXPECT_EQ(h.ResultType(), hxtUnknown);
  EXPECT_TRUE(v.AsLogical());

  Variant var;
  h.SetExpression("'X'");
  h.EvaluateVariant(var);
  EXPECT_EQ(var.AsString(), "X");
  h.SetExpression("2 > 1");
  h.EvaluateVariant(var);
  EXPECT_TRUE(var.AsBoolean());
  h.SetExpression("()");
  h.EvaluateVariant(var);
  EXPECT_TRUE(var.IsNull());
  EXPECT_EQ(h.ResultType(), hxtEmpty);
}

TEST(ExpErrors, EveryCompileMessage) {
  EXPECT_EQ(ErrorOf("A +"), "Syntax Error in expression \"A +\"");  // the syntax is checked first
  EXPECT_EQ(ErrorOf("1 +"), "Syntax Error in expression \"1 +\"");
  EXPECT_EQ(ErrorOf("+ 1 2"), "Syntax Error in expression \"+ 1 2\"");
  EXPECT_EQ(ErrorOf("1 ** ** 2"), "Syntax Error in expression \"1 ** ** 2\"");
  EXPECT_EQ(ErrorOf("1 << 2"), "Syntax Error in expression \"1 << 2\"");
  EXPECT_EQ(ErrorOf("(1) (2)"), "Syntax Error in expression \"(1) (2)\"");
  EXPECT_EQ(ErrorOf("1 .AND 2"), "Syntax Error in expression \"1 .AND 2\"");
  EXPECT_EQ(ErrorOf("\xC4\xD6"), "Syntax Error in expression \"\xC4\xD6\"");
  EXPECT_EQ(ErrorOf("((1)"), "Missing closing parentheses");
  EXPECT_EQ(ErrorOf("LEN('a'"), "Missing closing parentheses");
  EXPECT_EQ(ErrorOf("LEN(')')"), "");  // the quote hides the ")"
  EXPECT_EQ(ErrorOf(".T"), "Missing closing period");
  EXPECT_EQ(ErrorOf(".Y."), "Expecting \".T.\" or \".F.\"");
  EXPECT_EQ(ErrorOf("'abc"), "Missing closing \"'\" on literal");
  EXPECT_EQ(ErrorOf("[abc"), "Missing closing \"[\" on literal");
  EXPECT_EQ(ErrorOf("{19800101"), "Missing closing \"{\" on literal");
  EXPECT_EQ(ErrorOf("{not a date}"), "Syntax Error in expression \"{not a date}\"");
  EXPECT_EQ(ErrorOf("LEN()"), "Text needed for Argument 1 of LEN");
  EXPECT_EQ(ErrorOf("LEN(1)"), "Text needed for Argument 1 of LEN");
  // Empty arguments are skipped: F(A,,B) has two arguments.
  EXPECT_EQ(Num("MAX(1,,2)"), 2);
  EXPECT_EQ(Num("AT(',', 'a,b')"), 2);
  EXPECT_EQ(Num("LEN([a,b])"), 3);
}

TEST(ExpErrors, FailedCompileLeavesNoTree) {
  ThxExpHandler h(nullptr, false, "1 + 2");
  ASSERT_NE(h.Root(), nullptr);
  EXPECT_THROW(h.SetExpression("1 + (2"), EKeldorExpression);
  EXPECT_EQ(h.Root(), nullptr);
  EXPECT_EQ(h.ResultType(), hxtUnknown);
  EXPECT_THROW(ThxExpHandler(nullptr, false, "1 +"), EKeldorExpression);
  // A failed evaluation keeps the tree.
  h.SetExpression("1 / 0");
  EXPECT_THROW(h.EvaluateValue(), EZeroDivide);
  EXPECT_NE(h.Root(), nullptr);
}

TEST(ExpLimits, DeepNestingFailsCleanly) {
  const std::string parens(100000, '(');
  EXPECT_EQ(ErrorOf(parens + "1" + std::string(100000, ')')), "Expression cannot be evaluated");
  EXPECT_EQ(ErrorOf(parens), "Missing closing parentheses");
  std::string chain = "1";
  for (int i = 0; i < 100000; ++i) chain += "+1";
  EXPECT_EQ(ErrorOf(chain), "Expression cannot be evaluated");
  std::string nots;
  for (int i = 0; i < 100000; ++i) nots += "!";
  EXPECT_EQ(ErrorOf(nots + ".T."), "Expression cannot be evaluated");
  std::string calls;
  for (int i = 0; i < 100000; ++i) calls += "TRIM(";
  calls += "'x'" + std::string(100000, ')');
  EXPECT_EQ(ErrorOf(calls), "Expression cannot be evaluated");
  // Reasonable depths still work.
  std::string ok = "1";
  for (int i = 0; i < 200; ++i) ok += "+1";
  EXPECT_EQ(Num(ok), 201);
  EXPECT_EQ(Num(std::string(200, '(') + "2" + std::string(200, ')')), 2);
}

TEST(ExpRegistries, DuplicatesAndRefCounts) {
  ThxFieldVarReg reg;
  auto v = std::make_shared<ThxUserDefFieldVar>("name;t.name");
  EXPECT_EQ(v->Names(), "NAME;T.NAME");
  EXPECT_EQ(v->FirstName(), "NAME");
  EXPECT_EQ(v->NameKind(), 16);
  EXPECT_TRUE(reg.Register(v));
  EXPECT_EQ(v->RefCount(), 2);
  auto w = std::make_shared<ThxUserDefFieldVar>("NAME;OTHER");
  EXPECT_FALSE(reg.Register(w));  // NAME is taken; OTHER is added
  EXPECT_EQ(w->RefCount(), 1);
  EXPECT_EQ(reg.Find("OTHER"), w.get());
  EXPECT_EQ(reg.Find("NAME"), v.get());
  EXPECT_EQ(reg.Count(), 3);
  EXPECT_EQ(reg.Names(0), "NAME");
  EXPECT_EQ(reg.Objects(3), nullptr);
  EXPECT_EQ(reg.Names(-1), "");

  ThxFunctionReg& g = HxGlobalFunctions();
  EXPECT_EQ(g.Count(), 56);
  EXPECT_FALSE(g.Register(std::make_unique<ThxUDFAbsolute>()));
  EXPECT_EQ(HxGlobalVariables().Count(), 3);

  // A table's own function is found when no global one has the name; a
  // global name hides it.
  class Answer : public ThxUserDefFunction {
   public:
    explicit Answer(std::string n) : name_(std::move(n)) {}
    std::string FunctionName() const override { return name_; }
    uint8_t Execute(ThxExpFunction&, ThxExpValue& value) override {
      value.SetNumber(42);
      return hxtNumber;
    }
    std::string name_;
  };
  ThxExpUserLink link;
  EXPECT_TRUE(link.AddFunction(std::make_unique<Answer>("answer")));
  EXPECT_FALSE(link.AddFunction(std::make_unique<Answer>("ANSWER")));
  EXPECT_TRUE(link.AddFunction(std::make_unique<Answer>("LEN")));
  EXPECT_EQ(Num("ANSWER()", &link), 42);
  EXPECT_EQ(Num("LEN('abc')", &link), 3);
  {
    ThxFieldVarReg scoped;
    scoped.Register(v);
    EXPECT_EQ(v->RefCount(), 4);
  }
  EXPECT_EQ(v->RefCount(), 2);
}

TEST(ExpRegistries, StartAndEndAreCounted) {
  HxExpressionsStart();
  HxExpressionsStart();
  ThxFunctionReg* first = &HxGlobalFunctions();
  HxExpressionsEnd();
  EXPECT_EQ(&HxGlobalFunctions(), first);
  EXPECT_EQ(HxGlobalFunctions().Count(), 56);
  HxExpressionsEnd();
  EXPECT_EQ(HxGlobalFunctions().Count(), 56);  // reached again: filled again
}

TEST(ExpHandler, DisplayTextOfEveryNodeKind) {
  ThxExpHandler h(nullptr, false,
                  "  {19800101} = CTOD('') .OR. 'a' $ [b] .OR. 1.50 ** 2 > -3 .OR. .t. == !.F. ");
  EXPECT_EQ(h.ResultType(), hxtUnknown);  // nothing evaluated yet
  const std::string date = "{" + DBFDate().ToDisplay(2444240) + "}";
  EXPECT_EQ(h.ExpressionText(), date + "=CTOD(\"\").OR.\"a\"in string\"b\".OR.1.50^2>-3.OR..T.=(.NOT..F.)");
  EXPECT_EQ(h.OperandCount(), 10);
  EXPECT_EQ(h.MaxDecimals(), 2);
  EXPECT_EQ(h.MaxLength(), 4);  // "1.50"
  EXPECT_TRUE(h.EvaluateValue().boolean);
  EXPECT_EQ(h.Root()->NodeKind(), hxnBoundOperator);

  // The SQL style reads '%' and '_' as the wildcards.
  ThxExpHandler sql(nullptr, true, "'ORDERS' = 'OR_E%'");
  EXPECT_EQ(sql.WildMany(), '%');
  EXPECT_EQ(sql.WildOne(), '_');
  EXPECT_TRUE(sql.EvaluateValue().boolean);
  // Operators keep the flags they were compiled with.
  ThxExpHandler folded(nullptr, false, "'abc' = 'ABC'");
  folded.SetCaseInsensitive(true);
  EXPECT_FALSE(folded.EvaluateValue().boolean);
  folded.SetExpression(folded.Expression());
  EXPECT_TRUE(folded.EvaluateValue().boolean);
}
