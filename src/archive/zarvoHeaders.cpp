#include "archive/zarvoHeaders.h"

#include <algorithm>
#include <cstring>

#include "archive/Err_Msgs.h"
#include "archive/zarvoDeflate.h"
#include "archive/zarvoFileIo.h"
#include "archive/zarvoStreams.h"
#include "framework/exceptions.h"
#include "platform/text.h"

using zarvo::GetLE16;
using zarvo::GetLE32;
using zarvo::GetLE64;
using zarvo::PutLE16;
using zarvo::PutLE32;
using zarvo::PutLE64;

void HeaderCipher(uint8_t* data, size_t count) {
  for (size_t i = 0; i < count; ++i)
    data[i] ^= static_cast<uint8_t>(0xA7u ^ static_cast<unsigned>(i * 0x3Du) ^ static_cast<unsigned>(i >> 8));
}

uint32_t SignatureFor(uint32_t plainSig, bool headerCipher) {
  return headerCipher ? (plainSig & 0xFFFF00FFu) | 0x00004C00u : plainSig;
}

namespace {

bool IsSig(uint32_t value, uint32_t plainSig) {
  return value == plainSig || value == SignatureFor(plainSig, true);
}
bool IsCipheredSig(uint32_t value) { return ((value >> 8) & 0xFF) == 0x4C; }

// Reads exactly `count` bytes at `offset`; false when fewer are there.
bool ReadExact(TStream32& s, uint64_t offset, void* buffer, size_t count) {
  if (count == 0) return true;
  if (s.Seek(static_cast<int64_t>(offset), soBeginning) < 0) return false;
  return s.Read(buffer, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
}

std::string ReadString(TStream32& s, uint64_t offset, size_t count, bool& ok) {
  std::string r(count, '\0');
  ok = ReadExact(s, offset, r.data(), count);
  return r;
}

}  // namespace

bool ParseExt64(const uint8_t* extra, size_t count, bool central, uint16_t& packedHi, uint16_t& unpackedHi,
                uint16_t& offsetHi) {
  size_t pos = 0;
  while (pos + 4 <= count) {
    uint16_t tag = GetLE16(extra + pos);
    uint16_t size = GetLE16(extra + pos + 2);
    if (size > count - pos - 4) break;  // a block larger than what is left ends the parsing
    if (tag == kExt64Tag && size >= 4) {
      packedHi = GetLE16(extra + pos + 4);
      unpackedHi = GetLE16(extra + pos + 6);
      if (central && size >= 6) offsetHi = GetLE16(extra + pos + 8);
      return true;
    }
    pos += 4 + size;
  }
  return false;
}

bool IsDosHost(uint16_t versionMadeBy) {
  switch (versionMadeBy >> 8) {
    case 0:   // MS-DOS, OS/2 FAT
    case 6:   // OS/2 HPFS
    case 10:  // Windows NTFS
    case 14:  // VFAT
      return true;
    default:
      return false;
  }
}

uint16_t MadeByForUtf8(uint16_t versionMadeBy) {
  return (versionMadeBy >> 8) == 0 ? static_cast<uint16_t>((10 << 8) | (versionMadeBy & 0xFF))
                                   : versionMadeBy;
}

const uint8_t* FindExtraBlock(const uint8_t* extra, size_t count, uint16_t tag, size_t& size) {
  size_t pos = 0;
  while (pos + 4 <= count) {
    const uint16_t t = GetLE16(extra + pos);
    const size_t n = GetLE16(extra + pos + 2);
    if (n > count - pos - 4) return nullptr;
    if (t == tag) {
      size = n;
      return extra + pos + 4;
    }
    pos += 4 + n;
  }
  return nullptr;
}

std::vector<uint8_t> StripExtraBlocks(const std::vector<uint8_t>& extra,
                                      std::initializer_list<uint16_t> tags) {
  std::vector<uint8_t> out;
  out.reserve(extra.size());
  size_t pos = 0;
  while (extra.size() - pos >= 4) {
    const uint16_t t = GetLE16(&extra[pos]);
    const size_t n = GetLE16(&extra[pos + 2]);
    if (n > extra.size() - pos - 4) break;
    if (std::find(tags.begin(), tags.end(), t) == tags.end())
      out.insert(out.end(), extra.begin() + static_cast<long>(pos),
                 extra.begin() + static_cast<long>(pos + 4 + n));
    pos += 4 + n;
  }
  out.insert(out.end(), extra.begin() + static_cast<long>(pos), extra.end());
  return out;
}

bool ReadZip64Block(const uint8_t* extra, size_t count, bool unpacked, bool packed, bool offset, bool disk,
                    TZip64Values& v) {
  size_t size = 0;
  const uint8_t* p = FindExtraBlock(extra, count, kZip64Tag, size);
  if (!p) return false;
  size_t need = (unpacked ? 8 : 0) + (packed ? 8 : 0) + (offset ? 8 : 0) + (disk ? 4 : 0);
  if (size < need) return false;
  if (unpacked) v.Unpacked = GetLE64(p), p += 8;
  if (packed) v.Packed = GetLE64(p), p += 8;
  if (offset) v.Offset = GetLE64(p), p += 8;
  if (disk) v.Disk = GetLE32(p);
  return true;
}

bool UnicodePathName(const uint8_t* extra, size_t count, const std::string& headerName, std::string& utf8) {
  size_t size = 0;
  const uint8_t* p = FindExtraBlock(extra, count, kUnicodePathTag, size);
  if (!p || size < 5 || p[0] != 1) return false;
  // The block names the entry only while it belongs to the name beside it.
  if (GetLE32(p + 1) != Crc32(headerName.data(), headerName.size())) return false;
  utf8.assign(reinterpret_cast<const char*>(p + 5), size - 5);
  return !utf8.empty();
}

std::vector<uint8_t> UnicodePathBlock(const std::string& headerName, const std::string& utf8) {
  const size_t n = std::min<size_t>(utf8.size(), 0xFFFF - 5 - 4);
  std::vector<uint8_t> b(4 + 5 + n);
  PutLE16(&b[0], kUnicodePathTag);
  PutLE16(&b[2], static_cast<uint16_t>(5 + n));
  b[4] = 1;
  PutLE32(&b[5], Crc32(headerName.data(), headerName.size()));
  std::memcpy(&b[9], utf8.data(), n);
  return b;
}

std::vector<uint8_t> UnicodePathFor(const std::string& headerName, const std::string& storedName, bool utf8) {
  if (utf8) return {};
  if (std::all_of(headerName.begin(), headerName.end(), [](char c) { return (c & 0x80) == 0; })) return {};
  std::string slashed = storedName;
  std::replace(slashed.begin(), slashed.end(), '\\', '/');
  return UnicodePathBlock(headerName, platform::AnsiToUtf8(slashed));
}

// ---- record builders ----

void EncodeLocalHeader(uint8_t* h, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                       uint64_t packedSize, uint64_t size, size_t nameLength, bool zip64) {
  PutLE32(h, kLocalSig);
  PutLE16(h + 4, zip64 ? kVersionZip64 : kVersionDefault);
  PutLE16(h + 6, flags);
  PutLE16(h + 8, method);
  PutLE16(h + 10, zarvo::DosTime(dosDateTime));
  PutLE16(h + 12, zarvo::DosDate(dosDateTime));
  PutLE32(h + 14, crc);
  PutLE32(h + 18, zip64 ? kAllOnes32 : static_cast<uint32_t>(packedSize));
  PutLE32(h + 22, zip64 ? kAllOnes32 : static_cast<uint32_t>(size));
  PutLE16(h + 26, static_cast<uint16_t>(nameLength));
  PutLE16(h + 28, static_cast<uint16_t>(zip64 ? kLocalZip64Size : 0));
}

void EncodeLocalZip64(uint8_t* x, uint64_t packedSize, uint64_t size) {
  PutLE16(x, kZip64Tag);
  PutLE16(x + 2, 16);
  PutLE64(x + 4, size);
  PutLE64(x + 12, packedSize);
}

void EncodeNewCentral(TCentralBytes& c, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                      uint64_t packedSize, uint64_t size, size_t nameLength, uint32_t attributes,
                      uint64_t localOffset) {
  c.fill(0);
  PutLE32(&c[0], kCentralSig);
  PutLE16(&c[4], kVersionDefault);
  PutLE16(&c[6], kVersionDefault);
  PutLE16(&c[8], flags);
  PutLE16(&c[10], method);
  PutLE16(&c[12], zarvo::DosTime(dosDateTime));
  PutLE16(&c[14], zarvo::DosDate(dosDateTime));
  PutLE32(&c[16], crc);
  PutLE32(&c[20], static_cast<uint32_t>(packedSize));
  PutLE32(&c[24], static_cast<uint32_t>(size));
  PutLE16(&c[28], static_cast<uint16_t>(nameLength));
  PutLE16(&c[36], 1);
  PutLE32(&c[38], attributes);
  PutLE32(&c[42], static_cast<uint32_t>(localOffset));
}

void FillCentralBytes(TCentralBytes& c, uint64_t size, uint32_t dosDateTime, uint32_t attributes,
                      uint16_t method) {
  c.fill(0);
  PutLE32(&c[0], kCentralSig);
  PutLE16(&c[4], kVersionDefault);
  PutLE16(&c[6], kVersionDefault);
  PutLE16(&c[10], method);
  PutLE16(&c[12], zarvo::DosTime(dosDateTime));
  PutLE16(&c[14], zarvo::DosDate(dosDateTime));
  PutLE32(&c[20], static_cast<uint32_t>(size));
  PutLE32(&c[24], static_cast<uint32_t>(size));
  PutLE16(&c[36], 1);
  PutLE32(&c[38], attributes);
}

void CentralFromLocal(TCentralBytes& c, const uint8_t* h, uint64_t localOffset) {
  c.fill(0);
  PutLE32(&c[0], kCentralSig);
  PutLE16(&c[4], kVersionDefault);
  std::memcpy(&c[6], h + 4, 2);   // version needed
  std::memcpy(&c[8], h + 6, 24);  // flags .. extra length
  PutLE32(&c[42], static_cast<uint32_t>(localOffset));
}

std::vector<uint8_t> EncodeCentralEntry(TCentralBytes c, std::string name, std::vector<uint8_t> extra,
                                        std::string comment, bool cipher, uint64_t packed, uint64_t unpacked,
                                        uint64_t localOffset, uint8_t zip64Mask) {
  extra = StripExtraBlocks(extra, {kZip64Tag, kExt64Tag});
  const bool zUnpacked = NeedsZip64(unpacked) || (zip64Mask & kZip64Unpacked);
  const bool zPacked = NeedsZip64(packed) || (zip64Mask & kZip64Packed);
  const bool zOffset = NeedsZip64(localOffset) || (zip64Mask & kZip64Offset);
  PutLE32(&c[20], zPacked ? kAllOnes32 : static_cast<uint32_t>(packed));
  PutLE32(&c[24], zUnpacked ? kAllOnes32 : static_cast<uint32_t>(unpacked));
  PutLE32(&c[42], zOffset ? kAllOnes32 : static_cast<uint32_t>(localOffset));
  if (zUnpacked || zPacked || zOffset) {
    std::vector<uint8_t> block(4);
    auto put64 = [&block](uint64_t v) {
      uint8_t b[8];
      PutLE64(b, v);
      block.insert(block.end(), b, b + 8);
    };
    if (zUnpacked) put64(unpacked);
    if (zPacked) put64(packed);
    if (zOffset) put64(localOffset);
    PutLE16(&block[0], kZip64Tag);
    PutLE16(&block[2], static_cast<uint16_t>(block.size() - 4));
    // The standard block must fit beside the others; the others give way.
    if (extra.size() > 0xFFFF - block.size()) extra.clear();
    extra.insert(extra.begin(), block.begin(), block.end());
    if (GetLE16(&c[6]) < kVersionZip64) PutLE16(&c[6], kVersionZip64);
  }
  if (comment.size() > 0xFFFF) comment.resize(0xFFFF);
  if (extra.size() > 0xFFFF) extra.resize(0xFFFF);
  if (name.size() > 0xFFFF) name.resize(0xFFFF);
  PutLE32(&c[0], SignatureFor(kCentralSig, cipher));
  PutLE16(&c[28], static_cast<uint16_t>(name.size()));
  PutLE16(&c[30], static_cast<uint16_t>(extra.size()));
  PutLE16(&c[32], static_cast<uint16_t>(comment.size()));
  if (cipher) {
    HeaderCipher(c.data() + 4, kCentralRecordSize - 4);
    HeaderCipher(reinterpret_cast<uint8_t*>(name.data()), name.size());
  }
  std::vector<uint8_t> b(c.size() + name.size() + extra.size() + comment.size());
  uint8_t* p = b.data();
  std::memcpy(p, c.data(), c.size());
  p += c.size();
  if (!name.empty()) std::memcpy(p, name.data(), name.size());
  p += name.size();
  if (!extra.empty()) std::memcpy(p, extra.data(), extra.size());
  p += extra.size();
  if (!comment.empty()) std::memcpy(p, comment.data(), comment.size());
  return b;
}

size_t EncodeEndRecords(uint8_t* r, uint64_t dirOffset, uint64_t dirSize, uint64_t entries,
                        size_t commentLength) {
  const bool zip64 = entries >= 0xFFFF || NeedsZip64(dirSize) || NeedsZip64(dirOffset);
  size_t len = 0;
  if (zip64) {
    uint8_t* z = r;
    std::memset(z, 0, kZip64EndSize);
    PutLE32(z, kZip64EndSig);
    PutLE64(z + 4, kZip64EndSize - 12);
    PutLE16(z + 12, kVersionZip64);
    PutLE16(z + 14, kVersionZip64);
    PutLE64(z + 24, entries);
    PutLE64(z + 32, entries);
    PutLE64(z + 40, dirSize);
    PutLE64(z + 48, dirOffset);
    uint8_t* l = r + kZip64EndSize;
    std::memset(l, 0, kZip64LocatorSize);
    PutLE32(l, kZip64LocatorSig);
    PutLE64(l + 8, dirOffset + dirSize);
    PutLE32(l + 16, 1);
    len = kZip64EndSize + kZip64LocatorSize;
  }
  uint8_t* e = r + len;
  std::memset(e, 0, kEndRecordSize);
  const uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(entries, 0xFFFF));
  PutLE32(e, kEndSig);
  PutLE16(e + 8, n);
  PutLE16(e + 10, n);
  PutLE32(e + 12, NeedsZip64(dirSize) ? kAllOnes32 : static_cast<uint32_t>(dirSize));
  PutLE32(e + 16, NeedsZip64(dirOffset) ? kAllOnes32 : static_cast<uint32_t>(dirOffset));
  PutLE16(e + 20, static_cast<uint16_t>(commentLength));
  return len + kEndRecordSize;
}

