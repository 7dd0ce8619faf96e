// CDX compound index files: tag headers, compressed leaf and interior nodes,
// the tag directory, creating, adding, deleting and rebuilding tags.
#include "index/hx6_cdx.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>

#include "expr/hx6_sql.h"
#include "framework/bytes.h"
#include "index/hx6_sort.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

int64_t SiblingFrom(uint32_t v) { return v == kNone ? -1 : static_cast<int64_t>(v); }
uint32_t SiblingTo(int64_t v) { return v < 0 ? kNone : static_cast<uint32_t>(v); }

uint64_t GetLEN(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

void PutLEN(uint8_t* p, int n, uint64_t v) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t Mask(int bits) { return bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1; }

// One leaf as stored: the fields of its header and its keys in stored form.
struct LeafImage {
  int count = 0;
  int n = 0;
  int recBits = 0, dupBits = 0, trailBits = 0;
  int freeStored = 0;
  int freeComputed = 0;
};

// Decodes a leaf block. `emit` receives every key (bytes, length, record
// number). Returns an empty text when the leaf is sound, else the problem.
template <typename Emit>
std::string ParseLeaf(const uint8_t* b, int keyLength, bool character, bool general, LeafImage& img,
                      Emit&& emit) {
  img.count = GetLE16(b + 2);
  img.freeStored = GetLE16(b + 12);
  img.recBits = b[20];
  img.dupBits = b[21];
  img.trailBits = b[22];
  img.n = b[23];
  const int n = img.n;
  if (n < 1 || n > 8) return "bytes per entry " + std::to_string(n) + " out of range";
  if (img.recBits > 32 || img.dupBits > 8 || img.trailBits > 8 ||
      img.recBits + img.dupBits + img.trailBits > 8 * n)
    return "bit widths do not fit the entry";
  if (img.count * n > kCdxLeafArea) return "key count " + std::to_string(img.count) + " does not fit a leaf";
  const uint64_t recMask = Mask(img.recBits), dupMask = Mask(img.dupBits), trailMask = Mask(img.trailBits);
  const int dupShift = 8 * n - img.trailBits - img.dupBits;
  const int trailShift = 8 * n - img.trailBits;
  const int entriesEnd = 24 + img.count * n;
  const uint8_t pad = character ? ' ' : 0;
  uint8_t key[256];
  std::memset(key, pad, sizeof key);
  int keyEnd = kCdxBlock;
  for (int i = 0; i < img.count; ++i) {
    const uint64_t v = GetLEN(b + 24 + i * n, n);
    const uint32_t recno = static_cast<uint32_t>(v & recMask);
    const int dup = static_cast<int>((v >> dupShift) & dupMask);
    const int trail = static_cast<int>((v >> trailShift) & trailMask);
    if (dup + trail > keyLength)
      return "entry " + std::to_string(i + 1) + " claims more bytes than the key length";
    const int stored = keyLength - dup - trail;
    if (keyEnd - stored < entriesEnd)
      return "key bytes of entry " + std::to_string(i + 1) + " overlap the entries";
    std::memcpy(key + dup, b + keyEnd - stored, static_cast<size_t>(stored));
    keyEnd -= stored;
    std::memset(key + keyLength - trail, pad, static_cast<size_t>(trail));
    if (general && character) {
      for (int p = keyLength - trail - 1; p >= 0 && key[p] <= 15; --p)
        key[p] = static_cast<uint8_t>(key[p] + 0xF0);
    }
    size_t length = static_cast<size_t>(keyLength - trail);
    if (character)
      while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == 0)) --length;
    emit(key, length, recno);
  }
  img.freeComputed = keyEnd - entriesEnd;
  return std::string();
}

int BitWidth(int v) { return v <= 0 ? 1 : static_cast<int>(std::bit_width(static_cast<unsigned>(v))); }

}  // namespace

// ---- sortable doubles ---------------------------------------------------------------

void HxSortableDouble(double value, uint8_t out[8]) {
  if (value == 0) value = 0;  // -0.0 sorts with 0
  uint64_t bits = std::bit_cast<uint64_t>(value);
  if (bits >> 63)
    bits = ~bits;
  else
    bits |= uint64_t{1} << 63;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
}

double HxDoubleFromSortable(const uint8_t* bytes, size_t count) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) bits = (bits << 8) | (i < count ? bytes[i] : 0);
  if (bits >> 63)
    bits &= ~(uint64_t{1} << 63);
  else
    bits = ~bits;
  return std::bit_cast<double>(bits);
}

// ---- HXobjCDXTag ----------------------------------------------------------------------

HXobjCDXTag::HXobjCDXTag(HXobjCDXFile* owner, const std::string& name, int64_t headerOffset, bool directory)
    : HXobjIndexTag(owner, name, headerOffset), cdx_(owner), directory_(directory) {
  SetKindText("CDX");
  SetKeyType(hxKeyCharacter);
  SetKeyLength(10);
  options_ = directory ? 0xE0 : 0x60;
}

HXobjCDXTag::~HXobjCDXTag() {
  // The base destructor can no longer reach this format's WriteNode.
  try {
    WritePath();
  } catch (...) {
  }
  DiscardPath();
}

int HXobjCDXTag::CountBits() const { return BitWidth(KeyLength()); }

uint32_t HXobjCDXTag::RecordCeiling() const {
  if (directory_) return static_cast<uint32_t>(std::max<int64_t>(cdx_->DiskFile().FileSize(), 1));
  HXO_dBaseFld* t = Table();
  return static_cast<uint32_t>(std::clamp<int64_t>(t ? t->RecordCount() : 1, 1, 0xFFFFFFFF));
}

