// HXO_dBHandler: the table as a cursor. It owns the table's open index files
// (63 slots) and the active tag, holds a filter, and moves from record to
// record in tag order or record order, skipping records that are marked
// deleted or filtered out. It seeks keys, locates records by field values,
// keeps the filter and every open index current after each record write,
// locks the index files around writes, keeps a read-ahead window for
// sequential scans and re-enciphers a table under a new password.
//
// The dataset layer derives DBFObject from this class; it overrides
// RecordVisible (the dataset's filter event) and EventHook (its status event).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/variants.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"

class ThxExpHandler;
class HXobjIndexFile;
class HXobjIndexTag;

// Index files a handler keeps open at most.
inline constexpr int kHxIndexSlots = 63;
// The read-ahead window: this many bytes, rounded down to whole records.
inline constexpr size_t kHxReadAheadBytes = 32768;
// In a shared table a window older than this is read again before it serves
// a record, so a sequential walk never shows another process's record older
// than that.
inline constexpr uint64_t kHxWindowMaxAgeMs = 100;
// Reads through the index files of a shared table look for other writers'
// changes at most this often (and always under the index lock).
inline constexpr uint64_t kHxIndexCheckMs = 100;

class HXO_dBHandler : public HXO_dBaseFld {
 public:
  // Opens the table as HXO_dBaseFld does; no index files, no tag, no filter,
  // read-ahead allowed but off.
  HXO_dBHandler(const std::string& fileName, bool shared, bool readWrite, const std::string& password = "");
  // Frees the filter, the index files and the window, then closes the table.
  ~HXO_dBHandler() override;

  // ---- overrides, in slot order ----
  // Record reads of a sequential walk come out of the read-ahead window.
  size_t ReadAt(uint64_t offset, void* buffer, size_t count) override;
  // Renames the table and memo file, then every open index file that bears
  // the table's base name.
  void RenameTo(const std::string& newName) override;
  // Writes through; bytes inside the window are copied into it as well.
  size_t WriteAt(uint64_t offset, const void* buffer, size_t count) override;
  // Both hold every open index file locked while the table writes.
  void AppendRecord() override;
  void PutRecord(int64_t recno) override;
  // 7 (after a write): keeps the filter set and the indexes current;
  // 8 (after a flush): flushes the indexes and re-syncs the active tag.
  void StatusUpdate(int code, int64_t value) override;
  // code > 0 reads that record (always accepted); -1 next, -2 previous,
  // -3 first, -4 last, -5 re-read the current one and move on when it is no
  // longer visible. Relative moves follow the active tag, else the filter
  // set, else record order, and skip deleted (unless use-deleted) and
  // invisible records.
  void GetRecord(int64_t code) override;
  void SetLockProtocol(uint8_t protocol) override;
  // True while an index file is open in slot 1.
  bool ReverseRecordLocks() override;

  // ---- added virtual operations, in slot order ----
  // Positions on the first visible record whose key in the active tag equals
  // `key` (a shorter key matches as a prefix unless ExactCompare is set).
  virtual bool SeekKey(const std::string& key);
  // True when the active tag's current key equals `key` by SeekKey's rules
  // (a shorter character key matches as a prefix unless ExactCompare is set).
  bool CurrentKeyMatches(const std::string& key);
  // Record number of the first entry equal to `key` in the named tag,
  // without moving anything; 0 when absent, -1 when no open file has the tag.
  virtual int64_t SeekInTag(const std::string& tagName, const std::string& key);
  // Moves n visible records (0 re-reads the current one).
  virtual void Skip(int64_t n);
  // True when the current record passes the filter.
  virtual bool RecordVisible();
  // Locks every open index file, in slot order; when one fails, the ones
  // already locked are released and "Could not lock indexes for Table %s" is
  // raised.
  virtual void LockIndexes();
  // Re-enciphers records, memos, descriptors and open index files under a
  // new password (an empty one makes the table plain). Needs the table open
  // exclusively with write access.
  virtual void SetPassword(const std::string& newPassword);

  void UnlockIndexes();

  // ---- index files and the active tag ----
  // Opens one index file: a name without folder is looked for in the table's
  // folder, a name without extension gets ".ndx"; the extension chooses the
  // format. 0 when opened, -1 when that file is open already. The file takes
  // the first free slot and the table's lock protocol; with all 63 slots
  // taken the file is refused (and not opened).
  int OpenIndex(const std::string& fileName);
  // Flushes and frees every index file; record order afterwards.
  void CloseIndexes();
  // Makes the named tag the order (the name trimmed, case ignored; the open
  // files are searched in slot order); an empty name selects record order.
  // Answers the tag's number across the open files (0 for record order).
  // keepPosition: stay on the current record when it belongs to the new
  // order, else go to the first record.
  int SelectTag(const std::string& name, bool keepPosition);
  // The n-th tag across the open files in slot order (1-based), or nullptr.
  HXobjIndexTag* TagByNumber(int n) const;
  // The file in slot 1 .. 63, or nullptr.
  HXobjIndexFile* IndexFile(int slot) const;
  int IndexFileCount() const;
  HXobjIndexTag* ActiveTag() const { return activeTag_; }
  const std::string& ActiveTagName() const { return activeTagName_; }
  // Sets (or, both bounds empty, clears) a key range on the active tag; the
  // options are the index engine's range option bits. True when the range
  // changed; the handler then goes to the first record of the range.
  bool SetKeyRange(const std::string& low, const std::string& high, int options);

