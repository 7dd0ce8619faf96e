// File scanning with wildcard masks and attribute filters.
//
// TZarvoFileScan turns file masks (folder\mask, or a bare mask taken
// from RootDir) into the files and folders that match them, filtered by their
// DOS attributes and optionally descending into sub-folders. Matches go to a
// per-file callback: by default the scanner's own sortable result list; the
// compress run installs its merge step instead.
//
// Masks (TInternalMask): "*" any run of characters, "?" exactly one, every
// other character itself with ASCII letter case ignored. There are no
// character classes. A "?" that directly follows a "*" is dropped, so "*?"
// matches what "*" matches (the empty remainder included). A mask ending in
// "." matches a name without any "." as if the name ended in ".": "*." finds
// the names without an extension.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "framework/classes.h"
#include "platform/file.h"

// ---- attribute sets ----

enum TZarvoFileAttr : uint8_t {
  fsZeroAttr,
  fsReadOnly,
  fsHidden,
  fsSysFile,
  fsVolumeID,
  fsDirectory,
  fsArchive,
  fsCompressed,
  fsEncrypted
};

class TZarvoFileAttrs {
 public:
  constexpr TZarvoFileAttrs() = default;
  constexpr TZarvoFileAttrs(std::initializer_list<TZarvoFileAttr> items) {
    for (TZarvoFileAttr a : items) bits_ |= Bit(a);
  }

  constexpr bool contains(TZarvoFileAttr a) const { return (bits_ & Bit(a)) != 0; }
  constexpr void insert(TZarvoFileAttr a) { bits_ |= Bit(a); }
  constexpr void erase(TZarvoFileAttr a) { bits_ &= static_cast<uint16_t>(~Bit(a)); }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr void clear() { bits_ = 0; }

  // One bit per element, element n at bit n (for storing the set).
  constexpr uint16_t Bits() const { return bits_; }
  static constexpr TZarvoFileAttrs FromBits(uint16_t bits) {
    TZarvoFileAttrs s;
    s.bits_ = bits & 0x1FF;
    return s;
  }

  friend constexpr bool operator==(TZarvoFileAttrs a, TZarvoFileAttrs b) { return a.bits_ == b.bits_; }
  friend constexpr TZarvoFileAttrs operator+(TZarvoFileAttrs a, TZarvoFileAttrs b) {
    return FromBits(a.bits_ | b.bits_);
  }
  friend constexpr TZarvoFileAttrs operator-(TZarvoFileAttrs a, TZarvoFileAttrs b) {
    return FromBits(a.bits_ & static_cast<uint16_t>(~b.bits_));
  }

 private:
  static constexpr uint16_t Bit(TZarvoFileAttr a) { return static_cast<uint16_t>(1u << a); }
  uint16_t bits_ = 0;
};

// Not content-indexed: an entry carrying it is always wanted.
inline constexpr uint32_t kAttrNotContentIndexed = 0x2000;

// True when the attribute value satisfies the set: any member finds its bit
// (fsZeroAttr: the value is 0 or exactly 0x80). fsVolumeID is never tested.
bool AttributesSatisfy(TZarvoFileAttrs set, uint32_t attributes);
// The scanner's filter: wanted (or not content-indexed) and not unwanted.
bool AttributesAdmit(TZarvoFileAttrs wanted, TZarvoFileAttrs unwanted, uint32_t attributes);

// ---- masks ----

class TInternalMask {
 public:
  TInternalMask() { Compile(""); }
  explicit TInternalMask(std::string_view pattern) { Compile(pattern); }

  void Compile(std::string_view pattern);
  bool Matches(std::string_view name) const;
  const std::string& Pattern() const { return pattern_; }
  // True when every name this mask accepts is accepted by `wider` as well.
  // Errs on the side of "no": a false answer only costs a redundant mask.
  bool CoveredBy(const TInternalMask& wider) const;

 private:
  enum class Kind : uint8_t { Literal, AnyOne, End };
  struct Item {
    Kind kind;
    bool star;  // may be preceded by any run of characters
    char ch;    // Literal: the character, folded to upper case
  };
  std::vector<int> Symbols() const;
  bool MatchItems(std::string_view name) const;

  std::vector<Item> items_;
  bool trailingDot_ = false;
  std::string pattern_;
};

