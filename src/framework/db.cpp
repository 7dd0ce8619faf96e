// The dataset framework's state machine and window of record buffers.
//
// The window: buffers_[0 .. recordCount_-1] hold fetched rows in order,
// activeRecord_ is the current one, currentRecord_ the row the subclass's
// cursor is on (-1 when unknown). buffers_[recordCount_] is always free: a
// fetch goes there, and the window is then rotated so the new row lands at
// its end (gmNext) or start (gmPrior); a full window drops the row at the
// other end into the free place. Buffers move, their contents never do.
#include "framework/db.h"

#include <algorithm>
#include <cstring>

namespace {

bool IsEditState(TDataSetState state) {
  return state == TDataSetState::dsEdit || state == TDataSetState::dsInsert;
}

}  // namespace

TDataSet::TDataSet(TComponent* owner) : TComponent(owner), fieldDefs_(this), fields_(this) {}

TDataSet::~TDataSet() {
  // Subclasses close in their own destructors; what is left here must not
  // reach their overrides. Sources forget this dataset, fields are detached
  // (default fields are owned components and go with TComponent).
  std::vector<TDataSource*> sources;
  sources.swap(dataSources_);
  for (TDataSource* source : sources) {
    source->dataSet_ = nullptr;
    source->UpdateLinks();
  }
  for (TField* field : fields_.list_) {
    field->dataSet_ = nullptr;
    field->fieldNo_ = 0;
  }
  fields_.list_.clear();
  defaultFieldList_.clear();
}

// ---- state ----

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(SDataSetClosed, this);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(SDataSetOpen, this);
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError(SDataSetReadOnly, this);
}

