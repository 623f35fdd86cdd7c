// File services: ZwQueryVolumeInformationFile. The one class the host
// answers is FileFsAttributeInformation: the host file system's own name and
// attributes (file_system_kinds.cpp), with NT's buffer rules: a buffer too
// small for the fixed part is STATUS_INFO_LENGTH_MISMATCH, one too small for
// the whole name gets as much of it as fits and STATUS_BUFFER_OVERFLOW.
// Every other class is STATUS_INVALID_INFO_CLASS (NT_DIFFERENCES.md).
#include "host/files/file_services_internal.h"

#include <algorithm>
#include <cstddef>

extern "C" NTSTATUS NTAPI ZwQueryVolumeInformationFile(HANDLE FileHandle,
                                                       PIO_STATUS_BLOCK IoStatusBlock,
                                                       PVOID FsInformation, ULONG Length,
                                                       FS_INFORMATION_CLASS FsInformationClass) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryVolumeInformationFile");
  if (FsInformationClass != FileFsAttributeInformation) return STATUS_INVALID_INFO_CLASS;
  if (Length < sizeof(FILE_FS_ATTRIBUTE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  host::FileReference File;
  NTSTATUS Status = File.Take(FileHandle);
  if (!NT_SUCCESS(Status)) return Status;

  host::FileSystemDescription Description;
  Status = host::DescribeFileSystem(File->fd, File->hostPath, &Description);
  if (!NT_SUCCESS(Status)) return host::Finish(IoStatusBlock, Status, 0);

  const ULONG NameOffset = offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
  ULONG NameBytes = ULONG(Description.name.size() * sizeof(WCHAR));
  ULONG Copied = std::min(NameBytes, Length - NameOffset) & ~ULONG(sizeof(WCHAR) - 1);
  auto *Info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(FsInformation);
  Info->FileSystemAttributes = Description.attributes;
  Info->MaximumComponentNameLength = Description.maximumComponentNameLength;
  Info->FileSystemNameLength = Copied;
  memcpy(Info->FileSystemName, Description.name.data(), Copied);
  return host::Finish(IoStatusBlock, Copied < NameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS,
                      NameOffset + Copied);
}
