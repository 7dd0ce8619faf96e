// The pieces of the run that decide on their own: the archive name, the
// swap journal and its recovery, the run lock, and whether a value survives
// its new field.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "restructure/VelRun.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/table_test_util.h"

namespace {

TEST(ArchiveName, FourDigitYearAndTwoDigitPartsWithLeadingZeros) {
  platform::LocalTime date, time;
  date.year = 2026, date.month = 12, date.day = 7;
  time.hour = 6, time.minute = 15, time.second = 3;
  EXPECT_EQ(ArchiveNameFor(date, time), "Velmora_20261207061503");
  date.year = 987, date.month = 1, date.day = 2;
  time.hour = 0, time.minute = 0, time.second = 9;
  EXPECT_EQ(ArchiveNameFor(date, time), "Velmora_09870102000009");
  EXPECT_EQ(Right("00002026", 4), "2026");
  EXPECT_EQ(Right("7", 2), "7");
}

class SwapJournalTest : public ::testing::Test {
 protected:
  std::string Dos(const std::string& name) const { return d.Dos(name); }
  void Put(const std::string& name, const std::string& bytes) {
    ASSERT_TRUE(WriteHostFile(d.Host(name), bytes));
  }
  std::string Get(const std::string& name) const { return ReadHostFile(d.Host(name)); }
  bool Exists(const std::string& name) const { return platform::FileExists(Dos(name)); }
  TSwapJournal Journal() const {
    TSwapJournal j;
    j.table = "CUSTOMER";
    j.steps = {{TSwapStep::Replace, "NEWTable.dbf", "CUSTOMER.dbf"},
               {TSwapStep::Delete, "", "CUSTOMER.fpt"},
               {TSwapStep::Replace, "NEWTable.cdx", "CUSTOMER.cdx"}};
    return j;
  }
  TempDrive d{'J'};
  const std::string folder = "J:";
};

TEST_F(SwapJournalTest, UntouchedTableIsRolledBackHalfSwappedOneCompleted) {
  for (const char* f : {"CUSTOMER.dbf", "CUSTOMER.fpt", "CUSTOMER.cdx"}) Put(f, std::string("old ") + f);
  Put("NEWTable.dbf", "new dbf");
  Put("NEWTable.cdx", "new cdx");
  WriteJournal(folder, Journal());
  TSwapRecovery r = RecoverInterruptedSwap(folder);
  EXPECT_EQ(r.outcome, TSwapRecovery::RolledBack);
  EXPECT_EQ(r.Message(), "The interrupted restructure of CUSTOMER was rolled back; the table is as it was.");
  EXPECT_EQ(Get("CUSTOMER.dbf"), "old CUSTOMER.dbf");
  EXPECT_EQ(Get("CUSTOMER.fpt"), "old CUSTOMER.fpt");
  for (const char* gone : {"NEWTable.dbf", "NEWTable.cdx", "VelUpdate.jnl"})
    EXPECT_FALSE(Exists(gone)) << gone;

  // Killed after the table file was replaced: the rest is done.
  Put("CUSTOMER.dbf", "new dbf");
  Put("NEWTable.cdx", "new cdx");
  WriteJournal(folder, Journal());
  r = RecoverInterruptedSwap(folder);
  EXPECT_EQ(r.outcome, TSwapRecovery::Completed);
  EXPECT_EQ(Get("CUSTOMER.cdx"), "new cdx");
  EXPECT_FALSE(Exists("CUSTOMER.fpt"));
  EXPECT_FALSE(Exists("VelUpdate.jnl"));
  EXPECT_EQ(RecoverInterruptedSwap(folder).outcome, TSwapRecovery::None);
}

TEST_F(SwapJournalTest, JournalThatDoesNotReadAsOneIsRefusedAndNothingIsTouched) {
  Put("CUSTOMER.dbf", "old");
  Put("NEWTable.dbf", "new");
  for (const std::string& text :
       {std::string("VelUpdate table swap\ntable=CUSTOMER\nreplace=NEWTable.dbf>CUSTOMER.dbf\n"),  // no end
        std::string("VelUpdate table swap\ntable=CUSTOMER\nreplace=NEWTable.dbf>..\\Dictionary.dbf\nend\n"),
        std::string("something else\n"), std::string(70000, 'x')}) {
    Put("VelUpdate.jnl", text);
    try {
      RecoverInterruptedSwap(folder);
      ADD_FAILURE() << "accepted: " << text.substr(0, 60);
    } catch (const EVelSwapError& e) {
      EXPECT_NE(std::string(e.what()).find("The journal J:\\VelUpdate.jnl is damaged"), std::string::npos)
          << e.what();
    }
    EXPECT_EQ(Get("CUSTOMER.dbf"), "old");
    EXPECT_TRUE(Exists("NEWTable.dbf"));
  }
  // A journal marked finished is only dropped.
  Put("VelUpdate.jnl", "VelUpdate table swap finished\ntable=CUSTOMER\nend\n");
  EXPECT_EQ(RecoverInterruptedSwap(folder).outcome, TSwapRecovery::None);
  EXPECT_FALSE(Exists("VelUpdate.jnl"));
}

TEST_F(SwapJournalTest, SecondRunOnTheFolderIsRefused) {
  auto first = std::make_unique<TRunLock>(folder);
  try {
    TRunLock second(folder);
    ADD_FAILURE() << "a second run was let in";
  } catch (const EVelSwapError& e) {
    EXPECT_EQ(std::string(e.what()),
              "The data folder J: is being restructured by another run (J:\\VelUpdate.lck is in use)");
  }
  first.reset();
  EXPECT_FALSE(Exists("VelUpdate.lck"));
  TRunLock again(folder);
}

TEST(ValueSurvives, TextNumbersDatesAndLogicalsComeBackOrAreLost) {
  // Text compares as text; trailing blanks do not count.
  EXPECT_TRUE(ValueSurvives(Variant("Smith"), Variant("Smith")));
  EXPECT_FALSE(ValueSurvives(Variant("Smithson"), Variant("Smith")));
  EXPECT_TRUE(ValueSurvives(Variant("abc  "), Variant("abc")));
  // Text that is a number keeps its meaning in a numeric field.
  EXPECT_TRUE(ValueSurvives(Variant("12.50"), Variant(12.5)));
  EXPECT_FALSE(ValueSurvives(Variant("12.55"), Variant(12.5)));
  // A number cut in a narrower text field, rounded, or folded into a logical is lost.
  EXPECT_TRUE(ValueSurvives(Variant(12345.5), Variant("12345.5")));
  EXPECT_FALSE(ValueSurvives(Variant(12345.5), Variant("1234")));
  EXPECT_FALSE(ValueSurvives(Variant(12.34), Variant(12.0)));
  EXPECT_TRUE(ValueSurvives(Variant(int32_t{1}), Variant(true)));
  EXPECT_TRUE(ValueSurvives(Variant(0.0), Variant(false)));
  EXPECT_FALSE(ValueSurvives(Variant(int32_t{5}), Variant(true)));
  // A date whose text lost its year.
  const TDateTime day = EncodeDate(2026, 12, 7);
  EXPECT_TRUE(ValueSurvives(Variant::FromDate(day), Variant::FromDate(day)));
  EXPECT_FALSE(ValueSurvives(Variant::FromDate(day), Variant(DateToStr(day).substr(0, 5))));
  // Blank values have nothing to lose; a value that became blank is lost.
  EXPECT_TRUE(ValueSurvives(Variant::Null(), Variant("x")));
  EXPECT_FALSE(ValueSurvives(Variant("x"), Variant::Null()));

  TFieldSpec n62{"PRICE", 'N', 6, 2}, n82{"PRICE", 'N', 8, 2}, n81{"PRICE", 'N', 8, 1}, c20{"NAME", 'C', 20};
  EXPECT_FALSE(CanLoseValues(n62, n82));
  EXPECT_TRUE(CanLoseValues(n82, n62));
  EXPECT_TRUE(CanLoseValues(n62, n81));  // one decimal fewer
  EXPECT_FALSE(CanLoseValues(c20, {"NAME", 'M', 10, 0}));
  EXPECT_TRUE(CanLoseValues(c20, {"NAME", 'N', 20, 0}));
}

}  // namespace
