// Subcommand registry of veltool. Each cmd_<name>.cpp defines a function
// int Run(const std::vector<std::string>& args) and registers it with
// VELTOOL_COMMAND(name, "usage line", function).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace veltool {

using CommandFn = std::function<int(const std::vector<std::string>& args)>;

struct Command {
  std::string name;
  std::string usage;
  CommandFn run;
};

std::vector<Command>& Registry();

struct Registrar {
  Registrar(const char* name, const char* usage, CommandFn fn) {
    Registry().push_back({name, usage, std::move(fn)});
  }
};

// Resolves FILE given on the command line: a DOS path ("C:\x\y.dbf") is used
// as it is; a host path is turned into its DOS form through the drive map.
std::string ToEnginePath(const std::string& arg);

// Escapes text (already UTF-8) for a JSON string literal, quotes included.
std::string JsonString(const std::string& utf8);

// True when stdout is a terminal (progress bars are drawn only then).
bool StdoutIsTerminal();

}  // namespace veltool

#define VELTOOL_CONCAT2(a, b) a##b
#define VELTOOL_CONCAT(a, b) VELTOOL_CONCAT2(a, b)
#define VELTOOL_COMMAND(name, usage, fn) \
  static ::veltool::Registrar VELTOOL_CONCAT(veltool_registrar_, __LINE__)(name, usage, fn)
