// The restructure's swap with a fault at every file call it makes: once the
// next run has settled the journal, the table is either the old one or the
// rebuilt one, file for file and byte for byte, and no work file, journal or
// temporary file is left in the data folder.
#include <gtest/gtest.h>

#include <string>

#include "fault_env.h"
#include "restructure/VelSwap.h"

using namespace faulttest;

namespace {

struct SwapCase {
  FolderImage image;               // the data folder before the swap
  FolderImage oldTable, newTable;  // the table's files either way
};

// T.dbf, T.fpt and T.cdx beside their rebuilt versions; with `dropMemo` the
// rebuilt table has no memo file, so the swap deletes T.fpt.
SwapCase MakeCase(bool dropMemo) {
  SwapCase c;
  c.oldTable = {{"data/T.dbf", "old table " + std::string(700, 'd')},
                {"data/T.fpt", "old memo " + std::string(900, 'f')},
                {"data/T.cdx", "old index " + std::string(1100, 'c')}};
  c.newTable = {{"data/T.dbf", "new table " + std::string(800, 'D')},
                {"data/T.cdx", "new index " + std::string(1200, 'C')}};
  if (!dropMemo) c.newTable["data/T.fpt"] = "new memo " + std::string(1000, 'F');
  c.image = c.oldTable;
  for (const auto& [name, bytes] : c.newTable) c.image["data/NEWTable" + name.substr(name.find('.'))] = bytes;
  c.image["data/OTHER.dbf"] = "another table, never touched";
  return c;
}

void CheckSwap(TempDrive& d, const Outcome& o, const SwapCase& c, bool reportedDone) {
  const std::string folder = d.Dos("data");
  TSwapRecovery recovery;
  try {
    recovery = RecoverInterruptedSwap(folder);
  } catch (const Exception& e) {
    FAIL() << "the next run cannot settle the journal: " << e.what();
  }
  const FolderImage now = ImageOf(d.Root());
  FolderImage table;
  for (const auto& [name, bytes] : now)
    if (name.rfind("data/T.", 0) == 0) table[name] = bytes;
  const bool old = table == c.oldTable, rebuilt = table == c.newTable;
  EXPECT_TRUE(old || rebuilt) << "the table is neither the old one nor the rebuilt one";
  EXPECT_TRUE(o.raised || reportedDone || o.mode == Mode::Crash);
  EXPECT_TRUE(o.raised || o.mode == Mode::Crash || rebuilt) << "a swap that reported success";
  EXPECT_EQ(now.at("data/OTHER.dbf"), c.image.at("data/OTHER.dbf"));
  for (const auto& [name, bytes] : now) {
    // A swap that stopped before its journal leaves the work files to the
    // run's own clean-up; once the journal exists, they are its business.
    EXPECT_FALSE(rebuilt && name.rfind("data/NEWTable", 0) == 0) << name << " was left behind";
    EXPECT_NE(name, "data/" + std::string(kJournalName)) << "the journal was left behind";
    EXPECT_FALSE(o.mode != Mode::Crash && name.size() > 4 && name.substr(name.size() - 4) == ".tmp")
        << name << " was left behind";
  }
}

}  // namespace

TEST(SwapFaults, TheTableIsOldOrRebuiltAfterTheNextRunWhereverTheSwapFails) {
  TempDrive drive;
  for (bool dropMemo : {false, true}) {
    SCOPED_TRACE(dropMemo ? "the rebuilt table drops its memo file" : "memo and index files replaced");
    const SwapCase c = MakeCase(dropMemo);
    bool done = false;
    Operation swap{c.image,
                   [&](TempDrive& d, std::string& message) {
                     TTableSwap s(d.Dos("data"), "T");
                     done = s.Run(message) == TSwapResult::Done;
                     return done;
                   },
                   [&](TempDrive& d, const Outcome& o) { CheckSwap(d, o, c, done); }};
    EXPECT_GT(RunAtEveryFaultPoint(drive, swap), 20);
    if (HasFailure()) return;
  }
}
