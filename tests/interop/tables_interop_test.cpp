// Tables written by python3-dbf open through the engine with the peer's field
// list and record count; records the engine writes read back through dbfread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_tool.h"
#include "tables/table_test_util.h"

namespace {

const char* kPython = "/usr/bin/python3";
const std::string kPeer = std::string(VEL_SOURCE_DIR) + "/tests/interop/tables_peer.py";

bool PeerAvailable() {
  std::string cmd = std::string(kPython) + " -c \"import dbf, dbfread\" >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Runs `cmd` in the C locale and returns what it writes on stdout.
std::string RunPeer(const std::string& cmd) {
  std::string out;
  FILE* p = popen(("LC_ALL=C LANG=C " + cmd + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

struct PeerTable {
  int64_t records = 0;
  struct Field {
    std::string name;
    char type;
    int length, decimals;
  };
  std::vector<Field> fields;
};

std::map<std::string, PeerTable> ParseMake(const std::string& out) {
  std::map<std::string, PeerTable> tables;
  std::istringstream in(out);
  std::string word, current;
  while (in >> word) {
    if (word == "TABLE") {
      in >> current;
      in >> tables[current].records;
    } else if (word == "FIELD") {
      PeerTable::Field f;
      std::string type;
      in >> f.name >> type >> f.length >> f.decimals;
      f.type = type[0];
      tables[current].fields.push_back(f);
    }
  }
  return tables;
}

void PutField(HXO_dBaseFld& t, const std::string& name, const std::string& value, bool right = false) {
  const ThxDBFFields& f = t.FieldEntryByName(name);
  std::string v = value;
  if (v.size() < f.length)
    v = right ? std::string(f.length - v.size(), ' ') + v : v + std::string(f.length - v.size(), ' ');
  std::memcpy(t.RecordBuffer() + f.offset, v.data(), f.length);
}

}  // namespace

TEST(TablesInterop, PeerTablesOpenWithThePeersFieldsAndCounts) {
  VEL_REQUIRE(PeerAvailable(), "python3-dbf or python3-dbfread");
  TempDrive drive;
  std::string out = RunPeer(std::string(kPython) + " " + kPeer + " make " + drive.Root());
  auto tables = ParseMake(out);
  ASSERT_EQ(tables.size(), 5u) << out;
  for (const auto& [file, peer] : tables) {
    SCOPED_TRACE(file);
    HXO_dBaseFld t(drive.Dos(file), true, false);
    EXPECT_EQ(t.RecordCount(), peer.records);
    // The peer leaves Visual FoxPro's 263-byte area in FoxPro 2 tables too:
    // the descriptors still end at the terminator.
    ASSERT_EQ(t.FieldCount(), static_cast<int>(peer.fields.size()));
    for (int i = 1; i <= t.FieldCount(); ++i) {
      const ThxDBFFields* f = t.FieldEntry(i);
      const auto& want = peer.fields[static_cast<size_t>(i - 1)];
      EXPECT_EQ(HxCompareText(f->name, want.name), 0) << f->name;
      EXPECT_EQ(f->type, want.type);
      EXPECT_EQ(static_cast<int>(f->length), want.length);
      EXPECT_EQ(f->type == 'C' ? 0 : f->decimals, want.decimals);
      EXPECT_EQ(t.FieldNumber(want.name), i);
    }
    EXPECT_EQ(t.HasMemo(), peer.fields.back().type == 'M');
    t.GetRecord(2);
    const ThxDBFFields& name = t.FieldEntryByName("NAME");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.RecordBuffer()) + name.offset, 5), "Name1");
    const ThxDBFFields& born = t.FieldEntryByName("born");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t.RecordBuffer()) + born.offset, 8), "20200102");
  }
}

