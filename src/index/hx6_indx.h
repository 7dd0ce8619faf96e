// The index model shared by every index file kind: the file and its tags,
// the key as the engine keeps it, the one cached root-to-leaf node path per
// tag, navigation, seeks, key ranges and the maintenance that follows every
// record write.
//
// A file kind is chosen by the extension of the file name (HxOpenIndexFile):
// ".CDX" opens an HXobjCDXFile (hx6_cdx); ".MDX", ".NDX" and ".NTX" open
// the files of hx6_mdx, hx6_ndx and hx6_ntx; every other extension answers
// "File %s could not be found".
//
// Keys. A tag turns the key expression's value into key bytes (EncodeKey):
// character keys are the text, numeric and date keys an 8-byte double made
// sortable byte by byte. Keys compare as unsigned bytes as if padded to the
// key length (character keys with blanks, other keys with zero bytes), so a
// stored key cut before its trailing blanks or zeros equals its padded form.
// Equal keys are kept in record-number order; a character search key that is
// a complete prefix of a stored key counts as equal unless the table asks for
// exact matching (HXO_dBaseDBF::ExactCompare).
//
// Record numbers are 1-based; 0 answers "none" (the end of the walk, a key
// not found).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tables/hx6_cnst.h"
#include "tables/hx6_disk.h"
#include "tables/hx6_tool.h"

class HXO_dBaseFld;
class ThxExpHandler;
class HXobjIndexFile;
class HXobjIndexTag;

// Raised as "Index file %s is corrupted" when a node or header cannot be what
// it claims (short reads, offsets outside the file, loops, impossible counts).
class EKeldorIndexCorrupted : public EKeldorError {
 public:
  using EKeldorError::EKeldorError;
};

// ---- constants ----------------------------------------------------------------

// Key types of a tag.
inline constexpr char hxKeyCharacter = 'C';
inline constexpr char hxKeyNumeric = 'N';
inline constexpr char hxKeyDate = 'D';
// A Visual FoxPro integer key: a key expression naming one I field of a
// version 0x30 table; 4 bytes, big-endian, sign bit flipped.
inline constexpr char hxKeyInteger = 'I';

// The longest key a tag may have.
inline constexpr int kHxMaxKeyLength = 240;

// Node classes of HXobjIndexKey.
inline constexpr int hxNodeInterior = 2;
inline constexpr int hxNodeLeaf = 3;

// Reset modes.
inline constexpr int hxResetFirst = 0;          // go to the first key
inline constexpr int hxResetCurrentRecord = 1;  // follow the table's current record
inline constexpr int hxResetUnpositioned = 2;   // leave the tag unpositioned

// SetRange options (bits). Without options a range holds every key from the
// low bound up to the high bound, both included, and a character bound also
// takes in every key that begins with it (a high bound "SMITH" lets
// "SMITHSON" in).
inline constexpr int hxRangeLowExcluded = 1;   // keys equal to the low bound are outside
inline constexpr int hxRangeHighExcluded = 2;  // keys equal to the high bound are outside
inline constexpr int hxRangeExact = 4;         // bounds match whole keys only, never as prefixes

// Lock offsets of the index lock per lock protocol.
//   Default, FoxLock  1 byte at 0x7FFFFFFD
//   DB4Lock           2 bytes at 0xEFFFFFFE
//   ClipLock          1 byte at 1000000000
// False for protocols 4 and above, which never obtain the index lock.
bool HxIndexLockRange(uint8_t protocol, HxLockRange& range);

// ---- keys and nodes -------------------------------------------------------------

// One key as the engine holds it: the key bytes (kind character or raw) and
// two numbers: the record number, and the record number again in leaf nodes
// or the child node's offset in interior nodes.
class HXobjIndexKeyData : public ThxVariant {
 public:
  HXobjIndexKeyData() = default;

  uint32_t RecNo() const { return recno_; }
  void SetRecNo(uint32_t recno) { recno_ = recno; }
  // Leaf: the record number; interior: the child node's offset.
  uint32_t Link() const { return link_; }
  void SetLink(uint32_t link) { link_ = link; }

  // Copies bytes, kind and both numbers.
  void AssignKey(const HXobjIndexKeyData& from) {
    Assign(from);
    recno_ = from.recno_;
    link_ = from.link_;
  }

