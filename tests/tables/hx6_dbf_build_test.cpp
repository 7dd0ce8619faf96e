#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/system.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "table_test_util.h"
#include "tables/hx6_cnst.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"

using tabletest::MessageOf;

namespace {

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Names of the files in the drive's root folder, sorted.
std::vector<std::string> Listing(const TempDrive& drive) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(drive.Root()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void AddSampleFields(HXO_DBFBuild& b, bool memo) {
  b.AddField("NAME", 'C', 300, 0);
  b.AddField("AMOUNT", 'N', 12, 2);
  if (memo) b.AddField("MEMO", 'M', 10, 0);
}

}  // namespace

TEST(TableBuilders, FoxProTableWithMemoHasTheHeaderItsFieldsNeed) {
  TempDrive drive;
  {
    HXO_DBFoxBuild b(drive.Dos("SAMPLE"));  // ".DBF" added
    AddSampleFields(b, true);
    EXPECT_EQ(b.DiskFile(), nullptr);
    b.Build();
    ASSERT_NE(b.DiskFile(), nullptr);
    EXPECT_EQ(b.DiskFile()->FileName(), drive.Dos("SAMPLE.DBF"));
  }
  const std::string dbf = ReadHostFile(drive.Host("SAMPLE.DBF"));
  ASSERT_EQ(dbf.size(), 130u);  // 32 * (3 + 1) + 2
  const uint8_t* h = U8(dbf);
  const platform::LocalTime today = platform::Now();
  EXPECT_EQ(h[0], 0xF5);
  EXPECT_EQ(h[1], today.year % 100);
  EXPECT_EQ(h[2], today.month);
  EXPECT_EQ(h[3], today.day);
  EXPECT_EQ(GetLE32(h + 4), 0u);
  EXPECT_EQ(GetLE16(h + 8), 129);  // points at the 0x1A
  EXPECT_EQ(GetLE16(h + 10), 323);
  EXPECT_EQ(std::string(dbf, 12, 20), std::string(20, '\0'));
  // NAME C 300: the width in both bytes.
  EXPECT_EQ(std::string(dbf, 32, 12), std::string("NAME\0\0\0\0\0\0\0C", 12));
  EXPECT_EQ(h[32 + 16], 44);
  EXPECT_EQ(h[32 + 17], 1);
  EXPECT_EQ(h[64 + 11], 'N');
  EXPECT_EQ(h[64 + 16], 12);
  EXPECT_EQ(h[64 + 17], 2);
  EXPECT_EQ(h[96 + 11], 'M');
  EXPECT_EQ(h[96 + 16], 10);
  for (int d = 32; d < 128; d += 32) {
    EXPECT_EQ(std::string(dbf, static_cast<size_t>(d) + 12, 4), std::string(4, '\0'));
    EXPECT_EQ(std::string(dbf, static_cast<size_t>(d) + 18, 14), std::string(14, '\0'));
  }
  EXPECT_EQ(h[128], 0x0D);
  EXPECT_EQ(h[129], 0x1A);

  const std::string fpt = ReadHostFile(drive.Host("SAMPLE.FPT"));
  ASSERT_EQ(fpt.size(), 512u);
  EXPECT_EQ(GetBE32(U8(fpt)), 8u);
  EXPECT_EQ(GetBE16(U8(fpt) + 6), 64);
  EXPECT_EQ(std::count(fpt.begin(), fpt.end(), '\0'), 512 - 2);

  // The table object opens it empty, with the fields as declared.
  HXO_dBaseFld t(drive.Dos("SAMPLE.DBF"), true, true);
  EXPECT_EQ(t.RecordCount(), 0);
  ASSERT_EQ(t.FieldCount(), 3);
  EXPECT_EQ(t.FieldEntry(1)->length, 300u);
  EXPECT_EQ(t.FieldEntry(2)->offset, 301u);
  EXPECT_EQ(t.FieldDecimals(2), 2);
  EXPECT_TRUE(t.HasMemo());
  ASSERT_NE(t.MemoFile(), nullptr);
  EXPECT_STREQ(t.MemoFile()->FormatName(), "FoxPro");
}

TEST(TableBuilders, WithoutMemoFieldsEveryBuilderWritesVersion3AndNoMemoFile) {
  TempDrive drive;
  HXO_DBFBuild db3(drive.Dos("A"));
  HXO_DB4Build db4(drive.Dos("B"));
  HXO_DBFoxBuild fox(drive.Dos("C"));
  for (HXO_DBFBuild* b : std::initializer_list<HXO_DBFBuild*>{&db3, &db4, &fox}) {
    AddSampleFields(*b, false);
    b->Build();
    EXPECT_EQ(b->HeaderImage()[0], 0x03);
    EXPECT_FALSE(b->HasMemo());
  }
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"A.DBF", "B.DBF", "C.DBF"}));
}

