// A `dorvane mount --foreground` in a child process for the length of a
// scope: ready when the mount point shows the file, unmounted and the server
// waited for whatever the test's outcome.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {

// Tests that mount: skipped where FUSE is missing.
class MountTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    if (access("/dev/fuse", R_OK | W_OK) != 0 || !HaveProgram("fusermount3")) {
      GTEST_SKIP() << "no /dev/fuse or fusermount3: FUSE mounts cannot be tested";
    }
  }
};

// Runs a shell command when the scope ends (an unmount that must happen).
struct ShellOnExit {
  std::string command;
  ~ShellOnExit() { RunShell(command + " 2>/dev/null"); }
};

class Mount {
 public:
  Mount(const std::string &image, const std::string &dir, std::vector<std::string> args = {})
      : file(dir + "/disk"), dir_(dir) {
    mkdir(dir.c_str(), 0755);
    args.insert(args.begin(), {DORVANE_BINARY_DIR "/dorvane", "mount", "--foreground"});
    args.insert(args.end(), {image, dir});
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    struct stat top {}, below {};
    for (int tries = 0; pid_ > 0 && tries < 1000 && !waitpid(pid_, &status_, WNOHANG); ++tries) {
      if (stat(dir.c_str(), &below) == 0 && stat((dir + "/..").c_str(), &top) == 0 &&
          (ready = below.st_dev != top.st_dev)) return;
      usleep(10000);
    }
  }
  ~Mount() { Unmount(); }

  const std::string file;

  // Unmounts (lazily if it must: the server then ends too) and returns the
  // server's exit status. A server that never got ready is killed.
  int Unmount() {
    if (pid_ > 0) {
      RunShell("fusermount3 -u " + dir_ + " || fusermount3 -uz " + dir_ + " 2>/dev/null");
      if (waitpid(pid_, &status_, WNOHANG) == 0) {
        if (!ready) kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
      }
      pid_ = -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  bool ready = false;

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace dorvane::test