std::vector<uint8_t> RewriteLocalHeader(const uint8_t* plainLocal, const std::vector<uint8_t>& localExtra,
                                        const std::string& headerName, bool utf8, bool renamed,
                                        uint64_t packed, uint64_t unpacked, bool cipher,
                                        const std::vector<uint8_t>& addExtra) {
  uint8_t h[kLocalHeaderSize];
  std::memcpy(h, plainLocal, kLocalHeaderSize);
  uint16_t flags = GetLE16(h + 6);
  flags = utf8 ? (flags | kFlagUtf8) : (flags & ~kFlagUtf8);
  PutLE16(h + 6, flags);
  std::vector<uint8_t> extra = renamed ? StripExtraBlocks(localExtra, {kExt64Tag, kUnicodePathTag})
                                       : StripExtraBlocks(localExtra, {kExt64Tag});
  if ((flags & kFlagDescriptor) == 0) {
    // The sizes are the header's to give: standard fields, with the Zip64
    // block when they do not fit or the header had one already.
    size_t zsize = 0;
    const bool hadZip64 = FindExtraBlock(localExtra.data(), localExtra.size(), kZip64Tag, zsize) != nullptr;
    extra = StripExtraBlocks(extra, {kZip64Tag});
    const bool zip64 = hadZip64 || NeedsZip64(packed) || NeedsZip64(unpacked);
    PutLE32(h + 18, zip64 ? kAllOnes32 : static_cast<uint32_t>(packed));
    PutLE32(h + 22, zip64 ? kAllOnes32 : static_cast<uint32_t>(unpacked));
    if (zip64) {
      uint8_t z[kLocalZip64Size];
      EncodeLocalZip64(z, packed, unpacked);
      if (extra.size() > 0xFFFF - sizeof z) extra.clear();
      extra.insert(extra.begin(), z, z + sizeof z);
      if (GetLE16(h + 4) < kVersionZip64) PutLE16(h + 4, kVersionZip64);
    }
  }
  if (extra.size() + addExtra.size() <= 0xFFFF) extra.insert(extra.end(), addExtra.begin(), addExtra.end());
  if (extra.size() > 0xFFFF) extra.resize(0xFFFF);
  const size_t nameLength = std::min<size_t>(headerName.size(), 0xFFFF);
  PutLE16(h + 26, static_cast<uint16_t>(nameLength));
  PutLE16(h + 28, static_cast<uint16_t>(extra.size()));
  std::vector<uint8_t> b(kLocalHeaderSize + nameLength + extra.size());
  std::memcpy(b.data(), h, kLocalHeaderSize);
  std::memcpy(b.data() + kLocalHeaderSize, headerName.data(), nameLength);
  if (!extra.empty()) std::memcpy(b.data() + kLocalHeaderSize + nameLength, extra.data(), extra.size());
  PutLE32(b.data(), SignatureFor(kLocalSig, cipher));
  if (cipher) {
    HeaderCipher(b.data() + 4, kLocalHeaderSize - 4);
    HeaderCipher(b.data() + kLocalHeaderSize, nameLength);
  }
  return b;
}