TEST(TableBuilders, AddFieldAppliesTheRulesOfEachType) {
  TempDrive drive;
  {
    HXO_DBFBuild b(drive.Dos("t.dbf"));
    b.AddField("customername", 'c', 20, 7);  // 12 letters, lower case; C ignores decimals
    b.AddField("  ", 'N', 5, 0);             // blank: nothing added
    b.AddField("", 'N', 5, 0);
    b.AddField(" born ", 'd', 99, 3);  // D is 8 whatever it is given
    b.AddField("ok", 'L', 7, 1);
    b.AddField("pic", 'G', 1, 0);
    b.AddField("amount", 'F', 9, 3);
    EXPECT_EQ(b.Count(), 5);
    EXPECT_EQ(b.RecordLength(), 1 + 20 + 8 + 1 + 10 + 9);
    EXPECT_TRUE(b.HasMemo());  // G needs the memo file
  }
  HXO_dBaseFld t(drive.Dos("T.DBF"), false, false);
  EXPECT_EQ(t.Version(), 0x83);
  ASSERT_EQ(t.FieldCount(), 5);
  EXPECT_EQ(t.FieldEntry(1)->name, "CUSTOMERNA");
  EXPECT_EQ(t.FieldEntry(1)->type, 'C');
  EXPECT_EQ(t.Descriptor(1)[17], 0);  // the high width byte, not the decimals
  EXPECT_EQ(t.FieldEntry(2)->name, "BORN");
  EXPECT_EQ(t.FieldEntry(2)->length, 8u);
  EXPECT_EQ(t.Descriptor(2)[17], 0);
  EXPECT_EQ(t.FieldEntry(3)->length, 1u);
  EXPECT_EQ(t.FieldEntry(4)->length, 10u);
  EXPECT_EQ(t.FieldEntry(5)->type, 'F');
  EXPECT_EQ(t.FieldEntry(5)->decimals, 3);
  EXPECT_EQ(t.RecordLength(), 49u);
}

TEST(TableBuilders, MemoFilesCarryTheirFormatsHeaders) {
  TempDrive drive;
  {
    HXO_DBFBuild b3(drive.Dos("CUSTOMERS.DBF"));
    b3.AddField("NOTES", 'M', 10, 0);
    b3.Build();
    EXPECT_EQ(b3.HeaderImage()[0], 0x83);
  }
  std::string dbt = ReadHostFile(drive.Host("CUSTOMERS.DBT"));
  ASSERT_EQ(dbt.size(), 513u);
  EXPECT_EQ(GetLE32(U8(dbt)), 1u);
  EXPECT_EQ(std::string(dbt, 4, 4), std::string(4, '\0'));
  EXPECT_EQ(std::string(dbt, 8, 8), "CUSTOMER");
  EXPECT_EQ(std::string(dbt, 16, 496), std::string(496, '\0'));
  EXPECT_EQ(dbt[512], '\x1A');

  TempDrive other('U');
  {
    HXO_DB4Build b4(other.Dos("CUSTOMERS"));
    b4.AddField("NOTES", 'B', 10, 0);
    b4.Build();
    EXPECT_EQ(b4.HeaderImage()[0], 0x8B);
  }
  dbt = ReadHostFile(other.Host("CUSTOMERS.DBT"));
  const std::string want = std::string("\x01\0\0\0\0\0\0\0CUSTOMER\0\0\x02\x01\0\x02\0\0", 24);
  EXPECT_EQ(dbt, want);
  {
    HXO_DB4Build b4(other.Dos("AB"));  // a short name is zero-padded
    b4.AddField("NOTES", 'M', 10, 0);
  }
  EXPECT_EQ(std::string(ReadHostFile(other.Host("AB.DBT")), 8, 8), std::string("AB\0\0\0\0\0\0", 8));

  // Memos written through the table object read back from each kind of new file.
  for (const char* name : {"CUSTOMERS.DBF"}) {
    for (TempDrive* d : {&drive, &other}) {
      HXO_dBaseFld t(d->Dos(name), true, true);
      const std::string text = "first memo\r\n" + std::string(700, 'x');
      t.BlankRecord();
      t.WriteMemo(1, text.data(), text.size());
      t.AppendRecord();
      t.BlankRecord();
      t.WriteMemo(1, "second", 6);
      t.AppendRecord();
      t.GetRecord(1);
      EXPECT_EQ(t.ReadMemoText(1), text);
      t.GetRecord(2);
      EXPECT_EQ(t.ReadMemoText(1), "second");
    }
  }
}

