// The dataset layer: one DBF table as a dataset of the framework.
//
// TKeldorDataSet implements the framework's record-buffer protocol on one
// table handler (DBFObject, made at open, freed at close): typed field
// objects, navigation in record or tag order, bookmarks, editing with record
// locks, the handler's set-based filter plus OnFilterRecord, index files and
// the active tag, master/detail through the active tag, memo fields as
// streams (TKeldorBlobStream) and text translation between the OEM code page
// the files hold and the ANSI code page the program works in.
//
// Record buffer (one per buffered row, zero-filled when allocated):
//
//   0                      record image: record length bytes, deletion flag
//                          first, then the byte the table writes after a
//                          record (so the handler can work in the buffer)
//   record length + 1      calculated-field area (CalcFieldsSize bytes)
//   then                   record info: physical record number (int32),
//                          bookmark flag (1 byte)
//   then                   bookmark: 11 bytes, the record number as decimal
//                          text right-aligned in 10 characters, then a zero
//
// Table folders: DatabaseName names an alias of the process-wide alias list
// (section [Alias] of keldor.cfg in the Windows folder, plus every
// DatabaseName ever set, as name=name), a folder, or "Default Directory" (the
// program's own folder).
//
// Messages the dataset raises itself are plain EDatabaseError texts; the
// framework's own checks put the component's name in front; errors of the
// table engine pass through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/classes.h"
#include "framework/db.h"
#include "framework/dbindex.h"
#include "tables/hx6_dbsy.h"

class TKeldorDataSet;

// Field class for integer numeric fields 10 or more digits wide.
enum class ThxIntFields { asInteger, asLargeInt, asFloat };

// The table engine's progress reports (three integers).
using ThxStatusReport = std::function<void(TComponent* sender, int stat1, int stat2, int stat3)>;

// The version text every dataset answers as About.
inline constexpr const char* kKeldorAbout = "Keldor Table Engine 6.0 for VelUpdate";

// ---- the alias list ----------------------------------------------------------------

// The process-wide alias list: "name=folder" lines, names compared without
// regard to case. Filled on first use from section [Alias] of keldor.cfg in
// the Windows folder (a missing file or section leaves it empty); lives until
// the program ends.
TStringList& KeldorAliases();
// Empties the list and reads keldor.cfg again.
void ReloadKeldorAliases();
// The configuration file the list is read from (DOS path).
std::string KeldorConfigFile();

// ---- the handler -----------------------------------------------------------------------

// The table handler of an open dataset: the handler with the dataset's filter
// event and status event.
class DBFObject : public HXO_dBHandler {
 public:
  DBFObject(TKeldorDataSet* owner, const std::string& fileName, bool shared, bool readWrite,
            const std::string& password);

  // Progress reports go to the dataset's OnStatus when it has one.
  void EventHook(int phase, int position, int total) override;
  // An open, filtered dataset with an OnFilterRecord event decides first
  // (called in the filter state with "accept" preset); then the handler's
  // own filter.
  bool RecordVisible() override;

  TKeldorDataSet* DataSet() const { return dataSet_; }

 private:
  TKeldorDataSet* dataSet_;
};

// ---- the dataset ---------------------------------------------------------------------

class TKeldorDataSet : public TDataSet {
 public:
  explicit TKeldorDataSet(TComponent* owner = nullptr);
  ~TKeldorDataSet() override;

  // ---- published properties ----
  std::string About() const { return kKeldorAbout; }
  void SetAbout(const std::string&) {}  // read-only in effect

  const std::string& DatabaseName() const { return databaseName_; }
  // Unchanged value: nothing. Otherwise (unless "Default Directory") one
  // trailing backslash is dropped and the value joins the alias list as
  // name=name; then the dataset must be closed.
  void SetDatabaseName(const std::string& value);
  const std::string& TableName() const { return tableName_; }
  // The dataset must be closed; a new name empties IndexFiles.
  void SetTableName(const std::string& value);
  // Index files opened with the table, in order. Changing the list while
  // open opens the files again (an empty list also clears IndexName).
  TStringList& IndexFiles() { return indexFiles_; }
  void SetIndexFiles(const TStrings& files) { indexFiles_.Assign(files); }
  const std::string& IndexName() const { return indexName_; }
  // While open the tag is selected at once (record order for an empty name);
  // the dataset stays on its record when that record belongs to the new
  // order, else it goes to the first record.
  void SetIndexName(const std::string& name);
  // One definition per tag of the open index files, in order.
  TIndexDefs& IndexDefs() { return indexDefs_; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value) { exclusive_ = value; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  bool AutoFlush() const { return autoFlush_; }
  void SetAutoFlush(bool value);
  ThxLokProtocol LockProtocol() const { return lockProtocol_; }
  void SetLockProtocol(ThxLokProtocol value);
  bool TranslateASCII() const { return translateASCII_; }
  void SetTranslateASCII(bool value) { translateASCII_ = value; }
  bool UseDeleted() const { return useDeleted_; }
  void SetUseDeleted(bool value);
  int UserID() const { return userID_; }
  void SetUserID(int value);
  ThxIntFields LargeIntegerAs() const { return largeIntegerAs_; }
  void SetLargeIntegerAs(ThxIntFields value) { largeIntegerAs_ = value; }
  bool ExactCount() const { return exactCount_; }
  void SetExactCount(bool value) { exactCount_ = value; }
  const std::string& EncryptionKey() const { return encryptionKey_; }
  // The dataset must be closed.
  void SetEncryptionKey(const std::string& value);
  // Filter, Filtered and FilterOptions act at once while open (see the setters).
  void SetFiltered(bool value) override;
  void SetFilterOptions(TFilterOptions options) override;
  TDataSource* MasterSource() const { return masterLink_.DataSource(); }
  // "Circular datalinks are not allowed" when `source` leads back here.
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return masterLink_.FieldNames(); }
  void SetMasterFields(const std::string& names);

