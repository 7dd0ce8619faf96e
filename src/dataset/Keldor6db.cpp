#include "dataset/Keldor6db.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "framework/dberrors.h"
#include "framework/sysutils.h"
#include "index/hx6_indx.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "platform/text.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_tool.h"

namespace {

using S = TDataSetState;

constexpr int kBookmarkSize = 11;
// Milliseconds of a day, and the day count between 1 January 0001 (day 1 of
// the millisecond count the engine keeps in T fields) and 30 December 1899
// (day 0 of TDateTime).
constexpr double kMsPerDay = 86400000.0;
constexpr double kDateDelta = 693594.0;

bool IsDefaultDirectory(const std::string& name) {
  return platform::CompareTextAscii(name, "Default Directory") == 0;
}

// Points the table's record buffer at a row for the life of the scope; the
// previous buffer comes back afterwards, also when the work fails.
class RowScope {
 public:
  RowScope(HXO_dBaseFld& table, uint8_t* row) : table_(table), previous_(table.RecordBuffer()) {
    table.SetRecordBuffer(row);
  }
  ~RowScope() { table_.SetRecordBuffer(previous_); }
  RowScope(const RowScope&) = delete;
  RowScope& operator=(const RowScope&) = delete;

 private:
  HXO_dBaseFld& table_;
  uint8_t* previous_;
};

// Shows deleted records for the life of the scope.
class DeletedVisible {
 public:
  explicit DeletedVisible(HXO_dBaseDBF& table) : table_(table), saved_(table.UseDeleted()) {
    table.SetUseDeleted(true);
  }
  ~DeletedVisible() { table_.SetUseDeleted(saved_); }
  DeletedVisible(const DeletedVisible&) = delete;
  DeletedVisible& operator=(const DeletedVisible&) = delete;

 private:
  HXO_dBaseDBF& table_;
  bool saved_;
};

// The change flags of a table, kept across work that builds record images.
class ChangeFlagsKept {
 public:
  explicit ChangeFlagsKept(HXO_dBaseDBF& table) : table_(table), record_(table.RecordChanged()) {
    for (int i = 0; i <= table.FieldCount(); ++i) fields_.push_back(table.FieldChanged(i));
  }
  ~ChangeFlagsKept() {
    for (int i = 0; i <= table_.FieldCount(); ++i) table_.SetFieldChanged(i, fields_[static_cast<size_t>(i)]);
    table_.SetRecordChanged(record_);
  }
  ChangeFlagsKept(const ChangeFlagsKept&) = delete;
  ChangeFlagsKept& operator=(const ChangeFlagsKept&) = delete;

 private:
  HXO_dBaseDBF& table_;
  bool record_;
  std::vector<bool> fields_;
};

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The table fields a key expression names, in the order they first appear:
// identifiers outside literals that are not followed by "(" and that the
// table has as fields.
std::vector<std::string> KeyFieldNames(const HXO_dBaseFld& table, const std::string& expression) {
  std::vector<std::string> names;
  const size_t n = expression.size();
  size_t i = 0;
  while (i < n) {
    const char c = expression[i];
    if (c == '"' || c == '\'' || c == '[') {
      const char close = c == '[' ? ']' : c;
      size_t end = expression.find(close, i + 1);
      i = end == std::string::npos ? n : end + 1;
      continue;
    }
    if (!IsLetter(c)) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < n && (IsLetter(expression[end]) || IsDigit(expression[end]))) ++end;
    const std::string word = expression.substr(i, end - i);
    size_t next = end;
    while (next < n && expression[next] == ' ') ++next;
    i = end;
    if (next < n && expression[next] == '(') continue;  // a function
    if (table.FieldNumber(word) <= 0) continue;
    const std::string upper = HxUpperCase(word);
    if (std::find(names.begin(), names.end(), upper) == names.end()) names.push_back(upper);
  }
  return names;
}

std::string BookmarkText(const uint8_t* bookmark) {
  const char* p = reinterpret_cast<const char*>(bookmark);
  return std::string(p, strnlen(p, kBookmarkSize));
}

// The record number a bookmark names; false when the text is no number.
bool BookmarkNumber(const uint8_t* bookmark, int64_t& recno) {
  return TryStrToInt64(Trim(BookmarkText(bookmark)), recno);
}

}  // namespace

// ---- the alias list -------------------------------------------------------------------

namespace {

void LoadAliases(TStringList& list) {
  list.Clear();
  platform::IniFile cfg(KeldorConfigFile());
  for (const std::string& line : cfg.ReadSectionValues("Alias")) list.Add(line);
}

TStringList& AliasStore() {
  static TStringList list;
  static bool loaded = false;
  if (!loaded) {
    loaded = true;
    LoadAliases(list);
  }
  return list;
}

}  // namespace

std::string KeldorConfigFile() { return platform::WindowsDirectory() + "\\keldor.cfg"; }

TStringList& KeldorAliases() { return AliasStore(); }

void ReloadKeldorAliases() { LoadAliases(AliasStore()); }

// ---- DBFObject ----------------------------------------------------------------------------

DBFObject::DBFObject(TKeldorDataSet* owner, const std::string& fileName, bool shared, bool readWrite,
                     const std::string& password)
    : HXO_dBHandler(fileName, shared, readWrite, password), dataSet_(owner) {}

void DBFObject::EventHook(int phase, int position, int total) {
  if (dataSet_ && dataSet_->OnStatus) {
    dataSet_->OnStatus(dataSet_, phase, position, total);
    return;
  }
  HXO_dBHandler::EventHook(phase, position, total);
}

bool DBFObject::RecordVisible() {
  if (dataSet_ && dataSet_->Active() && dataSet_->Filtered() && dataSet_->OnFilterRecord &&
      !dataSet_->FilterEventAccepts())
    return false;
  return HXO_dBHandler::RecordVisible();
}

// ---- construction and properties ------------------------------------------------------

TKeldorDataSet::TKeldorDataSet(TComponent* owner) : TDataSet(owner) {
  indexFiles_.OnChange = [this](TStrings*) { IndexFilesChanged(); };
  masterLink_.OnMasterChange = [this] { MasterChanged(); };
  masterLink_.OnMasterDisable = [this] { MasterDisabled(); };
}