 private:
  uint32_t recno_ = 0;
  uint32_t link_ = 0;
};

// One node held in memory: its keys in key order, where it lives, its
// siblings, and its place on the tag's cached path (the parent above it and
// the one child loaded beneath it).
struct HXobjIndexKey {
  explicit HXobjIndexKey(HXobjIndexTag* owner) : tag(owner) {}

  std::vector<HXobjIndexKeyData> keys;
  int64_t offset = -1;  // file offset of the node
  int64_t left = -1;    // left sibling, -1 for none
  int64_t right = -1;   // right sibling, -1 for none
  int nodeClass = hxNodeLeaf;
  int position = -1;  // current entry; keys.size() = past the last; -1 none
  bool dirty = false;
  HXobjIndexKey* parent = nullptr;
  std::unique_ptr<HXobjIndexKey> child;
  HXobjIndexTag* tag;

  bool IsLeaf() const { return nodeClass == hxNodeLeaf; }
  int Count() const { return static_cast<int>(keys.size()); }
};

// ---- the node cache ----------------------------------------------------------------

// Bytes of decoded nodes an index file keeps besides its tags' paths, unless
// the program or the file sets another budget.
inline constexpr size_t kHxNodeCacheBytes = size_t{4} << 20;
// The budget new index files start with (engine-wide; kHxNodeCacheBytes
// unless changed). 0 keeps no node beyond the paths.
void HxSetNodeCacheDefault(size_t bytes);
size_t HxNodeCacheDefault();

// The decoded nodes of one index file that are on no tag's path, by file
// offset. A node moves out of the cache while it is on a path and back when
// the path moves on, so a node is never held twice; the least recently used
// go when the budget is exceeded. Every write through the file forgets the
// nodes it touches. The file empties the cache whenever it can no longer
// trust it: another process changed the file, a tag went, the file was cut.
class HxNodeCache {
 public:
  HxNodeCache();
  ~HxNodeCache();
  HxNodeCache(const HxNodeCache&) = delete;
  HxNodeCache& operator=(const HxNodeCache&) = delete;

  // The node at `offset` as read for `tag`, taken out of the cache; null
  // when it is not there.
  std::unique_ptr<HXobjIndexKey> Take(int64_t offset, const HXobjIndexTag* tag);
  // Keeps a clean node that left a path (its links to other nodes are cut).
  void Put(std::unique_ptr<HXobjIndexKey> node);
  // A node object to read into (an evicted one, its buffers reused).
  std::unique_ptr<HXobjIndexKey> Spare(HXobjIndexTag* tag);
  // Bytes [offset, offset + count) of the file were written.
  void Forget(int64_t offset, size_t count);
  void Clear();
  // Bytes a node takes in the file (the span a write is matched against).
  void SetNodeSize(size_t bytes) { nodeSize_ = bytes; }
  void SetBudget(size_t bytes);
  size_t Budget() const { return budget_; }
  size_t Bytes() const { return bytes_; }
  size_t Count() const { return entries_.size() - idle_; }
  // Nodes found in the cache, and nodes read from the file, since opening.
  uint64_t Hits() const { return hits_; }
  uint64_t Misses() const { return misses_; }
  void CountMiss() { ++misses_; }

 private:
  struct Entry {
    std::unique_ptr<HXobjIndexKey> node;
    size_t bytes = 0;
    Entry* prev = nullptr;  // towards the most recently used
    Entry* next = nullptr;
  };
  void Unlink(Entry& e);
  void Recycle(std::unique_ptr<HXobjIndexKey> node);
  void Erase(std::unordered_map<int64_t, Entry>::iterator it);
  void Trim();
  void SweepIdle();

  // An entry whose node is out on a path is kept empty (idle) until it
  // comes back.
  std::unordered_map<int64_t, Entry> entries_;
  size_t idle_ = 0;
  Entry* newest_ = nullptr;
  Entry* oldest_ = nullptr;
  std::vector<std::unique_ptr<HXobjIndexKey>> spares_;
  size_t budget_;
  size_t bytes_ = 0;
  size_t nodeSize_ = 512;
  uint64_t hits_ = 0;
  uint64_t misses_ = 0;
};

