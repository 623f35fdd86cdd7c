// A `dorvane mount --foreground` in a child process for the length of a
// scope: ready when the mount point shows the file, unmounted and the server
// waited for whatever the test's outcome.
#pragma once

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/file_bytes.h"

namespace dorvane::test {

inline bool CanMount() {
  return access("/dev/fuse", R_OK | W_OK) == 0 && HaveProgram("fusermount3");
}

// Runs a shell command when the scope ends (an unmount that must happen).
struct ShellOnExit {
  std::string command;
  ~ShellOnExit() { RunShell(command + " 2>/dev/null"); }
};

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
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return;
    struct stat top {}, below {};
    for (int tries = 0; tries < 1000 && waitpid(pid_, &status_, WNOHANG) == 0; ++tries) {
      if (stat(dir.c_str(), &below) == 0 && stat((dir + "/..").c_str(), &top) == 0 &&
          (ready_ = below.st_dev != top.st_dev)) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Mount() { Unmount(); }

  bool Ready() const { return ready_; }
  std::string File() const { return dir_ + "/disk"; }

  // Unmounts (lazily if it must: the server then ends too) and returns the
  // server's exit status.
  int Unmount() {
    if (ready_) {
      RunShell("fusermount3 -u " + dir_ + " 2>/dev/null || fusermount3 -uz " + dir_);
      waitpid(pid_, &status_, 0);
      ready_ = false;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
  bool ready_ = false;
};

}  // namespace dorvane::test
