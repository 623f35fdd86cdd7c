// Fault injection in the host file services: the Nth call of a kind fails,
// moves fewer bytes, or crashes the "machine"; counters and the call hook.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "host/host_kernel.h"
#include "host_files.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

using host::FileCall;
using host::FileFault;

class HostFaultInjection : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    WriteFileBytes(File("a.vhd"), Repeat(0xAA, 4096));
    WriteFileBytes(File("b.bin"), Repeat(0xBB, 4096));
    a_ = CreateHost(File("a.vhd"), GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN).handle;
    b_ = CreateHost(File("b.bin"), GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN).handle;
    ASSERT_NE(nullptr, a_);
    ASSERT_NE(nullptr, b_);
  }
  void TearDown() override {
    host::ClearFaults();
    ZwClose(a_);
    ZwClose(b_);
    TempDirTest::TearDown();
  }
  HANDLE a_ = nullptr;
  HANDLE b_ = nullptr;
};

TEST_F(HostFaultInjection, NthCallFailsWithTheGivenStatusAndDoesNothing) {
  host::InjectFileFault(FileCall::Write, 2, FileFault::Fail(STATUS_DISK_FULL));
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 0, Repeat(1, 4)).status);
  IoResult second = WriteAt(a_, 8, Repeat(2, 4));
  EXPECT_EQ(STATUS_DISK_FULL, second.status);
  EXPECT_EQ(0u, second.information);
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 16, Repeat(3, 4)).status);
  EXPECT_EQ(Repeat(0xAA, 4), PeekFile(File("a.vhd"), 8, 4));
  EXPECT_EQ(Repeat(3, 4), PeekFile(File("a.vhd"), 16, 4));
}

TEST_F(HostFaultInjection, ShortTransfersMoveFewerBytesAndSucceed) {
  struct {
    FileCall call;
    FileFault fault;
    ULONG length;
    ULONG_PTR moved;
  } cases[] = {
      {FileCall::Read, FileFault::ShortBy(100), 512, 412},   // 0
      {FileCall::Read, FileFault::ShortTo(7), 512, 7},       // 1
      {FileCall::Read, FileFault::ShortBy(600), 512, 0},     // 2: not below nothing
      {FileCall::Write, FileFault::ShortBy(12), 512, 500},   // 3
      {FileCall::Write, FileFault::ShortTo(1), 512, 1},      // 4
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    host::InjectFileFault(cases[i].call, 1, cases[i].fault);
    IoResult result = cases[i].call == FileCall::Read
                          ? ReadAt(a_, 0, cases[i].length)
                          : WriteAt(a_, 0, Repeat((uint8_t)i, cases[i].length));
    EXPECT_EQ(STATUS_SUCCESS, result.status) << "case " << i;
    EXPECT_EQ(cases[i].moved, result.information) << "case " << i;
    if (cases[i].call == FileCall::Write) {
      Bytes expected = Repeat((uint8_t)i, cases[i].moved);
      EXPECT_EQ(expected, PeekFile(File("a.vhd"), 0, cases[i].moved)) << "case " << i;
      WriteFileBytes(File("a.vhd"), Repeat(0xAA, 4096));
    }
  }
}

TEST_F(HostFaultInjection, PathSuffixSelectsTheFileCounted) {
  host::InjectFileFault(FileCall::Read, 2, FileFault::Fail(STATUS_FILE_CORRUPT_ERROR), ".vhd");
  EXPECT_EQ(STATUS_SUCCESS, ReadAt(a_, 0, 4).status);
  EXPECT_EQ(STATUS_SUCCESS, ReadAt(b_, 0, 4).status);  // not counted
  EXPECT_EQ(STATUS_SUCCESS, ReadAt(b_, 0, 4).status);
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, ReadAt(a_, 0, 4).status);
  EXPECT_EQ(2u, host::FileCallCount(FileCall::Read, ".vhd"));
  EXPECT_EQ(4u, host::FileCallCount(FileCall::Read));
  EXPECT_EQ(0u, host::FileCallCount(FileCall::Write));
  host::ResetFileCallCounts();
  EXPECT_EQ(0u, host::FileCallCount(FileCall::Read));
}

