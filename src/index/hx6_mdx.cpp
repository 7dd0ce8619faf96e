// MDX index files (layout in hx6_mdx.h).
#include "index/hx6_mdx.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "expr/hx6_sql.h"
#include "framework/bytes.h"
#include "index/hx6_cdx.h"
#include "platform/system.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr int kExpressionAt = 24;
constexpr int kExpressionRoom = 245 - kExpressionAt;  // with its NUL
constexpr int kForFlagAt = 245;
constexpr int kForAt = 762;
constexpr int kTagTableAt = 512;
constexpr int kTagEntrySize = 32;
constexpr int kExponentBias = 0x34;
constexpr double kTiny = 1E-50;
constexpr double kHuge = 1E200;
constexpr double kBlankDate = 1.0E100;

void NumericKey(double d, HXobjIndexKeyData& key) {
  uint8_t b[8];
  HxSortableDouble(d, b);
  key.SetRaw(b, sizeof b);
}

void StampToday(uint8_t* at) {
  const platform::LocalTime now = platform::Now();
  at[0] = static_cast<uint8_t>(now.year % 100);
  at[1] = static_cast<uint8_t>(now.month);
  at[2] = static_cast<uint8_t>(now.day);
}

// Significant digits and decimal exponent of |v| (v = 0.digits x 10^e).
void Digits(double v, std::string& digits, int& e) {
  char buf[48];
  for (int precision : {15, 17}) {
    std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
    if (precision == 17 || std::strtod(buf, nullptr) == v) break;
  }
  digits.clear();
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  e = (*p == 'e' ? std::atoi(p + 1) : 0) + 1;
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
}

}  // namespace

// ---- numbers ----------------------------------------------------------------------------

double HxMdxNormalNumber(double value) {
  if (std::isnan(value)) return 0;
  const double magnitude = std::fabs(value);
  if (magnitude < kTiny) return 0;
  if (magnitude > kHuge) return value < 0 ? -kHuge : kHuge;
  return value;
}

void HxMdxEncodeNumber(double value, uint8_t out[kMdxNumericLength]) {
  std::memset(out, 0, kMdxNumericLength);
  value = HxMdxNormalNumber(value);
  out[0] = kExponentBias;
  if (value == 0) {
    out[1] = 1 << 2;
    return;
  }
  std::string digits;
  int e = 0;
  Digits(std::fabs(value), digits, e);
  out[0] = static_cast<uint8_t>(kExponentBias + e);
  out[1] = static_cast<uint8_t>((digits.size() << 2) | (value < 0 ? 0x80 : 0));
  for (size_t i = 0; i < digits.size(); ++i) {
    const uint8_t d = static_cast<uint8_t>(digits[i] - '0');
    out[2 + i / 2] |= i % 2 == 0 ? static_cast<uint8_t>(d << 4) : d;
  }
}

bool HxMdxDecodeNumber(const uint8_t in[kMdxNumericLength], double& value) {
  const int count = (in[1] >> 2) & 0x1F;
  if (count > 20) return false;
  std::string text = "0.";
  for (int i = 0; i < count; ++i) {
    const int d = i % 2 == 0 ? in[2 + i / 2] >> 4 : in[2 + i / 2] & 0x0F;
    if (d > 9) return false;
    text += static_cast<char>('0' + d);
  }
  if (count == 0) text += '0';
  text += 'e' + std::to_string(static_cast<int>(in[0]) - kExponentBias);
  value = std::strtod(text.c_str(), nullptr);
  if (in[1] & 0x80) value = -value;
  return std::isfinite(value);
}

// ---- HXobjMDXTag ------------------------------------------------------------------------

HXobjMDXTag::HXobjMDXTag(HXobjMDXFile* owner, const std::string& name, int64_t headerOffset)
    : HXobjPlainTag(owner, name, headerOffset), mdx_(owner) {
  SetKindText("MDX");
}

int HXobjMDXTag::NodeSize() const { return mdx_->PageSize(); }

