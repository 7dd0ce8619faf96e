// A real `veltool zip` run interrupted by SIGINT, SIGTERM and SIGHUP while it
// writes its temporary output: the process ends as the signal says, the
// temporary file is gone and the archive it was adding to is unchanged.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "archive/zarvoZip.h"
#include "support/host_files.h"
#include "support/temp_drive.h"

namespace fs = std::filesystem;

namespace {

std::string Noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 7;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return s;
}

// The engine's temporary files ("zar" + hex + ".tmp") in a host folder.
std::vector<fs::path> TempFiles(const std::string& folder) {
  std::vector<fs::path> r;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(folder, ec)) {
    std::string n = e.path().filename().string();
    if (n.rfind("zar", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".tmp") r.push_back(e.path());
  }
  return r;
}

// Starts veltool with `args`, the drive map and temporary folder in its
// environment, and the three signals at their default action.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
  // Progress and counts are not what this test reads.
  std::freopen("/dev/null", "w", stdout);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

}  // namespace

TEST(ZipSignals, InterruptedRunLeavesNoTemporaryFileAndTheArchiveAsItWas) {
  TempDrive d('T');
  const std::string tmp = d.Host("tmp");
  fs::create_directories(tmp);
  // Enough incompressible data at the slowest level that the run is still
  // writing when the signal comes.
  for (int i = 1; i <= 4; ++i)
    WriteHostFile(d.Host("src/n" + std::to_string(i) + ".bin"), Noise(12 << 20, i));
  WriteHostFile(d.Host("first.txt"), "the only entry so far");
  {
    TZip zip;
    zip.SetArchiveFile(d.Dos("w.zip"));
    zip.FileSpec().Add(d.Dos("first.txt"));
    ASSERT_EQ(zip.Compress(), 1);
  }
  const std::string before = ReadHostFile(d.Host("w.zip"));
  const std::vector<std::string> env = {"VELUPDATE_DRIVE_T=" + d.Root(), "TMPDIR=" + tmp};

  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(sig);
    pid_t pid = Spawn({VEL_VELTOOL, "zip", "T:\\w.zip", "T:\\src\\*.bin", "--level", "X"}, env);
    ASSERT_GT(pid, 0);
    // Wait until the temporary output holds a good part of an entry.
    bool writing = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!writing && std::chrono::steady_clock::now() < deadline) {
      for (const auto& f : TempFiles(tmp)) {
        std::error_code ec;
        if (fs::file_size(f, ec) > (1u << 20)) writing = true;
      }
      if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      int status = 0;
      if (!writing && ::waitpid(pid, &status, WNOHANG) == pid) FAIL() << "veltool ended first: " << status;
    }
    ASSERT_TRUE(writing) << "no temporary output appeared";
    ASSERT_EQ(::kill(pid, sig), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_TRUE(TempFiles(tmp).empty());
    EXPECT_TRUE(TempFiles(d.Root()).empty());
    EXPECT_EQ(ReadHostFile(d.Host("w.zip")), before);
  }
}
