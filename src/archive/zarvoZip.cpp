#include "archive/zarvoZip.h"

#include <algorithm>

#include "archive/zarvoDeflate.h"
#include "framework/application.h"
#include "framework/exceptions.h"
#include "platform/system.h"

using zarvo::GetLE16;
using zarvo::GetLE32;
using zarvo::GetLE64;
using zarvo::PutLE16;
using zarvo::PutLE32;

namespace {

constexpr size_t kCopyChunk = 61440;

}  // namespace

TZip::TZip(TComponent* owner) : TCompBase(owner) { arcType_ = atZip; }

void TZip::SetArcType(TArcType) { TCompBase::SetArcType(atZip); }

// ---- new entries ----

void TZip::FillLocalHeaderTemplate(TZipEntry&) {
  EncodeLocalHeader(local_.data(), 0, 8, cur_.dosDate, 0, 0, cur_.size, cur_.headerName.size(), cur_.ext64);
}

bool TZip::Write64BitExtension(TZipEntry&) {
  uint8_t block[kLocalExt64Size];
  EncodeLocalExt64(block, cur_.packed, cur_.size);
  return WriteOutputAt(cur_.pos + kLocalHeaderSize + cur_.headerName.size(), block, sizeof block);
}

void TZip::CompleteLocalHeader(TZipEntry&) {
  uint16_t flags = 0;
  if (cur_.encrypted) flags |= 1;
  if (cur_.method == 8) flags |= DeflateFlagBits(cur_.level);
  EncodeLocalHeader(local_.data(), flags, cur_.method, cur_.dosDate, cur_.crc, cur_.packed, cur_.size,
                    cur_.headerName.size(), cur_.ext64);
}

void TZip::BuildNewCentral(TZipEntry& e) {
  EncodeNewCentral(e.central, GetLE16(&local_[6]), GetLE16(&local_[8]), cur_.dosDate, GetLE32(&local_[14]),
                   cur_.packed, cur_.size, cur_.headerName.size(), cur_.ext64, cur_.attr, cur_.pos);
  e.extra.clear();
  e.comment.clear();
  e.rawName.clear();
  e.packedHi = static_cast<uint16_t>(cur_.packed >> 32);
  e.unpackedHi = static_cast<uint16_t>(cur_.size >> 32);
  e.localOffset = cur_.pos;
  if (cur_.ext64) {
    e.extra.resize(kCentralExt64Size);
    EncodeCentralExt64(e.extra.data(), e.packedHi, e.unpackedHi, cur_.pos);
  }
}

bool TZip::CompressFile(TZipEntry& e) {
  local_.fill(0);
  return RunFileSteps(e);
}

void TZip::FillCentralFromFile(TZipEntry& e, const platform::FileInfo& info) {
  uint64_t size = (info.attributes & platform::kAttrDirectory) ? 0 : info.size;
  FillCentralBytes(e.central, size, zarvo::DosDateTimeOf(info.modified), info.attributes, 0);
  e.packedHi = static_cast<uint16_t>(size >> 32);
  e.unpackedHi = static_cast<uint16_t>(size >> 32);
  e.extra.clear();
}

void TZip::LoadEntryToRun(TZipEntry& e) {
  cur_.size = (static_cast<uint64_t>(e.unpackedHi) << 32) | GetLE32(&e.central[24]);
  cur_.packed = (static_cast<uint64_t>(e.packedHi) << 32) | GetLE32(&e.central[20]);
  cur_.dosDate = (static_cast<uint32_t>(GetLE16(&e.central[14])) << 16) | GetLE16(&e.central[12]);
  cur_.attr = GetLE32(&e.central[38]);
}

void TZip::CipherLocalHeader(uint8_t* header, std::string& name) const {
  uint32_t sig = GetLE32(header);
  PutLE32(header, sig == kLocalSigL ? kLocalSig : kLocalSigL);
  HeaderCipher(header + 4, 26);
  HeaderCipher(reinterpret_cast<uint8_t*>(name.data()), name.size());
}

void TZip::DoOnEnd(const std::string& storedName, bool crcPass) { TCompBase::DoOnEnd(storedName, crcPass); }

bool TZip::WriteEmptyEndRecord() {
  uint8_t end[kEndRecordSize] = {};
  PutLE32(end, kEndSig);
  return WriteOutputAt(0, end, sizeof end);
}

void TZip::CollectTotals() {}

// ---- the central directory ----

