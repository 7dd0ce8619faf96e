#include "expr/hx6_fctn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "expr_test_util.h"
#include "tables/hx6_date.h"

using namespace exprtest;

TEST(ExpFunctions, SubstringsAndPadding) {
  EXPECT_EQ(Text("SUBSTR('ABCDE', 2, 3)"), "BCD");
  EXPECT_EQ(Text("SUBSTR('ABC', 5)"), "");
  EXPECT_EQ(Text("SUBSTR('ABC', 2, 10)"), "BC");
  EXPECT_EQ(Text("SUBSTR('ABC', 0)"), "");
  EXPECT_EQ(Text("SUBSTR('ABC', 2, 0)"), "");
  EXPECT_EQ(Text("SUBSTR('ABC', 2, 'x')"), "BC");  // a count that is not a number is missing
  EXPECT_EQ(Text("LEFT('AB', 4)"), "AB  ");
  EXPECT_EQ(Text("LEFT('ABC', 0.005)"), "");
  EXPECT_EQ(Text("LEFT('ABC', 2.9)"), "AB");
  EXPECT_EQ(Text("RIGHT('ABC', 0)"), "");
  EXPECT_EQ(Text("RIGHT('ABC', 5)"), "ABC");
  EXPECT_EQ(Text("RIGHT('ABC', 2)"), "BC");
  EXPECT_EQ(Text("PADL('7', 3, '0')"), "007");
  EXPECT_EQ(Text("PADC('A', 4)"), " A  ");
  EXPECT_EQ(Text("PADR('ABCDE', 3)"), "ABCDE");
  EXPECT_EQ(Text("PADR('A', 3, '.')"), "A..");
  EXPECT_EQ(Text("PADL(5, 3)"), "  5");
  EXPECT_EQ(ErrorOf("PADL('x', 3, 'ab')"), "A Char value is required but invalid");
  EXPECT_EQ(ErrorOf("PADL()"), "Value needed for Argument 1 of Pad");
  EXPECT_EQ(ErrorOf("PADL('x')"), "Number needed for Argument 2 of PADL");
  EXPECT_EQ(Text("SPACE(3)"), "   ");
  EXPECT_EQ(Text("SPACE(-1)"), "");
  // Requests for huge texts are refused instead of allocating without bound.
  EXPECT_EQ(ErrorOf("SPACE(1000000000)"), "Argument for SPACE must be at most 65535");
  EXPECT_EQ(ErrorOf("LEFT('', 1E9)"), "Syntax Error in expression \"LEFT('', 1E9)\"");
  EXPECT_EQ(ErrorOf("LEFT('', 1000000000)"), "Argument for LEFT must be at most 65535");
  EXPECT_EQ(ErrorOf("PADL('', 1000000000)"), "Argument for Pad must be at most 65535");
  std::string group = "SPACE(65535)";
  for (int i = 0; i < 15; ++i) group += "+SPACE(65535)";
  std::string huge = "(" + group + ")";
  for (int i = 0; i < 16; ++i) huge += "+(" + group + ")";
  EXPECT_EQ(ErrorOf(huge), "Argument for + must be a text of at most 16 MB");
  EXPECT_EQ(ErrorOf("STRTRAN(SPACE(60000), ' ', SPACE(60000))"),
            "Argument for STRTRAN must be a result of at most 16 MB");
}

