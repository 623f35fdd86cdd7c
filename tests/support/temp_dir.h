// A fresh folder for each test, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace dorvane::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &Path() const { return path_; }
  // Path of name inside the folder.
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Fixture with a temporary folder and host kernel state reset around each test.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string File(const std::string &name) const { return dir_->File(name); }
  const std::string &DirPath() const { return dir_->Path(); }

 private:
  std::unique_ptr<TempDir> dir_;
};

}  // namespace dorvane::test