TKeldorDataSet::~TKeldorDataSet() {
  indexFiles_.OnChange = nullptr;
  masterLink_.OnMasterChange = nullptr;
  masterLink_.OnMasterDisable = nullptr;
  try {
    Close();
  } catch (const std::exception&) {
    // A destructor cannot report; the handler goes with the dataset anyway.
  }
  handler_.reset();
}

void TKeldorDataSet::SetDatabaseName(const std::string& value) {
  if (value == databaseName_) return;
  std::string name = value;
  if (!IsDefaultDirectory(name)) {
    if (!name.empty() && name.back() == '\\') name.pop_back();
    // Every folder named is an alias of itself.
    if (!name.empty() && KeldorAliases().IndexOfName(name) < 0) KeldorAliases().Add(name + "=" + name);
  }
  CheckInactive();
  databaseName_ = name;
  DataEvent(TDataEvent::dePropertyChange);
}

void TKeldorDataSet::SetTableName(const std::string& value) {
  CheckInactive();
  if (value != tableName_) indexFiles_.Clear();
  tableName_ = value;
}

void TKeldorDataSet::SetReadOnly(bool value) {
  readOnly_ = handler_ ? value || !handler_->ReadWrite() : value;
}

void TKeldorDataSet::SetAutoFlush(bool value) {
  autoFlush_ = value;
  if (handler_) handler_->SetAutoFlush(value);
}

void TKeldorDataSet::SetLockProtocol(ThxLokProtocol value) {
  lockProtocol_ = value;
  if (handler_) handler_->SetLockProtocol(static_cast<uint8_t>(value));
}

void TKeldorDataSet::SetUseDeleted(bool value) {
  useDeleted_ = value;
  if (handler_) handler_->SetUseDeleted(value);
}

void TKeldorDataSet::SetUserID(int value) {
  userID_ = value;
  if (handler_) handler_->SetUserID(static_cast<uint32_t>(value));
}

void TKeldorDataSet::SetEncryptionKey(const std::string& value) {
  CheckInactive();
  encryptionKey_ = value;
}

std::string TKeldorDataSet::TableFolder() const {
  std::string folder;
  if (IsDefaultDirectory(databaseName_)) {
    folder = ExtractFilePath(platform::ExecutablePath());
  } else {
    const TStringList& aliases = KeldorAliases();
    const int i = databaseName_.empty() ? -1 : aliases.IndexOfName(databaseName_);
    const std::string value = i >= 0 ? aliases.ValueFromIndex(i) : std::string();
    // A folder registered as an alias of itself is that folder as this
    // dataset spells it (names are matched without regard to case).
    const bool self = i >= 0 && platform::AnsiSameText(value, aliases.Names(i));
    folder = value.empty() || self ? databaseName_ : value;
  }
  // No name at all is the current folder, not the root of the current drive.
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return folder;
}

// ---- opening and closing ---------------------------------------------------------------

void TKeldorDataSet::InternalOpen() {
  if (tableName_.empty()) DatabaseError(KeldorMessage(hxDsTableNameMissing));
  if (ExtractFileExt(tableName_).empty()) tableName_ += ".DBF";
  const std::string file = ExpandFileName(TableFolder() + tableName_);
  if (!platform::FileExists(file)) DatabaseError(FormatKeldorMessage(hxDsCannotFindFile, file));

  handler_ = std::make_unique<DBFObject>(this, file, !exclusive_, !readOnly_, encryptionKey_);
  DBFObject& h = *handler_;
  h.SetAutoFlush(autoFlush_);
  h.SetUseDeleted(useDeleted_);
  h.SetBuffering(false);
  h.SetLockProtocol(static_cast<uint8_t>(lockProtocol_));
  h.SetUserID(static_cast<uint32_t>(userID_));

  InitFieldDefs();
  if (DefaultFields()) CreateFields();
  BindFields(true);

  recordLength_ = static_cast<int>(h.RecordLength());
  calcOffset_ = recordLength_ + 1;
  infoOffset_ = calcOffset_ + CalcFieldsSize();
  bookmarkOffset_ = infoOffset_ + 5;
  bufferSize_ = bookmarkOffset_ + kBookmarkSize;
  SetBookmarkSize(kBookmarkSize);
  recordLocked_ = false;
  oldRow_.clear();
  ranged_ = false;

  if (Filtered()) ApplyFilter();
  atStart_ = true;
  atEnd_ = false;
  OpenIndexFiles(false);
  h.SelectTag(indexName_, false);
  if (masterLink_.Active()) ApplyMasterRange();
}

void TKeldorDataSet::InternalClose() {
  try {
    ReleaseRecordLock();
  } catch (const std::exception&) {
    // Closing the file gives the lock back anyway.
  }
  oldRow_.clear();
  indexDefs_.Clear();
  ranged_ = false;
  ClearMarks();
  handler_.reset();
}

TFieldType TKeldorDataSet::FieldClassOf(int n) const {
  const ThxDBFFields* f = handler_->FieldEntry(n);
  if (!f) return TFieldType::ftUnknown;
  switch (f->type) {
    case 'C':
      return TFieldType::ftString;
    case 'D':
      return TFieldType::ftDate;
    case 'N':
    case 'F':
      if (f->decimals > 0) return TFieldType::ftFloat;
      if (f->width <= 4) return TFieldType::ftSmallint;
      if (f->width <= 9) return TFieldType::ftInteger;
      switch (largeIntegerAs_) {
        case ThxIntFields::asLargeInt:
          return TFieldType::ftLargeint;
        case ThxIntFields::asFloat:
          return TFieldType::ftFloat;
        case ThxIntFields::asInteger:
          break;
      }
      return TFieldType::ftInteger;
    case 'I':
      return TFieldType::ftInteger;
    case 'L':
      return TFieldType::ftBoolean;
    case 'M':
      return TFieldType::ftMemo;
    case 'B':
    case 'G':
      return TFieldType::ftBlob;
    case 'T':
      return TFieldType::ftDateTime;
    case 'Y':
      return TFieldType::ftCurrency;
    default:
      return TFieldType::ftUnknown;
  }
}

void TKeldorDataSet::InternalInitFieldDefs() {
  DBFObject& h = *handler_;
  for (int n = 1; n <= h.FieldCount(); ++n) {
    const TFieldType type = FieldClassOf(n);
    if (type == TFieldType::ftUnknown) continue;
    const ThxDBFFields* f = h.FieldEntry(n);
    const int size = type == TFieldType::ftString ? static_cast<int>(f->length) : 0;
    FieldDefs().Add(HxTrimRight(f->name), type, size).SetFieldNo(n);
  }
}

