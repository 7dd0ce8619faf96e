#include "archive/zarvoBase.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>

#include "archive/Err_Msgs.h"
#include "archive/zarvoDeflate.h"
#include "archive/zarvoGbls.h"
#include "archive/zarvoHeaders.h"
#include "framework/application.h"
#include "framework/exceptions.h"
#include "framework/sysutils.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"

using zarvo::GetLE16;
using zarvo::GetLE32;

namespace {

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && platform::CompareTextAscii(s.substr(0, prefix.size()), prefix) == 0;
}

std::string FileNamePart(const std::string& path) {
  size_t p = path.find_last_of("\\:");
  return p == std::string::npos ? path : path.substr(p + 1);
}

std::string FolderPart(const std::string& path) {
  size_t p = path.find_last_of("\\:");
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

std::string ExtensionOf(const std::string& path) {
  std::string name = FileNamePart(path);
  size_t p = name.rfind('.');
  return p == std::string::npos ? std::string() : name.substr(p);
}

const char* const kDefaultStoredTypes[] = {".ACE", ".ARC", ".ARJ", ".BH",  ".CAB", ".ENC", ".GZ",  ".HA",
                                           ".JAR", ".LHA", ".LZH", ".PAK", ".PK3", ".PK_", ".RAR", ".TAR",
                                           ".TGZ", ".UUE", ".UU",  ".WAR", ".XXE", ".Z",   ".ZIP", ".ZOO"};

}  // namespace

// ---------------------------------------------------------------------------
// Entry list and timer

uint64_t TZipEntry::PackedSize() const {
  return GetLE32(central.data() + 20) | (static_cast<uint64_t>(packedHi) << 32);
}

uint64_t TZipEntry::UnpackedSize() const {
  return GetLE32(central.data() + 24) | (static_cast<uint64_t>(unpackedHi) << 32);
}

int TZipEntries::IndexOfName(const std::string& name) const {
  for (size_t i = 0; i < items.size(); ++i)
    if (platform::CompareTextAscii(items[i].name, name) == 0) return static_cast<int>(i);
  return -1;
}

void TZarvoTimer::Start() {
  startTick_ = platform::TickCount();
  paused_ = 0;
  elapsed_ = 0;
  running_ = true;
  pausedNow_ = false;
}

void TZarvoTimer::Pause() {
  if (!running_ || pausedNow_) return;
  pauseTick_ = platform::TickCount();
  pausedNow_ = true;
}

void TZarvoTimer::Resume() {
  if (!running_ || !pausedNow_) return;
  paused_ += platform::TickCount() - pauseTick_;
  pausedNow_ = false;
}

void TZarvoTimer::Stop() {
  if (!running_) return;
  Resume();
  elapsed_ = static_cast<float>(platform::TickCount() - startTick_ - paused_) / 1000.0f;
  running_ = false;
}

float TZarvoTimer::ElapsedTime() const {
  if (!running_) return elapsed_;
  uint64_t now = pausedNow_ ? pauseTick_ : platform::TickCount();
  return static_cast<float>(now - startTick_ - paused_) / 1000.0f;
}

// ---------------------------------------------------------------------------
// TZipCommon

