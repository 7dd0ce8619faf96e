// The framework's dataset: an abstract record-buffer dataset with typed field
// objects, states, a window of buffered rows, bookmarks, filters, calculated
// fields, data sources and data links.
//
// ---------------------------------------------------------------------------
// Writing a dataset (for whoever derives one, such as the table dataset)
// ---------------------------------------------------------------------------
//
// TDataSet owns the state machine, the window of record buffers, the field
// objects and the notifications. A subclass owns a cursor over its data and
// lays out its record buffers; the framework never looks inside a buffer.
//
// A subclass must implement (pure virtual): AllocRecordBuffer,
// FreeRecordBuffer, InternalInitRecord, GetRecord, GetRecordSize,
// Get/SetBookmarkData, Get/SetBookmarkFlag, GetFieldData, SetFieldData,
// IsCursorOpen, InternalOpen, InternalClose, InternalInitFieldDefs,
// InternalFirst, InternalLast, InternalPost, InternalDelete,
// InternalAddRecord, InternalSetToRecord, InternalGotoBookmark.
// It may override (defaults in brackets): InternalEdit, InternalInsert,
// InternalCancel, InternalRefresh, ClearCalcFields [nothing];
// GetRecordCount, GetRecNo [-1]; SetRecNo [nothing]; IsSequenced [true];
// GetCanModify [true]; GetActiveRecordBuffer [below]; SetFilterText,
// SetFiltered, SetFilterOptions [store]; Locate [false]; Lookup [Nulls];
// BookmarkValid [false]; CompareBookmarks [bytes]; CreateBlobStream
// [error]; Translate [copy]; GetDataSource [none]; DataEvent [call base].
//
// Buffers. The framework asks for BufferCount() + 1 buffers when the dataset
// opens (AllocRecordBuffer) and hands them back on close (FreeRecordBuffer).
// BufferCount() is the largest BufferCount of the attached data links, at
// least 1. Rows 0 .. n-1 of the window hold fetched rows, ActiveBuffer() is
// the current one; one buffer beyond them is always free (TempBuffer()). The
// framework moves buffers between window places but never copies them. A
// buffer must carry, besides the row's data, its bookmark and bookmark flag
// (Get/SetBookmarkData, Get/SetBookmarkFlag) and, when the dataset has
// calculated fields, CalcFieldsSize() bytes for them (see below). The key
// buffer of the set-key state is one more buffer from AllocRecordBuffer.
//
// Fetching. GetRecord(buffer, mode, doCheck) fills `buffer` with the row
// before (gmPrior), at (gmCurrent) or after (gmNext) the cursor, moves the
// cursor there and answers grOK, or grBOF / grEOF when there is no such row,
// or grError; with doCheck an error is raised instead of answering grError.
// On grOK the buffer carries the row's bookmark, the flag bfCurrent, and its
// calculated fields: call GetCalcFields(buffer) before answering. A filtering
// subclass answers only visible rows (FilterRecordAccepted() runs
// OnFilterRecord). InternalFirst puts the cursor before the first row (the
// next gmNext fetch gives the first row), InternalLast after the last one.
// The framework keeps track of which buffered row the cursor is on; when it
// needs the cursor on a row it calls InternalSetToRecord(buffer), which goes
// to the buffer's bookmark (buffers flagged bfInserted or bfEOF have none).
// Navigation in short:
//   First:  InternalFirst, gmNext, then gmNext until the window is full.
//   Last:   InternalLast, gmPrior, then gmPrior until the window is full.
//   Next / Prior / MoveBy: moves inside the window; at its edge the cursor is
//           set to the edge row and one row is fetched with gmNext / gmPrior.
//   Resync: gmCurrent (else gmNext, else gmPrior) rebuilds the window around
//           the cursor; called after Post, Cancel, Delete, Refresh and
//           GotoBookmark, so those operations must leave the cursor on the
//           row to show (or where gmCurrent finds the nearest one).
//
// Editing. Edit sets the cursor to the active row and calls InternalEdit
// (re-read and lock). Insert places a new buffer before the active row,
// Append calls InternalLast and places one after the last; both call
// InternalInitRecord on it (blank it), flag it bfInserted (Insert) or bfEOF
// (Append) and then call InternalInsert. Post calls InternalPost, which
// writes the active buffer back (dsEdit) or adds it (dsInsert) and leaves
// the cursor on that row. AppendRecord / InsertRecord put values into a new
// row and hand it to InternalAddRecord instead. Cancel calls InternalCancel
// (release locks; nothing else is needed), Delete calls InternalDelete (the
// cursor must then be on the row that takes the deleted one's place),
// Refresh calls InternalRefresh. Close, and Delete, in dsEdit call
// InternalCancel first, so whatever Edit took (a record lock) is given back.
//
// Field values. TField reads through GetFieldData(field, buffer) and writes
// through SetFieldData(field, buffer), `buffer` holding the value in the
// field's native form (TField::DataSize bytes; see the field classes below);
// GetFieldData is also called with a null buffer to ask only whether the
// field has a value, and SetFieldData with a null buffer writes a null. The
// subclass picks the row by State() (GetActiveRecordBuffer gives the usual
// choice), runs field->Validate(buffer) before a write and then reports
// DataEvent(TDataEvent::deFieldChange, {field}), which marks the dataset
// modified, fires OnChange, recomputes calculated fields (AutoCalcFields)
// and tells the data links. Fields numbered by FieldNo() (1-based, the field
// definition's number) are data fields; calculated fields have FieldNo 0 and
// live in the buffer's calculated-field area: GetCalcFieldData /
// SetCalcFieldData read and write that area (a has-value byte at the field's
// Offset(), then the native value), ClearCalcFields(buffer) must zero it.
// String fields call Translate(source, destination, toOem) on their text:
// the subclass translates between its stored code page and the program's.
// Blob and memo fields go through CreateBlobStream; the framework commits
// every stream it writes (TBlobStream::Commit) before releasing it.
//
// Opening and closing. Open calls InternalOpen, which opens the cursor and,
// in this order, calls InitFieldDefs (which calls InternalInitFieldDefs),
// CreateFields when DefaultFields() (no persistent fields), BindFields(true)
// (CalcFieldsSize() is known from then on) and SetBookmarkSize. The
// framework then allocates the buffers, enters dsBrowse and goes First.
// When InternalOpen raises, the framework calls InternalClose when
// IsCursorOpen() answers true, unbinds and frees default fields and stays
// closed. Close calls InternalClose, then unbinds the fields and frees the
// default ones (a subclass may do either itself first). C++ destructors do
// not reach overrides: a subclass must call Close() in its own destructor.
//
// Messages. The framework's own checks raise EDatabaseError with the
// component's name in front ("tbNewTable: Field 'X' not found"); a subclass
// raising a message of its own calls DatabaseError(text) without a component
// to keep it plain. The message texts are the S... constants below and in
// dberrors.h.
// ---------------------------------------------------------------------------
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "framework/classes.h"
#include "framework/dberrors.h"
#include "framework/streams.h"
#include "framework/variants.h"

