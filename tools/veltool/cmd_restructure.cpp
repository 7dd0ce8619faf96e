// veltool restructure [DATAFOLDER] [--archive-dir DIR] [--dry-run] [--json]:
// the Start command of VelUpdate without its window. The data folder comes
// from the argument or, as the window takes it, from VelUpdate.INI. The run
// backs the tables up (and reads the archive back), then rebuilds every
// table the dictionary names; the information panel's messages come as
// lines, progress as bars on a terminal and as plain lines elsewhere.
//
// --dry-run changes nothing: it prints the plan, per table the fields added,
// dropped, widened, narrowed or retyped, and every value that would not
// survive the new structure with its record number.
//
// Exit status: 0 every table was rebuilt (--dry-run: nothing would be lost
// and nothing would stop the run); 1 otherwise, the reason on stderr.
#include <cstdio>
#include <iostream>
#include <memory>

#include "dataset/Keldor6db.h"
#include "platform/paths.h"
#include "restructure/VelRun.h"
#include "veltool.h"

namespace {

struct Options {
  std::string folder;
  std::string archiveDir;
  bool dryRun = false;
  bool json = false;
};

std::string ProgramFolder() {
  const std::string exe = platform::ExecutablePath();
  const size_t slash = exe.find_last_of('\\');
  return slash == std::string::npos ? exe : exe.substr(0, slash);
}

std::string Bar(int percent) {
  percent = std::max(0, std::min(100, percent));
  std::string s(20, ' ');
  for (int i = 0; i < percent / 5; ++i) s[static_cast<size_t>(i)] = '#';
  return "[" + s + "]";
}

// The run shown on a terminal (bars redrawn in place) or as plain lines.
class TerminalView : public TVelView {
 public:
  TerminalView(bool bars, bool quiet) : bars_(bars), quiet_(quiet) {}

  void SetInformation(const std::string& text) override {
    messages.push_back(text);
    if (quiet_) return;
    ClearBar();
    std::cout << veltool::FromAnsi(text) << "\n" << std::flush;
  }
  void SetArchiveName(const std::string& name) override { archiveName_ = name; }
  std::string ArchiveName() override { return archiveName_; }
  void ArchiveProgress(TComponent*, uint8_t byFile, uint8_t byArchive) override {
    if (quiet_) return;
    if (bars_) {
      std::printf("\rbackup %s %3d%%  file %s %3d%%", Bar(byArchive).c_str(), byArchive, Bar(byFile).c_str(),
                  byFile);
      std::fflush(stdout);
      barShown_ = true;
    } else if (byArchive / 10 != lastTenth_ && byArchive > 0) {
      lastTenth_ = byArchive / 10;
      std::cout << "backup " << static_cast<int>(byArchive) << "%\n" << std::flush;
    }
  }
  void SetTableProgressMax(int maximum) override {
    maximum_ = maximum;
    lastTenth_ = -1;
  }
  void SetTableProgress(int position) override {
    if (quiet_ || maximum_ <= 0 || position <= 0) return;
    const int percent = static_cast<int>(int64_t{position} * 100 / maximum_);
    if (bars_) {
      if (percent == lastPercent_ && position != maximum_) return;
      lastPercent_ = percent;
      std::printf("\rcopy   %s %3d%%  record %d of %d", Bar(percent).c_str(), percent, position, maximum_);
      std::fflush(stdout);
      barShown_ = true;
    } else if (percent / 10 != lastTenth_) {
      lastTenth_ = percent / 10;
      std::cout << "copy " << percent << "% (record " << position << " of " << maximum_ << ")\n"
                << std::flush;
    }
  }
  void ArchiveError(const std::string& text) override {
    ClearBar();
    std::cerr << "veltool restructure: " << veltool::FromAnsi(text) << "\n";
  }
  void Notice(const std::string& text) override { SetInformation(text); }
  void Losses(const std::string& table, const TLossList& losses) override {
    SetInformation(losses.Summary(table));
    if (quiet_) return;
    for (const TValueLoss& l : losses.items)
      std::cout << "loss\t" << veltool::FromAnsi(table) << "\t" << veltool::FromAnsi(l.field) << "\t"
                << l.record << "\t" << veltool::FromAnsi(l.reason) << "\t" << veltool::FromAnsi(l.value)
                << "\n";
  }
  void Problem(const std::string& reason) override {
    problem = reason;
    ClearBar();
    std::cerr << "veltool restructure: We have a problem! " << veltool::FromAnsi(reason) << "\n";
  }

