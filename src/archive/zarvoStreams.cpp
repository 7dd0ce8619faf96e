#include "archive/zarvoStreams.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "archive/Err_Msgs.h"
#include "archive/zarvoDeflate.h"
#include "archive/zarvoFileIo.h"
#include "framework/application.h"
#include "framework/exceptions.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/signals.h"

// ---- TStream32 ----

int64_t TStream32::Size() {
  int64_t cur = Seek(0, soCurrent);
  int64_t end = Seek(0, soEnd);
  Seek(cur, soBeginning);
  return end;
}

void TStream32::SetSize(int64_t) { throw EWriteError("Stream size cannot be changed"); }

void TStream32::ReadBuffer(void* buffer, int64_t count) {
  if (count <= 0) return;
  if (Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream32::WriteBuffer(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream32::CopyFrom(TStream32& source, int64_t count) {
  return CopyChunked(source, count, kCopyChunk);
}

int64_t TStream32::CopyChunked(TStream32& source, int64_t count, size_t chunk) {
  if (count == kWholeStream) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count <= 0) return 0;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(chunk))));
  int64_t done = 0;
  while (done < count) {
    Application().ProcessMessages();
    if (Cancelled()) break;
    int64_t n = std::min<int64_t>(static_cast<int64_t>(chunk), count - done);
    source.ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    done += n;
  }
  return done;
}

// ---- THandleStream32 / TFileStream32 ----

THandleStream32::THandleStream32(platform::File* file) : file_(file) {}

int THandleStream32::Handle() const { return file_ ? file_->NativeHandle() : -1; }

int64_t THandleStream32::Read(void* buffer, int64_t count) {
  if (!file_ || count <= 0 || position_ < 0) return 0;
  int64_t n = file_->ReadAt(static_cast<uint64_t>(position_), buffer, static_cast<size_t>(count));
  if (n < 0) return 0;
  position_ += n;
  return n;
}

int64_t THandleStream32::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (!file_) return -1;
  return file_->ReadAt(offset, buffer, count);
}

int64_t THandleStream32::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  if (!file_ || position_ < 0) {
    writeFailed_ = true;
    return 0;
  }
  int64_t n = file_->WriteAt(static_cast<uint64_t>(position_), buffer, static_cast<size_t>(count));
  if (n != count) writeFailed_ = true;
  if (n < 0) return 0;
  position_ += n;
  return n;
}

int64_t THandleStream32::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == soCurrent) base = position_;
  if (origin == soEnd) {
    base = Size();
    if (base < 0) return -1;
  }
  int64_t target = base + offset;
  if (target < 0) return -1;
  position_ = target;
  return position_;
}

int64_t THandleStream32::Size() { return file_ ? file_->Size() : -1; }

void THandleStream32::SetSize(int64_t size) {
  if (!file_ || size < 0 || !file_->Truncate(static_cast<uint64_t>(size))) {
    writeFailed_ = true;
    throw EWriteError(platform::ErrorText(platform::LastError()));
  }
  if (position_ > size) position_ = size;
}

namespace {

std::unique_ptr<platform::File> OpenByMode(const std::string& name, uint16_t mode) {
  if (name.empty()) return nullptr;
  if (mode == fmCreate)
    return platform::File::Open(name, platform::Access::ReadWrite, platform::Share::Exclusive,
                                platform::Disposition::CreateAlways);
  platform::Access access = platform::Access::Read;
  if ((mode & 3) == fmOpenWrite) access = platform::Access::Write;
  if ((mode & 3) == fmOpenReadWrite) access = platform::Access::ReadWrite;
  unsigned share = mode & 0xF0;
  // Deny-write keeps writers out while the old archive is read; deny-read and
  // deny-none let every other opener in.
  platform::Share s = platform::Share::Exclusive;
  if (share == fmShareDenyWrite) s = platform::Share::DenyWrite;
  if (share == 0x30 || share == fmShareDenyNone) s = platform::Share::Shared;
  return platform::File::Open(name, access, s, platform::Disposition::OpenExisting);
}

}  // namespace

