#include "tables/hx6_dbf.h"

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "platform/system.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_encrxm.h"
#include "tables/hx6_tool.h"

bool IsKnownDbfVersion(uint8_t version) {
  switch (version) {
    case 0x03:
    case 0x04:
    case 0x30:
    case 0x83:
    case 0x8B:
    case 0xF5:
      return true;
    default:
      return false;
  }
}

namespace {

// Bytes a field takes in the record: C fields use both width bytes.
uint32_t DescriptorLength(const uint8_t* d) {
  return d[11] == 'C' ? uint32_t{d[16]} + 256u * d[17] : uint32_t{d[16]};
}

// A type letter as the formats write them: a letter or a digit ('0' is
// Visual FoxPro's _NullFlags); dBase 7 adds '+' (autoincrement) and '@'
// (timestamp).
bool IsTypeByte(uint8_t b, bool dbase7) {
  return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
         (dbase7 && (b == '+' || b == '@'));
}

uint32_t PackedTime(const platform::LocalTime& t) {
  return ((static_cast<uint32_t>(t.hour) * 64 + static_cast<uint32_t>(t.minute)) * 64 +
          static_cast<uint32_t>(t.second)) *
             1024 +
         static_cast<uint32_t>(t.millisecond);
}

}  // namespace

// ---- opening and closing ----

HXO_dBaseDBF::HXO_dBaseDBF(const std::string& fileName, bool shared, bool readWrite,
                           const std::string& password)
    : HXO_DiskFile(DefaultExtension(HxTrim(fileName), ".DBF"), shared, readWrite) {
  if (!Exists()) RaiseFileError(hxErrFileNotFound);
  readPassword_ = password;
  writePassword_ = password;
  alias_ = HxUpperCase(BaseFileName(FileName()));
  lock_.SetProtocol(static_cast<uint8_t>(ThxLokProtocol::Default));
  Open();
  ReadStructure();
  RefreshHeader();
  StatusUpdate(kStatusOpened, 0);
}

void HXO_dBaseDBF::ReadStructure() {
  // Nothing read from the file is used before it is checked against the file size.
  if (ReadAt(0, header_, kDbfHeaderSize) < kDbfHeaderSize) RaiseFileError(hxErrRead);
  const uint8_t version = header_[0];
  if (!IsKnownDbfVersion(version)) RaiseFileError(hxErrTableHeaderInvalid);

  headerLength_ = GetLE16(header_ + 8);
  recordLength_ = GetLE16(header_ + 10);
  flagBits_ = header_[28] & 7;
  changeStamp_ = GetLE32(header_ + 16);
  encrypted_ = header_[15] != 0;
  if (encrypted_ && readPassword_.empty()) RaiseKeldorError(hxErrNoPassword, FileName());
  if (!readPassword_.empty() && !encrypted_) RaiseKeldorError(hxErrPasswordForPlainFile, FileName());

  const uint32_t fixedPart = version == 0x30 ? kDbfFixedPart30 : kDbfFixedPart;
  if (recordLength_ == 0 || headerLength_ < fixedPart) RaiseFileError(hxErrTableHeaderInvalid);

  // The descriptor area: header length less the fixed part, from offset 32.
  const uint32_t area = headerLength_ - fixedPart;
  descriptors_.assign(area, 0);
  if (area > 0 && ReadAt(kDbfHeaderSize, descriptors_.data(), area) < area) RaiseFileError(hxErrRead);
  const int64_t size = FileSize();
  if (static_cast<int64_t>(headerLength_) > size) RaiseFileError(hxErrTableHeaderInvalid);
  recordCount_ = CountFromSize(size);

  if (encrypted_) Transform(readPassword_, descriptors_.data(), descriptors_.data(), area, 0);

  std::vector<uint8_t> parsed;
  longNames_.clear();
  dbase7_ = false;
  const DescriptorCheck plain = ParseDescriptors(descriptors_.data(), area, false, parsed, longNames_);
  if (encrypted_) {
    // A wrong password deciphers the descriptors into noise whose types and
    // widths do not add up.
    if (plain != DescriptorCheck::Exact) RaiseKeldorError(hxErrInvalidPassword);
  } else if (plain == DescriptorCheck::Invalid) {
    // dBase 7 writes version 0x04 too, with a 68-byte header and 48-byte
    // descriptors; read as 32-byte descriptors its language-driver name
    // would give a field of type NUL.
    std::vector<uint8_t> all(headerLength_ - kDbfHeaderSize, 0);
    if (version == 0x04 && headerLength_ > kDb7HeaderSize &&
        ReadAt(kDbfHeaderSize, all.data(), all.size()) == all.size() &&
        ParseDescriptors(all.data() + (kDb7HeaderSize - kDbfHeaderSize),
                         all.size() - (kDb7HeaderSize - kDbfHeaderSize), true, parsed,
                         longNames_) == DescriptorCheck::Exact) {
      dbase7_ = true;
    } else {
      RaiseFileError(hxErrTableHeaderInvalid);
    }
  }
  descriptors_ = std::move(parsed);
  fieldCount_ = static_cast<int>(descriptors_.size() / kDbfDescriptorSize);

  hasMemo_ = version == 0x83 || version == 0x8B || version == 0xF5 || (version == 0x30 && (flagBits_ & 2));
  if (version == 0x30 && !hasMemo_) {
    // Some writers leave flag bit 1 clear although the table has memo fields
    // and an .fpt beside it; the memo file must still follow a flush or a
    // rename, or its texts would be cut off from the table.
    bool memoField = false;
    for (int i = 1; i <= fieldCount_; ++i)
      memoField = memoField || Descriptor(i)[11] == 'M' || Descriptor(i)[11] == 'G';
    hasMemo_ = memoField && platform::FileExists(ChangeFileExt(FileName(), ".fpt"));
  }

  ownRecord_.assign(recordLength_ + 1, ' ');
  ownRecord_[recordLength_] = kDbfEndOfFile;
  record_ = ownRecord_.data();
  saved_.assign(recordLength_ + 1, ' ');
  scratch_.assign(recordLength_ + 1, ' ');
  changed_.assign(static_cast<size_t>(fieldCount_) + 1, 0);
  recNo_ = 0;
  bof_ = true;
  eof_ = false;
  tableState_ = kTableStateOpen;
  headerDirty_ = recordChanged_ = changedByOthers_ = tableLocked_ = false;
}

