// Reads and writes of dynamic images through the block engine: allocation on
// the first non-zero write, zeros that allocate nothing, the range rules of
// transfers and the results of failing image file calls.
#include "engine_fixture.h"

namespace dorvane::test {
namespace {

class EngineDynamicTest : public EngineTest {};

TEST_F(EngineDynamicTest, FirstAllocationLayoutByteByByte) {
  for (uint32_t blockSize : {2 * kMiB, 4 * kKiB}) {
    SCOPED_TRACE(blockSize);
    path_ = File("layout-" + std::to_string(blockSize) + ".vhd");
    MakeDynamicImage(path_, 4ull * blockSize, blockSize);
    Bytes before = ReadFileBytes(path_);
    uint64_t oldSize = before.size();
    uint64_t span = BlockSpan(blockSize);
    uint32_t bitmapLength = SectorBitmapLength(blockSize);
    OpenImage();

    Bytes data = PatternBytes(1000, 5);
    uint64_t offset = 2ull * blockSize + 700;
    TransferResult result = Write(offset, data);
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(1000u, result.moved);
    ExpectPoolSettled();

    Bytes after = ReadFileBytes(path_);
    ASSERT_EQ(oldSize + span, after.size());
    uint32_t sector = uint32_t((oldSize - 512) / 512);
    // Everything in front of the old footer is as it was, but the entry.
    Bytes expected(before.begin(), before.end() - 512);
    StoreBe32(expected.data() + kBatOffset + 2 * 4, sector);
    expected.insert(expected.end(), bitmapLength, 0xFF);
    expected.insert(expected.end(), blockSize, 0);
    Splice(&expected, oldSize - 512 + bitmapLength + 700, data);
    expected.insert(expected.end(), before.end() - 512, before.end());
    EXPECT_TRUE(expected == after) << "file differs from the expected layout";

    EXPECT_EQ(sector, MemoryEntry(2));
    EXPECT_EQ(int64_t(oldSize + span), image_->FileEnd);
    Bytes disk(4ull * blockSize, 0);
    Splice(&disk, offset, data);
    EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
    ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_));
    EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
  }
}

TEST_F(EngineDynamicTest, ZerosIntoUnallocatedBlocksChangeNothing) {
  const uint32_t blockSize = 4 * kKiB;
  MakeFilledDynamicImage(path_, 8 * blockSize, blockSize, {1});
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  struct Case {
    uint64_t offset;
    uint32_t length;
  } cases[] = {
      {0, 4},                          // smallest length that passes the zero test
      {2 * blockSize + 512, 512},      // inside a block
      {3 * blockSize, blockSize},      // a whole block
      {4 * blockSize + 100, 2 * blockSize},  // across blocks, unaligned
  };
  for (const Case &c : cases) {
    host::ResetFileCallCounts();
    TransferResult result = Write(c.offset, Bytes(c.length, 0));
    EXPECT_EQ(STATUS_SUCCESS, result.status) << c.offset;
    EXPECT_EQ(c.length, result.moved) << c.offset;
    EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Write)) << c.offset;
    EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Read)) << c.offset;
  }
  // Absent data is zeros too.
  ULONG sector = 0;
  IO_STATUS_BLOCK ioStatus{};
  EXPECT_EQ(STATUS_SUCCESS, ZeroBlockRange(image_.Get(), nullptr, blockSize, 5, 0, &sector,
                                           &ioStatus));
  EXPECT_EQ(blockSize, ioStatus.Information);
  EXPECT_EQ(VHD_BAT_UNALLOCATED, sector);
  ExpectPoolSettled();
  EXPECT_TRUE(before == ReadFileBytes(path_));
}

TEST_F(EngineDynamicTest, ZeroDataThatFailsTheZeroTestAllocates) {
  const uint32_t blockSize = 4 * kKiB;
  const uint64_t span = BlockSpan(blockSize);
  MakeDynamicImage(path_, 8 * blockSize, blockSize);
  uint64_t size = FileSize(path_);
  OpenImage();
  // The zero test counts whole 32-bit words: lengths that are not a multiple
  // of 4 never pass, whatever the bytes.
  uint32_t lengths[] = {3, 1, 5, 4095};
  uint32_t block = 0;
  for (uint32_t length : lengths) {
    TransferResult result = Write(uint64_t(block) * blockSize + 1, Bytes(length, 0));
    EXPECT_EQ(STATUS_SUCCESS, result.status) << length;
    EXPECT_EQ(length, result.moved) << length;
    size += span;
    EXPECT_EQ(size, FileSize(path_)) << length;
    EXPECT_NE(VHD_BAT_UNALLOCATED, MemoryEntry(block)) << length;
    EXPECT_EQ(Bytes(blockSize, 0), ReadBack(uint64_t(block) * blockSize, blockSize));
    ++block;
  }
  ExpectPoolSettled();
  EXPECT_EQ("", CheckCompact(path_));
}

