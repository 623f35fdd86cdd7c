// Sector bitmaps: the bit order between file and memory, the sectors a
// written range marks present, and allocation's bitmap per disk type.
#include "engine_fixture.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlockSize = 64 * kKiB;  // 128 sectors, a padded bitmap

class EngineBitmapTest : public EngineTest {
 protected:
  // One block at index 1 with the given bitmap bytes (file order).
  uint32_t MakeBlockWithBitmap(const Bytes &bitmap) {
    MakeDynamicImage(path_, 4 * kBlockSize, kBlockSize);
    return AppendBlock(path_, 1, PatternBytes(kBlockSize, 1), &bitmap);
  }
  // Sectors marked present in the file's bitmap, most significant bit first.
  std::vector<uint32_t> PresentSectors(uint32_t sector) {
    Bytes bitmap = PeekFile(path_, uint64_t(sector) * 512, kBlockSize / 512 / 8);
    std::vector<uint32_t> present;
    for (uint32_t index = 0; index < kBlockSize / 512; ++index) {
      if (bitmap[index / 8] & (0x80 >> (index % 8))) {
        present.push_back(index);
      }
    }
    return present;
  }
};

TEST_F(EngineBitmapTest, ReadSectorBitmapTurnsTheFileOrderIntoRtlOrder) {
  Bytes bitmap(512, 0);
  bitmap[0] = 0x80;   // sector 0
  bitmap[1] = 0x01;   // sector 15
  bitmap[15] = 0x41;  // sectors 121 and 127
  uint32_t sector = MakeBlockWithBitmap(bitmap);
  OpenImage();

  PSECTOR_BITMAP record = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ReadSectorBitmap(image_.Get(), &record, sector));
  ASSERT_NE(nullptr, record);
  EXPECT_EQ(kBlockSize / 512, record->Header.SizeOfBitMap);
  EXPECT_EQ(static_cast<void *>(SectorBitmapBytes(record)),
            static_cast<void *>(record->Header.Buffer));
  std::vector<uint32_t> set;
  for (uint32_t index = 0; index < kBlockSize / 512; ++index) {
    if (RtlTestBit(&record->Header, index)) {
      set.push_back(index);
    }
  }
  EXPECT_EQ((std::vector<uint32_t>{0, 15, 121, 127}), set);
  EXPECT_EQ(0x01, SectorBitmapBytes(record)[0]);
  FreePool(record);
  ExpectPoolSettled();
}

TEST_F(EngineBitmapTest, ReadSectorBitmapFailures) {
  uint32_t sector = MakeBlockWithBitmap(Bytes(512, 0));
  OpenImage();
  struct Case {
    bool poolFails;
    host::FileFault fault;
    NTSTATUS status;
  } cases[] = {
      {true, host::FileFault::Fail(STATUS_SUCCESS), STATUS_INSUFFICIENT_RESOURCES},
      {false, host::FileFault::ShortBy(1), IMAGE_STATUS_SHORT_TRANSFER},
      {false, host::FileFault::Fail(STATUS_ACCESS_DENIED), STATUS_ACCESS_DENIED},
  };
  for (const Case &c : cases) {
    host::ClearFaults();
    if (c.poolFails) {
      host::FailAllocation(1);
    } else {
      host::InjectFileFault(host::FileCall::Read, 1, c.fault);
    }
    PSECTOR_BITMAP record = reinterpret_cast<PSECTOR_BITMAP>(this);
    EXPECT_EQ(c.status, ReadSectorBitmap(image_.Get(), &record, sector));
    EXPECT_EQ(nullptr, record);
    ExpectPoolSettled();
  }
  host::FailAllocation(0);
  host::ClearFaults();
  PSECTOR_BITMAP record = reinterpret_cast<PSECTOR_BITMAP>(this);
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            ReadSectorBitmap(image_.Get(), &record, VHD_BAT_UNALLOCATED));
  EXPECT_EQ(nullptr, record);
}

