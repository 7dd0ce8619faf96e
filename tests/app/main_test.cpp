#include "app/Main.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "framework/application.h"
#include "index/hx6_indx.h"
#include "qt_app.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbsy.h"

namespace {

// Records every box instead of showing it.
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

// A demo dictionary as any xBase program writes it: one row per field of
// each table, the table name in the second field.
std::string DictionaryTable() {
  struct Field {
    const char* name;
    char type;
    int width;
  };
  const Field fields[] = {{"ID", 'N', 4},        {"TABLENAME", 'C', 20}, {"FIELDNAME", 'C', 10},
                          {"FIELDTYPE", 'C', 1}, {"FIELDSIZE", 'N', 3},  {"FIELDDEC", 'N', 2}};
  const char* rows[] = {"   1CUSTOMER            NAME      C 30 0",
                        "   2CUSTOMER            CITY      C 20 0",
                        "   3ORDERS              AMOUNT    N 10 2"};
  std::string h(32, '\0');
  h[0] = 0x03;
  h[1] = 126, h[2] = 1, h[3] = 15;
  h[4] = 3;
  const int headerLength = 32 + 32 * 6 + 1, recordLength = 1 + 4 + 20 + 10 + 1 + 3 + 2;
  h[8] = static_cast<char>(headerLength & 0xFF), h[9] = static_cast<char>(headerLength >> 8);
  h[10] = static_cast<char>(recordLength);
  for (const Field& f : fields) {
    std::string d(32, '\0');
    d.replace(0, std::strlen(f.name), f.name);
    d[11] = f.type;
    d[16] = static_cast<char>(f.width);
    h += d;
  }
  h += "\r";
  for (const char* r : rows) h += std::string(" ") + r;
  return h + "\x1A";
}

// The data folder C:\Velmora on a throw-away C: drive, the program file on T:.
class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApp();
    Application().SetHandler(&ui);
    ReloadKeldorAliases();
  }
  void TearDown() override { Application().SetHandler(nullptr); }

  std::unique_ptr<TfrmMain> Create(const std::string& exe = "T:\\bin\\VelUpdate.exe") {
    return std::make_unique<TfrmMain>(exe);
  }
  void WriteIni(const std::string& name, const std::string& text) {
    WriteHostFile(t.Host("bin/" + name), text);
  }
  // Dictionary.dbf and, when asked, its dictionary.CDX with the tags
  // MyTables and MyFields made by the index engine.
  void SeedDictionary(bool withIndex) {
    WriteHostFile(c.Host("Velmora/Dictionary.dbf"), DictionaryTable());
    if (!withIndex) return;
    HXO_dBHandler table("C:\\Velmora\\Dictionary.dbf", false, true);
    table.OpenIndex("dictionary.CDX");
    table.IndexFile(1)->AddTag("MyTables", "TABLENAME", true, true, "");
    table.IndexFile(1)->AddTag("MyFields", "TABLENAME+FIELDNAME", false, true, "");
  }

  TempDrive c{'C'};
  TempDrive t{'T'};
  // keldor.cfg is looked for in a folder of the test's own.
  ScopedEnv windir{"VELUPDATE_WINDIR", t.Root() + "/windows"};
  ScriptedUi ui;
};

}  // namespace

