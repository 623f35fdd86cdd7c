// Writing new fixed and dynamic images. The file is created exclusively, so
// an existing file is never overwritten; a failure after the create removes
// the partly written file again.
//
// Fixed image: Current Size bytes of zeros (a hole, so no data is written),
// then the footer. Dynamic image: footer copy, dynamic header at 512, the
// block allocation table at 1536 in whole sectors with every entry
// unallocated, then the footer; blocks are added later behind the table.
#include "image_writer.h"

#include "format/vhd_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace dorvane {

namespace {

const uint64_t kFooterSize = sizeof(VHD_FOOTER);
const uint64_t kHeaderOffset = VHD_SECTOR_SIZE;
const uint64_t kTableOffset = kHeaderOffset + sizeof(VHD_DYNAMIC_HEADER);
const uint64_t kNoOffset = 0xFFFFFFFFFFFFFFFFull;
// Every image file is at least three sectors long; a fixed image therefore
// holds at least two sectors of data.
const uint64_t kMinimumFixedSize = 2 * VHD_SECTOR_SIZE;
// VHD time stamps count seconds from 2000-01-01 00:00:00 UTC.
const int64_t kVhdEpoch = 946684800;
const ULONG kCreatorVersion = 0x00010000;
// The Features field's bit 1 is reserved and always set.
const ULONG kFeaturesReserved = 0x00000002;

// Layout of a dynamic image, computed once and checked before anything is
// written.
struct DynamicLayout {
  uint64_t tableEntries = 0;
  uint64_t tableBytes = 0;  // whole sectors
  uint64_t footerOffset = 0;
};

std::string ErrnoText(const char *what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

bool IsPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::string CheckSize(const ImageSpec &spec) {
  if (spec.size == 0) {
    return "the size must not be 0";
  }
  if (spec.size % VHD_SECTOR_SIZE != 0) {
    return "the size " + std::to_string(spec.size) + " is not a multiple of 512";
  }
  return "";
}

std::string PlanDynamicLayout(const ImageSpec &spec, DynamicLayout *layout) {
  uint64_t blockSize = spec.blockSize;
  if (!IsPowerOfTwo(blockSize) || blockSize < VHD_MIN_BLOCK_SIZE ||
      blockSize > (1ull << VHD_MAX_BLOCK_SHIFT)) {
    return "the block size " + std::to_string(blockSize) +
           " is not a power of two from 512 to 2147483648";
  }
  uint64_t entries = spec.size / blockSize + (spec.size % blockSize != 0 ? 1 : 0);
  // The table is held in one buffer whose length is a 32-bit count.
  if (entries > 0xFFFFFFFFull / sizeof(ULONG)) {
    return "the size " + std::to_string(spec.size) + " needs " + std::to_string(entries) +
           " table entries with " + std::to_string(blockSize) + "-byte blocks; at most " +
           std::to_string(0xFFFFFFFFull / sizeof(ULONG)) + " fit";
  }
  uint64_t tableBytes = (entries * sizeof(ULONG) + VHD_SECTOR_SIZE - 1) /
                        VHD_SECTOR_SIZE * VHD_SECTOR_SIZE;
  // Table entries hold 32-bit sector numbers: when every block is allocated,
  // the last one must still start at an addressable sector.
  uint64_t lastBlockStart = kTableOffset + tableBytes + (entries - 1) * BlockSpan(spec.blockSize);
  if (lastBlockStart / VHD_SECTOR_SIZE > 0xFFFFFFFFull) {
    return "the size " + std::to_string(spec.size) +
           " is too large for a dynamic image: its blocks could not all be addressed by the "
           "block allocation table";
  }
  layout->tableEntries = entries;
  layout->tableBytes = tableBytes;
  layout->footerOffset = kTableOffset + tableBytes;
  return "";
}

VHD_FOOTER MakeFooter(const ImageSpec &spec, uint64_t dataOffset) {
  VHD_FOOTER footer;
  std::memset(&footer, 0, sizeof(footer));
  std::memcpy(footer.Cookie, "conectix", sizeof(footer.Cookie));
  StoreBe32(footer.Features, kFeaturesReserved);
  StoreBe32(footer.FileFormatVersion, VHD_FILE_FORMAT_VERSION);
  StoreBe64(footer.DataOffset, dataOffset);
  int64_t seconds = static_cast<int64_t>(std::time(nullptr)) - kVhdEpoch;
  StoreBe32(footer.TimeStamp, seconds > 0 ? static_cast<ULONG>(seconds) : 0);
  std::memcpy(footer.CreatorApplication, "dorv", 4);
  StoreBe32(footer.CreatorVersion, kCreatorVersion);
  std::memcpy(footer.CreatorHostOs, "Wi2k", 4);
  StoreBe64(footer.OriginalSize, spec.size);
  StoreBe64(footer.CurrentSize, spec.size);
  ComputeDiskGeometry(spec.size / VHD_SECTOR_SIZE, footer.DiskGeometry);
  StoreBe32(footer.DiskType, spec.diskType);

  // A random (version 4) UUID.
  std::random_device random;
  for (size_t i = 0; i < sizeof(footer.UniqueId); i += 4) {
    StoreBe32(footer.UniqueId, random(), static_cast<ULONG>(i));
  }
  footer.UniqueId[6] = static_cast<UCHAR>((footer.UniqueId[6] & 0x0F) | 0x40);
  footer.UniqueId[8] = static_cast<UCHAR>((footer.UniqueId[8] & 0x3F) | 0x80);

  UpdateFooterChecksum(&footer);
  return footer;
}

VHD_DYNAMIC_HEADER MakeDynamicHeader(const ImageSpec &spec, const DynamicLayout &layout) {
  VHD_DYNAMIC_HEADER header;
  std::memset(&header, 0, sizeof(header));
  std::memcpy(header.Cookie, "cxsparse", sizeof(header.Cookie));
  StoreBe64(header.DataOffset, kNoOffset);
  StoreBe64(header.TableOffset, kTableOffset);
  StoreBe32(header.HeaderVersion, 0x00010000);
  StoreBe32(header.MaxTableEntries, static_cast<ULONG>(layout.tableEntries));
  StoreBe32(header.BlockSize, spec.blockSize);
  UpdateDynamicHeaderChecksum(&header);
  return header;
}

std::string WriteAll(int fd, const void *data, size_t length, uint64_t offset) {
  const char *bytes = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t written = pwrite(fd, bytes, length, static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return ErrnoText("cannot write the image file", errno);
    }
    bytes += written;
    length -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return "";
}

std::string WriteFixed(int fd, const ImageSpec &spec) {
  if (ftruncate(fd, static_cast<off_t>(spec.size)) != 0) {
    return ErrnoText("cannot size the image file", errno);
  }
  VHD_FOOTER footer = MakeFooter(spec, kNoOffset);
  return WriteAll(fd, &footer, sizeof(footer), spec.size);
}

std::string WriteDynamic(int fd, const ImageSpec &spec, const DynamicLayout &layout) {
  VHD_FOOTER footer = MakeFooter(spec, kHeaderOffset);
  VHD_DYNAMIC_HEADER header = MakeDynamicHeader(spec, layout);
  std::string error = WriteAll(fd, &footer, sizeof(footer), 0);
  if (error.empty()) {
    error = WriteAll(fd, &header, sizeof(header), kHeaderOffset);
  }
  // Every entry, those past Max Table Entries in the last sector included,
  // reads as unallocated.
  const uint64_t chunk = 1u << 20;
  std::vector<unsigned char> unallocated(
      static_cast<size_t>(layout.tableBytes < chunk ? layout.tableBytes : chunk), 0xFF);
  for (uint64_t done = 0; error.empty() && done < layout.tableBytes;) {
    uint64_t length = layout.tableBytes - done < chunk ? layout.tableBytes - done : chunk;
    error = WriteAll(fd, unallocated.data(), static_cast<size_t>(length), kTableOffset + done);
    done += length;
  }
  if (error.empty()) {
    error = WriteAll(fd, &footer, sizeof(footer), layout.footerOffset);
  }
  return error;
}

}  // namespace

std::string CreateImage(const std::string &path, const ImageSpec &spec) {
  std::string error = CheckSize(spec);
  if (!error.empty()) {
    return error;
  }
  DynamicLayout layout;
  switch (spec.diskType) {
    case VHD_DISK_TYPE_FIXED:
      if (spec.size < kMinimumFixedSize) {
        return "a fixed image needs a size of at least " + std::to_string(kMinimumFixedSize) +
               " bytes";
      }
      // The file holds the data and the footer; its length must fit off_t.
      if (spec.size > static_cast<uint64_t>(INT64_MAX) - kFooterSize) {
        return "the size " + std::to_string(spec.size) + " is too large";
      }
      break;
    case VHD_DISK_TYPE_DYNAMIC:
      error = PlanDynamicLayout(spec, &layout);
      if (!error.empty()) {
        return error;
      }
      break;
    default:
      return "unknown disk type " + std::to_string(spec.diskType) +
             " (only fixed and dynamic images are created this way)";
  }

  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) {
      return "the file already exists; it is left as it is";
    }
    return ErrnoText("cannot create the image file", errno);
  }
  error = spec.diskType == VHD_DISK_TYPE_FIXED ? WriteFixed(fd, spec)
                                               : WriteDynamic(fd, spec, layout);
  if (error.empty() && fsync(fd) != 0) {
    error = ErrnoText("cannot flush the image file", errno);
  }
  if (close(fd) != 0 && error.empty()) {
    error = ErrnoText("cannot close the image file", errno);
  }
  if (!error.empty()) {
    unlink(path.c_str());
  }
  return error;
}

}  // namespace dorvane
