#include "archive/zarvoSpan.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "archive/zarvoZip.h"
#include "framework/application.h"
#include "platform/error.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"

using zarvo::GetLE16;
using zarvo::GetLE32;
using zarvo::PutLE16;
using zarvo::PutLE32;

namespace {

constexpr uint64_t kDiskReserve = 10000;
constexpr int kMaxPrompts = 1000;

std::string FolderOf(const std::string& path) {
  size_t p = path.find_last_of('\\');
  return p == std::string::npos ? std::string() : path.substr(0, p + 1);
}

}  // namespace

// ---------------------------------------------------------------------------
// TDiskCommon / TDiskManager

std::string TDiskCommon::RootOf(const std::string& path) {
  if (path.rfind("\\\\", 0) == 0) {
    size_t server = path.find('\\', 2);
    if (server == std::string::npos) return path + "\\";
    size_t share = path.find('\\', server + 1);
    return share == std::string::npos ? path + "\\" : path.substr(0, share + 1);
  }
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2) + "\\";
  std::string cur = platform::GetCurrentDirectory();
  if (cur.size() >= 2 && cur[1] == ':') return cur.substr(0, 2) + "\\";
  return RootOf(cur + "\\");
}

bool TDiskManager::DriveReady() {
  uint64_t freeBytes = 0, totalBytes = 0;
  return platform::GetDiskFreeSpace(DriveRoot, freeBytes, totalBytes);
}

bool TDiskManager::WriteProtected() {
  // The probe goes where the archive will be written when that folder exists
  // (on the host a drive's root may be no place for files at all).
  std::string folder =
      probeFolder_.empty() || !platform::DirectoryExists(probeFolder_) ? DriveRoot : probeFolder_;
  std::string probe = platform::GetTempFileName(folder, "zarvo");
  if (probe.empty()) return platform::LastError() == platform::ErrorCode::AccessDenied;
  if (platform::FileExists(probe) && !platform::DeleteFile(probe)) return true;
  return false;
}

