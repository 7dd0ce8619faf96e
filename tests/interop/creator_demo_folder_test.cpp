// veltool demo-folder: the dictionary and its compound index walked by Perl
// XBase::Index and by our dataset in the tags' orders, each table's
// prescribed structure accepted by the creator and keeping every field on
// disk, refusals of folders with other tables, and the program's window
// opening on the folder without an error box.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "dataset/Keldor6db.h"
#include "framework/sysutils.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs `command` (quoted for the shell) with the drive C: of the test and a
// Windows folder of its own.
Result RunWithDrive(const TempDrive& c, const std::string& command) {
  static int n = 0;
  const std::string errFile = c.Root() + "/.err" + std::to_string(++n);
  const std::string env = "VELUPDATE_DRIVE_C='" + c.Root() + "' VELUPDATE_WINDIR='" + c.Root() +
                          "/windows' VELUPDATE_OEMCP=437 QT_QPA_PLATFORM=offscreen ";
  Result r;
  FILE* p = popen((env + command + " 2>" + errFile).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t got;
  while ((got = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, got);
  const int rc = pclose(p);
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.err = ReadHostFile(errFile);
  std::filesystem::remove(errFile);
  return r;
}

Result DemoFolder(const TempDrive& c, const std::string& args) {
  return RunWithDrive(c, std::string(VEL_VELTOOL) + " demo-folder " + args);
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

std::set<std::string> FilesIn(const std::string& hostFolder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(hostFolder))
    names.insert(e.path().filename().string());
  return names;
}

const std::set<std::string> kDemoFiles = {"CUSTOMER.cdx", "CUSTOMER.dbf", "CUSTOMER.fpt",  "Dictionary.dbf",
                                          "ORDERS.dbf",   "PRODUCTS.dbf", "dictionary.CDX"};

class DemoFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { ReloadKeldorAliases(); }
  void TearDown() override { ReloadKeldorAliases(); }
  std::string Velmora(const std::string& name = "") const {
    return c.Host("Velmora" + (name.empty() ? "" : "/" + name));
  }

  TempDrive c{'C'};
  ScopedEnv windir{"VELUPDATE_WINDIR", c.Root() + "/windows"};
  ScopedEnv oem{"VELUPDATE_OEMCP", "437"};
};

}  // namespace

TEST_F(DemoFolderTest, TheDictionaryIsWalkedInTagOrderAndPrescribesWhatTheTablesCanTake) {
  Result r = DemoFolder(c, "'C:\\Velmora' --json");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  EXPECT_EQ(doc["folder"], "C:\\Velmora");
  std::set<std::string> listed;
  for (const auto& f : doc["files"]) listed.insert(f["name"].get<std::string>());
  EXPECT_EQ(listed, kDemoFiles);
  EXPECT_EQ(FilesIn(Velmora()), kDemoFiles);
  // Text in the OEM code page on disk: É of Émilie is 0x90 in page 437.
  EXPECT_NE(ReadHostFile(Velmora("CUSTOMER.dbf")).find("\x90milie du Ch\x83telet"), std::string::npos);

  // Perl XBase::Index: one key per table in MyTables, a table's fields in
  // their order in MyFields; the table's own index skips its deleted record.
  if (std::system("perl -MXBase -MXBase::Index -e 1 >/dev/null 2>&1") != 0) {
    if (InCi()) FAIL() << "Perl XBase missing";
  } else {
    const std::string peer = "perl " + std::string(VEL_SOURCE_DIR) + "/tests/interop/creator_peer.pl index ";
    auto walk = [&](const std::string& table, const std::string& cdx, const std::string& tag,
                    const std::string& fields) {
      return RunWithDrive(c, peer + "'" + Velmora(table) + "' '" + Velmora(cdx) + "' " + tag + " " + fields)
          .out;
    };
    EXPECT_EQ(walk("Dictionary.dbf", "dictionary.CDX", "MYTABLES", "TABLENAME"),
              "CUSTOMER\nORDERS\nPRODUCTS\n");
    EXPECT_EQ(
        walk("Dictionary.dbf", "dictionary.CDX", "MYFIELDS", "TABLENAME FIELDNAME"),
        "CUSTOMER\tCUSTNO\nCUSTOMER\tNAME\nCUSTOMER\tCITY\nCUSTOMER\tEMAIL\nCUSTOMER\tSINCE\n"
        "CUSTOMER\tACTIVE\nCUSTOMER\tNOTES\nORDERS\tORDERNO\nORDERS\tCUSTNO\nORDERS\tITEM\nORDERS\tQTY\n"
        "ORDERS\tPRICE\nORDERS\tORDERED\nPRODUCTS\tCODE\nPRODUCTS\tDESCR\nPRODUCTS\tSTOCK\nPRODUCTS\tCOST\n");
    EXPECT_EQ(walk("CUSTOMER.dbf", "CUSTOMER.cdx", "NAME", "NAME"),
              "Ada Lovelace\nJosé Martínez Ibáñez\nKonrad Zuse\nÉmilie du Châtelet\n");
  }

  // Our dataset, as the restructure reads the dictionary: the table names
  // from the second field in MyTables order, each table's lines through the
  // filter in MyFields order.
  TKeldorDataSet dict;
  dict.SetName("tbDictionary");
  dict.SetDatabaseName("C:\\Velmora");
  dict.SetTableName("Dictionary.dbf");
  dict.IndexFiles().Add("dictionary.CDX");
  dict.Open();
  dict.SetIndexName("MyTables");
  std::vector<std::string> names;
  for (dict.First(); !dict.Eof(); dict.Next()) names.push_back(dict.Fields().Fields(1)->AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"CUSTOMER", "ORDERS", "PRODUCTS"}));
  dict.SetIndexName("MyFields");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    dict.SetFilter(Format("Tablename = \"%s\"", {name}));
    dict.SetFiltered(true);
    dict.First();
    TKeldorDataSet newTable;
    newTable.SetDatabaseName("C:\\Velmora");
    newTable.SetTableName("NEWTable");
    TCreateKeldorDataSet creator;
    creator.SetDBFTable(&newTable);
    creator.SetDBFType(ThxDBFTypes::FoxPro2);
    for (; !dict.Eof(); dict.Next())
      creator.CreateFields().Add(
          Format("%s;%s;%d;%d",
                 {dict.FieldByName("Fieldname")->AsString(), dict.FieldByName("Fieldtype")->AsString(),
                  dict.FieldByName("Fieldsize")->AsInteger(), dict.FieldByName("Fielddec")->AsInteger()}));
    ASSERT_TRUE(creator.CreateTable());

    // Every field on disk is still there, none narrower: the copy by name
    // cannot fail; and at least one field differs, so there is work to do.
    TKeldorDataSet old;
    old.SetDatabaseName("C:\\Velmora");
    old.SetTableName(name + ".dbf");
    old.Open();
    std::map<std::string, int> prescribed;
    for (int i = 0; i < newTable.FieldCount(); ++i)
      prescribed[newTable.Fields().Fields(i)->FieldName()] =
          static_cast<int>(newTable.Handler()->FieldEntry(i + 1)->length);
    bool differs = newTable.FieldCount() != old.FieldCount();
    for (int i = 0; i < old.FieldCount(); ++i) {
      const std::string field = old.Fields().Fields(i)->FieldName();
      ASSERT_EQ(prescribed.count(field), 1u) << field << " would be dropped";
      const int width = static_cast<int>(old.Handler()->FieldEntry(i + 1)->length);
      EXPECT_GE(prescribed[field], width) << field;
      differs = differs || prescribed[field] != width;
    }
    EXPECT_EQ(differs, name != "PRODUCTS");
    newTable.Close();
  }
  dict.Close();
  // One of CUSTOMER's five records is marked deleted.
  TKeldorDataSet customer;
  customer.SetDatabaseName("C:\\Velmora");
  customer.SetTableName("CUSTOMER.dbf");
  customer.SetExactCount(true);
  customer.Open();
  EXPECT_EQ(customer.Handler()->RecordCount(), 5);
  EXPECT_EQ(customer.RecordCount(), 4);
}