HXO_dBaseDBF::DescriptorCheck HXO_dBaseDBF::ParseDescriptors(const uint8_t* area, size_t size, bool dbase7,
                                                             std::vector<uint8_t>& out,
                                                             std::vector<std::string>& names) const {
  // Descriptors end at the 0x0D terminator: other programs leave a 263-byte
  // area after it in tables of any version, and counting from the header
  // length alone would invent empty fields there.
  const size_t step = dbase7 ? kDb7DescriptorSize : kDbfDescriptorSize;
  out.clear();
  names.clear();
  uint64_t used = 1;
  for (size_t at = 0; at + step <= size && area[at] != kDbfTerminator; at += step) {
    const uint8_t* d = area + at;
    uint8_t image[kDbfDescriptorSize] = {};
    if (dbase7) {
      // name 32, type, width, decimals, 2 reserved, MDX flag, 2 reserved,
      // next autoincrement value 4, 4 reserved
      const char* raw = reinterpret_cast<const char*>(d);
      names.emplace_back(raw, strnlen(raw, 32));
      std::memcpy(image, d, std::min<size_t>(names.back().size(), 11));
      image[11] = d[32];
      image[16] = d[33];
      image[17] = d[34];
      image[31] = d[37];
    } else {
      std::memcpy(image, d, kDbfDescriptorSize);
    }
    // A width of 0 or a type that is no letter is not a field: such a
    // header only looks valid, and its "fields" would read as garbage.
    if (!IsTypeByte(image[11], dbase7)) return DescriptorCheck::Invalid;
    const uint32_t length = DescriptorLength(image);
    if (length == 0) return DescriptorCheck::Invalid;
    used += length;
    out.insert(out.end(), image, image + kDbfDescriptorSize);
  }
  if (used > recordLength_) return DescriptorCheck::Invalid;
  return used == recordLength_ ? DescriptorCheck::Exact : DescriptorCheck::Fits;
}

HXO_dBaseDBF::~HXO_dBaseDBF() {
  try {
    CloseTable();
  } catch (...) {
    // A destructor cannot report; the handle is closed by the base below.
  }
}

void HXO_dBaseDBF::CloseTable() {
  if (!Closed() && headerDirty_) {
    if (tableLocked_) {
      // Our own table lock still covers the header: the count is safe to write.
      tableLocked_ = false;
      RefreshHeader();
      WriteHeader();
    } else {
      WriteHeaderUnlocked();
    }
  }
  memo_.reset();
  Close();
}

// ---- header ----

