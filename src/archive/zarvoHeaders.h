// The zip archive format and the entry list of a run.
//
// Layout of an archive (all integers little-endian): optional bytes before
// the first entry; per entry a local header, its name, its extra bytes, the
// data and, for entries other programs streamed, a data descriptor; the
// central directory (one record per entry, same order); the end records and
// the archive comment.
//
// Local header (30 bytes)            Central record (46 bytes)
//   0 signature 0x04034B50             0 signature 0x02014B50
//   4 version needed (20, 45 Zip64)    4 version made by (20, MS-DOS)
//   6 flags                            6 version needed (20, 45 Zip64)
//   8 method (0 stored, 8 deflated)    8..31 flags .. extra length, as local 6..29
//  10 time  12 date (MS-DOS)          32 comment length
//  14 CRC-32                          34 disk number start (0)
//  18 compressed size                 36 internal attributes (1 for new entries)
//  22 uncompressed size               38 external attributes (DOS attribute value)
//  26 name length  28 extra length    42 local header offset
//
// Values past 32 bits (Zip64): a size or offset of 0xFFFFFFFF or more is
// written as 0xFFFFFFFF and its full value goes into the extra block 0x0001,
// which holds, in this order, only the values whose field is all ones:
// uncompressed size, compressed size, local header offset (8 bytes each),
// disk number start (4). A local header that carries the block carries both
// sizes. Such entries need version 45. When the entry count reaches 0xFFFF
// or the directory's size or offset does not fit, the Zip64 end record
// (0x06064B50, 56 bytes) and its locator (0x07064B50, 20 bytes) precede the
// classic end record, whose fields that do not fit are all ones.
//
// Earlier versions of this engine wrote an extension block 0x0064 (the high
// 16 bits of the sizes and of the offset, beside the low 32 bits in the
// fixed fields) and a 26-byte end record 0x06055B50. No other program reads
// either, so they are only read now: an entry copied out of such an archive
// gets the standard fields.
//
// Names: without flag bit 11 a header name is in the OEM code page; with it
// UTF-8. The Unicode-path block 0x7075 (version 1, CRC-32 of the header name
// as stored, the UTF-8 name) gives the real name of an entry without bit 11
// as long as that CRC matches. New entries whose name the OEM page cannot
// hold are written in UTF-8 with bit 11.
//
// Flags: bit 0 encrypted data; for method 8 bits 1-2 carry the level
// (DeflateFlagBits); bit 3 data descriptor (never written here, read in
// archives other programs streamed); bit 11 UTF-8 name.
//
// Header cipher (EncryptHeaders): a header carrying it has "L" (0x4C) as the
// second signature byte (0x04034C50, 0x02014C50, 0x06054C50, 0x06055C50). The
// record bytes after the signature and the name are xor-ed with a fixed key
// stream (HeaderCipher below); extra bytes, comments and data are left as
// they are. Applying the cipher twice gives the plain bytes back.
//
// Reading trusts nothing: every offset and length is checked against the
// file, every entry's local header must be where the directory says and its
// data (and descriptor) must end before the next structure. An archive that
// does not add up is read as far as it is sound and marked Damaged with the
// reason; a run refuses to add to it.
//
// ---- Using the entry list in a run ----
//
//   TZipFormat fmt;  fmt.TranslateOemChar = ...;  fmt.ArchiveName = ...;
//   TCompHeaderObj list;
//   fmt.ReadArchive(oldArchive, list);          // old entries, action eaCopy
//   if (list.Damaged) ... refuse ...
//   per new entry:
//     TNewEntry e{...};  fmt.WriteLocalTemplate(out, e);
//     ... encryption header, data (TStoreStream / TCompressStream) ...
//     e.Crc = ...; e.Method = ...;  fmt.CompleteLocalHeader(out, e);
//     fmt.BuildCentral(e, list[i]);              // name, record
//   per old entry:  fmt.CopyEntry(oldArchive, out, list[i]);
//   fmt.WriteCentralDirectory(out, list);       // false -> report 25136
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "archive/zarvoGbls.h"

class TStream32;

