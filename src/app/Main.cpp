#include "app/Main.h"

#include <QCloseEvent>
#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "framework/application.h"
#include "framework/exceptions.h"
#include "framework/sysutils.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace {

// Position of the extension's dot in the last component, or npos.
size_t ExtensionDot(const std::string& name) {
  size_t dot = name.find_last_of(".\\:/");
  return dot != std::string::npos && name[dot] == '.' ? dot : std::string::npos;
}

}  // namespace

// ---- what the run shows ----

// The run's view of the window: captions and bars painted at once, message
// boxes through the application object.
class TfrmMain::View : public TVelView {
 public:
  explicit View(TfrmMain& window) : w_(window) {}

  void SetInformation(const std::string& text) override {
    w_.pnlInformation->SetCaption(text);
    w_.pnlInformation->repaint();
  }
  void SetArchiveName(const std::string& name) override { w_.edFileName->SetText(name); }
  std::string ArchiveName() override { return w_.edFileName->Text(); }
  void ArchiveProgress(TComponent* sender, uint8_t byFile, uint8_t byArchive) override {
    w_.VelZipProgress(sender, byFile, byArchive);
  }
  void SetTableProgressMax(int maximum) override {
    w_.pbUpdateTables->setMaximum(maximum);
    shownPixel_ = -1;
  }
  void SetTableProgress(int position) override {
    QProgressBar* bar = w_.pbUpdateTables;
    bar->setValue(position);
    // Painting every record of a big table would take longer than copying
    // it: the bar is repainted whenever its filled part grows by a pixel.
    const int maximum = bar->maximum();
    const int pixel = maximum > 0 ? static_cast<int>(int64_t{position} * bar->width() / maximum) : 0;
    if (pixel != shownPixel_) {
      shownPixel_ = pixel;
      bar->repaint();
    }
  }
  // Start and Close are disabled during the run, so the queue can be served:
  // the window repaints and stays responsive, ten times a second.
  void KeepAlive() override {
    const uint64_t now = platform::TickCount();
    if (now - lastServed_ < 100) return;
    lastServed_ = now;
    Application().ProcessMessages();
  }
  void Notice(const std::string& text) override {
    SetInformation(text);
    Application().MessageBox(text, Application().Title(), MB_OK | MB_ICONINFORMATION);
  }
  // Shown in the panel before the table is replaced; the run goes on.
  void Losses(const std::string& table, const TLossList& losses) override {
    SetInformation(losses.Summary(table));
  }
  void Problem(const std::string& reason) override {
    SetInformation(reason);
    Application().MessageBox("We have a problem!", Application().Title(), MB_OK);
    // The window is asked to close; it closes once the command has ended.
    w_.closeAfterRun_ = true;
  }

 private:
  TfrmMain& w_;
  int shownPixel_ = -1;
  uint64_t lastServed_ = 0;
};

// ---- TfrmMain ----

TfrmMain::TfrmMain(const std::string& executablePath, QWidget* parent)
    : QWidget(parent),
      executablePath_(executablePath.empty() ? platform::ExecutablePath() : executablePath),
      components_(std::make_unique<TComponent>()) {
  BuildControls();
  // The window's creation handler runs as part of creating it; what it
  // raises is shown and the window is created all the same.
  RunCommand([this] { FormCreate(this); });
}

TfrmMain::~TfrmMain() {
  // The run and its view go before the components they use.
  run_.reset();
  view_.reset();
}

int TfrmMain::TabOrder(const QWidget* control) {
  QVariant v = control->property("TabOrder");
  return v.isValid() ? v.toInt() : -1;
}

