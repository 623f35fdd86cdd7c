// Conformance of the RTL counted-string routines: what NT returns for each.
#include <gtest/gtest.h>

#include <string>

#include "host/host_kernel.h"

namespace {

UNICODE_STRING Counted(const std::u16string &text) {
  UNICODE_STRING string;
  string.Buffer = const_cast<char16_t *>(text.data());
  string.Length = USHORT(text.size() * sizeof(char16_t));
  string.MaximumLength = string.Length;
  return string;
}

std::u16string Text(const UNICODE_STRING &string) {
  return std::u16string(string.Buffer, string.Length / sizeof(char16_t));
}

TEST(HostRtlStrings, DissectNameSplitsOffTheFirstName) {
  struct Case {
    std::u16string path, first, rest;
  } cases[] = {
      /* 0 */ {u"\\Dir1\\Dir2\\File", u"Dir1", u"Dir2\\File"},
      /* 1 */ {u"Dir1\\Dir2\\File", u"Dir1", u"Dir2\\File"},
      /* 2 */ {u".\\parent.vhd", u".", u"parent.vhd"},
      /* 3 */ {u"File", u"File", u""},
      /* 4 */ {u"\\File", u"File", u""},
      /* 5 */ {u"\\\\server\\share", u"", u"server\\share"},
      /* 6 */ {u"Dir\\", u"Dir", u""},
      /* 7 */ {u"\\", u"", u""},
      /* 8 */ {u"", u"", u""},
      /* 9 */ {u"C:\\vm\\base.vhd", u"C:", u"vm\\base.vhd"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    UNICODE_STRING first{7, 7, nullptr}, rest{7, 7, nullptr};
    FsRtlDissectName(Counted(cases[i].path), &first, &rest);
    EXPECT_EQ(cases[i].first, Text(first)) << "case " << i;
    EXPECT_EQ(cases[i].rest, Text(rest)) << "case " << i;
    EXPECT_EQ(first.Length, first.MaximumLength) << "case " << i;
    EXPECT_EQ(rest.Length, rest.MaximumLength) << "case " << i;
  }
}

TEST(HostRtlStrings, DissectedNamesPointIntoThePath) {
  std::u16string path = u"\\a\\bc";
  UNICODE_STRING first, rest;
  FsRtlDissectName(Counted(path), &first, &rest);
  EXPECT_EQ(path.data() + 1, first.Buffer);
  EXPECT_EQ(path.data() + 3, rest.Buffer);
}

TEST(HostRtlStrings, PrefixAndCompareHonourCase) {
  std::u16string vault = u"\\??\\memvault", upper = u"\\??\\MEMVAULT\\x", other = u"\\??\\C:";
  UNICODE_STRING prefix = Counted(vault), name = Counted(upper), third = Counted(other);
  EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &name, TRUE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &name, FALSE));
  EXPECT_FALSE(RtlPrefixUnicodeString(&name, &prefix, TRUE)) << "longer than the string";
  EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &third, TRUE));
  std::u16string empty;
  UNICODE_STRING none = Counted(empty);
  EXPECT_TRUE(RtlPrefixUnicodeString(&none, &third, FALSE));

  std::u16string a = u"abc", b = u"ABD", c = u"ab";
  UNICODE_STRING sa = Counted(a), sb = Counted(b), sc = Counted(c);
  EXPECT_LT(RtlCompareUnicodeString(&sa, &sb, TRUE), 0);
  EXPECT_GT(RtlCompareUnicodeString(&sa, &sb, FALSE), 0) << "'a' sorts after 'A'";
  EXPECT_GT(RtlCompareUnicodeString(&sa, &sc, TRUE), 0) << "a longer string sorts after";
  EXPECT_LT(RtlCompareUnicodeString(&sc, &sa, TRUE), 0);
  std::u16string mixed = u"AbC";
  UNICODE_STRING sm = Counted(mixed);
  EXPECT_EQ(0, RtlCompareUnicodeString(&sa, &sm, TRUE));
  EXPECT_NE(0, RtlCompareUnicodeString(&sa, &sm, FALSE));
}

TEST(HostRtlStrings, UpcaseMapsLettersAndKeepsTheRest) {
  struct Case {
    char16_t in, out;
  } cases[] = {
      {u'a', u'A'},     {u'z', u'Z'},     {u'A', u'A'},   {u'1', u'1'},   {u'\\', u'\\'},
      {0xE9, 0xC9},     {0xF7, 0xF7},     {0xFF, 0x178},  {0x101, 0x100}, {0x13A, 0x139},
      {0x3B1, 0x391},   {0x3C2, 0x3C2},   {0x430, 0x410}, {0x451, 0x401}, {0xFF41, 0xFF21},
      {0x4E00, 0x4E00}, {0xD800, 0xD800},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(int(c.out), int(RtlUpcaseUnicodeChar(c.in))) << std::hex << int(c.in);
  }
}

}  // namespace