// ---- messages of the dataset framework ----

inline constexpr const char* SNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* SNotIndexField = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* SFieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* SFieldSizeMismatch = "Size mismatch for field '%s', expecting: %d actual: %d";
inline constexpr const char* SFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* SInvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
inline constexpr const char* SInvalidFloatValue = "'%s' is not a valid floating point value for field '%s'";
inline constexpr const char* SInvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
inline constexpr const char* SInvalidDateValue = "'%s' is not a valid date for field '%s'";
inline constexpr const char* SInvalidDateTimeValue = "'%s' is not a valid date and time for field '%s'";
inline constexpr const char* SFieldRangeError =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* SFieldValueError = "Invalid value for field '%s'";
inline constexpr const char* SInvalidCalcType = "Fields of type %s cannot be calculated";
inline constexpr const char* SDataSetMissing = "Field '%s' has no dataset";
inline constexpr const char* SFieldIndexError = "Field index out of range";
inline constexpr const char* SRecordNotFound = "Record not found";
inline constexpr const char* SBlobNotSupported = "Field '%s' cannot be read or written as a blob";
inline constexpr const char* SCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* STextTrue = "True";
inline constexpr const char* STextFalse = "False";

// ---- small sets over enumerations ----

template <class E>
class TSet {
 public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E e : items) bits_ |= Bit(e);
  }
  constexpr bool Contains(E e) const { return (bits_ & Bit(e)) != 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  TSet& Include(E e) {
    bits_ |= Bit(e);
    return *this;
  }
  TSet& Exclude(E e) {
    bits_ &= ~Bit(e);
    return *this;
  }
  friend constexpr bool operator==(TSet a, TSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr uint32_t Bit(E e) { return uint32_t{1} << static_cast<unsigned>(e); }
  uint32_t bits_ = 0;
};

// ---- enumerations ----

class TDataSet;
class TField;
class TDataSource;
class TDataLink;

enum class TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsInternalCalc
};

enum class TFieldType {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftLargeint,
  ftFloat,
  ftCurrency,
  ftBoolean,
  ftDate,
  ftDateTime,
  ftMemo,
  ftBlob
};
// "String", "SmallInt", "Integer", "LargeInt", "Float", "Currency",
// "Boolean", "Date", "DateTime", "Memo", "Blob", "Unknown".
const char* FieldTypeName(TFieldType type);

