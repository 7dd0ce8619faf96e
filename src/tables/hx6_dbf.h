// The DBF table: HXO_dBaseDBF (header, records, table and record locks) and
// its field layer HXO_dBaseFld (field descriptors and entries; field values).
//
// File layout (all integers little-endian):
//
//   header, 32 bytes at offset 0
//     0  1  version: 0x03, 0x04, 0x30, 0x83, 0x8B, 0xF5 (anything else is refused)
//     1  3  last update: year mod 100, month, day
//     4  4  record count (written, never trusted: the file size decides)
//     8  2  header length = offset of record 1
//    10  2  record length, deletion flag included
//    12  3  reserved, kept
//    15  1  encryption flag
//    16  4  change stamp ((hour*64 + minute)*64 + second)*1024 + millisecond
//    20  4  user number of the last writer
//    24  4  reserved, kept
//    28  1  flags: bit 0 structural index, bit 1 memo (0x30 only), bit 2 kept
//    29  3  reserved, kept
//   field descriptors, 32 bytes each from offset 32, ended by 0x0D
//     0 11  name, NUL-padded          16  1  width (C: low byte)
//    11  1  type letter               17  1  decimals (C: high byte of width)
//    12  4  displacement (in memory: the field's offset in the record)
//    26  2  reserved (in memory: the field number)
//   version 0x30: 263 more bytes after the terminator
//   records from the header length on: flag byte (' ' live, '*' deleted), fields
//   without gaps; 0x1A after the last record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/variants.h"
#include "tables/hx6_disk.h"

class HXobjMemo;           // memo files (hx6_memo)
class ThxExpUserLink;      // expression link (hx6_sql)
class ThxUserDefFieldVar;  // field variables of the link (hx6_sql)
class HXO_dBaseFld;

// Disposal of the owned memo object and expression link. They are defined by
// the units that know those classes (hx6_dbf_memo.cpp, hx6_dbf_link.cpp), so
// this header does not depend on them.
struct HxMemoDeleter {
  void operator()(HXobjMemo* memo) const;
};
struct HxExpLinkDeleter {
  void operator()(ThxExpUserLink* link) const;
};

// Layout constants.
inline constexpr uint32_t kDbfHeaderSize = 32;
inline constexpr uint32_t kDbfDescriptorSize = 32;
inline constexpr uint32_t kDbfFixedPart = 33;     // header + terminator
inline constexpr uint32_t kDbfFixedPart30 = 296;  // version 0x30: + 263 bytes
inline constexpr uint8_t kDbfTerminator = 0x0D;
// dBase 7 (version 0x04 too): a 68-byte header (the 32 bytes above, a
// 32-byte language-driver name, 4 reserved) and 48-byte descriptors
//     0 32  name, NUL-padded         33  1  width
//    32  1  type letter              34  1  decimals
//    37  1  MDX flag                 40  4  next autoincrement value
// In memory they are kept as 32-byte descriptors like the others; the long
// names are kept beside them.
inline constexpr uint32_t kDb7HeaderSize = 68;
inline constexpr uint32_t kDb7DescriptorSize = 48;
inline constexpr uint8_t kDbfEndOfFile = 0x1A;

// True for the version bytes a table may carry.
bool IsKnownDbfVersion(uint8_t version);

// Table state byte values (owned by the table handler).
inline constexpr uint8_t kTableStateOpen = 1;
inline constexpr uint8_t kTableStateAppending = 3;  // PutRecord appends
inline constexpr uint8_t kTableStateKeep = 5;       // survives StatusUpdate 6 and 7

// StatusUpdate codes.
inline constexpr int kStatusBlanked = 0;
inline constexpr int kStatusOpened = 2;
inline constexpr int kStatusBeforeRead = 4;
inline constexpr int kStatusBeforeWrite = 5;
inline constexpr int kStatusAfterRead = 6;
inline constexpr int kStatusAfterWrite = 7;
inline constexpr int kStatusAfterFlush = 8;

// GetRecord codes.
inline constexpr int64_t kGetNext = -1;
inline constexpr int64_t kGetPrevious = -2;
inline constexpr int64_t kGetFirst = -3;
inline constexpr int64_t kGetLast = -4;
inline constexpr int64_t kGetCurrent = -5;

