// Compound index files the engine writes are read by Perl XBase: walking a
// tag through XBase::Index gives the same records in the same order as the
// engine's own walk, after a fresh build and after many record writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

#include "index/hx6_indx.h"
#include "support/host_files.h"
#include "support/temp_drive.h"
#include "tables/hx6_dbf.h"
#include "tables/table_test_util.h"

namespace {

const std::string kPeer = std::string(VEL_SOURCE_DIR) + "/tests/interop/index_peer.pl";

bool UnderCi() {
  const char* ci = std::getenv("CI");
  return ci && std::string(ci) == "true";
}

bool PeerAvailable() { return std::system("perl -MXBase -MXBase::Index -e1 >/dev/null 2>&1") == 0; }

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

std::vector<int> PeerWalk(const TempDrive& d, const std::string& tag, const std::string& type,
                          const std::string& find = "") {
  std::string cmd = "perl '" + kPeer + "' '" + d.Host("people.dbf") + "' '" + d.Host("people.cdx") + "' " +
                    tag + " " + type;
  if (!find.empty()) cmd += " '" + find + "'";
  std::istringstream in(Run(cmd));
  std::vector<int> ids;
  std::string line;
  while (std::getline(in, line)) {
    char* end;
    const long v = std::strtol(line.c_str(), &end, 10);
    if (*end != 0 || line.empty()) {
      ADD_FAILURE() << "peer said: " << line;
      break;
    }
    ids.push_back(int(v));
  }
  return ids;
}

// A table whose maintenance runs after every write, as the handler's does.
class Table : public HXO_dBaseFld {
 public:
  using HXO_dBaseFld::HXO_dBaseFld;
  ~Table() override { index.reset(); }
  void StatusUpdate(int code, int64_t value) override {
    if (code == kStatusAfterWrite && index) index->UpdateRecord(value == 0 ? RecNo() : value, value == 0);
    HXO_dBaseFld::StatusUpdate(code, value);
  }
  void Put(const char* field, const std::string& v) { PutString(FieldNumber(field), v); }
  std::unique_ptr<HXobjIndexFile> index;
};

// The live records of a tag in its order, as their ID field.
std::vector<int> EngineWalk(Table& t, HXobjIndexTag& tag) {
  std::vector<int> ids;
  for (int64_t r = tag.First(); r != 0; r = tag.Next()) {
    uint8_t* saved = t.RecordBuffer();
    std::vector<uint8_t> record(t.RecordLength() + 1);
    t.SetRecordBuffer(record.data());
    t.HXO_DiskFile::ReadAt(t.RecordOffset(r), record.data(), t.RecordLength());
    if (record[0] == ' ') ids.push_back(int(t.GetNumber(t.FieldNumber("ID"))));
    t.SetRecordBuffer(saved);
  }
  return ids;
}

tabletest::DbfImage RandomTable(int n, std::mt19937& rng) {
  tabletest::DbfImage img;
  img.fields = {{"ID", 'N', 6}, {"NAME", 'C', 12}, {"AMOUNT", 'N', 10, 2}, {"BORN", 'D', 8}};
  for (int i = 1; i <= n; ++i) {
    char rec[64];
    std::string name(1 + rng() % 11, ' ');
    for (char& c : name) c = char('A' + rng() % 6);
    const int year = 1950 + int(rng() % 70), month = 1 + int(rng() % 12), day = 1 + int(rng() % 28);
    std::snprintf(rec, sizeof rec, "%c%6d%-12s%10.2f%04d%02d%02d", rng() % 10 == 0 ? '*' : ' ', i,
                  name.c_str(), double(int(rng() % 200001) - 100000) / 100.0, year, month, day);
    img.records.push_back(rec);
  }
  return img;
}

}  // namespace

TEST(IndexXBase, PerlXBaseReadsOurTagsInTheSameOrder) {
  if (!PeerAvailable()) {
    if (UnderCi()) FAIL() << "Perl XBase (libdbd-xbase-perl) is missing";
    GTEST_SKIP() << "Perl XBase (libdbd-xbase-perl) is missing";
  }
  TempDrive drive;
  std::mt19937 rng(42);
  ASSERT_TRUE(WriteHostFile(drive.Host("people.dbf"), tabletest::Bytes(RandomTable(3000, rng))));
  Table t(drive.Dos("people.dbf"), false, true);
  t.index = HxOpenIndexFile(&t, "people.cdx");
  HXobjIndexFile& cdx = *t.index;
  cdx.AddTag("NAME", "NAME", false, true, "");
  cdx.AddTag("AMOUNT", "AMOUNT", false, true, "");
  cdx.AddTag("BORN", "BORN", false, true, "");
  cdx.AddTag("RICH", "NAME", false, true, "AMOUNT > 500");
  const struct {
    const char* tag;
    const char* type;
  } tags[] = {{"NAME", "char"}, {"AMOUNT", "num"}, {"BORN", "date"}, {"RICH", "char"}};
  auto compare = [&](const char* when) {
    cdx.Flush();
    for (const auto& k : tags) {
      const auto ours = EngineWalk(t, *cdx.TagByName(k.tag));
      const auto theirs = PeerWalk(drive, k.tag, k.type);
      EXPECT_EQ(theirs, ours) << k.tag << " " << when;
    }
  };
  compare("after the build");
  // Many writes: keys change, records are appended, leaves are rewritten and split.
  for (int i = 0; i < 1500; ++i) {
    if (rng() % 3 == 0) {
      t.BlankRecord();
      t.Put("ID", std::to_string(3001 + i));
      t.Put("NAME", std::string(1 + rng() % 11, char('A' + rng() % 6)));
      t.Put("AMOUNT", std::to_string(int(rng() % 2000) - 1000));
      t.Put("BORN", "20010203");
      t.AppendRecord();
    } else {
      t.GetRecord(1 + int64_t(rng() % t.RecordCount()));
      t.Put("NAME", std::string(1 + rng() % 11, char('A' + rng() % 6)));
      t.Put("AMOUNT", std::to_string(int(rng() % 2000) - 1000));
      t.PutRecord(t.RecNo());
    }
  }
  compare("after the writes");
  const HxIndexCheckReport report = HxCheckIndexFile(cdx);
  EXPECT_TRUE(report.Ok()) << report.problems.front();
  // A seek through the peer lands where ours does.
  HXobjIndexTag& name = *cdx.TagByName("NAME");
  ThxVariant key;
  key.SetString("CC");
  name.Seek(key);
  const auto all = EngineWalk(t, name);
  const auto theirs = PeerWalk(drive, "NAME", "char", "CC");
  ASSERT_FALSE(theirs.empty());
  EXPECT_EQ(theirs, std::vector<int>(all.end() - static_cast<std::ptrdiff_t>(theirs.size()), all.end()));
}
