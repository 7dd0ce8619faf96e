// veltool restore ARCHIVE [DATAFOLDER] [--json]: puts the files of a backup
// archive made by the Start command back into the data folder, undoing a
// restructure. Every entry is inflated into a temporary file beside its
// target, its CRC-32 checked and the file flushed, and only then put in
// place of the old file in one step; a damaged archive or an entry with a
// folder in its name is refused before anything is written. A journal left
// by an interrupted restructure is dropped afterwards, since the restored
// files supersede it. The data folder defaults to the one VelUpdate.INI names.
#include <iostream>
#include <memory>

#include "platform/paths.h"
#include "restructure/VelRun.h"
#include "veltool.h"

namespace {

struct Options {
  std::string archive;
  std::string folder;
  bool json = false;
};

int Run(const Options& o) {
  std::string folder;
  if (o.folder.empty()) {
    const std::string exe = platform::ExecutablePath();
    folder = DataFolderFromIni(FindVelUpdateIni(exe.substr(0, exe.find_last_of('\\'))));
  } else {
    folder = veltool::ToEnginePath(o.folder);
  }
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  const std::string archive = veltool::ToEnginePath(o.archive);

  // No restore while a run works on the folder.
  TRunLock lock(folder);
  veltool::Json files = veltool::Json::array();
  const int count = RestoreBackup(archive, folder, [&](const std::string& name, uint64_t size) {
    if (o.json)
      files.push_back({{"name", veltool::FromAnsi(name)}, {"size", size}});
    else
      std::cout << "restored\t" << veltool::FromAnsi(name) << "\t" << size << "\n" << std::flush;
  });
  const TSwapRecovery dropped = DiscardInterruptedSwap(folder);
  const std::string note =
      dropped.outcome == TSwapRecovery::None
          ? std::string()
          : "the journal of the interrupted restructure of " + dropped.table + " was dropped";
  if (o.json) {
    veltool::PrintJson(
        {{"archive", veltool::FromAnsi(archive)},
         {"folder", veltool::FromAnsi(folder)},
         {"restored", count},
         {"files", files},
         {"note", note.empty() ? veltool::Json(nullptr) : veltool::Json(veltool::FromAnsi(note))}});
  } else {
    if (!note.empty()) std::cout << "note\t" << veltool::FromAnsi(note) << "\n";
    std::cout << count << " files restored to " << veltool::FromAnsi(folder) << "\n";
  }
  return 0;
}

void Setup(CLI::App& app) {
  auto o = std::make_shared<Options>();
  CLI::App* cmd = veltool::AddCommand(
      app, "restore", "put the files of a backup archive back into the data folder", [o] { return Run(*o); });
  cmd->add_option("ARCHIVE", o->archive, "the backup archive (C:\\Velmora\\Velmora_<date><time>.zip)")
      ->required();
  cmd->add_option("DATAFOLDER", o->folder, "the data folder (default: the one VelUpdate.INI names)");
  veltool::AddJsonFlag(cmd, o->json);
  cmd->footer(
      "Exit status: 0 every file was restored; 1 otherwise (the reason on stderr); 2 wrong command line.");
}

}  // namespace

VELTOOL_COMMAND("restore", Setup);