void HXobjCDXTag::EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) {
  if (collation_ == hxCollationGeneral && !directory_) RequireOrderable();
  switch (KeyType()) {
    case hxKeyNumeric:
    case hxKeyDate: {
      double d;
      if (KeyType() == hxKeyDate) {
        d = value.Kind() == hxvNumber ? value.AsNumber() : static_cast<double>(value.AsDate());
      } else {
        d = value.Kind() == hxvDate ? static_cast<double>(value.AsDate()) : value.AsNumber();
      }
      uint8_t b[8];
      HxSortableDouble(d, b);
      size_t n = 8;
      // Zero bytes at the end of a non-negative value are restored as zeros
      // when read back; a negative value keeps all its bytes (its low bytes
      // are 0xFF, which no reader would restore).
      if (trim && !std::signbit(d))
        while (n > 0 && b[n - 1] == 0) --n;
      key.SetRaw(b, n);
      return;
    }
    case hxKeyInteger: {
      int32_t v;
      if (value.Kind() == hxvRaw && value.Length() == 4) {
        v = static_cast<int32_t>(GetLE32(value.Data()));
      } else {
        const double d = value.AsNumber();
        v = d >= 2147483647.0 ? 2147483647
                              : (d <= -2147483648.0 ? INT32_MIN : static_cast<int32_t>(std::trunc(d)));
      }
      uint8_t b[4];
      PutBE32(b, static_cast<uint32_t>(v) ^ 0x80000000u);
      key.SetRaw(b, 4);
      return;
    }
    default:
      HXobjIndexTag::EncodeKey(value, trim, key);
      return;
  }
}

void HXobjCDXTag::MakeEmptyRoot() {
  const int64_t offset = cdx_->NewNode();
  uint8_t b[kCdxBlock] = {};
  PutLE16(b, 3);
  PutLE16(b + 2, 0);
  PutLE32(b + 4, kNone);
  PutLE32(b + 8, kNone);
  const int cb = CountBits();
  const int recBits = 24 - 2 * cb;
  PutLE16(b + 12, kCdxLeafArea);
  PutLE32(b + 14, static_cast<uint32_t>(Mask(recBits)));
  b[18] = static_cast<uint8_t>(Mask(cb));
  b[19] = static_cast<uint8_t>(Mask(cb));
  b[20] = static_cast<uint8_t>(recBits);
  b[21] = static_cast<uint8_t>(cb);
  b[22] = static_cast<uint8_t>(cb);
  b[23] = 3;
  cdx_->WriteBlock(offset, b, kCdxBlock);
  SetRoot(offset);
}

void HXobjCDXTag::Define(const std::string& keyExpression, bool unique, bool ascending,
                         const std::string& forExpression) {
  DefineTag(keyExpression, unique, ascending, forExpression, true);
}

void HXobjCDXTag::DefineTag(const std::string& keyExpression, bool unique, bool ascending,
                            const std::string& forExpression, bool build) {
  HXobjIndexTag::Define(keyExpression, unique, ascending, forExpression);
  if (keyExpression.size() + forExpression.size() + 2 > kCdxBlock)
    throw EKeldorError(
        FormatKeldorText("The key and FOR expressions of index tag %s are longer than %d characters",
                         {Name(), kCdxBlock - 2}));
  char type = hxKeyCharacter;
  int length = 10;
  if (!directory_ && KeyHandler()) {
    ThxVariant value;
    EvaluateKeyType(value);
    TypeFromValue(value, type, length);
    if (value.Kind() == hxvRaw && type != hxKeyInteger)
      throw EKeldorError(FormatKeldorText(
          "The key expression %s of index tag %s gives a binary value, which cannot be indexed",
          {keyExpression, Name()}));
  }
  SetKeyType(type);
  SetKeyLength(length);
  options_ = directory_ ? 0xE0 : 0x60;
  collation_ = hxCollationNone;
  SetNotOrderable(std::string());
  const uint8_t zero[kCdxHeaderSize] = {};
  cdx_->WriteBlock(HeaderOffset(), zero, kCdxHeaderSize);
  if (build)
    Build();
  else
    MakeEmptyRoot();
  SetDirty(true);
  WriteHeader();
}

bool HXobjCDXTag::InsertKey(const HXobjIndexKeyData& key) {
  RequireOrderable();
  return HXobjIndexTag::InsertKey(key);
}

int64_t HXobjCDXTag::RootOffset() { return rootOffset_; }

// ---- header ----------------------------------------------------------------------------

