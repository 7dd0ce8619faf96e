// Field objects, the field list and field definitions of the dataset
// framework: native values in buffers, conversions between the classes and
// the framework's conversion errors.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "framework/db.h"
#include "platform/text.h"

namespace {

// The text that names a variant's value in an error message.
std::string ValueText(const Variant& value) {
  try {
    return VarToStr(value);
  } catch (const Exception&) {
    return VarTypeName(value.VarType());
  }
}

bool IsPrefixOf(const std::string& text, const char* word) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > std::strlen(word)) return false;
  return platform::AnsiSameText(t, std::string(word, t.size()));
}

// TDateTime values whose date lies in years 1 to 9999.
bool IsValidDateTime(TDateTime value) {
  return std::isfinite(value) && std::trunc(value) >= -693593.0 && std::trunc(value) <= 2958465.0;
}

}  // namespace

const char* FieldTypeName(TFieldType type) {
  switch (type) {
    case TFieldType::ftString:
      return "String";
    case TFieldType::ftSmallint:
      return "SmallInt";
    case TFieldType::ftInteger:
      return "Integer";
    case TFieldType::ftLargeint:
      return "LargeInt";
    case TFieldType::ftFloat:
      return "Float";
    case TFieldType::ftCurrency:
      return "Currency";
    case TFieldType::ftBoolean:
      return "Boolean";
    case TFieldType::ftDate:
      return "Date";
    case TFieldType::ftDateTime:
      return "DateTime";
    case TFieldType::ftMemo:
      return "Memo";
    case TFieldType::ftBlob:
      return "Blob";
    case TFieldType::ftUnknown:
      break;
  }
  return "Unknown";
}

// ---- TField ----

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::TField(TComponent* owner, TFieldType type, int size)
    : TComponent(owner), dataType_(type), size_(size) {}

TField::~TField() {
  if (dataSet_) dataSet_->RemoveField(this);
}

void TField::Error(const std::string& message) const { DatabaseError(message, dataSet_); }

void TField::AccessError(const char* typeName) const {
  Error(Format(SFieldAccessError, {DisplayName(), typeName}));
}

void TField::CheckInactive() const {
  if (dataSet_) dataSet_->CheckInactive();
}

void TField::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  CheckInactive();
  if (dataSet) {
    dataSet->CheckInactive();
    if (dataSet->FindField(fieldName_)) DatabaseError(Format(SDuplicateFieldName, {fieldName_}), dataSet);
  }
  if (dataSet_) dataSet_->RemoveField(this);
  dataSet_ = nullptr;
  fieldNo_ = 0;
  if (dataSet) {
    dataSet->AddField(this);
    dataSet_ = dataSet;
  }
}

void TField::SetFieldName(const std::string& name) {
  if (name == fieldName_) return;
  CheckInactive();
  if (dataSet_) {
    TField* other = dataSet_->FindField(name);
    if (other && other != this) Error(Format(SDuplicateFieldName, {name}));
  }
  fieldName_ = name;
}

void TField::SetFieldKind(TFieldKind kind) {
  if (kind == kind_) return;
  CheckInactive();
  kind_ = kind;
}

void TField::SetSize(int size) {
  if (size == size_) return;
  CheckInactive();
  size_ = std::max(0, size);
}

int TField::Index() const { return dataSet_ ? dataSet_->fields_.IndexOf(this) : -1; }

bool TField::CanModify() const {
  return !readOnly_ && dataSet_ && kind_ != TFieldKind::fkCalculated && dataSet_->CanModify();
}

bool TField::GetData(void* buffer) const {
  if (!dataSet_) Error(Format(SDataSetMissing, {DisplayName()}));
  if (validating_) {
    if (!validateBuffer_) return false;
    if (buffer) std::memcpy(buffer, validateBuffer_, static_cast<size_t>(DataSize()));
    return true;
  }
  return dataSet_->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
  if (!dataSet_) Error(Format(SDataSetMissing, {DisplayName()}));
  dataSet_->SetFieldData(this, buffer);
}

void TField::Validate(const void* buffer) {
  if (!OnValidate) return;
  validating_ = true;
  validateBuffer_ = buffer;
  try {
    OnValidate(this);
  } catch (...) {
    validating_ = false;
    validateBuffer_ = nullptr;
    throw;
  }
  validating_ = false;
  validateBuffer_ = nullptr;
}

