#include "restructure/VelBulk.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "framework/sysutils.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

namespace {

constexpr size_t kBlock = 65536;

enum class Kind { Text, Number, Date, Logical, Memo };

// An old field and the new field its value goes to.
struct FieldMove {
  Kind kind;
  int from, to;  // field numbers
  uint32_t fromOffset, fromLength, toOffset, toLength;
};

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// The bytes of a number as the field rules write it: right-aligned, an
// optional "-", digits without leading zeros (but "0" before the point),
// exactly `decimals` decimals, never "-0". Puts the trimmed text's range
// into [begin, end).
bool CanonicalNumber(const uint8_t* p, uint32_t length, int decimals, uint32_t& begin) {
  uint32_t i = 0;
  while (i < length && p[i] == ' ') ++i;
  begin = i;
  if (i == length) return false;
  bool negative = false;
  if (p[i] == '-') {
    negative = true;
    ++i;
  }
  const uint32_t digits = i;
  while (i < length && IsDigit(p[i])) ++i;
  const uint32_t whole = i - digits;
  if (whole == 0 || (whole > 1 && p[digits] == '0')) return false;
  bool allZero = true;
  for (uint32_t k = digits; k < i; ++k) allZero &= p[k] == '0';
  if (decimals > 0) {
    if (i == length || p[i] != '.') return false;
    ++i;
    for (int k = 0; k < decimals; ++k, ++i) {
      if (i == length || !IsDigit(p[i])) return false;
      allZero &= p[i] == '0';
    }
  }
  return i == length && !(negative && allZero);
}

// A stored date the date field reads back as itself: eight digits naming a
// day between the years 1 and 9999.
bool ValidDate(const uint8_t* p) {
  for (int i = 0; i < 8; ++i)
    if (!IsDigit(p[i])) return false;
  const int year = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
  const int month = (p[4] - '0') * 10 + (p[5] - '0');
  const int day = (p[6] - '0') * 10 + (p[7] - '0');
  return year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month);
}

bool Blank(const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

}  // namespace

