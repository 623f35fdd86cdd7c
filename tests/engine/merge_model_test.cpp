// Randomized model test of the merge: writes of data and of zeros through the
// top of a depth-3 chain interleaved with bounded merge steps of one or two
// levels, every read checked against an in-memory disk, the chain reopened
// now and then, and at the end, after the middle image is merged as well,
// the base holding the whole disk.
#include "merge_fixture.h"

namespace dorvane::test {
namespace {

TEST_F(MergeTest, WritesZerosAndMergeStepsKeepTheDisk) {
  const ChainShape shape = {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 32 * kKiB};
  BuildChain(shape, 20);
  Bytes model = topDisk_;
  OpenImage();
  std::mt19937 random(2024);
  ULONG levels = 0;
  for (int op = 0; op < 400; ++op) {
    uint64_t offset = random() % shape.diskSize;
    uint32_t length = uint32_t(std::min<uint64_t>(1 + random() % (80 * kKiB), shape.diskSize - offset));
    uint32_t kind = random() % 10;
    SCOPED_TRACE("operation " + std::to_string(op) + " kind " + std::to_string(kind));
    if (kind < 6) {
      Bytes data = kind < 3 ? PatternBytes(length, random()) : Bytes(length, 0);
      ASSERT_EQ(STATUS_SUCCESS, Write(offset, data));
      Splice(&model, offset, data);
    } else if (kind < 8) {
      // Levels are raised now and then and never lowered in effect.
      levels = std::max<ULONG>(levels, 1 + random() % 2);
      MergeResult r = Merge(random() % 2 ? levels : 0, random() % 4);
      ASSERT_EQ(STATUS_SUCCESS, r.status);
      if (r.remaining == 0) break;
    } else if (kind < 9) {
      ASSERT_TRUE(Slice(model, offset, length) == ReadBack(offset, length));
    } else {
      ASSERT_TRUE(model == ReadDiskThroughEngine(image_.Get(), 1 + random() % 200000));
      OpenImage();
      levels = 0;
      ASSERT_TRUE(model == ReadDiskThroughEngine(image_.Get()));
    }
  }
  ASSERT_EQ(0u, Merge(2, 100000).remaining);
  image_.Close();
  EXPECT_TRUE(model == ReadImage(middle_));
  // The middle image keeps the blocks the top did not cover; merged too,
  // the base holds the whole disk.
  ASSERT_EQ(STATUS_SUCCESS, image_.Open(middle_));
  ASSERT_EQ(0u, Merge(1, 100000).remaining);
  image_.Close();
  EXPECT_EQ("", CheckCompact(base_));
}

}  // namespace
}  // namespace dorvane::test