// One-off match of a name against a pattern.
bool MaskMatches(std::string_view pattern, std::string_view name);

// A mask string of the RootDir mode: masks separated by ","; blanks before a
// mask are dropped, blanks inside it stay. Empty masks are left out.
std::vector<std::string> SplitMaskString(std::string_view masks);

// A mask of a scan group.
struct TMultiMask {
  explicit TMultiMask(const std::string& pattern) : mask(pattern) {}
  TInternalMask mask;
};
using TMultiMasks = std::vector<TMultiMask>;

// The masks of one scan group. Plain names (no wildcard, no trailing dot) are
// kept in a set, so a group of many individually named files costs one
// lookup per name; the other masks are tried in turn.
class TScanGroup {
 public:
  // Adds a mask unless one of the group covers it; a mask that covers
  // members of the group takes their place.
  void Add(const std::string& pattern);
  bool Matches(std::string_view name) const;
  // Every mask of the group (plain names in no particular order).
  std::vector<std::string> Patterns() const;

 private:
  TMultiMasks masks_;
  std::unordered_set<std::string> names_;  // ASCII upper case
};

// ---- result list ----

enum TfsScanOptions { soScanDir, soScanDrvs };
enum TZarvoSortOptions { soUnsort, soByName, soByType, soBySize, soByTime };

struct TFileObject {
  std::string name;    // empty for a folder
  std::string folder;  // ends in "\"; for a folder, the folder itself
  uint32_t sizeLow = 0;
  uint32_t sizeHigh = 0;
  uint32_t attributes = 0;
  uint32_t dosDateTime = 0;  // last write, local time
  uint64_t discovery = 0;    // position in the order of discovery

  uint64_t Size() const { return (static_cast<uint64_t>(sizeHigh) << 32) | sizeLow; }
  std::string FullPath() const { return folder + name; }
};

// An owning list of file objects.
class TBaseFileList {
 public:
  int Count() const { return static_cast<int>(items_.size()); }
  const TFileObject& Items(int index) const { return *items_.at(static_cast<size_t>(index)); }
  const TFileObject& operator[](int index) const { return Items(index); }
  void Add(std::unique_ptr<TFileObject> item) { items_.push_back(std::move(item)); }
  void Insert(int index, std::unique_ptr<TFileObject> item);
  void Delete(int index);
  void Clear() { items_.clear(); }

 protected:
  std::vector<std::unique_ptr<TFileObject>> items_;
};

class TFilesList : public TBaseFileList {
 public:
  // Negative, zero or positive as `a` sorts before, with or after `b`.
  static int Compare(TZarvoSortOptions order, const TFileObject& a, const TFileObject& b);
  // Inserts after the items that sort equal (binary search); appends under soUnsort.
  void AddSorted(std::unique_ptr<TFileObject> item, TZarvoSortOptions order);
  // Stable: equal items keep the order of discovery; soUnsort restores it.
  void Sort(TZarvoSortOptions order);
};

// ---- the scanner ----

class TZarvoFileScan;
using TOnScanFileEvent =
    std::function<void(TComponent* sender, const std::string& fileName, int filesCount, int64_t filesSize)>;
using TOnRecurseDir = std::function<void(TComponent* sender, const std::string& directory)>;
using TOnRootDirChange = std::function<void(TComponent* sender, const std::string& dir)>;
using TOnFinishedEvent = std::function<void(TComponent* sender, int filesCount, int64_t filesSize)>;
// Called per admitted entry: for a file, its folder (ending in "\") and its
// find record; for a folder, the folder's own path (ending in "\") and its
// find record.
using TScanFileCallback = std::function<void(const std::string& folder, const platform::FileInfo& found)>;

class TZarvoFileScan : public TComponent {
 public:
  explicit TZarvoFileScan(TComponent* owner = nullptr);
  ~TZarvoFileScan() override;

  // Assigning or changing FileSpec switches the scanner to FileSpec
  // mode and clears the mask string. The scan consumes the scanner's own copy.
  TStrings& FileSpec() { return *fileSpec_; }
  const TStrings& FileSpec() const { return *fileSpec_; }
  void SetFileSpec(const TStrings& value);
  bool FileSpecMode() const { return fileSpecMode_; }

