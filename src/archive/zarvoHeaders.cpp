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

// ---- record builders ----

void EncodeLocalHeader(uint8_t* h, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                       uint64_t packedSize, uint64_t size, size_t nameLength, bool ext64) {
  PutLE32(h, kLocalSig);
  PutLE16(h + 4, 20);
  PutLE16(h + 6, flags);
  PutLE16(h + 8, method);
  PutLE16(h + 10, zarvo::DosTime(dosDateTime));
  PutLE16(h + 12, zarvo::DosDate(dosDateTime));
  PutLE32(h + 14, crc);
  PutLE32(h + 18, static_cast<uint32_t>(packedSize));
  PutLE32(h + 22, static_cast<uint32_t>(size));
  PutLE16(h + 26, static_cast<uint16_t>(nameLength));
  PutLE16(h + 28, static_cast<uint16_t>(ext64 ? kLocalExt64Size : 0));
}

void EncodeLocalExt64(uint8_t* x, uint64_t packedSize, uint64_t size) {
  PutLE16(x, kExt64Tag);
  PutLE16(x + 2, 4);
  PutLE16(x + 4, static_cast<uint16_t>(packedSize >> 32));
  PutLE16(x + 6, static_cast<uint16_t>(size >> 32));
}

void EncodeCentralExt64(uint8_t* x, uint16_t packedHi, uint16_t unpackedHi, uint64_t localOffset) {
  PutLE16(x, kExt64Tag);
  PutLE16(x + 2, 6);
  PutLE16(x + 4, packedHi);
  PutLE16(x + 6, unpackedHi);
  PutLE16(x + 8, static_cast<uint16_t>(localOffset >> 32));
}

void EncodeNewCentral(TCentralBytes& c, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                      uint64_t packedSize, uint64_t size, size_t nameLength, bool ext64, uint32_t attributes,
                      uint64_t localOffset) {
  c.fill(0);
  PutLE32(&c[0], kCentralSig);
  PutLE16(&c[4], 20);
  PutLE16(&c[6], 20);
  PutLE16(&c[8], flags);
  PutLE16(&c[10], method);
  PutLE16(&c[12], zarvo::DosTime(dosDateTime));
  PutLE16(&c[14], zarvo::DosDate(dosDateTime));
  PutLE32(&c[16], crc);
  PutLE32(&c[20], static_cast<uint32_t>(packedSize));
  PutLE32(&c[24], static_cast<uint32_t>(size));
  PutLE16(&c[28], static_cast<uint16_t>(nameLength));
  PutLE16(&c[30], static_cast<uint16_t>(ext64 ? kCentralExt64Size : 0));
  PutLE16(&c[36], 1);
  PutLE32(&c[38], attributes);
  PutLE32(&c[42], static_cast<uint32_t>(localOffset));
}

void FillCentralBytes(TCentralBytes& c, uint64_t size, uint32_t dosDateTime, uint32_t attributes,
                      uint16_t method) {
  c.fill(0);
  PutLE32(&c[0], kCentralSig);
  PutLE16(&c[4], 20);
  PutLE16(&c[6], 20);
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
  PutLE16(&c[4], 20);
  std::memcpy(&c[6], h + 4, 2);   // version needed
  std::memcpy(&c[8], h + 6, 24);  // flags .. extra length
  PutLE32(&c[42], static_cast<uint32_t>(localOffset));
}

void EncodeCentralForDisk(TCentralBytes& c, std::string& headerName, size_t extraLength, size_t commentLength,
                          bool cipher) {
  PutLE32(&c[0], SignatureFor(kCentralSig, cipher));
  PutLE16(&c[28], static_cast<uint16_t>(headerName.size()));
  PutLE16(&c[30], static_cast<uint16_t>(extraLength));
  PutLE16(&c[32], static_cast<uint16_t>(commentLength));
  if (cipher) {
    HeaderCipher(c.data() + 4, kCentralRecordSize - 4);
    HeaderCipher(reinterpret_cast<uint8_t*>(headerName.data()), headerName.size());
  }
}

