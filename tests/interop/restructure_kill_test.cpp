// A restructure killed with SIGKILL anywhere in its run never loses a table.
//
// The run is counted in steps (each progress event of the backup, each
// record copied, each file operation of a swap). A child process runs the
// Start command on a fresh copy of an operator's data folder and kills
// itself at step k, for 150 steps k spread over the run (one at random in
// each slice of it); afterwards the interrupted swap
// is settled as the next Start settles it, and every table must be either
// exactly as it was (its files byte for byte) or completely rebuilt (new
// structure, every live record once, memo and index files to match), and a
// backup archive that exists must pass unzip -t. A few runs of veltool itself
// are killed at random moments as well, and some killed runs are followed by
// a whole Start, which must then rebuild every table.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "app/operator_folder.h"
#include "platform/file.h"
#include "restructure/VelRun.h"
#include "support/host_files.h"
#include "support/scoped_env.h"
#include "support/temp_drive.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kFolder = "C:\\Velmora";
const opfolder::Options kOptions{.customers = 60, .orders = 40};
const char* const kTables[] = {"CUSTOMER", "ORDERS", "PRODUCTS"};
// Each table's files on disk, as the fixture spells them.
const std::map<std::string, std::vector<std::string>> kTableFiles = {
    {"CUSTOMER", {"CUSTOMER.DBF", "CUSTOMER.FPT", "CUSTOMER.CDX"}},
    {"ORDERS", {"orders.dbf", "orders.cdx", "orders.fpt"}},
    {"PRODUCTS", {"PRODUCTS.DBF", "PRODUCTS.FPT"}}};

// The seed of a run's kill instants: VEL_KILL_SEED=<n> repeats the instants of
// a run that failed (its seed is in the failure's trace); otherwise a fresh one.
uint32_t KillSeed() {
  const char* text = std::getenv("VEL_KILL_SEED");
  return text ? static_cast<uint32_t>(std::stoul(text)) : std::random_device()();
}

// The Start command in this process; SIGKILL at step `killAt` (0: never).
// Returns the steps the run took, -1 when it did not rebuild every table.
int Start(int killAt, int second) {
  TComponent owner;
  const TVelComponents c = CreateVelComponents(owner);
  for (TKeldorDataSet* tb : {c.tbDictionary, c.tbNewTable, c.tbOriginalTable}) tb->SetDatabaseName(kFolder);
  TStringList names, files;
  opfolder::QuietView view;
  TVelRun run(c, names, files, view);
  run.Clock = [second] {
    platform::LocalTime t;
    t.year = 2026, t.month = 12, t.day = 7, t.hour = 6, t.minute = 15, t.second = second;
    return t;
  };
  int steps = 0;
  run.OnStep = [&] {
    if (++steps == killAt) ::raise(SIGKILL);
  };
  c.tbDictionary->Open();
  return run.Start() ? steps : -1;
}

class RestructureKillTest : public ::testing::Test {
 protected:
  std::string Host(const std::string& name) const { return c.Host("Velmora/" + name); }

  void Seed() {
    fs::remove_all(c.Host("Velmora"));
    opfolder::Write(kFolder, c.Host("Velmora"), kOptions);
    original.clear();
    for (const auto& [table, files] : kTableFiles)
      for (const std::string& f : files)
        if (fs::exists(Host(f))) original[f] = ReadHostFile(Host(f));
    if (oldRows.empty())
      for (const char* t : kTables) oldRows[t] = opfolder::Rows(kFolder, t);
  }

