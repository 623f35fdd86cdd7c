// The kernel build's dorvane.sys for the tests that inspect it.
#include "support/kernel_image.h"

#include <cstdlib>
#include <fstream>

#include "support/file_bytes.h"

namespace dorvane::test {

std::string KernelImagePath(std::string *why) {
  const char *named = getenv("DORVANE_KERNEL_IMAGE");
  std::string path = named != nullptr ? named : DORVANE_SOURCE_DIR "/build-win/dorvane.sys";
  if (std::ifstream(path).good()) return path;
  *why = path + " is missing: build it first (cmake -S . -B build-win "
                "-DCMAKE_TOOLCHAIN_FILE=cmake/windows-kernel.cmake) or set DORVANE_KERNEL_IMAGE";
  return "";
}

std::string KernelObjdump(const std::string &arguments, const std::string &path) {
  std::string output;
  RunShell("x86_64-w64-mingw32-objdump " + arguments + " '" + path + "'", &output);
  return output;
}

}  // namespace dorvane::test
