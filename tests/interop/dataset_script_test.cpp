// A script of dataset operations on tables python3-dbf wrote in the OEM code
// page: open, filter, index order, locate, edit with a memo, delete, append,
// master/detail. Afterwards the table's bytes are checked and python3-dbfread
// reads back every record, text outside ASCII included.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dataset/Keldor6db.h"
#include "index/hx6_indx.h"
#include "platform/text.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbsy.h"

namespace {

const char* kPython = "/usr/bin/python3";

const char* kPeer = R"PY(
import datetime, sys
sys.stdout.reconfigure(encoding="utf-8")

def make(folder):
    import dbf
    people = dbf.Table(folder + "/people.dbf",
                       "name C(10); city C(10); amount N(8,2); born D; notes M",
                       dbf_type="fp", codepage="cp437")
    people.open(dbf.READ_WRITE)
    for row in (("Müller", "Paris", 10, datetime.date(2001, 2, 3), "erste Notiz"),
                ("Smith", "London", 20, None, ""),
                ("Ñandú", "Paris", 30, datetime.date(1999, 12, 31), "ñ memo"),
                ("Brown", "Rome", 40, datetime.date(2010, 5, 6), ""),
                ("Adams", "London", 50, None, "")):
        people.append(row)
    people.close()
    cities = dbf.Table(folder + "/cities.dbf", "city C(10); country C(10)", dbf_type="db3",
                       codepage="cp437")
    cities.open(dbf.READ_WRITE)
    for row in (("London", "UK"), ("Paris", "France"), ("Rome", "Italy")):
        cities.append(row)
    cities.close()
    print("MADE")

def read(path):
    import dbfread
    table = dbfread.DBF(path, load=True, encoding="cp437", char_decode_errors="strict")
    def line(kind, rec):
        born = rec["BORN"]
        print("%s|%s|%s|%.2f|%s|%s" % (kind, rec["NAME"], rec["CITY"], rec["AMOUNT"],
                                       born.isoformat() if born else "", rec["NOTES"] or ""))
    for rec in table.records:
        line("LIVE", rec)
    for rec in table.deleted:
        line("DELETED", rec)

if sys.argv[1] == "make":
    make(sys.argv[2])
else:
    read(sys.argv[2])
)PY";

bool InCI() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

