// Reading a backup back and restoring it, on archives Info-ZIP's zip wrote:
// entries inflate to their files, a changed or missing file makes the
// backup incomplete, damaged data and names with folders are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "restructure/VelBackup.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

namespace {

namespace fs = std::filesystem;

bool ZipAvailable() { return std::system("zip -v >/dev/null 2>&1") == 0; }

#define REQUIRE_ZIP()                                                                                      \
  do {                                                                                                     \
    if (!ZipAvailable()) {                                                                                 \
      if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << "Info-ZIP zip missing"; \
      GTEST_SKIP() << "Info-ZIP zip missing";                                                              \
    }                                                                                                      \
  } while (0)

class BackupReadBackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "record " + std::to_string(i * 7919 % 10007) + "\n";
    WriteHostFile(d.Host("data/BIG.DBF"), text);
    WriteHostFile(d.Host("data/EMPTY.FPT"), "");
    WriteHostFile(d.Host("data/SMALL.CDX"), "abc");
  }
  void Zip(const std::string& archive, const std::string& args) {
    ASSERT_EQ(
        std::system(("cd '" + d.Host("data") + "' && zip -q -6 '" + d.Host(archive) + "' " + args).c_str()),
        0);
  }
  std::vector<std::string> Files() const {
    return {"D:\\data\\BIG.DBF", "D:\\data\\EMPTY.FPT", "D:\\data\\SMALL.CDX"};
  }

  TempDrive d{'D'};
};

TEST_F(BackupReadBackTest, EntriesInflateToTheirFilesAndDifferencesAreFound) {
  REQUIRE_ZIP();
  Zip("b.zip", "BIG.DBF EMPTY.FPT SMALL.CDX");
  TBackupCheck check = VerifyBackup("D:\\b.zip", Files());
  EXPECT_TRUE(check.complete) << (check.problems.empty() ? "" : check.problems[0]);
  EXPECT_EQ(check.verified, 3);

  std::ofstream(d.Host("data/SMALL.CDX"), std::ios::app) << "d";
  fs::remove(d.Host("data/EMPTY.FPT"));
  check = VerifyBackup("D:\\b.zip", Files());
  EXPECT_FALSE(check.complete);
  ASSERT_EQ(check.problems.size(), 2u);
  EXPECT_NE(check.problems[0].find("Cannot read D:\\data\\EMPTY.FPT"), std::string::npos)
      << check.problems[0];
  EXPECT_EQ(check.problems[1],
            "The backup of D:\\data\\SMALL.CDX in D:\\b.zip differs from the file on disk");
  check = VerifyBackup("D:\\b.zip", {"D:\\data\\OTHER.DBF"});
  EXPECT_EQ(check.problems.at(0), "D:\\data\\OTHER.DBF is not in the backup archive D:\\b.zip");

  // Damaged deflate data, and an archive cut short, are never taken for a backup.
  std::string bytes = ReadHostFile(d.Host("b.zip"));
  std::string flipped = bytes;
  flipped[200] = static_cast<char>(flipped[200] ^ 0x55);
  WriteHostFile(d.Host("flipped.zip"), flipped);
  TBackupArchive damaged("D:\\flipped.zip");
  const int big = damaged.Find("big.dbf");
  ASSERT_GE(big, 0);
  EXPECT_THROW(damaged.Extract(big, {}), EVelBackupError);
  WriteHostFile(d.Host("cut.zip"), bytes.substr(0, bytes.size() / 2));
  EXPECT_FALSE(VerifyBackup("D:\\cut.zip", Files()).complete);
}

TEST_F(BackupReadBackTest, RestorePutsFilesBackAndRefusesNamesWithFolders) {
  REQUIRE_ZIP();
  Zip("b.zip", "BIG.DBF EMPTY.FPT SMALL.CDX");
  const std::string big = ReadHostFile(d.Host("data/BIG.DBF"));
  WriteHostFile(d.Host("data/BIG.DBF"), "rebuilt table");
  fs::remove(d.Host("data/SMALL.CDX"));
  std::vector<std::string> restored;
  EXPECT_EQ(
      RestoreBackup("D:\\b.zip", "D:\\data", [&](const std::string& n, uint64_t) { restored.push_back(n); }),
      3);
  EXPECT_EQ(restored, (std::vector<std::string>{"BIG.DBF", "EMPTY.FPT", "SMALL.CDX"}));
  EXPECT_EQ(ReadHostFile(d.Host("data/BIG.DBF")), big);
  EXPECT_EQ(ReadHostFile(d.Host("data/SMALL.CDX")), "abc");
  EXPECT_EQ(std::distance(fs::directory_iterator(d.Host("data")), fs::directory_iterator()),
            3);  // no temporary left

  // An entry naming a folder could write outside the data folder: nothing is restored.
  WriteHostFile(d.Host("data/sub/X.DBF"), "x");
  Zip("folders.zip", "BIG.DBF sub/X.DBF");
  WriteHostFile(d.Host("data/BIG.DBF"), "rebuilt table");
  try {
    RestoreBackup("D:\\folders.zip", "D:\\data");
    ADD_FAILURE() << "restored an entry with a folder";
  } catch (const EVelBackupError& e) {
    EXPECT_NE(
        std::string(e.what()).find("holds the entry sub\\X.DBF, which names a folder; nothing was restored"),
        std::string::npos)
        << e.what();
  }
  EXPECT_EQ(ReadHostFile(d.Host("data/BIG.DBF")), "rebuilt table");
}

}  // namespace
