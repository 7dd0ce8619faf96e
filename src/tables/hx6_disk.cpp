#include "tables/hx6_disk.h"

#include "platform/error.h"
#include "platform/file.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_glbl.h"
#include "tables/hx6_tool.h"

// ---- lock protocols ----

void HxLockOffsets::SetProtocol(uint8_t protocol) {
  protocol_ = protocol;
  switch (protocol) {
    case 0:
    case 3:
      tableOffset_ = 0x40000000;
      recordBase_ = 0x7FFFFFFE;
      tableLength_ = 0x3FFFFFFF;
      break;
    case 1:
      tableOffset_ = 0x40000000;
      recordBase_ = 0xEFFFFFFF;
      tableLength_ = 0xB0000000;
      break;
    case 2:
      tableOffset_ = 1000000000;
      recordBase_ = 1000000000;
      tableLength_ = 1000000000;
      break;
    default:
      break;  // the values stay as they were
  }
}

bool HxLockOffsets::RecordLock(uint32_t recno, bool reverse, uint32_t headerLength, uint32_t recordLength,
                               HxLockRange& range) const {
  uint32_t offset;
  switch (protocol_) {
    case 0:
    case 3:
      offset = reverse ? recordBase_ - recno : headerLength + (recno - 1u) * recordLength + 0x40000000u;
      break;
    case 1:
      offset = recordBase_ - recno - 1u;
      break;
    case 2:
      offset = recordBase_ + recno;
      break;
    default:
      return false;
  }
  range = {offset, 1};
  return true;
}

bool HxLockOffsets::MemoLock(HxLockRange& range) const {
  switch (protocol_) {
    case 0:
    case 3:
      range = {uint32_t(recordBase_ - 1u), 1};
      return true;
    case 1:
      range = {uint32_t(recordBase_ - 1u), 2};
      return true;
    case 2:
      range = {recordBase_, 1};
      return true;
    default:
      return false;
  }
}

// ---- the lock wait ----

HxLockWaitPolicy& LockWaitPolicy() {
  static HxLockWaitPolicy policy;
  return policy;
}

bool WaitForLock(const std::function<bool()>& attempt) {
  const HxLockWaitPolicy& p = LockWaitPolicy();
  for (int i = 0; i < p.attempts; ++i) {
    if (attempt()) return true;
    HxSleep(p.intervalMs);
  }
  return false;
}

void LockRangeWithWait(HXO_DiskFile& file, uint64_t offset, uint64_t length) {
  if (file.LockRange(offset, length)) return;
  // A different range of our own is held: the counted lock cannot take a second one.
  bool ownOther = file.LockCount() > 0 && (file.LockOffset() != offset || file.LockLength() != length);
  if (!ownOther && WaitForLock([&] { return file.LockRange(offset, length); })) return;
  file.RaiseFileError(hxErrCannotLock);
}

// ---- HXO_DiskFile ----

HXO_DiskFile::HXO_DiskFile(const std::string& fileName, bool shared, bool readWrite)
    : fileName_(ExpandFileName(fileName)), shared_(shared), readWrite_(readWrite) {
  exists_ = platform::FileExists(fileName_);
}

HXO_DiskFile::~HXO_DiskFile() {
  // Never raises: the handle is dropped even when the unlock fails (closing the
  // handle releases its locks anyway).
  try {
    HXO_DiskFile::Close();
  } catch (...) {
    DropHandle();
  }
}

void HXO_DiskFile::RaiseFileError(int id) const { RaiseKeldorError(id, fileName_); }

void HXO_DiskFile::DropHandle() {
  if (auto* list = FileCollIfAny()) list->Extract(this);
  handle_.reset();
  position_ = 0;
  lockCount_ = 0;
}

void HXO_DiskFile::Close() {
  if (!handle_) return;
  if (lockCount_ > 0) {
    lockCount_ = 1;
    try {
      Unlock();
    } catch (...) {
      // The handle goes regardless; its locks go with it.
    }
  }
  DropHandle();
}

void HXO_DiskFile::ReleaseAtEngineEnd() {
  if (!handle_) return;
  if (lockCount_ > 0 && shared_) handle_->UnlockRange(lockOffset_, lockLength_);
  lockCount_ = 0;
  handle_.reset();
  position_ = 0;
}

int64_t HXO_DiskFile::FileSize() {
  if (!handle_) RaiseFileError(hxErrFileSize);
  int64_t size = handle_->Size();
  if (size < 0) RaiseFileError(hxErrFileSize);
  position_ = static_cast<uint64_t>(size);
  return size;
}

