// The main window of VelUpdate: the file list, the archive name, the
// information panel, three progress bars and the Start/Close bar.
//
// Creating the window reads the data folder from the INI file beside the
// executable ([Database] Drive=, Path=), points the three table components
// at it and opens the dictionary. Errors raised while the window is created
// are shown in the standard error box and the window opens all the same.
#pragma once

#include <QProgressBar>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

#include "dataset/Keldor6db.h"
#include "framework/classes.h"
#include "restructure/VelRun.h"
#include "widgets/LmControls.h"

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  // `executablePath` is the program file whose INI file configures the
  // window (DOS form); empty means the running executable.
  explicit TfrmMain(const std::string& executablePath = "", QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Client area; with the usual title bar and borders the window measures
  // 572 x 377.
  static constexpr int kClientWidth = 556;
  static constexpr int kClientHeight = 338;

  // ---- controls (owned by the window as Qt children) ----
  TLmDialogButtons* MyButtons;
  TLmPanel* pnStatus;
  TLmMemo* mFileList;
  TLmEdit* edFileName;
  QProgressBar* pbArchive;
  QProgressBar* pbArchiveByFile;
  TLmPanel* pnlInformation;
  QProgressBar* pbUpdateTables;
  TLmLabel* LmLabel1;
  TLmLabel* LmLabel2;
  TLmLabel* LmLabel3;
  TLmLabel* LmLabel4;

  // ---- components (owned through the window's component owner) ----
  TKeldorDataSet* tbDictionary;
  TKeldorDataSet* tbNewTable;
  TKeldorDataSet* tbOriginalTable;
  TCreateKeldorDataSet* chdNewTables;
  TZip* VelZip;

  // ---- handlers ----
  // Reads [Database] Drive (default "C") and Path (default "\Velmora").
  void GetPath();
  void FormCreate(QObject* sender);
  // Start: backup of the dictionary's tables, then their restructure (the
  // run of VelRun.h). Start and Close are disabled while it runs; the window
  // keeps painting.
  void MyButtonsClickOk(QObject* sender);
  // Close: closes the dictionary, then the window.
  void MyButtonsClickCancel(QObject* sender);
  // Progress of the archive component: whole archive, then current file.
  void VelZipProgress(TComponent* sender, uint8_t progressByFile, uint8_t progressByArchive);
  // Fills the table-name list and the file list from the dictionary.
  void CreateTableList();
  // Rebuilds every listed table; false when a swap failed.
  bool UpdateTables();
  // Copies one table into its new structure and puts it in place.
  bool CopyDataToNewTable(const std::string& tableName);

  // The last `count` characters of `text` (all of it when shorter).
  static std::string Right(const std::string& text, int count);
  // The executable's path with its extension replaced by ".INI" (appended
  // when it has none).
  static std::string IniFileNameFor(const std::string& executablePath);
  // The INI file GetPath reads: the one beside the executable when it
  // exists, else the same name in the user's configuration folder
  // ($XDG_CONFIG_HOME/velupdate), else in the system's ($XDG_CONFIG_DIRS,
  // /etc/xdg, under velupdate); with none of them, the one beside the executable.
  static std::string FindIniFile(const std::string& executablePath);

  const std::string& Drive() const { return drive_; }
  const std::string& Path() const { return path_; }
  // "%s:%s" of drive and path.
  std::string DataFolder() const;
  std::string IniFileName() const { return IniFileNameFor(executablePath_); }
  // The names of the tables to restructure; created by FormCreate.
  TStringList* TableNames() const { return tableNames_.get(); }
  // The framework's tab order of a control (-1 when it has none).
  static int TabOrder(const QWidget* control);
  // The run behind Start (made on first use).
  TVelRun& Run();

 protected:
  void showEvent(QShowEvent* event) override;
  // Refused while a run is in progress; the window closes when it has ended.
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  // Runs a command the way the message loop does: an error that escapes it
  // is shown in the standard error box.
  void RunCommand(const std::function<void()>& command);

  class View;
  friend class View;

  std::string executablePath_;
  std::string drive_;
  std::string path_;
  std::unique_ptr<TStringList> tableNames_;
  // Owner of the non-visual components; frees them with the window.
  std::unique_ptr<TComponent> components_;
  bool centred_ = false;
  std::unique_ptr<View> view_;
  std::unique_ptr<TVelRun> run_;
  bool running_ = false;
  bool closeAfterRun_ = false;
};
