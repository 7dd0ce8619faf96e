// The field layer of the table: reading and writing field values by type,
// blank records, deletion flags and memo fields.
//
// Stored forms (version 0x30 tables keep B, G, I, M, T and Y in binary):
//   C  text, left-aligned, blank-padded (width = byte 16 + 256 * byte 17)
//   D  "yyyymmdd", eight spaces when empty
//   L  one of T t Y y J j for true, anything else false
//   N F  decimal text, right-aligned, fixed decimals
//   M B G  memo block number as right-aligned decimal text;
//          0x30: M, G 4-byte integer, B an 8-byte double
//   I  0x30: 4-byte signed integer
//   T  0x30: 4-byte Julian day, 4-byte milliseconds since midnight
//   Y  0x30: 8-byte signed integer, the amount times 10000
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "framework/sysutils.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"

namespace {

constexpr double kMsPerDay = 86400000.0;
constexpr int32_t kJulianDayZero = 1721425;  // day 0 of the T field's count

bool IsBinaryType30(char t) { return t == 'B' || t == 'G' || t == 'I' || t == 'M' || t == 'T' || t == 'Y'; }
// Visual FoxPro fields that hold bytes, not text: _NullFlags, varbinary and
// blob references. A blank there is not "empty": blanks in _NullFlags mark
// columns NULL.
bool IsZeroFilled30(char t) { return t == '0' || t == 'Q' || t == 'W'; }
// dBase 7 binary numbers: I and + (autoincrement) 4-byte integers, O 8-byte
// doubles, both big-endian with the sign bit flipped so that they sort as
// bytes.
bool IsBinaryType7(char t) { return t == 'I' || t == '+' || t == 'O'; }

bool IsTrueLetter(char c) { return c == 'T' || c == 't' || c == 'Y' || c == 'y' || c == 'J' || c == 'j'; }
bool IsFalseLetter(char c) { return c == 'F' || c == 'f' || c == 'N' || c == 'n'; }

// A number as stored in a record: optional leading blanks and sign, digits
// with "." as the decimal point, optional exponent.
bool ParseStoredNumber(std::string_view s, double& value) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  if (i < s.size() && s[i] == '+') {
    ++i;
    if (i < s.size() && s[i] == '-') return false;
  }
  if (i == s.size()) return false;
  const char c = s[i];
  if (!((c >= '0' && c <= '9') || c == '-' || c == '.')) return false;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data() + i, end, value);
  return ec == std::errc() && p == end;
}

// A number typed by a user: the locale's form first, then the stored form
// (so text read from a field always goes back in).
bool ParseUserNumber(const std::string& s, double& value) {
  return TryStrToFloat(s, value) || ParseStoredNumber(s, value);
}

// Fixed notation with `decimals` decimals; no "-" in front of a zero.
std::string FormatFixed(double value, int decimals) {
  const int len = std::snprintf(nullptr, 0, "%.*f", decimals, value);
  std::string s(static_cast<size_t>(len) + 1, '\0');
  std::snprintf(s.data(), s.size(), "%.*f", decimals, value);
  s.resize(static_cast<size_t>(len));
  if (!s.empty() && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  return s;
}

bool AllBytes(const uint8_t* p, size_t n, uint8_t b) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != b) return false;
  return true;
}

}  // namespace

// ---- helpers ----------------------------------------------------------------

