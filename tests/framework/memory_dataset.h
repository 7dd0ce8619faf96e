// A small in-memory dataset over the framework's record-buffer protocol, for
// the framework's tests. Rows are kept in record-number order and never move;
// a deleted row stays behind, marked, as in a table. Text is stored in the
// OEM code page when TranslateText is on.
//
// Record buffer: per data field a has-value byte and DataSize() bytes (blob
// fields hold a 4-byte index into a pool of blob values), then the
// calculated-field area, then the row's record number (4 bytes) and bookmark
// flag (1 byte). The bookmark is the record number.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/db.h"
#include "platform/text.h"

class TMemoryDataSet : public TDataSet {
 public:
  struct Def {
    std::string name;
    TFieldType type;
    int size;
  };
  struct Row {
    std::vector<std::string> cells;  // native bytes, empty when null; blob text for blobs
    std::vector<bool> present;
    bool deleted = false;
  };

  explicit TMemoryDataSet(TComponent* owner = nullptr) : TDataSet(owner) {}
  ~TMemoryDataSet() override { Close(); }

  std::vector<Def> defs;
  std::vector<Row> rows;
  bool readOnly = false;
  bool translateText = false;
  int failFetchAt = 0;        // record number whose fetch fails
  bool failOpenLate = false;  // InternalOpen fails after making its fields
  int failPosts = 0;          // posts that fail before one succeeds
  int posts = 0;
  int cancels = 0;  // InternalCancel calls: what an edit held is given back

  // Master/detail: the detail shows rows whose `detailKey` equals the
  // master's `MasterFields` value.
  void SetMasterSource(TDataSource* source) {
    if (IsLinkedTo(source)) DatabaseError(SCircularDataLink);
    masterLink_.SetDataSource(source);
  }
  void SetMasterFields(const std::string& names) { masterLink_.SetFieldNames(names); }
  std::string detailKey;
  TDataSource* GetDataSource() const override { return masterLink_.DataSource(); }

  // A row appended straight into storage (values as text, "" for null).
  void AddRow(const std::vector<std::string>& texts);

  void SetFiltered(bool value) override {
    TDataSet::SetFiltered(value);
    if (Active()) First();
  }

  bool Locate(const std::string& keyFields, const std::vector<Variant>& keyValues,
              TLocateOptions options) override;
  std::vector<Variant> Lookup(const std::string& keyFields, const std::vector<Variant>& keyValues,
                              const std::string& resultFields) override;
  std::unique_ptr<TBlobStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  int Translate(const char* source, char* destination, bool toOem) override;
  void SetRecNo(int value) override;
  bool IsSequenced() override { return !Filtered(); }

  // For the blob stream.
  TRecordBuffer RowBuffer() { return GetActiveRecordBuffer(); }
  void StoreBlob(TField* field, const std::string& text);
  std::string LoadBlob(TField* field, TRecordBuffer buffer);