// ---- tags ---------------------------------------------------------------------------

// Base of every tag. Navigation, seeks, ranges and maintenance are written
// here against the virtual node and header operations of the format.
class HXobjIndexTag {
 public:
  HXobjIndexTag(HXobjIndexFile* owner, const std::string& name, int64_t headerOffset);
  virtual ~HXobjIndexTag();
  HXobjIndexTag(const HXobjIndexTag&) = delete;
  HXobjIndexTag& operator=(const HXobjIndexTag&) = delete;

  // ---- virtual operations, in slot order ----
  // Turns a value of the key expression's kind into key bytes (into `key`,
  // record numbers untouched). trim: drop trailing blanks of a character
  // key and trailing zero bytes of a non-negative numeric or date key. A key
  // longer than the key length is cut to it.
  virtual void EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key);
  // Stores the definition and compiles both expressions; a format creates and
  // builds the tag here.
  virtual void Define(const std::string& keyExpression, bool unique, bool ascending,
                      const std::string& forExpression);
  // Adds one encoded key (its record number set). False when a unique tag
  // already holds an equal key (nothing is inserted).
  virtual bool InsertKey(const HXobjIndexKeyData& key);
  virtual int64_t RootOffset();
  // Fills `node` from the node at `offset`; raises "Index file %s is
  // corrupted" when the node cannot be what it claims.
  virtual void ReadNode(int64_t offset, HXobjIndexKey& node);
  // Writes `node` back, splitting it when it does not fit.
  virtual void WriteNode(HXobjIndexKey& node);
  // True when the header was valid.
  virtual bool ReadHeader();
  // Writes the header when dirty; clears dirty.
  virtual void WriteHeader();
  virtual void CompileKey();
  virtual void CompileFor();
  // The key expression's value for the table's current record. False when
  // there is no key expression.
  virtual bool BuildKey(ThxVariant& value);
  // The key expression's value for the current record, or for a blank record
  // when the current one cannot give it: what the key's type and length are
  // taken from.
  void EvaluateKeyType(ThxVariant& value);
  // True when the FOR expression yields logical true; false when there is
  // none or it yields another type.
  virtual bool TestFor();

  // ---- navigation (record number, 0 past either end) ----
  // With a descending tag First and Last, Next and Previous, and the at-top
  // and at-bottom flags trade places.
  int64_t First();
  int64_t Last();
  int64_t Next();
  int64_t Previous();
  // The record of the current key (0 when unpositioned or past an end).
  int64_t Current();
  // The first key equal to `value` (encoded with EncodeKey, trailing blanks
  // dropped unless the text is all blanks); 0 when none is equal, the
  // position then resting on the first greater key (at bottom when none).
  int64_t Seek(const ThxVariant& value);
  // The same for the entry of `recno` among equal keys.
  int64_t SeekRecord(const ThxVariant& value, int64_t recno);
  // Seek on an already encoded key. prefix: a character key that is a
  // complete prefix of a stored key counts as equal. With a record number
  // (non-zero) the search goes on to that record's entry among equal keys.
  int64_t SeekEncoded(const HXobjIndexKeyData& key, bool prefix, int64_t recno = 0);
  // The record whose entry is current when it is `recno`; otherwise finds
  // the entry of `recno` from the key of the table's current record (the
  // table must be positioned on it). Answers the record reached (another one
  // when `recno` is not in the tag).
  int64_t Position(int64_t recno);
  // Sets (or, with both bounds null or empty, clears) a key range; true when
  // it changed. The tag then moves to the first key of the range.
  bool SetRange(const ThxVariant* low, const ThxVariant* high, int options = 0);
  bool HasRange() const { return hasLow_ || hasHigh_; }
  // Drops the path (writing dirty nodes first) and starts again from the
  // root: hxResetUnpositioned, hxResetCurrentRecord (on the table's current
  // record when it lies within the table), otherwise the first key.
  void Reset(int mode);

  // ---- maintenance ----
  // After the table wrote record `recno` (appended or rewritten): inserts,
  // moves or removes the record's entry. True when the tag changed.
  bool UpdateRecord(int64_t recno, bool appended);
  // Removes the current entry; false when there is none.
  bool DeleteCurrent();
  // Writes dirty nodes and the dirty header; the path stays.
  void Flush();
  // Writes dirty nodes and drops the path (the position is remembered in
  // the current key and found again on the next move).
  void ReleasePath();

  // ---- keys ----
  // Three-way comparison of two encoded keys of this tag (padding as
  // described at the top). prefix: `a` counts as equal to `b` when it is a
  // complete prefix of `b` (character keys only).
  int CompareKeys(const ThxVariant& a, const ThxVariant& b, bool prefix = false) const;
  // The same with record numbers deciding between equal keys.
  int CompareEntries(const HXobjIndexKeyData& a, const HXobjIndexKeyData& b) const;
  // BuildKey and EncodeKey (trimmed) for the current record into `key`; false
  // without a key expression.
  bool CurrentRecordKey(HXobjIndexKeyData& key, uint32_t recno);

  // ---- properties ----
  // The table this tag indexes (null when the file was opened without it).
  HXO_dBaseFld* Table() const;
  const std::string& KindText() const { return kindText_; }
  const std::string& Name() const { return name_; }
  const std::string& KeyExpression() const { return keyText_; }
  const std::string& ForExpression() const { return forText_; }
  HXobjIndexFile* Owner() const { return owner_; }
  int64_t HeaderOffset() const { return headerOffset_; }
  bool Unique() const { return unique_; }
  bool Descending() const { return descending_; }
  bool Ascending() const { return !descending_; }
  bool InvertedCompare() const { return inverted_; }
  bool HasFor() const { return hasFor_; }
  char KeyType() const { return keyType_; }
  int KeyLength() const { return keyLength_; }
  const HXobjIndexKeyData& RangeLow() const { return rangeLow_; }
  const HXobjIndexKeyData& RangeHigh() const { return rangeHigh_; }
  int RangeOptions() const { return rangeOptions_; }
  // The key of the current position (empty with record number 0 when none).
  const HXobjIndexKeyData& CurrentKey() const { return currentKey_; }
  bool AtBottom() const { return descending_ ? atTop_ : atBottom_; }
  bool AtTop() const { return descending_ ? atBottom_ : atTop_; }
  bool Changed() const { return changed_; }
  bool Updating() const { return updating_; }
  bool Dirty() const { return dirty_; }
  void SetDirty(bool on) { dirty_ = on; }
  // The root of the cached path; nullptr when none is loaded.
  HXobjIndexKey* NodePath() const { return root_.get(); }
  ThxExpHandler* KeyHandler() const { return keyHandler_.get(); }
  ThxExpHandler* ForHandler() const { return forHandler_.get(); }
  // False when the engine cannot order this tag's keys (a collation whose
  // weights it lacks, a key it cannot build): the tag opens and walks in
  // stored order, but seeks, insertions and rebuilds are refused.
  bool Orderable() const { return orderableReason_.empty(); }
  const std::string& NotOrderableReason() const { return orderableReason_; }
  // Raises the refusal for a tag that is not orderable (naming the tag).
  void RequireOrderable() const;

  // ---- verification hook ----
  // Checks the format's own bookkeeping of the node at `offset` (for CDX
  // leaves: the free-byte count and the bit fields); empty when sound,
  // otherwise the problem in words.
  virtual std::string VerifyNode(int64_t offset);

 protected:
  // ---- path handling for the formats ----
  HXobjIndexKey* LoadRoot();
  // The deepest node of the path (the leaf when fully loaded).
  HXobjIndexKey* PathLeaf() const;
  // Loads the child of `node` at its current position.
  HXobjIndexKey* LoadChild(HXobjIndexKey& node);
  // Writes every dirty node of the path, deepest first; true when a node
  // split (the path is then dropped and found again from the current key).
  bool WritePath();
  // Takes the nodes below `node` off the path (writing dirty ones first);
  // clean ones go to the file's node cache.
  void DropBelow(HXobjIndexKey& node);
  // Drops the whole path without writing (nothing of it is cached).
  void DiscardPath();
  // Moves the whole path, written and clean, to the node cache.
  void CachePath();
  // The format reports a split while writing a node.
  void NoteStructureChanged() { structureChanged_ = true; }
  // A root that must split: a new root above `old` (the current root) takes
  // over its offset with one entry for it; `old` moves to `newOffset`.
  HXobjIndexKey* GrowRoot(HXobjIndexKey& old, int64_t newOffset);
  // Raises "Index file %s is corrupted" for the owner file.
  [[noreturn]] void RaiseCorrupted() const;

  void SetKeyType(char type) { keyType_ = type; }
  void SetKeyLength(int length) { keyLength_ = length; }
  void SetUniqueFlag(bool on) { unique_ = on; }
  void SetDescendingFlag(bool on) { descending_ = on; }
  // Keys stored in descending order: every comparison is turned round.
  void SetInvertedFlag(bool on) { inverted_ = on; }
  void SetExpressions(const std::string& key, const std::string& forText);
  void SetKindText(const std::string& text) { kindText_ = text; }
  void SetRootOffset(int64_t offset) { rootOffset_ = offset; }
  void SetNotOrderable(const std::string& reason) { orderableReason_ = reason; }
  void SetName(const std::string& name) { name_ = name; }
  void SetHeaderOffset(int64_t offset) { headerOffset_ = offset; }
  void SetChanged(bool on) { changed_ = on; }
  // Determines key type and length from the key expression's value for the
  // current record (used by Define and ReadHeader).
  void TypeFromValue(const ThxVariant& value, char& type, int& length);

  int64_t rootOffset_ = 0;

 private:
  // Positioning primitives on ascending stored order.
  int64_t StoredFirst();
  int64_t StoredLast();
  int64_t StoredNext();
  int64_t StoredPrevious();
  // Seek in stored order; on return the leaf's position rests on the first
  // entry not smaller than the key (past the end when none).
  void Descend(const HXobjIndexKeyData& key, bool prefix, bool withRecno, bool upper = false);
  // Descend and, past the end of a leaf, step on to the next one; true when
  // an entry is reached (it becomes the current key).
  bool SeekLeaf(const HXobjIndexKeyData& key, bool prefix, bool withRecno, bool upper = false);
  int64_t AnswerCurrent();
  // Re-finds the remembered position after the path was dropped: 0 nothing
  // to find, 1 on the remembered entry, 2 on its successor (it has gone).
  int Reposition();
  int64_t StepForward();
  int64_t StepBack();
  bool InRange(const HXobjIndexKeyData& key, bool& beyondHigh) const;
  bool BelowLow(const HXobjIndexKeyData& key) const;
  bool AboveHigh(const HXobjIndexKeyData& key) const;
  int64_t RangeFirst();
  int64_t RangeLast();
  // Removes the current leaf entry and fixes the parents.
  void RemoveCurrentEntry();
  // After the last entry of `node` changed, the parent's entry for it takes
  // the new last key, and so upward.
  void PropagateLastKey(HXobjIndexKey& node);
  void ReadOldRecordKey(HXobjIndexKeyData& key, bool& passesFor);
  friend class HXobjCDXTag;

  HXobjIndexFile* owner_;
  std::string kindText_ = "UNK";
  std::string name_;
  std::string keyText_;
  std::string forText_;
  std::unique_ptr<ThxExpHandler> keyHandler_;
  std::unique_ptr<ThxExpHandler> forHandler_;
  int64_t headerOffset_;
  bool unique_ = false;
  bool descending_ = false;
  bool inverted_ = false;
  bool hasFor_ = false;
  char keyType_ = hxKeyCharacter;
  int keyLength_ = 10;
  HXobjIndexKeyData rangeLow_;
  HXobjIndexKeyData rangeHigh_;
  bool hasLow_ = false;
  bool hasHigh_ = false;
  int rangeOptions_ = 0;
  HXobjIndexKeyData currentKey_;
  bool positioned_ = false;  // currentKey_ names a position to find again
  bool atBottom_ = false;
  bool atTop_ = false;
  bool changed_ = false;
  bool updating_ = false;
  bool dirty_ = false;
  bool structureChanged_ = false;
  std::string orderableReason_;
  std::unique_ptr<HXobjIndexKey> root_;
  ThxVariant scratchValue_;
  std::vector<uint8_t> savedRecord_;
};