namespace {

// The field's bytes in the current record buffer.
uint8_t* FieldBytes(HXO_dBaseFld& t, const ThxDBFFields& f) { return t.RecordBuffer() + f.offset; }

// The by-name type test of the date, logical and number operations.
ThxDBFFields& TypedField(HXO_dBaseFld& t, std::string_view name, char wanted) {
  ThxDBFFields& f = t.FieldEntryByName(name);
  const char have = f.type;
  bool ok = have == wanted;
  if (!ok && wanted == 'G') ok = have == 'B' || have == 'M';
  if (!ok && wanted == 'N') ok = have == 'B' || have == 'F' || have == 'G' || have == 'I' || have == 'M';
  if (!ok && wanted == 'N' && t.Dbase7()) ok = have == 'O' || have == '+';
  if (!ok) RaiseKeldorError(hxErrFieldIncorrectType, std::string(name));
  return f;
}

// Binary readings of version 0x30 tables. A field narrower than its type's
// size reads the bytes it has (the rest count as zero); an all-blank field
// (a record written by a program that pads with spaces) reads as 0.
double BinaryNumber(const ThxDBFFields& f, const uint8_t* p) {
  if (AllBytes(p, f.length, ' ')) return 0;
  uint8_t b[8] = {};
  std::memcpy(b, p, std::min<size_t>(f.length, 8));
  switch (f.type) {
    case 'B':
      return std::bit_cast<double>(GetLE64(b));
    case 'G':
    case 'I':
    case 'M':
      return static_cast<int32_t>(GetLE32(b));
    case 'T': {
      if (AllBytes(b, 8, 0)) return 0;
      const int32_t day = static_cast<int32_t>(GetLE32(b));
      const int32_t ms = static_cast<int32_t>(GetLE32(b + 4));
      return (static_cast<double>(day) - kJulianDayZero) * kMsPerDay + ms;
    }
    case 'Y':
      return static_cast<double>(static_cast<int64_t>(GetLE64(b))) / 10000.0;
    default:
      return 0;
  }
}

uint64_t GetBE64(const uint8_t* p) { return (uint64_t{GetBE32(p)} << 32) | GetBE32(p + 4); }
void PutBE64(uint8_t* p, uint64_t v) {
  PutBE32(p, static_cast<uint32_t>(v >> 32));
  PutBE32(p + 4, static_cast<uint32_t>(v));
}

double BinaryNumber7(const ThxDBFFields& f, const uint8_t* p) {
  if (f.type == 'O') {
    if (f.length < 8) return 0;
    uint64_t bits = GetBE64(p);
    bits = (bits & 0x8000000000000000ull) ? (bits & ~0x8000000000000000ull) : ~bits;
    return std::bit_cast<double>(bits);
  }
  if (f.length < 4) return 0;
  return static_cast<int32_t>(GetBE32(p) ^ 0x80000000u);
}

void PutBinaryNumber7(const ThxDBFFields& f, uint8_t* p, double value) {
  if (f.type == 'O') {
    uint64_t bits = std::bit_cast<uint64_t>(value == 0 ? 0.0 : value);
    bits = (bits & 0x8000000000000000ull) ? ~bits : (bits | 0x8000000000000000ull);
    PutBE64(p, bits);
    return;
  }
  PutBE32(p, static_cast<uint32_t>(static_cast<int32_t>(value)) ^ 0x80000000u);
}

}  // namespace

// ---- descriptors and plain accessors --------------------------------------

const uint8_t* HXO_dBaseFld::FieldDescriptor(std::string_view name) {
  return Descriptor(FieldEntryByName(name).number);
}

int HXO_dBaseFld::FieldDecimals(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  return f && f->type != 'C' ? f->decimals : 0;
}

int HXO_dBaseFld::FieldWidth(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  return f ? static_cast<int>(f->length) : 0;
}

int HXO_dBaseFld::FieldOffset(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  return f ? static_cast<int>(f->offset) : 0;
}

std::string HXO_dBaseFld::FieldName(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  return f ? f->name : std::string();
}

char HXO_dBaseFld::FieldType(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  return f ? f->type : '\0';
}

// ---- record-wide operations -------------------------------------------------

void HXO_dBaseFld::BlankRecord() {
  std::memset(RecordBuffer(), ' ', RecordLength());
  const bool v30 = Version() == 0x30;
  const bool db7 = Dbase7();
  for (const auto& f : FieldList()) {
    if ((v30 && IsZeroFilled30(f->type)) || (db7 && f->type == '@')) {
      std::memset(FieldBytes(*this, *f), 0, f->length);
      continue;
    }
    if (f->type == 'F' || f->type == 'N' || (v30 && IsBinaryType30(f->type)) ||
        (db7 && IsBinaryType7(f->type))) {
      try {
        PutNumber(f->number, 0);
      } catch (const EKeldorError&) {
        // A field too narrow for its own zero ("0.00" in width 3) stays blank.
      }
    }
  }
  for (int i = 0; i <= FieldCount(); ++i) SetFieldChanged(i, true);
  SetRecordChanged(true);
  StatusUpdate(kStatusBlanked, 0);
}

void HXO_dBaseFld::DeleteRecord() {
  uint8_t* r = RecordBuffer();
  if (r[0] == '*') return;
  r[0] = '*';
  SetFieldChanged(0, true);
  SetRecordChanged(true);
  // Without a current record there is nothing to write: PutRecord would
  // append the buffer as a new live record.
  if (RecNo() >= 1) PutRecord(RecNo());
}

void HXO_dBaseFld::UndeleteRecord() {
  uint8_t* r = RecordBuffer();
  if (r[0] == ' ') return;
  r[0] = ' ';
  SetFieldChanged(0, true);
  SetRecordChanged(true);
  if (RecNo() >= 1) PutRecord(RecNo());
}

// ---- raw ------------------------------------------------------------------------

