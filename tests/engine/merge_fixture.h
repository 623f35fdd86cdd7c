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

  // Pieces of data at random sector places (some of a few bytes) into the
  // image at path; model follows.
  void Scribble(const std::string &path, Bytes *model, uint32_t seed, int pieces) {
    OpenedImage image;
    ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
    std::mt19937 random(seed);
    for (int piece = 0; piece < pieces; ++piece) {
      uint64_t offset = random() % (model->size() / 512) * 512 + (piece % 5 == 4 ? 100 : 0);
      uint32_t length = uint32_t(std::min<uint64_t>(512 * (1 + random() % 40) - (piece % 7 == 6 ? 300 : 0),
                                                    model->size() - offset));
      Bytes data = PatternBytes(length, random());
      ASSERT_EQ(STATUS_SUCCESS, image.Write(offset, data.data(), length));
      Splice(model, offset, data);
    }
  }

  void BuildChain(const ChainShape &shape, int pieces = 30) {
    for (const std::string &path : {base_, middle_, top_}) std::remove(path.c_str());
    if (shape.baseType == VHD_DISK_TYPE_FIXED) {
      MakeFixedImage(base_, shape.diskSize);
    } else {
      MakeDynamicImage(base_, shape.diskSize, shape.blockSize);
    }
    baseDisk_.assign(shape.diskSize, 0);
    ASSERT_NO_FATAL_FAILURE(Scribble(base_, &baseDisk_, 1, pieces));
    MakeDifferencingImage(middle_, base_);
    middleDisk_ = baseDisk_;
    ASSERT_NO_FATAL_FAILURE(Scribble(middle_, &middleDisk_, 2, pieces));
    MakeDifferencingImage(top_, middle_);
    topDisk_ = middleDisk_;
    ASSERT_NO_FATAL_FAILURE(Scribble(top_, &topDisk_, 3, pieces));
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
