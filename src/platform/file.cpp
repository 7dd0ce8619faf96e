// The file calls both hosts share: each consults the fault-injection hook
// (faults.h) when one is installed, then goes to the host's side.
#include "platform/file.h"

#include <algorithm>

#include "platform/error.h"
#include "platform/faults.h"
#include "platform/internal.h"

namespace platform {

namespace detail {
std::atomic<FileFaults*> g_fileFaults{nullptr};
}

void SetFileFaults(FileFaults* faults) { detail::g_fileFaults.store(faults, std::memory_order_relaxed); }

namespace {

// Asks the hook about a call; false (the last error set) when it must fail.
bool Allowed(FileFaults& faults, const FileCallInfo& call, FaultAnswer& answer) {
  answer = faults.Before(call);
  if (!answer.fail) return true;
  SetLastError(answer.error);
  return false;
}

// A call without a byte count: fails as the hook says, or runs and is reported.
template <typename Fn>
bool Plain(const FileCallInfo& call, Fn&& host) {
  FileFaults* faults = ActiveFileFaults();
  if (!faults) [[likely]]
    return host();
  FaultAnswer answer;
  if (!Allowed(*faults, call, answer)) return false;
  const bool ok = host();
  const ErrorCode error = LastError();
  faults->After(call, ok ? 1 : 0);
  SetLastError(error);
  return ok;
}

}  // namespace

std::unique_ptr<File> File::Open(const std::string& dosPath, Access access, Share share,
                                 Disposition disposition) {
  FileFaults* faults = ActiveFileFaults();
  if (!faults) [[likely]]
    return HostOpen(dosPath, access, share, disposition);
  FileCallInfo call{FileCall::Open, dosPath, nullptr, nullptr, access, disposition};
  FaultAnswer answer;
  if (!Allowed(*faults, call, answer)) return nullptr;
  std::unique_ptr<File> file = HostOpen(dosPath, access, share, disposition);
  const ErrorCode error = LastError();
  faults->After(call, file ? 1 : 0);
  SetLastError(error);
  return file;
}

int64_t File::ReadAt(uint64_t offset, void* buffer, size_t count) {
  FileFaults* faults = ActiveFileFaults();
  if (!faults) [[likely]]
    return HostReadAt(offset, buffer, count);
  FileCallInfo call{FileCall::Read, dosPath_, nullptr, &hostPath_};
  call.offset = offset;
  call.count = count;
  FaultAnswer answer;
  if (!Allowed(*faults, call, answer)) return -1;
  const int64_t n = HostReadAt(offset, buffer, std::min(count, answer.limit));
  const ErrorCode error = LastError();
  faults->After(call, n);
  SetLastError(error);
  return n;
}

int64_t File::WriteAt(uint64_t offset, const void* buffer, size_t count) {
  FileFaults* faults = ActiveFileFaults();
  if (!faults) [[likely]]
    return HostWriteAt(offset, buffer, count);
  FileCallInfo call{FileCall::Write, dosPath_, nullptr, &hostPath_};
  call.offset = offset;
  call.count = count;
  FaultAnswer answer;
  if (!Allowed(*faults, call, answer)) return -1;
  const size_t allowed = std::min(count, answer.limit);
  int64_t n = allowed > 0 ? HostWriteAt(offset, buffer, allowed) : 0;
  ErrorCode error = LastError();
  if (allowed < count && n >= 0) {
    error = answer.error;  // the disk filled up part way
    if (n == 0) n = -1;
  }
  faults->After(call, n);
  SetLastError(error);
  return n;
}

bool File::Flush() {
  FileCallInfo call{FileCall::Flush, dosPath_, nullptr, &hostPath_};
  return Plain(call, [this] { return HostFlush(); });
}

bool File::Truncate(uint64_t size) {
  FileCallInfo call{FileCall::Truncate, dosPath_, nullptr, &hostPath_};
  call.offset = size;
  return Plain(call, [&] { return HostTruncate(size); });
}

bool File::LockRange(uint64_t offset, uint64_t length) {
  FileCallInfo call{FileCall::Lock, dosPath_, nullptr, &hostPath_};
  call.offset = offset;
  call.count = static_cast<size_t>(length);
  return Plain(call, [&] { return HostLockRange(offset, length); });
}

bool DeleteFile(const std::string& dosPath) {
  FileCallInfo call{FileCall::Delete, dosPath, nullptr, nullptr};
  return Plain(call, [&] { return detail::HostDeleteFile(dosPath); });
}

bool MoveFile(const std::string& from, const std::string& to) {
  FileCallInfo call{FileCall::Move, from, &to, nullptr};
  return Plain(call, [&] { return detail::HostMoveFile(from, to); });
}

bool MoveFileReplace(const std::string& from, const std::string& to) {
  FileCallInfo call{FileCall::Replace, from, &to, nullptr};
  return Plain(call, [&] { return detail::HostMoveFileReplace(from, to); });
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
  FileCallInfo call{FileCall::Copy, from, &to, nullptr};
  return Plain(call, [&] { return detail::HostCopyFile(from, to, failIfExists); });
}

}  // namespace platform
