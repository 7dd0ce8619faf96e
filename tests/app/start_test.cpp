// The Start command through the window, offscreen, on a data folder as an
// operator has it: the backup archive, the rebuilt tables with their memo and
// index files, the panel's messages, and the failures: a dropped field, an
// incomplete backup, a table that cannot be replaced, a run interrupted
// half way through its swap.
#include <gtest/gtest.h>

#include <QEvent>
#include <QPushButton>
#include <filesystem>

#include "app/Main.h"
#include "app/operator_folder.h"
#include "framework/application.h"
#include "platform/file.h"
#include "qt_app.h"
#include "restructure/VelBackup.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

namespace fs = std::filesystem;

struct ScriptedUi : UiHandler {
  struct Box {
    std::string text, caption;
    unsigned flags;
  };
  std::vector<Box> boxes;
  int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override {
    boxes.push_back({text, caption, flags});
    return IDOK;
  }
};

// Every caption the information panel is painted with.
struct PanelLog : QObject {
  TLmPanel* panel;
  std::vector<std::string> captions;
  explicit PanelLog(TLmPanel* p) : panel(p) { p->installEventFilter(this); }
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint && (captions.empty() || captions.back() != panel->Caption()))
      captions.push_back(panel->Caption());
    return false;
  }
  bool Saw(const std::string& part) const {
    for (const auto& c : captions)
      if (c.find(part) != std::string::npos) return true;
    return false;
  }
};

const char* const kFiles[] = {"CUSTOMER.DBF", "CUSTOMER.CDX", "CUSTOMER.FPT", "orders.dbf",
                              "orders.cdx",   "PRODUCTS.DBF", "PRODUCTS.FPT"};

class StartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    Application().SetHandler(&ui);
    ReloadKeldorAliases();
  }
  void TearDown() override { Application().SetHandler(nullptr); }

  void Seed(const opfolder::Options& o = {}) {
    options = o;
    opfolder::Write(kFolder, c.Host("Velmora"), o);
    for (const char* f : kFiles) before[f] = ReadHostFile(c.Host(std::string("Velmora/") + f));
    for (const char* t : {"CUSTOMER", "ORDERS", "PRODUCTS"}) oldRows[t] = opfolder::Rows(kFolder, t);
  }
  std::unique_ptr<TfrmMain> Window(int second = 3) {
    auto form = std::make_unique<TfrmMain>("T:\\bin\\VelUpdate.exe");
    form->Run().Clock = [second] {
      platform::LocalTime t;
      t.year = 2026, t.month = 12, t.day = 7, t.hour = 6, t.minute = 15, t.second = second;
      return t;
    };
    form->show();
    QCoreApplication::processEvents();
    return form;
  }
  bool Unchanged(const std::string& file) const {
    return ReadHostFile(c.Host("Velmora/" + file)) == before.at(file);
  }
  bool Rebuilt(const std::string& table) const {
    return opfolder::Structure(kFolder, table) ==
               opfolder::StructureOf(opfolder::NewStructure(table, options)) &&
           opfolder::Rows(kFolder, table) ==
               opfolder::Expected(oldRows.at(table), opfolder::NewStructure(table, options));
  }
  bool Exists(const std::string& file) const {
    return platform::FileExists(std::string(kFolder) + "\\" + file);
  }

  static constexpr const char* kFolder = "C:\\Velmora";
  TempDrive c{'C'};
  TempDrive t{'T'};
  ScopedEnv windir{"VELUPDATE_WINDIR", t.Root() + "/windows"};
  ScriptedUi ui;
  opfolder::Options options;
  std::map<std::string, std::string> before;
  std::map<std::string, std::vector<opfolder::Row>> oldRows;
};

