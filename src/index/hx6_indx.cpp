// The index model: tags (keys, the cached node path, navigation, seeks,
// ranges, maintenance) and index files (tag lookup, block access through the
// table's cipher, the index lock), and opening a file by its extension.
#include "index/hx6_indx.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "expr/hx6_sql.h"
#include "index/hx6_cdx.h"
#include "index/hx6_mdx.h"
#include "index/hx6_ndx.h"
#include "index/hx6_ntx.h"
#include "platform/file.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_encrxm.h"

namespace {

// A path deeper than this cannot come from a real tree: the child links loop.
constexpr int kMaxDepth = 48;

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// Points the table's record buffer at `buffer` for the life of the guard and
// puts the previous buffer and record number back afterwards.
class RecordBufferGuard {
 public:
  RecordBufferGuard(HXO_dBaseFld& table, uint8_t* buffer)
      : table_(table), saved_(table.RecordBuffer()), recno_(table.RecNo()) {
    table_.SetRecordBuffer(buffer);
  }
  ~RecordBufferGuard() {
    table_.SetRecordBuffer(saved_);
    table_.SetRecNo(recno_);
  }
  RecordBufferGuard(const RecordBufferGuard&) = delete;
  RecordBufferGuard& operator=(const RecordBufferGuard&) = delete;

 private:
  HXO_dBaseFld& table_;
  uint8_t* saved_;
  int64_t recno_;
};

// A single field of type I in a Visual FoxPro table: keyed as an integer.
bool IsIntegerFieldKey(ThxExpHandler& handler, HXO_dBaseFld* table) {
  if (!table || table->Version() != 0x30) return false;
  ThxExpBaseObject* root = handler.Root();
  while (root && root->NodeKind() == hxnContainer) root = root->Right();
  if (!root || root->NodeKind() != hxnFieldVar) return false;
  auto* var = static_cast<ThxExpFieldvar*>(root)->FieldVar();
  if (!var || var->NameKind() != 17) return false;
  const int n = table->FieldNumber(var->FirstName());
  return n > 0 && table->FieldType(n) == 'I';
}

}  // namespace

bool HxIndexLockRange(uint8_t protocol, HxLockRange& range) {
  switch (protocol) {
    case 0:
    case 3:
      range = {0x7FFFFFFD, 1};
      return true;
    case 1:
      range = {0xEFFFFFFE, 2};
      return true;
    case 2:
      range = {1000000000, 1};
      return true;
    default:
      return false;
  }
}

// ---- the node cache ------------------------------------------------------------------

namespace {

std::atomic<size_t> gNodeCacheDefault{kHxNodeCacheBytes};
// Nodes sit at offsets that are multiples of this (blocks of 512 bytes in
// every format); others are not cached.
constexpr int64_t kNodeGrain = 512;
constexpr size_t kMaxSpares = 8;

// What a decoded node holds in memory, near enough for a budget.
size_t NodeBytes(const HXobjIndexKey& node) {
  size_t bytes = sizeof(HXobjIndexKey) + 64 + node.keys.capacity() * sizeof(HXobjIndexKeyData);
  for (const HXobjIndexKeyData& k : node.keys) bytes += k.Capacity();
  return bytes;
}

}  // namespace

void HxSetNodeCacheDefault(size_t bytes) { gNodeCacheDefault = bytes; }
size_t HxNodeCacheDefault() { return gNodeCacheDefault; }

HxNodeCache::HxNodeCache() : budget_(gNodeCacheDefault) {}

HxNodeCache::~HxNodeCache() { Clear(); }

void HxNodeCache::Unlink(Entry& e) {
  (e.prev ? e.prev->next : newest_) = e.next;
  (e.next ? e.next->prev : oldest_) = e.prev;
  e.prev = e.next = nullptr;
}

void HxNodeCache::Recycle(std::unique_ptr<HXobjIndexKey> node) {
  if (!node || spares_.size() >= kMaxSpares) return;
  node->offset = -1;
  node->parent = nullptr;
  node->child.reset();
  spares_.push_back(std::move(node));
}

void HxNodeCache::Erase(std::unordered_map<int64_t, Entry>::iterator it) {
  if (it->second.node) {
    Unlink(it->second);
    bytes_ -= it->second.bytes;
    Recycle(std::move(it->second.node));
  } else {
    --idle_;
  }
  entries_.erase(it);
}

void HxNodeCache::SweepIdle() {
  // Entries whose nodes left for a path and never came back (dropped,
  // emptied, rewritten).
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (!it->second.node) {
      it = entries_.erase(it);
      --idle_;
    } else {
      ++it;
    }
  }
}

void HxNodeCache::Trim() {
  while (oldest_ && bytes_ > budget_) Erase(entries_.find(oldest_->node->offset));
}

std::unique_ptr<HXobjIndexKey> HxNodeCache::Take(int64_t offset, const HXobjIndexTag* tag) {
  auto it = entries_.find(offset);
  if (it == entries_.end() || !it->second.node) return nullptr;
  if (it->second.node->tag != tag) {
    // Blocks of a tag that went, read again by another.
    Erase(it);
    return nullptr;
  }
  // The entry stays, empty, for the node's return: a descent then moves no
  // map entries about.
  Entry& e = it->second;
  std::unique_ptr<HXobjIndexKey> node = std::move(e.node);
  Unlink(e);
  bytes_ -= e.bytes;
  e.bytes = 0;
  ++idle_;
  ++hits_;
  return node;
}

void HxNodeCache::Put(std::unique_ptr<HXobjIndexKey> node) {
  node->parent = nullptr;
  node->child.reset();
  if (idle_ > 256 && idle_ > entries_.size() / 2) SweepIdle();
  if (budget_ == 0 || node->offset < 0 || node->offset % kNodeGrain != 0 || node->dirty) {
    Recycle(std::move(node));
    return;
  }
  const int64_t offset = node->offset;
  auto [it, added] = entries_.try_emplace(offset);
  Entry& e = it->second;
  if (!added && e.node) {
    Unlink(e);
    bytes_ -= e.bytes;
    Recycle(std::move(e.node));
  } else if (!added) {
    --idle_;
  }
  e.bytes = NodeBytes(*node);
  const bool leaf = node->IsLeaf();
  e.node = std::move(node);
  if (leaf && oldest_) {
    // Leaves are many and each is seldom wanted again; interior nodes are
    // passed on every descent. Leaves queue up to go first.
    e.prev = oldest_;
    oldest_->next = &e;
    oldest_ = &e;
  } else {
    e.next = newest_;
    (newest_ ? newest_->prev : oldest_) = &e;
    newest_ = &e;
  }
  bytes_ += e.bytes;
  Trim();
}

