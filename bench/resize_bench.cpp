// Growth of a dynamic image whose table must grow over allocated blocks.
//
// A 64 GiB dynamic image (2 MiB blocks, a table of 256 sectors) with 1,000
// allocated blocks, each holding 4 KiB of data (the rest of every span is a
// hole: the file stays sparse), grows to 2,000 GiB: the table grows to 8,000
// sectors in place and the blocks lying there move to the end of the file.
// The time, the blocks moved, and a growth of the same image to 128 GiB (a
// table of 512 sectors) show that the work follows the blocks in the grown
// table's area and the table's length, not the disk's size.
//
//   resize_bench [--dir DIR]
#include <cstring>
#include <filesystem>

#include "bench_support.h"
#include "engine/engine.h"
#include "tools/image_files/image_writer.h"

namespace {

using namespace bench;

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint32_t kBlockSize = 2u << 20;
constexpr uint32_t kAllocated = 1000;

struct Outcome {
  double seconds;
  uint32_t moved;
};

// Blocks the growth must move: those starting before the grown table's end.
uint32_t BlocksBelow(PIMAGE_CONTEXT context, uint64_t tableEnd) {
  uint32_t count = 0;
  for (ULONG index = 0; index < context->BatEntries; ++index) {
    ULONG sector = LookupBlockSector(context, index);
    if (sector != VHD_BAT_UNALLOCATED && uint64_t(sector) * 512 < tableEnd) {
      ++count;
    }
  }
  return count;
}

Outcome Grow(const std::string &path, uint64_t oldSize, uint64_t newSize) {
  std::filesystem::remove(path);
  dorvane::NewImageParameters parameters;
  parameters.diskType = VHD_DISK_TYPE_DYNAMIC;
  parameters.size = oldSize;
  parameters.blockSize = kBlockSize;
  std::string error = dorvane::CreateImage(path, parameters);
  if (!error.empty()) {
    Fail("cannot create " + path + ": " + error);
  }
  Image image(path);
  std::vector<uint8_t> data(4096);
  for (uint32_t block = 0; block < kAllocated; ++block) {
    std::memset(data.data(), int(block % 251) + 1, data.size());
    // Spread over the disk, placed in the file in this order.
    image.Transfer(IRP_MJ_WRITE, uint64_t(block * 31 % 32768) * kBlockSize, data.data(),
                   uint32_t(data.size()));
  }
  PIMAGE_CONTEXT context = image.Context();
  uint64_t tableEnd = uint64_t(context->BatOffset) + (newSize / kBlockSize + 127) / 128 * 512;
  uint32_t moved = BlocksBelow(context, tableEnd);

  // The blocks' writes go to the disk first: the growth's own flushes then
  // carry only what the growth writes.
  IO_STATUS_BLOCK flushStatus{};
  FlushImageFile(context->ImageHandle, &flushStatus);

  LONGLONG size = LONGLONG(newSize);
  NTSTATUS status = STATUS_SUCCESS;
  double seconds = Seconds([&] {
    status = SetDiskSize(context, FileEndOfFileInformation, sizeof(size), &size);
  });
  if (status != STATUS_SUCCESS) {
    Fail(std::string("growth failed: ") + host::StatusName(status));
  }
  if (BlocksBelow(context, tableEnd) != 0) {
    Fail("a block still lies inside the grown table");
  }
  for (uint32_t block = 0; block < kAllocated; ++block) {
    image.Transfer(IRP_MJ_READ, uint64_t(block * 31 % 32768) * kBlockSize, data.data(),
                   uint32_t(data.size()));
    if (data[0] != uint8_t(block % 251 + 1) || data[4095] != data[0]) {
      Fail("block " + std::to_string(block) + " reads other data after the growth");
    }
  }
  return {seconds, moved};
}

}  // namespace

int main(int argc, char **argv) {
  Options options = ParseOptions(argc, argv, Options{});
  WorkFolder folder(options.dir);
  const std::string &dir = folder.Path();
  const std::string path = dir + "/resize.vhd";
  const struct {
    uint64_t from, to;
  } growths[] = {{64 * kGiB, 2000 * kGiB}, {64 * kGiB, 128 * kGiB}};
  for (const auto &g : growths) {
    Outcome outcome = Grow(path, g.from, g.to);
    std::printf("grow %4llu GiB -> %4llu GiB, table %5llu -> %5llu sectors: %8.3f ms, "
                "%u of %u blocks moved\n",
                (unsigned long long)(g.from / kGiB), (unsigned long long)(g.to / kGiB),
                (unsigned long long)(g.from / kBlockSize / 128),
                (unsigned long long)(g.to / kBlockSize / 128), outcome.seconds * 1000,
                outcome.moved, kAllocated);
  }
  return 0;
}
