// NDX index files (layout in hx6_ndx.h).
#include "index/hx6_ndx.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "expr/hx6_sql.h"
#include "framework/bytes.h"
#include "index/hx6_cdx.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr int kNdxNodeArea = 504;
constexpr int kNdxExpressionAt = 24;

// The in-memory key of a number or date (a sortable double) from the value.
void NumericKey(double d, HXobjIndexKeyData& key) {
  uint8_t b[8];
  HxSortableDouble(d, b);
  key.SetRaw(b, sizeof b);
}

}  // namespace

// ---- HXobjNDXTag ------------------------------------------------------------------------

HXobjNDXTag::HXobjNDXTag(HXobjNDXFile* owner, const std::string& name)
    : HXobjPlainTag(owner, name, 0), ndx_(owner) {
  SetKindText("NDX");
}

void HXobjNDXTag::EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) {
  switch (KeyType()) {
    case hxKeyNumeric:
      NumericKey(value.Kind() == hxvDate ? static_cast<double>(value.AsDate()) : value.AsNumber(), key);
      return;
    case hxKeyDate: {
      double d = value.Kind() == hxvDate ? static_cast<double>(value.AsDate()) : value.AsNumber();
      if (!(d >= 0.1)) d = kNdxBlankDate;  // the blank date sorts after every date
      NumericKey(d, key);
      return;
    }
    default:
      HXobjIndexTag::EncodeKey(value, trim, key);
      return;
  }
}

void HXobjNDXTag::Define(const std::string& keyExpression, bool unique, bool ascending,
                         const std::string& forExpression) {
  HXobjIndexTag::Define(keyExpression, unique, ascending, forExpression);
  SetDescendingFlag(false);
  char type = hxKeyCharacter;
  int length = 10;
  if (KeyHandler()) {
    ThxVariant value;
    EvaluateKeyType(value);
    TypeFromValue(value, type, length);
    if (type == hxKeyInteger || value.Kind() == hxvRaw)
      throw EKeldorError(FormatKeldorText(
          "The key expression %s of index tag %s gives a binary value, which cannot be indexed",
          {keyExpression, Name()}));
  }
  SetKeyType(type);
  SetKeyLength(type == hxKeyCharacter ? length : 8);
  maxKeys_ = kNdxNodeArea / EntrySize();
  SetNotOrderable(std::string());
  Build();
  SetDirty(true);
  WriteHeader();
}

bool HXobjNDXTag::ReadHeader() {
  uint8_t h[kNdxBlock];
  if (!ndx_->ReadBlock(0, h, kNdxBlock)) return false;
  const int64_t root = int64_t{GetLE32(h)} * kNdxBlock;
  const int keyLength = GetLE16(h + 12);
  if (keyLength < 1 || keyLength > kHxMaxKeyLength) return false;
  SetKeyLength(keyLength);
  const int perNode = GetLE16(h + 14);
  maxKeys_ = kNdxNodeArea / EntrySize();
  // A file that claims fewer keys per node is read as it says.
  if (perNode >= 1 && perNode < maxKeys_) maxKeys_ = perNode;
  if (!ValidPageOffset(root)) return false;
  SetRootOffset(root);
  const char* expr = reinterpret_cast<const char*>(h + kNdxExpressionAt);
  const size_t room = kNdxBlock - kNdxExpressionAt;
  const size_t exprLength = strnlen(expr, room);
  if (exprLength == room) return false;
  SetExpressions(std::string(expr, exprLength), std::string());
  SetUniqueFlag(h[23] != 0);
  SetDescendingFlag(false);
  SetKeyType(GetLE16(h + 16) != 0 ? hxKeyNumeric : hxKeyCharacter);
  if (KeyType() != hxKeyCharacter && keyLength != 8) return false;
  return true;
}

void HXobjNDXTag::WriteHeader() {
  uint8_t h[kNdxBlock] = {};
  PutLE32(h, static_cast<uint32_t>(RootOffset() / kNdxBlock));
  int64_t next = ndx_->NextFreeNode();
  if (next < 0) next = ndx_->SyncFileEnd();
  PutLE32(h + 4, static_cast<uint32_t>(next / kNdxBlock));
  PutLE16(h + 12, static_cast<uint16_t>(KeyLength()));
  PutLE16(h + 14, static_cast<uint16_t>(maxKeys_));
  PutLE16(h + 16, KeyType() == hxKeyCharacter ? 0 : 1);
  PutLE16(h + 18, static_cast<uint16_t>(EntrySize()));
  h[23] = Unique() ? 1 : 0;
  const std::string& expr = KeyExpression();
  std::memcpy(h + kNdxExpressionAt, expr.data(),
              std::min<size_t>(expr.size(), kNdxBlock - kNdxExpressionAt - 1));
  ndx_->WriteBlock(0, h, kNdxBlock);
  SetDirty(false);
}

