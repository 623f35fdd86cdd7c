// The image writers: what they refuse (leaving no file behind and every
// existing file as it was), and the records of new differencing images,
// whose parents the driver must find through them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "format/vhd_format.h"
#include "host/host_kernel.h"
#include "tools/image_files/image_writer.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "support/temp_dir.h"
#include "tool_test_support.h"

namespace dorvane::test {
namespace {

const uint64_t kMiB = 1ull << 20;
const uint64_t kGiB = 1ull << 30;

class ToolImageWriter : public TempDirTest {};

TEST_F(ToolImageWriter, RefusesWhatTheDriverCouldNotServe) {
  std::string existing = File("existing.vhd"), link = File("link.vhd");
  WriteFileBytes(existing, Bytes(10, 'e'));
  WriteFileBytes(File("text.vhd"), Bytes(100, 'x'));
  MakeDynamicImage(File("bad\xFF.vhd"), kMiB, 4096);
  ASSERT_EQ(symlink(File("target.vhd").c_str(), link.c_str()), 0);
  const uint32_t kFixed = VHD_DISK_TYPE_FIXED, kDynamic = VHD_DISK_TYPE_DYNAMIC;
  // A differencing image where a parent is named; a new file where no path
  // is; an accepted image where the error mentions nothing.
  struct Case {
    NewImageParameters parameters;
    std::string parent, path;
    const char *mentions;
  } cases[] = {
      /* 0 */ {{kFixed, 1000}, "", "", "the size 1000 is not a multiple of 512"},
      /* 1 */ {{kFixed, 0}, "", "", "the size must not be 0"},
      // A 1024-byte file is shorter than any image file can be.
      /* 2 */ {{kFixed, 512}, "", "", "at least 1024 bytes"},
      /* 3 */ {{kFixed, 2041 * kGiB}, "", "", "larger than the format holds: at most"},
      /* 4 */ {{kDynamic, kMiB, 3000}, "", "", "the block size 3000 is not a power of two"},
      /* 5 */ {{kDynamic, kMiB, 256}, "", "", "the block size 256"},
      /* 6 */ {{kDynamic, kMiB, 1ull << 32}, "", "", "the block size 4294967296"},
      /* 7 */ {{kDynamic, 2040 * kGiB + 512}, "", "", "(2040 GiB)"},
      /* 8 */ {{kDynamic, 1024 * kGiB, 512}, "", "", "table entries"},
      /* 9 */ {{kDynamic, 2040 * kGiB}, "", "", ""},
      /* 10 */ {{kDynamic, 2040 * kGiB, 1ull << 31}, "", "", "the block size 2147483648"},
      /* 11 */ {{VHD_DISK_TYPE_DIFFERENCING, kMiB}, "", "", "unknown disk type 4"},
      /* 12 */ {{kFixed, kMiB}, "", existing, "the file already exists"},
      /* 13 */ {{kDynamic, kMiB}, "", link, "the file already exists"},
      /* 14 */ {{kFixed, kMiB}, "", File("no/new.vhd"), "No such file or directory"},
      /* 15 */ {{}, File("missing.vhd"), "", "missing.vhd: cannot open the file"},
      /* 16 */ {{}, File("text.vhd"), "", "shorter than any image"},
      /* 17 */ {{}, File("bad\xFF.vhd"), "", "is not UTF-8 text"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    std::string path = c.path.empty() ? File("new.vhd") : c.path;
    std::string error = c.parent.empty() ? CreateImage(path, c.parameters)
                                         : CreateDifferencingImage(path, c.parent);
    EXPECT_EQ(error.empty(), *c.mentions == '\0') << "case " << i << ": " << error;
    EXPECT_NE(error.find(c.mentions), std::string::npos) << "case " << i << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "case " << i;
    if (error.empty()) {
      std::filesystem::remove(path);
    }
    EXPECT_FALSE(std::filesystem::exists(File("new.vhd"))) << "case " << i;
  }
  EXPECT_TRUE(ReadFileBytes(existing) == Bytes(10, 'e'));
  EXPECT_FALSE(std::filesystem::exists(File("target.vhd"))) << "a link was followed";
}

// The child names its parent by an absolute and, where the parent is in or
// below the child's folder, a relative locator; the driver finds the parent
// through them (and checks its identity) when it reads the parent's data
// through the child.
TEST_F(ToolImageWriter, DifferencingImagesNameTheirParents) {
  std::filesystem::create_directories(File("sub"));
  std::filesystem::create_directories(File("elsewhere"));
  // The child's block size is the parent's, or the default over a fixed one.
  struct Case {
    std::string parent, child;
    uint32_t blockSize;
    std::u16string relative;  // empty: none
  } cases[] = {
      /* 0 */ {"fixed.vhd", "c0.vhd", kDefaultBlockSize, u".\\fixed.vhd"},
      /* 1 */ {"sub/base.vhd", "c1.vhd", 4096, u".\\sub\\base.vhd"},
      /* 2 */ {"sub/base.vhd", "elsewhere/c2.vhd", 4096, u""},
      /* 3 */ {"b\xC3\xA9se\xF0\x9F\x98\x80.vhd", "c3.vhd", 512, u".\\b\u00E9se\U0001F600.vhd"},
  };
  MakeFixedImage(File("fixed.vhd"), 64 * 1024);
  PokeFile(File("fixed.vhd"), 0, PatternBytes(64 * 1024, 0));
  MakeDynamicImage(File("sub/base.vhd"), 64 * 1024, 4096);
  AppendBlock(File("sub/base.vhd"), 3, PatternBytes(4096, 3));
  MakeDynamicImage(File(cases[3].parent), 64 * 1024, 512);
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    std::string parent = File(c.parent), child = File(c.child);
    ASSERT_EQ(CreateDifferencingImage(child, parent), "");
    EXPECT_EQ(PeekBe32(child, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize)),
              c.blockSize);
    LocatorEntry absolute = ReadLocator(child, 0), relative = ReadLocator(child, 1);
    EXPECT_EQ(absolute.code, "W2ku");
    EXPECT_EQ(absolute.path, NtName(parent).substr(4));
    EXPECT_EQ(relative.code, c.relative.empty() ? std::string(4, '\0') : "W2ru");
    EXPECT_EQ(relative.path, c.relative);
    Bytes name(512, 0);  // the parent's file name, UTF-16 big-endian
    std::u16string text = host::Utf16FromUtf8(std::filesystem::path(parent).filename().string());
    for (size_t k = 0; k < text.size(); ++k) {
      StoreBe16(name.data(), text[k], ULONG(2 * k));
    }
    EXPECT_TRUE(PeekFile(child, kHeaderOffset + 64, 512) == name);
    EXPECT_TRUE(RunTool({"cat", child}).out == RunTool({"cat", parent}).out);
  }
}

}  // namespace
}  // namespace dorvane::test
