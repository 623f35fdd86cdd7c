// dorvane zero, trim and merge, cross-checked with independent readers: the
// chain left by a merge read by libvhdi, a merged dynamic base and a zeroed
// dynamic image read by qemu-img; Ctrl-C during a merge and a second run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <random>

#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "support/engine_disk.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kSize = 4 << 20;

class ToolMerge : public TempDirTest {
 protected:
  void Run(const std::vector<std::string> &args, int exitCode = 0) {
    ToolRun run = RunTool(args);
    EXPECT_EQ(exitCode, run.exitCode) << run.err;
  }
  // `dorvane create` of a dynamic image (256 KiB blocks), or of a
  // differencing image of `parent`, written with random 4 KiB-aligned pieces
  // (whole bitmap bytes, as libvhdi reads them); model follows.
  void Create(const std::string &image, const std::string &parent, Bytes *model, uint32_t seed) {
    if (parent.empty()) {
      model->assign(kSize, 0);
      Run({"create", "--type", "dynamic", "--size", "4M", "--block-size", "256K", image});
    } else {
      Run({"create", "--parent", parent, image});
    }
    std::mt19937 random(seed);
    for (int piece = 0; piece < 6; ++piece) {
      uint64_t offset = random() % (kSize / 4096) * 4096;
      Bytes data = PatternBytes(std::min<uint64_t>(4096 * (1 + random() % 80), kSize - offset), random());
      WriteFileBytes(File("piece"), data);
      Run({"write", image, "--offset", std::to_string(offset), "--input", File("piece")});
      std::copy(data.begin(), data.end(), model->begin() + long(offset));
    }
  }
  void MakeChain(Bytes *model) {
    Create(File("base.vhd"), "", model, 1);
    Create(File("middle.vhd"), File("base.vhd"), model, 2);
    Create(File("top.vhd"), File("middle.vhd"), model, 3);
  }
  Bytes QemuRaw(const std::string &image) {
    std::string raw = File("qemu.raw");
    EXPECT_EQ(0, RunShell("qemu-img convert --image-opts "
                          "'driver=vpc,force_size_calc=current_size,file.filename=" +
                          image + "' -O raw '" + raw + "'"));
    return ReadFileBytes(raw);
  }
};

TEST_F(ToolMerge, MergesOneOrTwoLevelsOfADepthThreeChain) {
  if (PyvhdiPython().empty()) GTEST_SKIP() << "python3-libvhdi (pyvhdi) is not installed";
  for (const char *levels : {"1", "2"}) {
    SCOPED_TRACE(std::string("levels ") + levels);
    Bytes model;
    MakeChain(&model);
    ToolRun run = RunTool({"merge", File("top.vhd"), "--levels", levels, "--blocks-per-request", "3"});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("Every other image made on")) << run.out;
    EXPECT_NE(0, access(File("top.vhd").c_str(), F_OK)) << "the emptied image stayed";
    EXPECT_TRUE(model == ReadWithPyvhdi({File("middle.vhd"), File("base.vhd")}));
    for (const char *name : {"base.vhd", "middle.vhd", "piece"}) unlink(File(name).c_str());
  }
}

TEST_F(ToolMerge, MergedDynamicBaseAndZeroedBlocksReadByQemu) {
  if (!HaveProgram("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
  Bytes model;
  Create(File("base.vhd"), "", &model, 4);
  Create(File("child.vhd"), File("base.vhd"), &model, 5);
  Run({"merge", File("child.vhd")});
  EXPECT_TRUE(model == QemuRaw(File("base.vhd")));

  // Whole blocks 1 to 4 given back, then a trim of two ranges, one ending
  // at the end of the disk; the zero-data range must end before it.
  Bytes full = PatternBytes(kSize, 6);
  WriteFileBytes(File("full"), full);
  Run({"write", File("base.vhd"), "--offset", "0", "--input", File("full")});
  Run({"zero", File("base.vhd"), "--offset", "256K", "--length", "1M"});
  Run({"trim", File("base.vhd"), "100:200", "3M:1M"});
  Run({"zero", File("base.vhd"), "--offset", "3M", "--length", "1M"}, 1);
  std::fill(full.begin() + (256 << 10), full.begin() + (1280 << 10), 0);
  std::fill(full.begin() + 100, full.begin() + 300, 0);
  std::fill(full.begin() + (3 << 20), full.end(), 0);
  EXPECT_EQ("", CheckCompact(File("base.vhd")));
  EXPECT_EQ(16u - 4 - 4, AllocatedBlocks(File("base.vhd")));
  EXPECT_TRUE(full == QemuRaw(File("base.vhd")));
}

// Ctrl-C during a request: the command stops after it, the chain reads the
// same disk, and a second run finishes the merge.
TEST_F(ToolMerge, InterruptedMergeFinishesOnASecondRun) {
  Bytes model;
  ASSERT_NO_FATAL_FAILURE(MakeChain(&model));
  host::SetFileCallHook([](host::FileCall call, const std::string &) {
    if (call == host::FileCall::Flush) raise(SIGINT);
  });
  ToolRun run = RunTool({"merge", File("top.vhd"), "--blocks-per-request", "1"});
  host::SetFileCallHook(nullptr);
  EXPECT_EQ(1, run.exitCode);
  EXPECT_NE(std::string::npos, run.out.find("Interrupted: merged 1 of")) << run.out << run.err;
  EXPECT_TRUE(AsString(model) == RunTool({"cat", File("top.vhd")}).out);
  EXPECT_EQ(0, RunTool({"merge", File("top.vhd")}).exitCode);
  EXPECT_NE(0, access(File("top.vhd").c_str(), F_OK));
  EXPECT_TRUE(AsString(model) == RunTool({"cat", File("middle.vhd")}).out);
  EXPECT_NE(std::string::npos, RunTool({"merge", "--help"}).out.find("sibling"));
}

}  // namespace
}  // namespace dorvane::test
