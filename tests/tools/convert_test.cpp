// dorvane convert, and what the long commands do when Ctrl-C comes: raw
// files and images copied both ways byte for byte, zeros left out of the
// target, a chain flattened, and an interrupted copy that removes its
// target and says how far it got.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "support/differencing_chain.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kKiB = 1024, kMiB = 1024 * kKiB;

class ToolConvert : public TempDirTest {
 protected:
  // A raw disk of `size` bytes: zeros with data at the start, across a
  // block boundary and in the last bytes.
  std::string MakeRaw(const std::string &path, uint64_t size) {
    std::string disk = DiskWith(size, {{0, AsString(PatternBytes(5000, 1))},
                                       {3 * kMiB - 100, AsString(PatternBytes(300, 2))},
                                       {size - 1000, AsString(PatternBytes(1000, 3))}});
    WriteFileBytes(path, Bytes(disk.begin(), disk.end()));
    return disk;
  }

  uint64_t AllocatedBlocks(const std::string &image) {
    std::string json = RunTool({"info", "--json", image}).out;
    size_t at = json.find("\"allocated_blocks\": ");
    return at == std::string::npos ? ~0ull : std::stoull(json.substr(at + 20));
  }
};

// raw -> image -> raw; each target holds the source's bytes, a dynamic one
// only the blocks that hold data.
TEST_F(ToolConvert, RawAndImagesRoundTripByteForByte) {
  struct Case {
    std::vector<std::string> options;
    const char *target;
    uint64_t blocks;  // allocated in a dynamic target; 0: not dynamic
  } cases[] = {
      /* 0 */ {{}, "d.vhd", 3},  // .vhd: dynamic, 2 MiB blocks
      /* 1 */ {{"--type", "dynamic", "--block-size", "512K"}, "d512.img", 4},
      /* 2 */ {{"--type", "fixed"}, "f.vhd", 0},
  };
  std::string raw = File("source.raw");
  std::string disk = MakeRaw(raw, 9 * kMiB);
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    std::string image = File(c.target), back = File("back" + std::to_string(i) + ".raw");
    std::vector<std::string> args = {"convert", raw, image};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << "case " << i << ": " << run.err;
    EXPECT_TRUE(RunTool({"cat", image}).out == disk) << "case " << i;
    if (c.blocks != 0) {
      EXPECT_EQ(AllocatedBlocks(image), c.blocks) << "case " << i;
    }
    run = RunTool({"convert", image, back});
    ASSERT_EQ(run.exitCode, 0) << "case " << i << ": " << run.err;
    EXPECT_TRUE(ReadFileBytes(back) == ReadFileBytes(raw)) << "case " << i;
  }
}

// A differencing chain is read through its parents and written flat; a raw
// source of part sectors fills the image's last sector with zeros.
TEST_F(ToolConvert, AChainIsFlattenedAndPartSectorsFilled) {
  std::string base = File("base.vhd"), child = File("child.vhd"), flat = File("flat.vhd");
  std::string disk = MakeRaw(File("source.raw"), 4 * kMiB);
  ASSERT_EQ(RunTool({"convert", File("source.raw"), base}).exitCode, 0);
  MakeDifferencingImage(child, base);
  std::string change = AsString(PatternBytes(70 * kKiB, 4));
  ASSERT_EQ(RunTool({"write", child, "--offset", "4096"}, change).exitCode, 0);
  disk.replace(4096, change.size(), change);
  ToolRun run = RunTool({"convert", child, flat, "--type", "fixed"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(RunTool({"cat", flat}).out == disk);
  EXPECT_EQ(RunTool({"info", flat}).out.find("parent"), std::string::npos);

  WriteFileBytes(File("odd.raw"), Bytes(1000, 'o'));
  ASSERT_EQ(RunTool({"convert", File("odd.raw"), File("odd.vhd"), "--type", "fixed"}).exitCode,
            0);
  EXPECT_EQ(RunTool({"cat", File("odd.vhd")}).out, std::string(1000, 'o') + std::string(24, '\0'));
}

TEST_F(ToolConvert, RefusesWhatItCannotMakeAndLeavesNothing) {
  std::string raw = File("source.raw");
  MakeRaw(raw, 4 * kMiB);
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  } cases[] = {
      /* 0 */ {{"convert", raw, raw}, 1, raw + ": cannot convert: the target exists"},
      /* 1 */ {{"convert", raw, File("t.vhd"), "--type", "sparse"}, 2, "--type \"sparse\""},
      /* 2 */ {{"convert", raw, File("t.vhd"), "--type", "fixed", "--block-size", "1M"}, 2,
               "--block-size applies to dynamic images only"},
      /* 3 */ {{"convert", File("none.raw"), File("t.vhd")}, 1,
               File("none.raw") + ": cannot open source"},
      /* 4 */ {{"convert", raw, File("t.vhd"), "--block-size", "3M"}, 1,
               File("t.vhd") + ": cannot create image"},
      /* 5 */ {{"convert", "/dev/stdin", File("t.vhd")}, 1,  // a pipe: no length
               "/dev/stdin: cannot open source: it is not a regular file or a block device"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    ToolRun run = RunTool(cases[i].args);
    EXPECT_EQ(run.exitCode, cases[i].exitCode) << "case " << i << ": " << run.err;
    EXPECT_NE(run.err.find(cases[i].err), std::string::npos) << "case " << i << ": " << run.err;
    EXPECT_FALSE(std::filesystem::exists(File("t.vhd"))) << "case " << i;
  }
}

// The built command with a Ctrl-C already waiting when it starts (SIGINT
// blocked and pending): it stops after its first step. Exit status and
// standard error.
int RunInterrupted(const std::vector<std::string> &arguments, std::string *err) {
  std::string errFile = std::string(::testing::TempDir()) + "/interrupted.err";
  std::vector<std::string> args = {DORVANE_BINARY_DIR "/dorvane"};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  posix_spawnattr_setsigmask(&attributes, &interrupt);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int status = -1;
  if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ) == 0) {
    kill(pid, SIGINT);
    waitpid(pid, &status, 0);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  *err = AsString(ReadFileBytes(errFile));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ToolConvert, CtrlCStopsAfterAStepAndSaysWhatIsLeft) {
  std::string raw = File("source.raw"), image = File("d.vhd");
  MakeRaw(raw, 9 * kMiB);
  std::string err;
  EXPECT_EQ(RunInterrupted({"convert", raw, image}, &err), 1);
  EXPECT_NE(err.find(image + ": interrupted: copied 2097152 of 9437184 bytes of " + raw +
                     "; the incomplete target was removed"),
            std::string::npos)
      << err;
  EXPECT_FALSE(std::filesystem::exists(image));

  ASSERT_EQ(RunTool({"create", "--type", "dynamic", "--size", "9M", image}).exitCode, 0);
  EXPECT_EQ(RunInterrupted({"write", image, "--offset", "0", "--input", raw}, &err), 1);
  EXPECT_NE(err.find(image + ": interrupted: wrote 2097152 of 9437184 bytes; the disk holds the "
                             "input up to offset 2097152"),
            std::string::npos)
      << err;
  EXPECT_TRUE(RunTool({"cat", image}).out ==
              DiskWith(9 * kMiB, {{0, AsString(PatternBytes(5000, 1))}}));
}

}  // namespace
}  // namespace dorvane::test
