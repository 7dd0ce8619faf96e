// The Start command without its window: the table list from the dictionary,
// the backup archive (read back and checked before any table is touched),
// and the restructure of every listed table with its crash-safe swap. The
// main window and `veltool restructure` drive the same run; each shows it
// through a TVelView of its own.
//
// The run works on the components the main window owns (three table
// datasets, the table creator and the zip archiver), with the settings the
// window stores for them (CreateVelComponents).
//
// The dataset framework and the archive engine each have a stream type of
// the same name, so no unit sees both: this header names the components
// without their headers, the archive side of the run lives in
// VelRunArchive.cpp, the table side in VelRun.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/classes.h"
#include "platform/system.h"
#include "restructure/VelBackup.h"
#include "restructure/VelPlan.h"
#include "restructure/VelSwap.h"

class TCreateKeldorDataSet;
class TKeldorDataSet;
class TZip;

// The non-visual components of the main window.
struct TVelComponents {
  TKeldorDataSet* tbDictionary = nullptr;
  TKeldorDataSet* tbNewTable = nullptr;
  TKeldorDataSet* tbOriginalTable = nullptr;
  TCreateKeldorDataSet* chdNewTables = nullptr;
  TZip* VelZip = nullptr;
};

// Creates the components, owned by `owner`, with the settings stored with
// the main window (data folder C:\VELMORA until the INI file says otherwise).
TVelComponents CreateVelComponents(TComponent& owner);
// The archive component alone, with the window's settings (VelRunArchive.cpp).
TZip* CreateVelZip(TComponent& owner);

// What the run shows. The window paints its controls; veltool prints lines
// and progress bars.
class TVelView {
 public:
  virtual ~TVelView() = default;
  // The caption of the information panel.
  virtual void SetInformation(const std::string& text) = 0;
  // The archive name box: written, then read back (what it holds is the name).
  virtual void SetArchiveName(const std::string& name) = 0;
  virtual std::string ArchiveName() = 0;
  // The archive component's progress event (percentages), shown at once.
  virtual void ArchiveProgress(TComponent* sender, uint8_t byFile, uint8_t byArchive) = 0;
  // The record-copy bar of the current table, shown at once.
  virtual void SetTableProgressMax(int maximum) = 0;
  virtual void SetTableProgress(int position) = 0;
  // Called between records, so a window can keep painting.
  virtual void KeepAlive() {}
  // An error the archive component reported (number, text and file).
  virtual void ArchiveError(const std::string&) {}
  // Something the operator must hear of that is not a failure: an
  // interrupted run settled, values that do not survive.
  virtual void Notice(const std::string& text) { SetInformation(text); }
  // Values of a table that do not survive its new structure, before the
  // table is replaced.
  virtual void Losses(const std::string& table, const TLossList& losses) { Notice(losses.Summary(table)); }
  // A table's files could not be replaced: "We have a problem!". The run
  // stops at once; `reason` names the file and what went wrong.
  virtual void Problem(const std::string& reason) = 0;
};

// ---- the dry run's plan ----

struct TTablePlan {
  std::string name;
  bool present = false;            // NAME.dbf is in the data folder
  std::vector<std::string> files;  // the files the backup takes
  std::vector<TFieldSpec> fields;  // the new structure
  std::vector<TFieldChange> changes;
  TLossList losses;
  std::vector<std::string> tags;  // index tags rebuilt with the table
  int64_t records = 0;            // live records to copy
  std::string stop;               // why the run would stop at this table ("" if it would not)
};

struct TRunPlan {
  std::string folder;
  std::string recovery;  // an interrupted swap the run would settle first
  std::vector<TTablePlan> tables;
  // Nothing would be lost and nothing would stop the run.
  bool Safe() const;
};

// ---- configuration (VelConfig.cpp) ----

