// HXO_DiskFile: the base of every table-engine file (tables, memo files,
// index files, tables being built). Positioned reads and writes that raise
// the engine's messages, share and access modes, a counted byte-range lock,
// flush, truncate and rename. Also the lock protocols (where tables, records
// and memo files are locked) and the engine's wait-and-retry for locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {
class File;
}

// ---- lock protocols ---------------------------------------------------------

// The lock protocol of a table (the dataset's LockProtocol). Values 4-255 are
// accepted and keep the offsets of the protocol before; under them record
// locks fail at once and memo locks fail after the full wait.
enum class ThxLokProtocol : uint8_t { Default = 0, DB4Lock = 1, ClipLock = 2, FoxLock = 3 };

struct HxLockRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool operator==(const HxLockRange&) const = default;
};

// The three values a table or memo object keeps for its lock protocol and
// every lock range derived from them. All offsets are unsigned 32-bit.
//
//   protocol          table lock                 append (record base)  memo lock
//   Default, FoxLock  0x40000000 len 0x3FFFFFFF  1 byte 0x7FFFFFFE      1 byte 0x7FFFFFFD
//   DB4Lock           0x40000000 len 0xB0000000  1 byte 0xEFFFFFFF      2 bytes 0xEFFFFFFE
//   ClipLock          1000000000 len 1000000000  1 byte 1000000000      1 byte 1000000000
//
//   record n: Default/FoxLock 0x7FFFFFFE - n (reverse) or
//             header length + (n - 1) * record length + 0x40000000;
//             DB4Lock 0xEFFFFFFF - n - 1; ClipLock 1000000000 + n.
//   whole file: offset 0, length 0x7FFFFFFF.
class HxLockOffsets {
 public:
  static constexpr uint32_t kWholeFileLength = 0x7FFFFFFF;

  // Sets the protocol; 0-3 select their values, 4-255 keep the current ones.
  void SetProtocol(uint8_t protocol);
  uint8_t Protocol() const { return protocol_; }
  uint32_t TableOffset() const { return tableOffset_; }
  uint32_t RecordBase() const { return recordBase_; }
  uint32_t TableLength() const { return tableLength_; }

  HxLockRange TableLock() const { return {tableOffset_, tableLength_}; }
  HxLockRange AppendLock() const { return {recordBase_, 1}; }
  static HxLockRange WholeFile() { return {0, kWholeFileLength}; }
  // False when the protocol has no record locks (4 or more).
  bool RecordLock(uint32_t recno, bool reverse, uint32_t headerLength, uint32_t recordLength,
                  HxLockRange& range) const;
  // False when the protocol has no memo lock (4 or more).
  bool MemoLock(HxLockRange& range) const;

 private:
  uint8_t protocol_ = 0;
  uint32_t tableOffset_ = 0x40000000;
  uint32_t recordBase_ = 0x7FFFFFFE;
  uint32_t tableLength_ = 0x3FFFFFFF;
};

// ---- the lock wait ----------------------------------------------------------

// Where the engine waits for a lock it makes up to `attempts` tries, sleeping
// `intervalMs` after each failed one (100 x 50 ms). Tests may shorten it.
struct HxLockWaitPolicy {
  int attempts = 100;
  uint32_t intervalMs = 50;
};
HxLockWaitPolicy& LockWaitPolicy();

// Runs `attempt` under the lock wait; true as soon as it succeeds.
bool WaitForLock(const std::function<bool()>& attempt);

class HXO_DiskFile;
// LockRange under the lock wait; raises "Can not Lock file %s" when the wait
// runs out, or at once when the file already holds a different range of its
// own (waiting could never help then).
void LockRangeWithWait(HXO_DiskFile& file, uint64_t offset, uint64_t length);

// ---- HXO_DiskFile -------------------------------------------------------------

class HXO_DiskFile {
 public:
  // Expands the name and notes whether the file exists; nothing is opened.
  HXO_DiskFile(const std::string& fileName, bool shared, bool readWrite);
  virtual ~HXO_DiskFile();
  HXO_DiskFile(const HXO_DiskFile&) = delete;
  HXO_DiskFile& operator=(const HXO_DiskFile&) = delete;

  // Virtual operations, in slot order.
  virtual void Close();
  virtual int64_t FileSize();
  virtual void Flush();
  virtual bool LockAll();
  virtual bool LockRange(uint64_t offset, uint64_t length);
  // Bytes read; fewer than asked at the end of the file (the caller decides).
  virtual size_t ReadAt(uint64_t offset, void* buffer, size_t count);
  virtual void RenameTo(const std::string& newName);
  virtual void Open();
  virtual void CreateNew();
  // Progress report (a phase or step code, a position, a total). Nothing here.
  virtual void EventHook(int phase, int position, int total);
  virtual void Truncate(uint64_t size);
  virtual bool Unlock();
  virtual size_t WriteAt(uint64_t offset, const void* buffer, size_t count);

  bool HasFullAccess() const;
  // One more lock level without asking the platform (used while a table lock
  // covers everything).
  void AddLockCount() { ++lockCount_; }

  const std::string& FileName() const { return fileName_; }
  bool Exists() const { return exists_; }
  bool Shared() const { return shared_; }
  bool ReadWrite() const { return readWrite_; }
  uint64_t Position() const { return position_; }
  size_t LastCount() const { return lastCount_; }
  int LockCount() const { return lockCount_; }
  uint64_t LockOffset() const { return lockOffset_; }
  uint64_t LockLength() const { return lockLength_; }
  bool Written() const { return written_; }
  bool Closed() const { return !handle_; }

  // Raises the message `id` with this file's full name as its one argument.
  [[noreturn]] void RaiseFileError(int id) const;

  // Engine end: unlocks the held range and closes the handle without raising.
  void ReleaseAtEngineEnd();

 protected:
  platform::File* Handle() const { return handle_.get(); }
  void SetFileName(const std::string& name) { fileName_ = name; }
  void SetModes(bool shared, bool readWrite) {
    shared_ = shared;
    readWrite_ = readWrite;
  }

 private:
  void DropHandle();

  std::unique_ptr<platform::File> handle_;
  std::string fileName_;
  bool exists_ = false;
  bool shared_ = false;
  bool readWrite_ = false;
  uint64_t position_ = 0;
  size_t lastCount_ = 0;
  int lockCount_ = 0;
  uint64_t lockOffset_ = 0;
  uint64_t lockLength_ = 0;
  bool written_ = false;
};
