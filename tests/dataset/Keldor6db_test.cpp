// The table dataset: properties, table folders and aliases, opening, field
// definitions, field values with their null rules, code-page translation,
// navigation, record count and number, bookmarks.
#include "dataset/Keldor6db.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "dataset_test_util.h"
#include "framework/dberrors.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tables/hx6_tool.h"

using namespace dstest;

TEST(KeldorDataSet, ANewInstanceHasTheDocumentedDefaults) {
  TKeldorDataSet ds;
  EXPECT_EQ(ds.About(), kKeldorAbout);
  ds.SetAbout("mine");
  EXPECT_EQ(ds.About(), kKeldorAbout);
  EXPECT_EQ(ds.DatabaseName(), "");
  EXPECT_EQ(ds.TableName(), "");
  EXPECT_EQ(ds.IndexFiles().Count(), 0);
  EXPECT_EQ(ds.IndexName(), "");
  EXPECT_EQ(ds.IndexDefs().Count(), 0);
  EXPECT_FALSE(ds.Exclusive());
  EXPECT_FALSE(ds.ReadOnly());
  EXPECT_FALSE(ds.AutoFlush());
  EXPECT_EQ(ds.LockProtocol(), ThxLokProtocol::Default);
  EXPECT_TRUE(ds.TranslateASCII());
  EXPECT_FALSE(ds.UseDeleted());
  EXPECT_EQ(ds.UserID(), 0);
  EXPECT_EQ(ds.LargeIntegerAs(), ThxIntFields::asInteger);
  EXPECT_FALSE(ds.ExactCount());
  EXPECT_EQ(ds.EncryptionKey(), "");
  EXPECT_EQ(ds.Filter(), "");
  EXPECT_FALSE(ds.Filtered());
  EXPECT_TRUE(ds.FilterOptions().Empty());
  EXPECT_EQ(ds.MasterSource(), nullptr);
  EXPECT_EQ(ds.MasterFields(), "");
  EXPECT_FALSE(ds.OnStatus);
  EXPECT_EQ(MessageOf([&] { ds.RecordCount(); }), "Cannot perform this operation on a closed dataset");
  EXPECT_EQ(MessageOf([&] { ds.Open(); }), "Table name missing");
}

TEST(KeldorDataSet, FoldersComeFromAliasesFoldersOrTheProgramsOwnFolder) {
  DataFolder f;
  f.Write("people.dbf", PeopleImage(SamplePeople()));
  ASSERT_TRUE(WriteHostFile(f.drive.Host("shared/tables/people.dbf"),
                            tabletest::Bytes(PeopleImage({{"Other", "", 0}}))));
  ASSERT_TRUE(WriteHostFile(f.drive.Host("windows/keldor.cfg"),
                            "[Options]\r\nX=1\r\n[Alias]\r\nDATA=T:\\shared\\tables\r\nEMPTY=\r\n"));
  ReloadKeldorAliases();
  EXPECT_EQ(KeldorConfigFile(), platform::WindowsDirectory() + "\\keldor.cfg");
  EXPECT_EQ(KeldorAliases().Values("data"), "T:\\shared\\tables");

  TKeldorDataSet ds;
  ds.SetName("tbPeople");
  ds.SetDatabaseName("data");  // an alias, letter case ignored
  EXPECT_EQ(ds.TableFolder(), "T:\\shared\\tables\\");
  ds.SetTableName("PEOPLE");
  ds.Open();
  EXPECT_EQ(ds.TableName(), "PEOPLE.DBF");
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "Other");
  EXPECT_EQ(MessageOf([&] { ds.SetDatabaseName("T:\\x"); }),
            "tbPeople: Cannot perform this operation on an open dataset");
  EXPECT_EQ(MessageOf([&] { ds.SetTableName("x"); }),
            "tbPeople: Cannot perform this operation on an open dataset");
  EXPECT_EQ(MessageOf([&] { ds.SetEncryptionKey("k"); }),
            "tbPeople: Cannot perform this operation on an open dataset");
  ds.Close();

  // A folder with a trailing backslash is stored without it and becomes an
  // alias of itself; an alias with an empty value names itself as folder.
  ds.SetDatabaseName(f.Dos() + "\\");
  EXPECT_EQ(ds.DatabaseName(), f.Dos());
  EXPECT_EQ(KeldorAliases().Values(f.Dos()), f.Dos());
  EXPECT_EQ(ds.TableFolder(), f.Dos() + "\\");
  ds.Open();
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "Smith");
  ds.Close();
  ds.SetDatabaseName("EMPTY");
  EXPECT_EQ(ds.TableFolder(), "EMPTY\\");
  // A folder that is an alias of itself keeps the spelling each dataset gives.
  ds.SetDatabaseName("T:\\UPPER");
  TKeldorDataSet other;
  other.SetDatabaseName("T:\\Upper\\");
  EXPECT_EQ(KeldorAliases().Values("t:\\upper"), "T:\\UPPER");
  EXPECT_EQ(other.TableFolder(), "T:\\Upper\\");

  ds.SetDatabaseName("default directory");
  EXPECT_EQ(ds.DatabaseName(), "default directory");
  EXPECT_EQ(ds.TableFolder(), ExtractFilePath(platform::ExecutablePath()));
  EXPECT_EQ(KeldorAliases().IndexOfName("default directory"), -1);

  // A new table name empties the index files; the same name keeps them.
  ds.IndexFiles().Add("a.cdx");
  ds.SetTableName("PEOPLE.DBF");
  EXPECT_EQ(ds.IndexFiles().Count(), 1);
  ds.SetTableName("other");
  EXPECT_EQ(ds.IndexFiles().Count(), 0);
}

