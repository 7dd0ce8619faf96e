#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/internal.h"
#include "platform/paths.h"
#include "platform/signals.h"

namespace platform {

namespace {

constexpr int kSlots = 64;
constexpr size_t kPathMax = 4096;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

// A slot is free (0), being filled (1) or armed (2). The handler reads only
// armed slots, whose path is complete and stays put until the slot is freed.
struct Slot {
  std::atomic<int> state{0};
  char path[kPathMax];
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads slot states");

Slot gSlots[kSlots];
struct sigaction gPrevious[kSignalCount];
std::mutex gInstallMutex;

extern "C" void RemoveTempFilesAndReraise(int sig) {
  const int savedErrno = errno;
  for (Slot& s : gSlots)
    if (s.state.load(std::memory_order_acquire) == 2) ::unlink(s.path);
  for (int i = 0; i < kSignalCount; ++i)
    if (kSignals[i] == sig) ::sigaction(sig, &gPrevious[i], nullptr);
  errno = savedErrno;
  // Blocked while this handler runs: delivered, with the program's own
  // disposition, as soon as it returns.
  ::raise(sig);
}

// Puts the handler in place for each signal the program does not ignore. A
// program may have set a disposition of its own since the last time: that
// one becomes the one to hand over to.
void EnsureHandlers() {
  std::lock_guard<std::mutex> lock(gInstallMutex);
  sigset_t block, saved;
  sigemptyset(&block);
  for (int sig : kSignals) sigaddset(&block, sig);
  ::pthread_sigmask(SIG_BLOCK, &block, &saved);
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction current;
    if (::sigaction(kSignals[i], nullptr, &current) != 0) continue;
    const bool info = (current.sa_flags & SA_SIGINFO) != 0;
    if (!info && current.sa_handler == RemoveTempFilesAndReraise) continue;
    if (!info && current.sa_handler == SIG_IGN) continue;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = RemoveTempFilesAndReraise;
    sigfillset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    gPrevious[i] = current;
    ::sigaction(kSignals[i], &sa, nullptr);
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

}  // namespace

int RegisterTempFile(const std::string& dosPath) { return detail::RegisterHostTempFile(ToHostPath(dosPath)); }

int detail::RegisterHostTempFile(const std::string& host) {
  if (host.empty() || host.size() >= kPathMax) return -1;
  EnsureHandlers();
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!gSlots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    std::memcpy(gSlots[i].path, host.c_str(), host.size() + 1);
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