// ---- entries ----

uint16_t THeaderEntry::Flags() const { return GetLE16(&Central[8]); }
uint16_t THeaderEntry::Method() const { return GetLE16(&Central[10]); }
uint32_t THeaderEntry::DosDateTime() const {
  return (static_cast<uint32_t>(GetLE16(&Central[14])) << 16) | GetLE16(&Central[12]);
}
uint32_t THeaderEntry::Crc32() const { return GetLE32(&Central[16]); }
uint64_t THeaderEntry::PackedSize() const {
  return GetLE32(&Central[20]) | (static_cast<uint64_t>(Rec.PackedHi) << 32);
}
uint64_t THeaderEntry::UnpackedSize() const {
  return GetLE32(&Central[24]) | (static_cast<uint64_t>(Rec.UnpackedHi) << 32);
}
uint32_t THeaderEntry::ExternalAttributes() const { return GetLE32(&Central[38]); }
uint16_t THeaderEntry::InternalAttributes() const { return GetLE16(&Central[36]); }
uint16_t THeaderEntry::VersionMadeBy() const { return GetLE16(&Central[4]); }
uint16_t THeaderEntry::VersionNeeded() const { return GetLE16(&Central[6]); }

std::string THeaderEntry::DisplayName() const {
  if (Flags() & kFlagUtf8) return zarvo::ValidUtf8(HeaderName);
  std::string utf8;
  if (UnicodePathName(Rec.Extra.data(), Rec.Extra.size(), HeaderName, utf8)) return zarvo::ValidUtf8(utf8);
  return platform::CodePageToUtf8(HeaderName, platform::OemCodePage());
}