TDirectCopy CopyRecordImages(const std::string& oldTable, const std::string& newTable,
                             const std::function<void(int64_t)>& progress, int64_t& copied) {
  copied = 0;
  int64_t written = 0;
  {
    HXO_dBaseFld from(oldTable, true, false);
    HXO_dBaseFld to(newTable, false, true);
    if (from.Encrypted() || to.Encrypted() || from.Dbase7() || to.RecordCount() != 0)
      return TDirectCopy::NotApplicable;

    std::vector<FieldMove> moves;
    for (int n = 1; n <= from.FieldCount(); ++n) {
      const ThxDBFFields& f = *from.FieldEntry(n);
      const int tn = to.FieldNumber(f.name);
      if (tn <= 0) return TDirectCopy::NotApplicable;
      const ThxDBFFields& t = *to.FieldEntry(tn);
      const char type = static_cast<char>(HxUpperCase(std::string(1, f.type))[0]);
      if (HxUpperCase(std::string(1, t.type))[0] != type) return TDirectCopy::NotApplicable;
      FieldMove m{Kind::Text, n, tn, f.offset, f.length, t.offset, t.length};
      switch (type) {
        case 'C':
          if (t.length < f.length) return TDirectCopy::NotApplicable;
          break;
        case 'N':
        case 'F':
          if (t.length < f.length || t.decimals != f.decimals) return TDirectCopy::NotApplicable;
          m.kind = Kind::Number;
          break;
        case 'D':
          if (f.length != 8 || t.length != 8) return TDirectCopy::NotApplicable;
          m.kind = Kind::Date;
          break;
        case 'L':
          if (f.length != 1 || t.length != 1) return TDirectCopy::NotApplicable;
          m.kind = Kind::Logical;
          break;
        case 'M':
          if (!from.IsMemoField(n) || !to.IsMemoField(tn)) return TDirectCopy::NotApplicable;
          m.kind = Kind::Memo;
          break;
        default:
          return TDirectCopy::NotApplicable;
      }
      moves.push_back(m);
    }

    // New fields the old table lacks hold what a blank record holds.
    const uint32_t inLength = from.RecordLength(), outLength = to.RecordLength();
    to.BlankRecord();
    const std::vector<uint8_t> blank(to.RecordBuffer(), to.RecordBuffer() + outLength);
    std::vector<uint8_t> scratchIn(inLength + 1), scratchOut(outLength + 1);
    // The tables read and write field values in these buffers; they get
    // their own back before the buffers go, whatever ends the copy.
    struct Buffers {
      HXO_dBaseFld& from;
      HXO_dBaseFld& to;
      ~Buffers() {
        from.SetRecordBuffer(nullptr);
        to.SetRecordBuffer(nullptr);
      }
    } buffers{from, to};
    from.SetRecordBuffer(scratchIn.data());
    to.SetRecordBuffer(scratchOut.data());

    const size_t perBlock = std::max<size_t>(1, kBlock / inLength);
    std::vector<uint8_t> in(perBlock * inLength), out(perBlock * outLength);
    const int64_t count = from.RecordCount();
    uint64_t outAt = to.HeaderLength();
    std::string memo;
    for (int64_t first = 1; first <= count; first += static_cast<int64_t>(perBlock)) {
      const size_t want =
          static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(perBlock), count - first + 1));
      const size_t got = from.ReadAt(from.RecordOffset(first), in.data(), want * inLength) / inLength;
      size_t made = 0;
      for (size_t i = 0; i < got; ++i) {
        const uint8_t* rec = in.data() + i * inLength;
        const int64_t recno = first + static_cast<int64_t>(i);
        if (rec[0] == '*') continue;
        uint8_t* dst = out.data() + made * outLength;
        std::memcpy(dst, blank.data(), outLength);
        dst[0] = ' ';
        for (const FieldMove& m : moves) {
          const uint8_t* s = rec + m.fromOffset;
          uint8_t* d = dst + m.toOffset;
          switch (m.kind) {
            case Kind::Text:
              std::memcpy(d, s, m.fromLength);
              std::memset(d + m.fromLength, ' ', m.toLength - m.fromLength);
              break;
            case Kind::Number: {
              // A blank number reads as 0, which the blank record already holds.
              if (Blank(s, m.fromLength)) break;
              uint32_t begin = 0;
              if (!CanonicalNumber(s, m.fromLength, from.FieldEntry(m.from)->decimals, begin))
                return TDirectCopy::NeedsConversion;
              const uint32_t n = m.fromLength - begin;
              std::memset(d, ' ', m.toLength - n);
              std::memcpy(d + m.toLength - n, s + begin, n);
              break;
            }
            case Kind::Date:
              if (ValidDate(s))
                std::memcpy(d, s, 8);
              else
                std::memset(d, ' ', 8);
              break;
            case Kind::Logical:
              std::memcpy(scratchIn.data(), rec, inLength);
              *d = from.GetLogical(m.from) ? 'T' : 'F';
              break;
            case Kind::Memo:
              std::memcpy(scratchIn.data(), rec, inLength);
              memo = from.ReadMemoText(m.from);
              std::memcpy(scratchOut.data(), dst, outLength);
              to.WriteMemo(m.to, memo.data(), memo.size());
              std::memcpy(d, scratchOut.data() + m.toOffset, m.toLength);
              break;
          }
        }
        ++made;
        if (progress) progress(recno);
      }
      // A short write raises the engine's error.
      if (made > 0) to.WriteAt(outAt, out.data(), made * outLength);
      outAt += made * outLength;
      written += static_cast<int64_t>(made);
      if (got < want) break;
    }
    const uint8_t eof = 0x1A;
    to.WriteAt(outAt, &eof, 1);
  }
  // The header takes the record count the file size now gives.
  HXO_dBaseFld done(newTable, false, true);
  done.SetHeaderDirty(true);
  done.WriteHeader(true);
  copied = written;
  return TDirectCopy::Done;
}
