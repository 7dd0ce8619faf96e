#include <gtest/gtest.h>

#include <cmath>

#include "framework/db.h"
#include "framework/memory_dataset.h"
#include "support/scoped_env.h"

namespace {

template <class F>
void ExpectDbError(F action, const std::string& text) {
  try {
    action();
    ADD_FAILURE() << "no error, expected: " << text;
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), text);
  }
}

class FieldTest : public ::testing::Test {
 protected:
  ScopedEnv lcAll_{"LC_ALL", std::nullopt};
  ScopedEnv lcNumeric_{"LC_NUMERIC", std::string("C")};
  ScopedEnv shortDate_{"VELUPDATE_SHORTDATE", std::string("yyyy-MM-dd")};
  ScopedEnv oemCp_{"VELUPDATE_OEMCP", std::nullopt};
  TComponent form;

  TMemoryDataSet* Table(const std::string& name, std::vector<TMemoryDataSet::Def> defs) {
    auto* ds = TComponent::Create<TMemoryDataSet>(form);
    ds->SetName(name);
    ds->defs = std::move(defs);
    return ds;
  }
};

// One row copied field by field as variants, the way a table is rebuilt.
void CopyRow(TDataSet& from, TDataSet& to) {
  to.Append();
  try {
    for (int i = 0; i < from.FieldCount(); ++i) {
      TField* source = from.Fields()[i];
      to.FieldByName(source->FieldName())->SetAsVariant(source->AsVariant());
    }
  } catch (...) {
    to.Cancel();
    throw;
  }
  to.Post();
}

}  // namespace

TEST_F(FieldTest, VariantCopyBetweenFieldClassesKeepsTheNullRules) {
  using T = TFieldType;
  TMemoryDataSet* old = Table("tbOriginalTable", {{"NAME", T::ftString, 12},
                                                  {"QTY", T::ftFloat, 0},
                                                  {"CODE", T::ftString, 5},
                                                  {"BORN", T::ftDateTime, 0},
                                                  {"FLAG", T::ftString, 5},
                                                  {"NOTES", T::ftMemo, 0},
                                                  {"SMALL", T::ftInteger, 0}});
  old->AddRow({"Smithsonian", "12.5", "42", "46363.75", "t", "a note", "7"});
  old->AddRow({"", "3.5", "", "", "", "", "-2"});
  old->AddRow({"Big", "1", "1", "", "", "", "40000"});
  old->AddRow({"Bad", "1", "abc", "", "", "", "1"});
  old->AddRow({"Worse", "1", "1", "", "maybe", "", "1"});
  TMemoryDataSet* neu = Table("tbNewTable", {{"NAME", T::ftString, 4},
                                             {"QTY", T::ftInteger, 0},
                                             {"CODE", T::ftSmallint, 0},
                                             {"BORN", T::ftDate, 0},
                                             {"FLAG", T::ftBoolean, 0},
                                             {"NOTES", T::ftMemo, 0},
                                             {"SMALL", T::ftSmallint, 0},
                                             {"ADDED", T::ftString, 3}});
  old->Open();
  neu->Open();

  CopyRow(*old, *neu);
  EXPECT_EQ(neu->FieldByName("NAME")->AsString(), "Smit");  // cut to the new width
  EXPECT_EQ(neu->FieldByName("QTY")->AsInteger(), 12);      // half to even
  EXPECT_EQ(neu->FieldByName("CODE")->AsInteger(), 42);
  EXPECT_EQ(neu->FieldByName("BORN")->AsDateTime(), 46363);  // the time of day is dropped
  EXPECT_EQ(neu->FieldByName("BORN")->AsString(), "2026-12-07");
  EXPECT_TRUE(neu->FieldByName("FLAG")->AsBoolean());
  EXPECT_EQ(neu->FieldByName("NOTES")->AsString(), "a note");
  EXPECT_EQ(neu->FieldByName("SMALL")->AsVariant().VarType(), TVarType::varInteger);
  EXPECT_TRUE(neu->FieldByName("ADDED")->IsNull());  // a new field stays blank

  old->Next();
  CopyRow(*old, *neu);
  EXPECT_EQ(neu->FieldByName("QTY")->AsInteger(), 4);
  for (const char* blank : {"NAME", "CODE", "BORN", "FLAG", "NOTES"}) {
    SCOPED_TRACE(blank);
    EXPECT_TRUE(neu->FieldByName(blank)->IsNull());
    EXPECT_TRUE(neu->FieldByName(blank)->AsVariant().IsNull());
  }
  EXPECT_EQ(neu->FieldByName("SMALL")->AsInteger(), -2);
  EXPECT_EQ(neu->rows.size(), 2u);

  old->Next();
  ExpectDbError(
      [&] { CopyRow(*old, *neu); },
      "tbNewTable: 40000 is not a valid value for field 'SMALL'. The allowed range is -32768 to 32767");
  old->Next();
  ExpectDbError([&] { CopyRow(*old, *neu); },
                "tbNewTable: 'abc' is not a valid integer value for field 'CODE'");
  old->Next();
  ExpectDbError([&] { CopyRow(*old, *neu); },
                "tbNewTable: 'maybe' is not a valid boolean value for field 'FLAG'");
  EXPECT_EQ(neu->rows.size(), 2u);  // nothing half-copied was posted
  EXPECT_EQ(neu->State(), TDataSetState::dsBrowse);
  ExpectDbError([&] { neu->FieldByName("DROPPED"); }, "tbNewTable: Field 'DROPPED' not found");
}

