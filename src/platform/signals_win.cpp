// Temporary files that must not outlive an interrupted process (Windows).
//
// Ctrl+C, Ctrl+Break, closing the console window, logging off and shutting
// down reach the program as console control events. The handler (which the
// system runs on a thread of its own) removes the registered files and
// passes the event on, so the default handler ends the process as usual.
// clang-format off
#include "platform/internal_win.h"  // windows.h, before the shell and platform headers
// clang-format on
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/signals.h"

namespace platform {

namespace {

constexpr int kSlots = 64;
constexpr size_t kPathMax = 4096;

// A slot is free (0), being filled (1) or armed (2).
struct Slot {
  std::atomic<int> state{0};
  wchar_t path[kPathMax];
};

Slot gSlots[kSlots];
std::once_flag gInstalled;

BOOL WINAPI RemoveTempFiles(DWORD) {
  for (Slot& s : gSlots)
    if (s.state.load(std::memory_order_acquire) == 2) ::DeleteFileW(s.path);
  return FALSE;  // the next handler (the system's) ends the process
}

}  // namespace

int RegisterTempFile(const std::string& dosPath) {
  const std::wstring wide = detail::WidePath(dosPath);
  if (wide.empty() || wide.size() >= kPathMax) return -1;
  std::call_once(gInstalled, [] { ::SetConsoleCtrlHandler(RemoveTempFiles, TRUE); });
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!gSlots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    std::memcpy(gSlots[i].path, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    gSlots[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;
}

void UnregisterTempFile(int token) {
  if (token < 0 || token >= kSlots) return;
  gSlots[token].state.store(0, std::memory_order_release);
}

int RegisteredTempFiles() {
  int n = 0;
  for (const Slot& s : gSlots)
    if (s.state.load(std::memory_order_acquire) == 2) ++n;
  return n;
}

}  // namespace platform
