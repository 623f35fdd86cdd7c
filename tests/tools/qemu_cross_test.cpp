// Cross-checks with qemu-img, an independent reader and writer of VHD files:
// it must accept the images the command makes and read back what the command
// wrote, and the command must read the images qemu-img makes as qemu-img does.
//
// qemu-img takes the disk size of images from creators it does not know from
// their geometry (cylinders x heads x sectors, which may fall short of Current
// Size) unless told to use Current Size, as every other reader does; our
// images are read with force_size_calc=current_size, and one test checks the
// geometry path on a size that is a whole geometry.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane {
namespace {

using test::Bytes;
using test::ToolRun;

const uint64_t kMiB = 1ull << 20;

class ToolQemu : public test::TempDirTest {
 protected:
  void SetUp() override {
    test::TempDirTest::SetUp();
    if (!test::HaveProgram("qemu-img")) {
      GTEST_SKIP() << "qemu-img is not installed";
    }
  }

  // How qemu-img is to open an image: by its own rules, or sized by Current Size.
  static std::string Source(const std::string &image, bool currentSize) {
    return currentSize ? "--image-opts 'driver=vpc,force_size_calc=current_size,file.filename=" +
                             image + "'"
                       : "-f vpc '" + image + "'";
  }

  // The virtual disk as qemu-img reads it.
  std::string QemuRaw(const std::string &image, bool currentSize = true) {
    std::string raw = File("qemu-out.raw");
    unlink(raw.c_str());
    int status =
        test::RunShell("qemu-img convert " + Source(image, currentSize) + " -O raw '" + raw + "' 2>&1");
    EXPECT_EQ(status, 0) << "qemu-img convert refused " << image;
    return status == 0 ? test::AsString(test::ReadFileBytes(raw)) : std::string();
  }

  std::string QemuInfo(const std::string &image, bool currentSize = true) {
    std::string output;
    int status =
        test::RunShell("qemu-img info --output=json " + Source(image, currentSize) + " 2>&1", &output);
    EXPECT_EQ(status, 0) << output;
    return output;
  }
};

TEST_F(ToolQemu, AcceptsOurNewImages) {
  struct Case {
    const char *type;
    const char *size;
    uint64_t bytes;
    const char *blockSize;
  } cases[] = {
      /* 0 */ {"fixed", "3M", 3 * kMiB, nullptr},
      /* 1 */ {"fixed", "1000K", 1000 * 1024, nullptr},  // not a whole geometry
      /* 2 */ {"dynamic", "10M", 10 * kMiB, nullptr},
      /* 3 */ {"dynamic", "5M", 5 * kMiB, "512K"},
      /* 4 */ {"dynamic", "2049K", 2049 * 1024, nullptr},  // a partial last block
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    std::string image = File("new" + std::to_string(i) + ".vhd");
    std::vector<std::string> args = {"create", "--type", cases[i].type, "--size", cases[i].size};
    if (cases[i].blockSize != nullptr) {
      args.insert(args.end(), {"--block-size", cases[i].blockSize});
    }
    args.push_back(image);
    ToolRun run = test::RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(QemuInfo(image).find("\"virtual-size\": " + std::to_string(cases[i].bytes) + ","),
              std::string::npos);
    std::string raw = QemuRaw(image);
    EXPECT_EQ(raw.size(), cases[i].bytes);
    EXPECT_TRUE(raw == std::string(cases[i].bytes, '\0'));
  }
}

TEST_F(ToolQemu, ReadsOurGeometry) {
  // 60 cylinders, 4 heads, 17 sectors per track: qemu-img's size from the
  // geometry field alone is the whole disk.
  const uint64_t size = 60ull * 4 * 17 * 512;
  for (const char *type : {"fixed", "dynamic"}) {
    SCOPED_TRACE(type);
    std::string image = File(std::string(type) + ".vhd");
    ASSERT_EQ(test::RunTool({"create", "--type", type, "--size", std::to_string(size), image})
                  .exitCode,
              0);
    EXPECT_NE(QemuInfo(image, false).find("\"virtual-size\": " + std::to_string(size) + ","),
              std::string::npos);
    EXPECT_EQ(QemuRaw(image, false).size(), size);
  }
}

TEST_F(ToolQemu, ReadsWhatWeWrote) {
  for (const char *type : {"fixed", "dynamic"}) {
    SCOPED_TRACE(type);
    std::string image = File(std::string(type) + ".vhd");
    ASSERT_EQ(test::RunTool({"create", "--type", type, "--size", "6M", image}).exitCode, 0);
    std::string data = test::AsString(test::PatternBytes(3 * kMiB + 1234, 5));
    ToolRun run = test::RunTool({"write", image, "--offset", "1536K"}, data);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::string expected(6 * kMiB, '\0');
    expected.replace(1536 * 1024, data.size(), data);
    EXPECT_TRUE(QemuRaw(image) == expected);
  }
}

TEST_F(ToolQemu, WeReadWhatQemuWrote) {
  std::string raw = File("source.raw");
  Bytes content = test::PatternBytes(3 * kMiB, 6);
  // An unallocated stretch, so that dynamic images have holes.
  std::fill(content.begin() + kMiB / 2, content.begin() + 5 * kMiB / 2, 0);
  test::WriteFileBytes(raw, content);
  const char *options[] = {
      /* 0 */ "subformat=fixed,force_size=on",
      /* 1 */ "subformat=fixed",  // size rounded up to a whole geometry
      /* 2 */ "subformat=dynamic,force_size=on",
      /* 3 */ "subformat=dynamic",
  };
  for (size_t i = 0; i < sizeof(options) / sizeof(options[0]); ++i) {
    SCOPED_TRACE(options[i]);
    std::string image = File("qemu" + std::to_string(i) + ".vhd");
    ASSERT_EQ(test::RunShell("qemu-img convert -f raw -O vpc -o " + std::string(options[i]) +
                             " '" + raw + "' '" + image + "' 2>&1"),
              0);
    std::string expected = QemuRaw(image, false);
    ASSERT_GE(expected.size(), content.size());
    EXPECT_TRUE(expected.compare(0, content.size(), test::AsString(content)) == 0);
    ToolRun run = test::RunTool({"cat", image});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.size(), expected.size());
    EXPECT_TRUE(run.out == expected);
  }
}

}  // namespace
}  // namespace dorvane