// ---- files ----------------------------------------------------------------------------

class HXobjIndexFile {
 public:
  // `table` may be null (a file examined without its table). The disk file
  // is made here; the format opens it.
  HXobjIndexFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite);
  virtual ~HXobjIndexFile();
  HXobjIndexFile(const HXobjIndexFile&) = delete;
  HXobjIndexFile& operator=(const HXobjIndexFile&) = delete;

  // ---- virtual operations, in slot order ----
  // Creates (or replaces) a tag and builds it.
  virtual void AddTag(const std::string& name, const std::string& keyExpression, bool unique, bool ascending,
                      const std::string& forExpression);
  // Removes a tag; true when found.
  virtual bool DeleteTag(const std::string& name);
  // Offset of a fresh node (-1 in the base).
  virtual int64_t NewNode();
  // Sets the next free node offset to the file size (-1 in the base).
  virtual int64_t SyncFileEnd();
  // Reads through the disk file, deciphering each 512-byte block when the
  // table is encrypted; true when all bytes were read.
  virtual bool ReadBlock(int64_t offset, void* buffer, size_t count);
  // Enciphers a copy block by block (when the table is encrypted) and writes it.
  virtual void WriteBlock(int64_t offset, const void* buffer, size_t count);
  // Rebuilds every tag.
  virtual void Reindex();
  // Renames the disk file to `newBaseName` keeping its extension.
  virtual void RenameFile(const std::string& newBaseName);
  // UpdateRecord of every tag; true when any tag changed.
  virtual bool UpdateRecord(int64_t recno, bool appended);
  // True when another process changed the file since we last looked.
  virtual bool ChangedByOthers();
  virtual void SetLockProtocol(uint8_t protocol);
  // Re-enciphers every whole block: deciphered with the table's reading
  // password, enciphered with its writing password.
  virtual void Recrypt();
  // The same from one password to another (empty: plain).
  void Recrypt(const std::string& oldPassword, const std::string& newPassword);

  // ---- tags ----
  // The first tag whose name equals `name` without regard to case (trailing
  // blanks ignored); nullptr when none.
  HXobjIndexTag* TagByName(std::string_view name) const;
  int TagCount() const { return tags_.Count(); }
  // Tag at `index` (0-based, file order); nullptr out of range.
  HXobjIndexTag* Tags(int index) const { return tags_.Items(index); }
  ThxCollection<HXobjIndexTag>& TagList() { return tags_; }

  // ---- the index lock ----
  // Locks the file at its protocol's index lock offset, retrying under the
  // engine's lock wait; raises "Can not Lock file %s" when the wait runs
  // out. Files not opened for sharing take no lock and succeed. Counted:
  // every successful call needs one UnlockIndex.
  void LockIndex();
  // The same, answering false instead of raising when the wait runs out.
  bool TryLockIndex();
  void UnlockIndex();
  int LockLevel() const { return lockLevel_; }

  // Writes every tag's dirty nodes and header, then flushes the disk file.
  virtual void Flush();

  // ---- the node cache ----
  HxNodeCache& NodeCache() { return nodeCache_; }
  void SetNodeCacheBudget(size_t bytes) { nodeCache_.SetBudget(bytes); }
  // Forgets every cached node (the file changed under us, a tag went).
  void DropNodeCache() { nodeCache_.Clear(); }
  // Drops every tag's path (writing dirty nodes first).
  void ReleasePaths();

  // ---- properties ----
  // The file name without folder.
  std::string FileName() const;
  // The full name of the disk file.
  const std::string& FullName() const;
  HXO_dBaseFld* Table() const { return table_; }
  HXO_DiskFile& DiskFile() { return *disk_; }
  const HXO_DiskFile& DiskFile() const { return *disk_; }
  bool KeysByRecordNumber() const { return keysByRecno_; }
  int64_t NextFreeNode() const { return nextFree_; }
  uint8_t LockProtocol() const { return lockProtocol_; }
  bool Corrupted() const { return corrupted_; }
  bool IsOpen() const { return open_; }

  [[noreturn]] void RaiseCorrupted() const;

 protected:
  void SetCorrupted(bool on) { corrupted_ = on; }
  void SetOpen(bool on) { open_ = on; }
  void SetNextFree(int64_t offset) { nextFree_ = offset; }
  void SetKeysByRecordNumber(bool on) { keysByRecno_ = on; }
  // Hook for the formats after the index lock was obtained (first level).
  // The base forgets the file's end of a shared file, which another
  // process may have moved.
  virtual void AfterLock();

  // Declared before the tags, which hand their nodes back while they go.
  HxNodeCache nodeCache_;
  std::unique_ptr<HXO_DiskFile> disk_;
  ThxCollection<HXobjIndexTag> tags_;

 private:
  HXO_dBaseFld* table_;
  bool keysByRecno_ = false;
  int64_t nextFree_ = -1;
  uint8_t lockProtocol_ = 0;
  int lockLevel_ = 0;
  bool corrupted_ = false;
  bool open_ = false;
  std::vector<uint8_t> cipher_;
};

