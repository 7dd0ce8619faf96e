// veltool dump --json beside dbfread, python3-dbf and Perl XBase, value by
// value: the real fixtures, tables python3-dbf writes in every flavour and
// code page (memos, NULLs, currency, date-times), tables Perl XBase writes,
// and tables of odd values written byte by byte. Every difference must be
// one of the peers' known quirks (listed in tables_peers_compare.py).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_drive.h"
#include "tables/table_test_util.h"

namespace {

const std::string kCompare = std::string(VEL_SOURCE_DIR) + "/tests/interop/tables_peers_compare.py";
const std::string kPerl = std::string(VEL_SOURCE_DIR) + "/tests/interop/tables_peers_read.pl";

std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = popen(("LC_ALL=C LANG=C " + cmd + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

bool PythonPeers() { return std::system("/usr/bin/python3 -c 'import dbf, dbfread' >/dev/null 2>&1") == 0; }
bool PerlPeer() { return std::system("perl -MXBase -MJSON::PP -e 1 >/dev/null 2>&1") == 0; }

struct Outcome {
  std::map<std::string, std::string> tables;  // file -> peers that read it
  std::vector<std::string> diffs;
  int quirks = 0;
  std::string text;
};

Outcome Compare(const std::string& folder, const std::vector<std::string>& files) {
  std::string cmd =
      "cd '" + folder + "' && /usr/bin/python3 " + kCompare + " compare " + VEL_VELTOOL + " " + kPerl;
  for (const auto& f : files) cmd += " '" + f + "'";
  Outcome o;
  o.text = Shell(cmd);
  std::istringstream in(o.text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string kind, file, count, peers;
    words >> kind >> file;
    if (kind == "TABLE") {
      words >> count >> peers;
      o.tables[file] = peers;
    } else if (kind == "QUIRK") {
      ++o.quirks;
    } else {
      o.diffs.push_back(line);  // a DIFF, or the comparer itself failing
    }
  }
  return o;
}

}  // namespace

TEST(TablesPeers, TablesThePeersWriteReadAsThePeersReadThem) {
  VEL_REQUIRE(PythonPeers(), "python3-dbf or python3-dbfread");
  VEL_REQUIRE(PerlPeer(), "Perl XBase (libdbd-xbase-perl)");
  TempDrive drive;
  const std::string made = Shell("/usr/bin/python3 " + kCompare + " make '" + drive.Root() + "'") +
                           Shell("perl " + kPerl + " make '" + drive.Root() + "'");
  std::vector<std::string> files;
  std::istringstream in(made);
  std::string word, file;
  while (in >> word)
    if (word == "MADE" && in >> file) files.push_back(file);
  // Three flavours in seven code pages, two Perl tables, two of odd values.
  ASSERT_EQ(files.size(), 3u * 7 + 2 + 2) << made;

  const Outcome o = Compare(drive.Root(), files);
  EXPECT_TRUE(o.diffs.empty()) << o.text;
  ASSERT_EQ(o.tables.size(), files.size()) << o.text;
  for (const auto& [table, peers] : o.tables) {
    SCOPED_TRACE(table);
    if (table.rfind("odd_", 0) == 0) {
      // python3-dbf raises on the impossible dates these hold.
      EXPECT_NE(peers.find("dbfread"), std::string::npos);
      EXPECT_NE(peers.find("perl"), std::string::npos);
    } else {
      EXPECT_EQ(peers, "dbfread,python3-dbf,perl");
    }
  }
}

TEST(TablesPeers, RealFixturesReadAsThePeersReadThem) {
  const std::string folder = VEL_FIXTURES_DIR;
  VEL_REQUIRE(std::filesystem::exists(folder + "/dbase_30.dbf"), "the real fixtures at " << folder);
  VEL_REQUIRE(PythonPeers(), "python3-dbf or python3-dbfread");
  VEL_REQUIRE(PerlPeer(), "Perl XBase (libdbd-xbase-perl)");
  // Every table the engine opens (the versions it refuses are tested elsewhere).
  const std::vector<std::string> files = {
      "cp1251.dbf",        "dbase_03.dbf",       "dbase_03_cyrillic.dbf", "dbase_30.dbf",
      "dbase_83.dbf",      "dbase_8b.dbf",       "dbase_f5.dbf",          "mazovia.dbf",
      "polygon.dbf",       "foxprodb/calls.dbf", "foxprodb/contacts.dbf", "foxprodb/setup.dbf",
      "foxprodb/types.dbf"};
  const Outcome o = Compare(folder, files);
  EXPECT_TRUE(o.diffs.empty()) << o.text;
  ASSERT_EQ(o.tables.size(), files.size()) << o.text;
  // Each is read by at least one peer; most by all three.
  int allThree = 0;
  for (const auto& [table, peers] : o.tables) {
    EXPECT_NE(peers, "-") << table;
    allThree += peers == "dbfread,python3-dbf,perl";
  }
  EXPECT_GE(allThree, 5) << o.text;
  EXPECT_GT(o.quirks, 0);
}