 protected:
  TRecordBuffer AllocRecordBuffer() override { return new uint8_t[static_cast<size_t>(bufferSize_)](); }
  void FreeRecordBuffer(TRecordBuffer& buffer) override {
    delete[] buffer;
    buffer = nullptr;
  }
  void InternalInitRecord(TRecordBuffer buffer) override {
    std::memset(buffer, 0, static_cast<size_t>(calcOffset_));
  }
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
  int GetRecordSize() override { return calcOffset_; }
  void GetBookmarkData(TRecordBuffer buffer, uint8_t* data) override {
    std::memcpy(data, buffer + infoOffset_, 4);
  }
  void SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) override {
    std::memcpy(buffer + infoOffset_, data, 4);
  }
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override {
    return static_cast<TBookmarkFlag>(buffer[infoOffset_ + 4]);
  }
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override {
    buffer[infoOffset_ + 4] = static_cast<uint8_t>(flag);
  }
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  bool IsCursorOpen() const override { return open_; }
  void InternalOpen() override;
  void InternalClose() override {
    open_ = false;
    pool_.clear();
  }
  void InternalInitFieldDefs() override {
    for (const Def& d : defs) FieldDefs().Add(d.name, d.type, d.size);
  }
  void InternalFirst() override { cursor_ = -1; }
  void InternalLast() override { cursor_ = static_cast<int>(rows.size()); }
  void InternalPost() override;
  void InternalDelete() override { rows[static_cast<size_t>(cursor_)].deleted = true; }
  void InternalAddRecord(TRecordBuffer buffer, bool) override {
    rows.push_back(RowFromBuffer(buffer));
    cursor_ = static_cast<int>(rows.size()) - 1;
  }
  void InternalSetToRecord(TRecordBuffer buffer) override {
    if (GetBookmarkFlag(buffer) == TBookmarkFlag::bfCurrent) cursor_ = RecNoOf(buffer) - 1;
  }
  void InternalGotoBookmark(const uint8_t* bookmark) override {
    int32_t recNo;
    std::memcpy(&recNo, bookmark, 4);
    cursor_ = recNo - 1;
  }
  void InternalEdit() override {
    // The unchanged copy that old values read.
    oldBuffer_.assign(ActiveBuffer(), ActiveBuffer() + bufferSize_);
  }
  void InternalCancel() override {
    ++cancels;
    oldBuffer_.clear();
  }
  void ClearCalcFields(TRecordBuffer buffer) override {
    std::memset(buffer + calcOffset_, 0, static_cast<size_t>(CalcFieldsSize()));
  }
  int GetRecordCount() override;
  int GetRecNo() override {
    TRecordBuffer buffer = State() == TDataSetState::dsCalcFields ? CalcBuffer() : ActiveBuffer();
    return buffer && !IsEmpty() ? RecNoOf(buffer) : 0;
  }
  bool GetCanModify() const override { return !readOnly; }
  TRecordBuffer GetActiveRecordBuffer() override {
    if (State() == TDataSetState::dsFilter) return filterBuffer_.data();
    if (State() == TDataSetState::dsOldValue && !oldBuffer_.empty()) return oldBuffer_.data();
    return TDataSet::GetActiveRecordBuffer();
  }

 private:
  int RecNoOf(TRecordBuffer buffer) const {
    int32_t recNo;
    std::memcpy(&recNo, buffer + infoOffset_, 4);
    return recNo;
  }
  int Place(const TField* field) const { return offsets_.at(field->FieldNo()); }
  bool Visible(int index);
  void FillBuffer(TRecordBuffer buffer, int index);
  Row RowFromBuffer(TRecordBuffer buffer);
  void MasterChanged();

  bool open_ = false;
  int cursor_ = -1;
  int bufferSize_ = 0;
  int calcOffset_ = 0;
  int infoOffset_ = 0;
  std::map<int, int> offsets_;  // field number -> place in the buffer
  std::vector<std::string> pool_;
  std::vector<uint8_t> filterBuffer_;
  std::vector<uint8_t> oldBuffer_;
  bool ranged_ = false;
  std::string rangeValue_;
  TMasterDataLink masterLink_;
  bool linkHooked_ = false;
};

