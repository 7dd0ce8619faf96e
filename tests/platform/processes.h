// Second processes for the platform tests: the peer program (platform_peer),
// and a forked child inside a private mount namespace with a small tmpfs.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

// The peer program with its standard input and output on pipes. Extra
// environment entries ("NAME=value") come after the test's own.
class PeerProcess {
 public:
  PeerProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argStore = {VEL_PLATFORM_PEER};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.push_back(*e);
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, argStore[0].c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toPeer_ = in[1];
    fromPeer_ = out[0];
  }
  ~PeerProcess() { Wait(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  // The next line the peer prints, without its newline ("" at its end).
  std::string ReadLine() {
    std::string line;
    char c;
    while (::read(fromPeer_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }

  // Closes the peer's input (a holding peer lets go) and waits for its end;
  // its exit status, or -1 when it did not exit normally.
  int Wait() {
    if (toPeer_ >= 0) ::close(toPeer_);
    toPeer_ = -1;
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
    }
    if (fromPeer_ >= 0) ::close(fromPeer_);
    fromPeer_ = -1;
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int toPeer_ = -1, fromPeer_ = -1;
  int status_ = -1;
};

// Runs `body` in a forked child inside a private mount namespace, with a
// tmpfs mounted (with `options`, e.g. "size=2m") at a fresh folder whose host
// path `body` receives. Assertions in `body` report as usual (the child
// prints them); the parent test fails when the child did. Where no file
// system can be mounted (not root, no namespaces) the test is skipped with a
// message, except under CI as root, where it must run.
inline void RunWithTmpfs(const std::string& options, const std::function<void(const std::string&)>& body) {
  std::string tmpl = "/tmp/veltest-mnt-XXXXXX";
  ASSERT_TRUE(::mkdtemp(tmpl.data()));
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(report[0]);
    auto refuse = [&](const char* what) {
      std::string msg = std::string(what) + ": " + std::strerror(errno);
      (void)!::write(report[1], msg.data(), msg.size());
      ::_exit(77);
    };
    if (::unshare(CLONE_NEWNS) != 0) refuse("unshare(CLONE_NEWNS)");
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) refuse("making mounts private");
    unsigned long flags = 0;
    std::string data = options;
    if (data == "ro" || data.rfind("ro,", 0) == 0) {
      flags |= MS_RDONLY;
      data = data.size() > 3 ? data.substr(3) : "";
    }
    if (::mount("tmpfs", tmpl.c_str(), "tmpfs", flags, data.c_str()) != 0) refuse("mounting a tmpfs");
    body(tmpl);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  ::close(report[1]);
  std::string why;
  char buf[256];
  ssize_t n;
  while ((n = ::read(report[0], buf, sizeof buf)) > 0) why.append(buf, static_cast<size_t>(n));
  ::close(report[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::rmdir(tmpl.c_str());
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (code == 77) {
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true" && ::geteuid() == 0)
      FAIL() << "cannot mount a test file system under CI as root: " << why;
    GTEST_SKIP() << "needs a private mount namespace and a tmpfs (run as root): " << why;
  }
  EXPECT_EQ(code, 0) << "the check inside the mount namespace failed (see its output above)";
}