TFileStream32::TFileStream32(const std::string& fileName, uint16_t mode)
    : THandleStream32(nullptr), fileName_(fileName) {
  owned_ = OpenByMode(fileName, mode);
  file_ = owned_.get();
}

TFileStream32::~TFileStream32() = default;

void TFileStream32::Close() {
  owned_.reset();
  file_ = nullptr;
}

// ---- temporary outputs ----

std::string MakeTempFileName(const std::string& tempDir) {
  std::string folder;
  if (!tempDir.empty() && platform::DirectoryExists(tempDir))
    folder = zarvo::IncludeTrailingBackslash(tempDir);
  if (folder.empty()) {
    folder = platform::GetTempPath();
    if (!platform::DirectoryExists(folder) && !zarvo::ForceDirectories(folder)) return "";
  }
  return platform::GetTempFileName(folder, "zarvo");
}

namespace {

// Copies `source` (from 0, all of it) into a fresh temporary file in the
// archive's folder and renames that over the archive, so the archive is
// either the old file or the complete new one. The staging copy ignores the
// run's cancel flag: the run has already decided what to commit.
void ReplaceByCopy(TStream32& source, const std::string& archive) {
  std::string full = platform::GetFullPathName(archive);
  std::string folder = zarvo::ExtractFilePath(full);
  std::string stageName = platform::GetTempFileName(folder, "zarvo");
  if (stageName.empty()) throw EFOpenError(LoadErrorMsg(E_OPEN));
  struct Registered {
    int token;
    ~Registered() { platform::UnregisterTempFile(token); }
  } registered{platform::RegisterTempFile(stageName)};
  try {
    TFileStream32 stage(stageName, fmCreate);
    if (!stage.Valid()) throw EFOpenError(LoadErrorMsg(E_OPEN));
    int64_t size = source.Size();
    source.SetPosition(0);
    stage.CopyFrom(source, size);
    if (stage.WriteFailed()) throw EWriteError(LoadErrorMsg(E_WRITE));
    stage.Close();
    if (!platform::MoveFileReplace(stageName, full)) throw EFOpenError(LoadErrorMsg(E_OPEN));
  } catch (...) {
    platform::ErrorCode err = platform::LastError();
    platform::DeleteFile(stageName);
    platform::SetLastError(err);
    throw;
  }
}

void SetTotals(const TTempOutputHooks& h, int64_t size) {
  if (h.CurrentFileSize) *h.CurrentFileSize = size;
  if (h.TotalBytes) *h.TotalBytes = size;
  if (h.Remaining) *h.Remaining = size;
}

void ReportDiskFull(const TTempOutputHooks& h, const std::string& archive) {
  if (platform::LastError() == platform::ErrorCode::DiskFull && h.ReportError)
    h.ReportError(archive, "", E_DISKFULL);
}

}  // namespace

TTempFileStream::TTempFileStream(const std::string& archiveName, const std::string& tempDir, int deleteOption)
    : TFileStream32(MakeTempFileName(tempDir), fmCreate),
      archiveName_(archiveName),
      deleteOption_(deleteOption) {
  // A name was made but the file could not be opened: do not leave it behind.
  if (!Valid() && !fileName_.empty()) platform::DeleteFile(fileName_);
  if (Valid()) signalToken_ = platform::RegisterTempFile(fileName_);
}

TTempFileStream::~TTempFileStream() {
  if (!released_) Discard();
}

void TTempFileStream::Discard() {
  released_ = true;
  Close();
  if (!fileName_.empty()) platform::DeleteFile(fileName_);
  platform::UnregisterTempFile(signalToken_);
  signalToken_ = -1;
}

int64_t TTempFileStream::Read(void* buffer, int64_t count) {
  int64_t n = THandleStream32::Read(buffer, count);
  if (Hooks.Remaining) *Hooks.Remaining -= count;
  if (Hooks.ProgressEnabled && Progress) Progress(*this);
  return n;
}