enum class TFieldKind { fkData, fkCalculated, fkInternalCalc };
enum class TGetMode { gmCurrent, gmNext, gmPrior };
enum class TGetResult { grOK, grBOF, grEOF, grError };
enum class TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };
enum class TBlobStreamMode { bmRead, bmWrite, bmReadWrite };
enum class TDataAction { daFail, daAbort, daRetry };

enum class TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange
};
// What goes with an event: the field (deFieldChange, deRecordChange) or the
// number of rows the window scrolled (deDataSetScroll).
struct TDataEventInfo {
  TField* field = nullptr;
  int distance = 0;
};

enum class TResyncModeItem { rmExact, rmCenter };
using TResyncMode = TSet<TResyncModeItem>;
enum class TLocateOption { loCaseInsensitive, loPartialKey };
using TLocateOptions = TSet<TLocateOption>;
enum class TFilterOption { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = TSet<TFilterOption>;

using TRecordBuffer = uint8_t*;
// A bookmark is BookmarkSize() bytes copied out of a buffer; empty when none.
using TBookmark = std::vector<uint8_t>;

using TDataSetNotifyEvent = std::function<void(TDataSet* dataSet)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataSet, bool& accept)>;
// The exception is any the operation raised (engine errors included).
using TDataSetErrorEvent = std::function<void(TDataSet* dataSet, const Exception& e, TDataAction& action)>;
using TFieldNotifyEvent = std::function<void(TField* sender)>;

// ---- blob streams ----

// A stream over one blob or memo field of the current row, made by
// TDataSet::CreateBlobStream. Commit writes a modified stream back into the
// row (it may raise); the framework's blob fields always commit what they
// write. A stream destroyed without Commit must not raise.
class TBlobStream : public TStream {
 public:
  virtual void Commit() {}
};

// ---- fields ----

class TField : public TComponent {
 public:
  explicit TField(TComponent* owner = nullptr);
  ~TField() override;

  // Attaches the field to a closed dataset (nullptr detaches): persistent
  // fields are made this way. The name must be unique in the dataset.
  TDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TDataSet* dataSet);

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& name);
  const std::string& DisplayLabel() const { return displayLabel_; }
  void SetDisplayLabel(const std::string& label) { displayLabel_ = label; }
  // The display label, or the field name when there is none.
  std::string DisplayName() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }

  TFieldType DataType() const { return dataType_; }
  TFieldKind FieldKind() const { return kind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return kind_ == TFieldKind::fkCalculated; }
  void SetCalculated(bool value) { SetFieldKind(value ? TFieldKind::fkCalculated : TFieldKind::fkData); }
  // Width of string fields (characters); 0 for the others.
  int Size() const { return size_; }
  void SetSize(int size);
  // Bytes of the field's native value in a buffer (0 for blobs).
  virtual int DataSize() const { return 0; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  bool Visible() const { return visible_; }
  void SetVisible(bool value) { visible_ = value; }
  // The field definition's number (1-based) while bound; 0 otherwise.
  int FieldNo() const { return fieldNo_; }
  // Position in the dataset's field list, -1 without a dataset.
  int Index() const;
  // Place of a calculated field in the calculated-field area.
  int Offset() const { return offset_; }
  virtual bool IsBlob() const { return false; }
  bool CanModify() const;

  bool IsNull() const { return !GetData(nullptr); }
  // Writes a null (as the dataset stores nulls).
  virtual void Clear() { SetData(nullptr); }

  // Values, converted by the framework's rules. Reading a null gives "", 0,
  // false or 0.0; AsVariant gives Null. Setting a null variant clears the
  // field. Conversions that do not fit raise EDatabaseError naming the field.
  virtual std::string AsString() const;
  virtual void SetAsString(const std::string& value);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  // Currency amounts as doubles.
  virtual double AsCurrency() const;
  virtual void SetAsCurrency(double value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime value);
  virtual Variant AsVariant() const;
  void SetAsVariant(const Variant& value);
  Variant Value() const { return AsVariant(); }
  void SetValue(const Variant& value) { SetAsVariant(value); }

  // The value before the edit (dsOldValue) and the value being posted
  // (dsNewValue), read or written in those states.
  Variant OldValue() const;
  Variant NewValue() const;
  void SetNewValue(const Variant& value);

  // The native value in the current row (see the class notes); false for a
  // null. `buffer` may be nullptr to ask only for null.
  bool GetData(void* buffer) const;
  void SetData(const void* buffer);

  // Runs OnValidate with `buffer` (the value about to be written, nullptr
  // for a null) visible through the As... getters. Called by the dataset's
  // SetFieldData before it writes.
  void Validate(const void* buffer);

  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;

 protected:
  TField(TComponent* owner, TFieldType type, int size);
  // Raises EDatabaseError naming the field's dataset.
  [[noreturn]] void Error(const std::string& message) const;
  [[noreturn]] void AccessError(const char* typeName) const;
  // A value given as a variant that is neither Empty nor Null.
  virtual void SetVarValue(const Variant& value);
  void CheckInactive() const;

 private:
  friend class TDataSet;
  friend class TFieldDef;
  void Changed() {
    if (OnChange) OnChange(this);
  }

  TDataSet* dataSet_ = nullptr;
  std::string fieldName_;
  std::string displayLabel_;
  TFieldType dataType_ = TFieldType::ftUnknown;
  TFieldKind kind_ = TFieldKind::fkData;
  int size_ = 0;
  int fieldNo_ = 0;
  int offset_ = 0;
  bool required_ = false;
  bool readOnly_ = false;
  bool visible_ = true;
  bool validating_ = false;
  const void* validateBuffer_ = nullptr;
};

