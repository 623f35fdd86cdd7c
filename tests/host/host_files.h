// The fixture of the host kernel's conformance tests: a temporary folder,
// files in it opened through ZwCreateFile, reads, writes and information
// requests on a handle, and a check that no test leaks a handle.
#pragma once

#include <gtest/gtest.h>
#include <kernel_services.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "host/host_kernel.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kReadWrite = GENERIC_READ | GENERIC_WRITE;

// The result of a create; its handle is closed with it.
struct Opened {
  NTSTATUS status;
  HANDLE handle;
  ULONG_PTR information;
  Opened(const Opened&) = delete;
  ~Opened() { Close(); }
  void Close() {
    if (handle != nullptr) ZwClose(Release());
  }
  HANDLE Release() { return std::exchange(handle, nullptr); }
};

struct IoResult {
  NTSTATUS status;
  ULONG_PTR information;
  Bytes data;  // what a read returned
};

inline IoResult Transfer(bool write, HANDLE handle, int64_t offset, Bytes data) {
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER where;
  where.QuadPart = offset;
  NTSTATUS status = (write ? ZwWriteFile : ZwReadFile)(
      handle, nullptr, nullptr, nullptr, &iosb, data.data(), (ULONG)data.size(), &where, nullptr);
  data.resize(NT_SUCCESS(status) ? iosb.Information : 0);
  return {status, iosb.Information, data};
}
inline IoResult ReadAt(HANDLE handle, int64_t offset, ULONG length) {
  return Transfer(false, handle, offset, Bytes(length, 0xEE));
}
inline IoResult WriteAt(HANDLE handle, int64_t offset, const Bytes& data) {
  return Transfer(true, handle, offset, data);
}

// `value` stands for the class's record: an int64_t for the end of file or
// allocation, a BOOLEAN for the disposition.
template <typename T>
NTSTATUS SetInformation(HANDLE handle, FILE_INFORMATION_CLASS infoClass, T value) {
  IO_STATUS_BLOCK iosb;
  return ZwSetInformationFile(handle, &iosb, &value, sizeof(value), infoClass);
}

class HostFileTest : public TempDirTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(handlesAtStart_, host::OpenHandleCount()) << "a test leaked a handle";
    TempDirTest::TearDown();
  }
  Opened Open(const std::string& name, ACCESS_MASK access, ULONG share = kShareAll,
              ULONG disposition = FILE_OPEN, ULONG options = 0) {
    std::u16string ntName = host::NtPathForHostPath(File(name));
    UNICODE_STRING unicodeName{USHORT(ntName.size() * 2), USHORT(ntName.size() * 2), ntName.data()};
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &unicodeName, OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, access, &objectAttributes, &iosb, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, share, disposition, options, nullptr, 0);
    return {status, handle, iosb.Information};
  }
  bool Exists(const std::string& name) { return access(File(name).c_str(), F_OK) == 0; }

  size_t handlesAtStart_ = host::OpenHandleCount();
};

}  // namespace dorvane::test
