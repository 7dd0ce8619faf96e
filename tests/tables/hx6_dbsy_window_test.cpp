// The read-ahead window: sequential walks read whole windows, the records
// they give are the table's, and other writers' changes come through.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "hx6_dbsy_test_util.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_dbsy.h"

using handlertest::Name;
using handlertest::Numbered;
using handlertest::PeopleTable;
using handlertest::Row;

namespace {

// Read system calls of this process so far, -1 when the system does not tell.
// Under Wine the host's counter also counts Wine's own reads, so it says nothing.
int64_t ReadCalls() {
#ifndef _WIN32
  std::ifstream io("/proc/self/io");
  std::string key;
  int64_t value;
  while (io >> key >> value)
    if (key == "syscr:") return value;
#endif
  return -1;
}

std::vector<Row> ManyWithDeleted(int n) {
  auto rows = Numbered(n);
  for (int i = 0; i < n; i += 7) rows[static_cast<size_t>(i)].deleted = true;
  return rows;
}

bool Expected(int64_t recno) { return (recno - 1) % 7 != 0; }  // not deleted

}  // namespace

TEST(HandlerWindow, SizeIsWholeRecordsAndSwitching) {
  TempDrive drive;
  WriteHostFile(drive.Host("p.dbf"), tabletest::Bytes(PeopleTable(Numbered(3))));
  HXO_dBHandler h(drive.Dos("p.dbf"), false, false);
  EXPECT_EQ(h.WindowSize(), 32768u / 29 * 29);
  h.SetBuffering(true);
  EXPECT_TRUE(h.Buffering());
  h.SetBuffering(false);
  EXPECT_FALSE(h.Buffering());
  h.SetReadAheadAllowed(false);
  h.SetBuffering(true);
  EXPECT_FALSE(h.Buffering());

  // A record longer than the window still gets a window of one record.
  tabletest::DbfImage big;
  big.fields = {{"TEXT", 'C', 40000}};
  big.records = {" " + std::string(40000, 'x')};
  WriteHostFile(drive.Host("big.dbf"), tabletest::Bytes(big));
  HXO_dBHandler b(drive.Dos("big.dbf"), false, false);
  EXPECT_EQ(b.WindowSize(), 40001u);
  b.SetBuffering(true);
  b.GetRecord(kGetFirst);
  EXPECT_EQ(b.RecordBuffer()[40000], 'x');
}

TEST(HandlerWindow, WalksBothWaysReadWholeWindowsAndGiveTheRecords) {
  TempDrive drive;
  const int n = 5000;
  WriteHostFile(drive.Host("p.dbf"), tabletest::Bytes(PeopleTable(ManyWithDeleted(n))));
  HXO_dBHandler h(drive.Dos("p.dbf"), true, false);
  h.SetBuffering(true);

  const int64_t before = ReadCalls();
  int64_t visited = 0;
  h.GetRecord(kGetFirst);
  while (h.RecordValid()) {
    ASSERT_TRUE(Expected(h.RecNo()));
    ASSERT_EQ(Name(h), "N" + std::to_string(h.RecNo()));
    ++visited;
    h.GetRecord(kGetNext);
  }
  const int64_t forwardCalls = ReadCalls() - before;
  EXPECT_EQ(visited, n - (n + 6) / 7);

  int64_t expect = n;
  const int64_t before2 = ReadCalls();
  h.GetRecord(kGetLast);
  while (h.RecordValid()) {
    while (!Expected(expect)) --expect;
    ASSERT_EQ(h.RecNo(), expect);
    ASSERT_EQ(Name(h), "N" + std::to_string(expect));
    --expect;
    h.GetRecord(kGetPrevious);
  }
  const int64_t backwardCalls = ReadCalls() - before2;
  if (before >= 0) {
    // 5000 records of 29 bytes are five windows; allow the header reads at the ends.
    EXPECT_LT(forwardCalls, 30);
    EXPECT_LT(backwardCalls, 30);
  }

  // Back and forth across a window edge.
  h.GetRecord(1128);
  for (int i = 0; i < 3; ++i) h.GetRecord(kGetNext);
  EXPECT_EQ(h.RecNo(), 1131);
  for (int i = 0; i < 3; ++i) h.GetRecord(kGetPrevious);
  EXPECT_EQ(h.RecNo(), 1127);  // 1128 is deleted
  EXPECT_EQ(Name(h), "N1127");

  // Without the window every record is a read of its own.
  h.SetBuffering(false);
  const int64_t before3 = ReadCalls();
  h.GetRecord(kGetFirst);
  for (int i = 0; i < 100; ++i) h.GetRecord(kGetNext);
  if (before >= 0) {
    EXPECT_GE(ReadCalls() - before3, 100);
  }
}

TEST(HandlerWindow, OwnWritesAndOtherWritersComeThrough) {
  TempDrive drive;
  WriteHostFile(drive.Host("p.dbf"), tabletest::Bytes(PeopleTable(Numbered(20))));
  HXO_dBHandler a(drive.Dos("p.dbf"), true, true);
  HXO_dBHandler b(drive.Dos("p.dbf"), true, true);
  a.SetBuffering(true);
  a.GetRecord(kGetFirst);  // the window now holds all 20 records

  // A write of our own lands in the window.
  a.GetRecord(3);
  a.PutStringByName("NAME", "MINE");
  a.PutRecord(3);
  a.GetRecord(kGetFirst);
  a.GetRecord(kGetNext);
  a.GetRecord(kGetNext);
  EXPECT_EQ(Name(a), "MINE");

  // Another writer's change: a read by number always sees it, and a walk
  // sees it once the window has aged.
  b.GetRecord(5);
  b.PutStringByName("NAME", "THEIRS");
  b.PutRecord(5);
  a.GetRecord(5);
  EXPECT_EQ(Name(a), "THEIRS");
  b.GetRecord(6);
  b.PutStringByName("NAME", "LATER");
  b.PutRecord(6);
  std::this_thread::sleep_for(std::chrono::milliseconds(kHxWindowMaxAgeMs + 50));
  a.GetRecord(kGetNext);
  EXPECT_EQ(a.RecNo(), 6);
  EXPECT_EQ(Name(a), "LATER");

  // Records appended by another writer follow at the end of a walk.
  a.GetRecord(kGetLast);
  a.GetRecord(kGetNext);
  EXPECT_TRUE(a.Eof());
  for (int i = 0; i < 2; ++i) {
    b.BlankRecord();
    b.PutStringByName("NAME", "APP" + std::to_string(i));
    b.AppendRecord();
  }
  a.GetRecord(kGetLast);
  EXPECT_EQ(a.RecNo(), 22);
  EXPECT_EQ(Name(a), "APP1");
  a.GetRecord(20);
  a.GetRecord(kGetNext);
  EXPECT_EQ(Name(a), "APP0");
  a.GetRecord(kGetNext);
  EXPECT_EQ(Name(a), "APP1");
  a.GetRecord(kGetNext);
  EXPECT_TRUE(a.Eof());
}
