#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"

using tabletest::MessageOf;
using tabletest::ShortLockWait;

using tabletest::DbfImage;
using tabletest::FieldDef;

namespace {

std::string Raw(HXO_dBaseFld& t, int n) {
  std::string s;
  t.GetRaw(n, s);
  return s;
}

// One table per test; record 1 holds `record` (the flag byte first).
struct Table {
  TempDrive drive;
  std::unique_ptr<HXO_dBaseFld> t;
  Table(std::vector<FieldDef> fields, const std::string& record, uint8_t version = 0x03,
        const std::string& memo = "") {
    DbfImage img;
    img.version = version;
    img.fields = std::move(fields);
    if (version == 0x30) {
      img.extraArea = 263;
      if (!memo.empty()) img.flags = 2;
    }
    img.records.push_back(record);
    WriteHostFile(drive.Host("T.dbf"), tabletest::Bytes(img));
    if (!memo.empty()) WriteHostFile(drive.Host(version == 0x83 ? "T.dbt" : "T.fpt"), memo);
    t = std::make_unique<HXO_dBaseFld>(drive.Dos("T.dbf"), false, true);
    t->GetRecord(1);
  }
  HXO_dBaseFld* operator->() { return t.get(); }
  HXO_dBaseFld& operator*() { return *t; }
};

std::string FptHeader() {
  std::string h(512, '\0');
  h[3] = 8;
  h[7] = 64;
  return h;
}

}  // namespace

TEST(HXO_dBaseFld, DescriptorsWidthsAndLookups) {
  std::string rec = " " + std::string(300, 'x') + "  12.50";
  Table t({{"LONGTEXT", 'C', 300}, {"AMOUNT", 'N', 7, 2}}, rec);
  EXPECT_EQ(t->FieldWidth(1), 300);  // byte 16 = 44, byte 17 = 1
  EXPECT_EQ(t->FieldDecimals(1), 0);
  EXPECT_EQ(t->FieldDecimals(2), 2);
  EXPECT_EQ(t->FieldOffset(2), 301);
  EXPECT_EQ(t->FieldName(2), "AMOUNT");
  EXPECT_EQ(t->FieldType(2), 'N');
  EXPECT_EQ(t->FieldType(3), '\0');
  EXPECT_EQ(t->FieldName(0), "");
  EXPECT_EQ(t->FieldWidth(9), 0);
  EXPECT_EQ(t->FieldNumber("amount  "), 2);
  EXPECT_EQ(t->FieldDescriptor("Amount")[11], 'N');
  EXPECT_EQ(t->GetNumberByName("amount"), 12.5);
  EXPECT_EQ(MessageOf([&] { t->FieldDescriptor("NOPE"); }), "There is no field name T:\\T.dbf->NOPE");
  EXPECT_EQ(MessageOf([&] { t->GetNumberByName("LONGTEXT"); }), "Field LONGTEXT is the incorrect type");
  EXPECT_EQ(MessageOf([&] { t->GetDateByName("AMOUNT"); }), "Field AMOUNT is the incorrect type");
  EXPECT_EQ(MessageOf([&] { t->PutStringByName("X", "1"); }), "There is no field name T:\\T.dbf->X");
  // Out-of-range numbers read as nothing.
  EXPECT_EQ(t->GetNumber(7), 0);
  EXPECT_EQ(Raw(*t, 0), "");
  EXPECT_FALSE(t->PutRaw(3, "x"));
  EXPECT_EQ(t->FieldText(5), "");
}