int THeaderObj::Add(THeaderEntry entry) {
  items_.push_back(std::move(entry));
  return Count() - 1;
}

void THeaderObj::Delete(int i) { items_.erase(items_.begin() + i); }

void THeaderObj::Clear() {
  items_.clear();
  ArchiveComment.clear();
  Modified = false;
}

int THeaderObj::IndexOfName(const std::string& name) const {
  std::string want = platform::AnsiUpperCase(name);
  for (int i = 0; i < Count(); ++i)
    if (platform::AnsiUpperCase(items_[static_cast<size_t>(i)].Name) == want) return i;
  return -1;
}

void FillCentralFromFile(THeaderEntry& entry, uint64_t size, uint32_t dosDateTime, uint32_t attributes) {
  FillCentralBytes(entry.Central, size, dosDateTime, attributes, 8);
  entry.Rec.PackedHi = entry.Rec.UnpackedHi = static_cast<uint32_t>(size >> 32);
}

uint64_t TNewEntry::DataOffset() const {
  return LocalOffset + kLocalHeaderSize + HeaderName.size() + (Zip64 ? kLocalZip64Size : 0);
}

// ---- writing new entries ----

namespace {

// Header, name and Zip64 block as one buffer, enciphered when asked.
std::vector<uint8_t> LocalBlock(const TNewEntry& e, uint16_t flags, uint32_t crc, uint64_t packed) {
  std::vector<uint8_t> b(kLocalHeaderSize + e.HeaderName.size() + (e.Zip64 ? kLocalZip64Size : 0));
  EncodeLocalHeader(b.data(), flags, e.Method, e.DosDateTime, crc, packed, e.Size, e.HeaderName.size(),
                    e.Zip64);
  PutLE32(b.data(), SignatureFor(kLocalSig, e.HeaderCipher));
  std::memcpy(b.data() + kLocalHeaderSize, e.HeaderName.data(), e.HeaderName.size());
  if (e.HeaderCipher) {
    HeaderCipher(b.data() + 4, kLocalHeaderSize - 4);
    HeaderCipher(b.data() + kLocalHeaderSize, e.HeaderName.size());
  }
  if (e.Zip64) EncodeLocalZip64(b.data() + kLocalHeaderSize + e.HeaderName.size(), packed, e.Size);
  return b;
}

uint16_t FinalFlags(const TNewEntry& e) {
  uint16_t flags = e.Encrypted ? kFlagEncrypted : 0;
  if (e.Method == 8) flags |= DeflateFlagBits(e.Level);
  if (e.Utf8Name) flags |= kFlagUtf8;
  return flags;
}

}  // namespace

void TZipFormat::WriteLocalTemplate(TStream32& out, TNewEntry& e) {
  if (e.HeaderName.size() > 0xFFFF) throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName);
  int64_t end = out.Seek(0, soEnd);
  if (end < 0) throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName);
  e.LocalOffset = static_cast<uint64_t>(end);
  e.Zip64 = LocalNeedsZip64(e.Size);
  e.PackedSize = 0;
  std::vector<uint8_t> b = LocalBlock(e, 0, 0, 0);
  out.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
}

void TZipFormat::CompleteLocalHeader(TStream32& out, TNewEntry& e) {
  int64_t end = out.Seek(0, soEnd);
  if (end < 0 || static_cast<uint64_t>(end) < e.DataOffset())
    throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName);
  e.PackedSize = static_cast<uint64_t>(end) - e.DataOffset();
  if (!e.Zip64 && NeedsZip64(e.PackedSize))
    throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName + " (entry outgrew 4 GiB)");
  uint32_t crc = e.Size == 0 ? 0 : e.Crc;
  std::vector<uint8_t> b = LocalBlock(e, FinalFlags(e), crc, e.PackedSize);
  out.SetPosition(static_cast<int64_t>(e.LocalOffset));
  out.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
  out.Seek(0, soEnd);
}

void TZipFormat::BuildCentral(const TNewEntry& e, THeaderEntry& t) const {
  EncodeNewCentral(t.Central, FinalFlags(e), e.Method, e.DosDateTime, e.Size == 0 ? 0 : e.Crc, e.PackedSize,
                   e.Size, e.HeaderName.size(), e.ExternalAttributes, e.LocalOffset);
  if (e.Utf8Name) PutLE16(&t.Central[4], MadeByForUtf8(t.VersionMadeBy()));
  t.HeaderName = e.HeaderName;
  t.NameExact = true;
  t.Rec.LocalOffset = e.LocalOffset;
  t.Rec.PackedHi = static_cast<uint32_t>(e.PackedSize >> 32);
  t.Rec.UnpackedHi = static_cast<uint32_t>(e.Size >> 32);
  t.Rec.HeaderCipher = e.HeaderCipher;
  t.Rec.Comment.clear();
  t.Rec.Extra.clear();
  // A local header with the Zip64 sizes is matched by a directory record
  // with them.
  t.Rec.Zip64Mask = e.Zip64 ? (kZip64Unpacked | kZip64Packed) : 0;
  t.Rec.Span = e.DataOffset() + e.PackedSize - e.LocalOffset;
  t.Rec.LocalRewrite = false;
}

// ---- copying old entries ----