  std::vector<std::string> messages;
  std::string problem;

 private:
  void ClearBar() {
    if (!barShown_) return;
    std::printf("\r%78s\r", "");
    std::fflush(stdout);
    barShown_ = false;
    lastPercent_ = -1;
  }

  bool bars_, quiet_;
  bool barShown_ = false;
  std::string archiveName_;
  int maximum_ = 0;
  int lastPercent_ = -1;
  int lastTenth_ = -1;
};

veltool::Json FieldJson(const TFieldSpec& f) {
  if (f.name.empty()) return nullptr;
  return veltool::Json{{"name", veltool::FromAnsi(f.name)},
                       {"type", std::string(1, f.type)},
                       {"width", f.width},
                       {"decimals", f.decimals}};
}

int PrintPlan(const TRunPlan& plan, bool json) {
  using veltool::FromAnsi;
  if (json) {
    veltool::Json tables = veltool::Json::array();
    for (const TTablePlan& t : plan.tables) {
      veltool::Json changes = veltool::Json::array();
      for (const TFieldChange& c : t.changes)
        changes.push_back({{"change", TFieldChange::KindName(c.kind)},
                           {"field", FromAnsi(c.before.name.empty() ? c.after.name : c.before.name)},
                           {"before", FieldJson(c.before)},
                           {"after", FieldJson(c.after)}});
      veltool::Json losses = veltool::Json::array();
      for (const TValueLoss& l : t.losses.items)
        losses.push_back({{"record", l.record},
                          {"field", FromAnsi(l.field)},
                          {"reason", FromAnsi(l.reason)},
                          {"value", FromAnsi(l.value)}});
      veltool::Json files = veltool::Json::array(), tags = veltool::Json::array();
      for (const std::string& f : t.files) files.push_back(FromAnsi(f));
      for (const std::string& g : t.tags) tags.push_back(FromAnsi(g));
      veltool::Json item{{"table", FromAnsi(t.name)}, {"present", t.present}, {"files", files}};
      if (t.present) {
        item["records"] = t.records;
        item["changes"] = changes;
        item["lossCount"] = t.losses.count;
        item["losses"] = losses;
        item["tags"] = tags;
        item["stop"] = t.stop.empty() ? veltool::Json(nullptr) : veltool::Json(FromAnsi(t.stop));
      }
      tables.push_back(std::move(item));
    }
    veltool::Json doc{
        {"folder", FromAnsi(plan.folder)},
        {"recovery", plan.recovery.empty() ? veltool::Json(nullptr) : veltool::Json(FromAnsi(plan.recovery))},
        {"tables", tables},
        {"safe", plan.Safe()}};
    veltool::PrintJson(doc);
  } else {
    std::cout << "folder\t" << FromAnsi(plan.folder) << "\n";
    if (!plan.recovery.empty()) std::cout << "recovery\t" << FromAnsi(plan.recovery) << "\n";
    for (const TTablePlan& t : plan.tables) {
      if (!t.present) {
        std::cout << "missing\t" << FromAnsi(t.name) << "\tnot in the data folder; not restructured\n";
        continue;
      }
      std::cout << "table\t" << FromAnsi(t.name) << "\t" << t.records << " records\t";
      for (size_t i = 0; i < t.files.size(); ++i) std::cout << (i ? " " : "") << FromAnsi(t.files[i]);
      std::cout << "\n";
      for (const TFieldChange& c : t.changes)
        std::cout << "change\t" << FromAnsi(t.name) << "\t"
                  << FromAnsi(c.before.name.empty() ? c.after.name : c.before.name) << "\t"
                  << TFieldChange::KindName(c.kind) << "\t" << (c.before.name.empty() ? "" : c.before.Text())
                  << "\t" << (c.after.name.empty() ? "" : c.after.Text()) << "\n";
      for (const std::string& g : t.tags)
        std::cout << "tag\t" << FromAnsi(t.name) << "\t" << FromAnsi(g) << "\n";
      for (const TValueLoss& l : t.losses.items)
        std::cout << "loss\t" << FromAnsi(t.name) << "\t" << FromAnsi(l.field) << "\t" << l.record << "\t"
                  << FromAnsi(l.reason) << "\t" << FromAnsi(l.value) << "\n";
      if (t.losses.count > static_cast<int64_t>(t.losses.items.size()))
        std::cout << "loss\t" << FromAnsi(t.name) << "\t...\t"
                  << t.losses.count - static_cast<int64_t>(t.losses.items.size()) << " more\n";
      if (!t.stop.empty()) std::cout << "stop\t" << FromAnsi(t.name) << "\t" << FromAnsi(t.stop) << "\n";
    }
    int64_t lost = 0;
    for (const TTablePlan& t : plan.tables) lost += t.losses.count;
    std::cout << (plan.Safe()
                      ? "safe\tnothing would be lost\n"
                      : "unsafe\t" + std::to_string(lost) + " values would be lost or the run would stop\n");
  }
  return plan.Safe() ? 0 : 1;
}

int Run(const Options& o) {
  const std::string folder = o.folder.empty() ? DataFolderFromIni(FindVelUpdateIni(ProgramFolder()))
                                              : veltool::ToEnginePath(o.folder);
  TComponent owner;
  const TVelComponents c = CreateVelComponents(owner);
  for (TKeldorDataSet* tb : {c.tbDictionary, c.tbNewTable, c.tbOriginalTable}) tb->SetDatabaseName(folder);
  TStringList tableNames, fileList;
  TerminalView view(!o.json && veltool::StdoutIsTerminal(), o.json || o.dryRun);
  TVelRun run(c, tableNames, fileList, view);
  if (!o.archiveDir.empty()) {
    std::string dir = veltool::ToEnginePath(o.archiveDir);
    if (dir.back() != '\\') dir += '\\';
    run.ArchiveFolder = dir;
  }
  c.tbDictionary->Open();

  if (o.dryRun) return PrintPlan(run.Plan(), o.json);

  const bool all = run.Start();
  if (o.json) {
    veltool::Json messages = veltool::Json::array(), files = veltool::Json::array(),
                  problems = veltool::Json::array();
    for (const std::string& m : view.messages) messages.push_back(veltool::FromAnsi(m));
    for (int i = 0; i < fileList.Count(); ++i) files.push_back(veltool::FromAnsi(fileList[i]));
    for (const std::string& p : run.BackupCheck().problems) problems.push_back(veltool::FromAnsi(p));
    veltool::PrintJson({{"folder", veltool::FromAnsi(folder)},
                        {"archive", veltool::FromAnsi(run.ArchivePath())},
                        {"files", files},
                        {"filesBackedUp", run.FilesBackedUp()},
                        {"backupComplete", run.BackupCheck().complete},
                        {"backupProblems", problems},
                        {"tables", tableNames.Count()},
                        {"tablesRebuilt", run.TablesRebuilt()},
                        {"messages", messages},
                        {"problem", view.problem.empty() ? veltool::Json(nullptr)
                                                         : veltool::Json(veltool::FromAnsi(view.problem))},
                        {"complete", all}});
  }
  if (!all && !run.BackupCheck().complete)
    for (const std::string& p : run.BackupCheck().problems)
      std::cerr << "veltool restructure: " << veltool::FromAnsi(p) << "\n";
  if (!all && view.problem.empty() && run.BackupCheck().complete)
    std::cerr << "veltool restructure: " << run.TablesRebuilt() << " of " << tableNames.Count()
              << " tables were rebuilt\n";
  return all ? 0 : 1;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(
      app, "restructure", "back up the dictionary's tables and rebuild them in their new structure",
      [o] { return Run(*o); });
  cmd->add_option("DATAFOLDER", o->folder,
                  "the data folder (default: the one VelUpdate.INI names, as for the window)");
  cmd->add_option("--archive-dir", o->archiveDir, "folder of the backup archive (default C:\\Velmora)");
  cmd->add_flag("--dry-run", o->dryRun,
                "change nothing: print the field changes and every value that would not survive");
  veltool::AddJsonFlag(cmd, o->json);
  cmd->footer(
      "Exit status: 0 every table was rebuilt (with --dry-run: nothing would be lost); 1 otherwise, the "
      "reason "
      "on stderr; 2 wrong command line.");
}

}  // namespace

VELTOOL_COMMAND("restructure", Setup);