void HXobjMDXTag::Shape() {
  entrySize_ = (KeyLength() + 4 + 3) / 4 * 4;
  maxKeys_ = (NodeSize() - 8) / entrySize_ - 1;
}

void HXobjMDXTag::EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) {
  switch (KeyType()) {
    case hxKeyNumeric:
      NumericKey(HxMdxNormalNumber(value.Kind() == hxvDate ? static_cast<double>(value.AsDate())
                                                            : value.AsNumber()),
                 key);
      return;
    case hxKeyDate: {
      double d = value.Kind() == hxvDate ? static_cast<double>(value.AsDate()) : value.AsNumber();
      if (!(d >= 0.1)) d = kBlankDate;
      NumericKey(d, key);
      return;
    }
    default:
      HXobjIndexTag::EncodeKey(value, trim, key);
      return;
  }
}

void HXobjMDXTag::Define(const std::string& keyExpression, bool unique, bool ascending,
                         const std::string& forExpression) {
  HXobjIndexTag::Define(keyExpression, unique, true, forExpression);
  SetStoredDescending(!ascending);
  char type = hxKeyCharacter;
  int length = 10;
  if (KeyHandler()) {
    ThxVariant value;
    EvaluateKeyType(value);
    TypeFromValue(value, type, length);
    if (value.Kind() == hxvRaw)
      throw EKeldorError(FormatKeldorText(
          "The key expression %s of index tag %s gives a binary value, which cannot be indexed",
          {keyExpression, Name()}));
  }
  if (type == hxKeyInteger) type = hxKeyNumeric;
  if (type == hxKeyNumeric) length = kMdxNumericLength;
  if (type == hxKeyDate) length = 8;
  SetKeyType(type);
  SetKeyLength(std::clamp(length, 1, kHxMaxKeyLength));
  Shape();
  if (maxKeys_ < 2)
    throw EKeldorError(FormatKeldorText("The key of index tag %s is too long for a node of index file %s",
                                        {Name(), mdx_->FullName()}));
  SetNotOrderable(std::string());
  Build();
  SetDirty(true);
  WriteHeader();
}

bool HXobjMDXTag::ReadHeader() {
  const int node = NodeSize();
  const int64_t at = HeaderOffset();
  if (at < kMdxHeaderBytes || at % kMdxBlock != 0 || at + node > mdx_->KnownSize()) return false;
  std::vector<uint8_t> h(static_cast<size_t>(node));
  if (!mdx_->ReadBlock(at, h.data(), h.size())) return false;
  const int keyLength = GetLE16(&h[12]);
  if (keyLength < 1 || keyLength > kHxMaxKeyLength) return false;
  char type = static_cast<char>(h[9]);
  if (type == 'F') type = hxKeyNumeric;
  if (type == hxKeyNumeric && keyLength != kMdxNumericLength) return false;
  if (type == hxKeyDate && keyLength != 8) return false;
  if (type != hxKeyCharacter && type != hxKeyNumeric && type != hxKeyDate) return false;
  SetKeyLength(keyLength);
  SetKeyType(type);
  Shape();
  // Another program's entries may be wider, or its nodes hold fewer keys.
  const int entry = GetLE16(&h[18]);
  if (entry > entrySize_ && entry <= node - 8) {
    entrySize_ = entry;
    maxKeys_ = (node - 8) / entrySize_ - 1;
  }
  const int perNode = GetLE16(&h[14]);
  if (perNode >= 1 && perNode < maxKeys_) maxKeys_ = perNode;
  if (maxKeys_ < 1) return false;
  const int64_t root = int64_t{GetLE32(&h[0])} * kMdxBlock;
  if (!ValidPageOffset(root)) return false;
  SetRootOffset(root);
  const char* expr = reinterpret_cast<const char*>(&h[kExpressionAt]);
  const size_t exprLength = strnlen(expr, kExpressionRoom);
  if (exprLength == static_cast<size_t>(kExpressionRoom) || exprLength == 0) return false;
  std::string condition;
  if (h[kForFlagAt] == 1 && node > kForAt) {
    const char* f = reinterpret_cast<const char*>(&h[kForAt]);
    const size_t room = static_cast<size_t>(node - kForAt);
    const size_t forLength = strnlen(f, room);
    if (forLength == room) return false;
    condition.assign(f, forLength);
  }
  SetExpressions(std::string(expr, exprLength), condition);
  SetUniqueFlag((h[8] & 0x40) != 0 || h[23] != 0);
  SetDescendingFlag(false);
  SetStoredDescending((h[8] & 0x08) != 0);
  return true;
}

