#include "archive/zarvoZip.h"

#include <algorithm>

#include "archive/Err_Msgs.h"
#include "archive/zarvoDeflate.h"
#include "archive/zarvoStreams.h"
#include "framework/application.h"
#include "framework/exceptions.h"
#include "platform/system.h"
#include "platform/text.h"

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

namespace {

uint16_t NewEntryFlags(bool encrypted, uint16_t method, TDeflateType level, bool utf8) {
  uint16_t flags = 0;
  if (encrypted) flags |= kFlagEncrypted;
  if (method == 8) flags |= DeflateFlagBits(level);
  if (utf8) flags |= kFlagUtf8;
  return flags;
}

}  // namespace

void TZip::FillLocalHeaderTemplate(TZipEntry&) {
  EncodeLocalHeader(local_.data(), cur_.utf8 ? kFlagUtf8 : 0, 8, cur_.dosDate, 0, 0, cur_.size,
                    cur_.headerName.size(), cur_.zip64);
  PutLE16(&local_[28], static_cast<uint16_t>(cur_.LocalExtraSize()));
}

// The local extra bytes: the Zip64 sizes (when reserved) and the name's
// Unicode-path block.
bool TZip::Write64BitExtension(TZipEntry&) {
  std::vector<uint8_t> block(cur_.zip64 ? kLocalZip64Size : 0);
  if (cur_.zip64) EncodeLocalZip64(block.data(), cur_.packed, cur_.size);
  block.insert(block.end(), cur_.unicodePath.begin(), cur_.unicodePath.end());
  return block.empty() ||
         WriteOutputAt(cur_.pos + kLocalHeaderSize + cur_.headerName.size(), block.data(), block.size());
}

void TZip::CompleteLocalHeader(TZipEntry&) {
  EncodeLocalHeader(local_.data(), NewEntryFlags(cur_.encrypted, cur_.method, cur_.level, cur_.utf8),
                    cur_.method, cur_.dosDate, cur_.crc, cur_.packed, cur_.size, cur_.headerName.size(),
                    cur_.zip64);
  PutLE16(&local_[28], static_cast<uint16_t>(cur_.LocalExtraSize()));
}

void TZip::BuildNewCentral(TZipEntry& e) {
  EncodeNewCentral(e.central, GetLE16(&local_[6]), GetLE16(&local_[8]), cur_.dosDate, GetLE32(&local_[14]),
                   cur_.packed, cur_.size, cur_.headerName.size(), cur_.attr, cur_.pos);
  if (cur_.utf8) PutLE16(&e.central[4], MadeByForUtf8(e.VersionMadeBy()));
  e.extra = cur_.unicodePath;
  e.comment.clear();
  e.rawName = cur_.headerName;
  e.nameExact = true;
  e.packedHi = static_cast<uint32_t>(cur_.packed >> 32);
  e.unpackedHi = static_cast<uint32_t>(cur_.size >> 32);
  e.localOffset = cur_.pos;
  // A local header with the Zip64 sizes gets a directory record with them.
  e.zip64Mask = cur_.zip64 ? (kZip64Unpacked | kZip64Packed) : 0;
  e.span = kLocalHeaderSize + cur_.headerName.size() + cur_.LocalExtraSize() + cur_.packed;
  e.localRewrite = false;
}

bool TZip::CompressFile(TZipEntry& e) {
  local_.fill(0);
  return RunFileSteps(e);
}

void TZip::FillCentralFromFile(TZipEntry& e, const platform::FileInfo& info) {
  uint64_t size = (info.attributes & platform::kAttrDirectory) ? 0 : info.size;
  FillCentralBytes(e.central, size, zarvo::DosDateTimeOf(info.modified), info.attributes, 0);
  e.packedHi = static_cast<uint32_t>(size >> 32);
  e.unpackedHi = static_cast<uint32_t>(size >> 32);
  e.extra.clear();
  e.zip64Mask = 0;
}

