#include "archive/zarvoParallel.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "platform/error.h"
#include "platform/file.h"

int DefaultWorkerCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

uint64_t TDeflatePlan::PendingConsumed() const {
  uint64_t sum = 0;
  for (const auto& p : pieces) sum += p->consumed.load(std::memory_order_relaxed);
  return sum;
}

namespace {

// Input is handed to zlib in slices of this size: the worker publishes its
// progress and looks at the stop flags between them.
constexpr size_t kSlice = 65536;

// zlib's allocations are zero-filled, as for the run's own writer.
voidpf ZeroAlloc(voidpf, uInt items, uInt size) { return std::calloc(items, size); }
void ZeroFree(voidpf, voidpf address) { std::free(address); }

}  // namespace

// A worker's own buffers: the input of its current piece (dictionary first)
// and one zlib stream per level, reset for every piece.
struct TDeflatePipeline::TWorkerState {
  std::vector<uint8_t> in;
  std::map<int, std::unique_ptr<z_stream>> streams;

  ~TWorkerState() {
    for (auto& [level, z] : streams) deflateEnd(z.get());
  }

  z_stream* Stream(int level) {
    auto it = streams.find(level);
    if (it != streams.end()) return it->second.get();
    auto z = std::make_unique<z_stream>();
    z->zalloc = ZeroAlloc;
    z->zfree = ZeroFree;
    z->opaque = Z_NULL;
    if (deflateInit2(z.get(), level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return nullptr;
    return streams.emplace(level, std::move(z)).first->second.get();
  }
};

TDeflatePipeline::TDeflatePipeline(int workers, size_t blockSize, int entryCount, TDescribe describe)
    : blockSize_(std::max<size_t>(blockSize, kDictionarySize)),
      entryCount_(entryCount),
      describe_(std::move(describe)),
      // Work ahead for four blocks per worker keeps them busy while the run
      // writes (or is held up by a slow event handler); the bytes bound the
      // memory the pieces hold, the count the files held open ahead.
      maxPieces_(8 * std::max(workers, 1)),
      maxBytes_(4 * static_cast<uint64_t>(std::max(workers, 1)) * blockSize_) {
  const int n = std::max(workers, 1);
  threads_.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) threads_.emplace_back([this] { WorkerMain(); });
}

TDeflatePipeline::~TDeflatePipeline() {
  Abort();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (auto& t : threads_) t.join();
}

// ---- the run's side ----

bool TDeflatePipeline::HaveBudget() const {
  // One piece always goes, however large.
  return heldPieces_ == 0 || (heldPieces_ < maxPieces_ && heldBytes_ < maxBytes_);
}

void TDeflatePipeline::Fill() {
  if (aborted_.load()) return;
  // Opening sources ahead must not disturb the run's last error.
  const platform::ErrorCode saved = platform::LastError();
  while (HaveBudget()) {
    if (!cutting_) {
      while (nextEntry_ < entryCount_ && !cutting_) {
        const int index = nextEntry_++;
        TWork work;
        if (!describe_(index, work)) continue;
        // A source that is gone now is left to the run, which reports it
        // in its turn.
        platform::FileInfo info;
        if (!platform::GetFileInfo(work.path, info) || (info.attributes & platform::kAttrDirectory) ||
            info.size == 0)
          continue;
        auto plan = std::make_shared<TDeflatePlan>();
        plan->index = index;
        plan->path = work.path;
        plan->size = info.size;
        plan->modified = info.modified;
        plan->level = work.level;
        plans_[index] = plan;
        cutting_ = plan;
      }
      if (!cutting_) break;
    }
    CutPiece(*cutting_);
    if (cutting_->cut >= cutting_->size) cutting_.reset();
  }
  platform::SetLastError(saved);
}

bool TDeflatePipeline::CutPiece(TDeflatePlan& plan) {
  if (plan.cut >= plan.size) return false;
  auto piece = std::make_shared<TDeflatePiece>();
  piece->path = plan.path;
  piece->fileSize = plan.size;
  piece->modified = plan.modified;
  piece->dropped = plan.dropped;
  piece->offset = plan.cut;
  // A file of at most one block is one piece: deflated whole.
  piece->length = std::min<uint64_t>(blockSize_, plan.size - plan.cut);
  piece->dictionary = static_cast<uint32_t>(std::min<uint64_t>(kDictionarySize, plan.cut));
  piece->level = plan.level;
  piece->last = plan.cut + piece->length == plan.size;
  plan.cut += piece->length;
  plan.pieces.push_back(piece);
  ++plan.heldPieces;
  plan.heldBytes += piece->length;
  ++heldPieces_;
  heldBytes_ += piece->length;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(piece));
  }
  work_.notify_one();
  return true;
}

