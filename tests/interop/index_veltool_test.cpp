// veltool index as administrators and scripts use it: creating, walking,
// deleting and rebuilding tags, --check on sound and damaged files, JSON
// output, and honest exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "framework/bytes.h"
#include "support/host_files.h"
#include "support/shell.h"
#include "support/temp_drive.h"
#include "tables/table_test_util.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

ToolRun Tool(const std::string& args, const std::string& env = "") {
  ToolRun r;
  const std::string errFile =
      (std::filesystem::temp_directory_path() / ("veltool-index-err-" + std::to_string(::getpid()) + ".txt"))
          .string();
  FILE* p =
      popen((env + " " + VEL_VELTOOL + " index " + args + " </dev/null 2>" + Quote(errFile)).c_str(), "r");
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

tabletest::DbfImage People() {
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 10}, {"AMOUNT", 'N', 8, 2}};
  const char* names[] = {"OSCAR", "ALMA", "ZOE", "MIKE", "ALMA", "BEA"};
  const char* amounts[] = {"    1.00", "   -2.00", "    3.50", "    0.00", "    7.00", "   -1.25"};
  for (int i = 0; i < 6; ++i) {
    std::string name = names[i];
    name.resize(10, ' ');
    img.records.push_back(" " + name + amounts[i]);
  }
  return img;
}

}  // namespace

TEST(IndexVeltool, CreatesWalksDeletesRebuildsAndChecksTags) {
  TempDrive drive;
  ASSERT_TRUE(WriteHostFile(drive.Host("people.dbf"), tabletest::Bytes(People())));
  const std::string table = Quote(drive.Host("people.dbf"));
  ToolRun r = Tool(table + " people.cdx --create byname NAME --unique");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "BYNAME\tC\t10\tunique\tascending\tnone\tNAME\t\n");
  r = Tool(table + " people.cdx --create rich NAME --for 'AMOUNT > 0' --descending");
  ASSERT_EQ(r.status, 0) << r.err;
  r = Tool(table + " people.cdx --tag byname");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ALMA\t2\nBEA\t6\nMIKE\t4\nOSCAR\t1\nZOE\t3\n");
  r = Tool(table + " people.cdx --tag RICH");
  EXPECT_EQ(r.out, "ZOE\t3\nOSCAR\t1\nALMA\t5\n");
  // The index named by its DOS path (the drive mapped for veltool too).
  r = Tool(table + " " + Quote(drive.Dos("people.cdx")) + " --create amount AMOUNT --tag amount --json",
           "VELUPDATE_DRIVE_T=" + Quote(drive.Root()));
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  ASSERT_EQ(doc["tags"].size(), 3u);
  EXPECT_EQ(doc["walk"]["tag"], "AMOUNT");
  ASSERT_EQ(doc["walk"]["entries"].size(), 6u);
  EXPECT_EQ(doc["walk"]["entries"][0]["recno"], 2);
  EXPECT_EQ(doc["walk"]["entries"][0]["hex"], "3FFFFFFFFFFFFFFF");  // -2.0, all eight bytes
  r = Tool(table + " people.cdx --check");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("tag\tRICH\tkeys 3"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - 3), "ok\n");
  r = Tool(table + " people.cdx --delete-tag amount --reindex");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("AMOUNT\tN"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("RICH\tC\t10\t-\tdescending\tnone\tNAME\tAMOUNT > 0"), std::string::npos) << r.out;
  r = Tool(table + " people.cdx --check --json");
  EXPECT_TRUE(nlohmann::json::parse(r.out)["check"]["ok"]);
}

