#include "tables/hx6_dbsy.h"

#include <gtest/gtest.h>

#include <cstring>

#include "hx6_dbsy_test_util.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"

using handlertest::Name;
using handlertest::Numbered;
using handlertest::PeopleTable;
using handlertest::Row;
using handlertest::WalkBackward;
using handlertest::WalkForward;
using tabletest::MessageOf;
using V = std::vector<int64_t>;

namespace {

struct Fixture {
  TempDrive drive;
  std::string Make(const std::vector<Row>& rows, const std::string& name = "P.dbf") {
    WriteHostFile(drive.Host(name), tabletest::Bytes(PeopleTable(rows)));
    return drive.Dos(name);
  }
};

std::vector<Row> WithDeleted() {
  // 1, 2 and 4 deleted; 3 and 5 live.
  auto rows = Numbered(5);
  rows[0].deleted = rows[1].deleted = rows[3].deleted = true;
  return rows;
}

}  // namespace

TEST(HandlerNavigation, MovesSkipDeletedRecordsButReadsByNumberDoNot) {
  Fixture f;
  HXO_dBHandler h(f.Make(WithDeleted()), true, true);
  EXPECT_FALSE(h.Buffering());
  EXPECT_EQ(WalkForward(h), (V{3, 5}));
  EXPECT_TRUE(h.Eof());
  EXPECT_FALSE(h.Bof());
  EXPECT_EQ(WalkBackward(h), (V{5, 3}));
  EXPECT_TRUE(h.Bof());

  h.GetRecord(2);  // by number: deleted or not
  EXPECT_EQ(h.RecNo(), 2);
  EXPECT_TRUE(h.RecordValid());
  EXPECT_EQ(h.RecordBuffer()[0], '*');

  h.SetUseDeleted(true);
  EXPECT_EQ(WalkForward(h), (V{1, 2, 3, 4, 5}));
  h.SetUseDeleted(false);

  // Re-reading a record that was deleted meanwhile moves on to the next visible one.
  h.GetRecord(3);
  h.DeleteRecord();
  h.GetRecord(kGetCurrent);
  EXPECT_EQ(h.RecNo(), 5);
  EXPECT_TRUE(h.RecordValid());

  // Nothing visible: first and last set both ends.
  h.GetRecord(5);
  h.DeleteRecord();
  h.GetRecord(kGetFirst);
  EXPECT_TRUE(h.Bof() && h.Eof());
  EXPECT_FALSE(h.RecordValid());
  h.GetRecord(kGetLast);
  EXPECT_TRUE(h.Bof() && h.Eof());
}

TEST(HandlerNavigation, EmptyTableAndCodeZero) {
  Fixture f;
  HXO_dBHandler h(f.Make({}), false, true);
  h.GetRecord(kGetFirst);
  EXPECT_TRUE(h.Bof() && h.Eof());
  h.GetRecord(kGetNext);
  EXPECT_TRUE(h.Eof());
  h.Skip(3);
  EXPECT_TRUE(h.Eof());
  h.GetRecord(2);
  EXPECT_TRUE(h.Bof() && h.Eof());
  EXPECT_FALSE(h.RecordValid());
}

TEST(HandlerSkip, StepsOverInvisibleRecordsOrJumpsWhenEveryRecordCounts) {
  Fixture f;
  HXO_dBHandler h(f.Make(WithDeleted()), false, true);
  h.GetRecord(kGetFirst);
  h.Skip(1);
  EXPECT_EQ(h.RecNo(), 5);
  h.Skip(1);
  EXPECT_TRUE(h.Eof());
  h.GetRecord(5);
  h.Skip(-1);
  EXPECT_EQ(h.RecNo(), 3);
  h.Skip(0);
  EXPECT_EQ(h.RecNo(), 3);
  EXPECT_TRUE(h.RecordValid());

  // Deleted records visible and no filter: straight to the target, clamped.
  h.SetUseDeleted(true);
  h.GetRecord(1);
  h.Skip(10);
  EXPECT_EQ(h.RecNo(), 5);
  EXPECT_TRUE(h.Eof());
  EXPECT_FALSE(h.RecordValid());
  h.Skip(-10);
  EXPECT_EQ(h.RecNo(), 1);
  EXPECT_TRUE(h.Bof());
  h.Skip(3);
  EXPECT_EQ(h.RecNo(), 4);
  EXPECT_FALSE(h.Eof() || h.Bof());
  h.Skip(INT64_MIN);
  EXPECT_EQ(h.RecNo(), 1);
  EXPECT_TRUE(h.Bof());
  h.Skip(INT64_MAX);
  EXPECT_EQ(h.RecNo(), 5);
  EXPECT_TRUE(h.Eof());
}