TEST_F(FieldTest, GettersAndSettersConvertAndNameTheField) {
  using T = TFieldType;
  TMemoryDataSet* ds = Table("tbAll", {{"NAME", T::ftString, 5},
                                       {"QTY", T::ftInteger, 0},
                                       {"SMALL", T::ftSmallint, 0},
                                       {"BIG", T::ftLargeint, 0},
                                       {"PRICE", T::ftFloat, 0},
                                       {"COST", T::ftCurrency, 0},
                                       {"BORN", T::ftDate, 0},
                                       {"STAMP", T::ftDateTime, 0},
                                       {"FLAG", T::ftBoolean, 0}});
  ds->AddRow({"abc", "3", "2", "5000000000", "2.5", "3.5", "46363", "46363.5", "T"});
  ds->Open();
  auto f = [&](const char* name) { return ds->FieldByName(name); };

  EXPECT_EQ(f("QTY")->AsString(), "3");
  EXPECT_DOUBLE_EQ(f("QTY")->AsFloat(), 3);
  EXPECT_EQ(f("PRICE")->AsInteger(), 2);
  EXPECT_EQ(f("COST")->AsInteger(), 4);
  EXPECT_EQ(f("PRICE")->AsString(), "2.5");
  EXPECT_EQ(f("BIG")->AsLargeInt(), 5000000000LL);
  EXPECT_EQ(f("STAMP")->AsString(), "2026-12-07 12:00:00");
  EXPECT_EQ(f("BORN")->AsString(), "2026-12-07");
  EXPECT_EQ(f("FLAG")->AsString(), "True");
  EXPECT_EQ(f("FLAG")->AsInteger(), 1);
  EXPECT_EQ(f("SMALL")->AsVariant().VarType(), TVarType::varInteger);
  EXPECT_EQ(f("BIG")->AsVariant().VarType(), TVarType::varInt64);
  EXPECT_EQ(f("PRICE")->AsVariant().VarType(), TVarType::varDouble);
  EXPECT_EQ(f("COST")->AsVariant().VarType(), TVarType::varCurrency);
  EXPECT_EQ(f("BORN")->AsVariant().VarType(), TVarType::varDate);
  EXPECT_EQ(f("FLAG")->AsVariant().VarType(), TVarType::varBoolean);
  EXPECT_EQ(f("NAME")->AsVariant().VarType(), TVarType::varString);

  ExpectDbError([&] { f("NAME")->AsInteger(); },
                "tbAll: 'abc' is not a valid integer value for field 'NAME'");
  ExpectDbError([&] { f("NAME")->AsFloat(); },
                "tbAll: 'abc' is not a valid floating point value for field 'NAME'");
  ExpectDbError([&] { f("QTY")->AsBoolean(); }, "tbAll: Cannot access field 'QTY' as type Boolean");
  ExpectDbError([&] { f("BIG")->AsInteger(); },
                "tbAll: 5000000000 is not a valid value for field 'BIG'. The allowed range is -2147483648 to "
                "2147483647");
  f("NAME")->SetDisplayLabel("Name of item");
  ExpectDbError([&] { f("NAME")->AsDateTime(); },
                "tbAll: 'abc' is not a valid date and time for field 'Name of item'");

  ds->Edit();
  f("NAME")->SetAsString("longer text");
  EXPECT_EQ(f("NAME")->AsString(), "longe");
  f("NAME")->SetAsInteger(12);
  EXPECT_EQ(f("NAME")->AsInteger(), 12);
  f("NAME")->SetAsBoolean(false);
  EXPECT_EQ(f("NAME")->AsString(), "False");
  f("QTY")->SetAsString(" 17 ");
  EXPECT_EQ(f("QTY")->AsInteger(), 17);
  f("QTY")->SetAsFloat(-2.5);
  EXPECT_EQ(f("QTY")->AsInteger(), -2);
  ExpectDbError([&] { f("QTY")->SetAsString("1.5"); },
                "tbAll: '1.5' is not a valid integer value for field 'QTY'");
  ExpectDbError(
      [&] { f("QTY")->SetAsFloat(1e300); },
      "tbAll: 1E300 is not a valid value for field 'QTY'. The allowed range is -2147483648 to 2147483647");
  ExpectDbError([&] { f("PRICE")->SetAsFloat(NAN); },
                "tbAll: 'NAN' is not a valid floating point value for field 'PRICE'");
  f("QTY")->SetAsString("");
  EXPECT_TRUE(f("QTY")->IsNull());
  f("FLAG")->SetAsString("f");
  EXPECT_FALSE(f("FLAG")->AsBoolean());
  f("FLAG")->SetAsVariant(Variant(2));
  EXPECT_TRUE(f("FLAG")->AsBoolean());
  f("BORN")->SetAsString("2024-02-29");
  EXPECT_EQ(f("BORN")->AsDateTime(), EncodeDate(2024, 2, 29));
  ExpectDbError([&] { f("BORN")->SetAsString("2023-02-29"); },
                "tbAll: '2023-02-29' is not a valid date for field 'BORN'");
  ExpectDbError([&] { f("BORN")->SetAsVariant(Variant(20240101)); },
                "tbAll: '20240101' is not a valid date for field 'BORN'");
  f("BORN")->SetAsVariant(Variant::FromDate(EncodeDate(1999, 12, 31) + 0.9));
  EXPECT_EQ(f("BORN")->AsString(), "1999-12-31");
  f("STAMP")->Clear();
  EXPECT_TRUE(f("STAMP")->AsVariant().IsNull());
  EXPECT_EQ(f("STAMP")->AsDateTime(), 0);
  f("BIG")->SetAsVariant(Variant("-9000000000"));
  EXPECT_EQ(f("BIG")->AsLargeInt(), -9000000000LL);
  f("COST")->SetAsVariant(Variant::FromCurrency(int64_t{12345}));
  EXPECT_DOUBLE_EQ(f("COST")->AsCurrency(), 1.2345);
  f("SMALL")->SetAsVariant(Variant("12.5"));  // variants convert more freely than text
  EXPECT_EQ(f("SMALL")->AsInteger(), 12);
  EXPECT_THROW(f("SMALL")->SetAsVariant(Variant::FromDate(1e9)), EDatabaseError);
  ds->Post();
  EXPECT_EQ(f("NAME")->AsString(), "False");

  TStringField loose;
  loose.SetFieldName("LOOSE");
  ExpectDbError([&] { loose.AsString(); }, "Field 'LOOSE' has no dataset");
}

