// Deflate compression and the checksums of the archive engine.
//
// Every deflated entry goes through zlib with fixed parameters: method
// Z_DEFLATED, window bits -15 (raw deflate: 32 KiB window, no zlib header, no
// Adler-32 trailer), memory level 8, the default strategy, and the level that
// DeflateType selects:
//
//   DeflateType   zlib level   general-purpose flag bits 1-2
//   dtDeflateS    0            6 (such entries are stored instead, method 0)
//   dtDeflateF    1            4
//   dtDeflateN    -1 (= 6)     0
//   dtDeflateX    9            2
//
// CRC-32 is the zip checksum (reflected polynomial 0xEDB88320, preset and
// final xor 0xFFFFFFFF; "123456789" gives 0xCBF43926). The writers keep the
// un-finished register (preset 0xFFFFFFFF, not yet xor-ed) and the run
// finishes it. CRC-16/ARC (reflected 0xA001, preset 0, no final xor;
// "123456789" gives 0xBB3D) serves other archive formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "archive/zarvoGbls.h"

// ---- levels ----
int DeflateLevel(TDeflateType type);
uint16_t DeflateFlagBits(TDeflateType type);

// ---- checksums ----
inline constexpr uint32_t kCrc32Preset = 0xFFFFFFFFu;
// Advances an un-finished CRC-32 register over `count` bytes.
uint32_t UpdateCrc32(uint32_t reg, const void* data, size_t count);
// One byte through the CRC-32 table (the zip encryption keys use it).
uint32_t Crc32Byte(uint32_t reg, uint8_t byte);
// The finished CRC-32 of a buffer (0 for no data).
uint32_t Crc32(const void* data, size_t count);
// The finished CRC-32 of A followed by B, from the finished CRC-32s of both
// and B's length (zlib's crc32_combine).
uint32_t Crc32Combine(uint32_t crcA, uint32_t crcB, uint64_t lengthB);
// CRC-16/ARC register update (preset 0, nothing to finish).
uint16_t UpdateCrc16(uint16_t reg, const void* data, size_t count);
inline uint16_t Crc16(const void* data, size_t count) { return UpdateCrc16(0, data, count); }

// ---- the deflating writer ----
//
// Owns zlib's state for one entry (allocated zero-filled, freed by the
// destructor whatever happened) and a 65,536-byte output buffer. Write hands
// bytes to deflate with Z_NO_FLUSH and empties the buffer through Sink each
// time it fills; Finish drives Z_FINISH until the stream end and writes what
// is left. Both stop feeding as soon as *Cancel turns true.
class TZarvoDeflater {
 public:
  static constexpr size_t kOutBufferSize = 65536;

  // Throws EStreamError when zlib cannot set itself up (lack of memory).
  explicit TZarvoDeflater(int level, int windowBits = -15);
  ~TZarvoDeflater();
  TZarvoDeflater(const TZarvoDeflater&) = delete;
  TZarvoDeflater& operator=(const TZarvoDeflater&) = delete;

  // Receives every filled part of the output buffer; throws on failure.
  std::function<void(uint8_t* data, size_t count)> Sink;
  // Called after every deflate step of Write with the bytes consumed so far.
  std::function<void(uint64_t totalIn)> OnProgress;
  // The run's cancel flag and remaining byte count (both optional).
  const bool* Cancel = nullptr;
  int64_t* Remaining = nullptr;

  // Returns `count` (what the caller handed in), as a stream write does.
  size_t Write(const void* data, size_t count);
  // Flushes the stream end. Calling it twice does nothing the second time.
  void Finish();

  uint64_t TotalIn() const;
  uint64_t TotalOut() const;
  bool Finished() const { return finished_; }

 private:
  bool Cancelled() const { return Cancel && *Cancel; }
  void EmptyBuffer(size_t count);
  struct State;
  std::unique_ptr<State> s_;
  bool finished_ = false;
};

// Deflates a whole buffer in one go with the engine's parameters (raw
// deflate at `level`). Used for small sources and by tests.
std::unique_ptr<uint8_t[]> DeflateBuffer(const void* data, size_t count, int level, size_t& outCount);
