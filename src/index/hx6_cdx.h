// CDX compound index files: any number of tags of one table in one file of
// 512-byte blocks. All integers are little-endian except the record numbers
// and child offsets of interior nodes, which are big-endian.
//
// Tag header (1024 bytes; the one at offset 0 is the tag directory, whose
// keys are the tag names and whose record numbers the tags' header offsets)
//     0  4  root node offset          12  2  key length (at most 240)
//     4  4  free list (written as 0)  14  1  options: 0x01 unique, 0x08 FOR,
//     8  4  change counter                    0x20 compact, 0x40 compound,
//                                             0x80 directory (0x60 / 0xE0)
//    15  1  signature: 1, 2 with a collation name
//   494  8  collation name ("GENERAL" or zero)
//   502  2  1 descending                 504  2  key expression length + 1
//   506  2  FOR expression length + 1    510  2  key expression length + 1
//   512 512 key expression, NUL, FOR expression, NUL
//
// Node (512 bytes)
//     0  2  attributes: bit 0 root, bit 1 leaf (0 interior, 1 root, 2 leaf, 3 both)
//     2  2  number of keys
//     4  4  left sibling, -1 none       8  4  right sibling, -1 none
//   interior, from 12: entries of key length + 8 bytes, at most
//     500 / (key length + 8): key (blank- or zero-padded), record number of
//     the last key of the child's subtree (BE), child offset (BE)
//   leaf (compressed keys)
//    12  2  free bytes in the key area   20  1  record number bits
//    14  4  record number mask           21  1  duplicate count bits
//    18  1  duplicate count mask         22  1  trailing count bits
//    19  1  trailing count mask          23  1  bytes per entry (N)
//    24 488 entries of N bytes from the front (little-endian: record number
//           in the low bits, then duplicate count, trailing count on top);
//           key bytes from the end downward: each key stores the bytes after
//           the ones it shares with the previous key of the node and before
//           its trailing blanks (character) or zero bytes (others)
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "index/hx6_indx.h"

inline constexpr int kCdxBlock = 512;
inline constexpr int kCdxHeaderSize = 1024;
inline constexpr int kCdxLeafArea = 488;
inline constexpr int kCdxInteriorArea = 500;

// Options byte of a tag header.
inline constexpr uint8_t kCdxOptUnique = 0x01;
inline constexpr uint8_t kCdxOptFor = 0x08;
inline constexpr uint8_t kCdxOptCompact = 0x20;
inline constexpr uint8_t kCdxOptCompound = 0x40;
inline constexpr uint8_t kCdxOptDirectory = 0x80;

// Collations.
inline constexpr int hxCollationNone = 0;
inline constexpr int hxCollationMachine = 1;
inline constexpr int hxCollationGeneral = 2;

// The sortable form of a double: the sign bit set for non-negative values,
// all bits inverted for negative ones, most significant byte first. -0.0
// counts as 0.
void HxSortableDouble(double value, uint8_t out[8]);
double HxDoubleFromSortable(const uint8_t* bytes, size_t count);

class HXobjCDXFile;

class HXobjCDXTag : public HXobjIndexTag {
 public:
  HXobjCDXTag(HXobjCDXFile* owner, const std::string& name, int64_t headerOffset, bool directory = false);
  ~HXobjCDXTag() override;

