// File services: ZwReadFile and ZwWriteFile (and their Nt* names). Reads and
// writes at explicit offsets or at the position of a synchronous file
// object (whose requests run one at a time), the request's event, appends, the handle's access, the file-call gate of tests and
// NT's results at the end of file: a read starting at or past it is
// STATUS_END_OF_FILE with 0 bytes, one crossing it returns the bytes up to it.
#include "host/files/file_services_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <optional>

namespace host {

namespace {

// NT's cache manager writes a file's dirty pages back in the background (its
// lazy writer runs every second), so a flush after a long stream of writes
// waits only for the last of them. Linux leaves dirty pages for up to 30
// seconds, or until a tenth of memory is dirty, and the flush would then
// write everything. Every kLazyWriteBatch bytes written to a file begin its
// write-back here, without waiting for it: what a flush promises is
// unchanged, only its wait is shorter.
constexpr uint64_t kLazyWriteBatch = 8ull << 20;

void StartLazyWrite(HostFile* file, uint64_t bytes) {
  if (file->unwrittenBytes.fetch_add(bytes) + bytes < kLazyWriteBatch) return;
  file->unwrittenBytes.store(0);
  // Best effort: pages this does not start, a flush writes.
  sync_file_range(file->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

NTSTATUS Transfer(bool write, HANDLE FileHandle, HANDLE Event, PIO_STATUS_BLOCK IoStatusBlock,
                  PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset) {
  RequireIrqlAtMost(PASSIVE_LEVEL, write ? "ZwWriteFile" : "ZwReadFile");
  FileReference file;
  NTSTATUS status = file.Take(FileHandle);
  if (!NT_SUCCESS(status)) return status;
  RequestEvent completion;
  status = completion.Take(Event);
  if (!NT_SUCCESS(status)) return status;
  if (file->directory) return Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
  ACCESS_MASK granted = file.granted();
  if (write ? !(granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) : !(granted & FILE_READ_DATA)) {
    return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  }
  PFILE_OBJECT object = &file->object;
  bool synchronous = (object->Flags & FO_SYNCHRONOUS_IO) != 0;
  bool usePosition = ByteOffset == nullptr || UsesFilePosition(*ByteOffset);
  if (usePosition && !synchronous) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  // A handle that may only append writes at the end of file whatever the
  // offset given.
  bool toEnd = write && (((granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == FILE_APPEND_DATA) ||
                         (ByteOffset != nullptr && ByteOffset->HighPart == -1 &&
                          ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE));
  if (!usePosition && !toEnd && ByteOffset->QuadPart < 0) {
    return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }

  // The file object's lock is held from here to completion, the file
  // system's part included, as NT holds it.
  std::unique_lock<std::mutex> serialised(file->ioLock, std::defer_lock);
  if (synchronous) serialised.lock();
  FileCallGate gate = EnterFileCall(write ? FileCall::Write : FileCall::Read, file->hostPath, Length);
  if (!NT_SUCCESS(gate.status)) return Finish(IoStatusBlock, gate.status, 0);
  ULONG allowed = (ULONG)std::min<uint64_t>(Length, gate.allowedBytes);
  int64_t offset;
  if (toEnd) {
    struct stat st;
    status = StatFile(file->fd, &st);
    if (!NT_SUCCESS(status)) return Finish(IoStatusBlock, status, 0);
    offset = st.st_size;
  } else {
    offset = usePosition ? object->CurrentByteOffset.QuadPart : ByteOffset->QuadPart;
  }
  if (offset > std::numeric_limits<int64_t>::max() - (int64_t)Length) {
    return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }

  // A zero-length request succeeds without touching the file, even at or
  // past the end.
  if (Length == 0) return Finish(IoStatusBlock, STATUS_SUCCESS, 0);

  uint8_t* bytes = static_cast<uint8_t*>(Buffer);
  std::optional<FileChange> change;
  if (write) change.emplace(file->fd, offset, allowed);
  ULONG done = 0;
  while (done < allowed) {
    ssize_t moved = write ? pwrite(file->fd, bytes + done, allowed - done, offset + done)
                          : pread(file->fd, bytes + done, allowed - done, offset + done);
    if (moved < 0) {
      auto saved = errno;
      if (saved == EINTR) continue;
      return Finish(IoStatusBlock, StatusFromErrno(saved), 0);
    }
    if (moved == 0) break;  // end of file (reads only)
    done += (ULONG)moved;
  }
  if (!write && done == 0 && allowed != 0) return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
  if (!write && done == 0) {
    // A shortened read of nothing still reports the end of file where NTFS
    // would.
    struct stat st;
    if (NT_SUCCESS(StatFile(file->fd, &st)) && offset >= st.st_size) {
      return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
    }
  }
  if (synchronous) object->CurrentByteOffset.QuadPart = offset + done;
  if (write) StartLazyWrite(file.get(), done);
  return Finish(IoStatusBlock, STATUS_SUCCESS, done);
}

}  // namespace

}  // namespace host

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                     PULONG Key) {
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  host::ZwCallMode Mode;
  return host::Transfer(false, FileHandle, Event, IoStatusBlock, Buffer, Length, ByteOffset);
}

extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event,
                                      PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key) {
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  host::ZwCallMode Mode;
  return host::Transfer(true, FileHandle, Event, IoStatusBlock, Buffer, Length, ByteOffset);
}
