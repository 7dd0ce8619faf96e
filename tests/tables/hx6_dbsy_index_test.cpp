// The handler with index files: slots, tag selection, walks in tag order,
// seeks, Locate through a tag, key ranges, maintenance and index locks.
#include <gtest/gtest.h>

#include <filesystem>

#include "hx6_dbsy_test_util.h"
#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbsy.h"

using handlertest::Name;
using handlertest::Numbered;
using handlertest::PeopleTable;
using handlertest::Row;
using handlertest::WalkBackward;
using handlertest::WalkForward;
using tabletest::MessageOf;
using tabletest::ShortLockWait;
using V = std::vector<int64_t>;

namespace {

// Counts the records read from the table.
class CountingHandler : public HXO_dBHandler {
 public:
  using HXO_dBHandler::HXO_dBHandler;
  void StatusUpdate(int code, int64_t value) override {
    if (code == kStatusAfterRead) ++reads;
    HXO_dBHandler::StatusUpdate(code, value);
  }
  int reads = 0;
};

std::string Problems(HXobjIndexFile& f) {
  std::string out;
  for (const auto& p : HxCheckIndexFile(f).problems) out += p + "\n";
  return out;
}

// 1 Jones/Rome 30, 2 Adams/Oslo 10, 3 Smith/Bern 50 (deleted), 4 Brown/Rome 20,
// 5 Smith/Oslo 40, 6 Smithson/Bern 60
std::vector<Row> People() {
  return {{"Jones", "Rome", 30}, {"Adams", "Oslo", 10}, {"Smith", "Bern", 50, true},
          {"Brown", "Rome", 20}, {"Smith", "Oslo", 40}, {"Smithson", "Bern", 60}};
}

struct Indexed {
  TempDrive drive;
  std::string table;
  explicit Indexed(const std::vector<Row>& rows = People()) {
    WriteHostFile(drive.Host("p.dbf"), tabletest::Bytes(PeopleTable(rows)));
    table = drive.Dos("p.dbf");
    HXO_dBHandler h(table, false, true);
    EXPECT_EQ(h.OpenIndex("p.cdx"), 0);
    HXobjIndexFile& f = *h.IndexFile(1);
    f.AddTag("NAME", "NAME", false, true, "");
    f.AddTag("NAMECITY", "NAME+CITY", false, true, "");
    f.AddTag("AMOUNT", "AMOUNT", false, false, "");  // descending
    f.AddTag("BIG", "NAME", false, true, "AMOUNT > 25");
  }
};

}  // namespace

TEST(HandlerIndex, OpenIndexFindsFilesByFolderAndExtensionAndRefusesA64th) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  EXPECT_FALSE(h.ReverseRecordLocks());
  EXPECT_EQ(h.OpenIndex("P.CDX"), 0);  // the table's folder
  EXPECT_TRUE(h.ReverseRecordLocks());
  EXPECT_EQ(h.OpenIndex(t.drive.Dos("p.cdx")), -1);
  EXPECT_EQ(h.OpenIndex(" p.Cdx "), -1);
  EXPECT_EQ(h.IndexFileCount(), 1);

  // No extension means ".ndx"; only the four index extensions open anything.
  EXPECT_EQ(MessageOf([&] { h.OpenIndex("p"); }),
            FormatKeldorMessage(hxErrFileNotFound, t.drive.Dos("p.ndx")));
  EXPECT_EQ(MessageOf([&] { h.OpenIndex("p.xyz"); }),
            FormatKeldorMessage(hxErrFileNotFound, t.drive.Dos("p.xyz")));
  WriteHostFile(t.drive.Host("bad.cdx"), std::string(2048, '\x7F'));
  EXPECT_EQ(MessageOf([&] { h.OpenIndex("bad.cdx"); }),
            FormatKeldorMessage(hxErrIndexCorrupted, t.drive.Dos("bad.cdx")));
  EXPECT_EQ(h.IndexFileCount(), 1);

  // 63 files fill the slots; a 64th is refused and not even created.
  for (int i = 2; i <= kHxIndexSlots; ++i) ASSERT_EQ(h.OpenIndex("x" + std::to_string(i) + ".cdx"), 0);
  EXPECT_EQ(h.IndexFileCount(), kHxIndexSlots);
  EXPECT_EQ(MessageOf([&] { h.OpenIndex("x64.cdx"); }),
            "Index file " + t.drive.Dos("x64.cdx") + " cannot be opened: 63 index files are open already");
  EXPECT_FALSE(std::filesystem::exists(t.drive.Host("x64.cdx")));
  EXPECT_EQ(h.IndexFileCount(), kHxIndexSlots);
  EXPECT_EQ(h.OpenIndex("p.cdx"), -1);  // an open one still answers -1
  // Tags of every slot take part.
  h.IndexFile(kHxIndexSlots)->AddTag("LAST", "CITY", false, true, "");
  EXPECT_EQ(h.SelectTag("LAST", false), 5);

  h.CloseIndexes();
  EXPECT_EQ(h.IndexFileCount(), 0);
  EXPECT_EQ(h.ActiveTag(), nullptr);
  EXPECT_EQ(h.OpenIndex("x64.cdx"), 0);
}

