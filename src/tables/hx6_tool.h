// Shared tools of the table engine: the owning collection, the paged bit set,
// file-name and text helpers, and the engine's value carrier ThxVariant.
#pragma once

// ---- tools (collection, huge set, names, text) ----

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/bytes.h"

// An owning list. Removing an item takes it out and disposes of it, clearing
// disposes of every item, destroying clears first. DisposeItem is the one
// place that decides what disposal means: by default the item is freed; a
// collection that only refers to its items overrides it to do nothing.
//
// A derived class that overrides DisposeItem must call Clear() in its own
// destructor: by the time ~ThxCollection runs, the override is gone.
template <typename T>
class ThxCollection {
 public:
  ThxCollection() = default;
  ThxCollection(const ThxCollection&) = delete;
  ThxCollection& operator=(const ThxCollection&) = delete;
  virtual ~ThxCollection() { Clear(); }

  int Count() const { return static_cast<int>(items_.size()); }
  T* Items(int index) const {
    return index >= 0 && index < Count() ? items_[static_cast<size_t>(index)] : nullptr;
  }
  T* operator[](int index) const { return Items(index); }
  T* First() const { return Items(0); }
  T* Last() const { return Items(Count() - 1); }

  // Adds an item at the end; the collection disposes of it later. Returns its index.
  int Add(T* item) {
    items_.push_back(item);
    return Count() - 1;
  }
  int Add(std::unique_ptr<T> item) { return Add(item.release()); }
  void Insert(int index, T* item) {
    if (index < 0) index = 0;
    if (index > Count()) index = Count();
    items_.insert(items_.begin() + index, item);
  }
  int IndexOf(const T* item) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i] == item) return static_cast<int>(i);
    return -1;
  }
  // Takes the item out and disposes of it. Returns its former index, -1 when absent.
  int Remove(T* item) {
    int i = IndexOf(item);
    if (i >= 0) Delete(i);
    return i;
  }
  // Takes the item at index out and disposes of it.
  void Delete(int index) {
    if (index < 0 || index >= Count()) return;
    T* item = items_[static_cast<size_t>(index)];
    items_.erase(items_.begin() + index);
    DisposeItem(item);
  }
  // Takes the item out without disposing of it (the caller becomes its owner).
  T* Extract(T* item) {
    int i = IndexOf(item);
    if (i < 0) return nullptr;
    items_.erase(items_.begin() + i);
    return item;
  }
  // Disposes of every item, last first.
  void Clear() {
    while (!items_.empty()) {
      T* item = items_.back();
      items_.pop_back();
      DisposeItem(item);
    }
  }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 protected:
  virtual void DisposeItem(T* item) { std::default_delete<T>()(item); }

 private:
  std::vector<T*> items_;
};

// A set of non-negative integers (record numbers) held as bits in pages of
// 16384 bytes; each page covers 131072 numbers. Number i lives in page
// i / 131072, byte (i / 8) % 16384, bit i % 8 (bit 0 the least significant).
// Pages are made, zero-filled, when a bit in them is first changed.
class ThxHugeSet {
 public:
  static constexpr int kPageBytes = 16384;
  static constexpr int64_t kPageBits = int64_t{kPageBytes} * 8;

  enum ChangeOp { Clear = 0, Set = 1, Toggle = 2 };

  // op: 0 clear, 1 set, 2 toggle. Numbers outside 0 .. 2^32 - 1 are ignored.
  void ChangeBit(int64_t i, int op);
  void SetBit(int64_t i) { ChangeBit(i, Set); }
  void ClearBit(int64_t i) { ChangeBit(i, Clear); }
  bool TestBit(int64_t i) const;
  // Zeroes every page; the highest touched number becomes -1.
  void ClearAll();
  // The highest number ever changed, -1 when none.
  int64_t Highest() const { return highest_; }
  // The first set number >= from, or -1.
  int64_t NextSet(int64_t from) const;
  // The last set number <= from, or -1.
  int64_t PrevSet(int64_t from) const;
  int PageCount() const { return static_cast<int>(pages_.size()); }

 private:
  using Page = std::array<uint8_t, kPageBytes>;
  std::vector<std::unique_ptr<Page>> pages_;
  int64_t highest_ = -1;
};

// ---- file names ----

// A name holding two consecutive backslashes (a network share) or a colon
// after its second character is returned unchanged; any other name becomes a
// full DOS path from the current folder.
std::string ExpandFileName(const std::string& name);
// The name with `ext` (".DBF") appended when its file part has no extension.
std::string DefaultExtension(const std::string& name, const std::string& ext);
// The name with its extension replaced by `ext` (which includes the dot).
std::string ChangeFileExt(const std::string& name, const std::string& ext);
// The file part of a name ("C:\A\B.DBF" -> "B.DBF").
std::string ExtractFileName(const std::string& name);
// The folder part including the last separator ("C:\A\B.DBF" -> "C:\A\").
std::string ExtractFilePath(const std::string& name);
// The extension with its dot, or empty.
std::string ExtractFileExt(const std::string& name);
// The file part without its extension ("C:\A\B.DBF" -> "B").
std::string BaseFileName(const std::string& name);

// ---- text (CP1252, locale rules of the platform) ----