TEST(HXO_dBaseFld, NumbersAndRawPlacement) {
  Table t({{"AMOUNT", 'N', 8, 2},
           {"SMALL", 'N', 7, 2},
           {"CNT", 'N', 5, 0},
           {"NAME", 'C', 5},
           {"RATE", 'F', 6, 3}},
          " " + std::string(8 + 7 + 5 + 5 + 6, ' '));
  EXPECT_TRUE(t->PutNumber(1, 12345.678));
  EXPECT_EQ(Raw(*t, 1), "12345.68");
  EXPECT_EQ(MessageOf([&] { t->PutNumber(2, 12345.678); }),
            "numeric value too big in field SMALL - 12345.68");
  EXPECT_EQ(Raw(*t, 2), "       ");  // the failed field keeps what it had
  EXPECT_TRUE(t->PutNumber(2, -1.5));
  EXPECT_EQ(Raw(*t, 2), "  -1.50");
  EXPECT_TRUE(t->PutNumber(3, -0.2));
  EXPECT_EQ(Raw(*t, 3), "    0");  // no "-0"
  EXPECT_EQ(MessageOf([&] { t->PutNumber(4, 1); }), "Field NAME is the incorrect type");
  EXPECT_EQ(MessageOf([&] { t->PutNumber(1, std::numeric_limits<double>::infinity()); }),
            "Invalid Number value for field AMOUNT");

  EXPECT_TRUE(t->PutRaw(3, "ABC"));
  EXPECT_EQ(Raw(*t, 3), "  ABC");
  EXPECT_TRUE(t->PutRaw(4, "ABC"));
  EXPECT_EQ(Raw(*t, 4), "ABC  ");
  EXPECT_TRUE(t->PutRawByName("NAME", "ABCDEFGH"));
  EXPECT_EQ(Raw(*t, 4), "ABCDE");
  EXPECT_EQ(MessageOf([&] { t->GetNumber(3); }), "Invalid numeric value in field T->CNT (ABC)");

  // Blank numbers read as a formatted zero.
  t->PutRaw(5, "");
  EXPECT_EQ(t->FieldText(5), "0.000");
  EXPECT_EQ(t->GetNumber(5), 0);
  t->PutString(5, " 2.5 ");
  EXPECT_EQ(Raw(*t, 5), " 2.500");
  EXPECT_EQ(t->FieldText(5), "2.500");
  t->PutString(5, "");
  EXPECT_EQ(Raw(*t, 5), " 0.000");
  EXPECT_EQ(MessageOf([&] { t->PutString(5, "2,5x"); }), "Invalid Number value for field RATE");
  {
    ScopedEnv comma("LC_NUMERIC", std::string("de_DE.UTF-8"));
    t->PutString(1, "7.25");  // the stored form is always understood
    EXPECT_EQ(t->GetNumber(1), 7.25);
  }
  EXPECT_TRUE(t->FieldChanged(1));
}

TEST(HXO_dBaseFld, DatesAndLogicals) {
  ScopedEnv fmt("VELUPDATE_SHORTDATE", std::string("MM/dd/yy"));
  Table t({{"DAY", 'D', 8}, {"OK", 'L', 1}, {"NAME", 'C', 4}}, " 20230230Tabcd");
  EXPECT_EQ(t->GetDate(1), 2415019);  // no 30 February: the fallback day
  EXPECT_EQ(t->FieldText(1), "");     // shown as the empty date
  EXPECT_EQ(t->GetDate(9), 0);
  // Blanks and zeros are the empty date that other programs write, not an error.
  for (const char* empty : {"       0", "00000000", "0       "}) {
    t->PutRaw(1, empty);
    EXPECT_EQ(t->GetDate(1), 0) << empty;
    EXPECT_EQ(t->FieldText(1), "") << empty;
  }
  t->PutRaw(1, "ab/cd");
  EXPECT_EQ(MessageOf([&] { t->GetDate(1); }), "Invalid date in field T->DAY (ab/cd   )");
  EXPECT_EQ(MessageOf([&] { t->FieldText(1); }), "Invalid date in field T->DAY (ab/cd   )");
  EXPECT_TRUE(t->PutDate(1, 2444240));
  EXPECT_EQ(Raw(*t, 1), "19800101");
  EXPECT_EQ(t->FieldText(1), "01/01/1980");
  EXPECT_EQ(t->GetDateByName("day"), 2444240);
  EXPECT_TRUE(t->PutDate(1, 0));
  EXPECT_EQ(Raw(*t, 1), "        ");
  EXPECT_EQ(t->FieldText(1), "");
  EXPECT_FALSE(t->PutDate(3, 2444240));  // not a date field: nothing happens
  EXPECT_EQ(Raw(*t, 3), "abcd");
  EXPECT_EQ(MessageOf([&] { t->PutDate(1, -1); }), "Invalid Date value for field DAY");
  EXPECT_TRUE(t->PutString(1, "02/29/2000"));
  EXPECT_EQ(Raw(*t, 1), "20000229");
  EXPECT_TRUE(t->PutString(1, "19991231"));
  EXPECT_EQ(Raw(*t, 1), "19991231");
  EXPECT_EQ(MessageOf([&] { t->PutString(1, "someday"); }), "Invalid Date value for field DAY");

  EXPECT_TRUE(t->GetLogical(2));
  EXPECT_EQ(t->FieldText(2), "T");
  EXPECT_TRUE(t->PutString(2, "1"));
  EXPECT_EQ(Raw(*t, 2), "T");
  EXPECT_TRUE(t->PutString(2, "0.5"));  // truncated to 0
  EXPECT_EQ(Raw(*t, 2), "F");
  EXPECT_TRUE(t->PutString(2, "yes"));
  EXPECT_EQ(Raw(*t, 2), "T");
  EXPECT_TRUE(t->PutString(2, ""));
  EXPECT_EQ(Raw(*t, 2), "F");
  EXPECT_TRUE(t->PutString(2, "j"));
  EXPECT_TRUE(t->GetLogicalByName("OK"));
  EXPECT_EQ(MessageOf([&] { t->PutString(2, "x"); }), "Invalid Logical value for field OK");
  t->PutRaw(2, "?");
  EXPECT_FALSE(t->GetLogical(2));
  EXPECT_EQ(t->FieldText(2), "F");
  EXPECT_EQ(MessageOf([&] { t->PutLogical(3, true); }), "Invalid Logical value for field NAME");
  EXPECT_EQ(MessageOf([&] { t->GetLogicalByName("NAME"); }), "Field NAME is the incorrect type");
}