std::vector<uint8_t> EncodeCentralEntry(TCentralBytes c, std::string name, std::vector<uint8_t> extra,
                                        std::string comment, bool cipher, uint64_t localOffset) {
  if (comment.size() > 0xFFFF) comment.resize(0xFFFF);
  if (extra.size() > 0xFFFF) extra.resize(0xFFFF);
  if (name.size() > 0xFFFF) name.resize(0xFFFF);
  PutLE32(&c[42], static_cast<uint32_t>(localOffset));
  // A size extension carries the offset's high part; keep it current.
  for (size_t p = 0; p + 4 <= extra.size();) {
    uint16_t tag = GetLE16(&extra[p]), size = GetLE16(&extra[p + 2]);
    if (size > extra.size() - p - 4) break;
    if (tag == kExt64Tag && size >= 6) PutLE16(&extra[p + 8], static_cast<uint16_t>(localOffset >> 32));
    p += 4 + size;
  }
  EncodeCentralForDisk(c, name, extra.size(), comment.size(), cipher);
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

size_t EncodeEndRecord(uint8_t* r, uint64_t dirOffset, uint64_t dirSize, uint64_t entries,
                       size_t commentLength) {
  const uint16_t n = static_cast<uint16_t>(std::min<uint64_t>(entries, 0xFFFF));
  const bool is64 = dirOffset >= k4GiB;
  const size_t len = is64 ? kEnd64RecordSize : kEndRecordSize;
  std::memset(r, 0, len);
  PutLE32(r, is64 ? kEnd64Sig : kEndSig);
  PutLE16(r + 8, n);
  PutLE16(r + 10, n);
  PutLE32(r + 12, static_cast<uint32_t>(dirSize));
  if (is64)
    PutLE64(r + 16, dirOffset);
  else
    PutLE32(r + 16, static_cast<uint32_t>(dirOffset));
  PutLE16(r + (is64 ? 24 : 20), static_cast<uint16_t>(commentLength));
  return len;
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
  entry.Rec.PackedHi = entry.Rec.UnpackedHi = static_cast<uint16_t>(size >> 32);
}

uint64_t TNewEntry::DataOffset() const {
  return LocalOffset + kLocalHeaderSize + HeaderName.size() + (Ext64 ? kLocalExt64Size : 0);
}

// ---- writing new entries ----

namespace {

void EncodeLocal(uint8_t* h, const TNewEntry& e, uint16_t flags, uint32_t crc, uint64_t packed) {
  EncodeLocalHeader(h, flags, e.Method, e.DosDateTime, crc, packed, e.Size, e.HeaderName.size(), e.Ext64);
  PutLE32(h, SignatureFor(kLocalSig, e.HeaderCipher));
}

// Header, name and extension block as one buffer, enciphered when asked.
std::vector<uint8_t> LocalBlock(const TNewEntry& e, uint16_t flags, uint32_t crc, uint64_t packed) {
  std::vector<uint8_t> b(kLocalHeaderSize + e.HeaderName.size() + (e.Ext64 ? kLocalExt64Size : 0));
  EncodeLocal(b.data(), e, flags, crc, packed);
  std::memcpy(b.data() + kLocalHeaderSize, e.HeaderName.data(), e.HeaderName.size());
  if (e.HeaderCipher) {
    HeaderCipher(b.data() + 4, kLocalHeaderSize - 4);
    HeaderCipher(b.data() + kLocalHeaderSize, e.HeaderName.size());
  }
  if (e.Ext64) EncodeLocalExt64(b.data() + kLocalHeaderSize + e.HeaderName.size(), packed, e.Size);
  return b;
}

uint16_t FinalFlags(const TNewEntry& e) {
  uint16_t flags = e.Encrypted ? 1 : 0;
  if (e.Method == 8) flags |= DeflateFlagBits(e.Level);
  return flags;
}

}  // namespace

void TZipFormat::WriteLocalTemplate(TStream32& out, TNewEntry& e) {
  if (e.HeaderName.size() > 0xFFFF) throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName);
  int64_t end = out.Seek(0, soEnd);
  if (end < 0) throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName);
  e.LocalOffset = static_cast<uint64_t>(end);
  e.Ext64 = e.Size >= k4GiB || e.LocalOffset >= k4GiB;
  e.PackedSize = 0;
  std::vector<uint8_t> b = LocalBlock(e, 0, 0, 0);
  out.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
}

