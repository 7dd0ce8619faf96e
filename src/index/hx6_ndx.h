// NDX index files: one tag per file, 512-byte blocks, positions counted in
// blocks. All integers little-endian.
//
// Header (block 0)
//     0  4  root block                 16  2  key type: 1 numeric or date, 0 character
//     4  4  next free block            18  2  entry size: key length + 8, to a multiple of 4
//    12  2  key length (8 for numbers) 23  1  1 when unique
//    14  2  keys per node: 504 / entry size
//    24  .. key expression, NUL-terminated
//
// Node (512 bytes)
//     0  2  key count (interior: keyed entries, one less than its entries)
//     4  .. entries of the entry size: child block (0 in leaves), record
//           number, key (character: blank-padded; numeric: the double; date:
//           the day number as a double, 1.0E100 for a blank date)
//
// The record number of an interior entry is that of the last key beneath it,
// so equal keys stay in record-number order.
#pragma once

#include <memory>
#include <string>

#include "index/hx6_xidx.h"

inline constexpr int kNdxBlock = 512;
inline constexpr double kNdxBlankDate = 1.0E100;

class HXobjNDXFile;

class HXobjNDXTag : public HXobjPlainTag {
 public:
  HXobjNDXTag(HXobjNDXFile* owner, const std::string& name);

  void EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) override;
  void Define(const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  bool ReadHeader() override;
  void WriteHeader() override;

  int NodeSize() const override { return kNdxBlock; }
  int MaxKeys() const override { return maxKeys_; }
  void DecodePage(const uint8_t* page, HxPlainPage& out) override;
  void EncodePage(const HxPlainPage& in, uint8_t* page) override;
  int EntrySize() const { return (KeyLength() + 8 + 3) / 4 * 4; }
  // The header tells numbers from text only; the file tells dates.
  void SetKeyTypeDate() { SetKeyType(hxKeyDate); }

 protected:
  std::unique_ptr<HXobjSortPlain> MakeSort() override;

 private:
  HXobjNDXFile* ndx_;
  int maxKeys_ = 1;
};

// The build sort of an NDX tag.
class HXobjSortNdx : public HXobjSortPlain {
 public:
  explicit HXobjSortNdx(HXobjNDXTag* tag) : HXobjSortPlain(tag) {}
};

class HXobjNDXFile : public HXobjPlainFile {
 public:
  // Opens an existing file (".ndx" added when the name has none). Sets
  // Corrupted when its header fails the checks, IsOpen otherwise.
  HXobjNDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite);
  ~HXobjNDXFile() override;
  // A new file without a tag yet (AddTag gives it one).
  static std::unique_ptr<HXobjNDXFile> CreateEmpty(HXO_dBaseFld* table, const std::string& fileName,
                                                   bool shared);

  // The file's one tag (named after the file) is defined and built; a FOR
  // expression or descending order cannot be stored and is refused.
  void AddTag(const std::string& name, const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  bool DeleteTag(const std::string& name) override;
  // Truncates the file to its header and rebuilds the tag from the table.
  void Reindex() override;
  void Flush() override;
  void AfterChange() override;

  int PageGrid() const override { return kNdxBlock; }
  int HeaderBytes() const override { return kNdxBlock; }
  int PageSize() const override { return kNdxBlock; }
  HXobjNDXTag* Tag() const { return TagCount() > 0 ? static_cast<HXobjNDXTag*>(Tags(0)) : nullptr; }

 private:
  HXobjNDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared);
};