TEST_F(HostFaultInjection, SetInformationAndControlCallsCanFail) {
  host::InjectFileFault(FileCall::SetInformation, 1, FileFault::Fail(STATUS_DISK_FULL));
  EXPECT_EQ(STATUS_DISK_FULL, SetEndOfFile(a_, 1 << 20));
  EXPECT_EQ(4096u, FileSize(File("a.vhd")));
  host::InjectFileFault(FileCall::Control, 1, FileFault::Fail(STATUS_INVALID_DEVICE_REQUEST));
  FILE_ZERO_DATA_INFORMATION range;
  range.FileOffset.QuadPart = 0;
  range.BeyondFinalZero.QuadPart = 4096;
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            ZwFsControlFile(a_, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_ZERO_DATA, &range,
                            sizeof(range), nullptr, 0));
  EXPECT_EQ(Repeat(0xAA, 4096), ReadFileBytes(File("a.vhd")));
  EXPECT_EQ(1u, host::FileCallCount(FileCall::Control));
}

TEST_F(HostFaultInjection, CrashLeavesTheFilesAsThePreviousCallLeftThem) {
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 0, Repeat(1, 4)).status);
  host::InjectFileFault(FileCall::Write, 2, FileFault::Crash());
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(b_, 0, Repeat(2, 4)).status);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, WriteAt(a_, 4, Repeat(3, 4)).status);
  // Every later mutating call on any file fails; reads still work.
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, WriteAt(b_, 4, Repeat(4, 4)).status);
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, SetEndOfFile(a_, 0));
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR,
            CreateHost(File("new"), GENERIC_WRITE, 0, FILE_CREATE).status);
  EXPECT_EQ(STATUS_SUCCESS, ReadAt(a_, 0, 4).status);

  Bytes a = Repeat(0xAA, 4096);
  std::fill(a.begin(), a.begin() + 4, 1);
  Bytes b = Repeat(0xBB, 4096);
  std::fill(b.begin(), b.begin() + 4, 2);
  EXPECT_EQ(a, ReadFileBytes(File("a.vhd")));
  EXPECT_EQ(b, ReadFileBytes(File("b.bin")));
  EXPECT_EQ(-1, access(File("new").c_str(), F_OK));

  host::ClearFaults();
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(a_, 4, Repeat(3, 4)).status);
}

TEST_F(HostFaultInjection, CrashKeepsADeletePendingFile) {
  OpenResult temp = CreateHost(File("temp"), GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                               FILE_DELETE_ON_CLOSE);
  ASSERT_EQ(STATUS_SUCCESS, temp.status);
  host::InjectFileFault(FileCall::Write, 1, FileFault::Crash());
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, WriteAt(temp.handle, 0, Repeat(1, 1)).status);
  ZwClose(temp.handle);
  EXPECT_EQ(0, access(File("temp").c_str(), F_OK));
}

TEST_F(HostFaultInjection, HookHoldsAReadWhileAnotherThreadProceeds) {
  std::mutex lock;
  std::condition_variable changed;
  bool readEntered = false;
  bool released = false;
  host::SetFileCallHook([&](FileCall call, const std::string& path) {
    if (call != FileCall::Read || path != File("a.vhd")) return;
    std::unique_lock<std::mutex> guard(lock);
    readEntered = true;
    changed.notify_all();
    changed.wait(guard, [&] { return released; });
  });
  std::atomic<bool> readDone{false};
  std::thread reader([&] {
    EXPECT_EQ(STATUS_SUCCESS, ReadAt(a_, 0, 16).status);
    readDone = true;
  });
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return readEntered; });
  }
  // The read is held inside the file system; other calls go through.
  EXPECT_EQ(STATUS_SUCCESS, WriteAt(b_, 0, Repeat(5, 4)).status);
  EXPECT_EQ(STATUS_SUCCESS, ReadAt(b_, 0, 4).status);
  EXPECT_FALSE(readDone);
  {
    std::lock_guard<std::mutex> guard(lock);
    released = true;
  }
  changed.notify_all();
  reader.join();
  EXPECT_TRUE(readDone);
  host::SetFileCallHook(nullptr);
}

}  // namespace
}  // namespace dorvane::test
