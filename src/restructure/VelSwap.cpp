#include "restructure/VelSwap.h"

#include <cctype>
#include <sstream>

#include "index/hx6_indx.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "tables/hx6_dbsy.h"

namespace {

constexpr const char* kJournalHead = "VelUpdate table swap";
constexpr const char* kJournalFinished = "VelUpdate table swap finished";

std::string Reason() { return platform::ErrorText(platform::LastError()); }

bool PlainName(const std::string& name) {
  return !name.empty() && name.size() < 256 && name != "." && name != ".." &&
         name.find_first_of("\\/:\r\n>") == std::string::npos;
}

std::string WorkFile(const char* ext) { return std::string(kWorkTable) + ext; }

// Writes `text` to `target` in one step: a temporary file in the same folder,
// flushed, renamed over the target (which flushes the folder).
void WriteDurably(const std::string& folder, const std::string& target, const std::string& text) {
  const std::string temp = platform::GetTempFileName(folder, "jnl");
  if (temp.empty()) throw EVelSwapError("Cannot write the journal " + target + ": " + Reason());
  auto f = platform::File::Open(temp, platform::Access::ReadWrite, platform::Share::Exclusive);
  const bool written =
      f && f->WriteAt(0, text.data(), text.size()) == static_cast<int64_t>(text.size()) && f->Flush();
  const std::string reason = Reason();
  f.reset();
  if (!written || !platform::MoveFileReplace(temp, target)) {
    const std::string why = written ? Reason() : reason;
    platform::DeleteFile(temp);
    throw EVelSwapError("Cannot write the journal " + target + ": " + why);
  }
}

}  // namespace

// ---- journal ----

std::string JournalPath(const std::string& folder) { return folder + "\\" + kJournalName; }

void WriteJournal(const std::string& folder, const TSwapJournal& journal) {
  std::string text = std::string(journal.finished ? kJournalFinished : kJournalHead) + "\n";
  text += "table=" + journal.table + "\n";
  for (const TSwapStep& s : journal.steps)
    text += s.kind == TSwapStep::Replace ? "replace=" + s.from + ">" + s.to + "\n" : "delete=" + s.to + "\n";
  text += "end\n";
  WriteDurably(folder, JournalPath(folder), text);
}

bool ReadJournal(const std::string& folder, TSwapJournal& journal) {
  const std::string path = JournalPath(folder);
  if (!platform::FileExists(path)) return false;
  auto f = platform::File::Open(path, platform::Access::Read, platform::Share::Shared);
  if (!f) throw EVelSwapError("Cannot read the journal " + path + ": " + Reason());
  const int64_t size = f->Size();
  auto bad = [&](const std::string& why) {
    return EVelSwapError("The journal " + path + " is damaged (" + why +
                         "); check the tables it names, then delete it");
  };
  // A journal names one table and at most a handful of files.
  if (size < 0 || size > 65536) throw bad("it is not a journal of this program");
  std::string text(static_cast<size_t>(size), '\0');
  if (f->ReadAt(0, text.data(), text.size()) != size)
    throw EVelSwapError("Cannot read " + path + ": " + Reason());

  journal = TSwapJournal{};
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || (line != kJournalHead && line != kJournalFinished))
    throw bad("it is not a journal of this program");
  journal.finished = line == kJournalFinished;
  if (!std::getline(in, line) || line.rfind("table=", 0) != 0 || !PlainName(line.substr(6)))
    throw bad("no table named");
  journal.table = line.substr(6);
  bool ended = false;
  while (std::getline(in, line)) {
    if (line == "end") {
      ended = true;
      break;
    }
    TSwapStep step;
    if (line.rfind("replace=", 0) == 0) {
      const std::string both = line.substr(8);
      const size_t gt = both.find('>');
      if (gt == std::string::npos) throw bad("a step reads \"" + line + "\"");
      step.from = both.substr(0, gt);
      step.to = both.substr(gt + 1);
      if (!PlainName(step.from)) throw bad("a step reads \"" + line + "\"");
    } else if (line.rfind("delete=", 0) == 0) {
      step.kind = TSwapStep::Delete;
      step.to = line.substr(7);
    } else {
      throw bad("a step reads \"" + line + "\"");
    }
    if (!PlainName(step.to)) throw bad("a step reads \"" + line + "\"");
    journal.steps.push_back(step);
  }
  if (!ended) throw bad("it ends early");
  return true;
}

