// Parallel deflate for the compress run.
//
// A file's data is cut into blocks. Each block is deflated on a worker thread
// with the 32 KiB of source before it as preset dictionary and ended with a
// sync flush (the file's last block with the stream end instead), so the
// pieces written one after the other form one deflate stream that every
// inflater reads as usual. Each piece carries the CRC-32 of its bytes; the
// run joins them with crc32_combine. A file of at most one block is deflated
// whole, exactly as the run's own writer deflates it, and several such files
// are in the works at once.
//
// The run's thread stays the only one that touches the output, the entry list
// and the events. The pipeline works ahead over the entries still to come
// (Fill: it notes their sizes and times and cuts pieces), within a budget of pieces
// and bytes, so memory stays bounded by workers x block size whatever the
// size of the input. The run takes an entry's plan when its turn comes (after
// OnBegin, once it has opened the source itself), waits for the pieces in
// order while it serves the message queue and raises progress, and writes
// them. Work done ahead for an entry the run then skips, or whose file
// changed meanwhile, is dropped; the run deflates such a file on its own.
//
// Threads: workers read the source and deflate into the piece's own buffer.
// A worker opens the file for its piece alone and closes it before it
// deflates: a file the run has not reached is not held open (on Windows an
// open handle would keep other programs from deleting or replacing it), and
// a piece read from a file whose size or time is no longer the plan's fails,
// so no entry mixes two versions of a file. Workers never see the entry list, the
// output or the component. A piece is handed back through its state (under
// the pipeline's lock); the run reads its buffer only once it is done.
// Abort stops every worker within one slice of input (64 KiB), and the
// destructor joins them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Workers of a run that leaves the number open: one per core (at least one).
int DefaultWorkerCount();

// One block of a file's data, deflated on a worker.
struct TDeflatePiece {
  enum State { kQueued, kRunning, kDone, kFailed, kStopped };

  // Set when the piece is cut; read-only afterwards.
  std::string path;  // the source, with the size and time the plan found
  uint64_t fileSize = 0;
  int64_t modified = 0;
  std::shared_ptr<std::atomic<bool>> dropped;  // the plan's flag
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t dictionary = 0;  // source bytes before `offset` used as preset dictionary
  int level = 6;
  bool last = true;  // ends the stream (Z_FINISH); otherwise a sync flush

  // The worker's results, valid once State is kDone (or kFailed).
  std::atomic<uint64_t> consumed{0};  // input bytes deflated so far
  std::atomic<int> state{kQueued};
  std::vector<uint8_t> out;
  uint32_t crc = 0;        // finished CRC-32 of the piece's bytes
  bool shortRead = false;  // the source vanished, changed or came up short
  std::string error;       // zlib refused (lack of memory)
};

// The deflate work of one entry: its source as the pipeline found it and
// the pieces cut from it that the run has not taken yet.
struct TDeflatePlan {
  int index = -1;
  std::string path;
  uint64_t size = 0;
  int64_t modified = 0;
  int level = 6;
  uint64_t cut = 0;  // source bytes handed out as pieces so far
  std::deque<std::shared_ptr<TDeflatePiece>> pieces;
  std::shared_ptr<std::atomic<bool>> dropped = std::make_shared<std::atomic<bool>>(false);
  // Pieces cut and not yet released, with their bytes (the budget they hold).
  int heldPieces = 0;
  uint64_t heldBytes = 0;
  // Input bytes deflated of the pieces cut and not yet taken.
  uint64_t PendingConsumed() const;
};

class TDeflatePipeline {
 public:
  static constexpr size_t kDictionarySize = 32768;
  static constexpr size_t kDefaultBlockSize = 256 * 1024;

  // What the planner needs to know of an entry it may work on.
  struct TWork {
    std::string path;  // DOS path of the source
    int level = 6;     // zlib level
  };
  // False when entry `index` is not for the pipeline (not deflated, a folder, empty).
  using TDescribe = std::function<bool(int index, TWork& work)>;

  TDeflatePipeline(int workers, size_t blockSize, int entryCount, TDescribe describe);
  ~TDeflatePipeline();
  TDeflatePipeline(const TDeflatePipeline&) = delete;
  TDeflatePipeline& operator=(const TDeflatePipeline&) = delete;

  int Workers() const { return static_cast<int>(threads_.size()); }
  size_t BlockSize() const { return blockSize_; }
  // Source bytes of the pieces cut and not yet released, and the budget the
  // planner keeps them under (it may pass it by the one piece it cuts last,
  // and the run by the one piece it must have to go on).
  uint64_t HeldBytes() const { return heldBytes_; }
  uint64_t ByteBudget() const { return maxBytes_; }

  // Plans and queues work ahead while the budget allows.
  void Fill();
  // The plan of entry `index` when it was made from the same file the run
  // has opened (same size and modification time, same level); null
  // otherwise, and whatever was done ahead for the entry is dropped.
  std::shared_ptr<TDeflatePlan> Take(int index, uint64_t size, int64_t modified, int level);
  // The plan's next piece in source order, cut now when it was not yet;
  // null once every piece has been handed out.
  std::shared_ptr<TDeflatePiece> NextPiece(TDeflatePlan& plan);
  // Waits until the piece is finished. `idle` is called about every `tick`
  // while waiting; when it returns false the wait ends with false.
  bool Wait(const TDeflatePiece& piece, const std::function<bool()>& idle);
  // The run is done with a piece of a taken plan: its budget goes back.
  void Release(TDeflatePlan& plan, const TDeflatePiece& piece);
  // Forgets entry `index`: its plan (taken or not) stops and its budget goes
  // back; the planner never comes back to it or to an entry before it.
  void Drop(int index);
  void Drop(TDeflatePlan& plan);
  // Stops all work now; nothing is planned afterwards.
  void Abort();
  bool Aborted() const { return aborted_.load(); }

  // How often Wait calls `idle`.
  static constexpr int kTickMs = 20;

 private:
  struct TWorkerState;
  void WorkerMain();
  void RunPiece(TDeflatePiece& piece, TWorkerState& ws);
  void Finish(TDeflatePiece& piece, int state);
  bool CutPiece(TDeflatePlan& plan);
  bool HaveBudget() const;
  void Unhold(TDeflatePlan& plan, uint64_t bytes);

  const size_t blockSize_;
  const int entryCount_;
  TDescribe describe_;
  const int maxPieces_;
  const uint64_t maxBytes_;

  // Planner state (the run's thread only).
  int nextEntry_ = 0;                                   // next entry the planner looks at
  std::shared_ptr<TDeflatePlan> cutting_;               // the plan whose pieces are being cut
  std::map<int, std::shared_ptr<TDeflatePlan>> plans_;  // planned, not yet taken
  int heldPieces_ = 0;
  uint64_t heldBytes_ = 0;

  // Shared with the workers.
  std::mutex mutex_;
  std::condition_variable work_;  // a piece was queued, or stop
  std::condition_variable done_;  // a piece finished
  std::deque<std::shared_ptr<TDeflatePiece>> queue_;
  bool stop_ = false;
  std::atomic<bool> aborted_{false};
  std::vector<std::thread> threads_;
};
