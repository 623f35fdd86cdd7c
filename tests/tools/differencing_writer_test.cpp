// New differencing images: their records byte by byte, their locators, the
// refusals of the writer, and the command over chains, read back by libvhdi.
#include <gtest/gtest.h>

#include <filesystem>

#include "format/vhd_format.h"
#include "host/host_kernel.h"
#include "image_writer.h"
#include "support/differencing_chain.h"
#include "support/engine_disk.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

class DifferencingWriterTest : public TempDirTest {
 protected:
  VHD_FOOTER Footer(const std::string &path) {
    VHD_FOOTER footer;
    Bytes bytes = ReadFooter(path);
    memcpy(&footer, bytes.data(), sizeof(footer));
    return footer;
  }
  VHD_DYNAMIC_HEADER Header(const std::string &path) {
    VHD_DYNAMIC_HEADER header;
    Bytes bytes = PeekFile(path, kHeaderOffset, sizeof(header));
    memcpy(&header, bytes.data(), sizeof(header));
    return header;
  }
  std::u16string AbsoluteLocator(const std::string &path) { return NtName(path).substr(4); }
};

TEST_F(DifferencingWriterTest, RecordsOfANewImage) {
  std::string base = File("base.vhd");
  MakeDynamicImage(base, 10 * kMiB + 512, 512 * 1024);
  std::string child = File("child.vhd");
  ASSERT_EQ("", CreateDifferencingImage(child, base));

  VHD_FOOTER footer = Footer(child), parentFooter = Footer(base);
  EXPECT_TRUE(IsFooterIntact(&footer));
  EXPECT_EQ(VHD_DISK_TYPE_DIFFERENCING, LoadBe32(footer.DiskType));
  EXPECT_EQ(10 * kMiB + 512, LoadBe64(footer.CurrentSize));
  EXPECT_EQ(10 * kMiB + 512, LoadBe64(footer.OriginalSize));
  EXPECT_EQ(0, memcmp(parentFooter.DiskGeometry, footer.DiskGeometry, 4));
  EXPECT_EQ(512u, LoadBe64(footer.DataOffset));
  EXPECT_NE(0, memcmp(parentFooter.UniqueId, footer.UniqueId, 16));
  EXPECT_TRUE(ReadFooter(child) == PeekFile(child, 0, 512)) << "footer copy";

  VHD_DYNAMIC_HEADER header = Header(child);
  EXPECT_TRUE(HasDynamicHeaderCookie(&header));
  EXPECT_TRUE(IsDynamicHeaderChecksumValid(&header));
  EXPECT_EQ(kBatOffset, LoadBe64(header.TableOffset));
  EXPECT_EQ(0xFFFFFFFFFFFFFFFFull, LoadBe64(header.DataOffset));
  EXPECT_EQ(512u * 1024, LoadBe32(header.BlockSize));
  EXPECT_EQ(21u, LoadBe32(header.MaxTableEntries));
  EXPECT_EQ(0, memcmp(parentFooter.UniqueId, header.ParentUniqueId, 16));
  EXPECT_EQ(0, memcmp(parentFooter.TimeStamp, header.ParentTimeStamp, 4));
  // "base.vhd" in UTF-16 big-endian, the rest of the field zero.
  Bytes name(header.ParentUnicodeName, header.ParentUnicodeName + 512);
  Bytes expectedName(512, 0);
  std::string text = "base.vhd";
  for (size_t i = 0; i < text.size(); ++i) expectedName[2 * i + 1] = uint8_t(text[i]);
  EXPECT_TRUE(expectedName == name);

  // Entry 0 the absolute path, entry 1 the relative one, both in whole
  // sectors behind the table, the space counted in bytes.
  LocatorEntry absolute = ReadLocator(child, 0), relative = ReadLocator(child, 1);
  EXPECT_EQ("W2ku", absolute.code);
  EXPECT_EQ(AbsoluteLocator(base), absolute.path);
  EXPECT_EQ(absolute.path.size() * 2, absolute.length);
  EXPECT_EQ(kBatOffset + 512, absolute.offset);
  EXPECT_EQ((absolute.length + 511) / 512 * 512, absolute.space);
  EXPECT_EQ("W2ru", relative.code);
  EXPECT_EQ(u".\\base.vhd", relative.path);
  EXPECT_EQ(20u, relative.length);
  EXPECT_EQ(absolute.offset + absolute.space, relative.offset);
  EXPECT_EQ(512u, relative.space);
  EXPECT_TRUE(Bytes(6 * 24, 0) == PeekFile(child, kHeaderOffset + 576 + 48, 6 * 24));
  EXPECT_EQ(relative.offset + 512 + 512, FileSize(child));
  Bytes table = PeekFile(child, kBatOffset, 512);
  EXPECT_TRUE(Bytes(512, 0xFF) == table) << "every entry unallocated";
}

