// Tables the creator makes, in every flavour and with every field type,
// filled through our dataset (text in the OEM code page), read by dbfread,
// python3-dbf and Perl XBase: the fields as declared, the records as written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "dataset/Keldor6db.h"
#include "framework/sysutils.h"
#include "platform/text.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

const std::string kPeerPy = std::string(VEL_SOURCE_DIR) + "/tests/interop/creator_peer.py";
const std::string kPeerPl = std::string(VEL_SOURCE_DIR) + "/tests/interop/creator_peer.pl";

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

std::string Run(const std::string& cmd) {
  std::string out;
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string PeerRead(const std::string& peer, const std::string& hostFile) {
  if (peer == "perl") return Run("perl " + kPeerPl + " table '" + hostFile + "'");
  return Run("/usr/bin/python3 " + kPeerPy + " " + peer + " '" + hostFile + "'");
}

struct Column {
  std::string name;
  char type;
  int width;
  int decimals;
};

// Every type the creator makes: a character field wider than 255, numbers
// with and without decimals, float, date, logical, and the three memo kinds.
const std::vector<Column> kEvery = {{"NAME", 'C', 30, 0}, {"WIDE", 'C', 300, 0}, {"AMOUNT", 'N', 12, 2},
                                    {"COUNT", 'N', 7, 0}, {"RATE", 'F', 12, 4},  {"BORN", 'D', 8, 0},
                                    {"FLAG", 'L', 1, 0},  {"NOTES", 'M', 10, 0}, {"PICTURE", 'G', 10, 0},
                                    {"BLOB", 'B', 10, 0}};

// Values as UTF-8 text (dates yyyymmdd, logicals T/F, binary memos as
// bytes), record 1 full, record 2 mostly empty, record 3 deleted.
std::string Value(const std::string& field, int r) {
  static const std::string longMemo = [] {
    std::string s;
    for (int i = 0; i < 30; ++i) s += "Zeile " + std::to_string(i) + " · Grüße aus Köln\r\n";
    return s;
  }();
  if (field == "NAME") return r == 1 ? "Müller & Söhne Café" : r == 2 ? "Empty" : "Gone";
  if (field == "WIDE") return r == 1 ? std::string(288, 'w') + " Straße Ende" : "";
  if (field == "AMOUNT") return r == 1 ? "-1234.50" : "0.00";
  if (field == "COUNT") return r == 1 ? "999999" : "0";
  if (field == "RATE") return r == 1 ? "0.1250" : "0.0000";
  if (field == "BORN") return r == 1 ? "20240229" : "";
  if (field == "FLAG") return r == 1 ? "T" : "F";
  if (field == "NOTES") return r == 1 ? longMemo : "";
  if (field == "PICTURE") return r == 1 ? std::string("GIF89a\x01\xFF", 8) : "";
  if (field == "BLOB") return r == 1 ? std::string("\0\x80 bytes", 8) : "";
  return "";
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

// What every peer prints for the table: the fields, then records 1 and 2.
std::string Expected(const std::vector<Column>& cols) {
  std::string out;
  for (const Column& c : cols)
    out += "FIELD " + c.name + " " + c.type + " " + std::to_string(c.width) + " " +
           std::to_string(c.decimals) + "\n";
  for (int r = 1; r <= 2; ++r) {
    out += "REC";
    for (const Column& c : cols) {
      std::string v = Value(c.name, r);
      if (c.type == 'D' && !v.empty()) v = v.substr(0, 4) + "-" + v.substr(4, 2) + "-" + v.substr(6);
      if (c.type == 'M') v = Escape(v);
      if (c.type == 'B' || c.type == 'G') v = Hex(v);
      out += "\t" + v;
    }
    out += "\n";
  }
  return out;
}

struct Flavour {
  ThxDBFTypes type;
  const char* name;
};

class CreatorInterop : public ::testing::TestWithParam<Flavour> {
 protected:
  // Creates `file` through the creator and appends records 1-3 through the
  // dataset (3 deleted).
  void CreateAndFill(const std::string& file, const std::vector<Column>& cols) {
    TKeldorDataSet table;
    table.SetDatabaseName(drive.Dos());
    table.SetTableName(file);
    TCreateKeldorDataSet creator;
    creator.SetDBFTable(&table);
    creator.SetDBFType(GetParam().type);
    for (const Column& c : cols)
      creator.CreateFields().Add(
          Format("%s;%s;%d;%d", {c.name, std::string(1, c.type), c.width, c.decimals}));
    ASSERT_TRUE(creator.CreateTable());
    for (int r = 1; r <= 3; ++r) {
      table.Append();
      for (const Column& c : cols) {
        TField* f = table.FieldByName(c.name);
        const std::string v = Value(c.name, r);
        if (v.empty() && c.type != 'C') continue;
        switch (c.type) {
          case 'N':
          case 'F':
            f->SetAsFloat(std::stod(v));
            break;
          case 'D':
            f->SetAsDateTime(
                EncodeDate(std::stoi(v.substr(0, 4)), std::stoi(v.substr(4, 2)), std::stoi(v.substr(6))));
            break;
          case 'L':
            f->SetAsBoolean(v == "T");
            break;
          case 'B':
          case 'G':
            f->SetAsString(v);  // bytes, never translated
            break;
          default:
            f->SetAsString(platform::Utf8ToAnsi(v));
        }
      }
      table.Post();
    }
    table.SetRecNo(3);
    table.Delete();
    table.Close();
  }

  TempDrive drive;
  ScopedEnv windir{"VELUPDATE_WINDIR", drive.Root() + "/windows"};
  ScopedEnv oem{"VELUPDATE_OEMCP", "437"};
};

}  // namespace

TEST_P(CreatorInterop, TablesOfEveryFieldTypeReadBackThroughThreePeers) {
  const bool python = std::system("/usr/bin/python3 -c 'import dbf, dbfread' >/dev/null 2>&1") == 0;
  const bool perl = std::system("perl -MXBase -e 1 >/dev/null 2>&1") == 0;
  if (!python || !perl) {
    if (InCi()) FAIL() << "python3-dbf, python3-dbfread or Perl XBase missing";
    GTEST_SKIP() << "python3-dbf, python3-dbfread or Perl XBase missing";
  }
  const std::string flavour = GetParam().name;
  CreateAndFill("every.dbf", kEvery);
  const std::string want = Expected(kEvery);
  EXPECT_EQ(PeerRead("dbfread", drive.Host("every.dbf")), want);
  EXPECT_EQ(PeerRead("perl", drive.Host("every.dbf")), want);

  // python3-dbf knows character fields up to 254 wide, the classic types
  // (its general fields fail as they are read, B it does not know) and no
  // dBase IV tables with memo files.
  std::vector<Column> known;
  for (const Column& c : kEvery) {
    if (c.width > 254 || c.type == 'B' || c.type == 'G' || (c.type == 'M' && flavour == "dbase4")) continue;
    known.push_back(c);
  }
  CreateAndFill("known.dbf", known);
  EXPECT_EQ(PeerRead("dbf", drive.Host("known.dbf")), Expected(known));
}

INSTANTIATE_TEST_SUITE_P(Flavours, CreatorInterop,
                         ::testing::Values(Flavour{ThxDBFTypes::Clipper, "clipper"},
                                           Flavour{ThxDBFTypes::DBaseIII, "dbase3"},
                                           Flavour{ThxDBFTypes::DBaseIV, "dbase4"},
                                           Flavour{ThxDBFTypes::FoxPro2, "foxpro2"}),
                         [](const auto& info) { return std::string(info.param.name); });
