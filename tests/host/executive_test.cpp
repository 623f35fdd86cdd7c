// Executive and RTL services as NT gives them: pool leak accounting, the Nth
// allocation made to fail and the bug checks of pool misuse (a spin lock
// raises to DISPATCH_LEVEL, where paged pool is not allowed); RTL bitmaps
// (bit order, set ranges, clear runs).
#include <gtest/gtest.h>

#include <vector>

#include "host/testing/host_testing.h"

namespace dorvane::test {
namespace {

constexpr ULONG kTag = 'vroD';

TEST(HostExecutive, OutstandingAllocationsCountsUntilFreed) {
  size_t before = host::OutstandingAllocations();
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(PagedPool, 0, kTag);  // NT hands out a block for 0 bytes
  EXPECT_EQ(before + 2, host::OutstandingAllocations());
  ExFreePoolWithTag(a, kTag);
  ExFreePoolWithTag(b, kTag);
  EXPECT_EQ(before, host::OutstandingAllocations());
}

// FailAllocation(n) fails the nth allocation from now, once; 0 cancels.
TEST(HostExecutive, NthAllocationFromNowFails) {
  for (uint64_t nth = 0; nth <= 3; ++nth) {
    host::FailAllocation(2);
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

TEST(HostExecutiveDeathTest, PoolMisuseIsABugCheck) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, 'xxxx'), "BAD_POOL_CALLER.*'xxxx'.*'Dorv'");
  ExFreePoolWithTag(block, kTag);
  EXPECT_DEATH(ExFreePoolWithTag(block, kTag), "BAD_POOL_CALLER.*not an allocation");
  // Paged pool under a spin lock, which holds the processor at DISPATCH_LEVEL.
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock = 0;
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        ExAllocatePoolWithTag(PagedPool, 8, kTag);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

// Bit i is bit i % 32 of ULONG i / 32.
TEST(HostExecutive, BitmapBitsAndRuns) {
  ULONG buffer[3] = {0, 0, 0xFFFF0000u};  // the bits past the size (80) do not count
  RTL_BITMAP bitmap;
  RtlInitializeBitMap(&bitmap, buffer, 80);
  RtlSetBits(&bitmap, 4, 36);
  RtlSetBits(&bitmap, 45, 1);
  EXPECT_EQ(0xFFFFFFF0u, buffer[0]);
  EXPECT_EQ(0x000020FFu, buffer[1]);
  // Bits 0-3 clear, 4-39 set, 40-44 clear, 45 set, 46-79 clear.
  struct {
    ULONG from, runLength, runStart;  // RtlFindNextForwardRunClear
    ULONG length;
    BOOLEAN set;  // RtlAreBitsSet(from, length)
  } cases[] = {
      {0, 4, 0, 0, FALSE},    // 0: a run at the start; an empty range is not set
      {2, 2, 2, 2, FALSE},    // 1: from inside a run, the rest of it
      {4, 5, 40, 36, TRUE},   // 2: skips a set run across a ULONG boundary
      {5, 5, 40, 36, FALSE},  // 3: runs into bit 40
      {45, 34, 46, 1, TRUE},  // 4: the last run ends at the bitmap's size
      {79, 1, 79, 2, FALSE},  // 5: past the end is not set
      {80, 0, 80, 1, FALSE},  // 6: from the end: nothing
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ULONG start = 0xFFFFFFFF;
    EXPECT_EQ(cases[i].runLength, RtlFindNextForwardRunClear(&bitmap, cases[i].from, &start))
        << "case " << i;
    EXPECT_EQ(cases[i].runStart, start) << "case " << i;
    EXPECT_EQ(cases[i].set, RtlAreBitsSet(&bitmap, cases[i].from, cases[i].length)) << "case " << i;
  }
  // All set: no run, and its start is the bitmap's size.
  RtlSetBits(&bitmap, 0, 80);
  ULONG start = 0;
  EXPECT_EQ(0u, RtlFindNextForwardRunClear(&bitmap, 3, &start));
  EXPECT_EQ(80u, start);
}

}  // namespace
}  // namespace dorvane::test
