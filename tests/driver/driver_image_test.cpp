// The kernel build's product, dorvane.sys, as the Windows loader will judge
// it: a PE32+ image for the native subsystem, entered at DriverEntry,
// importing from the kernel and the HAL only, without any C++ runtime, and
// with a correct image checksum (recomputed here independently of the build
// step that writes it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "support/file_bytes.h"

namespace dorvane::test {
namespace {

// The image the CI script builds before the host tests; DORVANE_KERNEL_IMAGE
// names another.
TEST(DriverImage, IsANativeKernelDriverWithACorrectChecksum) {
  const char *named = getenv("DORVANE_KERNEL_IMAGE");
  std::string path = named != nullptr ? named : DORVANE_SOURCE_DIR "/build-win/dorvane.sys";
  if (FILE *file = fopen(path.c_str(), "rb")) {
    fclose(file);
  } else if (getenv("DORVANE_SKIP_KERNEL_IMAGE_TEST") != nullptr) {
    GTEST_SKIP() << path << " not built (DORVANE_SKIP_KERNEL_IMAGE_TEST is set)";
  } else {
    FAIL() << path << " is missing: build it first (cmake -S . -B build-win "
           << "-DCMAKE_TOOLCHAIN_FILE=cmake/windows-kernel.cmake) or set DORVANE_KERNEL_IMAGE";
  }
  std::string dump, symbols;
  ASSERT_EQ(RunShell("x86_64-w64-mingw32-objdump -p '" + path + "'", &dump), 0);
  ASSERT_EQ(RunShell("x86_64-w64-mingw32-nm '" + path + "'", &symbols), 0);
  auto field = [&](const std::string &name) {
    std::smatch match;
    EXPECT_TRUE(std::regex_search(dump, match, std::regex("\n" + name + "\\s+([0-9a-fA-F]+)")))
        << name;
    return match.empty() ? 0 : std::stoull(match[1], nullptr, 16);
  };
  EXPECT_EQ(field("Magic"), 0x20bu) << "not PE32+";
  EXPECT_EQ(field("Subsystem"), 1u) << "not the native subsystem";
  std::smatch entry;
  ASSERT_TRUE(std::regex_search(symbols, entry, std::regex("([0-9a-f]+) T DriverEntry\n")));
  EXPECT_EQ(std::stoull(entry[1], nullptr, 16), field("ImageBase") + field("AddressOfEntryPoint"));

  const std::regex dll("DLL Name: (\\S+)");
  for (auto it = std::sregex_iterator(dump.begin(), dump.end(), dll); it != std::sregex_iterator();
       ++it) {
    EXPECT_TRUE((*it)[1] == "ntoskrnl.exe" || (*it)[1] == "HAL.dll") << "imports from " << (*it)[1];
  }
  for (const char *runtime : {"__cxa_", "_Unwind_", "__gxx_personality", "_Znwm", "_ZdlPv",
                              "__mingw", "atexit"}) {
    EXPECT_EQ(symbols.find(runtime), std::string::npos) << runtime << " linked in";
  }

  // The PE checksum: 16-bit little-endian words with carries folded in, the
  // CheckSum field itself counted as zero, plus the file length.
  Bytes image = ReadFileBytes(path);
  uint32_t peOffset;
  memcpy(&peOffset, &image[0x3C], 4);
  size_t checksumOffset = peOffset + 24 + 64;
  uint64_t sum = 0;
  for (size_t i = 0; i < image.size(); i += 2) {
    bool inField = i >= checksumOffset && i < checksumOffset + 4;
    sum += inField ? 0 : image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  EXPECT_NE(field("CheckSum"), 0u) << "no checksum written";
  EXPECT_EQ(field("CheckSum"), ((sum & 0xFFFF) + (sum >> 16)) + image.size());
}

}  // namespace
}  // namespace dorvane::test
