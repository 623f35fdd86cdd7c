// Reads and writes of differencing images: sectors from the child or the
// parent chain by the block's sector bitmap, writes that allocate only for
// data the chain does not already return, and partly written sectors.
#include <filesystem>
#include <functional>
#include <set>

#include "engine_fixture.h"
#include "support/differencing_chain.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = 4 * kKiB;
constexpr uint64_t kDisk = 16 * kBlock;

// A block's sector bitmap as the file stores it: sector k is bit 0x80 >> (k % 8).
Bytes FileBitmap(uint32_t blockSize, const std::set<uint32_t> &present) {
  Bytes bitmap(SectorBitmapLength(blockSize), 0);
  for (uint32_t sector : present) {
    bitmap[sector / 8] |= uint8_t(0x80 >> (sector % 8));
  }
  return bitmap;
}

class DifferencingIoTest : public EngineTest {
 protected:
  // A dynamic parent with blocks 1, 2, 5 and 9 of pattern data; the child
  // over it is path_.
  void MakeChain(uint32_t parentBlock = kBlock) {
    parent_ = File("base.vhd");
    disk_ = MakeFilledDynamicImage(parent_, kDisk, parentBlock, {1, 2, 5, 9});
    path_ = File("child.vhd");
    MakeDifferencingImage(path_, parent_);
  }

  // Block `index` of the child holds `data` for the sectors in `present`.
  void PlaceChildBlock(uint32_t index, const Bytes &data, const std::set<uint32_t> &present) {
    uint32_t blockSize = PeekBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize));
    Bytes bitmap = FileBitmap(blockSize, present);
    AppendBlock(path_, index, data, &bitmap);
    for (uint32_t sector : present) {
      uint64_t offset = uint64_t(index) * blockSize + sector * 512ull;
      Splice(&disk_, offset, Slice(data, sector * 512ull, 512));
    }
  }

  // The sector bitmap of the child's block `index`, as present sectors.
  std::set<uint32_t> PresentSectors(uint32_t index) {
    uint32_t sector = DiskEntry(index);
    std::set<uint32_t> present;
    if (sector == VHD_BAT_UNALLOCATED) {
      return present;
    }
    uint32_t blockSize = image_->BlockSize;
    Bytes bitmap = PeekFile(path_, sector * 512ull, SectorBitmapLength(blockSize));
    for (uint32_t k = 0; k < blockSize / 512; ++k) {
      if (bitmap[k / 8] & (0x80 >> (k % 8))) present.insert(k);
    }
    return present;
  }

  void ExpectDiskAsModel(const std::string &what) {
    EXPECT_TRUE(disk_ == ReadDiskThroughEngine(image_.Get())) << what;
  }

  uint64_t ParentReads() { return host::FileCallCount(host::FileCall::Read, "/base.vhd"); }

  std::string parent_;
  Bytes disk_;  // what the child's virtual disk holds
};

TEST_F(DifferencingIoTest, InterleavedSectorsReadWithOneParentRead) {
  MakeChain();
  // Block 2: sectors 0, 2, 4, 6 present, the odd ones from the parent.
  PlaceChildBlock(2, PatternBytes(kBlock, 200), {0, 2, 4, 6});
  // Block 5: sectors 0 to 2 present, the rest absent.
  PlaceChildBlock(5, PatternBytes(kBlock, 500), {0, 1, 2});
  // Block 9: every sector present.
  PlaceChildBlock(9, PatternBytes(kBlock, 900), {0, 1, 2, 3, 4, 5, 6, 7});
  OpenImage();
  struct Case {
    uint64_t offset;
    uint32_t length;
    uint64_t parentReads;
  } cases[] = {
      /* 0 */ {2 * kBlock, kBlock, 1},      // alternating, whole block
      /* 1 */ {2 * kBlock + 100, 3000, 1},  // starts and ends inside sectors
      /* 2 */ {2 * kBlock + 600, 100, 1},   // inside one absent sector
      /* 3 */ {2 * kBlock + 1100, 200, 0},  // inside one present sector
      /* 4 */ {2 * kBlock + 3584, 512, 1},  // the last, absent, sector
      /* 5 */ {5 * kBlock, kBlock, 1},      // present, then absent to the end
      /* 6 */ {5 * kBlock + 1000, 100, 0},  // present only
      /* 7 */ {5 * kBlock + 1530, 10, 1},   // straddles present and absent
      /* 8 */ {9 * kBlock, kBlock, 0},      // all present
      // Three blocks: the parent's block 1, the mixed block 2, and block 3,
      // which neither image holds (no file read).
      /* 9 */ {2 * kBlock - 700, kBlock + 1400, 2},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case &c = cases[i];
    // Guard bytes around the destination must stay as they are.
    Bytes buffer(c.length + 64, 0xEE);
    host::ResetFileCallCounts();
    LARGE_INTEGER offset;
    offset.QuadPart = int64_t(c.offset);
    IO_STATUS_BLOCK ioStatus{};
    ASSERT_EQ(STATUS_SUCCESS, ImageTransfer(image_.Get(), IRP_MJ_READ, c.length, &offset,
                                            buffer.data() + 32, &ioStatus))
        << "case " << i;
    EXPECT_EQ(c.length, ioStatus.Information) << "case " << i;
    EXPECT_TRUE(Slice(disk_, c.offset, c.length) == Slice(buffer, 32, c.length)) << "case " << i;
    EXPECT_TRUE(Bytes(32, 0xEE) == Slice(buffer, 0, 32)) << "case " << i;
    EXPECT_TRUE(Bytes(32, 0xEE) == Slice(buffer, 32 + c.length, 32)) << "case " << i;
    EXPECT_EQ(c.parentReads, ParentReads()) << "case " << i;
    ExpectPoolSettled();
  }
}