class HXO_dBaseDBF : public HXO_DiskFile {
 public:
  // Opens the table (".DBF" added when the name has no extension). shared:
  // other processes may open it too (lock calls then really lock); readWrite:
  // write access. Raises the engine's messages when the file is missing,
  // cannot be opened or its header is not a table header.
  HXO_dBaseDBF(const std::string& fileName, bool shared, bool readWrite, const std::string& password = "");
  // Writes a pending header, frees the memo object and closes. Never raises.
  ~HXO_dBaseDBF() override;

  // ---- HXO_DiskFile overrides ----
  void Flush() override;
  void RenameTo(const std::string& newName) override;
  void EventHook(int phase, int position, int total) override;

  // ---- virtual operations of the table, in slot order ----
  virtual void AppendRecord();
  virtual void StatusUpdate(int code, int64_t value);
  // code > 0: that record; -1 next, -2 previous, -3 first, -4 last, -5 current; 0 nothing.
  virtual void GetRecord(int64_t code);
  virtual bool LockAppend();
  virtual bool LockTable();
  virtual bool LockWholeFile();
  virtual bool UnlockTable();
  virtual bool LockRecord();
  virtual void PutRecord(int64_t recno);
  virtual void SetLockProtocol(uint8_t protocol);
  virtual bool ReverseRecordLocks();

  // ---- header ----
  // Shared tables: re-reads the header and takes the record count from the file size.
  void RefreshHeader();
  // Writes the header when read-write, dirty and not under a table lock.
  void WriteHeader();
  // The same; without `withCount` bytes 4-7 (the record count) are left as
  // the file has them.
  void WriteHeader(bool withCount);
  void SetUserID(uint32_t userId) { userId_ = userId; }
  uint32_t UserID() const { return userId_; }

  // ---- structure ----
  uint8_t Version() const { return header_[0]; }
  const uint8_t* Header() const { return header_; }
  uint32_t HeaderLength() const { return headerLength_; }
  uint32_t RecordLength() const { return recordLength_; }
  int64_t RecordCount() const { return recordCount_; }
  int FieldCount() const { return fieldCount_; }
  // Descriptor of field n (1-based), 32 bytes; nullptr out of range.
  uint8_t* Descriptor(int n) {
    return n >= 1 && n <= fieldCount_ ? descriptors_.data() + (n - 1) * kDbfDescriptorSize : nullptr;
  }
  const uint8_t* Descriptor(int n) const {
    return n >= 1 && n <= fieldCount_ ? descriptors_.data() + (n - 1) * kDbfDescriptorSize : nullptr;
  }
  // File offset of record n.
  uint64_t RecordOffset(int64_t recno) const {
    return uint64_t{headerLength_} + static_cast<uint64_t>(recno - 1) * recordLength_;
  }
  // Upper-cased file name without folder and extension.
  const std::string& Alias() const { return alias_; }
  bool Encrypted() const { return encrypted_; }
  bool HasMemo() const { return hasMemo_; }
  // True for a version 0x04 table in the dBase 7 layout (48-byte descriptors).
  bool Dbase7() const { return dbase7_; }
  // Field n's name as stored in a dBase 7 descriptor (up to 32 characters).
  const std::string& LongName(int n) const { return longNames_[static_cast<size_t>(n - 1)]; }
  // Flag bits 0-2 of header byte 28.
  uint8_t TableFlags() const { return flagBits_; }
  bool StructuralIndex() const { return (flagBits_ & 1) != 0; }
  // Sets or clears bit 0 and marks the header for writing (the index engine
  // rewrites the header through WriteHeader afterwards).
  void SetStructuralIndex(bool on);
  uint32_t ChangeStamp() const { return changeStamp_; }

  // ---- position and buffers ----
  int64_t RecNo() const { return recNo_; }
  void SetRecNo(int64_t recno) { recNo_ = recno; }
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  void SetBof(bool on) { bof_ = on; }
  void SetEof(bool on) { eof_ = on; }
  // The current record buffer: record length bytes followed by 0x1A.
  uint8_t* RecordBuffer() const { return record_; }
  // Points the record buffer at a caller's buffer of record length + 1 bytes
  // (record images for lookups) and back at the table's own (nullptr).
  void SetRecordBuffer(uint8_t* buffer) { record_ = buffer ? buffer : ownRecord_.data(); }
  // The record as last read or written.
  const uint8_t* SavedRecord() const { return saved_.data(); }
  // Changed flags: index 0 the deletion flag, 1..FieldCount the fields.
  bool FieldChanged(int n) const { return n >= 0 && n <= fieldCount_ && changed_[static_cast<size_t>(n)]; }
  void SetFieldChanged(int n, bool on) {
    if (n >= 0 && n <= fieldCount_) changed_[static_cast<size_t>(n)] = on;
  }
  void ClearFieldChanged();

