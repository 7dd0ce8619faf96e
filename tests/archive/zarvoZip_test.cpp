#include "archive/zarvoZip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/archive_layers_support.h"
#include "archive/zarvoZip_test_support.h"
#include "platform/file.h"
#include "platform/system.h"
#include "support/temp_drive.h"

using namespace ziptest;
namespace fs = std::filesystem;

namespace {

struct ErrorRec {
  std::string file, ext;
  int code;
};

class ZipRun : public ::testing::Test {
 protected:
  TempDrive drive{'T'};
  std::unique_ptr<TZip> zip = std::make_unique<TZip>();
  std::vector<ErrorRec> errors;
  std::vector<std::string> events;

  void SetUp() override {
    zip->OnError = [this](TComponent*, const std::string& f, const std::string& x, const std::string&,
                          int c) {
      errors.push_back({f, x, c});
    };
  }
  void Put(const std::string& name, const std::string& data) { WriteBytes(drive.Host(name), data); }
  std::string Host(const std::string& name) const { return drive.Host(name); }
  std::string Dos(const std::string& name) const { return drive.Dos(name); }
  int Codes(int code) const {
    return static_cast<int>(
        std::count_if(errors.begin(), errors.end(), [&](auto& e) { return e.code == code; }));
  }
  // Temporary files the runs may have left in a folder.
  static int TempFilesIn(const std::string& hostFolder) {
    int n = 0;
    if (!fs::exists(hostFolder)) return 0;
    for (auto& e : fs::directory_iterator(hostFolder)) {
      std::string name = e.path().filename().string();
      if (name.rfind("zar", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".tmp") ++n;
    }
    return n;
  }
  void AddFiles(int count, size_t size) {
    for (int i = 1; i <= count; ++i) Put("src/f" + std::to_string(i) + ".txt", TableLike(size, i));
    zip->FileSpec().Add(Dos("src\\*.txt"));
  }
};

TEST_F(ZipRun, PropertiesAfterConstructionAndSetterRules) {
  EXPECT_EQ(zip->ArchiveFile(), "");
  EXPECT_EQ(zip->ArcType(), atZip);
  zip->SetArcType(atRar);
  EXPECT_EQ(zip->ArcType(), atZip);
  EXPECT_EQ(zip->CompressMethod(), cmDeflate);
  EXPECT_EQ(zip->CompressionMethod(), cmTempFile);
  EXPECT_EQ(zip->DateAttribute(), daFileDate);
  EXPECT_EQ(zip->DefaultExt(), ".zip");
  EXPECT_EQ(zip->DeflateType(), dtDeflateN);
  EXPECT_EQ(zip->DeleteOptions(), doAllowUndo);
  EXPECT_FALSE(zip->EncryptHeaders());
  EXPECT_TRUE(zip->RecurseDirs());
  EXPECT_EQ(zip->StoredDirNames(), sdRelative);
  EXPECT_EQ(zip->Switch(), swAdd);
  EXPECT_TRUE(zip->TranslateOemChar());
  EXPECT_EQ(zip->LeaveSpaceOnFirstDisk(), 0);
  EXPECT_EQ(zip->Attributes(),
            (TZarvoFileAttrs{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted}));
  ASSERT_EQ(zip->StoreFilesOfType().Count(), 24);
  EXPECT_EQ(zip->StoreFilesOfType()[0], ".ACE");
  EXPECT_EQ(zip->StoreFilesOfType()[22], ".ZIP");
  EXPECT_EQ(zip->StoreFilesOfType()[23], ".ZOO");

  zip->SetCompressMethod(cmLzx);
  EXPECT_EQ(zip->CompressMethod(), cmDeflate);
  zip->SetCompressMethod(cmStore);
  EXPECT_EQ(zip->CompressMethod(), cmStore);

  zip->SetArchiveFile("C:/backup/data");
  EXPECT_EQ(zip->ArchiveFile(), "C:\\backup\\data.zip");
  zip->SetDefaultExt("ARCHIVE");
  EXPECT_EQ(zip->DefaultExt(), ".arc");
  EXPECT_EQ(zip->ArchiveFile(), "C:\\backup\\data.arc");  // the old default extension is replaced
  zip->SetArchiveFile("C:\\backup\\keep.txt");
  zip->SetDefaultExt("");
  EXPECT_EQ(zip->DefaultExt(), ".zip");
  EXPECT_EQ(zip->ArchiveFile(), "C:\\backup\\keep.txt");  // a foreign extension stays
  zip->SetArchiveFile("C:\\b\\x");
  zip->SetDefaultExt(".");
  EXPECT_EQ(zip->ArchiveFile(), "C:\\b\\x.zip");

  // While the owner is being loaded, a name that no longer exists is dropped.
  zip->SetLoading(true);
  zip->SetArchiveFile(Dos("gone.zip"));
  EXPECT_EQ(zip->ArchiveFile(), "");
  zip->SetLoading(false);

  // A missing temporary folder is offered for creation.
  ScriptedUi ui;
  UiScope scope(&ui);
  ui.answers = {IDNO};
  zip->SetTempDir(Dos("work\\tmp"));
  ASSERT_EQ(ui.shown.size(), 1u);
  EXPECT_EQ(ui.shown[0], "Directory does not exist... Create?\r\r" + Dos("work\\tmp\\"));
  EXPECT_FALSE(fs::exists(Host("work/tmp")));
  EXPECT_EQ(zip->TempDir(), platform::GetTempPath());
  ui.answers = {IDYES};
  zip->SetTempDir(Dos("work\\tmp"));
  EXPECT_TRUE(fs::is_directory(Host("work/tmp")));
  EXPECT_EQ(zip->TempDir(), Dos("work\\tmp\\"));
}

TEST_F(ZipRun, StoredNamesForEveryMode) {
  const std::string root = "C:\\data\\";
  const std::string path = "C:\\data\\sub\\a.dbf";
  struct Case {
    TStoredDirNames mode;
    std::string expected;
  } cases[] = {{sdNone, "a.dbf"},
               {sdAbsolute, "C:\\data\\sub\\a.dbf"},
               {sdAbsoluteNoDrv, "\\data\\sub\\a.dbf"},
               {sdAbsoluteNoRoot, "data\\sub\\a.dbf"},
               {sdRelative, "sub\\a.dbf"},
               {sdRelativeStoreStart, "data\\sub\\a.dbf"}};
  for (const auto& c : cases) {
    zip->SetStoredDirNames(c.mode);
    EXPECT_EQ(zip->StoredName(path, root), c.expected) << c.mode;
  }
  zip->SetStoredDirNames(sdAbsoluteNoDrv);
  EXPECT_EQ(zip->StoredName("\\\\srv\\share\\x\\y.txt", "\\\\srv\\share\\x\\"), "\\x\\y.txt");
  zip->SetStoredDirNames(sdRelative);
  EXPECT_EQ(zip->StoredName("C:\\DATA\\b.dbf", root), "b.dbf");  // letter case ignored
  EXPECT_EQ(zip->StoredName("D:\\other\\b.dbf", root), "D:\\other\\b.dbf");
  zip->SetStoredDirNames(sdExplorer_UserDefineDefaultDir);
  zip->SetDefaultDir("C:\\data");
  EXPECT_EQ(zip->StoredName("C:\\data\\sub\\a.dbf", "C:\\data\\sub\\"), "sub\\a.dbf");
}

TEST_F(ZipRun, NewArchiveChoosesStoreOrDeflatePerFile) {
  Put("src/big.txt", TableLike(300000));
  Put("src/inner.ZiP", TableLike(5000));  // stored: its extension is in StoreFilesOfType
  Put("src/empty.dat", "");               // stored, CRC 0
  Put("src/tiny.bin", Noise(200));        // deflate would grow it: stored
  Put("src/odd.bin", Noise(257));         // 257 bytes and more always deflate
  Put("src/sub/deep.txt", TableLike(1000));
  zip->SetArchiveFile(Dos("out\\a"));
  fs::create_directories(Host("out"));
  zip->FileSpec().Add(Dos("src\\*.*"));
  std::vector<std::string> order;
  zip->OnActivate = [&](TComponent*) { order.push_back("activate"); };
  zip->OnBegin = [&](TComponent*, const std::string& f, int n, bool&) {
    order.push_back("begin " + std::to_string(n) + " " + f);
  };
  zip->OnEnd = [&](TComponent*, const std::string& f, bool pass) {
    order.push_back(std::string("end ") + f + (pass ? " ok" : " BAD"));
  };
  zip->OnTmpFileMoveBegin = [&](TComponent*, const std::string& a, const std::string&) {
    order.push_back("move " + a);
  };
  zip->OnTmpFileMoveEnd = [&](TComponent*) { order.push_back("moved"); };
  zip->OnDeactivate = [&](TComponent*) { order.push_back("deactivate"); };
  bool progressZero = false;
  zip->OnProgress = [&](TComponent*, uint8_t f, uint8_t a) {
    if (f == 0 && a == 0 && order.back().rfind("end ", 0) == 0) progressZero = true;
  };
  zip->OnElapsedTime = [&](TComponent*, float t) { order.push_back(t >= 0 ? "elapsed" : "negative"); };

  EXPECT_EQ(zip->Compress(), 6);
  EXPECT_TRUE(errors.empty());
  Archive a = ParseFile(Host("out/a.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 6u);
  EXPECT_EQ(a.At("big.txt").method, 8);
  EXPECT_EQ(a.At("inner.ZiP").method, 0);
  EXPECT_EQ(a.At("empty.dat").method, 0);
  EXPECT_EQ(a.At("empty.dat").crc, 0u);
  EXPECT_EQ(a.At("empty.dat").packed, 0u);
  EXPECT_EQ(a.At("tiny.bin").method, 0);
  EXPECT_EQ(a.At("odd.bin").method, 8);
  EXPECT_GT(a.At("odd.bin").packed, 257u);
  ASSERT_NE(a.Find("sub/deep.txt"), nullptr);  // relative name with "/"
  for (const auto& e : a.entries) {
    EXPECT_EQ(e.madeBy, 20);
    EXPECT_EQ(e.internalAttr, 1);
    EXPECT_EQ(e.externalAttr & 0x20u, 0x20u);
  }
  EXPECT_EQ(a.At("big.txt").flags, 0);  // dtDeflateN sets no level bits

  ASSERT_GE(order.size(), 4u);
  EXPECT_EQ(order.front(), "activate");
  EXPECT_EQ(order[order.size() - 4], "move " + Dos("out\\a.zip"));
  EXPECT_EQ(order[order.size() - 3], "moved");
  EXPECT_EQ(order[order.size() - 2], "deactivate");
  EXPECT_EQ(order.back(), "elapsed");
  EXPECT_TRUE(progressZero);
  EXPECT_EQ(
      std::count_if(order.begin(), order.end(), [](auto& s) { return s.find(" ok") != std::string::npos; }),
      6);
  EXPECT_EQ(TempFilesIn(fs::temp_directory_path().string()) >= 0, true);

  // Levels put their bits into the flags; cmStore stores everything.
  TZip x;
  x.SetArchiveFile(Dos("out\\x.zip"));
  x.FileSpec().Add(Dos("src\\big.txt"));
  x.SetDeflateType(dtDeflateX);
  EXPECT_EQ(x.Compress(), 1);
  EXPECT_EQ(ParseFile(Host("out/x.zip")).At("big.txt").flags, 2);
  TZip s;
  s.SetArchiveFile(Dos("out\\s.zip"));
  s.FileSpec().Add(Dos("src\\big.txt"));
  s.SetCompressMethod(cmStore);
  EXPECT_EQ(s.Compress(), 1);
  EXPECT_EQ(ParseFile(Host("out/s.zip")).At("big.txt").method, 0);
}

TEST_F(ZipRun, NothingToDoLeavesNoArchive) {
  zip->SetArchiveFile(Dos("none.zip"));
  int activate = 0, deactivate = 0;
  zip->OnActivate = [&](TComponent*) { ++activate; };
  zip->OnDeactivate = [&](TComponent*) { ++deactivate; };
  EXPECT_EQ(zip->Compress(), 0);  // empty FileSpec
  zip->FileSpec().Add(Dos("nothing\\*.xyz"));
  EXPECT_EQ(zip->Compress(), 0);  // matches nothing
  EXPECT_EQ(activate, 2);
  EXPECT_EQ(deactivate, 2);
  EXPECT_EQ(Codes(25268), 2);
  EXPECT_EQ(errors.at(0).file, Dos("none.zip"));
  EXPECT_FALSE(fs::exists(Host("none.zip")));
  zip->SetArchiveFile("");
  EXPECT_EQ(zip->Compress(), 0);

  // A run without an archive drive fails the volume check.
  zip->SetArchiveFile("Q:\\nowhere\\a.zip");
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.at(0).code, 25170);
  bool asked = false;
  zip->OnDiskInDrvErr = [&](TComponent*, bool& abort) {
    asked = true;
    abort = true;
  };
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_TRUE(asked);
  EXPECT_EQ(errors.at(0).code, 25443);
}

TEST_F(ZipRun, ExistingArchiveMergeRules) {
  AddFiles(3, 4000);
  zip->SetArchiveFile(Dos("m.zip"));
  zip->SetTempDir(Dos(""));
  ASSERT_EQ(zip->Compress(), 3);
  auto original = ReadBytes(Host("m.zip"));

  // Unchanged files and no rename event: 25270 per file, archive untouched.
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(Codes(25270), 3);
  EXPECT_EQ(errors.at(0).ext, "OnRenameDupeFile");
  EXPECT_EQ(ReadBytes(Host("m.zip")), original);
  EXPECT_EQ(TempFilesIn(drive.Root()), 0);

  // A changed file without OnReplaceFile keeps the old entry.
  Put("src/f2.txt", TableLike(4100, 99));
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(std::count_if(errors.begin(), errors.end(), [](auto& e) { return e.ext == "OnReplaceFile"; }), 1);
  EXPECT_EQ(ReadBytes(Host("m.zip")), original);

  // Replace: the new content is in, the other entries are copied unchanged.
  std::vector<std::string> asked;
  zip->OnReplaceFile = [&](TComponent*, const std::string& f, const std::string& nf, uint32_t, uint32_t,
                           int64_t fs, int64_t nfs, uint32_t, uint32_t, bool& replace) {
    asked.push_back(f + "|" + nf + "|" + std::to_string(fs) + "|" + std::to_string(nfs));
    replace = true;
  };
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& rename) { rename = false; };
  errors.clear();
  EXPECT_EQ(zip->Compress(), 1);
  EXPECT_TRUE(errors.empty());
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], "f2.txt|" + Dos("src\\f2.txt") + "|4000|4100");
  Archive a = ParseFile(Host("m.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[0].name, "f1.txt");
  EXPECT_EQ(a.entries[1].name, "f3.txt");
  EXPECT_EQ(a.entries[2].name, "f2.txt");
  EXPECT_EQ(a.entries[2].data, TableLike(4100, 99));

  // Rename: the handler's first proposal is the old name, so it is asked again.
  int calls = 0;
  zip->OnRenameDupeFile = [&](TComponent*, const std::string& f, std::string& nf, bool& rename) {
    ++calls;
    EXPECT_EQ(f, "f1.txt");
    nf = calls == 1 ? "F1.TXT" : (calls == 2 ? "f3.txt" : "old\\f1.txt");
    rename = true;
  };
  zip->FileSpec().Clear();
  zip->FileSpec().Add(Dos("src\\f1.txt"));
  EXPECT_EQ(zip->Compress(), 1);
  EXPECT_EQ(calls, 3);
  a = ParseFile(Host("m.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 4u);
  EXPECT_EQ(a.entries[0].name, "old/f1.txt");
  EXPECT_EQ(a.entries[3].name, "f1.txt");
  EXPECT_EQ(a.entries[0].data, a.entries[3].data);

  // Refresh: changed entries are recompressed in place, new files stay out.
  Put("src/f3.txt", "refreshed");
  Put("src/f9.txt", "new");
  zip->SetSwitch(swRefresh);
  zip->FileSpec().Clear();
  zip->FileSpec().Add(Dos("src\\*.txt"));
  EXPECT_EQ(zip->Compress(), 1);
  a = ParseFile(Host("m.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 4u);
  EXPECT_EQ(a.entries[1].name, "f3.txt");
  EXPECT_EQ(a.entries[1].data, "refreshed");
  EXPECT_EQ(a.Find("f9.txt"), nullptr);

  // Delete: matching entries are dropped and counted.
  zip->SetSwitch(swDelete);
  zip->FileSpec().Clear();
  zip->FileSpec().Add("f*.txt");
  std::vector<std::string> dropped;
  zip->OnDeleteFile = [&](TComponent*, const std::string& f, int n, int max) {
    dropped.push_back(f + " " + std::to_string(n) + "/" + std::to_string(max));
  };
  EXPECT_EQ(zip->Compress(), 3);
  EXPECT_EQ(dropped, (std::vector<std::string>{"f3.txt 1/3", "f2.txt 2/3", "f1.txt 3/3"}));
  a = ParseFile(Host("m.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].name, "old/f1.txt");
  zip->FileSpec().Clear();
  zip->FileSpec().Add("old\\*");
  EXPECT_EQ(zip->Compress(), 1);
  EXPECT_EQ(ReadBytes(Host("m.zip")).size(), 22u);  // all gone: a bare end record

  zip->SetArchiveFile(Dos("missing.zip"));
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(errors.at(0).code, 26859);
}

TEST_F(ZipRun, ReadOnlyArchiveMoveAndRead) {
  AddFiles(2, 3000);
  zip->SetArchiveFile(Dos("r.zip"));
  ASSERT_EQ(zip->Compress(), 2);
  auto original = ReadBytes(Host("r.zip"));
  ASSERT_TRUE(platform::SetFileAttributes(Dos("r.zip"), platform::kAttrReadOnly));
  Put("src/f3.txt", "three");
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(errors.at(0).code, 25270);
  EXPECT_EQ(errors.at(0).ext, "OnNonWriteableArchive");
  zip->OnNonWriteableArchive = [](TComponent*, const std::string&, bool& w) { w = true; };
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  EXPECT_EQ(zip->Compress(), 1);
  EXPECT_EQ(ParseFile(Host("r.zip")).entries.size(), 3u);

  // swRead walks the entries; without OnRead the run names the event.
  zip->SetSwitch(swRead);
  errors.clear();
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(errors.at(0).ext, "OnRead");
  std::vector<int> seen;
  zip->OnRead = [&](TComponent*, int64_t off, int n) {
    seen.push_back(n);
    EXPECT_GE(off, 0);
  };
  zip->Compress();
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));

  // swMove with doFinal deletes the sources once the archive is in place.
  TZip mover;
  mover.SetArchiveFile(Dos("mv.zip"));
  mover.SetSwitch(swMove);
  mover.SetDeleteOptions(doFinal);
  mover.FileSpec().Add(Dos("src\\f*.txt"));
  std::vector<std::string> deleted;
  bool archiveThere = false;
  mover.OnDeleteFile = [&](TComponent*, const std::string& f, int, int) {
    deleted.push_back(f);
    archiveThere = fs::exists(Host("mv.zip"));
  };
  EXPECT_EQ(mover.Compress(), 3);
  EXPECT_EQ(deleted.size(), 3u);
  EXPECT_TRUE(archiveThere);
  EXPECT_FALSE(fs::exists(Host("src/f1.txt")));
  EXPECT_EQ(ParseFile(Host("mv.zip")).entries.size(), 3u);
}

TEST_F(ZipRun, VanishedFileIsReportedAndLeftOut) {
  AddFiles(3, 2000);
  zip->SetArchiveFile(Dos("v.zip"));
  zip->OnBegin = [&](TComponent*, const std::string& f, int n, bool&) {
    if (n == 1) {
      EXPECT_TRUE(RemoveFile(Host("src/f2.txt")));
    }
    (void)f;
  };
  EXPECT_EQ(zip->Compress(), 2);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.at(0).code, 25235);
  EXPECT_EQ(errors.at(0).file, Dos("src\\f2.txt"));
  Archive a = ParseFile(Host("v.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(a.Find("f2.txt"), nullptr);

  // A replacement that vanishes before its turn keeps the old entry.
  Put("src/f1.txt", "changed");
  zip->OnReplaceFile = [](TComponent*, const std::string&, const std::string&, uint32_t, uint32_t, int64_t,
                          int64_t, uint32_t, uint32_t, bool& replace) { replace = true; };
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  Put("src/f4.txt", "four");
  zip->OnBegin = [&](TComponent*, const std::string& f, int, bool&) {
    if (f == Dos("src\\f1.txt")) {
      EXPECT_TRUE(RemoveFile(Host("src/f1.txt")));
    }
  };
  errors.clear();
  EXPECT_EQ(zip->Compress(), 1);
  a = ParseFile(Host("v.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_TRUE(a.At("f1.txt").data == TableLike(2000, 1));
  EXPECT_EQ(a.At("f4.txt").data, "four");
}

TEST_F(ZipRun, CancelDuringThirdOfFiveKeepsTwoWhereverTheTempFolderIs) {
  TempDrive other('U');
  for (int round = 0; round < 3; ++round) {
    fs::remove_all(Host("src"));
    AddFiles(5, 200000);
    TZip z;
    z.SetArchiveFile(Dos("c.zip"));
    z.FileSpec().Add(Dos("src\\*.txt"));
    if (round == 0) z.SetTempDir(Dos(""));        // same drive: rename
    if (round == 1) z.SetTempDir(other.Dos(""));  // other drive: copy
    if (round == 2) z.SetCompressionMethod(cmInMemory);
    std::vector<int> codes;
    z.OnError = [&](TComponent*, const std::string&, const std::string&, const std::string&, int c) {
      codes.push_back(c);
    };
    z.OnTmpFileProgress = [](TComponent*, uint8_t, uint8_t) {};
    z.OnProgress = [&](TComponent* s, uint8_t f, uint8_t) {
      if (z.FileNumber() == 3 && f > 10 && !z.Cancel()) static_cast<TZip*>(s)->SetCancel(true);
    };
    EXPECT_EQ(z.Compress(), 2) << round;
    EXPECT_EQ(codes, std::vector<int>{25443});
    Archive a = ParseFile(Host("c.zip"));
    ASSERT_TRUE(a.ok) << round << " " << a.error;
    ASSERT_EQ(a.entries.size(), 2u);
    for (const auto& e : a.entries) {
      int n = e.name[1] - '0';
      EXPECT_TRUE(e.data == TableLike(200000, n)) << e.name;
    }
    EXPECT_EQ(TempFilesIn(drive.Root()), 0);
    EXPECT_EQ(TempFilesIn(other.Root()), 0);
    fs::remove(Host("c.zip"));
  }

  // On an existing archive the old entries survive a cancel, and a cancel
  // before anything new is finished leaves the archive as it was.
  TZip z;
  z.SetArchiveFile(Dos("c.zip"));
  z.FileSpec().Add(Dos("src\\f1.txt"));
  ASSERT_EQ(z.Compress(), 1);
  auto before = ReadBytes(Host("c.zip"));
  z.FileSpec().Clear();
  z.FileSpec().Add(Dos("src\\*.txt"));
  z.OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  z.OnProgress = [&](TComponent* s, uint8_t, uint8_t) {
    if (z.FileNumber() == 2) static_cast<TZip*>(s)->SetCancel(true);
  };
  EXPECT_EQ(z.Compress(), 0);
  EXPECT_EQ(ReadBytes(Host("c.zip")), before);
  z.OnProgress = [&](TComponent* s, uint8_t, uint8_t) {
    if (z.FileNumber() == 4) static_cast<TZip*>(s)->SetCancel(true);
  };
  EXPECT_EQ(z.Compress(), 2);
  Archive a = ParseFile(Host("c.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.entries.size(), 3u);
}

TEST_F(ZipRun, ProgressOfOneMillionBytes) {
  Put("src/m.bin", TableLike(1000000));
  Put("src/zero.bin", "");
  zip->SetArchiveFile(Dos("p.zip"));
  zip->FileSpec().Add(Dos("src\\m.bin"));
  std::vector<std::pair<int, int>> seen;
  ScriptedUi ui;
  UiScope scope(&ui);
  zip->OnProgress = [&](TComponent*, uint8_t f, uint8_t a) {
    seen.emplace_back(f, a);
    EXPECT_GT(ui.processed, 0);  // the queue is served first
  };
  EXPECT_EQ(zip->Compress(), 1);
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.back(), std::make_pair(0, 0));  // before the directory
  auto last = seen[seen.size() - 2];
  EXPECT_EQ(last, std::make_pair(100, 100));
  for (size_t i = 1; i + 1 < seen.size(); ++i) {
    EXPECT_GE(seen[i].first, seen[i - 1].first);
    EXPECT_EQ(seen[i].first, seen[i].second);  // one file: both bars agree
  }
  EXPECT_EQ(zip->BytesRemaining(), 0);

  seen.clear();
  zip->FileSpec().Clear();
  zip->FileSpec().Add(Dos("src\\zero.bin"));
  zip->SetArchiveFile(Dos("z.zip"));
  EXPECT_EQ(zip->Compress(), 1);
  for (auto& s : seen) EXPECT_EQ(s.first, 0);

  EXPECT_EQ(TZipCommon::Percent(0, 0), 0);
  EXPECT_EQ(TZipCommon::Percent(1, 200), 0);      // 0.5 -> 0
  EXPECT_EQ(TZipCommon::Percent(3, 200), 2);      // 1.5 -> 2
  EXPECT_EQ(TZipCommon::Percent(5, 200), 2);      // 2.5 -> 2
  EXPECT_EQ(TZipCommon::Percent(199, 200), 100);  // 99.5 -> 100
  EXPECT_EQ(TZipCommon::Percent(7, 5), 100);
}

TEST_F(ZipRun, FailedRunsNeverReplaceTheArchive) {
  AddFiles(3, 50000);
  zip->SetArchiveFile(Dos("e.zip"));
  zip->SetTempDir(Dos(""));
  ASSERT_EQ(zip->Compress(), 3);
  auto original = ReadBytes(Host("e.zip"));
  Put("src/f4.txt", "four");
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  zip->OnEnd = [](TComponent*, const std::string&, bool) { throw std::runtime_error("handler failed"); };
  int deactivated = 0;
  zip->OnDeactivate = [&](TComponent*) { ++deactivated; };
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(deactivated, 1);
  EXPECT_EQ(zip->LastException(), "handler failed");
  EXPECT_EQ(ReadBytes(Host("e.zip")), original);
  EXPECT_EQ(TempFilesIn(drive.Root()), 0);
  zip->OnEnd = nullptr;

  // A directory that cannot be written in full: 25136, archive as it was.
  TempDrive small('V');
  platform::DriveMapping m;
  m.hostRoot = small.Root();
  m.removable = true;
  // Room for the copied entries and the new one, not for the directory.
  m.capacity = U32(original, original.size() - 22 + 16) + 30 + 6 + 4 + 10;
  platform::MapDrive('V', m);
  TZip z;
  z.SetArchiveFile(Dos("e.zip"));
  z.SetTempDir(small.Dos(""));
  z.SetCompressMethod(cmStore);
  z.FileSpec().Add(Dos("src\\f4.txt"));
  z.OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  std::vector<int> codes;
  z.OnError = [&](TComponent*, const std::string&, const std::string&, const std::string&, int c) {
    codes.push_back(c);
  };
  bool moved = false;
  z.OnTmpFileMoveBegin = [&](TComponent*, const std::string&, const std::string&) { moved = true; };
  EXPECT_EQ(z.Compress(), 0);
  EXPECT_EQ(ReadBytes(Host("e.zip")), original);
  EXPECT_EQ(TempFilesIn(small.Root()), 0);
  EXPECT_EQ(codes, std::vector<int>{25136});
  EXPECT_FALSE(moved);  // the output was never offered for replacement

  // The same for a new archive: the run's error, no archive at all.
  m.capacity = 30 + 6 + 4 + 10;  // the entry fits, its directory record does not
  platform::MapDrive('V', m);
  z.SetArchiveFile(Dos("fresh.zip"));
  codes.clear();
  EXPECT_EQ(z.Compress(), 0);
  EXPECT_EQ(codes, std::vector<int>{25136});
  EXPECT_FALSE(moved);
  EXPECT_FALSE(fs::exists(Host("fresh.zip")));
  EXPECT_TRUE(z.LastException().empty());
  EXPECT_EQ(TempFilesIn(small.Root()), 0);
}

TEST_F(ZipRun, RunsInsideEachOthersEvents) {
  AddFiles(3, 150000);
  Put("other/o1.txt", TableLike(120000, 50));
  Put("other/o2.txt", Noise(90000, 7));
  TZip inner;
  inner.SetArchiveFile(Dos("inner.zip"));
  inner.FileSpec().Add(Dos("other\\*.txt"));
  int innerResult = -1;
  bool reentered = false;
  zip->SetArchiveFile(Dos("outer.zip"));
  zip->OnProgress = [&](TComponent*, uint8_t f, uint8_t) {
    if (zip->FileNumber() == 2 && f > 20 && innerResult < 0) {
      EXPECT_EQ(zip->Compress(), 0);  // already running: refused, nothing touched
      reentered = true;
      innerResult = inner.Compress();
    }
  };
  EXPECT_EQ(zip->Compress(), 3);
  EXPECT_TRUE(reentered);
  EXPECT_EQ(innerResult, 2);
  Archive outer = ParseFile(Host("outer.zip"));
  Archive in = ParseFile(Host("inner.zip"));
  EXPECT_TRUE(outer.ok) << outer.error;
  EXPECT_TRUE(in.ok) << in.error;
  EXPECT_EQ(outer.entries.size(), 3u);
  EXPECT_EQ(in.entries.size(), 2u);
}

TEST_F(ZipRun, StubInFrontOfTheFirstEntryIsCarriedOver) {
  AddFiles(2, 3000);
  zip->SetArchiveFile(Dos("plain.zip"));
  ASSERT_EQ(zip->Compress(), 2);
  // A self-extractor glued in front without adjusting the offsets.
  std::string stub = "MZ" + Noise(998, 3);
  auto plain = ReadBytes(Host("plain.zip"));
  Put("sfx.zip", stub + std::string(plain.begin(), plain.end()));
  Put("src/f3.txt", "third");
  TZip z;
  z.SetArchiveFile(Dos("sfx.zip"));
  z.FileSpec().Add(Dos("src\\f3.txt"));
  EXPECT_EQ(z.Compress(), 1);
  auto now = ReadBytes(Host("sfx.zip"));
  ASSERT_GT(now.size(), stub.size());
  EXPECT_EQ(std::string(now.begin(), now.begin() + 1000), stub);
  Archive a = Parse(now);
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.firstLocal, 1000u);
}

TEST_F(ZipRun, PasswordExcludeDatesAndEmptyFolders) {
  Put("src/a.txt", TableLike(5000));
  Put("src/b.tmp", "temp");
  Put("src/sub/c.tmp", "temp2");
  Put("src/sub/d.txt", "d");
  Put("src/empty.txt", "");
  fs::create_directories(Host("src/hollow"));
  zip->SetArchiveFile(Dos("pw.zip"));
  zip->SetPassword("secret");
  zip->SetStoreEmptySubDirs(true);
  zip->FileSpec().Add(Dos("src\\*.*"));
  zip->ExcludeSpec().Add("*.tmp");
  EXPECT_EQ(zip->Compress(), 4);
  Archive a = ParseFile(Host("pw.zip"), "secret");
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.Find("b.tmp"), nullptr);
  EXPECT_EQ(a.Find("sub/c.tmp"), nullptr);
  ASSERT_NE(a.Find("a.txt"), nullptr);
  EXPECT_EQ(a.At("a.txt").flags & 1, 1);
  EXPECT_EQ(a.At("a.txt").data, TableLike(5000));
  EXPECT_EQ(a.At("sub/d.txt").data, "d");
  EXPECT_EQ(a.At("empty.txt").flags & 1, 0);  // nothing to encrypt
  ASSERT_NE(a.Find("hollow/"), nullptr);
  EXPECT_EQ(a.At("hollow/").externalAttr & 0x10u, 0x10u);

  // daMaxFileDate stamps every entry with the newest file's time.
  platform::SetFileModifiedTime(Dos("src\\a.txt"), 1000000000);
  platform::SetFileModifiedTime(Dos("src\\sub\\d.txt"), 1200000000);
  TZip d;
  d.SetArchiveFile(Dos("d.zip"));
  d.FileSpec().Add(Dos("src\\*.txt"));
  d.SetDateAttribute(daMaxFileDate);
  d.SetRecurseDirs(false);
  d.ExcludeSpec().Add("empty.txt");
  EXPECT_EQ(d.Compress(), 1);
  a = ParseFile(Host("d.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].dosDateTime, platform::UnixToDosDateTime(1000000000));
  d.SetArchiveFile(Dos("d2.zip"));
  d.SetRecurseDirs(true);
  d.SetStoredDirNames(sdNone);
  EXPECT_EQ(d.Compress(), 2);
  a = ParseFile(Host("d2.zip"));
  for (auto& e : a.entries) EXPECT_EQ(e.dosDateTime, platform::UnixToDosDateTime(1200000000));
}

TEST_F(ZipRun, EnciphersHeadersAndReadsThemBack) {
  AddFiles(2, 3000);
  zip->SetArchiveFile(Dos("h.zip"));
  zip->SetEncryptHeaders(true);
  ASSERT_EQ(zip->Compress(), 2);
  auto bytes = ReadBytes(Host("h.zip"));
  EXPECT_EQ(U32(bytes, 0), 0x04034C50u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()).find("f1.txt"), std::string::npos);  // names hidden
  std::vector<bool> ends;
  zip->OnEnd = [&](TComponent*, const std::string&, bool pass) { ends.push_back(pass); };
  // Adding to it (plain headers now) and renaming an old entry keep it readable.
  zip->SetEncryptHeaders(false);
  Put("src/f3.txt", "three");
  int tries = 0;
  zip->OnRenameDupeFile = [&](TComponent*, const std::string& f, std::string& nf, bool& r) {
    r = f == "f1.txt";
    nf = "old_" + f + std::to_string(tries++);
  };
  EXPECT_EQ(zip->Compress(), 2);
  EXPECT_EQ(ends, (std::vector<bool>{true, true}));
  zip->SetSwitch(swRead);
  std::vector<int> seen;
  zip->OnRead = [&](TComponent*, int64_t, int n) { seen.push_back(n); };
  zip->Compress();
  EXPECT_EQ(seen.size(), 4u);
}

TEST_F(ZipRun, SameNameFromTwoFoldersUnderSdNone) {
  Put("one/x.dbf", "first");
  Put("two/x.dbf", "second");
  zip->SetArchiveFile(Dos("n.zip"));
  zip->SetStoredDirNames(sdNone);
  zip->FileSpec().Add(Dos("one\\*.dbf"));
  zip->FileSpec().Add(Dos("two\\*.dbf"));
  EXPECT_EQ(zip->Compress(), 1);
  Archive a = ParseFile(Host("n.zip"));
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].data, "first");
  // The second is not dropped without a word: without a rename event the
  // event is asked for, with one that declines the duplicate is reported.
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.at(0).code, 25270);
  EXPECT_EQ(errors.at(0).file, Dos("two\\x.dbf"));
  EXPECT_EQ(errors.at(0).ext, "OnRenameDupeFile");
  errors.clear();
  fs::remove(Host("n.zip"));
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  EXPECT_EQ(zip->Compress(), 1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors.at(0).code, 25281);
  EXPECT_EQ(errors.at(0).file, Dos("two\\x.dbf"));
  EXPECT_EQ(errors.at(0).ext, "x.dbf");
  // A rename gives the first file another name and both are kept.
  errors.clear();
  fs::remove(Host("n.zip"));
  zip->OnRenameDupeFile = [](TComponent*, const std::string& f, std::string& nf, bool& r) {
    nf = "one_" + f;
    r = true;
  };
  EXPECT_EQ(zip->Compress(), 2);
  EXPECT_TRUE(errors.empty());
  a = ParseFile(Host("n.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.At("one_x.dbf").data, "first");
  EXPECT_EQ(a.At("x.dbf").data, "second");
  EXPECT_EQ(TZipCommon::ErrorText(25170), "is not accessible");
  EXPECT_EQ(TZipCommon::ErrorText(25280), "Archive is damaged");
  EXPECT_EQ(TZipCommon::ErrorText(25281), "Duplicate file name");
  EXPECT_EQ(TZipCommon::ErrorText(25443), "User canceled");
  EXPECT_EQ(TZipCommon::ErrorText(25268), "Nothing to do");
}

// Each way an existing file can fail to be a readable archive: the run says
// so and leaves the file exactly as it was.
TEST_F(ZipRun, DamagedArchivesAreRefusedAndLeftByteForByte) {
  AddFiles(3, 5000);
  zip->SetArchiveFile(Dos("good.zip"));
  ASSERT_EQ(zip->Compress(), 3);
  const auto goodBytes = ReadBytes(Host("good.zip"));
  const std::string good(goodBytes.begin(), goodBytes.end());
  const size_t dirOff = U32(goodBytes, good.size() - 22 + 16);
  auto patched16 = [&](size_t at, uint16_t v) {
    std::string b = good;
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
    return b;
  };
  std::string noName = patched16(dirOff + 28, 0);
  noName = noName.substr(0, dirOff + 46) + noName.substr(dirOff + 46 + 6);  // "f1.txt" gone
  noName[noName.size() - 22 + 12] = static_cast<char>(noName[noName.size() - 22 + 12] - 6);
  std::string lostLocal = good;
  lostLocal[U32(goodBytes, dirOff + 46 + 6 + 42)] = 'X';
  const std::string locator = std::string("PK\x06\x07", 4) + std::string(16, '\0');
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"a text file", "Just some text, no archive.\r\n"},
      {"cut inside the data", good.substr(0, 2000)},
      {"cut inside the directory", good.substr(0, dirOff + 30)},
      {"cut inside the end record", good.substr(0, good.size() - 5)},
      {"a directory record without a name", noName},
      {"an end record that counts one more", patched16(good.size() - 22 + 10, 4)},
      {"a local header that is not there", lostLocal},
      {"a Zip64 locator without its record",
       good.substr(0, good.size() - 22) + locator + good.substr(good.size() - 22)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put("x.zip", c.bytes);
    TZip z;
    z.SetArchiveFile(Dos("x.zip"));
    z.SetTempDir(Dos(""));
    z.FileSpec().Add(Dos("src\\*.txt"));
    std::vector<ErrorRec> seen;
    z.OnError = [&](TComponent*, const std::string& f, const std::string& x, const std::string&, int code) {
      seen.push_back({f, x, code});
    };
    z.OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
    int deactivated = 0;
    z.OnDeactivate = [&](TComponent*) { ++deactivated; };
    for (TSwitch sw : {swAdd, swRefresh, swDelete}) {
      z.SetSwitch(sw);
      seen.clear();
      EXPECT_EQ(z.Compress(), 0);
      ASSERT_EQ(seen.size(), 1u);
      EXPECT_EQ(seen[0].code, 25280);
      EXPECT_EQ(seen[0].file, Dos("x.zip"));
      EXPECT_FALSE(seen[0].ext.empty());
      auto now = ReadBytes(Host("x.zip"));
      EXPECT_TRUE(std::string(now.begin(), now.end()) == c.bytes);
      EXPECT_EQ(TempFilesIn(drive.Root()), 0);
    }
    EXPECT_EQ(deactivated, 3);
    z.SetSwitch(swRead);
    z.OnRead = [](TComponent*, int64_t, int) { FAIL() << "a damaged archive is not walked"; };
    seen.clear();
    z.Compress();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, 25280);
  }

  // An empty file holds nothing to lose: it becomes the archive.
  Put("empty.zip", "");
  TZip z;
  z.SetArchiveFile(Dos("empty.zip"));
  z.FileSpec().Add(Dos("src\\*.txt"));
  EXPECT_EQ(z.Compress(), 3);
  EXPECT_TRUE(ParseFile(Host("empty.zip")).ok);
}

TEST_F(ZipRun, NamesTheOemPageCannotHoldGoInUtf8AndMatchFilesAgain) {
  const std::string euroHost = "src/\xE2\x82\xACuro.txt";  // CP1252 "\x80uro.txt"
  Put(euroHost, TableLike(3000, 1));
  Put("src/caf\xC3\xA9.txt", "accent");
  zip->SetArchiveFile(Dos("n.zip"));
  zip->FileSpec().Add(Dos("src\\*.txt"));
  ASSERT_EQ(zip->Compress(), 2);
  Archive a = ParseFile(Host("n.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.At("\xE2\x82\xACuro.txt").flags & 0x0800, 0x0800);  // UTF-8, flag bit 11
  EXPECT_EQ(a.At("caf\x82.txt").flags & 0x0800, 0);               // the OEM page holds it

  // The UTF-8 entry stands for its file: unchanged, offered for a rename.
  const auto before = ReadBytes(Host("n.zip"));
  std::vector<std::string> offered;
  zip->OnRenameDupeFile = [&](TComponent*, const std::string& f, std::string&, bool& r) {
    offered.push_back(f);
    r = false;
  };
  EXPECT_EQ(zip->Compress(), 0);
  EXPECT_EQ(offered, (std::vector<std::string>{"caf\xE9.txt", "\x80uro.txt"}));
  EXPECT_EQ(ReadBytes(Host("n.zip")), before);

  // Refreshed in place, and removed by a mask.
  Put(euroHost, "new euro");
  zip->SetSwitch(swRefresh);
  EXPECT_EQ(zip->Compress(), 1);
  a = ParseFile(Host("n.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(a.At("\xE2\x82\xACuro.txt").data, "new euro");
  zip->SetSwitch(swDelete);
  zip->FileSpec().Clear();
  zip->FileSpec().Add("\x80*");
  EXPECT_EQ(zip->Compress(), 1);
  a = ParseFile(Host("n.zip"));
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].name, "caf\x82.txt");

  // A Unicode-path block names an entry whose header name is a stand-in.
  {
    TFileStream32 out(Dos("up.zip"), fmCreate);
    ASSERT_TRUE(out.Valid());
    TZipFormat fmt;
    THeaderObj list;
    layertest::AppendEntries(out, fmt, list, {{"_uro.txt", "old euro"}});
    const std::string real = "\xE2\x82\xACuro.txt";
    std::vector<uint8_t> block = {0x75, 0x70, 0, 0, 1, 0, 0, 0, 0};
    zarvo::PutLE16(&block[2], static_cast<uint16_t>(5 + real.size()));
    zarvo::PutLE32(&block[5], Crc32("_uro.txt", 8));
    block.insert(block.end(), real.begin(), real.end());
    list[0].Rec.Extra = block;
    ASSERT_TRUE(fmt.WriteCentralDirectory(out, list));
  }
  TZip r;
  r.SetArchiveFile(Dos("up.zip"));
  r.SetSwitch(swRefresh);
  r.FileSpec().Add(Dos("src\\*.txt"));
  EXPECT_EQ(r.Compress(), 1);
  a = ParseFile(Host("up.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].data, "new euro");
}

TEST_F(ZipRun, UnchangedMeansSameSizeAndDateAndForDosEntriesSameAttributes) {
  AddFiles(2, 3000);
  zip->SetArchiveFile(Dos("h.zip"));
  ASSERT_EQ(zip->Compress(), 2);
  auto bytes = ReadBytes(Host("h.zip"));
  // The same entries as a Unix program would list them: host 3, mode bits.
  const size_t dir = U32(bytes, bytes.size() - 22 + 16);
  for (size_t p = dir; p < bytes.size() - 22; p += 46 + U16(bytes, p + 28) + U16(bytes, p + 30)) {
    bytes[p + 5] = 3;
    bytes[p + 38] = 0, bytes[p + 39] = 0, bytes[p + 40] = 0xA4, bytes[p + 41] = 0x81;
  }
  Put("u.zip", std::string(bytes.begin(), bytes.end()));
  TZip u;
  u.SetArchiveFile(Dos("u.zip"));
  u.SetSwitch(swRefresh);
  u.FileSpec().Add(Dos("src\\*.txt"));
  std::vector<int> codes;
  u.OnError = [&](TComponent*, const std::string&, const std::string&, const std::string&, int c) {
    codes.push_back(c);
  };
  EXPECT_EQ(u.Compress(), 0);
  EXPECT_EQ(codes, std::vector<int>{25268});
  EXPECT_EQ(ReadBytes(Host("u.zip")), bytes);

  // For DOS entries the attributes count.
  ASSERT_TRUE(platform::SetFileAttributes(Dos("src\\f1.txt"), platform::kAttrReadOnly));
  zip->SetSwitch(swRefresh);
  EXPECT_EQ(zip->Compress(), 1);
  ASSERT_TRUE(platform::SetFileAttributes(Dos("src\\f1.txt"), platform::kAttrNormal));
  EXPECT_EQ(zip->Compress(), 1);

  // Same size, newer date: changed.
  int64_t t = 0;
  ASSERT_TRUE(platform::File::Open(Dos("src\\f2.txt"), platform::Access::Read, platform::Share::Shared)
                  ->GetModifiedTime(t));
  Put("src/f2.txt", TableLike(3000, 77));
  ASSERT_TRUE(platform::SetFileModifiedTime(Dos("src\\f2.txt"), t + 3600));
  EXPECT_EQ(u.Compress(), 1);
  Archive a = ParseFile(Host("u.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.At("f2.txt").data, TableLike(3000, 77));
  std::vector<std::string> asked;
  zip->SetSwitch(swAdd);
  zip->OnReplaceFile = [&](TComponent*, const std::string& f, const std::string&, uint32_t d, uint32_t nd,
                           int64_t s, int64_t ns, uint32_t, uint32_t, bool& replace) {
    EXPECT_EQ(s, ns);
    EXPECT_LT(d, nd);
    asked.push_back(f);
    replace = false;
  };
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  zip->Compress();
  EXPECT_EQ(asked, std::vector<std::string>{"f2.txt"});
}

TEST_F(ZipRun, CancelWhileUpdatingKeepsEveryOldEntryReadable) {
  AddFiles(4, 150000);
  zip->SetArchiveFile(Dos("u.zip"));
  ASSERT_EQ(zip->Compress(), 4);
  std::vector<std::string> data;
  for (int i = 1; i <= 4; ++i) data.push_back(TableLike(150000, i));
  // Every old entry is there, readable, with the content it should have.
  auto check = [&](size_t extra) {
    Archive a = ParseFile(Host("u.zip"));
    ASSERT_TRUE(a.ok) << a.error;
    ASSERT_EQ(a.entries.size(), 4 + extra);
    for (size_t i = 0; i < 4; ++i) {
      const std::string name = "f" + std::to_string(i + 1) + ".txt";
      SCOPED_TRACE(name);
      EXPECT_TRUE(a.At(name).data == data[i]);
    }
  };
  // Cancels while the file whose name ends in `name` is being compressed.
  auto cancelOn = [&](const std::string& name) {
    zip->OnProgress = [this, name](TComponent*, uint8_t f, uint8_t) {
      const TZipEntry& e = zip->Entries().items.at(static_cast<size_t>(zip->FileNumber() - 1));
      if (e.action == kActCompress && e.name.size() >= name.size() &&
          e.name.compare(e.name.size() - name.size(), name.size(), name) == 0 && f > 10 && !zip->Cancel())
        zip->SetCancel(true);
    };
  };

  // Refresh: f2 and f3 changed; the cancel comes while f3 is recompressed.
  // Whether f2 came first depends on the order the folder lists them in.
  Put("src/f2.txt", TableLike(160000, 20));
  Put("src/f3.txt", TableLike(160000, 30));
  zip->SetSwitch(swRefresh);
  cancelOn("\\f3.txt");
  const int refreshed = zip->Compress();
  ASSERT_LE(refreshed, 1);
  if (refreshed == 1) data[1] = TableLike(160000, 20);
  check(0);

  // Add with replacement: the cancel comes while f1's replacement is written;
  // the old f1 stays, and what was not finished stays out.
  Put("src/f1.txt", TableLike(170000, 10));
  Put("src/f5.txt", TableLike(100, 5));
  zip->SetSwitch(swAdd);
  zip->OnReplaceFile = [](TComponent*, const std::string& f, const std::string&, uint32_t, uint32_t, int64_t,
                          int64_t, uint32_t, uint32_t, bool& replace) { replace = f == "f1.txt"; };
  zip->OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
  cancelOn("\\f1.txt");
  const int added = zip->Compress();
  ASSERT_LE(added, 1);
  check(static_cast<size_t>(added));
}

}  // namespace
