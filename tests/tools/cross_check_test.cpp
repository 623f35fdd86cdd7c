// Cross-checks with independent readers of VHD files: qemu-img must read
// the images the command made and wrote, and libvhdi (pyvhdi) the chains of
// differencing images, as the command reads them. (That the driver reads
// what qemu-img writes is checked by the image and engine tests.)
//
// qemu-img takes the disk size of images from creators it does not know from
// their geometry (cylinders x heads x sectors, which may fall short of
// Current Size) unless told to use Current Size, as every other reader does;
// our images are read with force_size_calc=current_size, except two whose
// size is a whole geometry, which check the geometry field.
#include <gtest/gtest.h>
#include <unistd.h>

#include "format/vhd_format.h"
#include "support/differencing_chain.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;

class ToolCrossCheck : public TempDirTest {};

TEST_F(ToolCrossCheck, QemuImgReadsWhatWeMadeAndWrote) {
  if (!HaveProgram("qemu-img")) {
    GTEST_SKIP() << "qemu-img is not installed";
  }
  auto qemuRaw = [&](const std::string &image, bool currentSize) {
    std::string raw = File("qemu-out.raw");
    std::string source = currentSize ? "--image-opts 'driver=vpc,force_size_calc=current_size,"
                                       "file.filename=" + image + "'"
                                     : "-f vpc '" + image + "'";
    unlink(raw.c_str());
    EXPECT_EQ(RunShell("qemu-img convert " + source + " -O raw '" + raw + "' 2>&1"), 0) << image;
    return AsString(ReadFileBytes(raw));
  };
  const std::string wholeGeometry = std::to_string(60 * 4 * 17 * 512);  // C/H/S 60/4/17
  const std::vector<std::vector<std::string>> creates = {
      /* 0 */ {"--type", "fixed", "--size", "6M"},
      /* 1 */ {"--type", "fixed", "--size", "1000K"},
      /* 2 */ {"--type", "dynamic", "--size", "10M"},
      /* 3 */ {"--type", "dynamic", "--size", "5M", "--block-size", "512K"},
      /* 4 */ {"--type", "dynamic", "--size", "2049K"},  // a partial last block
      /* 5 */ {"--type", "fixed", "--size", wholeGeometry},
      /* 6 */ {"--type", "dynamic", "--size", wholeGeometry},
  };
  for (size_t i = 0; i < creates.size(); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    std::string image = File("ours" + std::to_string(i) + ".vhd");
    std::vector<std::string> args = creates[i];
    args.insert(args.begin(), "create");
    args.push_back(image);
    ASSERT_EQ(RunTool(args).exitCode, 0);
    uint64_t size = LoadBe64(PeekFile(image, FileSize(image) - 512 + 48, 8).data());
    std::string data = AsString(PatternBytes(size / 2 + 1234, uint32_t(i)));
    ToolRun run = RunTool({"write", image, "--offset", std::to_string(size / 3)}, data);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(qemuRaw(image, creates[i].back() != wholeGeometry) ==
                DiskWith(size, {{size / 3, data}}));
  }

}

TEST_F(ToolCrossCheck, PyvhdiReadsTheChainsWeWrote) {
  if (PyvhdiPython().empty()) {
    GTEST_SKIP() << "python3-libvhdi (pyvhdi) is not installed";
  }
  std::vector<std::string> chain{File("base.vhd")};
  ASSERT_EQ(RunTool({"create", "--type", "dynamic", "--size", "1M", "--block-size", "64K",
                     chain[0]}).exitCode,
            0);
  std::string expected(kMiB, '\0');
  auto write = [&](uint64_t offset, const std::string &data) {
    ToolRun run = RunTool({"write", chain[0], "--offset", std::to_string(offset)}, data);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    expected.replace(offset, data.size(), data);
  };
  ASSERT_NO_FATAL_FAILURE(write(4096, AsString(PatternBytes(200 * 1024, 1))));
  for (int level = 1; level <= 3; ++level) {
    std::string image = File("level" + std::to_string(level) + ".vhd");
    ASSERT_EQ(RunTool({"create", "--parent", chain[0], image}).exitCode, 0);
    chain.insert(chain.begin(), image);
    // Whole 4 KiB units, so that libvhdi reads the bitmaps as meant; zeros
    // hide what the parent holds there.
    ASSERT_NO_FATAL_FAILURE(
        write(level * 64 * 1024 + 8192, AsString(PatternBytes(12 * 4096, 10 + level))));
    ASSERT_NO_FATAL_FAILURE(write(4096 * level, std::string(4096, '\0')));
    EXPECT_TRUE(RunTool({"cat", image}).out == expected) << "level " << level;
    EXPECT_TRUE(AsString(ReadWithPyvhdi(chain)) == expected) << "libvhdi, level " << level;
  }
}

}  // namespace
}  // namespace dorvane::test