std::unique_ptr<HXobjIndexKey> HxNodeCache::Spare(HXobjIndexTag* tag) {
  if (spares_.empty()) return std::make_unique<HXobjIndexKey>(tag);
  std::unique_ptr<HXobjIndexKey> node = std::move(spares_.back());
  spares_.pop_back();
  node->tag = tag;
  node->position = -1;
  node->dirty = false;
  return node;
}

void HxNodeCache::Forget(int64_t offset, size_t count) {
  if (entries_.empty() || count == 0) return;
  const int64_t end = offset + static_cast<int64_t>(count);
  const int64_t span = static_cast<int64_t>(nodeSize_);
  if (static_cast<int64_t>(count) / kNodeGrain > static_cast<int64_t>(entries_.size())) {
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->first < end && it->first + span > offset) Erase(it);
      it = next;
    }
    return;
  }
  // A node at o covers [o, o + span): it is touched when o lies in
  // (offset - span, end).
  const int64_t low = offset - span + 1;
  for (int64_t o = low <= 0 ? 0 : (low + kNodeGrain - 1) / kNodeGrain * kNodeGrain; o < end; o += kNodeGrain)
    if (auto it = entries_.find(o); it != entries_.end()) Erase(it);
}

void HxNodeCache::Clear() {
  while (oldest_) Erase(entries_.find(oldest_->node->offset));
  entries_.clear();
  bytes_ = 0;
  idle_ = 0;
}

void HxNodeCache::SetBudget(size_t bytes) {
  budget_ = bytes;
  Trim();
}

// ---- HXobjIndexTag: construction and definition ----------------------------------

HXobjIndexTag::HXobjIndexTag(HXobjIndexFile* owner, const std::string& name, int64_t headerOffset)
    : owner_(owner), name_(name), headerOffset_(headerOffset) {}

HXobjIndexTag::~HXobjIndexTag() {
  // Closing a tag writes what it still holds; a destructor cannot report.
  try {
    WritePath();
  } catch (...) {
  }
  DiscardPath();
  // Cached nodes point at their tag.
  if (owner_) owner_->DropNodeCache();
}

HXO_dBaseFld* HXobjIndexTag::Table() const { return owner_ ? owner_->Table() : nullptr; }

void HXobjIndexTag::RaiseCorrupted() const { owner_->RaiseCorrupted(); }

HXobjIndexKey* HXobjIndexTag::GrowRoot(HXobjIndexKey& old, int64_t newOffset) {
  if (root_.get() != &old) RaiseCorrupted();
  auto top = std::make_unique<HXobjIndexKey>(this);
  top->nodeClass = hxNodeInterior;
  top->offset = old.offset;
  old.offset = newOffset;
  old.left = old.right = -1;
  HXobjIndexKeyData entry;
  if (old.Count() > 0) entry.AssignKey(old.keys.back());
  entry.SetLink(static_cast<uint32_t>(newOffset));
  top->keys.push_back(std::move(entry));
  top->position = 0;
  top->dirty = true;
  old.parent = top.get();
  top->child = std::move(root_);
  root_ = std::move(top);
  NoteStructureChanged();
  return root_.get();
}

void HXobjIndexTag::SetExpressions(const std::string& key, const std::string& forText) {
  keyText_ = key;
  forText_ = forText;
  hasFor_ = !HxTrim(forText).empty();
}

void HXobjIndexTag::RequireOrderable() const {
  if (Orderable()) return;
  throw EKeldorError(FormatKeldorText("Index tag %s of file %s cannot be searched or changed: %s",
                                      {name_, owner_->FullName(), orderableReason_}));
}

void HXobjIndexTag::EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) {
  // The base keeps character keys as text (the formats encode their own).
  std::string converted;
  std::string_view text = value.Bytes();
  if (value.Kind() != hxvString && value.Kind() != hxvRaw) {
    converted = value.AsString();
    text = converted;
  }
  if (trim)
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() > static_cast<size_t>(keyLength_)) text = text.substr(0, static_cast<size_t>(keyLength_));
  key.SetString(text);
}

void HXobjIndexTag::Define(const std::string& keyExpression, bool unique, bool ascending,
                           const std::string& forExpression) {
  SetExpressions(keyExpression, forExpression);
  unique_ = unique;
  descending_ = !ascending;
  CompileKey();
  CompileFor();
}

void HXobjIndexTag::CompileKey() {
  keyHandler_.reset();
  if (HxTrim(keyText_).empty()) return;
  HXO_dBaseFld* t = Table();
  keyHandler_ = std::make_unique<ThxExpHandler>(t ? t->ExpUserLink() : nullptr, false, keyText_);
}

void HXobjIndexTag::CompileFor() {
  forHandler_.reset();
  hasFor_ = !HxTrim(forText_).empty();
  if (!hasFor_) return;
  HXO_dBaseFld* t = Table();
  forHandler_ = std::make_unique<ThxExpHandler>(t ? t->ExpUserLink() : nullptr, false, forText_);
}

bool HXobjIndexTag::BuildKey(ThxVariant& value) {
  if (!keyHandler_) return false;
  const ThxExpValue& v = keyHandler_->EvaluateValue();
  const uint8_t type = keyHandler_->ResultType();
  if (v.null) {
    value.SetString("");
    return true;
  }
  switch (type) {
    case hxtText:
      value.SetString(v.text);
      break;
    case hxtNumber:
    case hxtInteger:
    case hxtDateTime:
      value.SetNumber(v.number);
      break;
    case hxtDate: {
      int32_t day = 0;
      if (!HxDayFromNumber(v.number, day)) day = 0;
      value.SetDate(day);
      break;
    }
    case hxtBoolean:
      value.SetLogical(v.boolean);
      break;
    default:
      // Fields the engine reads as raw bytes (integers, datetimes of Visual
      // FoxPro tables) give their bytes.
      value.SetRaw(v.text.data(), v.text.size());
      break;
  }
  return true;
}