// The zero test on buffers at any address: the bytes around the aligned
// words count as much as the words.
TEST_F(EngineDynamicTest, ZeroTestOnBuffersAtAnyAddress) {
  Bytes storage(64 + 8, 0);
  for (size_t start = 0; start < 4; ++start) {
    const uint8_t *data = storage.data() + start;
    EXPECT_TRUE(PassesZeroTest(data, 64)) << start;
    EXPECT_TRUE(PassesZeroTest(data, 4)) << start;
    EXPECT_TRUE(PassesZeroTest(data, 0)) << start;
    EXPECT_FALSE(PassesZeroTest(data, 63)) << start;
    for (size_t nonZero : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(31), size_t(60),
                           size_t(61), size_t(62), size_t(63)}) {
      storage[start + nonZero] = 0x40;
      EXPECT_FALSE(PassesZeroTest(data, 64)) << start << " " << nonZero;
      storage[start + nonZero] = 0;
    }
  }

  // Through the write path: zeros from an odd address allocate nothing, a
  // last non-zero byte there does.
  const uint32_t blockSize = 4 * kKiB;
  MakeDynamicImage(path_, 4 * blockSize, blockSize);
  uint64_t size = FileSize(path_);
  OpenImage();
  Bytes buffer(blockSize + 1, 0);
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  IO_STATUS_BLOCK ioStatus{};
  ASSERT_EQ(STATUS_SUCCESS, ImageTransfer(image_.Get(), IRP_MJ_WRITE, blockSize, &offset,
                                          buffer.data() + 1, &ioStatus));
  EXPECT_EQ(size, FileSize(path_));
  buffer[blockSize] = 1;
  ASSERT_EQ(STATUS_SUCCESS, ImageTransfer(image_.Get(), IRP_MJ_WRITE, blockSize, &offset,
                                          buffer.data() + 1, &ioStatus));
  EXPECT_EQ(size + BlockSpan(blockSize), FileSize(path_));
  EXPECT_EQ(Slice(buffer, 1, blockSize), ReadBack(0, blockSize));
}

TEST_F(EngineDynamicTest, UnallocatedBlocksReadAsZerosWithoutFileReads) {
  const uint32_t blockSize = 64 * kKiB;
  Bytes disk = MakeFilledDynamicImage(path_, 4 * blockSize, blockSize, {1});
  // An entry of 0 reads as unallocated, like 0xFFFFFFFF.
  PokeBe32(path_, kBatOffset + 2 * 4, 0);
  OpenImage();

  host::ResetFileCallCounts();
  EXPECT_EQ(Bytes(blockSize, 0), ReadBack(0, blockSize));
  EXPECT_EQ(Bytes(blockSize - 3, 0), ReadBack(2 * blockSize + 3, blockSize - 3));
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Read));

  // From the middle of block 0 to the middle of block 2: zeros, data, zeros,
  // one file read.
  uint64_t offset = blockSize / 2;
  EXPECT_TRUE(Slice(disk, offset, 2 * blockSize) == ReadBack(offset, 2 * blockSize));
  EXPECT_EQ(1u, host::FileCallCount(host::FileCall::Read));

  // A write into the block whose entry is 0 allocates a block and replaces
  // the entry.
  Bytes data = PatternBytes(100, 8);
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * blockSize + 10, data).status);
  EXPECT_EQ((FileSize(path_) - 512 - BlockSpan(blockSize)) / 512, DiskEntry(2));
  Splice(&disk, 2 * blockSize + 10, data);
  image_.Close();
  OpenImage();
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
  EXPECT_EQ("", CheckCompact(path_));
}