void TZipFormat::CompleteLocalHeader(TStream32& out, TNewEntry& e) {
  int64_t end = out.Seek(0, soEnd);
  if (end < 0 || static_cast<uint64_t>(end) < e.DataOffset())
    throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName);
  e.PackedSize = static_cast<uint64_t>(end) - e.DataOffset();
  if (!e.Ext64 && e.PackedSize >= k4GiB)
    throw EWriteError(LoadErrorMsg(E_WRITE) + ": " + ArchiveName + " (entry outgrew 4 GiB)");
  uint32_t crc = e.Size == 0 ? 0 : e.Crc;
  std::vector<uint8_t> b = LocalBlock(e, FinalFlags(e), crc, e.PackedSize);
  out.SetPosition(static_cast<int64_t>(e.LocalOffset));
  out.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
  out.Seek(0, soEnd);
}

void TZipFormat::BuildCentral(const TNewEntry& e, THeaderEntry& t) const {
  EncodeNewCentral(t.Central, FinalFlags(e), e.Method, e.DosDateTime, e.Size == 0 ? 0 : e.Crc, e.PackedSize,
                   e.Size, e.HeaderName.size(), e.Ext64, e.ExternalAttributes, e.LocalOffset);
  t.HeaderName = e.HeaderName;
  t.Rec.LocalOffset = e.LocalOffset;
  t.Rec.PackedHi = static_cast<uint16_t>(e.PackedSize >> 32);
  t.Rec.UnpackedHi = static_cast<uint16_t>(e.Size >> 32);
  t.Rec.HeaderCipher = e.HeaderCipher;
  t.Rec.Comment.clear();
  t.Rec.Extra.clear();
  if (e.Ext64) {
    t.Rec.Extra.resize(kCentralExt64Size);
    EncodeCentralExt64(t.Rec.Extra.data(), t.Rec.PackedHi, t.Rec.UnpackedHi, e.LocalOffset);
  }
}

// ---- copying old entries ----

