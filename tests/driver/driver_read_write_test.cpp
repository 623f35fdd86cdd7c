// Read and write requests through the device: ranges cut at the end of the
// virtual disk, zero-length requests, the position advanced by the byte
// count, the platform's negative offsets, and the mapping of the request's
// buffer.
#include <gtest/gtest.h>

#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kDiskSize = 1ull << 20;

class DriverReadWrite : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path_ = File("disk.vhd");
    MakeFixedImage(path_, kDiskSize);
    content_ = PatternBytes(kDiskSize, 11);
    PokeFile(path_, 0, content_);
  }

  Bytes Content(uint64_t offset, size_t length) const {
    return Bytes(content_.begin() + offset, content_.begin() + offset + length);
  }

  static int64_t Position(const host::DeviceFile &file) {
    return file.FileObject()->CurrentByteOffset.QuadPart;
  }

  std::string path_;
  Bytes content_;
};

TEST_F(DriverReadWrite, ReadsAreCutAtTheEndOfTheDisk) {
  struct Case {
    int64_t offset;
    ULONG length;
    ULONG moved;
  } cases[] = {
      {0, 4096, 4096},                           // 0: inside
      {1048000, 4096, 576},                      // 1: crossing the end
      {int64_t(kDiskSize) - 1, 2, 1},            // 2: last byte
      {int64_t(kDiskSize), 4096, 0},             // 3: at the end
      {2000000, 4096, 0},                        // 4: beyond
      {INT64_MAX, 4096, 0},                      // 5: far beyond
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case &c = cases[i];
    host::DeviceFile file = OpenImageOrFail(path_);
    Bytes buffer(c.length, 0xCC);
    IO_STATUS_BLOCK status = file.ReadAt(buffer.data(), c.length, c.offset);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    ASSERT_EQ(status.Information, c.moved);
    if (c.moved != 0) {
      EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.moved), Content(c.offset, c.moved));
    }
    EXPECT_EQ(Bytes(buffer.begin() + c.moved, buffer.end()), Bytes(c.length - c.moved, 0xCC))
        << "nothing written past the bytes moved";
    EXPECT_EQ(Position(file), int64_t(c.moved));
  }
}

TEST_F(DriverReadWrite, WritesAreCutAtTheEndAndNeverReachTheFooter) {
  Bytes footer = ReadFooter(path_);
  host::DeviceFile file = OpenImageOrFail(path_);
  Bytes data(4096, 0xAB);
  IO_STATUS_BLOCK status = file.WriteAt(data.data(), 4096, int64_t(kDiskSize) - 1000);
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, 1000u);
  EXPECT_EQ(PeekFile(path_, kDiskSize - 1000, 1000), Bytes(1000, 0xAB));
  EXPECT_EQ(ReadFooter(path_), footer);
  EXPECT_EQ(FileSize(path_), kDiskSize + 512);
}

TEST_F(DriverReadWrite, ZeroLengthRequestsNeedNoBuffer) {
  host::DeviceFile file = OpenImageOrFail(path_);
  uint64_t mappings = host::MappingCount();
  host::ResetFileCallCounts();
  for (IO_STATUS_BLOCK status : {file.ReadAt(nullptr, 0, 512), file.WriteAt(nullptr, 0, 512),
                                 file.Read(nullptr, 0), file.Write(nullptr, 0)}) {
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 0u);
  }
  EXPECT_EQ(host::MappingCount(), mappings);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Read) + host::FileCallCount(host::FileCall::Write),
            0u);
  EXPECT_EQ(Position(file), 0);
}

TEST_F(DriverReadWrite, PositionAdvancesByTheCountOnly) {
  host::DeviceFile file = OpenImageOrFail(path_);
  Bytes buffer(100);
  // An explicit offset does not set the position; the count is added to it.
  ASSERT_EQ(file.ReadAt(buffer.data(), 100, 5000).Information, 100u);
  EXPECT_EQ(Position(file), 100);
  // Requests at the position continue from there.
  ASSERT_EQ(file.Read(buffer.data(), 100).Information, 100u);
  EXPECT_EQ(buffer, Content(100, 100));
  EXPECT_EQ(Position(file), 200);
  Bytes data(50, 0x11);
  ASSERT_EQ(file.Write(data.data(), 50).Information, 50u);
  EXPECT_EQ(PeekFile(path_, 200, 50), data);
  EXPECT_EQ(Position(file), 250);

  // A short transfer moves the position by what it moved.
  host::InjectFileFault(host::FileCall::Read, 1, host::FileFault::ShortTo(30));
  IO_STATUS_BLOCK shortRead = file.Read(buffer.data(), 100);
  EXPECT_EQ(shortRead.Status, STATUS_SUCCESS);
  EXPECT_EQ(shortRead.Information, 30u);
  EXPECT_EQ(Position(file), 280);

  // A failed one that moved nothing leaves it.
  host::InjectFileFault(host::FileCall::Write, 1, host::FileFault::Fail(STATUS_DISK_FULL));
  IO_STATUS_BLOCK failed = file.Write(data.data(), 50);
  EXPECT_EQ(failed.Status, STATUS_DISK_FULL);
  EXPECT_EQ(failed.Information, 0u);
  EXPECT_EQ(Position(file), 280);

  // Past the end nothing moves, and neither does the position.
  file.FileObject()->CurrentByteOffset.QuadPart = int64_t(kDiskSize);
  EXPECT_EQ(file.Read(buffer.data(), 100).Information, 0u);
  EXPECT_EQ(Position(file), int64_t(kDiskSize));
}