void HXobjMDXTag::WriteHeader() {
  const int node = NodeSize();
  std::vector<uint8_t> h(static_cast<size_t>(node), 0);
  PutLE32(&h[0], static_cast<uint32_t>(RootOffset() / kMdxBlock));
  h[8] = static_cast<uint8_t>(0x10 | (Unique() ? 0x40 : 0) | (StoredDescending() ? 0x08 : 0));
  h[9] = static_cast<uint8_t>(KeyType());
  PutLE16(&h[12], static_cast<uint16_t>(KeyLength()));
  PutLE16(&h[14], static_cast<uint16_t>(maxKeys_));
  PutLE16(&h[18], static_cast<uint16_t>(entrySize_));
  h[23] = Unique() ? 64 : 0;
  const std::string& expr = KeyExpression();
  std::memcpy(&h[kExpressionAt], expr.data(), std::min<size_t>(expr.size(), kExpressionRoom - 1));
  if (HasFor()) h[kForFlagAt] = 1;
  h[246] = 1;
  int64_t next = mdx_->NextFreeNode();
  if (next < 0) next = mdx_->SyncFileEnd();
  PutLE32(&h[248], static_cast<uint32_t>(HeaderOffset() / kMdxBlock));
  PutLE32(&h[252], static_cast<uint32_t>(std::max<int64_t>(next - node, 0) / kMdxBlock));
  if (HasFor()) {
    const std::string& f = ForExpression();
    std::memcpy(&h[kForAt], f.data(), std::min<size_t>(f.size(), static_cast<size_t>(node - kForAt - 1)));
  }
  mdx_->WriteBlock(HeaderOffset(), h.data(), h.size());
  SetDirty(false);
}

void HXobjMDXTag::DecodePage(const uint8_t* page, HxPlainPage& out) {
  const uint32_t count = GetLE32(page);
  if (count > static_cast<uint32_t>(maxKeys_)) RaiseCorrupted();
  const int n = static_cast<int>(count);
  const uint32_t after = GetLE32(page + 8 + n * entrySize_);
  out.leaf = after == 0;
  out.items.resize(count);
  for (int i = 0; i < n; ++i) {
    const uint8_t* e = page + 8 + i * entrySize_;
    const uint8_t* key = e + 4;
    HXobjIndexKeyData& k = out.items[static_cast<size_t>(i)];
    switch (KeyType()) {
      case hxKeyNumeric: {
        double d;
        if (!HxMdxDecodeNumber(key, d)) RaiseCorrupted();
        NumericKey(HxMdxNormalNumber(d), k);
        break;
      }
      case hxKeyDate: {
        double d;
        const uint64_t bits = GetLE64(key);
        std::memcpy(&d, &bits, sizeof d);
        if (std::isnan(d)) RaiseCorrupted();
        NumericKey(d, k);
        break;
      }
      default: {
        size_t length = static_cast<size_t>(KeyLength());
        while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == 0)) --length;
        k.SetString(std::string_view(reinterpret_cast<const char*>(key), length));
        break;
      }
    }
    const uint32_t pointer = GetLE32(e);
    if (pointer == 0) RaiseCorrupted();
    if (out.leaf) {
      k.SetRecNo(pointer);
    } else {
      const uint64_t child = uint64_t{pointer} * kMdxBlock;
      if (child > 0xFFFFFFFFu) RaiseCorrupted();
      k.SetLink(static_cast<uint32_t>(child));
      // Interior entries carry no record number: each stands for every
      // record of its key.
      k.SetRecNo(0xFFFFFFFF);
    }
  }
  if (!out.leaf) {
    const uint64_t child = uint64_t{after} * kMdxBlock;
    if (child > 0xFFFFFFFFu) RaiseCorrupted();
    out.lastChild = static_cast<int64_t>(child);
  }
}

