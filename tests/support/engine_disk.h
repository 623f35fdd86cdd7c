// An independent reader of dynamic image files for the block engine's tests:
// parses the file's records directly, assembles the virtual disk from them and
// checks that the file is laid out compactly, without going through the
// driver's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_bytes.h"
#include "image_open.h"

namespace dorvane::test {

struct DynamicLayout {
  Bytes footer;                  // the trailing footer
  uint64_t fileSize = 0;
  uint64_t diskSize = 0;         // the footer's Current Size
  uint32_t blockSize = 0;
  uint32_t bitmapLength = 0;     // padded to whole sectors
  uint64_t span = 0;             // bitmap + data
  uint64_t metadataEnd = 0;      // first byte behind footer copy, header and BAT (whole sectors)
  std::vector<uint32_t> entries; // host order; 0xFFFFFFFF for 0 as well
};

DynamicLayout ReadLayout(const std::string &path);
// Table entries of the image that name a block.
size_t AllocatedBlocks(const std::string &path);

// The virtual disk as the file holds it: unallocated blocks zero.
Bytes ReadDiskFromFile(const std::string &path);

// "" when the file is a compact dynamic image: footer copy equal to the
// trailing footer, every allocated block's bitmap all ones, the blocks tiling
// the file from the end of the metadata to the footer without gap or overlap.
// Otherwise a description of the first fault found.
std::string CheckCompact(const std::string &path);

// The whole virtual disk read through ImageTransfer in pieces of chunk bytes.
Bytes ReadDiskThroughEngine(IMAGE_CONTEXT *context, uint32_t chunk = 1u << 20);

// One dynamic image with blocks filled with pattern data: for each index in
// blocks (in that order of placement), the block receives PatternBytes(seed
// + index) over its whole data area. Returns the disk's contents.
Bytes MakeFilledDynamicImage(const std::string &path, uint64_t size, uint32_t blockSize,
                             const std::vector<uint32_t> &blocks, uint32_t seed = 100);

}  // namespace dorvane::test