  ThxStatusReport OnStatus;

  // ---- operations ----
  // The folder of the table with a trailing backslash (alias, folder or the
  // program's own folder for "Default Directory"); empty when DatabaseName
  // is empty (the current folder).
  std::string TableFolder() const;
  // Clears the deletion mark of the current record.
  void Recall();
  // The handler while open, else nullptr.
  DBFObject* Handler() const { return handler_.get(); }

  // ---- the framework's dataset interface ----
  int Translate(const char* source, char* destination, bool toOem) override;
  std::unique_ptr<TBlobStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  bool Locate(const std::string& keyFields, const std::vector<Variant>& keyValues,
              TLocateOptions options) override;
  std::vector<Variant> Lookup(const std::string& keyFields, const std::vector<Variant>& keyValues,
                              const std::string& resultFields) override;
  bool BookmarkValid(const TBookmark& bookmark) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  void SetRecNo(int value) override;
  bool IsSequenced() override;
  TDataSource* GetDataSource() const override { return masterLink_.DataSource(); }

 protected:
  TRecordBuffer AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBuffer& buffer) override;
  void InternalInitRecord(TRecordBuffer buffer) override;
  TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool doCheck) override;
  int GetRecordSize() override { return recordLength_; }
  void GetBookmarkData(TRecordBuffer buffer, uint8_t* data) override;
  void SetBookmarkData(TRecordBuffer buffer, const uint8_t* data) override;
  TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) override;
  void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override;
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  bool IsCursorOpen() const override { return handler_ != nullptr; }
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalAddRecord(TRecordBuffer buffer, bool append) override;
  void InternalSetToRecord(TRecordBuffer buffer) override;
  void InternalGotoBookmark(const uint8_t* bookmark) override;
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalCancel() override;
  void InternalRefresh() override;
  void ClearCalcFields(TRecordBuffer buffer) override;
  int GetRecordCount() override;
  int GetRecNo() override;
  bool GetCanModify() const override { return !readOnly_; }
  void SetFilterText(const std::string& text) override;
  TRecordBuffer GetActiveRecordBuffer() override;

 private:
  friend class DBFObject;
  friend class TKeldorBlobStream;

  // ---- buffers ----
  int32_t RecNoOf(const uint8_t* buffer) const;
  void SetRecNoOf(uint8_t* buffer, int32_t recno) const;
  // Copies the handler's current record into `buffer` as a fetched row.
  void FillBuffer(TRecordBuffer buffer);
  // The row the current state reads and writes table fields in.
  uint8_t* RowBuffer();

  // ---- fields ----
  // The field class for table field n; ftUnknown for letters without one.
  TFieldType FieldClassOf(int n) const;
  bool ReadField(TField* field, uint8_t* row, void* buffer);
  void WriteField(TField* field, uint8_t* row, const void* buffer);
  // Whether the field is named in the active tag's key.
  bool IsIndexField(const TField* field) const;

  // ---- opening ----
  void OpenIndexFiles(bool listChanged);
  void BuildIndexDefs();
  void IndexFilesChanged();
  void ApplyFilter();

  // ---- master/detail ----
  void MasterChanged();
  void MasterDisabled();
  // Limits the rows to the master's key in the active tag (or lifts the
  // limit when the link is not active).
  void ApplyMasterRange();
  void ClearMasterRange();

  // ---- locks and navigation helpers ----
  void ReleaseRecordLock();
  void ClearMarks() { atStart_ = atEnd_ = false; }
  // Puts the handler back on `recno` (when it is a record) after a search.
  void ReturnTo(int64_t recno);
  bool FilterEventAccepts();
  // Text values of string fields go to the table in the OEM code page.
  std::vector<Variant> ValuesForTable(const std::vector<Variant>& values) const;

  std::unique_ptr<DBFObject> handler_;
  // The record buffers handed to the framework, owned here.
  std::vector<std::unique_ptr<uint8_t[]>> buffers_;

  // properties
  std::string databaseName_;
  std::string tableName_;
  TStringList indexFiles_;
  std::string indexName_;
  TIndexDefs indexDefs_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool autoFlush_ = false;
  ThxLokProtocol lockProtocol_ = ThxLokProtocol::Default;
  bool translateASCII_ = true;
  bool useDeleted_ = false;
  int userID_ = 0;
  ThxIntFields largeIntegerAs_ = ThxIntFields::asInteger;
  bool exactCount_ = false;
  std::string encryptionKey_;
  TMasterDataLink masterLink_;

  // buffer layout
  int recordLength_ = 0;
  int calcOffset_ = 0;
  int infoOffset_ = 0;
  int bookmarkOffset_ = 0;
  int bufferSize_ = 0;

  // position marks
  bool atStart_ = false;
  bool atEnd_ = false;
  // The record lock taken by Edit, given back by Post and Cancel.
  bool recordLocked_ = false;
  // The unchanged copy of the row being edited (old values).
  std::vector<uint8_t> oldRow_;
  bool openingIndexes_ = false;
  bool ranged_ = false;
};

