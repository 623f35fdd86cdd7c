// Byte-exact cross-check of dynamic images with an independent reader and
// writer: images that qemu-img makes (empty, or converted from a raw disk)
// read through the engine as their raw disk, take writes of every kind, and
// then read back by qemu-img exactly as the raw disk given the same writes.
#include <cstdio>

#include "engine_fixture.h"

namespace dorvane::test {
namespace {

using EngineQemuTest = EngineTest;

TEST_F(EngineQemuTest, TheirImagesWrittenByUsReadAsTheRawDisk) {
  if (!HaveProgram("qemu-img")) {
    GTEST_SKIP() << "qemu-img is not installed";
  }
  const std::string raw = File("disk.raw");
  const std::string makers[] = {
      /* 0 */ "qemu-img create -q -f vpc -o subformat=dynamic " + path_ + " 20M",
      /* 1 */ "qemu-img create -q -f vpc -o subformat=dynamic,force_size=on " + path_ + " 20M",
      /* 2 */ "qemu-img convert -f raw -O vpc -o subformat=dynamic " + raw + " " + path_};
  // The raw disk to convert: data in some 2 MiB blocks, zeros in the others.
  Bytes source(16 << 20, 0);
  for (uint32_t block : {0, 2, 3, 6}) {
    Splice(&source, (block << 21) + 4096 * block, PatternBytes(300000, block));
  }
  for (const std::string &maker : makers) {
    SCOPED_TRACE(maker);
    image_.Close();
    std::remove(path_.c_str());
    WriteFileBytes(raw, source);
    ASSERT_EQ(0, RunShell(maker));
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    // The footer's Current Size is the disk's size, whatever was asked.
    disk_ = &maker == &makers[2] ? source : Bytes();
    disk_.resize(uint64_t(image_->DiskSize), 0);
    ASSERT_TRUE(disk_ == ReadDiskThroughEngine(image_.Get()));
    const uint64_t block = image_->BlockSize, size = disk_.size();
    struct Step { uint64_t offset, length; bool data; } steps[] = {
        {0, 512, true},           {4095, 3, true},         {block - 1000, 5000, true},
        {3 * block + 123, 77777, true}, {5 * block, block, true}, {size - 700, 700, true},
        {7 * block + 1, 3, false},  // zeros that fail the zero test allocate
        {block, block, false},      // releases block 1: the last block moves
        {3 * block, 65536, false}, {0, block, false}, {2 * block + 4096, 8192, true},
        {5 * block, block, false}, {8 * block - 8, 16, true},
    };
    for (const Step &step : steps) {
      uint64_t length = std::min(step.length, size - std::min(step.offset, size));
      Bytes data = step.data ? PatternBytes(length, uint32_t(step.offset)) : Bytes(length, 0);
      ASSERT_EQ(STATUS_SUCCESS, Write(step.offset, data)) << step.offset;
      Splice(&disk_, step.offset, data);
    }
    ExpectDisk(disk_, "after the writes");
    image_.Close();
    ASSERT_EQ(0, RunShell("qemu-img convert -f vpc -O raw " + path_ + " " + raw));
    Bytes theirs = ReadFileBytes(raw);
    // A size rounded by the reader's geometry reads zeros behind ours.
    ASSERT_GE(theirs.size(), size);
    EXPECT_TRUE(Slice(theirs, 0, size) == disk_) << "qemu-img reads other data";
    EXPECT_TRUE(Slice(theirs, size, theirs.size() - size) == Bytes(theirs.size() - size, 0));
  }
}

}  // namespace
}  // namespace dorvane::test
