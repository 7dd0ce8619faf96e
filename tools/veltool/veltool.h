// veltool: the command-line companion of VelUpdate. One CLI::App with one
// subcommand per source file cmd_<name>.cpp.
//
// Adding a subcommand
// -------------------
// A new file tools/veltool/cmd_<name>.cpp is picked up by the folder glob. It
// keeps its options in a struct held by a shared_ptr (the parser writes into
// it, the run function reads it), adds its subcommand with AddCommand and
// registers the setup function with VELTOOL_COMMAND:
//
//   namespace {
//   struct Options {
//     std::string file;
//     bool json = false;
//   };
//
//   int Run(const Options& o) {
//     HXO_dBaseFld t(veltool::ToEnginePath(o.file), true, false);  // engine errors: exit 1
//     ...
//     if (o.json) veltool::PrintJson(doc); else std::cout << ...;
//     return 0;
//   }
//
//   void Setup(CLI::App& app) {
//     auto o = std::make_shared<Options>();
//     CLI::App* cmd = veltool::AddCommand(app, "name", "one line for the command list",
//                                         [o] { return Run(*o); });
//     cmd->add_option("FILE", o->file, "table file (host or DOS path)")->required();
//     veltool::AddJsonFlag(cmd, o->json);
//   }
//   VELTOOL_COMMAND("name", Setup);
//   }  // namespace
//
// Exit statuses, the same for every subcommand (main.cpp does them):
//   0  success
//   1  the work failed: the engine's message on stderr ("veltool CMD: ..."),
//      as any exception thrown out of Run, or Run returning 1 after reporting
//   2  the command line is wrong: unknown option, missing or extra argument,
//      bad value; the message and the subcommand's usage go to stderr
// `veltool CMD --help` prints the subcommand's usage on stdout (status 0);
// `veltool --version` prints the version of the build.
//
// Output: plain text one record a line, tab-separated; or with --json valid
// JSON in UTF-8 written through PrintJson (nlohmann::ordered_json keeps the
// key order as built). Text from tables is decoded from its code page before
// it is put into JSON (table_text.h); engine text (messages, DOS file names)
// is in the ANSI page and goes through FromAnsi.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace veltool {

using Json = nlohmann::ordered_json;
using RunFn = std::function<int()>;
using SetupFn = void (*)(CLI::App& app);

// Adds the subcommand `name` to `app`; `run` is called when the command line
// parsed without error and this subcommand was chosen. Its result is the exit
// status.
CLI::App* AddCommand(CLI::App& app, const std::string& name, const std::string& description, RunFn run);

// The common --json flag.
CLI::Option* AddJsonFlag(CLI::App* cmd, bool& json);

// Setup functions registered by the cmd_*.cpp files, by command name (so
// the command list is in alphabetical order whatever the link order).
std::map<std::string, SetupFn>& Registry();

struct Registrar {
  Registrar(const char* name, SetupFn setup) { Registry()[name] = setup; }
};

// Runs the subcommand chosen on the command line (main.cpp).
int RunCommand(const CLI::App* cmd);

// A failure that ends the command with exit status 1 and `what()` on stderr
// (UTF-8). Engine exceptions end it the same way (their text is ANSI).
class Failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Resolves FILE given on the command line: a DOS path ("C:\x\y.dbf") is used
// as it is; a host path is turned into its DOS form through the drive map.
std::string ToEnginePath(const std::string& arg);

// Engine text (messages, DOS names; ANSI code page) as UTF-8.
std::string FromAnsi(std::string_view ansi);

// Writes `doc` as one line of JSON and a line feed on stdout. Strings are
// valid UTF-8 by construction; should one not be, the bad bytes are replaced
// (U+FFFD) rather than the output lost.
void PrintJson(const Json& doc);
std::string JsonText(const Json& doc);

// True when stdout / stdin is a terminal (progress bars are drawn and
// questions asked only then).
bool StdoutIsTerminal();
bool StdinIsTerminal();

}  // namespace veltool

#define VELTOOL_CONCAT2(a, b) a##b
#define VELTOOL_CONCAT(a, b) VELTOOL_CONCAT2(a, b)
#define VELTOOL_COMMAND(name, setup) \
  static const ::veltool::Registrar VELTOOL_CONCAT(veltool_registrar_, __LINE__)(name, setup)
