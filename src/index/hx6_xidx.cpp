// The node handling NDX, NTX and MDX files share: pages read into the index
// model's nodes and written back with splits, and the bottom-up build.
#include "index/hx6_xidx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "index/hx6_cdx.h"
#include "index/hx6_mdx.h"
#include "index/hx6_ndx.h"
#include "index/hx6_ntx.h"
#include "tables/hx6_dbf.h"

// ---- HXobjPlainTag --------------------------------------------------------------------

HXobjPlainTag::HXobjPlainTag(HXobjPlainFile* owner, const std::string& name, int64_t headerOffset)
    : HXobjIndexTag(owner, name, headerOffset), file_(owner) {}

HXobjPlainTag::~HXobjPlainTag() {
  // The base destructor can no longer reach this format's WriteNode.
  try {
    WritePath();
  } catch (...) {
  }
  DiscardPath();
}

void HXobjPlainTag::SetStoredDescending(bool on) {
  storedDescending_ = on;
  SetInvertedFlag(on);
}

void HXobjPlainTag::ExtremeKey(HXobjIndexKeyData& key) const {
  // The highest key in the stored order: above every text or number, or,
  // for keys stored descending, below them.
  if (KeyType() == hxKeyCharacter) {
    if (storedDescending_)
      key.SetString("");
    else
      key.SetString("\xFF");
    return;
  }
  uint8_t b[8];
  std::memset(b, storedDescending_ ? 0x00 : 0xFF, sizeof b);
  key.SetRaw(b, sizeof b);
}

bool HXobjPlainTag::ValidPageOffset(int64_t offset) const {
  const int grid = file_->PageGrid();
  if (offset < file_->HeaderBytes() || offset % grid != 0) return false;
  return offset + NodeSize() <= file_->KnownSize();
}

const HXobjIndexKeyData* HXobjPlainTag::Carried(const HXobjIndexKey* parent, int64_t offset) const {
  for (int depth = 0; parent && depth < 64; ++depth) {
    int at = -1;
    if (parent->position >= 0 && parent->position < parent->Count() &&
        parent->keys[static_cast<size_t>(parent->position)].Link() == static_cast<uint32_t>(offset))
      at = parent->position;
    for (int i = 0; at < 0 && i < parent->Count(); ++i)
      if (parent->keys[static_cast<size_t>(i)].Link() == static_cast<uint32_t>(offset)) at = i;
    if (at < 0) return nullptr;
    if (at < parent->Count() - 1) return &parent->keys[static_cast<size_t>(at)];
    offset = parent->offset;
    parent = parent->parent;
  }
  return nullptr;
}

void HXobjPlainTag::ReadNode(int64_t offset, HXobjIndexKey& node) {
  if (!ValidPageOffset(offset)) RaiseCorrupted();
  page_.assign(static_cast<size_t>(NodeSize()), 0);
  if (!file_->ReadBlock(offset, page_.data(), page_.size())) RaiseCorrupted();
  HxPlainPage image;
  DecodePage(page_.data(), image);
  if (static_cast<int>(image.items.size()) > MaxKeys()) RaiseCorrupted();
  const HXobjIndexKeyData* carried = Carried(node.parent, offset);
  node.offset = offset;
  node.left = node.right = -1;
  node.position = -1;
  node.dirty = false;
  node.keys = std::move(image.items);
  if (image.leaf) {
    node.nodeClass = hxNodeLeaf;
    for (auto& k : node.keys) k.SetLink(k.RecNo());
    if (SeparatorsOwnKeys() && carried) {
      HXobjIndexKeyData k;
      k.AssignKey(*carried);
      k.SetLink(k.RecNo());
      node.keys.push_back(std::move(k));
    }
    return;
  }
  node.nodeClass = hxNodeInterior;
  auto& keyed = keyedChildren_[offset];
  keyed.clear();
  for (auto& k : node.keys) {
    if (!ValidPageOffset(k.Link()) || static_cast<int64_t>(k.Link()) == offset) {
      node.offset = -1;
      RaiseCorrupted();
    }
    keyed.insert(k.Link());
  }
  if (!ValidPageOffset(image.lastChild) || image.lastChild == offset) {
    node.offset = -1;
    RaiseCorrupted();
  }
  HXobjIndexKeyData last;
  if (carried) {
    last.AssignKey(*carried);
  } else {
    ExtremeKey(last);
    last.SetRecNo(0xFFFFFFFF);
  }
  last.SetLink(static_cast<uint32_t>(image.lastChild));
  node.keys.push_back(std::move(last));
}

