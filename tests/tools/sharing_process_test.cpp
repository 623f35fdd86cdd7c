// Share access between processes: a dorvane command holds an image open in a
// process of its own while a second command runs; then the first is killed,
// and the second must succeed, since nothing of the dead process's opens may
// remain.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <vector>

#include "support/image_builder.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

extern char **environ;

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;

// `dorvane write IMAGE` with its input held open, or `dorvane cat IMAGE` with
// its output unread: either keeps the image open until it is killed.
class Holder {
 public:
  Holder(const std::string &verb, const std::string &image) {
    signal(SIGPIPE, SIG_IGN);  // a holder that failed shows as EPIPE
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    bool writes = verb == "write";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writes ? fds[0] : fds[1], writes ? 0 : 1);
    std::string binary = DORVANE_BINARY_DIR "/dorvane";
    std::vector<std::string> args = {binary, verb, image};
    if (writes) args.insert(args.end(), {"--offset", "0"});
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(writes ? fds[0] : fds[1]);
    end_ = writes ? fds[1] : fds[0];
    // The command opens the image before it reads its input or writes its
    // output; moving more than a pipe holds proves it has.
    std::string bytes(256 * 1024, 'h');
    for (size_t done = 0; done < bytes.size();) {
      ssize_t moved = writes ? write(end_, bytes.data() + done, bytes.size() - done)
                             : read(end_, bytes.data() + done, bytes.size() - done);
      if (moved <= 0) {
        ADD_FAILURE() << verb << " " << image << " stopped";
        break;
      }
      done += static_cast<size_t>(moved);
    }
  }
  ~Holder() {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    close(end_);
  }

 private:
  pid_t pid_ = -1;
  int end_ = -1;
};

class SharingBetweenProcesses : public TempDirTest {};

TEST_F(SharingBetweenProcesses, SecondWriterAndReaderOfAWrittenImageAreRefused) {
  std::string disk = File("disk.vhd"), base = File("base.vhd"), child = File("child.vhd");
  std::string fresh = File("fresh.vhd");
  MakeDynamicImage(disk, 8 * kMiB);
  MakeDynamicImage(base, 8 * kMiB);
  ASSERT_EQ(RunTool({"create", "--parent", base, child}).exitCode, 0);
  WriteFileBytes(File("data.bin"), Bytes(4096, 'd'));
  const std::string writeData = " --offset 4096 --input " + File("data.bin");
  const std::string forWriting = ": cannot open image for writing: ",
                    inParent = ": in the parent chain, " + base + ": ";
  // refusal: the line of the second command up to the reason; empty when it
  // may run beside the first.
  struct Case {
    const char *held;
    std::string heldImage, second, refusal;
  } cases[] = {
      /* 0 */ {"write", disk, "write " + disk + writeData, disk + forWriting},
      /* 1 */ {"write", disk, "cat " + disk, disk + ": cannot open image: "},
      /* 2 */ {"cat", disk, "write " + disk + writeData, disk + forWriting},
      /* 3 */ {"cat", disk, "cat " + disk + " --length 512", ""},
      // A child holds its parent open for reading without sharing writes.
      /* 4 */ {"cat", child, "write " + base + writeData, base + forWriting},
      /* 5 */ {"write", base, "cat " + child + " --length 512",
               child + ": cannot open image" + inParent},
      /* 6 */ {"write", base, "create --parent " + base + " " + fresh,
               fresh + ": cannot create image" + inParent},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    const std::string second = DORVANE_BINARY_DIR "/dorvane " + c.second + " 2>&1 >/dev/null";
    std::string output;
    {
      Holder holder(c.held, c.heldImage);
      int exitCode = RunShell(second, &output);
      EXPECT_EQ(exitCode == 0, c.refusal.empty()) << "case " << i << ": " << output;
      if (!c.refusal.empty()) {
        EXPECT_EQ(output, "dorvane: " + c.refusal +
                              "the file is in use by another process: "
                              "STATUS_SHARING_VIOLATION (0xC0000043)\n")
            << "case " << i;
        EXPECT_FALSE(std::filesystem::exists(fresh)) << "case " << i;
      }
    }
    // The holder was killed: its opens went with it.
    EXPECT_EQ(RunShell(second, &output), 0) << "case " << i << ": " << output;
  }
}

}  // namespace
}  // namespace dorvane::test