TEST(HXO_dBaseFld, VisualFoxProBinaryFields) {
  // I 4, T 8, Y 8, B 8, and a text field.
  std::string rec =
      " " + std::string(4, ' ') + std::string(8, '\0') + std::string(8, '\0') + std::string(8, '\0') + "ab";
  Table t({{"CNT", 'I', 4}, {"STAMP", 'T', 8}, {"PRICE", 'Y', 8}, {"RATIO", 'B', 8}, {"NAME", 'C', 2}}, rec,
          0x30);
  EXPECT_EQ(t->GetNumber(1), 0);  // four spaces
  EXPECT_EQ(t->GetNumber(2), 0);  // eight zero bytes
  EXPECT_TRUE(t->PutNumber(1, -42.9));
  EXPECT_EQ(Raw(*t, 1), std::string("\xD6\xFF\xFF\xFF", 4));
  EXPECT_EQ(t->GetNumber(1), -42);
  EXPECT_EQ(t->GetNumberByName("CNT"), -42);
  EXPECT_EQ(MessageOf([&] { t->PutNumber(1, 3e10); }), "numeric value too big in field CNT - 30000000000");

  // 1 January 1980, 12:00:00.250
  const double stamp = (2444240.0 - 1721425) * 86400000.0 + 43200250;
  EXPECT_TRUE(t->PutNumber(2, stamp));
  const std::string raw = Raw(*t, 2);
  EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(raw.data())), 2444240u);
  EXPECT_EQ(GetLE32(reinterpret_cast<const uint8_t*>(raw.data()) + 4), 43200250u);
  EXPECT_EQ(t->GetNumber(2), stamp);
  EXPECT_EQ(MessageOf([&] { t->GetNumberByName("STAMP"); }), "Field STAMP is the incorrect type");

  EXPECT_TRUE(t->PutNumber(3, 12.34567));
  EXPECT_EQ(GetLE64(reinterpret_cast<const uint8_t*>(Raw(*t, 3).data())), 123457u);
  EXPECT_DOUBLE_EQ(t->GetNumber(3), 12.3457);
  EXPECT_TRUE(t->PutString(3, "-1.5"));  // text into a binary field goes in as its number
  EXPECT_DOUBLE_EQ(t->GetNumber(3), -1.5);

  EXPECT_TRUE(t->PutNumber(4, 0.125));
  EXPECT_EQ(t->GetNumber(4), 0.125);
  EXPECT_EQ(t->GetNumberByName("RATIO"), 0.125);

  t->BlankRecord();
  EXPECT_EQ(Raw(*t, 1), std::string(4, '\0'));
  EXPECT_EQ(Raw(*t, 2), std::string(8, '\0'));
  EXPECT_EQ(Raw(*t, 5), "  ");
  EXPECT_EQ(t->RecordBuffer()[0], ' ');
}

TEST(HXO_dBaseFld, VisualFoxProBlankRecordsHoldZerosWhereTheFieldsAreBinary) {
  // Blanks in _NullFlags would mark columns NULL for the program that owns
  // the format; blob references and varbinary are bytes too.
  Table t({{"NAME", 'C', 3},
           {"PIC", 'W', 4},
           {"RAW", 'Q', 6},
           {"TEXT", 'V', 5},
           {"NOTE", 'M', 4},
           {"CNT", 'I', 4},
           {"_NullFlags", '0', 2}},
          std::string(1 + 3 + 4 + 6 + 5 + 4 + 4 + 2, 'x'), 0x30);
  t->BlankRecord();
  EXPECT_EQ(Raw(*t, 1), "   ");
  EXPECT_EQ(Raw(*t, 2), std::string(4, '\0'));
  EXPECT_EQ(Raw(*t, 3), std::string(6, '\0'));
  EXPECT_EQ(Raw(*t, 4), "     ");
  EXPECT_EQ(Raw(*t, 5), std::string(4, '\0'));
  EXPECT_EQ(Raw(*t, 6), std::string(4, '\0'));
  EXPECT_EQ(Raw(*t, 7), std::string(2, '\0'));
  EXPECT_EQ(t->RecordBuffer()[0], ' ');
}

