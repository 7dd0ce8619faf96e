// Memo files: the variable-length contents of M, B and G fields, kept beside
// the table. The record holds the number of the memo's first block.
//
// Block n occupies bytes n * block size .. (n + 1) * block size - 1; block 0
// holds the file header, and a field value of 0 means "no memo".
//
// dBase III .dbt (HXobjMemo), little-endian, block size always 512
//    0  4  next free block (where the next appended memo starts)
//    4  4  zero
//    8  8  first 8 characters of the table's base name, zero-padded
//   16 496 zero
//   memo: the data, then 0x1A 0x1A, zero-padded to a block boundary. An
//   enciphered table puts the data's length (4 bytes) in front of it.
//   A new file is the 512-byte header and one 0x1A.
//
// dBase IV .dbt (HXobjMemo4), little-endian
//    0  4  head of the free-chunk list (at or beyond the blocks in the file:
//          no free chunk, new memos go at the end)
//    4  4  zero
//    8  8  first 8 characters of the table's base name
//   16  2  zero          18  1  0x02          19  1  0x01
//   20  4  block size (512 from our builder)
//   memo block header: FF FF, 16-bit 8 (header size), 32-bit data length + 8
//   free chunk:        32-bit next free chunk, 32-bit length in blocks
//
// FoxPro .fpt (HXobjFXMemo20), big-endian
//    0  4  next free block
//    4  2  zero
//    6  2  block size (64 from our builder)
//    8 504 zero
//   memo block header: 32-bit type (1 text; 0 picture accepted on reading),
//   32-bit data length. A new file is 512 bytes, next free 8, block size 64.
//
// Nothing read from a memo file is trusted: block numbers, lengths and free
// chunks are checked against the file's size before they are used, and a
// value that does not fit is "Memo record is bad in %s".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tables/hx6_disk.h"

class HXO_dBaseDBF;

class HXobjMemo : public HXO_DiskFile {
 public:
  // Opens the dBase III memo file `fileName` of `table` with the table's modes.
  HXobjMemo(HXO_dBaseDBF& table, const std::string& fileName);
  ~HXobjMemo() override;

  // The memo object for `table` by its version byte (0x83 dBase III, 0x8B
  // dBase IV, 0xF5 and 0x30 FoxPro), opened on the file beside the table.
  // nullptr for a version without memo files. A missing file raises
  // "File %s could not be found".
  static std::unique_ptr<HXobjMemo> OpenFor(HXO_dBaseDBF& table);
  // The memo file's name for a table: ".fpt" for 0x30 and 0xF5, ".dbt" for
  // 0x83 and 0x8B, spelled as the file on disk is when one exists.
  static std::string MemoFileName(const std::string& tableName, uint8_t version);

  // Bytes of data in the memo at `block` (0 for block 0).
  uint32_t MemoLength(uint32_t block);
  // Reads up to `length` bytes of the memo at `block`; `length` becomes the
  // number of bytes read.
  void GetMemo(void* buffer, uint32_t block, size_t& length);
  // The whole memo at `block`.
  std::string ReadMemo(uint32_t block);
  // Writes `length` bytes as the memo that was at `block` (0: none), in place
  // when it still fits, else at a new place. Returns the block where it now
  // starts and stores it in `block`.
  uint32_t PutMemo(const void* data, uint32_t& block, size_t length);

  // ---- type-specific operations, in slot order ----
  // Chooses CurrentBlock() for a memo of `length` bytes and prepares the
  // block header.
  virtual void AllocateBlocks(size_t length);
  virtual void FreeBlocks(uint32_t block);
  // Writes what follows the data into the image at `position`.
  virtual void PutTerminator(uint8_t* image, size_t position);
  // Checks the block header read into the header buffer; false when it is
  // not a memo. `size` receives the memo's size including the block header.
  virtual bool CheckBlockHeader(uint64_t& size);
  virtual void SetLockProtocol(uint8_t protocol);
  // Renames the memo file to the new table name with its own extension.
  virtual void RenameWithTable(const std::string& newTableName);

  // "dBase III", "dBase IV", "FoxPro".
  virtual const char* FormatName() const { return "dBase III"; }

  uint32_t BlockSize() const { return blockSize_; }
  uint32_t BlockHeaderSize() const { return blockHeaderSize_; }
  uint32_t CurrentBlock() const { return currentBlock_; }
  uint32_t BlocksInUse() const { return blocksInUse_; }
  const HxLockOffsets& LockOffsets() const { return lock_; }

 protected:
  HXobjMemo(HXO_dBaseDBF& table, const std::string& fileName, uint32_t blockHeaderSize);

  // The memo's size at `block` including its block header (enciphered
  // dBase III: the data length); raises "Memo record is bad in %s".
  uint64_t MemoSize(uint32_t block);
  // Reads `count` bytes at `offset`; what lies past the end of the file reads as zeros.
  void ReadPadded(uint64_t offset, uint8_t* buffer, size_t count);
  [[noreturn]] void RaiseBad() const;
  // Blocks needed for `bytes` bytes.
  uint64_t BlocksFor(uint64_t bytes) const { return (bytes + blockSize_ - 1) / blockSize_; }
  // Blocks the file covers, counting a partly filled last block.
  uint64_t BlocksInFile();
  // Writes the first 8 characters of the table's base name at header byte 8.
  void WriteTableName(const std::string& tableName);
  bool TableEnciphered() const;

  HXO_dBaseDBF& table_;
  uint8_t version_ = 0;
  uint32_t blockSize_ = 512;
  uint32_t blockHeaderSize_ = 0;
  uint32_t currentBlock_ = 0;
  uint32_t blocksInUse_ = 0;
  uint8_t header_[32] = {};      // file header or block header as last read
  uint8_t blockHeader_[8] = {};  // the block header of the memo being written
  HxLockOffsets lock_;
};

class HXobjMemo4 : public HXobjMemo {
 public:
  HXobjMemo4(HXO_dBaseDBF& table, const std::string& fileName);
  void AllocateBlocks(size_t length) override;
  void FreeBlocks(uint32_t block) override;
  void PutTerminator(uint8_t* image, size_t position) override;
  bool CheckBlockHeader(uint64_t& size) override;
  const char* FormatName() const override { return "dBase IV"; }
};

class HXobjFXMemo20 : public HXobjMemo {
 public:
  HXobjFXMemo20(HXO_dBaseDBF& table, const std::string& fileName);
  void AllocateBlocks(size_t length) override;
  void PutTerminator(uint8_t* image, size_t position) override;
  bool CheckBlockHeader(uint64_t& size) override;
  void RenameWithTable(const std::string& newTableName) override;
  const char* FormatName() const override { return "FoxPro"; }
};
