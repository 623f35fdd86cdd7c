// Resolution of parent locator paths into the kernel paths parents open by.
#include <gtest/gtest.h>

#include <string>

#include "host/testing/host_testing.h"
#include "image/image.h"

namespace {

// A locator path in a pool buffer, as the parent walk hands it over.
class LocatorPath {
 public:
  explicit LocatorPath(const std::u16string &text) {
    path_.Length = path_.MaximumLength = USHORT(text.size() * sizeof(char16_t));
    path_.Buffer = static_cast<PWSTR>(AllocateUnfilledPool(path_.Length));
    memcpy(path_.Buffer, text.data(), path_.Length);
  }
  ~LocatorPath() { FreeCountedString(&path_); }

  std::u16string Text() const { return std::u16string(path_.Buffer, path_.Length / 2); }

  // Resolves against child; the counted string must stay exact.
  NTSTATUS Resolve(std::u16string child) {
    UNICODE_STRING childPath{USHORT(child.size() * 2), USHORT(child.size() * 2), child.data()};
    NTSTATUS status = ResolveParentPath(&path_, &childPath);
    EXPECT_EQ(path_.Length, path_.MaximumLength);
    return status;
  }

  UNICODE_STRING path_{};
};

class ParentPathTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::ResetForTest(); }
};

// A result beyond a counted string (32,767 characters) fails and leaves the
// path as it was (resolved "" below).
TEST_F(ParentPathTest, ResolvesEveryFormOfLocatorPath) {
  const std::u16string child = u"\\??\\C:\\vm\\child.vhd";
  const std::u16string a32760(32760, u'a');
  struct {
    std::u16string child, locator, resolved;
  } td[] = {
      /* 0 */ {child, u".\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 1 */ {child, u".\\sub\\base.vhd", u"\\??\\C:\\vm\\sub\\base.vhd"},
      /* 2 */ {child, u"C:\\vm\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      // The local device forms are rewritten in place.
      /* 3 */ {child, u"\\\\?\\D:\\base.vhd", u"\\??\\D:\\base.vhd"},
      /* 4 */ {child, u"\\\\.\\D:\\base.vhd", u"\\??\\D:\\base.vhd"},
      /* 5 */ {child, u"\\\\srv\\share\\base.vhd", u"\\Device\\Mup\\srv\\share\\base.vhd"},
      /* 6 */ {u"\\??\\memvault\\??\\C:\\vm\\child.vhd", u".\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 7 */ {u"\\??\\MemVault\\??\\C:\\vm\\child.vhd", u".\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 8 */ {u"child.vhd", u".\\base.vhd", u"base.vhd"},
      // The vault prefix is dropped only from a longer child path, and only
      // for relative locators.
      /* 9 */ {u"\\??\\memvault", u".\\base.vhd", u"\\??\\base.vhd"},
      /* 10 */ {u"\\??\\memvault\\??\\C:\\child.vhd", u"C:\\vm\\b.vhd", u"\\??\\C:\\vm\\b.vhd"},
      // A leading backslash before the dot is skipped like any other.
      /* 11 */ {child, u"\\.\\base.vhd", u"\\??\\C:\\vm\\base.vhd"},
      /* 12 */ {child, u"..\\base.vhd", u"\\??\\..\\base.vhd"},
      /* 13 */ {u"\\??\\C:\\child.vhd", u"C:\\" + a32760, u"\\??\\C:\\" + a32760},  // 0xFFFE bytes
      /* 14 */ {child, u"C:\\" + a32760 + u"aa", u""},
      /* 15 */ {child, u".\\" + a32760, u""},
      /* 16 */ {child, u"\\\\" + a32760, u""},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    size_t allocations = host::OutstandingAllocations();
    {
      LocatorPath locator(td[i].locator);
      PWSTR buffer = locator.path_.Buffer;
      bool fits = !td[i].resolved.empty();
      EXPECT_EQ(fits ? STATUS_SUCCESS : STATUS_NAME_TOO_LONG, locator.Resolve(td[i].child)) << i;
      EXPECT_EQ(fits ? td[i].resolved : td[i].locator, locator.Text()) << i;
      EXPECT_EQ(i == 3 || i == 4 || !fits, locator.path_.Buffer == buffer) << i;
    }
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << i;
  }
}

}  // namespace