TZipCommon::TZipCommon(TComponent* owner)
    : TRegisterZarvo(owner), volume_(std::make_unique<TDiskManager>(*this)) {
  attributes_ = TZarvoFileAttrs{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  attributesEx_ = TZarvoFileAttrs{};
}

TZipCommon::~TZipCommon() = default;

std::string TZipCommon::ErrorText(int eCode) { return LoadErrorMsg(eCode); }

void TZipCommon::ReportError(const std::string& fileName, const std::string& extendedMsg, int eCode,
                             const std::string& volumeId) {
  timer_.Pause();
  if (cancel_) eCode = 25443;
  if (OnError) OnError(this, fileName, extendedMsg, volumeId, eCode);
  timer_.Resume();
}

void TZipCommon::SetCancel(bool value) {
  cancel_ = value;
  if (value) ReportError(ArchiveFile(), "", 25443);
}

uint8_t TZipCommon::Percent(uint64_t x, uint64_t n) {
  if (n == 0) return 0;
  if (x >= n) return 100;
  unsigned __int128 num = static_cast<unsigned __int128>(x) * 100;
  uint64_t q = static_cast<uint64_t>(num / n);
  uint64_t r = static_cast<uint64_t>(num % n);
  // Halves go to the even neighbour.
  if (2 * static_cast<unsigned __int128>(r) > n || (2 * static_cast<unsigned __int128>(r) == n && (q & 1)))
    ++q;
  return static_cast<uint8_t>(std::min<uint64_t>(q, 100));
}

void TZipCommon::DoProgress(uint8_t byFile, uint8_t byArchive) {
  lastByFile_ = byFile;
  lastByArchive_ = byArchive;
  Application().ProcessMessages();
  if (OnProgress) OnProgress(this, byFile, byArchive);
}

void TZipCommon::FileProgress(uint64_t consumed) {
  if (!OnProgress) return;
  uint64_t total = totalBytes_ > 0 ? static_cast<uint64_t>(totalBytes_) : 0;
  uint64_t remaining = remainingBytes_ > 0 ? static_cast<uint64_t>(remainingBytes_) : 0;
  uint64_t done = remaining > total ? 0 : total - remaining;
  DoProgress(Percent(consumed, currentFileSize_ > 0 ? static_cast<uint64_t>(currentFileSize_) : 0),
             Percent(done, total));
}

std::string TZipCommon::TempDir() const {
  if (tempDir_.empty() || !platform::DirectoryExists(tempDir_)) return platform::GetTempPath();
  return tempDir_;
}

namespace {
bool CreateFolderTree(const std::string& folder) {
  std::string f = folder;
  while (!f.empty() && f.back() == '\\') f.pop_back();
  if (f.empty() || platform::DirectoryExists(f)) return true;
  std::string parent = FolderPart(f);
  if (!parent.empty() && parent != f + "\\" && parent.size() < f.size()) {
    std::string p = parent;
    // "C:\" itself or "C:" needs no creation.
    if (!(p.size() <= 3 && p.size() >= 2 && p[1] == ':')) CreateFolderTree(p);
  }
  return platform::CreateDirectory(f) || platform::DirectoryExists(f);
}
}  // namespace

void TZipCommon::SetTempDir(const std::string& value) {
  if (Loading()) {
    tempDir_ = value;
    return;
  }
  std::string v = value;
  if (!v.empty() && v.back() != '\\') v += '\\';
  if (!v.empty() && !platform::DirectoryExists(v)) {
    int answer = Application().MessageBox(ErrorText(26899) + "\r\r" + v, Application().Title(),
                                          MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES)
      CreateFolderTree(v);
    else
      v.clear();
  }
  if (v.empty() || !platform::DirectoryExists(v)) v.clear();
  tempDir_ = v;
}

// ---------------------------------------------------------------------------
// TCompBase: properties

TCompBase::TCompBase(TComponent* owner) : TZipCommon(owner) {
  for (const char* ext : kDefaultStoredTypes) storeFilesOfType_.Add(ext);
}

TCompBase::~TCompBase() = default;

void TCompBase::SetArchiveFile(const std::string& value) {
  std::string v = value;
  std::replace(v.begin(), v.end(), '/', '\\');
  if (!v.empty() && ExtensionOf(v).empty()) v += defaultExt_;
  cancel_ = false;
  haveFirstOffset_ = false;
  firstEntryOffset_ = 0;
  if (Loading() && !v.empty() && !platform::FileExists(v)) v.clear();
  TRegisterZarvo::SetArchiveFile(v);
}

void TCompBase::SetDefaultExt(const std::string& value) {
  std::string previous = defaultExt_;
  std::string v = value;
  if (v.empty() || v == ".") {
    v = ".zip";
  } else {
    if (v[0] != '.') v = "." + v;
    if (v.size() > 4) v.resize(4);
    v = platform::AnsiLowerCase(v);
  }
  defaultExt_ = v;
  if (archiveFile_.empty()) return;
  std::string ext = ExtensionOf(archiveFile_);
  if (ext.empty()) {
    archiveFile_ += v;
  } else if (platform::CompareTextAscii(ext, previous) == 0) {
    archiveFile_ = archiveFile_.substr(0, archiveFile_.size() - ext.size()) + v;
  }
}

int TCompBase::Workers() const { return workers_ > 0 ? workers_ : DefaultWorkerCount(); }

void TCompBase::SetWorkers(int value) { workers_ = std::clamp(value, 0, kMaxWorkers); }

void TCompBase::SetBlockSize(size_t value) {
  blockSize_ = std::clamp<size_t>(value, kMinBlockSize, kMaxBlockSize);
}

void TCompBase::SetCompressMethod(TCompressMethod value) {
  if (value == cmStore || value == cmDeflate) compressMethod_ = value;
}

std::string TCompBase::StoredName(const std::string& fullPath, const std::string& rootDir) const {
  bool folder = !fullPath.empty() && fullPath.back() == '\\';
  auto stripDrive = [](const std::string& p) {
    if (p.rfind("\\\\", 0) == 0) {
      // \\server\share\rest -> \rest
      size_t server = p.find('\\', 2);
      if (server == std::string::npos) return std::string();
      size_t share = p.find('\\', server + 1);
      return share == std::string::npos ? std::string() : p.substr(share);
    }
    size_t colon = p.find(':');
    return colon == std::string::npos ? p : p.substr(colon + 1);
  };
  switch (storedDirNames_) {
    case sdNone: {
      if (folder) {
        std::string f = fullPath.substr(0, fullPath.size() - 1);
        return FileNamePart(f) + "\\";
      }
      return FileNamePart(fullPath);
    }
    case sdAbsolute:
      return fullPath;
    case sdAbsoluteNoDrv:
      return stripDrive(fullPath);
    case sdAbsoluteNoRoot: {
      std::string s = stripDrive(fullPath);
      if (!s.empty() && s[0] == '\\') s.erase(0, 1);
      return s;
    }
    case sdRelative:
      if (!rootDir.empty() && StartsWithNoCase(fullPath, rootDir)) return fullPath.substr(rootDir.size());
      return fullPath;
    case sdRelativeStoreStart: {
      std::string r = rootDir;
      if (!r.empty() && r.back() == '\\') r.pop_back();
      std::string parent = FolderPart(r);
      if (!parent.empty() && StartsWithNoCase(fullPath, parent)) return fullPath.substr(parent.size());
      return fullPath;
    }
    case sdExplorer_Auto:
    case sdExplorer_UserDefineDefaultDir: {
      std::string def = defaultDir_;
      if (!def.empty() && def.back() != '\\') def += '\\';
      if (!def.empty() && platform::CompareTextAscii(def, rootDir) == 0 &&
          StartsWithNoCase(fullPath, rootDir))
        return fullPath.substr(rootDir.size());
      if (!def.empty() && StartsWithNoCase(fullPath, def)) return fullPath.substr(def.size());
      return fullPath;
    }
  }
  return fullPath;
}

std::string TCompBase::HeaderName(const std::string& storedName, bool* utf8) const {
  return zarvo::HeaderNameFromStored(storedName, translateOemChar_, utf8);
}

std::string TCompBase::NameFromHeader(const std::string& headerName) const {
  return zarvo::StoredNameFromHeader(headerName, translateOemChar_);
}

uint32_t TCompBase::EntryDosDate(uint32_t fileDate) const {
  switch (dateAttribute_) {
    case daSysDate: {
      platform::LocalTime t = platform::Now();
      return zarvo::DosDateTimeOf(platform::FromLocalTime(t));
    }
    case daMaxFileDate:
      return maxFileDate_ ? maxFileDate_ : fileDate;
    case daFileDate:
      break;
  }
  return fileDate;
}

void TCompBase::DoOnEnd(const std::string& storedName, bool crcPass) {
  if (OnEnd) OnEnd(this, storedName, crcPass);
}

std::string TCompBase::EntryNameAndComment(int index, std::string& comment) {
  if (index < 0 || index >= entries_.Count()) return {};
  comment = entries_.items[index].comment;
  return entries_.items[index].name;
}

void TCompBase::SetEntryComment(int index, const std::string& comment) {
  if (index < 0 || index >= entries_.Count()) return;
  entries_.items[index].comment = comment;
  entries_.modified = true;
}

void TCompBase::SetArchiveComment(const std::string& comment) {
  entries_.archiveComment = comment;
  entries_.modified = true;
}

int TCompBase::CountEntries() { return entries_.Count(); }

std::string TCompBase::ArchiveComment() const { return entries_.archiveComment; }

// ---------------------------------------------------------------------------
// Output of the run

bool TCompBase::WriteOutput(const void* data, size_t count) {
  return output_ && output_->Append(data, count);
}

bool TCompBase::WriteOutputAt(uint64_t offset, const void* data, size_t count) {
  return output_ && output_->WriteAt(offset, data, count);
}

uint64_t TCompBase::OutputSize() const { return output_ ? output_->Size() : 0; }

int64_t TCompBase::ReadOld(uint64_t offset, void* data, size_t count) {
  if (!oldArchive_) return -1;
  return oldArchive_->ReadAt(offset, data, count);
}

// ---------------------------------------------------------------------------
// The compress run

void TCompBase::ResetRun() {
  filesCompressed_ = 0;
  filesDeleted_ = 0;
  fileNumber_ = 0;
  maxFileDate_ = 0;
  currentFileSize_ = 0;
  totalBytes_ = 0;
  remainingBytes_ = 0;
  lastByFile_ = 0;
  lastByArchive_ = 0;
  somethingToDo_ = false;
  cancel_ = false;
  runArchive_ = ArchiveFile();
  entries_ = TZipEntries();
  toDelete_.clear();
  lookup_.clear();
  lookupPath_.clear();
  oldDamage_.clear();
  activated_ = false;
  deactivated_ = false;
  lastException_.clear();
}

int TCompBase::Compress() {
  if (busy_) return 0;
  struct BusyGuard {
    bool& flag;
    explicit BusyGuard(bool& f) : flag(f) { flag = true; }
    ~BusyGuard() { flag = false; }
  } guard(busy_);

  ResetRun();
  if (!volume_->CheckVolume(ArchiveFile().empty() ? platform::GetCurrentDirectory() + "\\" : ArchiveFile()))
    return 0;

  if (switch_ == swDelete) defaultDir_.clear();
  if (storedDirNames_ == sdExplorer_Auto) {
    // The explorer's default folder is the user's desktop.
    defaultDir_ = platform::DesktopDirectory();
    if (!defaultDir_.empty() && defaultDir_.back() != '\\') defaultDir_ += '\\';
  }
  if (storedDirNames_ == sdExplorer_UserDefineDefaultDir && defaultDir_.empty()) {
    ReportError(ArchiveFile(), "DefaultDir", 25271);
    return 0;
  }
  if (ArchiveFile().empty() || cancel_) return 0;

  try {
    if (!Run()) {
      filesCompressed_ = 0;
      filesDeleted_ = 0;
    }
  } catch (const std::exception& e) {
    // Nothing half-written replaces the archive: the temporary output goes.
    lastException_ = e.what();
    if (output_) output_->Discard();
    output_.reset();
    oldArchive_.reset();
    timer_.Stop();
    filesCompressed_ = 0;
    filesDeleted_ = 0;
    if (activated_ && !deactivated_ && OnDeactivate) {
      deactivated_ = true;
      try {
        OnDeactivate(this);
      } catch (const std::exception&) {
      }
    }
  }
  output_.reset();
  oldArchive_.reset();
  entries_ = TZipEntries();
  return switch_ == swDelete ? filesDeleted_ : filesCompressed_;
}

bool TCompBase::CheckWritable() {
  uint32_t attr = platform::GetFileAttributes(runArchive_);
  if (attr == platform::kInvalidAttributes) return true;
  const uint32_t blocking =
      platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem | platform::kAttrDirectory;
  if ((attr & blocking) == 0) return true;
  if (!OnNonWriteableArchive) {
    ReportError(runArchive_, "OnNonWriteableArchive", 25270);
    return false;
  }
  bool writeToFile = false;
  OnNonWriteableArchive(this, runArchive_, writeToFile);
  if (!writeToFile) return false;
  if (attr & platform::kAttrDirectory) return false;
  return platform::SetFileAttributes(runArchive_, platform::kAttrNormal) &&
         (platform::GetFileAttributes(runArchive_) & platform::kAttrReadOnly) == 0;
}

void TCompBase::RunRead() {
  if (isNewArchive_) return;
  if (!OnRead) {
    ReportError(runArchive_, "OnRead", 25270);
    return;
  }
  oldArchive_ = platform::File::Open(runArchive_, platform::Access::Read, platform::Share::Shared);
  if (!oldArchive_) {
    ReportError(runArchive_, "", 25235);
    return;
  }
  int64_t size = oldArchive_->Size();
  oldSize_ = size > 0 ? static_cast<uint64_t>(size) : 0;
  if (oldSize_ == 0) return;
  ReadEntries();
  if (!oldDamage_.empty()) {
    ReportError(runArchive_, oldDamage_, E_DAMAGED);
    return;
  }
  for (int i = 0; i < entries_.Count() && !cancel_; ++i)
    OnRead(this, static_cast<int64_t>(entries_.items[i].localOffset), i + 1);
}

bool TCompBase::Run() {
  isNewArchive_ = !platform::FileExists(runArchive_);
  if (switch_ == swRead) {
    RunRead();
    return true;
  }
  if (switch_ == swDelete && isNewArchive_) {
    ReportError(runArchive_, "", 26859);
    return false;
  }
  if (!isNewArchive_) {
    if (cancel_) return false;
    if (!CheckWritable()) return false;
  }

  if (OnElapsedTime) timer_.Start();
  activated_ = true;
  if (OnActivate) OnActivate(this);

  // Temporary output.
  if (compressionMethod_ == cmTempFile) {
    std::string folder = TempDir();
    if (!platform::DirectoryExists(folder)) CreateFolderTree(folder);
    output_ = TRunOutput::CreateFile(runArchive_, folder);
    if (!output_) throw EFCreateError(ErrorText(25235) + ": " + folder);
  } else {
    output_ = TRunOutput::CreateMemory(runArchive_);
  }

  // Entries of the existing archive.
  if (!isNewArchive_) {
    oldArchive_ = platform::File::Open(runArchive_, platform::Access::Read, platform::Share::Shared);
    if (!oldArchive_) {
      ReportError(runArchive_, "", 25235);
      output_->Discard();
      Deactivate();
      return false;
    }
    int64_t size = oldArchive_->Size();
    oldSize_ = size > 0 ? static_cast<uint64_t>(size) : 0;
    if (oldSize_ > 0) {
      ReadEntries();
      if (!oldDamage_.empty()) return RefuseDamaged();
      for (TZipEntry& e : entries_.items) {
        e.action = kActCopy;
        e.fromOld = true;
        e.original = std::make_shared<const TZipEntry>(e);
      }
      if (switch_ == swDelete) MarkDeletions();
      // Bytes before the first entry (a self-extracting loader) lead the new archive too.
      if (haveFirstOffset_ && firstEntryOffset_ > 0 && !entries_.items.empty()) {
        std::vector<uint8_t> buf(61440);
        uint64_t pos = 0;
        while (pos < firstEntryOffset_) {
          size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), firstEntryOffset_ - pos));
          if (ReadOld(pos, buf.data(), n) != static_cast<int64_t>(n)) throw EReadError(ErrorText(25235));
          if (!WriteOutputAt(pos, buf.data(), n)) throw EWriteError(ErrorText(25136));
          pos += n;
        }
      }
    }
  }

  // Collection.
  if (switch_ != swDelete) ScanFiles();

  // Stop check.
  if (cancel_ || (switch_ != swDelete && !somethingToDo_)) {
    if (!cancel_) ReportError(runArchive_, "", 25268);
    entries_.items.clear();
  } else {
    EntryLoop();
  }
  timer_.Stop();
  Finish();
  return true;
}