TEST(KeldorDataSet, OpeningNamesTheMissingFileAndLeavesTheDatasetClosed) {
  DataFolder f;
  auto ds = f.DataSet("NEWTable");
  EXPECT_EQ(MessageOf([&] { ds->Open(); }), "Cannot find file " + f.Dos("NEWTable.DBF"));
  EXPECT_FALSE(ds->Active());
  EXPECT_EQ(ds->FieldCount(), 0);

  f.Write("newtable.dbf", PeopleImage({}));  // another letter case on disk
  ds->Open();
  EXPECT_EQ(ds->TableName(), "NEWTable.DBF");
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Eof());
  EXPECT_TRUE(ds->Bof());
  EXPECT_TRUE(ds->FieldByName("NAME")->IsNull());
  EXPECT_EQ(ds->RecNo(), 0);
  ds->Close();
  EXPECT_EQ(ds->Handler(), nullptr);

  // Index files: ".ndx" added, the table's folder taken, each one checked.
  ds->IndexFiles().Add("people");
  EXPECT_EQ(MessageOf([&] { ds->Open(); }), "Cannot find file " + f.Dos("people.ndx"));
  EXPECT_FALSE(ds->Active());
  ds->IndexFiles().SetText("bad.cdx");
  f.WriteBytes("bad.cdx", std::string(1024, 'x'));
  EXPECT_EQ(MessageOf([&] { ds->Open(); }), "Error getting " + f.Dos("bad.cdx"));
  EXPECT_FALSE(ds->Active());
}

