// The kernel build's product, dorvane.sys, as the Windows loader will judge
// it: a PE32+ image for the native subsystem, entered at DriverEntry,
// importing from the kernel and the HAL only, without any C++ runtime, and
// with a correct image checksum (recomputed here independently of the build
// step that writes it).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "support/file_bytes.h"
#include "support/kernel_image.h"

namespace dorvane::test {
namespace {

TEST(DriverImage, IsANativeKernelDriverWithACorrectChecksum) {
  REQUIRE_KERNEL_IMAGE(path);
  std::string dump, symbols;
  ASSERT_EQ(RunShell("x86_64-w64-mingw32-objdump -p '" + path + "'", &dump), 0);
  ASSERT_EQ(RunShell("x86_64-w64-mingw32-nm '" + path + "'", &symbols), 0);
  // The hexadecimal header fields of objdump's "Name value" lines, and the
  // imported DLLs of its "DLL Name: x" lines.
  std::map<std::string, uint64_t> field;
  std::istringstream lines(dump);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name, value, dll;
    words >> name >> value >> dll;
    if (name == "DLL" && value == "Name:") {
      EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "HAL.dll") << "imports from " << dll;
    } else if (!value.empty() && value.find_first_not_of("0123456789abcdef") == std::string::npos) {
      field.emplace(name, std::stoull(value, nullptr, 16));
    }
  }
  EXPECT_EQ(field["Magic"], 0x20bu) << "not PE32+";
  EXPECT_EQ(field["Subsystem"], 1u) << "not the native subsystem";
  size_t entry = symbols.find(" T DriverEntry\n");
  ASSERT_NE(entry, std::string::npos) << "no DriverEntry symbol";
  size_t start = symbols.rfind('\n', entry) + 1;  // npos + 1 is 0
  EXPECT_EQ(std::stoull(symbols.substr(start, entry - start), nullptr, 16),
            field["ImageBase"] + field["AddressOfEntryPoint"]);
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
  EXPECT_NE(field["CheckSum"], 0u) << "no checksum written";
  EXPECT_EQ(field["CheckSum"], ((sum & 0xFFFF) + (sum >> 16)) + image.size());
}

}  // namespace
}  // namespace dorvane::test
