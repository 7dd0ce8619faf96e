// Archives past the classic limits and archives other programs made in ways
// ours never does: Zip64 (over 4 GiB, over 65,535 entries, zip -fz), streamed
// entries with data descriptors, UTF-8 names. Ours are tested by Info-ZIP
// unzip, 7-Zip and Python's zipfile; theirs are extended by ours and tested
// again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/zarvoZip.h"
#include "platform/file.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
#define VEL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEL_SANITIZED 1
#endif
#endif

namespace {

struct Out {
  int status = -1;
  std::string text;
};

Out Shell(const std::string& command) {
  Out o;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return o;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) o.text.append(buf, n);
  int rc = ::pclose(p);
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return o;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

// Info-ZIP unzip honours UTF-8 names only in a UTF-8 locale.
const std::string kUnzip = "LC_ALL=C.UTF-8 unzip ";

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Under CI a missing peer fails the test; elsewhere it skips.
#define REQUIRE_PEERS()                                                   \
  do {                                                                    \
    for (const char* peer : {"zip", "unzip", "7z", "/usr/bin/python3"}) { \
      if (Shell(std::string("command -v ") + peer).status != 0) {         \
        if (UnderCi()) FAIL() << "peer program missing: " << peer;        \
        GTEST_SKIP() << "peer program missing: " << peer;                 \
      }                                                                   \
    }                                                                     \
  } while (0)

// unzip -t, 7z t and Python's zipfile all accept the archive.
void ExpectPeersAccept(const std::string& host) {
  Out u = Shell(kUnzip + "-tq " + Q(host));
  EXPECT_EQ(u.status, 0) << u.text.substr(0, 2000);
  Out z = Shell("7z t -y " + Q(host));
  EXPECT_EQ(z.status, 0) << z.text.substr(0, 2000);
  EXPECT_NE(z.text.find("Everything is Ok"), std::string::npos) << z.text.substr(0, 2000);
  EXPECT_EQ(z.text.find("Warning"), std::string::npos) << z.text.substr(0, 2000);
  Out p = Shell(
      "/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
      "b=z.testzip(); print(b); sys.exit(0 if b is None else 1)\" " +
      Q(host));
  EXPECT_EQ(p.status, 0) << p.text.substr(0, 2000);
}

// name|size|compressed|crc per entry, as Python's zipfile sees them.
std::string PyList(const std::string& host) {
  return Shell(
             "/usr/bin/python3 -c \"import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
             "print('%s|%d|%d|%08X' % (i.filename, i.file_size, i.compress_size, i.CRC))\" " +
             Q(host))
      .text;
}

std::string Rows(size_t n, int seed) {
  std::string s;
  for (int r = 0; s.size() < n; ++r)
    s += "ROW" + std::to_string(r + seed) + "  Velmora  " + std::to_string((r * 31 + seed) % 977) + "\r\n";
  s.resize(n);
  return s;
}

class ZipPeers : public ::testing::Test {
 protected:
  TempDrive d{'T'};
  std::string H(const std::string& n) const { return d.Host(n); }
  std::string D(const std::string& n) const { return d.Dos(n); }
  // An entry's bytes as Python's zipfile reads them.
  std::string Unzipped(const std::string& zip, const std::string& name) {
    return Shell(
               "/usr/bin/python3 -c \"import zipfile,sys; "
               "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1])"
               ".read(sys.argv[2]))\" " +
               Q(H(zip)) + " " + Q(name))
        .text;
  }
  // Adds `spec` to the archive with our engine; returns the count.
  int Add(const std::string& zip, const std::string& spec, TSwitch sw = swAdd) {
    TZip z;
    z.SetArchiveFile(D(zip));
    z.SetSwitch(sw);
    z.FileSpec().Add(D(spec));
    z.OnError = [&](TComponent*, const std::string& f, const std::string& x, const std::string&, int c) {
      errors.push_back(std::to_string(c) + " " + f + " " + x);
    };
    z.OnReplaceFile = [](TComponent*, const std::string&, const std::string&, uint32_t, uint32_t, int64_t,
                         int64_t, uint32_t, uint32_t, bool& replace) { replace = true; };
    z.OnRenameDupeFile = [](TComponent*, const std::string&, std::string&, bool& r) { r = false; };
    return z.Compress();
  }
  std::vector<std::string> errors;
};

TEST_F(ZipPeers, Zip64ArchivesOfInfoZipAreExtended) {
  REQUIRE_PEERS();
  for (int i = 1; i <= 3; ++i) WriteHostFile(H("d/t" + std::to_string(i) + ".dbf"), Rows(30000 + i, i));
  Out made = Shell("cd " + Q(H("d")) + " && zip -q -X -fz ../z64.zip t1.dbf t2.dbf");
  ASSERT_EQ(made.status, 0) << made.text;
  EXPECT_EQ(Add("z64.zip", "d\\t3.dbf"), 1);
  EXPECT_TRUE(errors.empty()) << errors.front();
  ExpectPeersAccept(H("z64.zip"));
  EXPECT_TRUE(Unzipped("z64.zip", "t1.dbf") == Rows(30001, 1));
  EXPECT_TRUE(Unzipped("z64.zip", "t3.dbf") == Rows(30003, 3));
  // A refresh of one of theirs, in place.
  WriteHostFile(H("d/t2.dbf"), Rows(777, 9));
  EXPECT_EQ(Add("z64.zip", "d\\*.dbf", swRefresh), 1);
  ExpectPeersAccept(H("z64.zip"));
  EXPECT_TRUE(Unzipped("z64.zip", "t2.dbf") == Rows(777, 9));
  EXPECT_EQ(Shell(kUnzip + "-Z1 " + Q(H("z64.zip"))).text, "t1.dbf\nt2.dbf\nt3.dbf\n");
}

TEST_F(ZipPeers, StreamedArchivesWithDataDescriptorsAreExtended) {
  REQUIRE_PEERS();
  WriteHostFile(H("in.txt"), Rows(50000, 1));
  WriteHostFile(H("add.txt"), Rows(3000, 2));
  // Info-ZIP writing to a pipe: sizes after the data, in Zip64 form.
  Out made = Shell("cd " + Q(d.Root()) + " && zip -q - in.txt | cat > piped.zip");
  ASSERT_EQ(made.status, 0) << made.text;
  // Python writing to a stream it cannot seek: 32-bit data descriptors.
  WriteHostFile(H("stream.py"),
                "import zipfile,sys\n"
                "class W:\n"
                "  def __init__(s): s.f=open(sys.argv[1],'wb')\n"
                "  def write(s,b): return s.f.write(b)\n"
                "  def flush(s): s.f.flush()\n"
                "w=W()\n"
                "with zipfile.ZipFile(w,'w',zipfile.ZIP_DEFLATED) as z:\n"
                "  z.writestr('one.txt', 'first entry '*500)\n"
                "  with z.open('two.bin','w') as f: f.write(bytes(range(256))*40)\n");
  made = Shell("/usr/bin/python3 " + Q(H("stream.py")) + " " + Q(H("py.zip")));
  ASSERT_EQ(made.status, 0) << made.text;
  for (const char* zip : {"piped.zip", "py.zip"}) {
    SCOPED_TRACE(zip);
    const std::string before = ReadHostFile(H(zip));
    ASSERT_EQ(before.substr(6, 1), std::string(1, '\x08'));  // flag bit 3: streamed
    errors.clear();
    EXPECT_EQ(Add(zip, "add.txt"), 1);
    EXPECT_TRUE(errors.empty()) << errors.front();
    ExpectPeersAccept(H(zip));
    EXPECT_TRUE(Unzipped(zip, "add.txt") == Rows(3000, 2));
  }
  EXPECT_TRUE(Unzipped("piped.zip", "in.txt") == Rows(50000, 1));
  EXPECT_EQ(Unzipped("py.zip", "one.txt"), [] {
    std::string s;
    for (int i = 0; i < 500; ++i) s += "first entry ";
    return s;
  }());
}

TEST_F(ZipPeers, NamesOutsideTheOemPageRoundTripThroughInfoZipAnd7Zip) {
  REQUIRE_PEERS();
  const std::string euro = "\xE2\x82\xACuro.txt";
  const std::string cjk = "\xE6\x97\xA5\xE6\x9C\xAC.txt";
  const std::string mueller = "M\xC3\xBCller.txt";
  WriteHostFile(H("src/" + euro), "euro");
  WriteHostFile(H("src/" + mueller), "mueller");
  // Ours: a name in UTF-8 (flag bit 11), one in the OEM page.
  TZip ours;
  ours.SetArchiveFile(D("ours.zip"));
  ours.FileSpec().Add(D("src\\*.txt"));
  ASSERT_EQ(ours.Compress(), 2);
  ExpectPeersAccept(H("ours.zip"));
  Out names = Shell(
      "/usr/bin/python3 -c \"import zipfile,sys; print(sorted(zipfile.ZipFile(sys.argv[1]).namelist()))\" " +
      Q(H("ours.zip")));
  EXPECT_NE(names.text.find(euro), std::string::npos) << names.text;
  EXPECT_NE(names.text.find(mueller), std::string::npos) << names.text;
  fs::create_directories(H("x7"));
  Out x = Shell("cd " + Q(H("x7")) + " && LC_ALL=C.UTF-8 7z x -y ../ours.zip");
  ASSERT_EQ(x.status, 0) << x.text;
  EXPECT_EQ(ReadHostFile(H("x7/" + euro)), "euro");
  EXPECT_EQ(ReadHostFile(H("x7/" + mueller)), "mueller");
  fs::create_directories(H("xu"));
  x = Shell("cd " + Q(H("xu")) + " && " + kUnzip + "-q ../ours.zip");
  ASSERT_EQ(x.status, 0) << x.text;
  EXPECT_EQ(ReadHostFile(H("xu/" + euro)), "euro");

  // 7-Zip's archive (UTF-8 names, flag bit 11) refreshed by ours: the euro
  // entry matches its file; the CJK one, which no ANSI name can stand for,
  // is carried along untouched.
  WriteHostFile(H("seven/" + euro), "euro");
  WriteHostFile(H("seven/" + cjk), "nihon");
  Out made = Shell("cd " + Q(H("seven")) + " && 7z a -tzip ../seven.zip " + Q(euro) + " " + Q(cjk));
  ASSERT_EQ(made.status, 0) << made.text;
  WriteHostFile(H("src/" + euro), "euro, refreshed");
  EXPECT_EQ(Add("seven.zip", "src\\*.txt", swRefresh), 1);
  ExpectPeersAccept(H("seven.zip"));
  EXPECT_EQ(Unzipped("seven.zip", euro), "euro, refreshed");
  EXPECT_EQ(Unzipped("seven.zip", cjk), "nihon");
  EXPECT_EQ(Shell(kUnzip + "-Z1 " + Q(H("seven.zip"))).text, euro + "\n" + cjk + "\n");

  // veltool ziplist shows them right, and its JSON is valid UTF-8.
  std::string env = "VELUPDATE_DRIVE_T=" + Q(d.Root()) + " ";
  Out list = Shell(env + VEL_VELTOOL + " ziplist 'T:\\seven.zip'");
  EXPECT_EQ(list.status, 0) << list.text;
  EXPECT_NE(list.text.find(cjk + "\t"), std::string::npos) << list.text;
  Out json = Shell(
      env + VEL_VELTOOL +
      " ziplist 'T:\\seven.zip' --json | /usr/bin/python3 -c \"import json,sys; "
      "d=json.loads(sys.stdin.buffer.read().decode('utf-8')); print(*[e['name'] for e in d['entries']])\"");
  EXPECT_EQ(json.status, 0) << json.text;
  EXPECT_EQ(json.text, euro + " " + cjk + "\n");
}

TEST_F(ZipPeers, InfoZipEntriesFromUnixRefreshWithNothingChanged) {
  REQUIRE_PEERS();
  for (int i = 1; i <= 3; ++i) WriteHostFile(H("d/t" + std::to_string(i) + ".dbf"), Rows(20000 + i, i));
  Out made = Shell("cd " + Q(H("d")) + " && zip -q ../unix.zip t1.dbf t2.dbf t3.dbf");
  ASSERT_EQ(made.status, 0) << made.text;
  const std::string before = ReadHostFile(H("unix.zip"));
  // Their entries hold Unix mode bits: only size and date decide.
  EXPECT_EQ(Add("unix.zip", "d\\*.dbf", swRefresh), 0);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].substr(0, 6), "25268 ");
  EXPECT_EQ(ReadHostFile(H("unix.zip")), before);
  // One changed: only it is recompressed; the others keep their extra fields.
  WriteHostFile(H("d/t2.dbf"), Rows(5000, 42));
  EXPECT_EQ(Add("unix.zip", "d\\*.dbf", swRefresh), 1);
  ExpectPeersAccept(H("unix.zip"));
  Out extra = Shell(
      "/usr/bin/python3 -c \"import zipfile,sys\nfor i in zipfile.ZipFile(sys.argv[1]).infolist(): "
      "print(i.filename, i.extra[:2] == b'UT')\" " +
      Q(H("unix.zip")));
  EXPECT_EQ(extra.text, "t1.dbf True\nt2.dbf False\nt3.dbf True\n");
}

