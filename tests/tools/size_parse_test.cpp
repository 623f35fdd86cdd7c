// Sizes and offsets on the command line.
#include <gtest/gtest.h>

#include <cstdint>

#include "size_parse.h"

namespace dorvane {
namespace {

TEST(ToolSize, ParsesNumbersWithBinarySuffixes) {
  struct Case {
    const char *text;
    uint64_t value;
  } cases[] = {
      /* 0 */ {"0", 0},
      /* 1 */ {"512", 512},
      /* 2 */ {"007", 7},
      /* 3 */ {"1K", 1024},
      /* 4 */ {"1k", 1024},
      /* 5 */ {"3M", 3ull << 20},
      /* 6 */ {"2g", 2ull << 30},
      /* 7 */ {"10G", 10ull << 30},
      /* 8 */ {"1T", 1ull << 40},
      /* 9 */ {"16777215T", 16777215ull << 40},
      /* 10 */ {"18446744073709551615", UINT64_MAX},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    uint64_t value = 12345;
    EXPECT_EQ(ParseSize(cases[i].text, &value), "") << "case " << i << ": " << cases[i].text;
    EXPECT_EQ(value, cases[i].value) << "case " << i << ": " << cases[i].text;
  }
}

TEST(ToolSize, RefusesWhatIsNotASize) {
  const char *cases[] = {
      /* 0 */ "",
      /* 1 */ "K",
      /* 2 */ "-1",
      /* 3 */ "+1",
      /* 4 */ "1.5M",
      /* 5 */ "1KB",
      /* 6 */ "1KiB",
      /* 7 */ "1 K",
      /* 8 */ " 1",
      /* 9 */ "1 ",
      /* 10 */ "12x",
      /* 11 */ "0x10",
      /* 12 */ "1P",
      /* 13 */ "18446744073709551616",   // 2^64
      /* 14 */ "99999999999999999999",
      /* 15 */ "16777216T",              // 2^64 bytes
      /* 16 */ "17179869184G",           // 2^64 bytes
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    uint64_t value = 12345;
    std::string error = ParseSize(cases[i], &value);
    EXPECT_NE(error, "") << "case " << i << ": \"" << cases[i] << "\" was accepted";
    EXPECT_NE(error.find(std::string("\"") + cases[i] + "\""), std::string::npos)
        << "case " << i << ": the error does not quote the text: " << error;
    EXPECT_EQ(value, 12345u) << "case " << i << ": value changed on error";
  }
}

}  // namespace
}  // namespace dorvane
