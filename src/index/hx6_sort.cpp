// The index build sort: a bounded byte trie, front-compressed sorted runs in
// 16 KB pages (moved to a temporary file past a memory budget), a heap merge
// of the runs, and the bottom-up packing of CDX nodes.
#include "index/hx6_sort.h"

#include <algorithm>
#include <cstring>

#include "framework/bytes.h"
#include "index/hx6_cdx.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr uint32_t kNodesPerBlock = kHxSortBlockBytes / 10;
constexpr uint32_t kNodeCapacity = kNodesPerBlock * kHxSortBlocks;
// More runs than this are merged in passes, so the merge buffers (a page each)
// stay bounded.
constexpr size_t kMaxWays = 128;
// A node whose children list grows past this many gets a direct table of its
// children by byte (an index beside the trie, which keeps its list); at most
// kMaxFans of them per trie.
constexpr int kFanThreshold = 12;
constexpr size_t kMaxFans = 1024;
constexpr uint8_t kFanFlag = 0x08;

}  // namespace

// ---- the temporary file -------------------------------------------------------------------

class ThxSortSpill {
 public:
  ThxSortSpill() = default;
  ~ThxSortSpill() {
    file_.reset();
    if (!name_.empty()) platform::DeleteFile(name_);
  }
  ThxSortSpill(const ThxSortSpill&) = delete;
  ThxSortSpill& operator=(const ThxSortSpill&) = delete;

  int64_t Write(const uint8_t* page) {
    Open();
    const int64_t offset = size_;
    if (file_->WriteAt(static_cast<uint64_t>(offset), page, kHxSortPageBytes) != kHxSortPageBytes)
      RaiseKeldorError(hxErrWrite, name_);
    size_ += kHxSortPageBytes;
    return offset;
  }
  void Read(int64_t offset, uint8_t* page) {
    if (!file_ || file_->ReadAt(static_cast<uint64_t>(offset), page, kHxSortPageBytes) != kHxSortPageBytes)
      RaiseKeldorError(hxErrRead, name_);
  }

 private:
  void Open() {
    if (file_) return;
    const std::string folder = platform::GetTempPath();
    name_ = platform::GetTempFileName(folder, "vsx");
    if (name_.empty()) RaiseKeldorError(hxErrCreate, folder + "vsx.tmp");
    file_ = platform::File::Open(name_, platform::Access::ReadWrite, platform::Share::Exclusive,
                                 platform::Disposition::OpenExisting);
    if (!file_) RaiseKeldorError(hxErrCreate, name_);
  }

  std::unique_ptr<platform::File> file_;
  std::string name_;
  int64_t size_ = 0;
};

// ---- ThxPageCollection -----------------------------------------------------------------------

ThxPageCollection::~ThxPageCollection() = default;

void ThxPageCollection::Append(uint8_t marker, const uint8_t* key, size_t length, size_t knownCommon) {
  size_t common = std::min(knownCommon, std::min(length, previousLength_));
  const size_t limit = std::min(length, previousLength_);
  while (common < limit && previous_[common] == key[common]) ++common;
  const size_t differ = length - common;
  const size_t size = 3 + differ;
  if (pages_.empty() || writePos_ + size > kHxSortPageBytes - 1) {
    if (!pages_.empty()) {
      pages_.back()[writePos_] = 0;
      if (direct_) SpillPages();
    }
    pages_.push_back(std::make_unique<uint8_t[]>(kHxSortPageBytes));
    writePos_ = 0;
  }
  uint8_t* p = pages_.back().get() + writePos_;
  p[0] = marker;
  p[1] = static_cast<uint8_t>(length);
  p[2] = static_cast<uint8_t>(differ);
  std::memcpy(p + 3, key + common, differ);
  writePos_ += size;
  std::memcpy(previous_ + common, key + common, differ);
  previousLength_ = length;
  ++entries_;
}

void ThxPageCollection::Close() {
  if (closed_) return;
  if (!pages_.empty()) pages_.back()[writePos_] = 0;
  closed_ = true;
  if (direct_) SpillPages();
}

void ThxPageCollection::SpillPages() {
  for (auto& page : pages_) filePages_.push_back(spill_->Write(page.get()));
  pages_.clear();
}

void ThxPageCollection::Spill() {
  if (!closed_) Close();
  SpillPages();
}

