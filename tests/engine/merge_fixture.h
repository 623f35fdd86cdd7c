// Chains for the merge tests: a fixed or dynamic base with a middle and a top
// differencing image over it, each written through the image code in pieces
// of whole and partial sectors (blocks with present and absent sectors), and
// the virtual disk each image of the chain reads.
#pragma once

#include <cstdio>
#include <random>

#include "engine_fixture.h"
#include "support/differencing_chain.h"

namespace dorvane::test {

struct ChainShape {
  uint32_t baseType;   // VHD_DISK_TYPE_FIXED or VHD_DISK_TYPE_DYNAMIC
  uint64_t diskSize;
  uint32_t blockSize;  // of a dynamic base, and so of the chain
};

class MergeTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    base_ = File("base.vhd");
    middle_ = File("middle.vhd");
    top_ = File("top.vhd");
    path_ = top_;
  }

  // base <- middle <- top, each written in pieces at random sector places
  // (some partial sectors); the disks each image reads follow.
  void BuildChain(const ChainShape &shape, int pieces = 30) {
    for (const std::string &path : {base_, middle_, top_}) std::remove(path.c_str());
    if (shape.baseType == VHD_DISK_TYPE_FIXED) {
      MakeFixedImage(base_, shape.diskSize);
    } else {
      MakeDynamicImage(base_, shape.diskSize, shape.blockSize);
    }
    Bytes disk(shape.diskSize, 0);
    std::mt19937 random(1);
    for (Bytes *model : {&baseDisk_, &middleDisk_, &topDisk_}) {
      const std::string &path = model == &baseDisk_ ? base_ : model == &middleDisk_ ? middle_ : top_;
      if (model != &baseDisk_) MakeDifferencingImage(path, model == &middleDisk_ ? base_ : middle_);
      OpenedImage image;
      ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
      for (int piece = 0; piece < pieces; ++piece) {
        uint64_t offset = random() % (disk.size() / 512) * 512 + (piece % 5 == 4 ? 100 : 0);
        Bytes data = PatternBytes(std::min<uint64_t>(512 * (1 + random() % 40) - piece % 7 * 40,
                                                     disk.size() - offset), random());
        ASSERT_EQ(STATUS_SUCCESS, image.Write(offset, data.data(), uint32_t(data.size())));
        Splice(&disk, offset, data);
      }
      *model = disk;
    }
  }

  Bytes ReadImage(const std::string &path) {
    OpenedImage image;
    EXPECT_EQ(STATUS_SUCCESS, image.Open(path, GENERIC_READ));
    return image.Get() == nullptr ? Bytes() : ReadDiskThroughEngine(image.Get());
  }

  struct MergeResult {
    NTSTATUS status;
    ULONG merged, remaining;
  };
  MergeResult Merge(ULONG levels, ULONG limit) {
    MergeResult result{STATUS_SUCCESS, 0xDEAD, 0xDEAD};
    result.status = MergeToParent(image_.Get(), levels, limit, &result.merged, &result.remaining);
    return result;
  }

  std::string base_, middle_, top_;
  Bytes baseDisk_, middleDisk_, topDisk_;
};

}  // namespace dorvane::test
