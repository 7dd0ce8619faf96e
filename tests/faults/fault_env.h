// The fault-injecting test double of the file service and the one driver
// that runs an operation against it at every failure point.
//
// FaultyFiles is installed through the platform's hook (platform/faults.h).
// In a dry run it only counts the calls an operation makes; then the driver
// runs the operation again once for every call k and every kind of fault:
//
//   FailOne   call k fails outright (open, read, write, flush, truncate,
//             delete, move, replace, copy or lock); the calls after it work
//   Short     read or write k is cut in half: the read answers fewer bytes,
//             the write stores half and fails with "disk full"
//   DiskFull  write k stores half, and it and every later write fail with
//             "disk full" (the disk stays full)
//   Crash     the machine stops at call k: it and every later call that
//             would change a file fail, and afterwards everything written
//             since the file's last flush is dropped (a file created since is
//             removed, a changed one gets back its flushed bytes). A rename,
//             replace, copy or delete that went through is kept: the layer
//             flushes the file and its folder around them.
//
// After each run the operation's own check looks at the files: the run
// either completed or failed with its message, and nothing that existed
// before is changed beyond what the operation's contract allows.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "platform/faults.h"
#include "platform/paths.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

namespace faulttest {

enum class Mode { Count, FailOne, Short, DiskFull, Crash };

inline const char* ModeName(Mode m) {
  switch (m) {
    case Mode::Count:
      return "count";
    case Mode::FailOne:
      return "fail";
    case Mode::Short:
      return "short";
    case Mode::DiskFull:
      return "disk full";
    case Mode::Crash:
      return "crash";
  }
  return "?";
}

inline const char* CallName(platform::FileCall c) {
  using platform::FileCall;
  switch (c) {
    case FileCall::Open:
      return "open";
    case FileCall::Read:
      return "read";
    case FileCall::Write:
      return "write";
    case FileCall::Flush:
      return "flush";
    case FileCall::Truncate:
      return "truncate";
    case FileCall::Delete:
      return "delete";
    case FileCall::Move:
      return "move";
    case FileCall::Replace:
      return "replace";
    case FileCall::Copy:
      return "copy";
    case FileCall::Lock:
      return "lock";
  }
  return "?";
}

// True for the calls each mode counts as its fault points.
inline bool Counts(Mode m, platform::FileCall c) {
  using platform::FileCall;
  switch (m) {
    case Mode::Short:
      return c == FileCall::Read || c == FileCall::Write;
    case Mode::DiskFull:
      return c == FileCall::Write;
    default:
      return true;
  }
}

inline bool Changes(const platform::FileCallInfo& c) {
  using platform::FileCall;
  switch (c.call) {
    case FileCall::Open:
      return c.disposition != platform::Disposition::OpenExisting;
    case FileCall::Read:
    case FileCall::Lock:
      return false;
    default:
      return true;
  }
}

class FaultyFiles : public platform::FileFaults {
 public:
  FaultyFiles(Mode mode, int at) : mode_(mode), at_(at) { platform::SetFileFaults(this); }
  ~FaultyFiles() override { platform::SetFileFaults(nullptr); }
  FaultyFiles(const FaultyFiles&) = delete;
  FaultyFiles& operator=(const FaultyFiles&) = delete;

  platform::FaultAnswer Before(const platform::FileCallInfo& c) override {
    std::lock_guard lock(mutex_);
    platform::FaultAnswer answer;
    if (!active_) return answer;
    if (Counts(mode_, c.call)) ++calls_;
    if (Trace())
      std::fprintf(stderr, "  call %d: %s %s offset %llu count %zu\n", calls_, CallName(c.call),
                   c.dosPath.c_str(), static_cast<unsigned long long>(c.offset), c.count);
    const bool hit = Counts(mode_, c.call) && calls_ == at_;
    if (hit) hitWhat_ = std::string(CallName(c.call)) + " " + c.dosPath;
    switch (mode_) {
      case Mode::Count:
        break;
      case Mode::FailOne:
        if (hit) answer.fail = true;
        break;
      case Mode::Short:
        if (hit) {
          answer.limit = c.count / 2;
          answer.error = platform::ErrorCode::DiskFull;
        }
        break;
      case Mode::DiskFull:
        if (hit) full_ = true;
        if (full_ && (c.call == platform::FileCall::Write || c.call == platform::FileCall::Truncate)) {
          answer.error = platform::ErrorCode::DiskFull;
          if (hit && c.call == platform::FileCall::Write)
            answer.limit = c.count / 2;
          else
            answer.fail = true;
        }
        break;
      case Mode::Crash:
        if (hit) dead_ = true;
        if (dead_ && Changes(c)) {
          answer.fail = true;
          return answer;
        }
        break;
    }
    if (mode_ == Mode::Crash && !answer.fail) Remember(c);
    return answer;
  }