TEST(HandlerFilter, WalksFollowTheSetAndWritesKeepItCurrent) {
  Fixture f;
  auto rows = Numbered(10);
  rows[5].deleted = true;  // 6 passes the expression but is deleted
  HXO_dBHandler h(f.Make(rows), true, true);
  h.SetFilterActive(true);
  h.SetFilter("AMOUNT > 4 .AND. AMOUNT < 9", false, true);
  EXPECT_TRUE(h.FilterActive());
  EXPECT_FALSE(h.FilterSet()->TestBit(6));  // deleted records are not visited
  EXPECT_EQ(WalkForward(h), (V{5, 7, 8}));
  EXPECT_EQ(WalkBackward(h), (V{8, 7, 5}));

  // A record changed so that it no longer passes drops out at once.
  h.GetRecord(7);
  h.PutNumberByName("AMOUNT", 100);
  h.PutRecord(7);
  EXPECT_TRUE(h.OutOfOrder());
  EXPECT_EQ(WalkForward(h), (V{5, 8}));
  // ... and one changed so that it passes comes in, appended ones too.
  h.GetRecord(1);
  h.PutNumberByName("AMOUNT", 6);
  h.PutRecord(1);
  EXPECT_FALSE(h.OutOfOrder());
  h.BlankRecord();
  h.PutStringByName("NAME", "NEW");
  h.PutNumberByName("AMOUNT", 5);
  h.AppendRecord();
  EXPECT_EQ(WalkForward(h), (V{1, 5, 8, 11}));

  // A record read by number outside the filter is marked out of order.
  h.GetRecord(2);
  EXPECT_TRUE(h.OutOfOrder());
  EXPECT_TRUE(h.RecordValid());

  h.SetFilterActive(false);
  EXPECT_EQ(WalkForward(h).size(), 10u);  // 6 is deleted
  h.SetFilterActive(true);
  EXPECT_EQ(WalkForward(h), (V{1, 5, 8, 11}));

  // Removing the filter shows everything again.
  h.SetFilter("", false, true);
  EXPECT_FALSE(h.FilterActive());
  EXPECT_EQ(h.FilterText(), "");
  EXPECT_EQ(WalkForward(h).size(), 10u);
}

TEST(HandlerFilter, MatchingNothingSetsBothEndsAndUseDeletedCountsDeletedRecords) {
  Fixture f;
  auto rows = Numbered(6);
  rows[2].deleted = true;
  HXO_dBHandler h(f.Make(rows), false, true);
  h.SetFilterActive(true);
  h.SetFilter("AMOUNT > 100", false, true);
  h.GetRecord(kGetFirst);
  EXPECT_TRUE(h.Bof() && h.Eof());
  h.GetRecord(kGetLast);
  EXPECT_TRUE(h.Bof() && h.Eof());

  h.SetUseDeleted(true);
  h.SetFilter("AMOUNT < 4", false, true);
  EXPECT_EQ(WalkForward(h), (V{1, 2, 3}));
  h.SetUseDeleted(false);
  EXPECT_EQ(WalkForward(h), (V{1, 2}));  // the bit of 3 is set, the record is refused

  // Skip under a filter counts visible records only.
  h.SetFilter("AMOUNT # 2", false, true);
  h.GetRecord(kGetFirst);
  h.Skip(2);
  EXPECT_EQ(h.RecNo(), 5);
}