std::string TField::AsString() const { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
int64_t TField::AsLargeInt() const { AccessError("LargeInt"); }
void TField::SetAsLargeInt(int64_t) { AccessError("LargeInt"); }
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
double TField::AsCurrency() const { AccessError("Currency"); }
void TField::SetAsCurrency(double) { AccessError("Currency"); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
TDateTime TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }
Variant TField::AsVariant() const { AccessError("Variant"); }
void TField::SetVarValue(const Variant&) { AccessError("Variant"); }

void TField::SetAsVariant(const Variant& value) {
  if (value.IsClear())
    Clear();
  else
    SetVarValue(value);
}

Variant TField::OldValue() const {
  if (!dataSet_) Error(Format(SDataSetMissing, {DisplayName()}));
  TDataSetState old = dataSet_->SetTempState(TDataSetState::dsOldValue);
  try {
    Variant v = AsVariant();
    dataSet_->RestoreState(old);
    return v;
  } catch (...) {
    dataSet_->RestoreState(old);
    throw;
  }
}

Variant TField::NewValue() const {
  if (!dataSet_) Error(Format(SDataSetMissing, {DisplayName()}));
  TDataSetState old = dataSet_->SetTempState(TDataSetState::dsNewValue);
  try {
    Variant v = AsVariant();
    dataSet_->RestoreState(old);
    return v;
  } catch (...) {
    dataSet_->RestoreState(old);
    throw;
  }
}

void TField::SetNewValue(const Variant& value) {
  if (!dataSet_) Error(Format(SDataSetMissing, {DisplayName()}));
  TDataSetState old = dataSet_->SetTempState(TDataSetState::dsNewValue);
  try {
    SetAsVariant(value);
  } catch (...) {
    dataSet_->RestoreState(old);
    throw;
  }
  dataSet_->RestoreState(old);
}

// ---- TStringField ----

TStringField::TStringField(TComponent* owner) : TField(owner, TFieldType::ftString, 20) {}

std::string TStringField::AsString() const {
  std::vector<char> buffer(static_cast<size_t>(Size()) + 1, 0);
  if (!GetData(buffer.data())) return std::string();
  buffer.back() = 0;
  if (transliterate_ && DataSet()) DataSet()->Translate(buffer.data(), buffer.data(), false);
  return std::string(buffer.data());
}

void TStringField::SetAsString(const std::string& value) {
  std::vector<char> buffer(static_cast<size_t>(Size()) + 1, 0);
  std::memcpy(buffer.data(), value.data(), std::min(value.size(), static_cast<size_t>(Size())));
  if (transliterate_ && DataSet()) DataSet()->Translate(buffer.data(), buffer.data(), true);
  SetData(buffer.data());
}

int64_t TStringField::AsLargeInt() const {
  std::string text = AsString();
  if (Trim(text).empty()) return 0;
  int64_t v;
  if (!TryStrToInt64(text, v)) Error(Format(SInvalidIntegerValue, {text, DisplayName()}));
  return v;
}

int32_t TStringField::AsInteger() const {
  int64_t v = AsLargeInt();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    Error(Format(SInvalidIntegerValue, {AsString(), DisplayName()}));
  return static_cast<int32_t>(v);
}

void TStringField::SetAsInteger(int32_t value) { SetAsString(IntToStr(value)); }
void TStringField::SetAsLargeInt(int64_t value) { SetAsString(IntToStr(value)); }

double TStringField::AsFloat() const {
  std::string text = AsString();
  if (Trim(text).empty()) return 0;
  double v;
  if (!TryStrToFloat(text, v)) Error(Format(SInvalidFloatValue, {text, DisplayName()}));
  return v;
}

void TStringField::SetAsFloat(double value) { SetAsString(FloatToStr(value)); }

bool TStringField::AsBoolean() const {
  std::string text = AsString();
  if (text.empty()) return false;
  char c = text[0];
  return c == 'T' || c == 't' || c == 'Y' || c == 'y' || c == '1';
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? STextTrue : STextFalse); }