TEST(TablesInterop, RecordsWeWriteReadBackThroughDbfread) {
  VEL_REQUIRE(PeerAvailable(), "python3-dbf or python3-dbfread");
  TempDrive drive;
  std::string made = RunPeer(std::string(kPython) + " " + kPeer + " make " + drive.Root());
  ASSERT_EQ(ParseMake(made).size(), 5u) << made;

  for (const std::string file : {"db3_p.dbf", "vfp_p.dbf", "fp_m.dbf", "db3_m.dbf"}) {
    SCOPED_TRACE(file);
    {
      HXO_dBaseFld t(drive.Dos(file), file[0] != 'v', true);  // shared and exclusive alike
      t.GetRecord(2);
      PutField(t, "NAME", "Changed");
      PutField(t, "AMOUNT", "99.50", true);
      PutField(t, "FLAG", "F");
      PutField(t, "BORN", "20261231");
      t.PutRecord(2);
      // A fresh record: blank, then the fields; memo fields stay empty (blank / 0).
      std::memset(t.RecordBuffer(), ' ', t.RecordLength());
      if (t.Version() == 0x30 && t.FieldNumber("NOTES")) {
        const ThxDBFFields& m = t.FieldEntryByName("NOTES");
        std::memset(t.RecordBuffer() + m.offset, 0, m.length);
      }
      PutField(t, "NAME", "Appended");
      PutField(t, "AMOUNT", "-12.75", true);
      PutField(t, "FLAG", "T");
      PutField(t, "BORN", "19991231");
      t.AppendRecord();
      PutField(t, "NAME", "Second");
      t.AppendRecord();
      EXPECT_EQ(t.RecordCount(), 5);
    }
    std::string out = RunPeer(std::string(kPython) + " " + kPeer + " read " + drive.Host(file));
    std::string want =
        "COUNT 5\n"
        "REC\tName0\t0.00\tT\t2020-01-01\n"
        "REC\tChanged\t99.50\tF\t2026-12-31\n"
        "REC\tName2\t2.50\tT\t2020-01-03\n"
        "REC\tAppended\t-12.75\tT\t1999-12-31\n"
        "REC\tSecond\t-12.75\tT\t1999-12-31\n";
    EXPECT_EQ(out, want);
  }

  // A table of our own making (raw image, header year 26) reads through the peer too.
  tabletest::DbfImage img;
  img.fields = {{"NAME", 'C', 12}, {"AMOUNT", 'N', 9, 2}, {"FLAG", 'L', 1}, {"BORN", 'D', 8}};
  WriteHostFile(drive.Host("own.dbf"), tabletest::Bytes(img));
  {
    HXO_dBaseFld t(drive.Dos("OWN.DBF"), true, true);
    PutField(t, "NAME", "Ours");
    PutField(t, "AMOUNT", "1.00", true);
    PutField(t, "FLAG", "F");
    PutField(t, "BORN", "20260108");
    t.AppendRecord();
  }
  EXPECT_EQ(RunPeer(std::string(kPython) + " " + kPeer + " read " + drive.Host("own.dbf")),
            "COUNT 1\nREC\tOurs\t1.00\tF\t2026-01-08\n");
}

TEST(TablesInterop, VeltoolInfoReportsThePeersTable) {
  VEL_REQUIRE(PeerAvailable(), "python3-dbf or python3-dbfread");
  TempDrive drive;
  ASSERT_EQ(ParseMake(RunPeer(std::string(kPython) + " " + kPeer + " make " + drive.Root())).size(), 5u);
  std::string json = RunPeer(std::string(VEL_VELTOOL) + " info " + drive.Host("fp_m.dbf") + " --json");
  EXPECT_NE(json.find("\"version\":245,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"records\":3,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"header_length\":456,"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"name\":\"NOTES\",\"type\":\"M\",\"width\":10,\"decimals\":0,\"offset\":31}"),
            std::string::npos)
      << json;
  // A DOS name works through the drive map the tool is given.
  std::string text = RunPeer("VELUPDATE_DRIVE_T=" + drive.Root() + " " + VEL_VELTOOL + " info '" +
                             drive.Dos("db3_p.dbf") + "'");
  EXPECT_NE(text.find("records\t3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("AMOUNT\tN\t9\t2\t13\n"), std::string::npos) << text;
  // Errors: the engine's message on stderr, a non-zero exit.
  EXPECT_NE(
      std::system((std::string(VEL_VELTOOL) + " info " + drive.Host("none.dbf") + " 2>/dev/null").c_str()),
      0);
}
