// File services: ZwFsControlFile. The one file-system control the host file
// system serves is FSCTL_SET_ZERO_DATA, on drives that stand for NTFS; every
// other code, and that one on a drive without zero-data (FAT, exFAT), is
// STATUS_INVALID_DEVICE_REQUEST, as from a file system that knows no such
// code.
#include "host/files/file_services_internal.h"

#include <unistd.h>

#include <algorithm>

namespace host {

namespace {

// FSCTL_SET_ZERO_DATA makes [FileOffset, BeyondFinalZero) read as zeros,
// deallocating where the host file system can punch holes and writing zeros
// elsewhere. The range is clipped to the end of file, which never moves. Its
// input must be exactly one FILE_ZERO_DATA_INFORMATION.
NTSTATUS SetZeroData(const FileReference& file, PVOID input, ULONG inputLength) {
  if (!(file.granted() & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
  if (!ZeroDataServed(file->hostPath)) return STATUS_INVALID_DEVICE_REQUEST;
  if (input == nullptr || inputLength != sizeof(FILE_ZERO_DATA_INFORMATION) || file->directory) {
    return STATUS_INVALID_PARAMETER;
  }
  FILE_ZERO_DATA_INFORMATION range;
  memcpy(&range, input, sizeof(range));
  int64_t first = range.FileOffset.QuadPart;
  int64_t beyond = range.BeyondFinalZero.QuadPart;
  if (first < 0 || beyond < first) return STATUS_INVALID_PARAMETER;

  FileCallGate gate = EnterFileCall(FileCall::Control, file->hostPath, 0);
  if (!NT_SUCCESS(gate.status)) return gate.status;

  struct stat st;
  NTSTATUS status = StatFile(file->fd, &st);
  if (!NT_SUCCESS(status)) return status;
  beyond = std::min<int64_t>(beyond, st.st_size);
  if (first >= beyond) return STATUS_SUCCESS;
  FileChange change(file->fd, first, beyond - first);
  if (fallocate(file->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, first, beyond - first) ==
      0) {
    return STATUS_SUCCESS;
  }
  auto saved = errno;
  if (saved != EOPNOTSUPP) return StatusFromErrno(saved);

  static const uint8_t kZeros[64 * 1024] = {};
  for (int64_t offset = first; offset < beyond;) {
    size_t chunk = (size_t)std::min<int64_t>(sizeof(kZeros), beyond - offset);
    ssize_t written = pwrite(file->fd, kZeros, chunk, offset);
    if (written < 0) {
      auto writeError = errno;
      if (writeError == EINTR) continue;
      return StatusFromErrno(writeError);
    }
    offset += written;
  }
  return STATUS_SUCCESS;
}

}  // namespace

}  // namespace host

extern "C" NTSTATUS NTAPI ZwFsControlFile(HANDLE FileHandle, HANDLE Event,
                                          PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                          PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                          PVOID InputBuffer, ULONG InputBufferLength,
                                          PVOID OutputBuffer, ULONG OutputBufferLength) {
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(OutputBuffer);
  UNREFERENCED_PARAMETER(OutputBufferLength);
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwFsControlFile");
  host::ZwCallMode Mode;
  host::FileReference File;
  NTSTATUS Status = File.Take(FileHandle);
  if (!NT_SUCCESS(Status)) return Status;
  host::RequestEvent Completion;
  Status = Completion.Take(Event);
  if (!NT_SUCCESS(Status)) return Status;
  Status = FsControlCode == FSCTL_SET_ZERO_DATA
               ? host::SetZeroData(File, InputBuffer, InputBufferLength)
               : STATUS_INVALID_DEVICE_REQUEST;
  return host::Finish(IoStatusBlock, Status, 0);
}
