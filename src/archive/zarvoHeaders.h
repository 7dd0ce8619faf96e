// The zip archive format and the entry list of a run.
//
// Layout of an archive (all integers little-endian): optional bytes before
// the first entry; per entry a local header, its name, an optional 8-byte
// size extension and the data; the central directory (one record per entry,
// same order); the end record and the archive comment.
//
// Local header (30 bytes)            Central record (46 bytes)
//   0 signature 0x04034B50             0 signature 0x02014B50
//   4 version needed (20)              4 version made by (20, MS-DOS)
//   6 flags                            6 version needed (20)
//   8 method (0 stored, 8 deflated)    8..31 flags .. extra length, as local 6..29
//  10 time  12 date (MS-DOS)          32 comment length
//  14 CRC-32                          34 disk number start (0)
//  18 compressed size (low 32)        36 internal attributes (1 for new entries)
//  22 uncompressed size (low 32)      38 external attributes (DOS attribute value)
//  26 name length  28 extra length    42 local header offset (low 32)
//
// End record (22 bytes): signature 0x06054B50, this disk, directory disk,
// entries on this disk, total entries, directory size, directory offset,
// comment length. 64-bit end record (26 bytes): signature 0x06055B50 and the
// same fields with an 8-byte directory offset; written when the output has
// reached 4 GiB before the directory.
//
// Size extension (extra block tag 0x0064), only for an entry of 4 GiB or more
// or one whose local header starts at or beyond 4 GiB: in the local header
// 8 bytes (tag, size 4, high 16 bits of the compressed and uncompressed
// sizes), in the central record 10 bytes (tag, size 6, the same two words and
// the high 16 bits of the local header offset). It follows the name; with
// encryption the 12-byte encryption header follows the extension block.
//
// Flags: bit 0 encrypted data; for method 8 bits 1-2 carry the level
// (DeflateFlagBits). Bit 3 (data descriptor) is never written: each local
// header is completed in place after its data.
//
// Header cipher (EncryptHeaders): a header carrying it has "L" (0x4C) as the
// second signature byte (0x04034C50, 0x02014C50, 0x06054C50, 0x06055C50). The
// record bytes after the signature and the name are xor-ed with a fixed key
// stream (HeaderCipher below); extra bytes, comments and data are left as
// they are. Applying the cipher twice gives the plain bytes back.
//
// ---- Using the entry list in a run ----
//
//   TZipFormat fmt;  fmt.TranslateOemChar = ...;  fmt.ArchiveName = ...;
//   fmt.ReportError = [&](file, ext, code) { component.ReportError(...); };
//   TCompHeaderObj list;
//   fmt.ReadArchive(oldArchive, list);          // old entries, action eaCopy
//   list.Add(...)                                // new files, action eaCompress,
//   FillCentralFromFile(list[i], ...)            //   central filled from the file
//   per new entry:
//     TNewEntry e{...};  fmt.WriteLocalTemplate(out, e);
//     ... encryption header, data (TStoreStream / TCompressStream) ...
//     e.Crc = ...; e.Method = ...;  fmt.CompleteLocalHeader(out, e);
//     fmt.BuildCentral(e, list[i]);              // name, record, extension
//   per old entry:  fmt.CopyEntry(oldArchive, out, list[i]);
//   fmt.WriteCentralDirectory(out, list);       // false -> report 25136
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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
inline constexpr uint32_t kEnd64Sig = 0x06055B50;
inline constexpr uint32_t kEnd64SigL = 0x06055C50;
inline constexpr size_t kLocalHeaderSize = 30;
inline constexpr size_t kCentralRecordSize = 46;
inline constexpr size_t kEndRecordSize = 22;
inline constexpr size_t kEnd64RecordSize = 26;
inline constexpr uint16_t kExt64Tag = 0x0064;
inline constexpr size_t kLocalExt64Size = 8;
inline constexpr size_t kCentralExt64Size = 10;
inline constexpr size_t kEndScanWindow = 32768;
inline constexpr uint64_t k4GiB = 0x100000000ULL;

// The header cipher: xor with a key stream that depends only on the byte's
// index (key i = 0xA7 ^ (i * 0x3D) ^ (i >> 8), low 8 bits). Self-inverse.
void HeaderCipher(uint8_t* data, size_t count);

// The signature with its second byte "K" or "L".
uint32_t SignatureFor(uint32_t plainSig, bool headerCipher);

using TCentralBytes = std::array<uint8_t, kCentralRecordSize>;

// The per-entry record of the list.
struct TEntryRec {
  TEntryAction Action = eaCopy;
  uint64_t LocalOffset = 0;  // in the old archive, then in the output
  uint16_t UnpackedHi = 0;   // high 16 bits of the sizes (size extension)
  uint16_t PackedHi = 0;
  bool HeaderCipher = false;
  std::string Comment;
  std::vector<uint8_t> Extra;  // central extra bytes
};

struct THeaderEntry {
  // The stored name (ANSI, "\" separators); a new file's full path until it
  // has been compressed.
  std::string Name;
  // The name as the headers hold it ("/", OEM code page when translating).
  std::string HeaderName;
  TEntryRec Rec;
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
  bool End64 = false;
  // The archive did not add up (a record or entry was out of range, damaged
  // or missing); what was sound has been read.
  bool Damaged = false;
  uint64_t FirstEntryOffset = 0;  // local header of the first entry
  uint64_t CentralOffset = 0;     // as found (after correcting a prefix shift)
  int64_t PrefixShift = 0;        // bytes before the archive its offsets did not count
};

