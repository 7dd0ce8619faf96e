// veltool dump through the table handler: --index, --tag, --filter, --seek.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbsy.h"
#include "tables/table_test_util.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

ToolRun Tool(const std::string& args) {
  ToolRun r;
  const std::string errFile =
      (std::filesystem::temp_directory_path() / ("veltool-dump-" + std::to_string(::getpid()) + ".txt"))
          .string();
  const std::string cmd = std::string(VEL_VELTOOL) + " " + args + " </dev/null 2>'" + errFile + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int rc = pclose(p);
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.err = ReadHostFile(errFile);
  std::filesystem::remove(errFile);
  return r;
}

// The record numbers at the start of each output line.
std::string RecordNumbers(const std::string& out) {
  std::istringstream in(out);
  std::string line, numbers;
  while (std::getline(in, line)) numbers += line.substr(0, line.find('\t')) + " ";
  return numbers;
}

// NAME C 10, AMOUNT N 8.2; 3 is deleted.
struct People {
  TempDrive drive;
  std::string table;
  People() {
    tabletest::DbfImage img;
    img.fields = {{"NAME", 'C', 10}, {"AMOUNT", 'N', 8, 2}};
    const char* names[] = {"Jones", "Adams", "Smith", "Brown", "Smith", "Smithson"};
    for (int i = 0; i < 6; ++i) {
      char rec[32];
      std::snprintf(rec, sizeof rec, "%c%-10s%8.2f", i == 2 ? '*' : ' ', names[i], 10.0 * (i + 1));
      img.records.push_back(rec);
    }
    WriteHostFile(drive.Host("p.dbf"), tabletest::Bytes(img));
    table = drive.Host("p.dbf");
    HXO_dBHandler h(drive.Dos("p.dbf"), false, true);
    h.OpenIndex("p.cdx");
    h.IndexFile(1)->AddTag("NAME", "NAME", false, true, "");
  }
};

}  // namespace

TEST(VeltoolDumpHandler, WalksByTagFilterAndSeek) {
  People p;
  const std::string t = "'" + p.table + "'";
  EXPECT_EQ(RecordNumbers(Tool("dump " + t + " --index p.cdx --tag name").out), "2 4 1 5 6 ");
  EXPECT_EQ(RecordNumbers(Tool("dump " + t + " --index p.cdx --tag NAME --deleted").out), "2 4 1 3* 5 6 ");
  EXPECT_EQ(RecordNumbers(Tool("dump " + t + " --filter 'AMOUNT > 35'").out), "4 5 6 ");
  EXPECT_EQ(RecordNumbers(Tool("dump " + t + " --index '" + p.drive.Host("p.cdx") +
                               "' --tag NAME --filter "
                               "'AMOUNT > 35'")
                              .out),
            "4 5 6 ");
  // --seek: the records whose key begins with KEY, in tag order.
  EXPECT_EQ(RecordNumbers(Tool("dump " + t + " --index p.cdx --tag NAME --seek Smith").out), "5 6 ");
  EXPECT_EQ(RecordNumbers(Tool("dump " + t + " --index p.cdx --tag NAME --seek Smith --deleted").out),
            "3* 5 6 ");
  const ToolRun none = Tool("dump " + t + " --index p.cdx --tag NAME --seek Nobody");
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "");

  const ToolRun json = Tool("dump " + t + " --index p.cdx --tag NAME --seek Br --json");
  EXPECT_EQ(json.status, 0);
  const auto doc = nlohmann::json::parse(json.out);
  EXPECT_EQ(doc["recno"], 4);
  EXPECT_EQ(doc["fields"]["NAME"], "Brown");
}

TEST(VeltoolDumpHandler, WrongCombinationsAndEngineErrors) {
  People p;
  const std::string t = "'" + p.table + "'";
  EXPECT_NE(Tool("dump --help").out.find("--seek"), std::string::npos);
  EXPECT_EQ(Tool("dump " + t + " --tag NAME").status, 2);                  // --tag needs --index
  EXPECT_EQ(Tool("dump " + t + " --index p.cdx --seek Smith").status, 2);  // --seek needs --tag
  const ToolRun tag = Tool("dump " + t + " --index p.cdx --tag NOPE");
  EXPECT_EQ(tag.status, 1);
  EXPECT_NE(tag.err.find("Cannot find index tag NOPE"), std::string::npos) << tag.err;
  const ToolRun missing = Tool("dump " + t + " --index missing.cdx");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("could not be found"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(p.drive.Host("missing.cdx")));  // a dump creates nothing
  const ToolRun filter = Tool("dump " + t + " --filter 'AMOUNT + 1'");
  EXPECT_EQ(filter.status, 1);
  EXPECT_NE(filter.err.find("Filter expression must return boolean result"), std::string::npos) << filter.err;
  EXPECT_EQ(filter.out, "");
}
