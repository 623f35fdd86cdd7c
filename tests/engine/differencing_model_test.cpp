// Randomized writes through a chain of three images (a fixed or dynamic
// base, a differencing image over it and another over that) checked against
// an in-memory model of each virtual disk, and the result read by an
// independent reader (libvhdi) the same way.
#include <gtest/gtest.h>

#include <random>

#include "host/host_kernel.h"
#include "support/differencing_chain.h"
#include "support/engine_disk.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kDiskSize = 3ull << 20;
constexpr uint32_t kDynamicBlock = 64 * 1024;

struct Variant {
  uint32_t baseType;  // VHD_DISK_TYPE_FIXED or VHD_DISK_TYPE_DYNAMIC
  bool aligned;       // writes in whole, aligned 4 KiB units only
};

std::string Name(const ::testing::TestParamInfo<Variant> &info) {
  return std::string(info.param.baseType == VHD_DISK_TYPE_FIXED ? "Fixed" : "Dynamic") +
         (info.param.aligned ? "Aligned" : "AnyBytes");
}

class DifferencingModelTest : public TempDirTest, public ::testing::WithParamInterface<Variant> {
 protected:
  // Random writes into the image at path, applied to model as well: random
  // data, zeros, the bytes the disk already holds, and those with one byte
  // changed. Every few writes the whole disk is compared with the model.
  void WriteRandomly(const std::string &path, Bytes *model, std::mt19937 *random, int count) {
    OpenedImage image;
    ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
    for (int op = 0; op < count; ++op) {
      uint64_t offset;
      uint32_t length;
      if (GetParam().aligned) {
        offset = (*random)() % (kDiskSize / 4096) * 4096;
        length = (1 + (*random)() % 24) * 4096;
      } else {
        offset = (*random)() % kDiskSize;
        length = 1 + (*random)() % 70000;
      }
      length = uint32_t(std::min<uint64_t>(length, kDiskSize - offset));
      Bytes data;
      switch ((*random)() % 4) {
        case 0:
          data = PatternBytes(length, (*random)());
          break;
        case 1:
          data.assign(length, 0);
          break;
        case 2:
          data.assign(model->begin() + long(offset), model->begin() + long(offset + length));
          break;
        default:
          data.assign(model->begin() + long(offset), model->begin() + long(offset + length));
          data[(*random)() % length] ^= 0x5A;
          break;
      }
      uint32_t moved = 0;
      ASSERT_EQ(STATUS_SUCCESS, image.Write(offset, data.data(), length, &moved))
          << "write " << op << " at " << offset << " of " << length;
      ASSERT_EQ(length, moved);
      std::copy(data.begin(), data.end(), model->begin() + long(offset));
      if (op % 16 == 15) {
        ASSERT_TRUE(*model == ReadDiskThroughEngine(image.Get(), 1 + (*random)() % 300000))
            << "after write " << op;
      }
    }
    ASSERT_TRUE(*model == ReadDiskThroughEngine(image.Get()));
  }

  Bytes ReadDisk(const std::string &path) {
    OpenedImage image;
    EXPECT_EQ(STATUS_SUCCESS, image.Open(path, GENERIC_READ));
    return image.Get() == nullptr ? Bytes() : ReadDiskThroughEngine(image.Get(), 777777);
  }

  // base <- middle <- top, each written randomly after its creation.
  void BuildChain() {
    std::mt19937 random(GetParam().baseType * 10 + GetParam().aligned);
    base_ = File("base.vhd");
    middle_ = File("middle.vhd");
    top_ = File("top.vhd");
    if (GetParam().baseType == VHD_DISK_TYPE_FIXED) {
      MakeFixedImage(base_, kDiskSize);
    } else {
      MakeDynamicImage(base_, kDiskSize, kDynamicBlock);
    }
    baseModel_.assign(kDiskSize, 0);
    ASSERT_NO_FATAL_FAILURE(WriteRandomly(base_, &baseModel_, &random, 40));
    MakeDifferencingImage(middle_, base_);
    middleModel_ = baseModel_;
    ASSERT_NO_FATAL_FAILURE(WriteRandomly(middle_, &middleModel_, &random, 60));
    MakeDifferencingImage(top_, middle_);
    topModel_ = middleModel_;
    Bytes baseFile = ReadFileBytes(base_), middleFile = ReadFileBytes(middle_);
    ASSERT_NO_FATAL_FAILURE(WriteRandomly(top_, &topModel_, &random, 60));
    // Writes through the top never reach its parents.
    ASSERT_TRUE(baseFile == ReadFileBytes(base_));
    ASSERT_TRUE(middleFile == ReadFileBytes(middle_));
  }

  std::string base_, middle_, top_;
  Bytes baseModel_, middleModel_, topModel_;
};

TEST_P(DifferencingModelTest, EveryImageOfTheChainReadsAsItsModel) {
  size_t allocations = host::OutstandingAllocations();
  ASSERT_NO_FATAL_FAILURE(BuildChain());
  EXPECT_TRUE(topModel_ == ReadDisk(top_));
  EXPECT_TRUE(middleModel_ == ReadDisk(middle_));
  EXPECT_TRUE(baseModel_ == ReadDisk(base_));
  EXPECT_EQ(allocations, host::OutstandingAllocations());
  EXPECT_EQ(0u, host::OpenHandleCount());
}

// libvhdi (20210425) takes every sector after the first present one in a
// bitmap byte as present, so it reads only chains written in whole, aligned
// 4 KiB units (whole bitmap bytes) the way the format means them.
class DifferencingLibvhdiTest : public DifferencingModelTest {};

TEST_P(DifferencingLibvhdiTest, ReadsTheChainAsTheDriverDoes) {
  if (PyvhdiPython().empty()) {
    GTEST_SKIP() << "python3-libvhdi (pyvhdi) is not installed";
  }
  ASSERT_NO_FATAL_FAILURE(BuildChain());
  EXPECT_TRUE(topModel_ == ReadWithPyvhdi({top_, middle_, base_}));
  EXPECT_TRUE(middleModel_ == ReadWithPyvhdi({middle_, base_}));
}

INSTANTIATE_TEST_SUITE_P(Chains, DifferencingModelTest,
                         ::testing::Values(Variant{VHD_DISK_TYPE_FIXED, true},
                                           Variant{VHD_DISK_TYPE_FIXED, false},
                                           Variant{VHD_DISK_TYPE_DYNAMIC, true},
                                           Variant{VHD_DISK_TYPE_DYNAMIC, false}),
                         Name);

INSTANTIATE_TEST_SUITE_P(Chains, DifferencingLibvhdiTest,
                         ::testing::Values(Variant{VHD_DISK_TYPE_FIXED, true},
                                           Variant{VHD_DISK_TYPE_DYNAMIC, true}),
                         Name);

}  // namespace
}  // namespace dorvane::test