TEST(HandlerIndex, SelectTagNumbersTagsAcrossFilesAndKeepsThePositionWhenItCan) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  h.OpenIndex("p.cdx");
  h.OpenIndex("q.cdx");
  h.IndexFile(2)->AddTag("CITY", "CITY", false, true, "");
  EXPECT_EQ(h.SelectTag(" city ", false), 5);
  EXPECT_EQ(h.ActiveTagName(), "CITY");
  EXPECT_EQ(h.TagByNumber(5)->Name(), "CITY");
  // A CDX file lists its tags in name order.
  EXPECT_EQ(h.TagByNumber(1)->Name(), "AMOUNT");
  EXPECT_EQ(h.TagByNumber(4)->Name(), "NAMECITY");
  EXPECT_EQ(h.TagByNumber(6), nullptr);
  EXPECT_EQ(h.TagByNumber(0), nullptr);
  EXPECT_EQ(h.RecNo(), 6);  // first in city order: Bern (3 is deleted)
  EXPECT_EQ(MessageOf([&] { h.SelectTag("Nope ", false); }),
            FormatKeldorMessage(hxErrIndexTagNotFound, "Nope "));
  EXPECT_EQ(h.ActiveTagName(), "CITY");  // a failed selection changes nothing

  h.GetRecord(4);
  EXPECT_EQ(h.SelectTag("name", true), 3);
  EXPECT_EQ(h.RecNo(), 4);  // Brown is in the NAME order
  EXPECT_FALSE(h.OutOfOrder());
  h.GetRecord(2);
  EXPECT_EQ(h.SelectTag("BIG", true), 2);
  EXPECT_EQ(h.RecNo(), 1);  // Adams (10) fails the FOR condition: first record of BIG (Jones)
  EXPECT_EQ(h.SelectTag("", true), 0);
  EXPECT_EQ(h.RecNo(), 1);
  EXPECT_EQ(h.ActiveTag(), nullptr);
  EXPECT_TRUE(h.Buffering());
  EXPECT_EQ(WalkForward(h), (V{1, 2, 4, 5, 6}));
}

TEST(HandlerIndex, WalksInTagOrderSkippingDeletedAndFilteredRecords) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  h.OpenIndex("p.cdx");
  h.SelectTag("NAME", false);
  EXPECT_EQ(h.RecNo(), 2);
  EXPECT_EQ(WalkForward(h), (V{2, 4, 1, 5, 6}));
  EXPECT_TRUE(h.Eof());
  EXPECT_EQ(WalkBackward(h), (V{6, 5, 1, 4, 2}));
  EXPECT_TRUE(h.Bof());
  h.SetUseDeleted(true);
  EXPECT_EQ(WalkForward(h), (V{2, 4, 1, 3, 5, 6}));
  h.SetUseDeleted(false);

  h.SelectTag("AMOUNT", false);  // descending
  EXPECT_EQ(WalkForward(h), (V{6, 5, 1, 4, 2}));
  h.SelectTag("BIG", false);
  EXPECT_EQ(WalkForward(h), (V{1, 5, 6}));
  h.GetRecord(2);  // by number: read, but not part of this order
  EXPECT_TRUE(h.RecordValid());
  EXPECT_TRUE(h.OutOfOrder());

  // A filter on top of a tag.
  h.SelectTag("NAME", false);
  h.SetFilterActive(true);
  h.SetFilter("CITY # \"Rome\"", false, true);
  EXPECT_EQ(h.ActiveTag()->Name(), "NAME");  // set aside for the scan, back afterwards
  EXPECT_EQ(WalkForward(h), (V{2, 5, 6}));
  EXPECT_EQ(WalkBackward(h), (V{6, 5, 2}));
  h.GetRecord(5);
  h.GetRecord(kGetCurrent);
  EXPECT_EQ(h.RecNo(), 5);
  // A record that stops passing the filter moves on when re-read.
  h.PutStringByName("CITY", "Rome");
  h.PutRecord(5);
  EXPECT_TRUE(h.OutOfOrder());
  h.GetRecord(kGetCurrent);
  EXPECT_EQ(h.RecNo(), 6);
}