void HXobjPlainTag::ImageOf(const HXobjIndexKey& node, int from, int to, bool dropLast,
                            HxPlainPage& page) const {
  page.items.clear();
  page.leaf = node.IsLeaf();
  page.lastChild = 0;
  if (page.leaf) {
    const int end = dropLast ? to - 1 : to;
    for (int i = from; i < end; ++i) page.items.push_back(node.keys[static_cast<size_t>(i)]);
    return;
  }
  for (int i = from; i < to - 1; ++i) page.items.push_back(node.keys[static_cast<size_t>(i)]);
  if (to > from) page.lastChild = node.keys[static_cast<size_t>(to - 1)].Link();
}

void HXobjPlainTag::WritePage(int64_t offset, const HxPlainPage& page) {
  page_.assign(static_cast<size_t>(NodeSize()), 0);
  EncodePage(page, page_.data());
  file_->WriteBlock(offset, page_.data(), page_.size());
  if (!page.leaf && SeparatorsOwnKeys()) {
    auto& keyed = keyedChildren_[offset];
    keyed.clear();
    for (const auto& k : page.items) keyed.insert(k.Link());
  }
}

void HXobjPlainTag::WriteSplit(HXobjIndexKey& node) {
  // The first (count - count / 2) entries move to a new node on the left;
  // the parent gets an entry for it in front of this node's entry.
  if (!node.parent) GrowRoot(node, file_->NewNode());
  const int k = node.Count() - node.Count() / 2;
  const int64_t leftOffset = file_->NewNode();
  HxPlainPage image;
  // The left part always sits in front of an entry of the parent: its last
  // key is that entry's key.
  ImageOf(node, 0, k, SeparatorsOwnKeys(), image);
  WritePage(leftOffset, image);
  HXobjIndexKey& p = *node.parent;
  HXobjIndexKeyData entry;
  entry.AssignKey(node.keys[static_cast<size_t>(k - 1)]);
  entry.SetLink(static_cast<uint32_t>(leftOffset));
  int at = -1;
  for (int i = 0; i < p.Count(); ++i)
    if (p.keys[static_cast<size_t>(i)].Link() == static_cast<uint32_t>(node.offset)) at = i;
  if (at < 0) RaiseCorrupted();
  p.keys.insert(p.keys.begin() + at, std::move(entry));
  if (p.position >= at) ++p.position;
  p.dirty = true;
  node.keys.erase(node.keys.begin(), node.keys.begin() + k);
  node.position = std::max(node.position - k, -1);
  NoteStructureChanged();
}

void HXobjPlainTag::WriteNode(HXobjIndexKey& node) {
  if (node.Count() == 0 && node.parent) {
    // An emptied node has left the tree (its parent dropped the entry); its
    // page is not reused.
    node.dirty = false;
    NoteStructureChanged();
    return;
  }
  const bool own = SeparatorsOwnKeys();
  for (;;) {
    const bool carried = own && Carried(node.parent, node.offset) != nullptr;
    const int stored = node.IsLeaf() ? node.Count() - (carried ? 1 : 0) : node.Count() - 1;
    if (stored <= MaxKeys() || node.Count() < 2) break;
    WriteSplit(node);
  }
  HxPlainPage image;
  const bool carried = own && node.IsLeaf() && Carried(node.parent, node.offset) != nullptr;
  ImageOf(node, 0, node.Count(), carried, image);
  if (own && !node.IsLeaf() && !Carried(node.parent, node.offset) && node.Count() > 0) {
    // On the right edge the last entry's key is stored nowhere below: when
    // that entry had a key of its own here before (the entry after it went),
    // the key stays a separator and an empty page becomes the last child.
    const auto it = keyedChildren_.find(node.offset);
    const int64_t lastChild = node.keys.back().Link();
    if (it != keyedChildren_.end() && it->second.count(lastChild) && node.keys.back().RecNo() != 0xFFFFFFFF) {
      const int64_t fresh = file_->NewNode();
      HxPlainPage empty;
      WritePage(fresh, empty);
      HXobjIndexKeyData last;
      ExtremeKey(last);
      last.SetRecNo(0xFFFFFFFF);
      last.SetLink(static_cast<uint32_t>(fresh));
      node.keys.push_back(std::move(last));
      NoteStructureChanged();
      ImageOf(node, 0, node.Count(), false, image);
      if (static_cast<int>(image.items.size()) > MaxKeys()) {
        WriteNode(node);
        return;
      }
    }
  }
  WritePage(node.offset, image);
  node.dirty = false;
}