void TDataSet::SetState(TDataSetState state) {
  if (state == state_) return;
  state_ = state;
  modified_ = false;
  DataEvent(TDataEvent::deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState state) {
  TDataSetState old = state_;
  state_ = state;
  return old;
}

void TDataSet::RestoreState(TDataSetState state) { state_ = state; }

void TDataSet::SetActive(bool value) {
  if (value == Active()) return;
  if (value) {
    Notify(BeforeOpen);
    OpenCursor();
    try {
      SetState(TDataSetState::dsBrowse);
      First();
    } catch (...) {
      // A dataset that cannot show its first row does not stay half open.
      SetState(TDataSetState::dsInactive);
      try {
        CloseCursor();
      } catch (...) {
      }
      throw;
    }
    Notify(AfterOpen);
  } else {
    Notify(BeforeClose);
    // An edit in progress is dropped; the subclass releases what it holds.
    if (IsEditState(state_)) InternalCancel();
    SetState(TDataSetState::dsInactive);
    CloseCursor();
    Notify(AfterClose);
  }
}

void TDataSet::OpenCursor() {
  defaultFields_ = fields_.Count() == 0;
  try {
    InternalOpen();
    if (!fieldsBound_) {
      if (defaultFields_ && fields_.Count() == 0) CreateFields();
      BindFields(true);
    }
    AllocateBuffers();
  } catch (...) {
    FreeBuffers();
    try {
      if (IsCursorOpen()) InternalClose();
    } catch (...) {
    }
    if (fieldsBound_) BindFields(false);
    if (defaultFields_) DestroyFields();
    throw;
  }
}

void TDataSet::CloseCursor() {
  FreeBuffers();
  try {
    InternalClose();
  } catch (...) {
    if (fieldsBound_) BindFields(false);
    if (defaultFields_) DestroyFields();
    throw;
  }
  if (fieldsBound_) BindFields(false);
  if (defaultFields_) DestroyFields();
  bof_ = eof_ = true;
}

// ---- buffers ----

void TDataSet::AllocateBuffers() {
  FreeBuffers();
  bufferCount_ = std::max(1, wantedBufferCount_);
  buffers_.assign(static_cast<size_t>(bufferCount_) + 1, nullptr);
  for (TRecordBuffer& buffer : buffers_) buffer = AllocRecordBuffer();
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
}

void TDataSet::FreeBuffers() {
  for (TRecordBuffer& buffer : buffers_)
    if (buffer) FreeRecordBuffer(buffer);
  buffers_.clear();
  if (keyBuffer_) FreeRecordBuffer(keyBuffer_);
  keyBuffer_ = nullptr;
  calcBuffer_ = nullptr;
  bufferCount_ = 0;
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
}

void TDataSet::UpdateBufferCount() {
  int wanted = 1;
  for (TDataSource* source : dataSources_)
    for (TDataLink* link : source->links_) wanted = std::max(wanted, link->BufferCount());
  if (wanted == wantedBufferCount_) return;
  wantedBufferCount_ = wanted;
  // In an edit the window is rebuilt by the Resync that ends it.
  if (state_ == TDataSetState::dsBrowse && !buffers_.empty()) {
    UpdateCursorPos();
    Resync({});
  }
}

void TDataSet::ApplyBufferCount() {
  if (buffers_.empty() || wantedBufferCount_ == bufferCount_) return;
  // The new set is complete before the old one goes, so a failed
  // allocation leaves the window as it was.
  int count = std::max(1, wantedBufferCount_);
  std::vector<TRecordBuffer> fresh(static_cast<size_t>(count) + 1, nullptr);
  try {
    for (TRecordBuffer& buffer : fresh) buffer = AllocRecordBuffer();
  } catch (...) {
    for (TRecordBuffer& buffer : fresh)
      if (buffer) FreeRecordBuffer(buffer);
    throw;
  }
  for (TRecordBuffer& buffer : buffers_) FreeRecordBuffer(buffer);
  buffers_.swap(fresh);
  bufferCount_ = count;
  recordCount_ = 0;
  currentRecord_ = -1;
  activeRecord_ = std::min(activeRecord_, bufferCount_ - 1);
}

void TDataSet::ClearBuffers() {
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
  bof_ = eof_ = true;
}

TRecordBuffer TDataSet::ActiveBuffer() const {
  return buffers_.empty() ? nullptr : buffers_[static_cast<size_t>(activeRecord_)];
}

TRecordBuffer TDataSet::GetActiveRecordBuffer() {
  switch (state_) {
    case TDataSetState::dsBrowse:
    case TDataSetState::dsNewValue:
    case TDataSetState::dsOldValue:
      return recordCount_ == 0 ? nullptr : ActiveBuffer();
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert:
      return ActiveBuffer();
    case TDataSetState::dsSetKey:
      return keyBuffer_;
    case TDataSetState::dsCalcFields:
    case TDataSetState::dsInternalCalc:
      return calcBuffer_;
    default:
      return nullptr;
  }
}

void TDataSet::SetCurrentRecord(int index) {
  if (currentRecord_ == index) return;
  currentRecord_ = -1;
  InternalSetToRecord(buffers_[static_cast<size_t>(index)]);
  currentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ > 0) SetCurrentRecord(activeRecord_);
}

bool TDataSet::GetNextRecord() {
  if (recordCount_ > 0) SetCurrentRecord(recordCount_ - 1);
  TGetResult result;
  try {
    result = GetRecord(buffers_[static_cast<size_t>(recordCount_)], TGetMode::gmNext, true);
  } catch (...) {
    CursorPosChanged();
    throw;
  }
  if (result != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  if (recordCount_ < bufferCount_)
    ++recordCount_;
  else
    std::rotate(buffers_.begin(), buffers_.begin() + 1, buffers_.end());
  currentRecord_ = recordCount_ - 1;
  return true;
}

bool TDataSet::GetPriorRecord() {
  if (recordCount_ > 0) SetCurrentRecord(0);
  TGetResult result;
  try {
    result = GetRecord(buffers_[static_cast<size_t>(recordCount_)], TGetMode::gmPrior, true);
  } catch (...) {
    CursorPosChanged();
    throw;
  }
  if (result != TGetResult::grOK) {
    CursorPosChanged();
    return false;
  }
  std::rotate(buffers_.begin(), buffers_.begin() + recordCount_, buffers_.begin() + recordCount_ + 1);
  if (recordCount_ < bufferCount_) ++recordCount_;
  currentRecord_ = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int count = 0;
  while (recordCount_ < bufferCount_ && GetNextRecord()) ++count;
  return count;
}

int TDataSet::GetPriorRecords() {
  int count = 0;
  while (recordCount_ < bufferCount_ && GetPriorRecord()) ++count;
  return count;
}

void TDataSet::InitRecord(TRecordBuffer buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, TBookmarkFlag::bfInserted);
}