void HXO_dBaseFld::GetRawByName(std::string_view name, std::string& text) {
  GetRaw(FieldEntryByName(name).number, text);
}

void HXO_dBaseFld::GetRaw(int n, std::string& text) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) {
    text.clear();
    return;
  }
  text.assign(reinterpret_cast<const char*>(FieldBytes(*this, *f)), f->length);
}

bool HXO_dBaseFld::PutRawByName(std::string_view name, std::string_view text) {
  return PutRaw(FieldEntryByName(name).number, text);
}

bool HXO_dBaseFld::PutRaw(int n, std::string_view text) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return false;
  uint8_t* p = FieldBytes(*this, *f);
  std::memset(p, ' ', f->length);
  if (!text.empty()) {
    const size_t k = std::min<size_t>(text.size(), f->length);
    const bool left = f->type == 'C' || f->type == 'D' || f->type == 'L';
    std::memcpy(left ? p : p + (f->length - k), text.data(), k);
  }
  SetFieldChanged(n, true);
  SetRecordChanged(true);
  return true;
}

// ---- dates ----------------------------------------------------------------------

int32_t HXO_dBaseFld::GetDateByName(std::string_view name) {
  return GetDate(TypedField(*this, name, 'D').number);
}

int32_t HXO_dBaseFld::GetDate(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return 0;
  std::string raw;
  GetRaw(n, raw);
  try {
    return DBFDate().ToJulian(raw);
  } catch (const EConvertError&) {
    RaiseKeldorError(hxErrInvalidDate, BaseFileName(FileName()) + "->" + f->name + " (" + raw + ")");
  }
}

bool HXO_dBaseFld::PutDateByName(std::string_view name, int32_t day) {
  return PutDate(TypedField(*this, name, 'D').number, day);
}

bool HXO_dBaseFld::PutDate(int n, int32_t day) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f || f->type != 'D') return false;
  if (day == -1) RaiseKeldorError(hxErrInvalidFieldValue, "Date", f->name);
  return PutRaw(n, DBFDate().ToText(day));
}

// ---- logicals -------------------------------------------------------------------

bool HXO_dBaseFld::GetLogicalByName(std::string_view name) {
  return GetLogical(TypedField(*this, name, 'L').number);
}

bool HXO_dBaseFld::GetLogical(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f || f->length == 0) return false;
  const std::string_view raw(reinterpret_cast<const char*>(FieldBytes(*this, *f)), f->length);
  return std::string_view("TtYyJj").find(raw) != std::string_view::npos;
}

bool HXO_dBaseFld::PutLogicalByName(std::string_view name, bool value) {
  return PutLogical(TypedField(*this, name, 'L').number, value);
}

bool HXO_dBaseFld::PutLogical(int n, bool value) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return false;
  if (f->type != 'L') RaiseKeldorError(hxErrInvalidFieldValue, "Logical", f->name);
  return PutRaw(n, value ? "T" : "F");
}

// ---- numbers --------------------------------------------------------------------

double HXO_dBaseFld::GetNumberByName(std::string_view name) {
  return GetNumber(TypedField(*this, name, 'N').number);
}

double HXO_dBaseFld::GetNumber(int n) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return 0;
  const uint8_t* p = FieldBytes(*this, *f);
  if (Version() == 0x30 && IsBinaryType30(f->type)) return BinaryNumber(*f, p);
  if (Dbase7() && IsBinaryType7(f->type)) return BinaryNumber7(*f, p);
  const std::string text = HxTrimRight(std::string_view(reinterpret_cast<const char*>(p), f->length));
  if (text.empty()) return 0;
  double value = 0;
  if (!ParseStoredNumber(text, value))
    RaiseKeldorError(hxErrInvalidNumeric,
                     BaseFileName(FileName()) + "->" + f->name + " (" + HxTrim(text) + ")");
  return value;
}

bool HXO_dBaseFld::PutNumberByName(std::string_view name, double value) {
  return PutNumber(TypedField(*this, name, 'N').number, value);
}