void HXobjIndexTag::EvaluateKeyType(ThxVariant& value) {
  HXO_dBaseFld* t = Table();
  try {
    BuildKey(value);
  } catch (const EKeldorError&) {
    // The current record may hold a value the key cannot read; the type is
    // the same for a blank record.
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

bool HXobjIndexTag::TestFor() {
  if (!forHandler_) return false;
  const ThxExpValue& v = forHandler_->EvaluateValue();
  return forHandler_->ResultType() == hxtBoolean && !v.null && v.boolean;
}

bool HXobjIndexTag::CurrentRecordKey(HXobjIndexKeyData& key, uint32_t recno) {
  if (!BuildKey(scratchValue_)) return false;
  EncodeKey(scratchValue_, true, key);
  key.SetRecNo(recno);
  key.SetLink(recno);
  return true;
}

void HXobjIndexTag::TypeFromValue(const ThxVariant& value, char& type, int& length) {
  switch (value.Kind()) {
    case hxvNumber:
      type = hxKeyNumeric;
      length = 8;
      return;
    case hxvDate:
      type = hxKeyDate;
      length = 8;
      return;
    case hxvRaw:
      if (keyHandler_ && IsIntegerFieldKey(*keyHandler_, Table())) {
        type = hxKeyInteger;
        length = 4;
        return;
      }
      break;
    default:
      break;
  }
  type = hxKeyCharacter;
  length = static_cast<int>(value.Kind() == hxvLogical ? 1 : value.Length());
  // A key must hold at least one byte; longer values than a node allows are
  // cut to the longest key (EncodeKey cuts every key to the key length).
  length = std::clamp(length, 1, kHxMaxKeyLength);
}

int64_t HXobjIndexTag::RootOffset() { return rootOffset_; }
void HXobjIndexTag::ReadNode(int64_t, HXobjIndexKey&) { RaiseCorrupted(); }
void HXobjIndexTag::WriteNode(HXobjIndexKey& node) { node.dirty = false; }
bool HXobjIndexTag::ReadHeader() { return false; }
void HXobjIndexTag::WriteHeader() { dirty_ = false; }
std::string HXobjIndexTag::VerifyNode(int64_t) { return std::string(); }

// ---- keys ------------------------------------------------------------------------

int HXobjIndexTag::CompareKeys(const ThxVariant& a, const ThxVariant& b, bool prefix) const {
  const uint8_t* x = a.Data();
  const uint8_t* y = b.Data();
  const size_t xl = x ? a.Length() : 0;
  const size_t yl = y ? b.Length() : 0;
  const size_t n = std::min(xl, yl);
  if (n > 0) {
    const int c = std::memcmp(x, y, n);
    if (c != 0) return inverted_ ? -Sign(c) : Sign(c);
  }
  if (xl == yl) return 0;
  const uint8_t pad = keyType_ == hxKeyCharacter ? ' ' : 0;
  int result = 0;
  if (xl < yl) {
    if (prefix && keyType_ == hxKeyCharacter) return 0;
    for (size_t i = n; i < yl && result == 0; ++i)
      if (y[i] != pad) result = y[i] > pad ? -1 : 1;
  } else {
    for (size_t i = n; i < xl && result == 0; ++i)
      if (x[i] != pad) result = x[i] > pad ? 1 : -1;
  }
  return inverted_ ? -result : result;
}

int HXobjIndexTag::CompareEntries(const HXobjIndexKeyData& a, const HXobjIndexKeyData& b) const {
  const int c = CompareKeys(a, b);
  if (c != 0 || !owner_->KeysByRecordNumber()) return c;
  return a.RecNo() < b.RecNo() ? -1 : (a.RecNo() > b.RecNo() ? 1 : 0);
}

// ---- the path --------------------------------------------------------------------

HXobjIndexKey* HXobjIndexTag::LoadRoot() {
  if (!root_) {
    const int64_t offset = RootOffset();
    std::unique_ptr<HXobjIndexKey> node = owner_->NodeCache().Take(offset, this);
    if (!node) {
      node = owner_->NodeCache().Spare(this);
      owner_->NodeCache().CountMiss();
      ReadNode(offset, *node);
    }
    node->position = -1;
    root_ = std::move(node);
  } else if (root_->offset < 0) {
    ReadNode(RootOffset(), *root_);
  }
  return root_.get();
}

HXobjIndexKey* HXobjIndexTag::PathLeaf() const {
  HXobjIndexKey* n = root_.get();
  if (!n || n->offset < 0) return nullptr;
  while (!n->IsLeaf()) {
    if (!n->child || n->child->offset < 0) return nullptr;
    n = n->child.get();
  }
  return n;
}

HXobjIndexKey* HXobjIndexTag::LoadChild(HXobjIndexKey& node) {
  if (node.IsLeaf() || node.position < 0 || node.position >= node.Count()) RaiseCorrupted();
  const int64_t link = node.keys[static_cast<size_t>(node.position)].Link();
  if (node.child && node.child->offset == link && link >= 0) return node.child.get();
  // A child that points back at a node of the path makes the walk loop.
  for (HXobjIndexKey* p = &node; p; p = p->parent)
    if (p->offset == link) RaiseCorrupted();
  int depth = 0;
  for (HXobjIndexKey* p = &node; p; p = p->parent) ++depth;
  if (depth >= kMaxDepth) RaiseCorrupted();
  if (node.child) DropBelow(node);
  HxNodeCache& cache = owner_->NodeCache();
  std::unique_ptr<HXobjIndexKey> child = cache.Take(link, this);
  if (!child) {
    child = cache.Spare(this);
    cache.CountMiss();
    // Some formats decode a page by what its parent says of it.
    child->parent = &node;
    ReadNode(link, *child);
  }
  child->position = -1;
  child->parent = &node;
  node.child = std::move(child);
  return node.child.get();
}

void HXobjIndexTag::DropBelow(HXobjIndexKey& node) {
  // Dirty nodes below are written first (deepest first); then the chain
  // leaves the path, its clean nodes for the cache.
  std::vector<HXobjIndexKey*> below;
  for (HXobjIndexKey* c = node.child.get(); c && c->offset >= 0; c = c->child.get()) below.push_back(c);
  for (auto it = below.rbegin(); it != below.rend(); ++it)
    if ((*it)->dirty) WriteNode(**it);
  std::unique_ptr<HXobjIndexKey> chain = std::move(node.child);
  while (chain) {
    std::unique_ptr<HXobjIndexKey> next = std::move(chain->child);
    // An emptied node has left the tree: it is not kept.
    if (chain->offset >= 0 && !chain->dirty && chain->Count() > 0) owner_->NodeCache().Put(std::move(chain));
    chain = std::move(next);
  }
}

bool HXobjIndexTag::WritePath() {
  if (!root_) {
    if (dirty_) WriteHeader();
    return false;
  }
  std::vector<HXobjIndexKey*> nodes;
  for (HXobjIndexKey* n = root_.get(); n && n->offset >= 0; n = n->child.get()) {
    nodes.push_back(n);
    if (n->IsLeaf()) break;
  }
  // Deepest first: a child that splits hands its parent a new entry. A root
  // split puts a new node above the old root; the loop follows the parents.
  if (!nodes.empty()) {
    for (HXobjIndexKey* n = nodes.back(); n; n = n->parent)
      if (n->dirty) WriteNode(*n);
  }
  if (dirty_) WriteHeader();
  const bool split = structureChanged_;
  structureChanged_ = false;
  // The positions along the path no longer fit the tree; the nodes, written
  // as they stand, still are the file's.
  if (split) CachePath();
  return split;
}

void HXobjIndexTag::DiscardPath() {
  // Unlinked from the top, so a deep path is not freed recursively.
  std::unique_ptr<HXobjIndexKey> chain = std::move(root_);
  while (chain) chain = std::move(chain->child);
}

void HXobjIndexTag::CachePath() {
  if (!root_) return;
  if (root_->offset >= 0 && !root_->dirty) {
    DropBelow(*root_);
    owner_->NodeCache().Put(std::move(root_));
  }
  DiscardPath();
}

void HXobjIndexTag::Flush() { WritePath(); }

void HXobjIndexTag::ReleasePath() {
  if (!WritePath()) CachePath();
}

void HXobjIndexTag::Reset(int mode) {
  ReleasePath();
  positioned_ = false;
  currentKey_.Clear();
  atTop_ = atBottom_ = false;
  if (mode == hxResetUnpositioned) return;
  HXO_dBaseFld* t = Table();
  if (mode == hxResetCurrentRecord && t && t->RecNo() >= 1 && t->RecNo() <= t->RecordCount()) {
    Position(t->RecNo());
    return;
  }
  First();
}

// ---- positioning in stored order --------------------------------------------------

int64_t HXobjIndexTag::AnswerCurrent() {
  HXobjIndexKey* leaf = PathLeaf();
  if (!leaf || leaf->position < 0 || leaf->position >= leaf->Count()) return 0;
  const HXobjIndexKeyData& k = leaf->keys[static_cast<size_t>(leaf->position)];
  currentKey_.AssignKey(k);
  positioned_ = true;
  return k.RecNo();
}

int64_t HXobjIndexTag::StoredFirst() {
  HXobjIndexKey* node = LoadRoot();
  while (!node->IsLeaf()) {
    if (node->Count() == 0) RaiseCorrupted();
    node->position = 0;
    node = LoadChild(*node);
  }
  node->position = 0;
  if (node->Count() == 0) {
    // An empty leaf on the way (left by another program): step on.
    node->position = -1;
    return StoredNext();
  }
  return AnswerCurrent();
}

int64_t HXobjIndexTag::StoredLast() {
  HXobjIndexKey* node = LoadRoot();
  while (!node->IsLeaf()) {
    if (node->Count() == 0) RaiseCorrupted();
    node->position = node->Count() - 1;
    node = LoadChild(*node);
  }
  node->position = node->Count() - 1;
  if (node->Count() == 0) {
    node->position = 0;
    return StoredPrevious();
  }
  return AnswerCurrent();
}

int64_t HXobjIndexTag::StoredNext() {
  for (int guard = 0;; ++guard) {
    HXobjIndexKey* leaf = PathLeaf();
    if (!leaf) return 0;
    if (leaf->position < leaf->Count() - 1) {
      leaf->position = std::max(leaf->position + 1, 0);
      return AnswerCurrent();
    }
    // Climb to the nearest node with a following entry.
    HXobjIndexKey* node = leaf->parent;
    while (node && node->position >= node->Count() - 1) node = node->parent;
    if (!node) {
      leaf->position = leaf->Count();  // past the end
      return 0;
    }
    ++node->position;
    HXobjIndexKey* n = LoadChild(*node);
    while (!n->IsLeaf()) {
      if (n->Count() == 0) RaiseCorrupted();
      n->position = 0;
      n = LoadChild(*n);
    }
    if (n->Count() > 0) {
      n->position = 0;
      return AnswerCurrent();
    }
    n->position = 0;  // empty leaf: go on to the next one
    if (guard > (1 << 24)) RaiseCorrupted();
  }
}

int64_t HXobjIndexTag::StoredPrevious() {
  for (int guard = 0;; ++guard) {
    HXobjIndexKey* leaf = PathLeaf();
    if (!leaf) return 0;
    if (leaf->position > 0) {
      leaf->position = std::min(leaf->position - 1, leaf->Count() - 1);
      if (leaf->position >= 0) return AnswerCurrent();
    }
    HXobjIndexKey* node = leaf->parent;
    while (node && node->position <= 0) node = node->parent;
    if (!node) {
      leaf->position = -1;  // before the first
      return 0;
    }
    --node->position;
    HXobjIndexKey* n = LoadChild(*node);
    while (!n->IsLeaf()) {
      if (n->Count() == 0) RaiseCorrupted();
      n->position = n->Count() - 1;
      n = LoadChild(*n);
    }
    if (n->Count() > 0) {
      n->position = n->Count() - 1;
      return AnswerCurrent();
    }
    n->position = 0;
    if (guard > (1 << 24)) RaiseCorrupted();
  }
}

void HXobjIndexTag::Descend(const HXobjIndexKeyData& key, bool prefix, bool withRecno, bool upper) {
  const bool byRecno = withRecno && owner_->KeysByRecordNumber();
  // f(entry) > 0 while the entry is before the key; the scan stops at the
  // first entry with f <= 0, or with `upper` at the first with f < 0 (entries
  // are in order, so a binary search).
  auto before = [&](const HXobjIndexKeyData& e) {
    int c = CompareKeys(key, e, prefix);
    if (c == 0 && byRecno) c = key.RecNo() > e.RecNo() ? 1 : (key.RecNo() < e.RecNo() ? -1 : 0);
    return upper ? c >= 0 : c > 0;
  };
  HXobjIndexKey* node = LoadRoot();
  for (;;) {
    int lo = 0, hi = node->Count();
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (before(node->keys[static_cast<size_t>(mid)]))
        lo = mid + 1;
      else
        hi = mid;
    }
    if (node->IsLeaf()) {
      node->position = lo;
      break;
    }
    if (node->Count() == 0) RaiseCorrupted();
    node->position = std::min(lo, node->Count() - 1);
    node = LoadChild(*node);
  }
  // Files that keep no record number in interior entries (held as
  // 0xFFFFFFFF: the entry stands for every record of its key): the entry
  // sought may lie in a following leaf when equal keys span leaves.
  while (byRecno && node->position >= node->Count() && node->Count() > 0) {
    const HXobjIndexKey* p = node->parent;
    if (!p || p->position < 0 || p->position >= p->Count()) break;
    const HXobjIndexKeyData& bound = p->keys[static_cast<size_t>(p->position)];
    if (bound.RecNo() != 0xFFFFFFFF || CompareKeys(key, bound, prefix) != 0) break;
    node->position = node->Count() - 1;
    if (StoredNext() == 0) break;
    node = PathLeaf();
    int lo = 0, hi = node->Count();
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (before(node->keys[static_cast<size_t>(mid)]))
        lo = mid + 1;
      else
        hi = mid;
    }
    node->position = lo;
  }
}

