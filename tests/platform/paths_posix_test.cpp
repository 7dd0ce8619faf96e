#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

std::string ReadDos(const std::string& dos) {
  auto f = File::Open(dos, Access::Read, Share::Shared);
  if (!f) return "<missing>";
  std::string s(static_cast<size_t>(f->Size()), '\0');
  f->ReadAt(0, s.data(), s.size());
  return s;
}

// "<folder><prefix><1-4 upper-case hex digits>.tmp"
bool IsTempName(const std::string& name, const std::string& folder, const std::string& prefix) {
  if (name.compare(0, folder.size() + prefix.size(), folder + prefix) != 0) return false;
  std::string rest = name.substr(folder.size() + prefix.size());
  if (rest.size() < 5 || rest.size() > 8 || rest.substr(rest.size() - 4) != ".tmp") return false;
  for (size_t i = 0; i + 4 < rest.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(rest[i])) ||
        std::islower(static_cast<unsigned char>(rest[i])))
      return false;
  return true;
}

// Restores the process's current folder after a test changes it.
struct CwdGuard {
  fs::path saved = fs::current_path();
  ~CwdGuard() { fs::current_path(saved); }
};

}  // namespace

TEST(DriveMap, DefaultsEnvironmentAndRuntimeMapping) {
  TempDrive scratch('T');
  fs::create_directories(scratch.Host("q"));
  {
    ScopedEnv data("XDG_DATA_HOME", scratch.Host("xdg"));
    ScopedEnv q("VELUPDATE_DRIVE_Q", scratch.Host("q") + ";removable;capacity=1440000");
    ScopedEnv c("VELUPDATE_DRIVE_C", std::nullopt);
    ResetDriveMap();
    auto cMap = GetDriveMapping('C');
    ASSERT_TRUE(cMap);
    EXPECT_EQ(cMap->hostRoot, scratch.Host("xdg") + "/velupdate/drive_c");
    EXPECT_FALSE(cMap->removable);
    ASSERT_TRUE(GetDriveMapping('z'));
    EXPECT_EQ(GetDriveMapping('Z')->hostRoot, "/");
    auto qMap = GetDriveMapping('q');
    ASSERT_TRUE(qMap);
    EXPECT_EQ(qMap->hostRoot, scratch.Host("q"));
    EXPECT_TRUE(qMap->removable);
    EXPECT_EQ(qMap->capacity, 1440000u);
    EXPECT_EQ(ToHostPath("q:\\Disk1.zip"), scratch.Host("q") + "/Disk1.zip");
  }
  ResetDriveMap();  // the environment is back: Q: is gone again
  EXPECT_FALSE(GetDriveMapping('Q'));

  TempDrive drive('R');  // maps at run time
  EXPECT_EQ(ToHostPath("R:\\a"), drive.Host("a"));
  UnmapDrive('R');
  EXPECT_EQ(ToHostPath("R:\\a"), "");
  EXPECT_EQ(LastError(), ErrorCode::NotReady);
  EXPECT_EQ(ToHostPath("K:\\never"), "");
  EXPECT_EQ(LastError(), ErrorCode::NotReady);
  EXPECT_EQ(ToHostPath("Z:\\etc\\hostname"), "/etc/hostname");
}