// ---- navigation ----

void TDataSet::DoBeforeScroll() { Notify(BeforeScroll); }
void TDataSet::DoAfterScroll() { Notify(AfterScroll); }

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ApplyBufferCount();
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
    GetNextRecords();
  } catch (...) {
    DataEvent(TDataEvent::deDataSetChange);
    throw;
  }
  bof_ = true;
  eof_ = recordCount_ == 0;
  DataEvent(TDataEvent::deDataSetChange);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ApplyBufferCount();
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
    GetPriorRecords();
  } catch (...) {
    DataEvent(TDataEvent::deDataSetChange);
    throw;
  }
  activeRecord_ = recordCount_ > 0 ? recordCount_ - 1 : 0;
  eof_ = true;
  bof_ = recordCount_ == 0;
  DataEvent(TDataEvent::deDataSetChange);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    DoBeforeScroll();
    bof_ = eof_ = false;
    int scrolled = 0;  // rows the window content moved by
    try {
      while (distance > 0) {
        if (activeRecord_ < recordCount_ - 1) {
          ++activeRecord_;
        } else {
          bool full = recordCount_ == bufferCount_;
          if (!GetNextRecord()) {
            eof_ = true;
            break;
          }
          if (full) --scrolled;
          activeRecord_ = recordCount_ - 1;
        }
        --distance;
        ++moved;
      }
      while (distance < 0) {
        if (activeRecord_ > 0) {
          --activeRecord_;
        } else {
          bool full = recordCount_ == bufferCount_;
          if (!GetPriorRecord()) {
            bof_ = true;
            break;
          }
          if (full) ++scrolled;
          activeRecord_ = 0;
        }
        ++distance;
        --moved;
      }
    } catch (...) {
      DataEvent(TDataEvent::deDataSetScroll, {nullptr, scrolled});
      throw;
    }
    DataEvent(TDataEvent::deDataSetScroll, {nullptr, scrolled});
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::Resync(TResyncMode mode) {
  CheckActive();
  int keep = activeRecord_;
  ApplyBufferCount();
  size_t spare = static_cast<size_t>(recordCount_);
  if (mode.Contains(TResyncModeItem::rmExact)) {
    CursorPosChanged();
    if (GetRecord(buffers_[spare], TGetMode::gmCurrent, true) != TGetResult::grOK)
      DatabaseError(SRecordNotFound, this);
  } else if (GetRecord(buffers_[spare], TGetMode::gmCurrent, false) != TGetResult::grOK &&
             GetRecord(buffers_[spare], TGetMode::gmNext, false) != TGetResult::grOK &&
             GetRecord(buffers_[spare], TGetMode::gmPrior, false) != TGetResult::grOK) {
    ClearBuffers();
    DataEvent(TDataEvent::deDataSetChange);
    return;
  }
  std::swap(buffers_[0], buffers_[spare]);
  recordCount_ = 1;
  currentRecord_ = 0;
  activeRecord_ = 0;
  bof_ = eof_ = false;
  int before =
      mode.Contains(TResyncModeItem::rmCenter) ? (bufferCount_ - 1) / 2 : std::min(keep, bufferCount_ - 1);
  try {
    while (activeRecord_ < before && GetPriorRecord()) ++activeRecord_;
    GetNextRecords();
  } catch (...) {
    DataEvent(TDataEvent::deDataSetChange);
    throw;
  }
  DataEvent(TDataEvent::deDataSetChange);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync({});
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(TDataEvent::deCheckBrowseMode);
  switch (state_) {
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case TDataSetState::dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

// ---- bookmarks ----

TBookmark TDataSet::GetBookmark() {
  if (!Active() || recordCount_ == 0 || bookmarkSize_ <= 0) return {};
  TRecordBuffer buffer = ActiveBuffer();
  if (GetBookmarkFlag(buffer) != TBookmarkFlag::bfCurrent) return {};
  TBookmark bookmark(static_cast<size_t>(bookmarkSize_));
  GetBookmarkData(buffer, bookmark.data());
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  // A bookmark of another layout would be read past its end.
  if (static_cast<int>(bookmark.size()) != bookmarkSize_) DatabaseError(SRecordNotFound, this);
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync({TResyncModeItem::rmExact, TResyncModeItem::rmCenter});
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return -1;
  if (b.empty()) return 1;
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c == 0) c = a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// ---- editing ----

void TDataSet::CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& onError) {
  for (;;) {
    try {
      operation();
      return;
    } catch (const Exception& e) {
      TDataAction action = TDataAction::daFail;
      if (onError) onError(this, e, action);
      if (action == TDataAction::daFail) throw;
      if (action == TDataAction::daAbort) throw EAbort();
    }
  }
}

void TDataSet::Edit() {
  if (IsEditState(state_)) return;
  CheckActive();
  if (recordCount_ == 0) {
    Append();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Notify(BeforeEdit);
  UpdateCursorPos();
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(TDataSetState::dsEdit);
  DataEvent(TDataEvent::deRecordChange);
  Notify(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Notify(BeforeInsert);
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(TDataSetState::dsInsert);
  try {
    Notify(OnNewRecord);
  } catch (...) {
    try {
      Cancel();
    } catch (...) {
    }
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::deDataSetChange);
  Notify(AfterInsert);
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  bool hadRows = recordCount_ > 0;
  if (hadRows) UpdateCursorPos();
  int at = hadRows ? activeRecord_ : 0;
  // The free buffer moves to the new row's place; a full window drops its
  // last row into the free place.
  std::rotate(buffers_.begin() + at, buffers_.begin() + recordCount_, buffers_.begin() + recordCount_ + 1);
  if (recordCount_ < bufferCount_) ++recordCount_;
  activeRecord_ = at;
  try {
    InitRecord(buffers_[static_cast<size_t>(at)]);
    InternalInsert();
  } catch (...) {
    CursorPosChanged();
    Resync({});
    throw;
  }
  // Whatever InternalInsert did to the cursor, it is not on a buffered row.
  CursorPosChanged();
  bof_ = eof_ = false;
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ApplyBufferCount();
  ClearBuffers();
  try {
    InternalLast();
    TRecordBuffer buffer = buffers_[0];
    InitRecord(buffer);
    SetBookmarkFlag(buffer, TBookmarkFlag::bfEOF);
    recordCount_ = 1;
    currentRecord_ = 0;  // the cursor sits after the last row, where the new one goes
    GetPriorRecords();
    activeRecord_ = recordCount_ - 1;
    InternalInsert();
  } catch (...) {
    ClearBuffers();
    Resync({});
    throw;
  }
  CursorPosChanged();
  bof_ = false;
  eof_ = true;
  EndInsertAppend();
}

void TDataSet::CheckRequiredFields() {
  for (TField* field : fields_.list_)
    if (field->Required() && !field->ReadOnly() && field->FieldKind() == TFieldKind::fkData &&
        field->IsNull())
      DatabaseError(Format(SFieldRequired, {field->DisplayName()}), this);
}

void TDataSet::UpdateRecord() {
  if (!IsEditState(state_) && state_ != TDataSetState::dsSetKey) DatabaseError(SNotEditing, this);
  DataEvent(TDataEvent::deUpdateRecord);
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ == TDataSetState::dsSetKey) {
    SetState(TDataSetState::dsBrowse);
    DataEvent(TDataEvent::deDataSetChange);
    return;
  }
  DataEvent(TDataEvent::deCheckBrowseMode);
  Notify(BeforePost);
  CheckRequiredFields();
  if (state_ == TDataSetState::dsEdit) UpdateCursorPos();
  CheckOperation([this] { InternalPost(); }, OnPostError);
  SetState(TDataSetState::dsBrowse);
  Resync({});
  Notify(AfterPost);
}

void TDataSet::Cancel() {
  switch (state_) {
    case TDataSetState::dsEdit:
    case TDataSetState::dsInsert: {
      DataEvent(TDataEvent::deCheckBrowseMode);
      Notify(BeforeCancel);
      bool inserting = state_ == TDataSetState::dsInsert;
      bool appended = inserting && GetBookmarkFlag(ActiveBuffer()) == TBookmarkFlag::bfEOF;
      if (!inserting) UpdateCursorPos();
      InternalCancel();
      SetState(TDataSetState::dsBrowse);
      if (appended) {
        // Back to the last row.
        InternalLast();
        CursorPosChanged();
      } else if (inserting && activeRecord_ + 1 < recordCount_) {
        // Back to the row the new one was put before.
        SetCurrentRecord(activeRecord_ + 1);
      }
      Resync({});
      Notify(AfterCancel);
      break;
    }
    case TDataSetState::dsSetKey:
      SetState(TDataSetState::dsBrowse);
      DataEvent(TDataEvent::deDataSetChange);
      break;
    default:
      break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == TDataSetState::dsInsert || state_ == TDataSetState::dsSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError(SDataSetEmpty, this);
  CheckCanModify();
  DataEvent(TDataEvent::deCheckBrowseMode);
  Notify(BeforeDelete);
  DoBeforeScroll();
  UpdateCursorPos();
  // An edit in progress gives up what it holds before its row goes.
  if (state_ == TDataSetState::dsEdit) InternalCancel();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  SetState(TDataSetState::dsBrowse);
  Resync({});
  Notify(AfterDelete);
  DoAfterScroll();
}

void TDataSet::SetFields(const std::vector<Variant>& values) {
  size_t count = std::min(values.size(), fields_.list_.size());
  for (size_t i = 0; i < count; ++i)
    if (!values[i].IsEmpty()) fields_.list_[i]->SetAsVariant(values[i]);
}

void TDataSet::AddRecord(const std::vector<Variant>& values, bool append) {
  if (append)
    Append();
  else
    Insert();
  SetFields(values);
  UpdateRecord();
  Notify(BeforePost);
  CheckRequiredFields();
  CheckOperation([this, append] { InternalAddRecord(ActiveBuffer(), append); }, OnPostError);
  SetState(TDataSetState::dsBrowse);
  Resync({});
  Notify(AfterPost);
}

void TDataSet::SetKey() {
  CheckBrowseMode();
  if (!keyBuffer_) keyBuffer_ = AllocRecordBuffer();
  InternalInitRecord(keyBuffer_);
  ClearCalcFields(keyBuffer_);
  SetState(TDataSetState::dsSetKey);
  DataEvent(TDataEvent::deDataSetChange);
}

void TDataSet::EditKey() {
  CheckBrowseMode();
  if (!keyBuffer_) {
    keyBuffer_ = AllocRecordBuffer();
    InternalInitRecord(keyBuffer_);
    ClearCalcFields(keyBuffer_);
  }
  SetState(TDataSetState::dsSetKey);
  DataEvent(TDataEvent::deDataSetChange);
}

// ---- fields ----

void TDataSet::AddField(TField* field) { fields_.list_.push_back(field); }

void TDataSet::RemoveField(TField* field) {
  auto& list = fields_.list_;
  list.erase(std::remove(list.begin(), list.end(), field), list.end());
  defaultFieldList_.erase(std::remove(defaultFieldList_.begin(), defaultFieldList_.end(), field),
                          defaultFieldList_.end());
}

TField* TDataSet::FieldByName(const std::string& name) const {
  TField* field = FindField(name);
  if (!field) DatabaseError(Format(SFieldNotFound, {name}), this);
  return field;
}

std::vector<TField*> TDataSet::GetFieldList(const std::string& names) const {
  std::vector<TField*> list;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    std::string name = Trim(names.substr(start, end - start));
    if (!name.empty()) list.push_back(FieldByName(name));
    start = end + 1;
  }
  return list;
}

void TDataSet::GetFieldNames(TStrings& list) const {
  list.BeginUpdate();
  try {
    list.Clear();
    for (TField* field : fields_.list_) list.Add(field->FieldName());
  } catch (...) {
    list.EndUpdate();
    throw;
  }
  list.EndUpdate();
}

void TDataSet::InitFieldDefs() {
  fieldDefs_.Clear();
  InternalInitFieldDefs();
  fieldDefs_.SetUpdated(true);
}

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_.Count(); ++i)
    defaultFieldList_.push_back(fieldDefs_.Items(i).CreateField(*this, this));
}