TEST_F(MainWindowTest, ControlsCaptionsGeometryAndTabOrder) {
  SeedDictionary(true);
  auto form = Create();
  EXPECT_EQ(form->objectName(), "frmMain");
  EXPECT_EQ(form->windowTitle(), "VelUpdate");
  EXPECT_EQ(form->size(), QSize(556, 338));
  EXPECT_EQ(form->font().family(), "MS Sans Serif");
  EXPECT_EQ(form->font().pixelSize(), 11);

  struct Expect {
    const char* name;
    QRect geometry;
    int tabOrder;
  };
  const Expect expected[] = {
      {"MyButtons", {0, 303, 556, 35}, 0},        {"pnStatus", {0, 4, 381, 29}, 3},
      {"mFileList", {20, 36, 185, 249}, 1},       {"edFileName", {216, 36, 193, 21}, 2},
      {"pbArchive", {215, 264, 309, 17}, 3},      {"pbArchiveByFile", {215, 220, 309, 17}, 4},
      {"pnlInformation", {216, 68, 309, 105}, 5}, {"pbUpdateTables", {216, 178, 309, 17}, 6},
      {"LmLabel1", {20, 16, 35, 13}, -1},         {"LmLabel2", {216, 16, 86, 13}, -1},
      {"LmLabel3", {216, 201, 305, 14}, -1},      {"LmLabel4", {215, 244, 307, 13}, -1},
  };
  for (const Expect& e : expected) {
    auto* w = form->findChild<QWidget*>(e.name);
    ASSERT_NE(w, nullptr) << e.name;
    if (w == form->LmLabel1 || w == form->LmLabel2) {
      // Auto-sized headings: stored position, size of their text in the font at hand.
      EXPECT_EQ(w->pos(), e.geometry.topLeft()) << e.name;
      EXPECT_EQ(w->size(), w->sizeHint()) << e.name;
    } else {
      EXPECT_EQ(w->geometry(), e.geometry) << e.name;
    }
    EXPECT_EQ(TfrmMain::TabOrder(w), e.tabOrder) << e.name;
  }
  EXPECT_EQ(form->pnStatus->parentWidget(), form->MyButtons);
  EXPECT_EQ(form->MyButtons->OkCaption(), "Start");
  EXPECT_EQ(form->MyButtons->CancelCaption(), "&Close");
  EXPECT_EQ(form->LmLabel1->Caption(), "File List");
  EXPECT_EQ(form->LmLabel2->Caption(), "Archive File Name");
  EXPECT_EQ(form->LmLabel3->Caption(), "Current File Progress");
  EXPECT_EQ(form->LmLabel4->Caption(), "Current Archive Progress");
  EXPECT_TRUE(form->LmLabel3->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(form->LmLabel4->alignment() & Qt::AlignHCenter);
  EXPECT_FALSE(form->LmLabel3->AutoSize());
  EXPECT_FALSE(form->LmLabel4->AutoSize());
  EXPECT_TRUE(form->LmLabel1->AutoSize());
  EXPECT_EQ(form->pnStatus->OuterBorder(), TLmPanel::TBorder::None);
  EXPECT_EQ(form->pnlInformation->OuterBorder(), TLmPanel::TBorder::FlatRounded);
  for (QProgressBar* pb : {form->pbArchive, form->pbArchiveByFile, form->pbUpdateTables}) {
    EXPECT_EQ(pb->minimum(), 0);
    EXPECT_EQ(pb->maximum(), 100);
  }
  // Keyboard focus: the bar's buttons, then the memo, then the edit box.
  std::vector<QWidget*> tabStops;
  QWidget* w = form->MyButtons->OkButton();
  do {
    if (w->focusPolicy() & Qt::TabFocus) tabStops.push_back(w);
    w = w->nextInFocusChain();
  } while (w != form->MyButtons->OkButton());
  EXPECT_EQ(tabStops, (std::vector<QWidget*>{form->MyButtons->OkButton(), form->MyButtons->CancelButton(),
                                             form->mFileList, form->edFileName}));

  EXPECT_EQ(form->tbDictionary->TableName(), "Dictionary.dbf");
  EXPECT_EQ(form->tbDictionary->IndexFiles().Text(), "dictionary.CDX\r\n");
  EXPECT_EQ(form->tbNewTable->TableName(), "NEWTable");
  EXPECT_EQ(form->tbNewTable->IndexFiles().Count(), 0);
  EXPECT_EQ(form->tbOriginalTable->TableName(), "");
  EXPECT_FALSE(form->tbDictionary->Exclusive());

  form->show();
  QCoreApplication::processEvents();
  QPixmap shot = form->grab();
  EXPECT_EQ(shot.size(), QSize(556, 338));
  EXPECT_TRUE(shot.save(QString(VEL_BINARY_DIR) + "/app-main-window.png"));
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(MainWindowTest, DictionaryOpensWithItsCompoundIndexAndTheStoredSettings) {
  SeedDictionary(true);
  auto form = Create();
  EXPECT_TRUE(ui.boxes.empty());
  TKeldorDataSet* dict = form->tbDictionary;
  ASSERT_TRUE(dict->Active());
  EXPECT_EQ(dict->Name(), "tbDictionary");
  EXPECT_TRUE(dict->Handler()->Shared());
  ASSERT_EQ(dict->IndexDefs().Count(), 2);
  EXPECT_NE(dict->IndexDefs().Find("MyTables"), nullptr);
  EXPECT_NE(dict->IndexDefs().Find("MyFields"), nullptr);
  EXPECT_EQ(dict->IndexName(), "");  // record order until a command picks a tag
  EXPECT_EQ(dict->Fields()[1]->AsString(), "CUSTOMER");
  dict->SetIndexName("MyFields");
  dict->Last();
  EXPECT_EQ(dict->FieldByName("Fieldname")->AsString(), "AMOUNT");
  for (TKeldorDataSet* tb : {form->tbDictionary, form->tbNewTable, form->tbOriginalTable}) {
    EXPECT_FALSE(tb->Exclusive());
    EXPECT_FALSE(tb->AutoFlush());
    EXPECT_EQ(tb->LockProtocol(), ThxLokProtocol::Default);
    EXPECT_TRUE(tb->TranslateASCII());
    EXPECT_FALSE(tb->UseDeleted());
    EXPECT_EQ(tb->UserID(), 0);
    EXPECT_EQ(tb->LargeIntegerAs(), ThxIntFields::asInteger);
  }
  EXPECT_FALSE(form->tbNewTable->Active());
  EXPECT_FALSE(form->tbOriginalTable->Active());
  // The Start command reaches the open dictionary without an error; none of
  // its tables is in the folder, so there is nothing to back up or rebuild.
  form->MyButtons->OkButton()->click();
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_EQ(form->mFileList->Lines().Count(), 0);
  EXPECT_EQ(form->pnlInformation->Caption(), "0 Files Backed Up.");
}

TEST_F(MainWindowTest, DataFolderComesFromTheIniFileBesideTheProgram) {
  SeedDictionary(true);
  {
    auto form = Create();  // no INI file at all
    EXPECT_EQ(form->DataFolder(), "C:\\Velmora");
    EXPECT_EQ(form->pnStatus->Caption(), "C:\\Velmora");
    for (TKeldorDataSet* tb : {form->tbDictionary, form->tbNewTable, form->tbOriginalTable})
      EXPECT_EQ(tb->DatabaseName(), "C:\\Velmora");
    EXPECT_TRUE(form->tbDictionary->Active());
    ASSERT_NE(form->TableNames(), nullptr);
    EXPECT_EQ(form->TableNames()->Count(), 0);
  }
  platform::UnmapDrive('D');
  WriteIni("VelUpdate.INI", "[database]\r\ndrive=D\r\nPATH=\\Data\\App\r\n");
  {
    auto form = Create();
    EXPECT_EQ(form->Drive(), "D");
    EXPECT_EQ(form->pnStatus->Caption(), "D:\\Data\\App");
    ASSERT_EQ(ui.boxes.size(), 1u);  // D: is not mapped: the dictionary cannot be found
    EXPECT_EQ(ui.boxes[0].text, "Cannot find file D:\\Data\\App\\Dictionary.dbf.");
  }
  WriteIni("VelUpdate.INI", "[Database]\nDrive=D:\nPath=\\Data\\App\n");
  EXPECT_EQ(Create()->pnStatus->Caption(), "D::\\Data\\App");
  // A trailing backslash stays in the status panel; the table components drop it.
  WriteIni("VelUpdate.INI", "[Database]\nPath=\\Velmora\\\n");
  {
    auto form = Create();
    EXPECT_EQ(form->pnStatus->Caption(), "C:\\Velmora\\");
    EXPECT_EQ(form->tbDictionary->DatabaseName(), "C:\\Velmora");
    EXPECT_TRUE(form->tbDictionary->Active());
  }
  // Another program name reads another INI file; this one has no extension.
  WriteIni("Renamed.INI", "[Database]\nDrive=T\nPath=\\elsewhere\n");
  EXPECT_EQ(Create("T:\\bin\\Renamed.exe")->DataFolder(), "T:\\elsewhere");
  EXPECT_EQ(Create("T:\\bin\\Renamed")->DataFolder(), "T:\\elsewhere");
  // The file is only read.
  EXPECT_FALSE(std::filesystem::exists(t.Host("bin/Other.INI")));
  Create("T:\\bin\\Other.exe");
  EXPECT_FALSE(std::filesystem::exists(t.Host("bin/Other.INI")));

  EXPECT_EQ(TfrmMain::IniFileNameFor("C:\\Apps\\VelUpdate.exe"), "C:\\Apps\\VelUpdate.INI");
  EXPECT_EQ(TfrmMain::IniFileNameFor("C:\\Apps.v2\\VelUpdate"), "C:\\Apps.v2\\VelUpdate.INI");
  EXPECT_EQ(TfrmMain::IniFileNameFor("C:\\Apps\\Vel.Update.exe"), "C:\\Apps\\Vel.Update.INI");
}

TEST_F(MainWindowTest, MissingDictionaryIsShownAndStartThenFailsOnTheClosedDataset) {
  auto form = Create();
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "Cannot find file C:\\Velmora\\Dictionary.dbf.");
  EXPECT_EQ(ui.boxes[0].caption, "VelUpdate");
  EXPECT_EQ(ui.boxes[0].flags, unsigned{MB_OK | MB_ICONSTOP});
  // The steps before the failing one were done.
  EXPECT_EQ(form->pnStatus->Caption(), "C:\\Velmora");
  EXPECT_NE(form->TableNames(), nullptr);
  EXPECT_FALSE(form->tbDictionary->Active());

  form->show();
  form->mFileList->Lines().Add("typed by the operator");
  form->MyButtons->OkButton()->click();
  ASSERT_EQ(ui.boxes.size(), 2u);
  EXPECT_EQ(ui.boxes[1].text, "tbDictionary: Cannot perform this operation on a closed dataset.");
  EXPECT_EQ(form->pnlInformation->Caption(), "Collecting File List");
  EXPECT_EQ(form->mFileList->Lines().Count(), 0);

  // The dictionary without its index file fails the same way, naming the index.
  SeedDictionary(false);
  auto second = Create();
  ASSERT_EQ(ui.boxes.size(), 3u);
  EXPECT_EQ(ui.boxes[2].text, "Cannot find file C:\\Velmora\\dictionary.CDX.");
  EXPECT_FALSE(second->tbDictionary->Active());
}

TEST_F(MainWindowTest, CloseCommandClosesTheDictionaryAndTheWindow) {
  SeedDictionary(true);
  auto form = Create();
  ASSERT_TRUE(ui.boxes.empty());
  form->show();
  ASSERT_TRUE(form->tbDictionary->Active());
  EXPECT_THROW(form->tbDictionary->SetDatabaseName("C:\\Other"), EDatabaseError);
  form->MyButtons->CancelButton()->click();
  EXPECT_FALSE(form->tbDictionary->Active());
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(MainWindowTest, ArchiveProgressAndRightHelper) {
  SeedDictionary(true);
  auto form = Create();
  form->VelZipProgress(nullptr, 40, 75);
  EXPECT_EQ(form->pbArchiveByFile->value(), 40);
  EXPECT_EQ(form->pbArchive->value(), 75);
  EXPECT_EQ(TfrmMain::Right("00002026", 4), "2026");
  EXPECT_EQ(TfrmMain::Right("7", 2), "7");
  EXPECT_EQ(TfrmMain::Right("abc", 0), "");
}