inline constexpr uint32_t kLocalSig = 0x04034B50;
inline constexpr uint32_t kLocalSigL = 0x04034C50;
inline constexpr uint32_t kCentralSig = 0x02014B50;
inline constexpr uint32_t kCentralSigL = 0x02014C50;
inline constexpr uint32_t kEndSig = 0x06054B50;
inline constexpr uint32_t kEndSigL = 0x06054C50;
// The 64-bit end record of earlier versions of this engine (read only).
inline constexpr uint32_t kEnd64Sig = 0x06055B50;
inline constexpr uint32_t kEnd64SigL = 0x06055C50;
inline constexpr uint32_t kZip64EndSig = 0x06064B50;
inline constexpr uint32_t kZip64LocatorSig = 0x07064B50;
inline constexpr uint32_t kDescriptorSig = 0x08074B50;
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralRecordSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kEnd64RecordSize = 26;
inline constexpr size_t kZip64EndSize = 56;
inline constexpr size_t kZip64LocatorSize = 20;
// The most EncodeEndRecords writes (Zip64 end record, locator, end record).
inline constexpr size_t kMaxEndRecordsSize = kZip64EndSize + kZip64LocatorSize + kEndRecordSize;
inline constexpr uint16_t kZip64Tag = 0x0001;
inline constexpr uint16_t kExt64Tag = 0x0064;  // earlier versions of this engine
inline constexpr uint16_t kUnicodePathTag = 0x7075;
inline constexpr size_t kLocalZip64Size = 20;  // tag, size, both sizes
inline constexpr uint16_t kFlagEncrypted = 0x0001;
inline constexpr uint16_t kFlagDescriptor = 0x0008;
inline constexpr uint16_t kFlagUtf8 = 0x0800;
inline constexpr uint16_t kVersionDefault = 20;
inline constexpr uint16_t kVersionZip64 = 45;
inline constexpr size_t kEndScanWindow = 32768;
inline constexpr uint64_t k4GiB = 0x100000000ULL;
inline constexpr uint32_t kAllOnes32 = 0xFFFFFFFFu;

// Bits of TEntryRec::Zip64Mask: values an entry's directory record puts into
// the Zip64 block even when they would fit (as the program that made it did).
inline constexpr uint8_t kZip64Unpacked = 1;
inline constexpr uint8_t kZip64Packed = 2;
inline constexpr uint8_t kZip64Offset = 4;

// True when a size or offset does not fit its 32-bit field.
inline bool NeedsZip64(uint64_t value) { return value >= kAllOnes32; }
// True when a new entry of `size` bytes reserves the Zip64 sizes in its local
// header: its compressed form (deflate can grow incompressible data by a few
// bytes per 64 KiB, encryption adds 12) might not fit 32 bits. The margin is
// generous; a reserved block that turns out unneeded is still valid.
inline bool LocalNeedsZip64(uint64_t size) { return size >= 0xF0000000ULL; }
// Version-made-by hosts whose external attributes hold DOS attribute bits
// (MS-DOS, OS/2 HPFS, Windows NTFS, VFAT).
bool IsDosHost(uint16_t versionMadeBy);
// The version made by for an entry with a UTF-8 name: an MS-DOS host (0)
// becomes Windows NTFS (10), which keeps DOS attributes; Info-ZIP unzip
// reads the names of MS-DOS entries in the OEM page even when flag bit 11
// says UTF-8.
uint16_t MadeByForUtf8(uint16_t versionMadeBy);

// The header cipher: xor with a key stream that depends only on the byte's
// index (key i = 0xA7 ^ (i * 0x3D) ^ (i >> 8), low 8 bits). Self-inverse.
void HeaderCipher(uint8_t* data, size_t count);

// The signature with its second byte "K" or "L".
uint32_t SignatureFor(uint32_t plainSig, bool headerCipher);

using TCentralBytes = std::array<uint8_t, kCentralRecordSize>;

// ---- extra blocks ----
// The data of the first block with `tag` (nullptr when there is none or the
// blocks are malformed before it); `size` receives its length.
const uint8_t* FindExtraBlock(const uint8_t* extra, size_t count, uint16_t tag, size_t& size);
// The blocks without those whose tag is listed. Bytes after a malformed block
// are kept as they are.
std::vector<uint8_t> StripExtraBlocks(const std::vector<uint8_t>& extra,
                                      std::initializer_list<uint16_t> tags);

