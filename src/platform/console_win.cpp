// The command line and standard streams on Windows.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/console.h"

namespace platform {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  // The narrow argv is in the ANSI page and has lost what it lacks; the wide
  // command line has every character.
  int n = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &n);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i) args.push_back(detail::Narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

void PrepareStandardStreams() {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  // A console shows the UTF-8 bytes as text; a pipe or a file gets them as they are.
  if (StdoutIsTerminal()) ::SetConsoleOutputCP(CP_UTF8);
}

bool StdinIsTerminal() { return ::_isatty(::_fileno(stdin)) != 0; }
bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }

}  // namespace platform
