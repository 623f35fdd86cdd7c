// Writing new differencing images. The parent is opened and validated through
// the image code, its own chain included, and the new image takes its size,
// block size and identity from it. Layout: footer copy, dynamic header at
// 512, the block allocation table at 1536 in whole sectors with every entry
// unallocated, the parent locators' data in whole sectors, then the footer;
// blocks are added later where the footer stands.
//
// Two locators name the parent: "W2ku" with its absolute path as a drive
// path of the host's name mapping (Z:\srv\vm\base.vhd), and "W2ru" with its
// path relative to the new image's folder (.\base.vhd). The driver joins a
// relative path to the child's folder and does not fold "..", so a parent
// that is not in or below that folder gets the absolute locator alone.
#include <cstring>
#include <filesystem>
#include <vector>

#include "errors.h"
#include "format/vhd_format.h"
#include "host/host_kernel.h"
#include "image/image.h"
#include "image_file_writer.h"
#include "image_writer.h"

namespace dorvane {

namespace {

using namespace writer;

// A fixed parent has no blocks; its children use the common block size.
const uint32_t kBlockSizeOverFixed = 2u << 20;
const size_t kParentNameUnits = sizeof(VHD_DYNAMIC_HEADER::ParentUnicodeName) / 2;

// What the new image takes from its parent.
struct ParentFacts {
  VHD_FOOTER footer{};
  uint64_t diskSize = 0;
  uint32_t blockSize = 0;
};

struct Locator {
  const char *code;         // "W2ku" or "W2ru"
  std::u16string path;      // stored UTF-16LE
  uint64_t dataOffset = 0;  // in the file, whole sectors
  uint64_t dataSpace = 0;   // bytes reserved, whole sectors
};

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool Utf16FromUtf8(const std::string &text, std::u16string *out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t extra;
    if (lead < 0x80) {
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
    } else {
      return false;
    }
    if (extra >= text.size() - i) {
      return false;
    }
    uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out->push_back(char16_t(0xD800 + (code >> 10)));
      out->push_back(char16_t(0xDC00 + (code & 0x3FF)));
    } else {
      out->push_back(char16_t(code));
    }
    i += extra + 1;
  }
  return true;
}

std::string OpenParent(const std::string &parentPath, ParentFacts *facts) {
  std::u16string name = host::NtPathForHostPath(parentPath);
  if (name.empty() || name.size() * sizeof(char16_t) > 0xFFFE) {
    return "the parent " + parentPath + " has no kernel name the image could be opened by";
  }
  UNICODE_STRING ntPath;
  ntPath.Buffer = name.data();
  ntPath.Length = USHORT(name.size() * sizeof(char16_t));
  ntPath.MaximumLength = ntPath.Length;
  // Opened as a child's parent is opened: for reading, not shared for
  // writing, so a parent that someone is writing is refused here already.
  PIMAGE_CONTEXT context = nullptr;
  IO_STATUS_BLOCK ioStatus{};
  NTSTATUS status = OpenImageFile(&context, &ntPath, FILE_ATTRIBUTE_NORMAL, FILE_OPEN, 0, 0,
                                  FILE_SHARE_READ | FILE_SHARE_DELETE, &ioStatus);
  if (!NT_SUCCESS(status)) {
    return "cannot open the parent " + parentPath + ": " + StatusText(status);
  }
  std::memcpy(&facts->footer, context->Footer, sizeof(VHD_FOOTER));
  facts->diskSize = uint64_t(context->DiskSize);
  facts->blockSize =
      context->DiskType == VHD_DISK_TYPE_FIXED ? kBlockSizeOverFixed : context->BlockSize;
  CloseImageContext(context);
  FreePool(context);
  return "";
}

// "Z:\srv\vm\base.vhd": the parent's kernel name without its "\??\".
std::u16string AbsoluteLocatorPath(const std::filesystem::path &parent) {
  std::u16string name = host::NtPathForHostPath(parent.string());
  const std::u16string dosDevices = u"\\??\\";
  if (name.size() < dosDevices.size() + 3 || name.compare(0, dosDevices.size(), dosDevices) != 0 ||
      name[dosDevices.size() + 1] != u':') {
    return u"";
  }
  return name.substr(dosDevices.size());
}

// ".\sub\base.vhd", or "" for a parent outside the child's folder.
std::string RelativeLocatorPath(const std::filesystem::path &parent,
                                const std::filesystem::path &childFolder, std::u16string *out) {
  out->clear();
  std::filesystem::path relative = parent.lexically_relative(childFolder);
  if (relative.empty() || *relative.begin() == "..") {
    return "";
  }
  std::string text = ".";
  for (const auto &part : relative) {
    text += "\\" + part.string();
  }
  if (!Utf16FromUtf8(text, out)) {
    return "the parent's path is not UTF-8 text";
  }
  return "";
}

// The parent's file name as the header stores it: UTF-16 big-endian, cut to
// the field without splitting a surrogate pair.
void StoreParentName(VHD_DYNAMIC_HEADER *header, const std::u16string &name) {
  size_t units = name.size() < kParentNameUnits ? name.size() : kParentNameUnits;
  if (units == kParentNameUnits && units < name.size() && name[units - 1] >= 0xD800 &&
      name[units - 1] <= 0xDBFF) {
    --units;
  }
  for (size_t i = 0; i < units; ++i) {
    StoreBe16(header->ParentUnicodeName, name[i], ULONG(2 * i));
  }
}