TEST(TableBuilders, TheMemoFileTakesTheLetterCaseOfTheTablesExtension) {
  TempDrive drive;
  auto memoOf = [&](HXO_DBFBuild&& b) {
    b.AddField("N", 'M', 10, 0);
    b.Build();
    return ExtractFileName(b.MemoFileName());
  };
  EXPECT_EQ(memoOf(HXO_DBFoxBuild(drive.Dos("upper"))), "upper.FPT");  // ".DBF" added
  EXPECT_EQ(memoOf(HXO_DBFoxBuild(drive.Dos("lower.dbf"))), "lower.fpt");
  EXPECT_EQ(memoOf(HXO_DBFoxBuild(drive.Dos("mixed.Dbf"))), "mixed.fpt");  // as the format has it
  EXPECT_EQ(memoOf(HXO_DBFBuild(drive.Dos("db3.dbf"))), "db3.dbt");
  EXPECT_EQ(memoOf(HXO_DB4Build(drive.Dos("db4.tab"))), "db4.dbt");
  EXPECT_EQ(memoOf(HXO_DB4Build(drive.Dos("DB4X.Dbf"))), "DB4X.DBT");
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"DB4X.DBT", "DB4X.Dbf", "db3.dbf", "db3.dbt", "db4.dbt",
                                                      "db4.tab", "lower.dbf", "lower.fpt", "mixed.Dbf",
                                                      "mixed.fpt", "upper.DBF", "upper.FPT"}));
}

TEST(TableBuilders, DestroyingAnUnbuiltBuilderBuildsWithItsOwnMemoFormat) {
  TempDrive drive;
  {
    HXO_DBFoxBuild b(drive.Dos("FOX"));
    b.AddField("N", 'M', 0, 0);
  }
  {
    HXO_DB4Build b(drive.Dos("DB4"));
    b.AddField("N", 'M', 0, 0);
  }
  {
    HXO_DBFBuild b(drive.Dos("DB3"));
    b.AddField("N", 'M', 0, 0);
  }
  EXPECT_EQ(ReadHostFile(drive.Host("FOX.FPT")).size(), 512u);
  EXPECT_EQ(ReadHostFile(drive.Host("DB4.DBT")).size(), 24u);
  EXPECT_EQ(ReadHostFile(drive.Host("DB3.DBT")).size(), 513u);
  EXPECT_EQ(static_cast<uint8_t>(ReadHostFile(drive.Host("FOX.DBF"))[0]), 0xF5);
  EXPECT_EQ(static_cast<uint8_t>(ReadHostFile(drive.Host("DB4.DBF"))[0]), 0x8B);
}

TEST(TableBuilders, TheNewTableStaysOpenExclusivelyUntilTheBuilderGoes) {
  TempDrive drive;
  {
    HXO_DBFBuild b(drive.Dos("HELD"));
    b.AddField("A", 'C', 3, 0);
    b.Build();
    b.Build();  // runs once
    EXPECT_FALSE(b.BuildPending());
    EXPECT_EQ(MessageOf([&] { HXO_dBaseFld t(drive.Dos("HELD"), true, false); }),
              "Access denied to file " + drive.Dos("HELD.DBF"));
  }
  HXO_dBaseFld t(drive.Dos("HELD"), true, false);
  EXPECT_EQ(t.FieldCount(), 1);
}