bool TDiskManager::CheckVolume(const std::string& path) {
  DriveRoot = RootOf(path);
  bool hasFolder = path.find('\\') != std::string::npos || (path.size() > 1 && path[1] == ':');
  probeFolder_ = hasFolder ? FolderOf(path) : std::string();

  while (!DriveReady()) {
    if (owner_.OnDiskInDrvErr) {
      bool abort = true;
      owner_.OnDiskInDrvErr(&owner_, abort);
      if (!abort) continue;
      owner_.ReportError(path, "", 25443);
      return false;
    }
    owner_.ReportError(path, "", 25170);
    return false;
  }
  while (WriteProtected()) {
    if (owner_.OnDiskWriteProtectErr) {
      bool abort = true;
      owner_.OnDiskWriteProtectErr(&owner_, abort);
      if (!abort) continue;
      owner_.ReportError(path, "", 25443);
      return false;
    }
    owner_.ReportError(path, "", 25171);
    return false;
  }
  for (;;) {
    platform::VolumeInfo info;
    if (platform::GetVolumeInfo(DriveRoot, info)) {
      DriveType = info.type;
      VolumeLabel = info.label;
      SerialNumber = info.serial;
      FileSystem = info.fileSystem;
      FreeSpace = info.freeBytes;
      TotalSpace = info.totalBytes;
      break;
    }
    if (info.type == platform::DriveType::NoRootDir) {
      owner_.ReportError(path, "", 25170);
      return false;
    }
    std::string text = platform::AnsiUpperCase(DriveRoot) + TZipCommon::ErrorText(25170) + "\r\n\r\n" +
                       platform::ErrorText(platform::LastError());
    // Without anyone to answer, retrying would never end.
    int answer = Application().Handler()
                     ? Application().MessageBox(text, Application().Title(), MB_RETRYCANCEL | MB_ICONERROR)
                     : IDCANCEL;
    if (answer != IDRETRY) {
      owner_.ReportError(path, "", 25170);
      return false;
    }
  }
  if (DriveType == platform::DriveType::NoRootDir) {
    owner_.ReportError(path, "", 25170);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// TDiskSpanObj

TDiskSpanObj::TDiskSpanObj(TZipCommon& owner, TZipEntries& entries, SourceReader source, uint64_t sourceSize)
    : owner_(owner), entries_(entries), source_(std::move(source)), sourceSize_(sourceSize) {}

TDiskSpanObj::~TDiskSpanObj() = default;

bool TDiskSpanObj::CheckVolume() {
  TDiskManager manager(owner_);
  if (!manager.CheckVolume(diskFile_)) return false;
  DriveRoot = manager.DriveRoot;
  DriveType = manager.DriveType;
  VolumeLabel = manager.VolumeLabel;
  SerialNumber = manager.SerialNumber;
  FileSystem = manager.FileSystem;
  FreeSpace = manager.FreeSpace;
  TotalSpace = manager.TotalSpace;
  return true;
}

bool TDiskSpanObj::PrepareDisk(bool first) {
  const auto* comp = dynamic_cast<const TCompBase*>(&owner_);
  const uint64_t leave = comp ? static_cast<uint64_t>(std::max(0, comp->LeaveSpaceOnFirstDisk())) : 0;
  if (first) {
    diskNumber_ = 1;
    reserve_ = leave + kDiskReserve;
  } else {
    disk_.reset();
    ++diskNumber_;
    reserve_ = kDiskReserve;
  }
  diskFile_ = owner_.ArchiveFile();
  const std::string number = std::to_string(diskNumber_);
  if (!owner_.OnInsertDisk) {
    owner_.ReportError(diskFile_, "OnInsertDisk", 25270, number);
    return false;
  }

  bool prompt = true;
  if (CheckVolume() && !platform::FileExists(diskFile_) && FreeSpace >= reserve_ &&
      !(havePreviousSerial_ && SerialNumber == previousSerial_))
    prompt = false;

  bool ready = !prompt;
  for (int attempt = 0; !ready && attempt < kMaxPrompts; ++attempt) {
    bool cancel = true;
    owner_.OnInsertDisk(&owner_, number, cancel);
    if (cancel) return false;
    if (!CheckVolume()) return false;
    // The disk just written is refused before anything on it is touched.
    if (havePreviousSerial_ && SerialNumber == previousSerial_) continue;

    if (platform::FileExists(diskFile_)) {
      TOverwriteMode mode = omOverwrite;
      if (owner_.OnDiskSpanFileExists) {
        platform::FileInfo info;
        uint32_t date =
            platform::GetFileInfo(diskFile_, info) ? platform::UnixToDosDateTime(info.modified) : 0;
        owner_.OnDiskSpanFileExists(&owner_, diskFile_, date, mode);
      } else {
        owner_.ReportError(diskFile_, "OnFileExists", 25270, number);
      }
      overwrite_ = mode;
      if (mode == omSkip) {
        owner_.SetCancel(true);
        return false;
      }
      bool trash = comp && comp->DeleteOptions() == doAllowUndo;
      if (!(trash ? platform::MoveToTrash(diskFile_) : platform::DeleteFile(diskFile_)))
        platform::DeleteFile(diskFile_);
      if (!CheckVolume()) return false;
    }
    if (FreeSpace < TotalSpace) {
      if (owner_.OnClearDisk) {
        for (int round = 0; FreeSpace <= reserve_ && round < kMaxPrompts; ++round) {
          bool stop = true;
          owner_.OnClearDisk(&owner_, DriveRoot, static_cast<int64_t>(reserve_),
                             static_cast<int64_t>(FreeSpace), static_cast<int64_t>(TotalSpace), stop);
          if (stop) return false;
          if (!CheckVolume()) return false;
        }
      } else if (FreeSpace <= reserve_) {
        owner_.ReportError(diskFile_, "OnClearDisk", 25270, number);
        return false;
      }
    }
    ready = FreeSpace >= reserve_;
  }
  if (!ready) return false;

  disk_ = platform::File::Open(diskFile_, platform::Access::ReadWrite, platform::Share::Exclusive,
                               platform::Disposition::CreateAlways);
  if (!disk_) {
    owner_.ReportError(diskFile_, "", 25235, number);
    return false;
  }
  char label[32];
  std::snprintf(label, sizeof label, "PKBACK# %.3d", diskNumber_);
  if (VolumeLabel != label && !platform::SetVolumeLabel(DriveRoot, label)) {
    owner_.ReportError(label, "", 25154, number);
    return false;
  }
  if (!CheckVolume()) return false;
  previousSerial_ = SerialNumber;
  havePreviousSerial_ = true;
  diskPos_ = 0;
  diskFree_ = FreeSpace;
  if (first) diskFree_ = diskFree_ > leave ? diskFree_ - leave : 0;
  return true;
}

bool TDiskSpanObj::WriteSpanned(const uint8_t* data, size_t count) {
  while (count > 0) {
    if (diskFree_ == 0 && !PrepareDisk(false)) return false;
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, diskFree_));
    if (!disk_ || disk_->WriteAt(diskPos_, data, n) != static_cast<int64_t>(n)) {
      owner_.ReportError(diskFile_, "", 25136, std::to_string(diskNumber_));
      return false;
    }
    diskPos_ += n;
    diskFree_ -= n;
    data += n;
    count -= n;
  }
  return true;
}