TEST_F(EngineDynamicTest, TransfersOutsideTheTableOrEmpty) {
  const uint32_t blockSize = 4 * kKiB;
  // The last block is cut by the disk's end, the table has 3 entries.
  Bytes disk = MakeFilledDynamicImage(path_, 3 * blockSize - 1024, blockSize, {0, 2});
  // ImageTransfer does not cut at the disk's end: the last block's data area
  // reads in full.
  disk.resize(3 * blockSize, 0);
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  struct Case {
    int64_t offset;
    uint32_t length;
    UCHAR operation;
    NTSTATUS status;
    uint32_t moved;
  } cases[] = {
      {3 * blockSize, 100, IRP_MJ_READ, STATUS_SUCCESS, 0},   // first offset past the table
      {3 * blockSize, 100, IRP_MJ_WRITE, STATUS_SUCCESS, 0},
      {2 * blockSize + 10, 2 * blockSize, IRP_MJ_READ, STATUS_SUCCESS, blockSize - 10},
      // Block index 2^32 would alias block 0 if cut to 32 bits.
      {int64_t(blockSize) << 32, 100, IRP_MJ_WRITE, STATUS_SUCCESS, 0},
      {(int64_t(blockSize) << 32) + 5, 100, IRP_MJ_READ, STATUS_SUCCESS, 0},
      {100, 0, IRP_MJ_WRITE, STATUS_SUCCESS, 0},
      {100, 0, IRP_MJ_READ, STATUS_SUCCESS, 0},
      {-1, 100, IRP_MJ_READ, STATUS_INVALID_PARAMETER, 0},
      {-int64_t(blockSize), 100, IRP_MJ_WRITE, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.offset);
    host::ResetFileCallCounts();
    Bytes buffer = PatternBytes(c.length, 77);
    Bytes original = buffer;
    LARGE_INTEGER offset;
    offset.QuadPart = c.offset;
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Information = 999;
    NTSTATUS status =
        ImageTransfer(image_.Get(), c.operation, c.length, &offset, buffer.data(), &ioStatus);
    EXPECT_EQ(c.status, status);
    EXPECT_EQ(c.status, ioStatus.Status);
    EXPECT_EQ(c.moved, ioStatus.Information);
    if (c.operation == IRP_MJ_READ) {
      // What no piece reached reads as zeros.
      Bytes expected(c.length, 0);
      if (c.moved != 0) {
        std::copy(disk.begin() + c.offset, disk.begin() + c.offset + c.moved, expected.begin());
      }
      EXPECT_TRUE(expected == buffer);
    } else {
      EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Write));
      EXPECT_TRUE(original == buffer);
    }
    EXPECT_EQ(0, offset.QuadPart - c.offset) << "offset changed";
  }
  // A client's request is cut at the disk's end, inside the last block.
  const uint64_t size = 3 * blockSize - 1024;
  Bytes buffer(4096, 0xCC);
  IO_STATUS_BLOCK ioStatus{};
  ASSERT_EQ(STATUS_SUCCESS, TransferThroughDisk(image_.Get(), IRP_MJ_READ, int64_t(size - 100),
                                                buffer.data(), 4096, &ioStatus));
  EXPECT_EQ(100u, ioStatus.Information);
  EXPECT_TRUE(Slice(disk, size - 100, 100) == Slice(buffer, 0, 100));
  ExpectPoolSettled();
  EXPECT_TRUE(before == ReadFileBytes(path_));
}

TEST_F(EngineDynamicTest, WritesIntoAllocatedBlocksAndPartialZeroing) {
  const uint32_t blockSize = 4 * kKiB;
  Bytes disk = MakeFilledDynamicImage(path_, 8 * blockSize, blockSize, {0, 1, 2});
  uint64_t size = FileSize(path_);
  OpenImage();

  // Data across the boundary of two allocated blocks.
  Bytes data = PatternBytes(3000, 12);
  ASSERT_EQ(STATUS_SUCCESS, Write(blockSize - 1000, data).status);
  Splice(&disk, blockSize - 1000, data);

  // Zeros over part of a block that keeps other data: written, block kept.
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * blockSize + 512, Bytes(1024, 0)).status);
  Splice(&disk, 2 * blockSize + 512, Bytes(1024, 0));
  ULONG sector = 0;
  IO_STATUS_BLOCK ioStatus{};
  ASSERT_EQ(STATUS_SUCCESS,
            ZeroBlockRange(image_.Get(), nullptr, 2048, 2, 2048, &sector, &ioStatus));
  EXPECT_EQ(2048u, ioStatus.Information);
  EXPECT_EQ(MemoryEntry(2), sector);
  Splice(&disk, 2 * blockSize + 2048, Bytes(2048, 0));
  EXPECT_EQ(size, FileSize(path_));

  // Zero bytes that fail the zero test are plain data: a block left entirely
  // zero by them stays allocated.
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * blockSize, Bytes(512, 0)).status);
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * blockSize + 1536, Bytes(510, 0)).status);
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * blockSize + 2046, Bytes(2, 0)).status);
  Splice(&disk, 2 * blockSize, Bytes(2048, 0));
  EXPECT_NE(VHD_BAT_UNALLOCATED, MemoryEntry(2));
  EXPECT_EQ(size, FileSize(path_));
  ExpectPoolSettled();

  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
  EXPECT_TRUE(disk == ReadDiskFromFile(path_));
  EXPECT_EQ("", CheckCompact(path_));
}