// ---- record buffers ----------------------------------------------------------------------

TRecordBuffer TKeldorDataSet::AllocRecordBuffer() {
  // Zero-filled; the framework's window uses them until it hands them back.
  buffers_.push_back(std::make_unique<uint8_t[]>(static_cast<size_t>(std::max(bufferSize_, 1))));
  return buffers_.back().get();
}

void TKeldorDataSet::FreeRecordBuffer(TRecordBuffer& buffer) {
  auto it = std::find_if(buffers_.begin(), buffers_.end(), [&](const auto& b) { return b.get() == buffer; });
  if (it != buffers_.end()) buffers_.erase(it);
  buffer = nullptr;
}

int32_t TKeldorDataSet::RecNoOf(const uint8_t* buffer) const {
  int32_t recno;
  std::memcpy(&recno, buffer + infoOffset_, 4);
  return recno;
}

void TKeldorDataSet::SetRecNoOf(uint8_t* buffer, int32_t recno) const {
  std::memcpy(buffer + infoOffset_, &recno, 4);
}

TBookmarkFlag TKeldorDataSet::GetBookmarkFlag(TRecordBuffer buffer) {
  return static_cast<TBookmarkFlag>(buffer[infoOffset_ + 4]);
}

void TKeldorDataSet::SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) {
  buffer[infoOffset_ + 4] = static_cast<uint8_t>(flag);
}

void TKeldorDataSet::GetBookmarkData(TRecordBuffer buffer, uint8_t* data) {
  std::memcpy(data, buffer + bookmarkOffset_, kBookmarkSize);
}

void TKeldorDataSet::SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) {
  std::memcpy(buffer + bookmarkOffset_, data, kBookmarkSize);
}

void TKeldorDataSet::ClearCalcFields(TRecordBuffer buffer) {
  if (CalcFieldsSize() > 0) std::memset(buffer + calcOffset_, 0, static_cast<size_t>(CalcFieldsSize()));
}

void TKeldorDataSet::InternalInitRecord(TRecordBuffer buffer) {
  DBFObject& h = *handler_;
  {
    RowScope row(h, buffer);
    h.BlankRecord();
  }
  buffer[recordLength_] = kDbfEndOfFile;
  SetRecNoOf(buffer, 0);
  std::memset(buffer + bookmarkOffset_, 0, kBookmarkSize);
}

void TKeldorDataSet::FillBuffer(TRecordBuffer buffer) {
  DBFObject& h = *handler_;
  std::memcpy(buffer, h.RecordBuffer(), static_cast<size_t>(recordLength_) + 1);
  const int32_t recno = static_cast<int32_t>(h.RecNo());
  SetRecNoOf(buffer, recno);
  SetBookmarkFlag(buffer, TBookmarkFlag::bfCurrent);
  ClearCalcFields(buffer);
  GetCalcFields(buffer);
  char text[kBookmarkSize + 1];
  std::snprintf(text, sizeof text, "%10d", static_cast<int>(recno));
  std::memcpy(buffer + bookmarkOffset_, text, kBookmarkSize);  // ten characters and the zero
}

TRecordBuffer TKeldorDataSet::GetActiveRecordBuffer() {
  switch (State()) {
    case S::dsFilter:
      return handler_ ? handler_->RecordBuffer() : nullptr;
    case S::dsOldValue:
      if (!oldRow_.empty()) return oldRow_.data();
      return TDataSet::GetActiveRecordBuffer();
    default:
      return TDataSet::GetActiveRecordBuffer();
  }
}

// ---- navigation --------------------------------------------------------------------------

TGetResult TKeldorDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) {
  if (!handler_) return TGetResult::grError;
  DBFObject& h = *handler_;
  try {
    switch (mode) {
      case TGetMode::gmCurrent:
        if (atStart_) return TGetResult::grBOF;
        if (atEnd_) return TGetResult::grEOF;
        h.GetRecord(kGetCurrent);
        break;
      case TGetMode::gmNext:
        if (atEnd_) return TGetResult::grEOF;
        if (atStart_) {
          h.GetRecord(kGetFirst);
          atStart_ = false;
        } else {
          h.GetRecord(kGetNext);
        }
        break;
      case TGetMode::gmPrior: {
        if (atStart_) return TGetResult::grBOF;
        const bool insertingOnRow = State() == S::dsInsert && ActiveBuffer() &&
                                    GetBookmarkFlag(ActiveBuffer()) == TBookmarkFlag::bfInserted;
        if (atEnd_ && !insertingOnRow) {
          h.GetRecord(kGetLast);
          atEnd_ = false;
        } else {
          h.GetRecord(kGetPrevious);
        }
        break;
      }
    }
  } catch (const EAbort&) {
    throw;
  } catch (const Exception&) {
    if (doCheck) DatabaseError(KeldorMessage(hxDsRecordBeyondRange));
    return TGetResult::grError;
  }
  if (h.Eof()) return TGetResult::grEOF;
  if (h.Bof()) return TGetResult::grBOF;
  FillBuffer(buffer);
  return TGetResult::grOK;
}

void TKeldorDataSet::InternalFirst() {
  atStart_ = true;
  atEnd_ = false;
}

void TKeldorDataSet::InternalLast() {
  handler_->GetRecord(kGetLast);
  atStart_ = false;
  atEnd_ = true;
}

void TKeldorDataSet::InternalSetToRecord(TRecordBuffer buffer) {
  if (GetBookmarkFlag(buffer) != TBookmarkFlag::bfCurrent) return;
  const int32_t recno = RecNoOf(buffer);
  if (recno <= 0) return;
  handler_->GetRecord(recno);
  ClearMarks();
}

void TKeldorDataSet::InternalGotoBookmark(const uint8_t* bookmark) {
  int64_t recno = 0;
  if (!BookmarkNumber(bookmark, recno) || recno < 1)
    DatabaseError(KeldorMessage(hxDsBookmarkInvalid) + tableName_);
  handler_->GetRecord(recno);
  ClearMarks();
}