void ThxPageCollection::Rewind() {
  readPage_ = 0;
  readPos_ = 0;
  current_ = nullptr;
}

bool ThxPageCollection::LoadPage(size_t index) {
  if (!filePages_.empty()) {
    if (index >= filePages_.size()) return false;
    if (!readBuffer_) readBuffer_ = std::make_unique<uint8_t[]>(kHxSortPageBytes);
    spill_->Read(filePages_[index], readBuffer_.get());
    current_ = readBuffer_.get();
    return true;
  }
  if (index >= pages_.size()) return false;
  current_ = pages_[index].get();
  return true;
}

bool ThxPageCollection::Read(uint8_t& marker, uint8_t* key, size_t& length) {
  for (;;) {
    if (!current_) {
      if (!LoadPage(readPage_)) return false;
      readPos_ = 0;
    }
    if (readPos_ + 3 > kHxSortPageBytes || current_[readPos_] == 0) {
      ++readPage_;
      current_ = nullptr;
      continue;
    }
    const uint8_t* p = current_ + readPos_;
    marker = p[0];
    const size_t total = p[1];
    const size_t differ = std::min<size_t>(p[2], total);
    std::memcpy(key + total - differ, p + 3, differ);
    length = total;
    readPos_ += 3 + p[2];
    return true;
  }
}

void ThxPageCollection::FreeReadBuffer() { readBuffer_.reset(); }

// ---- ThxSort --------------------------------------------------------------------------------

struct ThxSort::Cursor {
  ThxPageCollection* run = nullptr;
  uint8_t marker = 0;
  size_t length = 0;
  uint8_t key[256] = {};
};

ThxSort::ThxSort(int maximumKeyLength, const uint8_t* collation, bool ascending, bool unique)
    : maxKey_(maximumKeyLength), collation_(collation), ascending_(ascending), unique_(unique) {
  if (maximumKeyLength < 1 || maximumKeyLength > kHxSortMaxKey)
    RaiseKeldorError(hxErrSortKeyLength, kHxSortMaxKey, maximumKeyLength);
  nodesUsed_ = 1;
}

ThxSort::~ThxSort() = default;

bool ThxSort::Spilled() const { return spill_ != nullptr; }

uint8_t ThxSort::Weight(uint8_t byte, size_t depth) const {
  return collation_ && depth < static_cast<size_t>(padLength_) ? collation_[byte] : byte;
}

void ThxSort::NoteMemory() {
  size_t bytes = blocks_.size() * kHxSortBlockBytes + fans_.size() * sizeof(std::array<uint32_t, 256>) +
                 fanSlots_.size() * sizeof(uint16_t);
  for (const auto& run : runs_) bytes += run->MemoryBytes();
  bytes += cursors_.size() * sizeof(Cursor);
  peakMemory_ = std::max(peakMemory_, bytes);
}

void ThxSort::AddKey(const ThxVariant& value, uint32_t recno) {
  if (!accepting_) RaiseKeldorError(hxErrSortKeysAfterRetrieval);
  const uint8_t* data = value.Data();
  const size_t length = data ? value.Length() : 0;
  switch (value.Kind()) {
    case hxvString:
      AddKeyBytes(hxSortCharacter, data, length, recno);
      return;
    case hxvRaw:
      AddKeyBytes(hxSortRaw, data, length, recno);
      return;
    case hxvNumber: {
      uint8_t b[8];
      HxSortableDouble(value.AsNumber(), b);
      AddKeyBytes(hxSortNumber, b, 8, recno);
      return;
    }
    case hxvDate: {
      uint8_t b[4];
      PutBE32(b, static_cast<uint32_t>(value.AsDate()) ^ 0x80000000u);
      AddKeyBytes(hxSortDate, b, 4, recno);
      return;
    }
    default:
      RaiseKeldorError(hxErrVariantNotSortable);
  }
}