TEST_F(StartTest, BacksUpEveryListedFileThenRebuildsEveryTable) {
  Seed();
  auto form = Window();
  EXPECT_EQ(form->chdNewTables->DBFTable(), form->tbNewTable);
  EXPECT_EQ(form->chdNewTables->DBFType(), ThxDBFTypes::FoxPro2);
  EXPECT_FALSE(form->chdNewTables->AutoOverwrite());
  PanelLog panel(form->pnlInformation);
  bool buttonsOffDuringRun = true;
  int steps = 0;
  form->Run().OnStep = [&] {
    ++steps;
    buttonsOffDuringRun &=
        !form->MyButtons->OkButton()->isEnabled() && !form->MyButtons->CancelButton()->isEnabled();
    // A second press, or a close, while the run serves the queue changes nothing.
    form->MyButtons->OkButton()->click();
    form->close();
  };
  form->MyButtons->OkButton()->click();
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;

  EXPECT_EQ(form->mFileList->Lines().Text(),
            "CUSTOMER.dbf\r\nCUSTOMER.cdx\r\nCUSTOMER.fpt\r\nORDERS.dbf\r\nORDERS.cdx\r\nPRODUCTS."
            "dbf\r\nPRODUCTS.fpt\r\n");
  EXPECT_EQ(form->TableNames()->Text(), "CUSTOMER\r\nORDERS\r\nPRODUCTS\r\n");
  EXPECT_EQ(form->edFileName->Text(), "Velmora_20261207061503");
  // The backup holds the files as they were, read from the data folder.
  TBackupArchive archive("C:\\Velmora\\Velmora_20261207061503.zip");
  EXPECT_EQ(archive.Count(), 7);
  for (const char* f : kFiles) {
    const int i = archive.Find(f);
    ASSERT_GE(i, 0) << f;
    std::string bytes;
    archive.Extract(i,
                    [&](const uint8_t* p, size_t n) { bytes.append(reinterpret_cast<const char*>(p), n); });
    EXPECT_EQ(bytes, before[f]) << f;
  }
  EXPECT_TRUE(panel.Saw("7 Files Backed Up."));
  EXPECT_TRUE(panel.Saw("CUSTOMER Table Created"));
  EXPECT_TRUE(panel.Saw("CUSTOMER Table Updated"));
  // The losses are shown before the table is replaced.
  EXPECT_TRUE(panel.Saw(
      "PRODUCTS: 1 value does not survive the new structure (NOTES in record 2: text longer than 40)"));
  EXPECT_EQ(form->pnlInformation->Caption(), "PRODUCTS Table Updated");
  EXPECT_EQ(form->pbUpdateTables->maximum(), 3);
  EXPECT_EQ(form->pbUpdateTables->value(), 3);

  for (const char* table : {"CUSTOMER", "ORDERS", "PRODUCTS"}) EXPECT_TRUE(Rebuilt(table)) << table;
  EXPECT_EQ(opfolder::Rows(kFolder, "CUSTOMER").size(), 10u);  // two deleted records stay behind
  EXPECT_EQ(opfolder::Rows(kFolder, "CUSTOMER")[2].at("NAME"), "M\x81ller & S\x94hne");
  // Memo files follow their tables: ORDERS gains one, PRODUCTS loses its own.
  EXPECT_TRUE(Exists("ORDERS.fpt"));
  EXPECT_FALSE(Exists("PRODUCTS.fpt"));
  // The index files are rebuilt for the new records, with the same tags.
  EXPECT_EQ(opfolder::Tags("C:\\Velmora\\CUSTOMER.dbf", "CUSTOMER.cdx"),
            (std::vector<std::string>{"CITY CITY 10", "CUSTNO STR(CUSTNO,6) 10", "NAME UPPER(NAME) 10"}));
  EXPECT_EQ(opfolder::Tags("C:\\Velmora\\ORDERS.dbf", "ORDERS.cdx"),
            (std::vector<std::string>{"CUSTDATE STR(CUSTNO,6)+DTOS(ORDERED) 8", "ORDERNO STR(ORDERNO,8) 8"}));
  for (const char* left : {"NEWTable.dbf", "NEWTable.fpt", "NEWTable.cdx", "VelUpdate.jnl", "VelUpdate.lck"})
    EXPECT_FALSE(Exists(left)) << left;

  EXPECT_GT(steps, 20);
  EXPECT_TRUE(buttonsOffDuringRun);
  EXPECT_TRUE(form->MyButtons->OkButton()->isEnabled());
  // The close asked for during the run happens once it has ended.
  EXPECT_FALSE(form->isVisible());
}

TEST_F(StartTest, DroppedFieldStopsTheRunAndTheNextStartBeginsClean) {
  Seed({.dropField = true});
  auto form = Window();
  form->MyButtons->OkButton()->click();
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "tbNewTable: Field 'PAID' not found.");
  EXPECT_TRUE(Rebuilt("CUSTOMER"));
  for (const char* f : {"orders.dbf", "orders.cdx", "PRODUCTS.DBF", "PRODUCTS.FPT"})
    EXPECT_TRUE(Unchanged(f)) << f;
  EXPECT_EQ(form->tbNewTable->State(), TDataSetState::dsInsert);

  // The next Start cancels the record left unposted, closes both tables,
  // lists every table again (the last filter is gone) and stops at the same place.
  form->Run().Clock = [] {
    platform::LocalTime t;
    t.year = 2026, t.month = 12, t.day = 7, t.hour = 6, t.minute = 16;
    return t;
  };
  form->MyButtons->OkButton()->click();
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(ui.boxes[1].text, "tbNewTable: Field 'PAID' not found.");
  EXPECT_EQ(form->TableNames()->Count(), 3);
  EXPECT_TRUE(platform::FileExists("C:\\Velmora\\Velmora_20261207061600.zip"));
  for (const char* f : {"orders.dbf", "PRODUCTS.DBF"}) EXPECT_TRUE(Unchanged(f)) << f;
}

