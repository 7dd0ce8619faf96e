// Our zip archives against Info-ZIP zip/unzip, 7-Zip and Python's zipfile,
// and archives made by Info-ZIP zip extended, refreshed and thinned by ours.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "archive/zarvoZip.h"
#include "platform/paths.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

namespace {

struct Out {
  int status;
  std::string text;
};

Out Shell(const std::string& command) {
  Out o{-1, ""};
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return o;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
  int rc = ::pclose(p);
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return o;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

void Write(const std::string& host, const std::string& data) {
  fs::create_directories(fs::path(host).parent_path());
  std::ofstream(host, std::ios::binary | std::ios::trunc) << data;
}

std::string Read(const std::string& host) {
  std::ifstream f(host, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string Rows(size_t n, int seed) {
  std::string s;
  for (int r = 0; s.size() < n; ++r)
    s += "ROW" + std::to_string(r + seed) + "  Velmora  " + std::to_string((r * 31 + seed) % 977) + "\r\n";
  s.resize(n);
  return s;
}

std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// All three peers accept the archive (with the password when given).
void ExpectPeersAccept(const std::string& host, const std::string& password = "") {
  std::string pw = password.empty() ? "" : " -P " + Q(password);
  Out u = Shell("unzip -t" + pw + " " + Q(host));
  EXPECT_EQ(u.status, 0) << u.text;
  EXPECT_EQ(u.text.find("warning"), std::string::npos) << u.text;
  Out z = Shell("7z t -y" + (password.empty() ? std::string() : " -p" + Q(password)) + " " + Q(host));
  EXPECT_EQ(z.status, 0) << z.text;
  EXPECT_NE(z.text.find("Everything is Ok"), std::string::npos) << z.text;
  std::string py = "import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1])\n";
  if (!password.empty()) py += "z.setpassword(sys.argv[2].encode())\n";
  py += "bad=z.testzip()\nprint(bad)\nsys.exit(0 if bad is None else 1)\n";
  Write(host + ".check.py", py);
  Out p = Shell("/usr/bin/python3 " + Q(host + ".check.py") + " " + Q(host) +
                (password.empty() ? "" : " " + Q(password)));
  EXPECT_EQ(p.status, 0) << p.text;
  fs::remove(host + ".check.py");
}

class ZipInterop : public ::testing::Test {
 protected:
  TempDrive d{'T'};
  std::string H(const std::string& n) const { return d.Host(n); }
  std::string D(const std::string& n) const { return d.Dos(n); }
};

TEST_F(ZipInterop, PeersAcceptOurArchives) {
  Write(H("src/table.dbf"), Rows(400000, 1));
  Write(H("src/table.fpt"), Rows(70000, 2) + Noise(5000, 1));
  Write(H("src/noise.bin"), Noise(300000, 2));
  Write(H("src/small.txt"), "small");
  Write(H("src/tiny.bin"), Noise(100, 3));
  Write(H("src/empty.cdx"), "");
  Write(H("src/inner.zip"), Rows(3000, 3));
  Write(H("src/sub/deep.dbf"), Rows(2000, 4));
  Write(H("src/caf\xc3\xa9.txt"), "accent");  // stored in the OEM code page
  fs::create_directories(H("src/hollow"));

  for (TDeflateType level : {dtDeflateF, dtDeflateN, dtDeflateX}) {
    TZip zip;
    zip.SetArchiveFile(D("ours.zip"));
    zip.SetDeflateType(level);
    zip.SetStoreEmptySubDirs(true);
    zip.FileSpec().Add(D("src\\*.*"));
    ASSERT_EQ(zip.Compress(), 10);
    ExpectPeersAccept(H("ours.zip"));
    EXPECT_EQ(Shell("unzip -p " + Q(H("ours.zip")) + " table.dbf").text, Rows(400000, 1));
    EXPECT_EQ(Shell("unzip -p " + Q(H("ours.zip")) + " sub/deep.dbf").text, Rows(2000, 4));
    // Names are stored in the OEM code page, which Python decodes as CP437.
    Out list =
        Shell("/usr/bin/python3 -c \"import zipfile,sys; print(*zipfile.ZipFile(sys.argv[1]).namelist())\" " +
              Q(H("ours.zip")));
    EXPECT_NE(list.text.find("hollow/"), std::string::npos) << list.text;
    EXPECT_NE(list.text.find("caf\xc3\xa9.txt"), std::string::npos) << list.text;
    fs::remove(H("ours.zip"));
  }

  TZip enc;
  enc.SetArchiveFile(D("secret.zip"));
  enc.SetPassword("Velmora!");
  enc.FileSpec().Add(D("src\\*.*"));
  ASSERT_EQ(enc.Compress(), 9);
  ExpectPeersAccept(H("secret.zip"), "Velmora!");
  EXPECT_EQ(Shell("unzip -p -P Velmora! " + Q(H("secret.zip")) + " noise.bin").text, Noise(300000, 2));
  EXPECT_NE(Shell("unzip -t -P wrong " + Q(H("secret.zip"))).status, 0);
}

// Every file under `root` (relative names) with its bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> t;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) t[fs::relative(e.path(), root).string()] = Read(e.path().string());
  return t;
}

TEST_F(ZipInterop, ArchivesOfOneTwoAndEightWorkersExtractToTheSameBytes) {
  Write(H("src/big.dbf"), Rows(3000000, 1));  // twelve blocks
  Write(H("src/mixed.fpt"), Rows(600000, 2) + Noise(300000, 3) + Rows(400000, 4));
  Write(H("src/noise.cdx"), Noise(700000, 5));
  for (int i = 0; i < 30; ++i) Write(H("src/t" + std::to_string(i) + ".dbf"), Rows(500 + 997 * i, 10 + i));
  Write(H("src/empty.cdx"), "");
  Write(H("src/tiny.bin"), Noise(100, 6));
  Write(H("src/inner.zip"), Rows(80000, 7));
  Write(H("src/sub/deep.fpt"), Rows(900000, 8));
  const auto source = Tree(H("src"));

  for (int workers : {1, 2, 8}) {
    const std::string w = std::to_string(workers);
    TZip zip;
    zip.SetArchiveFile(D("w" + w + ".zip"));
    zip.SetWorkers(workers);
    if (workers == 8) zip.SetBlockSize(64 * 1024);
    zip.FileSpec().Add(D("src\\*.*"));
    ASSERT_EQ(zip.Compress(), static_cast<int>(source.size())) << w;
    ExpectPeersAccept(H("w" + w + ".zip"));
    Out x = Shell("unzip -qo " + Q(H("w" + w + ".zip")) + " -d " + Q(H("x" + w)));
    ASSERT_EQ(x.status, 0) << x.text;
    EXPECT_TRUE(Tree(H("x" + w)) == source) << w;
  }
  // Python's zipfile reads the pieces back as one stream too.
  Out py = Shell(
      "/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
      "sys.stdout.buffer.write(z.read('big.dbf'))\" " +
      Q(H("w8.zip")));
  EXPECT_EQ(py.status, 0);
  EXPECT_TRUE(py.text == Rows(3000000, 1));

  TZip enc;
  enc.SetArchiveFile(D("secret.zip"));
  enc.SetWorkers(2);
  enc.SetPassword("Velmora!");
  enc.FileSpec().Add(D("src\\*.*"));
  ASSERT_EQ(enc.Compress(), static_cast<int>(source.size()));
  ExpectPeersAccept(H("secret.zip"), "Velmora!");
  EXPECT_TRUE(Shell("unzip -p -P Velmora! " + Q(H("secret.zip")) + " mixed.fpt").text ==
              Rows(600000, 2) + Noise(300000, 3) + Rows(400000, 4));
}

TEST_F(ZipInterop, InfoZipArchivesExtendedRefreshedAndThinned) {
  for (int i = 1; i <= 4; ++i) Write(H("data/t" + std::to_string(i) + ".dbf"), Rows(20000 + i * 1000, i));
  Out made = Shell("cd " + Q(H("data")) + " && zip -q -X ../theirs.zip t1.dbf t2.dbf t3.dbf");
  ASSERT_EQ(made.status, 0) << made.text;

  TZip zip;
  zip.SetArchiveFile(D("theirs.zip"));
  zip.FileSpec().Add(D("data\\t4.dbf"));
  EXPECT_EQ(zip.Compress(), 1);
  ExpectPeersAccept(H("theirs.zip"));
  EXPECT_EQ(Shell("unzip -p " + Q(H("theirs.zip")) + " t1.dbf").text, Rows(21000, 1));
  EXPECT_EQ(Shell("unzip -p " + Q(H("theirs.zip")) + " t4.dbf").text, Rows(24000, 4));

  Write(H("data/t2.dbf"), Rows(5000, 42));
  zip.SetSwitch(swRefresh);
  zip.FileSpec().Clear();
  zip.FileSpec().Add(D("data\\*.dbf"));
  EXPECT_GE(zip.Compress(), 1);
  ExpectPeersAccept(H("theirs.zip"));
  EXPECT_EQ(Shell("unzip -p " + Q(H("theirs.zip")) + " t2.dbf").text, Rows(5000, 42));

  zip.SetSwitch(swDelete);
  zip.FileSpec().Clear();
  zip.FileSpec().Add("t1.dbf");
  zip.FileSpec().Add("t3.dbf");
  EXPECT_EQ(zip.Compress(), 2);
  ExpectPeersAccept(H("theirs.zip"));
  Out list = Shell("unzip -Z1 " + Q(H("theirs.zip")));
  EXPECT_EQ(list.text, "t2.dbf\nt4.dbf\n");

  // A self-extractor made with zip -A keeps its stub in front.
  Shell("cd " + Q(H("data")) + " && zip -q -X ../sfx.zip t1.dbf");
  std::string stub = "MZ" + Noise(4094, 9);
  Write(H("sfx.exe"), stub + Read(H("sfx.zip")));
  ASSERT_EQ(Shell("zip -A " + Q(H("sfx.exe"))).status, 0);
  TZip sfx;
  sfx.SetArchiveFile(D("sfx.exe"));
  sfx.FileSpec().Add(D("data\\t4.dbf"));
  EXPECT_EQ(sfx.Compress(), 1);
  EXPECT_EQ(Read(H("sfx.exe")).substr(0, stub.size()), stub);
  Out t = Shell("unzip -t " + Q(H("sfx.exe")));
  EXPECT_EQ(t.status, 0) << t.text;
  EXPECT_EQ(Shell("unzip -p " + Q(H("sfx.exe")) + " t4.dbf").text, Rows(24000, 4));
}

TEST_F(ZipInterop, SpannedDisksJoinIntoAnArchiveThePeersAccept) {
  for (int i = 1; i <= 3; ++i) Write(H("src/n" + std::to_string(i) + ".bin"), Noise(60000, i));
  Write(H("src/rows.txt"), Rows(200000, 5));
  auto insert = [&](int n) {
    fs::create_directories(H("disk" + std::to_string(n)));
    platform::DriveMapping m;
    m.hostRoot = H("disk" + std::to_string(n));
    m.removable = true;
    m.capacity = 70000;
    platform::MapDrive('A', m);
  };
  insert(1);
  TZip zip;
  zip.SetArchiveFile("A:\\set.zip");
  zip.FileSpec().Add(D("src\\*.*"));
  int disks = 1;
  zip.OnInsertDisk = [&](TComponent*, const std::string& v, bool& cancel) {
    disks = std::stoi(v);
    insert(disks);
    cancel = false;
  };
  EXPECT_EQ(zip.Compress(), 4);
  platform::UnmapDrive('A');
  ASSERT_GE(disks, 3);
  // Info-ZIP names the parts of a split archive set.z01, set.z02, ... set.zip.
  fs::create_directories(H("join"));
  for (int n = 1; n <= disks; ++n) {
    char part[16];
    std::snprintf(part, sizeof part, "set.z%02d", n);
    fs::copy_file(H("disk" + std::to_string(n) + "/set.zip"), H("join/") + (n == disks ? "set.zip" : part));
  }
  Out joined = Shell("cd " + Q(H("join")) + " && zip -q -s 0 set.zip --out whole.zip");
  ASSERT_EQ(joined.status, 0) << joined.text;
  ExpectPeersAccept(H("join/whole.zip"));
  EXPECT_EQ(Shell("unzip -p " + Q(H("join/whole.zip")) + " n2.bin").text, Noise(60000, 2));
  EXPECT_EQ(Shell("unzip -p " + Q(H("join/whole.zip")) + " rows.txt").text, Rows(200000, 5));
}

TEST_F(ZipInterop, VeltoolZip) {
  Write(H("w/a.dbf"), Rows(50000, 1));
  Write(H("w/b.fpt"), Rows(9000, 2));
  Write(H("w/skip.tmp"), "x");
  std::string tool = VEL_VELTOOL;
  std::string env = "VELUPDATE_DRIVE_T=" + Q(d.Root()) + " ";
  Out o = Shell(env + tool + " zip T:\\\\w.zip 'T:\\w\\*.*' --exclude '*.tmp' --level X");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_EQ(o.text.substr(o.text.rfind('\n', o.text.size() - 2) + 1), "2\n");
  ExpectPeersAccept(H("w.zip"));

  // Again: the unchanged file keeps its entry and nothing is compressed.
  auto before = Read(H("w.zip"));
  o = Shell(env + tool + " zip T:\\\\w.zip 'T:\\w\\*.dbf'");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_EQ(o.text, "0\n");
  EXPECT_EQ(Read(H("w.zip")), before);
  // Masks that match nothing: the error line, then the count; exit 1.
  o = Shell(env + tool + " zip T:\\\\w.zip 'T:\\w\\*.xyz'");
  EXPECT_EQ(o.status, 1) << o.text;
  EXPECT_EQ(o.text, "25268 Nothing to do: T:\\w.zip\n0\n");

  Write(H("w/a.dbf"), Rows(1000, 7));
  o = Shell(env + tool + " zip T:\\\\w.zip 'T:\\w\\a.dbf' --replace");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_EQ(Shell("unzip -p " + Q(H("w.zip")) + " a.dbf").text, Rows(1000, 7));

  o = Shell(env + tool + " zip T:\\\\w.zip 'T:\\w\\a.dbf' --rename-dupes");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_NE(Shell("unzip -Z1 " + Q(H("w.zip"))).text.find("a_1.dbf"), std::string::npos);

  o = Shell(env + tool + " zip T:\\\\w.zip 'b.fpt' --switch delete");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_EQ(Shell("unzip -Z1 " + Q(H("w.zip"))).text, "a_1.dbf\na.dbf\n");
  o = Shell(env + tool + " zip T:\\\\missing.zip x --switch delete");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.text.find("26859"), std::string::npos);

  // Workers: any count writes an archive the peers accept; --json says how
  // many it used.
  Write(H("w/big.dbf"), Rows(1500000, 3));
  o = Shell(env + tool + " zip T:\\\\p.zip 'T:\\w\\*.*' --workers 3 --json");
  EXPECT_EQ(o.status, 0) << o.text;
  EXPECT_EQ(o.text, "{\"archive\":\"T:\\\\p.zip\",\"files\":4,\"workers\":3,\"errors\":[]}\n");
  ExpectPeersAccept(H("p.zip"));
  o = Shell(env + tool + " zip T:\\\\p1.zip 'T:\\w\\*.*' --workers 1");
  EXPECT_EQ(o.status, 0) << o.text;
  ExpectPeersAccept(H("p1.zip"));
  o = Shell(env + tool + " zip T:\\\\q.zip 'T:\\w\\*.xyz' --json");
  EXPECT_EQ(o.status, 1) << o.text;
  EXPECT_NE(o.text.find("\"errors\":[{\"code\":25268,\"message\":\"Nothing to do\",\"file\":\"T:\\\\q.zip\""),
            std::string::npos)
      << o.text;
  EXPECT_EQ(Shell(env + tool + " zip T:\\\\p.zip 'T:\\w\\*.*' --workers -1").status, 2);
  EXPECT_EQ(Shell(env + tool + " zip T:\\\\p.zip 'T:\\w\\*.*' --workers many").status, 2);
}

}  // namespace