int64_t TTempFileStream::CopyFromTemp(TStream32& source, int64_t count) {
  return CopyChunked(source, count, 100000);
}

bool TTempFileStream::Release() {
  if (released_) return false;
  if (!commit_ || writeFailed_ || !Valid()) {
    Discard();
    return false;
  }
  try {
    if (Hooks.OnTmpFileMoveBegin) Hooks.OnTmpFileMoveBegin(archiveName_, fileName_);
    if (zarvo::SameDrive(fileName_, platform::GetFullPathName(archiveName_))) {
      Close();
      if (!platform::MoveFileReplace(fileName_, archiveName_)) throw EFOpenError(LoadErrorMsg(E_OPEN));
    } else {
      int64_t size = Size();
      SetTotals(Hooks, size);
      ReplaceByCopy(*this, archiveName_);
    }
    if (Hooks.OnTmpFileMoveEnd) Hooks.OnTmpFileMoveEnd();
  } catch (...) {
    ReportDiskFull(Hooks, archiveName_);
    Discard();
    throw;
  }
  Discard();
  return true;
}

// ---- memory streams ----

void TCustomMemoryStream32::SetPointer(uint8_t* memory, int64_t size) {
  memory_ = memory;
  size_ = size;
}

int64_t TCustomMemoryStream32::Read(void* buffer, int64_t count) {
  if (count <= 0 || position_ >= size_) return 0;
  int64_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, memory_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TCustomMemoryStream32::Write(const void*, int64_t) { return 0; }

int64_t TCustomMemoryStream32::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : size_;
  if (base + offset < 0) return -1;
  position_ = base + offset;
  return position_;
}

TMemoryStream32::~TMemoryStream32() = default;

void TMemoryStream32::SetCapacity(int64_t capacity) {
  if (capacity <= 0) {
    block_.reset();
    capacity_ = 0;
    SetPointer(nullptr, 0);
    return;
  }
  int64_t rounded = (capacity + 8191) & ~static_cast<int64_t>(8191);
  if (rounded == capacity_) return;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[static_cast<size_t>(rounded)]);
  if (!block) throw EStreamError("Out of memory while expanding memory stream");
  int64_t keep = std::min(size_, rounded);
  if (keep > 0) std::memcpy(block.get(), memory_, static_cast<size_t>(keep));
  block_ = std::move(block);
  capacity_ = rounded;
  SetPointer(block_.get(), keep);
}

void TMemoryStream32::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Invalid stream size");
  if (size > capacity_) SetCapacity(size);
  size_ = size;
  if (position_ > size) position_ = size;
}

int64_t TMemoryStream32::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = position_ + count;
  if (end > capacity_) SetCapacity(end);
  std::memcpy(memory_ + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  if (end > size_) size_ = end;
  return count;
}

void TMemoryStream32::Clear() {
  SetCapacity(0);
  position_ = 0;
}

TTempMemStream::TTempMemStream(const std::string& archiveName, int deleteOption)
    : archiveName_(archiveName), deleteOption_(deleteOption) {}

int64_t TTempMemStream::Read(void* buffer, int64_t count) {
  int64_t n = TMemoryStream32::Read(buffer, count);
  if (Hooks.Remaining) *Hooks.Remaining -= count;
  if (Hooks.ProgressEnabled && Progress) Progress(*this);
  return n;
}

bool TTempMemStream::Release() {
  if (released_) return false;
  released_ = true;
  if (!commit_ || failed_) {
    Clear();
    return false;
  }
  try {
    if (Hooks.OnTmpFileMoveBegin) Hooks.OnTmpFileMoveBegin(archiveName_, "");
    SetTotals(Hooks, Size());
    ReplaceByCopy(*this, archiveName_);
    if (Hooks.OnTmpFileMoveEnd) Hooks.OnTmpFileMoveEnd();
  } catch (...) {
    ReportDiskFull(Hooks, archiveName_);
    Clear();
    throw;
  }
  Clear();
  return true;
}

// ---- filters ----