bool TKeldorDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!handler_ || bookmark.size() != static_cast<size_t>(kBookmarkSize)) return false;
  int64_t recno = 0;
  return BookmarkNumber(bookmark.data(), recno) && recno >= 1 && recno <= handler_->RecordCount();
}

int TKeldorDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return -1;
  if (b.empty()) return 1;
  auto text = [](const TBookmark& m) {
    return std::string(reinterpret_cast<const char*>(m.data()),
                       strnlen(reinterpret_cast<const char*>(m.data()), m.size()));
  };
  const int c = platform::AnsiCompareStr(text(a), text(b));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int TKeldorDataSet::GetRecordCount() {
  if (!handler_) DatabaseError(SDataSetClosed);
  DBFObject& h = *handler_;
  if (!exactCount_)
    return static_cast<int>(std::min<int64_t>(h.RecordCount(), std::numeric_limits<int>::max()));
  const int64_t current = h.RecNo();
  int64_t count = 0;
  h.GetRecord(kGetFirst);
  while (h.RecordValid()) {
    ++count;
    h.GetRecord(kGetNext);
  }
  ReturnTo(current);
  return static_cast<int>(std::min<int64_t>(count, std::numeric_limits<int>::max()));
}

int TKeldorDataSet::GetRecNo() {
  if (!handler_) DatabaseError(SDataSetClosed);
  TRecordBuffer buffer = State() == S::dsCalcFields ? CalcBuffer() : ActiveBuffer();
  if (!buffer || (State() == S::dsBrowse && IsEmpty())) return 0;
  return RecNoOf(buffer);
}

void TKeldorDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  DBFObject& h = *handler_;
  if (value > h.RecordCount()) h.RefreshHeader();
  if (value < 1 || value > h.RecordCount()) RaiseKeldorError(hxErrRecordNotInTable, value, h.FileName());
  DoBeforeScroll();
  h.GetRecord(value);
  ClearMarks();
  CursorPosChanged();
  Resync({TResyncModeItem::rmExact, TResyncModeItem::rmCenter});
  DoAfterScroll();
}

bool TKeldorDataSet::IsSequenced() {
  const bool tagged = handler_ ? handler_->ActiveTag() != nullptr : !indexName_.empty();
  return !tagged && !Filtered();
}

void TKeldorDataSet::ReturnTo(int64_t recno) {
  DBFObject& h = *handler_;
  if (recno >= 1 && recno <= h.RecordCount()) h.GetRecord(recno);
  CursorPosChanged();
}

// ---- editing -----------------------------------------------------------------------------

void TKeldorDataSet::ReleaseRecordLock() {
  if (!recordLocked_ || !handler_) return;
  recordLocked_ = false;
  handler_->UnlockTable();
}

void TKeldorDataSet::InternalEdit() {
  DBFObject& h = *handler_;
  TRecordBuffer row = ActiveBuffer();
  const int32_t recno = RecNoOf(row);
  // The lock comes first: what is read under it is what we change.
  h.SetRecNo(recno);
  if (!h.LockRecord()) DatabaseError(KeldorMessage(hxDsRecordLocked));
  recordLocked_ = true;
  try {
    h.GetRecord(recno);
  } catch (...) {
    ReleaseRecordLock();
    throw;
  }
  std::memcpy(row, h.RecordBuffer(), static_cast<size_t>(recordLength_) + 1);
  oldRow_.assign(row, row + bufferSize_);
}

void TKeldorDataSet::InternalInsert() {
  // The new row goes to the end of the table when it is posted.
  handler_->SetEof(true);
}

void TKeldorDataSet::InternalCancel() {
  oldRow_.clear();
  ReleaseRecordLock();
}

void TKeldorDataSet::InternalPost() {
  DBFObject& h = *handler_;
  TRecordBuffer row = ActiveBuffer();
  if (State() == S::dsEdit) {
    const int32_t recno = RecNoOf(row);
    // The stored record, read again: the indexes take the keys they drop
    // from it.
    h.GetRecord(recno);
    RowScope scope(h, row);
    h.PutRecord(recno);
  } else {
    RowScope scope(h, row);
    h.AppendRecord();
  }
  oldRow_.clear();
  ClearMarks();
  ReleaseRecordLock();
}

void TKeldorDataSet::InternalAddRecord(TRecordBuffer buffer, bool) {
  DBFObject& h = *handler_;
  {
    RowScope scope(h, buffer);
    h.AppendRecord();
  }
  ClearMarks();
}

void TKeldorDataSet::InternalDelete() {
  DBFObject& h = *handler_;
  const int32_t recno = RecNoOf(ActiveBuffer());
  {
    DeletedVisible shown(h);
    h.GetRecord(recno);
    // Another user's edit holds the record: it is not ours to delete.
    h.SetRecNo(recno);
    if (!h.LockRecord()) DatabaseError(KeldorMessage(hxDsCannotDelete));
    try {
      h.DeleteRecord();
    } catch (...) {
      try {
        h.UnlockTable();
      } catch (const std::exception&) {
      }
      throw;
    }
    h.UnlockTable();
  }
  // The row that takes the deleted one's place: the next visible record, or
  // the last one when there is no next.
  ClearMarks();
  h.GetRecord(kGetCurrent);
  if (h.Eof()) atEnd_ = true;
}

void TKeldorDataSet::Recall() {
  CheckBrowseMode();
  CheckCanModify();
  if (IsEmpty()) return;
  DBFObject& h = *handler_;
  UpdateCursorPos();
  const int32_t recno = RecNoOf(ActiveBuffer());
  {
    DeletedVisible shown(h);
    h.GetRecord(recno);
    h.SetRecNo(recno);
    if (!h.LockRecord()) DatabaseError(KeldorMessage(hxDsCannotRecall));
    try {
      h.UndeleteRecord();
    } catch (...) {
      try {
        h.UnlockTable();
      } catch (const std::exception&) {
      }
      throw;
    }
    h.UnlockTable();
  }
  CursorPosChanged();
  Resync({});
}

void TKeldorDataSet::InternalRefresh() {
  DBFObject& h = *handler_;
  h.RefreshHeader();
  h.RebuildFilter();
  TRecordBuffer row = ActiveBuffer();
  if (row && !IsEmpty() && GetBookmarkFlag(row) == TBookmarkFlag::bfCurrent && RecNoOf(row) > 0)
    h.GetRecord(RecNoOf(row));
}

// ---- field values --------------------------------------------------------------------------