int64_t HXO_dBaseDBF::CountFromSize(int64_t size) {
  if (size <= static_cast<int64_t>(headerLength_)) return 0;
  int64_t count = (size - headerLength_) / recordLength_;
  // With one-byte records (a table without fields) the end mark would count
  // as a record of its own.
  if (recordLength_ == 1 && count > 0) {
    uint8_t last = 0;
    if (ReadAt(static_cast<uint64_t>(size - 1), &last, 1) == 1 && last == kDbfEndOfFile) --count;
  }
  return count;
}

void HXO_dBaseDBF::RefreshHeader() {
  if (!Shared()) {
    changedByOthers_ = false;
    return;
  }
  uint8_t h[kDbfHeaderSize];
  if (ReadAt(0, h, kDbfHeaderSize) < kDbfHeaderSize) RaiseFileError(hxErrRead);
  const int64_t size = FileSize();
  const int64_t count = CountFromSize(size);
  const uint32_t stamp = GetLE32(h + 16);
  changedByOthers_ = count != recordCount_ || stamp != changeStamp_;
  recordCount_ = count;
  changeStamp_ = stamp;
  // The structure of an open table does not change: keep our lengths.
  std::memcpy(header_, h, kDbfHeaderSize);
  PutLE16(header_ + 8, static_cast<uint16_t>(headerLength_));
  PutLE16(header_ + 10, static_cast<uint16_t>(recordLength_));
}

void HXO_dBaseDBF::WriteHeader() { WriteHeader(true); }

void HXO_dBaseDBF::WriteHeader(bool withCount) {
  if (!ReadWrite() || !headerDirty_ || tableLocked_) return;
  const platform::LocalTime now = platform::Now();
  // Other openers see a change by a different stamp: two updates within one
  // millisecond must not leave the same stamp behind.
  const uint32_t stamp = PackedTime(now);
  changeStamp_ = stamp == changeStamp_ ? stamp + 1 : stamp;
  header_[1] = static_cast<uint8_t>(now.year % 100);
  header_[2] = static_cast<uint8_t>(now.month);
  header_[3] = static_cast<uint8_t>(now.day);
  PutLE32(header_ + 4, static_cast<uint32_t>(recordCount_));
  header_[28] = flagBits_ & 7;
  PutLE32(header_ + 16, changeStamp_);
  header_[15] = encrypted_ ? 1 : 0;
  PutLE32(header_ + 20, userId_);
  if (withCount) {
    WriteAt(0, header_, kDbfHeaderSize);
  } else {
    WriteAt(0, header_, 4);
    WriteAt(8, header_ + 8, kDbfHeaderSize - 8);
  }
  headerDirty_ = false;
}

void HXO_dBaseDBF::WriteHeaderUnlocked() {
  if (!Shared() || tableLocked_) {
    RefreshHeader();
    WriteHeader();
    return;
  }
  // The record count is rewritten only under the table lock, which also
  // keeps appenders out (their byte lies inside its range): between our look
  // at the file size and our write another process could append, and the
  // count written would undo its record. The lock is taken directly, not
  // through LockTable, which a table handler may give a policy of its own.
  const HxLockRange range = lock_.TableLock();
  if (LockRange(range.offset, range.length)) {
    try {
      RefreshHeader();
      WriteHeader();
    } catch (...) {
      Unlock();
      throw;
    }
    Unlock();
    return;
  }
  // Without it (another process, or our own record lock, holds part of the
  // range) everything but the count is written: the date, the stamp that
  // tells the others of the change, the user.
  RefreshHeader();
  WriteHeader(false);
}

void HXO_dBaseDBF::SetStructuralIndex(bool on) {
  flagBits_ = static_cast<uint8_t>(on ? (flagBits_ | 1) : (flagBits_ & ~1));
  headerDirty_ = true;
}

void HXO_dBaseDBF::ClearFieldChanged() { std::fill(changed_.begin(), changed_.end(), 0); }

// ---- records ----

void HXO_dBaseDBF::StatusUpdate(int code, int64_t) {
  if (code == kStatusAfterRead || code == kStatusAfterWrite) {
    recordChanged_ = false;
    if (tableState_ != kTableStateKeep) tableState_ = kTableStateOpen;
  }
}

