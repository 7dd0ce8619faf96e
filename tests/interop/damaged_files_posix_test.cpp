// Damaged files of every kind handed to veltool, the way an administrator
// hands it what a crash, a bad disk or a half-finished copy left behind:
// tables and their memo files, CDX, NDX, NTX and MDX indexes, zip archives.
// Each file is cut short at the places its layout turns on, has its header
// fields overwritten with the values that break naive readers, and has bytes
// overwritten at random (seeded, so a failure repeats). Every run must end on
// its own with status 0 or 1 - never a signal, a sanitizer report or a hang -
// a failure must say what went wrong, and a run that only reads must leave
// the file as it was. A zip run that fails must leave the archive as it was.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/host_files.h"
#include "support/shell.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status = -1;  // the exit status; 128+N when a signal N ended the run
  std::string err;
};

// Runs veltool with a hard time limit: a run still going after it counts as a
// hang (status 137).
Outcome Veltool(const fs::path& work, const std::string& args) {
  const fs::path errFile = work / "stderr.txt";
  const std::string cmd = "cd " + Quote(work.string()) + " && timeout -s KILL 120 " + VEL_VELTOOL + " " +
                          args + " </dev/null >/dev/null 2>" + Quote(errFile.string());
  const int rc = std::system(cmd.c_str());
  Outcome o;
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + (WIFSIGNALED(rc) ? WTERMSIG(rc) : 0);
  o.err = ReadHostFile(errFile.string());
  return o;
}

// A run ended as it should: status 0 or 1 (no signal, no hang), no sanitizer
// report, and a failure says what went wrong.
::testing::AssertionResult EndedOnItsOwn(const Outcome& o) {
  if (o.status != 0 && o.status != 1)
    return ::testing::AssertionFailure() << "ended with " << o.status << "\n" << o.err;
  if (o.err.find("Sanitizer") != std::string::npos || o.err.find("runtime error") != std::string::npos)
    return ::testing::AssertionFailure() << "a sanitizer report:\n" << o.err;
  if (o.status == 1 && o.err.empty()) return ::testing::AssertionFailure() << "failed without a word";
  return ::testing::AssertionSuccess();
}

// One way of damaging a file's bytes, with a label that names it in failures.
struct Damage {
  std::string label;
  std::function<std::string(std::string)> apply;
};

Damage CutAt(size_t at) {
  return {"cut at " + std::to_string(at),
          [at](std::string b) { return b.substr(0, std::min(at, b.size())); }};
}

Damage Put(size_t at, std::string bytes) {
  std::string hex;
  for (unsigned char c : bytes) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  return {"0x" + hex + " at " + std::to_string(at), [at, bytes](std::string b) {
            if (at < b.size())
              b.replace(at, std::min(bytes.size(), b.size() - at), bytes.substr(0, b.size() - at));
            return b;
          }};
}

