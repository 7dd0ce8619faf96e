#include "tables/hx6_dbsy.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "expr/hx6_sql.h"
#include "platform/system.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_encrxm.h"
#include "tables/hx6_memo.h"

namespace {

// Sets the direction of the walk for the reads of one step and clears it
// again, also when the read fails.
class WalkDirection {
 public:
  WalkDirection(int& slot, int direction) : slot_(slot), saved_(slot) { slot_ = direction; }
  ~WalkDirection() { slot_ = saved_; }
  WalkDirection(const WalkDirection&) = delete;
  WalkDirection& operator=(const WalkDirection&) = delete;

 private:
  int& slot_;
  int saved_;
};

int DirectionOf(int64_t code) {
  switch (code) {
    case kGetFirst:
    case kGetNext:
      return 1;
    case kGetLast:
    case kGetPrevious:
      return -1;
    default:
      return 0;  // reads by number and re-reads come from the file
  }
}

// Field names of a ";"-separated list, trimmed, empty parts dropped.
std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string name = HxTrim(std::string_view(list).substr(start, end - start));
    if (!name.empty()) names.push_back(std::move(name));
    start = end + 1;
  }
  return names;
}

}  // namespace

// ---- construction ---------------------------------------------------------------

HXO_dBHandler::HXO_dBHandler(const std::string& fileName, bool shared, bool readWrite,
                             const std::string& password)
    : HXO_dBaseFld(fileName, shared, readWrite, password) {
  const size_t records = std::max<size_t>(1, kHxReadAheadBytes / RecordLength());
  windowSize_ = records * RecordLength();
}

HXO_dBHandler::~HXO_dBHandler() {
  filterExpr_.reset();
  filterSet_.reset();
  SwitchWindow(false);
}

// ---- read-ahead window ------------------------------------------------------------

void HXO_dBHandler::SwitchWindow(bool on) {
  if (on && readAheadAllowed_) {
    if (window_.size() != windowSize_) window_.assign(windowSize_, 0);
    readAheadOn_ = true;
  } else {
    readAheadOn_ = false;
    std::vector<uint8_t>().swap(window_);
  }
  winStart_ = -1;
}

void HXO_dBHandler::SetBuffering(bool on) { SwitchWindow(on); }

void HXO_dBHandler::SetReadAheadAllowed(bool allowed) {
  readAheadAllowed_ = allowed;
  if (!allowed) SwitchWindow(false);
}

size_t HXO_dBHandler::ReadAt(uint64_t offset, void* buffer, size_t count) {
  const bool walk = windowDirection_ != 0 && readAheadOn_ && count == RecordLength() &&
                    offset >= HeaderLength() && count <= window_.size();
  if (!walk) {
    const size_t n = HXO_dBaseFld::ReadAt(offset, buffer, count);
    // What was just read from the file is the newest copy of those bytes.
    if (winStart_ >= 0 && n > 0 && offset >= static_cast<uint64_t>(winStart_)) {
      const uint64_t end = std::min<uint64_t>(offset + n, static_cast<uint64_t>(winEnd_));
      if (offset < end)
        std::memcpy(window_.data() + (offset - winStart_), buffer, static_cast<size_t>(end - offset));
    }
    return n;
  }
  bool fresh = winStart_ >= 0 && offset >= static_cast<uint64_t>(winStart_) &&
               offset + count <= static_cast<uint64_t>(winEnd_);
  if (fresh && Shared() && platform::TickCount() - winFilledAt_ > kHxWindowMaxAgeMs) fresh = false;
  if (!fresh) {
    // Forward walks read the window from the record on, backward walks up
    // to its end, so each direction gets a window's worth of records.
    uint64_t start = offset;
    if (windowDirection_ < 0) {
      const uint64_t end = offset + count;
      start = end >= HeaderLength() + window_.size() ? end - window_.size() : HeaderLength();
    }
    winStart_ = -1;
    const size_t got = HXO_dBaseFld::ReadAt(start, window_.data(), window_.size());
    winStart_ = static_cast<int64_t>(start);
    winEnd_ = static_cast<int64_t>(start + got);
    if (Shared()) winFilledAt_ = platform::TickCount();
    if (offset >= static_cast<uint64_t>(winEnd_)) return 0;
  }
  const size_t n = static_cast<size_t>(std::min<uint64_t>(count, winEnd_ - offset));
  std::memcpy(buffer, window_.data() + (offset - winStart_), n);
  return n;
}

