// NTX index files (layout in hx6_ntx.h).
#include "index/hx6_ntx.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "expr/hx6_sql.h"
#include "framework/bytes.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"

namespace {

constexpr int kNtxExpressionAt = 22;
constexpr int kNtxExpressionRoom = 256;
constexpr int kNtxForAt = 282;
constexpr int kNtxNumericWidth = 18;
constexpr int kNtxNumericDecimals = 4;

}  // namespace

std::string HxNtxNumberKey(double value, int width, int decimals) {
  const bool negative = value < 0;
  std::string text;
  if (!HxFormatNumber(std::fabs(value), width, decimals, text))
    return std::string(static_cast<size_t>(width), '*');
  for (char& c : text) {
    if (c == ' ') c = '0';
    if (negative && c >= '0' && c <= '9') c = static_cast<char>(92 - c);
  }
  return text;
}

// ---- HXobjNTXTag ------------------------------------------------------------------------

HXobjNTXTag::HXobjNTXTag(HXobjNTXFile* owner, const std::string& name)
    : HXobjPlainTag(owner, name, 0), ntx_(owner) {
  SetKindText("NTX");
}

void HXobjNTXTag::NumericShape(int& width, int& decimals) {
  width = kNtxNumericWidth;
  decimals = kNtxNumericDecimals;
  HXO_dBaseFld* t = Table();
  if (!t) return;
  std::string name = HxTrim(KeyExpression());
  const size_t arrow = name.find("->");
  if (arrow != std::string::npos) name = HxTrim(name.substr(arrow + 2));
  const int n = t->FieldNumber(name);
  const ThxDBFFields* f = n > 0 ? t->FieldEntry(n) : nullptr;
  if (f && (f->type == 'N' || f->type == 'F') && f->width > 0) {
    width = f->width;
    decimals = f->decimals;
  }
}

void HXobjNTXTag::EncodeKey(const ThxVariant& value, bool trim, HXobjIndexKeyData& key) {
  switch (KeyType()) {
    case hxKeyNumeric: {
      const double d = value.Kind() == hxvDate ? static_cast<double>(value.AsDate()) : value.AsNumber();
      key.SetString(HxNtxNumberKey(d, KeyLength(), decimals_));
      return;
    }
    case hxKeyDate: {
      const int32_t day = value.Kind() == hxvDate ? value.AsDate() : static_cast<int32_t>(value.AsNumber());
      std::string text = day > 0 ? DBFDate().ToText(day) : std::string();
      if (HxTrim(text).empty()) text = "00000000";
      key.SetString(text);
      return;
    }
    default:
      HXobjIndexTag::EncodeKey(value, trim, key);
      return;
  }
}

void HXobjNTXTag::TypeFromExpression() {
  char type = hxKeyCharacter;
  int length = KeyLength();
  if (KeyHandler() && Table()) {
    ThxVariant value;
    EvaluateKeyType(value);
    TypeFromValue(value, type, length);
  }
  if (type == hxKeyInteger) type = hxKeyNumeric;
  SetKeyType(type);
}

void HXobjNTXTag::Define(const std::string& keyExpression, bool unique, bool ascending,
                         const std::string& forExpression) {
  HXobjIndexTag::Define(keyExpression, unique, true, forExpression);
  SetStoredDescending(!ascending);
  char type = hxKeyCharacter;
  int length = 10;
  if (KeyHandler()) {
    ThxVariant value;
    EvaluateKeyType(value);
    TypeFromValue(value, type, length);
  }
  decimals_ = 0;
  if (type == hxKeyNumeric || type == hxKeyInteger) {
    type = hxKeyNumeric;
    NumericShape(length, decimals_);
  } else if (type == hxKeyDate) {
    length = 8;
  }
  SetKeyType(type);
  SetKeyLength(std::clamp(length, 1, kHxMaxKeyLength));
  SetNotOrderable(std::string());
  Build();
  SetDirty(true);
  WriteHeader();
}