void ThxSort::AddKeyBytes(uint8_t marker, const uint8_t* bytes, size_t length, uint32_t recno) {
  if (!accepting_) RaiseKeldorError(hxErrSortKeysAfterRetrieval);
  if (marker == hxSortCharacter)
    while (length > 0 && bytes[length - 1] == ' ') --length;
  if (length > static_cast<size_t>(maxKey_)) RaiseKeldorError(hxErrSortKeyLength, maxKey_, length);
  uint8_t buffer[256];
  if (length > 0) std::memcpy(buffer, bytes, length);
  size_t total = length;
  if (marker == hxSortCharacter && padLength_ > 0 && total < static_cast<size_t>(padLength_)) {
    const size_t padTo = std::min<size_t>(static_cast<size_t>(padLength_), static_cast<size_t>(maxKey_));
    std::memset(buffer + total, ' ', padTo - total);
    total = padTo;
  }
  PutBE32(buffer + total, recno);
  total += 4;
  Insert(marker, buffer, total);
  ++added_;
}

uint32_t ThxSort::NewNode() {
  const uint32_t index = nodesUsed_;
  if (index / kNodesPerBlock >= blocks_.size()) {
    blocks_.push_back(std::make_unique<uint8_t[]>(kHxSortBlockBytes));
    NoteMemory();
  }
  ++nodesUsed_;
  std::memset(Node(index), 0, 10);
  return index;
}

uint16_t& ThxSort::FanSlot(uint32_t node) {
  if (fanSlots_.size() <= node) fanSlots_.resize(std::max<size_t>(node + 1, blocks_.size() * kNodesPerBlock));
  return fanSlots_[node];
}

uint8_t* ThxSort::Node(uint32_t index) const {
  return blocks_[index / kNodesPerBlock].get() + (index % kNodesPerBlock) * 10;
}

// A node holding packed bytes gives them, one at a time, to a chain of
// nodes below it; `UnpackOne` moves the first of them into a new child.
void ThxSort::UnpackOne(uint32_t index) {
  uint8_t* n = Node(index);
  const int packed = n[8] & 7;
  if (packed == 0) return;
  uint8_t bytes[4];
  std::memcpy(bytes, n + 4, 4);
  const uint8_t marker = n[8] & 0xF0;
  const uint8_t fan = n[8] & kFanFlag;
  const uint32_t child = GetLE32(n);
  const uint32_t made = NewNode();
  n = Node(index);  // the block list may have grown
  uint8_t* m = Node(made);
  PutLE32(m, child);
  std::memset(m + 4, 0, 4);
  std::memcpy(m + 4, bytes + 1, static_cast<size_t>(packed - 1));
  m[8] = static_cast<uint8_t>(marker | fan | (packed - 1));
  m[9] = bytes[0];
  PutLE32(n, made);
  std::memset(n + 4, 0, 4);
  n[8] = 0;
  if (fan) {
    // The children list moved one node down, and its table with it.
    FanSlot(made) = FanSlot(index);
  }
}

void ThxSort::BuildFan(uint32_t parent) {
  if (fansUsed_ >= kMaxFans || collation_) return;
  if (fans_.size() <= fansUsed_) fans_.push_back(std::make_unique<std::array<uint32_t, 256>>());
  auto& table = *fans_[fansUsed_];
  table.fill(0);
  for (uint32_t c = GetLE32(Node(parent)); c != 0;) {
    const uint8_t* n = Node(c);
    table[n[9]] = c;
    c = (n[8] & 7) ? 0 : GetLE32(n + 4);
  }
  FanSlot(parent) = static_cast<uint16_t>(fansUsed_++);
  Node(parent)[8] = static_cast<uint8_t>(Node(parent)[8] | kFanFlag);
  NoteMemory();
}

bool ThxSort::SiblingBefore(uint8_t a, uint8_t b, size_t depth) const {
  // Sibling order: by weight, then by byte; reversed for a descending sort.
  const uint8_t wa = Weight(a, depth), wb = Weight(b, depth);
  const bool less = wa != wb ? wa < wb : a < b;
  const bool greater = wa != wb ? wa > wb : a > b;
  return ascending_ ? less : greater;
}

// Builds the rest of a key below a new node: up to 4 bytes packed into each
// node without siblings.
void ThxSort::AppendChain(uint32_t node, uint8_t marker, const uint8_t* key, size_t pos, size_t length) {
  for (;;) {
    uint8_t* n = Node(node);
    if (pos < length) {
      const size_t take = std::min<size_t>(4, length - pos);
      std::memcpy(n + 4, key + pos, take);
      n[8] = static_cast<uint8_t>(take);
      pos += take;
    }
    if (pos >= length) {
      n[8] = static_cast<uint8_t>(n[8] | marker);
      return;
    }
    const uint32_t child = NewNode();
    n = Node(node);
    PutLE32(n, child);
    Node(child)[9] = key[pos++];
    node = child;
  }
}