size_t HXO_dBHandler::WriteAt(uint64_t offset, const void* buffer, size_t count) {
  const size_t n = HXO_dBaseFld::WriteAt(offset, buffer, count);
  if (winStart_ >= 0) {
    const uint64_t lo = std::max<uint64_t>(offset, static_cast<uint64_t>(winStart_));
    const uint64_t hi = std::min<uint64_t>(offset + count, static_cast<uint64_t>(winEnd_));
    if (lo < hi)
      std::memcpy(window_.data() + (lo - winStart_), static_cast<const uint8_t*>(buffer) + (lo - offset),
                  static_cast<size_t>(hi - lo));
  }
  return n;
}

// ---- navigation -------------------------------------------------------------------

bool HXO_dBHandler::RecordVisible() { return !filterActive_ || filterSet_->TestBit(RecNo()); }

bool HXO_dBHandler::Refused() {
  if (!UseDeleted() && RecordBuffer()[0] == '*') return true;
  return !scanning_ && !RecordVisible();
}

void HXO_dBHandler::BlankBuffer() {
  std::memset(RecordBuffer(), ' ', RecordLength());
  RecordBuffer()[RecordLength()] = kDbfEndOfFile;
}

void HXO_dBHandler::ReadForWalk(int64_t recno, int direction) {
  if (recno > RecordCount()) RefreshHeader();
  if (recno < 1 || recno > RecordCount()) {
    // A record number the table does not have (a stale set or index entry):
    // nothing to show.
    BlankBuffer();
    SetEof(true);
    return;
  }
  WalkDirection walk(windowDirection_, direction);
  HXO_dBaseFld::GetRecord(recno);
}

bool HXO_dBHandler::StepBySet(int64_t code) {
  const ThxHugeSet& set = *filterSet_;
  int64_t r = -1;
  switch (code) {
    case kGetFirst:
      r = set.NextSet(1);
      break;
    case kGetLast:
      r = set.PrevSet(set.Highest());
      break;
    case kGetNext:
      r = set.NextSet(std::max<int64_t>(RecNo(), 0) + 1);
      break;
    default:
      r = RecNo() > 1 ? set.PrevSet(RecNo() - 1) : -1;
      break;
  }
  if (r < 1) {
    if (code == kGetFirst || code == kGetLast) {
      SetBof(true);
      SetEof(true);
    } else if (code == kGetNext) {
      SetEof(true);
    } else {
      SetBof(true);
    }
    return false;
  }
  ReadForWalk(r, DirectionOf(code));
  return !Eof();
}

void HXO_dBHandler::GetRecord(int64_t code) {
  // While the password changes, records are read raw by number.
  if (TableState() != kTableStateOpen || code == 0) {
    HXO_dBaseFld::GetRecord(code);
    return;
  }
  // The last record of a shared table is the last one now, also when
  // another process appended since we last looked.
  if (code == kGetLast && Shared()) RefreshHeader();
  outOfOrder_ = false;
  SetBof(false);
  SetEof(false);
  const int64_t first = code;
  const int64_t step = code == kGetFirst || code == kGetCurrent ? kGetNext
                       : code == kGetLast                       ? kGetPrevious
                                                                : code;
  for (;;) {
    if (code < 0 && code != kGetCurrent && filterActive_) {
      if (!StepBySet(code)) break;
    } else {
      WalkDirection walk(windowDirection_, DirectionOf(code));
      HXO_dBaseFld::GetRecord(code);
      if (Bof() || Eof()) break;
    }
    // A read by number is always accepted; a move skips deleted and invisible records.
    if (code > 0 || !Refused()) break;
    code = step;
  }
  // A walk for the first or last record that found none: nothing is visible.
  if ((first == kGetFirst || first == kGetLast) && (Bof() || Eof())) {
    SetBof(true);
    SetEof(true);
  }
  recordValid_ = !Bof() && !Eof();
  if (!outOfOrder_ && filterActive_ && recordValid_) outOfOrder_ = !filterSet_->TestBit(RecNo());
}

