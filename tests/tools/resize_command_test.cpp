// dorvane resize and flush as clients of the driver, cross-checked with
// independent readers: an image the command grew must read in qemu-img and
// libvhdi as its old data followed by zeros, at the new size.
#include <gtest/gtest.h>

#include "support/differencing_chain.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;

class ResizeCommand : public TempDirTest {
 protected:
  void Create(const std::string &image, const std::string &type, const std::string &size,
              const std::string &blockSize = "") {
    std::vector<std::string> args = {"create", "--type", type, "--size", size};
    if (!blockSize.empty()) args.insert(args.end(), {"--block-size", blockSize});
    args.push_back(image);
    ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  void Write(const std::string &image, uint64_t offset, const Bytes &data) {
    ToolRun run = RunTool({"write", image, "--offset", std::to_string(offset)}, AsString(data));
    ASSERT_EQ(run.exitCode, 0) << run.err;
  }
  static std::string QemuSource(const std::string &image) {
    return "--image-opts 'driver=vpc,force_size_calc=current_size,file.filename=" + image + "'";
  }
};

TEST_F(ResizeCommand, GrownImagesReadRightInOtherReaders) {
  if (!HaveProgram("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
  struct Case {
    const char *type;
    const char *size;
    const char *blockSize;
    std::vector<uint64_t> blocks;  // 4 KiB of data at each, in this order
    const char *newSize;
    uint64_t newBytes;
  } cases[] = {
      /* 0 */ {"fixed", "3M", "", {0, 3 * kMiB - 4 * kKiB}, "5000K", 5000 * kKiB},
      /* 1 */ {"dynamic", "10M", "", {2 * kMiB, 9 * kMiB}, "20M", 20 * kMiB},
      // 128 entries of 4 KiB grow to 2,560: the table covers three blocks.
      /* 2 */ {"dynamic", "512K", "4K", {12 * kKiB, 0, 28 * kKiB, 4 * kKiB, 400 * kKiB}, "10M",
               10 * kMiB},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    std::string image = File("grown" + std::to_string(i) + ".vhd");
    Create(image, c.type, c.size, c.blockSize);
    Bytes expected(c.newBytes, 0);
    for (uint64_t offset : c.blocks) {
      Bytes data = PatternBytes(4 * kKiB, uint32_t(offset / 4096 + 1));
      Write(image, offset, data);
      std::copy(data.begin(), data.end(), expected.begin() + long(offset));
    }
    ToolRun run = RunTool({"resize", image, "--size", c.newSize});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, image + ": virtual disk " + std::to_string(c.newBytes) + " bytes\n");
    ASSERT_EQ(RunTool({"flush", image}).exitCode, 0);

    std::string info;
    ASSERT_EQ(RunShell("qemu-img info --output=json " + QemuSource(image) + " 2>&1", &info), 0)
        << info;
    EXPECT_NE(info.find("\"virtual-size\": " + std::to_string(c.newBytes) + ","),
              std::string::npos)
        << info;
    std::string raw = File("qemu.raw");
    std::string output;
    ASSERT_EQ(RunShell("qemu-img convert -f vpc '" + image + "' -O raw '" + raw + "' 2>&1",
                       &output),
              0)
        << output;
    Bytes qemu = ReadFileBytes(raw);
    // qemu-img sizes the disk by its geometry here; the bytes it has match.
    ASSERT_LE(qemu.size(), expected.size());
    EXPECT_TRUE(Bytes(expected.begin(), expected.begin() + long(qemu.size())) == qemu);
    ASSERT_EQ(RunShell("qemu-img convert " + QemuSource(image) + " -O raw '" + raw + "' 2>&1",
                       &output),
              0)
        << output;
    EXPECT_TRUE(expected == ReadFileBytes(raw));
    // libvhdi sizes the disk by Original Size, the size at creation, which
    // growth leaves alone: it reads the old disk, through the moved blocks.
    if (!PyvhdiPython().empty()) {
      Bytes vhdi = ReadWithPyvhdi({image});
      ASSERT_LE(vhdi.size(), expected.size());
      EXPECT_GT(vhdi.size(), 0u);
      EXPECT_TRUE(Bytes(expected.begin(), expected.begin() + long(vhdi.size())) == vhdi);
    }
  }
}

TEST_F(ResizeCommand, RefusalsNameTheImageAndChangeNothing) {
  std::string base = File("base.vhd");
  std::string child = File("child.vhd");
  Create(base, "dynamic", "4M");
  MakeDifferencingImage(child, base);
  struct Case {
    std::string image;
    const char *size;
    const char *reason;
  } cases[] = {
      /* 0 */ {base, "2M", "smaller than the current size"},
      /* 1 */ {child, "8M", "not differencing images"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.image);
    Bytes before = ReadFileBytes(c.image);
    ToolRun run = RunTool({"resize", c.image, "--size", c.size});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.find("dorvane: " + c.image + ": cannot resize: "), 0u) << run.err;
    EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(before == ReadFileBytes(c.image));
  }
}

}  // namespace
}  // namespace dorvane::test