TEST(HandlerIndex, SkipStepsTheTagWhenEveryRecordCounts) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  h.OpenIndex("p.cdx");
  h.SelectTag("NAME", false);
  h.Skip(2);  // deleted records skipped: Adams, Brown, Jones
  EXPECT_EQ(h.RecNo(), 1);
  h.SetUseDeleted(true);
  h.Skip(1);
  EXPECT_EQ(h.RecNo(), 3);  // the deleted Smith
  h.Skip(10);
  EXPECT_EQ(h.RecNo(), 6);  // last in NAME order
  EXPECT_TRUE(h.Eof());
  h.GetRecord(6);
  h.Skip(-2);
  EXPECT_EQ(h.RecNo(), 3);
  h.Skip(-10);
  EXPECT_EQ(h.RecNo(), 2);
  EXPECT_TRUE(h.Bof());
}

TEST(HandlerIndex, SeekKeyMatchesPrefixesUnlessExactAndSkipsInvisibleRecords) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  h.OpenIndex("p.cdx");
  EXPECT_FALSE(h.SeekKey("Smith"));  // no tag: the last record, at the end
  EXPECT_TRUE(h.Eof());
  EXPECT_EQ(h.RecNo(), 6);

  h.SelectTag("NAME", false);
  EXPECT_TRUE(h.SeekKey("Smith"));  // 3 is deleted: the next Smith
  EXPECT_TRUE(h.Found());
  EXPECT_EQ(h.RecNo(), 5);
  EXPECT_TRUE(h.SeekKey("Br"));  // a prefix of Brown
  EXPECT_EQ(h.RecNo(), 4);
  h.SetExactCompare(true);
  EXPECT_FALSE(h.SeekKey("Br"));
  EXPECT_FALSE(h.Found());
  EXPECT_TRUE(h.Eof());
  EXPECT_FALSE(h.RecordValid());
  EXPECT_TRUE(h.SeekKey("Brown"));
  h.SetExactCompare(false);
  EXPECT_FALSE(h.SeekKey("Carter"));
  EXPECT_TRUE(h.Eof());
  EXPECT_EQ(h.RecNo(), 6);  // the last record in NAME order

  // The first Smith after a prefix seek is followed by the later one.
  h.SetUseDeleted(true);
  EXPECT_TRUE(h.SeekKey("Smith"));
  EXPECT_EQ(h.RecNo(), 3);
  h.GetRecord(kGetNext);
  EXPECT_EQ(h.RecNo(), 5);
  h.SetUseDeleted(false);

  // Under a filter a key whose records are all filtered out is not found.
  h.SetFilterActive(true);
  h.SetFilter("CITY = \"Bern\"", false, true);
  EXPECT_TRUE(h.SeekKey("Smith"));  // Smith/Oslo is filtered out, Smithson/Bern is a prefix match
  EXPECT_EQ(h.RecNo(), 6);
  h.SetExactCompare(true);
  EXPECT_FALSE(h.SeekKey("Smith"));
  h.SetExactCompare(false);
  h.SetFilter("", false, true);

  // Numeric keys.
  h.SelectTag("AMOUNT", false);
  EXPECT_TRUE(h.SeekKey("40"));
  EXPECT_EQ(h.RecNo(), 5);
  EXPECT_FALSE(h.SeekKey("41"));
}

TEST(HandlerIndex, SeekInTagAnswersWithoutMoving) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  h.OpenIndex("p.cdx");
  h.SelectTag("NAME", false);
  h.GetRecord(kGetNext);
  ASSERT_EQ(h.RecNo(), 4);
  EXPECT_EQ(h.SeekInTag("amount", "60"), 6);
  EXPECT_EQ(h.SeekInTag("NAME", "Smithson"), 6);
  EXPECT_EQ(h.SeekInTag("NAME", "Smiths"), 0);  // exact for this call
  EXPECT_EQ(h.SeekInTag("NOPE", "x"), -1);
  EXPECT_FALSE(h.ExactCompare());
  EXPECT_EQ(h.RecNo(), 4);
  h.GetRecord(kGetNext);
  EXPECT_EQ(h.RecNo(), 1);  // the walk goes on from where it was
}

