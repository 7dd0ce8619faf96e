// The seam for fault injection: a test installs a FileFaults object and the
// file service consults it before and after every call that can change or
// read a file — open, read, write, flush, truncate, delete, move, replace,
// copy and lock. The hook can let the call go on, make it fail with an error
// code, or cut a read or a write short; it hears afterwards whether the call
// succeeded, which is what a test double needs to remember what was flushed
// and to drop the rest when it simulates a crash (tests/faults).
//
// Without a hook the cost is one test of a pointer that is null in every
// program but the tests.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/file.h"

namespace platform {

enum class FileCall : uint8_t { Open, Read, Write, Flush, Truncate, Delete, Move, Replace, Copy, Lock };

// One call as the hook sees it.
struct FileCallInfo {
  FileCall call;
  const std::string& dosPath;    // the file, the source of a move, replace or copy
  const std::string* target;     // move, replace, copy: the destination; else nullptr
  const std::string* hostPath;   // read, write, flush, truncate, lock: the open file's host path
  Access access = Access::Read;  // open
  Disposition disposition = Disposition::OpenExisting;  // open
  uint64_t offset = 0;                                  // read, write, lock: where; truncate: the new size
  size_t count = 0;                                     // read, write, lock: how many bytes
};

// What the hook wants done with a call.
struct FaultAnswer {
  bool fail = false;  // the call fails with `error`, touching nothing
  ErrorCode error = ErrorCode::Io;
  // Read and write: at most this many bytes are transferred. A write cut
  // short then fails with `error` (a disk that fills up mid-write); a read
  // cut short simply answers fewer bytes.
  size_t limit = SIZE_MAX;
};

class FileFaults {
 public:
  virtual ~FileFaults() = default;
  virtual FaultAnswer Before(const FileCallInfo& call) = 0;
  // After the call went to the host: `result` is what it answered (bytes
  // for reads and writes, 1 or 0 for the rest).
  virtual void After(const FileCallInfo& call, int64_t result) {
    (void)call;
    (void)result;
  }
};

namespace detail {
extern std::atomic<FileFaults*> g_fileFaults;
}

// The installed hook, nullptr when none.
inline FileFaults* ActiveFileFaults() { return detail::g_fileFaults.load(std::memory_order_relaxed); }
// Installs `faults` (nullptr removes it). Not owned; the caller keeps it
// alive while installed and installs it while no other thread uses files.
void SetFileFaults(FileFaults* faults);

}  // namespace platform
