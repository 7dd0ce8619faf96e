// The archive engine's streams.
//
//   TStream32                     64-bit positions, progress hook, cancel flag,
//    |                            the general copy (61,440-byte chunks)
//    +- THandleStream32           a platform file (not owned), positioned I/O
//    |   +- TFileStream32         opens a file by name and owns it
//    |       +- TTempFileStream   the run's temporary output in a file; replaces
//    |                            the archive when released with Commit set
//    +- TCustomMemoryStream32     a memory block
//    |   +- TMemoryStream32       growing block (capacity in 8,192-byte steps)
//    |       +- TTempMemStream    the run's temporary output in memory
//    +- TCustomStream             write-only filter onto a target stream with a
//        |                        65,536-byte work buffer and a CRC register
//        +- TCompressStream       deflates (zarvoDeflate)
//        +- TStoreStream          stores (102,400-byte copy chunks)
//        +- TCalcStreamCRC        only checksums
//
// Copies serve the application's message queue before every chunk and stop as
// soon as the destination's cancel flag is set. A copy of length 0 copies
// nothing; the whole of a source is asked for with kWholeStream.
//
// The temporary outputs never let a broken archive replace a good one: an
// output whose writing failed (or that was marked failed) is deleted when
// released, an output not marked for commit is deleted, and the destructor of
// an output that was never released deletes it. The archive itself is only
// ever replaced by a rename of a complete file. Temporary files are
// registered with the platform's signal service while they exist, so an
// interrupted process (SIGINT, SIGTERM, SIGHUP) leaves none behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/zarvoGbls.h"

namespace platform {
class File;
}
class TZarvoDeflater;

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// File open modes (the framework's values). fmCreate creates or empties.
enum : uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmShareExclusive = 0x0010,
  fmShareDenyWrite = 0x0020,
  fmShareDenyNone = 0x0040,
  fmCreate = 0xFFFF,
};

class TStream32 {
 public:
  static constexpr int64_t kWholeStream = -1;
  static constexpr size_t kCopyChunk = 61440;

  virtual ~TStream32() = default;

  // Bytes read / written (0 on error for file streams, -1 where the stream
  // cannot read at all).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // The new position, -1 when refused.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  // Raises EWriteError when the size cannot be set.
  virtual void SetSize(int64_t size);

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }

  // Raise EReadError / EWriteError when fewer bytes move than asked.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);

  // Copies `count` bytes from the source's position (kWholeStream: all of it
  // from position 0) in 61,440-byte chunks. Returns the bytes copied, less
  // than asked only when the cancel flag stopped it; a short read or write
  // raises EReadError / EWriteError.
  int64_t CopyFrom(TStream32& source, int64_t count);

  // The progress hook; the run computes its percentages from the stream it
  // is handed (a source stream's position, a compressor's bytes consumed).
  std::function<void(TStream32& stream)> Progress;
  // The run's cancel flag (not owned; may be null).
  const bool* CancelFlag = nullptr;
  bool Cancelled() const { return CancelFlag && *CancelFlag; }

 protected:
  int64_t CopyChunked(TStream32& source, int64_t count, size_t chunk);
};

// ---- files ----

class THandleStream32 : public TStream32 {
 public:
  explicit THandleStream32(platform::File* file);
  // -1 when there is no file (opening failed); callers test this instead of
  // catching an exception.
  int Handle() const;
  bool Valid() const { return file_ != nullptr; }
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;
  // Positioned I/O that leaves the stream position alone.
  int64_t ReadAt(uint64_t offset, void* buffer, size_t count);
  // True once any write came up short or failed.
  bool WriteFailed() const { return writeFailed_; }

 protected:
  platform::File* file_;
  int64_t position_ = 0;
  bool writeFailed_ = false;
};

class TFileStream32 : public THandleStream32 {
 public:
  // mode: fmCreate, or an access mode or-ed with a share mode.
  TFileStream32(const std::string& fileName, uint16_t mode);
  ~TFileStream32() override;
  const std::string& FileName() const { return fileName_; }
  // Closes the file; the stream is invalid afterwards.
  void Close();

 protected:
  std::string fileName_;
  std::unique_ptr<platform::File> owned_;
};

