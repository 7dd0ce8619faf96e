// Text of a table as UTF-8: the code page by the table's mark (header byte
// 29), a --codepage override or the fallback for unmarked tables; and the
// typed reading of field values that info and dump share.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "veltool.h"

class HXO_dBaseDBF;
class HXO_dBaseFld;

namespace veltool {

// UTF-8 in place of a code page number (python3-dbf marks its UTF-8 tables 0xF0).
inline constexpr int kUtf8CodePage = 65001;

// The code page a language-driver mark (header byte 29) stands for; 0 for
// no mark and for marks no format defines.
int CodePageOfMark(uint8_t mark);

struct TableCodePage {
  int page = 0;
  std::string how;  // "mark 0xC9", "--codepage", "VELUPDATE_OEMCP", "unmarked: OEM", "unmarked: ANSI"
};

// The code page of `table`'s text: `override` when not 0, else the mark,
// else VELUPDATE_OEMCP when set, else ANSI (1252) for Visual FoxPro tables
// and the OEM page (437) for the DOS-era formats.
TableCodePage ChooseCodePage(const HXO_dBaseDBF& table, int override);

// Adds --codepage N to a subcommand (N must be a code page this host can decode).
CLI::Option* AddCodePageOption(CLI::App* cmd, int& page);

// Bytes in one code page decoded to UTF-8.
class TableText {
 public:
  explicit TableText(int codePage);
  int CodePage() const { return page_; }
  // UTF-8 of `bytes`; false (and `utf8` incomplete) when a byte is no text in the page.
  bool Decode(std::string_view bytes, std::string& utf8) const;
  // The same, with each byte that is no text written as \xNN (field names,
  // plain output).
  std::string DecodeOrEscape(std::string_view bytes) const;

 private:
  int page_;
  std::vector<std::string> map_;  // UTF-8 of each byte; empty when the byte is no text
};

// A field's value typed by its field type, the way the dataset layer types it.
struct FieldValue {
  enum class Kind {
    Null,      // no value: _NullFlags, an empty date or date-time, a blank number or
               // logical ('?'), no memo
    Text,      // text: C, V, memo text, other letters (raw text)
    Integer,   // I, N/F without decimals, dBase 7 + and I
    Real,      // N/F with decimals, B (0x30), dBase 7 O
    Currency,  // Y: `integer` is the amount times 10000
    Boolean,   // L
    Date,      // D: `text` is yyyy-mm-dd
    DateTime,  // T: `text` is yyyy-mm-ddThh:mm:ss[.mmm]
    Size,      // G, B (binary memo), W: `integer` bytes of memo data
    Bytes      // Q, dBase 7 @, text that is no text in the code page: `text` is hex
  };
  Kind kind = Kind::Null;
  std::string text;     // Text (UTF-8), Date, DateTime, Bytes (hex); Real: the stored text when there is one
  int64_t integer = 0;  // Integer, Currency, Size
  double real = 0;      // Real
  bool boolean = false;
};

// Reads the current record's fields of `table` as FieldValues.
class ValueReader {
 public:
  ValueReader(HXO_dBaseFld& table, const TableText& text);
  // The fields shown as columns: every field but Visual FoxPro's _NullFlags.
  const std::vector<int>& Columns() const { return columns_; }
  // Field names decoded from the table's code page.
  std::string Name(int field) const;
  // Field `field` of the current record. A value that cannot be read (a
  // bad memo block, a number that is no number) is Null and `problem` gets
  // the engine's message.
  FieldValue Read(int field, std::string& problem) const;

 private:
  bool IsNull(int field) const;
  int VarLength(int field) const;  // stored length of a V/Q field; -1 when it fills the field
  FieldValue ReadText(std::string_view bytes, bool trim) const;

  HXO_dBaseFld& table_;
  const TableText& text_;
  std::vector<int> columns_;
  int nullFlags_ = 0;         // field number of _NullFlags, 0 when none
  std::vector<int> nullBit_;  // per field (1-based), -1 when the field cannot be NULL
  std::vector<int> varBit_;   // per field, -1 when the field has no length bit
};

// The value as JSON and as plain text (plain: tabs, line ends and
// backslashes escaped as \t \n \r \\).
Json ToJson(const FieldValue& v);
std::string ToPlain(const FieldValue& v);
std::string EscapePlain(std::string_view utf8);

}  // namespace veltool