bool HXobjNTXTag::ReadHeader() {
  uint8_t h[kNtxPage];
  if (!ntx_->ReadBlock(0, h, kNtxPage)) return false;
  const int signature = GetLE16(h);
  if (signature != 6 && signature != 7) return false;
  const int keyLength = GetLE16(h + 14);
  if (keyLength < 1 || keyLength > kHxMaxKeyLength) return false;
  SetKeyLength(keyLength);
  const int perPage = GetLE16(h + 18);
  // Pages of another program may hold fewer keys; never more than fit.
  if (perPage > MaxKeys() || perPage < 2) return false;
  const int64_t root = GetLE32(h + 4);
  if (!ValidPageOffset(root)) return false;
  SetRootOffset(root);
  decimals_ = std::min<int>(GetLE16(h + 16), keyLength);
  const char* expr = reinterpret_cast<const char*>(h + kNtxExpressionAt);
  const size_t exprLength = strnlen(expr, kNtxExpressionRoom);
  std::string condition;
  if (signature == 7) {
    const char* f = reinterpret_cast<const char*>(h + kNtxForAt);
    condition.assign(f, strnlen(f, kNtxPage - kNtxForAt - 1));
  }
  SetExpressions(std::string(expr, exprLength), condition);
  SetUniqueFlag(h[278] != 0);
  SetDescendingFlag(false);
  SetStoredDescending(h[279] != 0);
  return true;
}

void HXobjNTXTag::WriteHeader() {
  uint8_t h[kNtxPage] = {};
  PutLE16(h, HasFor() ? 7 : 6);
  PutLE16(h + 2, 1);
  PutLE32(h + 4, static_cast<uint32_t>(RootOffset()));
  PutLE32(h + 8, 0);
  PutLE16(h + 12, static_cast<uint16_t>(KeyLength() + 8));
  PutLE16(h + 14, static_cast<uint16_t>(KeyLength()));
  PutLE16(h + 16, static_cast<uint16_t>(decimals_));
  PutLE16(h + 18, static_cast<uint16_t>(MaxKeys()));
  PutLE16(h + 20, static_cast<uint16_t>(Half()));
  const std::string& expr = KeyExpression();
  std::memcpy(h + kNtxExpressionAt, expr.data(), std::min<size_t>(expr.size(), kNtxExpressionRoom - 1));
  h[278] = Unique() ? 1 : 0;
  h[279] = StoredDescending() ? 1 : 0;
  if (HasFor()) {
    const std::string& f = ForExpression();
    std::memcpy(h + kNtxForAt, f.data(), std::min<size_t>(f.size(), kNtxPage - kNtxForAt - 1));
  }
  ntx_->WriteBlock(0, h, kNtxPage);
  SetDirty(false);
}

void HXobjNTXTag::DecodePage(const uint8_t* page, HxPlainPage& out) {
  const int count = GetLE16(page);
  if (count > MaxKeys()) RaiseCorrupted();
  const int item = KeyLength() + 8;
  auto itemAt = [&](int i) {
    const int at = GetLE16(page + 2 + 2 * i);
    if (at < 2 + 2 * (count + 1) || at + item > kNtxPage) RaiseCorrupted();
    return page + at;
  };
  out.leaf = GetLE32(itemAt(0)) == 0;
  out.items.resize(static_cast<size_t>(count));
  const bool character = KeyType() == hxKeyCharacter;
  for (int i = 0; i < count; ++i) {
    const uint8_t* e = itemAt(i);
    const uint8_t* key = e + 8;
    size_t length = static_cast<size_t>(KeyLength());
    if (character)
      while (length > 0 && (key[length - 1] == ' ' || key[length - 1] == 0)) --length;
    HXobjIndexKeyData& k = out.items[static_cast<size_t>(i)];
    k.SetString(std::string_view(reinterpret_cast<const char*>(key), length));
    const uint32_t child = GetLE32(e);
    const uint32_t recno = GetLE32(e + 4);
    if (recno == 0 || (out.leaf != (child == 0))) RaiseCorrupted();
    k.SetRecNo(recno);
    k.SetLink(out.leaf ? recno : child);
  }
  if (!out.leaf) {
    out.lastChild = GetLE32(itemAt(count));
    if (out.lastChild == 0) RaiseCorrupted();
  }
}