TEST_F(StartTest, NoTableChangesWithoutACompleteBackup) {
  Seed();
  auto form = Window();
  // A file that changes after it was archived: the archive no longer holds
  // what is on disk, and the run must not go on.
  bool touched = false;
  form->Run().OnStep = [&] {
    if (!touched && form->pbArchive->value() >= 50) {
      touched = true;
      std::ofstream(c.Host("Velmora/CUSTOMER.DBF"), std::ios::app) << "x";
    }
  };
  form->MyButtons->OkButton()->click();
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].text;
  EXPECT_NE(form->pnlInformation->Caption().find("7 Files Backed Up.\nThe backup is incomplete ("),
            std::string::npos);
  EXPECT_NE(form->pnlInformation->Caption().find("no table was changed."), std::string::npos);
  before["CUSTOMER.DBF"] += "x";
  for (const char* f : kFiles) EXPECT_TRUE(Unchanged(f)) << f;
  EXPECT_FALSE(Exists("NEWTable.dbf"));

  // Two Starts in the same second name the same archive, which then gets
  // nothing new: fewer files than listed, so again no table changes.
  form->Run().OnStep = nullptr;
  form->MyButtons->OkButton()->click();
  EXPECT_EQ(form->pnlInformation->Caption().substr(0, 46), "0 Files Backed Up.\nThe backup is incomplete (o");
  EXPECT_TRUE(Unchanged("CUSTOMER.DBF"));
}

TEST_F(StartTest, TableThatCannotBeReplacedStopsTheRunAtOnce) {
  Seed();
  auto form = Window();
  // Another program holds CUSTOMER.DBF open: it can be read, not replaced.
  auto other =
      platform::File::Open("C:\\Velmora\\CUSTOMER.DBF", platform::Access::Read, platform::Share::Shared);
  ASSERT_NE(other, nullptr);
  form->MyButtons->OkButton()->click();
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "We have a problem!");
  EXPECT_EQ(ui.boxes[0].caption, "VelUpdate");
  EXPECT_EQ(ui.boxes[0].flags, unsigned{MB_OK});
  EXPECT_NE(form->pnlInformation->Caption().find("CUSTOMER is as it was."), std::string::npos);
  // The run stopped at once: nothing of any table changed, no work file is left.
  for (const char* f : kFiles) EXPECT_TRUE(Unchanged(f)) << f;
  for (const char* left : {"NEWTable.dbf", "NEWTable.fpt", "NEWTable.cdx", "VelUpdate.jnl"})
    EXPECT_FALSE(Exists(left));
  EXPECT_FALSE(form->isVisible());  // the window closes after the message
}

TEST_F(StartTest, HalfSwappedTableIsCompletedByTheNextStart) {
  Seed();
  {
    auto form = Window();
    // The index file cannot be replaced once the table file already was.
    auto other =
        platform::File::Open("C:\\Velmora\\CUSTOMER.CDX", platform::Access::Read, platform::Share::Shared);
    form->MyButtons->OkButton()->click();
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, "We have a problem!");
    EXPECT_NE(form->pnlInformation->Caption().find("The next Start completes the restructure of CUSTOMER."),
              std::string::npos);
    EXPECT_TRUE(Exists("VelUpdate.jnl"));
    EXPECT_TRUE(Unchanged("orders.dbf"));
  }
  auto form = Window(4);
  form->MyButtons->OkButton()->click();
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(ui.boxes[1].text, "The interrupted restructure of CUSTOMER was completed.");
  EXPECT_EQ(ui.boxes[1].flags, unsigned{MB_OK | MB_ICONINFORMATION});
  for (const char* table : {"CUSTOMER", "ORDERS", "PRODUCTS"}) EXPECT_TRUE(Rebuilt(table)) << table;
  EXPECT_EQ(opfolder::Tags("C:\\Velmora\\CUSTOMER.dbf", "CUSTOMER.cdx").size(), 3u);
  EXPECT_FALSE(Exists("VelUpdate.jnl"));
}

}  // namespace
