// Differencing images and parent chains for tests.
#include "differencing_chain.h"

#include <stdexcept>

#include "format/vhd_format.h"
#include "image_builder.h"
#include "image_writer.h"
#include "temp_dir.h"

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
out, paths = sys.argv[1], sys.argv[2:]
images = []
for path in reversed(paths):
    image = pyvhdi.file()
    image.open(path)
    if images:
        image.set_parent(images[-1])
    images.append(image)
top = images[-1]
size = top.get_media_size()
with open(out, 'wb') as disk:
    offset = 0
    while offset < size:
        length = min(1 << 16, size - offset)
        disk.write(top.read_buffer_at_offset(length, offset))
        offset += length
)";

std::string Quoted(const std::string &text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

}  // namespace

void MakeDifferencingImage(const std::string &path, const std::string &parent) {
  std::string error = CreateDifferencingImage(path, parent);
  if (!error.empty()) {
    throw std::runtime_error(path + ": " + error);
  }
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
    locator.path.push_back(char16_t(data[i] | (data[i + 1] << 8)));
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

void SetLocatorData(const std::string &path, int index, const std::string &code,
                    const Bytes &data) {
  Bytes footer = ReadFooter(path);
  uint64_t place = FileSize(path) - sizeof(VHD_FOOTER);
  Bytes sectors(data);
  sectors.resize((data.size() + 511) / 512 * 512, 0);
  sectors.insert(sectors.end(), footer.begin(), footer.end());
  PokeFile(path, place, sectors);
  PokeLocator(path, index, code, uint32_t(data.size()), place);
}

void SetLocator(const std::string &path, int index, const std::string &code,
                const std::u16string &text) {
  SetLocatorData(path, index, code, Utf16LeBytes(text));
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

std::u16string Utf16(const std::string &text) {
  std::u16string result;
  for (unsigned char c : text) {
    result.push_back(char16_t(c));
  }
  return result;
}

Bytes Utf16LeBytes(const std::u16string &text) {
  Bytes bytes;
  for (char16_t unit : text) {
    bytes.push_back(uint8_t(unit & 0xFF));
    bytes.push_back(uint8_t(unit >> 8));
  }
  return bytes;
}

std::string PyvhdiPython() {
  // The distribution's interpreter carries the module; another python3 on
  // the path may not.
  for (const char *python : {"/usr/bin/python3", "python3"}) {
    if (RunShell(std::string(python) + " -c 'import pyvhdi' >/dev/null 2>&1") == 0) {
      return python;
    }
  }
  return "";
}

Bytes ReadWithPyvhdi(const std::vector<std::string> &chain) {
  std::string python = PyvhdiPython();
  if (python.empty()) {
    throw std::runtime_error("no python3 with pyvhdi");
  }
  TempDir scratch;
  std::string script = scratch.File("read.py");
  std::string out = scratch.File("disk.raw");
  WriteFileBytes(script, Bytes(kPyvhdiScript, kPyvhdiScript + sizeof(kPyvhdiScript) - 1));
  std::string command = python + " " + Quoted(script) + " " + Quoted(out);
  for (const std::string &path : chain) {
    command += " " + Quoted(path);
  }
  std::string output;
  if (RunShell(command + " 2>&1", &output) != 0) {
    throw std::runtime_error("pyvhdi failed: " + output);
  }
  return ReadFileBytes(out);
}

}  // namespace dorvane::test