TEST(TableBuilders, ReplacesAnExistingTableButNotOneThatIsOpen) {
  TempDrive drive;
  tabletest::DbfImage old = tabletest::SampleTable(3);
  const std::string oldBytes = tabletest::Bytes(old);
  WriteHostFile(drive.Host("OLD.DBF"), oldBytes);
  const std::string oldMemo = "old memo file";
  WriteHostFile(drive.Host("OLD.fpt"), oldMemo);

  {
    // The old table is open elsewhere: nothing is replaced, nothing is left behind.
    HXO_dBaseFld open(drive.Dos("OLD"), true, false);
    HXO_DBFoxBuild b(drive.Dos("old.dbf"));
    b.AddField("X", 'M', 10, 0);
    EXPECT_EQ(MessageOf([&] { b.Build(); }), "Could not create file " + drive.Dos("old.dbf"));
    EXPECT_EQ(b.DiskFile(), nullptr);
  }  // the destructor does not try again
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.DBF")), oldBytes);
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.fpt")), oldMemo);
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"OLD.DBF", "OLD.fpt"}));

  {
    // Only its memo file is open: the table is kept as well.
    auto memo = platform::File::Open(drive.Dos("OLD.FPT"), platform::Access::Read, platform::Share::Shared);
    ASSERT_TRUE(memo);
    HXO_DBFoxBuild b(drive.Dos("OLD"));
    b.AddField("X", 'M', 10, 0);
    EXPECT_EQ(MessageOf([&] { b.Build(); }), "Could not create file " + drive.Dos("OLD.FPT"));
  }
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.DBF")), oldBytes);
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"OLD.DBF", "OLD.fpt"}));

  {
    HXO_DBFoxBuild b(drive.Dos("OLD"));
    b.AddField("X", 'M', 10, 0);
    b.Build();
  }
  // Replaced under the names on disk, whatever the spelling asked for.
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"OLD.DBF", "OLD.fpt"}));
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.DBF")).size(), 66u);
  EXPECT_EQ(ReadHostFile(drive.Host("OLD.fpt")).size(), 512u);

  // A read-only table and a missing folder are refused the same way.
  std::filesystem::permissions(drive.Host("OLD.DBF"), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::remove);
  if (::access(drive.Host("OLD.DBF").c_str(), W_OK) != 0) {  // root may write anyway
    HXO_DBFBuild b(drive.Dos("OLD"));
    b.AddField("Y", 'C', 1, 0);
    EXPECT_EQ(MessageOf([&] { b.Build(); }), "Could not create file " + drive.Dos("OLD.DBF"));
  }
  HXO_DBFBuild nowhere(drive.Dos("NOFOLDER\\NEW"));
  EXPECT_EQ(MessageOf([&] { nowhere.Build(); }), "Could not create file " + drive.Dos("NOFOLDER\\NEW.DBF"));
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"OLD.DBF", "OLD.fpt"}));
}

TEST(TableBuilders, AFullDiskLeavesTheOldTableAndNoHalfWrittenFiles) {
  TempDrive drive;
  std::filesystem::create_directory(drive.Host("disk"));
  platform::DriveMapping m;
  m.hostRoot = drive.Host("disk");
  m.removable = true;
  m.capacity = 1000;
  platform::MapDrive('Q', m);
  struct Unmap {
    ~Unmap() { platform::UnmapDrive('Q'); }
  } unmap;

  const std::string oldBytes(600, 'o');
  WriteHostFile(drive.Host("disk/T.DBF"), oldBytes);
  {
    HXO_DBFoxBuild b("Q:\\T");
    for (int i = 0; i < 20; ++i) b.AddField("F" + std::to_string(i), 'C', 10, 0);  // 674 bytes
    EXPECT_EQ(MessageOf([&] { b.Build(); }), "Error writing to Q:\\T.DBF");
  }
  EXPECT_EQ(ReadHostFile(drive.Host("disk/T.DBF")), oldBytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host("disk")), {}), 1);

  // The table fits, its memo file does not: neither is put in place.
  std::filesystem::remove(drive.Host("disk/T.DBF"));
  WriteHostFile(drive.Host("disk/filler"), std::string(400, 'f'));
  {
    HXO_DBFoxBuild b("Q:\\T");
    b.AddField("NAME", 'C', 10, 0);
    b.AddField("NOTES", 'M', 10, 0);  // 98-byte table, 512-byte memo file
    EXPECT_EQ(MessageOf([&] { b.Build(); }), "Error writing to Q:\\T.FPT");
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(drive.Host("disk")), {}), 1);
}

TEST(TableBuilders, AKilledBuildNeverLeavesAHalfWrittenTable) {
  TempDrive drive;
  const int fields = 400;
  auto build = [&] {
    HXO_DBFoxBuild b(drive.Dos("RACE"));
    for (int i = 0; i < fields; ++i) b.AddField("F" + std::to_string(i), i % 7 == 0 ? 'M' : 'N', 10, 2);
    b.Build();
  };
  build();
  const std::string whole = ReadHostFile(drive.Host("RACE.DBF"));
  for (int round = 0; round < 5; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        for (;;) build();
      } catch (...) {
        ::_exit(1);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 13 * round));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    // Whatever moment the build was stopped at, the table is whole (the date
    // bytes may differ only across midnight) and its memo file is there.
    const std::string now = ReadHostFile(drive.Host("RACE.DBF"));
    ASSERT_EQ(now.size(), whole.size());
    EXPECT_EQ(now.substr(4), whole.substr(4));
    EXPECT_EQ(ReadHostFile(drive.Host("RACE.FPT")).size(), 512u);
    HXO_dBaseFld t(drive.Dos("RACE"), false, false);
    EXPECT_EQ(t.FieldCount(), fields);
  }
}