bool HXobjCDXTag::ReadHeader() {
  uint8_t h[kCdxHeaderSize];
  if (HeaderOffset() < 0 || !cdx_->ReadBlock(HeaderOffset(), h, kCdxHeaderSize)) return false;
  const int64_t size = cdx_->DiskFile().FileSize();
  const uint32_t root = GetLE32(h);
  if (root == 0 || root % kCdxBlock != 0 || static_cast<int64_t>(root) + kCdxBlock > size) return false;
  const int keyLength = GetLE16(h + 12);
  if (keyLength < 1 || keyLength > kHxMaxKeyLength) return false;
  SetRootOffset(root);
  SetKeyLength(keyLength);
  changeCounter_ = GetLE32(h + 8);
  const uint8_t options = h[14];
  SetDescendingFlag(GetLE16(h + 502) != 0);
  char name[9] = {};
  std::memcpy(name, h + 494, 8);
  collation_ = HxStrIComp(name, "GENERAL") == 0   ? hxCollationGeneral
               : HxStrIComp(name, "MACHINE") == 0 ? hxCollationMachine
                                                  : hxCollationNone;
  SetNotOrderable(std::string());
  if (directory_) {
    SetKeyType(hxKeyCharacter);
    SetUniqueFlag(false);
    collation_ = hxCollationNone;
    options_ = 0xE0;
    SetDirty(false);
    return true;
  }
  SetUniqueFlag((options & kCdxOptUnique) != 0);
  const char* area = reinterpret_cast<const char*>(h + 512);
  const size_t keyLen = strnlen(area, 512);
  std::string keyText(area, keyLen);
  std::string forText;
  if ((options & kCdxOptFor) && keyLen + 1 < 512)
    forText.assign(area + keyLen + 1, strnlen(area + keyLen + 1, 511 - keyLen));
  if (HxTrim(keyText).empty()) return false;
  SetExpressions(keyText, forText);
  CompileKey();
  CompileFor();
  if (collation_ == hxCollationGeneral) {
    SetKeyType(hxKeyCharacter);
    SetNotOrderable("its keys use the GENERAL collation, whose weights this engine does not have");
  } else {
    char type = hxKeyCharacter;
    int length = keyLength;
    if (Table()) {
      ThxVariant value;
      EvaluateKeyType(value);
      TypeFromValue(value, type, length);
      if (value.Kind() == hxvRaw && type != hxKeyInteger)
        SetNotOrderable("its key is a binary value the engine cannot encode");
    }
    SetKeyType(type);
    if ((type == hxKeyNumeric || type == hxKeyDate || type == hxKeyInteger) && length != keyLength)
      SetNotOrderable("its key length " + std::to_string(keyLength) + " does not fit a key of type " +
                      std::string(1, type));
  }
  options_ = 0x60;
  SetDirty(false);
  return true;
}

void HXobjCDXTag::WriteHeader() {
  if (Dirty()) WriteHeaderBytes(kCdxHeaderSize);
}

void HXobjCDXTag::WriteHeaderBytes(size_t count) {
  uint8_t h[kCdxHeaderSize] = {};
  PutLE32(h, static_cast<uint32_t>(RootOffset()));
  PutLE32(h + 4, 0);
  PutLE32(h + 8, changeCounter_);
  PutLE16(h + 12, static_cast<uint16_t>(KeyLength()));
  uint8_t options = directory_ ? 0xE0 : 0x60;
  if (!directory_) {
    if (Unique()) options |= kCdxOptUnique;
    if (HasFor()) options |= kCdxOptFor;
  }
  h[14] = options;
  h[15] = 1;
  if (collation_ == hxCollationGeneral && !directory_) {
    std::memcpy(h + 494, "GENERAL", 7);
    h[15] = 2;
  }
  PutLE16(h + 502, Descending() ? 1 : 0);
  const std::string& key = KeyExpression();
  const std::string forText = HasFor() ? ForExpression() : std::string();
  PutLE16(h + 504, static_cast<uint16_t>(key.empty() ? 0 : key.size() + 1));
  PutLE16(h + 506, static_cast<uint16_t>(forText.size() + 1));
  PutLE16(h + 508, 0);
  PutLE16(h + 510, static_cast<uint16_t>(key.size() + 1));
  const size_t keyBytes = std::min<size_t>(key.size(), 510);
  std::memcpy(h + 512, key.data(), keyBytes);
  const size_t forBytes = std::min<size_t>(forText.size(), 510 - keyBytes);
  std::memcpy(h + 512 + keyBytes + 1, forText.data(), forBytes);
  cdx_->WriteBlock(HeaderOffset(), h, std::min<size_t>(count, kCdxHeaderSize));
  SetDirty(false);
}

// ---- reading nodes ----------------------------------------------------------------------

void HXobjCDXTag::ReadBlockChecked(int64_t offset, uint8_t* block) {
  if (offset < kCdxBlock || offset % kCdxBlock != 0 || !cdx_->BlockInFile(offset)) RaiseCorrupted();
  if (!cdx_->ReadBlock(offset, block, kCdxBlock)) RaiseCorrupted();
}

void HXobjCDXTag::ReadNode(int64_t offset, HXobjIndexKey& node) {
  ReadBlockChecked(offset, block_);
  node.offset = offset;
  node.left = SiblingFrom(GetLE32(block_ + 4));
  node.right = SiblingFrom(GetLE32(block_ + 8));
  node.position = -1;
  node.dirty = false;
  const int attributes = GetLE16(block_);
  try {
    if (attributes >= 2) {
      node.nodeClass = hxNodeLeaf;
      DecodeLeaf(block_, node);
    } else {
      node.nodeClass = hxNodeInterior;
      DecodeInterior(block_, node);
    }
  } catch (...) {
    node.offset = -1;
    throw;
  }
}

void HXobjCDXTag::DecodeLeaf(const uint8_t* block, HXobjIndexKey& node) {
  LeafImage img;
  const bool character = Padded();
  size_t i = 0;
  node.keys.resize(std::min<size_t>(GetLE16(block + 2), kCdxLeafArea));
  const std::string problem =
      ParseLeaf(block, KeyLength(), character, collation_ == hxCollationGeneral && !directory_, img,
                [&](const uint8_t* key, size_t length, uint32_t recno) {
                  HXobjIndexKeyData& k = node.keys[i++];
                  if (character)
                    k.SetString(std::string_view(reinterpret_cast<const char*>(key), length));
                  else
                    k.SetRaw(key, length);
                  k.SetRecNo(recno);
                  k.SetLink(recno);
                });
  if (!problem.empty()) {
    node.keys.clear();
    RaiseCorrupted();
  }
  node.keys.resize(i);
}

