// Index files shared between openers: the index lock at each protocol's
// offset and its wait, the change counter through which an opener sees
// another's changes, a reader whose cached nodes never outlive another
// process's write, two processes appending at once, and a process killed
// while it builds a tag.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <sstream>
#include <thread>

#include "index_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbsy.h"

using namespace indextest;
using tabletest::ShortLockWait;

namespace {

std::vector<Row> Numbered(int n, const std::string& prefix) {
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) rows.push_back({prefix + std::to_string((i * 7919) % 1000), double(i), ""});
  return rows;
}

// Messages between two processes: a length, then the text.
bool Send(int fd, const std::string& text) {
  const uint32_t n = static_cast<uint32_t>(text.size());
  return ::write(fd, &n, 4) == 4 && ::write(fd, text.data(), n) == static_cast<ssize_t>(n);
}

std::string Receive(int fd) {
  uint32_t n = 0;
  if (::read(fd, &n, 4) != 4 || n > 4096) return "(gone)";
  std::string text(n, '\0');
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, text.data() + got, n - got);
    if (r <= 0) return "(gone)";
    got += static_cast<size_t>(r);
  }
  return text;
}

// Closes our ends of the pipes and waits for the other process, also when
// a failed assertion leaves the test early.
struct ChildReaper {
  pid_t pid;
  int out, in;
  // The exit status (-1 when it did not end normally).
  int Wait() {
    if (out >= 0) ::close(out);
    if (in >= 0) ::close(in);
    out = in = -1;
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~ChildReaper() { Wait(); }
};

// The reader's side: answers "ok" or what it found instead.
std::string ReaderAnswer(HXO_dBHandler& h, const std::string& message, int64_t records) {
  std::istringstream in(message);
  std::string what, oldName, newName;
  int64_t recno = 0;
  in >> what >> recno >> oldName >> newName;
  if (what == "before") {
    // The record under its present key: the path to it is now cached.
    if (!h.SeekKey(oldName) || h.RecNo() != recno) return "did not find " + oldName;
    return "ok";
  }
  if (h.SeekKey(oldName)) return "still found " + oldName + " at record " + std::to_string(h.RecNo());
  if (!h.SeekKey(newName) || h.RecNo() != recno) return "did not find " + newName;
  if (what == "walk") {
    std::string previous;
    int64_t n = 0;
    bool seen = false;
    for (h.GetRecord(kGetFirst); h.RecordValid(); h.GetRecord(kGetNext), ++n) {
      const std::string name = h.FieldText(1);
      if (name < previous) return "walk out of order at " + name;
      seen = seen || name == newName;
      previous = name;
    }
    if (n != records || !seen) return "walk saw " + std::to_string(n) + " records";
  }
  return "ok";
}

}  // namespace

// One process seeks and walks through the table handler while another
// rewrites records: after each rewrite the reader finds the record under its
// new key and never under its old one, however much of the tree it held in
// its node cache from before the write.
TEST(CdxShare, AReaderNeverServesNodesOlderThanAnotherProcesssWrite) {
  ::signal(SIGPIPE, SIG_IGN);  // a reader gone early fails the round, not the run
  TempDrive drive;
  constexpr int kRecords = 3000;
  std::vector<Row> rows;
  for (int i = 0; i < kRecords; ++i)
    rows.push_back({"N" + std::to_string(100000 + (i * 7919) % kRecords), 0, ""});
  // Wide enough for every new name whole.
  const std::string name = WriteTable(drive, "people.dbf", PeopleTable(rows, 16));
  {
    IndexedTable t(name);
    t.Open("people.cdx").AddTag("NAME", "NAME", false, true, "");
  }
  int toReader[2], toWriter[2];
  ASSERT_EQ(::pipe(toReader), 0);
  ASSERT_EQ(::pipe(toWriter), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(toReader[1]);
    ::close(toWriter[0]);
    int status = 0;
    try {
      HXO_dBHandler h(name, true, false);
      h.OpenIndex("people.cdx");
      h.SelectTag("NAME", false);
      h.SetExactCompare(true);
      for (std::string m = Receive(toReader[0]); m != "quit" && m != "(gone)"; m = Receive(toReader[0]))
        if (!Send(toWriter[1], ReaderAnswer(h, m, kRecords))) break;
    } catch (const std::exception& e) {
      Send(toWriter[1], e.what());
      status = 1;
    }
    _exit(status);
  }
  ::close(toReader[0]);
  ::close(toWriter[1]);
  // A failed round ends the reader too: it sees its pipe close.
  ChildReaper reaper{child, toReader[1], toWriter[0]};
  {
    HXO_dBHandler h(name, true, true);
    h.OpenIndex("people.cdx");
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
      const int64_t recno = 1 + rng() % kRecords;
      h.GetRecord(recno);
      const std::string oldName = h.FieldText(1);
      // New names land all over the tree (and split leaves on the way).
      const std::string newName =
          "N" + std::to_string(100000 + rng() % kRecords) + "X" + std::to_string(round);
      ASSERT_TRUE(Send(toReader[1], "before " + std::to_string(recno) + " " + oldName));
      ASSERT_EQ(Receive(toWriter[0]), "ok") << "round " << round;
      h.GetRecord(recno);
      h.PutStringByName("NAME", newName);
      h.PutRecord(recno);
      const std::string check = round % 10 == 9 ? "walk " : "after ";
      ASSERT_TRUE(Send(toReader[1], check + std::to_string(recno) + " " + oldName + " " + newName));
      ASSERT_EQ(Receive(toWriter[0]), "ok") << "round " << round;
    }
  }
  Send(toReader[1], "quit");
  EXPECT_EQ(reaper.Wait(), 0);
  IndexedTable t(name);
  EXPECT_EQ(CheckProblems(t.Open("people.cdx")), "");
}

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