void RemoveJournal(const std::string& folder) {
  const std::string path = JournalPath(folder);
  if (!platform::FileExists(path)) return;
  // The finished mark reaches the disk with its rename; should the delete
  // that follows not, a finished journal is only dropped by the next run.
  TSwapJournal done;
  ReadJournal(folder, done);
  done.finished = true;
  WriteJournal(folder, done);
  if (!platform::DeleteFile(path)) throw EVelSwapError("Cannot delete the journal " + path + ": " + Reason());
}

std::string TSwapRecovery::Message() const {
  switch (outcome) {
    case RolledBack:
      return "The interrupted restructure of " + table + " was rolled back; the table is as it was.";
    case Completed:
      return "The interrupted restructure of " + table + " was completed.";
    default:
      return "";
  }
}

TSwapRecovery RecoverInterruptedSwap(const std::string& folder) {
  TSwapRecovery r;
  TSwapJournal j;
  if (!ReadJournal(folder, j)) return r;
  auto path = [&](const std::string& name) { return folder + "\\" + name; };
  if (j.finished) {
    if (!platform::DeleteFile(JournalPath(folder)))
      throw EVelSwapError("Cannot delete the journal " + JournalPath(folder) + ": " + Reason());
    return r;
  }
  r.table = j.table;
  // The table file is always replaced first: while its work file is still
  // there, nothing of the table has been touched.
  const bool untouched = !j.steps.empty() && j.steps.front().kind == TSwapStep::Replace &&
                         platform::FileExists(path(j.steps.front().from));
  if (untouched) {
    for (const TSwapStep& s : j.steps)
      if (s.kind == TSwapStep::Replace && platform::FileExists(path(s.from)) &&
          !platform::DeleteFile(path(s.from)))
        throw EVelSwapError("Cannot delete " + path(s.from) + ": " + Reason());
    r.outcome = TSwapRecovery::RolledBack;
  } else {
    for (const TSwapStep& s : j.steps) {
      if (s.kind == TSwapStep::Replace) {
        if (platform::FileExists(path(s.from)) && !platform::MoveFileReplace(path(s.from), path(s.to)))
          throw EVelSwapError("Cannot replace " + path(s.to) + " by " + path(s.from) + ": " + Reason());
      } else if (platform::FileExists(path(s.to)) && !platform::DeleteFile(path(s.to))) {
        throw EVelSwapError("Cannot delete " + path(s.to) + ": " + Reason());
      }
    }
    r.outcome = TSwapRecovery::Completed;
  }
  RemoveJournal(folder);
  return r;
}

TSwapRecovery DiscardInterruptedSwap(const std::string& folder) {
  TSwapRecovery r;
  TSwapJournal j;
  if (!ReadJournal(folder, j)) return r;
  if (!j.finished) {
    r.table = j.table;
    r.outcome = TSwapRecovery::RolledBack;
    for (const TSwapStep& s : j.steps) {
      const std::string work = folder + "\\" + s.from;
      if (s.kind == TSwapStep::Replace && platform::FileExists(work) && !platform::DeleteFile(work))
        throw EVelSwapError("Cannot delete " + work + ": " + Reason());
    }
  }
  RemoveJournal(folder);
  return r;
}

// ---- the swap ----

void FlushFile(const std::string& dosPath) {
  auto f = platform::File::Open(dosPath, platform::Access::Read, platform::Share::Shared);
  if (!f || !f->Flush()) throw EVelSwapError("Cannot write " + dosPath + " to disk: " + Reason());
}

TTableSwap::TTableSwap(std::string folder, std::string table)
    : folder_(std::move(folder)), table_(std::move(table)) {}

std::string TTableSwap::OnDiskName(const std::string& name) const {
  std::vector<platform::FileInfo> entries;
  platform::ListDirectory(folder_, entries);
  std::string found;
  for (const platform::FileInfo& e : entries)
    if (platform::AnsiSameText(e.name, name) && (found.empty() || e.name < found)) found = e.name;
  return found;
}

