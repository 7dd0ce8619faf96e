#include <gtest/gtest.h>

#include <cstring>

#include "framework/exceptions.h"
#include "support/scoped_env.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_tool.h"

namespace {

ThxVariant Str(std::string_view s) {
  ThxVariant v;
  v.SetString(s);
  return v;
}
ThxVariant Num(double d) {
  ThxVariant v;
  v.SetNumber(d);
  return v;
}
ThxVariant Raw(std::string_view s) {
  ThxVariant v;
  v.SetRaw(s.data(), s.size());
  return v;
}
int Cmp(const ThxVariant& a, const ThxVariant& b, int prefix = -1, const uint8_t* table = nullptr) {
  int pos = -99;
  return a.Compare(&b, pos, table, prefix);
}

}  // namespace

TEST(ThxVariant, BufferOperations) {
  ThxVariant v(16);
  EXPECT_EQ(v.Capacity(), 16u);
  EXPECT_TRUE(v.Empty());
  v.SetString("abc");
  v.SetLength(40);  // grows and keeps the text
  EXPECT_EQ(std::memcmp(v.Data(), "abc", 3), 0);
  v.SetString("Ros\xE9");
  ThxVariant copy;
  copy.Assign(v);
  v.UpperCase();
  EXPECT_EQ(v.AsString(), "ROS\xC9");
  EXPECT_EQ(copy.AsString(), "Ros\xE9");  // a deep copy
  copy.PadRight(7);
  EXPECT_EQ(std::string(copy.Bytes()), "Ros\xE9   ");
  copy.PadRight(2);  // never shortens
  EXPECT_EQ(copy.Length(), 7u);
  copy.TrimRight();
  EXPECT_EQ(std::string(copy.Bytes()), "Ros\xE9");

  ThxVariant n = Num(1.5);
  n.PadRight(20);  // character values only
  n.TrimRight();
  EXPECT_EQ(n.Length(), 8u);
  n.UpperCase();  // becomes its text form
  EXPECT_EQ(n.Kind(), hxvString);
  EXPECT_EQ(n.AsString(), "1.5");

  ThxVariant r;
  r.AppendRaw("ab", 2);
  r.AppendRaw(nullptr, 5);
  r.AppendRaw("cd", 0);
  r.AppendRaw("cde", 3);
  EXPECT_EQ(r.Kind(), hxvRaw);
  EXPECT_EQ(std::string(r.Bytes()), "abcde");
  r.Clear();
  EXPECT_EQ(r.Kind(), hxvNone);
  EXPECT_EQ(r.Capacity(), 0u);
  char text[4];
  EXPECT_EQ(Str("abcdef").AsText(text, sizeof text), 3u);
  EXPECT_STREQ(text, "abc");
}

TEST(ThxVariant, Conversions) {
  ScopedEnv fmt("VELUPDATE_SHORTDATE", std::string("MM/dd/yy"));
  ThxVariant empty;
  EXPECT_FALSE(empty.AsLogical());
  EXPECT_EQ(empty.AsNumber(), 0);
  EXPECT_EQ(empty.AsDate(), 0);
  EXPECT_EQ(empty.AsString(), "");

  EXPECT_TRUE(Str("yes").AsLogical());
  EXPECT_TRUE(Str("J").AsLogical());
  EXPECT_FALSE(Str("no").AsLogical());
  EXPECT_EQ(Str("19800101").AsDate(), 2444240);
  EXPECT_EQ(Str(" 12.5 ").AsNumber(), 12.5);
  EXPECT_THROW(Str("12x").AsNumber(), EConvertError);

  EXPECT_TRUE(Num(0.5 + 1).AsLogical());
  EXPECT_FALSE(Num(0.9).AsLogical());  // truncated
  EXPECT_EQ(Num(2444240.7).AsDate(), 2444240);
  EXPECT_EQ(Num(-3).AsDate(), 0);
  EXPECT_EQ(Num(1e300).AsDate(), 0);  // no day of the calendar
  EXPECT_EQ(Num(0.25).AsString(), "0.25");

  ThxVariant date;
  date.SetDate(2444240);
  EXPECT_FALSE(date.AsLogical());
  EXPECT_EQ(date.AsNumber(), 2444240);
  EXPECT_EQ(date.AsString(), "01/01/1980");

  ThxVariant yes;
  yes.SetLogical(true);
  EXPECT_EQ(yes.AsNumber(), 1);
  EXPECT_EQ(yes.AsDate(), 0);
  EXPECT_EQ(yes.AsString(), "T");

  // Raw values: the bytes there are, missing ones as zeros, never past the buffer.
  EXPECT_EQ(Raw(std::string("\x01\x02", 2)).AsDate(), 0x0201);
  EXPECT_EQ(Raw(std::string("\x01", 1)).AsNumber(), std::bit_cast<double>(uint64_t{1}));
  EXPECT_TRUE(Raw(std::string("\x01", 1)).AsLogical());
  EXPECT_FALSE(Raw(std::string("\0", 1)).AsLogical());
  const double d = 3.25;
  ThxVariant rd;
  rd.SetRaw(&d, 8);
  EXPECT_EQ(rd.AsNumber(), 3.25);
}