TEST(HandlerFilter, OneEvaluationPerRecordWhenSetAndNoneWhileMoving) {
  Fixture f;
  HXO_dBHandler h(f.Make(Numbered(200)), false, true);
  int calls = 0;
  h.ExpUserLink()->AddFunction(std::make_unique<handlertest::CountingFunction>(calls));
  h.SetFilterActive(true);
  h.SetFilter("TICK() .AND. AMOUNT <= 20", false, true);
  EXPECT_EQ(calls, 201);  // the type check on the current record, then each record once
  calls = 0;
  EXPECT_EQ(WalkForward(h).size(), 20u);
  EXPECT_EQ(WalkBackward(h).size(), 20u);
  EXPECT_EQ(calls, 0);
  // A write evaluates the written record once.
  h.GetRecord(3);
  h.PutRecord(3);
  EXPECT_EQ(calls, 1);
  // Setting the same filter again builds the set afresh without compiling.
  calls = 0;
  h.SetFilter("TICK() .AND. AMOUNT <= 20", false, true);
  EXPECT_EQ(calls, 200);
  calls = 0;
  h.RebuildFilter();
  EXPECT_EQ(calls, 200);
}

TEST(HandlerFilter, AFilterThatFailsLeavesEveryRecordVisible) {
  Fixture f;
  auto rows = Numbered(8);
  HXO_dBHandler h(f.Make(rows), false, true);
  h.SetFilterActive(true);
  h.SetFilter("AMOUNT > 6", false, true);
  ASSERT_EQ(WalkForward(h), (V{7, 8}));

  // Not a logical result.
  EXPECT_EQ(MessageOf([&] { h.SetFilter("AMOUNT + 1", false, true); }), KeldorMessage(hxErrFilterNotBoolean));
  EXPECT_FALSE(h.FilterActive());
  EXPECT_TRUE(h.FilterRequested());
  EXPECT_EQ(WalkForward(h).size(), 8u);
  h.SetFilterActive(true);  // switching on again must not bring back an empty set
  EXPECT_FALSE(h.FilterActive());
  EXPECT_EQ(WalkForward(h).size(), 8u);
  // The same text again is checked again.
  EXPECT_EQ(MessageOf([&] { h.SetFilter("AMOUNT + 1", false, true); }), KeldorMessage(hxErrFilterNotBoolean));

  // Does not compile: the expression engine's message.
  EXPECT_EQ(MessageOf([&] { h.SetFilter("NOSUCH > 1", false, true); }),
            FormatKeldorMessage(hxExpNoFunction, "NOSUCH"));
  EXPECT_FALSE(h.FilterActive());
  EXPECT_EQ(WalkForward(h).size(), 8u);

  // Fails on a record half-way through the build: no half-built set.
  h.GetRecord(5);
  std::memcpy(h.RecordBuffer() + 21, "   abc  ", 8);
  h.PutRecord(5);
  h.GetRecord(1);
  EXPECT_EQ(MessageOf([&] { h.SetFilter("AMOUNT < 100", false, true); }).find("Invalid numeric value"), 0u);
  EXPECT_FALSE(h.FilterActive());
  EXPECT_EQ(h.RecNo(), 1);  // the position is the one before
  EXPECT_EQ(WalkForward(h).size(), 8u);
  h.SetFilterActive(true);
  EXPECT_EQ(WalkForward(h).size(), 8u);

  // A good filter afterwards works as ever.
  h.GetRecord(5);
  h.PutNumberByName("AMOUNT", 5);
  h.PutRecord(5);
  h.SetFilter("AMOUNT > 6", false, true);
  EXPECT_TRUE(h.FilterActive());
  EXPECT_EQ(WalkForward(h), (V{7, 8}));
}

TEST(HandlerFilter, OptionsAndPositionAfterSetting) {
  Fixture f;
  HXO_dBHandler h(f.Make({{"smith", "x", 1}, {"SMITH", "y", 2}, {"jones", "z", 3}}), false, true);
  h.SetFilterActive(true);
  h.SetFilter("NAME = \"SMITH\"", false, true);
  EXPECT_EQ(WalkForward(h), (V{2}));
  h.SetFilter("NAME = \"SMITH\"", true, true);  // case-insensitive: compiled again
  EXPECT_EQ(WalkForward(h), (V{1, 2}));
  h.SetFilter("NAME = \"SM*\"", false, true);
  EXPECT_EQ(WalkForward(h), (V{2}));
  h.SetFilter("NAME = \"SM*\"", false, false);  // no wildcards
  EXPECT_EQ(WalkForward(h).size(), 0u);

  // The record current before the filter was set is current again afterwards.
  h.SetFilter("", false, true);
  h.GetRecord(3);
  h.SetFilter("AMOUNT > 0", false, true);
  EXPECT_EQ(h.RecNo(), 3);
  EXPECT_EQ(Name(h), "jones");
}

