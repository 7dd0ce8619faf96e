// The node handling NDX, NTX and MDX files share: pages read into the index
// model's nodes and written back with splits, and the bottom-up build.
#include "index/hx6_xidx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "index/hx6_cdx.h"
// MDX
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

void HXobjPlainTag::EvaluateKeyType(ThxVariant& value) {
  HXO_dBaseFld* t = Table();
  try {
    BuildKey(value);
  } catch (const EKeldorError&) {
    if (!t) throw;
    std::vector<uint8_t> blank(t->RecordLength() + 1, ' ');
    uint8_t* saved = t->RecordBuffer();
    t->SetRecordBuffer(blank.data());
    try {
      t->BlankRecord();
      BuildKey(value);
    } catch (...) {
      t->SetRecordBuffer(saved);
      throw;
    }
    t->SetRecordBuffer(saved);
  }
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
  if (levels_[level].empty()) return;
  const bool own = tag_->SeparatorsOwnKeys();
  HXobjIndexKey node(tag_);
  node.nodeClass = level == 0 ? hxNodeLeaf : hxNodeInterior;
  node.keys = std::move(levels_[level]);
  levels_[level].clear();
  if (last && level == 0 && own && static_cast<int>(node.keys.size()) > tag_->MaxKeys()) {
    // The right edge's leaf keeps all its keys: too many for one page.
    const size_t k = node.keys.size() - node.keys.size() / 2;
    std::vector<HXobjIndexKeyData> rest(node.keys.begin() + static_cast<long>(k), node.keys.end());
    node.keys.resize(k);
    levels_[level] = std::move(node.keys);
    Close(level, false);
    levels_[level] = std::move(rest);
    Close(level, true);
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
    RaiseKeldorError(hxErrFileNotFound, fileName);
  else
    RaiseKeldorError(hxErrFileNotFound, ExpandFileName(name));
  file->SetLockProtocol(protocol);
  return file;
}
