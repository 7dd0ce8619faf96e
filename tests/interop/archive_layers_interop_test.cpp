// Archives written through the engine's format and stream layers checked by
// Info-ZIP unzip/zipinfo, 7-Zip and Python's zipfile; archives made by
// Info-ZIP zip read back through the engine's reader.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_layers_support.h"
#include "archive/zarvoDeflate.h"
#include "archive/zarvoFileIo.h"
#include "archive/zarvoHeaders.h"
#include "archive/zarvoStreams.h"
#include "platform/text.h"
#include "support/shell.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;
using layertest::TestFile;

namespace {

struct Out {
  int status = -1;
  std::string text;
};

Out Shell(const std::string& command) {
  Out o;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return o;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
  o.status = ::pclose(p);
  return o;
}

// One line per entry from Python's zipfile: name|size|packed|crc|y-m-d h:m:s|external|method|flags
const char* kLister = R"PY(
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for i in z.infolist():
    d = i.date_time
    print("%s|%d|%d|%08X|%04d-%02d-%02d %02d:%02d:%02d|%d|%d|%d" % (i.filename, i.file_size, i.compress_size,
          i.CRC, d[0], d[1], d[2], d[3], d[4], d[5], i.external_attr, i.compress_type, i.flag_bits))
print("comment=" + z.comment.decode("cp437"))
print("test=" + str(z.testzip()))
)PY";

std::vector<std::string> Lines(const std::string& s) {
  std::vector<std::string> r;
  std::istringstream in(s);
  std::string line;
  while (std::getline(in, line)) r.push_back(line);
  return r;
}

std::string PyList(const TempDrive& t, const std::string& hostZip) {
  std::ofstream(t.Host("lister.py")) << kLister;
  Out o = Shell("/usr/bin/python3 " + Quote(t.Host("lister.py")) + " " + Quote(hostZip));
  EXPECT_EQ(o.status, 0) << o.text;
  return o.text;
}

char Hex(unsigned v) { return "0123456789ABCDEF"[v & 15]; }
std::string Hex8(uint32_t v) {
  std::string s(8, '0');
  for (int i = 7; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = Hex(v);
  return s;
}

}  // namespace