bool HXobjIndexTag::SeekLeaf(const HXobjIndexKeyData& key, bool prefix, bool withRecno, bool upper) {
  Descend(key, prefix, withRecno, upper);
  HXobjIndexKey* leaf = PathLeaf();
  if (leaf->position < leaf->Count()) {
    AnswerCurrent();
    return true;
  }
  // Past the end of this leaf: the key may open the next one (interior keys
  // written by other programs may lag behind their children).
  if (leaf->Count() == 0) {
    leaf->position = -1;
  } else {
    leaf->position = leaf->Count() - 1;
  }
  return StoredNext() != 0;
}

int HXobjIndexTag::Reposition() {
  if (PathLeaf()) return 1;
  if (!positioned_) return 0;
  const HXobjIndexKeyData key = currentKey_;
  if (!Orderable()) {
    // Stored order only: walk to the remembered entry.
    for (int64_t r = StoredFirst(); r != 0; r = StoredNext())
      if (static_cast<uint32_t>(r) == key.RecNo() && CompareKeys(key, currentKey_) == 0) return 1;
    return 2;
  }
  if (!SeekLeaf(key, false, true)) return 2;
  return CompareEntries(key, currentKey_) == 0 && key.RecNo() == currentKey_.RecNo() ? 1 : 2;
}

