// Executive pool: tag checks, leak accounting, Nth-allocation failure and
// use from several threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "host/host_kernel.h"

namespace dorvane::test {
namespace {

constexpr ULONG kTag = 'vroD';

class HostPool : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override {
    host::FailAllocation(0);
    host::ResetForTest();
  }
};

TEST_F(HostPool, OutstandingAllocationsCountsUntilFreed) {
  size_t before = host::OutstandingAllocations();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 0, kTag);  // NT hands out a block for 0 bytes
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(before + 2, host::OutstandingAllocations());
  ExFreePoolWithTag(a, kTag);
  EXPECT_EQ(before + 1, host::OutstandingAllocations());
  ExFreePoolWithTag(b, kTag);
  EXPECT_EQ(before, host::OutstandingAllocations());
}

TEST_F(HostPool, NthAllocationFromNowFails) {
  for (uint64_t nth = 1; nth <= 3; ++nth) {
    host::FailAllocation(nth);
    std::vector<void*> blocks;
    for (uint64_t i = 1; i <= 4; ++i) {
      void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
      EXPECT_EQ(i == nth, block == nullptr) << "nth " << nth << ", allocation " << i;
      if (block != nullptr) blocks.push_back(block);
    }
    for (void* block : blocks) ExFreePoolWithTag(block, kTag);
  }
}

TEST_F(HostPool, FailAllocationZeroCancels) {
  host::FailAllocation(1);
  host::FailAllocation(0);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
  EXPECT_NE(nullptr, block);
  ExFreePoolWithTag(block, kTag);
}

TEST_F(HostPool, ConcurrentAllocationsAreAllAccounted) {
  size_t before = host::OutstandingAllocations();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      std::vector<void*> blocks;
      for (int i = 0; i < 500; ++i) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 8 + i % 64, kTag + t);
        ASSERT_NE(nullptr, block);
        memset(block, t, 8);
        blocks.push_back(block);
        if (i % 3 == 0) {
          ExFreePoolWithTag(blocks.back(), kTag + t);
          blocks.pop_back();
        }
      }
      for (void* block : blocks) ExFreePoolWithTag(block, kTag + t);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(before, host::OutstandingAllocations());
}

using HostPoolDeathTest = HostPool;

TEST_F(HostPoolDeathTest, FreeWithAnotherTagIsABugCheck) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, 'xxxx'), "BAD_POOL_CALLER.*'xxxx'.*'Dorv'");
  ExFreePoolWithTag(block, kTag);
}

TEST_F(HostPoolDeathTest, DoubleFreeIsABugCheck) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  ExFreePoolWithTag(block, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, kTag), "BAD_POOL_CALLER.*not an allocation");
}

TEST_F(HostPoolDeathTest, PagedPoolAtDispatchLevelIsABugCheck) {
  EXPECT_DEATH(
      {
        host::SetCurrentIrql(DISPATCH_LEVEL);
        ExAllocatePoolWithTag(PagedPool, 8, kTag);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
}  // namespace dorvane::test