// A stream over one blob field of the current row; writing keeps the text
// until Commit stores it into the row.
class TMemoryBlobStream : public TBlobStream {
 public:
  TMemoryBlobStream(TMemoryDataSet* dataSet, TField* field, TBlobStreamMode mode)
      : dataSet_(dataSet), field_(field) {
    if (mode != TBlobStreamMode::bmWrite) text_ = dataSet->LoadBlob(field, dataSet->RowBuffer());
  }
  int64_t Read(void* buffer, int64_t count) override {
    int64_t n =
        std::max<int64_t>(0, std::min<int64_t>(count, static_cast<int64_t>(text_.size()) - position_));
    if (n > 0) std::memcpy(buffer, text_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    text_.resize(static_cast<size_t>(position_));
    text_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
    position_ += count;
    modified_ = true;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0
                   : origin == TSeekOrigin::soCurrent ? position_
                                                      : static_cast<int64_t>(text_.size());
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
  }
  void Commit() override {
    if (modified_) dataSet_->StoreBlob(field_, text_);
    modified_ = false;
  }

 private:
  TMemoryDataSet* dataSet_;
  TField* field_;
  std::string text_;
  int64_t position_ = 0;
  bool modified_ = false;
};

inline void TMemoryDataSet::AddRow(const std::vector<std::string>& texts) {
  Row row;
  for (size_t i = 0; i < defs.size(); ++i) {
    std::string text = i < texts.size() ? texts[i] : std::string();
    std::string cell;
    const Def& d = defs[i];
    if (!text.empty()) {
      switch (d.type) {
        case TFieldType::ftString: {
          std::string stored = translateText ? platform::AnsiToOem(text) : text;
          cell.assign(static_cast<size_t>(d.size) + 1, '\0');
          std::memcpy(cell.data(), stored.data(), std::min(stored.size(), static_cast<size_t>(d.size)));
          break;
        }
        case TFieldType::ftSmallint: {
          int16_t v = static_cast<int16_t>(std::stoi(text));
          cell.assign(reinterpret_cast<const char*>(&v), 2);
          break;
        }
        case TFieldType::ftInteger: {
          int32_t v = std::stoi(text);
          cell.assign(reinterpret_cast<const char*>(&v), 4);
          break;
        }
        case TFieldType::ftLargeint: {
          int64_t v = std::stoll(text);
          cell.assign(reinterpret_cast<const char*>(&v), 8);
          break;
        }
        case TFieldType::ftBoolean: {
          uint16_t v = text == "T" ? 1 : 0;
          cell.assign(reinterpret_cast<const char*>(&v), 2);
          break;
        }
        case TFieldType::ftMemo:
        case TFieldType::ftBlob:
          cell = translateText && d.type == TFieldType::ftMemo ? platform::AnsiToOem(text) : text;
          break;
        default: {
          double v = std::stod(text);
          cell.assign(reinterpret_cast<const char*>(&v), 8);
          break;
        }
      }
    }
    row.present.push_back(!text.empty());
    row.cells.push_back(cell);
  }
  rows.push_back(row);
}

inline void TMemoryDataSet::InternalOpen() {
  InitFieldDefs();
  if (DefaultFields()) CreateFields();
  if (failOpenLate) throw EDatabaseError("Cannot open the rows");
  BindFields(true);
  offsets_.clear();
  int place = 0;
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& d = FieldDefs()[i];
    offsets_[d.FieldNo()] = place;
    int size = d.DataType() == TFieldType::ftString ? d.Size() + 1
               : d.DataType() == TFieldType::ftSmallint || d.DataType() == TFieldType::ftBoolean ? 2
               : d.DataType() == TFieldType::ftInteger || d.DataType() == TFieldType::ftMemo ||
                       d.DataType() == TFieldType::ftBlob
                   ? 4
                   : 8;
    place += 1 + size;
  }
  calcOffset_ = place;
  infoOffset_ = calcOffset_ + CalcFieldsSize();
  bufferSize_ = infoOffset_ + 5;
  filterBuffer_.assign(static_cast<size_t>(bufferSize_), 0);
  SetBookmarkSize(4);
  pool_.clear();
  cursor_ = -1;
  open_ = true;
  if (!linkHooked_) {
    masterLink_.OnMasterChange = [this] { MasterChanged(); };
    masterLink_.OnMasterDisable = [this] { MasterChanged(); };
    linkHooked_ = true;
  }
  ranged_ = false;
  if (masterLink_.Active()) MasterChanged();
}

inline void TMemoryDataSet::MasterChanged() {
  if (!Active() && !open_) return;
  TDataSet* master = masterLink_.DataSet();
  ranged_ = masterLink_.Active() && !masterLink_.Fields().empty();
  if (ranged_)
    rangeValue_ = master->State() == TDataSetState::dsInsert ? std::string("\x01")
                                                             : masterLink_.Fields()[0]->AsString();
  if (Active()) First();
}

inline bool TMemoryDataSet::Visible(int index) {
  const Row& row = rows[static_cast<size_t>(index)];
  if (row.deleted) return false;
  if (ranged_ && FindField(detailKey)) {
    FillBuffer(filterBuffer_.data(), index);
    TDataSetState old = SetTempState(TDataSetState::dsFilter);
    std::string key = FieldByName(detailKey)->AsString();
    RestoreState(old);
    if (key != rangeValue_) return false;
  }
  if (!Filtered()) return true;
  FillBuffer(filterBuffer_.data(), index);
  return FilterRecordAccepted();
}

inline void TMemoryDataSet::FillBuffer(TRecordBuffer buffer, int index) {
  const Row& row = rows[static_cast<size_t>(index)];
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& d = FieldDefs()[i];
    uint8_t* place = buffer + offsets_[d.FieldNo()];
    place[0] = row.present[static_cast<size_t>(i)] ? 1 : 0;
    if (d.DataType() == TFieldType::ftMemo || d.DataType() == TFieldType::ftBlob) {
      pool_.push_back(row.cells[static_cast<size_t>(i)]);
      int32_t slot = static_cast<int32_t>(pool_.size()) - 1;
      std::memcpy(place + 1, &slot, 4);
    } else if (place[0]) {
      std::memcpy(place + 1, row.cells[static_cast<size_t>(i)].data(),
                  row.cells[static_cast<size_t>(i)].size());
    }
  }
  int32_t recNo = index + 1;
  std::memcpy(buffer + infoOffset_, &recNo, 4);
  buffer[infoOffset_ + 4] = static_cast<uint8_t>(TBookmarkFlag::bfCurrent);
}

