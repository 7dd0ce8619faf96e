// Temporary files that must not outlive an interrupted process.
//
// On Windows the console's Ctrl+C, Ctrl+Break and close events do the same
// (signals_win.cpp); the rest of this note is about POSIX hosts.
//
// A file registered here is removed when the process gets SIGINT, SIGTERM or
// SIGHUP. The handler only unlinks the registered names (async-signal-safe),
// then puts back what the program had for that signal before and raises it
// again: with the default action the process ends with the signal's usual
// status; a handler of the program's own runs next. A signal the program
// ignores (SIG_IGN, as under nohup) is left ignored. Each registration puts
// the handlers back in place if the program has set its own since.
//
// The table is small and fixed (no allocation in the handler); a name that
// does not fit it is not registered. Registration and removal are meant for
// the thread that owns the file; the handler may run on any thread.
#pragma once

#include <string>

namespace platform {

// Registers a DOS path for removal on SIGINT, SIGTERM or SIGHUP. Returns a
// token for UnregisterTempFile, or -1 when the file could not be registered.
int RegisterTempFile(const std::string& dosPath);
// Forgets a registration (the file itself is left alone). -1 is ignored.
void UnregisterTempFile(int token);
// The number of names registered now (for tests).
int RegisteredTempFiles();

}  // namespace platform
