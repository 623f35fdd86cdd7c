// Writing new differencing images. The parent and its own chain are read by
// the inspector, and the new image takes its size, block size and identity
// from the parent's records. Layout: footer copy, dynamic header at
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

#include "format/vhd_format.h"
#include "tools/disk/kernel_names.h"

#include "host/nt/nt_text.h"
#include "tools/image_files/image_file_writer.h"
#include "tools/image_files/image_inspector.h"
#include "tools/image_files/image_writer.h"

namespace dorvane {

namespace {

using namespace writer;

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

std::string ReadParent(const std::string &parentPath, ParentFacts *facts) {
  std::vector<ImageRecords> chain;
  if (InspectFailure failure = InspectChain(parentPath, &chain)) {
    return "in the parent chain, " + failure.path + ": " + failure.what;
  }
  const ImageRecords &parent = chain.front();
  facts->footer = parent.footer;
  facts->diskSize = parent.CurrentSize();
  // A fixed parent has no blocks; its children use the default block size.
  facts->blockSize = parent.header ? LoadBe32(parent.header->BlockSize) : kDefaultBlockSize;
  return "";
}

// "Z:\srv\vm\base.vhd": the parent's kernel name without its "\??\".
std::u16string AbsoluteLocatorPath(const std::filesystem::path &parent) {
  std::u16string name;
  KernelNameForPath(parent.u8string(), &name);
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
    text += "\\" + part.u8string();
  }
  bool valid = false;
  *out = host::Utf16FromUtf8(text, &valid);
  return valid ? "" : "the parent's path is not UTF-8 text";
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
  std::string error = ReadParent(parentPath, &parent);
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
  // Paths are UTF-8 on every platform; a path made from a plain string would
  // read it in the Windows ANSI code page.
  fs::path parentFile = fs::absolute(fs::u8path(parentPath), code).lexically_normal();
  fs::path childFile = fs::absolute(fs::u8path(path), code).lexically_normal();
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
  bool valid = false;
  std::u16string parentName = host::Utf16FromUtf8(parentFile.filename().u8string(), &valid);
  if (!valid) {
    return "the parent's file name is not UTF-8 text";
  }
  VHD_FOOTER footer = MakeFooter(parent);
  VHD_DYNAMIC_HEADER header = MakeHeader(parent, entries, parentName, locators);

  return WriteNewImageFile(path, [&](int fd) {
    return WriteImage(fd, footer, header, tableBytes, locators, offset);
  });
}

}  // namespace dorvane