TEST_F(EngineBitmapTest, EveryTouchedSectorIsMarked) {
  struct Case {
    uint32_t offset, length;
    std::vector<uint32_t> present;
  } cases[] = {
      {0, 512, {0}},
      {0, 513, {0, 1}},
      {100, 1, {0}},
      {511, 2, {0, 1}},
      // Starts inside sector 0 and ends inside sector 2: (600 + 511) / 512
      // sectors counted from sector 0 would miss sector 2.
      {500, 600, {0, 1, 2}},
      {1024, 1024, {2, 3}},
      {kBlockSize - 1, 1, {kBlockSize / 512 - 1}},
      {kBlockSize - 513, 2, {kBlockSize / 512 - 2, kBlockSize / 512 - 1}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.offset);
    path_ = File("mark-" + std::to_string(&c - cases) + ".vhd");
    uint32_t sector = MakeBlockWithBitmap(Bytes(512, 0));
    OpenImage();
    ASSERT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), sector, c.offset, c.length));
    EXPECT_EQ(c.present, PresentSectors(sector));
    ExpectPoolSettled();
    image_.Close();
  }

  // The whole block, and bits already present kept.
  path_ = File("mark-all.vhd");
  Bytes bitmap(512, 0);
  bitmap[3] = 0x10;  // sector 27
  uint32_t sector = MakeBlockWithBitmap(bitmap);
  OpenImage();
  ASSERT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), sector, 4096, 512));
  EXPECT_EQ((std::vector<uint32_t>{8, 27}), PresentSectors(sector));
  ASSERT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), sector, 0, kBlockSize));
  EXPECT_EQ(kBlockSize / 512, PresentSectors(sector).size());
  // The data behind the bitmap is untouched.
  EXPECT_EQ(PatternBytes(kBlockSize, 1),
            PeekFile(path_, uint64_t(sector) * 512 + SectorBitmapLength(kBlockSize), kBlockSize));
}

TEST_F(EngineBitmapTest, NothingToMarkMeansNoIo) {
  Bytes bitmap(512, 0);
  bitmap[0] = 0xF0;  // sectors 0 to 3
  uint32_t sector = MakeBlockWithBitmap(bitmap);
  Bytes before = ReadFileBytes(path_);
  OpenImage();
  host::ResetFileCallCounts();
  EXPECT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), VHD_BAT_UNALLOCATED, 0, 512));
  EXPECT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), sector, 512, 0));
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Read));
  EXPECT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), sector, 10, 2000));
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Write));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, MarkSectorsPresent(image_.Get(), sector, kBlockSize - 1, 2));
  EXPECT_TRUE(before == ReadFileBytes(path_));
  ExpectPoolSettled();
}

TEST_F(EngineBitmapTest, AShortBitmapWriteIsAFailure) {
  uint32_t sector = MakeBlockWithBitmap(Bytes(512, 0));
  OpenImage();
  host::InjectFileFault(host::FileCall::Write, 1, host::FileFault::ShortBy(1));
  EXPECT_EQ(IMAGE_STATUS_SHORT_TRANSFER, MarkSectorsPresent(image_.Get(), sector, 0, 512));
  host::InjectFileFault(host::FileCall::Write, 1, host::FileFault::Fail(STATUS_DISK_FULL));
  EXPECT_EQ(STATUS_DISK_FULL, MarkSectorsPresent(image_.Get(), sector, kBlockSize - 512, 512));
  ExpectPoolSettled();
}

TEST_F(EngineBitmapTest, NewBlocksAreAllPresentInDynamicImagesAndAbsentInDifferencingOnes) {
  MakeDynamicImage(path_, 4 * kBlockSize, kBlockSize);
  OpenImage();
  ULONG sector = 0;
  ASSERT_EQ(STATUS_SUCCESS, AllocateBlock(image_.Get(), 0, &sector));
  EXPECT_EQ(Bytes(SectorBitmapLength(kBlockSize), 0xFF),
            PeekFile(path_, uint64_t(sector) * 512, SectorBitmapLength(kBlockSize)));
  // The same record read as a differencing image's.
  image_->DiskType = VHD_DISK_TYPE_DIFFERENCING;
  ASSERT_EQ(STATUS_SUCCESS, AllocateBlock(image_.Get(), 1, &sector));
  image_->DiskType = VHD_DISK_TYPE_DYNAMIC;
  EXPECT_EQ(Bytes(SectorBitmapLength(kBlockSize) + kBlockSize, 0),
            PeekFile(path_, uint64_t(sector) * 512, SectorBitmapLength(kBlockSize) + kBlockSize));
  ASSERT_EQ(STATUS_SUCCESS, MarkSectorsPresent(image_.Get(), sector, 512 * 9 + 1, 1));
  EXPECT_EQ((std::vector<uint32_t>{9}), PresentSectors(sector));
  ExpectPoolSettled();
}

}  // namespace
}  // namespace dorvane::test