TEST(DosPaths, NamesResolveWithoutRegardToCase) {
  TempDrive drive;
  {
    auto f =
        File::Open(drive.Dos("NEWTable.dbf"), Access::ReadWrite, Share::Exclusive, Disposition::CreateNew);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->WriteAt(0, "old!", 4), 4);
  }
  EXPECT_EQ(ReadDos(drive.Dos("newtable.DBF")), "old!");
  EXPECT_TRUE(FileExists(drive.Dos("NEWTABLE.dbf")));
  EXPECT_EQ(ToHostPath(drive.Dos("newtable.dbf")), drive.Host("NEWTable.dbf"));
  {
    // Creating a case variant replaces the existing file instead of adding a second one.
    auto f =
        File::Open(drive.Dos("NEWTABLE.DBF"), Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->Size(), 0);
    f->WriteAt(0, "new", 3);
  }
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory(drive.Dos(), list));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, "NEWTable.dbf");
  EXPECT_EQ(ReadDos(drive.Dos("NewTable.Dbf")), "new");

  // An exact match wins over a case variant; folders resolve the same way.
  fs::create_directories(drive.Host("Data"));
  fs::create_directories(drive.Host("data"));
  WriteHostFile(drive.Host("data/x.txt"), "lower");
  WriteHostFile(drive.Host("Data/x.txt"), "upper");
  EXPECT_EQ(ReadDos(drive.Dos("data\\X.TXT")), "lower");
  EXPECT_EQ(ReadDos(drive.Dos("Data\\x.txt")), "upper");
  // Forward slashes separate too; a missing tail is kept as written.
  EXPECT_EQ(ReadDos(std::string(1, drive.Letter()) + ":/data/x.txt"), "lower");
  EXPECT_EQ(ToHostPath(drive.Dos("DATA\\NoSuch\\File.TXT")).substr(drive.Root().size()),
            ToHostPath(drive.Dos("DATA")).substr(drive.Root().size()) + "/NoSuch/File.TXT");
}

TEST(DosPaths, ReverseMappingCodePageAndUnc) {
  TempDrive drive('T');
  fs::create_directories(drive.Host("sub/deeper"));
  EXPECT_EQ(ToDosPath(drive.Host("sub/deeper/f.dbf")), "T:\\sub\\deeper\\f.dbf");
  EXPECT_EQ(ToDosPath(drive.Root()), "T:\\");
  {
    TempDrive inner('U');
    MapDrive('U', DriveMapping{drive.Host("sub"), false, 0});  // nested: the longer root wins
    EXPECT_EQ(ToDosPath(drive.Host("sub/deeper/f.dbf")), "U:\\deeper\\f.dbf");
    EXPECT_EQ(ToDosPath(drive.Host("subway")), "T:\\subway");  // not a prefix at a folder boundary
  }
  EXPECT_EQ(ToDosPath("/etc/../etc//hostname"), "Z:\\etc\\hostname");

  // Host names are UTF-8, DOS names CP1252.
  WriteHostFile(drive.Host("caf\xC3\xA9.txt"), "x");
  EXPECT_TRUE(FileExists("T:\\caf\xE9.txt"));
  EXPECT_TRUE(FileExists("T:\\CAF\xE9.TXT"));
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory("T:\\", list));
  bool found = false;
  for (auto& e : list) found |= e.name == "caf\xE9.txt";
  EXPECT_TRUE(found);
  EXPECT_EQ(ToDosPath(drive.Host("caf\xC3\xA9.txt")), "T:\\caf\xE9.txt");

  ScopedEnv data("XDG_DATA_HOME", drive.Host("xdg"));
  EXPECT_EQ(ToHostPath("\\\\srv\\Share\\dir\\a.dbf"), drive.Host("xdg/velupdate/unc/srv/Share/dir/a.dbf"));
  EXPECT_EQ(ToDosPath(drive.Host("xdg/velupdate/unc/srv/Share/dir/a.dbf")), "\\\\srv\\Share\\dir\\a.dbf");
}

TEST(DosPaths, FullNamesAndCurrentFolder) {
  CwdGuard guard;
  TempDrive drive('T');
  TempDrive other('U');
  fs::create_directories(drive.Host("Sub"));
  ASSERT_TRUE(SetCurrentDirectory("t:\\SUB"));
  EXPECT_EQ(GetCurrentDirectory(), "T:\\Sub");
  EXPECT_EQ(GetFullPathName("x.dbf"), "T:\\Sub\\x.dbf");
  EXPECT_EQ(GetFullPathName(".\\a\\..\\y"), "T:\\Sub\\y");
  EXPECT_EQ(GetFullPathName("..\\..\\..\\y"), "T:\\y");
  EXPECT_EQ(GetFullPathName("T:z"), "T:\\Sub\\z");
  EXPECT_EQ(GetFullPathName("u:z"), "U:\\z");
  EXPECT_EQ(GetFullPathName("\\w"), "T:\\w");
  EXPECT_EQ(GetFullPathName("C:\\a\\.\\b\\..\\c"), "C:\\a\\c");
  EXPECT_EQ(GetFullPathName("C:/a/b/"), "C:\\a\\b\\");
  EXPECT_EQ(GetFullPathName("C:\\..\\..\\a"), "C:\\a");
  EXPECT_EQ(GetFullPathName("\\\\srv\\share\\a\\..\\..\\b"), "\\\\srv\\share\\b");
  EXPECT_EQ(GetFullPathName(""), "");
  ASSERT_TRUE(SetCurrentDirectory("T:\\"));
  EXPECT_EQ(GetCurrentDirectory(), "T:\\");
  EXPECT_FALSE(SetCurrentDirectory("T:\\missing"));
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);
}

