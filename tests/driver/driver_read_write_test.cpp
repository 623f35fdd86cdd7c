// Read, write and flush requests through the device: ranges cut at the end
// of the virtual disk, the position advanced by the byte count, the
// platform's negative offsets, unmappable buffers, the chain written back by
// a flush, and the admission gate: overlapping readers, a writer alone,
// refusals at once with STATUS_DEVICE_BUSY, images opened without write
// access, requests above PASSIVE_LEVEL. Overlaps are made deterministic by
// holding a request inside the host file system, never by timing; the gate's
// tests run under ThreadSanitizer too (their names say Concurrency).
#include <gtest/gtest.h>

#include <thread>

#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kDiskSize = 1ull << 20;
constexpr ULONG kChunk = 4096;

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
  // A zero-length write is admitted exclusively and moves nothing: its
  // success shows that no admission stayed counted.
  static void ExpectIdle(const host::DeviceFile &file) {
    EXPECT_EQ(file.WriteAt(nullptr, 0, 0).Status, STATUS_SUCCESS) << "an admission stayed counted";
  }

  std::string path_;
  Bytes content_;
};

TEST_F(DriverReadWrite, RequestsAreCutAtTheEndOfTheDiskAndMoveThePosition) {
  struct {
    int64_t offset;
    ULONG length, moved;
  } td[] = {
      /* 0 */ {0, 4096, 4096},
      /* 1 */ {1048000, 4096, 576},  // crossing the end
      /* 2 */ {int64_t(kDiskSize) - 1, 2, 1},  // the last byte
      /* 3 */ {int64_t(kDiskSize), 4096, 0},  // at the end
      /* 4 */ {INT64_MAX, 4096, 0},
  };
  Bytes footer = ReadFooter(path_);
  for (size_t i = 0; i < std::size(td); ++i) {
    host::DeviceFile file = OpenImageOrFail(path_);
    Bytes buffer(td[i].length, 0xCC);
    host::ResetFileCallCounts();
    ASSERT_EQ(OutcomeOf(file.ReadAt(buffer.data(), td[i].length, td[i].offset)),
              Outcome(STATUS_SUCCESS, td[i].moved)) << i;
    Bytes expected = Content(std::min<uint64_t>(td[i].offset, kDiskSize), td[i].moved);
    expected.resize(td[i].length, 0xCC);  // nothing written past the bytes moved
    EXPECT_EQ(buffer, expected) << i;
    EXPECT_EQ(host::FileCallCount(host::FileCall::Read), td[i].moved == 0 ? 0u : 1u) << i;
    EXPECT_EQ(Position(file), int64_t(td[i].moved)) << i;
    // A write moves as much, and never reaches the footer.
    Bytes data(td[i].length, 0xAB);
    EXPECT_EQ(file.WriteAt(data.data(), td[i].length, td[i].offset).Information, td[i].moved) << i;
    EXPECT_EQ(Position(file), 2 * int64_t(td[i].moved)) << i;
    std::fill_n(content_.begin() + std::min<uint64_t>(td[i].offset, kDiskSize), td[i].moved, 0xAB);
  }
  EXPECT_EQ(ReadFooter(path_), footer);
  EXPECT_EQ(FileSize(path_), kDiskSize + 512);
  EXPECT_EQ(PeekFile(path_, 0, kDiskSize), content_);
}

TEST_F(DriverReadWrite, ThePositionAdvancesByTheCountOnly) {
  host::DeviceFile file = OpenImageOrFail(path_);
  Bytes buffer(100);
  // An explicit offset does not set the position; the count is added to it.
  ASSERT_EQ(file.ReadAt(buffer.data(), 100, 5000).Information, 100u);
  ASSERT_EQ(file.Read(buffer.data(), 100).Information, 100u);
  EXPECT_EQ(buffer, Content(100, 100));
  ASSERT_EQ(file.Write(Bytes(50, 0x11).data(), 50).Information, 50u);
  EXPECT_EQ(PeekFile(path_, 200, 50), Bytes(50, 0x11));
  EXPECT_EQ(Position(file), 250);
  // A short transfer moves it by what it moved; a failed one that moved
  // nothing, and zero-length requests (which map no buffer), not at all.
  host::InjectFileFault(host::FileCall::Read, 1, host::FileFault::ShortTo(30));
  EXPECT_EQ(OutcomeOf(file.Read(buffer.data(), 100)), Outcome(STATUS_SUCCESS, 30));
  host::InjectFileFault(host::FileCall::Write, 1, host::FileFault::Fail(STATUS_DISK_FULL));
  EXPECT_EQ(OutcomeOf(file.Write(buffer.data(), 50)), Outcome(STATUS_DISK_FULL, 0));
  uint64_t mappings = host::MappingCount();
  EXPECT_EQ(file.Read(nullptr, 0).Status, STATUS_SUCCESS);
  EXPECT_EQ(file.WriteAt(nullptr, 0, 512).Status, STATUS_SUCCESS);
  EXPECT_EQ(host::MappingCount(), mappings);
  EXPECT_EQ(Position(file), 280);
}