void HXO_DiskFile::Flush() {
  if (!handle_) return;
  if (!handle_->Flush()) RaiseFileError(hxErrFlush);
  written_ = false;
}

bool HXO_DiskFile::LockAll() {
  if (!shared_) return true;
  return LockRange(0, HxLockOffsets::kWholeFileLength);
}

bool HXO_DiskFile::LockRange(uint64_t offset, uint64_t length) {
  if (!shared_) {
    ++lockCount_;
    lockOffset_ = offset;
    lockLength_ = length;
    return true;
  }
  if (lockCount_ > 0) {
    if (offset != lockOffset_ || length != lockLength_) return false;
    ++lockCount_;
    return true;
  }
  if (!handle_ || !handle_->LockRange(offset, length)) return false;
  lockOffset_ = offset;
  lockLength_ = length;
  lockCount_ = 1;
  return true;
}

size_t HXO_DiskFile::ReadAt(uint64_t offset, void* buffer, size_t count) {
  if (!handle_) RaiseFileError(hxErrRead);
  int64_t n = handle_->ReadAt(offset, buffer, count);
  if (n < 0) RaiseFileError(hxErrRead);
  position_ = offset + count;
  lastCount_ = static_cast<size_t>(n);
  return lastCount_;
}

size_t HXO_DiskFile::WriteAt(uint64_t offset, const void* buffer, size_t count) {
  written_ = false;
  if (!handle_) RaiseFileError(hxErrWrite);
  int64_t n = handle_->WriteAt(offset, buffer, count);
  // A short write (disk full) is a failure, not a partial success.
  if (n < 0 || static_cast<size_t>(n) != count) RaiseFileError(hxErrWrite);
  position_ = offset + count;
  lastCount_ = static_cast<size_t>(n);
  written_ = true;
  return lastCount_;
}

void HXO_DiskFile::RenameTo(const std::string& newName) {
  const std::string oldName = fileName_;
  const bool wasOpen = handle_ != nullptr;
  Close();
  const std::string target = ExpandFileName(newName);
  if (!platform::MoveFile(oldName, target)) {
    // Keep the object usable under its old name before reporting.
    if (wasOpen) {
      try {
        Open();
      } catch (...) {
      }
    }
    RaiseKeldorError(hxErrRename, oldName);
  }
  fileName_ = target;
  exists_ = true;
  Open();
}

void HXO_DiskFile::Open() {
  if (handle_) return;
  if (!exists_) exists_ = platform::FileExists(fileName_);
  if (!exists_) RaiseFileError(hxErrFileNotFound);
  auto file = platform::File::Open(
      fileName_, readWrite_ ? platform::Access::ReadWrite : platform::Access::Read,
      shared_ ? platform::Share::Shared : platform::Share::Exclusive, platform::Disposition::OpenExisting);
  if (!file) {
    auto err = platform::LastError();
    if (err == platform::ErrorCode::FileNotFound || err == platform::ErrorCode::PathNotFound ||
        err == platform::ErrorCode::NotReady)
      RaiseFileError(hxErrFileNotFound);
    RaiseFileError(hxErrAccessDenied);
  }
  handle_ = std::move(file);
  position_ = 0;
  lockCount_ = 0;
  FileColl().Add(this);
}

void HXO_DiskFile::CreateNew() {
  Close();
  auto file = platform::File::Open(fileName_, platform::Access::ReadWrite, platform::Share::Exclusive,
                                   platform::Disposition::CreateAlways);
  if (!file) RaiseFileError(hxErrCreate);
  file.reset();
  exists_ = true;
  Open();
}

void HXO_DiskFile::EventHook(int, int, int) {}

void HXO_DiskFile::Truncate(uint64_t size) {
  if (!readWrite_ || !HasFullAccess()) RaiseKeldorError(hxErrFullAccess, "Truncate", fileName_);
  if (!handle_ || !handle_->Truncate(size)) RaiseFileError(hxErrTruncate);
}

bool HXO_DiskFile::Unlock() {
  if (lockCount_ <= 0) return true;
  if (shared_ && lockCount_ == 1) {
    if (!handle_ || !handle_->UnlockRange(lockOffset_, lockLength_)) RaiseFileError(hxErrUnlock);
  }
  --lockCount_;
  return true;
}

bool HXO_DiskFile::HasFullAccess() const {
  if (!shared_) return true;
  return lockCount_ > 0 && lockOffset_ == 0 && lockLength_ == HxLockOffsets::kWholeFileLength;
}
