// Transfers of fixed images: the range check of client requests and the
// byte-exact path to the image file.
#include <gtest/gtest.h>

#include "host/host_kernel.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

class ImageTransferTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = File("fixed.vhd");
    MakeFixedImage(path_, kMiB);
    ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_));
  }
  void TearDown() override {
    image_.Close();
    TempDirTest::TearDown();
  }

  std::string path_;
  OpenedImage image_;
};

TEST_F(ImageTransferTest, DiskTransferClampsToTheVirtualDisk) {
  struct Case {
    int64_t offset;
    uint32_t length;
    NTSTATUS status;
    uint32_t moved;
  } cases[] = {
      {0, 4096, STATUS_SUCCESS, 4096},
      {1048000, 4096, STATUS_SUCCESS, 576},
      {1048576, 4096, STATUS_SUCCESS, 0},
      {2000000, 4096, STATUS_SUCCESS, 0},
      {4096, 0, STATUS_SUCCESS, 0},
      {-1, 4096, STATUS_INVALID_PARAMETER, 0},
      {-2, 4096, STATUS_INVALID_PARAMETER, 0},
  };
  Bytes buffer(4096);
  for (const Case &c : cases) {
    host::ResetFileCallCounts();
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Information = 12345;
    NTSTATUS status =
        TransferThroughDisk(image_.Get(), IRP_MJ_READ, c.offset, buffer.data(), c.length, &ioStatus);
    EXPECT_EQ(c.status, status) << c.offset;
    EXPECT_EQ(c.status, ioStatus.Status) << c.offset;
    EXPECT_EQ(c.moved, ioStatus.Information) << c.offset;
    EXPECT_EQ(c.moved == 0 ? 0u : 1u, host::FileCallCount(host::FileCall::Read)) << c.offset;
  }
}

TEST_F(ImageTransferTest, WritesNeverReachTheFooter) {
  Bytes footer = ReadFooter(path_);
  Bytes data = PatternBytes(8192, 7);
  IO_STATUS_BLOCK ioStatus{};
  ASSERT_EQ(STATUS_SUCCESS, TransferThroughDisk(image_.Get(), IRP_MJ_WRITE, kMiB - 4096,
                                                data.data(), 8192, &ioStatus));
  EXPECT_EQ(4096u, ioStatus.Information);
  EXPECT_EQ(footer, ReadFooter(path_));
  EXPECT_EQ(kMiB + 512, FileSize(path_));
  Bytes back = PeekFile(path_, kMiB - 4096, 4096);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
}

TEST_F(ImageTransferTest, ByteXOfTheDiskIsByteXOfTheFile) {
  Bytes data = PatternBytes(10000, 3);
  uint32_t moved = 0;
  ASSERT_EQ(STATUS_SUCCESS, image_.Write(12345, data.data(), uint32_t(data.size()), &moved));
  EXPECT_EQ(data.size(), moved);
  EXPECT_EQ(data, PeekFile(path_, 12345, data.size()));
  Bytes back(data.size());
  ASSERT_EQ(STATUS_SUCCESS, image_.Read(12345, back.data(), uint32_t(back.size()), &moved));
  EXPECT_EQ(data, back);
}

TEST_F(ImageTransferTest, ImageFileFailuresAndShortCountsArePassedUp) {
  Bytes buffer(4096);
  host::InjectFileFault(host::FileCall::Read, 1, host::FileFault::Fail(STATUS_IO_DEVICE_ERROR));
  uint32_t moved = 99;
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, image_.Read(0, buffer.data(), 4096, &moved));
  EXPECT_EQ(0u, moved);
  host::ClearFaults();
  host::InjectFileFault(host::FileCall::Write, 1, host::FileFault::ShortBy(100));
  EXPECT_EQ(STATUS_SUCCESS, image_.Write(0, buffer.data(), 4096, &moved));
  EXPECT_EQ(3996u, moved);
}

TEST_F(ImageTransferTest, FlushAndReopenForWrite) {
  IO_STATUS_BLOCK ioStatus{};
  EXPECT_EQ(STATUS_SUCCESS, FlushImageFile(image_->ImageHandle, &ioStatus));
  EXPECT_EQ(STATUS_SUCCESS, FlushImageChain(image_.Get()));

  // A reader elsewhere keeps the unshared reopen for writing out; the record
  // is left without a handle and the message names the status.
  ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_, GENERIC_READ, FILE_SHARE_READ));
  OpenedImage other;
  ASSERT_EQ(STATUS_SUCCESS, other.Open(path_, GENERIC_READ, FILE_SHARE_READ));
  host::ClearDebugOutput();
  EXPECT_EQ(STATUS_SHARING_VIOLATION, ReopenImageForWrite(image_.Get()));
  EXPECT_EQ(nullptr, image_->ImageHandle);
  EXPECT_EQ(nullptr, image_->ImageFileObject);
  ASSERT_EQ(1u, host::DebugOutput().size());
  EXPECT_EQ("Image reopen result: 0xc0000043.\n", host::DebugOutput()[0]);
  other.Close();
  EXPECT_EQ(STATUS_SUCCESS, ReopenImageForWrite(image_.Get()));
  EXPECT_NE(nullptr, image_->ImageFileObject);
  Bytes data = PatternBytes(512, 9);
  EXPECT_EQ(STATUS_SUCCESS, image_.Write(0, data.data(), 512));
}

TEST_F(ImageTransferTest, MatchesAnIndependentReaderOnItsOwnImages) {
  if (!HaveProgram("qemu-img")) {
    GTEST_SKIP() << "qemu-img is not installed";
  }
  image_.Close();
  std::string theirs = File("theirs.vhd");
  ASSERT_EQ(0, RunShell("qemu-img create -q -f vpc -o subformat=fixed " + theirs + " 8M"));
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(theirs));
  uint64_t size = uint64_t(image->DiskSize);
  Bytes model(size, 0);
  struct Write {
    uint64_t offset;
    uint32_t length;
  } writes[] = {{0, 512}, {4095, 3}, {1 << 20, 65536}, {size - 700, 700}, {777777, 123456}};
  uint32_t seed = 1;
  for (const Write &w : writes) {
    Bytes data = PatternBytes(w.length, seed++);
    ASSERT_EQ(STATUS_SUCCESS, image.Write(w.offset, data.data(), w.length));
    std::copy(data.begin(), data.end(), model.begin() + long(w.offset));
  }
  Bytes back(size);
  ASSERT_EQ(STATUS_SUCCESS, image.Read(0, back.data(), uint32_t(size)));
  EXPECT_EQ(model, back);
  image.Close();

  std::string raw = File("theirs.raw");
  ASSERT_EQ(0, RunShell("qemu-img convert -f vpc -O raw " + theirs + " " + raw));
  Bytes converted = ReadFileBytes(raw);
  converted.resize(size);
  EXPECT_EQ(model, converted);
}

}  // namespace
}  // namespace dorvane::test
