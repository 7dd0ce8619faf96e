// The zip archiver: the zip record layouts, reading an existing archive back,
// copying its entries and writing the central directory.
//
// Local header (30 bytes, then the name, the optional 8-byte extension block,
// the 12-byte encryption header when encrypted, and the data):
//   0 signature 0x04034B50   4 version needed (20)   6 flags   8 method
//   10 DOS time   12 DOS date   14 CRC-32   18 compressed size (low 32)
//   22 uncompressed size (low 32)   26 name length   28 extra length
// Central record (46 bytes, then name, extra bytes, comment):
//   0 signature 0x02014B50   4 made by (20)   6 needed (20)   8..31 as the
//   local header's 6..29   32 comment length   34 disk start   36 internal
//   attributes (1)   38 external attributes   42 local header offset (low 32)
// End record (22 bytes, then the archive comment):
//   0 signature 0x06054B50   4 this disk   6 directory disk   8 entries here
//   10 entries in all   12 directory size   16 directory offset   20 comment length
// 64-bit size extension (tag 0x0064): local 8 bytes (high words of the
// compressed and uncompressed size), central 10 bytes (plus the high word of
// the local header offset).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/zarvoBase.h"
#include "archive/zarvoHeaders.h"

// Signatures and record sizes are those of zarvoHeaders.
inline constexpr uint32_t kSpanMarker = 0x08074B50;

class TZip : public TCompBase {
 public:
  explicit TZip(TComponent* owner = nullptr);
  void SetArcType(TArcType value) override;
  // An entry's central record and name as they go to disk (enciphered and
  // with the "L" signature for the header cipher); `name` is changed in place.
  std::array<uint8_t, 46> CentralForDisk(const TZipEntry& entry, std::string& name) const;

 protected:
  bool CopyRenamedEntry(TZipEntry& entry) override;
  void BuildNewCentral(TZipEntry& entry) override;
  void CompleteLocalHeader(TZipEntry& entry) override;
  void FillLocalHeaderTemplate(TZipEntry& entry) override;
  bool CompressFile(TZipEntry& entry) override;
  void FillCentralFromFile(TZipEntry& entry, const platform::FileInfo& info) override;
  bool WriteEmptyEndRecord() override;
  void DoOnEnd(const std::string& storedName, bool crcPass) override;
  bool OpenFirstEntry() override;
  int CentralRecordSize() const override { return 46; }
  int LocalHeaderSize() const override { return 30; }
  bool OpenNextEntry() override;
  uint8_t* LocalHeaderTemplate() override { return local_.data(); }
  bool ReadHeader(uint64_t offset, std::vector<uint8_t>& header) override;
  bool Write64BitExtension(TZipEntry& entry) override;
  bool ReadEntries() override;
  void CollectTotals() override;
  bool WriteCentralDirectory() override;
  void LoadEntryToRun(TZipEntry& entry) override;
  bool CopyEntry(TZipEntry& entry) override;
  void CipherLocalHeader(uint8_t* header, std::string& name) const override;

 private:
  bool CopyEntryAs(TZipEntry& entry, const std::string* newHeaderName);
  bool ReadByCentral(uint64_t endPos, const uint8_t* end, bool end64);
  void ReadByLocalHeaders();
  void ParseExtra(const uint8_t* p, size_t n, bool central, TZipEntry& entry, uint16_t* offsetHi);

  std::array<uint8_t, 30> local_{};
  uint64_t walkPos_ = 0;
};