TEST_F(EngineDynamicTest, FailingAndShortFileCallsCountEarlierPieces) {
  const uint32_t blockSize = 4 * kKiB;
  Bytes disk = MakeFilledDynamicImage(path_, 8 * blockSize, blockSize, {0, 1, 2, 3});
  OpenImage();
  struct Case {
    host::FileCall call;
    host::FileFault fault;
    NTSTATUS status;
  } cases[] = {
      {host::FileCall::Read, host::FileFault::ShortBy(1), IMAGE_STATUS_SHORT_TRANSFER},
      {host::FileCall::Read, host::FileFault::Fail(STATUS_ACCESS_DENIED), STATUS_ACCESS_DENIED},
      {host::FileCall::Write, host::FileFault::ShortBy(512), IMAGE_STATUS_SHORT_TRANSFER},
      {host::FileCall::Write, host::FileFault::Fail(STATUS_DISK_FULL), STATUS_DISK_FULL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(int(c.call));
    // Three pieces: the end of block 0, block 1, the start of block 2; the
    // second piece's file call meets the fault.
    uint64_t offset = blockSize - 100;
    uint32_t length = blockSize + 200;
    host::ClearFaults();
    host::InjectFileFault(c.call, 2, c.fault);
    Bytes buffer = PatternBytes(length, 31);
    Bytes written = buffer;
    TransferResult result = c.call == host::FileCall::Read ? Read(offset, &buffer)
                                                           : Write(offset, buffer);
    EXPECT_EQ(c.status, result.status);
    EXPECT_EQ(100u, result.moved);
    if (c.call == host::FileCall::Read) {
      Bytes expected(length, 0);
      std::copy(disk.begin() + long(offset), disk.begin() + long(offset) + 100, expected.begin());
      EXPECT_TRUE(expected == buffer);
    } else {
      Splice(&disk, offset, Slice(written, 0, 100));
    }
    ExpectPoolSettled();
  }
  host::ClearFaults();
  // The short write reached the file only in part: block 1 is the one piece
  // that may differ.
  Bytes back = ReadDiskThroughEngine(image_.Get());
  EXPECT_TRUE(Slice(disk, 0, blockSize) == Slice(back, 0, blockSize));
  EXPECT_TRUE(Slice(disk, 2 * blockSize, 6 * blockSize) == Slice(back, 2 * blockSize, 6 * blockSize));
}

TEST_F(EngineDynamicTest, BlockTransferRefusesWhatItDoesNotServe) {
  const uint32_t blockSize = 4 * kKiB;
  MakeFilledDynamicImage(path_, 4 * blockSize, blockSize, {0});
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  Bytes buffer(512, 0x11);
  ULONG sector = 7;

  // Another operation, or another disk type: 0xC00000E5 with the status
  // block as it was.
  IO_STATUS_BLOCK ioStatus;
  ioStatus.Status = 0x1234;
  ioStatus.Information = 4321;
  EXPECT_EQ(STATUS_INTERNAL_ERROR, BlockTransfer(image_.Get(), IRP_MJ_FLUSH_BUFFERS, buffer.data(),
                                                 512, 0, 0, &sector, &ioStatus));
  image_->DiskType = VHD_DISK_TYPE_FIXED;
  EXPECT_EQ(STATUS_INTERNAL_ERROR,
            BlockTransfer(image_.Get(), IRP_MJ_READ, buffer.data(), 512, 0, 0, &sector, &ioStatus));
  image_->DiskType = VHD_DISK_TYPE_DYNAMIC;
  EXPECT_EQ(0x1234, ioStatus.Status);
  EXPECT_EQ(4321u, ioStatus.Information);

  // A piece reaching past its block, or a block beyond the table.
  struct Case {
    ULONG length, block, offsetInBlock;
  } cases[] = {{512, 0, blockSize - 511}, {2, 0, 0xFFFFFFFF}, {512, 4, 0}, {1, 0xFFFFFFFF, 0}};
  for (const Case &c : cases) {
    for (UCHAR operation : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
      ioStatus.Information = 99;
      EXPECT_EQ(STATUS_INVALID_PARAMETER,
                BlockTransfer(image_.Get(), operation, buffer.data(), c.length, c.block,
                              c.offsetInBlock, &sector, &ioStatus));
      EXPECT_EQ(STATUS_INVALID_PARAMETER, ioStatus.Status);
      EXPECT_EQ(0u, ioStatus.Information);
    }
  }
  EXPECT_EQ(Bytes(512, 0x11), buffer);
  ExpectPoolSettled();
  EXPECT_TRUE(before == ReadFileBytes(path_));
}

TEST_F(EngineDynamicTest, PoolFailuresChangeNothing) {
  const uint32_t blockSize = 4 * kKiB;
  Bytes disk = MakeFilledDynamicImage(path_, 4 * blockSize, blockSize, {0});
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  // The allocation's span buffer, then the zero path's block buffer.
  host::FailAllocation(1);
  TransferResult result = Write(2 * blockSize, PatternBytes(100, 1));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
  EXPECT_EQ(0u, result.moved);
  host::FailAllocation(1);
  result = Write(0, Bytes(blockSize, 0));
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.status);
  EXPECT_EQ(0u, result.moved);
  host::FailAllocation(0);
  ExpectPoolSettled();
  EXPECT_TRUE(before == ReadFileBytes(path_));
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, MemoryEntry(2));
}

