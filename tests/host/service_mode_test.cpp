// The Zw and Nt entry points of the file services, as NT has them: a Zw call
// runs with previous mode KernelMode and accepts what kernel code holds; an
// Nt call keeps the caller's mode, and from user mode refuses kernel handles
// and kernel buffers (NT difference "kernel-memory": pool and the kernel
// part of the stack are what the host knows as kernel memory).
#include <gtest/gtest.h>

#include "host/host_files.h"
#include "host/testing/host_testing.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

class HostServiceMode : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = File("data");
    WriteFileBytes(path_, PatternBytes(64, 9));
  }
  void TearDown() override {
    host::SetPreviousMode(KernelMode);
    host::SetFileCallHook(nullptr);
    TempDirTest::TearDown();
  }

  Opened Open(ULONG objectAttributes) {
    std::u16string name = host::NtPathForHostPath(path_);
    UNICODE_STRING unicodeName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, objectAttributes, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb,
                                   nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return {status, handle, iosb.Information};
  }

  std::string path_;
};

TEST_F(HostServiceMode, NtChecksUserModeHandlesAndBuffersZwRunsInKernelMode) {
  Opened kernel = Open(OBJ_KERNEL_HANDLE);
  Opened process = Open(0);
  ASSERT_EQ(kernel.status, STATUS_SUCCESS);
  ASSERT_EQ(process.status, STATUS_SUCCESS);
  void *pool = ExAllocatePoolWithTag(NonPagedPool, 64, 'tseT');
  Bytes user(64);
  constexpr KPROCESSOR_MODE kUnseen = 2;
  KPROCESSOR_MODE seen = kUnseen;
  host::SetFileCallHook([&](host::FileCall, const std::string &) { seen = ExGetPreviousMode(); });

  struct Case {
    bool nt;
    KPROCESSOR_MODE mode;
    HANDLE handle;
    void *buffer;
    NTSTATUS status;
  } cases[] = {
      {false, UserMode, kernel.handle, pool, STATUS_SUCCESS},               // 0
      {true, UserMode, kernel.handle, user.data(), STATUS_INVALID_HANDLE},  // 1
      {true, UserMode, process.handle, pool, STATUS_ACCESS_VIOLATION},      // 2
      {true, UserMode, process.handle, user.data(), STATUS_SUCCESS},        // 3
      {true, KernelMode, kernel.handle, pool, STATUS_SUCCESS},              // 4
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case &c = cases[i];
    seen = kUnseen;
    host::SetPreviousMode(c.mode);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset{};
    auto read = c.nt ? NtReadFile : ZwReadFile;
    NTSTATUS status =
        read(c.handle, nullptr, nullptr, nullptr, &iosb, c.buffer, 64, &offset, nullptr);
    EXPECT_EQ(ExGetPreviousMode(), c.mode) << "the caller's mode is back";
    host::SetPreviousMode(KernelMode);
    EXPECT_EQ(status, c.status) << host::StatusName(status);
    if (status != STATUS_SUCCESS) continue;
    EXPECT_EQ(seen, c.nt ? c.mode : KernelMode);
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(c.buffer), static_cast<uint8_t *>(c.buffer) + 64),
              PatternBytes(64, 9));
  }
  ExFreePoolWithTag(pool, 'tseT');

  // A user-mode caller cannot close a kernel handle.
  host::SetPreviousMode(UserMode);
  EXPECT_EQ(NtClose(kernel.handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(NtClose(process.Release()), STATUS_SUCCESS);
  host::SetPreviousMode(KernelMode);
  EXPECT_EQ(ZwClose(kernel.Release()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace dorvane::test