bool TZipFormat::CopyEntry(TStream32& old, TStream32& out, THeaderEntry& entry,
                           const std::string* newHeaderName, bool newNameUtf8) {
  auto fail = [&](const char* why) {
    if (ReportError) ReportError(ArchiveName, why, E_OPEN);
    return false;
  };
  const uint64_t pos = entry.Rec.LocalOffset;
  const int64_t oldSizeSigned = old.Size();
  if (oldSizeSigned < 0) return fail("archive size unknown");
  const uint64_t oldSize = static_cast<uint64_t>(oldSizeSigned);
  uint8_t h[kLocalHeaderSize];
  if (pos > oldSize || oldSize - pos < kLocalHeaderSize || !ReadExact(old, pos, h, sizeof h))
    return fail("local header out of range");
  uint32_t sig = GetLE32(h);
  if (!IsSig(sig, kLocalSig)) return fail("local header missing");
  uint8_t plain[kLocalHeaderSize];
  std::memcpy(plain, h, sizeof h);
  if (IsCipheredSig(sig)) HeaderCipher(plain + 4, kLocalHeaderSize - 4);
  const uint64_t head = kLocalHeaderSize + GetLE16(plain + 26) + GetLE16(plain + 28);
  const uint64_t span = entry.Rec.Span;
  if (span < head || span > oldSize - pos) return fail("entry runs past the end of the archive");

  int64_t newPos = out.Seek(0, soEnd);
  if (newPos < 0) throw EWriteError(LoadErrorMsg(E_WRITE));
  uint64_t newSpan = span;
  if (!newHeaderName && !entry.Rec.LocalRewrite) {
    old.SetPosition(static_cast<int64_t>(pos));
    if (out.CopyFrom(old, static_cast<int64_t>(span)) != static_cast<int64_t>(span)) return false;
  } else {
    if (newHeaderName && newHeaderName->size() > 0xFFFF) return fail("name too long");
    std::vector<uint8_t> localExtra(GetLE16(plain + 28));
    if (!ReadExact(old, pos + kLocalHeaderSize + GetLE16(plain + 26), localExtra.data(), localExtra.size()))
      return fail("local header out of range");
    const bool utf8 = newHeaderName ? newNameUtf8 : (entry.Flags() & kFlagUtf8) != 0;
    const std::string& name = newHeaderName ? *newHeaderName : entry.HeaderName;
    std::vector<uint8_t> b =
        RewriteLocalHeader(plain, localExtra, name, utf8, newHeaderName != nullptr, entry.PackedSize(),
                           entry.UnpackedSize(), entry.Rec.HeaderCipher);
    out.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
    const int64_t rest = static_cast<int64_t>(span - head);
    old.SetPosition(static_cast<int64_t>(pos + head));
    if (out.CopyFrom(old, rest) != rest) return false;
    newSpan = b.size() + static_cast<uint64_t>(rest);
    if (newHeaderName) {
      entry.HeaderName = *newHeaderName;
      entry.Rec.Extra = StripExtraBlocks(entry.Rec.Extra, {kUnicodePathTag});
      const uint16_t flags = entry.Flags();
      PutLE16(&entry.Central[8], utf8 ? (flags | kFlagUtf8) : (flags & ~kFlagUtf8));
      if (utf8) PutLE16(&entry.Central[4], MadeByForUtf8(entry.VersionMadeBy()));
    }
  }
  entry.Rec.LocalOffset = static_cast<uint64_t>(newPos);
  entry.Rec.Span = newSpan;
  entry.Rec.LocalRewrite = false;
  return true;
}

// ---- the directory ----

bool TZipFormat::WriteCentralDirectory(TStream32& out, const THeaderObj& list) {
  int64_t startSigned = out.Seek(0, soEnd);
  if (startSigned < 0) return false;
  const uint64_t start = static_cast<uint64_t>(startSigned);
  auto put = [&out](const void* data, size_t n) {
    return n == 0 || out.Write(data, static_cast<int64_t>(n)) == static_cast<int64_t>(n);
  };
  uint64_t count = 0;
  for (const THeaderEntry& e : list.Items()) {
    if (e.Rec.Action == eaDrop) continue;
    std::vector<uint8_t> b =
        EncodeCentralEntry(e.Central, e.HeaderName, e.Rec.Extra, e.Rec.Comment, e.Rec.HeaderCipher,
                           e.PackedSize(), e.UnpackedSize(), e.Rec.LocalOffset, e.Rec.Zip64Mask);
    if (!put(b.data(), b.size())) return false;
    ++count;
  }
  int64_t endSigned = out.Seek(0, soEnd);
  if (endSigned < 0) return false;
  const uint64_t dirSize = static_cast<uint64_t>(endSigned) - start;
  const std::string comment = list.ArchiveComment.substr(0, 0xFFFF);
  uint8_t r[kMaxEndRecordsSize];
  if (!put(r, EncodeEndRecords(r, start, dirSize, count, comment.size()))) return false;
  return put(comment.data(), comment.size());
}

bool TZipFormat::WriteEmptyEndRecord(TStream32& out) {
  uint8_t r[kEndRecordSize] = {};
  PutLE32(r, kEndSig);
  if (out.Seek(0, soEnd) < 0) return false;
  return out.Write(r, sizeof r) == static_cast<int64_t>(sizeof r);
}

// ---- reading an existing archive ----

