// Helpers for host kernel tests: open files through ZwCreateFile by host path
// or NT name, and read or write them at an offset, returning status and count.
#pragma once

#include <kernel_services.h>

#include <string>
#include <vector>

#include "host/host_kernel.h"

namespace dorvane::test {

struct OpenResult {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  HANDLE handle = nullptr;
  ULONG_PTR information = 0;
};

inline OpenResult CreateNt(const std::u16string& name, ACCESS_MASK access, ULONG share,
                           ULONG disposition, ULONG options = 0,
                           ULONG objectAttributes = OBJ_KERNEL_HANDLE,
                           ULONG fileAttributes = FILE_ATTRIBUTE_NORMAL,
                           HANDLE root = nullptr) {
  UNICODE_STRING unicodeName;
  unicodeName.Buffer = const_cast<PWSTR>(name.data());
  unicodeName.Length = (USHORT)(name.size() * sizeof(WCHAR));
  unicodeName.MaximumLength = unicodeName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, objectAttributes, root, nullptr);
  IO_STATUS_BLOCK iosb;
  iosb.Status = -1;
  iosb.Information = 0xDEAD;
  OpenResult result;
  result.status = ZwCreateFile(&result.handle, access, &attributes, &iosb, nullptr,
                               fileAttributes, share, disposition, options, nullptr, 0);
  result.information = iosb.Information;
  return result;
}

inline OpenResult CreateHost(const std::string& path, ACCESS_MASK access, ULONG share,
                             ULONG disposition, ULONG options = 0,
                             ULONG objectAttributes = OBJ_KERNEL_HANDLE,
                             ULONG fileAttributes = FILE_ATTRIBUTE_NORMAL) {
  return CreateNt(host::NtPathForHostPath(path), access, share, disposition, options,
                  objectAttributes, fileAttributes);
}

struct IoResult {
  NTSTATUS status;
  ULONG_PTR information;
  std::vector<uint8_t> data;
};

inline IoResult ReadAt(HANDLE handle, int64_t offset, ULONG length, bool usePosition = false) {
  IoResult result;
  result.data.assign(length, 0xEE);
  IO_STATUS_BLOCK iosb;
  iosb.Information = 0xDEAD;
  LARGE_INTEGER where;
  where.QuadPart = offset;
  result.status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, result.data.data(),
                             length, usePosition ? nullptr : &where, nullptr);
  result.information = iosb.Information;
  if (NT_SUCCESS(result.status)) result.data.resize(iosb.Information);
  return result;
}

inline IoResult WriteAt(HANDLE handle, int64_t offset, const std::vector<uint8_t>& data,
                        bool usePosition = false) {
  IoResult result;
  IO_STATUS_BLOCK iosb;
  iosb.Information = 0xDEAD;
  LARGE_INTEGER where;
  where.QuadPart = offset;
  result.status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb,
                              const_cast<uint8_t*>(data.data()), (ULONG)data.size(),
                              usePosition ? nullptr : &where, nullptr);
  result.information = iosb.Information;
  return result;
}

inline NTSTATUS SetEndOfFile(HANDLE handle, int64_t end) {
  FILE_END_OF_FILE_INFORMATION info;
  info.EndOfFile.QuadPart = end;
  IO_STATUS_BLOCK iosb;
  return ZwSetInformationFile(handle, &iosb, &info, sizeof(info), FileEndOfFileInformation);
}

inline NTSTATUS SetDisposition(HANDLE handle, bool deleteFile) {
  FILE_DISPOSITION_INFORMATION info;
  info.DeleteFile = deleteFile;
  IO_STATUS_BLOCK iosb;
  return ZwSetInformationFile(handle, &iosb, &info, sizeof(info), FileDispositionInformation);
}

inline FILE_STANDARD_INFORMATION StandardInfo(HANDLE handle) {
  FILE_STANDARD_INFORMATION info{};
  IO_STATUS_BLOCK iosb;
  ZwQueryInformationFile(handle, &iosb, &info, sizeof(info), FileStandardInformation);
  return info;
}

inline std::vector<uint8_t> Repeat(uint8_t value, size_t count) {
  return std::vector<uint8_t>(count, value);
}

}  // namespace dorvane::test