TDateTime TStringField::AsDateTime() const {
  std::string text = AsString();
  if (Trim(text).empty()) return 0;
  try {
    return Variant(text).AsDateTime();
  } catch (const EVariantError&) {
    Error(Format(SInvalidDateTimeValue, {text, DisplayName()}));
  }
}

void TStringField::SetAsDateTime(TDateTime value) { SetAsString(DateTimeToStr(value)); }

Variant TStringField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(AsString());
}

void TStringField::SetVarValue(const Variant& value) { SetAsString(value.AsString()); }

// ---- TIntegerField and TSmallintField ----

TIntegerField::TIntegerField(TComponent* owner)
    : TIntegerField(owner, TFieldType::ftInteger, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()) {}

TIntegerField::TIntegerField(TComponent* owner, TFieldType type, int64_t minValue, int64_t maxValue)
    : TField(owner, type, 0), minValue_(minValue), maxValue_(maxValue) {}

bool TIntegerField::ReadValue(int64_t& value) const {
  int32_t v = 0;
  if (!GetData(&v)) return false;
  value = v;
  return true;
}

void TIntegerField::StoreValue(int64_t value) {
  if (value < minValue_ || value > maxValue_) RangeError(IntToStr(value));
  int32_t v = static_cast<int32_t>(value);
  SetData(&v);
}

void TIntegerField::RangeError(const std::string& value) const {
  Error(Format(SFieldRangeError, {value, DisplayName(), IntToStr(minValue_), IntToStr(maxValue_)}));
}

std::string TIntegerField::AsString() const {
  int64_t v;
  return ReadValue(v) ? IntToStr(v) : std::string();
}

void TIntegerField::SetAsString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
    return;
  }
  int64_t v;
  if (!TryStrToInt64(value, v)) Error(Format(SInvalidIntegerValue, {value, DisplayName()}));
  StoreValue(v);
}

int32_t TIntegerField::AsInteger() const {
  int64_t v;
  return ReadValue(v) ? static_cast<int32_t>(v) : 0;
}

void TIntegerField::SetAsFloat(double value) {
  int64_t v = 0;
  try {
    v = Variant(value).AsInt64();
  } catch (const EVariantError&) {
    RangeError(FloatToStr(value));
  }
  StoreValue(v);
}

Variant TIntegerField::AsVariant() const {
  int64_t v;
  return ReadValue(v) ? Variant(static_cast<int32_t>(v)) : Variant::Null();
}

void TIntegerField::SetVarValue(const Variant& value) {
  int64_t v = 0;
  try {
    v = value.AsInt64();
  } catch (const EVariantOverflowError&) {
    RangeError(ValueText(value));
  } catch (const EVariantError&) {
    Error(Format(SInvalidIntegerValue, {ValueText(value), DisplayName()}));
  }
  StoreValue(v);
}

TSmallintField::TSmallintField(TComponent* owner)
    : TIntegerField(owner, TFieldType::ftSmallint, std::numeric_limits<int16_t>::min(),
                    std::numeric_limits<int16_t>::max()) {}

bool TSmallintField::ReadValue(int64_t& value) const {
  int16_t v = 0;
  if (!GetData(&v)) return false;
  value = v;
  return true;
}

void TSmallintField::StoreValue(int64_t value) {
  if (value < MinValue() || value > MaxValue()) RangeError(IntToStr(value));
  int16_t v = static_cast<int16_t>(value);
  SetData(&v);
}

// ---- TLargeintField ----

TLargeintField::TLargeintField(TComponent* owner) : TField(owner, TFieldType::ftLargeint, 0) {}

int64_t TLargeintField::AsLargeInt() const {
  int64_t v = 0;
  return GetData(&v) ? v : 0;
}

void TLargeintField::SetAsLargeInt(int64_t value) { SetData(&value); }

std::string TLargeintField::AsString() const {
  int64_t v = 0;
  return GetData(&v) ? IntToStr(v) : std::string();
}

void TLargeintField::SetAsString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
    return;
  }
  int64_t v;
  if (!TryStrToInt64(value, v)) Error(Format(SInvalidIntegerValue, {value, DisplayName()}));
  SetAsLargeInt(v);
}