// ---- navigation -----------------------------------------------------------------

bool HXobjIndexTag::BelowLow(const HXobjIndexKeyData& key) const {
  if (!hasLow_) return false;
  const bool prefix = (rangeOptions_ & hxRangeExact) == 0;
  const int c = CompareKeys(rangeLow_, key, prefix);  // > 0: key below the bound
  if (c > 0) return true;
  if (c == 0 && (rangeOptions_ & hxRangeLowExcluded)) return true;
  return false;
}

bool HXobjIndexTag::AboveHigh(const HXobjIndexKeyData& key) const {
  if (!hasHigh_) return false;
  const bool prefix = (rangeOptions_ & hxRangeExact) == 0;
  const int c = CompareKeys(rangeHigh_, key, prefix);  // < 0: key above the bound
  if (c < 0) return true;
  if (c == 0 && (rangeOptions_ & hxRangeHighExcluded)) return true;
  return false;
}

bool HXobjIndexTag::InRange(const HXobjIndexKeyData& key, bool& beyondHigh) const {
  beyondHigh = AboveHigh(key);
  return !beyondHigh && !BelowLow(key);
}

int64_t HXobjIndexTag::RangeFirst() {
  int64_t r;
  if (hasLow_) {
    const bool prefix = (rangeOptions_ & hxRangeExact) == 0;
    r = SeekLeaf(rangeLow_, prefix, false) ? AnswerCurrent() : 0;
    while (r != 0 && BelowLow(currentKey_)) r = StoredNext();
  } else {
    r = StoredFirst();
  }
  if (r == 0) {
    atBottom_ = true;
    return 0;
  }
  if (AboveHigh(currentKey_)) {
    atBottom_ = true;
    return 0;
  }
  return r;
}

int64_t HXobjIndexTag::RangeLast() {
  int64_t r;
  if (hasHigh_) {
    // The first key beyond the high bound, then one step back.
    const bool prefix = (rangeOptions_ & hxRangeExact) == 0;
    r = SeekLeaf(rangeHigh_, prefix, false) ? AnswerCurrent() : 0;
    while (r != 0 && !AboveHigh(currentKey_)) r = StoredNext();
    if (r == 0) {
      r = StoredLast();
    } else {
      r = StoredPrevious();
    }
    while (r != 0 && AboveHigh(currentKey_)) r = StoredPrevious();
  } else {
    r = StoredLast();
  }
  if (r == 0 || BelowLow(currentKey_)) {
    atTop_ = true;
    return 0;
  }
  return r;
}

int64_t HXobjIndexTag::First() {
  atTop_ = atBottom_ = false;
  if (descending_) {
    const int64_t r = RangeLast();
    if (r == 0) atBottom_ = true, atTop_ = true;
    return r;
  }
  const int64_t r = RangeFirst();
  if (r == 0) atBottom_ = true, atTop_ = true;
  return r;
}

int64_t HXobjIndexTag::Last() {
  atTop_ = atBottom_ = false;
  if (descending_) {
    const int64_t r = RangeFirst();
    if (r == 0) atBottom_ = true, atTop_ = true;
    return r;
  }
  const int64_t r = RangeLast();
  if (r == 0) atBottom_ = true, atTop_ = true;
  return r;
}

int64_t HXobjIndexTag::StepForward() {
  // One step up the stored order. When the remembered entry has gone, the
  // position found again already rests on its successor.
  const int found = Reposition();
  if (!PathLeaf()) return descending_ ? Last() : First();
  atTop_ = false;
  const int64_t r = found == 2 ? AnswerCurrent() : StoredNext();
  if (r == 0 || AboveHigh(currentKey_)) {
    atBottom_ = true;
    return 0;
  }
  atBottom_ = false;
  return r;
}

int64_t HXobjIndexTag::StepBack() {
  Reposition();
  if (!PathLeaf()) return descending_ ? First() : Last();
  atBottom_ = false;
  const int64_t r = StoredPrevious();
  if (r == 0 || BelowLow(currentKey_)) {
    atTop_ = true;
    return 0;
  }
  atTop_ = false;
  return r;
}

int64_t HXobjIndexTag::Next() { return descending_ ? StepBack() : StepForward(); }

int64_t HXobjIndexTag::Previous() { return descending_ ? StepForward() : StepBack(); }

int64_t HXobjIndexTag::Current() {
  if (atTop_ || atBottom_) return 0;
  if (Reposition() == 0) return 0;
  const int64_t r = AnswerCurrent();
  if (r != 0) {
    bool beyond;
    if (!InRange(currentKey_, beyond)) return 0;
  }
  return r;
}

// ---- seeks ------------------------------------------------------------------------

int64_t HXobjIndexTag::SeekEncoded(const HXobjIndexKeyData& key, bool prefix, int64_t recno) {
  RequireOrderable();
  atTop_ = atBottom_ = false;
  HXobjIndexKeyData probe;
  probe.AssignKey(key);
  probe.SetRecNo(static_cast<uint32_t>(recno));
  if (descending_ && recno == 0) {
    // Descending order meets equal keys from the highest record down: the
    // seek lands on the last of them in stored order, and a key not found
    // rests on the greatest smaller key, the next one in this order.
    SeekLeaf(probe, prefix, false, true);
    const int64_t r = StoredPrevious();
    bool beyondHigh;
    if (r == 0 || !InRange(currentKey_, beyondHigh)) {
      atTop_ = true;  // the end of the descending walk
      return 0;
    }
    return CompareKeys(probe, currentKey_, prefix) == 0 ? r : 0;
  }
  const int64_t r = SeekLeaf(probe, prefix, recno != 0) ? AnswerCurrent() : 0;
  if (r == 0) {
    atBottom_ = true;
    if (descending_) std::swap(atTop_, atBottom_);
    return 0;
  }
  bool beyondHigh;
  if (!InRange(currentKey_, beyondHigh)) {
    atBottom_ = true;
    if (descending_) std::swap(atTop_, atBottom_);
    return 0;
  }
  if (CompareKeys(probe, currentKey_, prefix) != 0) return 0;
  if (recno != 0 && owner_->KeysByRecordNumber() && currentKey_.RecNo() != static_cast<uint32_t>(recno))
    return 0;
  return r;
}

