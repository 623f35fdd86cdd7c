// Independent reader and layout checks of dynamic image files.
#include "engine_disk.h"

#include <algorithm>
#include <stdexcept>

#include "format/vhd_format.h"
#include "image_builder.h"

namespace dorvane::test {

namespace {

uint64_t Be64(const Bytes &bytes, size_t offset) {
  return LoadBe64(bytes.data() + offset);
}

uint32_t Be32(const Bytes &bytes, size_t offset) { return LoadBe32(bytes.data() + offset); }

uint64_t AlignUp(uint64_t value) { return (value + 511) & ~uint64_t(511); }

}  // namespace

uint32_t DynamicLayout::AllocatedCount() const {
  return uint32_t(std::count_if(entries.begin(), entries.end(),
                                [](uint32_t entry) { return entry != VHD_BAT_UNALLOCATED; }));
}

DynamicLayout ReadLayout(const std::string &path) {
  DynamicLayout layout;
  layout.fileSize = FileSize(path);
  layout.footer = PeekFile(path, layout.fileSize - 512, 512);
  layout.diskSize = Be64(layout.footer, offsetof(VHD_FOOTER, CurrentSize));
  uint64_t headerOffset = Be64(layout.footer, offsetof(VHD_FOOTER, DataOffset));
  Bytes header = PeekFile(path, headerOffset, sizeof(VHD_DYNAMIC_HEADER));
  if (header.size() != sizeof(VHD_DYNAMIC_HEADER)) {
    throw std::runtime_error("no dynamic header in " + path);
  }
  layout.batOffset = Be64(header, offsetof(VHD_DYNAMIC_HEADER, TableOffset));
  layout.blockSize = Be32(header, offsetof(VHD_DYNAMIC_HEADER, BlockSize));
  uint32_t count = Be32(header, offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries));
  layout.bitmapLength = SectorBitmapLength(layout.blockSize);
  layout.span = BlockSpan(layout.blockSize);
  layout.metadataEnd = std::max({uint64_t(512), headerOffset + 1024,
                                 layout.batOffset + AlignUp(uint64_t(count) * 4)});
  Bytes table = PeekFile(path, layout.batOffset, size_t(count) * 4);
  table.resize(size_t(count) * 4, 0);
  for (uint32_t index = 0; index < count; ++index) {
    uint32_t entry = Be32(table, size_t(index) * 4);
    layout.entries.push_back(entry == 0 ? VHD_BAT_UNALLOCATED : entry);
  }
  return layout;
}

Bytes ReadDiskFromFile(const std::string &path) {
  DynamicLayout layout = ReadLayout(path);
  Bytes file = ReadFileBytes(path);
  Bytes disk(layout.diskSize, 0);
  for (size_t index = 0; index < layout.entries.size(); ++index) {
    if (layout.entries[index] == VHD_BAT_UNALLOCATED) {
      continue;
    }
    uint64_t data = uint64_t(layout.entries[index]) * 512 + layout.bitmapLength;
    uint64_t start = uint64_t(index) * layout.blockSize;
    uint64_t length = std::min<uint64_t>(layout.blockSize, layout.diskSize - start);
    if (data + length > file.size()) {
      throw std::runtime_error("block beyond the end of " + path);
    }
    std::copy(file.begin() + long(data), file.begin() + long(data + length),
              disk.begin() + long(start));
  }
  return disk;
}

std::string CheckCompact(const std::string &path) {
  DynamicLayout layout = ReadLayout(path);
  if (PeekFile(path, 0, 512) != layout.footer) {
    return "footer copy differs from the trailing footer";
  }
  if (!IsFooterIntact(reinterpret_cast<const VHD_FOOTER *>(layout.footer.data()))) {
    return "trailing footer damaged";
  }
  uint64_t allocated = layout.AllocatedCount();
  uint64_t expected = layout.metadataEnd + allocated * layout.span + 512;
  if (layout.fileSize != expected) {
    return "file size " + std::to_string(layout.fileSize) + ", compact size " +
           std::to_string(expected) + " for " + std::to_string(allocated) + " blocks";
  }
  std::vector<uint64_t> places;
  uint32_t bitmapBits = layout.blockSize / 512;
  Bytes fullBitmap((bitmapBits + 7) / 8, 0xFF);
  for (uint32_t entry : layout.entries) {
    if (entry == VHD_BAT_UNALLOCATED) {
      continue;
    }
    places.push_back(uint64_t(entry) * 512);
    Bytes bitmap = PeekFile(path, uint64_t(entry) * 512, fullBitmap.size());
    if (bitmap != fullBitmap) {
      return "bitmap of the block at sector " + std::to_string(entry) + " is not all ones";
    }
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