TEST(ArchiveLayersInterop, OurArchivesPassUnzip7zAndPython) {
  TempDrive t('T');
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "Velmora;" + std::to_string(i * 37) + ";Dictionary entry\r\n";
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>(x >> 16));
  }
  // 2024-03-15 10:20:30 and 1999-12-31 23:59:58 in MS-DOS form.
  const uint32_t d1 = (((2024 - 1980) << 9 | 3 << 5 | 15) << 16) | (10 << 11 | 20 << 5 | 15);
  const uint32_t d2 = (((1999 - 1980) << 9 | 12 << 5 | 31) << 16) | (23 << 11 | 59 << 5 | 29);
  std::vector<TestFile> files = {
      {"Dictionary.dbf", text, d1, 0x20, dtDeflateN, false},
      {"tables\\Orders.fpt", text.substr(0, 20000), d2, 0x21, dtDeflateX, false},
      {"tables\\noise.bin", noise, d1, 0x20, dtDeflateF, false},
      {"backup.ZIP", noise.substr(0, 3000), d1, 0x20, dtDeflateS, false},
      {"empty.txt", "", d2, 0x20, dtDeflateN, false},
      {"Caf\xE9 r\xE9sum\xE9.txt", "accents", d1, 0x22, dtDeflateN, false},
  };
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("ours.zip"), files, "backup of the tables"));
  const std::string zip = t.Host("ours.zip");

  Out u = Shell("unzip -t " + Quote(zip));
  EXPECT_EQ(u.status, 0) << u.text;
  EXPECT_NE(u.text.find("No errors detected"), std::string::npos) << u.text;
  Out s = Shell("7z t " + Quote(zip));
  EXPECT_EQ(s.status, 0) << s.text;
  EXPECT_NE(s.text.find("Everything is Ok"), std::string::npos) << s.text;
  Out p = Shell("/usr/bin/python3 -m zipfile -t " + Quote(zip));
  EXPECT_EQ(p.status, 0) << p.text;

  // Every listed field matches what was written.
  std::vector<std::string> lines = Lines(PyList(t, zip));
  ASSERT_EQ(lines.size(), files.size() + 2);
  for (size_t i = 0; i < files.size(); ++i) {
    const TestFile& f = files[i];
    std::string name = platform::AnsiToUtf8(zarvo::HeaderNameFromStored(f.storedName, false));
    uint32_t dd = f.dosDateTime;
    char when[32];
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (dd >> 25), (dd >> 21) & 15,
                  (dd >> 16) & 31, (dd >> 11) & 31, (dd >> 5) & 63, (dd & 31) * 2);
    bool stored = f.level == dtDeflateS || f.data.empty();
    uint32_t crc = f.data.empty() ? 0 : Crc32(f.data.data(), f.data.size());
    std::string want = name + "|" + std::to_string(f.data.size()) + "|";
    EXPECT_EQ(lines[i].substr(0, want.size()), want);
    std::string tail = "|" + Hex8(crc) + "|" + when + "|" + std::to_string(f.attributes) + "|" +
                       (stored ? "0" : "8") + "|" + std::to_string(stored ? 0 : DeflateFlagBits(f.level));
    EXPECT_NE(lines[i].find(tail), std::string::npos) << lines[i] << " wants " << tail;
  }
  EXPECT_EQ(lines[files.size()], "comment=backup of the tables");
  EXPECT_EQ(lines[files.size() + 1], "test=None");

  // zipinfo agrees on the names, 7-Zip on CRCs and attributes.
  Out zi = Shell("zipinfo -1 " + Quote(zip));
  EXPECT_NE(zi.text.find("tables/Orders.fpt"), std::string::npos) << zi.text;
  Out sl = Shell("7z l -slt " + Quote(zip));
  EXPECT_NE(sl.text.find("CRC = " + Hex8(Crc32(text.data(), text.size()))), std::string::npos) << sl.text;
  EXPECT_NE(sl.text.find("Attributes = RA"), std::string::npos) << sl.text;

  // Extraction gives back the bytes, the non-ASCII name through the OEM page.
  fs::create_directories(t.Host("x"));
  Out ex = Shell("cd " + Quote(t.Host("x")) + " && /usr/bin/python3 -m zipfile -e " + Quote(zip) + " .");
  ASSERT_EQ(ex.status, 0) << ex.text;
  std::ifstream in(t.Host("x/Caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9.txt"), std::ios::binary);
  std::string got((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(got, "accents");

  // veltool ziplist lists through the same reader; a damaged archive fails.
  Out lt = Shell(std::string(VEL_VELTOOL) + " ziplist " + Quote(zip));
  EXPECT_EQ(lt.status, 0) << lt.text;
  EXPECT_NE(lt.text.find("tables/Orders.fpt\t8\t0x0002\t"), std::string::npos) << lt.text;
  EXPECT_NE(lt.text.find("Caf\xC3\xA9 r\xC3\xA9sum\xC3\xA9.txt\t8\t"), std::string::npos) << lt.text;
  EXPECT_NE(lt.text.find("comment\tbackup of the tables"), std::string::npos) << lt.text;
  Out cut = Shell("head -c -30 " + Quote(zip) + " > " + Quote(t.Host("cut.zip")) + " && " + VEL_VELTOOL +
                  " ziplist --json " + Quote(t.Host("cut.zip")));
  EXPECT_NE(cut.status, 0) << cut.text;
  EXPECT_NE(cut.text.find("\"endRecord\":false"), std::string::npos) << cut.text;
  EXPECT_NE(cut.text.find("\"name\":\"empty.txt\""), std::string::npos) << cut.text;

  // Our own reader gets the CP1252 name back.
  TFileStream32 arc(t.Dos("ours.zip"), fmOpenRead | fmShareDenyWrite);
  TCompHeaderObj list;
  TZipFormat fmt;
  ASSERT_EQ(fmt.ReadArchive(arc, list), 6);
  EXPECT_EQ(list[5].Name, "Caf\xE9 r\xE9sum\xE9.txt");
}

TEST(ArchiveLayersInterop, EncryptedEntriesOpenWithThePassword) {
  TempDrive t('T');
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "secret line " + std::to_string(i) + "\n";
  std::vector<TestFile> files = {
      {"deflated.txt", text, 0x5A2B6C3D, 0x20, dtDeflateN, false, "Velmora"},
      {"stored.bin", text.substr(0, 999), 0x5A2B6C3D, 0x20, dtDeflateS, false, "Velmora"}};
  ASSERT_TRUE(layertest::WriteArchive(t.Dos("enc.zip"), files));
  Out ok = Shell("unzip -t -P Velmora " + Quote(t.Host("enc.zip")));
  EXPECT_EQ(ok.status, 0) << ok.text;
  EXPECT_NE(ok.text.find("No errors detected"), std::string::npos) << ok.text;
  Out s7 = Shell("7z t -pVelmora " + Quote(t.Host("enc.zip")));
  EXPECT_EQ(s7.status, 0) << s7.text;
  Out bad = Shell("unzip -t -P wrong " + Quote(t.Host("enc.zip")));
  EXPECT_NE(bad.status, 0) << bad.text;
}

TEST(ArchiveLayersInterop, InfoZipArchivesReadBack) {
  TempDrive t('T');
  fs::create_directories(t.Host("src/sub/deeper"));
  fs::create_directories(t.Host("src/emptydir"));
  std::string big;
  for (int i = 0; i < 20000; ++i) big += "row " + std::to_string(i) + "\n";
  std::ofstream(t.Host("src/a.txt")) << big;
  std::ofstream(t.Host("src/sub/b.dbf")) << "tiny";
  std::ofstream(t.Host("src/sub/deeper/c.txt")) << big.substr(0, 7777);
  std::ofstream(t.Host("src/empty.dat")) << "";

  struct Case {
    std::string zip, command;
    std::string comment;
  };
  std::vector<Case> cases = {
      {"deflated.zip", "zip -qr deflated.zip src", ""},
      {"stored.zip", "zip -qr0 stored.zip src", ""},
      {"comment.zip", "echo 'made by zip' | zip -qrz comment.zip src", "made by zip"},
      {"nodirs.zip", "zip -qrD nodirs.zip src", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zip);
    Out made = Shell("cd " + Quote(t.Host()) + " && " + c.command);
    ASSERT_EQ(made.status, 0) << made.text;
    std::vector<std::string> names = Lines(Shell("zipinfo -1 " + Quote(t.Host(c.zip))).text);
    std::vector<std::string> py = Lines(PyList(t, t.Host(c.zip)));

    TFileStream32 arc(t.Dos(c.zip), fmOpenRead | fmShareDenyWrite);
    ASSERT_TRUE(arc.Valid());
    TCompHeaderObj list;
    TZipFormat fmt;
    int reports = 0;
    fmt.ReportError = [&](const std::string&, const std::string&, int) { ++reports; };
    ASSERT_EQ(fmt.ReadArchive(arc, list), static_cast<int>(names.size()));
    EXPECT_EQ(reports, 0);
    EXPECT_FALSE(list.Damaged);
    EXPECT_EQ(list.ArchiveComment.substr(0, c.comment.size()), c.comment);
    for (int i = 0; i < list.Count(); ++i) {
      const THeaderEntry& e = list[i];
      std::string slashed = e.Name;
      for (char& ch : slashed)
        if (ch == '\\') ch = '/';
      EXPECT_EQ(slashed, names[static_cast<size_t>(i)]);
      std::string want = names[static_cast<size_t>(i)] + "|" + std::to_string(e.UnpackedSize()) + "|" +
                         std::to_string(e.PackedSize()) + "|" + Hex8(e.Crc32()) + "|";
      EXPECT_EQ(py[static_cast<size_t>(i)].substr(0, want.size()), want);
    }

    // Copying every entry and writing a new directory gives an archive unzip accepts.
    TFileStream32 out(t.Dos("copy_" + c.zip), fmCreate);
    for (int i = 0; i < list.Count(); ++i) ASSERT_TRUE(fmt.CopyEntry(arc, out, list[i]));
    ASSERT_TRUE(fmt.WriteCentralDirectory(out, list));
    out.Close();
    Out u = Shell("unzip -t " + Quote(t.Host("copy_" + c.zip)));
    EXPECT_EQ(u.status, 0) << u.text;
    EXPECT_EQ(Lines(Shell("zipinfo -1 " + Quote(t.Host("copy_" + c.zip))).text), names);
  }
}
