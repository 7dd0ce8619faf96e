// Putting a rebuilt table in place of the old one without ever losing it.
//
// The rebuilt table is complete in the work files NEWTable.dbf, NEWTable.fpt
// (when it has memo fields) and NEWTable.cdx (when the old table had an
// index file) before anything of the old table is touched. The swap then
//
//   1. flushes the work files to disk;
//   2. writes the journal VelUpdate.jnl into the data folder (under a
//      temporary name, flushed, then renamed into place) naming the table
//      and each step below;
//   3. replaces T.dbf by NEWTable.dbf, then T.fpt by NEWTable.fpt (or
//      deletes T.fpt when the rebuilt table has no memo fields), then T.cdx
//      by NEWTable.cdx, each as one rename over the old file, so a name
//      always refers to a whole old file or a whole new one;
//   4. marks the journal finished (a rename, so the mark reaches the disk)
//      and deletes it.
//
// A process that dies anywhere in there leaves the journal behind, and the
// next run settles it before it does anything else (RecoverInterruptedSwap):
// while NEWTable.dbf still exists no file of the table was replaced, so the
// work files are dropped and the table stays as it was (rolled back);
// otherwise the remaining steps are done (completed). Either way every table
// is whole afterwards.
//
// Journal (text, one item a line):
//
//   VelUpdate table swap            first line; "... finished" once done
//   table=<name>                    the table, without extension
//   replace=<work file>><file>      a work file replacing a table file
//   delete=<file>                   a table file the rebuilt table drops
//   end                             the journal is complete
//
// Every name is a plain file name in the data folder; a journal that does
// not read exactly so is refused, never acted upon.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/exceptions.h"

namespace platform {
class File;
}

// A swap, journal or run lock that cannot be handled; the message names the
// file and the reason.
class EVelSwapError : public Exception {
 public:
  using Exception::Exception;
};

inline constexpr const char* kWorkTable = "NEWTable";
inline constexpr const char* kJournalName = "VelUpdate.jnl";
inline constexpr const char* kRunLockName = "VelUpdate.lck";

// ---- journal ----

struct TSwapStep {
  enum Kind { Replace, Delete } kind = Replace;
  std::string from;  // work file (Replace)
  std::string to;    // table file
};

struct TSwapJournal {
  std::string table;
  std::vector<TSwapStep> steps;
  bool finished = false;
};

// "<folder>\VelUpdate.jnl".
std::string JournalPath(const std::string& folder);
// Writes the journal durably (temporary file, flush, rename into place).
void WriteJournal(const std::string& folder, const TSwapJournal& journal);
// False when the folder has no journal; raises EVelSwapError for a journal
// that does not read as one.
bool ReadJournal(const std::string& folder, TSwapJournal& journal);
// Marks the journal finished (durably) and deletes it.
void RemoveJournal(const std::string& folder);

// What the next run found of an interrupted swap.
struct TSwapRecovery {
  enum Outcome { None, RolledBack, Completed } outcome = None;
  std::string table;
  // The sentence the run shows ("" for None).
  std::string Message() const;
};

// Settles a journal left by an interrupted run (see above). Raises
// EVelSwapError when a step cannot be done; the journal then stays.
TSwapRecovery RecoverInterruptedSwap(const std::string& folder);

// Drops a journal left by an interrupted run without doing its steps: the
// work files it names are deleted (restoring a backup supersedes the
// interrupted swap). Returns what was dropped (outcome RolledBack) or None.
TSwapRecovery DiscardInterruptedSwap(const std::string& folder);

// ---- the swap ----

// How a swap ended.
enum class TSwapResult {
  Done,
  // T.dbf could not be replaced: nothing of the table was changed and the
  // work files were dropped.
  NotReplaced,
  // A later file could not be replaced: the table is half swapped and the
  // journal stays, so the next run completes it.
  Incomplete
};

class TTableSwap {
 public:
  // `folder` without trailing backslash, `table` without extension.
  TTableSwap(std::string folder, std::string table);

  // Called before each step that changes a file, so a test can stop the
  // process at every one of them.
  std::function<void()> OnStep;

  // Runs steps 1-4 with the work files present in the folder. `failure`
  // receives the reason when the result is not Done.
  TSwapResult Run(std::string& failure);
  // The journal Run writes, from the files present now.
  TSwapJournal Plan() const;

 private:
  void Step() {
    if (OnStep) OnStep();
  }
  std::string Path(const std::string& name) const { return folder_ + "\\" + name; }
  // The folder's spelling of `name` (letter case ignored); "" when absent.
  std::string OnDiskName(const std::string& name) const;

  std::string folder_;
  std::string table_;
};

// Flushes a file's bytes to disk; raises EVelSwapError naming it.
void FlushFile(const std::string& dosPath);

// ---- index files ----

// A tag as it is rebuilt for a new table.
struct TTagDefinition {
  std::string name, key, forExpression;
  bool unique = false, descending = false;
};

// The tags of the index file `cdxPath` of the table `tablePath` in file
// order (both opened shared, read only; the expressions are compiled against
// the table). Raises the engines' errors for a damaged file.
std::vector<TTagDefinition> ReadTagDefinitions(const std::string& tablePath, const std::string& cdxPath);

// Builds `cdxPath` anew for the table `tablePath` (opened exclusively) with
// `tags`. A tag the engine cannot build raises the engine's error; the
// unfinished index file is then deleted.
void RebuildIndexFile(const std::string& tablePath, const std::string& cdxPath,
                      const std::vector<TTagDefinition>& tags);

// ---- one run at a time ----

// Held while a run works on a data folder: the file VelUpdate.lck opened for
// exclusive use, so a second run on the same folder (in this process or
// another) is refused at once. The lock goes with the process, whatever ends it.
class TRunLock {
 public:
  // Raises EVelSwapError when another run holds the folder.
  explicit TRunLock(const std::string& folder);
  ~TRunLock();
  TRunLock(const TRunLock&) = delete;
  TRunLock& operator=(const TRunLock&) = delete;

 private:
  std::string path_;
  std::unique_ptr<platform::File> file_;
};
