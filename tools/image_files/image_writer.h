// Writing new image files: the command's own user-mode code, built on the
// on-disk records of format/.
#pragma once

#include <cstdint>
#include <string>

namespace dorvane {

// The block size of new dynamic images unless one is asked for, and of the
// children of fixed images.
const uint32_t kDefaultBlockSize = 2u << 20;

struct NewImageParameters {
  uint32_t diskType = 0;                  // VHD_DISK_TYPE_FIXED or VHD_DISK_TYPE_DYNAMIC
  uint64_t size = 0;                      // Current Size in bytes, a multiple of 512
  uint64_t blockSize = kDefaultBlockSize; // dynamic images
};

// Creates a new, empty image at path (which must not exist). Returns an empty
// string on success, else a one-line description of what failed, without the
// path (the caller names the image). Nothing is left behind after a failure,
// and an existing file is never touched.
//
// Sizes are refused beyond the format's 2040 GiB and when the driver could
// not serve the image: 0 bytes, a fixed image below 1024 bytes (its file
// would be shorter than the three sectors every image file has), a dynamic
// image whose table or blocks could not all be addressed by the table's
// 32-bit sector numbers.
std::string CreateImage(const std::string &path, const NewImageParameters &parameters);

// Why a disk of `size` bytes cannot be made, or grown to: above the format's
// 2040 GiB (VHD_MAX_DISK_SIZE). The caller asks only when it is.
std::string DiskSizeBeyondFormat(uint64_t size);

// Why a dynamic disk of `size` bytes with blocks of blockSize bytes cannot
// be served: a table beyond IMAGE_BAT_ENTRY_LIMIT entries; "" when it can.
std::string TableBeyondLimit(uint64_t size, uint32_t blockSize);

// Creates a new, empty differencing image of the image at parentPath.
std::string CreateDifferencingImage(const std::string &path, const std::string &parentPath);

}  // namespace dorvane