// A unique temporary name: in `tempDir` when it names an existing folder,
// else in the system temporary folder (created with its parents when
// missing); prefix "zarvo" (the platform keeps its first three letters). The
// empty file is created. Empty on failure.
std::string MakeTempFileName(const std::string& tempDir);

// What a temporary output needs from the component that owns it.
struct TTempOutputHooks {
  std::function<void(const std::string& archive, const std::string& tempFileName)> OnTmpFileMoveBegin;
  std::function<void()> OnTmpFileMoveEnd;
  // ReportError(FileName, ExtendedMsg, ECode) of the component.
  std::function<void(const std::string& fileName, const std::string& extendedMsg, int eCode)> ReportError;
  // The component's current-file size, total bytes and remaining byte count.
  int64_t* CurrentFileSize = nullptr;
  int64_t* TotalBytes = nullptr;
  int64_t* Remaining = nullptr;
  // True when the component's OnTmpFileProgress is assigned: only then does
  // the replacement raise the stream's Progress hook.
  bool ProgressEnabled = false;
};

class TTempFileStream : public TFileStream32 {
 public:
  // Creates a temporary file (MakeTempFileName) bound to `archiveName`, marked
  // for commit. Valid() is false when no temporary file could be made.
  TTempFileStream(const std::string& archiveName, const std::string& tempDir, int deleteOption = 0);
  // Deletes the temporary file when it was not released.
  ~TTempFileStream() override;

  const std::string& ArchiveName() const { return archiveName_; }
  const std::string& TempFileName() const { return fileName_; }
  bool Commit() const { return commit_; }
  void SetCommit(bool value) { commit_ = value; }
  int DeleteOption() const { return deleteOption_; }
  // A failed output is never committed. Short writes mark it themselves.
  void MarkFailed() { writeFailed_ = true; }
  bool Failed() const { return writeFailed_; }

  // Reading lowers the remaining byte count by the count asked and raises
  // Progress when enabled.
  int64_t Read(void* buffer, int64_t count) override;
  // The temporary file's own copy routine (100,000-byte chunks).
  int64_t CopyFromTemp(TStream32& source, int64_t count);

  // Marked for commit and sound: replaces the archive and returns true
  // (OnTmpFileMoveBegin, the replacement, OnTmpFileMoveEnd). On the archive's
  // drive the temporary file is renamed over it; on another drive it is
  // first copied into a temporary file beside the archive, which is then
  // renamed. Not marked or failed: the temporary file is deleted, the archive
  // is not touched, false. The temporary file is gone afterwards in every
  // case. Raises EFOpenError / EWriteError when the replacement fails (the
  // archive stays as it was); a disk-full failure reports 25160 first.
  bool Release();

  TTempOutputHooks Hooks;

 private:
  void Discard();
  std::string archiveName_;
  bool commit_ = true;
  bool released_ = false;
  int deleteOption_ = 0;
  int signalToken_ = -1;  // removed on SIGINT/SIGTERM/SIGHUP while registered
};

// ---- memory ----

class TCustomMemoryStream32 : public TStream32 {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;  // 0: fixed block
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  const uint8_t* Memory() const { return memory_; }
  uint8_t* Memory() { return memory_; }

 protected:
  void SetPointer(uint8_t* memory, int64_t size);
  uint8_t* memory_ = nullptr;
  int64_t size_ = 0;
  int64_t position_ = 0;
};

class TMemoryStream32 : public TCustomMemoryStream32 {
 public:
  TMemoryStream32() = default;
  ~TMemoryStream32() override;
  int64_t Write(const void* buffer, int64_t count) override;
  void SetSize(int64_t size) override;
  int64_t Capacity() const { return capacity_; }
  // Grows to the request rounded up to 8,192 bytes; 0 frees the block.
  // Raises EStreamError "Out of memory while expanding memory stream".
  void SetCapacity(int64_t capacity);
  void Clear();

 private:
  std::unique_ptr<uint8_t[]> block_;
  int64_t capacity_ = 0;
};

class TTempMemStream : public TMemoryStream32 {
 public:
  explicit TTempMemStream(const std::string& archiveName, int deleteOption = 0);
  ~TTempMemStream() override = default;
  const std::string& ArchiveName() const { return archiveName_; }
  bool Commit() const { return commit_; }
  void SetCommit(bool value) { commit_ = value; }
  int DeleteOption() const { return deleteOption_; }
  void MarkFailed() { failed_ = true; }
  bool Failed() const { return failed_; }
  // As TTempFileStream::Read: lowers the remaining byte count by the count
  // asked and raises Progress when enabled.
  int64_t Read(void* buffer, int64_t count) override;
  // As TTempFileStream::Release: the memory goes to a temporary file beside
  // the archive, which is renamed over it. The memory is freed in every case.
  bool Release();