bool TDiskSpanObj::CopySpanned(uint64_t offset, uint64_t count) {
  std::vector<uint8_t> buf(61440);
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), count));
    if (source_(offset, buf.data(), n) != static_cast<int64_t>(n)) return false;
    if (!WriteSpanned(buf.data(), n)) return false;
    offset += n;
    count -= n;
  }
  return true;
}

bool TDiskSpanObj::Execute() {
  owner_.DoProgress(0, 0);
  if (!PrepareDisk(true)) return false;
  if (sourceSize_ + kDiskReserve > diskFree_) {
    uint8_t marker[4];
    PutLE32(marker, kSpanMarker);
    if (!WriteSpanned(marker, 4)) return false;
  }

  int total = 0;
  for (const TZipEntry& e : entries_.items)
    if (e.action != kActDrop) ++total;
  int done = 0;
  uint16_t entryCount = 0;
  for (TZipEntry& e : entries_.items) {
    if (e.action == kActDrop) continue;
    if (owner_.Cancel()) return false;
    uint32_t csig = GetLE32(e.central.data());
    if (csig != kCentralSig && csig != kCentralSigL) return false;
    uint8_t h[30];
    if (e.localOffset + 30 > sourceSize_ || source_(e.localOffset, h, 30) != 30) return false;
    uint32_t lsig = GetLE32(h);
    if (lsig != kLocalSig && lsig != kLocalSigL) return false;
    if (lsig == kLocalSigL) HeaderCipher(h + 4, 26);
    const uint64_t headLen = 30ull + GetLE16(h + 26) + GetLE16(h + 28);
    // The entry's bytes in the output, data descriptor included.
    const uint64_t length = e.span;
    if (length < headLen || e.localOffset + length > sourceSize_) return false;
    // A local header is never split between two disks.
    if (diskFree_ < headLen && !PrepareDisk(false)) return false;
    ++entryCount;
    PutLE16(&e.central[34], static_cast<uint16_t>(diskNumber_ - 1));
    PutLE32(&e.central[42], static_cast<uint32_t>(diskPos_));
    if (!CopySpanned(e.localOffset, length)) return false;
    ++done;
    uint8_t pct = TZipCommon::Percent(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
    owner_.DoProgress(pct, pct);
  }

  // The central directory, starting on the current disk.
  auto* comp = dynamic_cast<TCompBase*>(&owner_);
  auto* zip = dynamic_cast<TZip*>(&owner_);
  if (diskFree_ == 0 && !PrepareDisk(false)) return false;
  const uint64_t dirOffset = diskPos_;
  const uint16_t dirDisk = static_cast<uint16_t>(diskNumber_ - 1);
  uint64_t dirSize = 0;
  for (TZipEntry& e : entries_.items) {
    if (e.action == kActDrop) continue;
    std::vector<uint8_t> rec;
    if (zip) {
      rec = zip->CentralEntryForDisk(e, GetLE32(&e.central[42]));
    } else {
      std::string name = !e.rawName.empty() ? e.rawName : (comp ? comp->HeaderNameOf(e.name) : e.name);
      rec = EncodeCentralEntry(e.central, name, e.extra, e.comment, e.headerCipher, e.PackedSize(),
                               e.UnpackedSize(), GetLE32(&e.central[42]), e.zip64Mask);
    }
    if (!WriteSpanned(rec.data(), rec.size())) return false;
    dirSize += rec.size();
  }
  uint8_t end[22] = {};
  // The end record stays in one piece on the last disk.
  if (diskFree_ < 22 && !PrepareDisk(false)) return false;
  PutLE32(end, kEndSig);
  PutLE16(end + 4, static_cast<uint16_t>(diskNumber_ - 1));
  PutLE16(end + 6, dirDisk);
  PutLE16(end + 8, entryCount);
  PutLE16(end + 10, entryCount);
  PutLE32(end + 12, static_cast<uint32_t>(dirSize));
  PutLE32(end + 16, static_cast<uint32_t>(dirOffset));
  PutLE16(end + 20, 0);
  bool ok = WriteSpanned(end, 22);
  if (disk_) disk_->Flush();
  disk_.reset();
  return ok;
}
