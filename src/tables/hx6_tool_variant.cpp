// ThxVariant: the value carrier of the table engine.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "framework/sysutils.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_date.h"
#include "tables/hx6_tool.h"

namespace {

bool IsTrueLetter(uint8_t c) { return c == 'T' || c == 't' || c == 'Y' || c == 'y' || c == 'J' || c == 'j'; }

// Truncates toward zero into 32 bits; values that do not fit count as 0.
int32_t TruncToInt32(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return 0;
  return static_cast<int32_t>(std::trunc(v));
}

int Sign(int64_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

}  // namespace

ThxVariant::ThxVariant(size_t capacity) {
  if (capacity > 0) {
    data_ = std::make_unique<uint8_t[]>(capacity);
    capacity_ = capacity;
  }
}

ThxVariant::ThxVariant(const ThxVariant& other) { Assign(other); }

ThxVariant& ThxVariant::operator=(const ThxVariant& other) {
  if (this != &other) Assign(other);
  return *this;
}

ThxVariant::ThxVariant(ThxVariant&& other) noexcept
    : data_(std::move(other.data_)), capacity_(other.capacity_), length_(other.length_), kind_(other.kind_) {
  other.capacity_ = other.length_ = 0;
  other.kind_ = hxvNone;
}

ThxVariant& ThxVariant::operator=(ThxVariant&& other) noexcept {
  if (this != &other) {
    data_ = std::move(other.data_);
    capacity_ = other.capacity_;
    length_ = other.length_;
    kind_ = other.kind_;
    other.capacity_ = other.length_ = 0;
    other.kind_ = hxvNone;
  }
  return *this;
}

ThxVariant::~ThxVariant() = default;

void ThxVariant::Assign(const ThxVariant& from) {
  if (this == &from) return;
  SetLength(from.length_);
  if (from.length_ > 0) std::memcpy(data_.get(), from.data_.get(), from.length_);
  kind_ = from.kind_;
}

void ThxVariant::Clear() {
  data_.reset();
  capacity_ = length_ = 0;
  kind_ = hxvNone;
}

void ThxVariant::SetLength(size_t n) {
  if (n > capacity_) {
    auto grown = std::make_unique<uint8_t[]>(n);
    if (length_ > 0) std::memcpy(grown.get(), data_.get(), std::min(length_, n));
    data_ = std::move(grown);
    capacity_ = n;
  }
  length_ = n;
}

void ThxVariant::SetString(std::string_view text) {
  SetLength(text.size());
  if (!text.empty()) std::memcpy(data_.get(), text.data(), text.size());
  kind_ = hxvString;
}

void ThxVariant::SetNumber(double value) {
  SetLength(8);
  PutLE64(data_.get(), std::bit_cast<uint64_t>(value));
  kind_ = hxvNumber;
}

void ThxVariant::SetDate(int32_t julianDay) {
  SetLength(4);
  PutLE32(data_.get(), static_cast<uint32_t>(julianDay));
  kind_ = hxvDate;
}

void ThxVariant::SetLogical(bool value) {
  SetLength(1);
  data_[0] = value ? 1 : 0;
  kind_ = hxvLogical;
}

void ThxVariant::SetRaw(const void* data, size_t count) {
  SetLength(data ? count : 0);
  if (data && count > 0) std::memmove(data_.get(), data, count);
  kind_ = hxvRaw;
}

void ThxVariant::AppendRaw(const void* data, size_t count) {
  if (!data || count == 0) return;
  const size_t old = length_;
  if (old + count > capacity_) {
    // Grow geometrically: keys and texts are built by many small appends.
    auto grown = std::make_unique<uint8_t[]>(std::max(old + count, capacity_ * 2));
    if (old > 0) std::memcpy(grown.get(), data_.get(), old);
    capacity_ = std::max(old + count, capacity_ * 2);
    data_ = std::move(grown);
  }
  std::memmove(data_.get() + old, data, count);
  length_ = old + count;
  kind_ = hxvRaw;
}

void ThxVariant::UpperCase() { SetString(HxUpperCase(AsString())); }

void ThxVariant::PadRight(size_t n) {
  if (kind_ != hxvString || n <= length_) return;
  const size_t old = length_;
  SetLength(n);
  std::memset(data_.get() + old, ' ', n - old);
}

void ThxVariant::TrimRight() {
  if (kind_ != hxvString) return;
  while (length_ > 0 && data_[length_ - 1] == ' ') --length_;
}

void ThxVariant::ReadPadded(void* out, size_t count) const {
  std::memset(out, 0, count);
  if (data_ && length_ > 0) std::memcpy(out, data_.get(), std::min(count, length_));
}

bool ThxVariant::AsLogical() const {
  if (Empty()) return false;
  switch (kind_) {
    case hxvString:
      return IsTrueLetter(data_[0]);
    case hxvNumber:
      return std::trunc(AsNumber()) != 0;
    case hxvDate:
      return false;
    case hxvLogical:
    case hxvRaw:
      return data_[0] != 0;
    default:
      return false;
  }
}

int32_t ThxVariant::AsDate() const {
  if (Empty()) return 0;
  switch (kind_) {
    case hxvString:
      return DBFDate().ToJulian(Bytes());
    case hxvNumber: {
      const ThxDBFDate& d = DBFDate();
      return d.ToJulian(d.ToText(TruncToInt32(AsNumber())));
    }
    case hxvDate:
    case hxvRaw: {
      uint8_t b[4];
      ReadPadded(b, 4);
      return static_cast<int32_t>(GetLE32(b));
    }
    default:
      return 0;
  }
}

double ThxVariant::AsNumber() const {
  if (Empty()) return 0;
  switch (kind_) {
    case hxvString:
      return StrToFloat(std::string(Bytes()));
    case hxvNumber:
    case hxvRaw: {
      uint8_t b[8];
      ReadPadded(b, 8);
      return std::bit_cast<double>(GetLE64(b));
    }
    case hxvDate: {
      uint8_t b[4];
      ReadPadded(b, 4);
      return static_cast<int32_t>(GetLE32(b));
    }
    case hxvLogical:
      return data_[0] != 0 ? 1 : 0;
    default:
      return 0;
  }
}

std::string ThxVariant::AsString() const {
  if (Empty()) return std::string();
  switch (kind_) {
    case hxvString:
    case hxvRaw:
      return std::string(Bytes());
    case hxvNumber:
      return FloatToStr(AsNumber());
    case hxvDate:
      return DBFDate().ToDisplay(AsDate());
    case hxvLogical:
      return data_[0] != 0 ? "T" : "F";
    default:
      return std::string();
  }
}

size_t ThxVariant::AsText(char* buffer, size_t size) const {
  if (!buffer || size == 0) return 0;
  const std::string s = AsString();
  const size_t n = std::min(s.size(), size - 1);
  std::memcpy(buffer, s.data(), n);
  buffer[n] = '\0';
  return n;
}

int ThxVariant::Compare(const ThxVariant* other, int& position, const uint8_t* collation,
                        int prefixResult) const {
  return CompareAs(kind_, other, position, collation, prefixResult);
}

int ThxVariant::CompareBinary(const ThxVariant* other, int& position, const uint8_t* collation,
                              int prefixResult) const {
  // A number against another number still compares by value.
  uint8_t k = kind_;
  if (k == hxvNumber && !(other && other->kind_ == hxvNumber)) k = hxvRaw;
  return CompareAs(k, other, position, collation, prefixResult);
}

int ThxVariant::CompareAs(uint8_t thisKind, const ThxVariant* other, int& position, const uint8_t* collation,
                          int prefixResult) const {
  position = 0;
  if (thisKind == hxvNone) return other && other->length_ > 0 ? -1 : 0;
  if (!other) return 1;

  uint8_t kind;
  if (thisKind == other->kind_)
    kind = thisKind;
  else if (thisKind == hxvRaw)
    kind = other->kind_;
  else if (other->kind_ == hxvRaw)
    kind = thisKind;
  else
    RaiseKeldorError(hxErrVariantMismatch);

  const bool thisEmpty = Empty(), otherEmpty = other->Empty();
  if (thisEmpty && otherEmpty) return 0;
  if (thisEmpty) return -1;
  if (otherEmpty) return 1;

  switch (kind) {
    case hxvString:
    case hxvRaw: {
      const bool useRules = kind == hxvString;
      const uint8_t* a = data_.get();
      const uint8_t* b = other->data_.get();
      const size_t n = std::min(length_, other->length_);
      for (size_t i = 0; i < n; ++i) {
        uint8_t x = a[i], y = b[i];
        if (useRules && collation) {
          x = collation[x];
          y = collation[y];
        }
        if (x != y) {
          position = static_cast<int>(i + 1);
          return x < y ? -1 : 1;
        }
      }
      position = static_cast<int>(n + 1);
      if (length_ == other->length_) return 0;
      if (length_ > other->length_) return 1;
      // This value is a complete prefix of the other.
      return useRules ? Sign(prefixResult) : -1;
    }
    case hxvNumber: {
      uint8_t x[8], y[8];
      ReadPadded(x, 8);
      other->ReadPadded(y, 8);
      const double a = std::bit_cast<double>(GetLE64(x)), b = std::bit_cast<double>(GetLE64(y));
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    case hxvDate: {
      uint8_t x[4], y[4];
      ReadPadded(x, 4);
      other->ReadPadded(y, 4);
      const int32_t a = static_cast<int32_t>(GetLE32(x)), b = static_cast<int32_t>(GetLE32(y));
      return a < b ? -1 : (a > b ? 1 : 0);
    }
    case hxvLogical: {
      const bool a = data_[0] != 0, b = other->data_[0] != 0;
      if (a == b) return 0;
      return a ? 1 : -1;
    }
    default:
      return 0;
  }
}
