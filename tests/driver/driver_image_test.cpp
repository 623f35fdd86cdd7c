// The kernel build's product, dorvane.sys, as the Windows loader will judge
// it: a PE32+ image for the native subsystem, entered at DriverEntry,
// importing from the kernel and the HAL only, without any C++ runtime, and
// with a correct image checksum (recomputed here independently of the build
// step that writes it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "support/file_bytes.h"

namespace dorvane::test {
namespace {

// The image the CI script builds before the host tests; DORVANE_KERNEL_IMAGE
// names another.
std::string KernelImagePath() {
  const char *path = getenv("DORVANE_KERNEL_IMAGE");
  return path != nullptr ? path : DORVANE_SOURCE_DIR "/build-win/dorvane.sys";
}

// The PE checksum: 16-bit little-endian words with carries folded in, the
// CheckSum field itself counted as zero, plus the file length.
uint32_t ComputePeChecksum(const Bytes &image, size_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    uint32_t word = image[i];
    if (i + 1 < image.size()) word |= uint32_t(image[i + 1]) << 8;
    if (i >= checksumOffset && i < checksumOffset + 4) word = 0;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return uint32_t(sum + image.size());
}

// The first word after `name` on a line of `text` that starts with it, or "".
std::string FieldAfter(const std::string &text, const std::string &name) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string first, second;
    if (words >> first >> second && first == name) return second;
  }
  return "";
}

// The value of a "Name <hex>" line of objdump -p.
bool HeaderField(const std::string &dump, const std::string &name, uint64_t *value) {
  std::string field = FieldAfter(dump, name);
  if (field.empty() || field.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return false;
  }
  *value = std::stoull(field, nullptr, 16);
  return true;
}

// The address nm gives for a global text symbol, or 0.
uint64_t TextSymbolAddress(const std::string &symbols, const std::string &name) {
  std::istringstream lines(symbols);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string address, kind, symbol;
    if (words >> address >> kind >> symbol && kind == "T" && symbol == name) {
      return std::stoull(address, nullptr, 16);
    }
  }
  return 0;
}

class DriverImage : public testing::Test {
 protected:
  void SetUp() override {
    path_ = KernelImagePath();
    if (FileExists(path_)) return;
    if (getenv("DORVANE_SKIP_KERNEL_IMAGE_TEST") != nullptr) {
      GTEST_SKIP() << path_ << " not built (DORVANE_SKIP_KERNEL_IMAGE_TEST is set)";
    }
    FAIL() << path_ << " is missing: build it first with\n"
           << "  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/windows-kernel.cmake\n"
           << "  cmake --build build-win -j2\n"
           << "or set DORVANE_KERNEL_IMAGE to a built dorvane.sys";
  }

  static bool FileExists(const std::string &path) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file != nullptr) fclose(file);
    return file != nullptr;
  }

  std::string Run(const std::string &tool, const std::string &arguments) {
    std::string output;
    int status = RunShell("x86_64-w64-mingw32-" + tool + " " + arguments + " '" + path_ + "'",
                          &output);
    EXPECT_EQ(status, 0) << tool << " failed on " << path_;
    return output;
  }

  std::string path_;
};

TEST_F(DriverImage, IsANativePe32PlusDriverEnteredAtDriverEntry) {
  std::string dump = Run("objdump", "-p");
  EXPECT_EQ(FieldAfter(dump, "Magic"), "020b") << "not PE32+";
  uint64_t subsystem = 0, imageBase = 0, entry = 0;
  ASSERT_TRUE(HeaderField(dump, "Subsystem", &subsystem));
  EXPECT_EQ(subsystem, 1u) << "not the native subsystem";
  ASSERT_TRUE(HeaderField(dump, "ImageBase", &imageBase));
  ASSERT_TRUE(HeaderField(dump, "AddressOfEntryPoint", &entry));

  uint64_t driverEntry = TextSymbolAddress(Run("nm", ""), "DriverEntry");
  ASSERT_NE(driverEntry, 0u) << "no DriverEntry symbol";
  EXPECT_EQ(driverEntry, imageBase + entry) << "the entry point is not DriverEntry";
}

TEST_F(DriverImage, ImportsOnlyFromTheKernelAndTheHal) {
  std::string dump = Run("objdump", "-p");
  std::set<std::string> dlls;
  std::istringstream lines(dump);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string dll, name, value;
    if (words >> dll >> name >> value && dll == "DLL" && name == "Name:") dlls.insert(value);
  }
  EXPECT_EQ(dlls.count("ntoskrnl.exe"), 1u);
  for (const std::string &dll : dlls) {
    EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "HAL.dll") << "imports from " << dll;
  }
  // Nothing of a C++ runtime linked in statically either.
  std::string symbols = Run("nm", "");
  for (const char *runtime : {"__cxa_", "_Unwind_", "__gxx_personality", "_Znwm", "_ZdlPv",
                              "__mingw", "atexit"}) {
    EXPECT_EQ(symbols.find(runtime), std::string::npos) << runtime << " linked in";
  }
}

TEST_F(DriverImage, ChecksumIsCorrect) {
  Bytes image = ReadFileBytes(path_);
  ASSERT_GT(image.size(), 0x40u);
  uint32_t peOffset;
  memcpy(&peOffset, &image[0x3C], 4);
  ASSERT_LT(size_t(peOffset) + 24 + 68, image.size());
  ASSERT_EQ(memcmp(&image[peOffset], "PE\0\0", 4), 0);
  size_t checksumOffset = peOffset + 24 + 64;
  uint32_t stored;
  memcpy(&stored, &image[checksumOffset], 4);

  uint64_t dumped = 0;
  ASSERT_TRUE(HeaderField(Run("objdump", "-p"), "CheckSum", &dumped));
  EXPECT_EQ(dumped, stored);
  EXPECT_NE(stored, 0u) << "no checksum written";
  EXPECT_EQ(stored, ComputePeChecksum(image, checksumOffset));
}

}  // namespace
}  // namespace dorvane::test
