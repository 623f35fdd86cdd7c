// Fuzz target: the open of an image file and a few transfers through it, as
// a client makes them through the driver's device. An input is one image
// file, optionally followed by a second one that its locators may name as
// .\p.vhd:
//
//   bytes 0-3   length L of the image (little-endian); when the input holds
//               fewer than L bytes after it, all of them are the image
//   L bytes     the image, written as c.vhd
//   the rest    the parent, written as p.vhd (absent when empty)
//
// Whatever the files hold, the driver must refuse or serve them without
// touching memory it does not own and must give back every pool allocation
// and handle when the disk closes.
#include "disk_access.h"
#include "fuzz_support.h"

#include "host/host_kernel.h"
#include "host/io_client.h"

#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

using namespace dorvane;

void Exercise(const std::string &image) {
  Disk disk;
  if (!NT_SUCCESS(disk.OpenDisk(image, true))) {
    return;
  }
  uint64_t size = 0;
  if (!NT_SUCCESS(disk.QueryDiskSize(&size)) || size == 0) {
    return;
  }
  std::vector<uint8_t> buffer(4096);
  uint32_t moved = 0;
  const uint64_t offsets[] = {0, size / 2 & ~uint64_t(511), size > 4096 ? size - 4096 : 0};
  for (uint64_t offset : offsets) {
    disk.ReadDisk(offset, buffer.data(), static_cast<uint32_t>(buffer.size()), &moved);
  }
  // One sector of data in the middle: a dynamic or differencing image
  // allocates its block there, or writes into the block it names.
  std::memset(buffer.data(), 0xA5, 512);
  disk.WriteDisk(offsets[1], buffer.data(), 512, &moved);
  disk.ReadDisk(offsets[1], buffer.data(), 1024, &moved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string image = fuzz::WorkFolder() + "/c.vhd";
  static const std::string parent = fuzz::WorkFolder() + "/p.vhd";
  uint32_t imageLength = 0;
  if (size >= 4) {
    std::memcpy(&imageLength, data, 4);
    data += 4;
    size -= 4;
  }
  size_t first = imageLength < size ? imageLength : size;
  fuzz::WriteWholeFile(image, data, first);
  if (size > first) {
    fuzz::WriteWholeFile(parent, data + first, size - first);
  } else {
    unlink(parent.c_str());
  }

  size_t pool = host::OutstandingAllocations();
  size_t handles = host::OpenHandleCount();
  Exercise(image);
  fuzz::CheckNothingKept(pool, handles);
  host::ClearDebugOutput();
  host::ClearErrorLog();
  return 0;
}
