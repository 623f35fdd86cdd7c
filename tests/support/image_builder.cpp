// Test image builder.
#include "image_builder.h"

#include <stdexcept>

#include "host/host_kernel.h"
#include "tools/image_files/image_writer.h"

namespace dorvane::test {

namespace {

void Create(const std::string &path, uint32_t diskType, uint64_t size, uint32_t blockSize) {
  NewImageParameters parameters;
  parameters.diskType = diskType;
  parameters.size = size;
  parameters.blockSize = blockSize;
  std::string error = CreateImage(path, parameters);
  if (!error.empty()) throw std::runtime_error(error);
}

}  // namespace

void MakeFixedImage(const std::string &path, uint64_t size) {
  Create(path, VHD_DISK_TYPE_FIXED, size, 0);
}

void MakeDynamicImage(const std::string &path, uint64_t size, uint32_t blockSize) {
  Create(path, VHD_DISK_TYPE_DYNAMIC, size, blockSize);
}

Bytes ReadFooter(const std::string &path) {
  return PeekFile(path, FileSize(path) - sizeof(VHD_FOOTER), sizeof(VHD_FOOTER));
}

void RewriteFooter(const std::string &path, Bytes footer) {
  auto *record = reinterpret_cast<VHD_FOOTER *>(footer.data());
  UpdateFooterChecksum(record);
  PokeFile(path, FileSize(path) - sizeof(VHD_FOOTER), footer);
  if (LoadBe32(record->DiskType) != VHD_DISK_TYPE_FIXED) PokeFile(path, 0, footer);
}

void RefreshHeaderChecksum(const std::string &path) {
  Bytes header = PeekFile(path, kHeaderOffset, sizeof(VHD_DYNAMIC_HEADER));
  UpdateDynamicHeaderChecksum(reinterpret_cast<VHD_DYNAMIC_HEADER *>(header.data()));
  PokeFile(path, kHeaderOffset, header);
}

uint32_t AppendBlock(const std::string &path, uint32_t blockIndex, const Bytes &data,
                     const Bytes *bitmap) {
  uint32_t blockSize = PeekBe32(path, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize));
  uint32_t bitmapLength = SectorBitmapLength(blockSize);
  uint64_t place = FileSize(path) - sizeof(VHD_FOOTER);
  if (data.size() > blockSize || place % VHD_SECTOR_SIZE != 0) {
    throw std::runtime_error("block larger than a block, or footer off a sector boundary");
  }
  Bytes span(bitmapLength + blockSize, 0);
  if (bitmap != nullptr) {
    std::copy(bitmap->begin(), bitmap->end(), span.begin());
  } else {
    std::fill(span.begin(), span.begin() + (blockSize / VHD_SECTOR_SIZE + 7) / 8, 0xFF);
  }
  std::copy(data.begin(), data.end(), span.begin() + bitmapLength);
  Bytes footer = ReadFooter(path);
  span.insert(span.end(), footer.begin(), footer.end());
  PokeFile(path, place, span);
  uint32_t sector = uint32_t(place / VHD_SECTOR_SIZE);
  PokeBe32(path, kBatOffset + 4ull * blockIndex, sector);
  return sector;
}

std::u16string NtName(const std::string &path) { return host::NtPathForHostPath(path); }

}  // namespace dorvane::test