// ---- the creator's field list ----

namespace {

std::string Verdict(const std::vector<std::string>& lines) {
  const ThxFieldListCheck c = CheckFieldList(lines);
  if (c.valid) return "valid";
  return std::to_string(c.line) + ": " + c.reason;
}

}  // namespace

TEST(FieldListCheck, SplitsEachLineIntoItsFourParts) {
  const ThxFieldListCheck c = CheckFieldList({"NAME;C;30;0", "AMOUNT;N;12;2;", "BORN;D;8;0  ",
                                              "ACTIVE;L;1;0;; ", "NOTES;m;10;0", "RATE;N;200;1000"});
  ASSERT_TRUE(c.valid) << c.reason;
  ASSERT_EQ(c.fields.size(), 6u);
  EXPECT_EQ(c.fields[1].name, "AMOUNT");
  EXPECT_EQ(c.fields[1].size, 12);
  EXPECT_EQ(c.fields[1].decimals, 2);
  EXPECT_EQ(c.fields[4].type, 'm');      // as written; the builder upper-cases it
  EXPECT_EQ(c.fields[5].decimals, 100);  // only the first three characters count
}

TEST(FieldListCheck, LinesThatDoNotSplitAreInvalidWithTheirLineAndReason) {
  EXPECT_EQ(Verdict({}), "0: the list has no lines");
  EXPECT_EQ(Verdict({"NAME"}), "1: no \";\" after the name");
  EXPECT_EQ(Verdict({"A;C;1;0", "NAME;CH;30;0"}), "2: the type \"CH\" is not exactly one character");
  EXPECT_EQ(Verdict({"NAME;;30;0"}), "1: the type \"\" is not exactly one character");
  EXPECT_EQ(Verdict({"NAME;C"}), "1: no \";\" after the type");
  EXPECT_EQ(Verdict({"NAME;C;thirty;0"}), "1: the size \"thirty\" is not a whole number");
  EXPECT_EQ(Verdict({"NAME;C;30"}), "1: no decimals after the size");
  EXPECT_EQ(Verdict({"NAME;C;30;;"}), "1: no decimals after the size");
  EXPECT_EQ(Verdict({"NAME;N;10;2a"}), "1: the decimals \"2a\" are not a whole number");
  EXPECT_EQ(Verdict({"NAME;C;30;0;extra"}), "1: the decimals \"0;e\" are not a whole number");
  EXPECT_EQ(Verdict({"NAME;C;99999999999;0"}), "1: the size \"99999999999\" is not a whole number");
  EXPECT_EQ(Verdict({"NAME;C; 30;0"}), "valid");  // leading blanks are part of a number
}

TEST(FieldListCheck, EmptyLinesAndRepeatedNamesAreInvalid) {
  EXPECT_EQ(Verdict({""}), "1: the line is empty");
  EXPECT_EQ(Verdict({" ; ;", "NAME;C;1;0"}), "1: the line is empty");
  EXPECT_EQ(Verdict({"NAME;C;1;0", "   "}), "2: the line is empty");
  EXPECT_EQ(Verdict({"Name;C;10;0", "X;L;1;0", "NAME;N;5;0"}), "3: the name \"NAME\" repeats line 1");
  EXPECT_EQ(Verdict({"NAME ;C;10;0", " name;N;5;0"}), "2: the name \"NAME\" repeats line 1");
  // Names repeat as they are stored: cut to ten characters.
  EXPECT_EQ(Verdict({"CUSTOMERNAME1;C;10;0", "CUSTOMERNAME2;C;10;0"}),
            "2: the name \"CUSTOMERNA\" repeats line 1");
  // A field without a name is skipped by the builder, and may stand first.
  EXPECT_EQ(Verdict({";C;10;0", "NAME;C;1;0"}), "valid");
  EXPECT_EQ(Verdict({"  ;C;10;0", "NAME;C;1;0", ";N;1;0"}), "3: a second field without a name (line 1)");
}