// ---- reading a table for the index ---------------------------------------------------

// Reads the records of a table straight from its file in chunks (deleted
// records included, enciphered ones deciphered), bypassing any navigation,
// and makes each in turn the table's current record (record buffer and
// number). The table's own buffer and record number come back when the scan
// ends.
class HxRecordScan {
 public:
  explicit HxRecordScan(HXO_dBaseFld& table);
  ~HxRecordScan();
  HxRecordScan(const HxRecordScan&) = delete;
  HxRecordScan& operator=(const HxRecordScan&) = delete;

  // Moves to the next record; false after the last one.
  bool Next();
  int64_t RecNo() const { return recno_; }
  int64_t Count() const { return count_; }
  const uint8_t* Record() const { return current_; }

 private:
  HXO_dBaseFld& table_;
  uint8_t* savedBuffer_;
  int64_t savedRecno_;
  int64_t count_;
  int64_t recno_ = 0;
  int64_t chunkFirst_ = 1;  // record number of the chunk's first record
  int64_t chunkRecords_ = 0;
  int64_t perChunk_;
  std::vector<uint8_t> chunk_;
  uint8_t* current_ = nullptr;
};

// ---- opening by extension ------------------------------------------------------------

// Opens the index file `fileName` of `table` with the table's share and
// access modes and lock protocol. A name without folder is looked for in the
// table's folder. The extension chooses the kind, without regard to case:
// ".CDX" opens (or, when missing and writable, creates) a compound index;
// ".MDX", ".NDX" and ".NTX" open an existing file of that kind; any other
// extension raises "File %s could not be found", as does a missing file or
// one that cannot be opened; a file whose tag headers
// fail their checks raises "Index file %s is corrupted" (the name as given).
std::unique_ptr<HXobjIndexFile> HxOpenIndexFile(HXO_dBaseFld* table, const std::string& fileName);
// The same with explicit modes (`table` may be null: the file is examined
// without its table; keys then cannot be built).
std::unique_ptr<HXobjIndexFile> HxOpenIndexFile(HXO_dBaseFld* table, const std::string& fileName, bool shared,
                                                bool readWrite, uint8_t lockProtocol);