int64_t HXobjIndexTag::Seek(const ThxVariant& value) {
  RequireOrderable();
  HXobjIndexKeyData key;
  bool blanks = value.Kind() == hxvString && value.Length() > 0;
  // All blanks (or control bytes): the key is sought as it stands.
  for (size_t i = 0; blanks && i < value.Length(); ++i) blanks = value.Data()[i] <= ' ';
  EncodeKey(value, !blanks, key);
  HXO_dBaseFld* t = Table();
  const bool prefix = keyType_ == hxKeyCharacter && !(t && t->ExactCompare());
  return SeekEncoded(key, prefix, 0);
}

int64_t HXobjIndexTag::SeekRecord(const ThxVariant& value, int64_t recno) {
  RequireOrderable();
  HXobjIndexKeyData key;
  EncodeKey(value, true, key);
  return SeekEncoded(key, false, recno);
}

int64_t HXobjIndexTag::Position(int64_t recno) {
  if (PathLeaf() || positioned_) {
    if (Reposition() == 1 && !atTop_ && !atBottom_ && recno != 0 && AnswerCurrent() == recno) return recno;
  }
  ReleasePath();
  atTop_ = atBottom_ = false;
  if (!Orderable()) {
    for (int64_t r = StoredFirst(); r != 0; r = StoredNext())
      if (r == recno) return r;
    atBottom_ = true;
    return 0;
  }
  HXobjIndexKeyData key;
  if (!CurrentRecordKey(key, static_cast<uint32_t>(recno))) return First();
  SeekEncoded(key, false, recno);
  return atBottom_ || atTop_ ? 0 : AnswerCurrent();
}

bool HXobjIndexTag::SetRange(const ThxVariant* low, const ThxVariant* high, int options) {
  auto encode = [&](const ThxVariant* v, HXobjIndexKeyData& out) {
    if (!v || v->Kind() == hxvNone || (v->Kind() == hxvString && v->Length() == 0)) return false;
    RequireOrderable();
    const bool trim = !(v->Kind() == hxvString && HxTrim(std::string(v->Bytes())).empty());
    EncodeKey(*v, trim, out);
    return true;
  };
  HXobjIndexKeyData newLow, newHigh;
  const bool nl = encode(low, newLow);
  const bool nh = encode(high, newHigh);
  const bool sameLow =
      nl == hasLow_ &&
      (!nl || (CompareKeys(newLow, rangeLow_) == 0 && newLow.Length() == rangeLow_.Length()));
  const bool sameHigh =
      nh == hasHigh_ &&
      (!nh || (CompareKeys(newHigh, rangeHigh_) == 0 && newHigh.Length() == rangeHigh_.Length()));
  if (sameLow && sameHigh && (options == rangeOptions_ || (!nl && !nh))) return false;
  hasLow_ = nl;
  hasHigh_ = nh;
  if (nl)
    rangeLow_.AssignKey(newLow);
  else
    rangeLow_.Clear();
  if (nh)
    rangeHigh_.AssignKey(newHigh);
  else
    rangeHigh_.Clear();
  rangeOptions_ = (nl || nh) ? options : 0;
  First();
  return true;
}

// ---- maintenance ------------------------------------------------------------------

bool HXobjIndexTag::InsertKey(const HXobjIndexKeyData& key) {
  RequireOrderable();
  if (unique_) {
    HXobjIndexKeyData probe;
    probe.AssignKey(key);
    if (SeekLeaf(probe, false, false) && CompareKeys(probe, currentKey_) == 0) return false;
  }
  // Files ordered by record number: the place of (key, record); others:
  // after every equal key.
  HXobjIndexKeyData probe;
  probe.AssignKey(key);
  if (owner_->KeysByRecordNumber()) {
    Descend(probe, false, true);
  } else {
    probe.SetRecNo(0xFFFFFFFF);
    Descend(probe, false, false);
  }
  HXobjIndexKey* leaf = PathLeaf();
  const int at = std::clamp(leaf->position, 0, leaf->Count());
  HXobjIndexKeyData entry;
  entry.AssignKey(key);
  entry.SetLink(key.RecNo());
  if (entry.Kind() != hxvString && keyType_ == hxKeyCharacter) entry.SetKind(hxvString);
  leaf->keys.insert(leaf->keys.begin() + at, std::move(entry));
  leaf->position = at;
  leaf->dirty = true;
  if (at == leaf->Count() - 1) PropagateLastKey(*leaf);
  AnswerCurrent();
  return true;
}

void HXobjIndexTag::PropagateLastKey(HXobjIndexKey& node) {
  HXobjIndexKey* p = node.parent;
  if (!p || node.Count() == 0) return;
  if (p->position < 0 || p->position >= p->Count()) RaiseCorrupted();
  HXobjIndexKeyData& e = p->keys[static_cast<size_t>(p->position)];
  const HXobjIndexKeyData& last = node.keys.back();
  const uint32_t link = e.Link();
  e.AssignKey(last);
  e.SetLink(link);
  p->dirty = true;
  if (p->position == p->Count() - 1) PropagateLastKey(*p);
}

void HXobjIndexTag::RemoveCurrentEntry() {
  HXobjIndexKey* node = PathLeaf();
  int at = node->position;
  node->keys.erase(node->keys.begin() + at);
  node->dirty = true;
  for (;;) {
    if (node->Count() > 0) {
      if (at == node->Count()) PropagateLastKey(*node);
      node->position = std::min(at, node->Count());
      return;
    }
    HXobjIndexKey* p = node->parent;
    if (!p) {
      // The root lost its last entry: the tag is empty, its root a leaf.
      node->nodeClass = hxNodeLeaf;
      node->position = 0;
      node->child.reset();
      return;
    }
    // The empty node leaves the tree: its parent drops the entry for it (the
    // format unlinks it from its siblings when it is written).
    at = p->position;
    p->keys.erase(p->keys.begin() + at);
    p->dirty = true;
    p->position = std::min(at, p->Count() - 1);
    node = p;
    NoteStructureChanged();
  }
}

bool HXobjIndexTag::DeleteCurrent() {
  RequireOrderable();
  Reposition();
  HXobjIndexKey* leaf = PathLeaf();
  if (!leaf || leaf->position < 0 || leaf->position >= leaf->Count()) return false;
  RemoveCurrentEntry();
  positioned_ = false;
  currentKey_.Clear();
  return true;
}

