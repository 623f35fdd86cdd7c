// A `dorvane mount --foreground` in a child process for the length of a
// scope: ready when the mount point shows the file, unmounted (and the
// server waited for, killed if it hangs) whatever the test's outcome.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/file_bytes.h"

namespace dorvane::test {

inline bool CanMount() { return access("/dev/fuse", R_OK | W_OK) == 0 && HaveProgram("fusermount3"); }

// Runs a shell command when the scope ends (an unmount that must happen).
struct ShellOnExit {
  std::string command;
  ~ShellOnExit() { RunShell(command + " 2>/dev/null"); }
};

// Polls every 10 ms for up to `tries` times; whether `done` became true.
inline bool PollFor(const std::function<bool()> &done, int tries) {
  for (; tries > 0 && !done(); --tries) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return done();
}

class Mount {
 public:
  Mount(const std::string &image, const std::string &dir, std::vector<std::string> args = {})
      : dir_(dir) {
    mkdir(dir.c_str(), 0755);
    args.insert(args.begin(), {DORVANE_BINARY_DIR "/dorvane", "mount", "--foreground"});
    args.insert(args.end(), {image, dir});
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      return;
    }
    ready_ = PollFor([&] {
      struct stat top, below;
      return !Alive() || (stat(dir.c_str(), &below) == 0 &&
                          stat((dir + "/..").c_str(), &top) == 0 && below.st_dev != top.st_dev);
    }, 1000) && Alive();
  }
  ~Mount() { Unmount(); }

  bool Ready() const { return ready_; }
  std::string File() const { return dir_ + "/disk"; }

  // Unmounts; the server's exit status, -1 if it had to be killed.
  int Unmount() {
    if (pid_ > 0 && RunShell("fusermount3 -u " + dir_ + " 2>/dev/null") != 0) {
      RunShell("fusermount3 -uz " + dir_ + " 2>/dev/null");
    }
    if (pid_ > 0 && !PollFor([&] { return !Alive(); }, 3000)) {
      kill(pid_, SIGKILL);
      PollFor([&] { return !Alive(); }, 3000);
      exit_ = -1;
    }
    pid_ = -1;
    return exit_;
  }

 private:
  bool Alive() {
    int status = 0;
    if (exit_ != -2 || waitpid(pid_, &status, WNOHANG) == 0) return exit_ == -2;
    exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }

  std::string dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
  int exit_ = -2;  // -2 while running
};

}  // namespace dorvane::test