  // Forks a child that runs Start and kills itself at `killAt`; true when
  // it was killed (false when the run ended first).
  bool RunChild(int killAt) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int rc = 3;
      try {
        rc = Start(killAt, 3) >= 0 ? 0 : 1;
      } catch (...) {
        rc = 2;
      }
      ::_exit(rc);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }

  bool IsOld(const std::string& table) const {
    for (const std::string& f : kTableFiles.at(table)) {
      auto it = original.find(f);
      const bool exists = platform::FileExists(std::string(kFolder) + "\\" + f);
      if (it == original.end() ? exists : !exists || ReadHostFile(Host(f)) != it->second) return false;
    }
    return true;
  }
  bool IsRebuilt(const std::string& table) const {
    const auto columns = opfolder::NewStructure(table);
    if (opfolder::Structure(kFolder, table) != opfolder::StructureOf(columns)) return false;
    const auto rows = opfolder::Rows(kFolder, table);
    if (rows != opfolder::Expected(oldRows.at(table), columns)) return false;
    const bool memo = table != "PRODUCTS";
    if (platform::FileExists(std::string(kFolder) + "\\" + table + ".fpt") != memo) return false;
    if (table == "PRODUCTS") return true;
    for (const std::string& tag :
         opfolder::Tags(std::string(kFolder) + "\\" + table + ".dbf", table + ".cdx"))
      if (tag.substr(tag.rfind(' ') + 1) != std::to_string(rows.size())) return false;
    return true;
  }
  // Settles what the killed run left, as the next Start does, and checks every table.
  void CheckFolder(const std::string& when) {
    SCOPED_TRACE(when);
    try {
      RecoverInterruptedSwap(kFolder);
    } catch (const std::exception& e) {
      FAIL() << "the interrupted swap could not be settled: " << e.what();
    }
    for (const char* table : kTables) {
      bool old = IsOld(table), rebuilt = false;
      if (!old) {
        try {
          rebuilt = IsRebuilt(table);
        } catch (const std::exception& e) {
          ADD_FAILURE() << table << " cannot be read: " << e.what();
        }
      }
      EXPECT_TRUE(old || rebuilt) << table << " is neither as it was nor rebuilt";
    }
    for (const auto& e : fs::directory_iterator(c.Host("Velmora"))) {
      const std::string name = e.path().filename().string();
      if (name.rfind("Velmora_", 0) != 0) continue;
      const int rc = std::system(("unzip -tq '" + e.path().string() + "' >/dev/null 2>&1").c_str());
      EXPECT_EQ(rc, 0) << name << " fails unzip -t";
    }
  }

  TempDrive c{'C'};
  ScopedEnv drive{"VELUPDATE_DRIVE_C", c.Root()};
  ScopedEnv windir{"VELUPDATE_WINDIR", c.Root() + "/windows"};
  std::map<std::string, std::string> original;
  std::map<std::string, std::vector<opfolder::Row>> oldRows;
};

TEST_F(RestructureKillTest, EveryTableIsWholeWhereverTheRunIsKilled) {
  if (std::system("unzip -v >/dev/null 2>&1") != 0) {
    if (std::getenv("CI") && std::string(std::getenv("CI")) == "true") FAIL() << "Info-ZIP unzip missing";
    GTEST_SKIP() << "Info-ZIP unzip missing";
  }
  // The whole run once, to count its steps.
  Seed();
  const int total = Start(0, 1);
  ASSERT_GT(total, 100) << "too few steps to spread the kills over";
  for (const char* t : kTables) ASSERT_TRUE(IsRebuilt(t)) << t;

  // Up to 150 instants spread over the run: one at random in each of 150
  // equal slices, so every run tries other instants (KillSeed).
  const uint32_t seed = KillSeed();
  SCOPED_TRACE("VEL_KILL_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  const int instants = std::min(total, 150);
  int killed = 0;
  for (int i = 0; i < instants; ++i) {
    const int from = 1 + static_cast<int>(int64_t{i} * total / instants);
    const int to = std::max(from, static_cast<int>(int64_t{i + 1} * total / instants));
    const int at = std::uniform_int_distribution<int>(from, to)(random);
    Seed();
    killed += RunChild(at);
    CheckFolder("killed at step " + std::to_string(at) + " of " + std::to_string(total));
    // Now and then the next Start must take the folder the rest of the way.
    if (i % 15 == 7) {
      EXPECT_GE(Start(0, 5), 0) << "the Start after a kill at step " << at << " did not rebuild every table";
      for (const char* t : kTables)
        EXPECT_TRUE(IsRebuilt(t)) << t << " after the Start that followed step " << at;
    }
    if (HasFailure()) break;
  }
  EXPECT_EQ(killed, instants);
}

TEST_F(RestructureKillTest, VeltoolKilledAtRandomMomentsLosesNoTable) {
  if (std::system("unzip -v >/dev/null 2>&1") != 0) GTEST_SKIP() << "Info-ZIP unzip missing";
  // How long a whole run of veltool takes here.
  Seed();
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(std::system((std::string(VEL_VELTOOL) + " restructure 'C:\\Velmora' >/dev/null 2>&1").c_str()),
            0);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started)
          .count();
  // Other moments on every run, as for the instants above.
  const uint32_t seed = KillSeed();
  SCOPED_TRACE("VEL_KILL_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  for (int i = 0; i < 12; ++i) {
    Seed();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::freopen("/dev/null", "w", stdout);
      ::freopen("/dev/null", "w", stderr);
      ::execl(VEL_VELTOOL, VEL_VELTOOL, "restructure", kFolder, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    const auto wait = std::uniform_int_distribution<int64_t>(0, micros)(random);
    ::usleep(static_cast<useconds_t>(wait));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    CheckFolder("veltool killed after " + std::to_string(wait) + " us of " + std::to_string(micros));
    if (HasFailure()) break;
  }
}

}  // namespace
