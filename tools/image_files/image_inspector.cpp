// Reading an image file's records, and walking a differencing image's parent
// locators to the files they name. Every number read from the file is
// checked against the file's length before it is used as an offset.
#include "tools/image_files/image_inspector.h"

#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"

#include "host/host_kernel.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dorvane {

namespace {

const uint64_t kFooterSize = sizeof(VHD_FOOTER);
const uint64_t kHeaderSize = sizeof(VHD_DYNAMIC_HEADER);
// Every image file is at least three sectors long, as the driver requires.
const uint64_t kShortestImage = 3 * VHD_SECTOR_SIZE;
// Locator data shorter than this names no file, as the driver reads it.
const uint32_t kShortestLocatorData = 10;
// Table entries counted per read.
const uint64_t kEntriesPerRead = 1u << 18;

InspectFailure Failure(const std::string &path, const std::string &what) { return {path, what}; }

}  // namespace

std::string ReadFileAt(int fd, void *buffer, uint64_t length, uint64_t offset, const char *what) {
  auto *bytes = static_cast<uint8_t *>(buffer);
  while (length > 0) {
    ssize_t got = pread(fd, bytes, static_cast<size_t>(length), static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return ErrnoText(std::string("cannot read the ") + what, errno);
    }
    if (got == 0) {
      return std::string("the file ends inside the ") + what;
    }
    bytes += got;
    length -= static_cast<uint64_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return "";
}

namespace {

// Whether length bytes at offset lie inside a file of fileSize bytes.
bool Inside(uint64_t offset, uint64_t length, uint64_t fileSize) {
  return offset <= fileSize && length <= fileSize - offset;
}

// The footer copy at the start of the file, then the header.
std::string ReadDynamicHeader(int fd, ImageRecords *image) {
  VHD_FOOTER copy;
  std::string error = ReadFileAt(fd, &copy, kFooterSize, 0, "footer copy");
  if (error.empty() && std::memcmp(&copy, &image->footer, kFooterSize) != 0) {
    error = "the footer copy at offset 0 differs from the footer";
  }
  if (!error.empty()) {
    return error;
  }
  uint64_t offset = LoadBe64(image->footer.DataOffset);
  if (!Inside(offset, kHeaderSize, image->fileSize)) {
    return "the dynamic header's offset " + std::to_string(offset) + " lies outside the file";
  }
  VHD_DYNAMIC_HEADER header;
  error = ReadFileAt(fd, &header, kHeaderSize, offset, "dynamic header");
  if (!error.empty()) {
    return error;
  }
  if (!HasDynamicHeaderCookie(&header)) {
    return "no dynamic header at offset " + std::to_string(offset) + " (no \"cxsparse\" cookie)";
  }
  if (!IsDynamicHeaderChecksumValid(&header)) {
    return "the dynamic header at offset " + std::to_string(offset) + " fails its checksum";
  }
  image->header = header;
  return "";
}

// Counts the entries of the table that name a block; only whole entries
// before the trailing footer are read.
std::string CountAllocatedBlocks(int fd, ImageRecords *image) {
  uint64_t tableOffset = LoadBe64(image->header->TableOffset);
  uint64_t footerStart = image->fileSize - kFooterSize;
  uint64_t readable = tableOffset < footerStart ? (footerStart - tableOffset) / sizeof(ULONG) : 0;
  uint64_t present = std::min<uint64_t>(LoadBe32(image->header->MaxTableEntries), readable);
  std::vector<ULONG> entries(static_cast<size_t>(std::min(present, kEntriesPerRead)));
  image->allocatedBlocks = 0;
  for (uint64_t done = 0; done < present;) {
    uint64_t count = std::min<uint64_t>(present - done, entries.size());
    std::string error = ReadFileAt(fd, entries.data(), count * sizeof(ULONG),
                               tableOffset + done * sizeof(ULONG), "block allocation table");
    if (!error.empty()) {
      return error;
    }
    for (uint64_t i = 0; i < count; ++i) {
      image->allocatedBlocks += IsBatEntryAllocated(entries[i]) ? 1 : 0;
    }
    done += count;
  }
  return "";
}

// The parent's path a locator holds, UTF-16LE text in the child's file.
std::string ReadLocatorText(int fd, const VHD_PARENT_LOCATOR &locator, uint64_t fileSize,
                            std::u16string *text) {
  uint32_t length = LoadBe32(locator.PlatformDataLength);
  uint64_t offset = LoadBe64(locator.PlatformDataOffset);
  if (length < kShortestLocatorData || length >= VHD_LOCATOR_DATA_LIMIT) {
    return "its data of " + std::to_string(length) + " bytes is no path";
  }
  if (!Inside(offset, length, fileSize)) {
    return "its data lies outside the file";
  }
  std::vector<uint8_t> data(length);
  std::string error = ReadFileAt(fd, data.data(), length, offset, "parent locator's data");
  text->clear();
  for (size_t i = 0; error.empty() && i + 1 < data.size(); i += 2) {
    text->push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return error;
}

bool StartsWith(const std::u16string &text, const std::u16string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The kernel name a locator's path leads to, formed as the driver forms it:
// ".\rest" joined to the child's folder, "\\.\X" and "\\?\X" as \??\X,
// "\\server\share\..." below \Device\Mup, anything else a drive path below \??.
std::u16string LocatorName(const std::u16string &text, const std::u16string &childName) {
  if (StartsWith(text, u".\\")) {
    return childName.substr(0, childName.rfind(u'\\') + 1) + text.substr(2);
  }
  if (StartsWith(text, u"\\\\.\\") || StartsWith(text, u"\\\\?\\")) {
    return u"\\??\\" + text.substr(4);
  }
  if (StartsWith(text, u"\\\\")) {
    return u"\\Device\\Mup\\" + text.substr(2);
  }
  return u"\\??\\" + text;
}

// A parent found through a locator: its records and its kernel name.
struct FoundParent {
  ImageRecords records;
  std::u16string name;
};

InspectFailure FindParent(const ImageRecords &child, const std::u16string &childName,
                          FoundParent *parent) {
  FileDescriptor file(open(child.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.IsOpen()) {
    return Failure(child.path, ErrnoText("cannot open the file", errno));
  }
  std::string missing;    // the paths that lead to no file
  InspectFailure damaged;  // the last file that is no image
  for (const ParentCandidate &candidate : ParentCandidates(file.Get(), child, childName)) {
    if (!candidate.error.empty()) {
      return Failure(child.path,
                     "parent locator " + std::to_string(candidate.locator) + ": " + candidate.error);
    }
    if (candidate.hostPath.empty()) {
      missing += (missing.empty() ? "" : ", ") + candidate.text;
      continue;
    }
    InspectFailure failure = InspectImage(candidate.hostPath, &parent->records);
    if (failure) {
      damaged = failure;
      continue;
    }
    // Another image at the parent's place is no parent: the child's data was
    // written over a different disk.
    if (std::memcmp(parent->records.footer.UniqueId, child.header->ParentUniqueId,
                    sizeof(child.header->ParentUniqueId)) != 0) {
      return Failure(child.path, "the image at " + candidate.hostPath +
                                     " is not its parent: its Unique Id is another");
    }
    parent->name = candidate.name;
    return {};
  }
  if (damaged) {
    return damaged;
  }
  return Failure(child.path, missing.empty() ? "no parent locator names its parent"
                                             : "its parent is not found at " + missing);
}

// Opens the file at path and reads its footer; *file stays open for the
// records behind it.
InspectFailure OpenImage(const std::string &path, FileDescriptor *file, ImageRecords *image) {
  *image = ImageRecords();
  image->path = path;
  // Not blocking: a FIFO would wait for a writer.
  *file = FileDescriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info;
  if (!file->IsOpen()) {
    return Failure(path, ErrnoText("cannot open the file", errno));
  }
  if (fstat(file->Get(), &info) != 0) {
    return Failure(path, ErrnoText("cannot query the file", errno));
  }
  if (S_ISDIR(info.st_mode)) {
    return Failure(path, "it is a directory, not an image file");
  }
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    return Failure(path, "it is a special file (a FIFO, socket or character device), not an "
                         "image file");
  }
  image->fileSize = static_cast<uint64_t>(info.st_size);
  image->device = static_cast<uint64_t>(info.st_dev);
  image->inode = static_cast<uint64_t>(info.st_ino);
  if (image->fileSize < kShortestImage) {
    return Failure(path, "the file is " + std::to_string(image->fileSize) +
                             " bytes long, shorter than any image (" +
                             std::to_string(kShortestImage) + " bytes)");
  }
  uint64_t footerOffset = image->fileSize - kFooterSize;
  std::string error = ReadFileAt(file->Get(), &image->footer, kFooterSize, footerOffset, "footer");
  if (error.empty() && !IsFooterIntact(&image->footer)) {
    error = "the footer at offset " + std::to_string(footerOffset) +
            " is damaged (its cookie, version or checksum)";
  }
  if (!error.empty()) {
    return Failure(path, error);
  }
  uint32_t diskType = image->DiskType();
  if (diskType != VHD_DISK_TYPE_FIXED && diskType != VHD_DISK_TYPE_DYNAMIC &&
      diskType != VHD_DISK_TYPE_DIFFERENCING) {
    return Failure(path, "the footer names disk type " + std::to_string(diskType) +
                             ", none of fixed (2), dynamic (3) and differencing (4)");
  }
  return {};
}

}  // namespace

std::vector<ParentCandidate> ParentCandidates(int fd, const ImageRecords &child,
                                              const std::u16string &childName) {
  std::vector<ParentCandidate> candidates;
  for (int index = VHD_PARENT_LOCATOR_COUNT - 1; index >= 0; --index) {
    const VHD_PARENT_LOCATOR &locator = child.header->ParentLocators[index];
    if (!IsUsableLocatorCode(&locator)) {
      continue;
    }
    ParentCandidate candidate;
    candidate.locator = index;
    std::u16string text;
    candidate.error = ReadLocatorText(fd, locator, child.fileSize, &text);
    if (candidate.error.empty()) {
      candidate.text = host::Utf8FromUtf16(text);
      candidate.name = LocatorName(text, childName);
      std::string hostPath;
      struct stat info;
      if (NT_SUCCESS(host::HostPathForNtName(candidate.name, true, &hostPath)) &&
          stat(hostPath.c_str(), &info) == 0) {
        candidate.hostPath = hostPath;
      }
    }
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

InspectFailure InspectImage(const std::string &path, ImageRecords *image) {
  FileDescriptor file;
  if (InspectFailure failure = OpenImage(path, &file, image)) {
    return failure;
  }
  if (image->DiskType() == VHD_DISK_TYPE_FIXED) {
    return {};
  }
  std::string error = ReadDynamicHeader(file.Get(), image);
  if (error.empty()) {
    error = CountAllocatedBlocks(file.Get(), image);
  }
  return error.empty() ? InspectFailure() : Failure(path, error);
}

InspectFailure InspectChain(const std::string &path, std::vector<ImageRecords> *chain) {
  chain->clear();
  ImageRecords image;
  if (InspectFailure failure = InspectImage(path, &image)) {
    return failure;
  }
  std::u16string name = host::NtPathForHostPath(path);
  chain->push_back(std::move(image));
  while (chain->back().DiskType() == VHD_DISK_TYPE_DIFFERENCING) {
    FoundParent parent;
    if (InspectFailure failure = FindParent(chain->back(), name, &parent)) {
      return failure;
    }
    for (const ImageRecords &known : *chain) {
      if (known.device == parent.records.device && known.inode == parent.records.inode) {
        return Failure(chain->back().path, "its parent chain leads back to " + known.path);
      }
    }
    name = parent.name;
    chain->push_back(std::move(parent.records));
  }
  return {};
}

}  // namespace dorvane
