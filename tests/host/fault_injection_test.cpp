// Fault injection in the host file services: the Nth call of a kind on files
// whose path ends with a suffix fails, moves fewer bytes, or crashes the
// "machine", after which no change reaches the disk.
#include <gtest/gtest.h>

#include "host/testing/host_testing.h"
#include "host_files.h"

namespace dorvane::test {
namespace {

using host::FileCall;
using host::FileFault;

class HostFaultInjection : public HostFileTest {
 protected:
  void SetUp() override {
    HostFileTest::SetUp();
    WriteFileBytes(File("a.vhd"), Bytes(4096, 0xAA));
    WriteFileBytes(File("b.bin"), Bytes(4096, 0xBB));
    a_ = Open("a.vhd", kReadWrite, 0).Release();
    b_ = Open("b.bin", kReadWrite, 0).Release();
  }
  void TearDown() override {
    ZwClose(a_);
    ZwClose(b_);
    HostFileTest::TearDown();
  }
  HANDLE a_ = nullptr, b_ = nullptr;
};

TEST_F(HostFaultInjection, NthCallOfTheFileFailsOnceAndDoesNothing) {
  host::InjectFileFault(FileCall::Write, 2, FileFault::Fail(STATUS_DISK_FULL), ".vhd");
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 0, Bytes(4, 1)).status);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(b_, 0, Bytes(4, 1)).status) << "not counted";
  EXPECT_EQ(STATUS_DISK_FULL, WriteAt(a_, 8, Bytes(4, 2)).status);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 16, Bytes(4, 3)).status);
  EXPECT_EQ(Bytes(4, 0xAA), PeekFile(File("a.vhd"), 8, 4));
  EXPECT_EQ(3u, host::FileCallCount(FileCall::Write, ".vhd"));
  EXPECT_EQ(4u, host::FileCallCount(FileCall::Write));
}

TEST_F(HostFaultInjection, ShortTransfersMoveFewerBytesAndSucceed) {
  struct {
    FileCall call;
    FileFault fault;
    ULONG_PTR moved;  // of 512
  } cases[] = {
      {FileCall::Read, FileFault::ShortBy(100), 412},  // 0
      {FileCall::Read, FileFault::ShortTo(7), 7},      // 1
      {FileCall::Read, FileFault::ShortBy(600), 0},    // 2: not below nothing
      {FileCall::Write, FileFault::ShortBy(12), 500},  // 3
      {FileCall::Write, FileFault::ShortTo(1), 1},     // 4
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    host::InjectFileFault(cases[i].call, 1, cases[i].fault);
    bool write = cases[i].call == FileCall::Write;
    IoResult result = write ? WriteAt(a_, 0, Bytes(512, (uint8_t)i)) : ReadAt(a_, 0, 512);
    EXPECT_EQ(STATUS_SUCCESS, result.status) << "case " << i;
    EXPECT_EQ(cases[i].moved, result.information) << "case " << i;
    Bytes moved(cases[i].moved, write ? (uint8_t)i : 0xAA);
    EXPECT_EQ(moved, write ? PeekFile(File("a.vhd"), 0, cases[i].moved) : result.data)
        << "case " << i;
  }
}

TEST_F(HostFaultInjection, CrashLeavesTheFilesAsTheCallsBeforeLeftThem) {
  Opened temp = Open("temp", GENERIC_WRITE | DELETE, kShareAll, FILE_CREATE, FILE_DELETE_ON_CLOSE);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 0, Bytes(4, 1)).status);
  host::InjectFileFault(FileCall::Write, 2, FileFault::Crash());
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(b_, 0, Bytes(4, 2)).status);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, WriteAt(a_, 4, Bytes(4, 3)).status);
  // Every later change to any file fails; reads still work.
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, WriteAt(b_, 4, Bytes(4, 4)).status);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, SetInformation(a_, FileEndOfFileInformation, int64_t(0)));
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, Open("new", GENERIC_WRITE, 0, FILE_CREATE).status);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, Open("temp", GENERIC_WRITE, kShareAll, FILE_OVERWRITE).status);
  temp.Close();
  EXPECT_TRUE(Exists("temp")) << "nor is a delete on close";
  EXPECT_EQ(Bytes(4, 1), ReadAt(a_, 0, 4).data);
  EXPECT_EQ(Bytes(4, 0xAA), PeekFile(File("a.vhd"), 4, 4));
  host::ClearFaults();
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 4, Bytes(4, 3)).status);
}

}  // namespace
}  // namespace dorvane::test