void HXobjMDXTag::EncodePage(const HxPlainPage& in, uint8_t* page) {
  std::memset(page, 0, static_cast<size_t>(NodeSize()));
  const int count = static_cast<int>(in.items.size());
  PutLE32(page, static_cast<uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    const HXobjIndexKeyData& k = in.items[static_cast<size_t>(i)];
    uint8_t* e = page + 8 + i * entrySize_;
    PutLE32(e, in.leaf ? k.RecNo() : static_cast<uint32_t>(k.Link() / kMdxBlock));
    uint8_t* key = e + 4;
    const size_t length = std::min<size_t>(k.Data() ? k.Length() : 0, static_cast<size_t>(KeyLength()));
    switch (KeyType()) {
      case hxKeyNumeric:
        HxMdxEncodeNumber(HxDoubleFromSortable(k.Data(), length), key);
        break;
      case hxKeyDate: {
        const double d = HxDoubleFromSortable(k.Data(), length);
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        PutLE64(key, bits);
        break;
      }
      default:
        std::memset(key, ' ', static_cast<size_t>(KeyLength()));
        if (length > 0) std::memcpy(key, k.Data(), length);
        break;
    }
  }
  if (!in.leaf) PutLE32(page + 8 + count * entrySize_, static_cast<uint32_t>(in.lastChild / kMdxBlock));
}

std::unique_ptr<HXobjSortPlain> HXobjMDXTag::MakeSort() { return std::make_unique<HXobjSortMDX>(this); }

// ---- HXobjMDXFile -----------------------------------------------------------------------

HXobjMDXFile::HXobjMDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite)
    : HXobjPlainFile(table, DefaultExtension(HxTrim(fileName), ".mdx"), shared, readWrite) {
  disk_->Open();
  knownSize_ = disk_->FileSize();
  if (knownSize_ < kMdxHeaderBytes || !ReadFileHeader()) {
    tags_.Clear();
    SetCorrupted(true);
    return;
  }
  SetOpen(true);
}

HXobjMDXFile::HXobjMDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared)
    : HXobjPlainFile(table, DefaultExtension(HxTrim(fileName), ".mdx"), shared, true) {
  disk_->CreateNew();
  knownSize_ = 0;
  StampToday(created_);
  SetNextFree(kMdxHeaderBytes);
  WriteFileHeader();
  disk_->Flush();
  SetOpen(true);
}

std::unique_ptr<HXobjMDXFile> HXobjMDXFile::CreateEmpty(HXO_dBaseFld* table, const std::string& fileName,
                                                        bool shared) {
  return std::unique_ptr<HXobjMDXFile>(new HXobjMDXFile(table, fileName, shared));
}

HXobjMDXFile::~HXobjMDXFile() { CloseQuietly(); }

bool HXobjMDXFile::ReadFileHeader() {
  uint8_t h[kMdxHeaderBytes];
  if (!ReadBlock(0, h, sizeof h)) return false;
  nodeSize_ = GetLE16(h + 22);
  if (nodeSize_ < kMdxBlock || nodeSize_ > 16 * kMdxBlock || nodeSize_ % kMdxBlock != 0) return false;
  std::memcpy(created_, h + 1, 3);
  const int count = GetLE16(h + 28);
  const int entry = h[26];
  if (entry < 16 || kTagTableAt + entry * (count + 1) > kMdxHeaderBytes) return false;
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = h + kTagTableAt + entry * (i + 1);
    const char* name = reinterpret_cast<const char*>(e + 4);
    std::string tagName = HxTrim(std::string(name, strnlen(name, 11)));
    const int64_t at = int64_t{GetLE32(e)} * kMdxBlock;
    auto tag = std::make_unique<HXobjMDXTag>(this, tagName, at);
    if (tagName.empty() || !tag->ReadHeader()) return false;
    tag->CompileKey();
    tag->CompileFor();
    tags_.Add(std::move(tag));
  }
  return true;
}