TEST(HandlerIndex, LocateSeeksThroughATagOverTheSameFields) {
  std::vector<Row> rows;
  for (int i = 1; i <= 300; ++i)
    rows.push_back({"P" + std::to_string(i % 100), "C" + std::to_string(i), double(i)});
  rows.push_back({"Smith", "Boston", 1});
  rows.push_back({"Smithson", "Austin", 2});
  TempDrive drive;
  WriteHostFile(drive.Host("l.dbf"), tabletest::Bytes(PeopleTable(rows)));
  CountingHandler h(drive.Dos("l.dbf"), false, true);
  h.OpenIndex("l.cdx");
  h.IndexFile(1)->AddTag("NAMECITY", "NAME+CITY", false, true, "");
  const std::vector<Variant> smithBoston = {Variant("Smith"), Variant("Boston")};

  h.reads = 0;
  EXPECT_TRUE(h.Locate("NAME; CITY", smithBoston, 0, false, false));
  EXPECT_EQ(h.RecNo(), 301);
  EXPECT_LT(h.reads, 5);              // sought, not scanned
  EXPECT_EQ(h.ActiveTag(), nullptr);  // the order in force is kept
  // With a start record the search scans.
  h.reads = 0;
  EXPECT_FALSE(h.Locate("NAME;CITY", smithBoston, 301, false, false));
  EXPECT_TRUE(h.Locate("NAME;CITY", smithBoston, 2, false, false));
  EXPECT_GT(h.reads, 250);
  // A partial search on the leading field uses the tag as a prefix.
  h.reads = 0;
  EXPECT_TRUE(h.Locate("NAME", Variant("Smiths"), 0, true, false));
  EXPECT_EQ(h.RecNo(), 302);
  EXPECT_LT(h.reads, 5);
  // An exact search on the leading field alone cannot seek a longer key: it
  // scans, and finds Smith whatever the city.
  h.reads = 0;
  EXPECT_TRUE(h.Locate("NAME", Variant("Smith"), 0, false, false));
  EXPECT_EQ(h.RecNo(), 301);
  EXPECT_GT(h.reads, 250);
  // Case-insensitive searches scan too.
  EXPECT_TRUE(
      h.Locate("NAME;CITY", std::vector<Variant>{Variant("SMITH"), Variant("boston")}, 0, false, true));
  EXPECT_EQ(h.RecNo(), 301);
  EXPECT_FALSE(
      h.Locate("NAME;CITY", std::vector<Variant>{Variant("Smith"), Variant("Bost")}, 0, false, false));

  // Found through a tag that is not the active one: read again in the order in force.
  h.IndexFile(1)->AddTag("AMOUNT", "AMOUNT", false, true, "AMOUNT > 100");
  h.SelectTag("AMOUNT", false);
  EXPECT_TRUE(h.Locate("NAME;CITY", smithBoston, 0, false, false));
  EXPECT_EQ(h.RecNo(), 301);
  EXPECT_EQ(h.ActiveTag()->Name(), "AMOUNT");
  EXPECT_TRUE(h.OutOfOrder());
}

TEST(HandlerIndex, WritesKeepEveryTagCurrent) {
  Indexed t;
  {
    HXO_dBHandler h(t.table, true, true);
    h.OpenIndex("p.cdx");
    h.OpenIndex("q.cdx");
    h.IndexFile(2)->AddTag("CITY", "CITY", false, true, "");
    h.SelectTag("NAME", false);
    h.GetRecord(2);
    h.PutStringByName("NAME", "Zeta");  // Adams becomes the last name
    h.PutRecord(2);
    EXPECT_FALSE(h.OutOfOrder());
    h.GetRecord(1);
    h.PutNumberByName("AMOUNT", 5);  // Jones leaves BIG
    h.PutRecord(1);
    for (int i = 0; i < 200; ++i) {
      h.BlankRecord();
      h.PutStringByName("NAME", "New" + std::to_string(i));
      h.PutStringByName("CITY", i % 2 ? "Rome" : "Oslo");
      h.PutNumberByName("AMOUNT", i);
      h.AppendRecord();
    }
    EXPECT_TRUE(h.Eof());                       // after an append under a tag without filter
    EXPECT_EQ(h.IndexFile(1)->LockLevel(), 0);  // every write gave its locks back
    EXPECT_EQ(Problems(*h.IndexFile(1)), "");
    EXPECT_EQ(Problems(*h.IndexFile(2)), "");
    h.GetRecord(kGetLast);
    EXPECT_EQ(h.RecNo(), 2);
    h.SelectTag("BIG", false);
    EXPECT_EQ(WalkForward(h).size(), 2u + 174u);  // Smith/Oslo, Smithson and New26 .. New199
    h.Flush();                                    // the tags are written and the walk goes on
    h.GetRecord(5);
    h.GetRecord(kGetNext);
    EXPECT_TRUE(h.RecordValid());
  }
  HXO_dBHandler h(t.table, false, false);
  h.OpenIndex("p.cdx");
  EXPECT_EQ(Problems(*h.IndexFile(1)), "");
}