namespace {

struct TEndInfo {
  uint64_t pos = 0;         // of the classic (or old 64-bit) end record
  uint64_t blockStart = 0;  // where the end records begin (the Zip64 end record when there is one)
  bool old64 = false;
  bool zip64 = false;
  uint64_t entries = 0;
  uint64_t dirSize = 0;
  uint64_t dirOffset = 0;
  uint16_t commentLen = 0;
  uint32_t thisDisk = 0;
  uint32_t dirDisk = 0;
  int64_t zip64Shift = 0;  // the Zip64 end record sits that much later than its locator says
};

// Parses the end record candidate at `pos` (its bytes in `r`, deciphered).
// Returns false when it cannot be the archive's end (a locator without its
// Zip64 record, or a directory that does not fit before it); `why` says why
// for a candidate that is clearly an end but broken.
bool ParseEnd(TStream32& in, uint64_t pos, const uint8_t* r, bool old64, TEndInfo& t, std::string& why) {
  t.pos = pos;
  t.blockStart = pos;
  t.old64 = old64;
  t.thisDisk = GetLE16(r + 4);
  t.dirDisk = GetLE16(r + 6);
  t.entries = GetLE16(r + 10);
  t.dirSize = GetLE32(r + 12);
  t.dirOffset = old64 ? GetLE64(r + 16) : GetLE32(r + 16);
  t.commentLen = GetLE16(r + (old64 ? 24 : 20));
  if (!old64 && pos >= kZip64LocatorSize) {
    uint8_t l[kZip64LocatorSize];
    if (ReadExact(in, pos - kZip64LocatorSize, l, sizeof l) && GetLE32(l) == kZip64LocatorSig) {
      const uint64_t stated = GetLE64(l + 8);
      const uint64_t locatorPos = pos - kZip64LocatorSize;
      uint8_t z[kZip64EndSize];
      uint64_t at = stated;
      bool found = stated < locatorPos && locatorPos - stated >= kZip64EndSize &&
                   ReadExact(in, stated, z, sizeof z) && GetLE32(z) == kZip64EndSig;
      if (!found && locatorPos >= kZip64EndSize) {
        // Bytes put in front of the archive move the record without its locator knowing.
        at = locatorPos - kZip64EndSize;
        found = ReadExact(in, at, z, sizeof z) && GetLE32(z) == kZip64EndSig;
      }
      if (!found) {
        why = "the Zip64 end record is missing";
        return false;
      }
      t.zip64 = true;
      t.zip64Shift = static_cast<int64_t>(at - stated);
      t.blockStart = at;
      t.thisDisk = GetLE32(z + 16);
      t.dirDisk = GetLE32(z + 20);
      t.entries = GetLE64(z + 32);
      t.dirSize = GetLE64(z + 40);
      t.dirOffset = GetLE64(z + 48);
      if (GetLE32(l + 16) > 1 && t.thisDisk == 0) t.thisDisk = GetLE32(l + 16) - 1;
    }
  }
  if (t.dirSize > t.blockStart || t.dirOffset > t.blockStart - t.dirSize) {
    why = "the central directory lies outside the file";
    return false;
  }
  return true;
}

// Where the entry's data descriptor ends, for an entry with flag bit 3: the
// descriptor must repeat the directory's CRC and sizes, with or without its
// signature, with 4- or 8-byte sizes. 0 when none is there.
uint64_t DescriptorLength(TStream32& in, uint64_t at, uint64_t limit, bool localZip64, uint32_t crc,
                          uint64_t packed, uint64_t unpacked) {
  uint8_t d[24] = {};
  const size_t avail = static_cast<size_t>(std::min<uint64_t>(sizeof d, limit > at ? limit - at : 0));
  if (avail < 12 || !ReadExact(in, at, d, avail)) return 0;
  for (int withSig = (GetLE32(d) == kDescriptorSig) ? 1 : 0; withSig >= 0; --withSig) {
    const size_t off = withSig ? 4 : 0;
    const int widths[2] = {localZip64 ? 8 : 4, localZip64 ? 4 : 8};
    for (int width : widths) {
      const size_t need = off + 4 + 2 * static_cast<size_t>(width);
      if (need > avail) continue;
      if (GetLE32(d + off) != crc) continue;
      const uint64_t p = width == 8 ? GetLE64(d + off + 4) : GetLE32(d + off + 4);
      const uint64_t u = width == 8 ? GetLE64(d + off + 12) : GetLE32(d + off + 8);
      if (p == packed && u == unpacked) return need;
    }
  }
  return 0;
}

}  // namespace