bool TCompBase::RefuseDamaged() {
  // Whatever cannot be read in full is not written over: the file may be the
  // only copy of what it holds, and a run would drop the unreadable part.
  ReportError(runArchive_, oldDamage_, E_DAMAGED);
  entries_.items.clear();
  oldArchive_.reset();
  output_->Discard();
  output_.reset();
  timer_.Stop();
  Deactivate();
  if (OnElapsedTime) OnElapsedTime(this, timer_.ElapsedTime());
  return false;
}

void TCompBase::MarkDeletions() {
  // Every FileSpec entry is a mask over the stored names.
  for (TZipEntry& e : entries_.items) {
    for (int i = 0; i < fileSpec_.Count(); ++i) {
      std::string spec = Trim(fileSpec_[i]);
      std::replace(spec.begin(), spec.end(), '/', '\\');
      if (spec.empty()) continue;
      if (TInternalMask(spec).Matches(e.name)) {
        e.action = kActDrop;
        break;
      }
    }
  }
}

bool TCompBase::MatchesExclude(const std::string& storedName) const {
  for (int i = 0; i < excludeSpec_.Count(); ++i) {
    std::string spec = excludeSpec_[i];
    std::replace(spec.begin(), spec.end(), '/', '\\');
    if (Trim(spec).empty()) continue;
    std::string stored = StoredName(spec, rootDir_);
    if (recurseDirs_) {
      if (spec.find('\\') != std::string::npos) {
        std::string specFolder = FolderPart(stored);
        std::string nameFolder = FolderPart(storedName);
        if (StartsWithNoCase(nameFolder, specFolder) &&
            TInternalMask(FileNamePart(stored)).Matches(FileNamePart(storedName)))
          return true;
      } else if (TInternalMask(spec).Matches(FileNamePart(storedName))) {
        return true;
      }
    } else if (TInternalMask(stored).Matches(storedName)) {
      return true;
    }
  }
  return false;
}