// ---- memo and blob fields as streams -----------------------------------------------

// A stream over one memo or blob field of the current row. Write modes need a
// modifiable field and the edit or insert state; bmWrite starts empty, the
// others hold the memo's text (translated from OEM when the field
// transliterates). Commit (and releasing a modified stream without it) writes
// the text back to the memo file while the dataset is editing or inserting.
class TKeldorBlobStream : public TBlobStream {
 public:
  TKeldorBlobStream(TKeldorDataSet* dataSet, TField* field, TBlobStreamMode mode);
  ~TKeldorBlobStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  // Replaces everything from the position on. A position beyond the end of
  // the text first extends it with blanks.
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void Commit() override;

  bool Modified() const { return modified_; }
  const std::string& Text() const { return text_; }

 private:
  bool Translates() const;

  TKeldorDataSet* dataSet_;
  TField* field_;
  TBlobStreamMode mode_;
  std::string text_;
  int64_t position_ = 0;
  bool modified_ = false;
};

// ---- the table creator (Keldor6db_create.cpp) ------------------------------------

// Table flavour of a new table; it chooses the builder (Clipper tables have
// the dBase III layout).
enum class ThxDBFTypes { Clipper, DBaseIII, DBaseIV, FoxPro2 };

// Creates a new, empty table from a list of field descriptions, one a line
// ("NAME;TYPE;SIZE;DECIMALS"), and opens it through DBFTable. The whole list
// is checked before anything is written (CheckFieldList), so an invalid list
// never leaves a file behind.
class TCreateKeldorDataSet : public TComponent {
 public:
  explicit TCreateKeldorDataSet(TComponent* owner = nullptr);
  ~TCreateKeldorDataSet() override;

  // ---- published properties ----
  // Replace an existing table without asking.
  bool AutoOverwrite() const { return autoOverwrite_; }
  void SetAutoOverwrite(bool value) { autoOverwrite_ = value; }
  // The field descriptions; owned here, kept after a call.
  TStringList& CreateFields() { return createFields_; }
  const TStringList& CreateFields() const { return createFields_; }
  // Copies the lines of `lines`.
  void SetCreateFields(const TStrings& lines) { createFields_.Assign(lines); }
  // The dataset whose folder and TableName name the new table, opened after
  // a successful build. Not owned; cleared when that dataset is destroyed.
  TKeldorDataSet* DBFTable() const { return dbfTable_; }
  void SetDBFTable(TKeldorDataSet* table);
  ThxDBFTypes DBFType() const { return dbfType_; }
  void SetDBFType(ThxDBFTypes value) { dbfType_ = value; }

  // ---- operations ----
  // Checks CreateFields, builds the table and opens DBFTable. True when a
  // table file was produced; false when the operator declined to replace an
  // existing table (nothing is then written). Raises "A table is not
  // assigned to this object", "Cannot perform this operation on an open
  // table", "Table name missing" and "Field list is invalid" before anything
  // is written; errors of the builder and of opening pass through.
  bool CreateTable();
  // The table file CreateTable writes: DBFTable's folder and TableName, with
  // ".DBF" added when the name has no extension (as the builder adds it).
  std::string TargetFile() const;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  bool autoOverwrite_ = false;
  TStringList createFields_;
  TKeldorDataSet* dbfTable_ = nullptr;
  ThxDBFTypes dbfType_ = ThxDBFTypes::Clipper;
};
