// The command's one way to a virtual disk: open an image by its host path,
// read and write the flat disk at byte offsets, flush, and describe the image
// chain. Nothing else in the command knows how the disk is reached.
#pragma once

#include <kernel_services.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dorvane {

// One image file of a chain, as the driver sees it.
struct ImageDescription {
  std::string path;                        // host path of the image file
  uint32_t diskType = 0;                   // VHD_DISK_TYPE_*
  uint64_t virtualSize = 0;
  uint64_t fileSize = 0;
  std::optional<uint32_t> blockSize;       // dynamic and differencing only
  std::optional<uint32_t> batEntries;      // dynamic and differencing only
  std::optional<uint64_t> allocatedBlocks; // dynamic and differencing only
  std::array<uint8_t, 16> uniqueId{};      // bytes in file order
};

class Disk {
 public:
  Disk();
  ~Disk();
  Disk(const Disk &) = delete;
  Disk &operator=(const Disk &) = delete;

  // Opens the image at a host path, for reading or for reading and writing.
  NTSTATUS OpenDisk(const std::string &path, bool writable);

  // Moves up to length bytes at a byte offset of the virtual disk; the count
  // moved is less than length only at the end of the disk.
  NTSTATUS ReadDisk(uint64_t offset, void *buffer, uint32_t length, uint32_t *transferred);
  NTSTATUS WriteDisk(uint64_t offset, const void *buffer, uint32_t length,
                     uint32_t *transferred);

  // Makes written data durable in the image and its parents.
  NTSTATUS FlushDisk();

  // Zero-data request: [offset, offset + length) of the virtual disk reads
  // as zeros (a dynamic image gives back blocks left all zero).
  NTSTATUS ZeroRange(uint64_t offset, uint64_t length);
  // One file-level trim request with several (offset, length) ranges.
  NTSTATUS TrimRanges(const std::vector<std::pair<uint64_t, uint64_t>> &ranges);
  // One request of the private merge code: parents up to parentLevels
  // written to, at most blockLimit blocks merged.
  NTSTATUS MergeStep(uint32_t parentLevels, uint32_t blockLimit, uint32_t *merged,
                     uint32_t *remaining);

  uint64_t DiskSize() const;

  // The opened image first, then each parent in turn.
  std::vector<ImageDescription> DescribeChain() const;

  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dorvane
