// dorvane.sys carries the unwind tables x64 Windows walks stacks with: an
// exception directory (.pdata) whose entries cover every function that
// calls out or moves the stack pointer, each pointing at version-1 unwind
// information (.xdata) inside the image. Without them the kernel cannot
// dispatch an exception through the driver or trace a bug check past it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "support/file_bytes.h"

namespace dorvane::test {
namespace {

std::string KernelImagePath() {
  const char *path = getenv("DORVANE_KERNEL_IMAGE");
  return path != nullptr ? path : DORVANE_SOURCE_DIR "/build-win/dorvane.sys";
}

uint32_t Le32(const Bytes &bytes, size_t offset) {
  uint32_t value = 0;
  if (offset + 4 <= bytes.size()) memcpy(&value, &bytes[offset], 4);
  return value;
}
uint16_t Le16(const Bytes &bytes, size_t offset) {
  uint16_t value = 0;
  if (offset + 2 <= bytes.size()) memcpy(&value, &bytes[offset], 2);
  return value;
}

struct PeImage {
  Bytes bytes;
  uint64_t imageBase = 0;
  uint32_t exceptionRva = 0, exceptionSize = 0;
  struct Section {
    uint32_t rva, virtualSize, rawOffset, rawSize;
  };
  std::vector<Section> sections;

  // File offset of an RVA, or 0 when no section holds it in the file.
  size_t FileOffset(uint32_t rva, uint32_t length) const {
    for (const Section &s : sections) {
      if (rva >= s.rva && uint64_t(rva) + length <= uint64_t(s.rva) + s.rawSize) {
        return s.rawOffset + (rva - s.rva);
      }
    }
    return 0;
  }
};

bool ParsePe(const std::string &path, PeImage *pe) {
  pe->bytes = ReadFileBytes(path);
  const Bytes &b = pe->bytes;
  uint32_t peOffset = Le32(b, 0x3C);
  if (b.size() < 0x40 || peOffset + 24 + 112 + 16 * 8 > b.size() ||
      memcmp(&b[peOffset], "PE\0\0", 4) != 0 || Le16(b, peOffset + 24) != 0x20B) {
    return false;
  }
  uint16_t sectionCount = Le16(b, peOffset + 6);
  uint16_t optionalSize = Le16(b, peOffset + 20);
  size_t optional = peOffset + 24;
  memcpy(&pe->imageBase, &b[optional + 24], 8);
  if (Le32(b, optional + 108) <= 3) return false;
  pe->exceptionRva = Le32(b, optional + 112 + 3 * 8);
  pe->exceptionSize = Le32(b, optional + 112 + 3 * 8 + 4);
  size_t table = optional + optionalSize;
  for (uint16_t i = 0; i < sectionCount; ++i) {
    size_t entry = table + 40 * i;
    if (entry + 40 > b.size()) return false;
    pe->sections.push_back({Le32(b, entry + 12), Le32(b, entry + 8), Le32(b, entry + 20),
                            Le32(b, entry + 16)});
  }
  return true;
}

// Functions of the disassembly by start RVA, and whether each needs unwind
// data: it calls out, pushes, or moves the stack pointer.
std::map<uint32_t, std::pair<std::string, bool>> NonLeafFunctions(const std::string &path,
                                                                 uint64_t imageBase) {
  std::string dump;
  EXPECT_EQ(RunShell("x86_64-w64-mingw32-objdump -d --no-show-raw-insn '" + path + "'", &dump), 0);
  std::map<uint32_t, std::pair<std::string, bool>> functions;
  std::istringstream lines(dump);
  std::string line;
  uint32_t current = 0;
  bool inFunction = false;
  while (std::getline(lines, line)) {
    size_t open = line.find(" <"), close = line.rfind(">:");
    if (open != std::string::npos && close != std::string::npos && line[0] != ' ') {
      current = uint32_t(std::stoull(line.substr(0, open), nullptr, 16) - imageBase);
      functions[current] = {line.substr(open + 2, close - open - 2), false};
      inFunction = true;
      continue;
    }
    if (!inFunction) continue;
    bool changesStack = line.find("\tcall") != std::string::npos ||
                        line.find("\tpush") != std::string::npos ||
                        line.find(",%rsp") != std::string::npos;
    if (changesStack) functions[current].second = true;
  }
  return functions;
}

TEST(DriverUnwind, EveryNonLeafFunctionHasUnwindInformation) {
  std::string path = KernelImagePath();
  PeImage pe;
  if (!ParsePe(path, &pe)) {
    if (getenv("DORVANE_SKIP_KERNEL_IMAGE_TEST") != nullptr) GTEST_SKIP() << path << " not built";
    FAIL() << path << " is missing or not a PE32+ image; build it with the kernel build";
  }
  ASSERT_GT(pe.exceptionSize, 0u) << "no exception directory (.pdata)";
  ASSERT_EQ(pe.exceptionSize % 12, 0u);
  size_t table = pe.FileOffset(pe.exceptionRva, pe.exceptionSize);
  ASSERT_NE(table, 0u) << "exception directory outside the file's sections";

  struct Range {
    uint32_t begin, end;
  };
  std::vector<Range> covered;
  for (uint32_t i = 0; i < pe.exceptionSize / 12; ++i) {
    uint32_t begin = Le32(pe.bytes, table + 12 * i);
    uint32_t end = Le32(pe.bytes, table + 12 * i + 4);
    uint32_t unwind = Le32(pe.bytes, table + 12 * i + 8);
    EXPECT_LT(begin, end) << "entry " << i;
    size_t info = pe.FileOffset(unwind & ~1u, 4);
    ASSERT_NE(info, 0u) << "entry " << i << ": unwind information outside the image";
    EXPECT_EQ(pe.bytes[info] & 7, 1) << "entry " << i << ": unwind information version";
    covered.push_back({begin, end});
  }

  auto functions = NonLeafFunctions(path, pe.imageBase);
  size_t nonLeaf = 0;
  for (const auto &[rva, function] : functions) {
    if (!function.second) continue;
    ++nonLeaf;
    bool found = false;
    for (const Range &range : covered) found = found || (rva >= range.begin && rva < range.end);
    EXPECT_TRUE(found) << function.first << " at RVA " << std::hex << rva << " has no .pdata entry";
  }
  EXPECT_GT(nonLeaf, 10u) << "the disassembly was not read";
}

}  // namespace
}  // namespace dorvane::test
