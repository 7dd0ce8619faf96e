// Table writes, memo writes and index maintenance run with a fault at every
// file call they make: each either completes or fails with its message, and
// the table afterwards still opens, every record it had before (but the one
// being written) is byte for byte as it was, and every memo it had before
// still reads back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fault_env.h"
#include "index/hx6_indx.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_dbsy.h"
#include "tables/hx6_dbsy_test_util.h"
#include "tables/table_test_util.h"

using namespace faulttest;

namespace {

// NAME C 10, NOTE M 10 (FoxPro), five records, each with a memo but the fourth.
FolderImage MemoTable(TempDrive& drive) {
  tabletest::DbfImage img;
  img.version = 0xF5;
  img.fields = {{"NAME", 'C', 10}, {"NOTE", 'M', 10}};
  for (int i = 1; i <= 5; ++i) img.records.push_back(" N" + std::to_string(i) + std::string(8 + 10, ' '));
  std::string fpt(512, '\0');
  fpt[3] = 8;   // next free block 8 (of 64 bytes: the header takes 512)
  fpt[7] = 64;  // block size
  LayDown(drive.Root(), {{"T.DBF", tabletest::Bytes(img)}, {"T.FPT", fpt}});
  {
    HXO_dBaseFld t(drive.Dos("T.DBF"), false, true);
    for (int r = 1; r <= 5; ++r) {
      if (r == 4) continue;
      t.GetRecord(r);
      const std::string text = "memo of record " + std::to_string(r) + std::string(r * 40, 'm');
      t.WriteMemo(2, text.data(), text.size());
      t.PutRecord(r);
    }
  }
  return ImageOf(drive.Root());
}

// The records of a table image as the file holds them (its size decides).
std::vector<std::string> RecordsOf(const std::string& dbf) {
  const size_t header = static_cast<uint8_t>(dbf[8]) | static_cast<uint8_t>(dbf[9]) << 8;
  const size_t length = static_cast<uint8_t>(dbf[10]) | static_cast<uint8_t>(dbf[11]) << 8;
  std::vector<std::string> out;
  for (size_t at = header; at + length <= dbf.size(); at += length) out.push_back(dbf.substr(at, length));
  return out;
}

// NAME and memo text of every record, read through the engine with no fault
// armed; an engine error for a record is kept as its text.
std::vector<std::string> Rows(TempDrive& drive) {
  std::vector<std::string> rows;
  HXO_dBaseFld t(drive.Dos("T.DBF"), false, false);
  for (int64_t r = 1; r <= t.RecordCount(); ++r) {
    try {
      t.GetRecord(r);
      std::string name;
      t.GetString(1, name);
      rows.push_back(name + "|" + t.ReadMemoText(2));
    } catch (const Exception& e) {
      rows.push_back(std::string("error: ") + e.what());
    }
  }
  return rows;
}

// What a table write may have done to record `target` (0: none) when it failed:
// the records before it are kept whole, and every row but the target reads
// as before; `done` are the rows a completed run leaves.
void CheckTable(TempDrive& drive, const Outcome& o, int target, const std::vector<std::string>& before,
                const std::vector<std::string>& done) {
  const FolderImage now = ImageOf(drive.Root());
  ASSERT_TRUE(now.count("T.DBF")) << "the table is gone";
  const std::vector<std::string> oldRecords = RecordsOf(o.before.at("T.DBF"));
  const std::vector<std::string> newRecords = RecordsOf(now.at("T.DBF"));
  ASSERT_GE(newRecords.size(), oldRecords.size()) << "records were lost";
  for (size_t i = 0; i < oldRecords.size(); ++i)
    EXPECT_TRUE(static_cast<int>(i) + 1 == target || newRecords[i] == oldRecords[i]) << "record " << i + 1;

  std::vector<std::string> rows;
  try {
    rows = Rows(drive);
  } catch (const Exception& e) {
    FAIL() << "the table no longer opens: " << e.what();
  }
  if (!o.raised && o.mode != Mode::Crash) {
    EXPECT_EQ(rows, done) << "a run that reported success did not store its record";
    return;
  }
  ASSERT_GE(rows.size(), before.size());
  for (size_t i = 0; i < before.size(); ++i) {
    // The record being written is old or new; a write the disk cut short
    // may leave it torn (the run said so), but it still reads.
    if (static_cast<int>(i) + 1 == target)
      EXPECT_TRUE(rows[i] == before[i] || rows[i] == done[i] || rows[i].rfind("error: ", 0) == 0 ||
                  (o.raised && (o.mode == Mode::Short || o.mode == Mode::DiskFull)))
          << "record " << i + 1 << " reads " << rows[i];
    else
      EXPECT_EQ(rows[i], before[i]) << "record " << i + 1;
  }
}

struct TableFaults : ::testing::Test {
  void SetUp() override {
    image = MemoTable(drive);
    before = Rows(drive);
  }
  TempDrive drive;
  FolderImage image;
  std::vector<std::string> before;
};

}  // namespace