TEST(DosPaths, TemporaryNamesAndProgramFolders) {
  TempDrive drive('T');
  ScopedEnv tmp("TMPDIR", drive.Root());
  EXPECT_EQ(GetTempPath(), "T:\\");

  std::string a = GetTempFileName("T:\\", "zipper");
  std::string b = GetTempFileName("T:", "zipper");
  EXPECT_TRUE(IsTempName(a, "T:\\", "zip")) << a;
  EXPECT_TRUE(IsTempName(b, "T:\\", "zip")) << b;
  EXPECT_NE(a, b);
  FileInfo info;
  ASSERT_TRUE(GetFileInfo(a, info));
  EXPECT_EQ(info.size, 0u);
  EXPECT_TRUE(IsTempName(GetTempFileName("T:\\", "x"), "T:\\", "x"));
  EXPECT_EQ(GetTempFileName("T:\\nowhere", "zip"), "");
  EXPECT_EQ(LastError(), ErrorCode::PathNotFound);

  {
    ScopedEnv win("VELUPDATE_WINDIR", drive.Host("win"));
    EXPECT_EQ(WindowsDirectory(), "T:\\win");
  }
  {
    ScopedEnv win("VELUPDATE_WINDIR", std::nullopt);
    ScopedEnv cfg("XDG_CONFIG_HOME", drive.Host("cfg"));
    EXPECT_EQ(WindowsDirectory(), "T:\\cfg\\velupdate");
  }
  std::string exe = ExecutablePath();
  EXPECT_TRUE(FileExists(exe)) << exe;
  EXPECT_NE(exe.find("platform_tests"), std::string::npos);
}

namespace {

// Every name a listing of `dosFolder` returns opens again, and opens the file
// it was listed for (each test file holds the name it is listed under).
void ExpectEveryListedNameOpens(const std::string& dosFolder, size_t expectedCount) {
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory(dosFolder, list));
  EXPECT_EQ(list.size(), expectedCount);
  for (const FileInfo& e : list) {
    FileInfo again;
    ASSERT_TRUE(GetFileInfo(dosFolder + "\\" + e.name, again)) << e.name;
    EXPECT_EQ(again.name, e.name);
    EXPECT_EQ(again.utf8Name, e.utf8Name);
    if (e.attributes & kAttrDirectory) continue;
    EXPECT_EQ(ReadDos(dosFolder + "\\" + e.name), e.name);
  }
}

std::string NameOf(const std::vector<FileInfo>& list, const std::string& utf8) {
  for (const FileInfo& e : list)
    if (e.utf8Name == utf8) return e.name;
  return "<not listed>";
}

}  // namespace