  void EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) override;
  void Define(const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  // Define with the build (`build`) or with a single empty root leaf.
  void DefineTag(const std::string& keyExpression, bool unique, bool ascending,
                 const std::string& forExpression, bool build);
  bool InsertKey(const HXobjIndexKeyData& key) override;
  int64_t RootOffset() override;
  void ReadNode(int64_t offset, HXobjIndexKey& node) override;
  void WriteNode(HXobjIndexKey& node) override;
  bool ReadHeader() override;
  void WriteHeader() override;
  std::string VerifyNode(int64_t offset) override;

  bool IsDirectory() const { return directory_; }
  int EntrySize() const { return KeyLength() + 8; }
  int KeysPerNode() const { return kCdxInteriorArea / EntrySize(); }
  uint8_t Options() const { return options_; }
  uint32_t ChangeCounter() const { return changeCounter_; }
  void SetChangeCounter(uint32_t value) { changeCounter_ = value; }
  int Collation() const { return collation_; }
  HXobjCDXFile* CdxFile() const { return cdx_; }
  // Gives the tag a single empty root leaf at a new node.
  void MakeEmptyRoot();
  // Rebuilds the tag from the table (the build sort).
  void Build();
  // Sets the root offset (the build sort's Finish).
  void SetRoot(int64_t offset) {
    SetRootOffset(offset);
    SetDirty(true);
  }
  // The highest record number a leaf of this tag must be able to hold.
  uint32_t RecordCeiling() const;
  // Bits of the duplicate and trailing counts for this key length.
  int CountBits() const;

  // Writes a leaf image of `keys` (already fitting) into `block`.
  void PackLeaf(const std::vector<const HXobjIndexKeyData*>& keys, uint8_t* block, int attributes,
                int64_t left, int64_t right);

 private:
  void WriteLeaf(HXobjIndexKey& node);
  void WriteInterior(HXobjIndexKey& node);
  // Before a root splits: a new root takes over the offset and the old
  // contents move to a new block beneath it.
  void SplitRoot(HXobjIndexKey& node);
  // Rewrites the right-sibling pointer of the node at `offset`.
  void PatchRightSibling(int64_t offset, int64_t right);
  void PatchLeftSibling(int64_t offset, int64_t left);
  void ReadBlockChecked(int64_t offset, uint8_t* block);
  // Writes the first `count` bytes of the header image.
  void WriteHeaderBytes(size_t count);
  void DecodeLeaf(const uint8_t* block, HXobjIndexKey& node);
  void DecodeInterior(const uint8_t* block, HXobjIndexKey& node);
  bool Padded() const { return KeyType() == hxKeyCharacter; }

  friend class HXobjCDXFile;

  HXobjCDXFile* cdx_;
  bool directory_;
  uint8_t options_ = 0x60;
  uint32_t changeCounter_ = 0;
  int collation_ = hxCollationNone;
  uint8_t block_[kCdxBlock] = {};
};

class HXobjCDXFile : public HXobjIndexFile {
 public:
  // Opens `fileName` (".cdx" added when it has no extension), creating it when
  // missing (and writable) or not longer than one block. Sets Corrupted when
  // a tag header fails its checks and IsOpen when none did.
  HXobjCDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite);
  ~HXobjCDXFile() override;

  void AddTag(const std::string& name, const std::string& keyExpression, bool unique, bool ascending,
              const std::string& forExpression) override;
  bool DeleteTag(const std::string& name) override;
  int64_t NewNode() override;
  int64_t SyncFileEnd() override;
  void Reindex() override;
  bool UpdateRecord(int64_t recno, bool appended) override;
  bool ChangedByOthers() override;
  void Flush() override;

  HXobjCDXTag& Directory() { return *directory_; }
  // True when a whole block at `offset` lies within the file.
  bool BlockInFile(int64_t offset);
  // Re-reads the directory and every tag header after another process
  // changed the file (paths dropped).
  void Reload();

 protected:
  void AfterLock() override;

 private:
  void OpenFile();
  void CreateDirectory();
  void ReadDirectory();
  // Deletes the directory entry of a tag (by name and header offset).
  void RemoveDirectoryEntry(const std::string& name, int64_t headerOffset);
  void BumpChangeCounter(uint32_t steps = 1);
  // Writes the counter an exclusive opener moved in memory only.
  void WritePendingCounter();
  void MarkStructuralIndex();

  std::unique_ptr<HXobjCDXTag> directory_;
  int64_t knownSize_ = 0;
  // Changes an exclusive opener has not yet counted in the file.
  uint32_t pendingChanges_ = 0;
};