void HXobjNTXTag::EncodePage(const HxPlainPage& in, uint8_t* page) {
  std::memset(page, 0, kNtxPage);
  const int max = MaxKeys();
  const int item = KeyLength() + 8;
  const int count = static_cast<int>(in.items.size());
  PutLE16(page, static_cast<uint16_t>(count));
  const int base = 2 + 2 * (max + 1);
  for (int i = 0; i <= max; ++i) PutLE16(page + 2 + 2 * i, static_cast<uint16_t>(base + i * item));
  for (int i = 0; i < count; ++i) {
    const HXobjIndexKeyData& k = in.items[static_cast<size_t>(i)];
    uint8_t* e = page + base + i * item;
    PutLE32(e, in.leaf ? 0 : k.Link());
    PutLE32(e + 4, k.RecNo());
    std::memset(e + 8, ' ', static_cast<size_t>(KeyLength()));
    const size_t length = std::min<size_t>(k.Data() ? k.Length() : 0, static_cast<size_t>(KeyLength()));
    if (length > 0) std::memcpy(e + 8, k.Data(), length);
  }
  if (!in.leaf) PutLE32(page + base + count * item, static_cast<uint32_t>(in.lastChild));
}

std::unique_ptr<HXobjSortPlain> HXobjNTXTag::MakeSort() { return std::make_unique<HXobjSortNTX>(this); }

// ---- HXobjNTXFile -----------------------------------------------------------------------

HXobjNTXFile::HXobjNTXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared, bool readWrite)
    : HXobjPlainFile(table, DefaultExtension(HxTrim(fileName), ".ntx"), shared, readWrite) {
  disk_->Open();
  knownSize_ = disk_->FileSize();
  auto tag = std::make_unique<HXobjNTXTag>(this, TagNameFromFile());
  if (knownSize_ < 2 * kNtxPage || !tag->ReadHeader()) {
    SetCorrupted(true);
    return;
  }
  tag->CompileKey();
  tag->CompileFor();
  tag->TypeFromExpression();
  tags_.Add(std::move(tag));
  SetOpen(true);
}

HXobjNTXFile::HXobjNTXFile(HXO_dBaseFld* table, const std::string& fileName, bool shared)
    : HXobjPlainFile(table, DefaultExtension(HxTrim(fileName), ".ntx"), shared, true) {
  disk_->CreateNew();
  SetOpen(true);
}

std::unique_ptr<HXobjNTXFile> HXobjNTXFile::CreateEmpty(HXO_dBaseFld* table, const std::string& fileName,
                                                        bool shared) {
  return std::unique_ptr<HXobjNTXFile>(new HXobjNTXFile(table, fileName, shared));
}

HXobjNTXFile::~HXobjNTXFile() { CloseQuietly(); }

void HXobjNTXFile::AddTag(const std::string&, const std::string& keyExpression, bool unique, bool ascending,
                          const std::string& forExpression) {
  if (keyExpression.size() > kNtxExpressionRoom - 1 || forExpression.size() > kNtxPage - kNtxForAt - 1)
    throw EKeldorError(
        FormatKeldorText("The key or FOR expression of index file %s is too long", {FullName()}));
  {
    ThxExpHandler key(Table() ? Table()->ExpUserLink() : nullptr, false, keyExpression);
    if (!HxTrim(forExpression).empty())
      ThxExpHandler cond(Table() ? Table()->ExpUserLink() : nullptr, false, forExpression);
  }
  StartOver();
  auto tag = std::make_unique<HXobjNTXTag>(this, TagNameFromFile());
  HXobjNTXTag* t = tag.get();
  tags_.Add(std::move(tag));
  t->Define(keyExpression, unique, ascending, forExpression);
  SetCorrupted(false);
  SetOpen(true);
  disk_->Flush();
}

bool HXobjNTXFile::DeleteTag(const std::string&) { return false; }

void HXobjNTXFile::Reindex() { ReindexOneTag(); }

void HXobjNTXFile::AfterChange() {}