int32_t TLargeintField::AsInteger() const {
  int64_t v = AsLargeInt();
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    Error(Format(SFieldRangeError, {IntToStr(v), DisplayName(), IntToStr(std::numeric_limits<int32_t>::min()),
                                    IntToStr(std::numeric_limits<int32_t>::max())}));
  return static_cast<int32_t>(v);
}

void TLargeintField::SetAsFloat(double value) {
  int64_t v = 0;
  try {
    v = Variant(value).AsInt64();
  } catch (const EVariantError&) {
    Error(Format(SFieldRangeError,
                 {FloatToStr(value), DisplayName(), IntToStr(INT64_MIN), IntToStr(INT64_MAX)}));
  }
  SetAsLargeInt(v);
}

Variant TLargeintField::AsVariant() const {
  int64_t v = 0;
  return GetData(&v) ? Variant(v) : Variant::Null();
}

void TLargeintField::SetVarValue(const Variant& value) {
  int64_t v = 0;
  try {
    v = value.AsInt64();
  } catch (const EVariantOverflowError&) {
    Error(Format(SFieldRangeError,
                 {ValueText(value), DisplayName(), IntToStr(INT64_MIN), IntToStr(INT64_MAX)}));
  } catch (const EVariantError&) {
    Error(Format(SInvalidIntegerValue, {ValueText(value), DisplayName()}));
  }
  SetAsLargeInt(v);
}

// ---- TFloatField and TCurrencyField ----

TFloatField::TFloatField(TComponent* owner) : TFloatField(owner, TFieldType::ftFloat) {}
TFloatField::TFloatField(TComponent* owner, TFieldType type) : TField(owner, type, 0) {}

double TFloatField::AsFloat() const {
  double v = 0;
  return GetData(&v) ? v : 0;
}

void TFloatField::SetAsFloat(double value) {
  if (!std::isfinite(value)) Error(Format(SInvalidFloatValue, {FloatToStr(value), DisplayName()}));
  SetData(&value);
}

std::string TFloatField::AsString() const {
  double v = 0;
  return GetData(&v) ? FloatToStr(v) : std::string();
}

void TFloatField::SetAsString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
    return;
  }
  double v;
  if (!TryStrToFloat(value, v)) Error(Format(SInvalidFloatValue, {value, DisplayName()}));
  SetAsFloat(v);
}

int64_t TFloatField::AsLargeInt() const {
  double v = AsFloat();
  try {
    return Variant(v).AsInt64();
  } catch (const EVariantError&) {
    Error(Format(SFieldRangeError, {FloatToStr(v), DisplayName(), IntToStr(INT64_MIN), IntToStr(INT64_MAX)}));
  }
}

int32_t TFloatField::AsInteger() const {
  double v = AsFloat();
  try {
    return Variant(v).AsInteger();
  } catch (const EVariantError&) {
    Error(
        Format(SFieldRangeError, {FloatToStr(v), DisplayName(), IntToStr(std::numeric_limits<int32_t>::min()),
                                  IntToStr(std::numeric_limits<int32_t>::max())}));
  }
}

Variant TFloatField::AsVariant() const {
  double v = 0;
  return GetData(&v) ? Variant(v) : Variant::Null();
}

void TFloatField::SetVarValue(const Variant& value) {
  double v = 0;
  try {
    v = value.AsDouble();
  } catch (const EVariantError&) {
    Error(Format(SInvalidFloatValue, {ValueText(value), DisplayName()}));
  }
  SetAsFloat(v);
}

TCurrencyField::TCurrencyField(TComponent* owner) : TFloatField(owner, TFieldType::ftCurrency) {}

Variant TCurrencyField::AsVariant() const {
  double v = 0;
  if (!GetData(&v)) return Variant::Null();
  try {
    return Variant::FromCurrency(v);
  } catch (const EVariantError&) {
    return Variant(v);  // beyond the currency range: keep the amount as it is
  }
}

// ---- TBooleanField ----

TBooleanField::TBooleanField(TComponent* owner) : TField(owner, TFieldType::ftBoolean, 0) {}

bool TBooleanField::AsBoolean() const {
  uint16_t v = 0;
  return GetData(&v) && v != 0;
}

void TBooleanField::SetAsBoolean(bool value) {
  uint16_t v = value ? 1 : 0;
  SetData(&v);
}

