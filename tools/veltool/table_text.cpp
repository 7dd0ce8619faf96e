#include "table_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/text.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"

namespace veltool {

namespace {

constexpr int kAnsiCodePage = 1252;
constexpr int kOemDefault = 437;
constexpr int32_t kJulianOfPlatformDay0 = 2415019;  // 30 December 1899
constexpr int64_t kMsPerDay = 86400000;

// Visual FoxPro descriptor byte 18.
constexpr uint8_t kFieldNullable = 0x02;

struct Mark {
  uint8_t mark;
  int page;
};

// Language-driver marks of the dBase and FoxPro formats and their code pages.
// 0x57 is "the ANSI code page of the machine": this program's, 1252.
constexpr Mark kMarks[] = {
    {0x01, 437},   {0x02, 850},          {0x03, 1252}, {0x04, 10000}, {0x08, 865},  {0x09, 437},
    {0x0A, 850},   {0x0B, 437},          {0x0D, 437},  {0x0E, 850},   {0x0F, 437},  {0x10, 850},
    {0x11, 437},   {0x12, 850},          {0x13, 932},  {0x14, 850},   {0x15, 437},  {0x16, 850},
    {0x17, 865},   {0x18, 437},          {0x19, 437},  {0x1A, 850},   {0x1B, 437},  {0x1C, 863},
    {0x1D, 850},   {0x1F, 852},          {0x22, 852},  {0x23, 852},   {0x24, 860},  {0x25, 850},
    {0x26, 866},   {0x37, 850},          {0x40, 852},  {0x4D, 936},   {0x4E, 949},  {0x4F, 950},
    {0x50, 874},   {0x57, 1252},         {0x58, 1252}, {0x59, 1252},  {0x64, 852},  {0x65, 866},
    {0x66, 865},   {0x67, 861},          {0x68, 895},  {0x69, 620},   {0x6A, 737},  {0x6B, 857},
    {0x6C, 863},   {0x78, 950},          {0x79, 949},  {0x7A, 936},   {0x7B, 932},  {0x7C, 874},
    {0x7D, 1255},  {0x7E, 1256},         {0x86, 737},  {0x87, 852},   {0x88, 857},  {0x96, 10007},
    {0x97, 10029}, {0x98, 10006},        {0xC8, 1250}, {0xC9, 1251},  {0xCA, 1254}, {0xCB, 1253},
    {0xCC, 1257},  {0xF0, kUtf8CodePage}};

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Length of the UTF-8 sequence at `i`, 0 when it is not valid UTF-8.
size_t Utf8Sequence(std::string_view s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  uint32_t u = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < len; ++k) {
    const unsigned char d = static_cast<unsigned char>(s[i + k]);
    if ((d >> 6) != 2) return 0;
    u = (u << 6) | (d & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not text.
  if ((len == 2 && u < 0x80) || (len == 3 && u < 0x800) || (len == 4 && u < 0x10000) ||
      (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF)
    return 0;
  return len;
}

bool AllBytes(std::string_view s, char b) { return s.find_first_not_of(b) == std::string_view::npos; }

std::string IsoDate(int32_t day) {
  int y = 0, m = 0, d = 0;
  DBFDate().Decode(day, y, m, d);
  if (day <= 0 || y < 1 || y > 9999) return std::string();
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

// A number in the form of the stored text: shortest text that reads back.
std::string ShortestNumber(double v) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string();
}

}  // namespace

int CodePageOfMark(uint8_t mark) {
  for (const Mark& m : kMarks)
    if (m.mark == mark) return m.page;
  return 0;
}

TableCodePage ChooseCodePage(const HXO_dBaseDBF& table, int override) {
  char how[32];
  if (override > 0) return {override, "--codepage"};
  const uint8_t mark = table.Header()[29];
  if (int page = CodePageOfMark(mark)) {
    std::snprintf(how, sizeof how, "mark 0x%02X", mark);
    return {page, how};
  }
  const char* env = std::getenv("VELUPDATE_OEMCP");
  if (env && *env) return {platform::OemCodePage(), "VELUPDATE_OEMCP"};
  // Visual FoxPro is a Windows program: its unmarked text is ANSI.
  if (table.Version() == 0x30) return {kAnsiCodePage, "unmarked: ANSI"};
  return {kOemDefault, "unmarked: OEM"};
}

CLI::Option* AddCodePageOption(CLI::App* cmd, int& page) {
  return cmd
      ->add_option("--codepage", page,
                   "code page of the table's text (437, 850, 852, 866, 1250, 1251, 1252 ...); default: the "
                   "table's mark, else VELUPDATE_OEMCP, else ANSI for Visual FoxPro and 437 for the others")
      ->check([](const std::string& value) -> std::string {
        int n = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec != std::errc() || end != value.data() + value.size() || n <= 0 || n > 65535)
          return "not a code page number: " + value;
        if (n == kUtf8CodePage) return std::string();
        // A page the host cannot decode leaves every byte above 0x7F undefined.
        std::string high;
        for (int b = 0x80; b < 0x100; ++b) high += static_cast<char>(b);
        const std::string decoded = platform::CodePageToUtf8(high, n);
        if (decoded == std::string(0x80, '?')) return "code page " + value + " is not known on this host";
        return std::string();
      });
}

// ---- TableText ------------------------------------------------------------

TableText::TableText(int codePage) : page_(codePage), map_(256) {
  if (page_ == kUtf8CodePage) return;
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    std::string u = platform::CodePageToUtf8(one, page_);
    // The platform writes '?' for a byte the page leaves undefined.
    if (u == "?" && b != '?') u.clear();
    map_[static_cast<size_t>(b)] = u;
  }
}

bool TableText::Decode(std::string_view bytes, std::string& utf8) const {
  utf8.clear();
  utf8.reserve(bytes.size());
  if (page_ == kUtf8CodePage) {
    for (size_t i = 0; i < bytes.size();) {
      const size_t n = Utf8Sequence(bytes, i);
      if (n == 0) return false;
      utf8.append(bytes.substr(i, n));
      i += n;
    }
    return true;
  }
  for (unsigned char c : bytes) {
    const std::string& u = map_[c];
    if (u.empty()) return false;
    utf8 += u;
  }
  return true;
}

std::string TableText::DecodeOrEscape(std::string_view bytes) const {
  std::string out;
  char esc[8];
  for (size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (page_ == kUtf8CodePage) {
      if (size_t n = Utf8Sequence(bytes, i)) {
        out.append(bytes.substr(i, n));
        i += n;
        continue;
      }
    } else if (!map_[c].empty()) {
      out += map_[c];
      ++i;
      continue;
    }
    std::snprintf(esc, sizeof esc, "\\x%02X", c);
    out += esc;
    ++i;
  }
  return out;
}

// ---- ValueReader -----------------------------------------------------------

ValueReader::ValueReader(HXO_dBaseFld& table, const TableText& text)
    : table_(table),
      text_(text),
      nullBit_(static_cast<size_t>(table.FieldCount()) + 1, -1),
      varBit_(static_cast<size_t>(table.FieldCount()) + 1, -1) {
  const bool vfp = table.Version() == 0x30;
  for (int i = 1; i <= table.FieldCount(); ++i) {
    if (vfp && table.FieldType(i) == '0') {
      if (nullFlags_ == 0) nullFlags_ = i;
      continue;  // the flags are no column of their own
    }
    columns_.push_back(i);
  }
  if (nullFlags_ == 0) return;
  // _NullFlags holds one bit per field that has one, in field order: a
  // varchar or varbinary field's "shorter than the field" bit, then the
  // field's NULL bit when it may be NULL.
  int bit = 0;
  for (int i = 1; i <= table.FieldCount(); ++i) {
    const char type = table.FieldType(i);
    if (type == '0') continue;
    if (type == 'V' || type == 'Q') varBit_[static_cast<size_t>(i)] = bit++;
    if (table.Descriptor(i)[18] & kFieldNullable) nullBit_[static_cast<size_t>(i)] = bit++;
  }
}

std::string ValueReader::Name(int field) const { return text_.DecodeOrEscape(table_.FieldName(field)); }

namespace {

bool BitSet(HXO_dBaseFld& t, int flagsField, int bit) {
  const ThxDBFFields* f = t.FieldEntry(flagsField);
  if (!f || bit < 0 || static_cast<uint32_t>(bit / 8) >= f->length) return false;
  const uint8_t byte = t.RecordBuffer()[f->offset + static_cast<uint32_t>(bit / 8)];
  return (byte >> (bit % 8)) & 1;
}

}  // namespace

bool ValueReader::IsNull(int field) const {
  return nullFlags_ != 0 && BitSet(table_, nullFlags_, nullBit_[static_cast<size_t>(field)]);
}

int ValueReader::VarLength(int field) const {
  if (nullFlags_ == 0 || !BitSet(table_, nullFlags_, varBit_[static_cast<size_t>(field)])) return -1;
  const ThxDBFFields* f = table_.FieldEntry(field);
  const int stored = table_.RecordBuffer()[f->offset + f->length - 1];
  // The last byte holds the length of a shorter value; one that does not fit is not believed.
  return stored < static_cast<int>(f->length) ? stored : -1;
}

FieldValue ValueReader::ReadText(std::string_view bytes, bool trim) const {
  FieldValue v;
  if (trim) {
    size_t n = bytes.size();
    while (n > 0 && static_cast<unsigned char>(bytes[n - 1]) <= ' ') --n;
    bytes = bytes.substr(0, n);
  }
  if (text_.Decode(bytes, v.text)) {
    v.kind = FieldValue::Kind::Text;
  } else {
    v.kind = FieldValue::Kind::Bytes;
    v.text = Hex(bytes);
  }
  return v;
}

FieldValue ValueReader::Read(int field, std::string& problem) const {
  FieldValue v;
  problem.clear();
  const ThxDBFFields* f = table_.FieldEntry(field);
  if (!f || IsNull(field)) return v;
  const std::string_view raw(reinterpret_cast<const char*>(table_.RecordBuffer()) + f->offset, f->length);
  const bool vfp = table_.Version() == 0x30;
  const bool db7 = table_.Dbase7();
  try {
    switch (f->type) {
      case 'C':
        return ReadText(raw, true);
      case 'V':
      case 'Q': {
        const int length = VarLength(field);
        const std::string_view value = length >= 0 ? raw.substr(0, static_cast<size_t>(length)) : raw;
        if (f->type == 'V') return ReadText(value, nullFlags_ == 0);
        v.kind = FieldValue::Kind::Bytes;
        v.text = Hex(value);
        return v;
      }
      case 'L':
        // '?' (never set), a blank or a NUL: the field holds no value.
        if (raw.empty() || raw[0] == '?' || raw[0] == ' ' || raw[0] == '\0') return v;
        v.kind = FieldValue::Kind::Boolean;
        v.boolean = table_.GetLogical(field);
        return v;
      case 'D': {
        const int32_t day = table_.GetDate(field);  // "Invalid date in field" for text in no date form
        // A date that does not exist reads as 30 December 1899: it is no date.
        if (day <= 0 || (day == kJulianOfPlatformDay0 && HxTrim(raw) != "18991230")) return v;
        v.text = IsoDate(day);
        if (!v.text.empty()) v.kind = FieldValue::Kind::Date;
        return v;
      }
      case 'N':
      case 'F': {
        const std::string text = HxTrim(raw);
        if (text.empty()) return v;  // a blank number holds no value
        if (f->decimals == 0 || text.find_first_of(".eE") == std::string::npos) {
          int64_t n = 0;
          const char* begin = text.data() + (!text.empty() && text[0] == '+' ? 1 : 0);
          auto [end, ec] = std::from_chars(begin, text.data() + text.size(), n);
          if (ec == std::errc() && end == text.data() + text.size()) {
            v.kind = f->decimals == 0 ? FieldValue::Kind::Integer : FieldValue::Kind::Real;
            v.integer = n;
            v.real = static_cast<double>(n);
            v.text = table_.FieldText(field);
            return v;
          }
        }
        v.real = table_.GetNumber(field);  // "Invalid numeric value in field" for text that is no number
        v.kind = FieldValue::Kind::Real;
        v.text = table_.FieldText(field);
        return v;
      }
      default:
        break;
    }
    if (vfp) {
      switch (f->type) {
        case 'I':
          v.kind = FieldValue::Kind::Integer;
          v.integer = static_cast<int64_t>(table_.GetNumber(field));
          return v;
        case 'B':
          v.kind = FieldValue::Kind::Real;
          v.real = table_.GetNumber(field);
          return v;
        case 'Y': {
          v.kind = FieldValue::Kind::Currency;
          if (raw.size() >= 8 && !AllBytes(raw, ' '))
            v.integer = static_cast<int64_t>(GetLE64(reinterpret_cast<const uint8_t*>(raw.data())));
          return v;
        }
        case 'T': {
          if (raw.size() < 8 || AllBytes(raw, '\0') || AllBytes(raw, ' ')) return v;
          const auto* p = reinterpret_cast<const uint8_t*>(raw.data());
          const int32_t day = static_cast<int32_t>(GetLE32(p));
          const int64_t ms = static_cast<int32_t>(GetLE32(p + 4));
          const std::string date = IsoDate(day);
          if (date.empty() || ms < 0 || ms >= kMsPerDay) {
            problem = "date-time out of range in field " + table_.FieldName(field);
            v.kind = FieldValue::Kind::Bytes;
            v.text = Hex(raw);
            return v;
          }
          char time[32];
          std::snprintf(time, sizeof time, "T%02d:%02d:%02d", static_cast<int>(ms / 3600000),
                        static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
          v.kind = FieldValue::Kind::DateTime;
          v.text = date + time;
          if (ms % 1000) {
            std::snprintf(time, sizeof time, ".%03d", static_cast<int>(ms % 1000));
            v.text += time;
          }
          return v;
        }
        case 'W': {
          if (raw.size() < 4 || AllBytes(raw, ' ')) return v;
          const uint32_t block = GetLE32(reinterpret_cast<const uint8_t*>(raw.data()));
          HXobjMemo* memo = table_.MemoFile();
          if (block == 0 || !memo) return v;
          v.kind = FieldValue::Kind::Size;
          v.integer = memo->MemoLength(block);
          return v;
        }
        default:
          break;
      }
    }
    if (db7) {
      switch (f->type) {
        case 'I':
        case '+':
          v.kind = FieldValue::Kind::Integer;
          v.integer = static_cast<int64_t>(table_.GetNumber(field));
          return v;
        case 'O':
          v.kind = FieldValue::Kind::Real;
          v.real = table_.GetNumber(field);
          return v;
        case '@':
          v.kind = FieldValue::Kind::Bytes;
          v.text = Hex(raw);
          return v;
        default:
          break;
      }
    }
    if (table_.IsMemoField(field)) {
      const double block = std::trunc(table_.GetNumber(field));
      if (block == 0) return v;  // no memo
      if (f->type == 'M') return ReadText(table_.ReadMemoText(field), false);
      v.kind = FieldValue::Kind::Size;  // G, B: binary (OLE) data, shown by its size
      v.integer = table_.MemoSize(field);
      return v;
    }
    // Any other letter: the raw text.
    return ReadText(raw, true);
  } catch (const std::exception& e) {
    problem = e.what();
    return FieldValue{};
  }
}

// ---- output ------------------------------------------------------------------

Json ToJson(const FieldValue& v) {
  switch (v.kind) {
    case FieldValue::Kind::Null:
      return nullptr;
    case FieldValue::Kind::Text:
    case FieldValue::Kind::Date:
    case FieldValue::Kind::DateTime:
      return v.text;
    case FieldValue::Kind::Integer:
      return v.integer;
    case FieldValue::Kind::Real:
      return v.real;
    case FieldValue::Kind::Currency:
      return static_cast<double>(v.integer) / 10000.0;
    case FieldValue::Kind::Boolean:
      return v.boolean;
    case FieldValue::Kind::Size:
      return Json{{"size", v.integer}};
    case FieldValue::Kind::Bytes:
      return Json{{"hex", v.text}};
  }
  return nullptr;
}

std::string EscapePlain(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ToPlain(const FieldValue& v) {
  switch (v.kind) {
    case FieldValue::Kind::Null:
      return std::string();
    case FieldValue::Kind::Text:
      return EscapePlain(v.text);
    case FieldValue::Kind::Date:
    case FieldValue::Kind::DateTime:
      return v.text;
    case FieldValue::Kind::Integer:
      return std::to_string(v.integer);
    case FieldValue::Kind::Real:
      return v.text.empty() ? ShortestNumber(v.real) : v.text;
    case FieldValue::Kind::Currency: {
      // Exact: the amount is a count of ten-thousandths.
      const bool negative = v.integer < 0;
      const uint64_t magnitude =
          negative ? uint64_t{0} - static_cast<uint64_t>(v.integer) : static_cast<uint64_t>(v.integer);
      char buf[40];
      std::snprintf(buf, sizeof buf, "%s%llu.%04llu", negative ? "-" : "",
                    static_cast<unsigned long long>(magnitude / 10000),
                    static_cast<unsigned long long>(magnitude % 10000));
      return buf;
    }
    case FieldValue::Kind::Boolean:
      return v.boolean ? "T" : "F";
    case FieldValue::Kind::Size:
      return "<" + std::to_string(v.integer) + " bytes>";
    case FieldValue::Kind::Bytes:
      return "\\x{" + v.text + "}";
  }
  return std::string();
}

}  // namespace veltool