std::string HXobjPlainTag::VerifyNode(int64_t) { return std::string(); }

void HXobjPlainTag::MakeEmptyRoot() {
  const int64_t offset = file_->NewNode();
  HxPlainPage empty;
  WritePage(offset, empty);
  SetRoot(offset);
}

void HXobjPlainTag::Build() {
  DiscardPath();
  HXO_dBaseFld* t = Table();
  if (!t || !KeyHandler()) {
    MakeEmptyRoot();
    return;
  }
  RequireOrderable();
  t->RefreshHeader();
  const int64_t count = t->RecordCount();
  std::unique_ptr<HXobjSortPlain> sort = MakeSort();
  t->EventHook(-1, 1, static_cast<int>(std::min<int64_t>(count, INT32_MAX)));
  {
    HxRecordScan scan(*t);
    HXobjIndexKeyData key;
    while (scan.Next()) {
      if (!HasFor() || TestFor()) {
        CurrentRecordKey(key, static_cast<uint32_t>(scan.RecNo()));
        sort->Add(key, static_cast<uint32_t>(scan.RecNo()));
      }
      t->EventHook(1, static_cast<int>(std::min<int64_t>(scan.RecNo(), INT32_MAX)), 0);
    }
  }
  t->EventHook(0, 0, 0);
  t->EventHook(-1, 2, static_cast<int>(std::min<int64_t>(count, INT32_MAX)));
  if (sort->KeysAdded() == 0)
    MakeEmptyRoot();
  else
    sort->Pack();
  t->EventHook(0, 0, 0);
  SetDirty(true);
}

// ---- HXobjPlainFile ---------------------------------------------------------------------

HXobjPlainFile::HXobjPlainFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite)
    : HXobjIndexFile(table, fileName, shared, readWrite) {
  // Equal keys are kept in record-number order, so an entry is found again by
  // its key and record.
  SetKeysByRecordNumber(true);
  // A page of these formats is decoded with what its parent says of it (the
  // key its keyless last entry stands for), which changes when the parent is
  // rewritten while the page is not: decoded pages are not kept.
  SetNodeCacheBudget(0);
}

void HXobjPlainFile::CloseQuietly() noexcept {
  try {
    Flush();
  } catch (...) {
  }
  tags_.Clear();
}

std::string HXobjPlainFile::TagNameFromFile() const {
  return HxUpperCase(ChangeFileExt(ExtractFileName(FullName()), ""));
}

void HXobjPlainFile::StartOver() {
  ReleasePaths();
  tags_.Clear();
  disk_->Truncate(0);
  knownSize_ = 0;
  SetNextFree(HeaderBytes());
}

void HXobjPlainFile::ReindexOneTag() {
  if (TagCount() == 0) return;
  auto* tag = static_cast<HXobjPlainTag*>(Tags(0));
  tag->RequireOrderable();
  ReleasePaths();
  disk_->Truncate(HeaderBytes());
  knownSize_ = HeaderBytes();
  SetNextFree(HeaderBytes());
  tag->Build();
  tag->SetDirty(true);
  tag->WriteHeader();
  disk_->Flush();
}

int64_t HXobjPlainFile::KnownSize() {
  knownSize_ = std::max(knownSize_, disk_->FileSize());
  return knownSize_;
}

int64_t HXobjPlainFile::NewNode() {
  if (NextFreeNode() < 0) SyncFileEnd();
  const int64_t offset = NextFreeNode();
  SetNextFree(offset + PageSize());
  knownSize_ = std::max(knownSize_, offset + PageSize());
  return offset;
}

int64_t HXobjPlainFile::SyncFileEnd() {
  int64_t size = std::max<int64_t>(disk_->FileSize(), HeaderBytes());
  const int grid = PageGrid();
  size = (size + grid - 1) / grid * grid;
  SetNextFree(size);
  knownSize_ = std::max<int64_t>(disk_->FileSize(), 0);
  return size;
}

