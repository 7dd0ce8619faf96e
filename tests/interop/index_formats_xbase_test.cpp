// NDX, NTX and MDX files the engine writes are read by Perl XBase::Index:
// after a build and a few thousand record writes, walking each file (each tag
// of an MDX file) gives the same records in the same order as the engine's
// own walk.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "index/hx6_xidx.h"
#include "index/plain_index_test_util.h"

using namespace plaintest;

namespace {

const std::string kPeer = std::string(VEL_SOURCE_DIR) + "/tests/interop/index_formats_peer.pl";

bool PeerAvailable() { return std::system("perl -MXBase -MXBase::Index -e1 >/dev/null 2>&1") == 0; }

std::vector<int64_t> PeerWalk(const TempDrive& d, const std::string& index, const std::string& type,
                              const std::string& tag = "") {
  const std::string cmd = "perl '" + kPeer + "' '" + d.Host("people.dbf") + "' '" + d.Host(index) + "' " + type +
                          (tag.empty() ? "" : " " + tag) + " 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  std::istringstream in(out);
  std::vector<int64_t> recnos;
  std::string line;
  while (std::getline(in, line)) {
    char* end;
    const long v = std::strtol(line.c_str(), &end, 10);
    if (*end != 0 || line.empty()) {
      ADD_FAILURE() << index << ": peer said: " << line;
      break;
    }
    recnos.push_back(v);
  }
  return recnos;
}

}  // namespace

#define REQUIRE_PEER()                                                          \
  if (!PeerAvailable()) {                                                       \
    const char* ci = std::getenv("CI");                                         \
    if (ci && std::string(ci) == "true") FAIL() << "Perl XBase::Index is missing"; \
    GTEST_SKIP() << "Perl XBase::Index is missing (libdbd-xbase-perl)";         \
  }

TEST(IndexFormatsXbase, PerlWalksNdxAndNtxFilesAsTheEngineDoes) {
  REQUIRE_PEER();
  TempDrive drive;
  std::mt19937 rng(77);
  auto rows = RandomRows(1500, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  const std::vector<std::tuple<std::string, std::string, bool, std::string>> files = {
      {"name.ndx", "NAME", true, "char"},
      {"amount.ndx", "AMOUNT", true, "num"},
      {"name.ntx", "NAME", true, "char"},
      {"amount.ntx", "AMOUNT", false, "num"}};
  for (const auto& [file, key, ascending, type] : files) {
    t.files.push_back(HxCreateIndexFile(&t, drive.Dos(file)));
    t.files.back()->AddTag("", key, false, ascending, "");
  }
  auto compare = [&](const char* when) {
    for (size_t i = 0; i < files.size(); ++i) {
      t.files[i]->Flush();
      const std::vector<int64_t> ours = Walk(*t.files[i]->Tags(0));
      EXPECT_EQ(ours.size(), rows.size()) << std::get<0>(files[i]) << " " << when;
      EXPECT_EQ(PeerWalk(drive, std::get<0>(files[i]), std::get<3>(files[i])), ours)
          << std::get<0>(files[i]) << " " << when;
    }
  };
  compare("after the build");
  for (int step = 0; step < 2500; ++step) RandomWrite(t, rows, rng);
  compare("after the writes");
}

// XBase::Index walks an MDX tag through its pages without decoding keys, so
// numeric, date, descending and FOR tags are all compared by their order.
TEST(IndexFormatsXbase, PerlWalksEveryTagOfAnMdxFileAsTheEngineDoes) {
  REQUIRE_PEER();
  TempDrive drive;
  std::mt19937 rng(78);
  auto rows = RandomRows(1500, rng);
  IndexedTable t(WriteTable(drive, "people.dbf", PeopleTable(rows)));
  t.files.push_back(HxCreateIndexFile(&t, drive.Dos("people.mdx")));
  HXobjIndexFile& mdx = *t.files.back();
  const std::vector<std::tuple<std::string, std::string, bool, std::string>> tags = {
      {"NAME", "NAME", true, ""},
      {"AMOUNT", "AMOUNT", true, ""},
      {"DOWN", "AMOUNT", false, ""},
      {"POSNAME", "NAME", true, "AMOUNT >= 0"}};
  for (const auto& [name, key, ascending, condition] : tags) mdx.AddTag(name, key, false, ascending, condition);
  auto compare = [&](const char* when) {
    mdx.Flush();
    for (const auto& [name, key, ascending, condition] : tags) {
      const std::vector<int64_t> ours = Walk(*mdx.TagByName(name));
      EXPECT_GT(ours.size(), rows.size() / 3) << name << " " << when;
      EXPECT_EQ(PeerWalk(drive, "people.mdx", "char", name), ours) << name << " " << when;
    }
  };
  compare("after the build");
  for (int step = 0; step < 2500; ++step) RandomWrite(t, rows, rng);
  compare("after the writes");
}
