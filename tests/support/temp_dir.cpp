// Temporary folders for tests.
#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "host/host_kernel.h"

namespace dorvane::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "dorvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

void TempDirTest::SetUp() {
  host::ResetForTest();
  dir_ = std::make_unique<TempDir>();
}

void TempDirTest::TearDown() {
  dir_.reset();
  host::ResetForTest();
}

}  // namespace dorvane::test