void TfrmMain::BuildControls() {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("VelUpdate"));
  // MS Sans Serif 8 point is 11 pixels high at 96 pixels per inch; the host
  // picks a sans-serif face when it lacks that font.
  QFont font(QStringLiteral("MS Sans Serif"));
  font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                    QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(11);
  setFont(font);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  // Stored position; the window is centred when it is first shown.
  setGeometry(578, 244, kClientWidth, kClientHeight);

  // Every control is a Qt child of the window (or of the bar), which frees it.
  auto name = [](QWidget* w, const char* n, int tabOrder) {
    w->setObjectName(QLatin1String(n));
    if (tabOrder >= 0) w->setProperty("TabOrder", tabOrder);
  };

  MyButtons = new TLmDialogButtons(this);
  name(MyButtons, "MyButtons", 0);
  MyButtons->setGeometry(0, 303, 556, kClientHeight - 303);
  MyButtons->SetOkCaption("Start");
  MyButtons->SetCancelCaption("&Close");
  MyButtons->OnClickOk = [this](TLmDialogButtons* sender) { RunCommand([&] { MyButtonsClickOk(sender); }); };
  MyButtons->OnClickCancel = [this](TLmDialogButtons* sender) {
    RunCommand([&] { MyButtonsClickCancel(sender); });
  };

  pnStatus = new TLmPanel(MyButtons);
  name(pnStatus, "pnStatus", 3);
  pnStatus->setGeometry(0, 4, 381, 29);
  pnStatus->SetOuterBorder(TLmPanel::TBorder::None);
  pnStatus->SetHotTrack(false);

  mFileList = new TLmMemo(this);
  name(mFileList, "mFileList", 1);
  mFileList->setGeometry(20, 36, 185, 249);

  edFileName = new TLmEdit(this);
  name(edFileName, "edFileName", 2);
  edFileName->setGeometry(216, 36, 193, 21);

  auto bar = [this, &name](const char* n, int tabOrder, int l, int t, int w, int h) {
    auto* pb = new QProgressBar(this);
    name(pb, n, tabOrder);
    pb->setGeometry(l, t, w, h);
    pb->setRange(0, 100);
    pb->setValue(0);
    pb->setTextVisible(false);
    return pb;
  };
  pbArchive = bar("pbArchive", 3, 215, 264, 309, 17);
  pbArchiveByFile = bar("pbArchiveByFile", 4, 215, 220, 309, 17);

  pnlInformation = new TLmPanel(this);
  name(pnlInformation, "pnlInformation", 5);
  pnlInformation->setGeometry(216, 68, 309, 105);
  pnlInformation->SetOuterBorder(TLmPanel::TBorder::FlatRounded);

  pbUpdateTables = bar("pbUpdateTables", 6, 216, 178, 309, 17);

  // The two headings size themselves to their text (35 x 13 and 86 x 13 in
  // MS Sans Serif; a substitute font gets the size it needs); the two
  // centred ones keep their fixed size.
  auto label = [this, &name](const char* n, const char* caption, int l, int t, int w, int h, bool centred) {
    auto* lb = new TLmLabel(this);
    name(lb, n, -1);
    lb->SetCaption(caption);
    lb->setGeometry(l, t, w, h);
    if (centred)
      lb->SetAlignment(Qt::AlignHCenter | Qt::AlignTop);
    else
      lb->SetAutoSize(true);
    return lb;
  };
  LmLabel1 = label("LmLabel1", "File List", 20, 16, 35, 13, false);
  LmLabel2 = label("LmLabel2", "Archive File Name", 216, 16, 86, 13, false);
  LmLabel3 = label("LmLabel3", "Current File Progress", 216, 201, 305, 14, true);
  LmLabel4 = label("LmLabel4", "Current Archive Progress", 215, 244, 307, 13, true);

  // Keyboard focus follows the tab order among the controls that take it.
  setTabOrder(MyButtons->OkButton(), MyButtons->CancelButton());
  setTabOrder(MyButtons->CancelButton(), mFileList);
  setTabOrder(mFileList, edFileName);

  // Non-visual components, with the settings stored with the window.
  const TVelComponents c = CreateVelComponents(*components_);
  tbDictionary = c.tbDictionary;
  tbNewTable = c.tbNewTable;
  tbOriginalTable = c.tbOriginalTable;
  chdNewTables = c.chdNewTables;
  VelZip = c.VelZip;
}

void TfrmMain::RunCommand(const std::function<void()>& command) {
  try {
    command();
  } catch (const std::exception& e) {
    Application().HandleException(e);
  }
}

std::string TfrmMain::IniFileNameFor(const std::string& executablePath) {
  size_t dot = ExtensionDot(executablePath);
  return (dot == std::string::npos ? executablePath : executablePath.substr(0, dot)) + ".INI";
}

