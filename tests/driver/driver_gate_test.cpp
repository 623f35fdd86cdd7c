// The admission gate seen through read and write requests: overlapping
// readers, a writer alone, refusals at once with STATUS_DEVICE_BUSY, images
// opened without write access, requests above PASSIVE_LEVEL, and the
// consistency assertion. Overlaps are made deterministic by holding a request
// inside the host file system, never by timing.
#include <gtest/gtest.h>

#include <thread>

#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kDiskSize = 1ull << 20;
constexpr ULONG kChunk = 4096;

const char kIrqlMessage[] =
    "Dorvane: Requested lock for I/O work at > PASSIVE_LEVEL. This is not supported by this "
    "driver.\n";
const char kCorruptMessage[] = "Dorvane: I/O synchronization state corrupt.\n";

class DriverGate : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path_ = File("gate.vhd");
    MakeFixedImage(path_, kDiskSize);
    content_ = PatternBytes(kDiskSize, 7);
    PokeFile(path_, 0, content_);
  }

  static void ExpectCountsZero(const host::DeviceFile &file) {
    IMAGE_CONTEXT *image = BoundImage(file);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->SharedCount, 0);
    EXPECT_EQ(image->ExclusiveCount, 0);
  }

  std::string path_;
  Bytes content_;
};