  // ---- flags ----
  bool HeaderDirty() const { return headerDirty_; }
  void SetHeaderDirty(bool on) { headerDirty_ = on; }
  bool RecordChanged() const { return recordChanged_; }
  void SetRecordChanged(bool on) { recordChanged_ = on; }
  bool HeaderChangedByOthers() const { return changedByOthers_; }
  bool TableLocked() const { return tableLocked_; }
  bool AutoFlush() const { return autoFlush_; }
  void SetAutoFlush(bool on) { autoFlush_ = on; }
  bool UseDeleted() const { return useDeleted_; }
  void SetUseDeleted(bool on) { useDeleted_ = on; }
  bool ExactCompare() const { return exactCompare_; }
  void SetExactCompare(bool on) { exactCompare_ = on; }
  uint8_t TableState() const { return tableState_; }
  void SetTableState(uint8_t state) { tableState_ = state; }

  // ---- passwords and locks ----
  const std::string& ReadPassword() const { return readPassword_; }
  const std::string& WritePassword() const { return writePassword_; }
  // Makes `password` current for reading and writing (the handler's SetPassword).
  void SetPasswords(const std::string& password) { readPassword_ = writePassword_ = password; }
  // While the password changes, reading takes the old one and writing the new one.
  void SetReadPassword(const std::string& password) { readPassword_ = password; }
  void SetWritePassword(const std::string& password) { writePassword_ = password; }
  void SetEncrypted(bool on) { encrypted_ = on; }
  const HxLockOffsets& LockOffsets() const { return lock_; }
  uint8_t LockProtocol() const { return lock_.Protocol(); }

  // ---- memo file (hx6_dbf_memo.cpp) ----
  // The memo object, created on first use (tables with memo fields only;
  // nullptr otherwise). Missing memo file: "File %s could not be found".
  HXobjMemo* MemoFile();
  HXobjMemo* MemoIfOpen() const { return memo_.get(); }

 protected:
  // Reads a whole record n into `buffer` (deciphered); false past the end of file.
  void ReadRecordInto(int64_t recno, uint8_t* buffer);
  // Writes `count` bytes of `buffer` as record n (enciphered through the scratch buffer).
  void WriteRecordBytes(int64_t recno, const uint8_t* buffer, size_t count);

 private:
  void ReadStructure();
  // Writes the pending header of a shared table that this object has not
  // locked: with the count when the table lock can be had, else without it.
  void WriteHeaderUnlocked();
  enum class DescriptorCheck { Invalid, Fits, Exact };
  // Parses the descriptors in `area` (32-byte, or 48-byte dBase 7) up to the
  // terminator into 32-byte images in `out` (and, for dBase 7, their names).
  // Invalid: a type byte that is no letter or digit, a width of 0, or fields
  // longer than the record; Exact: the fields fill the record.
  DescriptorCheck ParseDescriptors(const uint8_t* area, size_t size, bool dbase7, std::vector<uint8_t>& out,
                                   std::vector<std::string>& names) const;
  // Whole records between the header and the end of a file of `size` bytes.
  int64_t CountFromSize(int64_t size);
  void CloseTable();
  // Memo hooks (hx6_dbf_memo.cpp).
  void FlushMemo();
  void RenameMemo(const std::string& newTableName);
  void MemoSetLockProtocol(uint8_t protocol);

  uint8_t header_[kDbfHeaderSize] = {};
  std::string alias_;
  uint32_t headerLength_ = 0;
  uint32_t recordLength_ = 0;
  int64_t recordCount_ = 0;
  int fieldCount_ = 0;
  std::vector<uint8_t> descriptors_;
  bool dbase7_ = false;
  std::vector<std::string> longNames_;

  int64_t recNo_ = 0;
  bool bof_ = true;
  bool eof_ = false;
  std::vector<uint8_t> ownRecord_;
  uint8_t* record_ = nullptr;
  std::vector<uint8_t> saved_;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> changed_;