TEST_F(TableFaults, AppendRewriteAndMemoWriteFailCleanlyAtEveryCall) {
  const std::string name = "NEW";  // as read back, trailing blanks trimmed
  const std::string longMemo = "a memo longer than the old one" + std::string(300, 'x');

  // Append: a new record with a memo.
  std::vector<std::string> appended = before;
  appended.push_back(name + "|" + longMemo);
  Operation append{image,
                   [&](TempDrive& d, std::string&) {
                     HXO_dBaseFld t(d.Dos("T.DBF"), false, true);
                     t.AppendRecord();
                     t.PutStringByName("NAME", "NEW");
                     t.WriteMemo(2, longMemo.data(), longMemo.size());
                     t.PutRecord(t.RecNo());
                     t.Flush();
                     return true;
                   },
                   [&](TempDrive& d, const Outcome& o) { CheckTable(d, o, 0, before, appended); }};
  EXPECT_GT(RunAtEveryFaultPoint(drive, append), 20);

  // Rewrite: record 2 gets a new name and its memo grows (moves to new blocks).
  std::vector<std::string> rewritten = before;
  rewritten[1] = name + "|" + longMemo;
  Operation rewrite{image,
                    [&](TempDrive& d, std::string&) {
                      HXO_dBaseFld t(d.Dos("T.DBF"), false, true);
                      t.GetRecord(2);
                      t.PutStringByName("NAME", "NEW");
                      t.WriteMemo(2, longMemo.data(), longMemo.size());
                      t.PutRecord(2);
                      t.Flush();
                      return true;
                    },
                    [&](TempDrive& d, const Outcome& o) { CheckTable(d, o, 2, before, rewritten); }};
  EXPECT_GT(RunAtEveryFaultPoint(drive, rewrite), 20);

  // A memo written for the record that had none, the table shared.
  std::vector<std::string> memoAdded = before;
  memoAdded[3] = before[3] + "short";
  Operation memo{image,
                 [&](TempDrive& d, std::string&) {
                   HXO_dBaseFld t(d.Dos("T.DBF"), true, true);
                   t.GetRecord(4);
                   t.WriteMemo(2, "short", 5);
                   t.PutRecord(4);
                   return true;
                 },
                 [&](TempDrive& d, const Outcome& o) { CheckTable(d, o, 4, before, memoAdded); }};
  EXPECT_GT(RunAtEveryFaultPoint(drive, memo), 10);
}

namespace {

// People table (NAME C 10, CITY C 10, AMOUNT N 8.2) with a compound index of
// three tags, one of them with a FOR condition.
FolderImage IndexedPeople(TempDrive& drive) {
  LayDown(drive.Root(), {{"P.DBF", tabletest::Bytes(handlertest::PeopleTable({{"Jones", "Rome", 30},
                                                                              {"Adams", "Oslo", 10},
                                                                              {"Smith", "Bern", 50},
                                                                              {"Brown", "Rome", 20},
                                                                              {"Smith", "Oslo", 40}}))}});
  HXO_dBHandler h(drive.Dos("P.DBF"), false, true);
  h.OpenIndex("P.CDX");
  HXobjIndexFile& f = *h.IndexFile(1);
  f.AddTag("NAME", "NAME", false, true, "");
  f.AddTag("CITYAMT", "CITY+STR(AMOUNT,8,2)", false, false, "");
  f.AddTag("BIG", "NAME", false, true, "AMOUNT > 25");
  h.CloseIndexes();
  return ImageOf(drive.Root());
}

// The index file's own verdict, checked against the table as it stands.
std::vector<std::string> IndexProblems(TempDrive& drive) {
  HXO_dBHandler h(drive.Dos("P.DBF"), false, false);
  h.OpenIndex("P.CDX");
  return HxCheckIndexFile(*h.IndexFile(1)).problems;
}

}  // namespace

TEST(IndexFaults, MaintenanceThroughTheHandlerFailsCleanlyAtEveryCall) {
  tabletest::ShortLockWait wait;  // a refused lock is retried briefly
  TempDrive drive;
  const FolderImage image = IndexedPeople(drive);
  const size_t records = RecordsOf(image.at("P.DBF")).size();

  // A key changed (its entry deleted and inserted elsewhere in every tag)
  // and a record appended (inserted into every tag).
  Operation maintain{image,
                     [&](TempDrive& d, std::string&) {
                       // Shared, so the table and its index are locked around each write.
                       HXO_dBHandler h(d.Dos("P.DBF"), true, true);
                       h.OpenIndex("P.CDX");
                       h.GetRecord(2);
                       h.PutStringByName("NAME", "Zeta");
                       h.PutStringByName("AMOUNT", "99");
                       h.PutRecord(2);
                       h.AppendRecord();
                       h.PutStringByName("NAME", "Able");
                       h.PutStringByName("CITY", "Oslo");
                       h.PutStringByName("AMOUNT", "35");
                       h.PutRecord(h.RecNo());
                       h.Flush();
                       return true;
                     },
                     [&](TempDrive& d, const Outcome& o) {
                       const FolderImage now = ImageOf(d.Root());
                       const std::vector<std::string> oldRecords = RecordsOf(o.before.at("P.DBF"));
                       const std::vector<std::string> newRecords = RecordsOf(now.at("P.DBF"));
                       ASSERT_GE(newRecords.size(), oldRecords.size());
                       for (size_t i = 0; i < oldRecords.size(); ++i)
                         EXPECT_TRUE(i == 1 || newRecords[i] == oldRecords[i]) << "record " << i + 1;
                       if (!o.raised && o.mode != Mode::Crash) {
                         EXPECT_EQ(newRecords.size(), records + 1);
                         EXPECT_EQ(newRecords[1].substr(1, 4), "Zeta");
                       }
                       // A completed run leaves an index that agrees with its
                       // table; so does a failure before the table was written.
                       // Either way the file opens and can be checked.
                       std::vector<std::string> problems;
                       try {
                         problems = IndexProblems(d);
                       } catch (const Exception& e) {
                         FAIL() << "the index no longer opens: " << e.what();
                       }
                       const bool tableUnchanged = now.at("P.DBF") == o.before.at("P.DBF");
                       const bool mustAgree = o.mode != Mode::Crash && (!o.raised || tableUnchanged);
                       EXPECT_TRUE(!mustAgree || problems.empty())
                           << (problems.empty() ? "" : problems.front());
                     }};
  EXPECT_GT(RunAtEveryFaultPoint(drive, maintain), 30);
}
