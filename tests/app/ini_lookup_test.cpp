// Where the program finds its INI file: beside the executable, else in the
// user's configuration folder, else in the system's, by the program's name.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/Main.h"
#include "platform/paths.h"
#include "qt_app.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

class IniLookupTest : public ::testing::Test {
 protected:
  void SetUp() override { TestApp(); }

  // The host file a DOS name found by the lookup stands for.
  static std::string Host(const std::string& dos) { return platform::ToHostPath(dos); }

  TempDrive t{'T'};  // the program file lives in T:\bin
  TempDrive x{'X'};  // the configuration folders, as host folders
  ScopedEnv home{"HOME", x.Host("home")};
  ScopedEnv user{"XDG_CONFIG_HOME", x.Host("user")};
  ScopedEnv system{"XDG_CONFIG_DIRS", x.Host("site") + ":" + x.Host("vendor")};
};

TEST_F(IniLookupTest, BesideTheProgramThenTheUsersFolderThenTheSystemsInOrder) {
  const std::string exe = "T:\\bin\\VelUpdate";
  // None anywhere: the file beside the program (reading it gives the defaults).
  EXPECT_EQ(TfrmMain::FindIniFile(exe), "T:\\bin\\VelUpdate.INI");

  ASSERT_TRUE(WriteHostFile(x.Host("vendor/velupdate/VelUpdate.INI"), "[Database]\n"));
  EXPECT_EQ(Host(TfrmMain::FindIniFile(exe)), x.Host("vendor/velupdate/VelUpdate.INI"));
  // The first system folder of the list comes before the second.
  ASSERT_TRUE(WriteHostFile(x.Host("site/velupdate/VelUpdate.INI"), "[Database]\n"));
  EXPECT_EQ(Host(TfrmMain::FindIniFile(exe)), x.Host("site/velupdate/VelUpdate.INI"));
  // The user's own file comes before the system's.
  ASSERT_TRUE(WriteHostFile(x.Host("user/velupdate/VelUpdate.INI"), "[Database]\n"));
  EXPECT_EQ(Host(TfrmMain::FindIniFile(exe)), x.Host("user/velupdate/VelUpdate.INI"));
  // And the file beside the program before every other.
  ASSERT_TRUE(WriteHostFile(t.Host("bin/VelUpdate.INI"), "[Database]\n"));
  EXPECT_EQ(TfrmMain::FindIniFile(exe), "T:\\bin\\VelUpdate.INI");

  // The folders are searched for the program's own name: a renamed program
  // does not take VelUpdate's settings, and finds its own.
  EXPECT_EQ(TfrmMain::FindIniFile("T:\\bin\\Renamed.exe"), "T:\\bin\\Renamed.INI");
  ASSERT_TRUE(WriteHostFile(x.Host("vendor/velupdate/Renamed.INI"), "[Database]\n"));
  EXPECT_EQ(Host(TfrmMain::FindIniFile("T:\\bin\\Renamed.exe")), x.Host("vendor/velupdate/Renamed.INI"));
}

TEST_F(IniLookupTest, FoldersFollowTheDesktopsRules) {
  const std::string exe = "T:\\bin\\VelUpdate";
  {
    // A relative XDG_CONFIG_HOME is ignored: ~/.config stands in for it.
    ScopedEnv relative("XDG_CONFIG_HOME", std::string("relative/config"));
    ASSERT_TRUE(WriteHostFile(x.Host("home/.config/velupdate/VelUpdate.INI"), "[Database]\n"));
    EXPECT_EQ(Host(TfrmMain::FindIniFile(exe)), x.Host("home/.config/velupdate/VelUpdate.INI"));

    // A folder of that name is no file: the search goes on. Relative and
    // empty entries of XDG_CONFIG_DIRS are skipped, the rest kept in order.
    std::filesystem::remove(x.Host("home/.config/velupdate/VelUpdate.INI"));
    std::filesystem::create_directories(x.Host("home/.config/velupdate/VelUpdate.INI"));
    ScopedEnv dirs("XDG_CONFIG_DIRS", "relative::" + x.Host("vendor"));
    ASSERT_TRUE(WriteHostFile(x.Host("relative/velupdate/VelUpdate.INI"), "[Database]\n"));
    ASSERT_TRUE(WriteHostFile(x.Host("vendor/velupdate/VelUpdate.INI"), "[Database]\n"));
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(x.Root());  // where the relative entries would lead
    EXPECT_EQ(Host(TfrmMain::FindIniFile(exe)), x.Host("vendor/velupdate/VelUpdate.INI"));
    std::filesystem::current_path(cwd);
  }
  // Names match without regard to case, as everywhere in the program.
  ASSERT_TRUE(WriteHostFile(x.Host("user/velupdate/velupdate.ini"), "[Database]\n"));
  EXPECT_EQ(Host(TfrmMain::FindIniFile(exe)), x.Host("user/velupdate/velupdate.ini"));
}

TEST_F(IniLookupTest, AnInstalledProgramReadsTheUsersFileAndWritesNone) {
  // A program in a folder with no INI file, as under /usr/bin.
  ASSERT_TRUE(WriteHostFile(x.Host("user/velupdate/VelUpdate.INI"),
                            "; the data folder of this user\n[Database]\nDrive=T\nPath=\\Data\\Shop\n"));
  TfrmMain form("T:\\bin\\VelUpdate");
  EXPECT_EQ(form.DataFolder(), "T:\\Data\\Shop");
  EXPECT_EQ(form.pnStatus->Caption(), "T:\\Data\\Shop");
  EXPECT_FALSE(std::filesystem::exists(t.Host("bin/VelUpdate.INI")));
}

}  // namespace