bool HXO_dBaseFld::PutNumber(int n, double value) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return false;
  const char t = f->type;
  const bool v30 = Version() == 0x30;
  const bool db7 = Dbase7() && IsBinaryType7(t);
  const bool allowed = t == 'B' || t == 'F' || t == 'G' || t == 'M' || t == 'N' ||
                       (v30 && (t == 'I' || t == 'T' || t == 'Y')) || db7;
  if (!allowed) RaiseKeldorError(hxErrFieldIncorrectType, f->name);
  if (!std::isfinite(value)) RaiseKeldorError(hxErrInvalidFieldValue, "Number", f->name);

  if (db7) {
    if (t != 'O' && (std::trunc(value) < std::numeric_limits<int32_t>::min() ||
                     std::trunc(value) > std::numeric_limits<int32_t>::max()))
      RaiseKeldorError(hxErrNumericTooBig, f->name + " - " + FormatFixed(value, 0));
    if (f->length < (t == 'O' ? 8u : 4u)) RaiseKeldorError(hxErrFieldIncorrectType, f->name);
    PutBinaryNumber7(*f, FieldBytes(*this, *f), t == 'O' ? value : std::trunc(value));
    SetFieldChanged(n, true);
    SetRecordChanged(true);
    return true;
  }

  if (v30 && IsBinaryType30(t)) {
    uint8_t b[8] = {};
    size_t size = 4;
    auto tooBig = [&] { RaiseKeldorError(hxErrNumericTooBig, f->name + " - " + FormatFixed(value, 0)); };
    switch (t) {
      case 'B':
        PutLE64(b, std::bit_cast<uint64_t>(value));
        size = 8;
        break;
      case 'T': {
        size = 8;
        if (value == 0) break;
        const double days = std::trunc(value / kMsPerDay);
        const double day = days + kJulianDayZero;
        if (day < std::numeric_limits<int32_t>::min() || day > std::numeric_limits<int32_t>::max()) tooBig();
        PutLE32(b, static_cast<uint32_t>(static_cast<int32_t>(day)));
        PutLE32(b + 4, static_cast<uint32_t>(static_cast<int32_t>(std::trunc(value - days * kMsPerDay))));
        break;
      }
      case 'Y': {
        size = 8;
        const double scaled = std::round(value * 10000.0);
        if (!(scaled > -9.2e18 && scaled < 9.2e18)) tooBig();
        PutLE64(b, static_cast<uint64_t>(static_cast<int64_t>(scaled)));
        break;
      }
      default: {  // G, I, M
        const double v = std::trunc(value);
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) tooBig();
        PutLE32(b, static_cast<uint32_t>(static_cast<int32_t>(v)));
      }
    }
    std::memcpy(FieldBytes(*this, *f), b, std::min<size_t>(size, f->length));
    SetFieldChanged(n, true);
    SetRecordChanged(true);
    return true;
  }

  const std::string text = FormatFixed(value, f->decimals);
  if (text.size() > f->width) RaiseKeldorError(hxErrNumericTooBig, f->name + " - " + text);
  return PutRaw(n, text);
}

// ---- text -------------------------------------------------------------------------

void HXO_dBaseFld::GetStringByName(std::string_view name, std::string& text) {
  GetString(FieldEntryByName(name).number, text);
}

void HXO_dBaseFld::GetString(int n, std::string& text) {
  const ThxDBFFields* f = FieldEntry(n);
  text.clear();
  if (!f) return;
  const std::string_view raw(reinterpret_cast<const char*>(FieldBytes(*this, *f)), f->length);
  switch (f->type) {
    case 'C':
      text = HxTrimRight(raw);
      return;
    case 'D':
      text = HxTrimRight(DBFDate().ToDisplay(GetDate(n)));
      return;
    case 'L':
      text = GetLogical(n) ? "T" : "F";
      return;
    case 'N':
    case 'F': {
      text = HxTrim(raw);
      if (text.empty()) text = FormatFixed(0, f->decimals);
      return;
    }
    case 'M':
      if (IsMemoField(n)) {
        text = ReadMemoText(n);
        return;
      }
      break;
    case 'B':
      text = HxTrim(raw) > std::string("0") ? "--BINARY--" : "--binary--";
      return;
    case 'G':
      text = HxTrim(raw) > std::string("0") ? "-GENERAL--" : "-general--";
      return;
    default:
      break;
  }
  text.assign(raw);
}

bool HXO_dBaseFld::PutStringByName(std::string_view name, std::string_view text) {
  return PutString(FieldEntryByName(name).number, text);
}

