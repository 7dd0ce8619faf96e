// The peer program (platform_peer) as a second process, POSIX hosts.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
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