  TTempOutputHooks Hooks;

 private:
  std::string archiveName_;
  bool commit_ = true;
  bool failed_ = false;
  bool released_ = false;
  int deleteOption_ = 0;
};

// ---- filters ----

class TCustomStream : public TStream32 {
 public:
  static constexpr size_t kWorkBufferSize = 65536;

  // Output continues at the target's current position; a null target
  // discards the output. `remaining` is the run's remaining byte count (may
  // be null).
  TCustomStream(TStream32* target, int64_t* remaining);
  int64_t Read(void*, int64_t) override { return -1; }
  // Only (0, soCurrent) is answered, with the bytes written so far; -1
  // otherwise. An offset outside the signed 32-bit range raises EStreamError.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return written_; }

  // The un-finished CRC register (CRC-32 preset 0xFFFFFFFF, CRC-16 preset 0).
  uint32_t Crc() const { return crc_; }
  void SetCrc(uint32_t value) { crc_ = value; }
  int CrcWidth() const { return crcWidth_; }
  // With a cipher set, data is enciphered before it reaches the target and
  // the CRC is not updated (it was computed by a separate pass).
  void SetCipher(TZipCrypto* cipher) { cipher_ = cipher; }
  bool Encrypting() const { return cipher_ != nullptr; }
  // Where this stream's output continues in the target.
  int64_t TargetPosition() const { return targetPos_; }
  int64_t BytesWritten() const { return written_; }

 protected:
  void UpdateCrc(const void* data, size_t count);
  // Enciphers (when encrypting) and writes to the target at the target
  // position, moving the target back there first; raises EWriteError.
  void Emit(const uint8_t* data, size_t count);

  TStream32* target_;
  int64_t targetPos_;
  int64_t written_ = 0;
  int64_t* remaining_;
  std::vector<uint8_t> work_;
  uint32_t crc_ = 0xFFFFFFFFu;
  int crcWidth_ = 32;
  TZipCrypto* cipher_ = nullptr;
};

class TCompressStream : public TCustomStream {
 public:
  // Deflates at zlib `level` with `windowBits` (the engine uses -15).
  TCompressStream(TStream32& target, int level, int windowBits, int64_t* remaining, const bool* cancel);
  ~TCompressStream() override;
  int64_t Write(const void* buffer, int64_t count) override;
  // Finishes the deflate stream (Z_FINISH) and writes the rest. zlib's state
  // is freed by the destructor whatever happens.
  void Release();
  // Bytes zlib has consumed (ProgressByFile follows them).
  uint64_t TotalIn() const;

 private:
  std::unique_ptr<TZarvoDeflater> deflater_;
};

class TStoreStream : public TCustomStream {
 public:
  static constexpr size_t kStoreChunk = 102400;
  // `source` is what progress is reported on (may be null).
  TStoreStream(TStream32& target, int crcWidth, int64_t* remaining, TStream32* source);
  int64_t Write(const void* buffer, int64_t count) override;
  // The store path's copy (102,400-byte chunks); kWholeStream copies the
  // whole source from 0.
  int64_t CopyFromStore(TStream32& source, int64_t count);

 private:
  TStream32* source_;
};

// Computes the CRC of `count` bytes of `source` (kWholeStream: all of it from
// 0) on construction, lowering the remaining count and raising `progress`
// with the source when a hook is given, then rewinds the source.
class TCalcStreamCRC : public TCustomStream {
 public:
  TCalcStreamCRC(TStream32& source, std::function<void(TStream32&)> progress, const bool* cancel,
                 int crcWidth, int64_t count, int64_t* remaining = nullptr);
  int64_t Write(const void* buffer, int64_t count) override;
  // The finished checksum (CRC-32 xor-ed, CRC-16 as is).
  uint32_t FinishedCrc() const { return crcWidth_ == 32 ? crc_ ^ 0xFFFFFFFFu : crc_; }
  bool Complete() const { return complete_; }

 private:
  TStream32& source_;
  bool complete_ = false;
};