  bool headerDirty_ = false;
  bool recordChanged_ = false;
  bool changedByOthers_ = false;
  bool tableLocked_ = false;
  bool autoFlush_ = false;
  bool useDeleted_ = false;
  bool exactCompare_ = false;
  bool encrypted_ = false;
  bool hasMemo_ = false;
  uint8_t flagBits_ = 0;
  uint32_t changeStamp_ = 0;
  uint32_t userId_ = 0;
  std::string readPassword_;
  std::string writePassword_;
  HxLockOffsets lock_;
  uint8_t tableState_ = kTableStateOpen;

  std::unique_ptr<HXobjMemo, HxMemoDeleter> memo_;
};

// One field of an open table, owned by the table's field list.
struct ThxDBFFields {
  HXO_dBaseFld* table = nullptr;
  std::string name;      // as stored, up to the first NUL
  uint8_t width = 0;     // descriptor byte 16
  uint8_t decimals = 0;  // descriptor byte 17
  char type = 0;         // type letter
  int number = 0;        // 1-based
  uint32_t offset = 0;   // inside the record
  uint32_t length = 0;   // bytes in the record (C: byte 16 + 256 * byte 17)
  // The field's own variable for expressions, named by the field name
  // (made by the expression link, hx6_dbf_link.cpp; shared with the link's
  // registry, which may name it too).
  std::shared_ptr<ThxUserDefFieldVar> fieldVar;
};

class HXO_dBaseFld : public HXO_dBaseDBF {
 public:
  HXO_dBaseFld(const std::string& fileName, bool shared, bool readWrite, const std::string& password = "");
  ~HXO_dBaseFld() override;

  // Reads as the table does, then clears the per-field changed flags.
  void GetRecord(int64_t code) override;

  // ---- field list ----
  // Number of the field (1-based); the name's trailing blanks are ignored and
  // case does not matter. 0 when there is no such field.
  int FieldNumber(std::string_view name) const;
  // Entry of field n (1-based), nullptr out of range.
  ThxDBFFields* FieldEntry(int n) const {
    return n >= 1 && n <= static_cast<int>(fields_.size()) ? fields_[static_cast<size_t>(n - 1)].get()
                                                           : nullptr;
  }
  // Entry by name; raises "There is no field name %s" (file name, "->", name).
  ThxDBFFields& FieldEntryByName(std::string_view name) const;
  // Raises "There is no field name %s" for `name`.
  [[noreturn]] void RaiseNoFieldName(std::string_view name) const;
  const std::vector<std::unique_ptr<ThxDBFFields>>& FieldList() const { return fields_; }

  // ---- expression link (hx6_dbf_link.cpp) ----
  ThxExpUserLink* ExpUserLink() const { return expLink_.get(); }

  // ---- field values (hx6_dbf_fields.cpp) ----
  // Fields are addressed by number (1-based) or by name (trailing blanks and
  // case ignored). The by-name date, logical and number operations first
  // check the type: the letter must match; a wanted G also takes B and M, a
  // wanted N also takes B, F, G, I and M ("Field %s is the incorrect type").
  // Virtual operations, in slot order:
  // Descriptor (32 bytes) of the named field; "There is no field name %s" when absent.
  virtual const uint8_t* FieldDescriptor(std::string_view name);
  // Spaces everywhere, zeros in numeric fields; every field marked changed.
  virtual void BlankRecord();
  virtual int32_t GetDateByName(std::string_view name);
  // Julian day of the field's text; 0 out of range; "Invalid date in field %s".
  virtual int32_t GetDate(int n);
  virtual bool PutDateByName(std::string_view name, int32_t day);
  // False (nothing stored) unless field n is D; day <= 0 stores eight spaces.
  virtual bool PutDate(int n, int32_t day);
  // Marks the current record deleted and writes it.
  virtual void DeleteRecord();
  virtual void GetRawByName(std::string_view name, std::string& text);
  // The field's bytes unchanged; empty out of range.
  virtual void GetRaw(int n, std::string& text);
  virtual bool PutRawByName(std::string_view name, std::string_view text);
  // Spaces, then the text left-aligned (C, D, L) or right-aligned (others),
  // cut to the width. False out of range.
  virtual bool PutRaw(int n, std::string_view text);
  virtual int FieldDecimals(int n);
  virtual int FieldWidth(int n);
  virtual int FieldOffset(int n);
  virtual std::string FieldName(int n);
  virtual char FieldType(int n);
  virtual bool GetLogicalByName(std::string_view name);
  virtual bool GetLogical(int n);
  virtual bool PutLogicalByName(std::string_view name, bool value);
  virtual bool PutLogical(int n, bool value);
  virtual double GetNumberByName(std::string_view name);
  virtual double GetNumber(int n);
  virtual bool PutNumberByName(std::string_view name, double value);
  virtual bool PutNumber(int n, double value);
  virtual void GetStringByName(std::string_view name, std::string& text);
  // The field as text: C trimmed, D in the display format, L "T"/"F",
  // numbers trimmed, M the memo's bytes, B/G their markers.
  virtual void GetString(int n, std::string& text);
  virtual bool PutStringByName(std::string_view name, std::string_view text);
  virtual bool PutString(int n, std::string_view text);
  virtual void UndeleteRecord();