void HXO_dBHandler::Skip(int64_t n) {
  if (n == 0) {
    GetRecord(kGetCurrent);
    return;
  }
  const uint64_t steps = n > 0 ? static_cast<uint64_t>(n) : 0 - static_cast<uint64_t>(n);
  if (filterRequested_ || !UseDeleted()) {
    const int64_t code = n > 0 ? kGetNext : kGetPrevious;
    for (uint64_t i = 0; i < steps; ++i) {
      GetRecord(code);
      if (Bof() || Eof()) break;
    }
    return;
  }
  // Every record counts: go straight to the target.
  if (n > 0 && RecNo() + n > RecordCount()) RefreshHeader();
  const int64_t count = RecordCount();
  if (count == 0) {
    GetRecord(kGetFirst);
    return;
  }
  int64_t target = n > 0 ? (steps > static_cast<uint64_t>(count) ? count + 1 : RecNo() + n)
                         : (steps >= static_cast<uint64_t>(RecNo()) ? 0 : RecNo() + n);
  bool ranOut = false;
  if (target > count) {
    target = count;
    ranOut = true;
  } else if (target < 1) {
    target = 1;
    ranOut = true;
  }
  GetRecord(target);
  if (ranOut) {
    if (n > 0)
      SetEof(true);
    else
      SetBof(true);
    recordValid_ = false;
  }
}

// ---- filter -----------------------------------------------------------------------

bool HXO_dBHandler::FilterPasses() {
  const ThxExpValue& v = filterExpr_->EvaluateValue();
  return filterExpr_->ResultType() == hxtBoolean && !v.null && v.boolean;
}

void HXO_dBHandler::DropFilter() {
  filterExpr_.reset();
  if (filterSet_) filterSet_->ClearAll();
  filterActive_ = false;
}

void HXO_dBHandler::SetFilter(const std::string& text, bool caseInsensitive, bool partialMatch) {
  if (!filterSet_) filterSet_ = std::make_unique<ThxHugeSet>();
  const bool requested = filterRequested_;
  filterActive_ = false;
  if (HxTrim(text).empty()) {
    filterExpr_.reset();
    filterText_.clear();
    filterSet_->ClearAll();
    SetFilterActive(requested);
    return;
  }
  try {
    if (!filterExpr_ || text != filterText_ || caseInsensitive != filterCaseInsensitive_ ||
        partialMatch != filterPartial_) {
      filterText_ = text;
      filterCaseInsensitive_ = caseInsensitive;
      filterPartial_ = partialMatch;
      filterSet_->ClearAll();
      if (!filterExpr_) filterExpr_ = std::make_unique<ThxExpHandler>(ExpUserLink(), false);
      // Operators copy the options when they are made: set them first.
      filterExpr_->SetCaseInsensitive(caseInsensitive);
      filterExpr_->SetPartialMatch(partialMatch);
      filterExpr_->SetExpression(text);
      filterExpr_->EvaluateValue();
      if (filterExpr_->ResultType() != hxtBoolean) RaiseKeldorError(hxErrFilterNotBoolean);
    }
    BuildFilterSet();
  } catch (...) {
    // Nothing of a filter that failed stays in force: no expression, an
    // empty set, every record visible.
    DropFilter();
    throw;
  }
  SetFilterActive(requested);
}

void HXO_dBHandler::SetFilterActive(bool requested) {
  filterRequested_ = requested;
  filterActive_ = requested && filterExpr_ && filterExpr_->Root() && filterSet_;
  if (filterActive_ && recordValid_ && !filterSet_->TestBit(RecNo())) outOfOrder_ = true;
}

void HXO_dBHandler::RebuildFilter() {
  if (!filterActive_) return;
  filterActive_ = false;
  try {
    BuildFilterSet();
  } catch (...) {
    DropFilter();
    throw;
  }
  filterActive_ = true;
}

