// DbgPrint formats as NT's does (LLP64 sizes, the I64 prefix, wide strings)
// and each message is captured; DbgBreakPoint is counted and resumes.
#include <gtest/gtest.h>

#include "host/host_kernel.h"

namespace dorvane::test {
namespace {

class HostDebugOutput : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::ResetForTest(); }

  std::string Last() {
    auto messages = host::DebugOutput();
    return messages.empty() ? "<none>" : messages.back();
  }
};

TEST_F(HostDebugOutput, FormatsAsNtDbgPrint) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\??\\Z:\\a.vhd");
  const WCHAR* wide = u"wide";
  struct {
    std::string expected;
    std::string actual;
  } cases[] = {
      // 0: I64 takes a 64-bit argument; precision pads with zeros.
      {"0000000123456789", (DbgPrint("%.16I64x", 0x123456789ULL), Last())},
      // 1: "%#x" prefixes 0x.
      {"Image reopen result: 0xc0000034.\n",
       (DbgPrint("Image reopen result: %#x.\n", (ULONG)STATUS_OBJECT_NAME_NOT_FOUND), Last())},
      // 2: l is 32 bits (LONG), so the next argument is not swallowed.
      {"ffffffff 7", (DbgPrint("%lx %d", (ULONG)0xFFFFFFFF, 7), Last())},
      // 3: I64d, I64u and ll.
      {"-1 18446744073709551615 42",
       (DbgPrint("%I64d %I64u %lld", -1LL, ~0ULL, 42LL), Last())},
      // 4: I is pointer-sized.
      {"4294967296", (DbgPrint("%Iu", (SIZE_T)1 << 32), Last())},
      // 5: %p is 16 upper-case hex digits.
      {"00000000DEADBEEF", (DbgPrint("%p", (void*)0xDEADBEEF), Last())},
      // 6: %wZ takes a UNICODE_STRING*, %ws and %S wide strings, %hs narrow.
      {"\\??\\Z:\\a.vhd|wide|wide|narrow",
       (DbgPrint("%wZ|%ws|%S|%hs", &name, wide, wide, "narrow"), Last())},
      // 7: width, left adjustment, %c and %%.
      {"[   ab][7    ][x] 100%", (DbgPrint("[%5s][%-5d][%c] 100%%", "ab", 7, 'x'), Last())},
      // 8: h is 16 bits.
      {"ffff", (DbgPrint("%hx", 0xFFFFF), Last())},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    EXPECT_EQ(cases[i].expected, cases[i].actual) << "case " << i;
  }
}

TEST_F(HostDebugOutput, CapturesEachMessageUntilCleared) {
  DbgPrint("Dorvane: one\n");
  DbgPrint("Dorvane: %s\n", "two");
  EXPECT_EQ((std::vector<std::string>{"Dorvane: one\n", "Dorvane: two\n"}), host::DebugOutput());
  host::ClearDebugOutput();
  EXPECT_TRUE(host::DebugOutput().empty());
}

TEST_F(HostDebugOutput, BreakpointsAreCountedAndResume) {
  EXPECT_EQ(0u, host::BreakpointCount());
  DbgBreakPoint();
  DbgBreakPoint();
  EXPECT_EQ(2u, host::BreakpointCount());
  host::ResetBreakpointCount();
  EXPECT_EQ(0u, host::BreakpointCount());
}

TEST_F(HostDebugOutput, VerboseEchoesToStderr) {
  host::SetVerbose(true);
  testing::internal::CaptureStderr();
  DbgPrint("Dorvane: seen %u\n", 5u);
  DbgBreakPoint();
  std::string echoed = testing::internal::GetCapturedStderr();
  host::SetVerbose(false);
  EXPECT_EQ("Dorvane: seen 5\nbreak\n", echoed);
}

}  // namespace
}  // namespace dorvane::test
