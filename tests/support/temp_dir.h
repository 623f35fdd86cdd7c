// A fresh folder for each test, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace dorvane::test {

// Fixture with a temporary folder and host kernel state reset around each test.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Path of name inside the folder.
  std::string File(const std::string &name) const { return path_ + "/" + name; }
  const std::string &DirPath() const { return path_; }

 private:
  std::string path_;
};

}  // namespace dorvane::test