std::string TBooleanField::AsString() const {
  uint16_t v = 0;
  if (!GetData(&v)) return std::string();
  return v ? STextTrue : STextFalse;
}

void TBooleanField::SetAsString(const std::string& value) {
  if (Trim(value).empty())
    Clear();
  else if (IsPrefixOf(value, STextTrue))
    SetAsBoolean(true);
  else if (IsPrefixOf(value, STextFalse))
    SetAsBoolean(false);
  else
    Error(Format(SInvalidBoolValue, {value, DisplayName()}));
}

Variant TBooleanField::AsVariant() const {
  uint16_t v = 0;
  return GetData(&v) ? Variant(v != 0) : Variant::Null();
}

void TBooleanField::SetVarValue(const Variant& value) {
  if (value.VarType() == TVarType::varString) {
    SetAsString(value.AsString());
    return;
  }
  bool v = false;
  try {
    v = value.AsBoolean();
  } catch (const EVariantError&) {
    Error(Format(SInvalidBoolValue, {ValueText(value), DisplayName()}));
  }
  SetAsBoolean(v);
}

// ---- TDateTimeField and TDateField ----

TDateTimeField::TDateTimeField(TComponent* owner) : TDateTimeField(owner, TFieldType::ftDateTime) {}
TDateTimeField::TDateTimeField(TComponent* owner, TFieldType type) : TField(owner, type, 0) {}

void TDateTimeField::DateError(const std::string& text) const {
  Error(Format(DataType() == TFieldType::ftDate ? SInvalidDateValue : SInvalidDateTimeValue,
               {text, DisplayName()}));
}

TDateTime TDateTimeField::AsDateTime() const {
  double v = 0;
  return GetData(&v) ? v : 0;
}

void TDateTimeField::SetAsDateTime(TDateTime value) {
  if (!IsValidDateTime(value)) DateError(FloatToStr(value));
  SetData(&value);
}

std::string TDateTimeField::AsString() const {
  double v = 0;
  return GetData(&v) ? DateTimeToStr(v) : std::string();
}

void TDateTimeField::SetAsString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
    return;
  }
  TDateTime v = 0;
  try {
    v = Variant(value).AsDateTime();
  } catch (const EVariantError&) {
    DateError(value);
  }
  if (!IsValidDateTime(v)) DateError(value);
  SetAsDateTime(v);
}

Variant TDateTimeField::AsVariant() const {
  double v = 0;
  return GetData(&v) ? Variant::FromDate(v) : Variant::Null();
}

void TDateTimeField::SetVarValue(const Variant& value) {
  if (value.VarType() == TVarType::varString) {
    SetAsString(value.AsString());
    return;
  }
  TDateTime v = 0;
  try {
    v = value.AsDateTime();
  } catch (const EVariantError&) {
    DateError(ValueText(value));
  }
  SetAsDateTime(v);
}

TDateField::TDateField(TComponent* owner) : TDateTimeField(owner, TFieldType::ftDate) {}

std::string TDateField::AsString() const {
  double v = 0;
  return GetData(&v) ? DateToStr(v) : std::string();
}

void TDateField::SetAsDateTime(TDateTime value) {
  // The day part of a TDateTime is its integer part, also before 1899.
  TDateTimeField::SetAsDateTime(std::isfinite(value) ? std::trunc(value) : value);
}

// ---- TBlobField and TMemoField ----

TBlobField::TBlobField(TComponent* owner) : TBlobField(owner, TFieldType::ftBlob) {}
TBlobField::TBlobField(TComponent* owner, TFieldType type) : TField(owner, type, 0) {}

