#include "archive/zarvoHeaders.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/Err_Msgs.h"
#include "archive/archive_layers_support.h"
#include "archive/zarvoFileIo.h"
#include "archive/zarvoStreams.h"
#include "framework/exceptions.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

using layertest::TestFile;

namespace {

uint32_t LE32(const std::string& s, size_t o) {
  return zarvo::GetLE32(reinterpret_cast<const uint8_t*>(s.data() + o));
}
uint16_t LE16(const std::string& s, size_t o) {
  return zarvo::GetLE16(reinterpret_cast<const uint8_t*>(s.data() + o));
}

struct Reader {
  TCompHeaderObj list;
  std::vector<std::pair<std::string, int>> reports;
  int Read(const std::string& dos) {
    TFileStream32 in(dos, fmOpenRead | fmShareDenyWrite);
    EXPECT_TRUE(in.Valid());
    TZipFormat fmt;
    fmt.ArchiveName = dos;
    fmt.ReportError = [&](const std::string& f, const std::string&, int code) {
      reports.emplace_back(f, code);
    };
    return fmt.ReadArchive(in, list);
  }
};

std::vector<TestFile> SampleFiles() {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + " of the table\r\n";
  return {
      {"readme.txt", text, 0x5A2B6C3D, 0x20, dtDeflateN, false},
      {"data\\tiny.bin", "xyz", 0x4C211000, 0x21, dtDeflateX, false},
      {"data\\empty.dat", "", 0x4C211000, 0x20, dtDeflateN, false},
      {"stored.zip", text.substr(0, 500), 0x4C211000, 0x20, dtDeflateS, false},
      {"fast.txt", text, 0x4C211000, 0x20, dtDeflateF, false},
  };
}

}  // namespace

TEST(ZarvoErrMsgs, EveryNumberHasItsText) {
  EXPECT_EQ(LoadErrorMsg(25170), "is not accessible");
  EXPECT_EQ(LoadErrorMsg(25171), "disk is write protected");
  EXPECT_EQ(LoadErrorMsg(25443), "User canceled");
  EXPECT_EQ(LoadErrorMsg(25271), "Required property not assigned");
  EXPECT_EQ(LoadErrorMsg(25270), "Required event not assigned");
  EXPECT_EQ(LoadErrorMsg(26859), "Nothing to do");
  EXPECT_EQ(LoadErrorMsg(25268), "Nothing to do");
  EXPECT_EQ(LoadErrorMsg(25235), "Error opening file");
  EXPECT_EQ(LoadErrorMsg(25136), "Error writing to file");
  EXPECT_EQ(LoadErrorMsg(25160), "Disk full");
  EXPECT_EQ(LoadErrorMsg(26899), "Directory does not exist... Create?");
  EXPECT_EQ(LoadErrorMsg(25154), "Error writing spanned-disk label");
  EXPECT_FALSE(IsKnownErrorMsg(12345));
  EXPECT_EQ(LoadErrorMsg(12345), "Error 12345");
}