// A new entry being written.
struct TNewEntry {
  std::string HeaderName;  // header form (HeaderNameFromStored)
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
  bool Ext64 = false;
  uint64_t PackedSize = 0;
  uint64_t DataOffset() const;  // where the data (or encryption header) starts
};

class TZipFormat {
 public:
  bool TranslateOemChar = true;
  std::string ArchiveName;  // named in reports
  std::function<void(const std::string& fileName, const std::string& extendedMsg, int eCode)> ReportError;

  // ---- reading ----
  // Reads the entries of an existing archive into `list` (action eaCopy):
  // through the end record and the central directory, or, without a usable
  // end record, by walking the local headers. Every offset and length is
  // checked against the archive's size; an entry whose local header is
  // missing or out of range is reported (25235, the archive's name) and left
  // out. Returns the number of entries read.
  int ReadArchive(TStream32& archive, TCompHeaderObj& list);

  // ---- writing a new entry ----
  // At the output's end: the local header template, the name and, when the
  // entry needs it, the size extension. Raises EWriteError on a short write.
  void WriteLocalTemplate(TStream32& out, TNewEntry& entry);
  // Completes the header in place from the output's end (compressed size,
  // CRC, flags, method) and returns to the end. Raises EWriteError on a
  // short write or when the data outgrew 4 GiB without a size extension.
  void CompleteLocalHeader(TStream32& out, TNewEntry& entry);
  // The central record, extension block and header name of a completed new
  // entry.
  void BuildCentral(const TNewEntry& entry, THeaderEntry& target) const;

  // ---- old entries ----
  // Copies the entry's local header, name, extra bytes and data unchanged to
  // the output's end and points the entry at its new position. With
  // `newHeaderName`, the local header carries that name instead (action
  // eaCopyRenamed). False (reported 25235) when the local header is not where
  // the directory said or the entry runs past the archive's end; raises
  // EReadError / EWriteError on I/O failure.
  bool CopyEntry(TStream32& old, TStream32& out, THeaderEntry& entry,
                 const std::string* newHeaderName = nullptr);

  // ---- directory ----
  // The central records of every entry not dropped, then the end record (or
  // the 64-bit one) and the archive comment. False on a short write.
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

// The 30-byte local header.
void EncodeLocalHeader(uint8_t* h, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                       uint64_t packedSize, uint64_t size, size_t nameLength, bool ext64);
// The size extension of a local header (kLocalExt64Size bytes).
void EncodeLocalExt64(uint8_t* x, uint64_t packedSize, uint64_t size);
// The size extension of a central record (kCentralExt64Size bytes).
void EncodeCentralExt64(uint8_t* x, uint16_t packedHi, uint16_t unpackedHi, uint64_t localOffset);
// The central record of a new entry (version 20, internal attributes 1,
// no comment; the extra length counts the size extension when `ext64`).
void EncodeNewCentral(TCentralBytes& c, uint16_t flags, uint16_t method, uint32_t dosDateTime, uint32_t crc,
                      uint64_t packedSize, uint64_t size, size_t nameLength, bool ext64, uint32_t attributes,
                      uint64_t localOffset);
// A central record for a found file, cleared first: both sizes := `size`,
// its DOS date-time, attribute value and the given method.
void FillCentralBytes(TCentralBytes& c, uint64_t size, uint32_t dosDateTime, uint32_t attributes,
                      uint16_t method);
// The central record of an entry found by walking the local headers, from
// its plain local header: version made by 20, the version needed, flags ..
// extra length as the local header has them, the given local header offset.
void CentralFromLocal(TCentralBytes& c, const uint8_t* plainLocal, uint64_t localOffset);
// A central record as it goes to disk: the signature for `cipher`, the name,
// extra and comment lengths; with `cipher` the record and `headerName` are
// enciphered in place.
void EncodeCentralForDisk(TCentralBytes& c, std::string& headerName, size_t extraLength, size_t commentLength,
                          bool cipher);
// One directory entry as it goes to disk: the record (lengths, signature and
// local header offset filled in, the size extension's offset part kept
// current), the name, the extra bytes and the comment, each cut to 65,535
// bytes; enciphered for `cipher`.
std::vector<uint8_t> EncodeCentralEntry(TCentralBytes c, std::string headerName, std::vector<uint8_t> extra,
                                        std::string comment, bool cipher, uint64_t localOffset);
// The end record, or the 64-bit one when the directory starts at or beyond
// 4 GiB, into `r` (room for kEnd64RecordSize bytes). Entry counts are 16-bit.
// Returns the record's length.
size_t EncodeEndRecord(uint8_t* r, uint64_t dirOffset, uint64_t dirSize, uint64_t entries,
                       size_t commentLength);

// Parses extra blocks for the size extension: two words in a local header,
// three in a central record. Returns true when a 0x0064 block was found.
bool ParseExt64(const uint8_t* extra, size_t count, bool central, uint16_t& packedHi, uint16_t& unpackedHi,
                uint16_t& offsetHi);