void ThxSort::Insert(uint8_t marker, const uint8_t* key, size_t length) {
  const uint32_t capacity = nodeLimit_ > 0 ? std::min(nodeLimit_, kNodeCapacity) : kNodeCapacity;
  if (nodesUsed_ + length + 8 > capacity) FlushTrie();
  trieEmpty_ = false;
  uint32_t node = rootIndex_[key[0]];
  if (node == 0) {
    node = NewNode();
    Node(node)[9] = key[0];
    rootIndex_[key[0]] = node;
    AppendChain(node, marker, key, 1, length);
    return;
  }
  size_t pos = 1;
  for (;;) {
    const int packed = Node(node)[8] & 7;
    if (packed > 0) {
      uint8_t bytes[4];
      std::memcpy(bytes, Node(node) + 4, 4);
      int match = 0;
      while (match < packed && pos + match < length && key[pos + match] == bytes[match]) ++match;
      if (match == packed) {
        pos += static_cast<size_t>(packed);
      } else {
        // The key leaves the packed run: unpack up to where it diverges.
        for (int i = 0; i < match; ++i) {
          UnpackOne(node);
          node = GetLE32(Node(node));
          ++pos;
        }
        UnpackOne(node);
      }
    }
    if (pos >= length) {
      uint8_t* n = Node(node);
      n[8] = static_cast<uint8_t>((n[8] & 0x0F) | marker);
      return;
    }
    const uint8_t b = key[pos];
    uint32_t prev = 0;
    uint32_t cur = GetLE32(Node(node));
    std::array<uint32_t, 256>* fan = nullptr;
    if (Node(node)[8] & kFanFlag) {
      fan = fans_[FanSlot(node)].get();
      if ((*fan)[b] != 0) {
        node = (*fan)[b];
        ++pos;
        continue;
      }
      // The nearest smaller (ascending) or greater (descending) child is the
      // one the new node follows.
      if (ascending_) {
        for (int x = b - 1; x >= 0 && prev == 0; --x) prev = (*fan)[static_cast<size_t>(x)];
      } else {
        for (int x = b + 1; x < 256 && prev == 0; ++x) prev = (*fan)[static_cast<size_t>(x)];
      }
      if (prev != 0) cur = (Node(prev)[8] & 7) ? 0 : GetLE32(Node(prev) + 4);
    } else {
      int steps = 0;
      while (cur != 0) {
        const uint8_t* c = Node(cur);
        if (c[9] == b || !SiblingBefore(c[9], b, pos)) break;
        prev = cur;
        cur = (c[8] & 7) ? 0 : GetLE32(c + 4);
        ++steps;
      }
      if (cur != 0 && Node(cur)[9] == b) {
        node = cur;
        ++pos;
        continue;
      }
      if (steps >= kFanThreshold) {
        BuildFan(node);
        if (Node(node)[8] & kFanFlag) fan = fans_[FanSlot(node)].get();
      }
    }
    const uint32_t made = NewNode();
    Node(made)[9] = b;
    if (fan) (*fan)[b] = made;
    if (cur != 0) PutLE32(Node(made) + 4, cur);
    if (prev != 0) {
      UnpackOne(prev);  // its sibling field must hold a sibling, not bytes
      PutLE32(Node(prev) + 4, made);
    } else {
      PutLE32(Node(node), made);
    }
    ++pos;
    if (cur != 0 && pos < length) {
      // A node with a sibling after it packs nothing: the rest of the key
      // starts in a child of its own.
      const uint32_t child = NewNode();
      PutLE32(Node(made), child);
      Node(child)[9] = key[pos++];
      AppendChain(child, marker, key, pos, length);
      return;
    }
    if (cur != 0) {
      Node(made)[8] = static_cast<uint8_t>(Node(made)[8] | marker);
      return;
    }
    AppendChain(made, marker, key, pos, length);
    return;
  }
}

