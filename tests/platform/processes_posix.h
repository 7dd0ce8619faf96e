// A forked child inside a private mount namespace with a small tmpfs, and
// the peer program (peer_process.h).
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

#include "peer_process.h"

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