TEST_F(FieldTest, ValidateSeesTheNewValueAndOldAndNewValuesStayApart) {
  TMemoryDataSet* ds =
      Table("tbGoods", {{"QTY", TFieldType::ftInteger, 0}, {"NAME", TFieldType::ftString, 8}});
  ds->AddRow({"1", "one"});
  ds->Open();
  TField* qty = ds->FieldByName("QTY");
  int seen = 0, changes = 0;
  qty->OnValidate = [&](TField* sender) {
    seen = sender->AsInteger();
    if (seen < 0) throw EDatabaseError("QTY must not be negative");
  };
  qty->OnChange = [&](TField*) { ++changes; };
  ds->Edit();
  qty->SetAsInteger(5);
  EXPECT_EQ(seen, 5);
  EXPECT_EQ(changes, 1);
  ExpectDbError([&] { qty->SetAsInteger(-1); }, "QTY must not be negative");
  EXPECT_EQ(seen, -1);
  EXPECT_EQ(qty->AsInteger(), 5);  // the refused value was not written
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(qty->OldValue().AsInteger(), 1);
  EXPECT_EQ(qty->NewValue().AsInteger(), 5);
  qty->SetNewValue(Variant(9));
  EXPECT_EQ(qty->AsInteger(), 9);
  EXPECT_EQ(ds->State(), TDataSetState::dsEdit);
  ds->Post();
  EXPECT_EQ(qty->OldValue().AsInteger(), 9);  // no edit: the row as it is
}