TEST(ThxVariant, CompareRules) {
  int pos = 0;
  // The prefix rule: a complete prefix takes the caller's result.
  ThxVariant ab = Str("AB"), abcLong = Str("ABC");
  EXPECT_EQ(ab.Compare(&abcLong, pos, nullptr, 0), 0);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(Cmp(Str("AB"), Str("ABC"), -1), -1);
  EXPECT_EQ(Cmp(Str("AB"), Str("ABC"), 5), 1);
  EXPECT_EQ(Cmp(Str("ABC"), Str("AB"), 0), 1);   // the longer one is no prefix
  EXPECT_EQ(Cmp(Str("AA"), Str("ABC"), 0), -1);  // a difference is not a prefix
  ThxVariant abc = Str("ABC"), abd = Str("ABD");
  EXPECT_EQ(abc.Compare(&abd, pos), -1);
  EXPECT_EQ(pos, 3);
  // Bytes compare unsigned.
  EXPECT_EQ(Cmp(Str("\xE9"), Str("z")), 1);

  // A collation table that folds case.
  uint8_t fold[256];
  for (int i = 0; i < 256; ++i) fold[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  EXPECT_EQ(Cmp(Str("abc"), Str("ABC"), -1, fold), 0);
  EXPECT_EQ(Cmp(Str("abc"), Str("ABD"), -1, fold), -1);
  EXPECT_EQ(Cmp(Str("abc"), Str("ABC")), 1);
  // Raw bytes: no table, no prefix rule.
  EXPECT_EQ(Cmp(Raw("ab"), Raw("abc"), 0, fold), -1);
  EXPECT_EQ(Cmp(Raw("abc"), Raw("ABC"), 0, fold), 1);

  // Missing and empty values.
  ThxVariant none;
  EXPECT_EQ(Cmp(none, Str("x")), -1);
  EXPECT_EQ(Cmp(none, Str("")), 0);
  EXPECT_EQ(Str("x").Compare(nullptr, pos), 1);
  EXPECT_EQ(Cmp(Str(""), Str("")), 0);
  EXPECT_EQ(Cmp(Str(""), Str("a")), -1);
  EXPECT_EQ(Cmp(Str("a"), Str("")), 1);

  // Numbers, dates and logicals by value.
  EXPECT_EQ(Cmp(Num(-1), Num(0.5)), -1);
  EXPECT_EQ(Cmp(Num(2), Num(2)), 0);
  ThxVariant d1, d2, t, f;
  d1.SetDate(10);
  d2.SetDate(-3);
  t.SetLogical(true);
  f.SetLogical(false);
  EXPECT_EQ(Cmp(d1, d2), 1);
  EXPECT_EQ(Cmp(t, f), 1);
  EXPECT_EQ(Cmp(f, t), -1);
  EXPECT_EQ(Cmp(t, t), 0);

  // A raw value takes the other's kind; other pairs do not compare.
  const double five = 5;
  ThxVariant rawFive;
  rawFive.SetRaw(&five, 8);
  EXPECT_EQ(Cmp(rawFive, Num(7)), -1);
  EXPECT_EQ(Cmp(Num(7), rawFive), 1);
  EXPECT_EQ(Cmp(Raw(std::string("\x05", 1)), d2), 1);  // short raw read as a padded day
  try {
    Cmp(Str("1"), Num(1));
    FAIL() << "no error";
  } catch (const EKeldorError& e) {
    EXPECT_STREQ(e.what(), "Variant types mismatch for compare");
  }
  EXPECT_THROW(Cmp(d1, Num(1)), EKeldorError);

  // CompareBinary: a number is its 8 bytes against text and raw values,
  // and still a value against another number.
  ThxVariant one = Num(1), two = Num(2);
  EXPECT_EQ(one.CompareBinary(&two, pos), -1);
  ThxVariant neg = Num(-1);
  EXPECT_EQ(neg.CompareBinary(&two, pos), -1);
  std::string bytesOfNeg(reinterpret_cast<const char*>(neg.Data()), 8);
  ThxVariant same = Raw(bytesOfNeg);
  EXPECT_EQ(neg.CompareBinary(&same, pos), 0);
  ThxVariant low = Raw(std::string(8, '\0'));
  EXPECT_EQ(neg.CompareBinary(&low, pos), 1);  // 0xBF... against zeros
  EXPECT_EQ(neg.Compare(&low, pos), -1);       // by value: -1 < 0
}
