// veltool create: tables of every flavour from field descriptions, read by
// dbfread and Perl XBase with the fields as given; refusals of invalid lists
// and of existing files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/host_files.h"
#include "support/shell.h"
#include "support/temp_drive.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Runs veltool create with `args` (already quoted for the shell), the test's
// drive mapped for it as well.
Result Veltool(const TempDrive& drive, const std::string& args) {
  static int n = 0;
  const std::string errFile =
      (std::filesystem::temp_directory_path() /
       ("veltool-create-" + std::to_string(::getpid()) + "-" + std::to_string(++n) + ".err"))
          .string();
  Result r;
  const std::string env = "VELUPDATE_DRIVE_" + std::string(1, drive.Letter()) + "='" + drive.Root() + "' ";
  FILE* p = popen((env + VEL_VELTOOL + " create " + args + " 2>" + errFile).c_str(), "r");
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

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

std::string PeerFields(const std::string& peer, const std::string& hostFile) {
  std::string cmd = peer == "perl" ? "perl " + std::string(VEL_SOURCE_DIR) +
                                         "/tests/interop/build_peer.pl '" + hostFile + "'"
                                   : "/usr/bin/python3 " + std::string(VEL_SOURCE_DIR) +
                                         "/tests/interop/build_peer.py dbfread '" + hostFile + "'";
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  char buf[4096];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (p) pclose(p);
  return out;
}

const char* kFields = "'NAME;C;30;0' 'AMOUNT;N;12;2' 'BORN;D;8;0' 'ACTIVE;L;1;0' 'NOTES;M;10;0'";

}  // namespace

TEST(VeltoolCreate, MakesEachFlavourWithTheFieldsGiven) {
  TempDrive drive;
  const bool peers = std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") == 0 &&
                     std::system("perl -MXBase -e 1 >/dev/null 2>&1") == 0;
  if (!peers && InCi()) FAIL() << "python3-dbfread or Perl XBase missing";
  struct Want {
    const char* type;
    unsigned version;
    const char* memo;
  };
  for (const Want& w : {Want{"foxpro2", 0xF5, "FOX.FPT"}, Want{"dbase3", 0x83, "DB3.DBT"},
                        Want{"DBase4", 0x8B, "DB4.DBT"}, Want{"clipper", 0x83, "CLIP.DBT"}}) {
    SCOPED_TRACE(w.type);
    const std::string base = std::string(w.memo).substr(0, std::string(w.memo).find('.'));
    Result r = Veltool(drive, Quote(drive.Host(base)) + " --type " + w.type + " " + kFields +
                                  " 'EXTRA;F;10;3' ';C;5;0' 'WIDE;c;300;0' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["table"], drive.Dos(base + ".DBF"));
    EXPECT_EQ(doc["memo"], drive.Dos(w.memo));
    EXPECT_EQ(doc["version"], w.version);
    EXPECT_EQ(doc["record_length"], 1 + 30 + 12 + 8 + 1 + 10 + 10 + 300);
    EXPECT_EQ(doc["skipped_lines"], nlohmann::json::array({7}));
    ASSERT_EQ(doc["fields"].size(), 7u);
    EXPECT_EQ(doc["fields"][1],
              nlohmann::json::parse(R"({"name":"AMOUNT","type":"N","width":12,"decimals":2,"offset":31})"));
    EXPECT_EQ(doc["fields"][6]["width"], 300);
    EXPECT_TRUE(std::filesystem::exists(drive.Host(w.memo)));
    if (!peers) continue;
    const std::string want =
        "FIELD NAME C 30 0\nFIELD AMOUNT N 12 2\nFIELD BORN D 8 0\nFIELD ACTIVE L 1 0\nFIELD NOTES M 10 0\n"
        "FIELD EXTRA F 10 3\nFIELD WIDE C 300 0\n";
    EXPECT_EQ(PeerFields("dbfread", drive.Host(base + ".DBF")), want);
    EXPECT_EQ(PeerFields("perl", drive.Host(base + ".DBF")), want);
  }
  // Text output; a table without memo fields has no memo file.
  Result r = Veltool(drive, Quote(drive.Dos("plain.dbf")) + " --type foxpro2 'Code;N;4;0' 'Ok;L;1;0'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "table\t" + drive.Dos("plain.dbf") +
                       "\ntype\tfoxpro2\nversion\t0x03\nheader length\t97\nrecord length\t6\nfields\t2\n"
                       "CODE\tN\t4\t0\t1\nOK\tL\t1\t0\t5\n");
  EXPECT_FALSE(std::filesystem::exists(drive.Host("plain.fpt")));
}

TEST(VeltoolCreate, InvalidListsNameTheLineAndWriteNothing) {
  TempDrive drive;
  const std::string table = Quote(drive.Host("T"));
  Result r = Veltool(drive, table + " 'NAME;C;30;0' 'Name;N;5;0'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "veltool create: Field list is invalid: line 2 \"Name;N;5;0\": the name \"NAME\" repeats line 1\n");
  r = Veltool(drive, table + " 'A;C;1;0' '' 'B;C;1;0'");
  EXPECT_EQ(r.err, "veltool create: Field list is invalid: line 2 \"\": the line is empty\n");
  r = Veltool(drive, table + " 'AMOUNT;N;10;12'");
  EXPECT_EQ(r.err,
            "veltool create: Field list is invalid: line 1 \"AMOUNT;N;10;12\": 12 decimals do not fit a "
            "width of 10\n");
  r = Veltool(drive, table + " 'STRAẞE;C;10;0'");  // not a field name, and not even CP1252
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 1 \"STRAẞE;C;10;0\": the name"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(drive.Root()));

  // Wrong command lines: status 2 with the usage.
  r = Veltool(drive, table + " --type paradox 'A;C;1;0'");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--type"), std::string::npos);
  EXPECT_EQ(Veltool(drive, table).status, 2);  // no fields
  r = Veltool(drive, "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("NAME;TYPE;SIZE;DECIMALS"), std::string::npos) << r.out;
  EXPECT_TRUE(std::filesystem::is_empty(drive.Root()));
}

TEST(VeltoolCreate, ReplacesExistingFilesOnlyWhenAsked) {
  TempDrive drive;
  WriteHostFile(drive.Host("OLD.DBF"), "old table");
  Result r = Veltool(drive, Quote(drive.Host("old")) + " 'A;C;1;0'");  // names match without regard to case
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "veltool create: " + drive.Dos("old.DBF") + " exists (--overwrite replaces it)\n");
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.DBF")), "old table");

  // A memo file left behind counts too, when the new table needs one.
  WriteHostFile(drive.Host("memo.fpt"), "old memo");
  r = Veltool(drive, Quote(drive.Host("memo.dbf")) + " --type foxpro2 'N;M;10;0'");
  EXPECT_EQ(r.err, "veltool create: " + drive.Dos("memo.fpt") + " exists (--overwrite replaces it)\n");
  EXPECT_FALSE(std::filesystem::exists(drive.Host("memo.dbf")));
  EXPECT_EQ(Veltool(drive, Quote(drive.Host("memo.dbf")) + " --type foxpro2 'N;C;10;0'").status, 0);

  r = Veltool(drive, Quote(drive.Host("old")) + " --overwrite --type foxpro2 'A;C;1;0' 'N;M;1;0' --json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["memo"], drive.Dos("old.FPT"));
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.DBF")).size(), 32u * 3 + 2);
}