struct TZip64Values {
  uint64_t Unpacked = 0;
  uint64_t Packed = 0;
  uint64_t Offset = 0;
  uint32_t Disk = 0;
};
// Reads the Zip64 block for the fields marked wanted (their 32/16-bit field
// is all ones), in the block's order. False when the block is missing or too
// short for them.
bool ReadZip64Block(const uint8_t* extra, size_t count, bool unpacked, bool packed, bool offset, bool disk,
                    TZip64Values& values);
// Parses extra blocks for the old size extension 0x0064: two words in a local
// header, three in a central record. True when the block was found.
bool ParseExt64(const uint8_t* extra, size_t count, bool central, uint16_t& packedHi, uint16_t& unpackedHi,
                uint16_t& offsetHi);
// The UTF-8 name of a valid Unicode-path block (its CRC matches `headerName`).
bool UnicodePathName(const uint8_t* extra, size_t count, const std::string& headerName, std::string& utf8);
// A Unicode-path block naming `utf8` for an entry whose header name is
// `headerName` (an OEM name outside ASCII: readers that know the block get
// the exact name whatever their idea of the OEM page).
std::vector<uint8_t> UnicodePathBlock(const std::string& headerName, const std::string& utf8);
// The Unicode-path block a new entry carries (in its local header and its
// directory record): one for an OEM header name outside ASCII, none for an
// ASCII or UTF-8 name. `storedName` is the ANSI stored name.
std::vector<uint8_t> UnicodePathFor(const std::string& headerName, const std::string& storedName, bool utf8);

// The per-entry record of the list.
struct TEntryRec {
  TEntryAction Action = eaCopy;
  uint64_t LocalOffset = 0;  // in the old archive, then in the output
  uint32_t UnpackedHi = 0;   // high 32 bits of the sizes (the central record holds the low ones)
  uint32_t PackedHi = 0;
  bool HeaderCipher = false;
  std::string Comment;
  std::vector<uint8_t> Extra;  // central extra bytes, without Zip64 and 0x0064 blocks
  uint8_t Zip64Mask = 0;       // kZip64Unpacked | kZip64Packed | kZip64Offset
  // Bytes of the entry from its local header to the end of its data and data
  // descriptor (what copying it moves); set by the reader and the writers.
  uint64_t Span = 0;
  // The local header carries the old 0x0064 block: copying writes it anew
  // with the standard fields.
  bool LocalRewrite = false;
};

struct THeaderEntry {
  // The stored name (ANSI, "\" separators); a new file's full path until it
  // has been compressed.
  std::string Name;
  // The name as the headers hold it ("/", OEM code page or UTF-8).
  std::string HeaderName;
  // False when the name has no exact ANSI form (UTF-8 outside CP1252): such an
  // entry never matches a file on disk.
  bool NameExact = true;
  TEntryRec Rec;
  // The central record with the low 32 bits of sizes and offset in its fields.
  TCentralBytes Central{};
  int RootLength = 0;  // length of the root folder prefix of a found file's path

  // Fields of the central record (sizes with their high parts).
  uint16_t Flags() const;
  uint16_t Method() const;
  uint32_t DosDateTime() const;  // (date << 16) | time
  uint32_t Crc32() const;
  uint64_t PackedSize() const;
  uint64_t UnpackedSize() const;
  uint32_t ExternalAttributes() const;
  uint16_t InternalAttributes() const;
  uint16_t VersionMadeBy() const;
  uint16_t VersionNeeded() const;
  // The name as text (UTF-8) for listings: UTF-8 names as they are (invalid
  // bytes replaced), OEM names converted.
  std::string DisplayName() const;
};

