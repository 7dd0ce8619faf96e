// Field values and memo files against other programs: tables with memos made
// by python3-dbf (dBase III, FoxPro 2, Visual FoxPro) read through the engine;
// values and memos the engine writes read back through dbfread, python3-dbf
// and Perl XBase; the real sample files read in full.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_drive.h"
#include "tables/hx6_date.h"
#include "tables/hx6_dbf.h"
#include "tables/hx6_memo.h"
#include "tables/hx6_tool.h"
#include "tables/table_test_util.h"

namespace {

const char* kPython = "/usr/bin/python3";
const std::string kPeerPy = std::string(VEL_SOURCE_DIR) + "/tests/interop/fields_peer.py";
const std::string kPeerPl = std::string(VEL_SOURCE_DIR) + "/tests/interop/fields_peer.pl";
const char* kKinds[] = {"db3", "fp", "vfp"};

bool PythonPeers() {
  return std::system((std::string(kPython) + " -c \"import dbf, dbfread\" >/dev/null 2>&1").c_str()) == 0;
}
bool PerlPeer() { return std::system("perl -MXBase -e 1 >/dev/null 2>&1") == 0; }

// Runs `cmd` in the C locale (no test depends on the host's LANG naming an
// installed locale; Perl would warn about one that is not). Returns stdout,
// with stderr after it only when `withStderr`.
std::string RunCmd(const std::string& cmd, int* status = nullptr, bool withStderr = false) {
  std::string out;
  FILE* p = popen(("LC_ALL=C LANG=C " + cmd + (withStderr ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (status) *status = rc;
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Printf(const char* fmt, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, v);
  return buf;
}

std::string IsoDate(int32_t day) {
  if (day <= 0) return "";
  int y, m, d;
  DBFDate().Decode(day, y, m, d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

// The records as the engine reads them, in the peers' line format.
std::string OurLines(HXO_dBaseFld& t, bool baseColumnsOnly = false) {
  std::string out;
  const int qty = t.FieldNumber("QTY");
  for (int64_t r = 1; r <= t.RecordCount(); ++r) {
    t.GetRecord(r);
    if (t.RecordBuffer()[0] == '*') continue;
    out += "REC\t" + t.FieldText(t.FieldNumber("NAME"));
    out += "\t" + Printf("%.2f", t.GetNumberByName("AMOUNT"));
    out += "\t" + IsoDate(t.GetDateByName("BORN"));
    out += std::string("\t") + (t.GetLogicalByName("FLAG") ? "T" : "F");
    out += "\t" + Escape(t.FieldText(t.FieldNumber("NOTES")));
    if (qty && !baseColumnsOnly) {
      out += "\t" + Printf("%.0f", t.GetNumber(qty));
      out += "\t" + Printf("%.4f", t.GetNumber(t.FieldNumber("PRICE")));
      const double stamp = t.GetNumber(t.FieldNumber("STAMP"));
      std::string s;
      if (stamp != 0) {
        const double days = std::floor(stamp / 86400000.0);
        const int64_t ms = static_cast<int64_t>(stamp - days * 86400000.0);
        char buf[32];
        std::snprintf(buf, sizeof buf, "T%02d:%02d:%02d", static_cast<int>(ms / 3600000),
                      static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60));
        s = IsoDate(static_cast<int32_t>(days) + 1721425) + buf;
      }
      out += "\t" + s;
      out += "\t" + Printf("%.6g", t.GetNumber(t.FieldNumber("RATIO")));
    }
    out += "\n";
  }
  return out;
}

std::string LongMemo() {
  std::string s;
  char buf[64];
  for (int i = 0; i < 120; ++i) {
    std::snprintf(buf, sizeof buf, "line %04d of a long memo\r\n", i);
    s += buf;
  }
  return s;
}

std::string PeerRead(const std::string& mode, const std::string& hostFile) {
  if (mode == "perl") return RunCmd("perl " + kPeerPl + " " + hostFile);
  return RunCmd(std::string(kPython) + " " + kPeerPy + " " + mode + " " + hostFile);
}

}  // namespace

TEST(FieldsInterop, PeerMemoTablesReadThroughTheEngine) {
  VEL_REQUIRE(PythonPeers(), "python3-dbf or python3-dbfread");
  TempDrive drive;
  ASSERT_NE(RunCmd(std::string(kPython) + " " + kPeerPy + " make " + drive.Root()).find("MADE vfp_memo.dbf"),
            std::string::npos);
  const uint8_t versions[] = {0x83, 0xF5, 0x30};
  const char* formats[] = {"dBase III", "FoxPro", "FoxPro"};
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(kKinds[k]);
    const std::string file = std::string(kKinds[k]) + "_memo.dbf";
    HXO_dBaseFld t(drive.Dos(file), false, false);
    EXPECT_EQ(t.Version(), versions[k]);
    // The same values the peer itself reads.
    EXPECT_EQ(OurLines(t), PeerRead("read", drive.Host(file)));
    ASSERT_NE(t.MemoFile(), nullptr);
    EXPECT_STREQ(t.MemoFile()->FormatName(), formats[k]);
    t.GetRecord(3);
    EXPECT_EQ(t.FieldText(t.FieldNumber("NOTES")), LongMemo());  // spans several blocks
    EXPECT_EQ(t.MemoSize(t.FieldNumber("NOTES")), LongMemo().size());
    t.GetRecord(2);
    EXPECT_EQ(t.FieldText(t.FieldNumber("NOTES")), "");
    EXPECT_EQ(t.FieldText(t.FieldNumber("AMOUNT")), "-7.50");
    t.GetRecord(4);
    EXPECT_EQ(t.FieldText(t.FieldNumber("NOTES")), std::string(511, 'x'));
    EXPECT_EQ(t.GetDateByName("BORN"), DBFDate().ToJulian("19991231"));
  }
}

TEST(FieldsInterop, ValuesAndMemosWeWriteReadBackThroughThePeers) {
  VEL_REQUIRE(PythonPeers(), "python3-dbf or python3-dbfread");
  const bool perl = PerlPeer();
  if (!perl && tabletest::UnderCi()) FAIL() << "missing (required under CI=true): Perl XBase";
  if (!perl) std::cerr << "note: Perl XBase (libdbd-xbase-perl) missing, its checks are skipped\n";
  TempDrive drive;
  RunCmd(std::string(kPython) + " " + kPeerPy + " make " + drive.Root());
  const std::string longer(3000, 'L');
  for (const char* kind : kKinds) {
    SCOPED_TRACE(kind);
    const std::string file = std::string(kind) + "_memo.dbf";
    const bool vfp = std::string(kind) == "vfp";
    std::string expected;
    {
      HXO_dBaseFld t(drive.Dos(file), false, true);
      const int notes = t.FieldNumber("NOTES");
      // Record 1: every kind of value, and a memo that must move.
      t.GetRecord(1);
      t.PutStringByName("NAME", "Alpha2");
      t.PutNumberByName("AMOUNT", 99.99);
      t.PutDateByName("BORN", DBFDate().ToJulian("19800101"));
      t.PutLogicalByName("FLAG", false);
      t.PutString(notes, longer);
      if (vfp) {
        t.PutNumberByName("QTY", -12);
        t.PutNumber(t.FieldNumber("PRICE"), 0.5);
        t.PutNumber(t.FieldNumber("RATIO"), 1.5);
      }
      t.PutRecord(1);
      // Record 2: an empty memo gets text.
      t.GetRecord(2);
      t.PutString(notes, "now filled\r\nwith two lines");
      t.PutRecord(2);
      // Record 3: the long memo gets shorter (stays in its blocks).
      t.GetRecord(3);
      t.PutString(notes, "short again");
      t.PutRecord(3);
      // Record 4: the memo is emptied.
      t.GetRecord(4);
      t.PutString(notes, "");
      t.PutRecord(4);
      // Record 5: appended.
      t.BlankRecord();
      t.PutStringByName("NAME", "Epsilon");
      t.PutStringByName("AMOUNT", "5");
      t.PutStringByName("FLAG", "T");
      t.PutString(notes, "appended memo");
      if (vfp) t.PutNumberByName("QTY", 7);
      t.AppendRecord();
      expected = OurLines(t);
    }
    std::string vfpA = vfp ? "\t-12\t0.5000\t2021-05-06T07:08:09\t1.5" : "";
    EXPECT_NE(expected.find("REC\tAlpha2\t99.99\t1980-01-01\tF\t" + longer + vfpA + "\n"), std::string::npos);
    EXPECT_NE(expected.find("REC\tBeta\t-7.50\t\tF\tnow filled\\r\\nwith two lines"), std::string::npos);
    EXPECT_NE(expected.find("REC\tGamma\t0.00\t1980-01-01\tT\tshort again"), std::string::npos);
    EXPECT_NE(expected.find("REC\tDelta\t123456.78\t1999-12-31\tF\t"), std::string::npos);
    EXPECT_NE(expected.find("REC\tEpsilon\t5.00\t\tT\tappended memo"), std::string::npos);
    EXPECT_EQ(PeerRead("read", drive.Host(file)), expected);
    EXPECT_EQ(PeerRead("readdbf", drive.Host(file)), expected);
    if (perl) {
      HXO_dBaseFld t(drive.Dos(file), false, false);
      EXPECT_EQ(PeerRead("perl", drive.Host(file)), OurLines(t, true));
    }

    // Longer, then shorter again: the memo file stays readable for everyone.
    {
      HXO_dBaseFld t(drive.Dos(file), false, true);
      const int notes = t.FieldNumber("NOTES");
      t.GetRecord(3);
      t.PutString(notes, std::string(2000, 'G') + "\r\nend");
      t.PutRecord(3);
      t.GetRecord(1);
      t.PutString(notes, "tiny");
      t.PutRecord(1);
      t.GetRecord(3);
      t.PutString(notes, "G-short");
      t.PutRecord(3);
      expected = OurLines(t);
    }
    EXPECT_NE(expected.find("REC\tAlpha2\t99.99\t1980-01-01\tF\ttiny"), std::string::npos);
    EXPECT_NE(expected.find("\tG-short"), std::string::npos);
    EXPECT_EQ(PeerRead("read", drive.Host(file)), expected);
    EXPECT_EQ(PeerRead("readdbf", drive.Host(file)), expected);
    if (perl) {
      HXO_dBaseFld t(drive.Dos(file), false, false);
      EXPECT_EQ(PeerRead("perl", drive.Host(file)), OurLines(t, true));
    }
  }
}

namespace {

struct Summary {
  int64_t records = -1;
  struct Field {
    std::string name;
    char type;
    int length, decimals;
  };
  std::vector<Field> fields;
};

Summary ReadSummary(const std::string& path) {
  Summary s;
  std::ifstream in(path);
  std::string line;
  bool inFields = false;
  while (std::getline(in, line)) {
    if (line.rfind("Records:", 0) == 0) s.records = std::stoll(line.substr(8));
    if (line.rfind("----", 0) == 0) {
      inFields = true;
      continue;
    }
    if (!inFields) continue;
    std::istringstream fields(line);
    Summary::Field f;
    std::string type;
    if (fields >> f.name >> type >> f.length >> f.decimals) {
      f.type = type[0];
      s.fields.push_back(f);
    } else {
      inFields = false;
    }
  }
  return s;
}

}  // namespace

TEST(FieldsInterop, RealSampleFilesReadInFull) {
  const std::string folder = VEL_FIXTURES_DIR;
  VEL_REQUIRE(std::filesystem::exists(folder), "the real fixtures at " << folder);
  TempDrive drive;
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    const size_t at = name.find("_summary.txt");
    if (at == std::string::npos) continue;
    const std::string base = name.substr(0, at);
    const Summary summary = ReadSummary(entry.path().string());
    SCOPED_TRACE(base);
    // Copy the table and its memo file: the engine's name rules apply to the copies.
    for (const char* ext : {".dbf", ".dbt", ".fpt"}) {
      const auto from = std::filesystem::path(folder) / (base + ext);
      if (std::filesystem::exists(from))
        std::filesystem::copy_file(from, drive.Host(base + ext),
                                   std::filesystem::copy_options::overwrite_existing);
    }
    std::unique_ptr<HXO_dBaseFld> t;
    try {
      t = std::make_unique<HXO_dBaseFld>(drive.Dos(base + ".dbf"), false, false);
    } catch (const std::exception& e) {
      // Versions the engine does not know are refused with the header message.
      EXPECT_NE(std::string(e.what()).find("Table Header for"), std::string::npos) << e.what();
      continue;
    }
    EXPECT_EQ(t->RecordCount(), summary.records);
    ASSERT_EQ(t->FieldCount(), static_cast<int>(summary.fields.size()));
    for (int i = 1; i <= t->FieldCount(); ++i) {
      const auto& f = summary.fields[static_cast<size_t>(i - 1)];
      EXPECT_EQ(HxTrimRight(t->FieldName(i)), f.name);
      EXPECT_EQ(t->FieldType(i), f.type);
      EXPECT_EQ(t->FieldWidth(i), f.length);
      if (f.type != 'C') {
        EXPECT_EQ(t->FieldDecimals(i), f.decimals);
      }
    }
    // Every value of every record reads, memo texts included.
    std::string text;
    size_t memoBytes = 0;
    for (int64_t r = 1; r <= t->RecordCount(); ++r) {
      t->GetRecord(r);
      for (int i = 1; i <= t->FieldCount(); ++i) {
        ASSERT_NO_THROW(t->GetString(i, text)) << "record " << r << " field " << t->FieldName(i);
        if (t->IsMemoField(i)) memoBytes += text.size();
      }
    }
    if (t->HasMemo()) {
      EXPECT_GT(memoBytes, 0u);
    }
    ++checked;
  }
  EXPECT_GE(checked, 5);

  // Spot values.
  for (const char* ext : {".dbf", ".dbt"})
    std::filesystem::copy_file(std::filesystem::path(folder) / (std::string("dbase_8b") + ext),
                               drive.Host(std::string("b4") + ext));
  HXO_dBaseFld b4(drive.Dos("b4.dbf"), false, false);
  b4.GetRecord(1);
  EXPECT_EQ(b4.FieldText(b4.FieldNumber("MEMO")), "First memo\r\n");
  EXPECT_EQ(b4.FieldText(b4.FieldNumber("CHARACTER")), "One");
  EXPECT_EQ(b4.GetNumberByName("NUMERICAL"), 1);
  EXPECT_TRUE(b4.GetLogicalByName("LOGICAL"));
  EXPECT_EQ(IsoDate(b4.GetDateByName("DATE")), "1970-01-01");
}

TEST(FieldsInterop, VeltoolDumpsRecordsAndMemos) {
  const std::string folder = VEL_FIXTURES_DIR;
  VEL_REQUIRE(std::filesystem::exists(folder + "/dbase_8b.dbf"), "the real fixtures at " << folder);
  int status = 0;
  std::string json = RunCmd(std::string(VEL_VELTOOL) + " dump " + folder + "/dbase_8b.dbf --json", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(json.rfind("{\"recno\":1,\"deleted\":false,\"fields\":{\"CHARACTER\":\"One\",", 0), 0u) << json;
  EXPECT_NE(json.find("\"MEMO\":\"First memo\\r\\n\"}}\n"), std::string::npos);
  std::string plain = RunCmd(std::string(VEL_VELTOOL) + " dump " + folder + "/dbase_8b.dbf", &status);
  EXPECT_EQ(plain.substr(0, 6), "1\tOne\t");
  EXPECT_NE(plain.find("\tFirst memo\\r\\n\n"), std::string::npos);
  EXPECT_EQ(std::count(plain.begin(), plain.end(), '\n'), 10);
  std::string info = RunCmd(std::string(VEL_VELTOOL) + " info " + folder + "/dbase_8b.dbf", &status);
  EXPECT_NE(info.find("memo format\tdBase IV\nmemo block size\t512\n"), std::string::npos) << info;
  // A table whose memo file is gone: the engine's message and a failure status.
  std::string missing =
      RunCmd(std::string(VEL_VELTOOL) + " dump " + folder + "/dbase_83_missing_memo.dbf", &status, true);
  EXPECT_NE(status, 0);
  EXPECT_NE(missing.find("could not be found"), std::string::npos) << missing;
}