void HXobjNDXTag::DecodePage(const uint8_t* page, HxPlainPage& out) {
  const int count = GetLE16(page);
  const int size = EntrySize();
  if (count > maxKeys_) RaiseCorrupted();
  out.leaf = GetLE32(page + 4) == 0;
  out.items.resize(static_cast<size_t>(count));
  const bool character = KeyType() == hxKeyCharacter;
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = page + 4 + i * size;
    HXobjIndexKeyData& k = out.items[static_cast<size_t>(i)];
    const uint8_t* key = e + 8;
    if (character) {
      size_t length = static_cast<size_t>(KeyLength());
      while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == 0)) --length;
      k.SetString(std::string_view(reinterpret_cast<const char*>(key), length));
    } else {
      double d;
      const uint64_t bits = GetLE64(key);
      std::memcpy(&d, &bits, sizeof d);
      NumericKey(d, k);
    }
    const uint32_t recno = GetLE32(e + 4);
    if (out.leaf) {
      if (GetLE32(e) != 0 || recno == 0) RaiseCorrupted();
      k.SetRecNo(recno);
    } else {
      const uint64_t child = uint64_t{GetLE32(e)} * kNdxBlock;
      if (child == 0 || child > 0xFFFFFFFFu) RaiseCorrupted();
      k.SetLink(static_cast<uint32_t>(child));
      // Files written elsewhere leave the record number of interior entries
      // 0: such an entry stands for every record of its key.
      k.SetRecNo(recno == 0 ? 0xFFFFFFFF : recno);
    }
  }
  if (!out.leaf) {
    const uint64_t child = uint64_t{GetLE32(page + 4 + count * size)} * kNdxBlock;
    if (child == 0 || child > 0xFFFFFFFFu) RaiseCorrupted();
    out.lastChild = static_cast<int64_t>(child);
  }
}

void HXobjNDXTag::EncodePage(const HxPlainPage& in, uint8_t* page) {
  std::memset(page, 0, kNdxBlock);
  const int size = EntrySize();
  const int count = static_cast<int>(in.items.size());
  PutLE16(page, static_cast<uint16_t>(count));
  const bool character = KeyType() == hxKeyCharacter;
  for (int i = 0; i < count; ++i) {
    const HXobjIndexKeyData& k = in.items[static_cast<size_t>(i)];
    uint8_t* e = page + 4 + i * size;
    PutLE32(e, in.leaf ? 0 : static_cast<uint32_t>(k.Link() / kNdxBlock));
    // Interior entries carry no record number (readers take one there for a
    // record of its own).
    PutLE32(e + 4, in.leaf ? k.RecNo() : 0);
    uint8_t* key = e + 8;
    const size_t length = std::min<size_t>(k.Data() ? k.Length() : 0, static_cast<size_t>(KeyLength()));
    if (character) {
      std::memset(key, ' ', static_cast<size_t>(KeyLength()));
      if (length > 0) std::memcpy(key, k.Data(), length);
    } else {
      const double d = HxDoubleFromSortable(k.Data(), length);
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      PutLE64(key, bits);
    }
  }
  if (!in.leaf) PutLE32(page + 4 + count * size, static_cast<uint32_t>(in.lastChild / kNdxBlock));
}

std::unique_ptr<HXobjSortPlain> HXobjNDXTag::MakeSort() { return std::make_unique<HXobjSortNdx>(this); }

// ---- HXobjNDXFile -----------------------------------------------------------------------

HXobjNDXFile::HXobjNDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite)
    : HXobjPlainFile(table, DefaultExtension(HxTrim(fileName), ".ndx"), shared, readWrite) {
  HXO_DiskFile& d = *disk_;
  d.Open();
  knownSize_ = d.FileSize();
  auto tag = std::make_unique<HXobjNDXTag>(this, TagNameFromFile());
  if (knownSize_ < 2 * kNdxBlock || !tag->ReadHeader()) {
    SetCorrupted(true);
    return;
  }
  tag->CompileKey();
  if (tag->KeyType() != hxKeyCharacter && tag->KeyHandler() && table) {
    // The header tells numbers from text only; the expression tells dates.
    ThxVariant value;
    tag->EvaluateKeyType(value);
    if (value.Kind() == hxvDate) tag->SetKeyTypeDate();
  }
  tags_.Add(std::move(tag));
  SetOpen(true);
}

HXobjNDXFile::HXobjNDXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared)
    : HXobjPlainFile(table, DefaultExtension(HxTrim(fileName), ".ndx"), shared, true) {
  disk_->CreateNew();
  knownSize_ = 0;
  SetOpen(true);
}

std::unique_ptr<HXobjNDXFile> HXobjNDXFile::CreateEmpty(HXO_dBaseFld* table, const std::string& fileName,
                                                        bool shared) {
  return std::unique_ptr<HXobjNDXFile>(new HXobjNDXFile(table, fileName, shared));
}

HXobjNDXFile::~HXobjNDXFile() { CloseQuietly(); }

void HXobjNDXFile::AddTag(const std::string&, const std::string& keyExpression, bool unique, bool ascending,
                          const std::string& forExpression) {
  if (!HxTrim(forExpression).empty())
    throw EKeldorError(FormatKeldorText("Index file %s cannot hold a FOR expression", {FullName()}));
  if (!ascending)
    throw EKeldorError(FormatKeldorText("Index file %s cannot hold a descending tag", {FullName()}));
  if (keyExpression.size() > kNdxBlock - kNdxExpressionAt - 1)
    throw EKeldorError(FormatKeldorText("The key expression of index file %s is longer than %d characters",
                                        {FullName(), kNdxBlock - kNdxExpressionAt - 1}));
  // The expression must compile before anything in the file changes.
  { ThxExpHandler key(Table() ? Table()->ExpUserLink() : nullptr, false, keyExpression); }
  StartOver();
  auto tag = std::make_unique<HXobjNDXTag>(this, TagNameFromFile());
  HXobjNDXTag* t = tag.get();
  tags_.Add(std::move(tag));
  t->Define(keyExpression, unique, true, "");
  SetCorrupted(false);
  SetOpen(true);
  disk_->Flush();
}

bool HXobjNDXFile::DeleteTag(const std::string&) { return false; }

void HXobjNDXFile::Reindex() { ReindexOneTag(); }

void HXobjNDXFile::AfterChange() {
  if (HXobjNDXTag* tag = Tag()) tag->WriteHeader();
}

void HXobjNDXFile::Flush() { HXobjIndexFile::Flush(); }