// An image file whose length is not a whole number of sectors: new blocks
// still start on a sector boundary, and the release finds the last span on
// one.
TEST_F(EngineDynamicTest, ImageFileOfUnevenLength) {
  const uint32_t blockSize = 4 * kKiB;
  const uint64_t span = BlockSpan(blockSize);
  MakeFilledDynamicImage(path_, 8 * blockSize, blockSize, {0});
  Bytes footer = ReadFooter(path_);
  uint64_t footerPlace = FileSize(path_) - 512;
  // 100 bytes of something in front of the footer.
  TruncateFile(path_, footerPlace);
  Bytes tail = PatternBytes(100 + 512, 3);
  std::copy(footer.begin(), footer.end(), tail.begin() + 100);
  PokeFile(path_, footerPlace, tail);
  OpenImage();
  Bytes disk = ReadDiskThroughEngine(image_.Get());

  Bytes data = PatternBytes(blockSize, 4);
  ASSERT_EQ(STATUS_SUCCESS, Write(3 * blockSize, data).status);
  Splice(&disk, 3 * blockSize, data);
  uint64_t place = footerPlace + 512;  // the sector boundary behind the old footer's start
  EXPECT_EQ(place / 512, MemoryEntry(3));
  EXPECT_EQ(place / 512, DiskEntry(3));
  EXPECT_EQ(place + span + 512, FileSize(path_));
  EXPECT_EQ(footer, ReadFooter(path_));
  image_.Close();
  OpenImage();
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));

  // Releasing block 0 moves block 3 into its place and cuts the file on a
  // sector boundary behind the footer written where block 3 stood.
  ASSERT_EQ(STATUS_SUCCESS, Write(0, Bytes(blockSize, 0)).status);
  Splice(&disk, 0, Bytes(blockSize, 0));
  EXPECT_EQ(footerPlace / 512 - span / 512, MemoryEntry(3));
  EXPECT_EQ(place + 512, FileSize(path_));
  EXPECT_EQ(footer, ReadFooter(path_));
  image_.Close();
  OpenImage();
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));

  // Releasing the last block puts the footer where it started.
  ASSERT_EQ(STATUS_SUCCESS, Write(3 * blockSize, Bytes(blockSize, 0)).status);
  image_.Close();
  OpenImage();
  EXPECT_TRUE(Bytes(8 * blockSize, 0) == ReadDiskThroughEngine(image_.Get()));
  EXPECT_EQ(footerPlace + 512 - span, FileSize(path_));
  EXPECT_EQ(footer, ReadFooter(path_));
  ExpectPoolSettled();
}