TEST(ZarvoHeaders, WrittenArchiveHasTheDocumentedBytesAndReadsBack) {
  TempDrive t('T');
  auto files = SampleFiles();
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("a.zip"), files, "the comment"));
  const std::string z = ReadHostFile(t.Host("a.zip"));

  // First local header: completed in place, no data descriptor.
  EXPECT_EQ(LE32(z, 0), kLocalSig);
  EXPECT_EQ(LE16(z, 4), 20);
  EXPECT_EQ(LE16(z, 6), 0);  // dtDeflateN: no level bits
  EXPECT_EQ(LE16(z, 8), 8);
  EXPECT_EQ(LE16(z, 10), 0x6C3D);
  EXPECT_EQ(LE16(z, 12), 0x5A2B);
  EXPECT_EQ(LE32(z, 14), Crc32(files[0].data.data(), files[0].data.size()));
  EXPECT_EQ(LE32(z, 22), files[0].data.size());
  EXPECT_EQ(LE16(z, 26), 10);
  EXPECT_EQ(LE16(z, 28), 0);
  EXPECT_EQ(z.substr(30, 10), "readme.txt");

  Reader r;
  ASSERT_EQ(r.Read(t.Dos("a.zip")), 5);
  EXPECT_TRUE(r.reports.empty());
  EXPECT_TRUE(r.list.EndRecordFound);
  EXPECT_FALSE(r.list.Damaged);
  EXPECT_EQ(r.list.ArchiveComment, "the comment");
  EXPECT_EQ(r.list.FirstEntryOffset, 0u);
  for (int i = 0; i < 5; ++i) {
    const THeaderEntry& e = r.list[i];
    SCOPED_TRACE(e.Name);
    EXPECT_EQ(e.Name, files[static_cast<size_t>(i)].storedName);
    EXPECT_EQ(e.UnpackedSize(), files[static_cast<size_t>(i)].data.size());
    EXPECT_EQ(e.Crc32(),
              Crc32(files[static_cast<size_t>(i)].data.data(), files[static_cast<size_t>(i)].data.size()));
    EXPECT_EQ(e.DosDateTime(), files[static_cast<size_t>(i)].dosDateTime);
    EXPECT_EQ(e.ExternalAttributes(), files[static_cast<size_t>(i)].attributes);
    EXPECT_EQ(e.InternalAttributes(), 1);
    EXPECT_EQ(e.VersionMadeBy(), 20);
    EXPECT_EQ(e.Rec.Action, eaCopy);
  }
  EXPECT_EQ(r.list[1].HeaderName, "data/tiny.bin");
  EXPECT_EQ(r.list[1].Flags(), 2);  // dtDeflateX
  EXPECT_EQ(r.list[2].Method(), 0);
  EXPECT_EQ(r.list[2].PackedSize(), 0u);
  EXPECT_EQ(r.list[2].Crc32(), 0u);
  EXPECT_EQ(r.list[3].Method(), 0);
  EXPECT_EQ(r.list[3].Flags(), 0);
  EXPECT_EQ(r.list[3].PackedSize(), 500u);
  EXPECT_EQ(r.list[4].Flags(), 4);  // dtDeflateF
  EXPECT_EQ(r.list.IndexOfName("DATA\\TINY.BIN"), 1);

  // Names outside ASCII go to the OEM code page and come back.
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("oem.zip"), {{"Caf\xE9\\r\xE9sum\xE9.txt", "x"}}));
  const std::string o = ReadHostFile(t.Host("oem.zip"));
  EXPECT_EQ(o.substr(30, 15), "Caf\x82/r\x82sum\x82.txt");
  Reader r2;
  ASSERT_EQ(r2.Read(t.Dos("oem.zip")), 1);
  EXPECT_EQ(r2.list[0].Name, "Caf\xE9\\r\xE9sum\xE9.txt");
}

TEST(ZarvoHeaders, HeaderCipherRoundTrips) {
  TempDrive t('T');
  std::vector<TestFile> files = {{"secret\\a.txt", "alpha alpha alpha", 0x4C211000, 0x20, dtDeflateN, true},
                                 {"plain.txt", "beta", 0x4C211000, 0x20, dtDeflateN, false}};
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("c.zip"), files));
  const std::string z = ReadHostFile(t.Host("c.zip"));
  EXPECT_EQ(LE32(z, 0), kLocalSigL);
  EXPECT_EQ(z.find("secret/a.txt"), std::string::npos) << "name left in clear";
  EXPECT_NE(z.find("plain.txt"), std::string::npos);
  Reader r;
  ASSERT_EQ(r.Read(t.Dos("c.zip")), 2);
  EXPECT_EQ(r.list[0].Name, "secret\\a.txt");
  EXPECT_TRUE(r.list[0].Rec.HeaderCipher);
  EXPECT_EQ(r.list[0].UnpackedSize(), 17u);
  EXPECT_FALSE(r.list[1].Rec.HeaderCipher);

  uint8_t buf[300];
  for (size_t i = 0; i < sizeof buf; ++i) buf[i] = static_cast<uint8_t>(i);
  HeaderCipher(buf, sizeof buf);
  HeaderCipher(buf, sizeof buf);
  for (size_t i = 0; i < sizeof buf; ++i) ASSERT_EQ(buf[i], static_cast<uint8_t>(i));
}