void HXO_dBHandler::BuildFilterSet() {
  const int64_t remembered = RecNo();
  const bool rememberedBof = Bof();
  const bool rememberedEof = Eof();
  const bool readAhead = readAheadOn_;
  SwitchWindow(true);
  filterSet_->ClearAll();
  scanning_ = true;
  try {
    GetRecord(kGetFirst);
    while (recordValid_) {
      if (FilterPasses()) filterSet_->SetBit(RecNo());
      GetRecord(kGetNext);
    }
  } catch (...) {
    scanning_ = false;
    SwitchWindow(readAhead);
    try {
      if (remembered > 0 && remembered <= RecordCount()) GetRecord(remembered);
    } catch (const std::exception&) {
    }
    throw;
  }
  scanning_ = false;
  SwitchWindow(readAhead);
  if (remembered > 0 && remembered <= RecordCount()) {
    GetRecord(remembered);
  } else {
    // Nothing had been read yet: back to before the first record.
    BlankBuffer();
    SetRecNo(0);
    SetBof(rememberedBof);
    SetEof(rememberedEof);
    recordValid_ = false;
  }
}

void HXO_dBHandler::UpdateFilterBit(int64_t recno) {
  if (!filterExpr_ || !filterExpr_->Root() || !filterSet_) return;
  // The record is already written: a record the expression cannot be
  // evaluated on simply does not pass.
  bool passes = false;
  try {
    passes = FilterPasses();
  } catch (const std::exception&) {
    passes = false;
  }
  filterSet_->ChangeBit(recno, passes ? ThxHugeSet::Set : ThxHugeSet::Clear);
}

// ---- maintenance and writes --------------------------------------------------------

void HXO_dBHandler::StatusUpdate(int code, int64_t value) {
  if (code == kStatusAfterWrite) {
    const int64_t recno = value == 0 ? RecNo() : value;
    UpdateFilterBit(recno);
    outOfOrder_ = false;
    if (filterActive_) outOfOrder_ = !filterSet_->TestBit(recno);
  }
  HXO_dBaseFld::StatusUpdate(code, value);
}

void HXO_dBHandler::AppendRecord() {
  LockIndexes();
  try {
    HXO_dBaseFld::AppendRecord();
  } catch (...) {
    try {
      UnlockIndexes();
    } catch (const std::exception&) {
    }
    throw;
  }
  UnlockIndexes();
}

void HXO_dBHandler::PutRecord(int64_t recno) {
  LockIndexes();
  try {
    HXO_dBaseFld::PutRecord(recno);
  } catch (...) {
    try {
      UnlockIndexes();
    } catch (const std::exception&) {
    }
    throw;
  }
  UnlockIndexes();
}

void HXO_dBHandler::LockIndexes() {}

void HXO_dBHandler::UnlockIndexes() {}

void HXO_dBHandler::SetLockProtocol(uint8_t protocol) { HXO_dBaseFld::SetLockProtocol(protocol); }

bool HXO_dBHandler::ReverseRecordLocks() { return false; }

void HXO_dBHandler::RenameTo(const std::string& newName) { HXO_dBaseFld::RenameTo(newName); }

// ---- seeks --------------------------------------------------------------------------

bool HXO_dBHandler::SeekKey(const std::string&) {
  seekResult_ = false;
  GetRecord(kGetLast);
  SetEof(true);
  recordValid_ = false;
  return false;
}

int64_t HXO_dBHandler::SeekInTag(const std::string&, const std::string&) { return -1; }

// ---- locate -------------------------------------------------------------------------

bool HXO_dBHandler::Locate(const std::string& fields, const Variant& value, int64_t startRecord, bool partial,
                           bool caseInsensitive) {
  return Locate(fields, std::vector<Variant>{value}, startRecord, partial, caseInsensitive);
}