int TZipFormat::ReadArchive(TStream32& in, TCompHeaderObj& list) {
  list.Clear();
  list.EndRecordFound = list.End64 = list.Zip64 = list.Damaged = false;
  list.DamageReason.clear();
  list.FirstEntryOffset = list.CentralOffset = list.EntriesExpected = 0;
  list.PrefixShift = 0;
  auto damaged = [&list](const std::string& why) {
    if (!list.Damaged) list.DamageReason = why;
    list.Damaged = true;
  };
  auto report = [&](const std::string& why) {
    damaged(why);
    if (ReportError) ReportError(ArchiveName, why, E_OPEN);
  };
  const int64_t sizeSigned = in.Size();
  if (sizeSigned <= 0) return 0;
  const uint64_t size = static_cast<uint64_t>(sizeSigned);
  uint64_t firstLocal = UINT64_MAX;

  // 1. The end record: scan the last 32,768 bytes from the end towards the
  // start of the window, its first byte included. The nearest record whose
  // directory fits before it is used.
  const uint64_t window = std::min<uint64_t>(size, kEndScanWindow);
  const uint64_t windowStart = size - window;
  std::vector<uint8_t> buf(window);
  bool haveEnd = false;
  std::string endWhy;
  TEndInfo end;
  if (ReadExact(in, windowStart, buf.data(), buf.size()) && window >= kEndRecordSize) {
    for (uint64_t i = window - kEndRecordSize + 1; i-- > 0;) {
      uint32_t sig = GetLE32(&buf[i]);
      bool old64 = IsSig(sig, kEnd64Sig);
      if (!old64 && !IsSig(sig, kEndSig)) continue;
      size_t len = old64 ? kEnd64RecordSize : kEndRecordSize;
      if (i + len > window) continue;
      uint8_t r[kEnd64RecordSize];
      std::memcpy(r, &buf[i], len);
      if (IsCipheredSig(sig)) HeaderCipher(r + 4, len - 4);
      TEndInfo t;
      std::string why;
      if (!ParseEnd(in, windowStart + i, r, old64, t, why)) {
        if (endWhy.empty()) endWhy = why;
        continue;
      }
      end = t;
      haveEnd = true;
      break;
    }
  }

  if (haveEnd) {
    list.EndRecordFound = true;
    list.End64 = end.old64;
    list.Zip64 = end.zip64;
    list.EntriesExpected = end.entries;
    if (end.thisDisk != 0 || end.dirDisk != 0) {
      damaged("a part of a spanned or split archive");
      return 0;
    }
    // 2. The archive comment, as much of it as the file holds.
    const uint64_t recLen = end.old64 ? kEnd64RecordSize : kEndRecordSize;
    const uint64_t avail = size - end.pos - recLen;
    const uint64_t clen = std::min<uint64_t>(end.commentLen, avail);
    if (clen < end.commentLen) damaged("the archive comment is cut short");
    bool ok = true;
    list.ArchiveComment = ReadString(in, end.pos + recLen, static_cast<size_t>(clen), ok);
    if (!ok) list.ArchiveComment.clear();

    // Bytes in front of the archive that its offsets do not count (an archive
    // glued behind a self-extracting loader): the directory then sits that
    // much later, right before the end records.
    int64_t shift = end.zip64Shift;
    const uint64_t expectedDir = end.blockStart - end.dirSize;
    uint8_t sigb[4];
    if (shift == 0 && end.dirSize > 0 &&
        !(ReadExact(in, end.dirOffset, sigb, 4) && IsSig(GetLE32(sigb), kCentralSig)) &&
        expectedDir > end.dirOffset && ReadExact(in, expectedDir, sigb, 4) &&
        IsSig(GetLE32(sigb), kCentralSig))
      shift = static_cast<int64_t>(expectedDir - end.dirOffset);
    if (shift < 0 || end.dirOffset + static_cast<uint64_t>(shift) > expectedDir) {
      damaged("the central directory lies outside the file");
      return 0;
    }
    list.PrefixShift = shift;
    const uint64_t dirStart = end.dirOffset + static_cast<uint64_t>(shift);
    const uint64_t dirEnd = dirStart + end.dirSize;
    list.CentralOffset = dirStart;

    // 3-4. The central walk.
    uint64_t pos = dirStart;
    uint64_t records = 0;
    while (pos < dirEnd) {
      ++records;
      const std::string which = "central record " + std::to_string(records);
      TCentralBytes c;
      if (dirEnd - pos < kCentralRecordSize || !ReadExact(in, pos, c.data(), c.size())) {
        damaged("the central directory is cut short");
        break;
      }
      uint32_t sig = GetLE32(c.data());
      if (!IsSig(sig, kCentralSig)) {
        damaged(which + " has no signature");
        break;
      }
      bool ciphered = IsCipheredSig(sig);
      if (ciphered) HeaderCipher(c.data() + 4, kCentralRecordSize - 4);
      uint64_t n = GetLE16(&c[28]), x = GetLE16(&c[30]), k = GetLE16(&c[32]);
      if (n + x + k > dirEnd - pos - kCentralRecordSize) {
        damaged(which + " runs past the central directory");
        break;
      }
      THeaderEntry e;
      bool ok1 = true, ok2 = true, ok3 = true;
      e.HeaderName = ReadString(in, pos + kCentralRecordSize, static_cast<size_t>(n), ok1);
      std::string extra = ReadString(in, pos + kCentralRecordSize + n, static_cast<size_t>(x), ok2);
      e.Rec.Comment = ReadString(in, pos + kCentralRecordSize + n + x, static_cast<size_t>(k), ok3);
      if (!ok1 || !ok2 || !ok3) {
        damaged("the central directory is cut short");
        break;
      }
      pos += kCentralRecordSize + n + x + k;
      if (ciphered) HeaderCipher(reinterpret_cast<uint8_t*>(e.HeaderName.data()), e.HeaderName.size());
      if (n == 0) {
        // Nothing could name such an entry, and no peer would read it back.
        damaged(which + " has no name");
        continue;
      }
      const std::vector<uint8_t> rawExtra(extra.begin(), extra.end());
      // Full values: the Zip64 block for fields that are all ones, else the
      // old 0x0064 high parts.
      const uint32_t packed32 = GetLE32(&c[20]), unpacked32 = GetLE32(&c[24]), offset32 = GetLE32(&c[42]);
      const uint16_t disk16 = GetLE16(&c[34]);
      uint64_t packed = packed32, unpacked = unpacked32, offset = offset32;
      uint32_t disk = disk16;
      const bool wU = unpacked32 == kAllOnes32, wP = packed32 == kAllOnes32, wO = offset32 == kAllOnes32,
                 wD = disk16 == 0xFFFF;
      if (wU || wP || wO || wD) {
        TZip64Values v;
        if (!ReadZip64Block(rawExtra.data(), rawExtra.size(), wU, wP, wO, wD, v)) {
          report(which + " (" + e.HeaderName + ") lacks its Zip64 field");
          continue;
        }
        if (wU) unpacked = v.Unpacked;
        if (wP) packed = v.Packed;
        if (wO) offset = v.Offset;
        if (wD) disk = v.Disk;
        e.Rec.Zip64Mask = (wU ? kZip64Unpacked : 0) | (wP ? kZip64Packed : 0) | (wO ? kZip64Offset : 0);
      } else {
        uint16_t pHi = 0, uHi = 0, oHi = 0;
        if (ParseExt64(rawExtra.data(), rawExtra.size(), true, pHi, uHi, oHi)) {
          packed |= static_cast<uint64_t>(pHi) << 32;
          unpacked |= static_cast<uint64_t>(uHi) << 32;
          offset |= static_cast<uint64_t>(oHi) << 32;
        }
      }
      if (disk != 0) {
        damaged(which + " lies on another disk");
        continue;
      }
      offset += static_cast<uint64_t>(shift);
      PutLE32(&c[0], kCentralSig);
      PutLE32(&c[20], static_cast<uint32_t>(packed));
      PutLE32(&c[24], static_cast<uint32_t>(unpacked));
      PutLE32(&c[42], static_cast<uint32_t>(offset));
      PutLE16(&c[34], 0);
      e.Central = c;
      e.Rec.PackedHi = static_cast<uint32_t>(packed >> 32);
      e.Rec.UnpackedHi = static_cast<uint32_t>(unpacked >> 32);
      e.Rec.LocalOffset = offset;
      e.Rec.Action = eaCopy;
      e.Rec.HeaderCipher = ciphered;
      e.Rec.Extra = StripExtraBlocks(rawExtra, {kZip64Tag, kExt64Tag});
      const uint16_t flags = e.Flags();
      std::string utf8;
      if (flags & kFlagUtf8)
        e.Name = zarvo::StoredNameFromHeader(e.HeaderName, TranslateOemChar, true, &e.NameExact);
      else if (UnicodePathName(e.Rec.Extra.data(), e.Rec.Extra.size(), e.HeaderName, utf8))
        e.Name = zarvo::StoredNameFromHeader(utf8, TranslateOemChar, true, &e.NameExact);
      else
        e.Name = zarvo::StoredNameFromHeader(e.HeaderName, TranslateOemChar);

      // The entry must lie before the directory, start with a local header,
      // and its data (and data descriptor) must end before the directory.
      const uint64_t lo = e.Rec.LocalOffset;
      uint8_t lh[kLocalHeaderSize];
      if (lo > dirStart || dirStart - lo < kLocalHeaderSize || !ReadExact(in, lo, lh, sizeof lh)) {
        report("the local header of " + e.HeaderName + " is out of range");
        continue;
      }
      uint32_t lsig = GetLE32(lh);
      if (!IsSig(lsig, kLocalSig)) {
        report("the local header of " + e.HeaderName + " is missing");
        continue;
      }
      if (IsCipheredSig(lsig)) HeaderCipher(lh + 4, kLocalHeaderSize - 4);
      const uint64_t ln = GetLE16(lh + 26), lx = GetLE16(lh + 28);
      const uint64_t head = kLocalHeaderSize + ln + lx;
      if (head > dirStart - lo || packed > dirStart - lo - head) {
        report("the entry " + e.HeaderName + " runs into the central directory");
        continue;
      }
      std::vector<uint8_t> localExtra(lx);
      if (!ReadExact(in, lo + kLocalHeaderSize + ln, localExtra.data(), localExtra.size())) {
        report("the local header of " + e.HeaderName + " is out of range");
        continue;
      }
      size_t zs = 0;
      e.Rec.LocalRewrite = FindExtraBlock(localExtra.data(), localExtra.size(), kExt64Tag, zs) != nullptr;
      uint64_t span = head + packed;
      if (GetLE16(lh + 6) & kFlagDescriptor) {
        const bool localZip64 =
            FindExtraBlock(localExtra.data(), localExtra.size(), kZip64Tag, zs) != nullptr;
        const uint64_t d = DescriptorLength(in, lo + span, dirStart, localZip64, e.Crc32(), packed, unpacked);
        if (d == 0) {
          report("the data descriptor of " + e.HeaderName + " is missing");
          continue;
        }
        span += d;
      }
      e.Rec.Span = span;
      firstLocal = std::min(firstLocal, lo);
      list.Add(std::move(e));
    }
    if (!list.Damaged && pos != dirEnd) damaged("the central directory is cut short");
    // Counts wrap or stop at 0xFFFF in archives that outgrew the classic end
    // record without the Zip64 one.
    const uint64_t found = records;
    const bool countOk = found == end.entries || (!end.zip64 && (found & 0xFFFF) == end.entries) ||
                         (!end.zip64 && end.entries == 0xFFFF && found > 0xFFFF);
    if (!countOk) {
      damaged("the end record counts " + std::to_string(end.entries) + " entries, the directory holds " +
              std::to_string(found));
    }
    list.FirstEntryOffset = list.Count() > 0 ? firstLocal : 0;
    return list.Count();
  }

  // An end record that does not add up: the archive is damaged; the local
  // headers still show what can be read.
  if (!endWhy.empty()) damaged(endWhy);

  // 5. No end record: walk the local headers from the start. The walk must
  // account for every byte of the file; anything else is a cut or damaged
  // archive, or no archive at all.
  uint64_t pos = 0;
  std::string why;
  while (pos < size) {
    uint8_t h[kLocalHeaderSize];
    if (size - pos < kLocalHeaderSize || !ReadExact(in, pos, h, sizeof h)) {
      why = "the file ends inside a local header";
      break;
    }
    uint32_t sig = GetLE32(h);
    if (!IsSig(sig, kLocalSig)) {
      why = "no local header where an entry should start";
      break;
    }
    bool ciphered = IsCipheredSig(sig);
    if (ciphered) HeaderCipher(h + 4, kLocalHeaderSize - 4);
    uint64_t n = GetLE16(h + 26), x = GetLE16(h + 28);
    if (n + x > size - pos - kLocalHeaderSize) {
      why = "the file ends inside a local header";
      break;
    }
    bool ok1 = true, ok2 = true;
    std::string name = ReadString(in, pos + kLocalHeaderSize, static_cast<size_t>(n), ok1);
    std::string extraText = ReadString(in, pos + kLocalHeaderSize + n, static_cast<size_t>(x), ok2);
    if (!ok1 || !ok2) {
      why = "the file ends inside a local header";
      break;
    }
    const std::vector<uint8_t> extra(extraText.begin(), extraText.end());
    if (ciphered) HeaderCipher(reinterpret_cast<uint8_t*>(name.data()), name.size());
    const uint16_t flags = GetLE16(h + 6);
    // Sizes in a trailing data descriptor cannot be walked over.
    if (flags & kFlagDescriptor) {
      why = "an entry's sizes follow its data and there is no central directory";
      break;
    }
    if (n == 0) {
      why = "an entry has no name";
      break;
    }
    uint64_t packed = GetLE32(h + 18), unpacked = GetLE32(h + 22);
    uint8_t mask = 0;
    if (packed == kAllOnes32 || unpacked == kAllOnes32) {
      TZip64Values v;
      if (!ReadZip64Block(extra.data(), extra.size(), true, true, false, false, v)) {
        why = "an entry lacks its Zip64 field";
        break;
      }
      packed = v.Packed;
      unpacked = v.Unpacked;
      mask = kZip64Unpacked | kZip64Packed;
    } else {
      uint16_t pHi = 0, uHi = 0, oHi = 0;
      if (ParseExt64(extra.data(), extra.size(), false, pHi, uHi, oHi)) {
        packed |= static_cast<uint64_t>(pHi) << 32;
        unpacked |= static_cast<uint64_t>(uHi) << 32;
      }
    }
    if (packed > size - pos - kLocalHeaderSize - n - x) {
      why = "the file ends inside an entry's data";
      break;
    }
    THeaderEntry e;
    e.HeaderName = name;
    std::string utf8;
    if (flags & kFlagUtf8)
      e.Name = zarvo::StoredNameFromHeader(name, TranslateOemChar, true, &e.NameExact);
    else if (UnicodePathName(extra.data(), extra.size(), name, utf8))
      e.Name = zarvo::StoredNameFromHeader(utf8, TranslateOemChar, true, &e.NameExact);
    else
      e.Name = zarvo::StoredNameFromHeader(name, TranslateOemChar);
    TCentralBytes& c = e.Central;
    CentralFromLocal(c, h, pos);
    PutLE32(&c[20], static_cast<uint32_t>(packed));
    PutLE32(&c[24], static_cast<uint32_t>(unpacked));
    PutLE16(&c[30], 0);  // local extra blocks have their own layouts; none goes to the directory
    e.Rec.Action = eaCopy;
    e.Rec.LocalOffset = pos;
    e.Rec.HeaderCipher = ciphered;
    e.Rec.PackedHi = static_cast<uint32_t>(packed >> 32);
    e.Rec.UnpackedHi = static_cast<uint32_t>(unpacked >> 32);
    e.Rec.Zip64Mask = mask;
    size_t zs = 0;
    e.Rec.LocalRewrite = FindExtraBlock(extra.data(), extra.size(), kExt64Tag, zs) != nullptr;
    e.Rec.Span = kLocalHeaderSize + n + x + packed;
    if (list.Count() == 0) list.FirstEntryOffset = pos;
    list.Add(std::move(e));
    pos += kLocalHeaderSize + n + x + packed;
  }
  if (pos != size) {
    if (list.Count() == 0)
      damaged("not a zip archive");
    else
      damaged("no end record, and " + why);
  }
  return list.Count();
}
