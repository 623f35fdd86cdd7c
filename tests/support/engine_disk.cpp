// Independent reader and layout checks of dynamic image files. The records
// are read with the big-endian helpers only; every offset and size is worked
// out here again, not taken from the driver's code.
#include "engine_disk.h"

#include <algorithm>
#include <stdexcept>

#include "image_builder.h"

namespace dorvane::test {

DynamicLayout ReadLayout(const std::string &path) {
  DynamicLayout layout;
  layout.fileSize = FileSize(path);
  layout.footer = PeekFile(path, layout.fileSize - 512, 512);
  layout.diskSize = LoadBe64(layout.footer.data(), 48);
  uint64_t headerOffset = LoadBe64(layout.footer.data(), 16);
  Bytes header = PeekFile(path, headerOffset, 1024);
  if (header.size() != 1024) throw std::runtime_error("no dynamic header in " + path);
  uint64_t batOffset = LoadBe64(header.data(), 16);
  uint32_t count = LoadBe32(header.data(), 28);
  layout.blockSize = LoadBe32(header.data(), 32);
  layout.bitmapLength = ((layout.blockSize / 512 + 7) / 8 + 511) / 512 * 512;
  layout.span = layout.bitmapLength + uint64_t(layout.blockSize);
  layout.metadataEnd = std::max({uint64_t(512), headerOffset + 1024,
                                 batOffset + (uint64_t(count) * 4 + 511) / 512 * 512});
  Bytes table = PeekFile(path, batOffset, size_t(count) * 4);
  table.resize(size_t(count) * 4, 0);
  for (uint32_t index = 0; index < count; ++index) {
    uint32_t entry = LoadBe32(table.data(), index * 4);
    layout.entries.push_back(entry == 0 ? 0xFFFFFFFFu : entry);
  }
  return layout;
}

Bytes ReadDiskFromFile(const std::string &path) {
  DynamicLayout layout = ReadLayout(path);
  Bytes file = ReadFileBytes(path);
  Bytes disk(layout.diskSize, 0);
  for (size_t index = 0; index < layout.entries.size(); ++index) {
    if (layout.entries[index] == 0xFFFFFFFFu) continue;
    uint64_t data = uint64_t(layout.entries[index]) * 512 + layout.bitmapLength;
    uint64_t start = uint64_t(index) * layout.blockSize;
    uint64_t length = std::min<uint64_t>(layout.blockSize, layout.diskSize - start);
    if (data + length > file.size()) throw std::runtime_error("block beyond the end of " + path);
    std::copy_n(file.begin() + long(data), length, disk.begin() + long(start));
  }
  return disk;
}

std::string CheckCompact(const std::string &path) {
  DynamicLayout layout = ReadLayout(path);
  if (PeekFile(path, 0, 512) != layout.footer) return "footer copy differs from trailing footer";
  if (!IsFooterIntact(reinterpret_cast<const VHD_FOOTER *>(layout.footer.data()))) {
    return "trailing footer damaged";
  }
  std::vector<uint64_t> places;
  Bytes fullBitmap((layout.blockSize / 512 + 7) / 8, 0xFF);
  for (uint32_t entry : layout.entries) {
    if (entry == 0xFFFFFFFFu) continue;
    places.push_back(uint64_t(entry) * 512);
    if (PeekFile(path, places.back(), fullBitmap.size()) != fullBitmap) {
      return "bitmap of the block at sector " + std::to_string(entry) + " is not all ones";
    }
  }
  uint64_t expected = layout.metadataEnd + places.size() * layout.span + 512;
  if (layout.fileSize != expected) {
    return "file size " + std::to_string(layout.fileSize) + ", compact size " +
           std::to_string(expected) + " for " + std::to_string(places.size()) + " blocks";
  }
  std::sort(places.begin(), places.end());
  for (size_t index = 0; index < places.size(); ++index) {
    if (places[index] != layout.metadataEnd + index * layout.span) {
      return "block at " + std::to_string(places[index]) + " leaves a gap or overlaps";
    }
  }
  return "";
}

Bytes ReadDiskThroughEngine(IMAGE_CONTEXT *context, uint32_t chunk) {
  uint64_t size = uint64_t(context->DiskSize);
  Bytes disk(size, 0xA5);
  for (uint64_t offset = 0; offset < size; offset += chunk) {
    uint32_t length = uint32_t(std::min<uint64_t>(chunk, size - offset));
    LARGE_INTEGER byteOffset;
    byteOffset.QuadPart = int64_t(offset);
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = ImageTransfer(context, IRP_MJ_READ, length, &byteOffset,
                                    disk.data() + offset, &ioStatus);
    if (status != STATUS_SUCCESS || ioStatus.Information != length) {
      throw std::runtime_error("read through the engine failed at " + std::to_string(offset));
    }
  }
  return disk;
}

Bytes MakeFilledDynamicImage(const std::string &path, uint64_t size, uint32_t blockSize,
                             const std::vector<uint32_t> &blocks, uint32_t seed) {
  MakeDynamicImage(path, size, blockSize);
  Bytes disk(size, 0);
  for (uint32_t index : blocks) {
    uint64_t start = uint64_t(index) * blockSize;
    Bytes data = PatternBytes(size_t(std::min<uint64_t>(blockSize, size - start)), seed + index);
    AppendBlock(path, index, data);
    std::copy(data.begin(), data.end(), disk.begin() + long(start));
  }
  return disk;
}

}  // namespace dorvane::test

namespace dorvane::test {

size_t AllocatedBlocks(const std::string &path) {
  std::vector<uint32_t> entries = ReadLayout(path).entries;
  return entries.size() - std::count(entries.begin(), entries.end(), 0xFFFFFFFFu);
}

}  // namespace dorvane::test