TEST_F(DriverGate, OverlappingReadsAreAdmittedAndAWriteIsRefusedAtOnce) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  IMAGE_CONTEXT *image = BoundImage(file);
  Bytes first(kChunk), second(kChunk);
  IO_STATUS_BLOCK firstStatus{}, secondStatus{};
  {
    FileCallLatch latch(host::FileCall::Read, "gate.vhd", 2);
    std::thread reader1([&] { firstStatus = file.ReadAt(first.data(), kChunk, 0); });
    latch.WaitUntilHeld(1);
    std::thread reader2([&] { secondStatus = file.ReadAt(second.data(), kChunk, kChunk); });
    latch.WaitUntilHeld(2);
    EXPECT_EQ(image->SharedCount, 2);

    host::ResetFileCallCounts();
    Bytes data(kChunk, 0xEE);
    IO_STATUS_BLOCK write = file.WriteAt(data.data(), kChunk, 0);
    EXPECT_EQ(write.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(write.Information, 0u);
    EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
    EXPECT_EQ(image->SharedCount, 2);
    EXPECT_EQ(image->ExclusiveCount, 0);
    latch.Release();
    reader1.join();
    reader2.join();
  }
  EXPECT_EQ(firstStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(secondStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(first, Bytes(content_.begin(), content_.begin() + kChunk));
  EXPECT_EQ(second, Bytes(content_.begin() + kChunk, content_.begin() + 2 * kChunk));
  EXPECT_EQ(PeekFile(path_, 0, kChunk), Bytes(content_.begin(), content_.begin() + kChunk));
  EXPECT_EQ(file.FileObject()->CurrentByteOffset.QuadPart, int64_t(2 * kChunk));
  ExpectCountsZero(file);
}

TEST_F(DriverGate, RequestsDuringAWriteAreRefused) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  IMAGE_CONTEXT *image = BoundImage(file);
  Bytes data(kChunk, 0x5A);
  IO_STATUS_BLOCK writeStatus{};
  {
    FileCallLatch latch(host::FileCall::Write, "gate.vhd", 1);
    std::thread writer([&] { writeStatus = file.WriteAt(data.data(), kChunk, 0); });
    latch.WaitUntilHeld(1);
    EXPECT_EQ(image->ExclusiveCount, 1);
    Bytes buffer(kChunk);
    IO_STATUS_BLOCK read = file.ReadAt(buffer.data(), kChunk, 2 * kChunk);
    EXPECT_EQ(read.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(read.Information, 0u);
    IO_STATUS_BLOCK write = file.WriteAt(buffer.data(), kChunk, 2 * kChunk);
    EXPECT_EQ(write.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(image->ExclusiveCount, 1);
    EXPECT_EQ(image->SharedCount, 0);
    latch.Release();
    writer.join();
  }
  EXPECT_EQ(writeStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(writeStatus.Information, kChunk);
  EXPECT_EQ(PeekFile(path_, 0, kChunk), data);
  EXPECT_EQ(PeekFile(path_, 2 * kChunk, kChunk),
            Bytes(content_.begin() + 2 * kChunk, content_.begin() + 3 * kChunk));
  EXPECT_EQ(file.FileObject()->CurrentByteOffset.QuadPart, int64_t(kChunk))
      << "refused requests leave the position";
  ExpectCountsZero(file);
}

TEST_F(DriverGate, ImageWithoutWriteAccessCountsNothingAndRefusesWrites) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen(kReadOnlyAccess));
  IMAGE_CONTEXT *image = BoundImage(file);
  Bytes first(kChunk), second(kChunk);
  {
    FileCallLatch latch(host::FileCall::Read, "gate.vhd", 2);
    std::thread reader1([&] { file.ReadAt(first.data(), kChunk, 0); });
    std::thread reader2([&] { file.ReadAt(second.data(), kChunk, 0); });
    latch.WaitUntilHeld(2);
    EXPECT_EQ(image->SharedCount, 0);

    // A kernel-mode requester is not held to the handle's access, so the
    // write reaches the driver, which refuses it.
    Bytes data(kChunk, 1);
    IO_STATUS_BLOCK write = file.WriteAt(data.data(), kChunk, 0);
    EXPECT_EQ(write.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(write.Information, 0u);
    latch.Release();
    reader1.join();
    reader2.join();
  }
  EXPECT_EQ(first, second);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
  EXPECT_EQ(PeekFile(path_, 0, kChunk), Bytes(content_.begin(), content_.begin() + kChunk));
  EXPECT_TRUE(host::DebugOutput().empty());
  ExpectCountsZero(file);
}

TEST_F(DriverGate, RequestsAbovePassiveLevelAreRefusedWithMessage) {
  for (ACCESS_MASK access : {kReadWriteAccess, kReadOnlyAccess}) {
    host::DeviceFile file = OpenImageOrFail(path_, SynchronousOpen(access));
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
      SCOPED_TRACE(testing::Message() << "access " << std::hex << access << " major "
                                      << int(major));
      host::ClearDebugOutput();
      host::ResetFileCallCounts();
      Bytes buffer(kChunk, 3);
      host::SetCurrentIrql(APC_LEVEL);
      IO_STATUS_BLOCK status = major == IRP_MJ_READ ? file.ReadAt(buffer.data(), kChunk, 0)
                                                    : file.WriteAt(buffer.data(), kChunk, 0);
      host::SetCurrentIrql(PASSIVE_LEVEL);
      EXPECT_EQ(status.Status, STATUS_ACCESS_DENIED);
      EXPECT_EQ(status.Information, 0u);
      EXPECT_EQ(CountDebugMessages(kIrqlMessage), 1u);
      EXPECT_EQ(host::FileCallCount(host::FileCall::Read) +
                    host::FileCallCount(host::FileCall::Write),
                0u);
      EXPECT_EQ(file.FileObject()->CurrentByteOffset.QuadPart, 0);
      ExpectCountsZero(file);
    }
  }
}

TEST_F(DriverGate, CountsReturnToZeroAfterEveryRequest) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  Bytes buffer(kChunk);
  struct Case {
    const char *what;
    UCHAR major;
    int64_t offset;
    ULONG length;
    NTSTATUS expected;
  } cases[] = {
      {"read", IRP_MJ_READ, 0, kChunk, STATUS_SUCCESS},
      {"write", IRP_MJ_WRITE, kChunk, kChunk, STATUS_SUCCESS},
      {"read past the end", IRP_MJ_READ, int64_t(kDiskSize) + 512, kChunk, STATUS_SUCCESS},
      {"write past the end", IRP_MJ_WRITE, int64_t(kDiskSize), kChunk, STATUS_SUCCESS},
      {"negative offset", IRP_MJ_WRITE, -1, kChunk, STATUS_INVALID_PARAMETER},
      {"zero length", IRP_MJ_READ, 0, 0, STATUS_SUCCESS},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    IO_STATUS_BLOCK status = c.major == IRP_MJ_READ
                                 ? file.ReadAt(buffer.data(), c.length, c.offset)
                                 : file.WriteAt(buffer.data(), c.length, c.offset);
    EXPECT_EQ(status.Status, c.expected);
    ExpectCountsZero(file);
  }
  // A failure inside the transfer, and a mapping that cannot be had.
  host::InjectFileFault(host::FileCall::Write, 1, host::FileFault::Fail(STATUS_DISK_FULL));
  EXPECT_EQ(file.WriteAt(buffer.data(), kChunk, 0).Status, STATUS_DISK_FULL);
  ExpectCountsZero(file);
  host::FailMapping(1);
  EXPECT_EQ(file.ReadAt(buffer.data(), kChunk, 0).Status, STATUS_INSUFFICIENT_RESOURCES);
  ExpectCountsZero(file);
}

TEST_F(DriverGate, SharedCountAtItsLimitRefusesBothModes) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  IMAGE_CONTEXT *image = BoundImage(file);
  image->SharedCount = 0x7FFFFFFF;
  Bytes buffer(kChunk);
  EXPECT_EQ(file.ReadAt(buffer.data(), kChunk, 0).Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(file.WriteAt(buffer.data(), kChunk, 0).Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(image->SharedCount, 0x7FFFFFFF);
  EXPECT_EQ(host::BreakpointCount(), 0u);
  image->SharedCount = 0;
}

// A count found broken after an increment or a decrement stops in the
// debugger (counted on the host) with the message, and the request carries on.
TEST_F(DriverGate, CorruptCountBreaksIntoTheDebuggerAndCarriesOn) {
  struct Case {
    const char *what;
    bool exclusive;
  } cases[] = {{"shared", false}, {"exclusive", true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    host::ClearDebugOutput();
    host::ResetBreakpointCount();
    host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
    IMAGE_CONTEXT *image = BoundImage(file);
    LONG &count = c.exclusive ? image->ExclusiveCount : image->SharedCount;
    count = -1;
    Bytes data(kChunk, 0x42);
    IO_STATUS_BLOCK status = c.exclusive ? file.WriteAt(data.data(), kChunk, 0)
                                         : file.ReadAt(data.data(), kChunk, 0);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, kChunk);
    // Once at admission (the count rose to 0) and once at release (it fell to -1).
    EXPECT_EQ(host::BreakpointCount(), 2u);
    EXPECT_EQ(CountDebugMessages(kCorruptMessage), 2u);
    EXPECT_EQ(count, -1);
    count = 0;
  }
  EXPECT_EQ(PeekFile(path_, 0, kChunk), Bytes(kChunk, 0x42)) << "the write carried on";
}

}  // namespace
}  // namespace dorvane::test
