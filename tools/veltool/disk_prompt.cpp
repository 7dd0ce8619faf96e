#include "disk_prompt.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "archive/zarvoZip.h"
#include "platform/paths.h"
#include "platform/volume.h"
#include "veltool.h"

namespace veltool {

namespace {

// One answer line; false at the end of the input (counts as cancel).
bool Ask(std::istream& in, std::ostream& out, const std::string& question, std::string& answer) {
  out << question << std::flush;
  if (!std::getline(in, answer)) {
    out << "\n";
    return false;
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  while (!answer.empty() && answer.front() == ' ') answer.erase(0, 1);
  return true;
}

bool IsQuit(const std::string& answer) { return answer == "q" || answer == "Q"; }

}  // namespace

void PrepareDiskChanges(TZip& zip, const std::string& archive, bool terminal, std::istream& in,
                        std::ostream& out) {
  if (platform::GetDriveType(archive) != platform::DriveType::Removable) return;
  const std::string display = FromAnsi(archive);
  if (!terminal)
    throw Failure(display +
                  " is on a removable drive: a spanned archive needs an operator to change the disks; run "
                  "veltool zip on a terminal, or write the archive to a fixed drive");
  const char letter = archive.size() >= 2 && archive[1] == ':' ? archive[0] : 0;

  zip.OnInsertDisk = [&zip, &in, &out, letter, display](TComponent*, const std::string& volume,
                                                        bool& cancel) {
    char label[32];
    std::snprintf(label, sizeof label, "PKBACK# %03d", std::atoi(volume.c_str()));
    std::string answer;
    const std::string drive = letter ? std::string(1, letter) + ":" : "the drive";
    const bool got = Ask(in, out,
                         "\nInsert disk " + volume + " (it is labelled " + label + ") into " + drive +
                             " for " + display + " and press Enter (q cancels): ",
                         answer);
    if (!got || IsQuit(answer)) {
      zip.SetCancel(true);
      cancel = true;
      return;
    }
    // A simulated removable drive changes its disk by mounting another folder.
    if (!answer.empty() && letter) {
      std::optional<platform::DriveMapping> m = platform::GetDriveMapping(letter);
      if (m && m->removable) {
        m->hostRoot = answer;
        platform::MapDrive(letter, *m);
      }
    }
    cancel = false;
  };
  zip.OnClearDisk = [&zip, &in, &out](TComponent*, const std::string& drive, int64_t required,
                                      int64_t freeSpace, int64_t total, bool& cancel) {
    std::string answer;
    const bool got = Ask(in, out,
                         "\nThe disk in " + drive + " holds other files (" + std::to_string(freeSpace) +
                             " of " + std::to_string(total) + " bytes free, " + std::to_string(required) +
                             " needed): remove them and press Enter (q cancels): ",
                         answer);
    cancel = !got || IsQuit(answer);
    if (cancel) zip.SetCancel(true);
  };
  zip.OnDiskSpanFileExists = [&in, &out](TComponent*, const std::string& file, uint32_t,
                                         TOverwriteMode& mode) {
    std::string answer;
    const bool got =
        Ask(in, out, "\n" + FromAnsi(file) + " exists on this disk: overwrite it? [y/N] ", answer);
    mode = got && (answer == "y" || answer == "Y") ? omOverwrite : omSkip;
  };
}

}  // namespace veltool
