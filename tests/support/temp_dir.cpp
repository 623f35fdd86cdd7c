// Temporary folders for tests.
#include "temp_dir.h"

#include <cstdlib>
#include <filesystem>

#include "host/testing/host_testing.h"

namespace dorvane::test {

void TempDirTest::SetUp() {
  host::ResetForTest();
  path_ = (std::filesystem::temp_directory_path() / "dorvane-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(path_.data()), nullptr) << "mkdtemp failed";
}

void TempDirTest::TearDown() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
  host::ResetForTest();
}

}  // namespace dorvane::test