TEST_F(ZipPeers, SixtyFiveThousandEntriesAndMore) {
  REQUIRE_PEERS();
  const int n = 65600;
  fs::create_directories(H("many"));
  for (int i = 0; i < n; ++i) std::ofstream(H("many/e" + std::to_string(i)));
  ASSERT_EQ(Add("many.zip", "many\\*.*"), n);
  ExpectPeersAccept(H("many.zip"));
  Out count = Shell(
      "/usr/bin/python3 -c \"import zipfile,sys; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))\" " +
      Q(H("many.zip")));
  EXPECT_EQ(count.text, std::to_string(n) + "\n");
  // Read back by ours and extended.
  WriteHostFile(H("one.more"), "one more");
  errors.clear();
  EXPECT_EQ(Add("many.zip", "one.more"), 1);
  EXPECT_TRUE(errors.empty()) << errors.front();
  Out z = Shell("7z t -y " + Q(H("many.zip")));
  EXPECT_NE(z.text.find("Files: " + std::to_string(n + 1)), std::string::npos) << z.text.substr(0, 2000);
  EXPECT_EQ(Unzipped("many.zip", "one.more"), "one more");
}

// Giant archives that write or inflate several GiB more than once run only
// when asked for (VELUPDATE_GIANT_TESTS=1): each takes minutes on a shared
// machine. None runs in the sanitizer build.
#define REQUIRE_GIANT_TESTS()                                                         \
  do {                                                                                \
    const char* giant = std::getenv("VELUPDATE_GIANT_TESTS");                         \
    if (!giant || std::string(giant) != "1")                                          \
      GTEST_SKIP() << "set VELUPDATE_GIANT_TESTS=1 to build archives of several GiB"; \
  } while (0)