class THeaderObj {
 public:
  virtual ~THeaderObj() = default;
  int Count() const { return static_cast<int>(items_.size()); }
  THeaderEntry& operator[](int i) { return items_.at(static_cast<size_t>(i)); }
  const THeaderEntry& operator[](int i) const { return items_.at(static_cast<size_t>(i)); }
  std::vector<THeaderEntry>& Items() { return items_; }
  const std::vector<THeaderEntry>& Items() const { return items_; }
  int Add(THeaderEntry entry);
  void Delete(int i);
  void Clear();
  // The first entry whose Name equals `name`, letter case ignored (CP1252); -1.
  int IndexOfName(const std::string& name) const;

  std::string ArchiveComment;
  bool Modified = false;

 protected:
  std::vector<THeaderEntry> items_;
};

// The list of a compress run, with what reading the old archive found.
class TCompHeaderObj : public THeaderObj {
 public:
  bool EndRecordFound = false;
  bool End64 = false;  // the old engine's 64-bit end record
  bool Zip64 = false;  // a Zip64 end record
  // The archive did not add up (a record or entry was out of range, damaged
  // or missing, or the file is no archive at all); what was sound has been
  // read. DamageReason says what, for the first fault found.
  bool Damaged = false;
  std::string DamageReason;
  uint64_t FirstEntryOffset = 0;  // lowest local header offset
  uint64_t CentralOffset = 0;     // as found (after correcting a prefix shift)
  int64_t PrefixShift = 0;        // bytes before the archive its offsets did not count
  uint64_t EntriesExpected = 0;   // as the end record counts them
};

// A new entry being written.
struct TNewEntry {
  std::string HeaderName;  // header form (HeaderNameFromStored)
  bool Utf8Name = false;   // HeaderName is UTF-8 (flag bit 11)
  uint32_t DosDateTime = 0;
  uint32_t ExternalAttributes = 0;
  uint64_t Size = 0;  // uncompressed
  uint16_t Method = 8;
  TDeflateType Level = dtDeflateN;
  bool Encrypted = false;
  bool HeaderCipher = false;
  uint32_t Crc = 0;  // finished CRC-32, set before CompleteLocalHeader
  // Set by the writer:
  uint64_t LocalOffset = 0;
  bool Zip64 = false;  // the local header carries the Zip64 sizes
  uint64_t PackedSize = 0;
  uint64_t DataOffset() const;  // where the data (or encryption header) starts
};

class TZipFormat {
 public:
  bool TranslateOemChar = true;
  std::string ArchiveName;  // named in reports
  // Reports of single entries the reader could not use (25235) and of
  // entries that cannot be copied.
  std::function<void(const std::string& fileName, const std::string& extendedMsg, int eCode)> ReportError;

  // ---- reading ----
  // Reads the entries of an existing archive into `list` (action eaCopy):
  // through the end records and the central directory, or, without an end
  // record, by walking the local headers, which must then run exactly to the
  // end of the file. Returns the number of entries read; list.Damaged says
  // whether the archive is sound.
  int ReadArchive(TStream32& archive, TCompHeaderObj& list);

  // ---- writing a new entry ----
  // At the output's end: the local header template, the name and, when the
  // entry needs it, the Zip64 sizes. Raises EWriteError on a short write.
  void WriteLocalTemplate(TStream32& out, TNewEntry& entry);
  // Completes the header in place from the output's end (compressed size,
  // CRC, flags, method) and returns to the end. Raises EWriteError on a
  // short write or when the data outgrew 4 GiB without the Zip64 sizes.
  void CompleteLocalHeader(TStream32& out, TNewEntry& entry);
  // The central record and header name of a completed new entry.
  void BuildCentral(const TNewEntry& entry, THeaderEntry& target) const;

  // ---- old entries ----
  // Copies the entry (Rec.Span bytes from its local header) to the output's
  // end and points the entry at its new position. With `newHeaderName`, the
  // local header carries that name instead (action eaCopyRenamed; flag bit
  // 11 follows `newNameUtf8`). False
  // (reported 25235) when the entry is not where the list says; raises
  // EReadError / EWriteError on I/O failure.
  bool CopyEntry(TStream32& old, TStream32& out, THeaderEntry& entry,
                 const std::string* newHeaderName = nullptr, bool newNameUtf8 = false);

