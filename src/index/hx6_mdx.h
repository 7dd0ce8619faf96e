// MDX index files: several tags in one file, 1024-byte nodes, positions
// counted in 512-byte blocks. All integers little-endian.
//
// File header (blocks 0-3, 2048 bytes)
//     0  1  2                          24  1  1 (production file)
//     1  3  created: year % 100, month, day
//     4 16  table name (8 characters at most, NUL-padded)
//    20  2  node size in blocks (2)    25  1  48 (tag table capacity)
//    22  2  node size in bytes (1024)  26  1  32 (tag table entry size)
//    28  2  tag count                  32  4  next free block
//    44  3  last update: year % 100, month, day
//   512 ..  tag table, one 32-byte entry per tag from the second entry on:
//           header block (4), tag name (11, NUL-terminated), options at 15,
//           key type letter at 20
//
// Tag header (one node)
//     0  4  root block                  8  1  options: 0x10, +0x40 unique, +0x08 descending
//     9  1  key type letter C, N, D     12  2  key length
//    14  2  keys per node: (node size - 8) / entry size - 1
//    18  2  entry size: key length + 4, to a multiple of 4
//    23  1  64 when unique             24 ..  key expression, NUL-terminated
//   245  1  1 with a FOR expression   246  1  1
//   248  4  first block of the tag (its header)
//   252  4  last block the file had when the header was written
//   762 ..  FOR expression, NUL-terminated
//
// Node
//     0  4  key count (interior: one less than its entries)
//     4  4  a block number (0 in files written here)
//     8 ..  entries of the entry size: child block (interior) or record
//           number (leaf), then the key. The four bytes after a leaf's last
//           entry are 0; after an interior node's keyed entries stands its
//           last child.
//
// Keys: character keys blank-padded; dates the day number as an 8-byte
// double (the blank date 1.0E100); numbers in 12 bytes:
//     0  1  0x34 + e, the value being 0.d1d2d3... x 10^e (0x34 for zero)
//     1  1  significant digits << 2, plus 0x80 when negative
//     2 10  the digits d1 d2 ..., two to a byte, high nibble first
// written with 15 significant digits when those give the double back, else 17.
// Magnitudes below 1E-50 are kept as 0 and above 1E200 as 1E200 (in memory too).
#pragma once

#include <memory>
#include <string>

#include "index/hx6_xidx.h"

inline constexpr int kMdxBlock = 512;
inline constexpr int kMdxNode = 1024;
inline constexpr int kMdxHeaderBytes = 2048;
inline constexpr int kMdxNumericLength = 12;
inline constexpr int kMdxMaxTags = 47;
inline constexpr int kMdxTagNameLength = 10;

// The 12-byte numeric key of `value` (normalised as EncodeKey does) and back.
void HxMdxEncodeNumber(double value, uint8_t out[kMdxNumericLength]);
// False when the bytes are not a number of this layout.
bool HxMdxDecodeNumber(const uint8_t in[kMdxNumericLength], double& value);
// The value a numeric key keeps (tiny magnitudes 0, huge ones clamped).
double HxMdxNormalNumber(double value);

class HXobjMDXFile;

class HXobjMDXTag : public HXobjPlainTag {
 public:
  HXobjMDXTag(HXobjMDXFile* owner, const std::string& name, int64_t headerOffset);

  void EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) override;
  void Define(const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  bool ReadHeader() override;
  void WriteHeader() override;

  int NodeSize() const override;
  int MaxKeys() const override { return maxKeys_; }
  void DecodePage(const uint8_t* page, HxPlainPage& out) override;
  void EncodePage(const HxPlainPage& in, uint8_t* page) override;
  int EntrySize() const { return entrySize_; }
  // Moves the tag header (Reindex gives every tag a new one).
  void MoveHeader(int64_t offset) { SetHeaderOffset(offset); }
  // Drops the nodes held in memory (another opener may have changed them).
  void Forget() { DiscardPath(); }
  // Another opener took the tag out of the file: it is no longer kept up
  // to date, searched or written to the tag table.
  void MarkRemoved() {
    DiscardPath();
    removed_ = true;
    SetNotOrderable("another user removed it from the file");
  }
  bool Removed() const { return removed_; }

 protected:
  std::unique_ptr<HXobjSortPlain> MakeSort() override;

 private:
  void Shape();

  HXobjMDXFile* mdx_;
  int maxKeys_ = 1;
  int entrySize_ = 4;
  bool removed_ = false;
};

// The build sort of an MDX tag.
class HXobjSortMDX : public HXobjSortPlain {
 public:
  explicit HXobjSortMDX(HXobjMDXTag* tag) : HXobjSortPlain(tag) {}
};

class HXobjMDXFile : public HXobjPlainFile {
 public:
  // Opens an existing file (".mdx" added when the name has none). Sets
  // Corrupted when its header or a tag header fails the checks.
  HXobjMDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite);
  ~HXobjMDXFile() override;
  // A new file with its header and no tags (AddTag gives it tags).
  static std::unique_ptr<HXobjMDXFile> CreateEmpty(HXO_dBaseFld* table, const std::string& fileName,
                                                   bool shared);

  // Creates, or replaces, the tag NAME and builds it.
  void AddTag(const std::string& name, const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  // Takes the tag out of the tag table (its blocks are not reused).
  bool DeleteTag(const std::string& name) override;
  // Truncates the file to its header and rebuilds every tag.
  void Reindex() override;
  void Flush() override;
  // Shared files get the header at once (under the index lock), others
  // when they are flushed or closed.
  void AfterChange() override;
  bool UpdateRecord(int64_t recno, bool appended) override;

  int PageGrid() const override { return kMdxBlock; }
  int HeaderBytes() const override { return kMdxHeaderBytes; }
  int PageSize() const override { return nodeSize_; }

 private:
  HXobjMDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared);
  bool ReadFileHeader();
  // A shared file under a fresh lock: the tags as the tag table now lists
  // them, every node read afresh.
  void AfterLock() override;
  int LiveTagCount() const;
  // Writes the file header and the tag table (the update date, tag count
  // and next free block as they are now).
  void WriteFileHeader();

  int nodeSize_ = kMdxNode;
  uint8_t created_[3] = {};
  bool changed_ = false;
};