// A sparse source of zeros over 4 GiB and a small file after it.
uint64_t MakeBigSource(const TempDrive& d, uint64_t size) {
  fs::create_directories(d.Host("big"));
  { std::ofstream(d.Host("big/zeros.dat")); }
  fs::resize_file(d.Host("big/zeros.dat"), size);
  WriteHostFile(d.Host("big/after.txt"), Rows(5000, 1));
  return size;
}

// Over 4 GiB deflated: sizes past 32 bits. Zeros deflate fast and inflate
// fast; this one runs in the normal build.
TEST_F(ZipPeers, OverFourGiBDeflated) {
#ifdef VEL_SANITIZED
  GTEST_SKIP() << "archives over 4 GiB are not built in the sanitizer build";
#endif
  REQUIRE_PEERS();
  const uint64_t big = MakeBigSource(d, (4ull << 30) + 12345);
  TZip z;
  z.SetArchiveFile(D("deflated.zip"));
  z.SetDeflateType(dtDeflateF);
  z.FileSpec().Add(D("big\\*.*"));
  ASSERT_EQ(z.Compress(), 2);
  ExpectPeersAccept(H("deflated.zip"));
  std::string list = PyList(H("deflated.zip"));
  EXPECT_NE(list.find("zeros.dat|" + std::to_string(big) + "|"), std::string::npos) << list;
  // Ours reads it back and adds to it; the big entry is carried over as it was.
  WriteHostFile(H("late.txt"), "late");
  EXPECT_EQ(Add("deflated.zip", "late.txt"), 1);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(Unzipped("deflated.zip", "late.txt"), "late");
  EXPECT_EQ(Shell(kUnzip + "-tq " + Q(H("deflated.zip")) + " late.txt after.txt").status, 0);
  EXPECT_EQ(PyList(H("deflated.zip")).substr(0, list.size()), list);
}

