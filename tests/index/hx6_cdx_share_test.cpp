// Index files shared between openers: the index lock at each protocol's
// offset and its wait, the change counter through which an opener sees
// another's changes, two processes appending at once, and a process killed
// while it builds a tag.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "index_test_util.h"
#include "tables/hx6_cnst.h"

using namespace indextest;
using tabletest::ShortLockWait;

namespace {

std::vector<Row> Numbered(int n, const std::string& prefix) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) rows.push_back({prefix + std::to_string((i * 7919) % 1000), double(i), ""});
  return rows;
}

}  // namespace

TEST(CdxShare, TheIndexLockExcludesOtherOpenersUntilReleased) {
  ShortLockWait quick;
  TempDrive drive;
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(Numbered(20, "N")));
  IndexedTable a(name, true, true), b(name, true, true);
  HXobjIndexFile& fa = a.Open("people.cdx");
  HXobjIndexFile& fb = b.Open("people.cdx");
  fa.LockIndex();
  fa.LockIndex();  // counted
  EXPECT_FALSE(fb.TryLockIndex());
  EXPECT_EQ(MessageOf([&] { fb.LockIndex(); }),
            FormatKeldorMessage(hxErrCannotLock, drive.Dos("people.cdx")));
  fa.UnlockIndex();
  EXPECT_FALSE(fb.TryLockIndex());
  fa.UnlockIndex();
  EXPECT_TRUE(fb.TryLockIndex());
  fb.UnlockIndex();
  // Every protocol locks at its own offset; a protocol beyond the four never does.
  for (uint8_t protocol : {1, 2, 3}) {
    fa.SetLockProtocol(protocol);
    fb.SetLockProtocol(protocol);
    fa.LockIndex();
    EXPECT_FALSE(fb.TryLockIndex()) << int(protocol);
    fa.UnlockIndex();
  }
  fa.SetLockProtocol(7);
  EXPECT_FALSE(fa.TryLockIndex());
  // Files opened exclusively take no lock at all.
  a.files.clear();
  b.files.clear();
}

TEST(CdxShare, ChangesOfAnotherOpenerAreSeenThroughTheChangeCounter) {
  TempDrive drive;
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(Numbered(50, "N")));
  IndexedTable a(name, true, true), b(name, true, true);
  HXobjIndexFile& fa = a.Open("people.cdx");
  fa.AddTag("NAME", "NAME", false, true, "");
  HXobjIndexFile& fb = b.Open("people.cdx");
  HXobjIndexTag& tb = *fb.TagByName("NAME");
  EXPECT_EQ(Walk(tb).size(), 50u);
  EXPECT_FALSE(fb.ChangedByOthers());
  // A rewrites a record; B's cached path is stale until it takes the lock.
  a.GetRecord(10);
  a.Set("NAME", "AAAA");
  a.PutRecord(10);
  EXPECT_TRUE(fb.ChangedByOthers());
  fb.LockIndex();
  EXPECT_FALSE(fb.ChangedByOthers());
  EXPECT_EQ(tb.First(), 10);
  fb.UnlockIndex();
  // A adds a tag: B finds it once it locks.
  fa.AddTag("AMOUNT", "AMOUNT", false, true, "");
  EXPECT_EQ(fb.TagByName("AMOUNT"), nullptr);
  fb.LockIndex();
  ASSERT_NE(fb.TagByName("AMOUNT"), nullptr);
  EXPECT_EQ(Walk(*fb.TagByName("AMOUNT")).size(), 50u);
  fb.UnlockIndex();
  // B's own writes do not look like someone else's.
  b.GetRecord(3);
  b.Set("NAME", "ZZZZ");
  b.PutRecord(3);
  EXPECT_FALSE(fb.ChangedByOthers());
  EXPECT_TRUE(fa.ChangedByOthers());
}

// Two processes append to one table and its index at the same time.
TEST(CdxShare, TwoProcessesAppendingKeepTheIndexWhole) {
  TempDrive drive;
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(Numbered(100, "S")));
  {
    IndexedTable t(name);
    HXobjIndexFile& f = t.Open("people.cdx");
    f.AddTag("NAME", "NAME", false, true, "");
    f.AddTag("AMOUNT", "AMOUNT", false, true, "");
  }
  auto appendMany = [&](const std::string& prefix, int seed) {
    IndexedTable t(name, true, true);
    t.Open("people.cdx");
    std::mt19937 rng(seed);
    for (int i = 0; i < 150; ++i) {
      t.BlankRecord();
      t.Set("NAME", prefix + std::to_string(rng() % 100000));
      t.Set("AMOUNT", std::to_string(i));
      t.AppendRecord();
    }
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int status = 0;
    try {
      appendMany("C", 1);
    } catch (...) {
      status = 1;
    }
    _exit(status);
  }
  appendMany("P", 2);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  IndexedTable t(name);
  HXobjIndexFile& f = t.Open("people.cdx");
  EXPECT_EQ(t.RecordCount(), 400);
  EXPECT_EQ(CheckProblems(f), "");
  EXPECT_EQ(Walk(*f.TagByName("NAME")).size(), 400u);
}

// A process killed while it builds a new tag loses that tag, nothing else.
TEST(CdxShare, AKilledBuildLeavesTheOtherTagsIntact) {
  TempDrive drive;
  std::vector<Row> rows;
  for (int i = 0; i < 60000; ++i)
    rows.push_back({"R" + std::to_string((int64_t(i) * 48271) % 60000), double(i), ""});
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(rows));
  {
    IndexedTable t(name);
    t.Open("people.cdx").AddTag("NAME", "NAME", false, true, "");
  }
  const std::string before = ReadHostFile(drive.Host("people.cdx"));
  for (int delayMs : {2, 20, 60}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        IndexedTable t(name);
        t.Open("people.cdx").AddTag("AMOUNT", "AMOUNT", false, true, "");
      } catch (...) {
      }
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    IndexedTable t(name);
    HXobjIndexFile& f = t.Open("people.cdx");
    ASSERT_NE(f.TagByName("NAME"), nullptr);
    EXPECT_EQ(Walk(*f.TagByName("NAME")).size(), 60000u) << delayMs;

    const HxIndexCheckReport report = HxCheckIndexFile(f);
    EXPECT_TRUE(report.Ok()) << report.problems.front();
    t.files.clear();
    ASSERT_TRUE(WriteHostFile(drive.Host("people.cdx"), before));
  }
}