std::string TBlobField::AsString() const {
  if (!DataSet()) Error(Format(SDataSetMissing, {DisplayName()}));
  std::unique_ptr<TBlobStream> stream =
      DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), TBlobStreamMode::bmRead);
  std::string text;
  char chunk[4096];
  for (;;) {
    int64_t n = stream->Read(chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

void TBlobField::SetAsString(const std::string& value) {
  if (!DataSet()) Error(Format(SDataSetMissing, {DisplayName()}));
  std::unique_ptr<TBlobStream> stream = DataSet()->CreateBlobStream(this, TBlobStreamMode::bmWrite);
  // Even an empty write replaces the old value.
  if (stream->Write(value.data(), static_cast<int64_t>(value.size())) != static_cast<int64_t>(value.size()))
    throw EWriteError("Stream write error");
  stream->Commit();
}

void TBlobField::Clear() { SetAsString(std::string()); }

Variant TBlobField::AsVariant() const {
  if (IsNull()) return Variant::Null();
  return Variant(AsString());
}

void TBlobField::LoadFromStream(TStream& source) {
  std::string text;
  char chunk[4096];
  for (;;) {
    int64_t n = source.Read(chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  SetAsString(text);
}

void TBlobField::SaveToStream(TStream& target) const {
  std::string text = AsString();
  target.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

TMemoField::TMemoField(TComponent* owner) : TBlobField(owner, TFieldType::ftMemo) { SetTransliterate(true); }

// ---- TFields ----

TField* TFields::Fields(int index) const {
  if (index < 0 || index >= Count()) DatabaseError(SFieldIndexError, dataSet_);
  return list_[static_cast<size_t>(index)];
}

int TFields::IndexOf(const TField* field) const {
  auto it = std::find(list_.begin(), list_.end(), field);
  return it == list_.end() ? -1 : static_cast<int>(it - list_.begin());
}

TField* TFields::FindField(const std::string& name) const {
  for (TField* f : list_)
    if (platform::AnsiSameText(f->FieldName(), name)) return f;
  return nullptr;
}

TField* TFields::FieldByNumber(int fieldNo) const {
  if (fieldNo <= 0) return nullptr;
  for (TField* f : list_)
    if (f->FieldNo() == fieldNo) return f;
  return nullptr;
}

// ---- field definitions ----

TField* TFieldDef::CreateField(TComponent& owner, TDataSet* dataSet) const {
  TField* field = nullptr;
  switch (dataType_) {
    case TFieldType::ftString:
      field = TComponent::Create<TStringField>(owner);
      break;
    case TFieldType::ftSmallint:
      field = TComponent::Create<TSmallintField>(owner);
      break;
    case TFieldType::ftInteger:
      field = TComponent::Create<TIntegerField>(owner);
      break;
    case TFieldType::ftLargeint:
      field = TComponent::Create<TLargeintField>(owner);
      break;
    case TFieldType::ftFloat:
      field = TComponent::Create<TFloatField>(owner);
      break;
    case TFieldType::ftCurrency:
      field = TComponent::Create<TCurrencyField>(owner);
      break;
    case TFieldType::ftBoolean:
      field = TComponent::Create<TBooleanField>(owner);
      break;
    case TFieldType::ftDate:
      field = TComponent::Create<TDateField>(owner);
      break;
    case TFieldType::ftDateTime:
      field = TComponent::Create<TDateTimeField>(owner);
      break;
    case TFieldType::ftMemo:
      field = TComponent::Create<TMemoField>(owner);
      break;
    case TFieldType::ftBlob:
      field = TComponent::Create<TBlobField>(owner);
      break;
    case TFieldType::ftUnknown:
      DatabaseError(Format(SFieldTypeMismatch, {name_, "Unknown", FieldTypeName(dataType_)}), dataSet);
  }
  field->fieldName_ = name_;
  if (dataType_ == TFieldType::ftString) field->size_ = std::max(0, size_);
  field->required_ = required_;
  try {
    field->SetDataSet(dataSet);
  } catch (...) {
    owner.RemoveComponent(field);  // the returned pointer frees it
    throw;
  }
  return field;
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int size, bool required) {
  if (IndexOf(name) >= 0) DatabaseError(Format(SDuplicateFieldName, {name}), dataSet_);
  items_.push_back(std::make_unique<TFieldDef>(name, type, size, required, Count() + 1));
  return *items_.back();
}

TFieldDef& TFieldDefs::Items(int index) const {
  if (index < 0 || index >= Count()) DatabaseError(SFieldIndexError, dataSet_);
  return *items_[static_cast<size_t>(index)];
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (int i = 0; i < Count(); ++i)
    if (platform::AnsiSameText(items_[static_cast<size_t>(i)]->Name(), name)) return i;
  return -1;
}

TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : items_[static_cast<size_t>(i)].get();
}