void HXobjIndexTag::ReadOldRecordKey(HXobjIndexKeyData& key, bool& passesFor) {
  HXO_dBaseFld& t = *Table();
  const size_t length = t.RecordLength();
  savedRecord_.resize(length + 1);
  std::memcpy(savedRecord_.data(), t.SavedRecord(), length);
  savedRecord_[length] = 0x1A;
  const int64_t recno = t.RecNo();
  RecordBufferGuard guard(t, savedRecord_.data());
  t.SetRecNo(recno);
  CurrentRecordKey(key, static_cast<uint32_t>(recno));
  passesFor = !hasFor_ || TestFor();
}

bool HXobjIndexTag::UpdateRecord(int64_t recno, bool appended) {
  changed_ = false;
  HXO_dBaseFld* t = Table();
  if (!t || !keyHandler_ || recno <= 0) return false;
  const bool recordChanged = appended || t->RecordChanged() ||
                             std::memcmp(t->RecordBuffer(), t->SavedRecord(), t->RecordLength()) != 0;
  if (!hasFor_ && !recordChanged) return false;
  updating_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{updating_};
  const bool hadPath = root_ != nullptr;
  const int64_t savedRecno = t->RecNo();
  t->SetRecNo(recno);
  struct RestoreRecno {
    HXO_dBaseFld& table;
    int64_t recno;
    ~RestoreRecno() { table.SetRecNo(recno); }
  } restore{*t, savedRecno};

  if (!Orderable()) {
    // The keys of this tag cannot be placed; refuse any change it would
    // need instead of writing keys in a wrong order.
    ThxVariant newValue, oldValue;
    BuildKey(newValue);
    const bool forNew = !hasFor_ || TestFor();
    if (appended) {
      if (forNew) RequireOrderable();
      return false;
    }
    const size_t length = t->RecordLength();
    savedRecord_.resize(length + 1);
    std::memcpy(savedRecord_.data(), t->SavedRecord(), length);
    bool forOld;
    {
      RecordBufferGuard guard(*t, savedRecord_.data());
      t->SetRecNo(recno);
      BuildKey(oldValue);
      forOld = !hasFor_ || TestFor();
    }
    if (forNew != forOld ||
        (forNew && (newValue.Kind() != oldValue.Kind() || newValue.Bytes() != oldValue.Bytes())))
      RequireOrderable();
    return false;
  }

  HXobjIndexKeyData newKey;
  CurrentRecordKey(newKey, static_cast<uint32_t>(recno));
  const bool forNew = !hasFor_ || TestFor();
  bool insertionDue = false;
  if (appended) {
    insertionDue = true;
    if (forNew) Reset(hxResetUnpositioned);
  } else {
    HXobjIndexKeyData oldKey;
    bool forOld = true;
    ReadOldRecordKey(oldKey, forOld);
    const bool found = SeekEncoded(oldKey, false, recno) == recno;
    const bool differ = CompareKeys(oldKey, newKey) != 0;
    if (differ || (hasFor_ && !forNew)) {
      if (found) {
        RemoveCurrentEntry();
        changed_ = true;
      }
      insertionDue = true;
    } else {
      insertionDue = !found;
    }
  }
  if (forNew && insertionDue && InsertKey(newKey)) changed_ = true;
  // The nodes are written now, while the caller holds the index lock.
  if (!WritePath() && !hadPath) CachePath();
  return changed_;
}

// ---- HXobjIndexFile -----------------------------------------------------------------

HXobjIndexFile::HXobjIndexFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite)
    : disk_(std::make_unique<HXO_DiskFile>(fileName, shared, readWrite)), table_(table) {}

HXobjIndexFile::~HXobjIndexFile() {
  try {
    for (HXobjIndexTag* tag : tags_) tag->ReleasePath();
    while (lockLevel_ > 0) UnlockIndex();
  } catch (...) {
  }
}

std::string HXobjIndexFile::FileName() const { return ExtractFileName(disk_->FileName()); }
const std::string& HXobjIndexFile::FullName() const { return disk_->FileName(); }

void HXobjIndexFile::RaiseCorrupted() const {
  throw EKeldorIndexCorrupted(FormatKeldorMessage(hxErrIndexCorrupted, disk_->FileName()));
}

void HXobjIndexFile::AddTag(const std::string&, const std::string&, bool, bool, const std::string&) {}
bool HXobjIndexFile::DeleteTag(const std::string&) { return false; }
int64_t HXobjIndexFile::NewNode() { return -1; }
int64_t HXobjIndexFile::SyncFileEnd() { return -1; }
void HXobjIndexFile::Reindex() {}
bool HXobjIndexFile::ChangedByOthers() { return false; }

bool HXobjIndexFile::ReadBlock(int64_t offset, void* buffer, size_t count) {
  if (offset < 0) return false;
  const size_t n = disk_->ReadAt(static_cast<uint64_t>(offset), buffer, count);
  if (table_ && !table_->ReadPassword().empty()) {
    auto* p = static_cast<uint8_t*>(buffer);
    for (size_t done = 0; done < n; done += kCdxBlock)
      Transform(table_->ReadPassword(), p + done, p + done, std::min<size_t>(kCdxBlock, n - done), 0);
  }
  return n == count;
}

void HXobjIndexFile::WriteBlock(int64_t offset, const void* buffer, size_t count) {
  if (offset < 0) RaiseCorrupted();
  nodeCache_.Forget(offset, count);
  if (table_ && !table_->WritePassword().empty()) {
    cipher_.resize(count);
    const auto* p = static_cast<const uint8_t*>(buffer);
    for (size_t done = 0; done < count; done += kCdxBlock)
      Transform(table_->WritePassword(), p + done, cipher_.data() + done,
                std::min<size_t>(kCdxBlock, count - done), 1);
    disk_->WriteAt(static_cast<uint64_t>(offset), cipher_.data(), count);
    return;
  }
  disk_->WriteAt(static_cast<uint64_t>(offset), buffer, count);
}

void HXobjIndexFile::RenameFile(const std::string& newBaseName) {
  const std::string ext = ExtractFileExt(disk_->FileName());
  std::string target = ChangeFileExt(newBaseName, ext);
  if (ExtractFilePath(target).empty()) target = ExtractFilePath(disk_->FileName()) + target;
  disk_->RenameTo(target);
}

bool HXobjIndexFile::UpdateRecord(int64_t recno, bool appended) {
  bool any = false;
  for (HXobjIndexTag* tag : tags_)
    if (tag->UpdateRecord(recno, appended)) any = true;
  return any;
}

void HXobjIndexFile::SetLockProtocol(uint8_t protocol) { lockProtocol_ = protocol; }

