// The table creator: defaults and the DBFTable reference, the builder each
// flavour chooses, the field list checked before anything is written, the
// overwrite question, and the restructure's own way of driving it.
#include <gtest/gtest.h>

#include <filesystem>

#include "dataset/Keldor6db.h"
#include "dataset_test_util.h"
#include "framework/application.h"
#include "support/scripted_ui.h"
#include "framework/sysutils.h"
#include "platform/text.h"

using namespace dstest;

namespace {

// Answers every box with `answer` and records what was asked.
struct UiScope {
  explicit UiScope(UiHandler* h) { Application().SetHandler(h); }
  ~UiScope() { Application().SetHandler(nullptr); }
};

// A creator for `table` in the folder, with the lines given.
struct Creator {
  std::unique_ptr<TKeldorDataSet> table;
  TCreateKeldorDataSet creator;
  Creator(const DataFolder& f, const std::string& name, const std::vector<std::string>& lines,
          ThxDBFTypes type = ThxDBFTypes::FoxPro2)
      : table(f.DataSet(name, "tbNewTable")) {
    std::filesystem::create_directories(f.Host(""));
    creator.SetDBFTable(table.get());
    creator.SetDBFType(type);
    for (const std::string& l : lines) creator.CreateFields().Add(l);
  }
};

const std::vector<std::string> kFiveFields = {"NAME;C;30;0", "AMOUNT;N;12;2", "BORN;D;8;0", "ACTIVE;L;1;0",
                                              "NOTES;M;10;0"};

}  // namespace

TEST(CreateKeldorDataSet, DefaultsCopiedFieldListAndAReferenceThatDiesWithItsDataSet) {
  TCreateKeldorDataSet c;
  EXPECT_FALSE(c.AutoOverwrite());
  EXPECT_EQ(c.CreateFields().Count(), 0);
  EXPECT_EQ(c.DBFTable(), nullptr);
  EXPECT_EQ(c.DBFType(), ThxDBFTypes::Clipper);
  EXPECT_EQ(MessageOf([&] { c.CreateTable(); }), "A table is not assigned to this object");

  TStringList lines;
  lines.Add("A;C;1;0");
  c.SetCreateFields(lines);
  lines.Add("B;C;1;0");
  EXPECT_EQ(c.CreateFields().Text(), "A;C;1;0\r\n");

  {
    auto ds = std::make_unique<TKeldorDataSet>();
    c.SetDBFTable(ds.get());
    EXPECT_EQ(c.DBFTable(), ds.get());
  }
  EXPECT_EQ(c.DBFTable(), nullptr);
  EXPECT_EQ(MessageOf([&] { c.CreateTable(); }), "A table is not assigned to this object");

  // An open table, and a dataset without a table name (which would give a
  // file named ".DBF"), are refused before anything is written.
  DataFolder f;
  Creator open(f, "t.dbf", {"NAME;C;10;0"});
  ASSERT_TRUE(open.creator.CreateTable());
  EXPECT_EQ(MessageOf([&] { open.creator.CreateTable(); }), "Cannot perform this operation on an open table");
  Creator unnamed(f, "", {"NAME;C;10;0"});
  EXPECT_EQ(MessageOf([&] { unnamed.creator.CreateTable(); }), "Table name missing");
  EXPECT_FALSE(std::filesystem::exists(f.Host(".DBF")));
}

TEST(CreateKeldorDataSet, EachFlavourBuildsItsTableAndOpensIt) {
  DataFolder f;
  struct Want {
    ThxDBFTypes type;
    const char* table;
    uint8_t version;
    const char* memo;
    size_t memoSize;
  };
  for (const Want& w : {Want{ThxDBFTypes::FoxPro2, "fox", 0xF5, "fox.FPT", 512},
                        Want{ThxDBFTypes::Clipper, "clip.dbf", 0x83, "clip.dbt", 513},
                        Want{ThxDBFTypes::DBaseIII, "db3.dbf", 0x83, "db3.dbt", 513},
                        Want{ThxDBFTypes::DBaseIV, "db4.dbf", 0x8B, "db4.dbt", 24}}) {
    SCOPED_TRACE(w.table);
    Creator c(f, w.table, kFiveFields, w.type);
    ASSERT_TRUE(c.creator.CreateTable());
    TKeldorDataSet& ds = *c.table;
    ASSERT_TRUE(ds.Active());
    ASSERT_EQ(ds.FieldCount(), 5);
    const char* names[] = {"NAME", "AMOUNT", "BORN", "ACTIVE", "NOTES"};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ds.Fields().Fields(i)->FieldName(), names[i]);
    EXPECT_EQ(ds.Handler()->Version(), w.version);
    EXPECT_EQ(ds.Handler()->HeaderLength(), 32u * 6 + 1);
    EXPECT_EQ(ds.Handler()->RecordLength(), 1u + 30 + 12 + 8 + 1 + 10);
    EXPECT_TRUE(ds.IsEmpty());
    ds.Close();
    EXPECT_EQ(std::filesystem::file_size(f.Host(w.memo)), w.memoSize);
    // The lines stay for the next call.
    EXPECT_EQ(c.creator.CreateFields().Count(), 5);
  }
}