std::shared_ptr<TDeflatePlan> TDeflatePipeline::Take(int index, uint64_t size, int64_t modified, int level) {
  Fill();
  nextEntry_ = std::max(nextEntry_, index + 1);
  auto it = plans_.find(index);
  if (it == plans_.end()) return nullptr;
  std::shared_ptr<TDeflatePlan> plan = it->second;
  plans_.erase(it);
  if (plan->size != size || plan->modified != modified || plan->level != level) {
    Drop(*plan);
    return nullptr;
  }
  return plan;
}

std::shared_ptr<TDeflatePiece> TDeflatePipeline::NextPiece(TDeflatePlan& plan) {
  if (plan.pieces.empty()) {
    if (plan.cut >= plan.size || aborted_.load()) return nullptr;
    // The planner cuts files in entry order, so the plan being cut is this
    // one; its budget has come back with the pieces already released.
    Fill();
    if (plan.pieces.empty()) CutPiece(plan);
    if (cutting_.get() == &plan && plan.cut >= plan.size) cutting_.reset();
  }
  std::shared_ptr<TDeflatePiece> piece = std::move(plan.pieces.front());
  plan.pieces.pop_front();
  return piece;
}

bool TDeflatePipeline::Wait(const TDeflatePiece& piece, const std::function<bool()>& idle) {
  auto finished = [&piece] { return piece.state.load() >= TDeflatePiece::kDone; };
  std::unique_lock<std::mutex> lock(mutex_);
  while (!done_.wait_for(lock, std::chrono::milliseconds(kTickMs), finished)) {
    lock.unlock();
    const bool go = idle();
    lock.lock();
    if (!go) return false;
  }
  return true;
}

void TDeflatePipeline::Unhold(TDeflatePlan& plan, uint64_t bytes) {
  --plan.heldPieces;
  plan.heldBytes -= bytes;
  --heldPieces_;
  heldBytes_ -= bytes;
}

void TDeflatePipeline::Release(TDeflatePlan& plan, const TDeflatePiece& piece) {
  if (plan.heldPieces <= 0) return;
  Unhold(plan, piece.length);
  Fill();
}

void TDeflatePipeline::Drop(int index) {
  nextEntry_ = std::max(nextEntry_, index + 1);
  auto it = plans_.find(index);
  if (it == plans_.end()) return;
  std::shared_ptr<TDeflatePlan> plan = it->second;
  Drop(*plan);
}

void TDeflatePipeline::Drop(TDeflatePlan& plan) {
  plan.dropped->store(true);
  {
    // Pieces still queued are taken out; running ones stop at their next slice.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
      if ((*it)->dropped == plan.dropped) {
        (*it)->state.store(TDeflatePiece::kStopped);
        it = queue_.erase(it);
      } else {
        ++it;
      }
    }
  }
  done_.notify_all();
  heldPieces_ -= plan.heldPieces;
  heldBytes_ -= plan.heldBytes;
  plan.heldPieces = 0;
  plan.heldBytes = 0;
  plan.pieces.clear();
  if (cutting_.get() == &plan) cutting_.reset();
  auto it = plans_.find(plan.index);
  if (it != plans_.end() && it->second.get() == &plan) plans_.erase(it);
}

void TDeflatePipeline::Abort() {
  aborted_.store(true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& piece : queue_) piece->state.store(TDeflatePiece::kStopped);
    queue_.clear();
  }
  done_.notify_all();
  plans_.clear();
  cutting_.reset();
}

// ---- the workers ----