  // ---- directory ----
  // The central records of every entry not dropped, then the end records and
  // the archive comment. False on a short write.
  bool WriteCentralDirectory(TStream32& out, const THeaderObj& list);
  // The 22-byte end record with only its signature (an emptied archive).
  bool WriteEmptyEndRecord(TStream32& out);
};

// A central record filled from a found file: both sizes := the file size,
// its DOS date-time, its attribute value; the rest as for a new entry.
void FillCentralFromFile(THeaderEntry& entry, uint64_t size, uint32_t dosDateTime, uint32_t attributes);

// ---- record builders ----
// Each writes a record in its plain form ("K" signature); the header cipher is
// applied by the caller (HeaderCipher on the bytes after the signature).

// The 30-byte local header. With `zip64` the size fields are all ones, the
// version needed is 45 and the extra length counts the Zip64 block that
// follows the name (EncodeLocalZip64).
void EncodeLocalHeader(uint8_t* h, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                       uint64_t packedSize, uint64_t size, size_t nameLength, bool zip64);
// The Zip64 block of a local header (kLocalZip64Size bytes: both sizes).
void EncodeLocalZip64(uint8_t* x, uint64_t packedSize, uint64_t size);
// The central record of a new entry (version 20, internal attributes 1, no
// comment) with the low 32 bits of sizes and offset; EncodeCentralEntry adds
// the Zip64 block when it goes to disk.
void EncodeNewCentral(TCentralBytes& c, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                      uint64_t packedSize, uint64_t size, size_t nameLength, uint32_t attributes,
                      uint64_t localOffset);
// A central record for a found file, cleared first: both sizes := `size`
// (low 32 bits), its DOS date-time, attribute value and the given method.
void FillCentralBytes(TCentralBytes& c, uint64_t size, uint32_t dosDateTime, uint32_t attributes,
                      uint16_t method);
// The central record of an entry found by walking the local headers, from
// its plain local header: version made by 20, the version needed, flags ..
// extra length as the local header has them, the given local header offset.
void CentralFromLocal(TCentralBytes& c, const uint8_t* plainLocal, uint64_t localOffset);
// One directory entry as it goes to disk: the record with its signature,
// lengths and the values of `packed`, `unpacked` and `localOffset` (all ones
// and a Zip64 block first among the extra bytes when a value does not fit or
// `zip64Mask` asks for it; version needed 45 then), the name, the extra bytes
// (any Zip64 or 0x0064 block in them is dropped) and the comment, each cut to
// what its 16-bit length can count; enciphered for `cipher`.
std::vector<uint8_t> EncodeCentralEntry(TCentralBytes c, std::string headerName, std::vector<uint8_t> extra,
                                        std::string comment, bool cipher, uint64_t packed, uint64_t unpacked,
                                        uint64_t localOffset, uint8_t zip64Mask = 0);
// The end records for a directory of `entries` records at `dirOffset`: the
// Zip64 end record and locator (written directly after the directory) when
// the count reaches 0xFFFF or the size or offset does not fit 32 bits, then
// the classic end record. `r` has room for kMaxEndRecordsSize bytes. Returns
// the bytes written.
size_t EncodeEndRecords(uint8_t* r, uint64_t dirOffset, uint64_t dirSize, uint64_t entries,
                        size_t commentLength);
// The local header of an old entry written anew: its fields with a new name
// (flag bit 11 set for `utf8`), the Unicode-path block dropped when
// `renamed` (it described the old name), the old 0x0064 block turned into
// the standard Zip64 block; sizes of an entry that has a data descriptor stay
// as they were. `plainLocal` is the deciphered 30-byte header and
// `localExtra` its extra bytes; `packed` and `unpacked` are the entry's sizes;
// `addExtra` is appended (the new name's Unicode-path block). Returns header,
// name and extra bytes, enciphered for `cipher`.
std::vector<uint8_t> RewriteLocalHeader(const uint8_t* plainLocal, const std::vector<uint8_t>& localExtra,
                                        const std::string& headerName, bool utf8, bool renamed,
                                        uint64_t packed, uint64_t unpacked, bool cipher,
                                        const std::vector<uint8_t>& addExtra = {});