TEST_F(EngineDynamicTest, BlocksBeyondTwoTerabytesAreRefused) {
  const uint32_t blockSize = 4 * kKiB;
  const uint64_t span = BlockSpan(blockSize);
  MakeDynamicImage(path_, 4 * blockSize, blockSize);
  // The footer moves to sector 0xFFFFFFFE: the last sector a BAT entry can
  // name, since 0xFFFFFFFF means unallocated. The file is sparse.
  Bytes footer = ReadFooter(path_);
  uint64_t lastPlace = 0xFFFFFFFEull * 512;
  TruncateFile(path_, lastPlace);
  PokeFile(path_, lastPlace, footer);
  OpenImage();

  Bytes data = PatternBytes(blockSize, 6);
  ASSERT_EQ(STATUS_SUCCESS, Write(0, data).status);
  EXPECT_EQ(0xFFFFFFFEu, DiskEntry(0));
  EXPECT_EQ(lastPlace + span + 512, FileSize(path_));

  // The next block would start beyond sector 0xFFFFFFFE: refused, nothing
  // written, nothing changed.
  host::ResetFileCallCounts();
  TransferResult result = Write(blockSize, data);
  EXPECT_EQ(STATUS_DISK_FULL, result.status);
  EXPECT_EQ(0u, result.moved);
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Write));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, MemoryEntry(1));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, DiskEntry(1));
  EXPECT_EQ(int64_t(lastPlace + span + 512), image_->FileEnd);
  EXPECT_EQ(lastPlace + span + 512, FileSize(path_));
  ExpectPoolSettled();

  image_.Close();
  OpenImage();
  EXPECT_EQ(data, ReadBack(0, blockSize));
  // Releasing it cuts the file back.
  ASSERT_EQ(STATUS_SUCCESS, Write(0, Bytes(blockSize, 0)).status);
  EXPECT_EQ(lastPlace + 512, FileSize(path_));
}

// A full disk refuses the block's bitmap or data after the footer at the new
// end was written: the allocation is undone, so that retries leave the file
// as it was.
TEST_F(EngineDynamicTest, AFullDiskLeavesTheFileAsItWas) {
  const uint32_t blockSize = 64 * kKiB;
  Bytes disk = MakeFilledDynamicImage(path_, 8 * blockSize, blockSize, {2});
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  Bytes data = PatternBytes(blockSize, 5);
  for (int attempt = 0; attempt < 4; ++attempt) {
    // The bitmap write, then the data write.
    host::InjectFileFault(host::FileCall::Write, 2 + attempt % 2,
                          host::FileFault::Fail(STATUS_DISK_FULL), "/disk.vhd");
    TransferResult result = Write(4 * blockSize, data);
    host::ClearFaults();
    EXPECT_EQ(STATUS_DISK_FULL, result.status);
    EXPECT_EQ(0u, result.moved);
    EXPECT_EQ(int64_t(before.size()), image_->FileEnd);
    EXPECT_TRUE(before == ReadFileBytes(path_)) << attempt;
  }
  ASSERT_EQ(STATUS_SUCCESS, Write(4 * blockSize, data).status);
  Splice(&disk, 4 * blockSize, data);
  EXPECT_EQ("", CheckCompact(path_));
  EXPECT_TRUE(disk == ReadDiskFromFile(path_));
  ExpectPoolSettled();
}

TEST_F(EngineDynamicTest, NewBlocksNeverOverlapTheTable) {
  const uint32_t blockSize = 4 * kKiB;
  MakeDynamicImage(path_, 200 * blockSize, blockSize);
  // A table cut short by the end of the file: the footer stands where the
  // table's second sector would be.
  Bytes footer = ReadFooter(path_);
  TruncateFile(path_, kBatOffset + 512);
  PokeFile(path_, kBatOffset + 512, footer);
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, Write(0, PatternBytes(100, 1)).status);
  ExpectPoolSettled();
  EXPECT_TRUE(before == ReadFileBytes(path_));
}

}  // namespace
}  // namespace dorvane::test
