// Pieces shared by the writers of new images: the records every new image
// starts with, and writing a new file that is either complete or gone.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "format/vhd_format.h"

namespace dorvane::writer {

// Layout of every dynamic and differencing image made here.
inline constexpr uint64_t kHeaderOffset = VHD_SECTOR_SIZE;
inline constexpr uint64_t kTableOffset = kHeaderOffset + sizeof(VHD_DYNAMIC_HEADER);
inline constexpr uint64_t kNoOffset = 0xFFFFFFFFFFFFFFFFull;

uint64_t RoundUpToSector(uint64_t value);

// A footer of a new image: fresh random identity, time stamp and creator,
// Original and Current Size both size; checksum computed.
VHD_FOOTER NewFooter(uint32_t diskType, uint64_t size, uint64_t dataOffset,
                     const UCHAR geometry[4]);

// A dynamic header with the table at kTableOffset and no parent; the caller
// fills in what else it needs and computes the checksum.
VHD_DYNAMIC_HEADER NewDynamicHeader(uint64_t tableEntries, uint32_t blockSize);

// Table entries hold 32-bit sector numbers: whether the last of `entries`
// blocks placed one after another from `firstBlockOffset` could be named.
bool AllBlocksAddressable(uint64_t firstBlockOffset, uint64_t entries, uint32_t blockSize);

std::string WriteAll(int fd, const void *data, size_t length, uint64_t offset);

// Footer copy, header and a table of tableBytes bytes whose every entry reads
// as unallocated.
std::string WriteDynamicMetadata(int fd, const VHD_FOOTER &footer,
                                 const VHD_DYNAMIC_HEADER &header, uint64_t tableBytes);

// Creates path exclusively (an existing file is never touched), lets write
// fill it, and flushes it; on any failure the partly written file is removed.
std::string WriteNewImageFile(const std::string &path, const std::function<std::string(int)> &write);

}  // namespace dorvane::writer
