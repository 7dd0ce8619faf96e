// NTX index files: one tag per file, 1024-byte pages, positions are byte
// offsets. All integers little-endian.
//
// Header (1024 bytes)
//     0  2  signature: 6, 7 with a FOR expression
//     2  2  version                    16  2  decimals
//     4  4  root page offset           18  2  keys per page at most (2 x half)
//     8  4  next free page offset      20  2  half: (1020 / (key length + 10) - 1) / 2
//    12  2  entry size: key length + 8 22  .. key expression, NUL-terminated
//    14  2  key length                278  1  unique   279  1  descending
//   282  .. FOR expression, NUL-terminated
//
// Page: key count (2), a table of (keys per page + 1) 2-byte offsets of the
// items within the page, the items: child page offset (0 in leaves), record
// number, key. The item after the last key holds only the last child.
//
// A key in an interior page is a record's key of its own: it is not repeated
// in a leaf (the model's picture is restored when pages are read, hx6_xidx).
//
// Keys are text: character keys blank-padded; dates "yyyymmdd" ("00000000"
// when blank); numbers right-aligned in the key length with the decimals,
// blanks as "0", and for a negative number every digit d replaced by the
// character 92 - d (so "-5" in 4 places is ",,,'" and sorts below 0).
#pragma once

#include <memory>
#include <string>

#include "index/hx6_xidx.h"

inline constexpr int kNtxPage = 1024;

class HXobjNTXFile;

class HXobjNTXTag : public HXobjPlainTag {
 public:
  HXobjNTXTag(HXobjNTXFile* owner, const std::string& name);

  void EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) override;
  void Define(const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  bool ReadHeader() override;
  void WriteHeader() override;

  int NodeSize() const override { return kNtxPage; }
  int MaxKeys() const override { return 2 * Half(); }
  bool SeparatorsOwnKeys() const override { return true; }
  void DecodePage(const uint8_t* page, HxPlainPage& out) override;
  void EncodePage(const HxPlainPage& in, uint8_t* page) override;

  int Half() const { return (1020 / (KeyLength() + 10) - 1) / 2; }
  int Decimals() const { return decimals_; }
  // The key type from the expression (the header does not keep it).
  void TypeFromExpression();

 protected:
  std::unique_ptr<HXobjSortPlain> MakeSort() override;

 private:
  // Width and decimals of a numeric key expression: a single field's own,
  // otherwise 18 and 4.
  void NumericShape(int& width, int& decimals);

  HXobjNTXFile* ntx_;
  int decimals_ = 0;
};

// The build sort of an NTX tag.
class HXobjSortNTX : public HXobjSortPlain {
 public:
  explicit HXobjSortNTX(HXobjNTXTag* tag) : HXobjSortPlain(tag) {}
};

// A number as an NTX key (see above); `width` bytes.
std::string HxNtxNumberKey(double value, int width, int decimals);

class HXobjNTXFile : public HXobjPlainFile {
 public:
  // Opens an existing file (".ntx" added when the name has none).
  HXobjNTXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite);
  ~HXobjNTXFile() override;
  static std::unique_ptr<HXobjNTXFile> CreateEmpty(HXO_dBaseFld* table, const std::string& fileName,
                                                   bool shared);

  // Defines and builds the file's one tag (named after the file).
  void AddTag(const std::string& name, const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  bool DeleteTag(const std::string& name) override;
  void Reindex() override;
  void AfterChange() override;

  int PageGrid() const override { return kNtxPage; }
  int HeaderBytes() const override { return kNtxPage; }
  int PageSize() const override { return kNtxPage; }
  HXobjNTXTag* Tag() const { return TagCount() > 0 ? static_cast<HXobjNTXTag*>(Tags(0)) : nullptr; }

 private:
  HXobjNTXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared);
};