bool HXobjPlainFile::UpdateRecord(int64_t recno, bool appended) {
  const bool any = HXobjIndexFile::UpdateRecord(recno, appended);
  if (any) AfterChange();
  return any;
}

// ---- HXobjSortPlain ---------------------------------------------------------------------

HXobjSortPlain::HXobjSortPlain(HXobjPlainTag* tag)
    : ThxSort(std::min(tag->KeyLength() + 1, kHxSortMaxKey), nullptr, !tag->StoredDescending(),
              tag->Unique()),
      tag_(tag),
      inverted_(tag->StoredDescending()) {
  if (tag->KeyType() == hxKeyCharacter) SetPadLength(tag->KeyLength());
}

HXobjSortPlain::~HXobjSortPlain() = default;

void HXobjSortPlain::Add(const HXobjIndexKeyData& key, uint32_t recno) {
  // Stored descending: equal keys still go in record-number order, so the
  // record number is complemented for the descending sort.
  const bool character = tag_->KeyType() == hxKeyCharacter;
  AddKeyBytes(character ? hxSortCharacter : hxSortRaw, key.Data(), key.Data() ? key.Length() : 0,
              inverted_ ? ~recno : recno);
}

void HXobjSortPlain::Push(size_t level, HXobjIndexKeyData&& entry) {
  if (levels_.size() <= level) levels_.resize(level + 1);
  const bool own = tag_->SeparatorsOwnKeys();
  // Leaves of files with keyed separators hold one entry more in memory than
  // on disk (the separator above them); interior nodes one pointer more.
  const size_t capacity = static_cast<size_t>(tag_->MaxKeys()) + (level == 0 && !own ? 0 : 1);
  // Closing a node may add a level (levels_ then moves): index afresh.
  if (levels_[level].size() >= capacity) Close(level, false);
  levels_[level].push_back(std::move(entry));
}

void HXobjSortPlain::Close(size_t level, bool last) {
  // A full node waits until the next one of its level closes, so that the
  // last node of a level never stands with a single entry (an interior page
  // without keys, which other programs do not walk): the two then share.
  if (pending_.size() <= level) pending_.resize(level + 1);
  std::vector<HXobjIndexKeyData> keys = std::move(levels_[level]);
  levels_[level].clear();
  std::vector<HXobjIndexKeyData> waiting = std::move(pending_[level]);
  pending_[level].clear();
  if (!last) {
    if (!waiting.empty()) Emit(level, std::move(waiting), false);
    pending_[level] = std::move(keys);
    return;
  }
  if (!waiting.empty()) {
    if (level > 0 && keys.size() < 2) {
      waiting.insert(waiting.end(), std::make_move_iterator(keys.begin()),
                     std::make_move_iterator(keys.end()));
      const size_t k = waiting.size() - waiting.size() / 2;
      keys.assign(std::make_move_iterator(waiting.begin() + static_cast<long>(k)),
                  std::make_move_iterator(waiting.end()));
      waiting.resize(k);
    }
    Emit(level, std::move(waiting), false);
  }
  if (!keys.empty()) Emit(level, std::move(keys), true);
}

void HXobjSortPlain::Emit(size_t level, std::vector<HXobjIndexKeyData>&& keys, bool last) {
  const bool own = tag_->SeparatorsOwnKeys();
  HXobjIndexKey node(tag_);
  node.nodeClass = level == 0 ? hxNodeLeaf : hxNodeInterior;
  node.keys = std::move(keys);
  if (last && level == 0 && own && static_cast<int>(node.keys.size()) > tag_->MaxKeys()) {
    // The right edge's leaf keeps all its keys: too many for one page.
    const size_t k = node.keys.size() - node.keys.size() / 2;
    std::vector<HXobjIndexKeyData> rest(node.keys.begin() + static_cast<long>(k), node.keys.end());
    node.keys.resize(k);
    Emit(level, std::move(node.keys), false);
    Emit(level, std::move(rest), true);
    return;
  }
  HxPlainPage image;
  image.leaf = level == 0;
  const size_t n = node.keys.size();
  if (image.leaf) {
    const size_t stored = own && !last ? n - 1 : n;
    image.items.assign(node.keys.begin(), node.keys.begin() + static_cast<long>(stored));
  } else {
    image.items.assign(node.keys.begin(), node.keys.end() - 1);
    image.lastChild = node.keys.back().Link();
  }
  const int64_t offset = tag_->PlainFile()->NewNode();
  tag_->WritePage(offset, image);
  const bool top = last && levels_.size() == level + 1;
  if (top) {
    tag_->SetRoot(offset);
    return;
  }
  HXobjIndexKeyData entry;
  entry.AssignKey(node.keys.back());
  entry.SetLink(static_cast<uint32_t>(offset));
  Push(level + 1, std::move(entry));
}