TEST_F(DifferencingIoTest, AChildLargerThanItsParentReadsZerosBeyondIt) {
  // A fixed parent of half the child's disk (one 2 MiB block of the child).
  std::string fixed = File("fixed.vhd");
  MakeFixedImage(fixed, kDisk / 2);
  PokeFile(fixed, 0, PatternBytes(kDisk / 2, 4));
  path_ = File("larger.vhd");
  MakeDifferencingImage(path_, fixed);
  Bytes footer = ReadFooter(path_);
  StoreBe64(footer.data(), kDisk, offsetof(VHD_FOOTER, CurrentSize));
  RewriteFooter(path_, footer);
  disk_ = PatternBytes(kDisk / 2, 4);
  disk_.resize(kDisk, 0);
  OpenImage();
  // Zeros beyond the parent are what the disk holds there: nothing to write.
  uint64_t fileSize = FileSize(path_);
  ASSERT_EQ(STATUS_SUCCESS, Write(kDisk / 2 + 4096, Bytes(4096, 0)).status);
  EXPECT_EQ(fileSize, FileSize(path_));
  struct Piece {
    uint64_t offset;
    uint32_t length;
  } pieces[] = {{1024, 1024}, {10240, 512}, {kDisk / 2 - 500, 1000}};
  for (const Piece &piece : pieces) {
    Bytes data = PatternBytes(piece.length, uint32_t(piece.offset));
    ASSERT_EQ(STATUS_SUCCESS, Write(piece.offset, data).status);
    Splice(&disk_, piece.offset, data);
  }
  // Read straight from the block with garbage in the destination: whatever
  // the pieces come from, nothing of it may show through.
  struct Case {
    uint32_t offset, length;
  } cases[] = {{0, uint32_t(kDisk)},    {1000, 100},   {1500, 2000},
               {kDisk / 2 - 100, 1000}, {10000, 1000}, {kDisk / 2 + 100, 2000}};
  for (const Case &c : cases) {
    Bytes buffer(c.length, 0xCC);
    ULONG sector = 0;
    IO_STATUS_BLOCK ioStatus{};
    ASSERT_EQ(STATUS_SUCCESS, ReadDifferencingBlock(image_.Get(), buffer.data(), c.length, 0,
                                                    c.offset, &sector, &ioStatus));
    EXPECT_EQ(c.length, ioStatus.Information);
    EXPECT_TRUE(Slice(disk_, c.offset, c.length) == buffer) << c.offset << "+" << c.length;
  }
}

TEST_F(DifferencingIoTest, ParentsOfAnotherBlockSize) {
  // Child blocks four times the parent's, then a quarter of them.
  for (uint32_t childBlock : {4 * kBlock, kBlock / 4}) {
    SCOPED_TRACE(childBlock);
    parent_ = File("base.vhd");
    std::filesystem::remove(parent_);
    disk_ = MakeFilledDynamicImage(parent_, kDisk, kBlock, {1, 2, 5, 9});
    path_ = File("child-" + std::to_string(childBlock) + ".vhd");
    MakeDifferencingImage(path_, parent_);
    PokeBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize), childBlock);
    PokeBe32(path_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries),
             uint32_t(kDisk / childBlock));
    RefreshHeaderChecksum(path_);
    OpenImage();
    ASSERT_EQ(childBlock, image_->BlockSize);
    ExpectDiskAsModel("before writes");
    // Writes that cross the parent's block boundaries, whole and partial sectors.
    struct Piece {
      uint64_t offset;
      uint32_t length;
    } pieces[] = {{kBlock - 1024, 2048}, {5 * kBlock + 300, 5000}, {8 * kBlock - 10, 20}};
    for (const Piece &piece : pieces) {
      Bytes data = PatternBytes(piece.length, uint32_t(piece.offset));
      TransferResult result = Write(piece.offset, data);
      ASSERT_EQ(STATUS_SUCCESS, result.status);
      EXPECT_EQ(piece.length, result.moved);
      Splice(&disk_, piece.offset, data);
      ExpectPoolSettled();
    }
    ExpectDiskAsModel("after writes");
    image_.Close();
  }
}