bool TZipFormat::CopyEntry(TStream32& old, TStream32& out, THeaderEntry& entry,
                           const std::string* newHeaderName) {
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
  uint64_t nameLen = GetLE16(plain + 26), extraLen = GetLE16(plain + 28);
  uint64_t packed = GetLE32(plain + 18);
  if (packed == 0) packed = GetLE32(&entry.Central[20]);
  std::vector<uint8_t> extra(extraLen);
  if (!ReadExact(old, pos + kLocalHeaderSize + nameLen, extra.data(), extra.size()))
    return fail("local header out of range");
  uint16_t pHi = 0, uHi = 0, oHi = 0;
  if (ParseExt64(extra.data(), extra.size(), false, pHi, uHi, oHi))
    packed |= static_cast<uint64_t>(pHi) << 32;
  else
    packed |= static_cast<uint64_t>(entry.Rec.PackedHi) << 32;
  const uint64_t total = kLocalHeaderSize + nameLen + extraLen + packed;
  if (total > oldSize - pos) return fail("entry runs past the end of the archive");

  int64_t newPos = out.Seek(0, soEnd);
  if (newPos < 0) throw EWriteError(LoadErrorMsg(E_WRITE));
  if (!newHeaderName) {
    old.SetPosition(static_cast<int64_t>(pos));
    if (out.CopyFrom(old, static_cast<int64_t>(total)) != static_cast<int64_t>(total)) return false;
  } else {
    if (newHeaderName->size() > 0xFFFF) return fail("name too long");
    std::vector<uint8_t> b(kLocalHeaderSize + newHeaderName->size());
    std::memcpy(b.data(), plain, kLocalHeaderSize);
    PutLE16(b.data() + 26, static_cast<uint16_t>(newHeaderName->size()));
    std::memcpy(b.data() + kLocalHeaderSize, newHeaderName->data(), newHeaderName->size());
    bool cipher = entry.Rec.HeaderCipher;
    PutLE32(b.data(), SignatureFor(kLocalSig, cipher));
    if (cipher) {
      HeaderCipher(b.data() + 4, kLocalHeaderSize - 4);
      HeaderCipher(b.data() + kLocalHeaderSize, newHeaderName->size());
    }
    out.WriteBuffer(b.data(), static_cast<int64_t>(b.size()));
    const int64_t rest = static_cast<int64_t>(extraLen + packed);
    old.SetPosition(static_cast<int64_t>(pos + kLocalHeaderSize + nameLen));
    if (out.CopyFrom(old, rest) != rest) return false;
    entry.HeaderName = *newHeaderName;
    PutLE16(&entry.Central[28], static_cast<uint16_t>(newHeaderName->size()));
  }
  entry.Rec.LocalOffset = static_cast<uint64_t>(newPos);
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
    std::vector<uint8_t> b = EncodeCentralEntry(e.Central, e.HeaderName, e.Rec.Extra, e.Rec.Comment,
                                                e.Rec.HeaderCipher, e.Rec.LocalOffset);
    if (!put(b.data(), b.size())) return false;
    ++count;
  }
  int64_t endSigned = out.Seek(0, soEnd);
  if (endSigned < 0) return false;
  const uint64_t dirSize = static_cast<uint64_t>(endSigned) - start;
  const std::string comment = list.ArchiveComment.substr(0, 0xFFFF);
  uint8_t r[kEnd64RecordSize];
  if (!put(r, EncodeEndRecord(r, start, dirSize, count, comment.size()))) return false;
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
  uint64_t pos = 0;  // of the record
  bool is64 = false;
  uint16_t entries = 0;
  uint64_t dirSize = 0;
  uint64_t dirOffset = 0;
  uint16_t commentLen = 0;
};

}  // namespace

