#include "framework/variants.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "platform/system.h"

TEST(VariantTest, ConversionsBetweenKinds) {
  platform::SetEnvironment("LC_NUMERIC", "C");
  Variant empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.AsString(), "");
  EXPECT_EQ(empty.AsInteger(), 0);
  EXPECT_FALSE(empty.AsBoolean());

  EXPECT_EQ(Variant("42").AsInteger(), 42);
  EXPECT_DOUBLE_EQ(Variant(" 2.5 ").AsDouble(), 2.5);
  EXPECT_EQ(Variant("2.5").AsInteger(), 2);  // half to even
  EXPECT_EQ(Variant("3.5").AsInteger(), 4);
  EXPECT_EQ(Variant(-2.5).AsInteger(), -2);
  EXPECT_EQ(Variant("true").AsBoolean(), true);
  EXPECT_EQ(Variant("0").AsBoolean(), false);
  EXPECT_DOUBLE_EQ(Variant("True").AsDouble(), -1);
  EXPECT_EQ(Variant(true).AsString(), "True");
  EXPECT_EQ(Variant(true).AsInteger(), -1);
  EXPECT_EQ(Variant(int64_t{1} << 40).AsString(), "1099511627776");
  EXPECT_EQ(Variant(0.1).AsString(), "0.1");
  EXPECT_TRUE(Variant(0.1).AsBoolean());

  Variant money = Variant::FromCurrency(int64_t{125000});
  EXPECT_EQ(money.AsString(), "12.5");
  EXPECT_EQ(money.AsInteger(), 12);
  EXPECT_EQ(Variant::FromCurrency(int64_t{135000}).AsInteger(), 14);
  EXPECT_EQ(Variant(3).AsCurrency(), 30000);
  EXPECT_EQ(Variant::FromCurrency(1.23456).AsCurrency(), 12346);

  Variant day = Variant::FromDate(EncodeDate(2026, 12, 7) + EncodeTime(12, 0, 0, 0));
  EXPECT_DOUBLE_EQ(day.AsDouble(), 46363.5);
  platform::SetEnvironment("VELUPDATE_SHORTDATE", "yyyy-MM-dd");
  EXPECT_EQ(day.AsString(), "2026-12-07 12:00:00");
  EXPECT_DOUBLE_EQ(Variant("2026-12-07").AsDateTime(), 46363);
  platform::SetEnvironment("VELUPDATE_SHORTDATE", std::nullopt);
}

TEST(VariantTest, MismatchesAndOverflowRaise) {
  Variant null = Variant::Null();
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(VarToStr(null), "");
  try {
    null.AsString();
    FAIL();
  } catch (const EVariantTypeCastError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (String)");
  }
  EXPECT_THROW(null.AsDouble(), EVariantError);
  EXPECT_THROW(null.AsBoolean(), EVariantError);
  EXPECT_THROW(Variant("abc").AsInteger(), EVariantTypeCastError);
  EXPECT_THROW(Variant("abc").AsBoolean(), EVariantTypeCastError);
  EXPECT_THROW(Variant("abc").AsDateTime(), EVariantTypeCastError);
  EXPECT_THROW(Variant(int64_t{1} << 40).AsInteger(), EVariantOverflowError);
  EXPECT_THROW(Variant(1e300).AsInt64(), EVariantOverflowError);
  EXPECT_THROW(Variant(std::nan("")).AsInteger(), EVariantOverflowError);
  EXPECT_THROW(Variant(1e300).AsCurrency(), EVariantOverflowError);
  EXPECT_THROW(Variant(INT64_MAX).AsCurrency(), EVariantOverflowError);

  EXPECT_TRUE(Variant("a").SameAs(Variant("a")));
  EXPECT_FALSE(Variant(1).SameAs(Variant(int64_t{1})));
  EXPECT_TRUE(Variant::Null().SameAs(Variant::Null()));
}