TEST_F(DifferencingWriterTest, ParentsOfEveryKindAndPlace) {
  std::filesystem::create_directories(File("sub/deeper"));
  std::filesystem::create_directories(File("elsewhere"));
  struct Case {
    std::string parent, child;
    uint32_t type;
    uint32_t childBlockSize;
    std::u16string relative;  // empty: no relative locator
  } cases[] = {
      /* 0 */ {"fixed.vhd", "c0.vhd", VHD_DISK_TYPE_FIXED, 2 * kMiB, u".\\fixed.vhd"},
      /* 1 */ {"sub/base.vhd", "c1.vhd", VHD_DISK_TYPE_DYNAMIC, 4096, u".\\sub\\base.vhd"},
      /* 2 */ {"sub/deeper/b.vhd", "c2.vhd", VHD_DISK_TYPE_DYNAMIC, 4096, u".\\sub\\deeper\\b.vhd"},
      /* 3 */ {"elsewhere/b.vhd", "sub/c3.vhd", VHD_DISK_TYPE_DYNAMIC, 4096, u""},
      /* 4 */ {"c1.vhd", "c4.vhd", VHD_DISK_TYPE_DIFFERENCING, 4096, u".\\c1.vhd"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    std::string parent = File(c.parent), child = File(c.child);
    Bytes data = PatternBytes(64 * 1024, uint32_t(i));
    if (c.type == VHD_DISK_TYPE_FIXED) {
      MakeFixedImage(parent, 64 * 1024);
      PokeFile(parent, 0, data);
    } else if (c.type == VHD_DISK_TYPE_DYNAMIC) {
      MakeDynamicImage(parent, 64 * 1024, 4096);
      data.assign(64 * 1024, 0);
      Bytes block = PatternBytes(4096, uint32_t(i));
      AppendBlock(parent, 3, block);
      std::copy(block.begin(), block.end(), data.begin() + 3 * 4096);
    } else {
      OpenedImage image;
      ASSERT_EQ(STATUS_SUCCESS, image.Open(parent, GENERIC_READ));
      data = ReadDiskThroughEngine(image.Get());
    }
    ASSERT_EQ("", CreateDifferencingImage(child, parent));
    EXPECT_EQ(c.childBlockSize, LoadBe32(Header(child).BlockSize));
    LocatorEntry first = ReadLocator(child, 0), second = ReadLocator(child, 1);
    EXPECT_EQ("W2ku", first.code);
    EXPECT_EQ(AbsoluteLocator(parent), first.path);
    if (c.relative.empty()) {
      EXPECT_EQ(std::string(4, '\0'), second.code) << "a parent outside the folder";
    } else {
      EXPECT_EQ("W2ru", second.code);
      EXPECT_EQ(c.relative, second.path);
    }
    OpenedImage image;
    ASSERT_EQ(STATUS_SUCCESS, image.Open(child));
    EXPECT_TRUE(data == ReadDiskThroughEngine(image.Get()));
  }
}

TEST_F(DifferencingWriterTest, RefusalsLeaveNothingBehind) {
  std::string base = File("base.vhd");
  MakeDynamicImage(base, kMiB, 4096);
  std::string notImage = File("text.vhd");
  WriteFileBytes(notImage, Bytes(100, 'x'));
  std::string existing = File("existing.vhd");
  WriteFileBytes(existing, Bytes(10, 'e'));

  std::string error = CreateDifferencingImage(File("c.vhd"), File("missing.vhd"));
  EXPECT_NE(std::string::npos, error.find("No such file or directory")) << error;
  error = CreateDifferencingImage(File("c.vhd"), notImage);
  EXPECT_NE(std::string::npos, error.find("shorter than any image")) << error;
  EXPECT_FALSE(std::filesystem::exists(File("c.vhd")));
  EXPECT_NE("", CreateDifferencingImage(existing, base));
  EXPECT_TRUE(Bytes(10, 'e') == ReadFileBytes(existing));
  EXPECT_EQ(0u, host::OutstandingAllocations());
  EXPECT_EQ(0u, host::OpenHandleCount());
}

TEST_F(DifferencingWriterTest, NonAsciiParentNames) {
  // "é" and U+1F600, a surrogate pair in UTF-16.
  std::string name = "b\xC3\xA9se\xF0\x9F\x98\x80.vhd";
  std::string base = File(name);
  MakeDynamicImage(base, kMiB, 4096);
  std::string child = File("child.vhd");
  ASSERT_EQ("", CreateDifferencingImage(child, base));
  VHD_DYNAMIC_HEADER header = Header(child);
  std::u16string expected = u"b\u00E9se\U0001F600.vhd";
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(uint16_t(expected[i]), LoadBe16(header.ParentUnicodeName, ULONG(2 * i))) << i;
  }
  EXPECT_EQ(0u, LoadBe16(header.ParentUnicodeName, ULONG(2 * expected.size())));
  EXPECT_EQ(u".\\" + expected, ReadLocator(child, 1).path);
  OpenedImage image;
  EXPECT_EQ(STATUS_SUCCESS, image.Open(child));
  // Text that is not UTF-8 has no UTF-16 form for the locators.
  std::string bad = File("bad\xFF.vhd");
  MakeDynamicImage(bad, kMiB, 4096);
  EXPECT_NE("", CreateDifferencingImage(File("child2.vhd"), bad));
  EXPECT_FALSE(std::filesystem::exists(File("child2.vhd")));
}

