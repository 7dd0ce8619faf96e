// veltool's bash completion and the command list of its manual page, as the
// package installs them: made by veltool itself, read by bash and groff. Each
// is checked against what `veltool --help` and `veltool CMD --help` print, so
// a subcommand or option added later that they miss fails here.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_files.h"

namespace {

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Missing peers fail under CI and skip elsewhere.
#define REQUIRE_PEER(available, what)           \
  do {                                          \
    if (!(available)) {                         \
      if (InCi()) FAIL() << what << " missing"; \
      GTEST_SKIP() << what << " missing";       \
    }                                           \
  } while (0)

// Standard output of a shell command; its exit status in `status`.
std::string Shell(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::string Veltool(const std::string& args) {
  return Shell(std::string(VEL_VELTOOL) + " " + args + " 2>&1");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What the help texts list: each subcommand with its long options.
std::map<std::string, std::set<std::string>> CommandsFromHelp() {
  std::map<std::string, std::set<std::string>> commands;
  bool inList = false;
  for (const std::string& line : Lines(Veltool("--help"))) {
    if (line == "Subcommands:") {
      inList = true;
    } else if (inList) {
      std::smatch m;
      if (!std::regex_search(line, m, std::regex("^  ([a-z][a-z0-9-]*) "))) break;
      commands[m[1]];
    }
  }
  for (auto& [name, options] : commands)
    for (const std::string& line : Lines(Veltool(name + " --help"))) {
      std::smatch m;
      if (std::regex_search(line, m, std::regex("^  (?:-[a-zA-Z],)?(--[a-z][a-z0-9-]*)")) && m[1] != "--help")
        options.insert(m[1]);
    }
  return commands;
}

class VeltoolDocs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (std::filesystem::temp_directory_path() / ("veltool-docs-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // COMPREPLY of the completion function for the words of a command line,
  // the last word being the one completed.
  std::string Complete(const std::string& script, const std::vector<std::string>& words) {
    std::string array;
    for (const std::string& w : words) array += " '" + w + "'";
    const std::string probe = dir_ + "/probe.sh";
    WriteHostFile(probe, "source '" + script + "'\nCOMP_WORDS=(" + array + ")\nCOMP_CWORD=" +
                             std::to_string(words.size() - 1) + "\n_veltool\necho \"${COMPREPLY[*]}\"\n");
    std::string out = Shell("bash '" + probe + "' 2>&1");
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  std::string dir_;
};

TEST_F(VeltoolDocs, BashCompletionOffersTheCommandsTheirOptionsAndTheirChoices) {
  REQUIRE_PEER(Shell("command -v bash") != "", "bash");
  const std::string script = dir_ + "/veltool";
  int status = -1;
  ASSERT_TRUE(WriteHostFile(script, Shell(std::string(VEL_VELTOOL) + " completion bash", &status)));
  ASSERT_EQ(status, 0);
  EXPECT_EQ(Shell("bash -c \"source '" + script + "' && complete -p veltool\""),
            "complete -o bashdefault -o default -F _veltool veltool\n");

  const auto commands = CommandsFromHelp();
  ASSERT_GE(commands.size(), 7u);
  ASSERT_TRUE(commands.at("zip").count("--stored-names")) << "the help texts were not read";
  std::string expected;
  for (const auto& [name, options] : commands) expected += name + " ";
  // The hidden generators are no command a user types.
  EXPECT_EQ(Complete(script, {"veltool", ""}), expected + "-h --help --version");
  for (const auto& [name, options] : commands) {
    SCOPED_TRACE(name);
    std::istringstream offered(Complete(script, {"veltool", name, "--"}));
    std::set<std::string> got{std::istream_iterator<std::string>(offered),
                              std::istream_iterator<std::string>()};
    for (const std::string& o : options) EXPECT_TRUE(got.count(o)) << o << " not offered";
  }

  EXPECT_EQ(Complete(script, {"veltool", "zi"}), "zip ziplist");
  EXPECT_EQ(Complete(script, {"veltool", "zip", "--le"}), "--level");
  EXPECT_EQ(Complete(script, {"veltool", "zip", "--level", ""}), "S F N X");
  EXPECT_EQ(Complete(script, {"veltool", "zip", "a.zip", "--stored-names", "abs"}),
            "absolute absolute-no-drive absolute-no-root");
  // --name=value reaches the function as three words.
  EXPECT_EQ(Complete(script, {"veltool", "create", "--type", "="}), "foxpro2 dbase3 dbase4 clipper");
  EXPECT_EQ(Complete(script, {"veltool", "create", "--type", "=", "db"}), "dbase3 dbase4");
  EXPECT_EQ(Complete(script, {"veltool", "dump", "Dictionary.dbf", "--del"}), "--deleted");
  // Values without choices and file arguments are left to the shell's own
  // completion of file names.
  EXPECT_EQ(Complete(script, {"veltool", "info", "--codepage", ""}), "");
  EXPECT_EQ(Complete(script, {"veltool", "info", "Dict"}), "");
}

TEST_F(VeltoolDocs, ManualPageListsEveryCommandAndOptionAndRendersWithoutWarnings) {
  REQUIRE_PEER(Shell("command -v groff") != "", "groff");
  int status = -1;
  const std::string commandsRoff = Shell(std::string(VEL_VELTOOL) + " man-commands", &status);
  ASSERT_EQ(status, 0);
  const std::string page = dir_ + "/veltool.1";
  ASSERT_TRUE(WriteHostFile(page, ".TH VELTOOL 1\n.SH COMMANDS\n" + commandsRoff));
  // -ww: every warning; plain text, one option a line.
  const std::string warnings = Shell("groff -man -Tascii -ww -z '" + page + "' 2>&1");
  EXPECT_EQ(warnings, "");
  const std::string text = Shell("groff -man -Tascii -rLL=250n -P-cbou '" + page + "' 2>/dev/null");

  const auto commands = CommandsFromHelp();
  ASSERT_GE(commands.size(), 7u);
  for (const auto& [name, options] : commands) {
    SCOPED_TRACE(name);
    EXPECT_NE(text.find("\n   " + name + "\n"), std::string::npos) << "no section for " << name;
    EXPECT_NE(text.find("veltool " + name + " "), std::string::npos) << "no usage line for " << name;
    for (const std::string& o : options) EXPECT_NE(text.find(o), std::string::npos) << o;
  }
  EXPECT_EQ(text.find("man-commands"), std::string::npos);
  EXPECT_EQ(text.find("\n   completion\n"), std::string::npos);
  // Backslashes and option dashes come out as typed.
  EXPECT_NE(text.find("C:\\data\\*.dbf"), std::string::npos);
  EXPECT_NE(text.find("--switch add|refresh|move|delete|read"), std::string::npos);
  EXPECT_NE(text.find("veltool zip [OPTIONS] ARCHIVE [SPEC...]"), std::string::npos);
}

}  // namespace
