// Tables our builders make, filled through the table object, read by other
// programs: dbfread, python3-dbf and Perl XBase see the fields as declared and
// the values (memo texts included) as written, for every flavour with and
// without memo fields.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/text.h"
#include "support/temp_drive.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"

namespace {

const char* kPython = "/usr/bin/python3";
const std::string kPeerPy = std::string(VEL_SOURCE_DIR) + "/tests/interop/build_peer.py";
const std::string kPeerPl = std::string(VEL_SOURCE_DIR) + "/tests/interop/build_peer.pl";

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

// Missing peers fail under CI and skip elsewhere.
#define REQUIRE_PEER(available, what)           \
  do {                                          \
    if (!(available)) {                         \
      if (InCi()) FAIL() << what << " missing"; \
      GTEST_SKIP() << what << " missing";       \
    }                                           \
  } while (0)

bool PythonPeers() {
  return std::system((std::string(kPython) + " -c \"import dbf, dbfread\" >/dev/null 2>&1").c_str()) == 0;
}
bool PerlPeer() { return std::system("perl -MXBase -e 1 >/dev/null 2>&1") == 0; }

std::string RunCmd(const std::string& cmd) {
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
  if (peer == "perl") return RunCmd("perl " + kPeerPl + " '" + hostFile + "'");
  return RunCmd(std::string(kPython) + " " + kPeerPy + " " + peer + " '" + hostFile + "'");
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

struct Column {
  std::string name;
  char type;
  int width;
  int decimals;
};

// One record: the values by column, in UTF-8 (dates as yyyymmdd, logicals
// T or F, numbers as text with the column's decimals).
using Row = std::vector<std::string>;

const std::string kLongMemo = [] {
  std::string s;
  for (int i = 0; i < 40; ++i) s += "Zeile " + std::to_string(i) + " – Grüße aus Köln\r\n";
  return s;
}();

struct Flavour {
  const char* name;
  std::function<std::unique_ptr<HXO_DBFBuild>(const std::string&)> make;
};

const Flavour kFlavours[] = {
    {"dbase3", [](const std::string& f) { return std::make_unique<HXO_DBFBuild>(f); }},
    {"dbase4", [](const std::string& f) { return std::make_unique<HXO_DB4Build>(f); }},
    {"foxpro2", [](const std::string& f) { return std::make_unique<HXO_DBFoxBuild>(f); }},
};

const std::vector<Column> kPlain = {
    {"NAME", 'C', 20, 0}, {"AMOUNT", 'N', 10, 2}, {"COUNT", 'N', 7, 0},
    {"RATE", 'F', 12, 4}, {"BORN", 'D', 8, 0},    {"FLAG", 'L', 1, 0},
};

std::vector<Column> WithMemo() {
  auto c = kPlain;
  c.push_back({"NOTES", 'M', 10, 0});
  return c;
}

// Every kind of field the builders write: a character field wider than 255
// and the binary and general memo references as well.
std::vector<Column> Full() {
  auto c = WithMemo();
  c.push_back({"WIDE", 'C', 300, 0});
  c.push_back({"PICTURE", 'G', 10, 0});
  c.push_back({"BLOB", 'B', 10, 0});
  return c;
}

// The value of `col` in record `r` (1-based) of the sample rows.
std::string Value(const Column& col, int r) {
  const std::string& n = col.name;
  if (n == "NAME") return r == 1 ? "Müller & Söhne" : r == 2 ? "Empty" : r == 3 ? "Zeta" : "Gone";
  if (n == "AMOUNT") return r == 1 ? "1234.50" : r == 2 ? "0.00" : r == 3 ? "-0.50" : "1.00";
  if (n == "COUNT") return r == 1 ? "-42" : r == 2 ? "0" : "999999";
  if (n == "RATE") return r == 1 ? "0.1250" : r == 2 ? "0.0000" : "-1234.5678";
  if (n == "BORN") return r == 1 ? "20240229" : r == 2 ? "" : "19991231";
  if (n == "FLAG") return r == 1 ? "T" : r == 2 ? "F" : "T";
  if (n == "NOTES") return r == 1 ? kLongMemo : r == 2 ? "" : "short\tnote";
  if (n == "WIDE") return r == 1 ? std::string(290, 'w') + "end of 300" : r == 2 ? "" : "ß";
  if (n == "PICTURE") return r == 3 ? "picture bytes" : "";
  if (n == "BLOB") return r == 1 ? "blob\r\nbytes" : "";
  return "";
}

// Appends records 1-3 and a deleted record 4 through the table object.
void Fill(const std::string& dosTable, const std::vector<Column>& cols) {
  HXO_dBaseFld t(dosTable, true, true);
  for (int r = 1; r <= 4; ++r) {
    t.BlankRecord();
    for (const Column& c : cols) {
      const std::string v = platform::Utf8ToAnsi(Value(c, r));
      const int n = t.FieldNumber(c.name);
      switch (c.type) {
        case 'N':
        case 'F':
          t.PutNumber(n, std::stod(v));
          break;
        case 'D':
          t.PutDate(n, v.empty() ? 0 : DBFDate().ToJulian(v));
          break;
        case 'L':
          t.PutLogical(n, v == "T");
          break;
        case 'C':
        case 'M':
          t.PutString(n, v);
          break;
        default:
          if (!v.empty()) t.WriteMemo(n, v.data(), v.size());
      }
    }
    t.AppendRecord();
    if (r == 4) t.DeleteRecord();
  }
}

// What a peer prints for the table: the fields, then records 1-3 when filled.
std::string Expected(const std::vector<Column>& cols, bool filled) {
  std::string out;
  for (const Column& c : cols)
    out += "FIELD " + c.name + " " + c.type + " " + std::to_string(c.width) + " " +
           std::to_string(c.decimals) + "\n";
  for (int r = 1; filled && r <= 3; ++r) {
    out += "REC";
    for (const Column& c : cols) {
      std::string v = Value(c, r);
      if (c.type == 'D' && !v.empty()) v = v.substr(0, 4) + "-" + v.substr(4, 2) + "-" + v.substr(6);
      out += "\t" + Escape(v);
    }
    out += "\n";
  }
  return out;
}

// Builds, fills and has every peer that understands the table read it.
void CheckTable(const TempDrive& drive, const Flavour& flavour, const std::string& file,
                const std::vector<Column>& cols, const std::vector<std::string>& peers, bool fill = true) {
  SCOPED_TRACE(std::string(flavour.name) + " " + file);
  {
    auto b = flavour.make(drive.Dos(file));
    for (const Column& c : cols) b->AddField(c.name, c.type, c.width, c.decimals);
    b->Build();
  }
  if (fill) Fill(drive.Dos(file), cols);
  const std::string want = Expected(cols, fill);
  for (const std::string& peer : peers) EXPECT_EQ(PeerRead(peer, drive.Host(file)), want) << peer;
}

}  // namespace

TEST(BuildInterop, TablesOfEveryFlavourReadBackThroughDbfreadAndPerl) {
  REQUIRE_PEER(PythonPeers(), "python3-dbf or python3-dbfread");
  const bool perl = PerlPeer();
  REQUIRE_PEER(perl || !InCi(), "Perl XBase");
  std::vector<std::string> peers = {"dbfread"};
  if (perl) peers.push_back("perl");
  TempDrive drive;
  for (const Flavour& f : kFlavours) {
    const std::string base = f.name;
    CheckTable(drive, f, base + "_plain.dbf", kPlain, peers);
    CheckTable(drive, f, base + "_memo.dbf", WithMemo(), peers);
    // Upper-case names, as a table named without extension gets them.
    CheckTable(drive, f, base + "_FULL.DBF", Full(), peers);
    // Fresh from the builder: the memo files as the builders write them.
    CheckTable(drive, f, base + "_EMPTY.DBF", Full(), peers, false);
  }
}

TEST(BuildInterop, TablesPython3DbfKnowsReadBackThroughIt) {
  REQUIRE_PEER(PythonPeers(), "python3-dbf or python3-dbfread");
  TempDrive drive;
  // python3-dbf reads dBase III and FoxPro tables with the classic field
  // types (C up to 255, N, F, D, L, M), not dBase IV tables with memo files.
  for (const Flavour& f : kFlavours) {
    const std::string base = f.name;
    CheckTable(drive, f, base + "_plain.dbf", kPlain, {"dbf"});
    if (base != "dbase4") CheckTable(drive, f, base + "_MEMO.DBF", WithMemo(), {"dbf"});
  }
}

TEST(BuildInterop, Python3DbfAppendsToTablesWeBuilt) {
  REQUIRE_PEER(PythonPeers(), "python3-dbf or python3-dbfread");
  TempDrive drive;
  for (const Flavour& f : kFlavours) {
    if (std::string(f.name) == "dbase4") continue;  // python3-dbf does not write dBase IV memo tables
    for (bool memo : {false, true}) {
      const std::string file = std::string(f.name) + (memo ? "_memo.dbf" : "_plain.dbf");
      SCOPED_TRACE(file);
      {
        auto b = f.make(drive.Dos(file));
        for (const Column& c : memo ? WithMemo() : kPlain) b->AddField(c.name, c.type, c.width, c.decimals);
      }
      ASSERT_EQ(RunCmd(std::string(kPython) + " " + kPeerPy + " append '" + drive.Host(file) + "'"),
                "APPENDED\n");
      HXO_dBaseFld t(drive.Dos(file), true, false);
      ASSERT_EQ(t.RecordCount(), 2);
      t.GetRecord(1);
      EXPECT_EQ(t.FieldText(t.FieldNumber("NAME")), platform::Utf8ToAnsi("Peer één"));
      EXPECT_EQ(t.GetNumberByName("AMOUNT"), 12.5);
      EXPECT_EQ(t.GetDateByName("BORN"), DBFDate().ToJulian("20010203"));
      EXPECT_TRUE(t.GetLogicalByName("FLAG"));
      if (memo) {
        EXPECT_EQ(t.FieldText(t.FieldNumber("NOTES")), "peer memo\r\n" + std::string(600, 'p'));
      }
      t.GetRecord(2);
      EXPECT_EQ(t.FieldText(t.FieldNumber("NAME")), "Peer two");
      EXPECT_EQ(t.GetDateByName("BORN"), 0);
      EXPECT_FALSE(t.GetLogicalByName("FLAG"));
      if (memo) {
        EXPECT_EQ(t.FieldText(t.FieldNumber("NOTES")), "");
      }
    }
  }
}