int TZipFormat::ReadArchive(TStream32& in, TCompHeaderObj& list) {
  auto report = [&](const char* why) {
    if (ReportError) ReportError(ArchiveName, why, E_OPEN);
  };
  list.Clear();
  list.EndRecordFound = list.End64 = list.Damaged = false;
  list.FirstEntryOffset = list.CentralOffset = 0;
  list.PrefixShift = 0;
  const int64_t sizeSigned = in.Size();
  if (sizeSigned <= 0) return 0;
  const uint64_t size = static_cast<uint64_t>(sizeSigned);

  // 1. The end record: scan the last 32,768 bytes from the end towards the
  // start of the window, its first byte included. The nearest record whose
  // directory fits before it is used.
  const uint64_t window = std::min<uint64_t>(size, kEndScanWindow);
  const uint64_t windowStart = size - window;
  std::vector<uint8_t> buf(window);
  bool haveEnd = false;
  bool sawEnd = false;
  TEndInfo end;
  if (ReadExact(in, windowStart, buf.data(), buf.size()) && window >= kEndRecordSize) {
    for (uint64_t i = window - kEndRecordSize + 1; i-- > 0;) {
      uint32_t sig = GetLE32(&buf[i]);
      bool is64 = IsSig(sig, kEnd64Sig);
      if (!is64 && !IsSig(sig, kEndSig)) continue;
      size_t len = is64 ? kEnd64RecordSize : kEndRecordSize;
      if (i + len > window) continue;
      sawEnd = true;
      uint8_t r[kEnd64RecordSize];
      std::memcpy(r, &buf[i], len);
      if (IsCipheredSig(sig)) HeaderCipher(r + 4, len - 4);
      TEndInfo t;
      t.pos = windowStart + i;
      t.is64 = is64;
      t.entries = GetLE16(r + 10);
      t.dirSize = GetLE32(r + 12);
      t.dirOffset = is64 ? GetLE64(r + 16) : GetLE32(r + 16);
      t.commentLen = GetLE16(r + (is64 ? 24 : 20));
      if (t.dirOffset > t.pos || t.dirSize > t.pos - t.dirOffset) continue;  // does not add up
      end = t;
      haveEnd = true;
      break;
    }
  }
  if (sawEnd && !haveEnd) list.Damaged = true;

  if (haveEnd) {
    list.EndRecordFound = true;
    list.End64 = end.is64;
    // 2. The archive comment, as much of it as the file holds.
    uint64_t recLen = end.is64 ? kEnd64RecordSize : kEndRecordSize;
    uint64_t avail = size - end.pos - recLen;
    uint64_t clen = std::min<uint64_t>(end.commentLen, avail);
    if (clen < end.commentLen) list.Damaged = true;
    bool ok = true;
    list.ArchiveComment = ReadString(in, end.pos + recLen, static_cast<size_t>(clen), ok);
    if (!ok) list.ArchiveComment.clear();

    // Bytes in front of the archive that its offsets do not count (an archive
    // glued behind a self-extracting loader): the directory then sits that much later.
    int64_t shift = 0;
    uint64_t expectedDir = end.pos - end.dirSize;
    uint8_t sigb[4];
    if (end.dirSize > 0 && !(ReadExact(in, end.dirOffset, sigb, 4) && IsSig(GetLE32(sigb), kCentralSig)) &&
        expectedDir > end.dirOffset && ReadExact(in, expectedDir, sigb, 4) &&
        IsSig(GetLE32(sigb), kCentralSig))
      shift = static_cast<int64_t>(expectedDir - end.dirOffset);
    list.PrefixShift = shift;
    const uint64_t dirStart = end.dirOffset + static_cast<uint64_t>(shift);
    const uint64_t dirEnd = dirStart + end.dirSize;
    list.CentralOffset = dirStart;

    // 3-4. The central walk.
    uint64_t pos = dirStart;
    bool first = true;
    while (pos + kCentralRecordSize <= dirEnd) {
      TCentralBytes c;
      if (!ReadExact(in, pos, c.data(), c.size())) {
        list.Damaged = true;
        break;
      }
      uint32_t sig = GetLE32(c.data());
      if (!IsSig(sig, kCentralSig)) {
        list.Damaged = true;
        break;
      }
      bool ciphered = IsCipheredSig(sig);
      if (ciphered) HeaderCipher(c.data() + 4, kCentralRecordSize - 4);
      uint64_t n = GetLE16(&c[28]), x = GetLE16(&c[30]), k = GetLE16(&c[32]);
      if (n + x + k > dirEnd - pos - kCentralRecordSize) {
        list.Damaged = true;
        break;
      }
      THeaderEntry e;
      bool ok1 = true, ok2 = true, ok3 = true;
      e.HeaderName = ReadString(in, pos + kCentralRecordSize, static_cast<size_t>(n), ok1);
      std::string extra = ReadString(in, pos + kCentralRecordSize + n, static_cast<size_t>(x), ok2);
      e.Rec.Comment = ReadString(in, pos + kCentralRecordSize + n + x, static_cast<size_t>(k), ok3);
      if (!ok1 || !ok2 || !ok3) {
        list.Damaged = true;
        break;
      }
      pos += kCentralRecordSize + n + x + k;
      if (ciphered) HeaderCipher(reinterpret_cast<uint8_t*>(e.HeaderName.data()), e.HeaderName.size());
      e.Rec.Extra.assign(extra.begin(), extra.end());
      PutLE32(&c[0], kCentralSig);
      e.Central = c;
      e.Rec.Action = eaCopy;
      e.Rec.HeaderCipher = ciphered;
      uint16_t pHi = 0, uHi = 0, oHi = 0;
      ParseExt64(e.Rec.Extra.data(), e.Rec.Extra.size(), true, pHi, uHi, oHi);
      e.Rec.PackedHi = pHi;
      e.Rec.UnpackedHi = uHi;
      e.Rec.LocalOffset = GetLE32(&c[42]) + (static_cast<uint64_t>(oHi) << 32) + static_cast<uint64_t>(shift);
      e.Name = zarvo::StoredNameFromHeader(e.HeaderName, TranslateOemChar);
      if (first) {
        list.FirstEntryOffset = e.Rec.LocalOffset;
        first = false;
      }
      // The entry must lie before the directory and start with a local header.
      uint64_t lo = e.Rec.LocalOffset;
      uint8_t lh[kLocalHeaderSize];
      if (lo > dirStart || dirStart - lo < kLocalHeaderSize || !ReadExact(in, lo, lh, sizeof lh)) {
        list.Damaged = true;
        report("local header out of range");
        continue;
      }
      uint32_t lsig = GetLE32(lh);
      if (!IsSig(lsig, kLocalSig)) {
        list.Damaged = true;
        report("local header missing");
        continue;
      }
      if (IsCipheredSig(lsig)) HeaderCipher(lh + 4, kLocalHeaderSize - 4);
      uint64_t span = kLocalHeaderSize + GetLE16(lh + 26) + GetLE16(lh + 28) + e.PackedSize();
      if (span > dirStart - lo) {
        list.Damaged = true;
        report("entry runs into the central directory");
        continue;
      }
      list.Add(std::move(e));
    }
    if (list.Count() < end.entries) list.Damaged = true;
    return list.Count();
  }

  // 5. No usable end record: walk the local headers from the start.
  uint64_t pos = 0;
  while (size - pos >= kLocalHeaderSize) {
    uint8_t h[kLocalHeaderSize];
    if (!ReadExact(in, pos, h, sizeof h)) break;
    uint32_t sig = GetLE32(h);
    if (!IsSig(sig, kLocalSig)) break;
    bool ciphered = IsCipheredSig(sig);
    if (ciphered) HeaderCipher(h + 4, kLocalHeaderSize - 4);
    uint64_t n = GetLE16(h + 26), x = GetLE16(h + 28);
    if (n + x > size - pos - kLocalHeaderSize) {
      list.Damaged = true;
      break;
    }
    bool ok1 = true, ok2 = true;
    std::string name = ReadString(in, pos + kLocalHeaderSize, static_cast<size_t>(n), ok1);
    std::string extra = ReadString(in, pos + kLocalHeaderSize + n, static_cast<size_t>(x), ok2);
    if (!ok1 || !ok2) break;
    uint16_t pHi = 0, uHi = 0, oHi = 0;
    bool ext = ParseExt64(reinterpret_cast<const uint8_t*>(extra.data()), extra.size(), false, pHi, uHi, oHi);
    uint64_t packed = GetLE32(h + 18) | (static_cast<uint64_t>(pHi) << 32);
    uint16_t flags = GetLE16(h + 6);
    // Sizes in a trailing data descriptor cannot be walked over.
    if ((flags & 8) != 0 && packed == 0) {
      list.Damaged = true;
      break;
    }
    if (packed > size - pos - kLocalHeaderSize - n - x) {
      list.Damaged = true;
      break;
    }
    THeaderEntry e;
    if (ciphered) HeaderCipher(reinterpret_cast<uint8_t*>(name.data()), name.size());
    e.HeaderName = name;
    e.Name = zarvo::StoredNameFromHeader(name, TranslateOemChar);
    TCentralBytes& c = e.Central;
    CentralFromLocal(c, h, pos);
    e.Rec.Action = eaCopy;
    e.Rec.LocalOffset = pos;
    e.Rec.HeaderCipher = ciphered;
    e.Rec.PackedHi = pHi;
    e.Rec.UnpackedHi = uHi;
    if (ext) {
      e.Rec.Extra.resize(kCentralExt64Size);
      EncodeCentralExt64(e.Rec.Extra.data(), pHi, uHi, pos);
    }
    PutLE16(&c[30], static_cast<uint16_t>(e.Rec.Extra.size()));
    if (list.Count() == 0) list.FirstEntryOffset = pos;
    list.Add(std::move(e));
    pos += kLocalHeaderSize + n + x + packed;
  }
  return list.Count();
}
