// veltool — command-line companion of VelUpdate for administrators and scripts.
#include <algorithm>
#include <exception>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "veltool.h"
#include "veltool_version.h"

namespace veltool {

namespace {

std::map<const CLI::App*, RunFn>& Runs() {
  static std::map<const CLI::App*, RunFn> runs;
  return runs;
}

}  // namespace

std::map<std::string, SetupFn>& Registry() {
  static std::map<std::string, SetupFn> setups;
  return setups;
}

int RunCommand(const CLI::App* cmd) {
  auto it = Runs().find(cmd);
  return it == Runs().end() ? 2 : it->second();
}

CLI::App* AddCommand(CLI::App& app, const std::string& name, const std::string& description, RunFn run) {
  CLI::App* cmd = app.add_subcommand(name, description);
  Runs()[cmd] = std::move(run);
  return cmd;
}

CLI::Option* AddJsonFlag(CLI::App* cmd, bool& json) {
  return cmd->add_flag("--json", json, "write JSON (UTF-8) instead of tab-separated text");
}

std::string ToEnginePath(const std::string& arg) { return platform::ArgumentToDosPath(arg); }

std::string FromAnsi(std::string_view ansi) { return platform::AnsiToUtf8(ansi); }

std::string JsonText(const Json& doc) { return doc.dump(-1, ' ', false, Json::error_handler_t::replace); }

void PrintJson(const Json& doc) { std::cout << JsonText(doc) << '\n'; }

bool StdoutIsTerminal() { return platform::StdoutIsTerminal(); }
bool StdinIsTerminal() { return platform::StdinIsTerminal(); }

}  // namespace veltool

int main(int argc, char** argv) {
  CLI::App app("veltool " VELTOOL_VERSION
               " - command-line companion of VelUpdate: tables, expressions and zip archives",
               "veltool");
  app.set_version_flag("--version", "veltool " VELTOOL_VERSION);
  app.require_subcommand(1);
  // "/x" is a path on every host, never an option (CLI11 reads it as one on
  // Windows unless told otherwise); the subcommands inherit this.
  app.allow_windows_style_options(false);
  app.footer(
      "Exit status: 0 success, 1 the work failed (the engine's message on stderr), 2 wrong command line.\n"
      "FILE arguments are host paths or DOS paths (C:\\Velmora\\Dictionary.dbf) through the drive map.");
  for (const auto& [name, setup] : veltool::Registry()) setup(app);

  // UTF-8 arguments on every host (Windows hands them over in the ANSI page).
  platform::PrepareStandardStreams();
  std::vector<std::string> args = platform::CommandLineArguments(argc, argv);
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  try {
    app.parse(static_cast<int>(args.size()), argp.data());
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // The message, then the usage of the command being parsed.
    const auto chosen = app.get_subcommands();
    const CLI::App* where = chosen.empty() ? &app : chosen.front();
    std::cerr << "veltool" << (chosen.empty() ? "" : " " + where->get_name()) << ": " << e.what() << "\n\n"
              << where->help(chosen.empty() ? "" : "veltool");
    return 2;
  }

  // A code page the host cannot convert would turn text into '?' unseen.
  if (std::string problem = platform::CodePageProblem(); !problem.empty()) {
    std::cerr << "veltool: " << problem << "\n";
    return 1;
  }

  const auto chosen = app.get_subcommands();
  const CLI::App* cmd = chosen.front();
  const std::string name = cmd->get_name();
  try {
    const int status = veltool::RunCommand(cmd);
    std::cout.flush();
    return status;
  } catch (const veltool::Failure& e) {
    std::cout.flush();
    std::cerr << "veltool " << name << ": " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "veltool " << name << ": " << veltool::FromAnsi(e.what()) << "\n";
    return 1;
  }
}