void HXobjCDXTag::DecodeInterior(const uint8_t* block, HXobjIndexKey& node) {
  const int count = GetLE16(block + 2);
  const int size = EntrySize();
  if (count > KeysPerNode() || 12 + count * size > kCdxBlock) RaiseCorrupted();
  node.keys.resize(static_cast<size_t>(count));
  const bool character = Padded();
  const bool general = collation_ == hxCollationGeneral && !directory_;
  uint8_t key[256];
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = block + 12 + i * size;
    std::memcpy(key, e, static_cast<size_t>(KeyLength()));
    size_t length = static_cast<size_t>(KeyLength());
    HXobjIndexKeyData& k = node.keys[static_cast<size_t>(i)];
    if (character) {
      while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == 0)) --length;
      if (general)
        for (size_t p = length; p-- > 0 && key[p] <= 15;) key[p] = static_cast<uint8_t>(key[p] + 0xF0);
      k.SetString(std::string_view(reinterpret_cast<const char*>(key), length));
    } else {
      while (length > 0 && key[length - 1] == 0) --length;
      k.SetRaw(key, length);
    }
    k.SetRecNo(GetBE32(e + KeyLength()));
    const uint32_t child = GetBE32(e + KeyLength() + 4);
    if (child == 0 || child % kCdxBlock != 0) RaiseCorrupted();
    k.SetLink(child);
  }
}

std::string HXobjCDXTag::VerifyNode(int64_t offset) {
  uint8_t b[kCdxBlock];
  if (offset < kCdxBlock || offset % kCdxBlock != 0 || !cdx_->BlockInFile(offset) ||
      !cdx_->ReadBlock(offset, b, kCdxBlock))
    return "node at " + std::to_string(offset) + " cannot be read";
  if (GetLE16(b) < 2) {
    if (GetLE16(b + 2) > KeysPerNode())
      return "interior node at " + std::to_string(offset) + " holds more entries than fit";
    return std::string();
  }
  LeafImage img;
  std::string problem =
      ParseLeaf(b, KeyLength(), Padded(), false, img, [](const uint8_t*, size_t, uint32_t) {});
  if (!problem.empty()) return "leaf at " + std::to_string(offset) + ": " + problem;
  if (img.freeStored != img.freeComputed)
    return "leaf at " + std::to_string(offset) + " says " + std::to_string(img.freeStored) +
           " free bytes, holds " + std::to_string(img.freeComputed);
  if (GetLE32(b + 14) != Mask(img.recBits) || b[18] != Mask(img.dupBits) || b[19] != Mask(img.trailBits))
    return "leaf at " + std::to_string(offset) + " has masks that do not match its bit widths";
  return std::string();
}

// ---- writing nodes ----------------------------------------------------------------------

void HXobjCDXTag::PackLeaf(const std::vector<const HXobjIndexKeyData*>& keys, uint8_t* b, int attributes,
                           int64_t left, int64_t right) {
  uint32_t ceiling = RecordCeiling();
  for (const HXobjIndexKeyData* k : keys) ceiling = std::max(ceiling, k->RecNo());
  const int cb = CountBits();
  int n = 2;
  int recBits = 8 * n - 2 * cb;
  while (recBits < 32 && (recBits < 1 || Mask(recBits) < ceiling)) {
    ++n;
    recBits += 8;
  }
  std::memset(b, 0, kCdxBlock);
  PutLE16(b, static_cast<uint16_t>(attributes));
  PutLE16(b + 2, static_cast<uint16_t>(keys.size()));
  PutLE32(b + 4, SiblingTo(left));
  PutLE32(b + 8, SiblingTo(right));
  PutLE32(b + 14, static_cast<uint32_t>(Mask(recBits)));
  b[18] = static_cast<uint8_t>(Mask(cb));
  b[19] = static_cast<uint8_t>(Mask(cb));
  b[20] = static_cast<uint8_t>(recBits);
  b[21] = static_cast<uint8_t>(cb);
  b[22] = static_cast<uint8_t>(cb);
  b[23] = static_cast<uint8_t>(n);
  const int keyLength = KeyLength();
  const bool general = collation_ == hxCollationGeneral && !directory_ && Padded();
  int keyEnd = kCdxBlock;
  const uint8_t* prev = nullptr;
  size_t prevLength = 0;
  int used = 0;
  for (size_t i = 0; i < keys.size(); ++i) {
    const HXobjIndexKeyData& k = *keys[i];
    const uint8_t* data = k.Data();
    // A key longer than the key length is cut, never written past the node.
    size_t length = std::min<size_t>(data ? k.Length() : 0, static_cast<size_t>(keyLength));
    if (Padded())
      while (length > 0 && data[length - 1] == ' ') --length;
    else
      while (length > 0 && data[length - 1] == 0) --length;
    size_t dup = 0;
    if (prev)
      while (dup < length && dup < prevLength && prev[dup] == data[dup]) ++dup;
    const int stored = static_cast<int>(length - dup);
    const int trail = keyLength - static_cast<int>(length);
    keyEnd -= stored;
    if (keyEnd < 24 + static_cast<int>(keys.size()) * n) RaiseCorrupted();  // the caller measured wrongly
    // An empty key may have no bytes at all (a null pointer memcpy must not see).
    if (stored > 0) std::memcpy(b + keyEnd, data + dup, static_cast<size_t>(stored));
    if (general)
      for (int p = keyEnd + stored - 1; p >= keyEnd && b[p] >= 0xF0; --p)
        b[p] = static_cast<uint8_t>(b[p] & 0x0F);
    const uint64_t v = (uint64_t{k.RecNo()} & Mask(recBits)) | (uint64_t(dup) << recBits) |
                       (uint64_t(trail) << (recBits + cb));
    PutLEN(b + 24 + i * static_cast<size_t>(n), n, v);
    used += n + stored;
    prev = data;
    prevLength = length;
  }
  PutLE16(b + 12, static_cast<uint16_t>(kCdxLeafArea - used));
}