  // ---- non-virtual field helpers ----
  // GetString as a return value.
  std::string FieldText(int n) {
    std::string s;
    GetString(n, s);
    return s;
  }
  // True for a field that refers to the memo file (M, G; B outside version 0x30).
  bool IsMemoField(int n) const;
  // Bytes of the memo of field n; 0 when the field is not a memo field.
  uint32_t MemoSize(int n);
  // Reads up to `length` bytes of the memo of field n; returns the bytes read.
  size_t ReadMemo(int n, void* buffer, size_t length);
  // The whole memo of field n (empty when the field is not a memo field).
  std::string ReadMemoText(int n);
  // Writes the memo of field n and stores its block number (0 for no data).
  void WriteMemo(int n, const void* data, size_t length);
  // Builds a record in `buffer` (record length + 1 bytes): a blank record,
  // then for each name of the ";"-separated list the value of the same
  // position stored with PutStringByName (null: empty text). The table's own
  // record buffer is restored afterwards, also on failure.
  void BuildRecordImage(uint8_t* buffer, std::string_view fieldList, const std::vector<Variant>& values);
  // The single value goes to the first name of the list.
  void BuildRecordImage(uint8_t* buffer, std::string_view fieldList, const Variant& value);

 protected:
  std::unique_ptr<ThxExpUserLink, HxExpLinkDeleter> expLink_;

 private:
  void BuildFieldList();
  // Creates the expression link, registers RECNO, DELETED, BOF, EOF, TYPE,
  // LEN, FIELDNO and the field variables (hx6_dbf_link.cpp).
  void BuildExpressionLink();

  std::vector<std::unique_ptr<ThxDBFFields>> fields_;
};

// ---- table builders and the creator's field list (hx6_dbf_build.cpp) ------
//
// A builder makes a new, empty table (and, when a field needs one, its empty
// memo file) from field definitions added one by one. The three builders
// differ in the version byte of a table with memo fields and in the memo
// file they write:
//
//   builder          no memo  with memo  memo file
//   HXO_DBFBuild     0x03     0x83       dBase III .DBT, 513 bytes (header block + 0x1A)
//   HXO_DB4Build     0x03     0x8B       dBase IV  .DBT, 24 bytes (block size 512)
//   HXO_DBFoxBuild   0x03     0xF5       FoxPro    .fpt, 512 bytes (next free 8, block size 64)
//
// The new files are written beside the target under temporary names and put
// in place only once they are complete, so an existing table is never emptied
// first, a full disk leaves no half-written table, and a table another
// program holds open is not replaced ("Could not create file %s").

#include <array>

#include "tables/hx6_tool.h"

// A field descriptor as a builder keeps it (the 32 bytes of the file).
using ThxDescriptorBlock = std::array<uint8_t, kDbfDescriptorSize>;

class HXO_DBFBuild : public ThxCollection<ThxDescriptorBlock> {
 public:
  // The table file name is trimmed and gets ".DBF" when it has no extension.
  explicit HXO_DBFBuild(const std::string& fileName);
  // Builds the table when Build has not run (errors are swallowed: a caller
  // that wants to hear of them calls Build), closes it and frees the fields.
  ~HXO_DBFBuild() override;

  // ---- virtual operations, in slot order ----
  // Writes the table file and, when a field needs one, the memo file; then
  // keeps the new table open (exclusive, read-write) until the builder is
  // destroyed. Runs once; later calls do nothing.
  virtual void Build();
  // Adds one descriptor at the end. The name is trimmed (blank: nothing is
  // added), upper-cased and cut to 10 characters; the type letter is
  // upper-cased. Widths: C takes both width bytes, D is 8, L is 1, M, B and G
  // are 10 (and need a memo file), any other type stores width and decimals
  // as given. Nothing else is checked here (see CheckFieldList).
  virtual void AddField(std::string_view name, char type, int width, int decimals);