TEST(KeldorDataSet, FieldDefinitionsFollowTheTypeLetters) {
  DataFolder f;
  DbfImage img;
  img.fields = {{"NAME", 'C', 300}, {"BORN", 'D', 8}, {"PRICE", 'N', 8, 2}, {"QTY", 'N', 4},
                {"STOCK", 'N', 9},  {"BIG", 'N', 12}, {"RATE", 'F', 6, 1},  {"OK", 'L', 1},
                {"NOTES", 'M', 10}, {"PIC", 'G', 10}, {"ODD", 'X', 3},      {"BIN", 'B', 10}};
  f.Write("all.dbf", img);
  auto ds = f.DataSet("all.dbf");
  ds->Open();
  const TFieldDefs& defs = ds->FieldDefs();
  ASSERT_EQ(defs.Count(), 11);  // the X field has no field class
  struct Want {
    const char* name;
    TFieldType type;
    int size;
    int fieldNo;
  };
  const Want want[] = {{"NAME", TFieldType::ftString, 300, 1}, {"BORN", TFieldType::ftDate, 0, 2},
                       {"PRICE", TFieldType::ftFloat, 0, 3},   {"QTY", TFieldType::ftSmallint, 0, 4},
                       {"STOCK", TFieldType::ftInteger, 0, 5}, {"BIG", TFieldType::ftInteger, 0, 6},
                       {"RATE", TFieldType::ftFloat, 0, 7},    {"OK", TFieldType::ftBoolean, 0, 8},
                       {"NOTES", TFieldType::ftMemo, 0, 9},    {"PIC", TFieldType::ftBlob, 0, 10},
                       {"BIN", TFieldType::ftBlob, 0, 12}};
  for (int i = 0; i < defs.Count(); ++i) {
    EXPECT_EQ(defs[i].Name(), want[i].name);
    EXPECT_EQ(defs[i].DataType(), want[i].type) << want[i].name;
    EXPECT_EQ(defs[i].Size(), want[i].size) << want[i].name;
    EXPECT_EQ(defs[i].FieldNo(), want[i].fieldNo) << want[i].name;
  }
  EXPECT_EQ(MessageOf([&] { ds->FieldByName("ODD"); }), "ds: Field 'ODD' not found");
  ds->Close();
  ds->SetLargeIntegerAs(ThxIntFields::asLargeInt);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("BIG")->DataType(), TFieldType::ftLargeint);
  ds->Close();
  ds->SetLargeIntegerAs(ThxIntFields::asFloat);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("BIG")->DataType(), TFieldType::ftFloat);
  EXPECT_EQ(ds->FieldByName("STOCK")->DataType(), TFieldType::ftInteger);
}

TEST(KeldorDataSet, ValuesReadByFieldClassWithTheNullRules) {
  DataFolder f;
  DbfImage img;
  img.fields = {{"NAME", 'C', 6},     {"QTY", 'N', 4},  {"BIG", 'N', 12},
                {"PRICE", 'N', 8, 2}, {"BORN", 'D', 8}, {"OK", 'L', 1}};
  // flag, NAME 6, QTY 4, BIG 12, PRICE 8, BORN 8, OK 1
  img.records = {
      std::string(" ") + "Anne  " + " 2.5" + "        2015" + "  123.45" + "20240115" + "T",
      std::string(" ") + "      " + " 3.5" + std::string(12, ' ') + std::string(8, ' ') + "00000000" + " ",
      std::string(" ") + "      " + "-2.5" + "  5000000000" + "    0.50" + "20240230" + "F",
      std::string(" ") + "Bob   " + "  12" + "           7" + "       1" + "2015    " + "F"};
  f.Write("v.dbf", img);
  auto ds = f.DataSet("v.dbf");
  ds->Open();
  TField* name = ds->FieldByName("NAME");
  TField* qty = ds->FieldByName("QTY");
  TField* big = ds->FieldByName("BIG");
  TField* born = ds->FieldByName("BORN");
  EXPECT_EQ(name->AsString(), "Anne");
  EXPECT_EQ(qty->AsInteger(), 2);  // 2.5 rounds to the even neighbour
  EXPECT_TRUE(big->IsNull() == false);
  EXPECT_EQ(big->AsInteger(), 2015);
  EXPECT_DOUBLE_EQ(ds->FieldByName("PRICE")->AsFloat(), 123.45);
  EXPECT_DOUBLE_EQ(born->AsDateTime(), EncodeDate(2024, 1, 15));
  EXPECT_TRUE(ds->FieldByName("OK")->AsBoolean());

  ds->Next();
  EXPECT_TRUE(name->IsNull());  // empty text
  EXPECT_TRUE(name->AsVariant().IsNull());
  EXPECT_EQ(qty->AsInteger(), 4);  // 3.5 to 4
  EXPECT_FALSE(big->IsNull());     // numbers are never null
  EXPECT_EQ(big->AsInteger(), 0);
  EXPECT_TRUE(born->IsNull());  // "00000000"
  EXPECT_FALSE(ds->FieldByName("OK")->IsNull());
  EXPECT_FALSE(ds->FieldByName("OK")->AsBoolean());

  ds->Next();
  EXPECT_EQ(qty->AsInteger(), -2);
  EXPECT_TRUE(born->IsNull());  // 30 February
  // Five billion does not fit an integer field: refused, not cut to 32 bits.
  EXPECT_EQ(
      MessageOf([&] { big->AsInteger(); }),
      "ds: 5000000000 is not a valid value for field 'BIG'. The allowed range is -2147483648 to 2147483647");
  ds->Close();
  ds->SetLargeIntegerAs(ThxIntFields::asLargeInt);
  ds->Open();
  ds->SetRecNo(3);
  EXPECT_EQ(ds->FieldByName("BIG")->AsLargeInt(), 5000000000LL);
  ds->Next();
  EXPECT_TRUE(ds->FieldByName("BORN")->IsNull());  // not 8 characters
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Bob");
}