void HXobjCDXTag::WriteNode(HXobjIndexKey& node) {
  if (node.Count() == 0 && node.parent) {
    // An emptied node leaves its level: its neighbours point past it.
    if (node.left >= 0) PatchRightSibling(node.left, node.right);
    if (node.right >= 0) PatchLeftSibling(node.right, node.left);
    node.dirty = false;
    NoteStructureChanged();
    return;
  }
  if (node.IsLeaf())
    WriteLeaf(node);
  else
    WriteInterior(node);
  node.dirty = false;
}

void HXobjCDXTag::SplitRoot(HXobjIndexKey& node) { GrowRoot(node, cdx_->NewNode()); }

void HXobjCDXTag::PatchRightSibling(int64_t offset, int64_t right) {
  uint8_t b[kCdxBlock];
  ReadBlockChecked(offset, b);
  PutLE32(b + 8, SiblingTo(right));
  cdx_->WriteBlock(offset, b, kCdxBlock);
}

void HXobjCDXTag::PatchLeftSibling(int64_t offset, int64_t left) {
  uint8_t b[kCdxBlock];
  ReadBlockChecked(offset, b);
  PutLE32(b + 4, SiblingTo(left));
  cdx_->WriteBlock(offset, b, kCdxBlock);
}

namespace {

// Hands the parent of `node` an entry for a new left neighbour holding the
// first `count` keys of `node`.
void GiveParentLeftEntry(HXobjIndexKey& node, const HXobjIndexKeyData& last, int64_t leftOffset) {
  HXobjIndexKey& p = *node.parent;
  HXobjIndexKeyData entry;
  entry.AssignKey(last);
  entry.SetLink(static_cast<uint32_t>(leftOffset));
  const int at = std::clamp(p.position, 0, p.Count());
  p.keys.insert(p.keys.begin() + at, std::move(entry));
  p.position = at + 1;
  p.dirty = true;
}

}  // namespace

void HXobjCDXTag::WriteLeaf(HXobjIndexKey& node) {
  std::vector<const HXobjIndexKeyData*> keys;
  for (;;) {
    // Measure as the leaf would be packed (N as for a rewrite).
    uint32_t ceiling = RecordCeiling();
    for (const auto& k : node.keys) ceiling = std::max(ceiling, k.RecNo());
    const int cb = CountBits();
    int n = 2;
    int recBits = 8 * n - 2 * cb;
    while (recBits < 32 && (recBits < 1 || Mask(recBits) < ceiling)) {
      ++n;
      recBits += 8;
    }
    const bool padded = Padded();
    auto lengthOf = [&](const HXobjIndexKeyData& k) {
      const uint8_t* d = k.Data();
      size_t l = std::min<size_t>(d ? k.Length() : 0, static_cast<size_t>(KeyLength()));
      while (l > 0 && d[l - 1] == (padded ? ' ' : 0)) --l;
      return l;
    };
    int total = 0;
    int counted = 0;
    const uint8_t* prev = nullptr;
    size_t prevLength = 0;
    for (const auto& k : node.keys) {
      const size_t l = lengthOf(k);
      size_t dup = 0;
      if (prev)
        while (dup < l && dup < prevLength && prev[dup] == k.Data()[dup]) ++dup;
      total += n + static_cast<int>(l - dup);
      if (total < 250) ++counted;
      prev = k.Data();
      prevLength = l;
    }
    if (total <= kCdxLeafArea - 1 || node.Count() <= 1) break;
    if (!node.parent) SplitRoot(node);
    const int k = std::clamp(counted, 1, node.Count() - 1);
    const int64_t leftOffset = cdx_->NewNode();
    keys.clear();
    for (int i = 0; i < k; ++i) keys.push_back(&node.keys[static_cast<size_t>(i)]);
    uint8_t b[kCdxBlock];
    PackLeaf(keys, b, 2, node.left, node.offset);
    cdx_->WriteBlock(leftOffset, b, kCdxBlock);
    if (node.left >= 0) PatchRightSibling(node.left, leftOffset);
    GiveParentLeftEntry(node, node.keys[static_cast<size_t>(k - 1)], leftOffset);
    node.keys.erase(node.keys.begin(), node.keys.begin() + k);
    node.left = leftOffset;
    node.position = std::max(node.position - k, -1);
    NoteStructureChanged();
  }
  keys.clear();
  for (const auto& k : node.keys) keys.push_back(&k);
  uint8_t b[kCdxBlock];
  PackLeaf(keys, b, node.parent ? 2 : 3, node.left, node.right);
  cdx_->WriteBlock(node.offset, b, kCdxBlock);
}

