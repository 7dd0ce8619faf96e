// The index build sort. ThxSort takes keys with their record numbers in any
// order and gives them back in key order (equal keys by record number) with
// bounded memory: keys go into a byte trie that lives in at most 32 blocks of
// 40960 bytes; a full trie is emptied into a sorted run of front-compressed
// 16 KB pages; retrieval merges the runs. Runs stay in memory up to a budget
// and then move to a temporary file, so the memory a sort holds does not
// grow with the number of keys. HXobjSortCDX packs the sorted keys bottom-up
// into the leaf and interior nodes of a CDX tag.
//
// Trie node (10 bytes): first child (4), next sibling or up to 4 packed key
// bytes (4), flags (1: low 3 bits the number of packed bytes, high 4 bits the
// key kind marker where a key ends), key byte (1).
//
// Run entry: marker (1: 16 raw, 32 character, 48 number, 64 date), total key
// length L with the record number (1), count C of bytes differing from the
// previous key of the run (1), then those last C bytes. A zero byte ends the
// entries of a page.
//
// Key bytes as sorted (the record number follows as 4 bytes, most significant
// first):
//   character  the text without trailing blanks (padded with blanks to the
//              pad length when one is set, so keys compare as padded keys do)
//   number     the 8-byte sortable double (hx6_cdx HxSortableDouble)
//   date       the day number, 4 bytes, most significant first, sign flipped
//   raw        as given
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tables/hx6_tool.h"

namespace platform {
class File;
}
class HXobjCDXTag;
class HXobjIndexKeyData;

inline constexpr int kHxSortMaxKey = 240;
inline constexpr int kHxSortBlocks = 32;
inline constexpr int kHxSortBlockBytes = 40960;
inline constexpr int kHxSortPageBytes = 16384;

// Key kind markers.
inline constexpr uint8_t hxSortRaw = 16;
inline constexpr uint8_t hxSortCharacter = 32;
inline constexpr uint8_t hxSortNumber = 48;
inline constexpr uint8_t hxSortDate = 64;

// The temporary file that runs move to when they no longer fit in memory.
class ThxSortSpill;

// One sorted run: front-compressed entries in 16 KB pages, in memory or in
// the sort's temporary file.
class ThxPageCollection {
 public:
  explicit ThxPageCollection(ThxSortSpill* spill) : spill_(spill) {}
  ThxPageCollection(const ThxPageCollection&) = delete;
  ThxPageCollection& operator=(const ThxPageCollection&) = delete;
  ~ThxPageCollection();

  // Appends an entry; `key` includes the 4 record-number bytes. The first
  // `knownCommon` bytes are known to equal the previous entry's.
  void Append(uint8_t marker, const uint8_t* key, size_t length, size_t knownCommon = 0);
  // Ends writing (the last page gets its zero byte).
  void Close();
  // Moves the pages held in memory to the temporary file.
  void Spill();
  void SetSpill(ThxSortSpill* spill) { spill_ = spill; }
  // Every finished page goes to the temporary file at once.
  void SetDirect(bool on) { direct_ = on; }
  // Gives back the page buffer used for reading a spilled run.
  void FreeReadBuffer();
  // Reading from the first entry.
  void Rewind();
  // The next entry: marker and the whole key in `key` (which must hold the
  // previous key, as the last call left it). False at the end.
  bool Read(uint8_t& marker, uint8_t* key, size_t& length);

  size_t MemoryBytes() const { return pages_.size() * kHxSortPageBytes; }
  int64_t Entries() const { return entries_; }

 private:
  bool LoadPage(size_t index);
  void SpillPages();

  ThxSortSpill* spill_;
  std::vector<std::unique_ptr<uint8_t[]>> pages_;  // in memory
  std::vector<int64_t> filePages_;                 // offsets in the temporary file
  std::unique_ptr<uint8_t[]> readBuffer_;          // the page being read when spilled
  size_t writePos_ = 0;
  uint8_t previous_[256] = {};
  size_t previousLength_ = 0;
  int64_t entries_ = 0;
  bool closed_ = false;
  bool direct_ = false;
  // reading
  size_t readPage_ = 0;
  size_t readPos_ = 0;
  const uint8_t* current_ = nullptr;
};

class ThxSort {
 public:
  // maximumKeyLength: at most 240 ("Sort key length must be 1-%d bytes, is
  // %d" otherwise). collation: 256 weights through which the bytes of
  // padded character keys are compared, position by position, the bytes
  // themselves deciding between equal weights (only when a pad length is
  // set); may be null.
  ThxSort(int maximumKeyLength, const uint8_t* collation, bool ascending, bool unique);
  virtual ~ThxSort();
  ThxSort(const ThxSort&) = delete;
  ThxSort& operator=(const ThxSort&) = delete;

  // Character keys are padded with blanks to `length` bytes for ordering (and
  // given back without their trailing blanks).
  void SetPadLength(int length) { padLength_ = length; }
  // Bytes of runs kept in memory before they move to the temporary file.
  void SetMemoryBudget(size_t bytes) { memoryBudget_ = bytes; }
  // A smaller trie than the 32 blocks (tests use it to make many runs).
  void SetTrieNodeLimit(uint32_t nodes) { nodeLimit_ = nodes; }