TEST(ZarvoHeaders, CopyingOldEntriesAndRenaming) {
  TempDrive t('T');
  auto files = SampleFiles();
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("old.zip"), files, "keep me"));
  const std::string old = ReadHostFile(t.Host("old.zip"));
  Reader r;
  ASSERT_EQ(r.Read(t.Dos("old.zip")), 5);

  TFileStream32 in(t.Dos("old.zip"), fmOpenRead | fmShareDenyWrite);
  TFileStream32 out(t.Dos("new.zip"), fmCreate);
  out.WriteBuffer("STUB", 4);  // entries land at new offsets
  TZipFormat fmt;
  fmt.ArchiveName = t.Dos("old.zip");
  r.list[2].Rec.Action = eaDrop;
  for (int i = 0; i < r.list.Count(); ++i) {
    if (r.list[i].Rec.Action == eaDrop) continue;
    std::string renamed = "renamed.txt";
    ASSERT_TRUE(fmt.CopyEntry(in, out, r.list[i], i == 4 ? &renamed : nullptr));
  }
  // One new entry after the old ones.
  layertest::AppendEntries(out, fmt, r.list, {{"added.txt", "new content"}});
  ASSERT_TRUE(fmt.WriteCentralDirectory(out, r.list));
  out.Close();

  Reader back;
  ASSERT_EQ(back.Read(t.Dos("new.zip")), 5);
  EXPECT_EQ(back.list.ArchiveComment, "keep me");
  EXPECT_EQ(back.list[0].Name, "readme.txt");
  EXPECT_EQ(back.list[0].Rec.LocalOffset, 4u);
  EXPECT_EQ(back.list[2].Name, "stored.zip");
  EXPECT_EQ(back.list[3].Name, "renamed.txt");
  EXPECT_EQ(back.list[4].Name, "added.txt");
  const std::string nz = ReadHostFile(t.Host("new.zip"));
  // The old entry's bytes are carried unchanged.
  EXPECT_EQ(nz.substr(4, static_cast<size_t>(r.list[1].Rec.LocalOffset - 4)),
            old.substr(0, static_cast<size_t>(30 + 10 + back.list[0].PackedSize())));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(back.list[i].Crc32(), r.list[i < 2 ? i : i + 1].Crc32());
    EXPECT_EQ(LE32(nz, static_cast<size_t>(back.list[i].Rec.LocalOffset)), kLocalSig);
  }
}

