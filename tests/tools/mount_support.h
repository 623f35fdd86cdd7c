// A `dorvane mount --foreground` in a child process for the length of a
// scope: ready when the mount point shows the file, unmounted (and the
// server waited for, killed if it hangs) whatever the test's outcome.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/file_bytes.h"

namespace dorvane::test {

inline bool CanMount() { return access("/dev/fuse", R_OK | W_OK) == 0 && HaveProgram("fusermount3"); }

class Mount {
 public:
  Mount(const std::string &image, const std::string &mountPoint, std::vector<std::string> options = {})
      : mountPoint_(mountPoint) {
    mkdir(mountPoint.c_str(), 0755);
    std::vector<std::string> args = {DORVANE_BINARY_DIR "/dorvane", "mount", "--foreground"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {image, mountPoint});
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    struct stat top, below;
    for (int tries = 0; pid_ > 0 && tries < 1000 && Alive(); ++tries) {
      if (stat(mountPoint.c_str(), &below) == 0 && stat((mountPoint + "/..").c_str(), &top) == 0 &&
          below.st_dev != top.st_dev) {
        ready_ = true;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Mount() { Unmount(); }

  bool Ready() const { return ready_; }
  std::string File(const std::string &name = "disk") const { return mountPoint_ + "/" + name; }

  // Unmounts and returns the server's exit status (-1 if it had to be killed).
  int Unmount() {
    if (pid_ <= 0) return exit_;
    if (RunShell("fusermount3 -u " + mountPoint_ + " 2>/dev/null") != 0 && Alive()) {
      RunShell("fusermount3 -uz " + mountPoint_ + " 2>/dev/null");
    }
    for (int tries = 0; tries < 3000 && Alive(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (Alive()) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      RunShell("fusermount3 -uz " + mountPoint_ + " 2>/dev/null");
      exit_ = -1;
    }
    pid_ = -1;
    return exit_;
  }

 private:
  bool Alive() {
    int status = 0;
    if (reaped_ || waitpid(pid_, &status, WNOHANG) == 0) return !reaped_;
    reaped_ = true;
    exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return false;
  }

  std::string mountPoint_;
  pid_t pid_ = -1;
  bool ready_ = false;
  bool reaped_ = false;
  int exit_ = -1;
};

}  // namespace dorvane::test