TCustomStream::TCustomStream(TStream32* target, int64_t* remaining)
    : target_(target), targetPos_(target ? target->Position() : 0), remaining_(remaining) {
  work_.resize(kWorkBufferSize);
}

int64_t TCustomStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (offset < INT32_MIN || offset > INT32_MAX) throw EStreamError("Range check error");
  if (offset == 0 && origin == soCurrent) return written_;
  return -1;
}

void TCustomStream::UpdateCrc(const void* data, size_t count) {
  if (cipher_) return;
  if (crcWidth_ == 16)
    crc_ = UpdateCrc16(static_cast<uint16_t>(crc_), data, count);
  else
    crc_ = UpdateCrc32(crc_, data, count);
}

void TCustomStream::Emit(const uint8_t* data, size_t count) {
  if (count == 0) return;
  if (target_) {
    if (target_->Position() != targetPos_) target_->SetPosition(targetPos_);
    if (cipher_) {
      for (size_t done = 0; done < count;) {
        size_t n = std::min(count - done, work_.size());
        std::memcpy(work_.data(), data + done, n);
        cipher_->Encipher(work_.data(), n);
        target_->WriteBuffer(work_.data(), static_cast<int64_t>(n));
        done += n;
      }
    } else {
      target_->WriteBuffer(data, static_cast<int64_t>(count));
    }
    targetPos_ += static_cast<int64_t>(count);
  }
  written_ += static_cast<int64_t>(count);
}

TCompressStream::TCompressStream(TStream32& target, int level, int windowBits, int64_t* remaining,
                                 const bool* cancel)
    : TCustomStream(&target, remaining) {
  CancelFlag = cancel;
  deflater_ = std::make_unique<TZarvoDeflater>(level, windowBits);
  deflater_->Cancel = cancel;
  deflater_->Remaining = remaining;
  deflater_->Sink = [this](uint8_t* p, size_t n) { Emit(p, n); };
  deflater_->OnProgress = [this](uint64_t) {
    if (Progress) Progress(*this);
  };
}

TCompressStream::~TCompressStream() = default;

int64_t TCompressStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  UpdateCrc(buffer, static_cast<size_t>(count));
  deflater_->Write(buffer, static_cast<size_t>(count));
  return count;
}

void TCompressStream::Release() { deflater_->Finish(); }

uint64_t TCompressStream::TotalIn() const { return deflater_->TotalIn(); }

TStoreStream::TStoreStream(TStream32& target, int crcWidth, int64_t* remaining, TStream32* source)
    : TCustomStream(&target, remaining), source_(source) {
  crcWidth_ = crcWidth == 16 ? 16 : 32;
  crc_ = crcWidth_ == 16 ? 0 : 0xFFFFFFFFu;
}

int64_t TStoreStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  UpdateCrc(buffer, static_cast<size_t>(count));
  Emit(static_cast<const uint8_t*>(buffer), static_cast<size_t>(count));
  if (remaining_) *remaining_ -= count;
  if (Progress && source_) Progress(*source_);
  return count;
}

int64_t TStoreStream::CopyFromStore(TStream32& source, int64_t count) {
  return CopyChunked(source, count, kStoreChunk);
}

TCalcStreamCRC::TCalcStreamCRC(TStream32& source, std::function<void(TStream32&)> progress,
                               const bool* cancel, int crcWidth, int64_t count, int64_t* remaining)
    : TCustomStream(nullptr, remaining), source_(source) {
  crcWidth_ = crcWidth == 16 ? 16 : 32;
  crc_ = crcWidth_ == 16 ? 0 : 0xFFFFFFFFu;
  Progress = std::move(progress);
  CancelFlag = cancel;
  int64_t want = count == kWholeStream ? source.Size() : count;
  int64_t copied = CopyChunked(source, count, kCopyChunk);
  complete_ = copied == want;
  source.SetPosition(0);
}

int64_t TCalcStreamCRC::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  UpdateCrc(buffer, static_cast<size_t>(count));
  written_ += count;
  if (Progress) {
    if (remaining_) *remaining_ -= count;
    Progress(source_);
  }
  return count;
}
