// dorvane resize and flush, cross-checked with independent readers: an image
// the command grew reads in qemu-img and libvhdi as its old data followed by
// zeros, at the new size.
#include <gtest/gtest.h>

#include "support/differencing_chain.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;

class ResizeCommand : public TempDirTest {
 protected:
  void Run(const std::vector<std::string> &args, const std::string &input = "") {
    ToolRun run = RunTool(args, input);
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  // The disk as qemu-img reads it, sized by Current Size or by its own rule.
  Bytes Qemu(const std::string &image, bool currentSize, std::string *info = nullptr) {
    std::string source = currentSize ? "--image-opts 'driver=vpc,force_size_calc=current_size,"
                                       "file.filename=" + image + "'"
                                     : "-f vpc '" + image + "'";
    std::string raw = File("qemu.raw"), output;
    EXPECT_EQ(RunShell("qemu-img convert " + source + " -O raw '" + raw + "' 2>&1", &output), 0)
        << output;
    if (info != nullptr) RunShell("qemu-img info --output=json " + source, info);
    return ReadFileBytes(raw);
  }
};

bool IsPrefix(const Bytes &prefix, const Bytes &whole) {
  return !prefix.empty() && prefix.size() <= whole.size() &&
         std::equal(prefix.begin(), prefix.end(), whole.begin());
}

TEST_F(ResizeCommand, GrownImagesReadRightInOtherReaders) {
  if (!HaveProgram("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
  struct Case {
    std::vector<std::string> create;
    std::vector<uint64_t> blocks;  // 4 KiB of data at each, in this order
    uint64_t newSize;
  } cases[] = {
      /* 0 */ {{"--type", "fixed", "--size", "3M"}, {0, 3 * kMiB - 4 * kKiB}, 5000 * kKiB},
      /* 1 */ {{"--type", "dynamic", "--size", "10M"}, {2 * kMiB, 9 * kMiB}, 20 * kMiB},
      // 128 entries of 4 KiB grow to 2,560: the table covers three blocks.
      /* 2 */ {{"--type", "dynamic", "--size", "512K", "--block-size", "4K"},
               {12 * kKiB, 0, 28 * kKiB, 4 * kKiB, 400 * kKiB}, 10 * kMiB},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    std::string image = File("grown" + std::to_string(i) + ".vhd");
    std::vector<std::string> create = {"create"};
    create.insert(create.end(), cases[i].create.begin(), cases[i].create.end());
    create.push_back(image);
    Run(create);
    Bytes expected(cases[i].newSize, 0);
    for (uint64_t offset : cases[i].blocks) {
      Bytes data = PatternBytes(4 * kKiB, uint32_t(offset / 4096 + 1));
      Run({"write", image, "--offset", std::to_string(offset)}, AsString(data));
      std::copy(data.begin(), data.end(), expected.begin() + long(offset));
    }
    ToolRun run = RunTool({"resize", image, "--size", std::to_string(cases[i].newSize)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, image + ": virtual disk " + std::to_string(cases[i].newSize) + " bytes\n");
    Run({"flush", image});

    std::string info;
    EXPECT_TRUE(expected == Qemu(image, true, &info));
    EXPECT_NE(info.find("\"virtual-size\": " + std::to_string(cases[i].newSize) + ","),
              std::string::npos)
        << info;
    // By its own rule qemu-img sizes the disk by the geometry, libvhdi by
    // Original Size (the size at creation, which growth leaves alone): each
    // reads a prefix, through the moved blocks.
    EXPECT_TRUE(IsPrefix(Qemu(image, false), expected));
    if (!PyvhdiPython().empty()) {
      EXPECT_TRUE(IsPrefix(ReadWithPyvhdi({image}), expected));
    }
  }
}

TEST_F(ResizeCommand, RefusalsNameTheImageAndChangeNothing) {
  std::string base = File("base.vhd"), child = File("child.vhd"), small = File("small.vhd");
  Run({"create", "--type", "dynamic", "--size", "4M", base});
  Run({"create", "--type", "dynamic", "--size", "4M", "--block-size", "64K", small});
  MakeDifferencingImage(child, base);
  const struct {
    std::string image;
    const char *size;
    const char *reason;
  } cases[] = {
      {base, "2M", "smaller than the current size"},
      {child, "8M", "not differencing images"},
      {base, "2041G", "larger than the format holds: at most 2190433320960 bytes (2040 GiB)"},
      // 2040 GiB is within the format, but not within a table of 64 KiB blocks.
      {small, "2040G", "needs 33423360 table entries with 65536-byte blocks"},
  };
  for (const auto &[image, size, reason] : cases) {
    SCOPED_TRACE(size);
    Bytes before = ReadFileBytes(image);
    ToolRun run = RunTool({"resize", image, "--size", size});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.find("dorvane: " + image + ": cannot resize: "), 0u) << run.err;
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(before == ReadFileBytes(image));
  }
}

}  // namespace
}  // namespace dorvane::test