void HXobjSortPlain::Pack() {
  uint8_t marker;
  const uint8_t* bytes;
  size_t length;
  uint32_t recno;
  const bool character = tag_->KeyType() == hxKeyCharacter;
  HXO_dBaseFld* t = tag_->Table();
  while (NextKeyBytes(marker, bytes, length, recno)) {
    HXobjIndexKeyData e;
    if (character)
      e.SetString(std::string_view(reinterpret_cast<const char*>(bytes), length));
    else
      e.SetRaw(bytes, length);
    if (inverted_) recno = ~recno;
    e.SetRecNo(recno);
    e.SetLink(recno);
    ++written_;
    if (t) t->EventHook(2, static_cast<int>(std::min<int64_t>(written_, INT32_MAX)), 0);
    Push(0, std::move(e));
  }
  for (size_t level = 0; level < levels_.size(); ++level) Close(level, true);
}

// ---- numbers as text ----------------------------------------------------------------

bool HxFormatNumber(double value, int width, int decimals, std::string& out) {
  char buf[64];
  if (!std::isfinite(value) || width < 1 || width > 40) return false;
  std::snprintf(buf, sizeof buf, "%*.*f", width, std::clamp(decimals, 0, 15), value);
  out = buf;
  return static_cast<int>(out.size()) <= width;
}

// ---- creating by extension -----------------------------------------------------------

std::unique_ptr<HXobjIndexFile> HxCreateIndexFile(HXO_dBaseFld* table, const std::string& fileName) {
  std::string name = HxTrim(fileName);
  if (table && ExtractFilePath(name).empty()) name = ExtractFilePath(table->FileName()) + name;
  const std::string ext = HxUpperCase(ExtractFileExt(name));
  const bool shared = table ? table->Shared() : false;
  const uint8_t protocol = table ? table->LockProtocol() : 0;
  HXO_DiskFile probe(name, false, false);
  if (probe.Exists() || ext == ".CDX") return HxOpenIndexFile(table, name);
  std::unique_ptr<HXobjIndexFile> file;
  if (ext == ".NDX")
    file = HXobjNDXFile::CreateEmpty(table, name, shared);
  else if (ext == ".NTX")
    file = HXobjNTXFile::CreateEmpty(table, name, shared);
  else if (ext == ".MDX")
    file = HXobjMDXFile::CreateEmpty(table, name, shared);
  else
    RaiseKeldorError(hxErrFileNotFound, ExpandFileName(name));
  file->SetLockProtocol(protocol);
  return file;
}

// ---- verification ----------------------------------------------------------------------

namespace {

constexpr int kCheckMaxDepth = 48;

struct PlainChecker {
  HXobjPlainTag& tag;
  HxIndexCheckReport::TagSummary& summary;
  std::vector<std::string>& problems;
  std::unordered_set<int64_t> seen;
  int leafDepth = -1;

  void Problem(const std::string& text) { problems.push_back("tag " + tag.Name() + ": " + text); }