bool HXO_dBHandler::Locate(const std::string& fields, const std::vector<Variant>& values, int64_t startRecord,
                           bool partial, bool caseInsensitive) {
  GetRecord(kGetFirst);
  if (!recordValid_) return false;

  // The searched values as a record image, read back field by field the way
  // the records will be read. Building the image must not leave its marks
  // on the current record's change flags.
  const std::vector<std::string> names = SplitNames(fields);
  const size_t used = std::min(names.size(), values.size());
  if (used == 0) return false;
  std::vector<uint8_t> image(RecordLength() + 1, ' ');
  image[RecordLength()] = kDbfEndOfFile;
  std::vector<bool> changed(static_cast<size_t>(FieldCount()) + 1);
  for (int i = 0; i <= FieldCount(); ++i) changed[static_cast<size_t>(i)] = FieldChanged(i);
  const bool recordChanged = RecordChanged();
  std::vector<int> numbers;
  std::vector<std::string> wanted;
  try {
    BuildRecordImage(image.data(), fields, values);
    SetRecordBuffer(image.data());
    for (size_t i = 0; i < used; ++i) {
      const int n = FieldEntryByName(names[i]).number;
      numbers.push_back(n);
      std::string text = FieldText(n);
      wanted.push_back(caseInsensitive ? HxUpperCase(text) : std::move(text));
    }
  } catch (...) {
    SetRecordBuffer(nullptr);
    for (int i = 0; i <= FieldCount(); ++i) SetFieldChanged(i, changed[static_cast<size_t>(i)]);
    SetRecordChanged(recordChanged);
    throw;
  }
  SetRecordBuffer(nullptr);
  for (int i = 0; i <= FieldCount(); ++i) SetFieldChanged(i, changed[static_cast<size_t>(i)]);
  SetRecordChanged(recordChanged);

  return LocateByScan(numbers, wanted, startRecord, partial, caseInsensitive);
}

bool HXO_dBHandler::LocateByScan(const std::vector<int>& numbers, const std::vector<std::string>& wanted,
                                 int64_t startRecord, bool partial, bool caseInsensitive) {
  const bool readAhead = readAheadOn_;
  SwitchWindow(true);
  int64_t found = 0;
  std::string text;
  try {
    if (startRecord > 0) {
      if (startRecord > RecordCount()) RefreshHeader();
      if (startRecord <= RecordCount()) {
        GetRecord(startRecord);
        GetRecord(kGetNext);
      } else {
        GetRecord(kGetLast);
        SetEof(true);
        recordValid_ = false;
      }
    } else {
      GetRecord(kGetFirst);
    }
    while (recordValid_ && found == 0) {
      bool equal = true;
      for (size_t i = 0; i < numbers.size() && equal; ++i) {
        GetString(numbers[i], text);
        if (caseInsensitive) text = HxUpperCase(text);
        const std::string& w = wanted[i];
        if (partial && i + 1 == numbers.size())
          equal = text.size() >= w.size() && text.compare(0, w.size(), w) == 0;
        else
          equal = text == w;
      }
      if (equal)
        found = RecNo();
      else
        GetRecord(kGetNext);
    }
  } catch (...) {
    SwitchWindow(readAhead);
    throw;
  }
  SwitchWindow(readAhead);
  if (found > 0) GetRecord(found);
  return found > 0;
}

// ---- password -------------------------------------------------------------------------

void HXO_dBHandler::UseCipher(const Cipher& c) {
  SetPasswords(c.password);
  SetEncrypted(c.encrypted);
}

void HXO_dBHandler::CheckReadable(const Cipher& from) {
  UseCipher(from);
  const int64_t count = RecordCount();
  for (int64_t r = 1; r <= count; ++r) {
    {
      WalkDirection walk(windowDirection_, 1);
      HXO_dBaseFld::GetRecord(r);
    }
    for (int n = 1; n <= FieldCount(); ++n)
      if (IsMemoField(n)) ReadMemoText(n);
  }
}

void HXO_dBHandler::ClearMemoReference(int n) {
  // No memo: blanks in a text block number, 0 in a binary one.
  if (Version() == 0x30)
    PutNumber(n, 0);
  else
    PutRaw(n, "");
}

