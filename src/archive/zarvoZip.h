// The zip archiver: the zip specifics of the compress run. Record layouts,
// Zip64, names and the single reader of existing archives live in
// zarvoHeaders; this unit fills the run's hooks with them: the local header
// of a new entry (completed in place after its data, never a data
// descriptor), reading the old archive into the run's entry list, copying its
// entries and writing the central directory.
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
  // An entry's directory record, name, extra bytes and comment as they go to
  // disk, with its local header at `localOffset` (Zip64 block when needed,
  // enciphered for the header cipher).
  std::vector<uint8_t> CentralEntryForDisk(const TZipEntry& entry, uint64_t localOffset) const;

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
  bool CopyEntryAs(TZipEntry& entry, bool renamed);

  std::array<uint8_t, 30> local_{};
  uint64_t walkPos_ = 0;
};
