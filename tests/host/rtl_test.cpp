// RTL bitmaps (NT bit order and run search), memory comparison and counted
// strings.
#include <gtest/gtest.h>

#include "host/host_kernel.h"

namespace dorvane::test {
namespace {

TEST(HostRtlBitmap, BitIIsBitIMod32OfUlongIDiv32) {
  ULONG buffer[2] = {0, 0};
  RTL_BITMAP bitmap;
  RtlInitializeBitMap(&bitmap, buffer, 64);
  RtlSetBits(&bitmap, 0, 1);
  RtlSetBits(&bitmap, 9, 2);
  RtlSetBits(&bitmap, 33, 1);
  EXPECT_EQ(0x00000601u, buffer[0]);
  EXPECT_EQ(0x00000002u, buffer[1]);
  // Little-endian: bit i is bit i % 8, least significant first, of byte i / 8.
  const UCHAR* bytes = reinterpret_cast<const UCHAR*>(buffer);
  EXPECT_EQ(0x01, bytes[0]);
  EXPECT_EQ(0x06, bytes[1]);
  EXPECT_TRUE(RtlTestBit(&bitmap, 10));
  EXPECT_FALSE(RtlTestBit(&bitmap, 11));
  RtlClearBits(&bitmap, 9, 1);
  EXPECT_EQ(0x00000401u, buffer[0]);
}

TEST(HostRtlBitmap, AreBitsSet) {
  ULONG buffer[3] = {0xFFFFFFF0u, 0xFFFFFFFFu, 0x0000000Fu};
  RTL_BITMAP bitmap;
  RtlInitializeBitMap(&bitmap, buffer, 70);
  struct {
    ULONG start, length;
    BOOLEAN expected;
  } cases[] = {
      {4, 64, TRUE},   // 0: across two ULONG boundaries
      {3, 2, FALSE},   // 1: starts on a clear bit
      {4, 65, FALSE},  // 2: runs into bit 68, clear
      {0, 0, FALSE},   // 3: empty range
      {68, 3, FALSE},  // 4: past the end of the bitmap
      {67, 1, TRUE},   // 5: a single set bit
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(cases[i].expected, RtlAreBitsSet(&bitmap, cases[i].start, cases[i].length))
        << "case " << i;
  }
}

TEST(HostRtlBitmap, FindNextForwardRunClear) {
  // Bits 0-3 clear, 4-39 set, 40-44 clear, 45 set, 46-79 clear (80 bits).
  ULONG buffer[3] = {0, 0, 0};
  RTL_BITMAP bitmap;
  RtlInitializeBitMap(&bitmap, buffer, 80);
  RtlSetBits(&bitmap, 4, 36);
  RtlSetBits(&bitmap, 45, 1);
  buffer[2] |= 0xFFFF0000u;  // bits past the size must not count
  struct {
    ULONG from;
    ULONG length;
    ULONG start;
  } cases[] = {
      {0, 4, 0},    // 0: a run at the start
      {2, 2, 2},    // 1: from inside a run, the rest of it
      {4, 5, 40},   // 2: skips a set run across a ULONG boundary
      {45, 34, 46}, // 3: the last run ends at the bitmap's size
      {79, 1, 79},  // 4: the last bit
      {80, 0, 80},  // 5: from the end: nothing
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    ULONG start = 0xFFFFFFFF;
    EXPECT_EQ(cases[i].length, RtlFindNextForwardRunClear(&bitmap, cases[i].from, &start))
        << "case " << i;
    EXPECT_EQ(cases[i].start, start) << "case " << i;
  }
  // All set: no run, the start is the bitmap's size.
  RtlSetBits(&bitmap, 0, 80);
  ULONG start = 0;
  EXPECT_EQ(0u, RtlFindNextForwardRunClear(&bitmap, 3, &start));
  EXPECT_EQ(80u, start);
}

TEST(HostRtlBitmapDeathTest, SettingBitsPastTheEndIsABugCheck) {
  ULONG buffer[1] = {0};
  RTL_BITMAP bitmap;
  RtlInitializeBitMap(&bitmap, buffer, 10);
  EXPECT_DEATH(RtlSetBits(&bitmap, 8, 3), "RTL_BITMAP_RANGE");
}

TEST(HostRtlMemory, CompareMemoryCountsEqualLeadingBytes) {
  const char a[] = "abcdefgh";
  const char b[] = "abcdXfgh";
  EXPECT_EQ(4u, RtlCompareMemory(a, b, 8));
  EXPECT_EQ(3u, RtlCompareMemory(a, b, 3));
  EXPECT_EQ(8u, RtlCompareMemory(a, a, 8));
  EXPECT_EQ(0u, RtlCompareMemory(a, b, 0));
}

TEST(HostRtlMemory, CompareMemoryUlongCountsWholeMatchingUlongs) {
  ULONG words[4] = {0, 0, 7, 0};
  struct {
    SIZE_T length;
    ULONG pattern;
    SIZE_T expected;
  } cases[] = {
      {16, 0, 8},  // 0: stops at the first ULONG that differs
      {8, 0, 8},   // 1: all match
      {7, 0, 4},   // 2: a length that is not a multiple of 4 compares whole ULONGs only
      {16, 7, 0},  // 3: the first ULONG differs
      {3, 0, 0},   // 4: less than one ULONG compares nothing
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(cases[i].expected, RtlCompareMemoryUlong(words, cases[i].length, cases[i].pattern))
        << "case " << i;
  }
}

TEST(HostRtlString, InitUnicodeString) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"abc");
  EXPECT_EQ(6, s.Length);
  EXPECT_EQ(8, s.MaximumLength);
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(0, s.Length);
  EXPECT_EQ(0, s.MaximumLength);
  EXPECT_EQ(nullptr, s.Buffer);
}

}  // namespace
}  // namespace dorvane::test
