// Writing new fixed and dynamic images. The file is created exclusively, so
// an existing file is never overwritten; a failure after the create removes
// the partly written file again.
//
// Fixed image: Current Size bytes of zeros (a hole, so no data is written),
// then the footer. Dynamic image: footer copy, dynamic header at 512, the
// block allocation table at 1536 in whole sectors with every entry
// unallocated, then the footer; blocks are added later behind the table.
#include "tools/image_files/image_writer.h"

#include <cerrno>
#include <cstdint>

#include "tools/disk/errors.h"
#include "tools/disk/plain_files.h"
#include "image/image_limits.h"
#include "tools/image_files/image_file_writer.h"

namespace dorvane {

namespace {

using namespace writer;

// Every image file is at least three sectors long; a fixed image therefore
// holds at least two sectors of data.
const uint64_t kMinimumFixedSize = 2 * VHD_SECTOR_SIZE;

// Layout of a dynamic image, computed once and checked before anything is
// written.
struct DynamicLayout {
  uint32_t blockSize = 0;
  uint64_t tableEntries = 0;
  uint64_t tableBytes = 0;  // whole sectors
  uint64_t footerOffset = 0;
};

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::string CheckSize(const NewImageParameters &parameters) {
  if (parameters.size == 0) {
    return "the size must not be 0";
  }
  if (parameters.size % VHD_SECTOR_SIZE != 0) {
    return "the size " + std::to_string(parameters.size) + " is not a multiple of 512";
  }
  if (parameters.size > VHD_MAX_DISK_SIZE) {
    return DiskSizeBeyondFormat(parameters.size);
  }
  return "";
}

std::string PlanDynamicLayout(const NewImageParameters &parameters, DynamicLayout *layout) {
  uint64_t blockSize = parameters.blockSize;
  if (!IsPowerOfTwo(blockSize) || blockSize < VHD_MIN_BLOCK_SIZE ||
      blockSize > IMAGE_BLOCK_SIZE_LIMIT) {
    return "the block size " + std::to_string(blockSize) + " is not a power of two from 512 to " +
           std::to_string(IMAGE_BLOCK_SIZE_LIMIT);
  }
  uint64_t entries = parameters.size / blockSize + (parameters.size % blockSize != 0 ? 1 : 0);
  std::string error = TableBeyondLimit(parameters.size, uint32_t(blockSize));
  if (!error.empty()) {
    return error;
  }
  uint64_t tableBytes = RoundUpToSector(entries * sizeof(ULONG));
  layout->blockSize = static_cast<uint32_t>(blockSize);
  if (!AllBlocksAddressable(kTableOffset + tableBytes, entries, layout->blockSize)) {
    return "the size " + std::to_string(parameters.size) +
           " is too large for a dynamic image: its blocks could not all be addressed by the "
           "block allocation table";
  }
  layout->tableEntries = entries;
  layout->tableBytes = tableBytes;
  layout->footerOffset = kTableOffset + tableBytes;
  return "";
}

VHD_FOOTER MakeFooter(const NewImageParameters &parameters, uint64_t dataOffset) {
  UCHAR geometry[4];
  ComputeDiskGeometry(parameters.size / VHD_SECTOR_SIZE, geometry);
  return NewFooter(parameters.diskType, parameters.size, dataOffset, geometry);
}

std::string WriteFixed(int fd, const NewImageParameters &parameters) {
  if (SetPlainFileLength(fd, parameters.size) != 0) {
    return ErrnoText("cannot size the image file", errno);
  }
  VHD_FOOTER footer = MakeFooter(parameters, kNoOffset);
  return WriteAll(fd, &footer, sizeof(footer), parameters.size);
}

std::string WriteDynamic(int fd, const NewImageParameters &parameters,
                         const DynamicLayout &layout) {
  VHD_FOOTER footer = MakeFooter(parameters, kHeaderOffset);
  VHD_DYNAMIC_HEADER header = NewDynamicHeader(layout.tableEntries, layout.blockSize);
  UpdateDynamicHeaderChecksum(&header);
  std::string error = WriteDynamicMetadata(fd, footer, header, layout.tableBytes);
  if (error.empty()) {
    error = WriteAll(fd, &footer, sizeof(footer), layout.footerOffset);
  }
  return error;
}

}  // namespace

std::string DiskSizeBeyondFormat(uint64_t size) {
  return "the size " + std::to_string(size) + " is larger than the format holds: at most " +
         std::to_string(VHD_MAX_DISK_SIZE) + " bytes (2040 GiB)";
}

std::string TableBeyondLimit(uint64_t size, uint32_t blockSize) {
  uint64_t entries = size / blockSize + (size % blockSize != 0 ? 1 : 0);
  // The driver opens no image with a larger table.
  if (entries <= IMAGE_BAT_ENTRY_LIMIT) {
    return "";
  }
  return "the size " + std::to_string(size) + " needs " + std::to_string(entries) +
         " table entries with " + std::to_string(blockSize) + "-byte blocks; the driver serves "
         "at most " + std::to_string(IMAGE_BAT_ENTRY_LIMIT) +
         " (blocks of 512 KiB or more reach 2040 GiB)";
}

std::string CreateImage(const std::string &path, const NewImageParameters &parameters) {
  std::string error = CheckSize(parameters);
  if (!error.empty()) {
    return error;
  }
  DynamicLayout layout;
  switch (parameters.diskType) {
    case VHD_DISK_TYPE_FIXED:
      if (parameters.size < kMinimumFixedSize) {
        return "a fixed image needs a size of at least " + std::to_string(kMinimumFixedSize) +
               " bytes";
      }
      break;
    case VHD_DISK_TYPE_DYNAMIC:
      error = PlanDynamicLayout(parameters, &layout);
      if (!error.empty()) {
        return error;
      }
      break;
    default:
      return "unknown disk type " + std::to_string(parameters.diskType) +
             " (only fixed and dynamic images are created this way)";
  }

  return WriteNewImageFile(path, [&](int fd) {
    return parameters.diskType == VHD_DISK_TYPE_FIXED ? WriteFixed(fd, parameters)
                                                : WriteDynamic(fd, parameters, layout);
  });
}

}  // namespace dorvane