TEST(ExpFunctions, NumbersAsText) {
  EXPECT_EQ(Text("STR(3.14159, 6, 2)"), "  3.14");
  EXPECT_EQ(Text("STR(123456, 3)"), "***");
  EXPECT_EQ(Text("STR(5)"), "         5");
  EXPECT_EQ(Text("STR(-2.5, 5, 1)"), " -2.5");
  EXPECT_EQ(Text("STR(1.5, 4, 9)"), "****");
  EXPECT_EQ(Text("STR(1.5, 0)"), "");
  EXPECT_EQ(Text("STRZERO(5, 3)"), "005");
  EXPECT_EQ(Text("STRZERO(-5, 4)"), "00-5");
  // Whole numbers take a shorter road; the text is printf's to the byte.
  for (const double x : {0.0, -0.0, 7.0, -7.0, 10.0, 99999999.0, -1234567.0, 1e14, 123456789012345.0}) {
    for (const int width : {1, 2, 8, 10, 20}) {
      for (const int decimals : {0, 2}) {
        char want[64];
        std::snprintf(want, sizeof want, "%*.*f", width, decimals, x + 0.0);
        std::string expect = want;
        if (static_cast<int>(expect.size()) > width || (decimals > 0 && decimals + 2 > width))
          expect.assign(static_cast<size_t>(width), '*');
        char call[96];
        std::snprintf(call, sizeof call, "STR(%.1f, %d, %d)", x, width, decimals);
        EXPECT_EQ(Text(call), expect) << call;
      }
    }
  }
  TestLink t;
  t.link.SetDefaultWidth(12);
  EXPECT_EQ(Text("STR(5)", &t.link), "           5");
  EXPECT_EQ(Num("VAL('12.5')"), 12.5);
  EXPECT_EQ(Num("VAL('  -3  ')"), -3);
  EXPECT_EQ(Num("VAL('abc')"), 0);
  EXPECT_EQ(Num("VAL('')"), 0);
  EXPECT_EQ(Num("VAL('1E999')"), 0);
}

TEST(ExpFunctions, RoundingAndArithmetic) {
  EXPECT_EQ(Num("ROUND(3.14159, 2)"), 3.14);
  EXPECT_EQ(Num("ROUND(2.5, 0)"), 3);
  EXPECT_EQ(Num("ROUND(-2.5, 0)"), -3);
  EXPECT_EQ(Num("ROUND(1234, -2)"), 1200);
  EXPECT_EQ(Num("ROUND(1250, -2)"), 1300);
  EXPECT_EQ(Num("ROUND(2.675, 2)"), 2.68);
  EXPECT_EQ(Num("ROUND(1.005, 2)"), 1.01);
  EXPECT_EQ(Num("ROUND(7.5)"), 8);
  EXPECT_EQ(Num("ROUND(0.4)"), 0);
  EXPECT_EQ(Num("ROUND(123.456, 400)"), 123.456);
  EXPECT_EQ(Num("ROUND(123.456, -400)"), 0);
  EXPECT_EQ(Num("MOD(7, 3)"), 1);
  EXPECT_EQ(Num("MOD(-7, 3)"), -1);
  EXPECT_EQ(Num("MOD(7.9, 3.9)"), 1);
  EXPECT_EQ(Num("INT(-2.7)"), -2);
  EXPECT_EQ(Num("CEILING(1.1)"), 2);
  EXPECT_EQ(Num("FLOOR(-1.1)"), -2);
  EXPECT_EQ(Num("ABS(-3)"), 3);
  EXPECT_DOUBLE_EQ(Num("DTOR(180)"), 3.1415926535897932385);
  EXPECT_DOUBLE_EQ(Num("RTOD(PI())"), 180);
  EXPECT_DOUBLE_EQ(Num("ATN2(1, 1)"), 3.1415926535897932385 / 4);
  EXPECT_DOUBLE_EQ(Num("COS(0) + SIN(0) + TAN(0) + ATAN(0)"), 1);
  EXPECT_DOUBLE_EQ(Num("LOG10(1000)"), 3);
  EXPECT_DOUBLE_EQ(Num("LOG(1)"), 0);
  EXPECT_EQ(ErrorOf("ACOS(2)"), "Argument for ACOS must be -1 to +1");
  EXPECT_EQ(ErrorOf("ASIN(-2)"), "Argument for ASIN must be -1 to +1");
  EXPECT_EQ(ErrorOf("LOG(0)"), "Argument for LOG must be > 0");
  EXPECT_EQ(ErrorOf("LOG10(-1)"), "Argument for LOG10 must be > 0");
  EXPECT_NEAR(Num("FV(100, 0.1, 2)"), 210, 1e-9);
  EXPECT_DOUBLE_EQ(Num("FV(100, 0, 3, 50)"), 350);
  EXPECT_NEAR(Num("FV(100, 0.1, 2, 0, 1)"), 231, 1e-9);
  EXPECT_NEAR(Num("PV(100, 0.1, 2)"), 210 / 1.21, 1e-9);
  EXPECT_EQ(ErrorOf("FV(100, 0.1, 2, 0, 2)"), "Argument for FV PaymentTime must be 0 or 1");
  EXPECT_EQ(ErrorOf("PV(100, 0.1, 2, 0, -3)"), "Argument for PV PaymentTime must be 0 or 1");
  EXPECT_EQ(ErrorOf("ABS('x')"), "Number needed for Argument 1 of ABS");
  EXPECT_EQ(ErrorOf("ATN2(1)"), "Number needed for Argument 2 of ATN2");
}

