// Reads of differencing images: file reads per piece by the pattern of
// present sectors, the bitmap read once per block, and the bitmap cache of
// an image with more blocks than it keeps staying right through writes and
// merge steps.
#include <thread>

#include "host/testing/host_testing.h"
#include "merge_fixture.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = 64 * kKiB;  // 128 sectors

std::set<uint32_t> Sectors(uint32_t from, uint32_t to, uint32_t step = 1) {
  std::set<uint32_t> sectors;
  for (uint32_t sector = from; sector < to; sector += step) sectors.insert(sector);
  return sectors;
}

using DifferencingReadTest = MergeTest;

TEST_F(DifferencingReadTest, ReadsPerPieceStayFewWhateverThePattern) {
  std::set<uint32_t> middleGap = Sectors(0, 40);
  middleGap.merge(Sectors(88, 128));
  struct Case { uint32_t parentBlock; std::set<uint32_t> present; uint32_t offset, length;
                uint64_t childReads, parentReads; } td[] = {
      /* 0 */ {kBlock, Sectors(0, 128), 0, kBlock, 1, 0},      // all present
      /* 1 */ {kBlock, {}, 0, kBlock, 0, 1},                   // all absent
      /* 2 */ {kBlock, Sectors(0, 128, 2), 0, kBlock, 1, 1},   // alternating
      /* 3 */ {kBlock, Sectors(0, 128, 2), 1000, 50000, 1, 1}, // alternating, cut in sectors
      /* 4 */ {kBlock, middleGap, 0, kBlock, 2, 1},            // one absent run in the middle
      /* 5 */ {16 * kKiB, middleGap, 0, kBlock, 2, 2},         // parent blocks 1 and 2
      /* 6 */ {16 * kKiB, Sectors(0, 128, 2), 0, kBlock, 1, 4},
  };
  for (const Case &c : td) {
    SCOPED_TRACE("case " + std::to_string(&c - td));
    image_.Close();
    std::remove(base_.c_str());
    std::vector<uint32_t> blocks;
    for (uint32_t index = 0; index < 4 * kBlock / c.parentBlock; ++index) blocks.push_back(index);
    Bytes disk = MakeFilledDynamicImage(base_, 4 * kBlock, c.parentBlock, blocks);
    std::remove(path_.c_str());
    MakeDifferencingImage(path_, base_);
    PokeBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize), kBlock);
    PokeBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries), 4);
    RefreshHeaderChecksum(path_);
    Bytes data = PatternBytes(kBlock, 7), bitmap(512, 0);
    for (uint32_t sector : c.present) {
      bitmap[sector / 8] |= uint8_t(0x80 >> (sector % 8));
      Splice(&disk, kBlock + sector * 512ull, Slice(data, sector * 512ull, 512));
    }
    AppendBlock(path_, 1, data, &bitmap);
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    for (uint64_t bitmapReads : {1, 0}) {  // the bitmap is read the first time only
      host::ResetFileCallCounts();
      uint64_t at = kBlock + c.offset;
      EXPECT_TRUE(Slice(disk, at, c.length) == ReadBack(at, c.length));
      EXPECT_EQ(c.childReads + bitmapReads, host::FileCallCount(host::FileCall::Read, "/top.vhd"));
      EXPECT_EQ(c.parentReads, host::FileCallCount(host::FileCall::Read, "/base.vhd"));
      ExpectPoolSettled();
    }
  }
}

// 1280 blocks of 4 KiB: blocks 512 apart share a slot of the cache.
TEST_F(DifferencingReadTest, CachedBitmapsFollowWritesAndMerges) {
  const ChainShape shape = {VHD_DISK_TYPE_DYNAMIC, 5 * kMiB, 4 * kKiB};
  BuildChain(shape, 200);
  Bytes model = topDisk_;
  OpenImage();
  std::mt19937 random(12);
  for (int op = 0; op < 400; ++op) {
    uint64_t offset = random() % shape.diskSize;
    uint32_t length =
        uint32_t(std::min<uint64_t>(1 + random() % (12 * kKiB), shape.diskSize - offset));
    uint32_t kind = random() % 8;
    SCOPED_TRACE("operation " + std::to_string(op) + " kind " + std::to_string(kind));
    if (kind < 4) {
      Bytes data = kind < 3 ? PatternBytes(length, random()) : Bytes(length, 0);
      ASSERT_EQ(STATUS_SUCCESS, Write(offset, data));
      Splice(&model, offset, data);
    } else if (kind == 4) {
      ASSERT_EQ(STATUS_SUCCESS, Merge(1, random() % 3).status);
    } else {
      uint64_t other = (offset + 2 * kMiB) % (shape.diskSize - length);
      ASSERT_TRUE(Slice(model, offset, length) == ReadBack(offset, length));
      ASSERT_TRUE(Slice(model, other, length) == ReadBack(other, length));
    }
  }
  ASSERT_TRUE(model == ReadDiskThroughEngine(image_.Get(), 5000));
}

// Readers side by side, as shared admission lets them run: they share the
// cache's slots (evicting each other's) and the kept work buffers.
using DifferencingReadConcurrency = DifferencingReadTest;

TEST_F(DifferencingReadConcurrency, ReadersSideBySideReadTheChain) {
  BuildChain({VHD_DISK_TYPE_DYNAMIC, 5 * kMiB, 4 * kKiB}, 200);
  OpenImage();
  std::vector<Bytes> reads(4);
  std::vector<std::thread> readers;
  for (uint32_t index = 0; index < reads.size(); ++index) {
    readers.emplace_back(
        [&, index] { reads[index] = ReadDiskThroughEngine(image_.Get(), 3000 + 7000 * index); });
  }
  for (std::thread &reader : readers) reader.join();
  for (const Bytes &read : reads) EXPECT_TRUE(topDisk_ == read);
  ExpectPoolSettled();
}

}  // namespace
}  // namespace dorvane::test
