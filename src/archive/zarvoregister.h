// The archive component's registration base: the archive file name and the
// archive type every archiver carries.
#pragma once

#include <string>

#include "framework/classes.h"

// Archive types, in the order the component stores them.
enum TArcType {
  atNA,
  atUnsupported,
  atFileOpenErr,
  atUnknown,
  atAce,
  atAceExe,
  atArc,
  atArcExe,
  atArj,
  atArjExe,
  atBh,
  atBhExe,
  atCab,
  atCabExe,
  atGZip,
  atHA,
  atJar,
  atJarExe,
  atLha,
  atLhaExe,
  atLzh,
  atLzhExe,
  atMsGZ,
  atPak,
  atPakExe,
  atRar,
  atRarExe,
  atTar,
  atTarGZip,
  atUUE,
  atZip,
  atZipExe,
  atZipDS,
  atZipMV,
  atZoo
};

class TRegisterZarvo : public TComponent {
 public:
  explicit TRegisterZarvo(TComponent* owner = nullptr);

  const std::string& ArchiveFile() const { return archiveFile_; }
  virtual void SetArchiveFile(const std::string& value);
  TArcType ArcType() const { return arcType_; }
  virtual void SetArcType(TArcType value);

  // True while the owner is being restored from its stored form; setters
  // then only take the stored values (no prompts, no file checks beyond
  // dropping an archive name that no longer exists).
  bool Loading() const { return loading_; }
  void SetLoading(bool value) { loading_ = value; }

 protected:
  std::string archiveFile_;
  TArcType arcType_ = atNA;
  bool loading_ = false;
};
