#include "platform/paths.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>

#include "platform/error.h"
#include "platform/file.h"
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