void ThxSort::EmitTrie(ThxPageCollection& run) {
  struct Frame {
    uint32_t node;
    uint16_t depth;
    bool emit;  // emit the key ending at this node (descending order: after its children)
  };
  std::vector<Frame> stack;
  stack.reserve(512);
  uint8_t key[256];
  // First bytes in the order of their weights (then of the bytes).
  for (int i = 0; i < 256; ++i) rootOrder_[i] = static_cast<uint8_t>(i);
  if (collation_)
    std::stable_sort(rootOrder_, rootOrder_ + 256,
                     [&](uint8_t a, uint8_t b) { return Weight(a, 0) < Weight(b, 0); });
  if (ascending_) {
    for (int i = 255; i >= 0; --i)
      if (rootIndex_[rootOrder_[i]]) stack.push_back({rootIndex_[rootOrder_[i]], 0, false});
  } else {
    for (int i = 0; i < 256; ++i)
      if (rootIndex_[rootOrder_[i]]) stack.push_back({rootIndex_[rootOrder_[i]], 0, false});
  }
  // Bytes before the shallowest depth written since the last key are
  // shared with that key: the run need not compare them.
  size_t shared = 0;
  while (!stack.empty()) {
    Frame f = stack.back();
    stack.pop_back();
    shared = std::min<size_t>(shared, f.depth);
    if (f.emit) {
      const uint8_t* n = Node(f.node);
      const size_t length = f.depth + 1u + static_cast<size_t>(n[8] & 7);
      run.Append(n[8] & 0xF0, key, length, shared);
      shared = length;
      continue;
    }
    // Down a chain of nodes without a stack frame for each: only siblings
    // (and, descending, keys to emit after their children) wait on the stack.
    uint32_t node = f.node;
    size_t length = f.depth;
    while (node != 0) {
      const uint8_t* n = Node(node);
      const size_t at = length;
      key[length++] = n[9];
      const int packed = n[8] & 7;
      std::memcpy(key + length, n + 4, static_cast<size_t>(packed));
      length += static_cast<size_t>(packed);
      if (packed == 0 && GetLE32(n + 4) != 0)
        stack.push_back({GetLE32(n + 4), static_cast<uint16_t>(at), false});
      const uint8_t marker = n[8] & 0xF0;
      if (marker && ascending_) {
        run.Append(marker, key, length, shared);
        shared = length;
      }
      if (marker && !ascending_) stack.push_back({node, static_cast<uint16_t>(at), true});
      const uint32_t child = GetLE32(n);
      if (child == 0) break;
      if (!ascending_ && marker) {
        // The key ending here waits on the stack below the children.
        stack.push_back({child, static_cast<uint16_t>(length), false});
        break;
      }
      node = child;
    }
  }
}

void ThxSort::FlushTrie() {
  if (trieEmpty_) return;
  auto run = std::make_unique<ThxPageCollection>(nullptr);
  EmitTrie(*run);
  run->Close();
  runs_.push_back(std::move(run));
  nodesUsed_ = 1;
  std::memset(rootIndex_, 0, sizeof rootIndex_);
  fansUsed_ = 0;
  trieEmpty_ = true;
  NoteMemory();
  size_t inMemory = 0;
  for (const auto& r : runs_) inMemory += r->MemoryBytes();
  if (inMemory > memoryBudget_) {
    if (!spill_) spill_ = std::make_unique<ThxSortSpill>();
    for (auto& r : runs_) {
      r->SetSpill(spill_.get());
      r->Spill();
    }
  }
}