TEST(ZarvoHeaders, MalformedArchivesAreReadAsFarAsTheyAreSoundAndMarkedDamaged) {
  TempDrive t('T');
  auto files = SampleFiles();
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("good.zip"), files, "cmt"));
  const std::string good = ReadHostFile(t.Host("good.zip"));
  Reader gr;
  ASSERT_EQ(gr.Read(t.Dos("good.zip")), 5);
  const size_t dirOff = LE32(good, good.size() - 22 - 3 + 16);

  {
    // Only an end record: recognised, no entries.
    std::string e(22, '\0');
    e[0] = 'P', e[1] = 'K', e[2] = 5, e[3] = 6;
    WriteHostFile(t.Host("end.zip"), e);
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("end.zip")), 0);
    EXPECT_TRUE(r.list.EndRecordFound);
    EXPECT_FALSE(r.list.Damaged);
  }
  {
    // Cut at every length: never more than was there, never a crash, and
    // every entry found lies wholly inside the file.
    for (size_t cut = 0; cut < good.size(); cut += (cut < 200 ? 1 : 97)) {
      WriteHostFile(t.Host("cut.zip"), good.substr(0, cut));
      Reader r;
      int n = r.Read(t.Dos("cut.zip"));
      ASSERT_LE(n, 5);
      // A cut archive is never taken for a sound one (nothing at all is an
      // empty file, not an archive).
      EXPECT_EQ(r.list.Damaged, cut > 0) << cut;
      for (int i = 0; i < n; ++i)
        ASSERT_LE(r.list[i].Rec.LocalOffset + 30 + r.list[i].HeaderName.size() + r.list[i].PackedSize(), cut);
    }
    // Cut inside the directory: the local walk finds the entries before it.
    WriteHostFile(t.Host("cut.zip"), good.substr(0, dirOff + 10));
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("cut.zip")), 5);
    EXPECT_FALSE(r.list.EndRecordFound);
    EXPECT_TRUE(r.list.Damaged);
    EXPECT_NE(r.list.DamageReason.find("no end record"), std::string::npos) << r.list.DamageReason;
  }
  {
    // A directory offset past the end: the end record does not add up and
    // the local headers are walked instead.
    std::string b = good;
    zarvo::PutLE32(reinterpret_cast<uint8_t*>(b.data() + b.size() - 25 + 16), 0x7FFFFFF0u);
    WriteHostFile(t.Host("bogus.zip"), b);
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("bogus.zip")), 5);
    EXPECT_TRUE(r.list.Damaged);
  }
  {
    // A huge name length in the second central record ends the walk there.
    std::string b = good;
    size_t second = dirOff + 46 + 10;
    ASSERT_EQ(LE32(b, second), kCentralSig);
    zarvo::PutLE16(reinterpret_cast<uint8_t*>(b.data() + second + 28), 0xFFFF);
    WriteHostFile(t.Host("name.zip"), b);
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("name.zip")), 1);
    EXPECT_TRUE(r.list.Damaged);
    EXPECT_EQ(r.list.DamageReason, "central record 2 runs past the central directory");
  }
  {
    // A central record without a name: no peer reads such an archive back.
    std::string b = good;
    size_t second = dirOff + 46 + 10;
    zarvo::PutLE16(reinterpret_cast<uint8_t*>(b.data() + second + 28), 0);
    // The name bytes that followed now count as its extra bytes and comment.
    zarvo::PutLE16(reinterpret_cast<uint8_t*>(b.data() + second + 32),
                   static_cast<uint16_t>(LE16(b, second + 32) + 13));
    WriteHostFile(t.Host("noname.zip"), b);
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("noname.zip")), 4);
    EXPECT_TRUE(r.list.Damaged);
    EXPECT_EQ(r.list.DamageReason, "central record 2 has no name");
  }
  {
    // A local header missing at its listed offset (or an offset past the
    // end): reported with the archive's name and left out.
    std::string b = good;
    size_t secondLocal = static_cast<size_t>(gr.list[1].Rec.LocalOffset);
    b[secondLocal] = 'X';
    size_t fourth = dirOff;
    for (int i = 0; i < 3; ++i)
      fourth += 46 + LE16(b, fourth + 28) + LE16(b, fourth + 30) + LE16(b, fourth + 32);
    zarvo::PutLE32(reinterpret_cast<uint8_t*>(b.data() + fourth + 42), 0xFFFFFF00u);
    WriteHostFile(t.Host("local.zip"), b);
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("local.zip")), 3);
    EXPECT_TRUE(r.list.Damaged);
    ASSERT_EQ(r.reports.size(), 2u);
    EXPECT_EQ(r.reports[0], std::make_pair(t.Dos("local.zip"), int{E_OPEN}));
    EXPECT_EQ(r.list[0].Name, "readme.txt");
    EXPECT_EQ(r.list[1].Name, "data\\empty.dat");
    EXPECT_EQ(r.list[2].Name, "fast.txt");

    // Copying such an entry directly never turns into copying the whole file.
    TFileStream32 in(t.Dos("local.zip"), fmOpenRead | fmShareDenyWrite);
    TMemoryStream32 out;
    TZipFormat fmt;
    int reported = 0;
    fmt.ReportError = [&](const std::string&, const std::string&, int code) {
      EXPECT_EQ(code, E_OPEN);
      ++reported;
    };
    THeaderEntry bad = gr.list[1];
    EXPECT_FALSE(fmt.CopyEntry(in, out, bad));
    THeaderEntry far = gr.list[3];
    far.Rec.LocalOffset = 0xFFFFFF00u;
    EXPECT_FALSE(fmt.CopyEntry(in, out, far));
    EXPECT_EQ(out.Size(), 0);
    EXPECT_EQ(reported, 2);
  }
  {
    // A comment length larger than what follows: the comment is cut.
    std::string b = good.substr(0, good.size() - 2);
    WriteHostFile(t.Host("cmt.zip"), b);
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("cmt.zip")), 5);
    EXPECT_EQ(r.list.ArchiveComment, "c");
    EXPECT_TRUE(r.list.Damaged);
  }
  {
    // An archive behind a stub whose offsets do not count the stub.
    WriteHostFile(t.Host("sfx.zip"), std::string(1000, 'S') + good);
    Reader r;
    ASSERT_EQ(r.Read(t.Dos("sfx.zip")), 5);
    EXPECT_EQ(r.list.PrefixShift, 1000);
    EXPECT_EQ(r.list.FirstEntryOffset, 1000u);
    EXPECT_FALSE(r.list.Damaged) << r.list.DamageReason;
  }
  {
    // Random damage anywhere: whatever is read lies inside the file and
    // copies exactly its own bytes.
    uint32_t seed = 1;
    for (int round = 0; round < 300; ++round) {
      std::string b = good;
      for (int k = 0; k < 4; ++k) {
        seed = seed * 1103515245u + 12345u;
        b[(seed >> 8) % b.size()] = static_cast<char>(seed >> 24);
      }
      WriteHostFile(t.Host("flip.zip"), b);
      Reader r;
      int n = r.Read(t.Dos("flip.zip"));
      TFileStream32 in(t.Dos("flip.zip"), fmOpenRead | fmShareDenyWrite);
      TZipFormat fmt;
      for (int i = 0; i < n; ++i) {
        TMemoryStream32 out;
        if (fmt.CopyEntry(in, out, r.list[i])) {
          ASSERT_LE(static_cast<uint64_t>(out.Size()), b.size());
        }
      }
    }
  }
  {
    // Garbage and emptiness.
    WriteHostFile(t.Host("junk.zip"), std::string(50000, 'P'));
    Reader r;
    EXPECT_EQ(r.Read(t.Dos("junk.zip")), 0);
    EXPECT_TRUE(r.list.Damaged);
    EXPECT_EQ(r.list.DamageReason, "not a zip archive");
    WriteHostFile(t.Host("zero.zip"), "");
    Reader r0;
    EXPECT_EQ(r0.Read(t.Dos("zero.zip")), 0);
    EXPECT_FALSE(r0.list.Damaged);
  }
}