TEST(IndexVeltool, ReportsDamageAndFailuresWithHonestStatuses) {
  const ToolRun help = Tool("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--create NAME KEY"), std::string::npos) << help.out;
  TempDrive drive;
  ASSERT_TRUE(WriteHostFile(drive.Host("people.dbf"), tabletest::Bytes(People())));
  const std::string table = Quote(drive.Host("people.dbf"));
  // A missing index is not made by reading.
  ToolRun r = Tool(table + " people.cdx");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not be found"), std::string::npos) << r.err;
  ASSERT_EQ(Tool(table + " people.cdx --create NAME NAME").status, 0);
  r = Tool(table + " people.cdx --tag nosuch");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot find index tag nosuch"), std::string::npos) << r.err;
  EXPECT_EQ(Tool(table + " people.cdx --for X").status, 2);
  EXPECT_EQ(Tool(table + " people.cdx --create NAME").status, 2);
  EXPECT_EQ(Tool(table + " people.cdx --create BAD 'NAME +'").status, 1);
  // A leaf whose free-byte count lies, and a record left out of the tag.
  std::string bytes = ReadHostFile(drive.Host("people.cdx"));
  const uint32_t header = 1536;  // the first tag's header follows the directory
  const uint32_t root = GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + header);
  bytes[root + 12] = static_cast<char>(bytes[root + 12] + 1);
  bytes[root + 2] = static_cast<char>(bytes[root + 2] - 1);  // one key fewer
  ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), bytes));
  r = Tool(table + " people.cdx --check");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("free bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("is missing"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("problems found"), std::string::npos) << r.err;
}

TEST(IndexVeltool, HandlesMdxFilesWithSeveralTags) {
  TempDrive drive;
  ASSERT_TRUE(WriteHostFile(drive.Host("people.dbf"), tabletest::Bytes(People())));
  const std::string table = Quote(drive.Host("people.dbf"));
  ToolRun r = Tool(table + " people.mdx --create byname NAME");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "BYNAME\tC\t10\t-\tascending\tnone\tNAME\t\n");
  ASSERT_EQ(Tool(table + " people.mdx --create rich NAME --for 'AMOUNT > 0' --descending").status, 0);
  r = Tool(table + " people.mdx --create amount AMOUNT --unique --tag amount --json");
  ASSERT_EQ(r.status, 0) << r.err;
  const auto doc = nlohmann::json::parse(r.out);
  ASSERT_EQ(doc["tags"].size(), 3u);
  EXPECT_EQ(doc["tags"][1]["kind"], "MDX");
  EXPECT_EQ(doc["tags"][1]["descending"], true);
  EXPECT_EQ(doc["tags"][2]["type"], "N");
  EXPECT_EQ(doc["tags"][2]["length"], 12);
  ASSERT_EQ(doc["walk"]["entries"].size(), 6u);
  EXPECT_EQ(doc["walk"]["entries"][0]["recno"], 2);
  r = Tool(table + " people.mdx --tag RICH");
  EXPECT_EQ(r.out, "ZOE\t3\nOSCAR\t1\nALMA\t5\n");
  r = Tool(table + " people.mdx --check");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("tag\tRICH\tkeys 3"), std::string::npos) << r.out;
  r = Tool(table + " people.mdx --delete-tag byname --reindex");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "RICH\tC\t10\t-\tdescending\tnone\tNAME\tAMOUNT > 0\nAMOUNT\tN\t12\tunique\tascending\tnone\tAMOUNT\t\n");
  EXPECT_EQ(Tool(table + " people.mdx --delete-tag byname").status, 1);
  // Two leaf keys with their first letters swapped fail the check.
  std::string bytes = ReadHostFile(drive.Host("people.mdx"));
  ASSERT_GE(bytes.size(), 4096u);
  const uint32_t header = GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + 544) * 512;
  const uint32_t root = GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + header) * 512;
  std::swap(bytes[root + 8 + 4], bytes[root + 8 + 16 + 4]);
  ASSERT_TRUE(WriteHostFile(drive.Host("people.mdx"), bytes));
  r = Tool(table + " people.mdx --check --json");
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(nlohmann::json::parse(r.out)["check"]["ok"]);
}