uint8_t* TKeldorDataSet::RowBuffer() { return GetActiveRecordBuffer(); }

bool TKeldorDataSet::GetFieldData(TField* field, void* buffer) {
  if (!handler_) return false;
  uint8_t* row = RowBuffer();
  if (!row) return false;
  if (field->FieldKind() != TFieldKind::fkData) {
    // The handler's own record (filter state) has no calculated-field area.
    if (State() == S::dsFilter) return false;
    return GetCalcFieldData(row + calcOffset_, field, buffer);
  }
  return ReadField(field, row, buffer);
}

bool TKeldorDataSet::ReadField(TField* field, uint8_t* row, void* buffer) {
  DBFObject& h = *handler_;
  const int n = field->FieldNo();
  if (!h.FieldEntry(n)) return false;
  RowScope scope(h, row);
  switch (field->DataType()) {
    case TFieldType::ftString: {
      std::string text;
      h.GetString(n, text);
      if (text.empty()) return false;
      if (buffer) {
        const size_t length = std::min(text.size(), static_cast<size_t>(field->Size()));
        std::memcpy(buffer, text.data(), length);
        static_cast<char*>(buffer)[length] = 0;
      }
      return true;
    }
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftLargeint: {
      // Rounded to the nearest integer, a half to the even neighbour.
      const double value = std::nearbyint(h.GetNumber(n));
      double low = -9223372036854775808.0, high = 9223372036854775807.0;
      if (field->DataType() == TFieldType::ftSmallint) {
        low = std::numeric_limits<int16_t>::min();
        high = std::numeric_limits<int16_t>::max();
      } else if (field->DataType() == TFieldType::ftInteger) {
        low = std::numeric_limits<int32_t>::min();
        high = std::numeric_limits<int32_t>::max();
      }
      // A stored number the field's class cannot hold is refused rather
      // than cut to the class's width.
      if (!(value >= low && value <= high))
        DatabaseError(Format(SFieldRangeError,
                             {FloatToStr(value), field->DisplayName(), FloatToStr(low), FloatToStr(high)}),
                      this);
      if (!buffer) return true;
      if (field->DataType() == TFieldType::ftSmallint) {
        const int16_t v = static_cast<int16_t>(value);
        std::memcpy(buffer, &v, sizeof v);
      } else if (field->DataType() == TFieldType::ftInteger) {
        const int32_t v = static_cast<int32_t>(value);
        std::memcpy(buffer, &v, sizeof v);
      } else {
        const int64_t v = value >= high ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(value);
        std::memcpy(buffer, &v, sizeof v);
      }
      return true;
    }
    case TFieldType::ftBoolean: {
      if (buffer) {
        const uint16_t v = h.GetLogical(n) ? 1 : 0;
        std::memcpy(buffer, &v, sizeof v);
      }
      return true;
    }
    case TFieldType::ftFloat:
    case TFieldType::ftCurrency: {
      const double v = h.GetNumber(n);
      if (buffer) std::memcpy(buffer, &v, sizeof v);
      return true;
    }
    case TFieldType::ftDate: {
      std::string raw;
      h.GetRaw(n, raw);
      raw = HxTrimRight(raw);
      if (raw.size() != 8 || raw == "00000000") return false;
      for (char c : raw)
        if (!IsDigit(c)) return false;
      TDateTime date = 0;
      if (!TryEncodeDate(std::stoi(raw.substr(0, 4)), std::stoi(raw.substr(4, 2)),
                         std::stoi(raw.substr(6, 2)), date))
        return false;
      if (buffer) std::memcpy(buffer, &date, sizeof date);
      return true;
    }
    case TFieldType::ftDateTime: {
      const double ms = h.GetNumber(n);
      if (ms == 0) return false;
      if (buffer) {
        const double days = std::floor(ms / kMsPerDay);
        const double time = (ms - days * kMsPerDay) / kMsPerDay;
        const double whole = days - kDateDelta;
        // Before 1899 the day counts down while the time of day still counts up.
        const TDateTime value = whole >= 0 ? whole + time : whole - time;
        std::memcpy(buffer, &value, sizeof value);
      }
      return true;
    }
    case TFieldType::ftMemo:
    case TFieldType::ftBlob:
      return std::trunc(h.GetNumber(n)) != 0;
    default:
      return false;
  }
}

void TKeldorDataSet::SetFieldData(TField* field, const void* buffer) {
  const S s = State();
  if (s != S::dsEdit && s != S::dsInsert && s != S::dsSetKey && s != S::dsCalcFields && s != S::dsFilter &&
      s != S::dsNewValue && s != S::dsInternalCalc)
    DatabaseError(KeldorMessage(hxDsNotEditing));
  if (s == S::dsSetKey && (field->FieldKind() != TFieldKind::fkData || !IsIndexField(field)))
    DatabaseError(Format(SNotIndexField, {field->DisplayName()}));
  uint8_t* row = RowBuffer();
  if (!row || !handler_) DatabaseError(KeldorMessage(hxDsNotEditing));
  if (field->FieldKind() != TFieldKind::fkData) {
    if (s != S::dsFilter) SetCalcFieldData(row + calcOffset_, field, buffer);
    return;
  }
  if (s == S::dsCalcFields) DatabaseError(KeldorMessage(hxDsNotEditing));
  if (field->ReadOnly() && s != S::dsSetKey && s != S::dsFilter)
    DatabaseError(Format(SFieldReadOnly, {field->DisplayName()}));
  field->Validate(buffer);
  WriteField(field, row, buffer);
  if (s != S::dsSetKey && s != S::dsCalcFields && s != S::dsFilter && s != S::dsNewValue)
    DataEvent(TDataEvent::deFieldChange, {field});
}