TEST(ZarvoHeaders, Zip64BeyondFourGiB) {
  TempDrive t('T');
  TFileStream32 out(t.Dos("big.zip"), fmCreate);
  ASSERT_TRUE(out.Valid());
  // A sparse 4 GiB stretch in front of the entry.
  try {
    out.SetSize(static_cast<int64_t>(k4GiB) + 16);
  } catch (const EWriteError&) {
    GTEST_SKIP() << "no sparse files here";
  }
  TZipFormat fmt;
  THeaderObj list;
  layertest::AppendEntries(out, fmt, list, {{"far.txt", "far away data"}});
  ASSERT_TRUE(fmt.WriteCentralDirectory(out, list));
  out.Close();

  Reader r;
  ASSERT_EQ(r.Read(t.Dos("big.zip")), 1);
  EXPECT_FALSE(r.list.Damaged) << r.list.DamageReason;
  EXPECT_TRUE(r.list.Zip64);
  EXPECT_FALSE(r.list.End64);
  EXPECT_EQ(r.list[0].Rec.LocalOffset, k4GiB + 16);
  EXPECT_EQ(r.list[0].UnpackedSize(), 13u);
  EXPECT_EQ(r.list[0].Rec.Zip64Mask, kZip64Offset);
  EXPECT_TRUE(r.list[0].Rec.Extra.empty());  // the Zip64 block is the writer's to make
  EXPECT_EQ(r.list[0].VersionNeeded(), 45);

  // The same archive the way earlier versions of this engine wrote it: the
  // 0x0064 block and the 26-byte end record. Still read.
  std::string old(kLocalHeaderSize, '\0');
  auto* h = reinterpret_cast<uint8_t*>(old.data());
  EncodeLocalHeader(h, 0, 0, 0x5A2B6C3D, Crc32("far away data", 13), 13, 13, 7, false);
  zarvo::PutLE16(h + 28, 8);
  old += "far.txt";
  old += std::string("\x64\x00\x04\x00\x00\x00\x00\x00", 8);
  old += "far away data";
  const size_t dir = old.size();
  TCentralBytes c;
  EncodeNewCentral(c, 0, 0, 0x5A2B6C3D, Crc32("far away data", 13), 13, 13, 7, 0x20, 0);
  zarvo::PutLE16(&c[30], 10);
  old.append(reinterpret_cast<const char*>(c.data()), c.size());
  old += "far.txt";
  old += std::string("\x64\x00\x06\x00\x00\x00\x00\x00\x00\x00", 10);
  std::string end(kEnd64RecordSize, '\0');
  auto* e = reinterpret_cast<uint8_t*>(end.data());
  zarvo::PutLE32(e, kEnd64Sig);
  zarvo::PutLE16(e + 8, 1);
  zarvo::PutLE16(e + 10, 1);
  zarvo::PutLE32(e + 12, static_cast<uint32_t>(old.size() - dir));
  zarvo::PutLE64(e + 16, dir);
  WriteHostFile(t.Host("old.zip"), old + end);
  Reader o;
  ASSERT_EQ(o.Read(t.Dos("old.zip")), 1);
  EXPECT_FALSE(o.list.Damaged) << o.list.DamageReason;
  EXPECT_TRUE(o.list.End64);
  EXPECT_TRUE(o.list[0].Rec.LocalRewrite);
  EXPECT_EQ(o.list[0].Rec.Span, 30u + 7 + 8 + 13);
}