TEST(KeldorDataSet, NullsAndValuesAreWrittenAsTheTableStoresThem) {
  DataFolder f;
  DbfImage img;
  img.fields = {{"NAME", 'C', 6}, {"QTY", 'N', 4}, {"PRICE", 'N', 8, 2}, {"BORN", 'D', 8}, {"OK", 'L', 1}};
  img.records = {" Anne     2  123.4520240115T"};
  f.Write("w.dbf", img);
  auto ds = f.DataSet("w.dbf");
  ds->Open();
  ds->Edit();
  for (int i = 0; i < ds->FieldCount(); ++i) ds->Fields()[i]->SetAsVariant(Variant::Null());
  EXPECT_TRUE(ds->FieldByName("BORN")->IsNull());
  ds->Post();
  EXPECT_EQ(RecordBytes(f.Read("w.dbf"), 1), "          0    0.00        F");
  EXPECT_TRUE(ds->FieldByName("BORN")->IsNull());  // a blank date reads back as null

  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("Bea");
  ds->FieldByName("QTY")->SetAsInteger(-17);
  ds->FieldByName("PRICE")->SetAsFloat(9.999);
  ds->FieldByName("BORN")->SetAsDateTime(EncodeDate(1999, 12, 31) + 0.75);
  ds->FieldByName("OK")->SetAsBoolean(true);
  ds->Post();
  EXPECT_EQ(RecordBytes(f.Read("w.dbf"), 1), " Bea    -17   10.0019991231T");
  // A number too wide for the field is the table engine's error.
  ds->Edit();
  EXPECT_EQ(MessageOf([&] { ds->FieldByName("QTY")->SetAsInteger(12345); }),
            "numeric value too big in field QTY - 12345");
  ds->Cancel();
}

TEST(KeldorDataSet, VisualFoxProIntegerDateTimeCurrencyFields) {
  DataFolder f;
  DbfImage img;
  img.version = 0x30;
  img.extraArea = 263;
  img.fields = {{"ID", 'I', 4}, {"STAMP", 'T', 8}, {"PRICE", 'Y', 8}};
  std::string rec(21, '\0');
  rec[0] = ' ';
  auto le = [&](size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) rec[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  };
  le(1, static_cast<uint32_t>(-42), 4);
  le(5, 2460325, 4);   // 15 January 2024 as a Julian day
  le(9, 43200000, 4);  // noon
  le(13, 12345678, 8);
  img.records = {rec, std::string(1, ' ') + std::string(20, '\0')};
  f.Write("vfp.dbf", img);
  auto ds = f.DataSet("vfp.dbf");
  ds->Open();
  EXPECT_EQ(ds->FieldByName("ID")->DataType(), TFieldType::ftInteger);
  EXPECT_EQ(ds->FieldByName("ID")->AsInteger(), -42);
  EXPECT_DOUBLE_EQ(ds->FieldByName("STAMP")->AsDateTime(), EncodeDate(2024, 1, 15) + 0.5);
  EXPECT_DOUBLE_EQ(ds->FieldByName("PRICE")->AsFloat(), 1234.5678);
  EXPECT_EQ(ds->FieldByName("PRICE")->DataType(), TFieldType::ftCurrency);
  ds->Next();
  EXPECT_TRUE(ds->FieldByName("STAMP")->IsNull());  // zero
  ds->Edit();
  ds->FieldByName("STAMP")->SetAsDateTime(EncodeDate(2024, 1, 15) + 0.5);
  ds->FieldByName("ID")->SetAsInteger(-42);
  ds->FieldByName("PRICE")->SetAsFloat(1234.5678);
  ds->Post();
  const std::string file = f.Read("vfp.dbf");
  EXPECT_EQ(RecordBytes(file, 2), RecordBytes(file, 1));
}