// Over 4 GiB stored: the entries after the big one start past 4 GiB.
TEST_F(ZipPeers, OverFourGiBStored) {
#ifdef VEL_SANITIZED
  GTEST_SKIP() << "archives over 4 GiB are not built in the sanitizer build";
#endif
  REQUIRE_GIANT_TESTS();
  REQUIRE_PEERS();
  const uint64_t big = MakeBigSource(d, (4ull << 30) + 12345);
  TZip s;
  s.SetArchiveFile(D("stored.zip"));
  s.SetCompressMethod(cmStore);
  s.FileSpec().Add(D("big\\*.*"));
  ASSERT_EQ(s.Compress(), 2);
  ExpectPeersAccept(H("stored.zip"));
  EXPECT_GT(fs::file_size(H("stored.zip")), big);
  EXPECT_TRUE(Unzipped("stored.zip", "after.txt") == Rows(5000, 1));
  WriteHostFile(H("late.txt"), "late");
  EXPECT_EQ(Add("stored.zip", "late.txt"), 1);
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(Shell(kUnzip + "-tq " + Q(H("stored.zip")) + " late.txt after.txt").status, 0);
  EXPECT_EQ(Unzipped("stored.zip", "late.txt"), "late");
}

// Archives over 4 GiB made by Info-ZIP and 7-Zip, read and extended by ours.
TEST_F(ZipPeers, OverFourGiBFromInfoZipAnd7ZipExtended) {
#ifdef VEL_SANITIZED
  GTEST_SKIP() << "archives over 4 GiB are not built in the sanitizer build";
#endif
  REQUIRE_GIANT_TESTS();
  REQUIRE_PEERS();
  const uint64_t big = (4ull << 30) + 777;
  fs::create_directories(H("big"));
  { std::ofstream(H("big/zeros.dat")); }
  fs::resize_file(H("big/zeros.dat"), big);
  WriteHostFile(H("late.txt"), "late");
  Out made = Shell("cd " + Q(H("big")) + " && zip -q -1 ../iz.zip zeros.dat");
  ASSERT_EQ(made.status, 0) << made.text;
  made = Shell("cd " + Q(H("big")) + " && 7z a -tzip -mx1 ../sz.zip zeros.dat");
  ASSERT_EQ(made.status, 0) << made.text;
  for (const char* zip : {"iz.zip", "sz.zip"}) {
    SCOPED_TRACE(zip);
    const std::string list = PyList(H(zip));
    EXPECT_NE(list.find("zeros.dat|" + std::to_string(big) + "|"), std::string::npos) << list;
    errors.clear();
    EXPECT_EQ(Add(zip, "late.txt"), 1);
    EXPECT_TRUE(errors.empty()) << errors.front();
    // Their entry is carried over as it was; ours is readable beside it.
    const std::string now = PyList(H(zip));
    EXPECT_EQ(now.substr(0, list.size()), list);
    EXPECT_EQ(now.substr(list.size(), 13), "late.txt|4|4|");
    EXPECT_EQ(Shell(kUnzip + "-tq " + Q(H(zip)) + " late.txt").status, 0);
    Out t = Shell("7z t -y " + Q(H(zip)));
    EXPECT_NE(t.text.find("Everything is Ok"), std::string::npos) << t.text.substr(0, 2000);
  }
}

}  // namespace
