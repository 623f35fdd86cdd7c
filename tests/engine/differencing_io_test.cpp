// Reads and writes of differencing images: sectors from the child or the
// parent by the block's sector bitmap (one parent read per piece), writes
// that allocate only for data the chain does not already return, and partly
// written sectors completed from the parent.
#include "engine_fixture.h"
#include "host/testing/host_testing.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = kChainBlock;

using DifferencingIoTest = EngineTest;

TEST_F(DifferencingIoTest, ReadsTakeEachSectorFromItsImageWithOneParentRead) {
  MakeChain();
  PlaceChildBlock(2, PatternBytes(kBlock, 200), {0, 2, 4, 6});
  PlaceChildBlock(5, PatternBytes(kBlock, 500), {0, 1, 2});
  PlaceChildBlock(9, PatternBytes(kBlock, 900), {0, 1, 2, 3, 4, 5, 6, 7});
  ASSERT_NO_FATAL_FAILURE(OpenImage());
  struct Case { uint64_t offset; uint32_t length; uint64_t parentReads; } td[] = {
      /* 0 */ {2 * kBlock, kBlock, 1},       // alternating, the whole block
      /* 1 */ {2 * kBlock + 100, 3000, 1},   // starts and ends inside sectors
      /* 2 */ {2 * kBlock + 600, 100, 1},    // inside one absent sector
      /* 3 */ {2 * kBlock + 1100, 200, 0},   // inside one present sector
      /* 4 */ {2 * kBlock + 3584, 512, 1},   // the last sector, absent
      /* 5 */ {5 * kBlock, kBlock, 1},       // present, then absent to the end
      /* 6 */ {5 * kBlock + 1000, 100, 0},   // present only
      /* 7 */ {5 * kBlock + 1530, 10, 1},    // across present and absent
      /* 8 */ {9 * kBlock, kBlock, 0},       // all present
      /* 9 */ {2 * kBlock - 700, kBlock + 1400, 2},  // the parent's block 1, block 2, no one's 3
  };
  for (const Case &c : td) {
    SCOPED_TRACE("case " + std::to_string(&c - td));
    host::ResetFileCallCounts();
    EXPECT_TRUE(Slice(disk_, c.offset, c.length) == ReadBack(c.offset, c.length));
    EXPECT_EQ(c.parentReads, host::FileCallCount(host::FileCall::Read, "/base.vhd"));
    ExpectPoolSettled();
  }
}

// One write into a new chain whose child holds block 2 as given; then the
// disk, and the sectors the child's block holds (none: the block stays
// unallocated).
TEST_F(DifferencingIoTest, WritesKeepTheRestOfTheirSectorsAndAllocateOnlyForNewData) {
  enum Payload { kData, kZeros, kSame, kLastChanged };  // kSame: the bytes the chain returns
  const std::set<uint32_t> kNoBlock = {~0u}, kAll = {0, 1, 2, 3, 4, 5, 6, 7};
  struct Case {
    std::set<uint32_t> held;  // sectors of block 2 the child holds; kNoBlock: no block
    uint64_t offset;
    uint32_t length;
    Payload payload;
    std::set<uint32_t> present;  // of the written block afterwards
  } td[] = {
      /* 0 */ {kNoBlock, 2 * kBlock + 100, 50, kData, {0}},  // inside one sector
      /* 1 */ {kNoBlock, 2 * kBlock + 300, 1000, kData, {0, 1, 2}},
      /* 2 */ {kNoBlock, 2 * kBlock + 3000, 1096, kData, {5, 6, 7}},  // to the block's end
      /* 3 */ {{}, 2 * kBlock + 1024, 700, kData, {2, 3}},
      /* 4 */ {{}, 2 * kBlock + 1500, 548, kData, {2, 3}},
      /* 5 */ {kAll, 2 * kBlock + 511, 2, kData, kAll},
      /* 6 */ {{3, 4}, 2 * kBlock + 1700, 1000, kData, {3, 4, 5}},  // head held, tail not
      /* 7 */ {{3, 4}, 2 * kBlock + 1000, 600, kData, {1, 2, 3, 4}},  // tail held, head not
      /* 8 */ {kNoBlock, 2 * kBlock + 1024, 2048, kZeros, {2, 3, 4, 5}},  // hide parent data
      /* 9 */ {kNoBlock, kBlock / 2, 3 * kBlock, kSame, {}},  // blocks 0 to 3: nothing new
      /* 10 */ {kNoBlock, 3 * kBlock, kBlock, kZeros, {}},  // zeros the parent holds too
      /* 11 */ {{3, 4}, 2 * kBlock, 1024, kSame, {0, 1, 3, 4}},  // written all the same
      /* 12 */ {kNoBlock, 2 * kBlock + 7, 1001, kLastChanged, {0, 1}},
  };
  for (const Case &c : td) {
    SCOPED_TRACE("case " + std::to_string(&c - td));
    MakeChain();
    if (c.held != kNoBlock) {
      PlaceChildBlock(2, PatternBytes(kBlock, 222), c.held);
    }
    uint64_t size = FileSize(path_);
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    Bytes data = c.payload == kData    ? PatternBytes(c.length, 3)
                 : c.payload == kZeros ? Bytes(c.length, 0)
                                       : Slice(disk_, c.offset, c.length);
    data.back() ^= c.payload == kLastChanged ? 0x5A : 0;
    ASSERT_EQ(STATUS_SUCCESS, Write(c.offset, data));
    ExpectPoolSettled();
    Splice(&disk_, c.offset, data);
    EXPECT_EQ(c.present, PresentSectors(uint32_t(c.offset / kBlock)));
    EXPECT_TRUE(!c.present.empty() || size == FileSize(path_)) << "the file grew";
    ExpectDisk(disk_, "after the write");
  }
}

}  // namespace
}  // namespace dorvane::test