void HXobjCDXTag::WriteInterior(HXobjIndexKey& node) {
  const int perNode = KeysPerNode();
  const int size = EntrySize();
  const uint8_t pad = Padded() ? ' ' : 0;
  auto pack = [&](int from, int to, int attributes, int64_t left, int64_t right, uint8_t* b) {
    std::memset(b, 0, kCdxBlock);
    std::memset(b + 12, pad, kCdxBlock - 12);
    PutLE16(b, static_cast<uint16_t>(attributes));
    PutLE16(b + 2, static_cast<uint16_t>(to - from));
    PutLE32(b + 4, SiblingTo(left));
    PutLE32(b + 8, SiblingTo(right));
    for (int i = from; i < to; ++i) {
      const HXobjIndexKeyData& k = node.keys[static_cast<size_t>(i)];
      uint8_t* e = b + 12 + (i - from) * size;
      const size_t length = std::min<size_t>(k.Data() ? k.Length() : 0, static_cast<size_t>(KeyLength()));
      std::memset(e, pad, static_cast<size_t>(KeyLength()));
      if (length > 0) std::memcpy(e, k.Data(), length);
      if (collation_ == hxCollationGeneral && !directory_ && Padded())
        for (size_t p = length; p-- > 0 && e[p] >= 0xF0;) e[p] = static_cast<uint8_t>(e[p] & 0x0F);
      PutBE32(e + KeyLength(), k.RecNo());
      PutBE32(e + KeyLength() + 4, k.Link());
    }
  };
  uint8_t b[kCdxBlock];
  while (node.Count() > perNode) {
    if (!node.parent) SplitRoot(node);
    const int k = node.Count() - node.Count() / 2;
    const int64_t leftOffset = cdx_->NewNode();
    pack(0, k, 0, node.left, node.offset, b);
    cdx_->WriteBlock(leftOffset, b, kCdxBlock);
    if (node.left >= 0) PatchRightSibling(node.left, leftOffset);
    GiveParentLeftEntry(node, node.keys[static_cast<size_t>(k - 1)], leftOffset);
    node.keys.erase(node.keys.begin(), node.keys.begin() + k);
    node.left = leftOffset;
    node.position = std::max(node.position - k, -1);
    NoteStructureChanged();
  }
  pack(0, node.Count(), node.parent ? 0 : 1, node.left, node.right, b);
  cdx_->WriteBlock(node.offset, b, kCdxBlock);
}

// ---- building ---------------------------------------------------------------------------

void HXobjCDXTag::Build() {
  HXO_dBaseFld* t = Table();
  if (directory_ || !t || !KeyHandler()) {
    MakeEmptyRoot();
    return;
  }
  RequireOrderable();
  t->RefreshHeader();
  const int64_t count = t->RecordCount();
  HXobjSortCDX sort(this, nullptr, Unique());
  t->EventHook(-1, 1, static_cast<int>(std::min<int64_t>(count, INT32_MAX)));
  {
    HxRecordScan scan(*t);
    ThxVariant value;
    HXobjIndexKeyData key;
    const bool character = KeyType() == hxKeyCharacter;
    while (scan.Next()) {
      if (!HasFor() || TestFor()) {
        BuildKey(value);
        EncodeKey(value, character, key);
        sort.AddKeyBytes(character ? hxSortCharacter : hxSortRaw, key.Data(), key.Length(),
                         static_cast<uint32_t>(scan.RecNo()));
      }
      t->EventHook(1, static_cast<int>(std::min<int64_t>(scan.RecNo(), INT32_MAX)), 0);
    }
  }
  t->EventHook(0, 0, 0);
  t->EventHook(-1, 2, static_cast<int>(std::min<int64_t>(count, INT32_MAX)));
  if (sort.KeysAdded() == 0)
    MakeEmptyRoot();
  else
    sort.Pack();
  t->EventHook(0, 0, 0);
  sort.Finish();
  SetDirty(true);
}

// ---- HXobjCDXFile -------------------------------------------------------------------------

HXobjCDXFile::HXobjCDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite)
    : HXobjIndexFile(table, DefaultExtension(HxTrim(fileName), ".cdx"), shared, readWrite) {
  SetKeysByRecordNumber(true);
  OpenFile();
}

HXobjCDXFile::~HXobjCDXFile() {
  try {
    ReleasePaths();
    if (directory_) directory_->ReleasePath();
    WritePendingCounter();
  } catch (...) {
  }
  // The tags go while this file can still write for them.
  tags_.Clear();
  directory_.reset();
}

bool HXobjCDXFile::BlockInFile(int64_t offset) {
  if (offset + kCdxBlock <= knownSize_) return true;
  knownSize_ = std::max(knownSize_, disk_->FileSize());
  return offset + kCdxBlock <= knownSize_;
}

void HXobjCDXFile::OpenFile() {
  HXO_DiskFile& d = *disk_;
  if (!d.Exists()) {
    if (!d.ReadWrite()) d.RaiseFileError(hxErrFileNotFound);
    d.CreateNew();
  } else {
    d.Open();
  }
  const int64_t size = d.FileSize();
  knownSize_ = size;
  if (size > kCdxBlock) {
    directory_ = std::make_unique<HXobjCDXTag>(this, "", 0, true);
    if (!directory_->ReadHeader()) {
      SetCorrupted(true);
      return;
    }
    SyncFileEnd();
    try {
      ReadDirectory();
    } catch (const EKeldorIndexCorrupted&) {
      SetCorrupted(true);
    }
  } else {
    // A new file, or one too short to hold anything: it gets an empty directory.
    if (!d.ReadWrite()) {
      SetCorrupted(true);
      return;
    }
    SetNextFree(0);
    CreateDirectory();
  }
  if (Corrupted()) return;
  SetOpen(true);
  MarkStructuralIndex();
}

