// Writing new image files: the command's own user-mode code, built on the
// on-disk records of format/.
#pragma once

#include <cstdint>
#include <string>

namespace dorvane {

struct ImageSpec {
  uint32_t diskType = 0;              // VHD_DISK_TYPE_FIXED or VHD_DISK_TYPE_DYNAMIC
  uint64_t size = 0;                  // Current Size in bytes, a multiple of 512
  uint32_t blockSize = 2u << 20;      // dynamic images
};

// Creates a new, empty image at path (which must not exist). Returns an empty
// string on success, else a one-line description of what failed.
std::string CreateImage(const std::string &path, const ImageSpec &spec);

// Creates a new, empty differencing image of the image at parentPath.
std::string CreateDifferencingImage(const std::string &path, const std::string &parentPath);

}  // namespace dorvane