TEST(HandlerLocate, ScansWithPartialAndCaseInsensitiveComparison) {
  Fixture f;
  std::vector<Row> rows = {{"Smith", "Boston", 1},
                           {"SMITHSON", "Austin", 2},
                           {"Jones", "Boston", 3},
                           {"Smith", "Denver", 4},
                           {"Smith", "Boston", 5, true}};
  HXO_dBHandler h(f.Make(rows), false, true);
  const std::string nameCity = "NAME; CITY";

  EXPECT_TRUE(h.Locate(nameCity, std::vector<Variant>{Variant("Smith"), Variant("Denver")}, 0, false, false));
  EXPECT_EQ(h.RecNo(), 4);
  EXPECT_TRUE(h.Locate("NAME", Variant("Smith"), 0, false, false));
  EXPECT_EQ(h.RecNo(), 1);
  // From after a start record.
  EXPECT_TRUE(h.Locate("NAME", Variant("Smith"), 1, false, false));
  EXPECT_EQ(h.RecNo(), 4);
  EXPECT_FALSE(h.Locate("NAME", Variant("Smith"), 4, false, false));  // 5 is deleted
  // Partial: the last field only needs to begin with the value.
  EXPECT_TRUE(h.Locate("NAME", Variant("SMITHS"), 0, true, false));
  EXPECT_EQ(h.RecNo(), 2);
  EXPECT_FALSE(h.Locate("NAME", Variant("SMITHS"), 0, false, false));
  EXPECT_TRUE(h.Locate("NAME;CITY", std::vector<Variant>{Variant("Smith"), Variant("Den")}, 0, true, false));
  EXPECT_EQ(h.RecNo(), 4);
  // Case-insensitive.
  EXPECT_FALSE(h.Locate("NAME", Variant("JONES"), 0, false, false));
  EXPECT_TRUE(h.Locate("NAME", Variant("JONES"), 0, false, true));
  EXPECT_EQ(h.RecNo(), 3);
  // Numbers compare as their text in the record.
  EXPECT_TRUE(h.Locate("AMOUNT", Variant(2.0), 0, false, false));
  EXPECT_EQ(h.RecNo(), 2);
  // Under a filter only visible records are found.
  h.SetFilterActive(true);
  h.SetFilter("CITY = \"Boston\"", false, true);
  EXPECT_FALSE(h.Locate("NAME", Variant("SMITHSON"), 0, false, false));
  EXPECT_TRUE(h.Locate("NAME", Variant("Jones"), 0, false, false));
  EXPECT_EQ(h.RecNo(), 3);
  // An unknown field is the table's message; the record flags are untouched.
  h.GetRecord(3);
  EXPECT_EQ(MessageOf([&] { h.Locate("NOPE", Variant("x"), 0, false, false); }),
            FormatKeldorMessage(hxErrNoFieldName, h.FileName() + "->NOPE"));
  EXPECT_FALSE(h.RecordChanged());
  EXPECT_FALSE(h.FieldChanged(1));
}

TEST(HandlerTable, RenameCarriesTheMemoFile) {
  TempDrive drive;
  tabletest::DbfImage img;
  img.version = 0xF5;
  img.fields = {{"NAME", 'C', 10}, {"NOTE", 'M', 10}};
  img.records = {" A         " + std::string(10, ' ')};
  WriteHostFile(drive.Host("old.dbf"), tabletest::Bytes(img));
  std::string fpt(512, '\0');
  fpt[3] = 8;
  fpt[7] = 64;
  WriteHostFile(drive.Host("old.fpt"), fpt);
  {
    HXO_dBHandler h(drive.Dos("old.dbf"), false, true);
    h.GetRecord(1);
    h.PutStringByName("NOTE", "memo text");
    h.PutRecord(1);
    h.RenameTo(drive.Dos("new.dbf"));
    EXPECT_EQ(h.FileName(), drive.Dos("new.dbf"));
  }
  EXPECT_FALSE(std::filesystem::exists(drive.Host("old.fpt")));
  HXO_dBHandler h(drive.Dos("new.dbf"), false, false);
  h.GetRecord(1);
  EXPECT_EQ(h.FieldText(2), "memo text");
}
