// Headers that ask for more pool than the driver gives one image or chain:
// refused at open with STATUS_NOT_SUPPORTED; those at the limits open. The
// tables are claimed in the header only, placed where the trailing footer
// starts so that all their entries read as unallocated, as a crafted file
// would claim them.
#include <gtest/gtest.h>

#include "host/host_kernel.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

class ImageLimits : public TempDirTest {
 protected:
  // Claims a disk of `entries` blocks of `blockSize` bytes.
  static void Claim(const std::string &path, uint32_t blockSize, uint32_t entries) {
    uint64_t tableOffset = kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, TableOffset);
    PokeBe32(path, tableOffset, 0);
    PokeBe32(path, tableOffset + 4, uint32_t(FileSize(path) - 512));
    Bytes footer = ReadFooter(path);
    uint64_t size = uint64_t(entries) * blockSize;
    for (int i = 0; i < 8; ++i) footer[48 + i] = uint8_t(size >> (56 - 8 * i));
    RewriteFooter(path, footer);
    PokeBe32(path, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries), entries);
    PokeBe32(path, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize), blockSize);
    RefreshHeaderChecksum(path);
  }

  static NTSTATUS OpenStatus(const std::string &path) {
    OpenedImage image;
    NTSTATUS status = image.Open(path, GENERIC_READ);
    image.Close();
    EXPECT_EQ(host::OutstandingAllocations(), 0u) << path;
    return status;
  }
};

TEST_F(ImageLimits, BlocksTablesAndChainsBeyondTheLimitsAreRefused) {
  const uint32_t kBigTable = IMAGE_BAT_ENTRY_LIMIT;
  struct Case {
    uint32_t blockSize, entries;
    size_t chainLength;  // images, the claimed one at every level
    NTSTATUS status;
  } cases[] = {
      /* 0 */ {IMAGE_BLOCK_SIZE_LIMIT, 1, 1, STATUS_SUCCESS},
      /* 1 */ {IMAGE_BLOCK_SIZE_LIMIT * 2, 1, 1, STATUS_NOT_SUPPORTED},
      /* 2 */ {1u << 31, 1, 1, STATUS_NOT_SUPPORTED},
      /* 3 */ {512, kBigTable, 1, STATUS_SUCCESS},
      /* 4 */ {512, kBigTable + 1, 1, STATUS_NOT_SUPPORTED},
      // Seven such tables fit in the chain's pool, eight do not.
      /* 5 */ {512, kBigTable, 7, STATUS_SUCCESS},
      /* 6 */ {512, kBigTable, 8, STATUS_NOT_SUPPORTED},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    std::vector<std::string> chain{File(std::to_string(i) + "-0.vhd")};
    MakeDynamicImage(chain[0], 4096, 512);
    for (size_t level = 1; level < c.chainLength; ++level) {
      chain.push_back(File(std::to_string(i) + "-" + std::to_string(level) + ".vhd"));
      MakeDifferencingImage(chain[level], chain[level - 1]);
    }
    for (const std::string &image : chain) Claim(image, c.blockSize, c.entries);
    EXPECT_EQ(OpenStatus(chain.back()), c.status) << "case " << i;
  }
}

}  // namespace
}  // namespace dorvane::test