  // Adds a key (character, number, date or raw value) with its record number.
  void AddKey(const ThxVariant& value, uint32_t recno);
  // The same for key bytes already in sort form.
  void AddKeyBytes(uint8_t marker, const uint8_t* bytes, size_t length, uint32_t recno);
  // The next key in order and its record number; false when none is left.
  // The first call ends the accepting of keys.
  bool NextKey(ThxVariant& value, uint32_t& recno);
  // The same without decoding: the marker and the key bytes in sort form
  // (valid until the next call).
  bool NextKeyBytes(uint8_t& marker, const uint8_t*& bytes, size_t& length, uint32_t& recno);

  int MaximumKeyLength() const { return maxKey_; }
  bool Ascending() const { return ascending_; }
  bool Unique() const { return unique_; }
  bool Accepting() const { return accepting_; }
  int64_t KeysAdded() const { return added_; }
  int RunCount() const { return static_cast<int>(runs_.size()); }
  int BlocksInUse() const { return static_cast<int>(blocks_.size()); }
  bool Spilled() const;
  // Most bytes the sort held in memory at once (trie, runs, merge buffers).
  size_t PeakMemory() const { return peakMemory_; }

 private:
  struct Cursor;
  uint32_t NewNode();
  uint8_t* Node(uint32_t index) const;
  void UnpackOne(uint32_t index);
  void BuildFan(uint32_t parent);
  uint16_t& FanSlot(uint32_t node);
  bool SiblingBefore(uint8_t a, uint8_t b, size_t depth) const;
  void AppendChain(uint32_t node, uint8_t marker, const uint8_t* key, size_t pos, size_t length);
  void Insert(uint8_t marker, const uint8_t* key, size_t length);
  void FlushTrie();
  void EmitTrie(ThxPageCollection& run);
  void StartRetrieval();
  void MergeDown();
  int CompareBytes(const uint8_t* a, size_t alength, const uint8_t* b, size_t blength) const;
  bool Before(const Cursor& a, const Cursor& b) const;
  void SiftDown(size_t i);
  void BuildHeap(std::vector<std::unique_ptr<Cursor>>& cursors, const std::vector<ThxPageCollection*>& runs);
  bool Pop(uint8_t& marker, uint8_t*& key, size_t& length);
  uint8_t Weight(uint8_t byte, size_t depth) const;
  void NoteMemory();

  int maxKey_;
  const uint8_t* collation_;
  bool ascending_;
  bool unique_;
  int padLength_ = 0;
  size_t memoryBudget_ = size_t{4} << 20;
  bool accepting_ = true;
  int64_t added_ = 0;

  // trie
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  uint32_t nodesUsed_ = 0;  // node 0 is the null node
  uint32_t rootIndex_[256] = {};
  uint8_t rootOrder_[256] = {};
  bool trieEmpty_ = true;
  uint32_t nodeLimit_ = 0;
  std::vector<std::unique_ptr<std::array<uint32_t, 256>>> fans_;
  std::vector<uint16_t> fanSlots_;  // the table of each node that has one
  size_t fansUsed_ = 0;

  // runs and merge
  std::unique_ptr<ThxSortSpill> spill_;
  std::vector<std::unique_ptr<ThxPageCollection>> runs_;
  std::vector<std::unique_ptr<Cursor>> cursors_;
  std::vector<Cursor*> heap_;
  uint8_t keyBuf_[256] = {};
  uint8_t previous_[256] = {};
  size_t previousLength_ = 0;
  bool havePrevious_ = false;
  size_t peakMemory_ = 0;
  std::vector<uint8_t> encodeBuf_;
};

// Packs a CDX tag from sorted keys: leaves filled from the left with
// compressed keys, interior levels above them, every level linked left to
// right, the last node of the top level the root.
class HXobjSortCDX : public ThxSort {
 public:
  // Sorts ascending with maximum key length = the tag's key length + 1;
  // character keys are ordered as padded to the key length.
  HXobjSortCDX(HXobjCDXTag* tag, const uint8_t* collation, bool unique);
  // Runs Finish when Pack ran and Finish did not (errors are dropped here:
  // call Finish to see them).
  ~HXobjSortCDX() override;

  // Retrieves every key and writes the nodes.
  void Pack();
  // Writes the partly filled node of every level and sets the tag's root.
  void Finish();
  int64_t KeysWritten() const { return written_; }

 private:
  struct Level;
  void WriteLevel(Level& level, int64_t right, bool root);
  void AddToLeaf(const uint8_t* key, size_t length, uint32_t recno);
  void AddToInterior(size_t level, const uint8_t* key, size_t length, uint32_t recno, int64_t child);
  Level& LevelAt(size_t level);
  void CloseNode(size_t level);
  void StartLeaf(Level& l);

  HXobjCDXTag* tag_;
  uint32_t recordCount_;
  int64_t written_ = 0;
  bool packed_ = false;
  bool finished_ = false;
  std::vector<std::unique_ptr<Level>> levels_;
};
