// Byte-exact cross-check of dynamic images with an independent reader and
// writer: images qemu-img makes are written by the block engine and read back
// by qemu-img exactly as a raw file given the same writes, and images qemu-img
// fills read through the engine as the raw file they came from.
#include <cstdio>

#include "engine_fixture.h"

namespace dorvane::test {
namespace {

class EngineQemuTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    if (!HaveProgram("qemu-img")) {
      GTEST_SKIP() << "qemu-img is not installed";
    }
  }

  // The virtual disk as qemu-img reads it.
  Bytes QemuRead(const std::string &image) {
    std::string raw = File("qemu-read.raw");
    std::remove(raw.c_str());
    EXPECT_EQ(0, RunShell("qemu-img convert -f vpc -O raw " + image + " " + raw));
    Bytes bytes = ReadFileBytes(raw);
    std::remove(raw.c_str());
    return bytes;
  }

  // Writes of every kind through the engine, mirrored in model; the writes
  // end at the disk's end as a client's would.
  void WriteMix(Bytes *model) {
    const uint64_t size = model->size();
    const uint64_t block = image_->BlockSize;
    struct Step {
      uint64_t offset;
      uint64_t length;
      int payload;  // 0 data, 1 zeros
    } steps[] = {
        {0, 512, 0},
        {4095, 3, 0},                   // allocates and writes across sectors
        {block - 1000, 5000, 0},        // across a block boundary
        {3 * block + 123, 77777, 0},
        {5 * block, block, 0},          // a whole block
        {size - 700, 700, 0},           // the disk's last bytes
        {7 * block + 1, 3, 1},          // zeros failing the zero test: allocates
        {block, block, 1},              // releases block 1, the last block moves
        {3 * block, 65536, 1},          // zeros keeping data
        {0, block, 1},                  // releases block 0
        {2 * block + 4096, 8192, 0},
        {5 * block, block, 1},          // releases block 5
        {8 * block - 8, 16, 0},
    };
    uint32_t seed = 20;
    for (const Step &step : steps) {
      if (step.offset >= size) {
        continue;
      }
      uint64_t length = std::min(step.length, size - step.offset);
      Bytes data = step.payload == 0 ? PatternBytes(length, seed++) : Bytes(length, 0);
      TransferResult result = Write(step.offset, data);
      ASSERT_EQ(STATUS_SUCCESS, result.status) << step.offset;
      ASSERT_EQ(length, result.moved) << step.offset;
      Splice(model, step.offset, data);
    }
  }

  void ExpectSameDisk(const Bytes &model, const Bytes &theirs) {
    ASSERT_GE(theirs.size(), model.size());
    EXPECT_TRUE(Slice(theirs, 0, model.size()) == model) << "qemu-img reads other data";
    // A disk size rounded by the reader's geometry reads zeros behind ours.
    EXPECT_TRUE(std::all_of(theirs.begin() + long(model.size()), theirs.end(),
                            [](uint8_t b) { return b == 0; }));
  }
};

TEST_F(EngineQemuTest, TheirEmptyImagesWrittenByUsReadBackAsRaw) {
  for (const char *options : {"", ",force_size=on"}) {
    SCOPED_TRACE(options);
    std::remove(path_.c_str());
    ASSERT_EQ(0, RunShell(std::string("qemu-img create -q -f vpc -o subformat=dynamic") +
                          options + " " + path_ + " 20M"));
    OpenImage();
    // The footer's Current Size is the disk's size, whatever was asked.
    Bytes model(uint64_t(image_->DiskSize), 0);
    WriteMix(&model);
    ExpectPoolSettled();
    EXPECT_TRUE(model == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
    EXPECT_EQ("", CheckCompact(path_));
    ExpectSameDisk(model, QemuRead(path_));
  }
}

TEST_F(EngineQemuTest, TheirFilledImagesReadAndWriteLikeTheRawFile) {
  // A raw disk with data in some blocks, zeros in others; qemu-img allocates
  // only the blocks with data.
  std::string raw = File("source.raw");
  const uint64_t size = 16ull << 20;
  Bytes model(size, 0);
  for (uint64_t block : {0ull, 2ull, 3ull, 6ull}) {
    Splice(&model, (block << 21) + 4096 * block, PatternBytes(300000, uint32_t(block)));
  }
  WriteFileBytes(raw, model);
  ASSERT_EQ(0, RunShell("qemu-img convert -f raw -O vpc -o subformat=dynamic " + raw + " " +
                        path_));
  OpenImage();
  uint64_t diskSize = uint64_t(image_->DiskSize);
  ASSERT_GE(diskSize, size);
  model.resize(diskSize, 0);
  EXPECT_TRUE(model == ReadDiskThroughEngine(image_.Get()));

  // Releases move their blocks about; qemu-img must still read every byte.
  WriteMix(&model);
  EXPECT_TRUE(model == ReadDiskThroughEngine(image_.Get()));
  image_.Close();
  ExpectSameDisk(model, QemuRead(path_));
  OpenImage();
  EXPECT_TRUE(model == ReadDiskThroughEngine(image_.Get()));
}

}  // namespace
}  // namespace dorvane::test