  // Reads the subtree below `node`'s entries; false when it could not.
  bool Walk(HXobjIndexKey& node, int depth) {
    if (depth >= kCheckMaxDepth) {
      Problem("the tree is deeper than " + std::to_string(kCheckMaxDepth) + " levels (its links loop)");
      return false;
    }
    summary.depth = std::max(summary.depth, depth + 1);
    if (node.IsLeaf()) {
      ++summary.leaves;
      if (leafDepth < 0) leafDepth = depth;
      if (leafDepth != depth) Problem("leaf at " + std::to_string(node.offset) + " is not at the leaf level");
      if (node.Count() == 0 && depth > 0)
        Problem("page at " + std::to_string(node.offset) + " holds no keys");
      return true;
    }
    ++summary.interiorNodes;
    for (int i = 0; i < node.Count(); ++i) {
      node.position = i;
      const int64_t link = node.keys[static_cast<size_t>(i)].Link();
      if (!seen.insert(link).second) {
        Problem("page at " + std::to_string(link) + " is reached twice (its links loop)");
        return false;
      }
      auto child = std::make_unique<HXobjIndexKey>(&tag);
      child->parent = &node;
      try {
        tag.ReadNode(link, *child);
      } catch (const std::exception& e) {
        Problem("page at " + std::to_string(link) + " cannot be read: " + e.what());
        return false;
      }
      if (!Walk(*child, depth + 1)) return false;
    }
    return true;
  }
};

}  // namespace

HxIndexCheckReport HxCheckPlainIndexFile(HXobjPlainFile& file) {
  HxIndexCheckReport report;
  file.ReleasePaths();
  for (int t = 0; t < file.TagCount(); ++t) {
    auto& tag = *static_cast<HXobjPlainTag*>(file.Tags(t));
    report.tags.emplace_back();
    HxIndexCheckReport::TagSummary& summary = report.tags.back();
    summary.name = tag.Name();
    PlainChecker checker{tag, summary, report.problems, {}, -1};
    HXobjIndexKey root(&tag);
    try {
      tag.ReadNode(tag.RootOffset(), root);
    } catch (const std::exception& e) {
      checker.Problem(std::string("the root cannot be read: ") + e.what());
      continue;
    }
    checker.seen.insert(root.offset);
    if (!checker.Walk(root, 0)) continue;
    // The keys in order, through the tag's own walk.
    std::vector<std::pair<uint32_t, HXobjIndexKeyData>> entries;
    try {
      HXobjIndexKeyData previous;
      for (int64_t r = tag.First(); r != 0; r = tag.Next()) {
        const HXobjIndexKeyData& k = tag.CurrentKey();
        if (!entries.empty() && tag.CompareEntries(previous, k) > 0)
          checker.Problem("key of record " + std::to_string(k.RecNo()) + " is out of order");
        previous.AssignKey(k);
        entries.push_back({k.RecNo(), k});
        if (entries.size() > (size_t{1} << 32)) break;
      }
      tag.Reset(hxResetUnpositioned);
    } catch (const std::exception& e) {
      checker.Problem(std::string("the walk stopped: ") + e.what());
      continue;
    }
    summary.keys = static_cast<int64_t>(entries.size());
    HXO_dBaseFld* table = file.Table();
    if (!table || !tag.KeyHandler() || !tag.Orderable()) continue;
    summary.recordsChecked = true;
    std::unordered_map<uint32_t, HXobjIndexKeyData> byRecord;
    for (auto& [recno, key] : entries)
      if (!byRecord.emplace(recno, key).second)
        checker.Problem("record " + std::to_string(recno) + " has more than one entry");
    table->RefreshHeader();
    std::vector<HXobjIndexKeyData> uniqueMissing;
    HxRecordScan scan(*table);
    HXobjIndexKeyData key;
    while (scan.Next()) {
      const uint32_t recno = static_cast<uint32_t>(scan.RecNo());
      const bool passes = !tag.HasFor() || tag.TestFor();
      const auto it = byRecord.find(recno);
      if (!passes) {
        if (it != byRecord.end())
          checker.Problem("record " + std::to_string(recno) + " fails the FOR condition but has an entry");
        continue;
      }
      tag.CurrentRecordKey(key, recno);
      if (it == byRecord.end()) {
        if (tag.Unique())
          uniqueMissing.push_back(key);
        else
          checker.Problem("record " + std::to_string(recno) + " has no entry");
      } else if (tag.CompareKeys(key, it->second) != 0) {
        checker.Problem("the entry of record " + std::to_string(recno) + " holds another key");
      }
      if (it != byRecord.end()) byRecord.erase(it);
    }
    for (const auto& [recno, k] : byRecord)
      checker.Problem("entry for record " + std::to_string(recno) + ", which is not in the table");
    summary.uniqueValuesNotIndexed = static_cast<int64_t>(uniqueMissing.size());
  }
  return report;
}