// ---- verification ---------------------------------------------------------------------

// What HxCheckIndexFile found. Each problem is one line of text naming the
// tag and the node or record concerned.
struct HxIndexCheckReport {
  struct TagSummary {
    std::string name;
    int64_t keys = 0;
    int64_t leaves = 0;
    int64_t interiorNodes = 0;
    int depth = 0;
    bool recordsChecked = false;  // the table's records were compared with the tag
    // Unique tags: key values of the records that no entry holds (the record
    // that held one changed and others with the value stay out, as unique
    // tags do); not a fault.
    int64_t uniqueValuesNotIndexed = 0;
  };
  std::vector<TagSummary> tags;
  std::vector<std::string> problems;
  bool Ok() const { return problems.empty(); }
};

// Verifies every tag of an open index file: keys in the engine's order
// (equal keys by record number), sibling links agreeing both ways on every
// level, the format's per-node bookkeeping (free bytes of CDX leaves), and,
// when the file has its table, every record of the table present exactly
// once in each tag whose FOR condition it passes (unique tags: each key value
// at most once, held by a record with that value) and no entry for any other
// record. Never raises for what it finds;
// stops a tag's walk at the first node it cannot read. `progress`, when set,
// is called with (tag index, records or nodes done, total).
HxIndexCheckReport HxCheckIndexFile(HXobjIndexFile& file,
                                    const std::function<void(int, int64_t, int64_t)>& progress = {});
