// Release of blocks that writes of zeros leave entirely zero: the last block
// of the file moves into the freed place, the file is cut one span shorter,
// and odd layouts never lose a block.
#include "engine_fixture.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlockSize = 4 * kKiB;
const uint64_t kSpan = BlockSpan(kBlockSize);

class EngineReleaseTest : public EngineTest {
 protected:
  // Sector of each block as the file's table has it.
  std::vector<uint32_t> Sectors() { return ReadLayout(path_).entries; }
};

TEST_F(EngineReleaseTest, ZeroingAWholeBlockMovesTheLastBlockIntoItsPlace) {
  struct Case {
    const char *name;
    std::vector<uint32_t> placement;  // block indexes in file order
    uint32_t freed;
    uint32_t mover;                   // kNone: nothing moves
  };
  constexpr uint32_t kNone = 0xFFFFFFFF;
  const Case cases[] = {
      {"mover after the freed block in the table", {0, 1, 2, 3}, 1, 3},
      {"mover before the freed block in the table", {3, 1, 2, 0}, 1, 0},
      {"first block of the file, table far apart", {7, 2, 5, 0}, 7, 0},
      {"last block of the file", {0, 1, 2, 3}, 3, kNone},
      {"only block", {4}, 4, kNone},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    path_ = File(std::string("release-") + std::to_string(&c - cases) + ".vhd");
    Bytes disk = MakeFilledDynamicImage(path_, 8 * kBlockSize, kBlockSize, c.placement);
    std::vector<uint32_t> before = Sectors();
    uint64_t size = FileSize(path_);
    Bytes footer = ReadFooter(path_);
    OpenImage();

    host::ResetFileCallCounts();
    TransferResult result = Write(uint64_t(c.freed) * kBlockSize, Bytes(kBlockSize, 0));
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(kBlockSize, result.moved);
    ExpectPoolSettled();
    Splice(&disk, uint64_t(c.freed) * kBlockSize, Bytes(kBlockSize, 0));

    EXPECT_EQ(size - kSpan, FileSize(path_));
    EXPECT_EQ(int64_t(size - kSpan), image_->FileEnd);
    EXPECT_EQ(footer, ReadFooter(path_));
    EXPECT_EQ("", CheckCompact(path_));
    EXPECT_EQ(1u, host::FileCallCount(host::FileCall::SetInformation));
    std::vector<uint32_t> after = Sectors();
    std::vector<uint32_t> expected = before;
    expected[c.freed] = VHD_BAT_UNALLOCATED;
    if (c.mover != kNone) {
      expected[c.mover] = before[c.freed];
    }
    EXPECT_EQ(expected, after);
    for (uint32_t index = 0; index < after.size(); ++index) {
      EXPECT_EQ(after[index], MemoryEntry(index)) << index;
    }
    EXPECT_TRUE(disk == ReadDiskFromFile(path_));
    EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
    OpenImage();
    EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
  }
}

TEST_F(EngineReleaseTest, ZeroingInPiecesReleasesOnTheLastPiece) {
  Bytes disk = MakeFilledDynamicImage(path_, 8 * kBlockSize, kBlockSize, {0, 1, 2});
  uint64_t size = FileSize(path_);
  OpenImage();
  ULONG sector = 0;
  IO_STATUS_BLOCK ioStatus{};
  ASSERT_EQ(STATUS_SUCCESS,
            ZeroBlockRange(image_.Get(), nullptr, kBlockSize / 2, 1, 0, &sector, &ioStatus));
  EXPECT_EQ(size, FileSize(path_));
  EXPECT_NE(VHD_BAT_UNALLOCATED, sector);
  ASSERT_EQ(STATUS_SUCCESS, ZeroBlockRange(image_.Get(), nullptr, kBlockSize / 2, 1,
                                           kBlockSize / 2, &sector, &ioStatus));
  EXPECT_EQ(kBlockSize / 2, ioStatus.Information);
  EXPECT_EQ(VHD_BAT_UNALLOCATED, sector);
  EXPECT_EQ(size - kSpan, FileSize(path_));
  Splice(&disk, kBlockSize, Bytes(kBlockSize, 0));
  EXPECT_TRUE(disk == ReadDiskFromFile(path_));
  ExpectPoolSettled();
}

