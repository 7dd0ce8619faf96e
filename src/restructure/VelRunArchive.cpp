// The archive side of the run: the archive component with the window's
// settings, its events, and the backup with its read-back check. (Apart from
// VelRun.cpp because the archive engine and the dataset framework each
// declare a stream type of the same name.)
#include <set>

#include "archive/zarvoZip.h"
#include "framework/sysutils.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "restructure/VelRun.h"

namespace {

std::string Reason() { return platform::ErrorText(platform::LastError()); }

// Creates `folder` (trailing backslash allowed) with every missing parent.
void ForceFolder(const std::string& folder) {
  std::string f = folder;
  while (f.size() > 3 && f.back() == '\\') f.pop_back();
  if (f.empty() || platform::DirectoryExists(f)) return;
  const size_t slash = f.find_last_of('\\');
  if (slash != std::string::npos && slash > 2) ForceFolder(f.substr(0, slash));
  if (!platform::CreateDirectory(f) && !platform::DirectoryExists(f))
    throw EVelSwapError("Cannot create the folder " + f + ": " + Reason());
}

}  // namespace

TZip* CreateVelZip(TComponent& owner) {
  TZip* zip = TComponent::Create<TZip>(owner);
  zip->SetName("VelZip");
  zip->SetArcType(atZip);
  zip->SetCompressMethod(cmDeflate);
  zip->SetSwitch(swAdd);
  zip->SetDefaultExt(".zip");
  zip->SetRecurseDirs(false);
  zip->SetStoredDirNames(sdNone);
  zip->SetAttributes({fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted});
  zip->SetAttributesEx({});
  zip->SetDeleteOptions(doAllowUndo);
  zip->StoreFilesOfType().Clear();
  for (const char* ext :
       {".ACE", ".ARC", ".ARJ", ".BH",  ".CAB", ".ENC", ".GZ", ".HA",  ".JAR", ".LHA", ".LZH", ".PAK",
        ".PK3", ".PK_", ".RAR", ".TAR", ".TGZ", ".UUE", ".UU", ".WAR", ".XXE", ".Z",   ".ZIP", ".ZOO"})
    zip->StoreFilesOfType().Add(ext);
  return zip;
}

void TVelRun::HookArchive(bool on) {
  if (!c_.VelZip) return;
  if (!on) {
    c_.VelZip->OnProgress = nullptr;
    c_.VelZip->OnError = nullptr;
    return;
  }
  c_.VelZip->OnProgress = [this](TComponent* sender, uint8_t byFile, uint8_t byArchive) {
    Step();
    view_.ArchiveProgress(sender, byFile, byArchive);
  };
  // Only heard of: the archive component handles its own errors.
  c_.VelZip->OnError = [this](TComponent*, const std::string& file, const std::string& ext,
                              const std::string&, int code) {
    view_.ArchiveError(std::to_string(code) + " " + TZipCommon::ErrorText(code) +
                       (ext.empty() ? "" : " (" + ext + ")") + (file.empty() ? "" : ": " + file));
  };
}

bool TVelRun::BackUp() {
  const platform::LocalTime date = Clock();
  const platform::LocalTime time = Clock();
  view_.SetArchiveName(ArchiveNameFor(date, time));
  const std::string name = view_.ArchiveName();
  ForceFolder(ArchiveFolder);
  TZip& zip = *c_.VelZip;
  zip.SetArchiveFile(ArchiveFolder + name + ".zip");
  archivePath_ = zip.ArchiveFile();

  // The files are taken from the folder the tables were listed from.
  const std::string folder = DataFolder() + "\\";
  std::vector<std::string> files;
  std::set<std::string> distinct;
  for (int i = 0; i < fileList_.Count(); ++i) {
    const std::string path = folder + fileList_[i];
    zip.FileSpec().Add(path);
    files.push_back(path);
    distinct.insert(platform::AnsiUpperCase(fileList_[i]));
  }
  filesBackedUp_ = zip.Compress();
  const std::string backedUp = Format("%d Files Backed Up.", {filesBackedUp_});
  view_.SetInformation(backedUp);

  if (distinct.empty()) {
    check_.complete = true;
    return true;
  }
  if (filesBackedUp_ < static_cast<int>(distinct.size())) {
    check_.problems.push_back(Format("only %d of the %d listed files were backed up",
                                     {filesBackedUp_, static_cast<int>(distinct.size())}));
  } else {
    check_ = VerifyBackup(archivePath_, files);
  }
  if (check_.complete) return true;
  view_.SetInformation(backedUp + "\n" + "The backup is incomplete (" + check_.problems.front() +
                       "); no table was changed.");
  return false;
}
