// Builds image files for tests with the command's own image writer, then
// shapes them directly in the file: blocks placed by hand, fields poked and
// checksums refreshed, so that tests of the driver do not depend on the
// driver's own write path.
#pragma once

#include <cstdint>
#include <string>

#include "file_bytes.h"
#include "format/vhd_format.h"

namespace dorvane::test {

// Where the writer puts the dynamic header and the table.
constexpr uint64_t kHeaderOffset = 512;
constexpr uint64_t kBatOffset = 1536;

void MakeFixedImage(const std::string &path, uint64_t size);
void MakeDynamicImage(const std::string &path, uint64_t size,
                      uint32_t blockSize = VHD_DEFAULT_BLOCK_SIZE);

// Places block blockIndex where the trailing footer stands (its bitmap all
// ones, or the given bitmap bytes in file order), moves the footer behind it
// and points the BAT entry at it. data may be shorter than the block: the
// rest is zero. Returns the block's sector.
uint32_t AppendBlock(const std::string &path, uint32_t blockIndex, const Bytes &data,
                     const Bytes *bitmap = nullptr);

// Writes the footer (given as it should stand, checksum recomputed) at the end
// of the file, and for dynamic images also at offset 0.
void RewriteFooter(const std::string &path, Bytes footer);
Bytes ReadFooter(const std::string &path);
// Recomputes the dynamic header's checksum after a field was poked.
void RefreshHeaderChecksum(const std::string &path);

// The NT name of a host path, as a create would name it.
std::u16string NtName(const std::string &path);

}  // namespace dorvane::test