std::string TfrmMain::FindIniFile(const std::string& executablePath) {
  const std::string beside = IniFileNameFor(executablePath);
  if (platform::FileExists(beside)) return beside;
  // An installed program cannot keep its file beside it (/usr/bin is no
  // place for settings), so the file of the same name is looked for where a
  // desktop program keeps its settings: the user's folder, then the system's.
  const size_t slash = beside.find_last_of("\\:");
  const std::string name = slash == std::string::npos ? beside : beside.substr(slash + 1);
  std::vector<std::string> folders;  // host folders, most personal first
  const char* home = std::getenv("HOME");
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
    folders.push_back(config);
  else if (home && home[0] == '/')
    folders.push_back(std::string(home) + "/.config");
  const char* dirs = std::getenv("XDG_CONFIG_DIRS");
  std::string system = dirs && *dirs ? dirs : "/etc/xdg";
  for (size_t start = 0; start <= system.size();) {
    size_t end = std::min(system.find(':', start), system.size());
    // Relative entries are not honoured, as the rest of the desktop does.
    if (end > start && system[start] == '/') folders.push_back(system.substr(start, end - start));
    start = end + 1;
  }
  for (const std::string& folder : folders) {
    const std::string dosFolder = platform::ToDosPath(folder + "/velupdate");
    if (!dosFolder.empty() && platform::FileExists(dosFolder + "\\" + name)) return dosFolder + "\\" + name;
  }
  return beside;
}

void TfrmMain::GetPath() {
  // Read only: the file is never created or written, and a missing file or
  // key gives the default.
  platform::IniFile ini(FindIniFile(executablePath_));
  drive_ = ini.ReadString("Database", "Drive", "C");
  path_ = ini.ReadString("Database", "Path", "\\Velmora");
}

std::string TfrmMain::DataFolder() const { return Format("%s:%s", {drive_, path_}); }

void TfrmMain::FormCreate(QObject*) {
  GetPath();
  const std::string folder = DataFolder();
  tbDictionary->SetDatabaseName(folder);
  tbNewTable->SetDatabaseName(folder);
  tbOriginalTable->SetDatabaseName(folder);
  tableNames_ = std::make_unique<TStringList>();
  pnStatus->SetCaption(folder);
  // Shared, with dictionary.CDX from the data folder and no active tag.
  tbDictionary->Open();
}

TVelRun& TfrmMain::Run() {
  if (!run_) {
    if (!tableNames_) tableNames_ = std::make_unique<TStringList>();
    view_ = std::make_unique<View>(*this);
    TVelComponents c;
    c.tbDictionary = tbDictionary;
    c.tbNewTable = tbNewTable;
    c.tbOriginalTable = tbOriginalTable;
    c.chdNewTables = chdNewTables;
    c.VelZip = VelZip;
    run_ = std::make_unique<TVelRun>(c, *tableNames_, mFileList->Lines(), *view_);
  }
  return *run_;
}

void TfrmMain::MyButtonsClickOk(QObject*) {
  if (running_) return;
  // One run at a time: a press that arrives while the run serves the message
  // queue must not start a second run inside the first or close the
  // dictionary under it.
  running_ = true;
  MyButtons->OkButton()->setEnabled(false);
  MyButtons->CancelButton()->setEnabled(false);
  struct Enable {
    TfrmMain& w;
    ~Enable() {
      w.running_ = false;
      w.MyButtons->OkButton()->setEnabled(true);
      w.MyButtons->CancelButton()->setEnabled(true);
      if (w.closeAfterRun_) w.close();
    }
  } enable{*this};
  Run().Start();
}

void TfrmMain::CreateTableList() { Run().CreateTableList(); }

bool TfrmMain::UpdateTables() { return Run().UpdateTables(); }

bool TfrmMain::CopyDataToNewTable(const std::string& tableName) {
  return Run().CopyDataToNewTable(tableName);
}

void TfrmMain::MyButtonsClickCancel(QObject*) {
  tbDictionary->Close();
  close();
}

void TfrmMain::VelZipProgress(TComponent*, uint8_t progressByFile, uint8_t progressByArchive) {
  pbArchive->setValue(progressByArchive);
  pbArchive->repaint();
  pbArchiveByFile->setValue(progressByFile);
  pbArchiveByFile->repaint();
}

std::string TfrmMain::Right(const std::string& text, int count) { return ::Right(text, count); }

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (running_) {
    closeAfterRun_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TfrmMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  centred_ = true;
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}