void TDataSet::DestroyFields() {
  std::vector<TField*> list;
  list.swap(defaultFieldList_);
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    TField* field = *it;
    if (field->dataSet_ == this) RemoveField(field);
    field->dataSet_ = nullptr;
    RemoveComponent(field);  // the returned pointer frees it
  }
}

void TDataSet::BindFields(bool binding) {
  calcFieldsSize_ = 0;
  try {
    for (TField* field : fields_.list_) {
      field->fieldNo_ = 0;
      field->offset_ = 0;
      if (!binding) continue;
      if (field->FieldKind() != TFieldKind::fkData) {
        if (field->IsBlob())
          DatabaseError(Format(SInvalidCalcType, {FieldTypeName(field->DataType())}), this);
        field->offset_ = calcFieldsSize_;
        calcFieldsSize_ += 1 + field->DataSize();
        continue;
      }
      TFieldDef* def = fieldDefs_.Find(field->FieldName());
      if (!def) DatabaseError(Format(SFieldNotFound, {field->FieldName()}), this);
      if (def->DataType() != field->DataType())
        DatabaseError(Format(SFieldTypeMismatch, {field->DisplayName(), FieldTypeName(field->DataType()),
                                                  FieldTypeName(def->DataType())}),
                      this);
      if (field->DataType() == TFieldType::ftString && def->Size() != field->Size())
        DatabaseError(Format(SFieldSizeMismatch, {field->DisplayName(), field->Size(), def->Size()}), this);
      field->fieldNo_ = def->FieldNo();
    }
  } catch (...) {
    for (TField* field : fields_.list_) field->fieldNo_ = field->offset_ = 0;
    calcFieldsSize_ = 0;
    fieldsBound_ = false;
    throw;
  }
  fieldsBound_ = binding;
}