int HxCompareStr(std::string_view a, std::string_view b);   // case matters, <0 0 >0
int HxCompareText(std::string_view a, std::string_view b);  // case ignored
// 1-based position of `sub` in `text`, 0 when absent or when `sub` is empty.
int HxPos(std::string_view sub, std::string_view text);
std::string HxUpperCase(std::string_view text);
std::string HxLowerCase(std::string_view text);
// Compares NUL-terminated texts (null counts as empty).
int HxStrComp(const char* a, const char* b);
int HxStrIComp(const char* a, const char* b);
std::string HxTrimRight(std::string_view text);  // trailing blanks and control characters
std::string HxTrim(std::string_view text);

// Wildcard containment search: 0 for an empty pattern or a text shorter than
// the pattern; a pattern of one asterisk matches (1). One leading and one
// trailing asterisk are dropped; when the pattern did not start with an
// asterisk, each '?' of it matches any character at the same position of the
// text. The result is the 1-based position of the rest of the pattern in the
// text, 0 when it does not occur. Not anchored.
int WildcardSearch(std::string_view pattern, std::string_view text);

// OEM <-> ANSI translation of a buffer in place.
void HxAnsiToOem(char* buffer, size_t count);
void HxOemToAnsi(char* buffer, size_t count);

// The folder that holds the engine configuration (keldor.cfg).
std::string HxWindowsDirectory();

void HxSleep(uint32_t milliseconds);

// ---- ThxVariant (value carrier) ----

// Kinds of value a ThxVariant carries.
enum ThxVariantKind : uint8_t {
  hxvNone = 0,     // no value
  hxvString = 1,   // character: the text's bytes
  hxvNumber = 2,   // 8-byte IEEE double
  hxvDate = 3,     // 4-byte Julian day number
  hxvLogical = 4,  // 1 byte, non-zero = true
  hxvRaw = 5,      // any bytes
};

// The table engine's value carrier between tables, indexes and expressions:
// an owned byte buffer with a kind. A value is empty when it has no buffer or
// length 0. Readings of numbers and dates take the bytes that are there and
// count missing ones as zero, so a short raw value never reads past its buffer.
class ThxVariant {
 public:
  // A buffer of `capacity` bytes when non-zero.
  explicit ThxVariant(size_t capacity = 0);
  ThxVariant(const ThxVariant& other);
  ThxVariant& operator=(const ThxVariant& other);
  ThxVariant(ThxVariant&& other) noexcept;
  ThxVariant& operator=(ThxVariant&& other) noexcept;
  ~ThxVariant();

  // Deep copy of bytes, length and kind.
  void Assign(const ThxVariant& from);
  // Frees the buffer; capacity, length and kind become 0.
  void Clear();
  // Grows the buffer when n exceeds the capacity (content kept); length = n.
  void SetLength(size_t n);

  void SetString(std::string_view text);
  void SetNumber(double value);
  void SetDate(int32_t julianDay);
  void SetLogical(bool value);
  void SetRaw(const void* data, size_t count);
  // Appends bytes; the kind becomes raw. Nothing for no bytes or count 0.
  void AppendRaw(const void* data, size_t count);
  // Becomes the upper-cased text form (kind character).
  void UpperCase();
  // Character values only: extends with spaces to n bytes, never shortens.
  void PadRight(size_t n);
  // Character values only: drops trailing spaces.
  void TrimRight();

  bool AsLogical() const;
  int32_t AsDate() const;
  double AsNumber() const;
  std::string AsString() const;
  // AsString into `buffer` of `size` bytes, NUL-terminated (cut to fit);
  // returns the bytes stored before the NUL.
  size_t AsText(char* buffer, size_t size) const;

  // Three-way comparison (-1, 0, 1) with `other` (nullptr: missing).
  // Values of different kinds compare only when one of them is raw (it takes
  // the other's kind); any other pair raises "Variant types mismatch for
  // compare". Character values compare byte by byte, each byte mapped through
  // `collation` (256 entries) when given; `position` receives the 1-based
  // index of the first differing byte (shorter length + 1 when one is a
  // prefix of the other). When this value is a complete prefix of the other
  // the result is `prefixResult` instead of -1.
  int Compare(const ThxVariant* other, int& position, const uint8_t* collation = nullptr,
              int prefixResult = -1) const;
  // Compare in which this value, when a number, counts as its 8 raw bytes
  // (another number still compares by value).
  int CompareBinary(const ThxVariant* other, int& position, const uint8_t* collation = nullptr,
                    int prefixResult = -1) const;

  uint8_t Kind() const { return kind_; }
  void SetKind(uint8_t kind) { kind_ = kind; }
  size_t Length() const { return length_; }
  size_t Capacity() const { return capacity_; }
  bool Empty() const { return !data_ || length_ == 0; }
  const uint8_t* Data() const { return data_.get(); }
  uint8_t* Data() { return data_.get(); }
  // The bytes as a view (empty when there are none).
  std::string_view Bytes() const {
    return data_ ? std::string_view(reinterpret_cast<const char*>(data_.get()), length_) : std::string_view();
  }

 private:
  int CompareAs(uint8_t thisKind, const ThxVariant* other, int& position, const uint8_t* collation,
                int prefixResult) const;
  // The first `count` bytes (missing ones zero) as a little-endian value.
  void ReadPadded(void* out, size_t count) const;

  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_ = 0;
  size_t length_ = 0;
  uint8_t kind_ = hxvNone;
};
