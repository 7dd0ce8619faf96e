// `veltool restructure`, `--dry-run` and `veltool restore` on a data folder as
// an operator has it, checked by programs nobody here wrote: the backup by
// Info-ZIP's unzip -t, the rebuilt tables and memo files by python3-dbfread,
// the rebuilt index files by Perl XBase walking their tags.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/operator_folder.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

const std::string kSource = VEL_SOURCE_DIR;

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

#define REQUIRE_PEER(command, what)                                              \
  do {                                                                           \
    if (std::system((std::string(command) + " >/dev/null 2>&1").c_str()) != 0) { \
      if (InCi()) FAIL() << what << " missing";                                  \
      GTEST_SKIP() << what << " missing";                                        \
    }                                                                            \
  } while (0)

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

const char* const kFiles[] = {"CUSTOMER.DBF", "CUSTOMER.CDX", "CUSTOMER.FPT",   "orders.dbf",    "orders.cdx",
                              "PRODUCTS.DBF", "PRODUCTS.FPT", "Dictionary.dbf", "dictionary.CDX"};

class RestructurePeersTest : public ::testing::Test {
 protected:
  void Seed(const opfolder::Options& o = {}) {
    opfolder::Write("C:\\Velmora", Host(""), o);
    for (const char* f : kFiles) before[f] = ReadHostFile(Host(f));
  }
  std::string Host(const std::string& name) const { return c.Host("Velmora/" + name); }
  std::string Veltool(const std::string& args, int* status) const {
    return Shell(std::string(VEL_VELTOOL) + " " + args, status);
  }
  // The live records as python3-dbfread reads them: field names, then one row a line.
  std::vector<Json> PeerRows(const std::string& file) const {
    std::vector<Json> rows;
    for (const std::string& line : Lines(Shell("/usr/bin/python3 " + kSource +
                                               "/tests/interop/restructure_peer.py '" + Host(file) + "'"))) {
      try {
        rows.push_back(Json::parse(line));
      } catch (const std::exception&) {
        ADD_FAILURE() << "dbfread said: " << line;
      }
    }
    return rows;
  }
  std::vector<std::string> PeerWalk(const std::string& table, const std::string& cdx, const std::string& tag,
                                    const std::string& type, const std::string& field) const {
    return Lines(Shell("perl " + kSource + "/tests/interop/restructure_peer.pl '" + Host(table) + "' '" +
                       Host(cdx) + "' " + tag + " " + type + " " + field));
  }

  TempDrive c{'C'};
  ScopedEnv drive{"VELUPDATE_DRIVE_C", c.Root()};
  ScopedEnv windir{"VELUPDATE_WINDIR", c.Root() + "/windows"};
  std::map<std::string, std::string> before;
};

TEST_F(RestructurePeersTest, RebuiltTablesAndTheirBackupReadBackInOtherPrograms) {
  REQUIRE_PEER("/usr/bin/python3 -c 'import dbfread'", "python3-dbfread");
  REQUIRE_PEER("perl -MXBase -MXBase::Index -e1", "Perl XBase");
  REQUIRE_PEER("unzip -v", "Info-ZIP unzip");
  Seed();
  int status = -1;
  const std::string out = Veltool("restructure 'C:\\Velmora' --json", &status);
  ASSERT_EQ(status, 0) << out;
  const Json run = Json::parse(Lines(out).back());
  EXPECT_EQ(run["filesBackedUp"], 7);
  EXPECT_EQ(run["tablesRebuilt"], 3);
  EXPECT_TRUE(run["backupComplete"].get<bool>());
  const std::string archive = run["archive"];
  ASSERT_EQ(archive.rfind("C:\\Velmora\\Velmora_", 0), 0u) << archive;
  const std::string zipHost = Host(archive.substr(11));
  EXPECT_NE(Shell("unzip -t '" + zipHost + "'").find("No errors detected"), std::string::npos);

  // CUSTOMER: every live record, the widened name whole, the new field blank, the memos kept.
  std::vector<Json> rows = PeerRows("CUSTOMER.dbf");
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], Json::parse(R"(["CUSTNO","NAME","CITY","EMAIL","NOTES"])"));
  std::vector<Json> expected;
  for (int i = 1; i <= 12; ++i) {
    if (opfolder::CustomerDeleted(i)) continue;
    expected.push_back({{"CUSTNO", std::to_string(1000 + i)},
                        {"NAME", i == 3 ? "Müller & Söhne" : "Customer " + std::to_string(i)},
                        {"CITY", i % 3 == 0 ? "Paris" : "London"},
                        {"EMAIL", ""},
                        {"NOTES", i % 2 ? opfolder::CustomerNote(i) : ""}});
  }
  EXPECT_EQ(std::vector<Json>(rows.begin() + 1, rows.end()), expected);
  // ORDERS got a memo file for its new memo field; PRODUCTS lost its own.
  rows = PeerRows("ORDERS.dbf");
  ASSERT_EQ(rows.size(), 9u);  // the field names and eight live orders
  EXPECT_EQ(rows[1]["PRICE"], "12.5");
  EXPECT_EQ(rows[1]["REMARK"], "");
  EXPECT_FALSE(fs::exists(Host("PRODUCTS.FPT")));
  rows = PeerRows("PRODUCTS.dbf");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[2]["NOTES"], opfolder::ProductNote(2).substr(0, 40));

  // The index files hold the new records in their tags' order. The files
  // keep the spelling of their names (upper-case CUSTOMER, lower-case orders).
  EXPECT_EQ(PeerWalk("CUSTOMER.DBF", "CUSTOMER.CDX", "CUSTNO", "char", "CUSTNO"),
            (std::vector<std::string>{"1001", "1002", "1003", "1004", "1006", "1007", "1008", "1009", "1011",
                                      "1012"}));
  EXPECT_EQ(PeerWalk("CUSTOMER.DBF", "CUSTOMER.CDX", "CITY", "char", "CUSTNO").size(), 10u);
  EXPECT_EQ(PeerWalk("orders.dbf", "orders.cdx", "ORDERNO", "char", "ORDERNO"),
            (std::vector<std::string>{"1", "2", "3", "5", "6", "7", "8", "9"}));

  // restore puts every backed-up file back as it was.
  const std::string restored = Veltool("restore '" + archive + "' 'C:\\Velmora'", &status);
  EXPECT_EQ(status, 0) << restored;
  EXPECT_NE(restored.find("7 files restored to C:\\Velmora"), std::string::npos) << restored;
  for (const char* f : kFiles) EXPECT_EQ(ReadHostFile(Host(f)), before[f]) << f;
}

