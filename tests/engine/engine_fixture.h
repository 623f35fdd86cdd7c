// Shared fixture of the block engine's tests: an image in a temporary folder
// opened through the image code, transfers, pool accounting, the file's own
// view of BAT entries and sector bitmaps, and a differencing child over a
// dynamic parent.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

#include "engine/engine_internal.h"
#include "host/host_kernel.h"
#include "support/differencing_chain.h"
#include "support/engine_disk.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;
constexpr uint32_t kChainBlock = 4 * kKiB;  // the block size of MakeChain's images

inline void Splice(Bytes *disk, uint64_t offset, const Bytes &data) {
  std::copy(data.begin(), data.end(), disk->begin() + long(offset));
}

inline Bytes Slice(const Bytes &bytes, uint64_t offset, uint64_t length) {
  return Bytes(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
}

class EngineTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = File("disk.vhd");
    poolBaseline_ = host::OutstandingAllocations();
  }
  void TearDown() override {
    image_.Close();
    EXPECT_EQ(poolBaseline_, host::OutstandingAllocations()) << "pool buffers leaked";
    TempDirTest::TearDown();
  }

  // Opens path_; the pool count with the record open is the level every
  // operation must return to.
  void OpenImage() {
    image_.Close();
    ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_)) << path_ << " does not open";
    poolOpen_ = host::OutstandingAllocations();
  }
  void ExpectPoolSettled() const {
    EXPECT_EQ(poolOpen_, host::OutstandingAllocations()) << "pool buffers left after an operation";
  }

  // A write through ImageTransfer; a success must count every byte.
  NTSTATUS Write(uint64_t offset, const Bytes &data) {
    uint32_t moved = 0xDEAD;
    NTSTATUS status = image_.Write(offset, data.data(), uint32_t(data.size()), &moved);
    EXPECT_TRUE(!NT_SUCCESS(status) || moved == data.size()) << "wrote " << moved << " bytes";
    return status;
  }
  // Zeros as absent data (no buffer) into one block, through the write path
  // that writes of data share.
  NTSTATUS WriteAbsent(uint64_t offset, uint32_t length) {
    ULONG sector = 0;
    IO_STATUS_BLOCK ioStatus{};
    uint32_t block = image_->BlockSize;
    NTSTATUS status = ZeroBlockRange(image_.Get(), nullptr, length, uint32_t(offset / block),
                                     uint32_t(offset % block), &sector, &ioStatus);
    EXPECT_TRUE(!NT_SUCCESS(status) || ioStatus.Information == length) << ioStatus.Information;
    return status;
  }
  Bytes ReadBack(uint64_t offset, size_t length) {
    Bytes data(length, 0xCC);
    uint32_t moved = 0;
    EXPECT_EQ(STATUS_SUCCESS, image_.Read(offset, data.data(), uint32_t(length), &moved));
    EXPECT_EQ(length, moved);
    return data;
  }
  // The whole disk through the open record, then through a new record opened
  // from the file alone (in pieces that cut blocks and sectors).
  void ExpectDisk(const Bytes &disk, const std::string &what) {
    EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get())) << what << ": other data read";
    OpenImage();
    EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get(), 3 * kKiB + 100))
        << what << ": other data read after reopening";
  }

  uint32_t MemoryEntry(uint32_t index) const { return LookupBlockSector(image_.Get(), index); }
  // An entry as the file holds it; 0 names no block either.
  uint32_t DiskEntry(uint32_t index) const {
    uint32_t entry = PeekBe32(path_, kBatOffset + 4ull * index);
    return entry == 0 ? VHD_BAT_UNALLOCATED : entry;
  }
  // Sectors marked present in the file's bitmap of block `index`, read the
  // way the file stores them: sector k is bit 0x80 >> (k % 8) of byte k / 8.
  std::set<uint32_t> PresentSectors(uint32_t index) {
    std::set<uint32_t> present;
    uint32_t sectors = image_->BlockSize / 512;
    Bytes bitmap = PeekFile(path_, DiskEntry(index) * 512ull, (sectors + 7) / 8);
    for (uint32_t k = 0; k < sectors && DiskEntry(index) != VHD_BAT_UNALLOCATED; ++k) {
      if (bitmap[k / 8] & (0x80 >> (k % 8))) {
        present.insert(k);
      }
    }
    return present;
  }

  // A new image at path_, replacing the one there: a dynamic image with
  // pattern data in `blocks` placed in that order, or a differencing child of
  // a dynamic parent (base.vhd) of 16 blocks of kChainBlock bytes with data in
  // blocks 1, 2, 5 and 9. disk_ is its virtual disk.
  void MakeDynamic(uint64_t size, uint32_t blockSize, const std::vector<uint32_t> &blocks) {
    image_.Close();
    std::remove(path_.c_str());
    disk_ = MakeFilledDynamicImage(path_, size, blockSize, blocks);
  }
  void MakeChain() {
    std::string base = File("base.vhd");
    std::remove(base.c_str());
    disk_ = MakeFilledDynamicImage(base, 16 * kChainBlock, kChainBlock, {1, 2, 5, 9});
    image_.Close();
    std::remove(path_.c_str());
    MakeDifferencingImage(path_, base);
  }
  // Block `index` of the child holds `data` for the sectors in `present`
  // (the bitmap built here, in file order, independently of the engine).
  void PlaceChildBlock(uint32_t index, const Bytes &data, const std::set<uint32_t> &present) {
    Bytes bitmap(512, 0);
    for (uint32_t sector : present) {
      bitmap[sector / 8] |= uint8_t(0x80 >> (sector % 8));
      uint64_t at = sector * 512ull;
      Splice(&disk_, uint64_t(index) * kChainBlock + at, Slice(data, at, 512));
    }
    AppendBlock(path_, index, data, &bitmap);
  }

  std::string path_;
  OpenedImage image_;
  Bytes disk_;
  size_t poolBaseline_ = 0;
  size_t poolOpen_ = 0;
};

}  // namespace dorvane::test