void TZip::LoadEntryToRun(TZipEntry& e) {
  cur_.size = e.UnpackedSize();
  cur_.packed = e.PackedSize();
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

std::vector<uint8_t> TZip::CentralEntryForDisk(const TZipEntry& e, uint64_t localOffset) const {
  const std::string name = !e.rawName.empty() ? e.rawName : HeaderName(e.name);
  return EncodeCentralEntry(e.central, name, e.extra, e.comment, e.headerCipher, e.PackedSize(),
                            e.UnpackedSize(), localOffset, e.zip64Mask);
}

bool TZip::WriteCentralDirectory() {
  const uint64_t start = OutputSize();
  uint64_t pos = start;
  uint64_t count = 0;
  for (const TZipEntry& e : entries_.items) {
    if (e.action == kActDrop) continue;
    std::vector<uint8_t> b = CentralEntryForDisk(e, e.localOffset);
    if (!WriteOutputAt(pos, b.data(), b.size())) return false;
    pos += b.size();
    ++count;
  }
  const uint64_t dirSize = pos - start;
  const std::string& comment = entries_.archiveComment;
  uint8_t end[kMaxEndRecordsSize];
  const size_t endLen = EncodeEndRecords(end, start, dirSize, count, comment.size());
  if (!WriteOutputAt(pos, end, endLen)) return false;
  pos += endLen;
  return comment.empty() || WriteOutputAt(pos, comment.data(), comment.size());
}

// ---- reading an existing archive ----

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
  oldDamage_.clear();
  if (!oldArchive_) return false;
  // One reader for runs and listings: it checks every record against the
  // file and says when the archive does not add up.
  THandleStream32 in(oldArchive_.get());
  TZipFormat fmt;
  fmt.TranslateOemChar = translateOemChar_;
  fmt.ArchiveName = runArchive_;
  TCompHeaderObj list;
  fmt.ReadArchive(in, list);
  if (list.Damaged) oldDamage_ = list.DamageReason.empty() ? "damaged" : list.DamageReason;
  entries_.archiveComment = list.ArchiveComment;
  entries_.items.reserve(list.Items().size());
  for (THeaderEntry& h : list.Items()) {
    TZipEntry e;
    e.name = std::move(h.Name);
    e.rawName = std::move(h.HeaderName);
    e.nameExact = h.NameExact;
    e.action = kActCopy;
    e.localOffset = h.Rec.LocalOffset;
    e.unpackedHi = h.Rec.UnpackedHi;
    e.packedHi = h.Rec.PackedHi;
    e.headerCipher = h.Rec.HeaderCipher;
    e.comment = std::move(h.Rec.Comment);
    e.extra = std::move(h.Rec.Extra);
    e.central = h.Central;
    e.zip64Mask = h.Rec.Zip64Mask;
    e.span = h.Rec.Span;
    e.localRewrite = h.Rec.LocalRewrite;
    entries_.items.push_back(std::move(e));
  }
  if (!entries_.items.empty()) {
    // Bytes before the first entry (a self-extracting loader) travel along.
    firstEntryOffset_ = list.FirstEntryOffset;
    haveFirstOffset_ = true;
  }
  return !entries_.items.empty();
}

// ---- copying entries of the old archive ----

bool TZip::CopyEntry(TZipEntry& e) { return CopyEntryAs(e, false); }

bool TZip::CopyRenamedEntry(TZipEntry& e) { return CopyEntryAs(e, true); }

bool TZip::CopyEntryAs(TZipEntry& e, bool renamed) {
  const uint64_t at = e.localOffset;
  auto broken = [&]() -> bool {
    // An entry that cannot be found where the directory says is not guessed
    // at; the archive stays as it is.
    throw EReadError(ErrorText(E_OPEN) + ": " + runArchive_ + " (" + e.name + ")");
  };
  uint8_t h[kLocalHeaderSize];
  if (e.span < kLocalHeaderSize || at > oldSize_ || e.span > oldSize_ - at ||
      ReadOld(at, h, kLocalHeaderSize) != static_cast<int64_t>(kLocalHeaderSize))
    return broken();
  const bool ciphered = GetLE32(h) == kLocalSigL;
  if (GetLE32(h) != kLocalSig && !ciphered) return broken();
  if (ciphered) HeaderCipher(h + 4, 26);
  const uint64_t nameLen = GetLE16(h + 26);
  const uint64_t extraLen = GetLE16(h + 28);
  const uint64_t head = kLocalHeaderSize + nameLen + extraLen;
  if (head > e.span) return broken();

  const uint64_t newPos = OutputSize();
  uint64_t out = newPos;
  std::vector<uint8_t> buf(kCopyChunk);
  auto copyRange = [&](uint64_t from, uint64_t count) {
    while (count > 0) {
      Application().ProcessMessages();
      size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), count));
      if (ReadOld(from, buf.data(), n) != static_cast<int64_t>(n)) throw EReadError(ErrorText(E_OPEN));
      if (!WriteOutputAt(out, buf.data(), n)) throw EWriteError(ErrorText(E_WRITE));
      from += n;
      out += n;
      count -= n;
    }
  };
  if (renamed || e.localRewrite) {
    std::vector<uint8_t> localExtra(extraLen);
    if (extraLen && ReadOld(at + kLocalHeaderSize + nameLen, localExtra.data(), extraLen) !=
                        static_cast<int64_t>(extraLen))
      return broken();
    bool utf8 = (e.Flags() & kFlagUtf8) != 0;
    std::string name = e.rawName;
    std::vector<uint8_t> unicodePath;
    if (renamed) {
      name = HeaderName(e.name, &utf8);
      if (translateOemChar_) unicodePath = UnicodePathFor(name, e.name, utf8);
    }
    std::vector<uint8_t> b = RewriteLocalHeader(h, localExtra, name, utf8, renamed, e.PackedSize(),
                                                e.UnpackedSize(), e.headerCipher, unicodePath);
    if (!WriteOutputAt(out, b.data(), b.size())) throw EWriteError(ErrorText(E_WRITE));
    out += b.size();
    copyRange(at + head, e.span - head);
    if (renamed) {
      e.rawName = name;
      e.nameExact = true;
      // The Unicode-path block described the old name.
      e.extra = StripExtraBlocks(e.extra, {kUnicodePathTag});
      e.extra.insert(e.extra.end(), unicodePath.begin(), unicodePath.end());
      const uint16_t flags = e.Flags();
      PutLE16(&e.central[8], utf8 ? (flags | kFlagUtf8) : (flags & ~kFlagUtf8));
      if (utf8) PutLE16(&e.central[4], MadeByForUtf8(e.VersionMadeBy()));
    }
    e.span = b.size() + (e.span - head);
    e.localRewrite = false;
  } else {
    copyRange(at, e.span);
  }
  e.localOffset = newPos;
  PutLE32(&e.central[42], static_cast<uint32_t>(newPos));
  return true;
}