TEST_F(FieldTest, StoredTextGoesThroughTheDatasetsTranslation) {
  TMemoryDataSet* ds =
      Table("tbPeople", {{"NAME", TFieldType::ftString, 10}, {"NOTES", TFieldType::ftMemo, 0}});
  ds->translateText = true;
  ds->AddRow({"M\xFCller",
              "Gr\xFC\xDF"
              "e"});
  EXPECT_EQ(ds->rows[0].cells[0].substr(0, 6), "M\x81ller");  // CP437 on the stored side
  ds->Open();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "M\xFCller");
  EXPECT_EQ(ds->FieldByName("NOTES")->AsString(),
            "Gr\xFC\xDF"
            "e");
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("\xC4rger");
  ds->FieldByName("NOTES")->SetAsString("\xE9t\xE9");
  ds->Post();
  EXPECT_EQ(ds->rows[0].cells[0].substr(0, 5), "\x8Erger");
  EXPECT_EQ(ds->rows[0].cells[1], "\x82t\x82");
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "\xC4rger");
  EXPECT_EQ(ds->FieldByName("NOTES")->AsString(), "\xE9t\xE9");

  auto* raw = dynamic_cast<TStringField*>(ds->FieldByName("NAME"));
  ASSERT_NE(raw, nullptr);
  raw->SetTransliterate(false);
  EXPECT_EQ(raw->AsString(), "\x8Erger");
}

TEST_F(FieldTest, BlobFieldsGoThroughStreams) {
  TMemoryDataSet* ds = Table("tbDocs", {{"TEXT", TFieldType::ftMemo, 0}, {"DATA", TFieldType::ftBlob, 0}});
  ds->AddRow({"first", ""});
  ds->Open();
  auto* text = dynamic_cast<TBlobField*>(ds->FieldByName("TEXT"));
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->IsBlob());
  EXPECT_EQ(text->DataSize(), 0);
  EXPECT_EQ(text->AsString(), "first");
  EXPECT_TRUE(ds->FieldByName("DATA")->IsNull());
  ExpectDbError([&] { text->SetAsString("x"); }, "Dataset not in edit or insert mode");

  ds->Edit();
  text->SetAsString(std::string("two\0lines", 9));
  EXPECT_TRUE(text->Modified());
  EXPECT_EQ(text->AsString().size(), 9u);
  ds->FieldByName("DATA")->SetAsVariant(Variant("\x01\x02"));
  ds->Post();
  EXPECT_EQ(ds->FieldByName("DATA")->AsVariant().AsString(), "\x01\x02");
  ds->Edit();
  text->Clear();
  EXPECT_TRUE(text->IsNull());
  text->SetReadOnly(true);
  ExpectDbError([&] { text->SetAsString("y"); }, "Field 'TEXT' cannot be modified");
  ds->Post();
  EXPECT_TRUE(text->AsVariant().IsNull());

  TMemoryDataSet* bare = Table("tbBare", {{"A", TFieldType::ftString, 2}});
  bare->Open();
  ExpectDbError([&] { bare->TDataSet::CreateBlobStream(bare->FieldByName("A"), TBlobStreamMode::bmRead); },
                "tbBare: Field 'A' cannot be read or written as a blob");
}