std::string Le32(uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Le16(uint16_t v) { return {char(v), char(v >> 8)}; }

// Cuts at every block-sized boundary and beside it, the middle and the last
// byte; then `count` mutants with one to eight bytes overwritten by values
// readers trip on.
std::vector<Damage> Generic(size_t size, size_t block, unsigned seed, int count) {
  std::vector<Damage> d;
  for (size_t at : {size_t(0), size_t(1), size_t(4), size_t(31), size_t(32), size / 2, size - 1})
    d.push_back(CutAt(at));
  for (size_t at = block; at < size && d.size() < 16; at += block) {
    d.push_back(CutAt(at));
    d.push_back(CutAt(at + 1));
  }
  std::mt19937 rng(seed);
  const unsigned char palette[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0x20, 0x0D, 0x1A};
  for (int i = 0; i < count; ++i) {
    const int n = 1 + int(rng() % 8);
    std::vector<std::pair<size_t, unsigned char>> edits;
    // Half the mutants hit the first block, where the bookkeeping lives.
    const size_t span = (i % 2 == 0) ? std::min(size, std::max<size_t>(block, 64)) : size;
    for (int k = 0; k < n; ++k)
      edits.push_back(
          {rng() % span, rng() % 3 == 0 ? static_cast<unsigned char>(rng()) : palette[rng() % 8]});
    d.push_back(
        {"mutant " + std::to_string(i) + " (seed " + std::to_string(seed) + ")", [edits](std::string b) {
           for (auto [at, v] : edits)
             if (at < b.size()) b[at] = static_cast<char>(v);
           return b;
         }});
  }
  return d;
}

// The header fields of a table that size everything else.
std::vector<Damage> TableHeader() {
  return {Put(4, Le32(0xFFFFFFFF)),
          Put(4, Le32(0x7FFFFFFF)),
          Put(8, Le16(0)),
          Put(8, Le16(0xFFFF)),
          Put(8, Le16(33)),
          Put(10, Le16(0)),
          Put(10, Le16(1)),
          Put(10, Le16(0xFFFF)),
          Put(32 + 11, "\x01"),
          Put(32 + 16, "\xFF"),
          Put(32 + 16, "\x00"),
          Put(32 + 17, "\xFF"),
          Put(32, std::string(32, '\x0D')),
          Put(0, "\x00")};
}

class DamagedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = fs::temp_directory_path() / ("velupdate-damaged-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(work_);
    fs::create_directories(work_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(work_);
  }

  void CopyIn(const std::string& fixture, const std::string& as) {
    fs::copy_file(fs::path(VEL_FIXTURES_DIR) / fixture, work_ / as, fs::copy_options::overwrite_existing);
  }

  // Lays down the sound files, damages `victim` each way, and runs every
  // command on each damaged copy. `reads` commands must not change any file;
  // `writes` commands must leave the victim as it was when they fail.
  void Sweep(const std::function<void()>& layDown, const std::string& victim,
             const std::vector<Damage>& damages, const std::vector<std::string>& reads,
             const std::vector<std::string>& writes = {}) {
    layDown();
    const std::string sound = ReadHostFile((work_ / victim).string());
    ASSERT_FALSE(sound.empty()) << victim;
    for (const Damage& d : damages) {
      for (size_t c = 0; c < reads.size() + writes.size(); ++c) {
        layDown();
        const std::string damaged = d.apply(sound);
        ASSERT_TRUE(WriteHostFile((work_ / victim).string(), damaged));
        const bool reading = c < reads.size();
        const std::string& args = reading ? reads[c] : writes[c - reads.size()];
        const Outcome o = Veltool(work_, args);
        const std::string where = victim + ", " + d.label + ": veltool " + args;
        EXPECT_TRUE(EndedOnItsOwn(o)) << where;
        if (reading || o.status != 0) {
          EXPECT_TRUE(ReadHostFile((work_ / victim).string()) == damaged)
              << where << (reading ? " changed the file it only read" : " failed and changed the file");
        }
        if (HasFailure()) return;  // one broken case is enough to read
      }
    }
  }

  fs::path work_;
};

TEST_F(DamagedFiles, TablesAndTheirMemoFiles) {
  // A Visual FoxPro table with an FPT memo file, a dBase III table with a DBT.
  auto vfp = [&] {
    CopyIn("dbase_30.dbf", "t.dbf");
    CopyIn("dbase_30.fpt", "t.fpt");
  };
  std::vector<Damage> dbf = TableHeader();
  for (Damage& d : Generic(fs::file_size(fs::path(VEL_FIXTURES_DIR) / "dbase_30.dbf"), 4096, 30, 16))
    dbf.push_back(d);
  Sweep(vfp, "t.dbf", dbf, {"info t.dbf", "dump --deleted --json t.dbf"});

  std::vector<Damage> fpt = {Put(0, Le32(0)), Put(0, Le32(0xFFFFFFFF)), Put(6, Le16(0)), Put(6, Le16(1)),
                             Put(6, Le16(0xFFFF))};
  for (Damage& d : Generic(fs::file_size(fs::path(VEL_FIXTURES_DIR) / "dbase_30.fpt"), 64, 31, 16))
    fpt.push_back(d);
  Sweep(vfp, "t.fpt", fpt, {"dump t.dbf"});

  auto db3 = [&] {
    CopyIn("dbase_83.dbf", "m.dbf");
    CopyIn("dbase_83.dbt", "m.dbt");
  };
  std::vector<Damage> dbt = {Put(0, Le32(0)), Put(0, Le32(0xFFFFFFFF))};
  for (Damage& d : Generic(fs::file_size(fs::path(VEL_FIXTURES_DIR) / "dbase_83.dbt"), 512, 83, 16))
    dbt.push_back(d);
  Sweep(db3, "m.dbt", dbt, {"dump --json m.dbf"});
  Sweep(db3, "m.dbf", TableHeader(), {"dump m.dbf"});

  // dBase IV: the block size and the free list live in the memo header.
  auto db4 = [&] {
    CopyIn("dbase_8b.dbf", "f.dbf");
    CopyIn("dbase_8b.dbt", "f.dbt");
  };
  std::vector<Damage> dbt4 = {Put(0, Le32(0)),  Put(0, Le32(0xFFFFFFFF)), Put(4, Le32(0xFFFFFFFF)),
                              Put(20, Le16(0)), Put(20, Le16(1)),         Put(20, Le16(0xFFFF))};
  for (Damage& d : Generic(fs::file_size(fs::path(VEL_FIXTURES_DIR) / "dbase_8b.dbt"), 512, 84, 16))
    dbt4.push_back(d);
  Sweep(db4, "f.dbt", dbt4, {"dump --json f.dbf"});
}

TEST_F(DamagedFiles, CompoundIndexes) {
  auto calls = [&] {
    CopyIn("foxprodb/calls.dbf", "calls.dbf");
    CopyIn("foxprodb/calls.FPT", "calls.FPT");
    CopyIn("foxprodb/calls.CDX", "calls.CDX");
  };
  calls();
  const std::string tags = ReadHostFile((work_ / "calls.CDX").string());
  std::vector<Damage> cdx = Generic(tags.size(), 512, 512, 30);
  // The tag directory's root pointer and the first tag's header.
  for (size_t at : {size_t(0), size_t(4), size_t(8), size_t(12), size_t(502), size_t(1024), size_t(1024 + 4)})
    cdx.push_back(Put(at, Le32(0xFFFFFFF0)));
  Sweep(calls, "calls.CDX", cdx, {"index --check calls.dbf calls.CDX"});
}

TEST_F(DamagedFiles, SingleTagIndexesAndMdx) {
  // The index files are made here from a real table, then damaged.
  for (const std::string ext : {"ndx", "ntx", "mdx"}) {
    SCOPED_TRACE(ext);
    const std::string file = "k." + ext;
    auto layDown = [&] { CopyIn("dbase_03.dbf", "k.dbf"); };
    layDown();
    fs::remove(work_ / file);
    const Outcome made = Veltool(work_, "index k.dbf " + file + " --create K 'Point_ID'");
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string sound = ReadHostFile((work_ / file).string());
    auto withIndex = [&] {
      layDown();
      ASSERT_TRUE(WriteHostFile((work_ / file).string(), sound));
    };
    std::vector<Damage> d =
        Generic(sound.size(), ext == "ntx" ? 1024 : 512, static_cast<unsigned>(sound.size()), 20);
    for (size_t at : {size_t(0), size_t(4), size_t(8), size_t(12), size_t(16), size_t(20), size_t(24)})
      d.push_back(Put(at, Le32(0xFFFFFFF0)));
    Sweep(withIndex, file, d, {"index --check k.dbf " + file});
    if (HasFailure()) return;
  }
}

TEST_F(DamagedFiles, ZipArchivesReadAndExtended) {
  auto files = [&] {
    CopyIn("dbase_30.dbf", "a.dbf");
    CopyIn("dbase_30.fpt", "a.fpt");
    CopyIn("cp1251.dbf", "b.dbf");
  };
  files();
  const Outcome made = Veltool(work_, "zip --workers 1 old.zip a.dbf a.fpt b.dbf");
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string sound = ReadHostFile((work_ / "old.zip").string());
  ASSERT_GT(sound.size(), 22u);
  auto layDown = [&] {
    files();
    fs::remove(work_ / "a.dbf");  // extending adds a file the archive lacks
    CopyIn("dbase_83.dbf", "c.dbf");
    ASSERT_TRUE(WriteHostFile((work_ / "old.zip").string(), sound));
  };
  const size_t end = sound.rfind(std::string("PK\x05\x06", 4));
  ASSERT_NE(end, std::string::npos);
  const size_t central = sound.rfind(std::string("PK\x01\x02", 4), end);
  std::vector<Damage> d = Generic(sound.size(), 4096, 7, 20);
  // The end record's counts, size and offset; the central directory's sizes,
  // name length and local offset; the first local header's lengths.
  for (size_t at : {end + 8, end + 10}) d.push_back(Put(at, Le16(0xFFFF)));
  for (size_t at : {end + 12, end + 16}) d.push_back(Put(at, Le32(0xFFFFFFFF)));
  d.push_back(Put(end + 20, Le16(0xFFFF)));
  for (size_t at : {central + 20, central + 24, central + 42}) d.push_back(Put(at, Le32(0xFFFFFFF0)));
  for (size_t at : {central + 28, central + 30}) d.push_back(Put(at, Le16(0xFFFF)));
  for (size_t at : {size_t(18), size_t(22)}) d.push_back(Put(at, Le32(0xFFFFFFF0)));
  d.push_back(Put(26, Le16(0xFFFF)));
  d.push_back(CutAt(end));
  d.push_back(CutAt(central));
  Sweep(layDown, "old.zip", d, {"ziplist old.zip"}, {"zip --workers 1 old.zip c.dbf"});
}

// A restructure over a data folder with one damaged file: a failed run
// leaves the damaged file as it was; a run that ends well leaves tables and
// indexes that read back.
TEST_F(DamagedFiles, RestructureOfAFolderWithOneDamagedFile) {
  const fs::path folder = work_ / "data";
  ASSERT_EQ(Veltool(work_, "demo-folder " + Quote(folder.string())).status, 0);
  std::vector<std::pair<std::string, std::string>> demo;
  for (const auto& e : fs::directory_iterator(folder))
    demo.push_back({e.path().filename().string(), ReadHostFile(e.path().string())});
  auto layDown = [&] {
    fs::remove_all(folder);
    fs::remove_all(work_ / "archive");
    fs::create_directories(work_ / "archive");
    for (const auto& [name, bytes] : demo) ASSERT_TRUE(WriteHostFile((folder / name).string(), bytes));
  };
  for (const auto& [victim, sound] : demo) {
    std::vector<Damage> damages = Generic(sound.size(), 512, static_cast<unsigned>(sound.size()), 6);
    if (victim.size() > 4 && victim.substr(victim.size() - 4) == ".dbf")
      for (Damage& d : TableHeader()) damages.push_back(d);
    for (const Damage& d : damages) {
      layDown();
      const std::string damaged = d.apply(sound);
      ASSERT_TRUE(WriteHostFile((folder / victim).string(), damaged));
      const Outcome o = Veltool(work_, "restructure --archive-dir " + Quote((work_ / "archive").string()) +
                                           " " + Quote(folder.string()));
      const std::string where = victim + ", " + d.label + ": restructure";
      ASSERT_TRUE(EndedOnItsOwn(o)) << where;
      if (o.status == 1) {
        // A compound index of one block or less holds nothing and is taken
        // for a new one, so opening it may write its empty header.
        const bool emptyIndex =
            damaged.size() <= 512 && (victim.ends_with(".cdx") || victim.ends_with(".CDX"));
        ASSERT_TRUE(emptyIndex || ReadHostFile((folder / victim).string()) == damaged)
            << where << " failed and changed the file";
        continue;
      }
      // The damaged file's table was rebuilt: it reads back, and so does its index.
      const std::string table = victim.substr(0, victim.find('.'));
      const bool dictionary = table == "Dictionary" || table == "dictionary";
      const Outcome dump =
          Veltool(folder, "dump " + (dictionary ? std::string("Dictionary") : table) + ".dbf");
      ASSERT_EQ(dump.status, 0) << where << " left " << table << " unreadable: " << dump.err;
      if (table == "CUSTOMER") {
        const Outcome check = Veltool(folder, "index --check CUSTOMER.dbf CUSTOMER.cdx");
        ASSERT_EQ(check.status, 0) << where << " left a damaged index: " << check.err;
      }
    }
  }
}

}  // namespace