inline TMemoryDataSet::Row TMemoryDataSet::RowFromBuffer(TRecordBuffer buffer) {
  Row row;
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& d = FieldDefs()[i];
    const uint8_t* place = buffer + offsets_[d.FieldNo()];
    bool has = place[0] != 0;
    std::string cell;
    if (d.DataType() == TFieldType::ftMemo || d.DataType() == TFieldType::ftBlob) {
      int32_t slot;
      std::memcpy(&slot, place + 1, 4);
      cell = has ? pool_.at(static_cast<size_t>(slot)) : std::string();
      has = !cell.empty();
    } else if (has) {
      int size = d.DataType() == TFieldType::ftString ? d.Size() + 1
                 : d.DataType() == TFieldType::ftSmallint || d.DataType() == TFieldType::ftBoolean ? 2
                 : d.DataType() == TFieldType::ftInteger                                           ? 4
                                                                                                   : 8;
      cell.assign(reinterpret_cast<const char*>(place + 1), static_cast<size_t>(size));
    }
    row.present.push_back(has);
    row.cells.push_back(cell);
  }
  return row;
}

inline TGetResult TMemoryDataSet::GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) {
  int count = static_cast<int>(rows.size());
  int i = cursor_;
  if (mode == TGetMode::gmNext) {
    for (++i; i < count && !Visible(i); ++i) {
    }
    if (i >= count) {
      cursor_ = count;
      return TGetResult::grEOF;
    }
  } else if (mode == TGetMode::gmPrior) {
    for (i = std::min(i, count) - 1; i >= 0 && !Visible(i); --i) {
    }
    if (i < 0) {
      cursor_ = -1;
      return TGetResult::grBOF;
    }
  } else {
    if (i < 0) return TGetResult::grBOF;
    if (i >= count || !Visible(i)) return TGetResult::grEOF;
  }
  cursor_ = i;
  if (i + 1 == failFetchAt) {
    if (doCheck) DatabaseError("Record request beyond range of table");
    return TGetResult::grError;
  }
  FillBuffer(buffer, i);
  ClearCalcFields(buffer);
  GetCalcFields(buffer);
  return TGetResult::grOK;
}

inline bool TMemoryDataSet::GetFieldData(TField* field, void* buffer) {
  TRecordBuffer record = GetActiveRecordBuffer();
  if (!record) return false;
  if (field->FieldKind() != TFieldKind::fkData) return GetCalcFieldData(record + calcOffset_, field, buffer);
  const uint8_t* place = record + Place(field);
  if (field->IsBlob()) return !LoadBlob(field, record).empty();
  if (!place[0]) return false;
  // Empty text is null, as in a table.
  if (field->DataType() == TFieldType::ftString && place[1] == 0) return false;
  if (buffer) std::memcpy(buffer, place + 1, static_cast<size_t>(field->DataSize()));
  return true;
}

inline void TMemoryDataSet::SetFieldData(TField* field, const void* buffer) {
  using S = TDataSetState;
  S s = State();
  if (s != S::dsEdit && s != S::dsInsert && s != S::dsSetKey && s != S::dsCalcFields && s != S::dsFilter &&
      s != S::dsNewValue && s != S::dsInternalCalc)
    DatabaseError(SNotEditing);
  TRecordBuffer record = GetActiveRecordBuffer();
  if (field->FieldKind() != TFieldKind::fkData) {
    SetCalcFieldData(record + calcOffset_, field, buffer);
    return;
  }
  if (s == S::dsCalcFields) DatabaseError(SNotEditing);
  if (field->ReadOnly() && s != S::dsSetKey && s != S::dsFilter)
    DatabaseError(Format(SFieldReadOnly, {field->DisplayName()}));
  field->Validate(buffer);
  uint8_t* place = record + Place(field);
  place[0] = buffer ? 1 : 0;
  if (buffer)
    std::memcpy(place + 1, buffer, static_cast<size_t>(field->DataSize()));
  else
    std::memset(place + 1, 0, static_cast<size_t>(field->DataSize()));
  if (s != S::dsSetKey && s != S::dsCalcFields && s != S::dsFilter && s != S::dsNewValue)
    DataEvent(TDataEvent::deFieldChange, {field});
}

inline void TMemoryDataSet::InternalPost() {
  if (failPosts > 0) {
    --failPosts;
    throw EDatabaseError("Disk full");
  }
  ++posts;
  if (State() == TDataSetState::dsEdit) {
    int index = RecNoOf(ActiveBuffer()) - 1;
    Row row = RowFromBuffer(ActiveBuffer());
    row.deleted = rows[static_cast<size_t>(index)].deleted;
    rows[static_cast<size_t>(index)] = row;
    cursor_ = index;
  } else {
    rows.push_back(RowFromBuffer(ActiveBuffer()));
    cursor_ = static_cast<int>(rows.size()) - 1;
  }
  oldBuffer_.clear();
}