bool HXO_dBaseFld::PutString(int n, std::string_view text) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return false;
  const char t = f->type;
  switch (t) {
    case 'D': {
      int32_t day = 0;
      try {
        day = DBFDate().ToJulian(text);
      } catch (const EConvertError&) {
        RaiseKeldorError(hxErrInvalidFieldValue, "Date", f->name);
      }
      return PutDate(n, day);
    }
    case 'F':
    case 'N': {
      const std::string s = HxTrimRight(text);
      double value = 0;
      if (!s.empty() && !ParseUserNumber(s, value))
        RaiseKeldorError(hxErrInvalidFieldValue, "Number", f->name);
      return PutNumber(n, value);
    }
    case 'L': {
      const char c = text.empty() ? 'F' : text[0];
      bool value;
      if (IsTrueLetter(c)) {
        value = true;
      } else if (IsFalseLetter(c)) {
        value = false;
      } else {
        double v = 0;
        if (!ParseUserNumber(std::string(text), v))
          RaiseKeldorError(hxErrInvalidFieldValue, "Logical", f->name);
        value = std::trunc(v) != 0;
      }
      return PutLogical(n, value);
    }
    case 'M':
      if (IsMemoField(n)) {
        WriteMemo(n, text.data(), text.size());
        return true;
      }
      break;
    default:
      // Binary fields of version 0x30 tables take the text's number: the
      // text itself in their bytes would read back as a different value.
      if (Version() == 0x30 && IsBinaryType30(t)) {
        const std::string s = HxTrimRight(text);
        double value = 0;
        if (!s.empty() && !ParseUserNumber(s, value))
          RaiseKeldorError(hxErrInvalidFieldValue, "Number", f->name);
        return PutNumber(n, value);
      }
      break;
  }
  return PutRaw(n, text);
}

// ---- memo fields ------------------------------------------------------------------

bool HXO_dBaseFld::IsMemoField(int n) const {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return false;
  return f->type == 'M' || f->type == 'G' || (f->type == 'B' && Version() != 0x30);
}

namespace {

// The block number a memo field holds; a value that is no block number is a bad memo record.
uint32_t BlockOf(HXO_dBaseFld& t, int n, HXobjMemo& memo) {
  const double v = std::trunc(t.GetNumber(n));
  if (v < 0 || v > 4294967295.0) memo.RaiseFileError(hxErrMemoRecordBad);
  return static_cast<uint32_t>(v);
}

}  // namespace

uint32_t HXO_dBaseFld::MemoSize(int n) {
  if (!IsMemoField(n)) return 0;
  HXobjMemo* memo = MemoFile();
  if (!memo) return 0;
  return memo->MemoLength(BlockOf(*this, n, *memo));
}

size_t HXO_dBaseFld::ReadMemo(int n, void* buffer, size_t length) {
  if (!IsMemoField(n) || length == 0) return 0;
  HXobjMemo* memo = MemoFile();
  if (!memo) return 0;
  memo->GetMemo(buffer, BlockOf(*this, n, *memo), length);
  return length;
}

std::string HXO_dBaseFld::ReadMemoText(int n) {
  if (!IsMemoField(n)) return std::string();
  HXobjMemo* memo = MemoFile();
  if (!memo) return std::string();
  return memo->ReadMemo(BlockOf(*this, n, *memo));
}

void HXO_dBaseFld::WriteMemo(int n, const void* data, size_t length) {
  const ThxDBFFields* f = FieldEntry(n);
  if (!f) return;
  HXobjMemo* memo = IsMemoField(n) ? MemoFile() : nullptr;
  // A memo field in a table without a memo file cannot hold a memo.
  if (!memo) RaiseKeldorError(hxErrFieldIncorrectType, f->name);
  // A block number that is no number leaves the old memo alone: the new one
  // goes to a fresh place.
  uint32_t block = 0;
  try {
    block = BlockOf(*this, n, *memo);
  } catch (const EKeldorError&) {
    block = 0;
  }
  memo->PutMemo(data, block, length);
  // No memo: blanks in a text block number, as the programs that share these
  // files write it (they read the text "0" as block 0, the file header).
  if (length == 0 && Version() != 0x30) {
    PutRaw(n, "");
    return;
  }
  PutNumber(n, length == 0 ? 0 : block);
}

// ---- record images ----------------------------------------------------------------

void HXO_dBaseFld::BuildRecordImage(uint8_t* buffer, std::string_view fieldList,
                                    const std::vector<Variant>& values) {
  SetRecordBuffer(buffer);
  try {
    BlankRecord();
    size_t index = 0;
    size_t start = 0;
    while (start <= fieldList.size()) {
      size_t end = fieldList.find(';', start);
      if (end == std::string_view::npos) end = fieldList.size();
      const std::string name = HxTrim(fieldList.substr(start, end - start));
      start = end + 1;
      if (name.empty()) continue;
      if (index >= values.size()) break;
      const Variant& v = values[index++];
      PutStringByName(name, v.IsClear() ? std::string() : v.AsString());
    }
  } catch (...) {
    SetRecordBuffer(nullptr);
    throw;
  }
  SetRecordBuffer(nullptr);
}

void HXO_dBaseFld::BuildRecordImage(uint8_t* buffer, std::string_view fieldList, const Variant& value) {
  BuildRecordImage(buffer, fieldList, std::vector<Variant>{value});
}