TEST(HXO_dBaseFld, BlankDeleteAndRecordImages) {
  Table t({{"NAME", 'C', 4}, {"AMOUNT", 'N', 10, 2}, {"FLAG", 'L', 1}}, "*abcd      1.00T");
  t->BlankRecord();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(t->RecordBuffer()), t->RecordLength()), "           0.00 ");
  for (int i = 0; i <= 3; ++i) EXPECT_TRUE(t->FieldChanged(i));
  EXPECT_TRUE(t->RecordChanged());

  t->GetRecord(1);
  EXPECT_EQ(t->RecordBuffer()[0], '*');
  t->UndeleteRecord();
  t->GetRecord(1);
  EXPECT_EQ(t->RecordBuffer()[0], ' ');
  t->DeleteRecord();
  t->GetRecord(1);
  EXPECT_EQ(t->RecordBuffer()[0], '*');
  EXPECT_EQ(t->RecordCount(), 1);

  std::vector<uint8_t> image(t->RecordLength() + 1, 0);
  uint8_t* own = t->RecordBuffer();
  t->BuildRecordImage(image.data(), " name ; flag;AMOUNT", {Variant("ZZ"), Variant::Null(), Variant(2.5)});
  EXPECT_EQ(std::string(reinterpret_cast<char*>(image.data()), t->RecordLength()), " ZZ        2.50F");
  EXPECT_EQ(t->RecordBuffer(), own);
  t->BuildRecordImage(image.data(), "AMOUNT;NAME", Variant(int32_t{7}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(image.data()), t->RecordLength()), "           7.00 ");
  EXPECT_THROW(t->BuildRecordImage(image.data(), "FLAG", Variant("maybe")), EKeldorError);
  EXPECT_EQ(t->RecordBuffer(), own);

  // Without a current record a delete only marks the buffer.
  t.t.reset();
  HXO_dBaseFld fresh(t.drive.Dos("T.dbf"), false, true);
  fresh.DeleteRecord();
  EXPECT_EQ(fresh.RecordCount(), 1);
  EXPECT_EQ(fresh.RecordBuffer()[0], '*');
}

TEST(HXO_dBaseFld, MemoFieldsThroughTheTable) {
  Table t({{"NAME", 'C', 2}, {"NOTE", 'M', 10}, {"PIC", 'G', 10}, {"BIN", 'B', 10}},
          " ab" + std::string(10, ' ') + "         0" + "         7", 0xF5, FptHeader());
  EXPECT_EQ(t->MemoIfOpen(), nullptr);  // made on first use
  EXPECT_EQ(t->FieldText(2), "");
  EXPECT_EQ(t->MemoSize(2), 0u);
  EXPECT_NE(t->MemoIfOpen(), nullptr);
  EXPECT_EQ(t->FieldText(3), "-general--");
  EXPECT_EQ(t->FieldText(4), "--BINARY--");
  EXPECT_EQ(t->MemoSize(1), 0u);  // not a memo field

  const std::string text = "line one\r\nline two";
  EXPECT_TRUE(t->PutString(2, text));
  EXPECT_EQ(Raw(*t, 2), "         8");
  EXPECT_EQ(t->FieldText(2), text);
  EXPECT_EQ(t->MemoSize(2), text.size());
  char buf[4];
  EXPECT_EQ(t->ReadMemo(2, buf, 4), 4u);
  EXPECT_EQ(std::string(buf, 4), "line");
  t->PutRecord(1);

  // Longer: moves; shorter: stays; empty: the field holds 0.
  t->WriteMemo(2, std::string(200, 'L').data(), 200);
  EXPECT_EQ(Raw(*t, 2), "         9");
  t->WriteMemo(2, "s", 1);
  EXPECT_EQ(Raw(*t, 2), "         9");
  EXPECT_EQ(t->FieldText(2), "s");
  t->PutString(2, "");
  EXPECT_EQ(Raw(*t, 2), std::string(10, ' '));
  EXPECT_EQ(t->FieldText(2), "");

  t->PutRaw(2, "-5");
  EXPECT_EQ(MessageOf([&] { t->FieldText(2); }), "Memo record is bad in T:\\T.fpt");
  t->PutRaw(2, "99999");
  EXPECT_EQ(MessageOf([&] { t->FieldText(2); }), "Memo record is bad in T:\\T.fpt");
  // Writing over a bad block number puts the memo at a fresh place.
  t->PutRaw(2, "junk");
  EXPECT_TRUE(t->PutString(2, "fresh"));
  EXPECT_EQ(t->FieldText(2), "fresh");

  // A table that has no memo file holds no memos.
  Table plain({{"NOTE", 'M', 10}}, "          1");
  EXPECT_EQ(plain->FieldText(1), "");
  EXPECT_EQ(MessageOf([&] { plain->PutString(1, "x"); }), "Field NOTE is the incorrect type");
}