  TZarvoFileAttrs Attributes() const { return attributes_; }
  void SetAttributes(TZarvoFileAttrs v) { attributes_ = v; }
  TZarvoFileAttrs AttributesEx() const { return attributesEx_; }
  void SetAttributesEx(TZarvoFileAttrs v) { attributesEx_ = v; }
  bool RecurseDirs() const { return recurseDirs_; }
  void SetRecurseDirs(bool v) { recurseDirs_ = v; }
  bool IncludeHiddenDirs() const { return includeHiddenDirs_; }
  void SetIncludeHiddenDirs(bool v) { includeHiddenDirs_ = v; }
  const std::string& RootDir() const { return rootDir_; }
  void SetRootDir(const std::string& v);  // a trailing "\" is added
  TfsScanOptions ScanOptions() const { return scanOptions_; }
  void SetScanOptions(TfsScanOptions v) { scanOptions_ = v; }
  TZarvoSortOptions Sorted() const { return sorted_; }
  // Re-sorts the result list; OnFinished fires when it is not empty.
  void SetSorted(TZarvoSortOptions v);
  bool UpdateList() const { return updateList_; }
  void SetUpdateList(bool v) { updateList_ = v; }

  // The masks of the RootDir mode, separated by ","; "*" after construction.
  // Setting it leaves FileSpec mode (the FileSpec copy is emptied).
  const std::string& Mask() const { return mask_; }
  void SetMask(const std::string& v);

  // After each matching file: its name (no folder), the running count and size.
  TOnScanFileEvent OnScanFile;
  // On entering each folder (ending in "\").
  TOnRecurseDir OnRecurseDir;
  // Before each group of FileSpec lines, with the group's folder (ending in "\").
  TOnRootDirChange OnRootDirChange;
  // After the whole scan, and after a re-sort of a non-empty list.
  TOnFinishedEvent OnFinished;

  // Clears the result list, the count, the size and the cancel flag, scans,
  // then fires OnFinished. A Scan started from an event of a running scan is
  // ignored.
  void Scan();
  // Stops the scan at the next folder entry.
  void Cancel() { cancelled_ = true; }
  bool Cancelled() const { return cancelled_ || (externalCancel_ && *externalCancel_); }
  // A flag of the owner that cancels the scan as well (read only; may be null).
  void SetCancelFlag(const bool* flag) { externalCancel_ = flag; }

  int FilesCount() const { return filesCount_; }
  int64_t FilesSize() const { return filesSize_; }
  const TFilesList& FilesList() const { return files_; }

  // Replaces the per-file callback (nullptr: matches are only counted);
  // ResetFileCallback restores the one that fills the result list.
  void SetFileCallback(TScanFileCallback callback) { callback_ = std::move(callback); }
  void ResetFileCallback();

  bool Admits(uint32_t attributes) const { return AttributesAdmit(attributes_, attributesEx_, attributes); }

 private:
  struct Pending {
    std::string line;    // as given
    std::string folder;  // resolved, ending in "\"
    std::string file;    // the mask
  };
  void ScanFileSpecs();
  void ScanRootDir();
  void ScanTarget(const std::string& folder, const TScanGroup& masks);
  // `identity`: the folder's host identity when already known.
  void ScanFolder(const std::string& folder, const std::string& identity, const TScanGroup& masks,
                  std::vector<std::string>& ancestors);
  void AddToList(const std::string& folder, const platform::FileInfo& found);
  std::string ResolveFolder(const std::string& folderPart) const;
  void SetFileSpecSilently(const std::vector<Pending>& remaining);

  std::unique_ptr<TStringList> fileSpec_;
  bool fileSpecMode_ = false;
  bool quietSpec_ = false;  // our own edits of fileSpec_ do not switch modes
  TZarvoFileAttrs attributes_{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  TZarvoFileAttrs attributesEx_{};
  bool recurseDirs_ = true;
  bool includeHiddenDirs_ = false;
  std::string rootDir_ = "c:\\";
  TfsScanOptions scanOptions_ = soScanDir;
  TZarvoSortOptions sorted_ = soUnsort;
  bool updateList_ = true;
  std::string mask_ = "*";

  bool cancelled_ = false;
  const bool* externalCancel_ = nullptr;
  bool scanning_ = false;
  int filesCount_ = 0;
  int64_t filesSize_ = 0;
  uint64_t discovered_ = 0;
  TFilesList files_;
  TScanFileCallback callback_;
};