void HXO_dBHandler::ConvertRecord(int64_t recno, const Cipher& from, const Cipher& to) {
  struct Memo {
    int field;
    uint32_t block;
    std::string text;
  };
  UseCipher(from);
  {
    WalkDirection walk(windowDirection_, 1);
    HXO_dBaseFld::GetRecord(recno);
  }
  std::vector<Memo> memos;
  for (int n = 1; n <= FieldCount(); ++n) {
    if (!IsMemoField(n)) continue;
    const double block = std::trunc(GetNumber(n));
    if (block >= 1) memos.push_back({n, static_cast<uint32_t>(block), ReadMemoText(n)});
  }
  // A dBase III memo file keeps a length in front of enciphered memos only:
  // when that changes, an old memo's size can no longer be read from its
  // block, so the new form goes to a fresh place instead of over the old one.
  HXobjMemo* memo = memos.empty() ? nullptr : MemoFile();
  const bool relocate = memo && memo->BlockHeaderSize() == 0 && from.encrypted != to.encrypted;
  UseCipher(to);
  size_t done = 0;
  try {
    for (const Memo& m : memos) {
      if (relocate || m.text.empty()) ClearMemoReference(m.field);
      if (!m.text.empty()) WriteMemo(m.field, m.text.data(), m.text.size());
      ++done;
    }
    WriteRecordBytes(recno, RecordBuffer(), RecordLength());
  } catch (...) {
    // A memo rewritten in its old place has lost its old form: put it back.
    try {
      UseCipher(from);
      for (size_t i = 0; i < done; ++i) {
        const Memo& m = memos[i];
        if (!m.text.empty() && std::trunc(GetNumber(m.field)) == m.block)
          WriteMemo(m.field, m.text.data(), m.text.size());
      }
    } catch (const std::exception&) {
    }
    throw;
  }
}

void HXO_dBHandler::ConvertDescriptors(const Cipher& from, const Cipher& to) {
  const uint32_t fixedPart = Version() == 0x30 ? kDbfFixedPart30 : kDbfFixedPart;
  const uint32_t area = HeaderLength() - fixedPart;
  if (area == 0) return;
  std::vector<uint8_t> bytes(area);
  if (HXO_dBaseFld::ReadAt(kDbfHeaderSize, bytes.data(), area) < area) RaiseFileError(hxErrRead);
  // The area was enciphered as one piece from its first byte; so it is again.
  Transform(from.password, bytes.data(), bytes.data(), area, 0);
  Transform(to.password, bytes.data(), bytes.data(), area, 1);
  WriteAt(kDbfHeaderSize, bytes.data(), area);
}

void HXO_dBHandler::SetPassword(const std::string& newPassword) {
  if (Shared()) RaiseKeldorError(hxErrFullAccess, "SetPassword", FileName());
  const Cipher from{ReadPassword(), Encrypted()};
  if (from.encrypted ? newPassword == from.password : newPassword.empty()) return;
  if (!ReadWrite()) RaiseKeldorError(hxErrFullAccess, "SetPassword", FileName());
  const Cipher to{newPassword, !newPassword.empty()};

  const uint8_t savedState = TableState();
  const int64_t current = RecNo();
  const bool readAhead = readAheadOn_;
  SetTableState(kTableStateKeep);
  SwitchWindow(true);
  auto restore = [&](const Cipher& c) {
    UseCipher(c);
    SetTableState(savedState);
    SwitchWindow(readAhead);
    SetRecordChanged(false);
    ClearFieldChanged();
  };

  // Everything is read once under the old password before anything is
  // written, so a damaged record or memo stops the change while the table
  // is still whole.
  try {
    CheckReadable(from);
  } catch (...) {
    restore(from);
    throw;
  }

  int64_t converted = 0;
  bool descriptors = false;
  try {
    for (int64_t r = 1; r <= RecordCount(); ++r) {
      ConvertRecord(r, from, to);
      converted = r;
    }
    ConvertDescriptors(from, to);
    descriptors = true;
    UseCipher(to);
    SetHeaderDirty(true);
    WriteHeader();
  } catch (...) {
    // Put back what was already changed, so the table stays readable under
    // its old password.
    try {
      if (descriptors) ConvertDescriptors(to, from);
      for (int64_t r = converted; r >= 1; --r) ConvertRecord(r, to, from);
      UseCipher(from);
      SetHeaderDirty(true);
      WriteHeader();
    } catch (const std::exception&) {
    }
    restore(from);
    throw;
  }
  restore(to);
  if (current > 0 && current <= RecordCount()) GetRecord(current);
}
