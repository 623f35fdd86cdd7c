// Shared pieces of the image writers.
#include "tools/image_files/image_file_writer.h"

#include "tools/disk/errors.h"
#include "tools/disk/plain_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

namespace dorvane::writer {

namespace {

// VHD time stamps count seconds from 2000-01-01 00:00:00 UTC.
const int64_t kVhdEpoch = 946684800;
const ULONG kCreatorVersion = 0x00010000;
// The Features field's bit 1 is reserved and always set.
const ULONG kFeaturesReserved = 0x00000002;

}  // namespace

uint64_t RoundUpToSector(uint64_t value) {
  return (value + VHD_SECTOR_SIZE - 1) / VHD_SECTOR_SIZE * VHD_SECTOR_SIZE;
}

VHD_FOOTER NewFooter(uint32_t diskType, uint64_t size, uint64_t dataOffset,
                     const UCHAR geometry[4]) {
  VHD_FOOTER footer;
  std::memset(&footer, 0, sizeof(footer));
  std::memcpy(footer.Cookie, "conectix", sizeof(footer.Cookie));
  StoreBe32(footer.Features, kFeaturesReserved);
  StoreBe32(footer.FileFormatVersion, VHD_FILE_FORMAT_VERSION);
  StoreBe64(footer.DataOffset, dataOffset);
  int64_t seconds = static_cast<int64_t>(std::time(nullptr)) - kVhdEpoch;
  StoreBe32(footer.TimeStamp, seconds > 0 ? static_cast<ULONG>(seconds) : 0);
  std::memcpy(footer.CreatorApplication, "dorv", 4);
  StoreBe32(footer.CreatorVersion, kCreatorVersion);
  std::memcpy(footer.CreatorHostOs, "Wi2k", 4);
  StoreBe64(footer.OriginalSize, size);
  StoreBe64(footer.CurrentSize, size);
  std::memcpy(footer.DiskGeometry, geometry, sizeof(footer.DiskGeometry));
  StoreBe32(footer.DiskType, diskType);

  // A random (version 4) UUID.
  std::random_device random;
  for (ULONG i = 0; i < sizeof(footer.UniqueId); i += 4) {
    StoreBe32(footer.UniqueId, random(), i);
  }
  footer.UniqueId[6] = static_cast<UCHAR>((footer.UniqueId[6] & 0x0F) | 0x40);
  footer.UniqueId[8] = static_cast<UCHAR>((footer.UniqueId[8] & 0x3F) | 0x80);

  UpdateFooterChecksum(&footer);
  return footer;
}

VHD_DYNAMIC_HEADER NewDynamicHeader(uint64_t tableEntries, uint32_t blockSize) {
  VHD_DYNAMIC_HEADER header;
  std::memset(&header, 0, sizeof(header));
  std::memcpy(header.Cookie, "cxsparse", sizeof(header.Cookie));
  StoreBe64(header.DataOffset, kNoOffset);
  StoreBe64(header.TableOffset, kTableOffset);
  StoreBe32(header.HeaderVersion, 0x00010000);
  StoreBe32(header.MaxTableEntries, static_cast<ULONG>(tableEntries));
  StoreBe32(header.BlockSize, blockSize);
  return header;
}

bool AllBlocksAddressable(uint64_t firstBlockOffset, uint64_t entries, uint32_t blockSize) {
  if (entries == 0) {
    return true;
  }
  uint64_t lastBlockStart = firstBlockOffset + (entries - 1) * BlockSpan(blockSize);
  return lastBlockStart / VHD_SECTOR_SIZE < VHD_BAT_UNALLOCATED;
}

std::string WriteAll(int fd, const void *data, size_t length, uint64_t offset) {
  const char *bytes = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t written = WriteAt(fd, bytes, length, offset);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return ErrnoText("cannot write the image file", errno);
    }
    bytes += written;
    length -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return "";
}

std::string WriteDynamicMetadata(int fd, const VHD_FOOTER &footer,
                                 const VHD_DYNAMIC_HEADER &header, uint64_t tableBytes) {
  std::string error = WriteAll(fd, &footer, sizeof(footer), 0);
  if (error.empty()) {
    error = WriteAll(fd, &header, sizeof(header), kHeaderOffset);
  }
  // Every entry, those past Max Table Entries in the last sector included,
  // reads as unallocated.
  const uint64_t chunk = 1u << 20;
  std::vector<unsigned char> unallocated(static_cast<size_t>(tableBytes < chunk ? tableBytes : chunk),
                                         0xFF);
  for (uint64_t done = 0; error.empty() && done < tableBytes;) {
    uint64_t length = tableBytes - done < chunk ? tableBytes - done : chunk;
    error = WriteAll(fd, unallocated.data(), static_cast<size_t>(length), kTableOffset + done);
    done += length;
  }
  return error;
}

std::string WriteNewImageFile(const std::string &path,
                              const std::function<std::string(int)> &write) {
  int fd = OpenPlainFile(path, O_WRONLY | O_CREAT | O_EXCL);
  if (fd < 0) {
    if (errno == EEXIST) {
      return "the file already exists; it is left as it is";
    }
    return ErrnoText("cannot create the image file", errno);
  }
  std::string error = write(fd);
  if (error.empty() && SyncPlainFile(fd) != 0) {
    error = ErrnoText("cannot flush the image file", errno);
  }
  if (close(fd) != 0 && error.empty()) {
    error = ErrnoText("cannot close the image file", errno);
  }
  if (!error.empty()) {
    RemovePlainFile(path);
  }
  return error;
}

}  // namespace dorvane::writer
