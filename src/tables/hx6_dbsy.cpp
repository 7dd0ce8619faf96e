#include "tables/hx6_dbsy.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "expr/hx6_sql.h"
#include "framework/sysutils.h"
#include "index/hx6_indx.h"
#include "platform/system.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_date.h"
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
  try {
    CloseIndexes();
  } catch (const std::exception&) {
    // A destructor cannot report; every file is freed all the same.
  }
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

bool HXO_dBHandler::ClipLocking() const {
  return LockProtocol() == static_cast<uint8_t>(ThxLokProtocol::ClipLock);
}

void HXO_dBHandler::SyncIndexes(bool always) {
  if (!Shared()) return;
  const uint64_t now = platform::TickCount();
  if (!always && now - indexCheckedAt_ < kHxIndexCheckMs) return;
  indexCheckedAt_ = now;
  bool changed = false;
  for (auto& f : slots_)
    if (f && f->DiskFile().Shared() && f->ChangedByOthers()) changed = true;
  if (!changed) return;
  LockIndexes();  // the file reads itself again while it is locked
  UnlockIndexes();
}

int64_t HXO_dBHandler::TagStep(int64_t code) {
  switch (code) {
    case kGetFirst:
      return activeTag_->First();
    case kGetLast:
      return activeTag_->Last();
    case kGetNext:
      return activeTag_->Next();
    case kGetPrevious:
      return activeTag_->Previous();
    default:
      return activeTag_->Current();
  }
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
  // Under ClipLock a walk through an index holds the index locks while it
  // reads, and gives them back at the end of the move.
  const bool locked = activeTag_ && code < 0 && ClipLocking();
  if (locked)
    LockIndexes();
  else if (activeTag_)
    SyncIndexes(code == kGetFirst || code == kGetLast || code > 0);
  try {
    Navigate(code);
  } catch (...) {
    if (locked) {
      try {
        UnlockIndexes();
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  if (locked) UnlockIndexes();
}

void HXO_dBHandler::Navigate(int64_t code) {
  outOfOrder_ = false;
  SetBof(false);
  SetEof(false);
  const int64_t first = code;
  const int64_t step = code == kGetFirst || code == kGetCurrent ? kGetNext
                       : code == kGetLast                       ? kGetPrevious
                                                                : code;
  bool fromTag = false;
  for (;;) {
    if (activeTag_ && code < 0) {
      fromTag = true;
      int64_t r = TagStep(code);
      while (r != 0 && filterActive_ && !filterSet_->TestBit(r)) r = TagStep(step);
      SetBof(activeTag_->AtTop());
      SetEof(activeTag_->AtBottom());
      if (r == 0) {
        if (!Bof() && !Eof()) {
          if (step == kGetPrevious)
            SetBof(true);
          else
            SetEof(true);
        }
        break;
      }
      ReadForWalk(r, 0);  // tag order jumps about the file: no window
      if (Eof()) break;
    } else if (code < 0 && code != kGetCurrent && filterActive_) {
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
  // A record reached by number may lie outside the order.
  if (activeTag_ && !fromTag && recordValid_) outOfOrder_ = activeTag_->Position(RecNo()) != RecNo();
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
  // Every record counts: step the tag, or go straight to the target.
  if (activeTag_) {
    bool ranOut = false;
    int64_t r = 0;
    if (RecNo() > 0) activeTag_->Position(RecNo());
    for (uint64_t i = 0; i < steps; ++i) {
      r = n > 0 ? activeTag_->Next() : activeTag_->Previous();
      if (r == 0) {
        ranOut = true;
        r = n > 0 ? activeTag_->Last() : activeTag_->First();
        break;
      }
    }
    if (r != 0) {
      // The record is read with the tag set aside: the tag stays where the walk ended.
      HXobjIndexTag* tag = activeTag_;
      activeTag_ = nullptr;
      try {
        GetRecord(r);
      } catch (...) {
        activeTag_ = tag;
        throw;
      }
      activeTag_ = tag;
    }
    if (ranOut || r == 0) {
      if (n > 0)
        SetEof(true);
      else
        SetBof(true);
      recordValid_ = false;
    }
    return;
  }
  if (n > 0 && steps > static_cast<uint64_t>(std::max<int64_t>(RecordCount() - RecNo(), 0))) RefreshHeader();
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
  // A tag with a range limits the filter to the range; any other is set aside.
  HXobjIndexTag* const tag = activeTag_;
  if (!tag || !tag->HasRange()) {
    activeTag_ = nullptr;
    SwitchWindow(true);
  }
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
    activeTag_ = tag;
    SwitchWindow(readAhead);
    try {
      if (remembered > 0 && remembered <= RecordCount()) GetRecord(remembered);
    } catch (const std::exception&) {
    }
    throw;
  }
  scanning_ = false;
  activeTag_ = tag;
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
    UpdateIndexes(recno, value == 0);
  } else if (code == kStatusAfterFlush) {
    AfterFlush();
  }
  HXO_dBaseFld::StatusUpdate(code, value);
}

void HXO_dBHandler::UpdateIndexes(int64_t recno, bool appended) {
  for (auto& f : slots_)
    if (f) f->UpdateRecord(recno, appended);
  outOfOrder_ = false;
  if (activeTag_) {
    outOfOrder_ = activeTag_->Position(recno) != recno;
    SetBof(activeTag_->AtTop());
    SetEof(activeTag_->AtBottom());
  }
  if (!outOfOrder_ && filterActive_) outOfOrder_ = !filterSet_->TestBit(recno);
  if (activeTag_ && !filterActive_) {
    SetEof(appended || recno == RecordCount());
    SetBof(recno == 1);
  }
}

void HXO_dBHandler::AfterFlush() {
  if (activeTag_) activeTag_->ReleasePath();
  for (auto& f : slots_)
    if (f) f->Flush();
  if (activeTag_) {
    activeTag_->Reset(hxResetCurrentRecord);
    if (RecNo() > 0) outOfOrder_ = activeTag_->Position(RecNo()) != RecNo();
  }
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

void HXO_dBHandler::ReleaseIndexLocks(int end) {
  for (int i = 0; i < end; ++i) {
    if (!slots_[static_cast<size_t>(i)]) continue;
    try {
      slots_[static_cast<size_t>(i)]->UnlockIndex();
    } catch (const std::exception&) {
    }
  }
}

void HXO_dBHandler::LockIndexes() {
  int i = 0;
  bool ok = true;
  try {
    for (; i < kHxIndexSlots && ok; ++i) {
      HXobjIndexFile* f = slots_[static_cast<size_t>(i)].get();
      if (f && !f->TryLockIndex()) ok = false;
    }
  } catch (...) {
    ReleaseIndexLocks(i);
    throw;
  }
  if (!ok) {
    ReleaseIndexLocks(i - 1);  // the one that failed holds nothing
    RaiseKeldorError(hxErrCannotLockIndexes, FileName());
  }
}

void HXO_dBHandler::UnlockIndexes() {
  std::exception_ptr failure;
  for (auto& f : slots_) {
    if (!f) continue;
    try {
      f->UnlockIndex();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void HXO_dBHandler::SetLockProtocol(uint8_t protocol) {
  HXO_dBaseFld::SetLockProtocol(protocol);
  for (auto& f : slots_)
    if (f) f->SetLockProtocol(protocol);
}

bool HXO_dBHandler::ReverseRecordLocks() { return slots_[0] != nullptr; }

void HXO_dBHandler::RenameTo(const std::string& newName) {
  const std::string oldName = FileName();
  HXO_dBaseFld::RenameTo(newName);
  // Index files named after the table follow it; one in the table's old
  // folder moves with the table, one elsewhere is renamed where it is.
  const std::string oldBase = BaseFileName(oldName);
  const std::string oldFolder = ExtractFilePath(oldName);
  for (auto& f : slots_) {
    if (!f || HxCompareText(BaseFileName(f->FullName()), oldBase) != 0) continue;
    const bool withTable = HxCompareText(ExtractFilePath(f->FullName()), oldFolder) == 0;
    f->RenameFile(withTable ? FileName() : BaseFileName(FileName()));
  }
}

// ---- index files and tags ------------------------------------------------------------

int HXO_dBHandler::OpenIndex(const std::string& fileName) {
  std::string name = HxTrim(fileName);
  if (ExtractFilePath(name).empty()) name = ExtractFilePath(FileName()) + name;
  name = ExpandFileName(DefaultExtension(name, ".ndx"));
  for (const auto& f : slots_)
    if (f && HxCompareText(f->FullName(), name) == 0) return -1;
  size_t slot = 0;
  while (slot < slots_.size() && slots_[slot]) ++slot;
  // A file that found no slot would never be used or closed: it is not opened.
  if (slot == slots_.size())
    throw EKeldorError(FormatKeldorText("Index file %s cannot be opened: %d index files are open already",
                                        {name, kHxIndexSlots}));
  slots_[slot] = HxOpenIndexFile(this, name);
  slots_[slot]->SetLockProtocol(LockProtocol());
  return 0;
}

void HXO_dBHandler::CloseIndexes() {
  activeTag_ = nullptr;
  activeTagName_.clear();
  std::exception_ptr failure;
  for (auto& f : slots_) {
    if (!f) continue;
    try {
      f->Flush();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    f.reset();
  }
  if (failure) std::rethrow_exception(failure);
}

HXobjIndexFile* HXO_dBHandler::IndexFile(int slot) const {
  return slot >= 1 && slot <= kHxIndexSlots ? slots_[static_cast<size_t>(slot - 1)].get() : nullptr;
}

int HXO_dBHandler::IndexFileCount() const {
  int n = 0;
  for (const auto& f : slots_)
    if (f) ++n;
  return n;
}

HXobjIndexTag* HXO_dBHandler::TagByNumber(int n) const {
  if (n < 1) return nullptr;
  for (const auto& f : slots_) {
    if (!f) continue;
    if (n <= f->TagCount()) return f->Tags(n - 1);
    n -= f->TagCount();
  }
  return nullptr;
}

int HXO_dBHandler::SelectTag(const std::string& name, bool keepPosition) {
  const std::string wanted = HxUpperCase(HxTrim(name));
  HXobjIndexTag* found = nullptr;
  int number = 0;
  if (!wanted.empty()) {
    int counted = 0;
    for (const auto& f : slots_) {
      if (!f) continue;
      if (HXobjIndexTag* t = f->TagByName(wanted)) {
        for (int i = 0; i < f->TagCount(); ++i)
          if (f->Tags(i) == t) number = counted + i + 1;
        found = t;
        break;
      }
      counted += f->TagCount();
    }
    if (!found) RaiseKeldorError(hxErrIndexTagNotFound, name);
  }
  if (activeTag_) {
    activeTag_->ReleasePath();
    activeTag_->SetRange(nullptr, nullptr);
  }
  activeTag_ = nullptr;
  if (!found) {
    activeTagName_.clear();
    SwitchWindow(true);
    if (!keepPosition) GetRecord(kGetFirst);
    return 0;
  }
  SwitchWindow(false);
  activeTagName_ = wanted;
  activeTag_ = found;
  found->Reset(hxResetCurrentRecord);
  if (keepPosition && RecNo() > 0 && RecNo() <= RecordCount()) {
    GetRecord(RecNo());
    if (!outOfOrder_) return number;
  }
  GetRecord(kGetFirst);
  return number;
}

bool HXO_dBHandler::SetKeyRange(const std::string& low, const std::string& high, int options) {
  if (!activeTag_) return false;
  ThxVariant lo, hi;
  if (!low.empty()) KeyValue(*activeTag_, low, lo);
  if (!high.empty()) KeyValue(*activeTag_, high, hi);
  const bool changed =
      activeTag_->SetRange(low.empty() ? nullptr : &lo, high.empty() ? nullptr : &hi, options);
  if (changed) GetRecord(kGetFirst);
  if (Bof()) BlankBuffer();
  return changed;
}

// ---- seeks --------------------------------------------------------------------------

void HXO_dBHandler::KeyValue(const HXobjIndexTag& tag, const std::string& text, ThxVariant& value) {
  switch (tag.KeyType()) {
    case hxKeyNumeric:
    case hxKeyInteger: {
      double d = 0;
      if (!TryStrToFloat(HxTrim(text), d)) d = 0;
      value.SetNumber(d);
      break;
    }
    case hxKeyDate:
      value.SetDate(DBFDate().ToJulian(text));
      break;
    default:
      value.SetString(text);
      break;
  }
}

bool HXO_dBHandler::SeekKey(const std::string& key) {
  ThxVariant value;
  if (activeTag_) KeyValue(*activeTag_, key, value);
  return SeekValue(value);
}

bool HXO_dBHandler::SeekValue(const ThxVariant& value) {
  seekResult_ = false;
  if (RecordCount() == 0) RefreshHeader();
  if (RecordCount() == 0) {
    SetBof(true);
    SetEof(true);
    recordValid_ = false;
    return false;
  }
  const bool locked = activeTag_ && ClipLocking();
  if (locked) {
    try {
      LockIndexes();
    } catch (const EKeldorError&) {
      return false;
    }
  } else if (activeTag_) {
    SyncIndexes(true);
  }
  bool found = false;
  try {
    if (activeTag_ && activeTag_->Seek(value) != 0) {
      GetRecord(activeTag_->CurrentKey().RecNo());
      while (recordValid_ && Refused()) Skip(1);
      found = recordValid_ && KeyMatches(value);
    }
    if (!found) {
      GetRecord(kGetLast);
      SetEof(true);
      recordValid_ = false;
    }
  } catch (...) {
    if (locked) {
      try {
        UnlockIndexes();
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  if (locked) UnlockIndexes();
  seekResult_ = found;
  return found;
}

bool HXO_dBHandler::KeyMatches(const ThxVariant& value) {
  // Equal, or (without the exact flag) the searched key a prefix of the stored one.
  HXobjIndexKeyData wanted;
  const bool blanks =
      value.Kind() == hxvString && value.Length() > 0 && HxTrim(std::string(value.Bytes())).empty();
  activeTag_->EncodeKey(value, !blanks, wanted);
  const bool prefix = activeTag_->KeyType() == hxKeyCharacter && !ExactCompare();
  return activeTag_->CompareKeys(wanted, activeTag_->CurrentKey(), prefix) == 0;
}

bool HXO_dBHandler::CurrentKeyMatches(const std::string& key) {
  if (!activeTag_ || !recordValid_) return false;
  ThxVariant value;
  KeyValue(*activeTag_, key, value);
  return KeyMatches(value);
}

int64_t HXO_dBHandler::SeekInTag(const std::string& tagName, const std::string& key) {
  const bool locked = ClipLocking();
  if (locked)
    LockIndexes();
  else
    SyncIndexes(true);
  HXobjIndexTag* tag = nullptr;
  for (const auto& f : slots_)
    if (f && (tag = f->TagByName(HxTrim(tagName))) != nullptr) break;
  if (!tag) {
    if (locked) UnlockIndexes();
    return -1;
  }
  const bool exact = ExactCompare();
  HXobjIndexKeyData position;
  position.AssignKey(tag->CurrentKey());
  int64_t r = 0;
  SetExactCompare(true);
  try {
    ThxVariant value;
    KeyValue(*tag, key, value);
    r = tag->Seek(value);
    // The tag goes back to the entry it was on.
    if (position.RecNo() != 0)
      tag->SeekEncoded(position, false, position.RecNo());
    else
      tag->Reset(hxResetUnpositioned);
  } catch (...) {
    SetExactCompare(exact);
    if (locked) {
      try {
        UnlockIndexes();
      } catch (const std::exception&) {
      }
    }
    throw;
  }
  SetExactCompare(exact);
  if (locked) UnlockIndexes();
  return r;
}

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
  for (int i = 0; i <= FieldCount(); ++i) SetFieldChanged(i, changed[static_cast<size_t>(i)]);
  SetRecordChanged(recordChanged);

  // A tag over the same fields finds the record by seeking its key.
  HXobjIndexTag* tag = nullptr;
  if (!caseInsensitive && startRecord == 0 && !(activeTag_ && activeTag_->HasRange()))
    tag = TagForFields(std::vector<std::string>(names.begin(), names.begin() + static_cast<long>(used)),
                       partial);
  ThxVariant key;
  bool keyBuilt = false;
  try {
    if (tag) keyBuilt = tag->BuildKey(key);
  } catch (...) {
    SetRecordBuffer(nullptr);
    throw;
  }
  SetRecordBuffer(nullptr);
  if (!keyBuilt) return LocateByScan(numbers, wanted, startRecord, partial, caseInsensitive);

  HXobjIndexTag* const active = activeTag_;
  const bool exact = ExactCompare();
  activeTag_ = tag;
  SetExactCompare(!partial);
  bool found = false;
  try {
    found = SeekValue(key);
  } catch (...) {
    activeTag_ = active;
    SetExactCompare(exact);
    throw;
  }
  const int64_t recno = RecNo();
  activeTag_ = active;
  SetExactCompare(exact);
  if (found && tag != active) GetRecord(recno);  // again, in the order that is in force
  return found;
}

HXobjIndexTag* HXO_dBHandler::TagForFields(const std::vector<std::string>& names, bool partial) const {
  // "NAME;CITY;" for the names, "NAME;CITY;" for a key NAME+CITY.
  std::string searched;
  for (const std::string& n : names) {
    for (char c : HxUpperCase(n))
      if (c != ' ') searched += c;
    searched += ';';
  }
  auto fits = [&](const HXobjIndexTag* t) {
    if (!t->Orderable()) return false;
    std::string list;
    for (char c : HxUpperCase(t->KeyExpression())) {
      if (c == ' ') continue;
      list += c == '+' || c == '-' ? ';' : c;
    }
    list += ';';
    if (list.compare(0, searched.size(), searched) != 0) return false;
    // A key over more fields than those searched finds them only as a
    // prefix of the key, and only character keys match prefixes; an exact
    // search there is left to the scan.
    if (partial) return t->KeyType() == hxKeyCharacter;
    return list.size() == searched.size();
  };
  if (activeTag_ && fits(activeTag_)) return activeTag_;
  for (int n = 1;; ++n) {
    HXobjIndexTag* t = TagByNumber(n);
    if (!t) return nullptr;
    if (!t->HasFor() && fits(t)) return t;
  }
}

bool HXO_dBHandler::LocateByScan(const std::vector<int>& numbers, const std::vector<std::string>& wanted,
                                 int64_t startRecord, bool partial, bool caseInsensitive) {
  const bool readAhead = readAheadOn_;
  // A tag with a range limits the search to the range; any other is set aside.
  HXobjIndexTag* const tag = activeTag_;
  if (!tag || !tag->HasRange()) {
    activeTag_ = nullptr;
    SwitchWindow(true);
  }
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
    activeTag_ = tag;
    SwitchWindow(readAhead);
    throw;
  }
  activeTag_ = tag;
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
  // is still whole. The index files write what they hold first.
  try {
    CheckReadable(from);
    for (auto& f : slots_) {
      if (!f) continue;
      f->Flush();
      f->ReleasePaths();
    }
  } catch (...) {
    restore(from);
    throw;
  }

  // Index blocks are read under the reading password and written under the
  // writing one.
  auto recrypt = [this](HXobjIndexFile& f, const Cipher& a, const Cipher& b) {
    SetReadPassword(a.password);
    SetWritePassword(b.password);
    SetEncrypted(true);
    f.Recrypt();
  };
  int64_t converted = 0;
  bool descriptors = false;
  size_t recrypted = 0;
  try {
    for (int64_t r = 1; r <= RecordCount(); ++r) {
      ConvertRecord(r, from, to);
      converted = r;
    }
    ConvertDescriptors(from, to);
    descriptors = true;
    for (; recrypted < slots_.size(); ++recrypted)
      if (slots_[recrypted]) recrypt(*slots_[recrypted], from, to);
    UseCipher(to);
    SetHeaderDirty(true);
    WriteHeader();
  } catch (...) {
    // Put back what was already changed, so the table stays readable under
    // its old password.
    try {
      for (size_t i = recrypted; i-- > 0;)
        if (slots_[i]) recrypt(*slots_[i], to, from);
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
