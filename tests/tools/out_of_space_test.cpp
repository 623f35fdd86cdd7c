// A full file system in the middle of a resize or a merge, on a small tmpfs
// filled to a few hundred KiB: the request fails with STATUS_DISK_FULL, the
// image checks clean and reads as before, the merge's summary counts the
// blocks it did merge, and a run with room finishes the merge.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "support/engine_disk.h"
#include "support/image_builder.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kKiB = 1024;

class OutOfSpace : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    small_ = File("small");
    mkdir(small_.c_str(), 0755);
    if (geteuid() != 0 || RunShell("mount -t tmpfs -o size=8m tmpfs " + small_ + " 2>/dev/null") != 0) {
      GTEST_SKIP() << "no tmpfs can be mounted here (the tests run as root in CI)";
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) RunShell("umount " + small_);
    TempDirTest::TearDown();
  }
  // Fills the file system up to `free` KiB.
  void LeaveFree(uint64_t free) {
    struct statvfs info {};
    ASSERT_EQ(0, statvfs(small_.c_str(), &info));
    uint64_t available = uint64_t(info.f_bavail) * info.f_frsize / kKiB;
    ASSERT_GT(available, free);
    ASSERT_EQ(0, RunShell("dd if=/dev/zero of=" + small_ + "/fill bs=1k count=" +
                          std::to_string(available - free) + " 2>/dev/null"));
  }
  void Run(const std::vector<std::string> &args) {
    ToolRun run = RunTool(args);
    ASSERT_EQ(0, run.exitCode) << run.err;
  }
  std::string small_;
  bool mounted_ = false;
};

TEST_F(OutOfSpace, AFailedGrowthLeavesTheImageAsItWas) {
  std::string image = small_ + "/d.vhd";
  Bytes data = PatternBytes(3 << 20, 1);
  WriteFileBytes(File("data"), data);
  for (uint64_t free : {200, 1000, 2000}) {
    SCOPED_TRACE("free KiB " + std::to_string(free));
    std::remove(image.c_str());
    std::remove((small_ + "/fill").c_str());
    Run({"create", "--type", "dynamic", "--size", "64M", "--block-size", "64K", image});
    Run({"write", image, "--offset", "0", "--input", File("data")});
    Bytes before = ReadFileBytes(image);
    ASSERT_NO_FATAL_FAILURE(LeaveFree(free));
    ToolRun resize = RunTool({"resize", image, "--size", "64G"});
    EXPECT_EQ(1, resize.exitCode);
    EXPECT_NE(std::string::npos, resize.err.find("STATUS_DISK_FULL")) << resize.err;
    EXPECT_EQ(before.size(), FileSize(image)) << "the file grew";
    EXPECT_EQ(0, RunTool({"check", image}).exitCode);
    EXPECT_TRUE(AsString(data) == RunTool({"cat", image, "--length", "3M"}).out);
  }
}

TEST_F(OutOfSpace, AStoppedMergeCountsWhatItMergedAndFinishesLater) {
  std::string base = small_ + "/b.vhd", child = small_ + "/c.vhd";
  Bytes data = PatternBytes(2 << 20, 2);
  WriteFileBytes(File("data"), data);
  for (uint64_t free : {100, 300, 700}) {
    SCOPED_TRACE("free KiB " + std::to_string(free));
    for (const std::string &path : {base, child, small_ + "/fill"}) std::remove(path.c_str());
    Run({"create", "--type", "dynamic", "--size", "16M", "--block-size", "64K", base});
    Run({"create", "--parent", base, child});
    Run({"write", child, "--offset", "0", "--input", File("data")});
    ASSERT_NO_FATAL_FAILURE(LeaveFree(free));
    ToolRun merge = RunTool({"merge", child});
    ASSERT_EQ(1, merge.exitCode);
    size_t left = AllocatedBlocks(child);
    EXPECT_LT(left, 32u) << "nothing merged with room for some blocks";
    EXPECT_NE(std::string::npos,
              merge.err.find("merge stopped after " + std::to_string(32 - left) + " of 32 blocks"))
        << merge.err;
    for (const std::string &image : {child, base}) {
      ToolRun check = RunTool({"check", image});
      EXPECT_EQ(0, check.exitCode) << check.out;
    }
    EXPECT_TRUE(AsString(data) == RunTool({"cat", child, "--length", "2M"}).out);
    std::remove((small_ + "/fill").c_str());
    Run({"merge", child});
    EXPECT_TRUE(AsString(data) == RunTool({"cat", base, "--length", "2M"}).out);
  }
}

}  // namespace
}  // namespace dorvane::test