void TCompBase::CollectFile(const std::string& folder, const platform::FileInfo& found) {
  bool isFolder = (found.attributes & platform::kAttrDirectory) != 0;
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '\\') dir += '\\';
  if (isFolder) {
    if (!storeEmptySubDirs_) return;
    std::string path = dir;
    // The scanner hands a folder over as its own path; a find record for a
    // folder inside `dir` names it.
    if (!found.name.empty() &&
        platform::CompareTextAscii(FileNamePart(dir.substr(0, dir.size() - 1)), found.name) != 0)
      path = dir + found.name + "\\";
    std::vector<platform::FileInfo> inside;
    if (!platform::ListDirectory(path, inside) || !inside.empty()) return;
    MergeFile(path, found);
    return;
  }
  MergeFile(dir + found.name, found);
}

void TCompBase::MergeFile(const std::string& fullPath, const platform::FileInfo& info) {
  bool isFolder = (info.attributes & platform::kAttrDirectory) != 0;
  std::string stored = StoredName(fullPath, rootDir_);
  if (stored.empty()) return;
  if (!isFolder && MatchesExclude(stored)) return;
  // The archive being written is never an entry of itself.
  if (platform::CompareTextAscii(fullPath, runArchive_) == 0) return;
  if (output_ && !output_->TempName().empty() &&
      platform::CompareTextAscii(fullPath, output_->TempName()) == 0)
    return;
  uint32_t dosDate = zarvo::DosDateTimeOf(info.modified);
  if (!isFolder && dosDate > maxFileDate_) maxFileDate_ = dosDate;

  int found = -1;
  if (!isNewArchive_ || !entries_.items.empty()) {
    auto it = lookup_.find(platform::AnsiUpperCase(stored));
    if (it != lookup_.end()) found = it->second;
    if (found < 0 && fileSpec_.Count() > 1) {
      auto pit = lookupPath_.find(platform::AnsiUpperCase(fullPath));
      if (pit != lookupPath_.end()) found = pit->second;
    }
  }

  if (found < 0) {
    if (switch_ != swRefresh) AppendFound(fullPath, stored, info, -1);
    return;
  }
  TZipEntry& old = entries_.items[found];
  if (!old.fromOld || old.action != kActCopy) {
    // The name is already taken by a file of this run (or an entry this run
    // has already settled): the second file is offered a rename, never
    // dropped without a word.
    RenameDuplicate(found, fullPath, stored, info);
    return;
  }

  const uint64_t oldSize = old.UnpackedSize();
  uint32_t oldDate =
      (static_cast<uint32_t>(GetLE16(old.central.data() + 14)) << 16) | GetLE16(old.central.data() + 12);
  uint32_t oldAttr = GetLE32(old.central.data() + 38) & 0xBF;
  // DOS times count in 2-second steps; programs differ on whether an odd
  // second rounds down (as here) or up (Info-ZIP), so either counts as the
  // same time.
  const bool sameDate = oldDate == dosDate || oldDate == zarvo::DosDateTimeOf(info.modified + 1);
  bool unchanged = oldSize == info.size && sameDate;
  // Entries made on other hosts (Unix, OS X, ...) hold host mode bits where
  // DOS attributes would be: comparing those would call every such entry
  // changed, so only size and date count for them.
  if (IsDosHost(old.VersionMadeBy())) unchanged = unchanged && oldAttr == (info.attributes & 0xFFFFFFFF);

  if (switch_ == swRefresh) {
    if (!unchanged) {
      old.action = kActCompress;
      old.name = fullPath;
      old.storedName = stored;
      old.rootLen = static_cast<int>(rootDir_.size());
      FillCentralFromFile(old, info);
      somethingToDo_ = true;
    }
    return;
  }

  if (!unchanged) {
    bool replace = false;
    if (OnReplaceFile)
      OnReplaceFile(this, old.name, fullPath, oldDate, dosDate, static_cast<int64_t>(oldSize),
                    static_cast<int64_t>(info.size), GetLE32(old.central.data() + 38), info.attributes,
                    replace);
    else
      ReportError(fullPath, "OnReplaceFile", 25270);
    if (replace) {
      old.action = kActDrop;
      old.replaced = true;
      lookup_.erase(platform::AnsiUpperCase(old.name));
      AppendFound(fullPath, stored, info, found);
      return;
    }
  }

  somethingToDo_ = true;
  if (!OnRenameDupeFile) {
    ReportError(fullPath, "OnRenameDupeFile", 25270);
    return;
  }
  std::string proposal;
  if (AskRename(old.name, proposal)) {
    lookup_.erase(platform::AnsiUpperCase(old.name));
    old.name = proposal;
    old.action = kActCopyRenamed;
    lookup_[platform::AnsiUpperCase(proposal)] = found;
    AppendFound(fullPath, stored, info, -1);
  }
}

bool TCompBase::AskRename(const std::string& name, std::string& proposal) {
  proposal = name;
  // A handler that never settles on a usable name gives up after a while.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string asked = proposal;
    bool rename = true;
    OnRenameDupeFile(this, name, asked, rename);
    if (!rename) return false;
    std::replace(asked.begin(), asked.end(), '/', '\\');
    if (!FileNamePart(asked).empty()) proposal = asked;
    if (platform::CompareTextAscii(proposal, name) != 0 &&
        lookup_.find(platform::AnsiUpperCase(proposal)) == lookup_.end())
      return true;
  }
  return false;
}

void TCompBase::AppendFound(const std::string& fullPath, const std::string& stored,
                            const platform::FileInfo& info, int replaces) {
  TZipEntry e;
  e.name = fullPath;
  e.storedName = stored;
  e.action = kActCompress;
  e.headerCipher = encryptHeaders_;
  e.rootLen = static_cast<int>(rootDir_.size());
  e.replacesIndex = replaces;
  FillCentralFromFile(e, info);
  entries_.items.push_back(std::move(e));
  int index = entries_.Count() - 1;
  lookup_[platform::AnsiUpperCase(stored)] = index;
  lookupPath_[platform::AnsiUpperCase(fullPath)] = index;
  somethingToDo_ = true;
}