// Native form: Size()+1 bytes, the text ending in a zero byte. Text comes and
// goes through the dataset's Translate when Transliterate (the default):
// stored text is translated to the program's code page when read and back
// when written. Longer text is cut to Size(). Empty text reads as null
// where the dataset says so.
class TStringField : public TField {
 public:
  explicit TStringField(TComponent* owner = nullptr);
  int DataSize() const override { return Size() + 1; }
  bool Transliterate() const { return transliterate_; }
  void SetTransliterate(bool value) { transliterate_ = value; }

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  double AsCurrency() const override { return AsFloat(); }
  void SetAsCurrency(double value) override { SetAsFloat(value); }
  // True for text starting with T, Y or 1 (case ignored).
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  Variant AsVariant() const override;

 protected:
  void SetVarValue(const Variant& value) override;

 private:
  bool transliterate_ = true;
};

// Native form: int32_t (TSmallintField: int16_t). Values outside the class's
// range are refused with the allowed range named.
class TIntegerField : public TField {
 public:
  explicit TIntegerField(TComponent* owner = nullptr);
  int DataSize() const override { return 4; }
  int64_t MinValue() const { return minValue_; }
  int64_t MaxValue() const { return maxValue_; }

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { StoreValue(value); }
  int64_t AsLargeInt() const override { return AsInteger(); }
  void SetAsLargeInt(int64_t value) override { StoreValue(value); }
  double AsFloat() const override { return AsInteger(); }
  void SetAsFloat(double value) override;
  double AsCurrency() const override { return AsInteger(); }
  void SetAsCurrency(double value) override { SetAsFloat(value); }
  Variant AsVariant() const override;

 protected:
  TIntegerField(TComponent* owner, TFieldType type, int64_t minValue, int64_t maxValue);
  void SetVarValue(const Variant& value) override;
  virtual bool ReadValue(int64_t& value) const;
  virtual void StoreValue(int64_t value);
  [[noreturn]] void RangeError(const std::string& value) const;

 private:
  int64_t minValue_;
  int64_t maxValue_;
};

class TSmallintField : public TIntegerField {
 public:
  explicit TSmallintField(TComponent* owner = nullptr);
  int DataSize() const override { return 2; }

 protected:
  bool ReadValue(int64_t& value) const override;
  void StoreValue(int64_t value) override;
};

// Native form: int64_t.
class TLargeintField : public TField {
 public:
  explicit TLargeintField(TComponent* owner = nullptr);
  int DataSize() const override { return 8; }

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsLargeInt(value); }
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override { return static_cast<double>(AsLargeInt()); }
  void SetAsFloat(double value) override;
  double AsCurrency() const override { return AsFloat(); }
  void SetAsCurrency(double value) override { SetAsFloat(value); }
  Variant AsVariant() const override;

 protected:
  void SetVarValue(const Variant& value) override;
};

// Native form: double. AsInteger and AsLargeInt round half to even.
class TFloatField : public TField {
 public:
  explicit TFloatField(TComponent* owner = nullptr);
  int DataSize() const override { return 8; }

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsFloat(value); }
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override { SetAsFloat(static_cast<double>(value)); }
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  double AsCurrency() const override { return AsFloat(); }
  void SetAsCurrency(double value) override { SetAsFloat(value); }
  Variant AsVariant() const override;

 protected:
  TFloatField(TComponent* owner, TFieldType type);
  void SetVarValue(const Variant& value) override;
};