bool TDataSet::GetCalcFieldData(const uint8_t* calcArea, const TField* field, void* value) const {
  if (!calcArea) return false;
  const uint8_t* place = calcArea + field->Offset();
  if (!place[0]) return false;
  if (value) std::memcpy(value, place + 1, static_cast<size_t>(field->DataSize()));
  return true;
}

void TDataSet::SetCalcFieldData(uint8_t* calcArea, const TField* field, const void* value) const {
  if (!calcArea) return;
  uint8_t* place = calcArea + field->Offset();
  place[0] = value ? 1 : 0;
  if (value)
    std::memcpy(place + 1, value, static_cast<size_t>(field->DataSize()));
  else
    std::memset(place + 1, 0, static_cast<size_t>(field->DataSize()));
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
  calcBuffer_ = buffer;
  if (state_ == TDataSetState::dsInternalCalc) return;
  ClearCalcFields(buffer);
  Notify(OnCalcFields);
}

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
  if (calcFieldsSize_ <= 0) return;
  TDataSetState old = SetTempState(TDataSetState::dsCalcFields);
  try {
    CalculateFields(buffer);
  } catch (...) {
    RestoreState(old);
    throw;
  }
  RestoreState(old);
}

bool TDataSet::FilterRecordAccepted() {
  if (!filtered_ || !OnFilterRecord) return true;
  TDataSetState old = SetTempState(TDataSetState::dsFilter);
  bool accept = true;
  try {
    OnFilterRecord(this, accept);
  } catch (...) {
    RestoreState(old);
    throw;
  }
  RestoreState(old);
  return accept;
}