void TCompBase::RenameDuplicate(int found, const std::string& fullPath, const std::string& stored,
                                const platform::FileInfo& info) {
  TZipEntry& first = entries_.items[found];
  // Only a file this run is about to add can take another name; under
  // swRefresh no file is added.
  const bool renameable =
      first.action == kActCompress && !first.fromOld && first.replacesIndex < 0 && switch_ != swRefresh;
  if (renameable && !OnRenameDupeFile) {
    ReportError(fullPath, "OnRenameDupeFile", 25270);
    return;
  }
  const std::string firstStored = first.storedName.empty() ? first.name : first.storedName;
  std::string proposal;
  if (renameable && AskRename(firstStored, proposal)) {
    TZipEntry& earlier = entries_.items[found];
    lookup_.erase(platform::AnsiUpperCase(firstStored));
    earlier.storedName = proposal;
    lookup_[platform::AnsiUpperCase(proposal)] = found;
    AppendFound(fullPath, stored, info, -1);
    return;
  }
  ReportError(fullPath, stored, E_DUPLICATE);
}

void TCompBase::ScanFiles() {
  // Entries whose name has no exact ANSI form cannot stand for a file here.
  for (int i = 0; i < entries_.Count(); ++i)
    if (entries_.items[i].nameExact) lookup_.emplace(platform::AnsiUpperCase(entries_.items[i].name), i);

  TZarvoFileScan scan(nullptr);
  TZarvoFileAttrs wanted = attributes_;
  if (storeEmptySubDirs_) wanted.insert(fsDirectory);
  scan.SetAttributes(wanted);
  scan.SetAttributesEx(attributesEx_);
  scan.SetRecurseDirs(recurseDirs_);
  scan.SetIncludeHiddenDirs(includeHiddenDirs_);
  scan.SetCancelFlag(&cancel_);
  if (OnFileScanStatus)
    scan.OnScanFile = [this](TComponent*, const std::string& name, int count, int64_t size) {
      OnFileScanStatus(this, name, count, size);
    };
  if (OnRecurseDir)
    scan.OnRecurseDir = [this](TComponent*, const std::string& dir) { OnRecurseDir(this, dir); };
  scan.OnRootDirChange = [this](TComponent*, const std::string& dir) {
    rootDir_ = dir;
    if (!rootDir_.empty() && rootDir_.back() != '\\') rootDir_ += '\\';
  };
  scan.SetFileCallback(
      [this](const std::string& folder, const platform::FileInfo& found) { CollectFile(folder, found); });
  scan.SetFileSpec(fileSpec_);
  scan.Scan();
  totalBytes_ = scan.FilesSize();
  remainingBytes_ = totalBytes_;
}

void TCompBase::RestoreOld(TZipEntry& e) {
  if (e.original) {
    std::shared_ptr<const TZipEntry> original = e.original;
    e = *original;
    e.original = std::move(original);
  }
  e.replaced = false;
  e.replacesIndex = -1;
  e.action = kActCopy;
  LoadEntryToRun(e);
  CopyEntry(e);
}

void TCompBase::EntryLoop() {
  int maxDrop = 0;
  for (const TZipEntry& e : entries_.items)
    if (e.action == kActDrop && !e.replaced) ++maxDrop;

  const int count = entries_.Count();
  // With more than one worker, files are deflated ahead of the loop, block by
  // block, on the workers; the pipeline is gone (its workers stopped and
  // joined) when the loop ends, however it ends.
  struct PipelineGone {
    std::unique_ptr<TDeflatePipeline>& pipeline;
    ~PipelineGone() { pipeline.reset(); }
  } gone{pipeline_};
  // A run that only stores (method store, or files of the never-compress
  // types) starts no workers.
  if (Workers() > 1 && std::any_of(entries_.items.begin(), entries_.items.end(), [this](const TZipEntry& e) {
        return e.action == kActCompress && LevelFor(e.name) != dtDeflateS;
      }))
    pipeline_ = std::make_unique<TDeflatePipeline>(
        Workers(), blockSize_, count,
        [this](int index, TDeflatePipeline::TWork& work) { return PlanEntry(index, work); });
  if (pipeline_) pipeline_->Fill();

  for (int i = 0; i < count; ++i) {
    if (cancel_) {
      pipeline_.reset();  // stops the workers now
      // What was not compressed yet stays out; what the old archive held stays in.
      for (int j = i; j < count; ++j) {
        TZipEntry& e = entries_.items[j];
        if (e.action == kActCompress) {
          if (e.fromOld) {
            RestoreOld(e);
          } else {
            e.action = kActDrop;
            if (e.replacesIndex >= 0) RestoreOld(entries_.items[e.replacesIndex]);
          }
        } else if (e.action == kActCopy) {
          LoadEntryToRun(e);
          CopyEntry(e);
        } else if (e.action == kActCopyRenamed) {
          LoadEntryToRun(e);
          CopyRenamedEntry(e);
        }
      }
      break;
    }
    TZipEntry& e = entries_.items[i];
    fileNumber_ = i + 1;
    curIndex_ = i;
    LoadEntryToRun(e);
    uint64_t before = OutputSize();
    switch (e.action) {
      case kActCompress: {
        uint32_t attr = GetLE32(e.central.data() + 38);
        if ((attr & platform::kAttrDirectory) && !storeEmptySubDirs_) {
          e.action = kActDrop;
          break;
        }
        std::string fullPath = e.name;
        if (CompressFile(e)) {
          ++filesCompressed_;
          if (switch_ == swMove && !(attr & platform::kAttrDirectory) && !verifyBeforeDelete_)
            toDelete_.push_back(fullPath);
          e.name = e.storedName;
          if (e.replacesIndex >= 0) {
            TZipEntry& old = entries_.items[e.replacesIndex];
            old.replaced = false;  // the replacement is in; the old entry is gone for good
          }
        } else {
          output_->Truncate(before);
          if (cancel_) {
            --fileNumber_;
            if (e.fromOld) {
              RestoreOld(e);
            } else {
              e.action = kActDrop;
              if (e.replacesIndex >= 0) RestoreOld(entries_.items[e.replacesIndex]);
            }
            // The later entries are settled at the top of the loop.
            continue;
          }
          if (e.fromOld) {
            RestoreOld(e);
          } else {
            e.action = kActDrop;
            if (e.replacesIndex >= 0) RestoreOld(entries_.items[e.replacesIndex]);
          }
        }
        break;
      }
      case kActCopy:
        CopyEntry(e);
        break;
      case kActDrop:
        if (e.replaced) break;  // settled when its replacement is written
        ++filesDeleted_;
        if (OnDeleteFile) OnDeleteFile(this, e.name, filesDeleted_, maxDrop);
        break;
      case kActCopyRenamed:
        CopyRenamedEntry(e);
        break;
    }
    if (pipeline_) pipeline_->Drop(i);
  }
}

