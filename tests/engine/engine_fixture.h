// Shared fixture of the block engine's tests: an image in a temporary folder,
// opened through the image code, with transfers and pool accounting.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "host/host_kernel.h"
#include "support/engine_disk.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * 1024;

struct TransferResult {
  NTSTATUS status;
  uint32_t moved;
};

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

  // Opens path_ and takes the pool count with the record open as the level
  // every operation must return to; closing returns to the test's start.
  void OpenImage() {
    image_.Close();
    ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_));
    poolOpen_ = host::OutstandingAllocations();
  }
  void ExpectPoolSettled() const {
    EXPECT_EQ(poolOpen_, host::OutstandingAllocations()) << "pool buffers left after an operation";
  }

  TransferResult Write(uint64_t offset, const Bytes &data) {
    uint32_t moved = 0xDEAD;
    NTSTATUS status = image_.Write(offset, data.data(), uint32_t(data.size()), &moved);
    return {status, moved};
  }
  TransferResult Read(uint64_t offset, Bytes *data) {
    uint32_t moved = 0xDEAD;
    NTSTATUS status = image_.Read(offset, data->data(), uint32_t(data->size()), &moved);
    return {status, moved};
  }
  Bytes ReadBack(uint64_t offset, size_t length) {
    Bytes data(length, 0xCC);
    TransferResult result = Read(offset, &data);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(length, result.moved);
    return data;
  }
  uint32_t MemoryEntry(uint32_t index) const {
    uint32_t entry = BatEntryToHost(image_->Bat[index]);
    return entry == 0 ? VHD_BAT_UNALLOCATED : entry;
  }
  uint32_t DiskEntry(uint32_t index) const {
    return PeekBe32(path_, kBatOffset + 4ull * index);
  }

  std::string path_;
  OpenedImage image_;
  size_t poolBaseline_ = 0;
  size_t poolOpen_ = 0;
};

inline void Splice(Bytes *disk, uint64_t offset, const Bytes &data) {
  std::copy(data.begin(), data.end(), disk->begin() + long(offset));
}

inline Bytes Slice(const Bytes &bytes, uint64_t offset, uint64_t length) {
  return Bytes(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
}

}  // namespace dorvane::test