int ThxSort::CompareBytes(const uint8_t* a, size_t alength, const uint8_t* b, size_t blength) const {
  const size_t n = std::min(alength, blength);
  if (!collation_) {
    const int c = n ? std::memcmp(a, b, n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
  } else {
    for (size_t i = 0; i < n; ++i) {
      if (a[i] == b[i]) continue;
      const uint8_t wa = Weight(a[i], i), wb = Weight(b[i], i);
      if (wa != wb) return wa < wb ? -1 : 1;
      return a[i] < b[i] ? -1 : 1;
    }
  }
  return alength < blength ? -1 : (alength > blength ? 1 : 0);
}

bool ThxSort::Before(const Cursor& a, const Cursor& b) const {
  const int c = CompareBytes(a.key, a.length, b.key, b.length);
  return ascending_ ? c < 0 : c > 0;
}

void ThxSort::SiftDown(size_t i) {
  const size_t n = heap_.size();
  for (;;) {
    size_t best = i;
    const size_t l = 2 * i + 1, r = l + 1;
    if (l < n && Before(*heap_[l], *heap_[best])) best = l;
    if (r < n && Before(*heap_[r], *heap_[best])) best = r;
    if (best == i) return;
    std::swap(heap_[i], heap_[best]);
    i = best;
  }
}

void ThxSort::BuildHeap(std::vector<std::unique_ptr<Cursor>>& cursors,
                        const std::vector<ThxPageCollection*>& runs) {
  cursors.clear();
  heap_.clear();
  for (ThxPageCollection* run : runs) {
    auto c = std::make_unique<Cursor>();
    c->run = run;
    run->Rewind();
    if (run->Read(c->marker, c->key, c->length)) {
      heap_.push_back(c.get());
      cursors.push_back(std::move(c));
    }
  }
  for (size_t i = heap_.size() / 2; i-- > 0;) SiftDown(i);
}

bool ThxSort::Pop(uint8_t& marker, uint8_t*& key, size_t& length) {
  if (heap_.empty()) return false;
  Cursor* top = heap_[0];
  marker = top->marker;
  length = top->length;
  std::memcpy(keyBuf_, top->key, length);
  key = keyBuf_;
  if (!top->run->Read(top->marker, top->key, top->length)) {
    top->run->FreeReadBuffer();
    heap_[0] = heap_.back();
    heap_.pop_back();
  }
  if (!heap_.empty()) SiftDown(0);
  return true;
}

void ThxSort::MergeDown() {
  while (runs_.size() > kMaxWays) {
    if (!spill_) spill_ = std::make_unique<ThxSortSpill>();
    std::vector<ThxPageCollection*> group;
    for (size_t i = 0; i < kMaxWays; ++i) group.push_back(runs_[i].get());
    auto merged = std::make_unique<ThxPageCollection>(spill_.get());
    merged->SetDirect(true);
    std::vector<std::unique_ptr<Cursor>> cursors;
    BuildHeap(cursors, group);
    uint8_t marker;
    uint8_t* key;
    size_t length;
    while (Pop(marker, key, length)) merged->Append(marker, key, length);
    merged->Close();
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(kMaxWays));
    runs_.push_back(std::move(merged));
  }
}

void ThxSort::StartRetrieval() {
  accepting_ = false;
  FlushTrie();
  blocks_.clear();
  fans_.clear();
  fanSlots_.clear();
  fanSlots_.shrink_to_fit();
  MergeDown();
  std::vector<ThxPageCollection*> all;
  for (auto& r : runs_) all.push_back(r.get());
  BuildHeap(cursors_, all);
  NoteMemory();
}

bool ThxSort::NextKeyBytes(uint8_t& marker, const uint8_t*& bytes, size_t& length, uint32_t& recno) {
  if (accepting_) StartRetrieval();
  uint8_t* key;
  size_t total;
  while (Pop(marker, key, total)) {
    if (total < 4) continue;
    const size_t keyLength = total - 4;
    recno = GetBE32(key + keyLength);
    if (unique_ && havePrevious_ && keyLength == previousLength_ &&
        (keyLength == 0 || std::memcmp(previous_, key, keyLength) == 0))
      continue;
    std::memcpy(previous_, key, keyLength);
    previousLength_ = keyLength;
    havePrevious_ = true;
    bytes = key;
    length = keyLength;
    return true;
  }
  return false;
}

bool ThxSort::NextKey(ThxVariant& value, uint32_t& recno) {
  uint8_t marker;
  const uint8_t* bytes;
  size_t length;
  if (!NextKeyBytes(marker, bytes, length, recno)) return false;
  switch (marker) {
    case hxSortCharacter:
      while (length > 0 && bytes[length - 1] == ' ') --length;
      value.SetString(std::string_view(reinterpret_cast<const char*>(bytes), length));
      break;
    case hxSortNumber:
      value.SetNumber(HxDoubleFromSortable(bytes, length));
      break;
    case hxSortDate:
      value.SetDate(static_cast<int32_t>((length >= 4 ? GetBE32(bytes) : 0) ^ 0x80000000u));
      break;
    default:
      value.SetRaw(bytes, length);
      break;
  }
  return true;
}