// The kernel's special offsets (write at end of file -1, use the file
// position -2), any other negative offset, and a buffer that cannot be mapped
// never reach the image file.
TEST_F(DriverReadWrite, NegativeOffsetsAndUnmappableBuffersMoveNothing) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  Bytes buffer(512, 0x77);
  host::ResetFileCallCounts();
  for (int64_t offset : {int64_t(-1), int64_t(-2), int64_t(-512), INT64_MIN}) {
    EXPECT_EQ(OutcomeOf(file.ReadAt(buffer.data(), 512, offset)),
              Outcome(STATUS_INVALID_PARAMETER, 0)) << offset;
    EXPECT_EQ(OutcomeOf(file.WriteAt(buffer.data(), 512, offset)),
              Outcome(STATUS_INVALID_PARAMETER, 0)) << offset;
  }
  host::FailMapping(1);
  EXPECT_EQ(OutcomeOf(file.WriteAt(buffer.data(), 512, 0)),
            Outcome(STATUS_INSUFFICIENT_RESOURCES, 0));
  EXPECT_EQ(host::FileCallCount(host::FileCall::Read) + host::FileCallCount(host::FileCall::Write),
            0u);
  EXPECT_EQ(Position(file), 0);
  EXPECT_EQ(PeekFile(path_, 0, kDiskSize), content_);
}

TEST_F(DriverReadWrite, FlushWritesTheChainBackFarthestAncestorFirst) {
  MakeDifferencingImage(File("middle.vhd"), path_);
  MakeDifferencingImage(File("top.vhd"), File("middle.vhd"));
  host::DeviceFile file = OpenImageOrFail(File("top.vhd"));
  auto flush = [&] {
    return file.SendRequest(IRP_MJ_FLUSH_BUFFERS, [](PIRP, PIO_STACK_LOCATION) {});
  };
  std::vector<std::string> flushed;
  host::SetFileCallHook([&](host::FileCall call, const std::string &path) {
    if (call == host::FileCall::Flush) flushed.push_back(path.substr(path.rfind('/') + 1));
  });
  // The parents are open for reading only, so the file system refuses their
  // flushes; that does not fail the request: its status is the image's own.
  IO_STATUS_BLOCK status = flush();
  host::SetFileCallHook(nullptr);
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(flushed, (std::vector<std::string>{"disk.vhd", "middle.vhd", "top.vhd"}));
  host::InjectFileFault(host::FileCall::Flush, 1, host::FileFault::Fail(STATUS_DISK_FULL),
                        "top.vhd");
  EXPECT_EQ(flush().Status, STATUS_DISK_FULL);
  // A handle without write access is refused before anything is flushed.
  file = OpenImageOrFail(path_, SynchronousOpen(kReadOnlyAccess));
  host::ResetFileCallCounts();
  EXPECT_EQ(flush().Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Flush), 0u);
}

class DriverGateConcurrency : public DriverReadWrite {};