  // ---- search ----
  // Field names separated by ";", their values in the same order. Positions
  // on the first visible record whose fields equal the values; from the
  // record after `startRecord` when it is not 0. `partial`: the last field
  // needs only to begin with its value. A tag over the same fields is used
  // when one is open and the search allows it.
  bool Locate(const std::string& fields, const std::vector<Variant>& values, int64_t startRecord,
              bool partial, bool caseInsensitive);
  bool Locate(const std::string& fields, const Variant& value, int64_t startRecord, bool partial,
              bool caseInsensitive);

  // ---- filter ----
  // Compiles the expression and marks every record that passes it (one
  // evaluation per record). An empty text removes the filter. A text that
  // does not compile, or that yields no logical value, leaves no filter in
  // force (every record visible) and raises the engine's message.
  void SetFilter(const std::string& text, bool caseInsensitive, bool partialMatch);
  // The dataset's Filtered switch.
  void SetFilterActive(bool requested);
  // Evaluates the active filter over the whole table again.
  void RebuildFilter();
  const std::string& FilterText() const { return filterText_; }
  bool FilterRequested() const { return filterRequested_; }
  bool FilterActive() const { return filterActive_; }
  // The filter's record set: bit n set when record n passes.
  const ThxHugeSet* FilterSet() const { return filterSet_.get(); }

  // ---- read-ahead ----
  void SetBuffering(bool on);
  bool Buffering() const { return readAheadOn_; }
  // When not allowed, the window is never switched on.
  void SetReadAheadAllowed(bool allowed);
  bool ReadAheadAllowed() const { return readAheadAllowed_; }
  size_t WindowSize() const { return windowSize_; }

  // ---- state ----
  // The record just reached is not part of the current order (another tag
  // order or a filter it does not pass).
  bool OutOfOrder() const { return outOfOrder_; }
  // The last move ended on a record.
  bool RecordValid() const { return recordValid_; }
  // The last key seek found its key.
  bool Found() const { return seekResult_; }

 protected:
  struct Cipher {
    std::string password;
    bool encrypted = false;
  };

 private:
  // Evaluates the filter on the current record: true for a logical true.
  bool FilterPasses();
  // Marks every record of the current order that passes the filter.
  void BuildFilterSet();
  // A filter that failed to compile, check or build: nothing of it stays.
  void DropFilter();
  void UpdateFilterBit(int64_t recno);
  // One relative move without tag: along the filter set when the filter is
  // active, else physically. False when an end was reached.
  bool StepBySet(int64_t code);
  void BlankBuffer();
  // Reads a record by number the way a relative walk does (window allowed).
  void ReadForWalk(int64_t recno, int direction);
  bool Refused();

  // The active tag's key for a text (its key type decides how the text is read).
  static void KeyValue(const HXobjIndexTag& tag, const std::string& text, ThxVariant& value);
  bool SeekValue(const ThxVariant& value);
  // The active tag's current key against a key value (SeekKey's rules).
  bool KeyMatches(const ThxVariant& value);
  // Index maintenance after a write and a flush.
  void UpdateIndexes(int64_t recno, bool appended);
  void AfterFlush();
  // Moves the active tag for a GetRecord code; 0 at an end.
  int64_t TagStep(int64_t code);
  bool ClipLocking() const;
  // Before a read through an index of a shared file: when another process
  // changed the file, the cached paths are dropped and the file read again
  // under the index lock, so the walk sees the file as it is. `always`: look
  // now, however recently we looked (seeks); else at most every
  // kHxIndexCheckMs (walks).
  void SyncIndexes(bool always);
  void Navigate(int64_t code);
  // Unlocks the index files of the slots below `end` (after a failed LockIndexes).
  void ReleaseIndexLocks(int end);
  // A tag whose key is made of exactly the named fields (see Locate).
  HXobjIndexTag* TagForFields(const std::vector<std::string>& names, bool partial) const;

  // Locate without index: compares the named fields record by record.
  bool LocateByScan(const std::vector<int>& fieldNumbers, const std::vector<std::string>& wanted,
                    int64_t startRecord, bool partial, bool caseInsensitive);

  void SwitchWindow(bool on);
  void DropWindow() { winStart_ = -1; }

  // SetPassword's steps.
  void UseCipher(const Cipher& c);
  void CheckReadable(const Cipher& from);
  void ClearMemoReference(int n);
  void ConvertRecord(int64_t recno, const Cipher& from, const Cipher& to);
  void ConvertDescriptors(const Cipher& from, const Cipher& to);

  // ---- index files ----
  std::array<std::unique_ptr<HXobjIndexFile>, kHxIndexSlots> slots_;
  HXobjIndexTag* activeTag_ = nullptr;
  std::string activeTagName_;

  // ---- filter ----
  std::string filterText_;
  bool filterCaseInsensitive_ = false;
  bool filterPartial_ = true;
  std::unique_ptr<ThxExpHandler> filterExpr_;
  std::unique_ptr<ThxHugeSet> filterSet_;
  bool filterRequested_ = false;
  bool filterActive_ = false;
  // Set while the filter set is built: records are then taken as the walk
  // finds them, without asking RecordVisible.
  bool scanning_ = false;

  // ---- position ----
  bool outOfOrder_ = false;
  bool recordValid_ = false;
  bool seekResult_ = false;

  // ---- read-ahead window ----
  bool readAheadAllowed_ = true;
  bool readAheadOn_ = false;
  size_t windowSize_ = 0;
  std::vector<uint8_t> window_;
  int64_t winStart_ = -1;  // file offset of the window's first byte, -1 when empty
  int64_t winEnd_ = -1;
  uint64_t indexCheckedAt_ = 0;
  uint64_t winFilledAt_ = 0;
  // Direction of the walk the next record read belongs to: 1 forward,
  // -1 backward, 0 a read that must come from the file.
  int windowDirection_ = 0;
};