std::array<uint8_t, 46> TZip::CentralForDisk(const TZipEntry& e, std::string& name) const {
  TCentralBytes rec = e.central;
  EncodeCentralForDisk(rec, name, e.extra.size(), e.comment.size(), e.headerCipher);
  return rec;
}

bool TZip::WriteCentralDirectory() {
  const uint64_t start = OutputSize();
  uint64_t pos = start;
  int count = 0;
  for (const TZipEntry& e : entries_.items) {
    if (e.action == kActDrop) continue;
    std::vector<uint8_t> b =
        EncodeCentralEntry(e.central, !e.rawName.empty() ? e.rawName : HeaderName(e.name), e.extra, e.comment,
                           e.headerCipher, e.localOffset);
    if (!WriteOutputAt(pos, b.data(), b.size())) return false;
    pos += b.size();
    ++count;
  }
  const uint64_t dirSize = pos - start;
  const std::string& comment = entries_.archiveComment;
  uint8_t end[kEnd64RecordSize];
  const size_t endLen = EncodeEndRecord(end, start, dirSize, static_cast<uint64_t>(count), comment.size());
  if (!WriteOutputAt(pos, end, endLen)) return false;
  pos += endLen;
  return comment.empty() || WriteOutputAt(pos, comment.data(), comment.size());
}

// ---- reading an existing archive ----

void TZip::ParseExtra(const uint8_t* p, size_t n, bool central, TZipEntry& e, uint16_t* offsetHi) {
  uint16_t packedHi = 0, unpackedHi = 0, offHi = 0;
  if (!ParseExt64(p, n, central, packedHi, unpackedHi, offHi)) return;
  e.packedHi = packedHi;
  e.unpackedHi = unpackedHi;
  if (central && offsetHi) *offsetHi = offHi;
}

bool TZip::ReadHeader(uint64_t offset, std::vector<uint8_t>& header) {
  header.assign(30, 0);
  return ReadOld(offset, header.data(), 30) == 30 &&
         (GetLE32(header.data()) == kLocalSig || GetLE32(header.data()) == kLocalSigL);
}

bool TZip::OpenFirstEntry() {
  walkPos_ = haveFirstOffset_ ? firstEntryOffset_ : 0;
  std::vector<uint8_t> h;
  return ReadHeader(walkPos_, h);
}

bool TZip::OpenNextEntry() {
  std::vector<uint8_t> h;
  if (!ReadHeader(walkPos_, h)) return false;
  walkPos_ += 30ull + GetLE16(&h[26]) + GetLE16(&h[28]) + GetLE32(&h[18]);
  return ReadHeader(walkPos_, h);
}

bool TZip::ReadEntries() {
  entries_.items.clear();
  entries_.archiveComment.clear();
  firstEntryOffset_ = 0;
  haveFirstOffset_ = false;
  oldShift_ = 0;
  if (oldSize_ < 22) {
    ReadByLocalHeaders();
    return !entries_.items.empty();
  }
  // The end record is among the last 32 KiB; the one nearest the end wins.
  const uint64_t window = std::min<uint64_t>(oldSize_, 32768);
  const uint64_t windowStart = oldSize_ - window;
  std::vector<uint8_t> buf(static_cast<size_t>(window));
  if (ReadOld(windowStart, buf.data(), buf.size()) != static_cast<int64_t>(buf.size())) return false;
  for (int64_t i = static_cast<int64_t>(window) - 22; i >= 0; --i) {
    uint32_t sig = GetLE32(&buf[static_cast<size_t>(i)]);
    bool end64 = sig == kEnd64Sig || sig == kEnd64SigL;
    if (sig == kEndSig || sig == kEndSigL || (end64 && i + 26 <= static_cast<int64_t>(window))) {
      uint8_t end[26] = {};
      std::copy_n(&buf[static_cast<size_t>(i)], std::min<size_t>(26, window - static_cast<size_t>(i)), end);
      if (sig == kEndSigL || sig == kEnd64SigL) HeaderCipher(end + 4, end64 ? 22 : 18);
      if (ReadByCentral(windowStart + static_cast<uint64_t>(i), end, end64)) return !entries_.items.empty();
      break;
    }
  }
  entries_.items.clear();
  ReadByLocalHeaders();
  return !entries_.items.empty();
}