// A float field whose variant is a Currency.
class TCurrencyField : public TFloatField {
 public:
  explicit TCurrencyField(TComponent* owner = nullptr);
  Variant AsVariant() const override;
};

// Native form: uint16_t, 0 or 1. Text: "True"/"False"; any leading part of
// either (case ignored) is accepted when set.
class TBooleanField : public TField {
 public:
  explicit TBooleanField(TComponent* owner = nullptr);
  int DataSize() const override { return 2; }

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  int32_t AsInteger() const override { return AsBoolean() ? 1 : 0; }
  void SetAsInteger(int32_t value) override { SetAsBoolean(value != 0); }
  Variant AsVariant() const override;

 protected:
  void SetVarValue(const Variant& value) override;
};

// Native form: TDateTime (double). Text in the locale's short date format,
// with the time of day when there is one.
class TDateTimeField : public TField {
 public:
  explicit TDateTimeField(TComponent* owner = nullptr);
  int DataSize() const override { return 8; }

  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime value) override;
  double AsFloat() const override { return AsDateTime(); }
  void SetAsFloat(double value) override { SetAsDateTime(value); }
  Variant AsVariant() const override;

 protected:
  TDateTimeField(TComponent* owner, TFieldType type);
  void SetVarValue(const Variant& value) override;
  [[noreturn]] void DateError(const std::string& text) const;
};

// Native form: TDateTime holding whole days; the time of day is dropped.
class TDateField : public TDateTimeField {
 public:
  explicit TDateField(TComponent* owner = nullptr);
  std::string AsString() const override;
  void SetAsDateTime(TDateTime value) override;
};

// No native form: the value goes through the dataset's blob stream. The
// string is the raw bytes; memo fields translate their text in the stream
// when Transliterate.
class TBlobField : public TField {
 public:
  explicit TBlobField(TComponent* owner = nullptr);
  bool IsBlob() const override { return true; }
  bool Transliterate() const { return transliterate_; }
  void SetTransliterate(bool value) { transliterate_ = value; }
  // Set by the dataset when a stream wrote the field.
  bool Modified() const { return modified_; }
  void SetModified(bool value) { modified_ = value; }

  // Writes an empty value through a write stream.
  void Clear() override;
  std::string AsString() const override;
  void SetAsString(const std::string& value) override;
  Variant AsVariant() const override;
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& target) const;

 protected:
  TBlobField(TComponent* owner, TFieldType type);
  void SetVarValue(const Variant& value) override { SetAsString(value.AsString()); }

 private:
  bool transliterate_ = false;
  bool modified_ = false;
};

class TMemoField : public TBlobField {
 public:
  explicit TMemoField(TComponent* owner = nullptr);
};

// The dataset's field objects in order. Not owning: default fields belong
// to the dataset (as components), persistent ones to whoever made them.
class TFields {
 public:
  int Count() const { return static_cast<int>(list_.size()); }
  // EDatabaseError "Field index out of range" outside 0..Count-1.
  TField* Fields(int index) const;
  TField* operator[](int index) const { return Fields(index); }
  int IndexOf(const TField* field) const;
  // By name, case ignored; nullptr when absent.
  TField* FindField(const std::string& name) const;
  // By field definition number; nullptr when absent.
  TField* FieldByNumber(int fieldNo) const;

 private:
  friend class TDataSet;
  explicit TFields(TDataSet* dataSet) : dataSet_(dataSet) {}
  TDataSet* dataSet_;
  std::vector<TField*> list_;
};

// ---- field definitions ----

class TFieldDef {
 public:
  TFieldDef(const std::string& name, TFieldType type, int size, bool required, int fieldNo)
      : name_(name), dataType_(type), size_(size), required_(required), fieldNo_(fieldNo) {}
  const std::string& Name() const { return name_; }
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  // 1-based; the dataset's own numbering of its fields (gaps allowed).
  int FieldNo() const { return fieldNo_; }
  void SetFieldNo(int fieldNo) { fieldNo_ = fieldNo; }

  // A field object of the class for DataType, owned by `owner`, attached to
  // `dataSet`.
  TField* CreateField(TComponent& owner, TDataSet* dataSet) const;

 private:
  std::string name_;
  TFieldType dataType_;
  int size_;
  bool required_;
  int fieldNo_;
};

class TFieldDefs {
 public:
  // Numbered Count()+1 unless SetFieldNo changes it. A repeated name raises
  // "Duplicate field name '%s'".
  TFieldDef& Add(const std::string& name, TFieldType type, int size = 0, bool required = false);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  TFieldDef& Items(int index) const;
  TFieldDef& operator[](int index) const { return Items(index); }
  int IndexOf(const std::string& name) const;
  TFieldDef* Find(const std::string& name) const;
  bool Updated() const { return updated_; }
  void SetUpdated(bool value) { updated_ = value; }