// The kernel's special offsets (write at end of file -1, use the file
// position -2) and any other negative offset never reach the image file.
TEST_F(DriverReadWrite, NegativeOffsetsAreRefused) {
  host::DeviceFile overlapped = OpenImageOrFail(path_, OverlappedOpen());
  Bytes buffer(512, 0x77);
  host::ResetFileCallCounts();
  for (int64_t offset : {int64_t(-1), int64_t(-2), int64_t(-512), INT64_MIN}) {
    SCOPED_TRACE(offset);
    for (IO_STATUS_BLOCK status : {overlapped.ReadAt(buffer.data(), 512, offset),
                                   overlapped.WriteAt(buffer.data(), 512, offset)}) {
      EXPECT_EQ(status.Status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(status.Information, 0u);
    }
  }
  EXPECT_EQ(host::FileCallCount(host::FileCall::Read) + host::FileCallCount(host::FileCall::Write),
            0u);
  EXPECT_EQ(Position(overlapped), 0);
  EXPECT_EQ(PeekFile(path_, 0, kDiskSize), content_);
}

TEST_F(DriverReadWrite, BuffersAreMappedOnlyWhenTheyHaveNoSystemAddress) {
  host::DeviceFile file = OpenImageOrFail(path_);
  Bytes buffer(4096);
  uint64_t mappings = host::MappingCount();
  ASSERT_EQ(file.ReadAt(buffer.data(), 4096, 8192).Information, 4096u);
  EXPECT_EQ(host::MappingCount(), mappings + 1);
  EXPECT_EQ(buffer, Content(8192, 4096));

  Bytes data(4096, 0x3C);
  ASSERT_EQ(file.WriteAt(data.data(), 4096, 8192, host::MdlMapping::MappedToSystem).Information,
            4096u);
  ASSERT_EQ(file.ReadAt(buffer.data(), 4096, 8192, host::MdlMapping::MappedToSystem).Information,
            4096u);
  EXPECT_EQ(host::MappingCount(), mappings + 1) << "an existing system address is reused";
  EXPECT_EQ(buffer, data);
  EXPECT_EQ(PeekFile(path_, 8192, 4096), data);
}

TEST_F(DriverReadWrite, UnmappableBufferMovesNothing) {
  host::DeviceFile file = OpenImageOrFail(path_);
  Bytes data(4096, 0x99);
  host::ResetFileCallCounts();
  host::FailMapping(1);
  IO_STATUS_BLOCK status = file.WriteAt(data.data(), 4096, 0);
  EXPECT_EQ(status.Status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(status.Information, 0u);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
  EXPECT_EQ(Position(file), 0);
  EXPECT_EQ(PeekFile(path_, 0, 4096), Content(0, 4096));
}

// Each create opens its own chain; the image file is never shared for
// writing, so a second client cannot open it while a writer has it open.
TEST_F(DriverReadWrite, AWriterKeepsOtherClientsOut) {
  host::DeviceFile writer = OpenImageOrFail(path_, SynchronousOpen());
  Bytes data = PatternBytes(3000, 99);
  ASSERT_EQ(writer.WriteAt(data.data(), 3000, 70000).Information, 3000u);

  host::OpenParameters readOnly = SynchronousOpen(kReadOnlyAccess);
  readOnly.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
  host::DeviceFile reader;
  EXPECT_EQ(OpenImage(path_, readOnly, &reader).Status, STATUS_SHARING_VIOLATION);
  writer.Close();

  ASSERT_EQ(OpenImage(path_, readOnly, &reader).Status, STATUS_SUCCESS);
  Bytes buffer(3000);
  ASSERT_EQ(reader.ReadAt(buffer.data(), 3000, 70000).Information, 3000u);
  EXPECT_EQ(buffer, data);
}

}  // namespace
}  // namespace dorvane::test