bool TZip::ReadByCentral(uint64_t endPos, const uint8_t* end, bool end64) {
  uint64_t dirSize = GetLE32(end + 12);
  uint64_t dirOffset = end64 ? GetLE64(end + 16) : GetLE32(end + 16);
  uint16_t commentLen = GetLE16(end + (end64 ? 24 : 20));
  uint64_t recLen = end64 ? 26 : 22;
  if (endPos + recLen + commentLen <= oldSize_ && commentLen > 0) {
    entries_.archiveComment.resize(commentLen);
    if (ReadOld(endPos + recLen, entries_.archiveComment.data(), commentLen) != commentLen)
      entries_.archiveComment.clear();
  }
  // Bytes put in front of an archive whose offsets were not adjusted shift
  // every offset by the same amount.
  if (dirOffset + dirSize < endPos && dirSize > 0) {
    uint8_t probe[4];
    auto central = [](const uint8_t* p) { return GetLE32(p) == kCentralSig || GetLE32(p) == kCentralSigL; };
    if (ReadOld(dirOffset, probe, 4) != 4 || !central(probe)) {
      uint64_t shift = endPos - dirSize - dirOffset;
      if (ReadOld(dirOffset + shift, probe, 4) == 4 && central(probe)) {
        oldShift_ = static_cast<int64_t>(shift);
        dirOffset += shift;
      }
    }
  }
  if (dirOffset > endPos) return false;

  uint64_t pos = dirOffset;
  uint64_t firstLocal = UINT64_MAX;
  while (pos + 46 <= endPos) {
    std::array<uint8_t, 46> rec;
    if (ReadOld(pos, rec.data(), 46) != 46) break;
    uint32_t sig = GetLE32(rec.data());
    const bool ciphered = sig == kCentralSigL;
    if (sig != kCentralSig && !ciphered) break;
    if (ciphered) HeaderCipher(rec.data() + 4, 42);
    uint16_t nameLen = GetLE16(&rec[28]);
    uint16_t extraLen = GetLE16(&rec[30]);
    uint16_t commentLen2 = GetLE16(&rec[32]);
    uint64_t next = pos + 46 + nameLen + extraLen + commentLen2;
    if (next > endPos) break;
    TZipEntry e;
    e.central = rec;
    e.rawName.resize(nameLen);
    if (nameLen && ReadOld(pos + 46, e.rawName.data(), nameLen) != nameLen) break;
    e.extra.resize(extraLen);
    if (extraLen && ReadOld(pos + 46 + nameLen, e.extra.data(), extraLen) != extraLen) break;
    e.comment.resize(commentLen2);
    if (commentLen2 && ReadOld(pos + 46 + nameLen + extraLen, e.comment.data(), commentLen2) != commentLen2)
      break;
    uint16_t offsetHi = 0;
    ParseExtra(e.extra.data(), e.extra.size(), true, e, &offsetHi);
    e.localOffset =
        ((static_cast<uint64_t>(offsetHi) << 32) | GetLE32(&rec[42])) + static_cast<uint64_t>(oldShift_);
    if (ciphered) HeaderCipher(reinterpret_cast<uint8_t*>(e.rawName.data()), e.rawName.size());
    e.headerCipher = ciphered;
    e.name = NameFromHeader(e.rawName);
    e.action = kActCopy;
    firstLocal = std::min(firstLocal, e.localOffset);
    entries_.items.push_back(std::move(e));
    pos = next;
  }
  if (!entries_.items.empty()) {
    // Bytes before the first entry (a self-extracting loader) travel along.
    firstEntryOffset_ = firstLocal;
    haveFirstOffset_ = true;
  }
  return true;
}

void TZip::ReadByLocalHeaders() {
  uint64_t pos = 0;
  while (pos + 30 <= oldSize_) {
    uint8_t h[30];
    if (ReadOld(pos, h, 30) != 30) break;
    const bool ciphered = GetLE32(h) == kLocalSigL;
    if (GetLE32(h) != kLocalSig && !ciphered) break;
    if (ciphered) HeaderCipher(h + 4, 26);
    uint16_t nameLen = GetLE16(h + 26);
    uint16_t extraLen = GetLE16(h + 28);
    if (pos + 30 + nameLen + extraLen > oldSize_) break;
    TZipEntry e;
    e.headerCipher = ciphered;
    e.rawName.resize(nameLen);
    if (nameLen && ReadOld(pos + 30, e.rawName.data(), nameLen) != nameLen) break;
    if (ciphered) HeaderCipher(reinterpret_cast<uint8_t*>(e.rawName.data()), e.rawName.size());
    std::vector<uint8_t> extra(extraLen);
    if (extraLen && ReadOld(pos + 30 + nameLen, extra.data(), extraLen) != extraLen) break;
    ParseExtra(extra.data(), extra.size(), false, e, nullptr);
    uint64_t packed = (static_cast<uint64_t>(e.packedHi) << 32) | GetLE32(h + 18);
    uint64_t next = pos + 30 + nameLen + extraLen + packed;
    // A header completed after its data (flag bit 3) cannot be walked past.
    if ((GetLE16(h + 6) & 8) || next > oldSize_) break;
    CentralFromLocal(e.central, h, pos);
    PutLE16(&e.central[30], 0);  // the local extra bytes are not carried into the directory
    e.localOffset = pos;
    e.name = NameFromHeader(e.rawName);
    e.action = kActCopy;
    entries_.items.push_back(std::move(e));
    pos = next;
  }
}