// Two reads are inside the file system at once: neither the gate nor the
// image file's object makes one wait for the other.
TEST_F(DriverGateConcurrency, ReadsOverlapAndAWriteIsRefusedMeanwhile) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  Bytes first(kChunk), second(kChunk), third(kChunk), data(kChunk, 0xEE);
  IO_STATUS_BLOCK firstStatus{}, secondStatus{};
  {
    FileCallLatch latch(host::FileCall::Read, "disk.vhd", 2);
    std::thread reader1([&] { firstStatus = file.ReadAt(first.data(), kChunk, 0); });
    latch.WaitUntilHeld(1);
    std::thread reader2([&] { secondStatus = file.ReadAt(second.data(), kChunk, kChunk); });
    latch.WaitUntilHeld(2);
    host::ResetFileCallCounts();
    EXPECT_EQ(OutcomeOf(file.WriteAt(data.data(), kChunk, 0)), Outcome(STATUS_DEVICE_BUSY, 0));
    EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
    EXPECT_EQ(file.ReadAt(third.data(), kChunk, 2 * kChunk).Status, STATUS_SUCCESS);
    latch.Release();
    reader1.join();
    reader2.join();
  }
  EXPECT_EQ(firstStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(secondStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(first, Content(0, kChunk));
  EXPECT_EQ(second, Content(kChunk, kChunk));
  EXPECT_EQ(third, Content(2 * kChunk, kChunk));
  EXPECT_EQ(PeekFile(path_, 0, kDiskSize), content_);
  EXPECT_EQ(Position(file), int64_t(3 * kChunk));
  ExpectIdle(file);
}

TEST_F(DriverGateConcurrency, RequestsDuringAWriteAreRefused) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  Bytes data(kChunk, 0x5A), buffer(kChunk);
  IO_STATUS_BLOCK writeStatus{};
  {
    FileCallLatch latch(host::FileCall::Write, "disk.vhd", 1);
    std::thread writer([&] { writeStatus = file.WriteAt(data.data(), kChunk, 0); });
    latch.WaitUntilHeld(1);
    EXPECT_EQ(OutcomeOf(file.ReadAt(buffer.data(), kChunk, 2 * kChunk)),
              Outcome(STATUS_DEVICE_BUSY, 0));
    EXPECT_EQ(OutcomeOf(file.WriteAt(buffer.data(), kChunk, 2 * kChunk)),
              Outcome(STATUS_DEVICE_BUSY, 0));
    latch.Release();
    writer.join();
  }
  EXPECT_EQ(writeStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(PeekFile(path_, 0, kChunk), data);
  EXPECT_EQ(PeekFile(path_, 2 * kChunk, kChunk), Content(2 * kChunk, kChunk));
  EXPECT_EQ(Position(file), int64_t(kChunk)) << "refused requests leave the position";
  ExpectIdle(file);
}

// A kernel-mode requester is not held to the handle's access, so a write on
// a read-only handle reaches the driver, which refuses it, reads running or
// not; above PASSIVE_LEVEL every request is refused with a message.
TEST_F(DriverGateConcurrency, ReadOnlyImagesAndRaisedIrqlsAreRefused) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen(kReadOnlyAccess));
  Bytes buffer(kChunk, 1);
  {
    FileCallLatch latch(host::FileCall::Read, "disk.vhd", 1);
    std::thread reader([&] { file.ReadAt(buffer.data(), kChunk, 0); });
    latch.WaitUntilHeld(1);
    EXPECT_EQ(file.WriteAt(buffer.data(), kChunk, 0).Status, STATUS_ACCESS_DENIED);
    latch.Release();
    reader.join();
  }
  EXPECT_EQ(buffer, Content(0, kChunk));
  EXPECT_TRUE(host::DebugOutput().empty());
  for (ACCESS_MASK access : {kReadOnlyAccess, kReadWriteAccess}) {
    file.Close();
    file = OpenImageOrFail(path_, SynchronousOpen(access));
    host::ResetFileCallCounts();
    host::SetCurrentIrql(APC_LEVEL);
    EXPECT_EQ(OutcomeOf(file.ReadAt(buffer.data(), kChunk, 0)), Outcome(STATUS_ACCESS_DENIED, 0));
    EXPECT_EQ(OutcomeOf(file.WriteAt(buffer.data(), kChunk, 0)), Outcome(STATUS_ACCESS_DENIED, 0));
    host::SetCurrentIrql(PASSIVE_LEVEL);
    EXPECT_EQ(Position(file), 0);
    EXPECT_EQ(host::FileCallCount(host::FileCall::Read), 0u);
    EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
  }
  EXPECT_EQ(CountDebugMessages("Dorvane: Requested lock for I/O work at > PASSIVE_LEVEL. This is "
                               "not supported by this driver.\n"),
            4u);
  EXPECT_EQ(PeekFile(path_, 0, kDiskSize), content_);
  ExpectIdle(file);
}

}  // namespace
}  // namespace dorvane::test
