// Types and small tools the archive engine's units share: the deflate level
// choice, the run-wide counters the streams lower, and the traditional zip
// encryption of entry data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

// Compression level of new entries (component property DeflateType).
enum TDeflateType { dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX };

// Entry actions of a run (the entry list of zarvoHeaders).
enum TEntryAction : uint8_t {
  eaCompress = 0,     // compress the file from disk
  eaCopy = 1,         // copy the entry unchanged from the old archive
  eaDrop = 2,         // leave the entry out
  eaCopyRenamed = 3,  // copy the entry from the old archive under a new name
};

// The traditional zip encryption (three 32-bit keys driven by the CRC-32
// table). Encipher and Decipher work in place; the keys advance with the plain
// bytes.
class TZipCrypto {
 public:
  explicit TZipCrypto(const std::string& password);
  void Encipher(uint8_t* buffer, size_t count);
  void Decipher(uint8_t* buffer, size_t count);
  // The 12-byte encryption header that precedes enciphered data: eleven bytes
  // from `seed` (any source of unpredictable bytes) and the high byte of the
  // entry's CRC-32 as check byte, enciphered. Call before enciphering data.
  std::array<uint8_t, 12> MakeHeader(const std::array<uint8_t, 11>& seed, uint32_t crc);

 private:
  uint8_t KeyByte() const;
  void Update(uint8_t plain);
  uint32_t k0_ = 0x12345678, k1_ = 0x23456789, k2_ = 0x34567890;
};
