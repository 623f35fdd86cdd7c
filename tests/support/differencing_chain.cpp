// Differencing images and parent chains for tests.
#include "differencing_chain.h"

#include <stdexcept>

#include "format/vhd_format.h"
#include "image_builder.h"
#include "tools/image_files/image_writer.h"

namespace dorvane::test {

namespace {

uint64_t LocatorOffset(int index) {
  return kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, ParentLocators) +
         uint64_t(index) * sizeof(VHD_PARENT_LOCATOR);
}

const uint64_t kParentIdOffset = kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, ParentUniqueId);

// Reads in pieces of 64 KiB: libvhdi (20210425) takes the parent's data for
// present sectors in reads that span several blocks of a differencing image.
const char kPyvhdiScript[] = R"(
import sys, pyvhdi
images = []
for path in reversed(sys.argv[1:]):
    image = pyvhdi.file()
    image.open(path)
    if images:
        image.set_parent(images[-1])
    images.append(image)
top, offset = images[-1], 0
while offset < top.get_media_size():
    length = min(1 << 16, top.get_media_size() - offset)
    sys.stdout.buffer.write(top.read_buffer_at_offset(length, offset))
    offset += length
)";

std::string Quoted(const std::string &text) { return "'" + text + "'"; }

}  // namespace

void MakeDifferencingImage(const std::string &path, const std::string &parent) {
  std::string error = CreateDifferencingImage(path, parent);
  if (!error.empty()) throw std::runtime_error(path + ": " + error);
}

LocatorEntry ReadLocator(const std::string &path, int index) {
  Bytes raw = PeekFile(path, LocatorOffset(index), sizeof(VHD_PARENT_LOCATOR));
  const auto *entry = reinterpret_cast<const VHD_PARENT_LOCATOR *>(raw.data());
  LocatorEntry locator;
  locator.code.assign(reinterpret_cast<const char *>(entry->PlatformCode), 4);
  locator.space = LoadBe32(entry->PlatformDataSpace);
  locator.length = LoadBe32(entry->PlatformDataLength);
  locator.offset = LoadBe64(entry->PlatformDataOffset);
  Bytes data = PeekFile(path, locator.offset, locator.length);
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    locator.path += char16_t(data[i] | data[i + 1] << 8);
  }
  return locator;
}

void PokeLocator(const std::string &path, int index, const std::string &code, uint32_t length,
                 uint64_t offset) {
  Bytes entry(sizeof(VHD_PARENT_LOCATOR), 0);
  std::copy(code.begin(), code.begin() + std::min<size_t>(4, code.size()), entry.begin());
  StoreBe32(entry.data(), length, offsetof(VHD_PARENT_LOCATOR, PlatformDataLength));
  StoreBe32(entry.data(), (length + 511) / 512 * 512,
            offsetof(VHD_PARENT_LOCATOR, PlatformDataSpace));
  StoreBe64(entry.data(), offset, offsetof(VHD_PARENT_LOCATOR, PlatformDataOffset));
  PokeFile(path, LocatorOffset(index), entry);
  RefreshHeaderChecksum(path);
}

void SetLocator(const std::string &path, int index, const std::string &code,
                const std::u16string &text) {
  Bytes footer = ReadFooter(path);
  uint64_t place = FileSize(path) - sizeof(VHD_FOOTER);
  Bytes sectors;
  for (char16_t unit : text) sectors.insert(sectors.end(), {uint8_t(unit), uint8_t(unit >> 8)});
  sectors.resize((text.size() * 2 + 511) / 512 * 512, 0);
  sectors.insert(sectors.end(), footer.begin(), footer.end());
  PokeFile(path, place, sectors);
  PokeLocator(path, index, code, uint32_t(text.size() * 2), place);
}

void ClearLocators(const std::string &path) {
  PokeFile(path, LocatorOffset(0), Bytes(8 * sizeof(VHD_PARENT_LOCATOR), 0));
  RefreshHeaderChecksum(path);
}

Bytes UniqueId(const std::string &path) {
  return PeekFile(path, FileSize(path) - sizeof(VHD_FOOTER) + offsetof(VHD_FOOTER, UniqueId), 16);
}

Bytes ParentUniqueId(const std::string &path) { return PeekFile(path, kParentIdOffset, 16); }

void SetParentUniqueId(const std::string &path, const Bytes &id) {
  PokeFile(path, kParentIdOffset, id);
  RefreshHeaderChecksum(path);
}

std::string PyvhdiPython() {
  // The distribution's interpreter carries the module; another python3 on
  // the path may not.
  for (const char *python : {"/usr/bin/python3", "python3"}) {
    if (RunShell(std::string(python) + " -c 'import pyvhdi' >/dev/null 2>&1") == 0) return python;
  }
  return "";
}

Bytes ReadWithPyvhdi(const std::vector<std::string> &chain) {
  std::string python = PyvhdiPython();
  if (python.empty()) throw std::runtime_error("no python3 with pyvhdi");
  // The script on standard input, the disk on standard output.
  std::string command = python + " -";
  for (const std::string &path : chain) command += " " + Quoted(path);
  std::string disk;
  if (RunShell(command + " <<'SCRIPT'" + kPyvhdiScript + "SCRIPT\n", &disk) != 0) {
    throw std::runtime_error("pyvhdi could not read " + chain[0]);
  }
  return Bytes(disk.begin(), disk.end());
}

}  // namespace dorvane::test