  // The new table, set once Build ran; nullptr before.
  HXO_DiskFile* DiskFile() const { return diskFile_.get(); }
  bool BuildPending() const { return pending_; }
  // The table file's full name and its base name (no folder, no extension).
  const std::string& FileName() const { return fileName_; }
  const std::string& TableBaseName() const { return baseName_; }
  // The memo file this builder writes beside the table. Its extension takes
  // the letter case of the table's ("X.DBF" and "X.FPT", "x.dbf" and
  // "x.fpt"), so that programs on case-sensitive file systems find it.
  std::string MemoFileName() const;
  bool HasMemo() const { return hasMemo_; }
  // Deletion flag plus the widths added so far.
  int64_t RecordLength() const { return recordLength_; }
  uint8_t VersionWithoutMemo() const { return versionPlain_; }
  uint8_t VersionWithMemo() const { return versionMemo_; }
  // The 32-byte header as last written.
  const uint8_t* HeaderImage() const { return header_; }

 protected:
  HXO_DBFBuild(const std::string& fileName, uint8_t versionWithMemo, const char* memoExtension);

  // Frees a descriptor block.
  void DisposeItem(ThxDescriptorBlock* block) override;
  // Writes header, descriptors, 0x0D and 0x1A.
  virtual void WriteTableHeader();
  // Writes the empty memo file (dBase III here).
  virtual void WriteMemoFile();

  // Writes `image` as the new content of `target`. The bytes go to a
  // temporary file beside it; Build puts every such file in place once all
  // are complete. Errors name `target`.
  void StageFile(const std::string& target, const std::vector<uint8_t>& image);
  // Builds when still pending, without raising; each builder's destructor
  // calls it so that its own WriteMemoFile runs.
  void BuildOnDestroy() noexcept;

 private:
  struct Staged;
  void CommitStaged();
  void DiscardStaged() noexcept;

  std::string fileName_;
  std::string baseName_;
  std::string memoExtension_;
  uint8_t versionPlain_ = 0x03;
  uint8_t versionMemo_ = 0x83;
  bool hasMemo_ = false;
  int64_t recordLength_ = 1;
  bool pending_ = true;
  std::unique_ptr<HXO_DiskFile> diskFile_;
  uint8_t header_[kDbfHeaderSize] = {};
  std::vector<Staged> staged_;
};

class HXO_DB4Build : public HXO_DBFBuild {
 public:
  explicit HXO_DB4Build(const std::string& fileName);
  ~HXO_DB4Build() override;

 protected:
  void WriteMemoFile() override;
};

class HXO_DBFoxBuild : public HXO_DBFBuild {
 public:
  explicit HXO_DBFoxBuild(const std::string& fileName);
  ~HXO_DBFoxBuild() override;

 protected:
  void WriteMemoFile() override;
};

// One line of the table creator's field list, split into its parts:
// "NAME;TYPE;SIZE;DECIMALS".
struct ThxFieldDescription {
  std::string name;  // as written (the builder trims, upper-cases and cuts it)
  char type = 0;     // as written
  int size = 0;
  int decimals = 0;
};

// The outcome of CheckFieldList.
struct ThxFieldListCheck {
  bool valid = false;
  int line = 0;                             // 1-based line of the first fault; 0 for an empty list
  std::string reason;                       // what is wrong with it, in plain words
  std::vector<ThxFieldDescription> fields;  // every line, in order, when valid
};

// Checks a creator's field list completely before anything is built. A line
// loses its trailing blanks and semicolons, then must read name ";" one type
// character ";" whole-number size ";" decimals, of which only the first three
// characters count. The list is invalid when it is empty, when a line is
// empty, does not split that way, or repeats the stored name (trimmed,
// upper-cased, first 10 characters) of an earlier line, or when a field
// would not fit the table's header:
//   - a name, once trimmed, must be empty (the builder skips that line) or a
//     letter followed by letters, digits and underscores (ASCII);
//   - C is 1 to 65534 wide; types that store width and decimals as given
//     (all but C, D, L, M, B, G) are 1 to 255 wide with 0 to width decimals;
//     D, L, M, B and G have fixed widths, whatever the line says;
//   - the record (deletion flag and fields) is at most 65535 bytes and the
//     header holds at most 2046 fields.
ThxFieldListCheck CheckFieldList(const std::vector<std::string>& lines);
