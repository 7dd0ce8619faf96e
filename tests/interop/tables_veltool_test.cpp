// veltool as scripts and administrators use it: every subcommand answers
// --help, a wrong command line is exit status 2 with the usage on stderr, a
// failure is status 1 with the engine's message, --json is always JSON.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/table_test_util.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs veltool with `args` (already quoted for the shell), stdin from /dev/null.
ToolRun Tool(const std::string& args, const std::string& env = "") {
  ToolRun r;
  const std::string errFile =
      (std::filesystem::temp_directory_path() / ("veltool-err-" + std::to_string(::getpid()) + ".txt"))
          .string();
  const std::string cmd = env + " " + VEL_VELTOOL + " " + args + " </dev/null 2>" + Quote(errFile);
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

}  // namespace

TEST(VeltoolCommandLine, EveryCommandHasHelpAndRefusesUnknownOptions) {
  const ToolRun list = Tool("");
  EXPECT_EQ(list.status, 2);
  for (const char* cmd : {"dump", "eval", "info", "scan", "zip", "ziplist"}) {
    SCOPED_TRACE(cmd);
    EXPECT_NE(list.err.find(std::string("  ") + cmd + " "), std::string::npos) << list.err;
    // Help is the command's own usage, on stdout, and opens nothing.
    const ToolRun help = Tool(std::string(cmd) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find(std::string("Usage: veltool ") + cmd + " "), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    // An unknown option: its name and the usage on stderr, status 2, nothing on stdout.
    const ToolRun bad = Tool(std::string(cmd) + " --no-such-option x");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("--no-such-option"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find(std::string("Usage: veltool ") + cmd), std::string::npos) << bad.err;
  }
  // A help request named like a file is still a help request.
  EXPECT_EQ(Tool("info --help.DBF").status, 2);
  EXPECT_EQ(Tool("info").status, 2);                 // FILE missing
  EXPECT_EQ(Tool("zip x.zip --level Q").status, 2);  // bad value
  EXPECT_EQ(Tool("info a.dbf b.dbf").status, 2);     // one FILE too many
  EXPECT_EQ(Tool("no-such-command").status, 2);

  const ToolRun version = Tool("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("veltool ", 0), 0u) << version.out;
  EXPECT_GT(version.out.size(), std::string("veltool \n").size());
}

TEST(VeltoolCommandLine, FailuresExitOneWithTheEnginesMessage) {
  TempDrive drive;
  const std::string env = "VELUPDATE_DRIVE_T=" + Quote(drive.Root());
  const ToolRun missing = Tool("info " + Quote(drive.Host("none.dbf")), env);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("veltool info: File T:\\none.dbf could not be found"), std::string::npos)
      << missing.err;

  // Not a table: the header message, for info and dump alike.
  WriteHostFile(drive.Host("text.dbf"), "this is not a table, only some text of a readme");
  for (const char* cmd : {"info", "dump"}) {
    const ToolRun r = Tool(std::string(cmd) + " " + Quote(drive.Host("text.dbf")), env);
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_NE(r.err.find("Table Header for T:\\text.dbf is invalid"), std::string::npos) << r.err;
  }
  const ToolRun expr = Tool("eval " + Quote("1 +"));
  EXPECT_EQ(expr.status, 1);
  EXPECT_NE(expr.err.find("veltool eval: "), std::string::npos);
}

TEST(VeltoolCommandLine, JsonOfOddTablesParses) {
  TempDrive drive;
  // Two fields of one name, text with every byte value, a deleted record.
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 4}, {"NAME", 'C', 4}, {"TEXT", 'C', 16}};
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  img.records = {" ab  cd  " + all.substr(0, 16), "*x   y   " + all.substr(120, 16),
                 " q   r   " + all.substr(200, 16)};
  WriteHostFile(drive.Host("odd.dbf"), tabletest::Bytes(img));
  for (const std::string args : {"dump --json --deleted", "info --json"}) {
    SCOPED_TRACE(args);
    const ToolRun r = Tool(args + " " + Quote(drive.Host("odd.dbf")));
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int parsed = 0;
    while (std::getline(lines, line)) {
      const auto doc = nlohmann::json::parse(line, nullptr, false);
      ASSERT_FALSE(doc.is_discarded()) << line;
      ++parsed;
      if (doc.contains("fields") && doc["fields"].is_object()) {
        // Both fields of the same name are there.
        EXPECT_EQ(doc["fields"].size(), 3u) << line;
      }
    }
    EXPECT_EQ(parsed, args[0] == 'd' ? 3 : 1);
  }
}