void HXO_dBaseDBF::GetRecord(int64_t code) {
  if (recordCount_ == 0) RefreshHeader();
  if (recordCount_ == 0) {
    bof_ = eof_ = true;
    return;
  }
  if (code == 0) return;
  bof_ = eof_ = false;
  int64_t target = 0;
  switch (code) {
    case kGetCurrent:
      target = recNo_;
      break;
    case kGetLast:
      target = recordCount_;
      break;
    case kGetFirst:
      target = 1;
      break;
    case kGetPrevious:
      if (recNo_ <= 1) {
        bof_ = true;
        return;
      }
      target = recNo_ - 1;
      break;
    case kGetNext:
      target = recNo_ + 1;
      break;
    default:
      if (code < 0) RaiseKeldorError(hxErrRecordNotInTable, code, FileName());
      target = code;
  }
  // Re-reading before the first record was read: there is nothing to re-read.
  if (target < 1) {
    bof_ = true;
    return;
  }
  if (target > recordCount_) {
    RefreshHeader();  // another process may have appended
    if (target > recordCount_ + 1) RaiseKeldorError(hxErrRecordNotInTable, target, FileName());
    if (target == recordCount_ + 1) {
      eof_ = true;
      return;
    }
  }
  StatusUpdate(kStatusBeforeRead, code);
  ReadRecordInto(target, record_);
  recNo_ = target;
  StatusUpdate(kStatusAfterRead, target);
  std::memcpy(saved_.data(), record_, recordLength_);
}

void HXO_dBaseDBF::ReadRecordInto(int64_t recno, uint8_t* buffer) {
  if (ReadAt(RecordOffset(recno), buffer, recordLength_) < recordLength_) RaiseFileError(hxErrRead);
  if (encrypted_) Transform(readPassword_, buffer, buffer, recordLength_, 0);
}

void HXO_dBaseDBF::WriteRecordBytes(int64_t recno, const uint8_t* buffer, size_t count) {
  const uint8_t* out = buffer;
  if (encrypted_) {
    Transform(writePassword_, buffer, scratch_.data(), recordLength_, 1);
    if (count > recordLength_) scratch_[recordLength_] = buffer[recordLength_];
    out = scratch_.data();
  }
  WriteAt(RecordOffset(recno), out, count);
}

void HXO_dBaseDBF::PutRecord(int64_t recno) {
  StatusUpdate(kStatusBeforeWrite, recno);
  if (recno > recordCount_ || recno <= 0 || tableState_ == kTableStateAppending) {
    AppendRecord();
    return;
  }
  headerDirty_ = true;
  WriteRecordBytes(recno, record_, recordLength_);
  recNo_ = recno;
  WriteHeaderUnlocked();
  StatusUpdate(kStatusAfterWrite, recno);
  if (autoFlush_) Flush();
  std::memcpy(saved_.data(), record_, recordLength_);
}

void HXO_dBaseDBF::AppendRecord() {
  // Two writers must never fill the same record slot: a refused append lock
  // is waited for and then refused, never ignored.
  if (!LockAppend()) {
    const HxLockRange want = lock_.AppendLock();
    const bool ownOther = LockCount() > 0 && (LockOffset() != want.offset || LockLength() != want.length);
    if (ownOther || !WaitForLock([this] { return LockAppend(); })) RaiseFileError(hxErrCannotLock);
  }
  try {
    StatusUpdate(kStatusBeforeWrite, 0);
    recordChanged_ = true;
    headerDirty_ = true;
    // Pick up records appended by others. Only the count matters here: the
    // header is rewritten with a new stamp right after.
    if (Shared()) {
      const int64_t count = CountFromSize(FileSize());
      changedByOthers_ = changedByOthers_ || count != recordCount_;
      recordCount_ = count;
    }
    record_[0] = ' ';
    record_[recordLength_] = kDbfEndOfFile;
    const int64_t oldCount = recordCount_;
    const int64_t oldRecNo = recNo_;
    recordCount_ = oldCount + 1;
    recNo_ = recordCount_;
    try {
      WriteRecordBytes(recNo_, record_, recordLength_ + 1);
    } catch (...) {
      recordCount_ = oldCount;
      recNo_ = oldRecNo;
      throw;
    }
    WriteHeader();
  } catch (...) {
    try {
      UnlockTable();
    } catch (...) {
    }
    throw;
  }
  UnlockTable();
  bof_ = eof_ = false;
  StatusUpdate(kStatusAfterWrite, 0);
  if (autoFlush_) Flush();
  std::memcpy(saved_.data(), record_, recordLength_);
}

// ---- locks ----

bool HXO_dBaseDBF::LockAppend() {
  if (tableLocked_) {
    AddLockCount();
    return true;
  }
  const HxLockRange r = lock_.AppendLock();
  return LockRange(r.offset, r.length);
}