TEST(CreateKeldorDataSet, AnInvalidListIsRefusedBeforeAnythingIsWritten) {
  DataFolder f;
  std::filesystem::create_directories(f.Host(""));
  // The check itself belongs to the builders' unit; here: that each kind of
  // fault stops the creator before any file exists.
  const std::vector<std::vector<std::string>> invalid = {
      {},
      {"NAME;CH;30;0"},
      {"NAME;C;30"},
      {"Name;C;10;0", "CITY;C;5;0", "NAME;N;5;0"},  // a repeat, letter case ignored
      {"NAME;C;10;0", " ;;"},                       // blank once trimmed: a repeat of NAME
      {"", "NAME;C;10;0"},                          // a blank first line describes nothing
      {"AMOUNT;N;300;0"},                           // one width byte
  };
  for (const auto& lines : invalid) {
    SCOPED_TRACE(lines.empty() ? "(empty)" : lines.back());
    Creator c(f, "bad", lines);
    EXPECT_EQ(MessageOf([&] { c.creator.CreateTable(); }), "Field list is invalid");
    EXPECT_FALSE(c.table->Active());
    EXPECT_TRUE(std::filesystem::is_empty(f.Host(""))) << "a file was left behind";
  }
  // Trailing blanks and semicolons do not count; only three characters of
  // the decimals do.
  Creator c(f, "good", {"NAME;C;30;0; ;", "AMOUNT;N;30;0102"});
  ASSERT_TRUE(c.creator.CreateTable());
  EXPECT_EQ(c.table->Handler()->FieldEntry(2)->decimals, 10);
}

TEST(CreateKeldorDataSet, AnExistingTableIsReplacedOnlyWhenTheOperatorAgrees) {
  DataFolder f;
  ScriptedUi ui;
  UiScope scope(&ui);
  f.Write("newtable.dbf", PeopleImage(SamplePeople()));  // another letter case, no extension asked for
  const std::string old = f.Read("newtable.dbf");

  Creator c(f, "NEWTable", {"NAME;C;10;0"});
  ui.answer = IDCANCEL;
  EXPECT_FALSE(c.creator.CreateTable());
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "Table exists.  Do you want to overwrite?");
  EXPECT_EQ(ui.boxes[0].caption, Application().Title());
  EXPECT_EQ(ui.boxes[0].flags, unsigned{MB_OKCANCEL | MB_ICONWARNING});
  EXPECT_FALSE(c.table->Active());
  EXPECT_EQ(f.Read("newtable.dbf"), old);

  // Declining comes before the list is looked at.
  c.creator.CreateFields().Add("");
  EXPECT_FALSE(c.creator.CreateTable());
  c.creator.CreateFields().Delete(1);

  ui.answer = IDOK;
  EXPECT_TRUE(c.creator.CreateTable());
  EXPECT_EQ(ui.boxes.size(), 3u);
  EXPECT_TRUE(c.table->Active());
  EXPECT_TRUE(c.table->IsEmpty());
  c.table->Close();

  // AutoOverwrite asks nothing.
  c.creator.SetAutoOverwrite(true);
  EXPECT_TRUE(c.creator.CreateTable());
  EXPECT_EQ(ui.boxes.size(), 3u);
  c.table->Close();

  // A table another dataset holds open is not replaced; the builder's error
  // passes through and the open table keeps its bytes.
  auto other = f.DataSet("NEWTable", "tbOther");
  other->Open();
  EXPECT_EQ(MessageOf([&] { c.creator.CreateTable(); }), "Could not create file " + f.Dos("NEWTable.DBF"));
  EXPECT_EQ(RecordsInFile(f.Read("newtable.dbf")), 0);
  EXPECT_FALSE(c.table->Active());
}

TEST(CreateKeldorDataSet, TheRestructuresLinesMakeATableInTheAliasFolderThatTakesRecords) {
  DataFolder f;
  ASSERT_TRUE(WriteHostFile(f.drive.Host("windows/keldor.cfg"), "[Alias]\r\nVELMORA=" + f.Dos() + "\r\n"));
  ReloadKeldorAliases();
  std::filesystem::create_directories(f.Host(""));
  TKeldorDataSet table;
  table.SetName("tbNewTable");
  table.SetDatabaseName("Velmora");
  table.SetTableName("NEWTable");
  TCreateKeldorDataSet creator;
  creator.SetDBFTable(&table);
  creator.SetDBFType(ThxDBFTypes::FoxPro2);
  struct Row {
    const char *name, *type;
    int size, dec;
  };
  for (const Row& r :
       {Row{"Custno", "N", 6, 0}, Row{"Name", "C", 30, 0}, Row{"Since", "D", 8, 0}, Row{"Notes", "M", 10, 0}})
    creator.CreateFields().Add(Format("%s;%s;%d;%d", {r.name, r.type, r.size, r.dec}));
  ASSERT_TRUE(creator.CreateTable());
  EXPECT_EQ(creator.TargetFile(), f.Dos("NEWTable.DBF"));
  EXPECT_EQ(table.TableName(), "NEWTable.DBF");
  EXPECT_TRUE(std::filesystem::exists(f.Host("NEWTable.FPT")));

  table.Append();
  table.FieldByName("CUSTNO")->SetAsInteger(1001);
  table.FieldByName("NAME")->SetAsString(platform::Utf8ToAnsi("Émilie du Châtelet"));
  table.FieldByName("SINCE")->SetAsDateTime(EncodeDate(2019, 3, 14));
  table.FieldByName("NOTES")->SetAsString(platform::Utf8ToAnsi("Grüße"));
  table.Post();
  table.Close();
  const std::string rec = RecordBytes(f.Read("NEWTable.DBF"), 1);
  EXPECT_EQ(rec.substr(7, 18), "\x90milie du Ch\x83telet");  // OEM on disk
  table.Open();
  EXPECT_EQ(platform::AnsiToUtf8(table.FieldByName("NOTES")->AsString()), "Grüße");
}
