// Resolution of parent locator paths into the kernel paths parents open by.
#include <gtest/gtest.h>

#include <string>

#include "host/host_kernel.h"
#include "image/image.h"

namespace {

// A locator path in a pool buffer, as the parent walk hands it over.
class LocatorPath {
 public:
  explicit LocatorPath(const std::u16string &text) {
    size_t bytes = text.size() * sizeof(char16_t);
    path_.Buffer = static_cast<PWSTR>(AllocateUnfilledPool(bytes == 0 ? 2 : bytes));
    memcpy(path_.Buffer, text.data(), bytes);
    path_.Length = USHORT(bytes);
    path_.MaximumLength = USHORT(bytes);
  }
  ~LocatorPath() { FreePool(path_.Buffer); }

  UNICODE_STRING *Get() { return &path_; }
  std::u16string Text() const {
    return std::u16string(path_.Buffer, path_.Length / sizeof(char16_t));
  }

 private:
  UNICODE_STRING path_{};
};

NTSTATUS Resolve(LocatorPath &locator, const std::u16string &child) {
  UNICODE_STRING childPath;
  childPath.Buffer = const_cast<char16_t *>(child.data());
  childPath.Length = USHORT(child.size() * sizeof(char16_t));
  childPath.MaximumLength = childPath.Length;
  return ResolveParentPath(locator.Get(), &childPath);
}

class ParentPathTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::ResetForTest(); }
};

TEST_F(ParentPathTest, ResolvesEveryFormOfLocatorPath) {
  struct Case {
    std::u16string child, locator, resolved;
  } cases[] = {
      /* 0 */ {u"\\??\\C:\\vm\\child.vhd", u".\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 1 */ {u"\\??\\C:\\vm\\child.vhd", u".\\sub\\base.vhd", u"\\??\\C:\\vm\\sub\\base.vhd"},
      /* 2 */ {u"\\??\\C:\\vm\\child.vhd", u"C:\\vm\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 3 */ {u"\\??\\C:\\vm\\child.vhd", u"\\\\?\\D:\\base.vhd", u"\\??\\D:\\base.vhd"},
      /* 4 */ {u"\\??\\C:\\vm\\child.vhd", u"\\\\.\\D:\\base.vhd", u"\\??\\D:\\base.vhd"},
      /* 5 */
      {u"\\??\\C:\\vm\\child.vhd", u"\\\\srv\\share\\base.vhd",
       u"\\Device\\Mup\\srv\\share\\base.vhd"},
      /* 6 */ {u"\\??\\memvault\\??\\C:\\vm\\child.vhd", u".\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 7 */ {u"\\??\\MemVault\\??\\C:\\vm\\child.vhd", u".\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 8 */ {u"child.vhd", u".\\base.vhd", u"base.vhd"},
      // The vault prefix is dropped only from a longer child path, and only
      // for relative locators.
      /* 9 */ {u"\\??\\memvault", u".\\base.vhd", u"\\??\\base.vhd"},
      /* 10 */
      {u"\\??\\memvault\\??\\C:\\child.vhd", u"C:\\vm\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      // A leading backslash before the dot is skipped like any other.
      /* 11 */ {u"\\??\\C:\\vm\\child.vhd", u"\\.\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 12 */ {u"\\??\\C:\\vm\\child.vhd", u"..\\base.vhd", u"\\??\\..\\base.vhd"},
      /* 13 */ {u"\\Device\\Mup\\srv\\s\\child.vhd", u".\\b.vhd", u"\\Device\\Mup\\srv\\s\\b.vhd"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    size_t allocations = host::OutstandingAllocations();
    {
      LocatorPath locator(cases[i].locator);
      ASSERT_EQ(STATUS_SUCCESS, Resolve(locator, cases[i].child)) << "case " << i;
      EXPECT_EQ(cases[i].resolved, locator.Text()) << "case " << i;
      EXPECT_EQ(locator.Get()->Length, locator.Get()->MaximumLength) << "case " << i;
    }
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << "case " << i;
  }
}

TEST_F(ParentPathTest, LocalDeviceFormsAreRewrittenInPlace) {
  LocatorPath locator(u"\\\\.\\D:\\base.vhd");
  PWSTR buffer = locator.Get()->Buffer;
  USHORT length = locator.Get()->Length;
  size_t allocations = host::OutstandingAllocations();
  ASSERT_EQ(STATUS_SUCCESS, Resolve(locator, u"\\??\\C:\\vm\\child.vhd"));
  EXPECT_EQ(buffer, locator.Get()->Buffer);
  EXPECT_EQ(length, locator.Get()->Length);
  EXPECT_EQ(allocations, host::OutstandingAllocations());
  EXPECT_EQ(u"\\??\\D:\\base.vhd", locator.Text());
}

TEST_F(ParentPathTest, ResultsBeyondACountedStringFailWithoutTouchingThePath) {
  // Each fits a counted string alone, but not with "\??\", "\Device\Mup\" or
  // the child's folder in front (a counted string holds 32,767 characters).
  std::u16string longName = u"C:\\" + std::u16string(32762, u'a');
  std::u16string longRelative = u".\\" + std::u16string(32760, u'b');
  std::u16string longNetwork = u"\\\\" + std::u16string(32760, u'c');
  struct Case {
    std::u16string locator;
  } cases[] = {{longName}, {longRelative}, {longNetwork}};
  for (size_t i = 0; i < 3; ++i) {
    LocatorPath locator(cases[i].locator);
    PWSTR buffer = locator.Get()->Buffer;
    size_t allocations = host::OutstandingAllocations();
    EXPECT_EQ(STATUS_NAME_TOO_LONG, Resolve(locator, u"\\??\\C:\\some\\folder\\child.vhd"))
        << "case " << i;
    EXPECT_EQ(buffer, locator.Get()->Buffer) << "case " << i;
    EXPECT_EQ(cases[i].locator, locator.Text()) << "case " << i;
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << "case " << i;
  }
  // The largest result that fits is made.
  LocatorPath fits(u"C:\\" + std::u16string(32760, u'a'));
  ASSERT_EQ(STATUS_SUCCESS, Resolve(fits, u"\\??\\C:\\child.vhd"));
  EXPECT_EQ(0xFFFEu, fits.Get()->Length);
}

TEST_F(ParentPathTest, AFailedAllocationLeavesThePathAsItWas) {
  for (const std::u16string &text :
       {std::u16string(u".\\base.vhd"), std::u16string(u"C:\\base.vhd"),
        std::u16string(u"\\\\srv\\share\\b.vhd")}) {
    LocatorPath locator(text);
    PWSTR buffer = locator.Get()->Buffer;
    size_t allocations = host::OutstandingAllocations();
    host::FailAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Resolve(locator, u"\\??\\C:\\vm\\child.vhd"));
    host::FailAllocation(0);
    EXPECT_EQ(buffer, locator.Get()->Buffer);
    EXPECT_EQ(text, locator.Text());
    EXPECT_EQ(allocations, host::OutstandingAllocations());
  }
}

}  // namespace