// ---- HXobjSortCDX -----------------------------------------------------------------------------

struct HXobjSortCDX::Level {
  uint8_t buf[kCdxBlock];
  int64_t offset = -1;
  int64_t left = -1;
  int count = 0;
  bool leaf = false;
  int n = 0;
  int recBits = 0;
  int countBits = 0;
  int free = 0;
  int keyEnd = kCdxBlock;
  uint8_t prev[256];
  size_t prevLength = 0;
  uint8_t last[256];
  size_t lastLength = 0;
  uint32_t lastRecno = 0;
};

HXobjSortCDX::HXobjSortCDX(HXobjCDXTag* tag, const uint8_t* collation, bool unique)
    // One more than the key length, but never more than the longest sort key.
    : ThxSort(std::min(tag->KeyLength() + 1, kHxSortMaxKey), collation, true, unique),
      tag_(tag),
      recordCount_(tag->RecordCeiling()) {
  if (tag->KeyType() == hxKeyCharacter) SetPadLength(tag->KeyLength());
}

HXobjSortCDX::~HXobjSortCDX() {
  if (packed_ && !finished_) {
    try {
      Finish();
    } catch (...) {
    }
  }
}

void HXobjSortCDX::StartLeaf(Level& l) {
  std::memset(l.buf, 0, kCdxBlock);
  l.countBits = tag_->CountBits();
  l.n = 3;
  l.recBits = 24 - 2 * l.countBits;
  while (l.recBits < 32 && ((uint64_t{1} << l.recBits) - 1) < recordCount_) {
    ++l.n;
    l.recBits += 8;
  }
  const uint64_t recMask = l.recBits >= 32 ? 0xFFFFFFFFu : (uint64_t{1} << l.recBits) - 1;
  PutLE32(l.buf + 14, static_cast<uint32_t>(recMask));
  l.buf[18] = static_cast<uint8_t>((1u << l.countBits) - 1);
  l.buf[19] = static_cast<uint8_t>((1u << l.countBits) - 1);
  l.buf[20] = static_cast<uint8_t>(l.recBits);
  l.buf[21] = static_cast<uint8_t>(l.countBits);
  l.buf[22] = static_cast<uint8_t>(l.countBits);
  l.buf[23] = static_cast<uint8_t>(l.n);
  l.free = kCdxLeafArea;
  l.keyEnd = kCdxBlock;
  l.count = 0;
  l.prevLength = 0;
}

HXobjSortCDX::Level& HXobjSortCDX::LevelAt(size_t level) {
  while (levels_.size() <= level) {
    auto l = std::make_unique<Level>();
    l->leaf = levels_.empty();
    l->offset = tag_->CdxFile()->NewNode();
    l->left = -1;
    if (l->leaf) {
      StartLeaf(*l);
    } else {
      std::memset(l->buf, 0, kCdxBlock);
      std::memset(l->buf + 12, tag_->KeyType() == hxKeyCharacter ? ' ' : 0, kCdxBlock - 12);
    }
    levels_.push_back(std::move(l));
  }
  return *levels_[level];
}

void HXobjSortCDX::WriteLevel(Level& l, int64_t right, bool root) {
  PutLE16(l.buf, static_cast<uint16_t>((l.leaf ? 2 : 0) + (root ? 1 : 0)));
  PutLE16(l.buf + 2, static_cast<uint16_t>(l.count));
  PutLE32(l.buf + 4, l.left < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(l.left));
  PutLE32(l.buf + 8, right < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(right));
  if (l.leaf) PutLE16(l.buf + 12, static_cast<uint16_t>(l.free));
  tag_->CdxFile()->WriteBlock(l.offset, l.buf, kCdxBlock);
}

void HXobjSortCDX::CloseNode(size_t level) {
  Level& l = *levels_[level];
  const int64_t next = tag_->CdxFile()->NewNode();
  WriteLevel(l, next, false);
  const int64_t closed = l.offset;
  uint8_t last[256];
  const size_t lastLength = l.lastLength;
  const uint32_t lastRecno = l.lastRecno;
  std::memcpy(last, l.last, lastLength);
  l.left = closed;
  l.offset = next;
  if (l.leaf) {
    StartLeaf(l);
  } else {
    std::memset(l.buf, 0, kCdxBlock);
    std::memset(l.buf + 12, tag_->KeyType() == hxKeyCharacter ? ' ' : 0, kCdxBlock - 12);
    l.count = 0;
  }
  AddToInterior(level + 1, last, lastLength, lastRecno, closed);
}