void TDeflatePipeline::WorkerMain() {
  TWorkerState ws;
  for (;;) {
    std::shared_ptr<TDeflatePiece> piece;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      piece = std::move(queue_.front());
      queue_.pop_front();
      piece->state.store(TDeflatePiece::kRunning);
    }
    RunPiece(*piece, ws);
  }
}

void TDeflatePipeline::Finish(TDeflatePiece& piece, int state) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    piece.state.store(state);
  }
  done_.notify_all();
}

void TDeflatePipeline::RunPiece(TDeflatePiece& piece, TWorkerState& ws) {
  auto stopped = [&] {
    return aborted_.load(std::memory_order_relaxed) || piece.dropped->load(std::memory_order_relaxed);
  };
  if (stopped()) return Finish(piece, TDeflatePiece::kStopped);

  const size_t want = piece.dictionary + static_cast<size_t>(piece.length);
  if (ws.in.size() < want) ws.in.resize(want);
  {
    // The file is open for this read only. Its size and time, taken after
    // the read, tell whether the bytes are those of the file the plan found.
    auto file = platform::File::Open(piece.path, platform::Access::Read, platform::Share::Shared);
    int64_t modified = 0;
    if (!file ||
        file->ReadAt(piece.offset - piece.dictionary, ws.in.data(), want) != static_cast<int64_t>(want) ||
        file->Size() != static_cast<int64_t>(piece.fileSize) || !file->GetModifiedTime(modified) ||
        modified != piece.modified) {
      piece.shortRead = true;
      return Finish(piece, TDeflatePiece::kFailed);
    }
  }

  z_stream* z = ws.Stream(piece.level);
  if (!z || deflateReset(z) != Z_OK ||
      (piece.dictionary > 0 && deflateSetDictionary(z, ws.in.data(), piece.dictionary) != Z_OK)) {
    piece.error = "Out of memory while initialising the compressor";
    return Finish(piece, TDeflatePiece::kFailed);
  }

  const uint8_t* data = ws.in.data() + piece.dictionary;
  const size_t length = static_cast<size_t>(piece.length);
  piece.out.resize(deflateBound(z, static_cast<uLong>(length)) + 64);
  z->next_out = piece.out.data();
  z->avail_out = static_cast<uInt>(piece.out.size());
  auto grow = [&] {
    const size_t produced = static_cast<size_t>(z->next_out - piece.out.data());
    piece.out.resize(piece.out.size() * 2 + 1024);
    z->next_out = piece.out.data() + produced;
    z->avail_out = static_cast<uInt>(piece.out.size() - produced);
  };
  auto failed = [&] {
    piece.error = "Compression failed";
    Finish(piece, TDeflatePiece::kFailed);
  };

  uLong crc = crc32(0, Z_NULL, 0);
  for (size_t pos = 0; pos < length;) {
    const size_t n = std::min(kSlice, length - pos);
    crc = crc32(crc, data + pos, static_cast<uInt>(n));
    z->next_in = const_cast<Bytef*>(data + pos);
    z->avail_in = static_cast<uInt>(n);
    while (z->avail_in > 0) {
      if (z->avail_out == 0) grow();
      const int rc = deflate(z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) return failed();
    }
    pos += n;
    piece.consumed.store(pos, std::memory_order_relaxed);
    if (stopped()) return Finish(piece, TDeflatePiece::kStopped);
  }
  // A sync flush ends the piece on a byte boundary with an empty stored
  // block, so the next piece's output follows it directly.
  const int flush = piece.last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    if (z->avail_out == 0) grow();
    const int rc = deflate(z, flush);
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK && rc != Z_BUF_ERROR) return failed();
    // Room left over: a sync flush is complete; the stream end that made no
    // progress never will.
    if (z->avail_out > 0 && !piece.last) break;
    if (z->avail_out > 0 && rc == Z_BUF_ERROR) return failed();
  }
  z->next_in = Z_NULL;
  z->avail_in = 0;
  piece.out.resize(static_cast<size_t>(z->next_out - piece.out.data()));
  piece.crc = static_cast<uint32_t>(crc);
  Finish(piece, TDeflatePiece::kDone);
}