bool PeerAvailable() {
  std::string cmd = std::string(kPython) + " -c \"import dbf, dbfread\" >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

std::string RunPeer(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string A(const char* utf8) { return platform::Utf8ToAnsi(utf8); }

std::vector<std::string> Walk(TKeldorDataSet& ds) {
  std::vector<std::string> names;
  for (ds.First(); !ds.Eof(); ds.Next())
    names.push_back(platform::AnsiToUtf8(ds.FieldByName("NAME")->AsString()));
  return names;
}

}  // namespace

TEST(DatasetInterop, ScriptOnPeerTablesReadsBackThroughDbfread) {
  if (!PeerAvailable()) {
    if (InCI()) FAIL() << "python3-dbf or python3-dbfread missing";
    GTEST_SKIP() << "python3-dbf or python3-dbfread missing";
  }
  TempDrive drive('T');
  ScopedEnv windir("VELUPDATE_WINDIR", drive.Root() + "/windows");
  ReloadKeldorAliases();
  const std::string script = drive.Host("peer.py");
  ASSERT_TRUE(WriteHostFile(script, kPeer));
  ASSERT_EQ(RunPeer(std::string(kPython) + " " + script + " make " + drive.Host()), "MADE\n");
  {
    HXO_dBHandler h(drive.Dos("people.dbf"), false, true);
    ASSERT_EQ(h.OpenIndex("people.cdx"), 0);
    h.IndexFile(1)->AddTag("NAME", "NAME", false, true, "");
    h.IndexFile(1)->AddTag("CITYNAME", "CITY+NAME", false, true, "");
  }

  TKeldorDataSet people;
  people.SetName("tbPeople");
  people.SetDatabaseName(drive.Dos());
  people.SetTableName("people.dbf");
  people.IndexFiles().Add("people.cdx");
  people.Open();
  ASSERT_EQ(people.FieldCount(), 5);

  // Filter, then index order, under the filter and without it.
  people.SetFilter("CITY = \"Paris\"");
  people.SetFiltered(true);
  EXPECT_EQ(Walk(people), (std::vector<std::string>{"Müller", "Ñandú"}));
  people.SetIndexName("NAME");
  EXPECT_EQ(Walk(people), (std::vector<std::string>{"Müller", "Ñandú"}));
  people.SetFiltered(false);
  EXPECT_EQ(Walk(people), (std::vector<std::string>{"Adams", "Brown", "Müller", "Smith", "Ñandú"}));
  EXPECT_EQ(people.FieldByName("NOTES")->AsString(), A("ñ memo"));
  people.First();
  EXPECT_EQ(people.FieldByName("NOTES")->AsString(), "");  // the peer stores an empty memo block
  people.Next();
  people.Next();
  EXPECT_EQ(people.FieldByName("NOTES")->AsString(), A("erste Notiz"));

  // Locate and edit, memo included.
  ASSERT_TRUE(people.Locate("NAME", {Variant("Smith")}, {}));
  people.Edit();
  people.FieldByName("AMOUNT")->SetAsFloat(25.5);
  people.FieldByName("CITY")->SetAsString("Paris");
  people.FieldByName("BORN")->SetAsDateTime(EncodeDate(2020, 2, 29));
  people.FieldByName("NOTES")->SetAsString(A("neue Notiz äöü"));
  people.Post();
  // Delete moves on to the next record in the order.
  ASSERT_TRUE(people.Locate("NAME", {Variant("Brown")}, {}));
  people.Delete();
  EXPECT_EQ(platform::AnsiToUtf8(people.FieldByName("NAME")->AsString()), "Müller");
  people.Append();
  people.FieldByName("NAME")->SetAsString(A("Größe"));
  people.FieldByName("CITY")->SetAsString("Rome");
  people.FieldByName("AMOUNT")->SetAsFloat(99.99);
  people.FieldByName("NOTES")->SetAsString(A("Straße"));
  people.Post();
  EXPECT_TRUE(people.Locate("NAME", {Variant(A("Größe"))}, {}));
  EXPECT_EQ(people.RecNo(), 6);

  // Master/detail: the cities lead, the people follow by CITY+NAME.
  TKeldorDataSet cities;
  cities.SetDatabaseName(drive.Dos());
  cities.SetTableName("cities.dbf");
  cities.Open();
  TDataSource source;
  source.SetDataSet(&cities);
  people.SetIndexName("CITYNAME");
  people.SetMasterSource(&source);
  people.SetMasterFields("CITY");
  std::vector<std::vector<std::string>> details;
  for (cities.First(); !cities.Eof(); cities.Next()) details.push_back(Walk(people));
  EXPECT_EQ(details,
            (std::vector<std::vector<std::string>>{{"Adams"}, {"Müller", "Smith", "Ñandú"}, {"Größe"}}));
  people.SetMasterSource(nullptr);
  people.Close();
  cities.Close();

  // The bytes: the deleted flag, the appended record in OEM text, the count
  // in the header and the end mark.
  const std::string file = ReadHostFile(drive.Host("people.dbf"));
  const size_t headerLength = static_cast<uint8_t>(file[8]) | static_cast<uint8_t>(file[9]) << 8;
  const size_t recordLength = static_cast<uint8_t>(file[10]) | static_cast<uint8_t>(file[11]) << 8;
  ASSERT_EQ(file.size(), headerLength + 6 * recordLength + 1);
  EXPECT_EQ(static_cast<uint8_t>(file[4]), 6);
  EXPECT_EQ(file[headerLength + 3 * recordLength], '*');
  EXPECT_EQ(file.substr(headerLength + 5 * recordLength, 11),
            " Gr\x94\xE1"
            "e     ");
  EXPECT_EQ(file.back(), '\x1A');
  {
    HXO_dBHandler h(drive.Dos("people.dbf"), false, false);
    h.OpenIndex("people.cdx");
    EXPECT_TRUE(HxCheckIndexFile(*h.IndexFile(1)).Ok());
  }

  EXPECT_EQ(RunPeer(std::string(kPython) + " " + script + " read " + drive.Host("people.dbf")),
            "LIVE|Müller|Paris|10.00|2001-02-03|erste Notiz\n"
            "LIVE|Smith|Paris|25.50|2020-02-29|neue Notiz äöü\n"
            "LIVE|Ñandú|Paris|30.00|1999-12-31|ñ memo\n"
            "LIVE|Adams|London|50.00||\n"
            "LIVE|Größe|Rome|99.99||Straße\n"
            "DELETED|Brown|Rome|40.00|2010-05-06|\n");
}