TEST_F(DifferencingIoTest, DataTheChainAlreadyReturnsAllocatesNothing) {
  MakeChain();
  PlaceChildBlock(9, PatternBytes(kBlock, 900), {0, 1});
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  struct Case {
    uint64_t offset;
    uint32_t length;
  } cases[] = {
      {kBlock, kBlock},          // parent data, whole block
      {2 * kBlock + 7, 1000},    // parent data, partial sectors
      {3 * kBlock, kBlock},      // parent zeros
      {kBlock / 2, 3 * kBlock},  // several blocks
      {kDisk - 3, 3},            // the last bytes, fewer than a word
  };
  for (const Case &c : cases) {
    TransferResult result = Write(c.offset, Slice(disk_, c.offset, c.length));
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(c.length, result.moved);
    ExpectPoolSettled();
  }
  EXPECT_TRUE(before == ReadFileBytes(path_)) << "the image file changed";

  // Into an allocated block the same data is written and its sectors marked.
  TransferResult result = Write(9 * kBlock + 1024, Slice(disk_, 9 * kBlock + 1024, 1024));
  EXPECT_EQ(STATUS_SUCCESS, result.status);
  EXPECT_EQ((std::set<uint32_t>{0, 1, 2, 3}), PresentSectors(9));
  ExpectDiskAsModel("after the writes");
}

TEST_F(DifferencingIoTest, ZerosOverParentDataHideIt) {
  MakeChain();
  OpenImage();
  uint64_t fileSize = FileSize(path_);
  TransferResult result = Write(kBlock + 1024, Bytes(2048, 0));
  ASSERT_EQ(STATUS_SUCCESS, result.status);
  EXPECT_EQ(2048u, result.moved);
  Splice(&disk_, kBlock + 1024, Bytes(2048, 0));
  EXPECT_EQ(fileSize + BlockSpan(kBlock), FileSize(path_));
  EXPECT_EQ((std::set<uint32_t>{2, 3, 4, 5}), PresentSectors(1));
  ExpectDiskAsModel("zeros over parent data");
  // A whole block of zeros stays allocated: its zeros hide the parent's data.
  result = Write(kBlock, Bytes(kBlock, 0));
  ASSERT_EQ(STATUS_SUCCESS, result.status);
  Splice(&disk_, kBlock, Bytes(kBlock, 0));
  EXPECT_EQ(fileSize + BlockSpan(kBlock), FileSize(path_));
  EXPECT_EQ(8u, PresentSectors(1).size());
  ExpectDiskAsModel("a block of zeros");
}

TEST_F(DifferencingIoTest, PartlyWrittenSectorsKeepTheRestOfTheirBytes) {
  struct Case {
    uint32_t offset;  // in block 2
    uint32_t length;
  } cases[] = {
      /* 0 */ {100, 50},     // inside one sector
      /* 1 */ {300, 1000},   // starts and ends inside sectors
      /* 2 */ {1024, 700},   // starts on a boundary, ends inside
      /* 3 */ {1500, 548},   // starts inside, ends on a boundary
      /* 4 */ {511, 2},      // two sectors, one byte each
      /* 5 */ {3000, 1096},  // ends at the end of the block
  };
  // Block 2 of the child: absent, allocated with every sector absent,
  // allocated with the edges present, allocated with the edges absent.
  std::vector<std::set<uint32_t>> layouts = {{}, {}, {0, 1, 2, 3, 4, 5, 6, 7}, {3, 4}};
  for (size_t layout = 0; layout < layouts.size(); ++layout) {
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
      SCOPED_TRACE("layout " + std::to_string(layout) + " case " + std::to_string(i));
      image_.Close();
      std::filesystem::remove_all(DirPath());
      std::filesystem::create_directory(DirPath());
      MakeChain();
      if (layout > 0) {
        PlaceChildBlock(2, PatternBytes(kBlock, 222), layouts[layout]);
      }
      OpenImage();
      uint64_t offset = 2 * kBlock + cases[i].offset;
      Bytes data = PatternBytes(cases[i].length, 3 + uint32_t(i));
      TransferResult result = Write(offset, data);
      ASSERT_EQ(STATUS_SUCCESS, result.status);
      EXPECT_EQ(cases[i].length, result.moved);
      ExpectPoolSettled();
      Splice(&disk_, offset, data);
      ExpectDiskAsModel("after the write");
      std::set<uint32_t> present = layouts[layout];
      for (uint32_t s = cases[i].offset / 512; s <= (cases[i].offset + cases[i].length - 1) / 512;
           ++s) {
        present.insert(s);
      }
      EXPECT_EQ(present, PresentSectors(2));
      // What the file holds stands on its own, without the open record.
      image_.Close();
      OpenImage();
      ExpectDiskAsModel("reopened");
    }
  }
}

TEST_F(DifferencingIoTest, MergeThroughWritesAreRefusedUntilTheMergeExists) {
  MakeChain();
  OpenImage();
  Bytes before = ReadFileBytes(path_);
  image_->MergeThrough = TRUE;
  TransferResult result = Write(kBlock, PatternBytes(100, 1));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, result.status);
  EXPECT_EQ(0u, result.moved);
  EXPECT_TRUE(before == ReadFileBytes(path_));
  image_->MergeThrough = FALSE;
}

}  // namespace
}  // namespace dorvane::test