 private:
  friend class TDataSet;
  explicit TFieldDefs(TDataSet* dataSet) : dataSet_(dataSet) {}
  TDataSet* dataSet_;
  std::vector<std::unique_ptr<TFieldDef>> items_;
  bool updated_ = false;
};

// ---- the dataset ----

class TDataSet : public TComponent {
 public:
  explicit TDataSet(TComponent* owner = nullptr);
  // A subclass must Close() in its own destructor (see the notes above).
  ~TDataSet() override;

  // -- opening and state --
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool Active() const { return state_ != TDataSetState::dsInactive; }
  void SetActive(bool value);
  TDataSetState State() const { return state_; }
  bool Modified() const { return modified_; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return recordCount_ == 0; }
  bool CanModify() const { return GetCanModify(); }
  // The framework's own state checks ("<name>: Cannot perform this
  // operation on a closed dataset" / "... on an open dataset").
  void CheckActive() const;
  void CheckInactive() const;
  // Posts or cancels an edit, ends key editing; requires an open dataset.
  void CheckBrowseMode();

  // -- navigation --
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves by up to `distance` rows; answers how far it moved.
  int MoveBy(int distance);
  void Refresh();
  // Rebuilds the window around the cursor's row. rmExact raises "Record not
  // found" when the row is gone; rmCenter puts it in the middle of the
  // window instead of where the active row was.
  void Resync(TResyncMode mode);
  // The subclass's count and physical record number; -1 when it has none.
  int RecordCount() { return GetRecordCount(); }
  int RecNo() { return GetRecNo(); }
  // Goes to the row of that record number; nothing here.
  virtual void SetRecNo(int) {}
  // Whether record numbers can serve as positions.
  virtual bool IsSequenced() { return true; }
  int RecordSize() { return GetRecordSize(); }