void TKeldorDataSet::WriteField(TField* field, uint8_t* row, const void* buffer) {
  DBFObject& h = *handler_;
  const int n = field->FieldNo();
  if (!h.FieldEntry(n)) return;
  RowScope scope(h, row);
  switch (field->DataType()) {
    case TFieldType::ftString:
      h.PutString(n, buffer ? static_cast<const char*>(buffer) : "");
      break;
    case TFieldType::ftSmallint: {
      int16_t v = 0;
      if (buffer) std::memcpy(&v, buffer, sizeof v);
      h.PutNumber(n, v);
      break;
    }
    case TFieldType::ftInteger: {
      int32_t v = 0;
      if (buffer) std::memcpy(&v, buffer, sizeof v);
      h.PutNumber(n, v);
      break;
    }
    case TFieldType::ftLargeint: {
      int64_t v = 0;
      if (buffer) std::memcpy(&v, buffer, sizeof v);
      h.PutNumber(n, static_cast<double>(v));
      break;
    }
    case TFieldType::ftBoolean: {
      uint16_t v = 0;
      if (buffer) std::memcpy(&v, buffer, sizeof v);
      h.PutLogical(n, v != 0);
      break;
    }
    case TFieldType::ftFloat:
    case TFieldType::ftCurrency: {
      double v = 0;
      if (buffer) std::memcpy(&v, buffer, sizeof v);
      h.PutNumber(n, v);
      break;
    }
    case TFieldType::ftDateTime: {
      double ms = 0;
      if (buffer) {
        TDateTime v;
        std::memcpy(&v, buffer, sizeof v);
        const double whole = std::trunc(v);
        const double time = std::fabs(v - whole);
        ms = (whole + kDateDelta) * kMsPerDay + std::round(time * kMsPerDay);
      }
      h.PutNumber(n, ms);
      break;
    }
    case TFieldType::ftDate: {
      std::string text(8, ' ');
      if (buffer) {
        TDateTime v;
        std::memcpy(&v, buffer, sizeof v);
        if (std::isfinite(v) && v >= -693593.0 && v < 2958466.0) {
          int year, month, day;
          DecodeDate(v, year, month, day);
          char digits[16];
          std::snprintf(digits, sizeof digits, "%04d%02d%02d", year, month, day);
          text = digits;
        }
      }
      h.PutRaw(n, text);
      break;
    }
    case TFieldType::ftMemo:
    case TFieldType::ftBlob:
      h.WriteMemo(n, "", 0);
      break;
    default:
      break;
  }
}

bool TKeldorDataSet::IsIndexField(const TField* field) const {
  if (!handler_ || !handler_->ActiveTag()) return false;
  const std::vector<std::string> names = KeyFieldNames(*handler_, handler_->ActiveTag()->KeyExpression());
  const std::string wanted = HxUpperCase(field->FieldName());
  return std::find(names.begin(), names.end(), wanted) != names.end();
}

int TKeldorDataSet::Translate(const char* source, char* destination, bool toOem) {
  const int length = TDataSet::Translate(source, destination, toOem);
  if (translateASCII_) {
    if (toOem)
      platform::AnsiToOemBuff(destination, static_cast<size_t>(length));
    else
      platform::OemToAnsiBuff(destination, static_cast<size_t>(length));
  }
  return length;
}

std::vector<Variant> TKeldorDataSet::ValuesForTable(const std::vector<Variant>& values) const {
  std::vector<Variant> out = values;
  if (!translateASCII_) return out;
  for (Variant& v : out)
    if (v.VarType() == TVarType::varString) v = Variant(platform::AnsiToOem(v.AsString()));
  return out;
}

// ---- filter --------------------------------------------------------------------------------

bool TKeldorDataSet::FilterEventAccepts() { return FilterRecordAccepted(); }

void TKeldorDataSet::ApplyFilter() {
  DBFObject& h = *handler_;
  h.SetFilterActive(true);
  h.SetFilter(Filter(), FilterOptions().Contains(TFilterOption::foCaseInsensitive),
              !FilterOptions().Contains(TFilterOption::foNoPartialCompare));
}

void TKeldorDataSet::SetFilterText(const std::string& text) {
  TDataSet::SetFilterText(text);  // stored in every case
  if (!Active() || !Filtered()) return;
  CheckBrowseMode();
  try {
    ApplyFilter();
  } catch (...) {
    // The filter that failed is gone: every record shows.
    try {
      First();
    } catch (const std::exception&) {
    }
    throw;
  }
  First();
}

void TKeldorDataSet::SetFilterOptions(TFilterOptions options) {
  TDataSet::SetFilterOptions(options);
  if (!Active() || !Filtered()) return;
  CheckBrowseMode();
  try {
    ApplyFilter();
  } catch (...) {
    try {
      First();
    } catch (const std::exception&) {
    }
    throw;
  }
  First();
}

void TKeldorDataSet::SetFiltered(bool value) {
  if (!Active()) {
    TDataSet::SetFiltered(value);
    return;
  }
  CheckBrowseMode();
  if (value != Filtered()) {
    TDataSet::SetFiltered(value);
    handler_->SetFilterActive(value);
    if (value) {
      try {
        ApplyFilter();
      } catch (...) {
        try {
          First();
        } catch (const std::exception&) {
        }
        throw;
      }
    }
  }
  First();
}

// ---- index files and order -------------------------------------------------------------

void TKeldorDataSet::OpenIndexFiles(bool listChanged) {
  DBFObject& h = *handler_;
  struct Opening {
    bool& flag;
    explicit Opening(bool& f) : flag(f) { flag = true; }
    ~Opening() { flag = false; }
  } opening(openingIndexes_);
  h.CloseIndexes();
  indexDefs_.Clear();
  try {
    for (int i = 0; i < indexFiles_.Count(); ++i) {
      std::string name = Trim(indexFiles_[i]);
      if (name.empty()) continue;
      if (ExtractFileExt(name).empty()) name += ".ndx";
      if (ExtractFilePath(name).empty()) name = TableFolder() + name;
      const std::string file = ExpandFileName(name);
      if (!platform::FileExists(file)) DatabaseError(FormatKeldorMessage(hxDsCannotFindFile, file));
      int result = 0;
      try {
        result = h.OpenIndex(file);
      } catch (const EAbort&) {
        throw;
      } catch (const Exception&) {
        DatabaseError(FormatKeldorMessage(hxDsErrorGetting, file));
      }
      if (result == -1 && listChanged) DatabaseError(FormatKeldorMessage(hxDsIndexAlreadyOpen, file));
    }
  } catch (...) {
    BuildIndexDefs();
    throw;
  }
  BuildIndexDefs();
}