std::unique_ptr<TBlobStream> TDataSet::CreateBlobStream(TField* field, TBlobStreamMode) {
  DatabaseError(Format(SBlobNotSupported, {field ? field->DisplayName() : std::string()}), this);
}

int TDataSet::Translate(const char* source, char* destination, bool) {
  size_t length = std::strlen(source);
  if (destination != source) std::memmove(destination, source, length + 1);
  return static_cast<int>(length);
}

bool TDataSet::Locate(const std::string&, const std::vector<Variant>&, TLocateOptions) { return false; }

std::vector<Variant> TDataSet::Lookup(const std::string&, const std::vector<Variant>&,
                                      const std::string& resultFields) {
  size_t count = static_cast<size_t>(std::count(resultFields.begin(), resultFields.end(), ';')) + 1;
  return std::vector<Variant>(count, Variant::Null());
}

// ---- notifications ----

void TDataSet::DataEvent(TDataEvent event, TDataEventInfo info) {
  switch (event) {
    case TDataEvent::deFieldChange:
      if (info.field && info.field->FieldKind() != TFieldKind::fkCalculated) modified_ = true;
      if (state_ != TDataSetState::dsSetKey && autoCalcFields_ && IsEditState(state_))
        GetCalcFields(ActiveBuffer());
      if (info.field) info.field->Changed();
      break;
    case TDataEvent::dePropertyChange:
      fieldDefs_.SetUpdated(false);
      return;
    default:
      break;
  }
  if (disableCount_ > 0) {
    eventsSuppressed_ = true;
    return;
  }
  std::vector<TDataSource*> sources = dataSources_;
  for (TDataSource* source : sources)
    if (std::find(dataSources_.begin(), dataSources_.end(), source) != dataSources_.end())
      source->DataEvent(event, info);
}

void TDataSet::DisableControls() {
  if (disableCount_++ == 0) {
    disableState_ = state_;
    eventsSuppressed_ = false;
  }
}

void TDataSet::EnableControls() {
  if (disableCount_ == 0 || --disableCount_ > 0) return;
  bool stateChanged = state_ != disableState_;
  bool suppressed = eventsSuppressed_;
  eventsSuppressed_ = false;
  if (stateChanged) DataEvent(TDataEvent::deUpdateState);
  if (Active() && (stateChanged || suppressed)) DataEvent(TDataEvent::deDataSetChange);
}

bool TDataSet::IsLinkedTo(const TDataSource* source) const {
  // The guard stops on a loop that does not pass through this dataset.
  for (int steps = 0; source && steps < 1000; ++steps) {
    const TDataSet* dataSet = source->DataSet();
    if (!dataSet) return false;
    if (dataSet == this) return true;
    source = dataSet->GetDataSource();
  }
  return source != nullptr;
}

void TDataSet::AddDataSource(TDataSource* source) {
  dataSources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source), dataSources_.end());
  UpdateBufferCount();
}