TEST(HandlerIndex, KeyRangeLimitsTheWalk) {
  Indexed t;
  HXO_dBHandler h(t.table, false, true);
  h.OpenIndex("p.cdx");
  EXPECT_FALSE(h.SetKeyRange("A", "C", 0));  // no tag: nothing
  h.SelectTag("NAME", false);
  EXPECT_TRUE(h.SetKeyRange("B", "Smith", 0));
  EXPECT_EQ(h.RecNo(), 4);
  EXPECT_EQ(WalkForward(h), (V{4, 1, 5, 6}));  // Smithson begins with Smith
  EXPECT_TRUE(h.SetKeyRange("B", "Smith", hxRangeExact));
  EXPECT_EQ(WalkForward(h), (V{4, 1, 5}));
  // A filter set under a range covers the range only.
  h.SetFilterActive(true);
  h.SetFilter("AMOUNT > 0", false, true);
  EXPECT_TRUE(h.FilterSet()->TestBit(1));
  EXPECT_FALSE(h.FilterSet()->TestBit(2));
  h.SetFilter("", false, true);
  // A range holding nothing: at the start, with a blank buffer.
  EXPECT_TRUE(h.SetKeyRange("X", "Y", 0));
  EXPECT_TRUE(h.Bof());
  EXPECT_EQ(h.RecordBuffer()[1], ' ');
  EXPECT_TRUE(h.SetKeyRange("", "", 0));
  EXPECT_EQ(WalkForward(h).size(), 5u);
}

TEST(HandlerIndex, WritesWaitForTheIndexLocksAndGiveUpCleanly) {
  Indexed t;
  ShortLockWait wait;
  HXO_dBHandler a(t.table, true, true);
  HXO_dBHandler b(t.table, true, true);
  a.OpenIndex("p.cdx");
  a.OpenIndex("q.cdx");
  b.OpenIndex("p.cdx");
  b.OpenIndex("q.cdx");
  b.IndexFile(2)->LockIndex();  // another writer holds the second file
  a.BlankRecord();
  a.PutStringByName("NAME", "Late");
  EXPECT_EQ(MessageOf([&] { a.AppendRecord(); }), FormatKeldorMessage(hxErrCannotLockIndexes, t.table));
  EXPECT_EQ(a.RecordCount(), 6);
  EXPECT_EQ(a.IndexFile(1)->LockLevel(), 0);  // the first file was given back
  EXPECT_TRUE(b.IndexFile(1)->TryLockIndex());
  b.IndexFile(1)->UnlockIndex();
  a.GetRecord(1);
  EXPECT_EQ(MessageOf([&] { a.PutRecord(1); }), FormatKeldorMessage(hxErrCannotLockIndexes, t.table));
  b.IndexFile(2)->UnlockIndex();
  a.BlankRecord();
  a.PutStringByName("NAME", "Late");
  a.AppendRecord();
  EXPECT_EQ(a.RecordCount(), 7);

  // b's cached view follows a's writes.
  b.SelectTag("NAME", false);
  EXPECT_TRUE(b.SeekKey("Late"));
  EXPECT_EQ(b.RecNo(), 7);
}

