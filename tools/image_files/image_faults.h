// The faults the open's rules find in an image file (image/image_validation.h),
// in words: one line each, with the numbers of the file that show it. The
// inspector's refusals and the checker's problems say them alike.
#pragma once

#include "image/image_validation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dorvane {

// What is known of the file a fault is found in; the records may be absent
// where the file did not get that far.
struct FaultFacts {
  uint64_t fileSize = 0;
  const VHD_FOOTER *footer = nullptr;
  const VHD_DYNAMIC_HEADER *header = nullptr;
  const std::vector<uint32_t> *entries = nullptr;  // the table, host order
};

std::string FaultText(const IMAGE_VERDICT &verdict, const FaultFacts &facts);

// "the dynamic header", "parent locator 3's data", ...: a region of
// metadata as JudgeBlockPlace names it.
std::string RegionText(uint64_t region);

}  // namespace dorvane