TSwapJournal TTableSwap::Plan() const {
  TSwapJournal j;
  j.table = table_;
  // Names as the folder spells them; a file the table did not have yet is
  // spelled after its table file (orders.dbf gets orders.fpt, CUSTOMER.DBF
  // CUSTOMER.FPT), so programs that match names exactly find it.
  const std::string dbf = OnDiskName(table_ + ".dbf");
  auto companion = [&](const char* ext) {
    const std::string existing = OnDiskName(table_ + ext);
    if (!existing.empty()) return existing;
    if (dbf.size() < 4) return table_ + ext;
    const bool upper = std::isupper(static_cast<unsigned char>(dbf.back())) != 0;
    return dbf.substr(0, dbf.size() - 4) + (upper ? platform::AnsiUpperCase(ext) : std::string(ext));
  };
  j.steps.push_back({TSwapStep::Replace, WorkFile(".dbf"), dbf.empty() ? table_ + ".dbf" : dbf});
  if (platform::FileExists(Path(WorkFile(".fpt"))))
    j.steps.push_back({TSwapStep::Replace, WorkFile(".fpt"), companion(".fpt")});
  else if (platform::FileExists(Path(table_ + ".fpt")))
    j.steps.push_back({TSwapStep::Delete, "", companion(".fpt")});
  if (platform::FileExists(Path(WorkFile(".cdx"))))
    j.steps.push_back({TSwapStep::Replace, WorkFile(".cdx"), companion(".cdx")});
  return j;
}

TSwapResult TTableSwap::Run(std::string& failure) {
  const TSwapJournal j = Plan();
  for (const TSwapStep& s : j.steps) {
    if (s.kind != TSwapStep::Replace) continue;
    Step();
    FlushFile(Path(s.from));
  }
  Step();
  WriteJournal(folder_, j);
  bool first = true;
  for (const TSwapStep& s : j.steps) {
    Step();
    const bool ok = s.kind == TSwapStep::Replace ? platform::MoveFileReplace(Path(s.from), Path(s.to))
                                                 : platform::DeleteFile(Path(s.to));
    if (!ok) {
      failure = (s.kind == TSwapStep::Replace ? "Cannot replace " + Path(s.to) + " by " + Path(s.from)
                                              : "Cannot delete " + Path(s.to)) +
                ": " + Reason();
      if (!first) return TSwapResult::Incomplete;
      // Nothing of the table was replaced: it stays as it was.
      for (const TSwapStep& w : j.steps)
        if (w.kind == TSwapStep::Replace) platform::DeleteFile(Path(w.from));
      RemoveJournal(folder_);
      return TSwapResult::NotReplaced;
    }
    first = false;
  }
  Step();
  RemoveJournal(folder_);
  return TSwapResult::Done;
}

// ---- index files ----

std::vector<TTagDefinition> ReadTagDefinitions(const std::string& tablePath, const std::string& cdxPath) {
  HXO_dBHandler table(tablePath, true, false);
  table.OpenIndex(cdxPath);
  HXobjIndexFile* f = table.IndexFile(1);
  std::vector<TTagDefinition> tags;
  for (int i = 0; i < f->TagCount(); ++i) {
    const HXobjIndexTag* t = f->Tags(i);
    tags.push_back({t->Name(), t->KeyExpression(), t->HasFor() ? t->ForExpression() : std::string(),
                    t->Unique(), t->Descending()});
  }
  return tags;
}

void RebuildIndexFile(const std::string& tablePath, const std::string& cdxPath,
                      const std::vector<TTagDefinition>& tags) {
  if (platform::FileExists(cdxPath) && !platform::DeleteFile(cdxPath))
    throw EVelSwapError("Cannot delete " + cdxPath + ": " + Reason());
  try {
    HXO_dBHandler table(tablePath, false, true);
    table.OpenIndex(cdxPath);
    HXobjIndexFile* index = table.IndexFile(1);
    for (const TTagDefinition& t : tags)
      index->AddTag(t.name, t.key, t.unique, !t.descending, t.forExpression);
    table.CloseIndexes();
  } catch (...) {
    platform::DeleteFile(cdxPath);
    throw;
  }
}

// ---- one run at a time ----

TRunLock::TRunLock(const std::string& folder) : path_(folder + "\\" + kRunLockName) {
  file_ = platform::File::Open(path_, platform::Access::ReadWrite, platform::Share::Exclusive,
                               platform::Disposition::OpenAlways);
  if (!file_) {
    if (platform::LastError() == platform::ErrorCode::SharingViolation)
      throw EVelSwapError("The data folder " + folder + " is being restructured by another run (" + path_ +
                          " is in use)");
    throw EVelSwapError("Cannot create " + path_ + ": " + Reason());
  }
}

TRunLock::~TRunLock() {
  file_.reset();
  // Another run may hold it by now; then it stays for that run.
  platform::DeleteFile(path_);
}