TEST(KeldorDataSet, TextIsOemOnDiskAndAnsiInTheProgramBothWays) {
  DataFolder f;
  // "Müller" and "Straße" in code page 437.
  f.Write("oem.dbf", PeopleImage({{"M\x81ller",
                                   "Stra\xE1"
                                   "e",
                                   1}}));
  auto ds = f.DataSet("oem.dbf");
  ds->Open();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "M\xFCller");
  EXPECT_EQ(platform::AnsiToUtf8(ds->FieldByName("CITY")->AsString()), "Straße");
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString(platform::Utf8ToAnsi("Größe"));
  ds->Post();
  EXPECT_EQ(RecordBytes(f.Read("oem.dbf"), 1).substr(1, 10),
            "Gr\x94\xE1"
            "e     ");
  // Locate takes program text and finds the stored OEM text.
  ds->First();
  EXPECT_TRUE(ds->Locate("CITY", {Variant(platform::Utf8ToAnsi("Straße"))}, {}));
  char text[] = "\xFC\xE9";
  EXPECT_EQ(ds->Translate(text, text, true), 2);
  EXPECT_EQ(std::string(text), "\x81\x82");
  ds->Close();

  // Without translation the bytes pass unchanged.
  ds->SetTranslateASCII(false);
  ds->Open();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(),
            "Gr\x94\xE1"
            "e");
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("\xFC");
  ds->Post();
  EXPECT_EQ(RecordBytes(f.Read("oem.dbf"), 1).substr(1, 2), "\xFC ");
}

TEST(KeldorDataSet, NavigationSkipsDeletedRecordsUnlessTheyAreShown) {
  DataFolder f;
  std::vector<Person> rows = SamplePeople();
  rows[0].deleted = true;  // Smith, the first record
  rows[7].deleted = true;  // Baker, the last
  f.Write("p.dbf", PeopleImage(rows));
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Jones", "Brown", "Adams", "Clark", "Evans"}));
  ds->Last();
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Evans");
  ds->Prior();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");
  EXPECT_EQ(ds->RecNo(), 5);
  ds->First();
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Jones");
  EXPECT_EQ(ds->MoveBy(3), 3);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");

  // The count is the table's, deleted records included, unless ExactCount.
  EXPECT_EQ(ds->RecordCount(), 8);
  ds->SetExactCount(true);
  EXPECT_EQ(ds->RecordCount(), 5);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Clark");  // the row did not move
  ds->Next();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Evans");

  ds->SetUseDeleted(true);
  ds->Refresh();
  EXPECT_EQ(Names(*ds).size(), 8u);
  EXPECT_EQ(ds->RecordCount(), 8);
  ds->SetRecNo(8);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Baker");
  EXPECT_TRUE(ds->IsSequenced());
  EXPECT_EQ(MessageOf([&] { ds->SetRecNo(9); }), "Record number 9 is not in table " + f.Dos("p.dbf"));
  EXPECT_EQ(MessageOf([&] { ds->SetRecNo(0); }), "Record number 0 is not in table " + f.Dos("p.dbf"));
  EXPECT_EQ(ds->RecNo(), 8);
}

TEST(KeldorDataSet, BookmarksAreRecordNumbersAsRightAlignedText) {
  DataFolder f;
  std::vector<Person> rows;
  for (int i = 1; i <= 12; ++i) rows.push_back({"N" + std::to_string(i), "C", double(i)});
  f.Write("b.dbf", PeopleImage(rows));
  auto ds = f.DataSet("b.dbf");
  ds->Open();
  ds->SetRecNo(9);
  TBookmark nine = ds->GetBookmark();
  ASSERT_EQ(nine.size(), 11u);
  EXPECT_EQ(std::string(nine.begin(), nine.end()), std::string("         9") + '\0');
  ds->SetRecNo(12);
  TBookmark twelve = ds->GetBookmark();
  EXPECT_EQ(ds->CompareBookmarks(nine, twelve), -1);
  EXPECT_EQ(ds->CompareBookmarks(twelve, nine), 1);
  EXPECT_EQ(ds->CompareBookmarks(nine, nine), 0);
  EXPECT_EQ(ds->CompareBookmarks({}, nine), -1);
  EXPECT_EQ(ds->CompareBookmarks(nine, {}), 1);
  EXPECT_EQ(ds->CompareBookmarks({}, {}), 0);
  ds->GotoBookmark(nine);
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "N9");
  EXPECT_TRUE(ds->BookmarkValid(twelve));
  TBookmark beyond(11, 0);
  std::snprintf(reinterpret_cast<char*>(beyond.data()), 11, "%10d", 13);
  EXPECT_FALSE(ds->BookmarkValid(beyond));
  TBookmark garbage(11, 'x');
  garbage[10] = 0;
  EXPECT_FALSE(ds->BookmarkValid(garbage));
  EXPECT_EQ(MessageOf([&] { ds->GotoBookmark(garbage); }), "Bookmark is invalid for table b.dbf");
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "N9");
}

