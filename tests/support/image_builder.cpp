// Test image builder.
#include "image_builder.h"

#include <stdexcept>

#include "format/vhd_format.h"
#include "host/host_kernel.h"
#include "image_writer.h"

namespace dorvane::test {

namespace {

void Create(const std::string &path, uint32_t diskType, uint64_t size, uint32_t blockSize) {
  ImageSpec spec;
  spec.diskType = diskType;
  spec.size = size;
  spec.blockSize = blockSize;
  std::string error = CreateImage(path, spec);
  if (!error.empty()) {
    throw std::runtime_error(error);
  }
}

uint32_t HeaderBlockSize(const std::string &path) {
  return PeekBe32(path, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize));
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
  UpdateFooterChecksum(reinterpret_cast<VHD_FOOTER *>(footer.data()));
  PokeFile(path, FileSize(path) - sizeof(VHD_FOOTER), footer);
  uint32_t diskType = LoadBe32(reinterpret_cast<VHD_FOOTER *>(footer.data())->DiskType);
  if (diskType != VHD_DISK_TYPE_FIXED) {
    PokeFile(path, 0, footer);
  }
}

void RefreshHeaderChecksum(const std::string &path) {
  Bytes header = PeekFile(path, kHeaderOffset, sizeof(VHD_DYNAMIC_HEADER));
  UpdateDynamicHeaderChecksum(reinterpret_cast<VHD_DYNAMIC_HEADER *>(header.data()));
  PokeFile(path, kHeaderOffset, header);
}

uint32_t AppendBlock(const std::string &path, uint32_t blockIndex, const Bytes &data,
                     const Bytes *bitmap) {
  uint32_t blockSize = HeaderBlockSize(path);
  uint32_t bitmapLength = SectorBitmapLength(blockSize);
  if (data.size() > blockSize) {
    throw std::runtime_error("block data larger than the block");
  }
  Bytes footer = ReadFooter(path);
  uint64_t place = FileSize(path) - sizeof(VHD_FOOTER);
  if (place % VHD_SECTOR_SIZE != 0) {
    throw std::runtime_error("footer not on a sector boundary");
  }
  Bytes span(bitmapLength + blockSize, 0);
  if (bitmap != nullptr) {
    std::copy(bitmap->begin(), bitmap->end(), span.begin());
  } else {
    std::fill(span.begin(), span.begin() + (blockSize / VHD_SECTOR_SIZE + 7) / 8, 0xFF);
  }
  std::copy(data.begin(), data.end(), span.begin() + bitmapLength);
  span.insert(span.end(), footer.begin(), footer.end());
  PokeFile(path, place, span);
  uint32_t sector = uint32_t(place / VHD_SECTOR_SIZE);
  PokeBe32(path, kBatOffset + 4ull * blockIndex, sector);
  return sector;
}

std::u16string NtName(const std::string &path) { return host::NtPathForHostPath(path); }

}  // namespace dorvane::test