void HXobjCDXFile::CreateDirectory() {
  const int64_t header = NewNode();
  NewNode();
  directory_ = std::make_unique<HXobjCDXTag>(this, "", header, true);
  directory_->Define("", false, true, "");
}

void HXobjCDXFile::ReadDirectory() {
  const int64_t size = disk_->FileSize();
  const int64_t maxTags = size / kCdxHeaderSize;
  for (int64_t r = directory_->First(); r != 0; r = directory_->Next()) {
    const HXobjIndexKeyData& k = directory_->CurrentKey();
    const int64_t offset = k.RecNo();
    if (offset % kCdxBlock != 0 || offset + kCdxHeaderSize > size || TagCount() >= maxTags) {
      SetCorrupted(true);
      break;
    }
    auto tag = std::make_unique<HXobjCDXTag>(this, HxTrimRight(k.Bytes()), offset);
    if (!tag->ReadHeader()) {
      SetCorrupted(true);
      break;
    }
    tags_.Add(std::move(tag));
  }
  directory_->Reset(hxResetUnpositioned);
}

void HXobjCDXFile::MarkStructuralIndex() {
  HXO_dBaseFld* t = Table();
  if (!t || t->Closed() || t->StructuralIndex()) return;
  const std::string asTable = ChangeFileExt(FullName(), ExtractFileExt(t->FileName()));
  if (HxCompareText(asTable, t->FileName()) != 0) return;
  t->SetStructuralIndex(true);
  t->WriteHeader();
}

int64_t HXobjCDXFile::NewNode() {
  if (NextFreeNode() < 0) SyncFileEnd();
  const int64_t offset = NextFreeNode();
  SetNextFree(offset + kCdxBlock);
  knownSize_ = std::max(knownSize_, offset + kCdxBlock);
  return offset;
}

int64_t HXobjCDXFile::SyncFileEnd() {
  const int64_t actual = std::max<int64_t>(disk_->FileSize(), 0);
  const int64_t size = (actual + kCdxBlock - 1) / kCdxBlock * kCdxBlock;
  SetNextFree(size);
  knownSize_ = actual;
  return size;
}

void HXobjCDXFile::BumpChangeCounter(uint32_t steps) {
  // The counter lives in the first block of the directory's header; the
  // second (its empty expressions) never changes. Changes not yet counted
  // are counted with this one.
  directory_->SetChangeCounter(directory_->ChangeCounter() + pendingChanges_ + steps);
  pendingChanges_ = 0;
  directory_->WriteHeaderBytes(kCdxBlock);
}

void HXobjCDXFile::WritePendingCounter() {
  if (pendingChanges_ > 0 && directory_) BumpChangeCounter(0);
}

void HXobjCDXFile::RemoveDirectoryEntry(const std::string& name, int64_t headerOffset) {
  HXobjIndexKeyData key;
  ThxVariant v;
  v.SetString(name);
  directory_->EncodeKey(v, true, key);
  if (directory_->SeekEncoded(key, false, headerOffset) == headerOffset) directory_->DeleteCurrent();
  directory_->ReleasePath();
}

void HXobjCDXFile::AddTag(const std::string& name, const std::string& keyExpression, bool unique,
                          bool ascending, const std::string& forExpression) {
  std::string tagName = HxUpperCase(HxTrim(name));
  if (tagName.size() > 10) tagName.resize(10);
  if (tagName.empty())
    throw EKeldorError(FormatKeldorText("An index tag of file %s needs a name", {FullName()}));
  // Both expressions must compile before anything in the file changes.
  {
    ThxExpHandler key(Table() ? Table()->ExpUserLink() : nullptr, false, keyExpression);
    if (!forExpression.empty())
      ThxExpHandler cond(Table() ? Table()->ExpUserLink() : nullptr, false, forExpression);
  }
  directory_->Reset(hxResetUnpositioned);
  HXobjIndexTag* old = TagByName(tagName);
  const int64_t header = NewNode();
  NewNode();
  auto tag = std::make_unique<HXobjCDXTag>(this, tagName, header);
  // The new tag is built before the old one goes, so a failed build loses nothing.
  tag->Define(keyExpression, unique, ascending, forExpression);
  if (old) {
    RemoveDirectoryEntry(old->Name(), old->HeaderOffset());
    tags_.Remove(old);
  }
  HXobjCDXTag* added = tag.get();
  tags_.Add(std::move(tag));
  HXobjIndexKeyData key;
  ThxVariant v;
  v.SetString(tagName);
  directory_->EncodeKey(v, true, key);
  key.SetRecNo(static_cast<uint32_t>(header));
  key.SetLink(static_cast<uint32_t>(header));
  directory_->InsertKey(key);
  directory_->ReleasePath();
  (void)added;
  BumpChangeCounter();
}

bool HXobjCDXFile::DeleteTag(const std::string& name) {
  HXobjIndexTag* tag = TagByName(name);
  if (!tag) return false;
  RemoveDirectoryEntry(tag->Name(), tag->HeaderOffset());
  tags_.Remove(tag);
  BumpChangeCounter();
  // With no tag left the file shrinks to its directory; a file others have
  // open keeps its blocks (an empty directory is a sound file as well).
  if (TagCount() == 0 && disk_->HasFullAccess()) Reindex();
  return true;
}