TEST(HandlerIndex, ClipLockReadsTakeTheIndexLocksAndGiveThemBack) {
  Indexed t;
  ShortLockWait wait;
  HXO_dBHandler a(t.table, true, true);
  HXO_dBHandler b(t.table, true, true);
  a.SetLockProtocol(static_cast<uint8_t>(ThxLokProtocol::ClipLock));
  b.SetLockProtocol(static_cast<uint8_t>(ThxLokProtocol::ClipLock));
  a.OpenIndex("p.cdx");
  b.OpenIndex("p.cdx");
  EXPECT_EQ(a.IndexFile(1)->LockProtocol(), static_cast<uint8_t>(ThxLokProtocol::ClipLock));
  a.SelectTag("NAME", false);
  EXPECT_TRUE(a.SeekKey("Jones"));
  a.GetRecord(kGetNext);
  EXPECT_EQ(a.IndexFile(1)->LockLevel(), 0);
  // While another process holds the index lock, a seek answers false.
  b.IndexFile(1)->LockIndex();
  EXPECT_FALSE(a.SeekKey("Jones"));
  EXPECT_EQ(MessageOf([&] { a.GetRecord(kGetNext); }), FormatKeldorMessage(hxErrCannotLockIndexes, t.table));
  b.IndexFile(1)->UnlockIndex();
  EXPECT_TRUE(a.SeekKey("Jones"));
  // Another protocol later reaches the open files too.
  a.SetLockProtocol(static_cast<uint8_t>(ThxLokProtocol::DB4Lock));
  EXPECT_EQ(a.IndexFile(1)->LockProtocol(), static_cast<uint8_t>(ThxLokProtocol::DB4Lock));
}

TEST(HandlerIndex, RenameTakesTheSameNamedIndexAlong) {
  Indexed t;
  {
    HXO_dBHandler h(t.table, false, true);
    h.OpenIndex("p.cdx");
    h.OpenIndex("other.cdx");
    h.RenameTo(t.drive.Dos("q.dbf"));
    h.SelectTag("NAME", false);
    h.BlankRecord();
    h.PutStringByName("NAME", "Aaron");
    h.AppendRecord();
    EXPECT_EQ(Problems(*h.IndexFile(1)), "");
  }
  EXPECT_FALSE(std::filesystem::exists(t.drive.Host("p.cdx")));
  EXPECT_TRUE(std::filesystem::exists(t.drive.Host("q.cdx")));
  EXPECT_TRUE(std::filesystem::exists(t.drive.Host("other.cdx")));
  HXO_dBHandler h(t.drive.Dos("q.dbf"), false, false);
  h.OpenIndex("q.cdx");
  h.SelectTag("NAME", false);
  EXPECT_EQ(h.RecNo(), 7);
}

TEST(HandlerIndex, SetPasswordReenciphersTheOpenIndexFiles) {
  Indexed t;
  {
    HXO_dBHandler h(t.table, false, true);
    h.OpenIndex("p.cdx");
    h.SelectTag("NAME", false);
    h.SetPassword("key");
  }
  {
    HXO_dBHandler h(t.table, false, true, "key");
    h.OpenIndex("p.cdx");
    h.SelectTag("NAME", false);
    EXPECT_EQ(WalkForward(h), (V{2, 4, 1, 5, 6}));
    EXPECT_EQ(Problems(*h.IndexFile(1)), "");
    h.BlankRecord();
    h.PutStringByName("NAME", "Aaron");
    h.AppendRecord();
    h.SetPassword("");
  }
  HXO_dBHandler h(t.table, false, false);
  h.OpenIndex("p.cdx");
  h.SelectTag("NAME", false);
  EXPECT_EQ(h.RecNo(), 7);
  EXPECT_EQ(Problems(*h.IndexFile(1)), "");
}

TEST(HandlerIndex, AnEntryForARecordTheTableNoLongerHasEndsTheWalk) {
  auto rows = People();
  rows.push_back({"Zed", "Nowhere", 1});
  Indexed t(rows);
  // Another program cut the last record off the table but left the index.
  std::string bytes = ReadHostFile(t.drive.Host("p.dbf"));
  bytes.resize(bytes.size() - 1 - 29);
  WriteHostFile(t.drive.Host("p.dbf"), bytes);
  HXO_dBHandler h(t.table, false, false);
  h.OpenIndex("p.cdx");
  h.SelectTag("NAME", false);
  EXPECT_EQ(WalkForward(h), (V{2, 4, 1, 5, 6}));
  EXPECT_TRUE(h.Eof());
  EXPECT_EQ(h.RecordBuffer()[1], ' ');  // nothing of a record that is not there
}