TEST_F(RestructurePeersTest, DryRunShowsThePlanAndChangesNothing) {
  Seed({.dropField = true});
  int status = -1;
  const std::string out = Veltool("restructure 'C:\\Velmora' --dry-run --json", &status);
  EXPECT_EQ(status, 1) << out;
  const Json plan = Json::parse(out, nullptr, false);
  ASSERT_TRUE(plan.is_object()) << out;
  EXPECT_FALSE(plan["safe"].get<bool>());
  const Json& t = plan["tables"];
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0]["table"], "CUSTOMER");
  EXPECT_EQ(t[0]["changes"][0]["change"], "widened");
  EXPECT_EQ(t[0]["changes"][0]["field"], "NAME");
  EXPECT_EQ(t[0]["changes"][1]["change"], "added");
  EXPECT_EQ(t[0]["records"], 10);
  EXPECT_EQ(t[0]["lossCount"], 0);
  EXPECT_EQ(t[0]["tags"].size(), 3u);
  EXPECT_TRUE(t[0]["stop"].is_null());
  EXPECT_EQ(t[1]["table"], "MISSING");
  EXPECT_FALSE(t[1]["present"].get<bool>());
  // ORDERS drops PAID: every value is lost and the run would stop there.
  EXPECT_EQ(t[2]["changes"][0]["change"], "dropped");
  EXPECT_EQ(t[2]["lossCount"], 8);
  EXPECT_EQ(t[2]["losses"][0]["record"], 1);
  EXPECT_EQ(t[2]["losses"][0]["reason"], "field dropped");
  EXPECT_EQ(t[2]["stop"], "tbNewTable: Field 'PAID' not found");
  // PRODUCTS: the long note would be cut, at record 2.
  EXPECT_EQ(t[3]["changes"][0]["change"], "retyped");
  EXPECT_EQ(t[3]["lossCount"], 1);
  EXPECT_EQ(t[3]["losses"][0], Json::parse(R"({"record":2,"field":"NOTES","reason":"text longer than 40",
      "value":"A note far longer than the forty characters the new field..."})"));

  for (const char* f : kFiles) EXPECT_EQ(ReadHostFile(Host(f)), before[f]) << f;
  for (const auto& e : fs::directory_iterator(Host("")))
    EXPECT_EQ(before.count(e.path().filename().string()), 1u) << e.path();

  // Without the dropped field only the cut note is left; the text form lists it by record.
  Seed();
  const std::string text = Veltool("restructure 'C:\\Velmora' --dry-run", &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(text.find("loss\tPRODUCTS\tNOTES\t2\ttext longer than 40\t"), std::string::npos) << text;
  EXPECT_NE(text.find("missing\tMISSING\t"), std::string::npos);
}

}  // namespace