void HXobjMDXFile::WriteFileHeader() {
  uint8_t h[kMdxHeaderBytes] = {};
  h[0] = 2;
  std::memcpy(h + 1, created_, 3);
  std::string table = ChangeFileExt(ExtractFileName(Table() ? Table()->FileName() : FullName()), "");
  table = HxUpperCase(table.substr(0, 8));
  std::memcpy(h + 4, table.data(), table.size());
  PutLE16(h + 20, static_cast<uint16_t>(nodeSize_ / kMdxBlock));
  PutLE16(h + 22, static_cast<uint16_t>(nodeSize_));
  h[24] = 1;
  h[25] = 48;
  h[26] = kTagEntrySize;
  PutLE16(h + 28, static_cast<uint16_t>(LiveTagCount()));
  int64_t next = NextFreeNode();
  if (next < 0) next = SyncFileEnd();
  PutLE32(h + 32, static_cast<uint32_t>(next / kMdxBlock));
  StampToday(h + 44);
  int slot = 0;
  for (int i = 0; i < TagCount(); ++i) {
    auto* tag = static_cast<HXobjMDXTag*>(Tags(i));
    if (tag->Removed()) continue;
    uint8_t* e = h + kTagTableAt + kTagEntrySize * (++slot);
    PutLE32(e, static_cast<uint32_t>(tag->HeaderOffset() / kMdxBlock));
    const std::string& name = tag->Name();
    std::memcpy(e + 4, name.data(), std::min<size_t>(name.size(), kMdxTagNameLength));
    e[15] = static_cast<uint8_t>(0x10 | (tag->Unique() ? 0x40 : 0) | (tag->StoredDescending() ? 0x08 : 0));
    e[20] = static_cast<uint8_t>(tag->KeyType());
  }
  WriteBlock(0, h, sizeof h);
  knownSize_ = std::max<int64_t>(knownSize_, kMdxHeaderBytes);
  changed_ = false;
}

void HXobjMDXFile::AddTag(const std::string& name, const std::string& keyExpression, bool unique,
                          bool ascending, const std::string& forExpression) {
  const std::string tagName = HxUpperCase(HxTrim(name));
  if (tagName.empty() || tagName.size() > kMdxTagNameLength)
    throw EKeldorError(FormatKeldorText("Tag name \"%s\" of index file %s must have 1 to %d characters",
                                        {tagName, FullName(), kMdxTagNameLength}));
  if (keyExpression.size() > kExpressionRoom - 1 ||
      forExpression.size() > static_cast<size_t>(nodeSize_ - kForAt - 1))
    throw EKeldorError(FormatKeldorText("The key or FOR expression of tag %s in index file %s is too long",
                                        {tagName, FullName()}));
  HXobjIndexTag* old = TagByName(tagName);
  if (!old && LiveTagCount() >= kMdxMaxTags)
    throw EKeldorError(FormatKeldorText("Index file %s already holds %d tags", {FullName(), kMdxMaxTags}));
  {
    ThxExpHandler key(Table() ? Table()->ExpUserLink() : nullptr, false, keyExpression);
    if (!HxTrim(forExpression).empty())
      ThxExpHandler cond(Table() ? Table()->ExpUserLink() : nullptr, false, forExpression);
  }
  ReleasePaths();
  // The new tag is built before the old one of that name goes, so a failed
  // build leaves the file's tags as they were.
  const int64_t header = NewNode();
  auto tag = std::make_unique<HXobjMDXTag>(this, tagName, header);
  HXobjMDXTag* t = tag.get();
  const int index = old ? tags_.IndexOf(old) : TagCount();
  tags_.Insert(index, tag.release());
  try {
    t->Define(keyExpression, unique, ascending, forExpression);
  } catch (...) {
    tags_.Remove(t);
    WriteFileHeader();
    throw;
  }
  if (old) tags_.Remove(old);
  WriteFileHeader();
  SetCorrupted(false);
  disk_->Flush();
}