TEST_F(DemoFolderTest, OnlyTheDemosFilesAreWrittenAndOtherTablesNeedForce) {
  ASSERT_TRUE(WriteHostFile(Velmora("ACCOUNTS.DBF"), "someone else's table"));
  Result r = DemoFolder(c, "'" + Velmora() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "veltool demo-folder: C:\\Velmora holds tables that are not the demo's (ACCOUNTS.DBF); nothing was "
      "written (--force seeds the demo files beside them)\n");
  EXPECT_EQ(FilesIn(Velmora()), std::set<std::string>{"ACCOUNTS.DBF"});

  r = DemoFolder(c, "'" + Velmora() + "' --force");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "folder\tC:\\Velmora");
  std::set<std::string> want = kDemoFiles;
  want.insert("ACCOUNTS.DBF");
  EXPECT_EQ(FilesIn(Velmora()), want);
  EXPECT_EQ(ReadHostFile(Velmora("ACCOUNTS.DBF")), "someone else's table");

  // A refresh replaces the demo's files and drops stale companions of its
  // tables, whatever their letter case.
  std::filesystem::remove(Velmora("ACCOUNTS.DBF"));
  ASSERT_TRUE(WriteHostFile(Velmora("orders.CDX"), "stale index"));
  ASSERT_TRUE(WriteHostFile(Velmora("CUSTOMER.dbf"), "damaged"));
  r = DemoFolder(c, "'" + Velmora() + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FilesIn(Velmora()), kDemoFiles);
  EXPECT_GT(ReadHostFile(Velmora("CUSTOMER.dbf")).size(), 500u);
}

TEST_F(DemoFolderTest, TheWindowOpensOnTheDemoFolderWithoutAnErrorBox) {
#ifndef VEL_VELUPDATE
  GTEST_SKIP() << "the program VelUpdate is not built (VELUPDATE_BUILD_APP=OFF)";
#else
  const std::string shot = c.Host("window.png");
  const std::string program = std::string("VELUPDATE_SCREENSHOT='") + shot + "' " + VEL_VELUPDATE;
  // Without the folder the program shows its error box (on stderr when unattended) ...
  Result r = RunWithDrive(c, program);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("VelUpdate: Cannot find file C:\\Velmora\\Dictionary.dbf."), std::string::npos)
      << r.err;

  // ... with the demo folder none: the dictionary opens with its index.
  ASSERT_EQ(DemoFolder(c, "'C:\\Velmora'").status, 0);
  std::filesystem::remove(shot);
  r = RunWithDrive(c, program);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("VelUpdate: "), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::exists(shot));
#endif
}
