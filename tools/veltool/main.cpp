// veltool — command-line companion of VelUpdate for administrators and scripts.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>

#include "platform/paths.h"
#include "platform/text.h"
#include "veltool.h"

namespace veltool {

std::vector<Command>& Registry() {
  static std::vector<Command> commands;
  return commands;
}

std::string ToEnginePath(const std::string& arg) {
  bool dos = (arg.size() >= 2 && arg[1] == ':') || arg.rfind("\\\\", 0) == 0;
  if (dos) return arg;
  std::string host = arg;
  if (host.empty() || host[0] != '/') {
    char buf[4096];
    if (::getcwd(buf, sizeof buf)) host = std::string(buf) + "/" + host;
  }
  return platform::ToDosPath(host);
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

bool StdoutIsTerminal() { return ::isatty(1) != 0; }

}  // namespace veltool

static void Usage() {
  std::cerr << "usage: veltool <command> [arguments]\n\ncommands:\n";
  for (const auto& c : veltool::Registry()) std::cerr << "  " << c.usage << "\n";
}

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  std::string name = argv[1];
  if (name == "-h" || name == "--help" || name == "help") {
    Usage();
    return 0;
  }
  // A code page the host cannot convert would turn text into '?' unseen.
  if (std::string problem = platform::CodePageProblem(); !problem.empty()) {
    std::cerr << "veltool: " << problem << "\n";
    return 1;
  }
  for (const auto& c : veltool::Registry()) {
    if (c.name == name) {
      std::vector<std::string> args(argv + 2, argv + argc);
      try {
        return c.run(args);
      } catch (const std::exception& e) {
        std::cerr << "veltool " << name << ": " << e.what() << "\n";
        return 1;
      }
    }
  }
  std::cerr << "veltool: unknown command '" << name << "'\n";
  Usage();
  return 2;
}