  void After(const platform::FileCallInfo& c, int64_t result) override {
    std::lock_guard lock(mutex_);
    if (mode_ != Mode::Crash || result <= 0) return;
    using platform::FileCall;
    switch (c.call) {
      case FileCall::Flush:
        unflushed_.erase(*c.hostPath);
        break;
      case FileCall::Delete:
        unflushed_.erase(Host(c.dosPath));
        break;
      case FileCall::Move:
      case FileCall::Replace:
        unflushed_.erase(pendingSource_);
        unflushed_.erase(pendingTarget_);
        break;
      case FileCall::Copy:
        unflushed_.erase(pendingTarget_);
        break;
      default:
        break;
    }
  }

  // The crash: every file goes back to what it held at its last flush.
  void DropUnflushed() {
    std::lock_guard lock(mutex_);
    active_ = false;
    for (const auto& [host, bytes] : unflushed_) {
      std::error_code ec;
      if (!bytes)
        std::filesystem::remove(HostFsPath(host), ec);
      else
        WriteHostFile(host, *bytes);
    }
    unflushed_.clear();
  }

  // Stops injecting and counting (the operation's objects are gone).
  void Stop() {
    std::lock_guard lock(mutex_);
    active_ = false;
  }
  int Calls() const { return calls_; }
  bool Hit() const { return !hitWhat_.empty(); }
  const std::string& HitWhat() const { return hitWhat_; }

 private:
  // VEL_FAULT_TRACE=1 lists every call on stderr, to read what a failing point hit.
  static bool Trace() {
    static const bool on = std::getenv("VEL_FAULT_TRACE") != nullptr;
    return on;
  }
  static std::string Host(const std::string& dosPath) { return platform::ToHostPath(dosPath); }

  // Before a call that may change a file, what the file holds now (unless
  // already remembered since its last flush).
  void Remember(const platform::FileCallInfo& c) {
    using platform::FileCall;
    auto keep = [&](const std::string& host) {
      if (host.empty() || unflushed_.count(host)) return;
      std::error_code ec;
      if (std::filesystem::is_regular_file(HostFsPath(host), ec))
        unflushed_[host] = ReadHostFile(host);
      else
        unflushed_[host] = std::nullopt;
    };
    switch (c.call) {
      case FileCall::Write:
      case FileCall::Truncate:
        keep(*c.hostPath);
        break;
      case FileCall::Open:
        if (c.disposition != platform::Disposition::OpenExisting) keep(Host(c.dosPath));
        break;
      case FileCall::Move:
      case FileCall::Replace:
      case FileCall::Copy:
        pendingSource_ = Host(c.dosPath);
        pendingTarget_ = Host(*c.target);
        break;
      default:
        break;
    }
  }

  std::mutex mutex_;
  Mode mode_;
  int at_;
  int calls_ = 0;
  bool active_ = true;
  bool full_ = false;
  bool dead_ = false;
  std::string hitWhat_;
  std::map<std::string, std::optional<std::string>> unflushed_;
  std::string pendingSource_, pendingTarget_;
};

// The files of a folder (names relative to it, '/' between folders) and their bytes.
using FolderImage = std::map<std::string, std::string>;

inline FolderImage ImageOf(const std::string& hostFolder) {
  FolderImage out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(hostFolder, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file()) continue;
    const std::string rel = std::filesystem::relative(it->path(), hostFolder).generic_string();
    out[rel] = ReadHostFile(it->path().string());
  }
  return out;
}

