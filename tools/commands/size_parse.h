// Sizes and offsets on the command line: a decimal number of bytes with an
// optional binary suffix K, M, G or T (1K = 1024).
#pragma once

#include <cstdint>
#include <string>

namespace dorvane {

// Parses text into *value. Returns an empty string on success, else what is
// wrong with the text (the caller names the option).
std::string ParseSize(const std::string &text, uint64_t *value);

}  // namespace dorvane