TEST(ExpFunctions, SearchingText) {
  EXPECT_EQ(Num("AT('B', 'ABCB')"), 2);
  EXPECT_EQ(Num("AT('B', 'ABCB', 2)"), 4);
  EXPECT_EQ(Num("AT('B', 'ABCB', 3)"), 0);   // fewer occurrences than asked for
  EXPECT_EQ(Num("AT('AA', 'AAAA', 3)"), 3);  // occurrences overlap
  EXPECT_EQ(Num("AT('AA', 'AAAA', 4)"), 0);
  EXPECT_EQ(Num("AT('', 'ABC')"), 0);
  EXPECT_EQ(Num("AT('b', 'ABC')"), 0);
  EXPECT_EQ(Num("ATC('b', 'ABCB', 2)"), 4);
  EXPECT_EQ(Num("ATC('b', 'ABC', 5)"), 0);
  EXPECT_EQ(Text("STRTRAN('aXbXcX', 'X', '-', 2, 1)"), "aXb-cX");
  EXPECT_EQ(Text("STRTRAN('aXbX', 'X')"), "ab");
  EXPECT_EQ(Text("STRTRAN('aaa', 'a', 'bb')"), "bbbbbb");
  EXPECT_EQ(Text("STRTRAN('', 'X', 'Y')"), "");
  EXPECT_EQ(Text("STRTRAN('abc', '', 'Y')"), "abc");
  EXPECT_EQ(ErrorOf("STRTRAN('abc', 'b', 1)"), "Text needed for Argument 3 of STRTRAN");
  EXPECT_EQ(Num("ASC('A')"), 65);
  EXPECT_EQ(Num("ASC('')"), 0);
  EXPECT_EQ(Num("LEN('AB  ')"), 4);
  EXPECT_EQ(Text("CHR(65)"), "A");
  EXPECT_EQ(ErrorOf("CHR(256)"), "A Byte value is required but invalid");
  EXPECT_EQ(ErrorOf("CHR(-1)"), "A Byte value is required but invalid");
}

TEST(ExpFunctions, CaseAndTrimming) {
  EXPECT_EQ(Text("UPPER('abc\xE9')"), "ABC\xC9");
  EXPECT_EQ(Text("LOWER('ABC')"), "abc");
  EXPECT_EQ(Text("LTRIM('  a ')"), "a ");
  EXPECT_EQ(Text("TRIM(' a  ')"), " a");
  EXPECT_EQ(Text("RTRIM(' a  ')"), " a");
  EXPECT_EQ(Text("ALLTRIM(' a ')"), "a");
  EXPECT_EQ(Text("ALLTRIM('   ')"), "");
  EXPECT_EQ(Text("PROPER(\"hello wORLD o'neil 3rd-x\")"), "Hello World O'neil 3rd-X");
  EXPECT_EQ(Text("SOUNDEX('ROBERT')"), "R163");
  EXPECT_EQ(Text("SOUNDEX('a')"), "A000");
  EXPECT_EQ(Text("SOUNDEX('')"), "0000");
  EXPECT_EQ(Text("SOUNDEX('Tymczak')"), "T520");  // C, Z and K make one run
}