void HXobjIndexFile::Recrypt() {
  Recrypt(table_ ? table_->ReadPassword() : std::string(), table_ ? table_->WritePassword() : std::string());
}

void HXobjIndexFile::Recrypt(const std::string& from, const std::string& to) {
  Flush();
  for (HXobjIndexTag* tag : tags_) tag->ReleasePath();
  DropNodeCache();
  const int64_t size = disk_->FileSize();
  uint8_t block[kCdxBlock];
  for (int64_t offset = 0; offset + kCdxBlock <= size; offset += kCdxBlock) {
    if (disk_->ReadAt(static_cast<uint64_t>(offset), block, kCdxBlock) != kCdxBlock) break;
    Transform(from, block, block, kCdxBlock, 0);
    Transform(to, block, block, kCdxBlock, 1);
    disk_->WriteAt(static_cast<uint64_t>(offset), block, kCdxBlock);
  }
}

HXobjIndexTag* HXobjIndexFile::TagByName(std::string_view name) const {
  const std::string wanted = HxTrim(name);
  for (HXobjIndexTag* tag : tags_)
    if (HxCompareText(tag->Name(), wanted) == 0) return tag;
  return nullptr;
}

bool HXobjIndexFile::TryLockIndex() {
  if (!disk_->Shared()) {
    ++lockLevel_;
    return true;
  }
  HxLockRange range;
  const bool known = HxIndexLockRange(lockProtocol_, range);
  auto attempt = [&] { return known && disk_->LockRange(range.offset, range.length); };
  if (!attempt()) {
    // A different range of our own cannot be joined by waiting.
    const bool ownOther = known && disk_->LockCount() > 0 &&
                          (disk_->LockOffset() != range.offset || disk_->LockLength() != range.length);
    if (ownOther || !WaitForLock(attempt)) return false;
  }
  if (++lockLevel_ == 1) {
    try {
      AfterLock();
    } catch (...) {
      --lockLevel_;
      disk_->Unlock();
      throw;
    }
  }
  return true;
}

void HXobjIndexFile::LockIndex() {
  if (!TryLockIndex()) disk_->RaiseFileError(hxErrCannotLock);
}

void HXobjIndexFile::UnlockIndex() {
  if (lockLevel_ <= 0) return;
  --lockLevel_;
  if (disk_->Shared()) disk_->Unlock();
}

void HXobjIndexFile::AfterLock() {
  // Blocks are taken at the file's end as found under this lock.
  if (disk_->Shared()) nextFree_ = -1;
}

void HXobjIndexFile::Flush() {
  for (HXobjIndexTag* tag : tags_) tag->Flush();
  disk_->Flush();
}

void HXobjIndexFile::ReleasePaths() {
  for (HXobjIndexTag* tag : tags_) tag->ReleasePath();
}

// ---- HxRecordScan -------------------------------------------------------------------

HxRecordScan::HxRecordScan(HXO_dBaseFld& table)
    : table_(table), savedBuffer_(table.RecordBuffer()), savedRecno_(table.RecNo()) {
  count_ = table_.RecordCount();
  const size_t length = std::max<size_t>(table_.RecordLength(), 1);
  perChunk_ = std::max<int64_t>(1, static_cast<int64_t>((size_t{256} << 10) / length));
  // One byte more than the records: the end mark the record buffer carries.
  chunk_.resize(static_cast<size_t>(perChunk_) * length + 1, 0x1A);
}

HxRecordScan::~HxRecordScan() {
  table_.SetRecordBuffer(savedBuffer_);
  table_.SetRecNo(savedRecno_);
}

bool HxRecordScan::Next() {
  if (recno_ >= count_) return false;
  const int64_t next = recno_ + 1;
  const size_t length = table_.RecordLength();
  if (next >= chunkFirst_ + chunkRecords_ || recno_ == 0) {
    const int64_t want = std::min(perChunk_, count_ - next + 1);
    // The table's own positioned read, not a handler's read-ahead.
    const size_t got = table_.HXO_DiskFile::ReadAt(table_.RecordOffset(next), chunk_.data(),
                                                   static_cast<size_t>(want) * length);
    const int64_t whole = static_cast<int64_t>(got / length);
    if (whole == 0) {
      count_ = recno_;  // the file ended early
      return false;
    }
    if (!table_.ReadPassword().empty())
      for (int64_t i = 0; i < whole; ++i)
        Transform(table_.ReadPassword(), chunk_.data() + i * length, chunk_.data() + i * length, length, 0);
    chunkFirst_ = next;
    chunkRecords_ = whole;
  }
  recno_ = next;
  current_ = chunk_.data() + static_cast<size_t>(recno_ - chunkFirst_) * length;
  table_.SetRecordBuffer(current_);
  table_.SetRecNo(recno_);
  return true;
}

// ---- opening by extension -----------------------------------------------------------

std::unique_ptr<HXobjIndexFile> HxOpenIndexFile(HXO_dBaseFld* table, const std::string& fileName) {
  return HxOpenIndexFile(table, fileName, table ? table->Shared() : false, table ? table->ReadWrite() : false,
                         table ? table->LockProtocol() : 0);
}

std::unique_ptr<HXobjIndexFile> HxOpenIndexFile(HXO_dBaseFld* table, const std::string& fileName, bool shared,
                                                bool readWrite, uint8_t lockProtocol) {
  std::string name = HxTrim(fileName);
  if (table && ExtractFilePath(name).empty()) name = ExtractFilePath(table->FileName()) + name;
  const std::string ext = HxUpperCase(ExtractFileExt(name));
  std::unique_ptr<HXobjIndexFile> file;
  if (ext == ".CDX") {
    file = std::make_unique<HXobjCDXFile>(table, name, shared, readWrite);
  } else if (ext == ".NDX" || ext == ".NTX" || ext == ".MDX") {
    // These kinds are opened, never created, here: a missing file is not found.
    if (!HXO_DiskFile(name, false, false).Exists()) RaiseKeldorError(hxErrFileNotFound, ExpandFileName(name));
    if (ext == ".NDX")
      file = std::make_unique<HXobjNDXFile>(table, name, shared, readWrite);
    else if (ext == ".NTX")
      file = std::make_unique<HXobjNTXFile>(table, name, shared, readWrite);
    else
      file = std::make_unique<HXobjMDXFile>(table, name, shared, readWrite);
  } else {
    RaiseKeldorError(hxErrFileNotFound, ExpandFileName(name));
  }
  if (file->Corrupted() || !file->IsOpen()) {
    if (file->Corrupted()) RaiseKeldorError(hxErrIndexCorrupted, fileName);
    RaiseKeldorError(hxErrFileNotFound, fileName);
  }
  file->SetLockProtocol(lockProtocol);
  return file;
}