bool HXobjMDXFile::DeleteTag(const std::string& name) {
  HXobjIndexTag* tag = TagByName(name);
  if (!tag) return false;
  ReleasePaths();
  tags_.Remove(tag);
  WriteFileHeader();
  disk_->Flush();
  return true;
}

int HXobjMDXFile::LiveTagCount() const {
  int n = 0;
  for (int i = 0; i < TagCount(); ++i) n += static_cast<HXobjMDXTag*>(Tags(i))->Removed() ? 0 : 1;
  return n;
}

bool HXobjMDXFile::UpdateRecord(int64_t recno, bool appended) {
  bool any = false;
  for (HXobjIndexTag* tag : tags_)
    if (!static_cast<HXobjMDXTag*>(tag)->Removed() && tag->UpdateRecord(recno, appended)) any = true;
  if (any) AfterChange();
  return any;
}

void HXobjMDXFile::AfterChange() {
  changed_ = true;
  if (disk_->Shared()) WriteFileHeader();
}

void HXobjMDXFile::AfterLock() {
  HXobjIndexFile::AfterLock();
  if (!disk_->Shared()) return;
  // Another opener's Reindex may have made the file smaller.
  knownSize_ = disk_->FileSize();
  uint8_t h[kMdxHeaderBytes];
  if (knownSize_ < kMdxHeaderBytes || !ReadBlock(0, h, sizeof h)) RaiseCorrupted();
  const int count = GetLE16(h + 28);
  const int entry = h[26];
  if (entry < 16 || kTagTableAt + entry * (count + 1) > kMdxHeaderBytes || GetLE16(h + 22) != nodeSize_)
    RaiseCorrupted();
  std::vector<HXobjIndexTag*> listed;
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = h + kTagTableAt + entry * (i + 1);
    const char* n = reinterpret_cast<const char*>(e + 4);
    const std::string name = HxTrim(std::string(n, strnlen(n, 11)));
    const int64_t at = int64_t{GetLE32(e)} * kMdxBlock;
    auto* tag = static_cast<HXobjMDXTag*>(TagByName(name));
    if (tag && tag->Removed()) tag = nullptr;
    if (!tag) {
      tags_.Add(std::make_unique<HXobjMDXTag>(this, name, at));
      tag = static_cast<HXobjMDXTag*>(tags_.Last());
    }
    tag->Forget();
    const std::string key = tag->KeyExpression(), condition = tag->ForExpression();
    tag->MoveHeader(at);
    if (name.empty() || !tag->ReadHeader()) RaiseCorrupted();
    if (!tag->KeyHandler() || tag->KeyExpression() != key) tag->CompileKey();
    if (tag->ForExpression() != condition || (tag->HasFor() && !tag->ForHandler())) tag->CompileFor();
    listed.push_back(tag);
  }
  for (HXobjIndexTag* tag : tags_)
    if (std::find(listed.begin(), listed.end(), tag) == listed.end())
      static_cast<HXobjMDXTag*>(tag)->MarkRemoved();
  // The file's order, the removed ones after it.
  for (size_t i = 0; i < listed.size(); ++i) {
    tags_.Extract(listed[i]);
    tags_.Insert(static_cast<int>(i), listed[i]);
  }
}

void HXobjMDXFile::Reindex() {
  for (int i = 0; i < TagCount(); ++i)
    if (!static_cast<HXobjMDXTag*>(Tags(i))->Removed()) Tags(i)->RequireOrderable();
  ReleasePaths();
  disk_->Truncate(kMdxHeaderBytes);
  knownSize_ = kMdxHeaderBytes;
  SetNextFree(kMdxHeaderBytes);
  for (int i = 0; i < TagCount(); ++i) {
    auto* tag = static_cast<HXobjMDXTag*>(Tags(i));
    if (tag->Removed()) continue;
    tag->MoveHeader(NewNode());
    tag->Build();
    tag->SetDirty(true);
    tag->WriteHeader();
  }
  WriteFileHeader();
  disk_->Flush();
}

void HXobjMDXFile::Flush() {
  HXobjIndexFile::Flush();
  if (changed_) {
    WriteFileHeader();
    disk_->Flush();
  }
}
