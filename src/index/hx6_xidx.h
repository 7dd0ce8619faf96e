// What the NDX, NTX and MDX index files share: keys stored whole in every
// node, one entry layout for leaves and interior nodes, no sibling links, and
// an interior node whose last entry is a child pointer without a key.
//
// In memory every node is held the way the index model wants it: an interior
// entry carries the last key of its child's subtree, and the keyless last
// entry takes the key its node stands for in its own parent (the highest
// possible key on the tree's right edge). Files whose interior keys are
// entries of their own (NTX: a key in an interior page is a record's key and
// is not repeated in a leaf) are mapped onto that picture: the separator a
// leaf stands beneath is appended to the leaf when it is read and left out
// again when it is written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "index/hx6_indx.h"
#include "index/hx6_sort.h"

class HXobjPlainFile;

// One page as the format stores it: the keyed items (leaf: key and record
// number; interior: key, record number where the format keeps one, child
// offset in Link) and, for an interior page, the child after the last key.
struct HxPlainPage {
  std::vector<HXobjIndexKeyData> items;
  bool leaf = true;
  int64_t lastChild = 0;
};

class HXobjPlainTag : public HXobjIndexTag {
 public:
  HXobjPlainTag(HXobjPlainFile* owner, const std::string& name, int64_t headerOffset);
  ~HXobjPlainTag() override;

  void ReadNode(int64_t offset, HXobjIndexKey& node) override;
  void WriteNode(HXobjIndexKey& node) override;
  int64_t RootOffset() override { return rootOffset_; }
  std::string VerifyNode(int64_t offset) override;

  // ---- the format ----
  virtual int NodeSize() const = 0;
  // Keys a page holds at most.
  virtual int MaxKeys() const = 0;
  // True when interior keys are entries of their own (not repeated in leaves).
  virtual bool SeparatorsOwnKeys() const { return false; }
  // Page image <-> items. Decode raises "corrupted" for what cannot be.
  virtual void DecodePage(const uint8_t* page, HxPlainPage& out) = 0;
  virtual void EncodePage(const HxPlainPage& in, uint8_t* page) = 0;

  // True when the tag keeps its keys in descending order on disk.
  bool StoredDescending() const { return storedDescending_; }
  // The key given to a keyless last entry on the tree's right edge.
  void ExtremeKey(HXobjIndexKeyData& key) const;
  // Sets the root (the build's last step).
  void SetRoot(int64_t offset) {
    SetRootOffset(offset);
    SetDirty(true);
  }
  // Writes an empty root leaf at a new node.
  void MakeEmptyRoot();
  // Rebuilds the tag from the table: records first to last, the FOR
  // condition where the format has one, keys through the format's sort.
  void Build();
  // Writes one page at `offset`.
  void WritePage(int64_t offset, const HxPlainPage& page);
  HXobjPlainFile* PlainFile() const { return file_; }
  // A page offset that may be read: whole inside the file, past the header,
  // on the format's grid.
  bool ValidPageOffset(int64_t offset) const;

 protected:
  void SetStoredDescending(bool on);
  // The sort that builds this tag (the format's subclass).
  virtual std::unique_ptr<class HXobjSortPlain> MakeSort() = 0;

 private:
  // The key the parent's entries say `offset` stands beneath when the node
  // sits last in its parent; nullptr on the tree's right edge.
  const HXobjIndexKeyData* Carried(const HXobjIndexKey* parent, int64_t offset) const;
  void WriteSplit(HXobjIndexKey& node);
  void ImageOf(const HXobjIndexKey& node, int from, int to, bool dropLast, HxPlainPage& page) const;

  HXobjPlainFile* file_;
  bool storedDescending_ = false;
  std::vector<uint8_t> page_;
  // Interior pages of files with keyed separators: the children that had a
  // key of their own in the page as last read or written.
  std::unordered_map<int64_t, std::unordered_set<int64_t>> keyedChildren_;
};

// Base of the three file kinds: page allocation at the file's end and the
// grid pages lie on.
class HXobjPlainFile : public HXobjIndexFile {
 public:
  HXobjPlainFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite);

  int64_t NewNode() override;
  int64_t SyncFileEnd() override;
  bool UpdateRecord(int64_t recno, bool appended) override;
  // Offsets of pages are multiples of this.
  virtual int PageGrid() const = 0;
  // Bytes before the first page.
  virtual int HeaderBytes() const = 0;
  virtual int PageSize() const = 0;
  // Called after the tags changed pages (header bookkeeping).
  virtual void AfterChange() {}
  int64_t KnownSize();

 protected:
  // For the destructors of the file kinds: writes what is pending (their
  // overrides still stand there) and lets the tags go. Never throws.
  void CloseQuietly() noexcept;
  // The one tag of an NDX or NTX file is named after the file.
  std::string TagNameFromFile() const;
  // For a file of one tag: drops the tag and every page, so the file is
  // empty and its first page follows the header.
  void StartOver();
  // For a file of one tag: rebuilds it from the table after the header.
  void ReindexOneTag();
  int64_t knownSize_ = 0;
};

// Builds a tag of one of these formats bottom-up from sorted keys: leaves
// filled from the left, interior levels above them, the last node of the
// top level the root.
class HXobjSortPlain : public ThxSort {
 public:
  explicit HXobjSortPlain(HXobjPlainTag* tag);
  ~HXobjSortPlain() override;
  // Adds the (encoded) key of `recno`.
  void Add(const HXobjIndexKeyData& key, uint32_t recno);
  // Retrieves every key and writes the nodes; the tag gets its root.
  void Pack();
  int64_t KeysWritten() const { return written_; }

 private:
  void Push(size_t level, HXobjIndexKeyData&& entry);
  void Close(size_t level, bool last);
  void Emit(size_t level, std::vector<HXobjIndexKeyData>&& keys, bool last);

  HXobjPlainTag* tag_;
  bool inverted_;
  int64_t written_ = 0;
  std::vector<std::vector<HXobjIndexKeyData>> levels_;
  std::vector<std::vector<HXobjIndexKeyData>> pending_;
};

// Opens `fileName` for `table` by its extension, or, when it is missing,
// creates an empty file of that kind (CDX and MDX files then take tags with
// AddTag; an NDX or NTX file takes its one tag with AddTag).
std::unique_ptr<HXobjIndexFile> HxCreateIndexFile(HXO_dBaseFld* table, const std::string& fileName);

// Writes a number into `out` (`width` bytes) right-aligned with `decimals`;
// false when it does not fit.
bool HxFormatNumber(double value, int width, int decimals, std::string& out);

// Verifies every tag of an NDX, NTX or MDX file: every page readable and
// reached once, leaves all at one depth, keys in the engine's order (equal
// keys by record number), and, when the file has its table, every record
// that passes the FOR condition present exactly once (unique tags: each key
// value once) and no entry for any other record. Never raises for what it finds.
HxIndexCheckReport HxCheckPlainIndexFile(HXobjPlainFile& file);
