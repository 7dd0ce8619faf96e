#include <unistd.h>

#include "platform/console.h"

namespace platform {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void PrepareStandardStreams() {}

bool StdinIsTerminal() { return ::isatty(0) != 0; }
bool StdoutIsTerminal() { return ::isatty(1) != 0; }

}  // namespace platform