TEST(ExpFunctions, Dates) {
  EXPECT_EQ(Text("DTOS(CTOD(''))"), "        ");
  EXPECT_TRUE(Bool("EMPTY(CTOD(''))"));
  EXPECT_TRUE(Bool("EMPTY({00000000})"));
  EXPECT_EQ(Num("DOW(CTOD('20260104'))"), 1);  // a Sunday
  EXPECT_EQ(Num("DOW(CTOD('20260110'))"), 7);
  EXPECT_EQ(Num("DOW(CTOD(''))"), 0);
  EXPECT_EQ(Text("DTOS(CTOD('20260104') + 1)"), "20260105");
  EXPECT_EQ(Text("DTOC({19800101}, 1)"), "19800101");
  const std::string blank = Text("DTOC(CTOD(''))");
  EXPECT_EQ(blank, std::string(blank.size(), ' '));
  EXPECT_EQ(blank.size(), DBFDate().DisplayFormat().size());
  EXPECT_EQ(Text("DTOC({19800101})"), DBFDate().ToDisplay(2444240));
  Result today = Eval("DATE()");
  EXPECT_EQ(today.type, hxtDate);
  EXPECT_EQ(today.value.number, DBFDate().Today());
  EXPECT_EQ(Num("DESCEND({19800101})"), 5231808 - 2444240);
  EXPECT_EQ(Eval("DESCEND(CTOD(''))").value.number, kHxBlankDate);
  EXPECT_EQ(ErrorOf("DTOS('x')"), "Date needed for Argument 1 of DTOS");
}

TEST(ExpFunctions, LogicalAndGeneral) {
  EXPECT_EQ(Num("IIF(.T., 1, 1/0)"), 1);  // the other branch is never evaluated
  EXPECT_EQ(Text("IIF(.F., 1/0, 'b')"), "b");
  EXPECT_EQ(Eval("IIF(.T.)").type, hxtEmpty);
  EXPECT_EQ(ErrorOf("IIF(1, 2, 3)"), "Boolean needed for Argument 1 of IIF");
  EXPECT_EQ(Num("MAX(1, 2.5, 2)"), 2.5);
  EXPECT_EQ(Num("MIN(3, 1, 2)"), 1);
  EXPECT_EQ(Text("MIN('b', 'a', 'c')"), "a");
  EXPECT_EQ(ErrorOf("MAX(1, 'A')"), "All arguments for Max() must be of the same type");
  EXPECT_EQ(ErrorOf("MIN({19800101}, 1)"), "All arguments for Min() must be of the same type");
  EXPECT_EQ(ErrorOf("MAX()"), "A value is required for Max()");
  EXPECT_TRUE(Bool("INLIST('AB  ', 'AB', 'CD')"));
  EXPECT_FALSE(Bool("INLIST('AB', 'AB  ')"));
  EXPECT_TRUE(Bool("INLIST(2, 1, 2)"));
  EXPECT_FALSE(Bool("INLIST(2, 'x')"));
  EXPECT_FALSE(Bool("INLIST()"));
  EXPECT_TRUE(Bool("BETWEEN(5, 1, 10)"));
  EXPECT_FALSE(Bool("BETWEEN(11, 1, 10)"));
  EXPECT_TRUE(Bool("BETWEEN('B  ', 'A', 'C')"));
  EXPECT_EQ(ErrorOf("BETWEEN(5, 'A', 'C')"), "Number needed for Argument 2 of BETWEEN");
  EXPECT_TRUE(Bool("EMPTY(0) .AND. EMPTY('  ') .AND. EMPTY(.F.) .AND. EMPTY('')"));
  EXPECT_FALSE(Bool("EMPTY(1) .OR. EMPTY('a') .OR. EMPTY(.T.) .OR. EMPTY()"));
  EXPECT_EQ(Text("DESCEND('AB')"), "\xBF\xBE");
  EXPECT_EQ(Num("DESCEND(5)"), -5);
  EXPECT_FALSE(Bool("DESCEND(.T.)"));
  EXPECT_EQ(Eval("DESCEND()").type, hxtBoolean);
}