TEST(FieldListCheck, FieldsThatWouldNotFitTheHeaderAreInvalid) {
  EXPECT_EQ(Verdict({"1ST;C;1;0"}),
            "1: the name \"1ST\" is not a field name (a letter, then letters, digits and underscores)");
  EXPECT_EQ(Verdict({"FIRST NAME;C;1;0"}).substr(0, 33), "1: the name \"FIRST NAME\" is not a");
  EXPECT_EQ(Verdict({"NAM\xC9;C;1;0"}).substr(0, 14), "1: the name \"N");  // outside ASCII
  EXPECT_EQ(Verdict({"LAST_NAME2;C;1;0", "_X;C;1;0"}).substr(0, 19), "2: the name \"_X\" is");
  EXPECT_EQ(Verdict({"NAME;C;0;0"}), "1: a field of type C is 1 to 65534 characters wide, not 0");
  EXPECT_EQ(Verdict({"NAME;C;65535;0"}), "1: a field of type C is 1 to 65534 characters wide, not 65535");
  EXPECT_EQ(Verdict({"NAME;C;10;99"}), "valid");  // a C field has no decimals to check
  EXPECT_EQ(Verdict({"N;N;256;0"}), "1: a field of type N is 1 to 255 wide, not 256");
  EXPECT_EQ(Verdict({"N;X;-5;0"}), "1: a field of type X is 1 to 255 wide, not -5");
  EXPECT_EQ(Verdict({"N;N;30;1000"}), "1: 100 decimals do not fit a width of 30");
  EXPECT_EQ(Verdict({"N;N;5;-1"}), "1: -1 decimals do not fit a width of 5");
  EXPECT_EQ(Verdict({"N;N;5;5"}), "valid");
  EXPECT_EQ(Verdict({"D;D;0;9", "L;L;-3;0", "M;M;999;0", "G;g;0;0"}), "valid");  // fixed widths

  // The record: the deletion flag and every field, at most 65535 bytes.
  EXPECT_EQ(Verdict({"A;C;65534;0"}), "valid");
  EXPECT_EQ(Verdict({"A;C;65000;0", "B;N;200;0", "C;C;326;0", "D;D;8;0"}), "valid");
  EXPECT_EQ(Verdict({"A;C;65000;0", "B;N;200;0", "C;C;334;0"}), "valid");
  EXPECT_EQ(Verdict({"A;C;65000;0", "B;N;200;0", "C;C;334;0", "D;L;1;0"}),
            "4: the record would be 65536 bytes long, more than 65535");
  std::vector<std::string> many;
  for (int i = 0; i < 2047; ++i) many.push_back("F" + std::to_string(i) + ";L;1;0");
  EXPECT_EQ(Verdict(many), "2047: a table holds at most 2046 fields");
  many.pop_back();
  EXPECT_EQ(Verdict(many), "valid");
}

TEST(TableBuilders, TwoProcessesBuildingOneTableNeverMixTheirFiles) {
  TempDrive drive;
  // Each builds the same table with its own field count, again and again.
  auto buildLoop = [&](int fields, int rounds) {
    int refused = 0;
    for (int r = 0; r < rounds; ++r) {
      try {
        HXO_DBFoxBuild b(drive.Dos("SHARED"));
        for (int i = 0; i < fields; ++i) b.AddField("F" + std::to_string(i), 'M', 10, 0);
        b.Build();
      } catch (const std::exception& e) {
        // The other side holds the table or its memo file open.
        const std::string m = e.what();
        if (m.rfind("Could not create file", 0) != 0 && m.rfind("Access denied to file", 0) != 0) return -1;
        ++refused;
      }
    }
    return refused;
  };
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(buildLoop(3, 150) < 0 ? 1 : 0);
  EXPECT_GE(buildLoop(5, 150), 0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Whoever built last, the table is one of the two, whole, beside its memo file.
  const std::string dbf = ReadHostFile(drive.Host("SHARED.DBF"));
  EXPECT_TRUE(dbf.size() == 32 * 4 + 2 || dbf.size() == 32 * 6 + 2) << dbf.size();
  HXO_dBaseFld t(drive.Dos("SHARED"), false, false);
  EXPECT_EQ(static_cast<size_t>(t.FieldCount()), (dbf.size() - 34) / 32);
  EXPECT_EQ(Listing(drive), (std::vector<std::string>{"SHARED.DBF", "SHARED.FPT"}));
}