TEST_F(EngineReleaseTest, AllocatingAndReleasingEverythingRestoresTheEmptyFile) {
  MakeDynamicImage(path_, 8 * kBlockSize, kBlockSize);
  Bytes empty = ReadFileBytes(path_);
  OpenImage();
  uint32_t order[] = {5, 0, 7, 3, 1};
  for (uint32_t index : order) {
    ASSERT_EQ(STATUS_SUCCESS, Write(uint64_t(index) * kBlockSize + 9, PatternBytes(99, index)).status);
  }
  uint32_t releases[] = {3, 5, 1, 7, 0};
  for (uint32_t index : releases) {
    ASSERT_EQ(STATUS_SUCCESS, Write(uint64_t(index) * kBlockSize, Bytes(kBlockSize, 0)).status);
    EXPECT_EQ("", CheckCompact(path_)) << index;
  }
  EXPECT_TRUE(empty == ReadFileBytes(path_));
  ExpectPoolSettled();
}

// The span in front of the footer belongs to no entry (left by an allocation
// that stopped before its entry was written): the release drops it, and the
// freed block's span stays in the file unnamed.
TEST_F(EngineReleaseTest, ASpanThatNoEntryNamesIsDropped) {
  Bytes disk = MakeFilledDynamicImage(path_, 8 * kBlockSize, kBlockSize, {0, 1, 2});
  PokeBe32(path_, kBatOffset + 2 * 4, VHD_BAT_UNALLOCATED);
  Splice(&disk, 2 * kBlockSize, Bytes(kBlockSize, 0));
  std::vector<uint32_t> before = Sectors();
  uint64_t size = FileSize(path_);
  OpenImage();
  ASSERT_EQ(STATUS_SUCCESS, Write(0, Bytes(kBlockSize, 0)).status);
  Splice(&disk, 0, Bytes(kBlockSize, 0));
  EXPECT_EQ(size - kSpan, FileSize(path_));
  std::vector<uint32_t> after = Sectors();
  EXPECT_EQ(VHD_BAT_UNALLOCATED, after[0]);
  EXPECT_EQ(before[1], after[1]);
  image_.Close();
  OpenImage();
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));

  // Block 1 now lies last: its release puts the footer in its place. Block
  // 0's old span stays unnamed in front of it.
  ASSERT_EQ(STATUS_SUCCESS, Write(kBlockSize, Bytes(kBlockSize, 0)).status);
  EXPECT_EQ(size - 2 * kSpan, FileSize(path_));
  EXPECT_EQ(uint64_t(before[1]) * 512 + 512, FileSize(path_));
  image_.Close();
  OpenImage();
  EXPECT_TRUE(Bytes(8 * kBlockSize, 0) == ReadDiskThroughEngine(image_.Get()));
  ExpectPoolSettled();
}

// A file whose blocks do not end where a whole span in front of the footer
// begins: the last place holds part of a block. A cut there would destroy
// that block, so the freed block is only unnamed.
TEST_F(EngineReleaseTest, ALastPlaceInsideABlockIsNeverCut) {
  Bytes disk = MakeFilledDynamicImage(path_, 8 * kBlockSize, kBlockSize, {0, 1});
  Bytes footer = ReadFooter(path_);
  uint64_t footerPlace = FileSize(path_) - 512;
  // 600 unnamed bytes in front of the footer.
  Bytes tail(600 + 512, 0x5A);
  std::copy(footer.begin(), footer.end(), tail.begin() + 600);
  PokeFile(path_, footerPlace, tail);
  uint64_t size = FileSize(path_);
  OpenImage();

  ASSERT_EQ(STATUS_SUCCESS, Write(0, Bytes(kBlockSize, 0)).status);
  Splice(&disk, 0, Bytes(kBlockSize, 0));
  EXPECT_EQ(size, FileSize(path_));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, DiskEntry(0));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, MemoryEntry(0));
  image_.Close();
  OpenImage();
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));

  // Block 1 has only unnamed bytes behind it: the footer takes its place,
  // and block 0's old span stays unnamed in front of it.
  uint64_t block1 = uint64_t(DiskEntry(1)) * 512;
  ASSERT_EQ(STATUS_SUCCESS, Write(kBlockSize, Bytes(kBlockSize, 0)).status);
  EXPECT_EQ(block1 + 512, FileSize(path_));
  EXPECT_EQ(footer, ReadFooter(path_));
  image_.Close();
  OpenImage();
  EXPECT_TRUE(Bytes(8 * kBlockSize, 0) == ReadDiskThroughEngine(image_.Get()));
  ExpectPoolSettled();
}

TEST_F(EngineReleaseTest, ReleaseOfAnUnallocatedBlockDoesNothing) {
  MakeFilledDynamicImage(path_, 8 * kBlockSize, kBlockSize, {0});
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  Bytes work(kSpan);
  host::ResetFileCallCounts();
  EXPECT_EQ(STATUS_SUCCESS, ReleaseBlock(image_.Get(), 3, work.data()));
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Write));
  EXPECT_TRUE(before == ReadFileBytes(path_));
}

}  // namespace
}  // namespace dorvane::test