std::vector<unsigned char> LittleEndianBytes(const std::u16string &text) {
  std::vector<unsigned char> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>(unit >> 8));
  }
  return bytes;
}

// The same virtual disk as the parent's, so the same size and geometry.
VHD_FOOTER MakeFooter(const ParentFacts &parent) {
  return NewFooter(VHD_DISK_TYPE_DIFFERENCING, parent.diskSize, kHeaderOffset,
                   parent.footer.DiskGeometry);
}

VHD_DYNAMIC_HEADER MakeHeader(const ParentFacts &parent, uint64_t tableEntries,
                              const std::u16string &parentName,
                              const std::vector<Locator> &locators) {
  VHD_DYNAMIC_HEADER header = NewDynamicHeader(tableEntries, parent.blockSize);
  std::memcpy(header.ParentUniqueId, parent.footer.UniqueId, sizeof(header.ParentUniqueId));
  std::memcpy(header.ParentTimeStamp, parent.footer.TimeStamp, sizeof(header.ParentTimeStamp));
  StoreParentName(&header, parentName);
  for (size_t i = 0; i < locators.size(); ++i) {
    VHD_PARENT_LOCATOR *entry = &header.ParentLocators[i];
    std::memcpy(entry->PlatformCode, locators[i].code, 4);
    // Space in bytes, as readers of "W2ku" and "W2ru" locators expect it.
    StoreBe32(entry->PlatformDataSpace, ULONG(locators[i].dataSpace));
    StoreBe32(entry->PlatformDataLength, ULONG(locators[i].path.size() * sizeof(char16_t)));
    StoreBe64(entry->PlatformDataOffset, locators[i].dataOffset);
  }
  UpdateDynamicHeaderChecksum(&header);
  return header;
}

std::string WriteImage(int fd, const VHD_FOOTER &footer, const VHD_DYNAMIC_HEADER &header,
                       uint64_t tableBytes, const std::vector<Locator> &locators,
                       uint64_t footerOffset) {
  std::string error = WriteDynamicMetadata(fd, footer, header, tableBytes);
  for (const Locator &locator : locators) {
    if (!error.empty()) {
      break;
    }
    std::vector<unsigned char> data = LittleEndianBytes(locator.path);
    data.resize(size_t(locator.dataSpace), 0);
    error = WriteAll(fd, data.data(), data.size(), locator.dataOffset);
  }
  if (error.empty()) {
    error = WriteAll(fd, &footer, sizeof(footer), footerOffset);
  }
  return error;
}

}  // namespace

std::string CreateDifferencingImage(const std::string &path, const std::string &parentPath) {
  ParentFacts parent;
  std::string error = OpenParent(parentPath, &parent);
  if (!error.empty()) {
    return error;
  }
  uint64_t entries = (parent.diskSize + parent.blockSize - 1) / parent.blockSize;
  if (entries > 0xFFFFFFFFull / sizeof(ULONG)) {
    return "the parent's disk needs more block table entries than an image can hold";
  }
  uint64_t tableBytes = RoundUpToSector(entries * sizeof(ULONG));

  namespace fs = std::filesystem;
  std::error_code code;
  fs::path parentFile = fs::absolute(parentPath, code).lexically_normal();
  fs::path childFile = fs::absolute(path, code).lexically_normal();
  if (code) {
    return "cannot find the current folder: " + code.message();
  }
  std::vector<Locator> locators;
  std::u16string absolute = AbsoluteLocatorPath(parentFile);
  if (!absolute.empty()) {
    locators.push_back(Locator{"W2ku", absolute});
  }
  std::u16string relative;
  error = RelativeLocatorPath(parentFile, childFile.parent_path(), &relative);
  if (!error.empty()) {
    return error;
  }
  if (!relative.empty()) {
    locators.push_back(Locator{"W2ru", relative});
  }
  if (locators.empty()) {
    return "the parent " + parentPath + " has no path the driver could find it by";
  }
  uint64_t offset = kTableOffset + tableBytes;
  for (Locator &locator : locators) {
    locator.dataOffset = offset;
    locator.dataSpace = RoundUpToSector(locator.path.size() * sizeof(char16_t));
    offset += locator.dataSpace;
  }
  // Table entries hold 32-bit sector numbers: when every block is allocated,
  // the last one must still start at an addressable sector.
  if (!AllBlocksAddressable(offset, entries, parent.blockSize)) {
    return "the parent's disk is too large for a differencing image: its blocks could not all "
           "be addressed by the block allocation table";
  }
  std::u16string parentName;
  if (!Utf16FromUtf8(parentFile.filename().string(), &parentName)) {
    return "the parent's file name is not UTF-8 text";
  }
  VHD_FOOTER footer = MakeFooter(parent);
  VHD_DYNAMIC_HEADER header = MakeHeader(parent, entries, parentName, locators);

  return WriteNewImageFile(path, [&](int fd) {
    return WriteImage(fd, footer, header, tableBytes, locators, offset);
  });
}

}  // namespace dorvane