TEST(KeldorDataSet, AMoveThatFailsIsARecordRequestBeyondRange) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  ds->SetRecNo(5);
  // Another program cuts the table down to two records under us.
  std::filesystem::resize_file(f.Host("p.dbf"), 32 + 3 * 32 + 1 + 2 * 29);
  platform::Sleep(kHxWindowMaxAgeMs + 50);  // past what the read-ahead window may still serve
  EXPECT_EQ(MessageOf([&] { ds->Next(); }), "Record request beyond range of table");
  ds->Close();
  ds->Open();
  EXPECT_EQ(Names(*ds), (std::vector<std::string>{"Smith", "Jones"}));
}

TEST(KeldorDataSet, SettersHandTheirValuesToTheOpenHandler) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  auto ds = f.DataSet("p.dbf");
  ds->Open();
  DBFObject* h = ds->Handler();
  EXPECT_TRUE(h->Shared());
  EXPECT_TRUE(h->ReadWrite());
  ds->SetUserID(77);
  ds->SetAutoFlush(true);
  ds->SetLockProtocol(ThxLokProtocol::FoxLock);
  ds->SetUseDeleted(true);
  EXPECT_EQ(h->UserID(), 77u);
  EXPECT_TRUE(h->AutoFlush());
  EXPECT_EQ(h->LockProtocol(), static_cast<uint8_t>(ThxLokProtocol::FoxLock));
  EXPECT_TRUE(h->UseDeleted());
  ds->Edit();
  ds->Post();
  const std::string file = f.Read("p.dbf");
  EXPECT_EQ(static_cast<uint8_t>(file[20]), 77);  // the last writer's user number

  // Exclusive use keeps every other opener out, and the other way round.
  auto other = f.DataSet("p.dbf", "other");
  other->SetExclusive(true);
  EXPECT_NE(MessageOf([&] { other->Open(); }).find(f.Dos("p.dbf")), std::string::npos);
  EXPECT_FALSE(other->Active());
  ds->Close();
  other->Open();
  EXPECT_FALSE(other->Handler()->Shared());
  EXPECT_NE(MessageOf([&] { ds->Open(); }).find(f.Dos("p.dbf")), std::string::npos);
  other->Close();
  // A read-only dataset opens the table without write access.
  ds->SetReadOnly(true);
  ds->Open();
  EXPECT_FALSE(ds->Handler()->ReadWrite());
}

TEST(KeldorDataSet, AnEncryptedTableOpensWithItsKey) {
  DataFolder f;
  f.Write("p.dbf", PeopleImage(SamplePeople()));
  {
    HXO_dBHandler h(f.Dos("p.dbf"), false, true);
    h.SetPassword("secret");
  }
  auto ds = f.DataSet("p.dbf");
  EXPECT_EQ(MessageOf([&] { ds->Open(); }), "No Password for encrypted file " + f.Dos("p.dbf"));
  ds->SetEncryptionKey("secret");
  ds->Open();
  EXPECT_EQ(Names(*ds).front(), "Smith");
  ds->First();
  ds->Edit();
  ds->FieldByName("NAME")->SetAsString("Smythe");
  ds->Post();
  EXPECT_EQ(RecordBytes(f.Read("p.dbf"), 1).find("Smythe"), std::string::npos);  // stored enciphered
  ds->Close();
  ds->Open();
  EXPECT_EQ(ds->FieldByName("NAME")->AsString(), "Smythe");
}
