// A small archive writer built only from the engine's layers (headers,
// streams, deflate), for tests that need archives before any archiver
// component is involved.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/zarvoDeflate.h"
#include "archive/zarvoFileIo.h"
#include "archive/zarvoHeaders.h"
#include "archive/zarvoStreams.h"

namespace layertest {

struct TestFile {
  TestFile(std::string name, std::string content, uint32_t dateTime = 0x5A2B6C3D, uint32_t attrs = 0x20,
           TDeflateType lvl = dtDeflateN, bool cipher = false, std::string pass = "")
      : storedName(std::move(name)),
        data(std::move(content)),
        dosDateTime(dateTime),
        attributes(attrs),
        level(lvl),
        headerCipher(cipher),
        password(std::move(pass)) {}
  std::string storedName;  // ANSI, backslash separators
  std::string data;
  uint32_t dosDateTime;  // default 2025-01-11 13:33:58
  uint32_t attributes;
  TDeflateType level;  // dtDeflateS stores
  bool headerCipher;
  std::string password;  // traditional zip encryption when set
};

// Appends each file as a new entry to `out` and returns the list (with the
// old entries of `list` first when given).
inline void AppendEntries(TStream32& out, TZipFormat& fmt, THeaderObj& list,
                          const std::vector<TestFile>& files) {
  for (const TestFile& f : files) {
    TNewEntry e;
    e.HeaderName = zarvo::HeaderNameFromStored(f.storedName, fmt.TranslateOemChar);
    e.DosDateTime = f.dosDateTime;
    e.ExternalAttributes = f.attributes;
    e.Size = f.data.size();
    e.Level = f.level;
    e.HeaderCipher = f.headerCipher;
    e.Method = (f.level == dtDeflateS || f.data.empty()) ? 0 : 8;
    e.Encrypted = !f.password.empty() && !f.data.empty();
    fmt.WriteLocalTemplate(out, e);
    TMemoryStream32 src;
    src.WriteBuffer(f.data.data(), static_cast<int64_t>(f.data.size()));
    src.SetPosition(0);
    uint32_t reg = kCrc32Preset;
    std::unique_ptr<TZipCrypto> crypto;
    if (e.Encrypted) {
      // The CRC goes first: its high byte checks the password.
      TCalcStreamCRC pre(src, nullptr, nullptr, 32, TStream32::kWholeStream);
      reg = pre.Crc();
      crypto = std::make_unique<TZipCrypto>(f.password);
      auto head = crypto->MakeHeader({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, reg ^ 0xFFFFFFFFu);
      out.WriteBuffer(head.data(), 12);
    }
    if (e.Method == 0) {
      TStoreStream store(out, 32, nullptr, &src);
      store.SetCipher(crypto.get());
      store.CopyFromStore(src, TStream32::kWholeStream);
      if (!crypto) reg = store.Crc();
    } else {
      TCompressStream z(out, DeflateLevel(f.level), -15, nullptr, nullptr);
      z.SetCipher(crypto.get());
      z.CopyFrom(src, TStream32::kWholeStream);
      z.Release();
      if (!crypto) reg = z.Crc();
    }
    e.Crc = reg ^ 0xFFFFFFFFu;
    fmt.CompleteLocalHeader(out, e);
    THeaderEntry entry;
    entry.Name = f.storedName;
    entry.Rec.Action = eaCompress;
    fmt.BuildCentral(e, entry);
    list.Add(entry);
  }
}

// Writes a new archive at `dosPath`; false when anything failed.
inline bool WriteArchive(const std::string& dosPath, const std::vector<TestFile>& files,
                         const std::string& comment = "", bool translateOem = true) {
  TFileStream32 out(dosPath, fmCreate);
  if (!out.Valid()) return false;
  TZipFormat fmt;
  fmt.TranslateOemChar = translateOem;
  THeaderObj list;
  list.ArchiveComment = comment;
  AppendEntries(out, fmt, list, files);
  return fmt.WriteCentralDirectory(out, list) && !out.WriteFailed();
}

}  // namespace layertest
