// tools/disk: the driver's client and what every part of the command stands
// on: the error lines (errors.h), the owner of a file descriptor
// (file_descriptor.h) and the size of a transfer (transfer_size.h). It uses
// no other folder of tools/.
//
// This header is the command's one way to a virtual disk: open an image by
// its host path, read and write the flat disk at byte offsets, flush. Every
// call is a request on a handle below the driver's device; nothing else in
// the command knows how the disk is reached.
#pragma once

#include <kernel_services.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace dorvane {

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

  // The flush request: written data made durable in the image and its parents.
  NTSTATUS FlushDisk();

  // The virtual disk's size as the driver answers a standard-information
  // query on the handle.
  NTSTATUS QueryDiskSize(uint64_t *size);
  // Zero-data request: [offset, offset + length) of the virtual disk reads
  // as zeros (a dynamic image gives back blocks left all zero).
  NTSTATUS ZeroRange(uint64_t offset, uint64_t length);
  // Zeroes a range of a disk of diskSize bytes that may reach its end: the
  // zero-data request takes only ranges that end before it, so such a range
  // goes as a one-range trim, which zeroes the same way.
  NTSTATUS ZeroDiskRange(uint64_t offset, uint64_t length, uint64_t diskSize);
  // One file-level trim request with several (offset, length) ranges.
  NTSTATUS TrimRanges(const std::vector<std::pair<uint64_t, uint64_t>> &ranges);
  // One request of the private merge code: parents up to parentLevels
  // written to, at most blockLimit blocks merged.
  NTSTATUS MergeStep(uint32_t parentLevels, uint32_t blockLimit, uint32_t *merged,
                     uint32_t *remaining);

  // Sets the handle's end of file: the driver grows the virtual disk to
  // `size` bytes (dynamic images: to whole blocks).
  NTSTATUS SetDiskEnd(uint64_t size);

  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dorvane
