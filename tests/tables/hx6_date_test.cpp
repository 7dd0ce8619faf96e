#include "tables/hx6_date.h"

#include <gtest/gtest.h>

#include "framework/exceptions.h"
#include "platform/system.h"
#include "support/scoped_env.h"

TEST(ThxDBFDate, StoredTextRoundTripsAndBadDaysFallBack) {
  ThxDBFDate& d = DBFDate();
  EXPECT_EQ(d.ToJulian("19800101"), 2444240);
  EXPECT_EQ(d.ToJulian("18991230"), 2415019);
  EXPECT_EQ(d.ToJulian("20000229"), 2451604);
  // Empty dates, in every spelling a record may hold them.
  EXPECT_EQ(d.ToJulian(""), 0);
  EXPECT_EQ(d.ToJulian("        "), 0);
  EXPECT_EQ(d.ToJulian("00000000"), 0);
  EXPECT_EQ(d.ToJulian("       0"), 0);
  EXPECT_EQ(d.ToJulian("0"), 0);
  EXPECT_EQ(d.ToJulian(std::string(8, '\0')), 0);
  EXPECT_EQ(d.ToJulian("0000  00"), 0);
  // Eight digits naming no calendar day: 30 December 1899, not an error.
  EXPECT_EQ(d.ToJulian("20230230"), 2415019);
  EXPECT_EQ(d.ToJulian("19000229"), 2415019);
  EXPECT_EQ(d.ToJulian("20231301"), 2415019);
  EXPECT_EQ(d.ToJulian("20241301"), 2415019);
  // ... which displays as the empty date, not as 30 December 1899.
  {
    ScopedEnv fmt("VELUPDATE_SHORTDATE", std::string("yyyy-MM-dd"));
    EXPECT_EQ(d.ToDisplay(d.ToJulian("20230229")), "          ");
    EXPECT_EQ(d.ToDisplay(0), "          ");
    EXPECT_EQ(d.ToDisplay(2415020), "1899-12-31");
  }

  EXPECT_EQ(d.ToText(2444240), "19800101");
  EXPECT_EQ(d.ToText(0), "        ");
  EXPECT_EQ(d.ToText(-7), "        ");
  // Every day of four centuries survives the trip through its text.
  for (int32_t day = 2415020; day < 2415020 + 146097; day += 13) EXPECT_EQ(d.ToJulian(d.ToText(day)), day);

  int y, m, dd;
  d.Decode(2444240 + 59, y, m, dd);  // 1980 is a leap year
  EXPECT_EQ(y * 10000 + m * 100 + dd, 19800229);
  d.Decode(0, y, m, dd);
  EXPECT_EQ(y + m + dd, 0);

  EXPECT_EQ(d.DayOfWeek(2444240), 3);  // a Tuesday
  EXPECT_EQ(d.DayOfWeek(2444240 + 5), 1);
  EXPECT_EQ(d.DayOfWeek(0), 0);

  const platform::LocalTime now = platform::Now();
  int32_t today = 0;
  ASSERT_TRUE(ThxDBFDate::Encode(now.year, now.month, now.day, today));
  EXPECT_EQ(d.Today(), today);
}

TEST(ThxDBFDate, LocaleFormatForDisplayAndParsing) {
  ThxDBFDate& d = DBFDate();
  {
    ScopedEnv fmt("VELUPDATE_SHORTDATE", std::string("MM/dd/yy"));
    EXPECT_EQ(d.DisplayFormat(), "MM/DD/YYYY");
    EXPECT_EQ(d.ToDisplay(2444240), "01/01/1980");
    EXPECT_EQ(d.ToDisplay(0), std::string(10, ' '));
    EXPECT_EQ(d.ToJulian("01/01/1980"), 2444240);
    EXPECT_EQ(d.ToJulian(d.ToDisplay(2451604)), 2451604);
    // Two-digit years lie within 50 years of today.
    const int year = platform::Now().year;
    int32_t expected = 0;
    ThxDBFDate::Encode(year - year % 100 + 5, 3, 4, expected);
    EXPECT_EQ(d.ToJulian("3/4/05"), expected);
    EXPECT_THROW(d.ToJulian("13/01/1980"), EConvertError);
    EXPECT_THROW(d.ToJulian("02/30/1980"), EConvertError);
    EXPECT_THROW(d.ToJulian("hello"), EConvertError);
    EXPECT_THROW(d.ToJulian("1/2/3/4"), EConvertError);
    EXPECT_THROW(d.ToJulian("1980010"), EConvertError);
  }
  {
    ScopedEnv fmt("VELUPDATE_SHORTDATE", std::string("d.M.yy"));
    EXPECT_EQ(d.DisplayFormat(), "D.M.YYYY");
    EXPECT_EQ(d.ToDisplay(2444240 + 40), "10.2.1980");
    EXPECT_EQ(d.ToDisplay(-1), std::string(8, ' '));
    EXPECT_EQ(d.ToJulian("10.2.1980"), 2444240 + 40);
  }
  {
    ScopedEnv fmt("VELUPDATE_SHORTDATE", std::string("yyyy-MM-dd"));
    EXPECT_EQ(d.ToDisplay(2444240), "1980-01-01");
    EXPECT_EQ(d.ToJulian("1980-01-01"), 2444240);
  }
}
