// Headers that ask for more pool than the driver gives one image or chain
// are refused at open with STATUS_NOT_SUPPORTED. The tables are claimed in
// the header only and placed where the trailing footer starts, so all their
// entries read as unallocated, as a crafted file would claim them.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

class ImageLimits : public TempDirTest {
 protected:
  // A dynamic image of 8 blocks of 512 bytes and `length - 1` differencing
  // images over it, top last.
  std::vector<std::string> Chain(const std::string &prefix, size_t length) {
    std::vector<std::string> chain;
    for (size_t level = 0; level < length; ++level) {
      chain.push_back(File(prefix + std::to_string(level) + ".vhd"));
      level == 0 ? MakeDynamicImage(chain[0], 4096, 512)
                 : MakeDifferencingImage(chain[level], chain[level - 1]);
    }
    return chain;
  }
};

TEST_F(ImageLimits, BlocksTablesAndChainsBeyondTheLimitsAreRefused) {
  const uint32_t kTable = IMAGE_BAT_ENTRY_LIMIT;
  struct Case {
    uint32_t blockSize, entries;
    size_t chainLength;  // images, each claiming the same
    NTSTATUS status;
  } cases[] = {
      /* 0 */ {IMAGE_BLOCK_SIZE_LIMIT * 2, 1, 1, STATUS_NOT_SUPPORTED},
      /* 1 */ {512, kTable + 1, 1, STATUS_NOT_SUPPORTED},
      // Seven of the largest tables fit in a chain's pool, eight do not.
      /* 2 */ {512, kTable, 7, STATUS_SUCCESS},
      /* 3 */ {512, kTable, 8, STATUS_NOT_SUPPORTED},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    std::vector<std::string> chain = Chain(std::to_string(i) + "-", c.chainLength);
    for (const std::string &image : chain) {
      Bytes footer = ReadFooter(image);
      uint64_t size = uint64_t(c.entries) * c.blockSize;
      for (int b = 0; b < 8; ++b) footer[48 + b] = uint8_t(size >> (56 - 8 * b));
      RewriteFooter(image, footer);
      // Table Offset's low half; its high half is 0.
      PokeBe32(image, kHeaderOffset + 20, uint32_t(FileSize(image) - 512));
      PokeBe32(image, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries), c.entries);
      PokeBe32(image, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize), c.blockSize);
      RefreshHeaderChecksum(image);
    }
    OpenedImage opened;
    EXPECT_EQ(opened.Open(chain.back(), GENERIC_READ), c.status) << "case " << i;
  }
}

// Each level names its parent in eight letter cases, over a base that is
// gone: unbounded, every level would try the chain below it eight times.
TEST_F(ImageLimits, ParentOpensOfOneChainOpenAreBounded) {
  std::vector<std::string> chain = Chain("level", 5);
  for (size_t level = 1; level < chain.size(); ++level) {
    std::u16string folded = NtName(chain[level - 1]).substr(4);  // no "\??\" prefix
    for (int entry = 0, at = 0; entry < 8; ++entry, ++at) {
      while (folded[at] < u'a' || folded[at] > u'z') ++at;
      folded[at] = char16_t(folded[at] - u'a' + u'A');
      SetLocator(chain[level], entry, "W2ku", folded);
    }
  }
  std::filesystem::remove(chain[0]);
  host::ClearCreateHistory();
  OpenedImage top;
  EXPECT_EQ(top.Open(chain.back(), GENERIC_READ), STATUS_TOO_MANY_LINKS);
  EXPECT_LE(host::CreateHistory().size(), IMAGE_PARENT_OPEN_LIMIT + 1u);
}

}  // namespace
}  // namespace dorvane::test