void TCompBase::Finish() {
  bool cancelledDelete = cancel_ && switch_ == swDelete;
  if ((filesCompressed_ > 0 || filesDeleted_ > 0) && !cancelledDelete) {
    bool written = false;
    int remaining = 0;
    for (const TZipEntry& e : entries_.items)
      if (e.action != kActDrop) ++remaining;
    bool spanned = false;
    if (switch_ == swDelete && remaining == 0) {
      output_->Truncate(0);
      written = WriteEmptyEndRecord();
    } else {
      if (volume_->IsRemovable()) {
        spanned = true;
        oldArchive_.reset();
        TDiskSpanObj span(
            *this, entries_,
            [this](uint64_t offset, void* buffer, size_t count) {
              return output_->ReadAt(offset, buffer, count);
            },
            OutputSize());
        written = span.Execute();
        if (!written) filesCompressed_ = 0;
      } else {
        DoProgress(0, 0);
        written = WriteCentralDirectory();
        if (!written) ReportError(runArchive_, "", 25136);
      }
    }
    oldArchive_.reset();
    if (spanned) {
      output_->Discard();
    } else if (written) {
      CommitOutput();
    } else {
      // A directory that did not make it: the archive stays as it was.
      output_->Discard();
      filesCompressed_ = 0;
      filesDeleted_ = 0;
    }
    output_.reset();
    Deactivate();
    if (written && switch_ == swMove && platform::FileExists(runArchive_)) DeleteSources();
    if (OnElapsedTime) OnElapsedTime(this, timer_.ElapsedTime());
    return;
  }
  output_->Discard();
  output_.reset();
  oldArchive_.reset();
  if (cancelledDelete) {
    filesDeleted_ = 0;
    filesCompressed_ = 0;
  }
  Deactivate();
  if (OnElapsedTime) OnElapsedTime(this, timer_.ElapsedTime());
}

void TCompBase::Deactivate() {
  deactivated_ = true;
  if (OnDeactivate) OnDeactivate(this);
}

void TCompBase::DeleteSources() {
  int count = 0;
  const int maxCount = static_cast<int>(toDelete_.size());
  for (const std::string& path : toDelete_) {
    bool ok = deleteOptions_ == doAllowUndo ? platform::MoveToTrash(path) : platform::DeleteFile(path);
    if (ok) {
      ++count;
      if (OnDeleteFile) OnDeleteFile(this, path, count, maxCount);
    }
  }
  toDelete_.clear();
}

void TCompBase::CommitOutput() {
  struct TempGone {
    TRunOutput& out;
    ~TempGone() { out.Discard(); }
  } gone{*output_};

  TTempOutputHooks hooks;
  hooks.OnTmpFileMoveBegin = [this](const std::string& archive, const std::string& tempName) {
    if (OnTmpFileMoveBegin) OnTmpFileMoveBegin(this, archive, tempName);
  };
  hooks.OnTmpFileMoveEnd = [this] {
    if (OnTmpFileMoveEnd) OnTmpFileMoveEnd(this);
  };
  hooks.ReportError = [this](const std::string& fileName, const std::string& extendedMsg, int eCode) {
    ReportError(fileName, extendedMsg, eCode);
  };
  hooks.CurrentFileSize = &currentFileSize_;
  hooks.TotalBytes = &totalBytes_;
  hooks.Remaining = &remainingBytes_;
  hooks.ProgressEnabled = OnTmpFileProgress && OnProgress;
  const uint64_t size = output_->Size();
  auto progress = [this, size](TStream32& s) {
    const uint64_t pos = static_cast<uint64_t>(std::max<int64_t>(s.Position(), 0));
    DoProgress(Percent(pos, size), Percent(pos, size));
  };
  // Off the archive's drive the output is copied next to the archive first
  // and renamed over it, so a copy that fails half-way leaves the old archive
  // as it was. The copy runs to its end whatever the cancel flag says: it
  // holds the finished entries.
  bool replaced = false;
  try {
    replaced = output_->Release(hooks, progress);
  } catch (const std::exception&) {
    replaced = false;
  }
  if (!replaced) throw EWriteError(ErrorText(25136) + ": " + runArchive_);
}

// ---------------------------------------------------------------------------
// Temporary outputs

namespace {

// Hands the stream its hooks and releases it; the output is empty afterwards.
template <class S>
bool ReleaseStream(std::unique_ptr<S>& stream, const TTempOutputHooks& hooks,
                   std::function<void(TStream32&)> progress) {
  if (!stream) return false;
  std::unique_ptr<S> s = std::move(stream);
  s->Hooks = hooks;
  s->Progress = std::move(progress);
  return s->Release();
}

class TFileOutput : public TRunOutput {
 public:
  explicit TFileOutput(std::unique_ptr<TTempFileStream> stream)
      : stream_(std::move(stream)), name_(stream_->TempFileName()) {}
  bool WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (!stream_) return false;
    stream_->SetPosition(static_cast<int64_t>(offset));
    if (stream_->Write(data, static_cast<int64_t>(count)) != static_cast<int64_t>(count)) return false;
    size_ = std::max<uint64_t>(size_, offset + count);
    return true;
  }
  int64_t ReadAt(uint64_t offset, void* data, size_t count) override {
    if (!stream_) return -1;
    auto* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < count) {
      int64_t n = stream_->ReadAt(offset + done, p + done, count - done);
      if (n < 0) return -1;
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
  }
  uint64_t Size() const override { return size_; }
  bool Truncate(uint64_t size) override {
    if (!stream_) return false;
    try {
      stream_->SetSize(static_cast<int64_t>(size));
    } catch (const std::exception&) {
      return false;
    }
    size_ = size;
    return true;
  }
  const std::string& TempName() const override { return name_; }
  bool Release(const TTempOutputHooks& hooks, std::function<void(TStream32&)> progress) override {
    return ReleaseStream(stream_, hooks, std::move(progress));
  }
  void Discard() override { stream_.reset(); }

 private:
  std::unique_ptr<TTempFileStream> stream_;  // its destructor deletes an unreleased file
  std::string name_;
  uint64_t size_ = 0;
};

class TMemoryOutput : public TRunOutput {
 public:
  explicit TMemoryOutput(const std::string& archiveName)
      : stream_(std::make_unique<TTempMemStream>(archiveName)) {}
  bool WriteAt(uint64_t offset, const void* data, size_t count) override {
    if (!stream_) return false;
    const int64_t end = static_cast<int64_t>(offset + count);
    // Grown in doubling steps so a large archive is not copied per write.
    if (end > stream_->Capacity()) stream_->SetCapacity(std::max(end, stream_->Capacity() * 2));
    if (end > stream_->Size()) {
      const int64_t old = stream_->Size();
      stream_->SetSize(end);
      std::fill(stream_->Memory() + old, stream_->Memory() + end, uint8_t{0});
    }
    stream_->SetPosition(static_cast<int64_t>(offset));
    return stream_->Write(data, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
  }
  int64_t ReadAt(uint64_t offset, void* data, size_t count) override {
    if (!stream_) return -1;
    if (offset >= static_cast<uint64_t>(stream_->Size())) return 0;
    stream_->SetPosition(static_cast<int64_t>(offset));
    return stream_->Read(data, static_cast<int64_t>(count));
  }
  uint64_t Size() const override { return stream_ ? static_cast<uint64_t>(stream_->Size()) : 0; }
  bool Truncate(uint64_t size) override {
    if (!stream_) return false;
    const int64_t old = stream_->Size();
    stream_->SetSize(static_cast<int64_t>(size));
    if (static_cast<int64_t>(size) > old)
      std::fill(stream_->Memory() + old, stream_->Memory() + size, uint8_t{0});
    return true;
  }
  const std::string& TempName() const override { return name_; }
  bool Release(const TTempOutputHooks& hooks, std::function<void(TStream32&)> progress) override {
    return ReleaseStream(stream_, hooks, std::move(progress));
  }
  void Discard() override { stream_.reset(); }

 private:
  std::unique_ptr<TTempMemStream> stream_;
  std::string name_;
};

}  // namespace