void HXobjSortCDX::AddToLeaf(const uint8_t* key, size_t length, uint32_t recno) {
  Level* l = &LevelAt(0);
  const int keyLength = tag_->KeyLength();
  size_t dup = 0;
  if (l->count > 0)
    while (dup < length && dup < l->prevLength && l->prev[dup] == key[dup]) ++dup;
  int need = l->n + static_cast<int>(length - dup);
  if (l->count > 0 && need > l->free) {
    // The key does not fit: the node is closed and the key opens the next.
    CloseNode(0);
    l = levels_[0].get();
    dup = 0;
    need = l->n + static_cast<int>(length);
  }
  const int stored = static_cast<int>(length - dup);
  const int trail = keyLength - static_cast<int>(length);
  l->keyEnd -= stored;
  std::memcpy(l->buf + l->keyEnd, key + dup, static_cast<size_t>(stored));
  const uint64_t v = (uint64_t{recno} & ((uint64_t{1} << l->recBits) - 1)) | (uint64_t(dup) << l->recBits) |
                     (uint64_t(trail) << (l->recBits + l->countBits));
  uint8_t* e = l->buf + 24 + l->count * l->n;
  for (int i = 0; i < l->n; ++i) e[i] = static_cast<uint8_t>(v >> (8 * i));
  l->free -= need;
  ++l->count;
  std::memcpy(l->prev, key, length);
  l->prevLength = length;
  std::memcpy(l->last, key, length);
  l->lastLength = length;
  l->lastRecno = recno;
}

void HXobjSortCDX::AddToInterior(size_t level, const uint8_t* key, size_t length, uint32_t recno,
                                 int64_t child) {
  Level* l = &LevelAt(level);
  if (l->count == tag_->KeysPerNode()) {
    CloseNode(level);
    l = levels_[level].get();
  }
  const int keyLength = tag_->KeyLength();
  uint8_t* e = l->buf + 12 + l->count * tag_->EntrySize();
  std::memset(e, tag_->KeyType() == hxKeyCharacter ? ' ' : 0, static_cast<size_t>(keyLength));
  std::memcpy(e, key, std::min<size_t>(length, static_cast<size_t>(keyLength)));
  PutBE32(e + keyLength, recno);
  PutBE32(e + keyLength + 4, static_cast<uint32_t>(child));
  ++l->count;
  std::memcpy(l->last, key, length);
  l->lastLength = length;
  l->lastRecno = recno;
}

void HXobjSortCDX::Pack() {
  packed_ = true;
  HXO_dBaseFld* table = tag_->Table();
  const size_t keyLength = static_cast<size_t>(tag_->KeyLength());
  const bool character = tag_->KeyType() == hxKeyCharacter;
  uint8_t marker;
  const uint8_t* bytes;
  size_t length;
  uint32_t recno;
  while (NextKeyBytes(marker, bytes, length, recno)) {
    // Stored form: character keys without trailing blanks, other keys
    // without trailing zero bytes; never longer than the key length.
    length = std::min(length, keyLength);
    if (character)
      while (length > 0 && bytes[length - 1] == ' ') --length;
    else
      while (length > 0 && bytes[length - 1] == 0) --length;
    ++written_;
    if (table) table->EventHook(2, static_cast<int>(std::min<int64_t>(written_, INT32_MAX)), 0);
    AddToLeaf(bytes, length, recno);
  }
}

void HXobjSortCDX::Finish() {
  if (finished_) return;
  finished_ = true;
  for (size_t level = 0; level < levels_.size(); ++level) {
    Level& l = *levels_[level];
    if (l.count == 0) continue;
    const bool top = level + 1 == levels_.size();
    WriteLevel(l, -1, top);
    if (top) {
      tag_->SetRoot(l.offset);
    } else {
      uint8_t last[256];
      std::memcpy(last, l.last, l.lastLength);
      AddToInterior(level + 1, last, l.lastLength, l.lastRecno, l.offset);
    }
  }
  levels_.clear();
}
