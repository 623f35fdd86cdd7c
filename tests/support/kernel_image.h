// The kernel build's product for the tests that inspect it: the path of
// dorvane.sys (DORVANE_KERNEL_IMAGE, else build-win/dorvane.sys in the source
// tree) and the toolchain's objdump over it.
#pragma once

#include <string>

namespace dorvane::test {

// The path of dorvane.sys; empty, with *why saying so, when it is not built.
std::string KernelImagePath(std::string *why);

// x86_64-w64-mingw32-objdump ARGUMENTS PATH; its standard output.
std::string KernelObjdump(const std::string &arguments, const std::string &path);

}  // namespace dorvane::test

// The path of dorvane.sys into `path`, or the test ends: skipped when
// DORVANE_SKIP_KERNEL_IMAGE_TEST is set, failed otherwise.
#define REQUIRE_KERNEL_IMAGE(path)                                              \
  std::string path;                                                             \
  do {                                                                          \
    std::string why_;                                                           \
    path = ::dorvane::test::KernelImagePath(&why_);                             \
    if (path.empty()) {                                                         \
      if (getenv("DORVANE_SKIP_KERNEL_IMAGE_TEST") != nullptr) GTEST_SKIP() << why_; \
      FAIL() << why_;                                                           \
    }                                                                           \
  } while (0)