// The INI file VelUpdate takes its data folder from, as found by a program in
// `programFolder` (DOS form): VelUpdate.INI there, else velupdate\VelUpdate.INI
// in the user's configuration folder ($XDG_CONFIG_HOME, ~/.config), else in
// the system's ($XDG_CONFIG_DIRS, /etc/xdg); the one in `programFolder` when
// none exists.
std::string FindVelUpdateIni(const std::string& programFolder);
// The data folder an INI file names: "%s:%s" of [Database] Drive (default
// "C") and Path (default "\Velmora"). A missing file gives the defaults.
std::string DataFolderFromIni(const std::string& iniPath);

// The last `count` characters of `text` (all of it when shorter).
std::string Right(const std::string& text, int count);

// "Velmora_" and the 14 digits of the date and time.
std::string ArchiveNameFor(const platform::LocalTime& date, const platform::LocalTime& time);

// ---- the run ----

class TVelRun {
 public:
  TVelRun(const TVelComponents& components, TStrings& tableNames, TStrings& fileList, TVelView& view);
  ~TVelRun();

  // Folder the backup archive goes to (trailing backslash); created when missing.
  std::string ArchiveFolder = "C:\\Velmora\\";
  // The clock the archive name is read from.
  std::function<platform::LocalTime()> Clock = [] { return platform::Now(); };
  // Copy record images directly when the new structure only adds and widens
  // fields (VelBulk.h); off, every table goes through the two datasets.
  bool DirectCopy = true;
  // Called at every step that can be interrupted: each record copied, each
  // progress event of the backup, each file operation of a swap.
  std::function<void()> OnStep;

  // The Start command. True when every listed table was rebuilt. Errors of
  // the engines pass through (the window's error box shows them).
  bool Start();
  // Fills the table-name list and the file list from the dictionary.
  void CreateTableList();
  // Names the archive, backs up the listed files and reads the archive back.
  // True when every listed file is in it, byte for byte.
  bool BackUp();
  // Rebuilds every listed table; false when a swap failed (the run stops at once).
  bool UpdateTables();
  // Copies the old table into the new one and puts it in place; false after
  // a failed swap.
  bool CopyDataToNewTable(const std::string& tableName);
  // What a failed run left: an unposted record is cancelled, the two tables
  // are closed.
  void CleanUpAfterFailedRun();

  // What a run would do, without changing anything.
  TRunPlan Plan();

  bool Running() const { return running_; }
  // The data folder (tbDictionary's folder, without trailing backslash).
  std::string DataFolder() const;
  const std::string& ArchivePath() const { return archivePath_; }
  int FilesBackedUp() const { return filesBackedUp_; }
  const TBackupCheck& BackupCheck() const { return check_; }
  int TablesRebuilt() const { return tablesRebuilt_; }

 private:
  void Step() {
    if (OnStep) OnStep();
  }
  // Hooks the archive component's events to the view (VelRunArchive.cpp).
  void HookArchive(bool on);
  // The dictionary's field lines of one table ("%s;%s;%d;%d").
  std::vector<std::string> FieldLines(const std::string& tableName);
  void DeleteWorkFiles();
  // The direct copy of the records (false: the datasets must copy them;
  // tbNewTable is then open on an empty NEWTable again).
  bool CopyDirectly(const std::string& tableName);
  // The copy through the two datasets, field by field as variants.
  void CopyThroughDataSets(TLossList& losses);
  // Rebuilds NEWTable.cdx from the old table's index file and puts the new
  // files in place; false after a failed swap.
  bool PutInPlace(const std::string& tableName);
  // `number` names the table's scratch copy in `scratchFolder`.
  void PlanTable(TTablePlan& plan, const std::string& scratchFolder, int number);

  TVelComponents c_;
  TStrings& tableNames_;
  TStrings& fileList_;
  TVelView& view_;
  bool running_ = false;
  std::string archivePath_;
  int filesBackedUp_ = 0;
  TBackupCheck check_;
  int tablesRebuilt_ = 0;
};