void HXobjCDXFile::Reindex() {
  for (HXobjIndexTag* tag : tags_) tag->RequireOrderable();
  struct Definition {
    std::string name, key, condition;
    bool unique, ascending;
  };
  std::vector<Definition> definitions;
  for (HXobjIndexTag* tag : tags_)
    definitions.push_back({tag->Name(), tag->KeyExpression(),
                           tag->HasFor() ? tag->ForExpression() : std::string(), tag->Unique(),
                           tag->Ascending()});
  Flush();
  ReleasePaths();
  tags_.Clear();
  directory_.reset();
  DropNodeCache();
  disk_->Truncate(0);
  knownSize_ = 0;
  SetNextFree(0);
  CreateDirectory();
  std::exception_ptr failure;
  for (const Definition& d : definitions) {
    try {
      AddTag(d.name, d.key, d.unique, d.ascending, d.condition);
    } catch (...) {
      if (!failure) failure = std::current_exception();
      // The definition is kept (with no keys), so it is not lost with the
      // failed build; a later rebuild fills it.
      try {
        const int64_t header = NewNode();
        NewNode();
        auto tag = std::make_unique<HXobjCDXTag>(this, d.name, header);
        tag->DefineTag(d.key, d.unique, d.ascending, d.condition, false);
        tags_.Add(std::move(tag));
        HXobjIndexKeyData key;
        ThxVariant v;
        v.SetString(d.name);
        directory_->EncodeKey(v, true, key);
        key.SetRecNo(static_cast<uint32_t>(header));
        key.SetLink(static_cast<uint32_t>(header));
        directory_->InsertKey(key);
        directory_->ReleasePath();
      } catch (...) {
      }
    }
  }
  BumpChangeCounter();
  disk_->Flush();
  if (failure) std::rethrow_exception(failure);
}

bool HXobjCDXFile::UpdateRecord(int64_t recno, bool appended) {
  const bool any = HXobjIndexFile::UpdateRecord(recno, appended);
  // Others see our changes through the counter at once. A file open to us
  // alone only needs it to have moved by the time it is flushed or closed:
  // one write then instead of one per update, and the same count in the end.
  if (any && !disk_->Shared()) {
    ++pendingChanges_;
  } else if (any) {
    BumpChangeCounter();
  }
  return any;
}

bool HXobjCDXFile::ChangedByOthers() {
  if (!disk_->Shared() || !directory_) return false;
  uint8_t b[kCdxBlock];
  const bool changed = !ReadBlock(0, b, kCdxBlock) || GetLE32(b + 8) != directory_->ChangeCounter();
  // Nodes cached before the change are not to be trusted any more.
  if (changed) DropNodeCache();
  return changed;
}

void HXobjCDXFile::Reload() {
  for (HXobjIndexTag* tag : tags_) static_cast<HXobjCDXTag*>(tag)->DiscardPath();
  directory_->DiscardPath();
  DropNodeCache();
  if (!directory_->ReadHeader()) RaiseCorrupted();
  knownSize_ = disk_->FileSize();
  std::vector<std::pair<std::string, int64_t>> entries;
  for (int64_t r = directory_->First(); r != 0; r = directory_->Next()) {
    const HXobjIndexKeyData& k = directory_->CurrentKey();
    const int64_t offset = k.RecNo();
    if (offset % kCdxBlock != 0 || offset + kCdxHeaderSize > knownSize_) RaiseCorrupted();
    entries.push_back({HxTrimRight(k.Bytes()), offset});
  }
  directory_->Reset(hxResetUnpositioned);
  // Mostly only keys changed: the tags stand where they stood.
  bool same = static_cast<int>(entries.size()) == TagCount();
  for (const auto& [name, offset] : entries) {
    const HXobjIndexTag* tag = TagByName(name);
    same = same && tag && tag->HeaderOffset() == offset;
  }
  if (same) return;
  std::vector<HXobjIndexTag*> seen;
  for (const auto& [name, offset] : entries) {
    auto* tag = static_cast<HXobjCDXTag*>(TagByName(name));
    if (tag) {
      tag->SetHeaderOffset(offset);
    } else {
      tags_.Add(std::make_unique<HXobjCDXTag>(this, name, offset));
      tag = static_cast<HXobjCDXTag*>(tags_.Last());
    }
    if (!tag->ReadHeader()) RaiseCorrupted();
    seen.push_back(tag);
  }
  for (HXobjIndexTag* tag : tags_)
    if (std::find(seen.begin(), seen.end(), tag) == seen.end())
      static_cast<HXobjCDXTag*>(tag)->SetNotOrderable("another user removed it from the file");
}

void HXobjCDXFile::AfterLock() {
  if (!disk_->Shared()) return;
  // Every change of the file, ours and others', moves the counter before the
  // changer lets go of the lock: while it stands, the nodes we hold and the
  // file's end we know are the file's own.
  if (ChangedByOthers()) {
    Reload();
    SyncFileEnd();
  } else if (NextFreeNode() < 0) {
    SyncFileEnd();
  }
}

void HXobjCDXFile::Flush() {
  for (HXobjIndexTag* tag : tags_) tag->Flush();
  if (directory_) directory_->Flush();
  WritePendingCounter();
  disk_->Flush();
}
