// Parsing of sizes and offsets with binary suffixes.
#include "tools/commands/size_parse.h"

#include <limits>

namespace dorvane {

namespace {

// Shift of a suffix letter, or -1 when the letter is not one.
int SuffixShift(char letter) {
  switch (letter) {
    case 'K':
    case 'k':
      return 10;
    case 'M':
    case 'm':
      return 20;
    case 'G':
    case 'g':
      return 30;
    case 'T':
    case 't':
      return 40;
    default:
      return -1;
  }
}

}  // namespace

std::string ParseSize(const std::string &text, uint64_t *value) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  size_t pos = 0;
  uint64_t number = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    unsigned digit = static_cast<unsigned>(text[pos] - '0');
    if (number > (max - digit) / 10) {
      return "\"" + text + "\" is too large";
    }
    number = number * 10 + digit;
    ++pos;
  }
  if (pos == 0) {
    return "\"" + text + "\" is not a size (a number of bytes, optionally with K, M, G or T)";
  }
  if (pos < text.size()) {
    int shift = SuffixShift(text[pos]);
    if (shift < 0 || pos + 1 != text.size()) {
      return "\"" + text + "\" is not a size (a number of bytes, optionally with K, M, G or T)";
    }
    if (number > (max >> shift)) {
      return "\"" + text + "\" is too large";
    }
    number <<= shift;
  }
  *value = number;
  return "";
}

}  // namespace dorvane