// ---- copying entries of the old archive ----

bool TZip::CopyEntry(TZipEntry& e) { return CopyEntryAs(e, nullptr); }

bool TZip::CopyRenamedEntry(TZipEntry& e) {
  std::string name = HeaderName(e.name);
  return CopyEntryAs(e, &name);
}

bool TZip::CopyEntryAs(TZipEntry& e, const std::string* newHeaderName) {
  uint8_t h[30];
  const uint64_t at = e.localOffset;
  auto broken = [&]() -> bool {
    // An entry that cannot be found where the directory says is not guessed
    // at; the archive stays as it is.
    throw EReadError(ErrorText(25235) + ": " + runArchive_ + " (" + e.name + ")");
  };
  if (at + 30 > oldSize_ || ReadOld(at, h, 30) != 30) return broken();
  const bool ciphered = GetLE32(h) == kLocalSigL;
  if (GetLE32(h) != kLocalSig && !ciphered) return broken();
  if (ciphered) HeaderCipher(h + 4, 26);
  uint16_t flags = GetLE16(h + 6);
  uint16_t nameLen = GetLE16(h + 26);
  uint16_t extraLen = GetLE16(h + 28);
  TZipEntry probe;
  std::vector<uint8_t> extra(extraLen);
  if (at + 30 + nameLen + extraLen > oldSize_) return broken();
  if (extraLen && ReadOld(at + 30 + nameLen, extra.data(), extraLen) != extraLen) return broken();
  ParseExtra(extra.data(), extra.size(), false, probe, nullptr);
  uint64_t packed = (static_cast<uint64_t>(probe.packedHi) << 32) | GetLE32(h + 18);
  uint64_t unpacked = GetLE32(h + 22);
  if (packed == 0 || unpacked == 0)
    packed = (static_cast<uint64_t>(e.packedHi) << 32) | GetLE32(&e.central[20]);
  uint64_t dataStart = at + 30 + nameLen + extraLen;
  if (dataStart + packed > oldSize_) return broken();
  uint64_t tail = 0;
  if (flags & 8) {
    // The sizes followed the data; they travel with it so the entry stays whole.
    uint8_t d[4];
    if (dataStart + packed + 4 <= oldSize_ && ReadOld(dataStart + packed, d, 4) == 4 &&
        GetLE32(d) == kSpanMarker)
      tail = 16;
    else
      tail = 12;
    if (dataStart + packed + tail > oldSize_) tail = 0;
  }

  const uint64_t newPos = OutputSize();
  uint64_t out = newPos;
  std::vector<uint8_t> buf(kCopyChunk);
  auto copyRange = [&](uint64_t from, uint64_t count) {
    while (count > 0) {
      Application().ProcessMessages();
      size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), count));
      if (ReadOld(from, buf.data(), n) != static_cast<int64_t>(n)) throw EReadError(ErrorText(25235));
      if (!WriteOutputAt(out, buf.data(), n)) throw EWriteError(ErrorText(25136));
      from += n;
      out += n;
      count -= n;
    }
  };
  if (newHeaderName) {
    PutLE16(h + 26, static_cast<uint16_t>(newHeaderName->size()));
    std::string name = *newHeaderName;
    if (ciphered) {
      PutLE32(h, kLocalSig);
      CipherLocalHeader(h, name);
    }
    if (!WriteOutputAt(out, h, 30)) throw EWriteError(ErrorText(25136));
    out += 30;
    if (!WriteOutputAt(out, name.data(), name.size())) throw EWriteError(ErrorText(25136));
    out += name.size();
    copyRange(at + 30 + nameLen, extraLen + packed + tail);
    e.rawName = *newHeaderName;
  } else {
    copyRange(at, 30 + nameLen + extraLen + packed + tail);
  }
  e.localOffset = newPos;
  PutLE32(&e.central[42], static_cast<uint32_t>(newPos));
  return true;
}