// The command over chains: create, write and cat through the driver, info
// with the chain nested, and libvhdi reading what cat reads.
class DifferencingCommandTest : public TempDirTest {};

TEST_F(DifferencingCommandTest, CatAndWriteThroughChainsOfAnyDepth) {
  std::string base = File("base.vhd");
  ToolRun run =
      RunTool({"create", "--type", "dynamic", "--size", "1M", "--block-size", "64K", base});
  ASSERT_EQ(0, run.exitCode) << run.err;
  std::string expected(kMiB, '\0');
  auto write = [&](const std::string &image, uint64_t offset, const std::string &data) {
    ToolRun result = RunTool({"write", image, "--offset", std::to_string(offset)}, data);
    ASSERT_EQ(0, result.exitCode) << result.err;
    expected.replace(offset, data.size(), data);
  };
  ASSERT_NO_FATAL_FAILURE(write(base, 4096, AsString(PatternBytes(200 * 1024, 1))));

  std::vector<std::string> chain{base};
  for (int level = 1; level <= 4; ++level) {
    std::string image = File("level" + std::to_string(level) + ".vhd");
    MakeDifferencingImage(image, chain.front());
    chain.insert(chain.begin(), image);
    // Whole 4 KiB units, so that libvhdi reads the bitmaps as meant.
    ASSERT_NO_FATAL_FAILURE(
        write(image, level * 64 * 1024 + 8192, AsString(PatternBytes(12 * 4096, 10 + level))));
    ASSERT_NO_FATAL_FAILURE(write(image, 4096 * level, std::string(4096, '\0')));

    run = RunTool({"cat", image});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_TRUE(expected == run.out) << "level " << level;
    if (!PyvhdiPython().empty()) {
      EXPECT_TRUE(expected == AsString(ReadWithPyvhdi(chain))) << "libvhdi, level " << level;
    }
  }

  run = RunTool({"info", "--json", chain.front()});
  ASSERT_EQ(0, run.exitCode) << run.err;
  // Four differencing images nested down to the dynamic base.
  size_t at = 0;
  for (int level = 4; level >= 1; --level) {
    at = run.out.find("\"disk_type\": \"differencing\"", at);
    ASSERT_NE(std::string::npos, at) << run.out;
    at = run.out.find("\"parent\": {", at);
    ASSERT_NE(std::string::npos, at) << run.out;
  }
  EXPECT_NE(std::string::npos, run.out.find("\"disk_type\": \"dynamic\"", at)) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("\"parent\": null", at)) << run.out;

  // Bytes outside whole sectors as well, judged against the model alone.
  ASSERT_NO_FATAL_FAILURE(write(chain.front(), 70001, "partly written sectors"));
  run = RunTool({"cat", chain.front(), "--offset", "69000", "--length", "3000"});
  ASSERT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ(expected.substr(69000, 3000), run.out);

  if (PyvhdiPython().empty()) {
    GTEST_SKIP() << "python3-libvhdi (pyvhdi) is not installed: cat checked without it";
  }
}

TEST_F(DifferencingCommandTest, AMissingParentIsReportedByName) {
  std::string base = File("base.vhd");
  MakeDynamicImage(base, kMiB, 4096);
  std::string child = File("child.vhd");
  MakeDifferencingImage(child, base);
  std::filesystem::remove(base);
  ToolRun run = RunTool({"cat", child});
  EXPECT_NE(0, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("STATUS_OBJECT_NAME_NOT_FOUND")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find(child)) << run.err;
}

}  // namespace
}  // namespace dorvane::test