inline int TMemoryDataSet::GetRecordCount() {
  if (!open_) DatabaseError(SDataSetClosed);
  int count = 0;
  for (const Row& row : rows) count += row.deleted ? 0 : 1;
  return count;
}

inline void TMemoryDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  DoBeforeScroll();
  cursor_ = value - 1;
  Resync({TResyncModeItem::rmExact, TResyncModeItem::rmCenter});
  DoAfterScroll();
}

inline std::string TMemoryDataSet::LoadBlob(TField* field, TRecordBuffer buffer) {
  if (!buffer) return std::string();
  const uint8_t* place = buffer + Place(field);
  if (!place[0]) return std::string();
  int32_t slot;
  std::memcpy(&slot, place + 1, 4);
  std::string text = pool_.at(static_cast<size_t>(slot));
  TBlobField* blob = static_cast<TBlobField*>(field);
  return blob->Transliterate() && translateText ? platform::OemToAnsi(text) : text;
}

inline void TMemoryDataSet::StoreBlob(TField* field, const std::string& text) {
  TBlobField* blob = static_cast<TBlobField*>(field);
  pool_.push_back(blob->Transliterate() && translateText ? platform::AnsiToOem(text) : text);
  uint8_t* place = RowBuffer() + Place(field);
  place[0] = 1;
  int32_t slot = static_cast<int32_t>(pool_.size()) - 1;
  std::memcpy(place + 1, &slot, 4);
  blob->SetModified(true);
  DataEvent(TDataEvent::deFieldChange, {field});
}

inline std::unique_ptr<TBlobStream> TMemoryDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  if (mode != TBlobStreamMode::bmRead) {
    if (field->ReadOnly()) DatabaseError(Format(SFieldReadOnly, {field->DisplayName()}));
    if (State() != TDataSetState::dsEdit && State() != TDataSetState::dsInsert) DatabaseError(SNotEditing);
  }
  return std::make_unique<TMemoryBlobStream>(this, field, mode);
}

inline int TMemoryDataSet::Translate(const char* source, char* destination, bool toOem) {
  int length = TDataSet::Translate(source, destination, toOem);
  if (translateText) {
    if (toOem)
      platform::AnsiToOemBuff(destination, static_cast<size_t>(length));
    else
      platform::OemToAnsiBuff(destination, static_cast<size_t>(length));
  }
  return length;
}

inline bool TMemoryDataSet::Locate(const std::string& keyFields, const std::vector<Variant>& keyValues,
                                   TLocateOptions options) {
  CheckBrowseMode();
  std::vector<TField*> fields = GetFieldList(keyFields);
  auto same = [&](const std::string& have, const std::string& want) {
    std::string a = have, b = want;
    if (options.Contains(TLocateOption::loCaseInsensitive)) {
      a = platform::AnsiUpperCase(a);
      b = platform::AnsiUpperCase(b);
    }
    if (options.Contains(TLocateOption::loPartialKey)) a = a.substr(0, b.size());
    return a == b;
  };
  int keep = cursor_;
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    if (!Visible(i)) continue;
    FillBuffer(TempBuffer(), i);
    TDataSetState old = SetTempState(TDataSetState::dsCalcFields);
    CalculateFields(TempBuffer());
    bool all = true;
    for (size_t k = 0; k < fields.size() && all; ++k)
      all = same(fields[k]->AsString(), VarToStr(keyValues.at(k)));
    RestoreState(old);
    if (all) {
      DoBeforeScroll();
      cursor_ = i;
      Resync({TResyncModeItem::rmExact, TResyncModeItem::rmCenter});
      DoAfterScroll();
      return true;
    }
  }
  cursor_ = keep;
  return false;
}

inline std::vector<Variant> TMemoryDataSet::Lookup(const std::string& keyFields,
                                                   const std::vector<Variant>& keyValues,
                                                   const std::string& resultFields) {
  CheckBrowseMode();
  std::vector<TField*> keys = GetFieldList(keyFields);
  std::vector<TField*> results = GetFieldList(resultFields);
  for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
    if (!Visible(i)) continue;
    FillBuffer(TempBuffer(), i);
    TDataSetState old = SetTempState(TDataSetState::dsCalcFields);
    CalculateFields(TempBuffer());
    bool all = true;
    for (size_t k = 0; k < keys.size() && all; ++k) all = keys[k]->AsString() == VarToStr(keyValues.at(k));
    std::vector<Variant> values;
    if (all)
      for (TField* f : results) values.push_back(f->AsVariant());
    RestoreState(old);
    if (all) return values;
  }
  return std::vector<Variant>(results.size(), Variant::Null());
}