TEST(DosPaths, NamesOutsideTheAnsiPageStayReachable) {
  TempDrive drive('T');
  const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC.dbf";  // 日本.dbf
  const std::string latin1 = "M\xFCller.dbf";                   // not UTF-8: an older program's name
  const std::string euro =
      "\xE2\x82\xAC"
      "uro.txt";                                // €uro.txt, in the ANSI page
  const std::string slash = "back\\slash.txt";  // a backslash inside a host name
  const std::string literal = "a<41>b.txt";     // looks like an escape
  // Each file holds the name it should be listed under, so a test can tell which opened.
  WriteHostFile(drive.Host(japanese), "<E697A5E69CAC>.dbf");
  WriteHostFile(drive.Host(latin1), "M\xFCller.dbf");
  WriteHostFile(drive.Host(euro), "\x80uro.txt");
  WriteHostFile(drive.Host(slash), "back<5C>slash.txt");
  WriteHostFile(drive.Host(literal), "a<41>b.txt");

  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory("T:\\", list));
  EXPECT_EQ(NameOf(list, japanese), "<E697A5E69CAC>.dbf");
  EXPECT_EQ(NameOf(list, "M\xC3\xBCller.dbf"), "M\xFCller.dbf");  // read as the ANSI page
  EXPECT_EQ(NameOf(list, euro), "\x80uro.txt");
  EXPECT_EQ(NameOf(list, slash), "back<5C>slash.txt");
  EXPECT_EQ(NameOf(list, literal), "a<41>b.txt");
  for (const FileInfo& e : list) EXPECT_EQ(e.plainName, e.utf8Name != japanese && e.utf8Name != slash);
  EXPECT_EQ(ReadDos("T:\\<E697A5E69CAC>.dbf"), "<E697A5E69CAC>.dbf");
  EXPECT_EQ(ReadDos("T:\\<e697a5e69cac>.DBF"), "<E697A5E69CAC>.dbf");  // case does not matter here either
  EXPECT_EQ(ReadDos("T:\\m\xFCller.DBF"), "M\xFCller.dbf");
  EXPECT_EQ(ReadDos("T:\\back<5C>slash.txt"), "back<5C>slash.txt");
  EXPECT_EQ(ReadDos("T:\\a<41>b.txt"), "a<41>b.txt");
  EXPECT_EQ(DosNameToUtf8("<E697A5E69CAC>.dbf"), japanese);
  EXPECT_EQ(DosNameToUtf8("M<FC>ller.dbf"), "M\xC3\xBCller.dbf");

  // The escape form creates such names too, and paths carry it.
  {
    auto f =
        File::Open("T:\\<D0BCD0B8D180>.txt", Access::ReadWrite, Share::Exclusive, Disposition::CreateNew);
    ASSERT_TRUE(f);
    f->WriteAt(0, "<D0BCD0B8D180>.txt", 18);
  }
  EXPECT_TRUE(fs::exists(drive.Host("\xD0\xBC\xD0\xB8\xD1\x80.txt")));  // мир.txt
  fs::create_directories(drive.Host(japanese + ".d/sub"));
  EXPECT_EQ(ToDosPath(drive.Host(japanese + ".d/sub/x.dbf")), "T:\\<E697A5E69CAC>.dbf.d\\sub\\x.dbf");
  EXPECT_EQ(ToHostPath("T:\\<E697A5E69CAC>.dbf.d\\SUB\\x.dbf"), drive.Host(japanese + ".d/sub/x.dbf"));

  // Text that is no escape stands for itself; an escape never makes a separator.
  EXPECT_EQ(DosNameToHost("a<4>b<ZZ>c<>d<2F>e<00>f<"), "a<4>b<ZZ>c<>d<2F>e<00>f<");
  EXPECT_EQ(Utf8ToDosName("C:\\Daten\\\xE6\x97\xA5\\caf\xC3\xA9"), "C:\\Daten\\<E697A5>\\caf\xE9");
  EXPECT_EQ(Utf8ToDosName("caf\xE9"), "caf\xE9");  // not UTF-8: ANSI already
  EXPECT_TRUE(HasEscapes("x<E697A5>"));
  EXPECT_FALSE(HasEscapes("x<2F> <4> <>"));
  ExpectEveryListedNameOpens("T:", 7);
}

TEST(DosPaths, ANameReadTwoWaysGetsAFormOfItsOwn) {
  TempDrive drive('T');
  // A Latin-1 "Müller" and a UTF-8 "Müller" would list the same; the Latin-1
  // one is given its bytes in escapes. Likewise a literal name that reads as
  // an escape of an existing one.
  WriteHostFile(drive.Host("M\xFCller.dbf"), "M<FC>ller.dbf");
  WriteHostFile(drive.Host("M\xC3\xBCller.dbf"), "M\xFCller.dbf");
  WriteHostFile(drive.Host("\xE6\x97\xA5.txt"), "<E697A5>.txt");
  WriteHostFile(drive.Host("<E697A5>.txt"), "<3C>E697A5>.txt");
  std::vector<FileInfo> list;
  ASSERT_TRUE(ListDirectory("T:\\", list));
  std::vector<std::string> names;
  for (const FileInfo& e : list) names.push_back(e.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"<3C>E697A5>.txt", "<E697A5>.txt", "M<FC>ller.dbf", "M\xFCller.dbf"}));
  for (const FileInfo& e : list) EXPECT_EQ(ReadDos("T:\\" + e.name), e.name);
}

