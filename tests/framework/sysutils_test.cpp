#include "framework/sysutils.h"

#include <gtest/gtest.h>

#include <optional>

#include "framework/exceptions.h"
#include "platform/system.h"

TEST(FormatTest, DirectivesWidthsAndPrecision) {
  EXPECT_EQ(Format("%s:%s", {"C", "\\Velmora"}), "C:\\Velmora");
  EXPECT_EQ(Format("%d Files Backed Up.", {12}), "12 Files Backed Up.");
  EXPECT_EQ(Format("Cannot find file %s", {std::string("C:\\X\\a.dbf")}), "Cannot find file C:\\X\\a.dbf");
  EXPECT_EQ(Format("[%5d][%-5d][%.3d][%x][%u]", {42, 42, 7, 255, -1}), "[   42][42   ][007][FF][4294967295]");
  EXPECT_EQ(Format("[%.2s][%6s]", {"abcdef", "ab"}), "[ab][    ab]");
  EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b"}), "b a b");
  EXPECT_EQ(Format("%*d", {4, 5}), "   5");
  EXPECT_EQ(Format("100%%", {}), "100%");
  EXPECT_EQ(Format("%d", {-9223372036854775807LL - 1}), "-9223372036854775808");
  EXPECT_THROW(Format("%d", {"text"}), EConvertError);
  EXPECT_THROW(Format("%s", {1}), EConvertError);
  EXPECT_THROW(Format("%s %s", {"one"}), EConvertError);
  EXPECT_THROW(Format("%q", {1}), EConvertError);
  EXPECT_THROW(Format("%", {1}), EConvertError);
  EXPECT_THROW(Format("%999999999d", {1}), EConvertError);
}

TEST(FormatTest, FloatingDirectivesAndFloatToStr) {
  platform::SetEnvironment("LC_NUMERIC", "C");
  EXPECT_EQ(Format("%f|%.0f|%.3f", {1.25, 2.75, -0.5}), "1.25|3|-0.500");
  EXPECT_EQ(Format("%n", {1234567.891}), "1,234,567.89");
  EXPECT_EQ(Format("%e", {1234.5}), "1.23450000000000E+003");
  EXPECT_EQ(Format("%g", {0.5}), "0.5");
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(0.00001), "1E-5");
  EXPECT_EQ(FloatToStr(0.0001), "0.0001");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(-2.5), "-2.5");
  EXPECT_EQ(CurrToStr(12345678), "1234.5678");
  EXPECT_EQ(CurrToStr(-15000), "-1.5");
  EXPECT_EQ(CurrToStr(30000), "3");
  // Huge values do not blow up into hundreds of digits.
  EXPECT_LT(Format("%f", {1e300}).size(), 40u);
}

TEST(ConversionTest, TextToNumbers) {
  EXPECT_EQ(StrToInt(" 42 "), 42);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_THROW(StrToInt("12a"), EConvertError);
  EXPECT_THROW(StrToInt(""), EConvertError);
  try {
    StrToInt("x1");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
  EXPECT_DOUBLE_EQ(StrToFloat("1.5e3"), 1500);
  EXPECT_DOUBLE_EQ(StrToFloat(" -.25"), -0.25);
  EXPECT_THROW(StrToFloat("inf"), EConvertError);
  EXPECT_THROW(StrToFloat("1e"), EConvertError);
  EXPECT_THROW(StrToFloat("1e999"), EConvertError);
  EXPECT_THROW(StrToFloat("."), EConvertError);
}

TEST(DateTimeTest, EncodeDecodeAndFormat) {
  EXPECT_DOUBLE_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_DOUBLE_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_DOUBLE_EQ(EncodeDate(2000, 3, 1), 36586);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  for (TDateTime d : {-693593.0, -1.0, 0.0, 36586.0, 46363.0, 2958465.0}) {
    int y, m, day;
    DecodeDate(d, y, m, day);
    EXPECT_DOUBLE_EQ(EncodeDate(y, m, day), d) << d;
  }
  TDateTime t = EncodeDate(2026, 12, 7) + EncodeTime(6, 15, 3, 0);
  int h, mi, s, ms;
  DecodeTime(t, h, mi, s, ms);
  EXPECT_EQ(h * 10000 + mi * 100 + s, 61503);
  EXPECT_EQ(FormatDateTimeWin("yyyyMMddHHmmss", t), "20261207061503");
  EXPECT_EQ(FormatDateTimeWin("d/M/yy 'at' h tt", t), "7/12/26 at 6 AM");
  platform::SetEnvironment("VELUPDATE_SHORTDATE", "dd.MM.yyyy");
  EXPECT_EQ(DateTimeToStr(t), "07.12.2026 06:15:03");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2026, 12, 7)), "07.12.2026");
  platform::SetEnvironment("VELUPDATE_SHORTDATE", std::nullopt);
}