  // -- bookmarks --
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& bookmark);
  void FreeBookmark(TBookmark& bookmark) { bookmark.clear(); }
  virtual bool BookmarkValid(const TBookmark& bookmark);
  // -1, 0, 1; an empty bookmark sorts first.
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b);
  int BookmarkSize() const { return bookmarkSize_; }

  // -- editing --
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  // Adds a whole row at once through InternalAddRecord; values go to the
  // fields in order (Null clears, Empty leaves the field as initialised).
  void AppendRecord(const std::vector<Variant>& values) { AddRecord(values, true); }
  void InsertRecord(const std::vector<Variant>& values) { AddRecord(values, false); }
  void SetFields(const std::vector<Variant>& values);
  // Enters dsSetKey on a cleared (SetKey) or kept (EditKey) key buffer; Post
  // or Cancel returns to dsBrowse.
  void SetKey();
  void EditKey();
  // Asks the data links to hand in pending edits (deUpdateRecord).
  void UpdateRecord();

  // -- fields --
  TFieldDefs& FieldDefs() { return fieldDefs_; }
  TFields& Fields() { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TField* FindField(const std::string& name) const { return fields_.FindField(name); }
  // "<name>: Field '%s' not found" when absent.
  TField* FieldByName(const std::string& name) const;
  // Names separated by ";" (blanks around them ignored), each must exist.
  std::vector<TField*> GetFieldList(const std::string& names) const;
  void GetFieldNames(TStrings& list) const;
  // True when the fields were made from the definitions at open.
  bool DefaultFields() const { return defaultFields_; }
  int CalcFieldsSize() const { return calcFieldsSize_; }
  virtual std::unique_ptr<TBlobStream> CreateBlobStream(TField* field, TBlobStreamMode mode);
  // Text translation for string fields: copies `source` (up to its zero
  // byte, zero included) to `destination` (which may be the same buffer),
  // translated to (toOem) or from the stored code page. Answers the length.
  // The default copies unchanged.
  virtual int Translate(const char* source, char* destination, bool toOem);

  // -- searching --
  // Both answer false / Null here; a dataset with a search overrides them.
  virtual bool Locate(const std::string& keyFields, const std::vector<Variant>& keyValues,
                      TLocateOptions options);
  // One value per result field (";"-separated), all Null when not found.
  virtual std::vector<Variant> Lookup(const std::string& keyFields, const std::vector<Variant>& keyValues,
                                      const std::string& resultFields);

  // -- filtering --
  // The setters only store; a filtering dataset overrides them, acts, and
  // calls these to store.
  const std::string& Filter() const { return filterText_; }
  void SetFilter(const std::string& text) { SetFilterText(text); }
  bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  TFilterOptions FilterOptions() const { return filterOptions_; }
  virtual void SetFilterOptions(TFilterOptions options) { filterOptions_ = options; }

  // -- calculated fields --
  bool AutoCalcFields() const { return autoCalcFields_; }
  void SetAutoCalcFields(bool value) { autoCalcFields_ = value; }

  // -- data links --
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }
  // The data source this dataset depends on (a detail's master); none here.
  virtual TDataSource* GetDataSource() const { return nullptr; }
  // True when `source` leads, through data sets and their sources, back to
  // this dataset.
  bool IsLinkedTo(const TDataSource* source) const;
  // Every notification goes through here; a subclass that overrides it
  // calls this one.
  virtual void DataEvent(TDataEvent event, TDataEventInfo info = {});

  // -- events --
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent OnNewRecord;
  TDataSetNotifyEvent OnCalcFields;
  TFilterRecordEvent OnFilterRecord;
  TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;

 protected:
  // ---- the record-buffer protocol (see the notes at the top) ----
  virtual TRecordBuffer AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
  virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
  virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) = 0;
  virtual int GetRecordSize() = 0;
  virtual void GetBookmarkData(TRecordBuffer buffer, uint8_t* data) = 0;
  virtual void SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) = 0;
  virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
  virtual bool GetFieldData(TField* field, void* buffer) = 0;
  virtual void SetFieldData(TField* field, const void* buffer) = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual void InternalInitFieldDefs() = 0;
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalPost() = 0;
  virtual void InternalDelete() = 0;
  virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
  virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
  virtual void InternalGotoBookmark(const uint8_t* bookmark) = 0;
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalCancel() {}
  virtual void InternalRefresh() {}
  virtual void ClearCalcFields(TRecordBuffer) {}
  virtual int GetRecordCount() { return -1; }
  virtual int GetRecNo() { return -1; }
  virtual bool GetCanModify() const { return true; }
  virtual void SetFilterText(const std::string& text) { filterText_ = text; }

  // The buffer the current state reads and writes: the active buffer in
  // browse, edit, insert, new-value and old-value states (none in browse
  // when the dataset is empty), the key buffer in dsSetKey, the calculation
  // buffer in dsCalcFields and dsInternalCalc, none in dsFilter.
  virtual TRecordBuffer GetActiveRecordBuffer();

  // ---- helpers for subclasses ----
  void InitFieldDefs();
  void CreateFields();
  void DestroyFields();
  void BindFields(bool binding);
  void SetBookmarkSize(int size) { bookmarkSize_ = size; }

  TRecordBuffer ActiveBuffer() const;
  TRecordBuffer TempBuffer() const { return buffers_.empty() ? nullptr : buffers_[recordCount_]; }
  TRecordBuffer CalcBuffer() const { return calcBuffer_; }
  TRecordBuffer KeyBuffer() const { return keyBuffer_; }
  int BufferCount() const { return bufferCount_; }
  int ActiveRecord() const { return activeRecord_; }

  // Calculated-field area of a buffer: a has-value byte at the field's
  // Offset(), then DataSize() bytes of value. A null `value` clears it.
  bool GetCalcFieldData(const uint8_t* calcArea, const TField* field, void* value) const;
  void SetCalcFieldData(uint8_t* calcArea, const TField* field, const void* value) const;
  // Computes the calculated fields of `buffer` in dsCalcFields.
  void GetCalcFields(TRecordBuffer buffer);
  // Clears and computes them with CalcBuffer() = buffer, in the current state.
  void CalculateFields(TRecordBuffer buffer);
  // Runs OnFilterRecord in dsFilter when Filtered and assigned.
  bool FilterRecordAccepted();

  // A temporary state for reading fields of another row; answers the old one.
  TDataSetState SetTempState(TDataSetState state);
  void RestoreState(TDataSetState state);
  void SetCalcBuffer(TRecordBuffer buffer) { calcBuffer_ = buffer; }
  void SetState(TDataSetState state);
  void SetModified(bool value) { modified_ = value; }

  // The cursor no longer matches a buffered row.
  void CursorPosChanged() { currentRecord_ = -1; }
  // Puts the cursor on the active row.
  void UpdateCursorPos();
  void CheckCanModify() const;
  void DoBeforeScroll();
  void DoAfterScroll();

 private:
  friend class TField;
  friend class TDataLink;
  friend class TDataSource;

  void OpenCursor();
  void CloseCursor();
  void AllocateBuffers();
  void FreeBuffers();
  void ApplyBufferCount();
  void UpdateBufferCount();
  void ClearBuffers();
  void SetCurrentRecord(int index);
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  void InitRecord(TRecordBuffer buffer);
  void BeginInsertAppend();
  void EndInsertAppend();
  void AddRecord(const std::vector<Variant>& values, bool append);
  void CheckRequiredFields();
  void CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& onError);
  void Notify(const TDataSetNotifyEvent& event) {
    if (event) event(this);
  }
  void AddField(TField* field);
  void RemoveField(TField* field);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);

  TDataSetState state_ = TDataSetState::dsInactive;
  TFieldDefs fieldDefs_;
  TFields fields_;
  std::vector<TField*> defaultFieldList_;
  bool defaultFields_ = false;
  bool fieldsBound_ = false;
  int calcFieldsSize_ = 0;
  int bookmarkSize_ = 0;

  // The window: buffers_[0 .. recordCount_-1] hold rows, buffers_ has
  // bufferCount_ + 1 entries, the last of which is always free.
  std::vector<TRecordBuffer> buffers_;
  int bufferCount_ = 0;
  int wantedBufferCount_ = 1;
  int recordCount_ = 0;
  int activeRecord_ = 0;
  int currentRecord_ = -1;  // the window row the cursor is on, -1 unknown
  TRecordBuffer keyBuffer_ = nullptr;
  TRecordBuffer calcBuffer_ = nullptr;

  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  bool autoCalcFields_ = true;
  std::string filterText_;
  bool filtered_ = false;
  TFilterOptions filterOptions_;

  int disableCount_ = 0;
  TDataSetState disableState_ = TDataSetState::dsInactive;
  bool eventsSuppressed_ = false;
  std::vector<TDataSource*> dataSources_;
};

