// The direct copy of record images gives the bytes the copy through the two
// datasets gives, for every value a field can hold; a value it cannot take
// as it stands sends the table through the datasets.
#include <gtest/gtest.h>

#include "app/operator_folder.h"
#include "platform/file.h"
#include "restructure/VelRun.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

struct NullView : TVelView {
  void SetInformation(const std::string&) override {}
  void SetArchiveName(const std::string& name) override { archive = name; }
  std::string ArchiveName() override { return archive; }
  void ArchiveProgress(TComponent*, uint8_t, uint8_t) override {}
  void SetTableProgressMax(int) override {}
  void SetTableProgress(int) override { ++positions; }
  void Problem(const std::string& reason) override { problem = reason; }
  std::string archive, problem;
  int positions = 0;
};

class DirectCopyTest : public ::testing::Test {
 protected:
  // MIXED: every kind of value the direct copy handles, deleted records and
  // memos; the new structure widens two fields and adds one of each type.
  void Seed(TempDrive& d, const std::string& oddNumber) {
    using opfolder::Fixed;
    const std::string dos = d.Dos("data"), host = d.Host("data");
    opfolder::WriteDictionary(dos, host,
                              {{"MIXED", "NAME", "C", 14, 0},
                               {"MIXED", "AMOUNT", "N", 12, 2},
                               {"MIXED", "BORN", "D", 8, 0},
                               {"MIXED", "OK", "L", 1, 0},
                               {"MIXED", "NOTES", "M", 10, 0},
                               {"MIXED", "CODE", "C", 4, 0},
                               {"MIXED", "NEWNUM", "N", 7, 3},
                               {"MIXED", "NEWDATE", "D", 8, 0},
                               {"MIXED", "NEWFLAG", "L", 1, 0},
                               {"MIXED", "NEWMEMO", "M", 10, 0}});
    tabletest::DbfImage t;
    t.version = 0xF5;
    t.fields = {{"NAME", 'C', 10}, {"AMOUNT", 'N', 8, 2}, {"BORN", 'D', 8},
                {"OK", 'L', 1},    {"NOTES", 'M', 10},    {"CODE", 'C', 4}};
    std::vector<int> blocks;
    const std::string fpt = opfolder::FptImage({"first note", "", "M\x81ller's note\r\n"}, blocks);
    WriteHostFile(host + "/MIXED.FPT", fpt);
    const struct {
      char flag;
      const char *name, *amount, *born, *ok;
      int memo;
    } rows[] = {{' ', "  lead", "   12.50", "20240229", "T", 0},
                {' ', "M\x81ller", "  -3.75", "        ", "t", -1},
                {'*', "gone", "    1.00", "20240101", "T", 1},
                {' ', "", "        ", "20230230", "Y", 1},
                {' ', "full text!", "99999.99", "00000000", "?", 2},
                {' ', "z", "    0.00", "abcdefgh", " ", -1},
                {' ', "n", oddNumber.c_str(), "19991231", "F", -1}};
    for (const auto& r : rows)
      t.records.push_back(Fixed("%c%-10s%8s%-8s%s%10s%-4s", r.flag, r.name, r.amount, r.born, r.ok,
                                r.memo < 0 ? "" : std::to_string(blocks[static_cast<size_t>(r.memo)]).c_str(),
                                "ab"));
    WriteHostFile(host + "/MIXED.DBF", tabletest::Bytes(t));
  }
  // Restructures the folder of `d`, with the direct copy or through the datasets.
  void Restructure(TempDrive& d, bool direct, int second) {
    TComponent owner;
    const TVelComponents c = CreateVelComponents(owner);
    for (TKeldorDataSet* tb : {c.tbDictionary, c.tbNewTable, c.tbOriginalTable})
      tb->SetDatabaseName(d.Dos("data"));
    TStringList names, files;
    NullView view;
    TVelRun run(c, names, files, view);
    run.ArchiveFolder = d.Dos("backup\\");
    run.DirectCopy = direct;
    run.Clock = [second] {
      platform::LocalTime t;
      t.year = 2026, t.month = 12, t.day = 7, t.second = second;
      return t;
    };
    c.tbDictionary->Open();
    EXPECT_TRUE(run.Start()) << view.problem;
    EXPECT_GE(view.positions, 7);  // position 0, then each of the six live records (twice after a fallback)
  }
  // The table's bytes without the date of the last update and the change stamp.
  static std::string Comparable(const TempDrive& d, const std::string& name) {
    std::string s = ReadHostFile(d.Host("data/" + name));
    if (s.size() > 20 && name.find(".DBF") != std::string::npos) {
      s.replace(1, 3, "...");
      s.replace(16, 4, "....");
    }
    return s;
  }

  TempDrive viaDataSets{'P'};
  TempDrive direct{'Q'};
  ScopedEnv windir{"VELUPDATE_WINDIR", viaDataSets.Root() + "/windows"};
};

TEST_F(DirectCopyTest, GivesTheBytesOfTheCopyThroughTheDataSets) {
  int second = 0;
  for (const std::string& odd : {std::string("  -0.50"), std::string("  +5.00")}) {
    SCOPED_TRACE(odd);
    Seed(viaDataSets, odd);
    Seed(direct, odd);
    Restructure(viaDataSets, false, ++second);
    Restructure(direct, true, second);
    EXPECT_EQ(Comparable(direct, "MIXED.DBF"), Comparable(viaDataSets, "MIXED.DBF"));
    EXPECT_EQ(Comparable(direct, "MIXED.FPT"), Comparable(viaDataSets, "MIXED.FPT"));
    const auto rows = opfolder::Rows(direct.Dos("data"), "MIXED");
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].at("NAME"), "  lead");
    EXPECT_EQ(rows[1].at("NAME"), "M\x81ller");
    EXPECT_EQ(rows[3].at("NOTES"), "M\x81ller's note\r\n");
  }
}

}  // namespace