TEST(DosPaths, CaseVariantsResolveTheSameWayEveryRun) {
  TempDrive drive('T');
  // Made in both orders: the directory order must not decide.
  WriteHostFile(drive.Host("one/Data.dbf"), "Data");
  WriteHostFile(drive.Host("one/DATA.dbf"), "DATA");
  WriteHostFile(drive.Host("two/DATA.dbf"), "DATA");
  WriteHostFile(drive.Host("two/Data.dbf"), "Data");
  for (const char* folder : {"one", "two"}) {
    SCOPED_TRACE(folder);
    std::string dir = drive.Dos(folder) + "\\";
    EXPECT_EQ(ReadDos(dir + "data.dbf"), "DATA");  // the first by host bytes
    EXPECT_EQ(ReadDos(dir + "Data.dbf"), "Data");  // an exact match wins
    EXPECT_EQ(ReadDos(dir + "DATA.dbf"), "DATA");
    // Writing under the inexact name would pick one variant to destroy.
    EXPECT_FALSE(
        File::Open(dir + "data.DBF", Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways));
    EXPECT_EQ(LastError(), ErrorCode::NameAmbiguous);
    EXPECT_FALSE(DeleteFile(dir + "data.dbf"));
    EXPECT_EQ(LastError(), ErrorCode::NameAmbiguous);
    WriteHostFile(drive.Host(std::string(folder) + "/new.dbf"), "new");
    EXPECT_FALSE(MoveFileReplace(dir + "new.dbf", dir + "data.dbf"));
    EXPECT_EQ(LastError(), ErrorCode::NameAmbiguous);
    EXPECT_FALSE(CopyFile(dir + "new.dbf", dir + "dAta.dbf", false));
    EXPECT_EQ(LastError(), ErrorCode::NameAmbiguous);
    EXPECT_FALSE(MoveFile(dir + "data.dbf", dir + "moved.dbf"));
    EXPECT_EQ(LastError(), ErrorCode::NameAmbiguous);
    EXPECT_EQ(ReadDos(dir + "Data.dbf"), "Data");
    EXPECT_EQ(ReadDos(dir + "DATA.dbf"), "DATA");
    // The exact names still work for everything.
    EXPECT_TRUE(MoveFileReplace(dir + "new.dbf", dir + "Data.dbf"));
    EXPECT_EQ(ReadDos(dir + "Data.dbf"), "new");
    EXPECT_TRUE(DeleteFile(dir + "DATA.dbf"));
    EXPECT_EQ(ReadDos(dir + "data.dbf"), "new");  // one variant left: no doubt any more
  }
}

TEST(DosPaths, ALongerNameIsNoMatch) {
  TempDrive drive('T');
  WriteHostFile(drive.Host("report.txt.old"), "old");
  EXPECT_EQ(ToHostPath("T:\\REPORT.TXT"), drive.Host("REPORT.TXT"));
  EXPECT_FALSE(FileExists("T:\\REPORT.TXT"));
  EXPECT_FALSE(File::Open("T:\\REPORT.TXT", Access::Read, Share::Shared));
  EXPECT_EQ(LastError(), ErrorCode::FileNotFound);
  EXPECT_FALSE(DeleteFile("T:\\report.txt"));
  EXPECT_EQ(LastError(), ErrorCode::FileNotFound);
  auto f = File::Open("T:\\REPORT.TXT", Access::ReadWrite, Share::Exclusive, Disposition::CreateAlways);
  ASSERT_TRUE(f);
  f.reset();
  EXPECT_EQ(ReadHostFile(drive.Host("report.txt.old")), "old");
  EXPECT_TRUE(fs::exists(drive.Host("REPORT.TXT")));
}