inline void LayDown(const std::string& hostFolder, const FolderImage& image) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(hostFolder, ec))
    std::filesystem::remove_all(entry.path(), ec);
  for (const auto& [name, bytes] : image) WriteHostFile(hostFolder + "/" + name, bytes);
}

// What one run at one fault point came to.
struct Outcome {
  Mode mode;
  int point;            // the call that was hit (1-based)
  std::string hit;      // which call and file
  bool raised = false;  // the operation raised an engine error
  std::string message;  // its message
  FolderImage before;   // the folder before the run
};

// An operation as the driver runs it. `run` does the work on the drive (its
// files laid down from `image` before each run) and raises the engine's
// error when it fails; it may also report a failure by returning false (the
// archiver's way), with its message in `message`. `check` looks at the
// folder after the run.
struct Operation {
  FolderImage image;
  std::function<bool(TempDrive&, std::string& message)> run;
  std::function<void(TempDrive&, const Outcome&)> check;
  std::vector<Mode> modes = {Mode::FailOne, Mode::Short, Mode::DiskFull, Mode::Crash};
};

// Runs the operation once to count its calls, then once for every call of
// every mode with that call failing; answers the number of runs. Every run
// must end (engine error or success), never escape with another exception.
inline int RunAtEveryFaultPoint(TempDrive& drive, const Operation& op) {
  auto runOnce = [&](Mode mode, int point, Outcome& outcome) {
    LayDown(drive.Root(), op.image);
    outcome.mode = mode;
    outcome.point = point;
    outcome.before = op.image;
    FaultyFiles files(mode, point);
    try {
      std::string message;
      if (!op.run(drive, message)) {
        outcome.raised = true;
        outcome.message = message;
      }
    } catch (const Exception& e) {
      outcome.raised = true;
      outcome.message = e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << ModeName(mode) << " at call " << point << " (" << files.HitWhat() << "): escaped with "
                    << typeid(e).name() << ": " << e.what();
      outcome.raised = true;
    }
    outcome.hit = files.HitWhat();
    if (mode == Mode::Crash)
      files.DropUnflushed();
    else
      files.Stop();
    return files.Calls();
  };

  int runs = 0;
  for (Mode mode : op.modes) {
    Outcome dry;
    const int calls = runOnce(Mode::Count, 0, dry);
    EXPECT_FALSE(dry.raised) << "the operation fails without faults: " << dry.message;
    // Crash: one point more, the machine stopping right after the operation.
    const int last = mode == Mode::Crash ? calls + 1 : calls;
    for (int k = 1; k <= last; ++k) {
      Outcome outcome;
      (void)runOnce(mode, k, outcome);
      ++runs;
      SCOPED_TRACE(std::string(ModeName(mode)) + " at call " + std::to_string(k) + " of " +
                   std::to_string(calls) + " (" + (outcome.hit.empty() ? "after the end" : outcome.hit) +
                   (outcome.raised ? "), failed: " + outcome.message : "), completed"));
      // The calls before the fault are those of the dry run, so call k is reached.
      // A run may take fewer calls than the dry run (a read cut short ends a
      // walk early, a lock found free is not retried): its later points run clean.
      EXPECT_TRUE(!outcome.raised || mode == Mode::Crash || !outcome.message.empty())
          << "a failure without a message";
      op.check(drive, outcome);
      if (::testing::Test::HasFailure()) return runs;  // the first broken point is enough to read
    }
  }
  return runs;
}

// Fails the test for each file of `before` that is now missing or different,
// except those named in `mayChange`.
inline void ExpectUnchangedBut(const FolderImage& before, const FolderImage& now,
                               const std::set<std::string>& mayChange = {}) {
  for (const auto& [name, bytes] : before) {
    if (mayChange.count(name)) continue;
    auto it = now.find(name);
    if (it == now.end())
      ADD_FAILURE() << name << " is gone";
    else if (it->second != bytes)
      ADD_FAILURE() << name << " was changed";
  }
}

}  // namespace faulttest
