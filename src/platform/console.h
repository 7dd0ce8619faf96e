// The program's command line and standard streams.
//
// Command-line programs (veltool) take their arguments as UTF-8 text and write
// UTF-8 bytes to their standard output exactly as they are: no newline
// translation, so output redirected to a file is the same on every host.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments as UTF-8, the program's name first. POSIX hosts pass them on
// as given; Windows reads the wide command line, so names outside the ANSI
// page arrive intact.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Standard output and error carry bytes as written: Windows switches them to
// binary mode and a console to UTF-8 output. Nothing to do on POSIX hosts.
void PrepareStandardStreams();

bool StdinIsTerminal();
bool StdoutIsTerminal();

}  // namespace platform
