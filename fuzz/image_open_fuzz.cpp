// Fuzz target: the open of an image file and a few transfers through it, as
// a client makes them through the driver's device. An input is one image
// file, optionally followed by a second one that its locators may name as
// .\p.vhd:
//
//   bytes 0-3   length L of the image (little-endian, bit 31 apart); when
//               the input holds fewer than L bytes after it, all of them
//               are the image. Unless bit 31 is set, the checksums of both
//               footers and of the dynamic header are made right first, so
//               that changed fields reach the checks behind them.
//   L bytes     the image, written as c.vhd
//   the rest    the parent, written as p.vhd (absent when empty)
//
// Whatever the files hold, the driver must refuse or serve them without
// touching memory it does not own and must give back every pool allocation
// and handle when the disk closes.
#include "tools/disk/disk_access.h"
#include "fuzz_support.h"

#include "format/vhd_format.h"
#include "host/testing/host_testing.h"
#include "host/io/io_client.h"

#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

using namespace dorvane;

const uint32_t kKeepChecksums = 0x80000000u;

// Writes the file, its records' checksums made right.
void WriteImageFile(const std::string &path, const uint8_t *data, size_t size, bool fix) {
  std::vector<uint8_t> bytes(data, data + size);
  if (fix && size >= sizeof(VHD_FOOTER)) {
    auto *footer = reinterpret_cast<VHD_FOOTER *>(bytes.data() + size - sizeof(VHD_FOOTER));
    UpdateFooterChecksum(footer);
    UpdateFooterChecksum(reinterpret_cast<VHD_FOOTER *>(bytes.data()));
    uint64_t header = LoadBe64(footer->DataOffset);
    if (header <= size && size - header >= sizeof(VHD_DYNAMIC_HEADER)) {
      UpdateDynamicHeaderChecksum(reinterpret_cast<VHD_DYNAMIC_HEADER *>(bytes.data() + header));
    }
  }
  fuzz::WriteWholeFile(path, bytes.data(), bytes.size());
}

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
  bool fix = (imageLength & kKeepChecksums) == 0;
  imageLength &= ~kKeepChecksums;
  size_t first = imageLength < size ? imageLength : size;
  WriteImageFile(image, data, first, fix);
  if (size > first) {
    WriteImageFile(parent, data + first, size - first, fix);
  } else {
    unlink(parent.c_str());
  }

  size_t pool = host::OutstandingAllocations();
  size_t handles = host::OpenHandleCount();
  Exercise(image);
  fuzz::CheckNothingKept(pool, handles);
  host::ClearDebugOutput();
  host::ClearErrorLog();
  host::ClearCreateHistory();
  return 0;
}