void TKeldorDataSet::BuildIndexDefs() {
  indexDefs_.Clear();
  if (!handler_) return;
  for (int n = 1;; ++n) {
    HXobjIndexTag* tag = handler_->TagByNumber(n);
    if (!tag) break;
    TIndexOptions options;
    if (tag->Unique()) options.Include(TIndexOption::ixUnique);
    if (tag->Descending()) options.Include(TIndexOption::ixDescending);
    const std::string& expression = tag->KeyExpression();
    if (expression.find('(') != std::string::npos) {
      options.Include(TIndexOption::ixExpression);
      indexDefs_.Add(tag->Name(), "", options).SetExpression(expression);
      continue;
    }
    std::string fields;
    for (char c : expression) {
      if (c == ' ') continue;
      fields += c == '+' || c == '-' ? ';' : c;
    }
    indexDefs_.Add(tag->Name(), fields, options);
  }
  indexDefs_.SetUpdated(true);
}

void TKeldorDataSet::IndexFilesChanged() {
  if (!Active() || openingIndexes_) return;
  CheckBrowseMode();
  if (indexFiles_.Count() == 0) indexName_.clear();
  DBFObject& h = *handler_;
  ranged_ = false;
  try {
    OpenIndexFiles(true);
    try {
      h.SelectTag(indexName_, false);
    } catch (...) {
      h.SelectTag("", false);
      throw;
    }
    if (masterLink_.Active()) ApplyMasterRange();
  } catch (...) {
    try {
      First();
    } catch (const std::exception&) {
    }
    throw;
  }
  First();
}

void TKeldorDataSet::SetIndexName(const std::string& name) {
  if (!Active()) {
    indexName_ = name;
    return;
  }
  CheckBrowseMode();
  DBFObject& h = *handler_;
  const bool atAnEnd = Bof() || Eof() || IsEmpty();
  UpdateCursorPos();
  ranged_ = false;  // the old tag's range goes with it
  h.SelectTag(name, true);
  indexName_ = name;
  if (masterLink_.Active()) {
    try {
      ApplyMasterRange();
    } catch (...) {
      try {
        First();
      } catch (const std::exception&) {
      }
      throw;
    }
  }
  // The new order is in force; going to a row in it never makes the
  // selection fail.
  try {
    if (atAnEnd || ranged_ || !h.RecordValid() || h.OutOfOrder()) {
      First();
    } else {
      ClearMarks();
      CursorPosChanged();
      Resync({});
      DoAfterScroll();
    }
  } catch (const EAbort&) {
    throw;
  } catch (const Exception&) {
  }
}

// ---- master/detail ------------------------------------------------------------------------

void TKeldorDataSet::SetMasterSource(TDataSource* source) {
  if (source == masterLink_.DataSource()) return;
  if (source && IsLinkedTo(source)) DatabaseError(SCircularDataLink);
  masterLink_.SetDataSource(source);
}

void TKeldorDataSet::SetMasterFields(const std::string& names) {
  if (names == masterLink_.FieldNames()) return;
  masterLink_.SetFieldNames(names);
  if (Active() && masterLink_.Active()) MasterChanged();
}

void TKeldorDataSet::MasterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  ApplyMasterRange();
  First();
}

void TKeldorDataSet::MasterDisabled() {
  if (!Active()) return;
  CheckBrowseMode();
  ClearMasterRange();
  First();
}

void TKeldorDataSet::ClearMasterRange() {
  if (ranged_ && handler_ && handler_->ActiveTag()) handler_->ActiveTag()->SetRange(nullptr, nullptr);
  ranged_ = false;
}

void TKeldorDataSet::ApplyMasterRange() {
  DBFObject& h = *handler_;
  const std::vector<TField*>& masterFields = masterLink_.Fields();
  if (!masterLink_.Active() || masterFields.empty()) {
    ClearMasterRange();
    return;
  }
  HXobjIndexTag* tag = h.ActiveTag();
  if (!tag) DatabaseError(FormatKeldorMessage(hxDsMasterDetailNoIndex, tableName_));
  const std::vector<std::string> names = KeyFieldNames(h, tag->KeyExpression());
  if (names.size() < masterFields.size())
    DatabaseError(FormatKeldorMessage(hxErrMasterDetailField, tableName_));

  TDataSet* master = masterLink_.DataSet();
  ThxVariant low, high;
  if (master->State() == S::dsInsert || master->IsEmpty()) {
    // A master row that is not stored yet (or none at all) has no details.
    if (tag->KeyType() == hxKeyCharacter) {
      low.SetString("\x01");
      high.SetString("\x01");
    } else if (tag->KeyType() == hxKeyDate) {
      low.SetDate(2);
      high.SetDate(1);
    } else {
      low.SetNumber(1);
      high.SetNumber(0);
    }
  } else {
    // The master's values, as text in the table's code page, in the tag's
    // first fields of a blank record; the key is the tag's expression on it.
    std::string list;
    std::vector<Variant> values;
    for (size_t i = 0; i < masterFields.size(); ++i) {
      TField* f = masterFields[i];
      std::string text;
      if (!f->IsNull()) {
        if (f->DataType() == TFieldType::ftDate || f->DataType() == TFieldType::ftDateTime)
          text = FormatDateTimeWin("yyyyMMdd", f->AsDateTime());
        else
          text = f->AsString();
      }
      if (translateASCII_) text = platform::AnsiToOem(text);
      list += names[i] + ";";
      values.emplace_back(text);
    }
    std::vector<uint8_t> scratch(static_cast<size_t>(recordLength_) + 1, ' ');
    scratch[static_cast<size_t>(recordLength_)] = kDbfEndOfFile;
    ChangeFlagsKept kept(h);
    h.BuildRecordImage(scratch.data(), list, values);
    {
      RowScope scope(h, scratch.data());
      tag->BuildKey(low);
    }
    high.Assign(low);
    if (names.size() > masterFields.size() && tag->KeyType() == hxKeyCharacter) {
      // The tag has fields beyond the master's: the rows wanted are those
      // whose key starts with the part the master's values decide. That
      // part is what stays the same when the other fields change from
      // their lowest to their highest filling.
      {
        RowScope scope(h, scratch.data());
        for (size_t i = masterFields.size(); i < names.size(); ++i) {
          const ThxDBFFields& e = h.FieldEntryByName(names[i]);
          switch (e.type) {
            case 'N':
            case 'F':
              h.PutRaw(e.number, std::string(e.width, '9'));
              break;
            case 'D':
              h.PutRaw(e.number, "99991231");
              break;
            case 'L':
              h.PutRaw(e.number, "T");
              break;
            default:
              h.PutRaw(e.number, std::string(e.length, '\xFF'));
              break;
          }
        }
        ThxVariant other;
        tag->BuildKey(other);
        const std::string a = low.AsString(), b = other.AsString();
        size_t same = 0;
        while (same < a.size() && same < b.size() && a[same] == b[same]) ++same;
        const std::string prefix = a.substr(0, same);
        low.SetString(prefix);
        high.SetString(prefix + std::string(static_cast<size_t>(std::max(tag->KeyLength(), 1)), '\xFF'));
      }
    }
  }
  tag->SetRange(&low, &high, hxRangeExact);
  ranged_ = true;
}