bool HXO_dBaseDBF::LockTable() {
  if (tableLocked_) {
    AddLockCount();
    return true;
  }
  const HxLockRange r = lock_.TableLock();
  if (!LockRange(r.offset, r.length)) return false;
  tableLocked_ = true;
  RefreshHeader();
  return true;
}

bool HXO_dBaseDBF::LockWholeFile() {
  if (tableLocked_) {
    AddLockCount();
    return true;
  }
  const HxLockRange r = HxLockOffsets::WholeFile();
  if (!LockRange(r.offset, r.length)) return false;
  tableLocked_ = true;
  RefreshHeader();
  return true;
}

bool HXO_dBaseDBF::UnlockTable() {
  if (LockCount() < -1) return true;
  if (tableLocked_ && LockCount() <= 1) {
    // The header write deferred while the table was locked goes out while
    // the lock still keeps appenders away: written after the release, its
    // record count could undo another process's append.
    tableLocked_ = false;
    try {
      WriteHeader();
    } catch (...) {
      Unlock();
      throw;
    }
  }
  Unlock();
  return true;
}

bool HXO_dBaseDBF::LockRecord() {
  if (tableLocked_) {
    AddLockCount();
    return true;
  }
  HxLockRange r;
  if (!lock_.RecordLock(static_cast<uint32_t>(recNo_), ReverseRecordLocks(), headerLength_, recordLength_, r))
    return false;
  return LockRange(r.offset, r.length);
}

void HXO_dBaseDBF::SetLockProtocol(uint8_t protocol) {
  lock_.SetProtocol(protocol);
  MemoSetLockProtocol(protocol);
}

bool HXO_dBaseDBF::ReverseRecordLocks() { return false; }

// ---- file operations ----

void HXO_dBaseDBF::Flush() {
  HXO_DiskFile::Flush();
  FlushMemo();
  StatusUpdate(kStatusAfterFlush, recNo_);
}

void HXO_dBaseDBF::RenameTo(const std::string& newName) {
  if (hasMemo_) MemoFile();
  HXO_DiskFile::RenameTo(newName);
  RenameMemo(FileName());
}

void HXO_dBaseDBF::EventHook(int, int, int) {}

// ---- HXO_dBaseFld: the field list ----

HXO_dBaseFld::HXO_dBaseFld(const std::string& fileName, bool shared, bool readWrite,
                           const std::string& password)
    : HXO_dBaseDBF(fileName, shared, readWrite, password) {
  BuildFieldList();
  BuildExpressionLink();
  ClearFieldChanged();
}

HXO_dBaseFld::~HXO_dBaseFld() = default;

void HXO_dBaseFld::BuildFieldList() {
  fields_.clear();
  fields_.reserve(static_cast<size_t>(FieldCount()));
  uint32_t offset = 1;
  for (int i = 1; i <= FieldCount(); ++i) {
    uint8_t* d = Descriptor(i);
    auto entry = std::make_unique<ThxDBFFields>();
    entry->table = this;
    const char* raw = reinterpret_cast<const char*>(d);
    if (Dbase7())
      entry->name = LongName(i);  // up to 32 characters; the descriptor holds 11
    else
      entry->name.assign(raw, strnlen(raw, 11));
    entry->type = static_cast<char>(d[11]);
    entry->width = d[16];
    entry->decimals = d[17];
    entry->number = i;
    entry->offset = offset;
    entry->length = DescriptorLength(d);
    // In memory the descriptor carries the field's number and offset.
    PutLE16(d + 26, static_cast<uint16_t>(i));
    PutLE32(d + 12, offset);
    offset += entry->length;
    fields_.push_back(std::move(entry));
  }
}

void HXO_dBaseFld::GetRecord(int64_t code) {
  HXO_dBaseDBF::GetRecord(code);
  ClearFieldChanged();
}

int HXO_dBaseFld::FieldNumber(std::string_view name) const {
  const std::string wanted = HxTrimRight(name);
  for (const auto& f : fields_)
    if (HxCompareText(HxTrimRight(f->name), wanted) == 0) return f->number;
  return 0;
}

ThxDBFFields& HXO_dBaseFld::FieldEntryByName(std::string_view name) const {
  int n = FieldNumber(name);
  if (n == 0) RaiseNoFieldName(name);
  return *fields_[static_cast<size_t>(n - 1)];
}

void HXO_dBaseFld::RaiseNoFieldName(std::string_view name) const {
  RaiseKeldorError(hxErrNoFieldName, FileName() + "->" + std::string(name));
}