// ---- data sources and links ----

// Connects a dataset to data links (and through them to controls and
// detail datasets). Not the owner of either.
class TDataSource : public TComponent {
 public:
  explicit TDataSource(TComponent* owner = nullptr);
  ~TDataSource() override;

  TDataSet* DataSet() const { return dataSet_; }
  // "<name>: Circular datalinks are not allowed" when `dataSet` depends on
  // this source.
  void SetDataSet(TDataSet* dataSet);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  bool AutoEdit() const { return autoEdit_; }
  void SetAutoEdit(bool value) { autoEdit_ = value; }
  TDataSetState State() const;
  // Puts the dataset in edit mode when AutoEdit and it is browsing.
  void Edit();
  // True when `dataSet` leads back to this source.
  bool IsLinkedTo(const TDataSet* dataSet) const;

  std::function<void(TDataSource* sender)> OnStateChange;
  std::function<void(TDataSource* sender, TField* field)> OnDataChange;
  std::function<void(TDataSource* sender)> OnUpdateData;

 private:
  friend class TDataSet;
  friend class TDataLink;
  void DataEvent(TDataEvent event, TDataEventInfo info);
  void UpdateLinks();

  TDataSet* dataSet_ = nullptr;
  bool enabled_ = true;
  bool autoEdit_ = true;
  std::vector<TDataLink*> links_;
};

// One consumer of a data source. Subclasses override the notifications.
class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return dataSource_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const { return dataSource_ ? dataSource_->DataSet() : nullptr; }
  // The source is enabled and its dataset open.
  bool Active() const { return active_; }
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  // Rows the link wants buffered; the dataset keeps as many as its largest
  // link wants.
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int count);
  // The active row's place in the dataset's window, and the number of rows
  // there. Setting ActiveRecord moves the active row inside the window
  // without fetching or notifying, so a link can read every buffered row.
  int ActiveRecord() const;
  void SetActiveRecord(int index);
  int RecordCount() const;
  // Puts the dataset in edit mode when allowed; answers Editing().
  bool Edit();
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void EditingChanged() {}
  virtual void CheckBrowseMode() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int) { DataSetChanged(); }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField*) {}
  virtual void UpdateData() {}

 private:
  friend class TDataSource;
  void DataEvent(TDataEvent event, TDataEventInfo info);
  void UpdateState();

  TDataSource* dataSource_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool readOnly_ = false;
  bool updating_ = false;
  int bufferCount_ = 1;
};

// The link a detail dataset owns to follow its master: OnMasterChange runs
// when the master's current row or its key fields change (and when the link
// becomes active), OnMasterDisable when it stops being active. Fields() are
// the master's fields named by FieldNames, resolved while active.
class TMasterDataLink : public TDataLink {
 public:
  const std::string& FieldNames() const { return fieldNames_; }
  void SetFieldNames(const std::string& names);
  const std::vector<TField*>& Fields() const { return fields_; }

  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void LayoutChanged() override;

 private:
  void ResolveFields();
  std::string fieldNames_;
  std::vector<TField*> fields_;
};