// ---- locate and lookup ----------------------------------------------------------------------

bool TKeldorDataSet::Locate(const std::string& keyFields, const std::vector<Variant>& keyValues,
                            TLocateOptions options) {
  CheckBrowseMode();
  GetFieldList(keyFields);  // every name must be a field
  DBFObject& h = *handler_;
  UpdateCursorPos();
  const int64_t remembered = IsEmpty() ? 0 : h.RecNo();
  const bool found =
      h.Locate(keyFields, ValuesForTable(keyValues), 0, options.Contains(TLocateOption::loPartialKey),
               options.Contains(TLocateOption::loCaseInsensitive));
  if (!found) {
    ReturnTo(remembered);
    return false;
  }
  DoBeforeScroll();
  ClearMarks();
  CursorPosChanged();
  Resync({TResyncModeItem::rmExact, TResyncModeItem::rmCenter});
  DoAfterScroll();
  return true;
}

std::vector<Variant> TKeldorDataSet::Lookup(const std::string& keyFields,
                                            const std::vector<Variant>& keyValues,
                                            const std::string& resultFields) {
  CheckBrowseMode();
  GetFieldList(keyFields);
  const std::vector<TField*> results = GetFieldList(resultFields);
  std::vector<Variant> values(results.size(), Variant::Null());
  DBFObject& h = *handler_;
  UpdateCursorPos();
  const int64_t remembered = IsEmpty() ? 0 : h.RecNo();
  try {
    if (h.Locate(keyFields, ValuesForTable(keyValues), 0, false, false)) {
      TRecordBuffer temp = TempBuffer();
      FillBuffer(temp);
      const S old = SetTempState(S::dsCalcFields);
      TRecordBuffer oldCalc = CalcBuffer();
      SetCalcBuffer(temp);
      try {
        for (size_t i = 0; i < results.size(); ++i) values[i] = results[i]->AsVariant();
      } catch (...) {
        SetCalcBuffer(oldCalc);
        RestoreState(old);
        throw;
      }
      SetCalcBuffer(oldCalc);
      RestoreState(old);
    }
  } catch (...) {
    try {
      ReturnTo(remembered);
    } catch (const std::exception&) {
    }
    throw;
  }
  ReturnTo(remembered);
  return values;
}

// ---- memo and blob streams ---------------------------------------------------------------

std::unique_ptr<TBlobStream> TKeldorDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  return std::make_unique<TKeldorBlobStream>(this, field, mode);
}

TKeldorBlobStream::TKeldorBlobStream(TKeldorDataSet* dataSet, TField* field, TBlobStreamMode mode)
    : dataSet_(dataSet), field_(field), mode_(mode) {
  if (mode != TBlobStreamMode::bmRead) {
    if (field->ReadOnly()) DatabaseError(Format(SFieldReadOnly, {field->DisplayName()}));
    const S s = dataSet->State();
    if (s != S::dsEdit && s != S::dsInsert) DatabaseError(KeldorMessage(hxDsNotEditing));
  }
  if (mode == TBlobStreamMode::bmWrite) return;
  DBFObject* h = dataSet->handler_.get();
  uint8_t* row = dataSet->RowBuffer();
  if (!h || !row || !h->FieldEntry(field->FieldNo())) return;
  {
    RowScope scope(*h, row);
    text_ = h->ReadMemoText(field->FieldNo());
  }
  // The whole text, zero bytes included, goes through the code page.
  if (Translates()) platform::OemToAnsiBuff(text_.data(), text_.size());
}

TKeldorBlobStream::~TKeldorBlobStream() {
  if (!modified_) return;
  try {
    Commit();
  } catch (const std::exception&) {
    // Releasing a stream never raises; Commit reports what went wrong.
  }
}

bool TKeldorBlobStream::Translates() const {
  const auto* blob = dynamic_cast<const TBlobField*>(field_);
  return blob && blob->Transliterate() && dataSet_->TranslateASCII();
}

int64_t TKeldorBlobStream::Read(void* buffer, int64_t count) {
  const int64_t size = static_cast<int64_t>(text_.size());
  if (count <= 0 || position_ >= size) return 0;
  const int64_t n = std::min(count, size - position_);
  std::memcpy(buffer, text_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int64_t TKeldorBlobStream::Write(const void* buffer, int64_t count) {
  if (mode_ == TBlobStreamMode::bmRead || count < 0) return 0;
  // A position past the end: the gap becomes blanks, never stale bytes.
  if (static_cast<size_t>(position_) > text_.size()) text_.resize(static_cast<size_t>(position_), ' ');
  text_.resize(static_cast<size_t>(position_));
  if (count > 0) text_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  position_ += count;
  modified_ = true;
  return count;
}

int64_t TKeldorBlobStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  if (origin == TSeekOrigin::soCurrent) base = position_;
  if (origin == TSeekOrigin::soEnd) base = static_cast<int64_t>(text_.size());
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TKeldorBlobStream::Commit() {
  if (!modified_) return;
  const S s = dataSet_->State();
  DBFObject* h = dataSet_->handler_.get();
  if ((s != S::dsEdit && s != S::dsInsert) || !h) {
    modified_ = false;
    return;
  }
  std::string out = text_;
  if (Translates()) platform::AnsiToOemBuff(out.data(), out.size());
  {
    RowScope scope(*h, dataSet_->ActiveBuffer());
    h->WriteMemo(field_->FieldNo(), out.data(), out.size());
  }
  modified_ = false;
  if (auto* blob = dynamic_cast<TBlobField*>(field_)) blob->SetModified(true);
  dataSet_->DataEvent(TDataEvent::deFieldChange, {field_});
}