std::unique_ptr<TRunOutput> TRunOutput::CreateFile(const std::string& archiveName,
                                                   const std::string& tempDir) {
  auto stream = std::make_unique<TTempFileStream>(archiveName, tempDir);
  if (!stream->Valid()) return nullptr;
  return std::make_unique<TFileOutput>(std::move(stream));
}

std::unique_ptr<TRunOutput> TRunOutput::CreateMemory(const std::string& archiveName) {
  return std::make_unique<TMemoryOutput>(archiveName);
}

// ---------------------------------------------------------------------------
// Per-file steps

namespace {

constexpr size_t kCopyChunk = 61440;
constexpr size_t kStoreChunk = 102400;

// Reads exactly `count` bytes at `offset`; false when the file is shorter.
bool ReadFull(platform::File& f, uint64_t offset, uint8_t* p, size_t count) {
  size_t done = 0;
  while (done < count) {
    int64_t n = f.ReadAt(offset + done, p + done, count - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

TDeflateType TCompBase::LevelFor(const std::string& path) const {
  if (compressMethod_ == cmStore) return dtDeflateS;
  std::string ext = ExtensionOf(path);
  if (!ext.empty()) {
    for (int i = 0; i < storeFilesOfType_.Count(); ++i)
      if (platform::CompareTextAscii(storeFilesOfType_[i], ext) == 0) return dtDeflateS;
  }
  return deflateType_;
}

bool TCompBase::PlanEntry(int index, TDeflatePipeline::TWork& work) const {
  if (index < 0 || index >= entries_.Count()) return false;
  const TZipEntry& e = entries_.items[static_cast<size_t>(index)];
  if (e.action != kActCompress || (GetLE32(e.central.data() + 38) & platform::kAttrDirectory)) return false;
  // Empty files are stored; files that were empty when found are left to the run.
  if (e.UnpackedSize() == 0) return false;
  const TDeflateType level = LevelFor(e.name);
  if (level == dtDeflateS) return false;
  if (output_ && !output_->TempName().empty() && platform::CompareTextAscii(e.name, output_->TempName()) == 0)
    return false;
  work.path = e.name;
  work.level = DeflateLevel(level);
  return true;
}

bool TCompBase::WritePlanned(TDeflatePlan& plan, platform::File& source, int64_t remainingAtStart,
                             const std::function<void(uint8_t*, size_t)>& emit, uint32_t& crc) {
  const bool progress = static_cast<bool>(OnProgress);
  // Source bytes of this entry the workers have deflated: the pieces written,
  // the one waited for and those still ahead.
  auto report = [&](uint64_t consumed) {
    remainingBytes_ = remainingAtStart - static_cast<int64_t>(consumed);
    if (progress)
      FileProgress(consumed);
    else
      Application().ProcessMessages();
  };
  uint64_t written = 0;
  crc = 0;
  while (std::shared_ptr<TDeflatePiece> piece = pipeline_->NextPiece(plan)) {
    auto idle = [&] {
      report(written + piece->consumed.load(std::memory_order_relaxed) + plan.PendingConsumed());
      return !cancel_;
    };
    if (!pipeline_->Wait(*piece, idle)) return false;
    const int state = piece->state.load();
    if (state == TDeflatePiece::kFailed && !piece->error.empty()) throw EStreamError(piece->error);
    if (state != TDeflatePiece::kDone) return false;  // the source came up short, or a stop
    report(written + piece->length + plan.PendingConsumed());
    if (cancel_) return false;
    if (cur_.size < 257 && piece->out.size() > cur_.size) {
      // A small source that deflate makes longer is stored.
      std::vector<uint8_t> in(static_cast<size_t>(cur_.size));
      if (!ReadFull(source, 0, in.data(), in.size()) || Crc32(in.data(), in.size()) != piece->crc)
        return false;
      cur_.method = 0;
      emit(in.data(), in.size());
    } else {
      emit(piece->out.data(), piece->out.size());
    }
    crc = Crc32Combine(crc, piece->crc, piece->length);
    written += piece->length;
    pipeline_->Release(plan, *piece);
  }
  return written == cur_.size && !cancel_;
}

bool TCompBase::RunFileSteps(TZipEntry& e) {
  cur_.fullPath = e.name;
  if (compressionMethod_ == cmTempFile && output_ && !output_->TempName().empty() &&
      platform::CompareTextAscii(e.name, output_->TempName()) == 0)
    return false;
  bool extract = true;
  if (OnBegin) OnBegin(this, e.name, fileNumber_, extract);
  if (!extract || cancel_) return false;

  cur_.storedName = e.storedName.empty() ? StoredName(e.name, rootDir_) : e.storedName;
  e.storedName = cur_.storedName;
  cur_.headerName = HeaderName(cur_.storedName, &cur_.utf8);
  cur_.unicodePath.clear();
  if (translateOemChar_) cur_.unicodePath = UnicodePathFor(cur_.headerName, cur_.storedName, cur_.utf8);
  cur_.pos = OutputSize();
  e.localOffset = cur_.pos;
  const bool folder = (cur_.attr & platform::kAttrDirectory) != 0;
  const uint32_t fileDate = cur_.dosDate;
  cur_.dosDate = EntryDosDate(fileDate);
  cur_.crc = 0;
  cur_.packed = 0;
  cur_.encrypted = false;

  // The header and name as they go to disk (enciphered for the header cipher).
  auto putHeader = [&]() {
    std::array<uint8_t, 30> head;
    std::copy_n(LocalHeaderTemplate(), 30, head.begin());
    std::string name = cur_.headerName;
    if (e.headerCipher) CipherLocalHeader(head.data(), name);
    return WriteOutputAt(cur_.pos, head.data(), 30) && WriteOutputAt(cur_.pos + 30, name.data(), name.size());
  };
  auto writeHeader = [&]() {
    FillLocalHeaderTemplate(e);
    if (!putHeader()) return false;
    return cur_.LocalExtraSize() == 0 || Write64BitExtension(e);
  };
  auto finishHeader = [&]() {
    CompleteLocalHeader(e);
    if (!putHeader()) return false;
    if (cur_.LocalExtraSize() != 0 && !Write64BitExtension(e)) return false;
    BuildNewCentral(e);
    uint8_t written[30];
    std::string noName;
    bool crcPass = output_->ReadAt(cur_.pos, written, 30) == 30;
    if (crcPass && e.headerCipher) CipherLocalHeader(written, noName);
    crcPass = crcPass && GetLE32(written + 14) == cur_.crc;
    DoOnEnd(cur_.storedName, crcPass);
    return true;
  };

  if (folder) {
    cur_.size = 0;
    cur_.method = 0;
    cur_.zip64 = false;
    currentFileSize_ = 0;
    if (!writeHeader()) throw EWriteError(ErrorText(25136));
    return finishHeader();
  }

  cur_.level = LevelFor(e.name);

  auto source = platform::File::Open(e.name, platform::Access::Read, platform::Share::Shared);
  int64_t sourceSize = source ? source->Size() : -1;
  if (!source || sourceSize < 0) {
    ReportError(e.name, "", 25235);
    return false;
  }
  cur_.size = static_cast<uint64_t>(sourceSize);
  cur_.method = cur_.size > 0 ? 8 : 0;
  cur_.encrypted = cur_.size > 0 && !password_.empty();
  // The local header has no offset field; only sizes that may not fit make
  // it carry the Zip64 block.
  cur_.zip64 = LocalNeedsZip64(cur_.size);
  currentFileSize_ = static_cast<int64_t>(cur_.size);
  if (!writeHeader()) throw EWriteError(ErrorText(25136));
  uint64_t dataPos = cur_.pos + kLocalHeaderSize + cur_.headerName.size() + cur_.LocalExtraSize();

  const bool progress = static_cast<bool>(OnProgress);
  const int64_t remainingAtStart = remainingBytes_;
  std::vector<uint8_t> chunk(std::min<uint64_t>(std::max<uint64_t>(cur_.size, 1), kStoreChunk));
  uint32_t crc = 0;  // finished; with encryption the one the pre-pass computed

  std::unique_ptr<TZipCrypto> crypt;
  if (cur_.encrypted) {
    // The CRC goes into the encryption header, so it is computed first.
    uint32_t reg = kCrc32Preset;
    uint64_t pos = 0;
    while (pos < cur_.size) {
      Application().ProcessMessages();
      if (cancel_) return false;
      size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, cur_.size - pos));
      if (!ReadFull(*source, pos, chunk.data(), n)) {
        ReportError(e.name, "", 25235);
        return false;
      }
      reg = UpdateCrc32(reg, chunk.data(), n);
      pos += n;
      remainingBytes_ = remainingAtStart - static_cast<int64_t>(pos);
      if (progress) FileProgress(pos);
      if (cancel_) return false;
    }
    remainingBytes_ = remainingAtStart;
    crc = reg ^ 0xFFFFFFFFu;
    crypt = std::make_unique<TZipCrypto>(password_);
    std::array<uint8_t, 11> seed;
    std::random_device rd;
    for (auto& b : seed) b = static_cast<uint8_t>(rd());
    std::array<uint8_t, 12> head = crypt->MakeHeader(seed, crc);
    if (!WriteOutputAt(dataPos, head.data(), head.size())) throw EWriteError(ErrorText(25136));
    dataPos += 12;
  }

  uint64_t outPos = dataPos;
  auto emit = [&](uint8_t* p, size_t n) {
    if (crypt) crypt->Encipher(p, n);
    if (!WriteOutputAt(outPos, p, n)) throw EWriteError(ErrorText(25136));
    outPos += n;
  };

  bool ok = true;
  bool stored = cur_.level == dtDeflateS || cur_.size == 0;
  // The finished CRC-32 of the bytes the data pass read. With encryption the
  // header already carries the pre-pass CRC, and the two must agree.
  uint32_t readCrc = 0;
  std::shared_ptr<TDeflatePlan> plan;
  if (!stored && pipeline_) {
    int64_t modified = 0;
    if (source->GetModifiedTime(modified))
      plan = pipeline_->Take(curIndex_, cur_.size, modified, DeflateLevel(cur_.level));
  }
  // Whatever way the entry ends, its plan stops and gives its budget back.
  struct PlanGone {
    TDeflatePipeline* pipeline;
    std::shared_ptr<TDeflatePlan>& plan;
    ~PlanGone() {
      if (plan && pipeline) pipeline->Drop(*plan);
    }
  } planGone{pipeline_.get(), plan};
  if (plan) {
    ok = WritePlanned(*plan, *source, remainingAtStart, emit, readCrc);
  } else if (!stored && cur_.size < 257) {
    // Small files: deflated in memory and stored when that does not pay.
    std::vector<uint8_t> in(static_cast<size_t>(cur_.size));
    if (!ReadFull(*source, 0, in.data(), in.size())) {
      ReportError(e.name, "", 25235);
      return false;
    }
    readCrc = Crc32(in.data(), in.size());
    size_t packed = 0;
    auto out = DeflateBuffer(in.data(), in.size(), DeflateLevel(cur_.level), packed);
    remainingBytes_ = remainingAtStart - static_cast<int64_t>(in.size());
    if (progress) FileProgress(in.size());
    if (cancel_) return false;
    if (packed > in.size()) {
      cur_.method = 0;
      emit(in.data(), in.size());
    } else {
      emit(out.get(), packed);
    }
  } else if (stored) {
    cur_.method = 0;
    uint32_t reg = kCrc32Preset;
    uint64_t pos = 0;
    chunk.resize(std::max<size_t>(chunk.size(), 1));
    while (pos < cur_.size) {
      Application().ProcessMessages();
      if (cancel_) {
        ok = false;
        break;
      }
      size_t n =
          static_cast<size_t>(std::min<uint64_t>(std::min(chunk.size(), kStoreChunk), cur_.size - pos));
      if (!ReadFull(*source, pos, chunk.data(), n)) {
        ok = false;
        break;
      }
      reg = UpdateCrc32(reg, chunk.data(), n);
      emit(chunk.data(), n);
      pos += n;
      remainingBytes_ = remainingAtStart - static_cast<int64_t>(pos);
      if (progress) FileProgress(pos);
      if (cancel_) {
        ok = false;
        break;
      }
    }
    if (pos != cur_.size) ok = false;
    readCrc = reg ^ 0xFFFFFFFFu;
  } else {
    TZarvoDeflater deflater(DeflateLevel(cur_.level));
    deflater.Sink = [&](uint8_t* p, size_t n) { emit(p, n); };
    deflater.Cancel = &cancel_;
    deflater.Remaining = &remainingBytes_;
    if (progress) deflater.OnProgress = [this](uint64_t totalIn) { FileProgress(totalIn); };
    std::vector<uint8_t> in(kCopyChunk);
    uint32_t reg = kCrc32Preset;
    uint64_t pos = 0;
    while (pos < cur_.size) {
      Application().ProcessMessages();
      if (cancel_) {
        ok = false;
        break;
      }
      size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, cur_.size - pos));
      if (!ReadFull(*source, pos, in.data(), n)) {
        ok = false;
        break;
      }
      reg = UpdateCrc32(reg, in.data(), n);
      pos += n;
      deflater.Write(in.data(), n);
    }
    if (cancel_) ok = false;
    if (ok) deflater.Finish();
    if (cancel_) ok = false;
    readCrc = reg ^ 0xFFFFFFFFu;
  }
  if (!ok) {
    // A file shorter than when it was measured, or a cancel.
    if (!cancel_) ReportError(e.name, "", 25235);
    return false;
  }
  if (crypt && readCrc != crc) {
    // The file changed between the two passes: its entry would fail its own
    // check (and the password check byte) in every reader.
    ReportError(e.name, "", 25235);
    return false;
  }
  if (!crypt) crc = readCrc;
  source.reset();

  cur_.crc = cur_.size == 0 ? 0 : crc;
  cur_.packed = outPos - dataPos + (cur_.encrypted ? 12 : 0);
  if (!cur_.zip64 && NeedsZip64(cur_.packed))
    throw EWriteError(ErrorText(E_WRITE) + ": " + runArchive_ + " (" + e.name + " outgrew 4 GiB)");
  return finishHeader();
}
