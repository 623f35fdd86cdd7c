// The two entry points of each file service. A Zw call is a call from kernel
// mode: it runs with previous mode KernelMode, the caller's coming back when
// it returns. An Nt call keeps the caller's previous mode, and when that is
// UserMode it treats its arguments as the system call would a user program's:
// a kernel handle is no handle of the caller's (STATUS_INVALID_HANDLE), and a
// pointer into kernel memory fails the probe (STATUS_ACCESS_VIOLATION). Kernel
// memory on the host is pool and the part of the thread's stack below its
// kernel entry; see NT_DIFFERENCES.md for what this does not cover.
#include "host/files/file_services_internal.h"

namespace host {

namespace {

bool FromUserMode() { return CurrentThread().previousMode == UserMode; }

// Kernel handles have the top bit set; a user-mode caller has none of them.
NTSTATUS CheckUserHandle(HANDLE handle) {
  return static_cast<intptr_t>(reinterpret_cast<uintptr_t>(handle)) < 0 ? STATUS_INVALID_HANDLE
                                                                        : STATUS_SUCCESS;
}

// A request's event is optional.
NTSTATUS CheckUserEvent(HANDLE event) {
  return event != nullptr ? CheckUserHandle(event) : STATUS_SUCCESS;
}

// ProbeForRead/ProbeForWrite of a user-mode caller's buffer: null and kernel
// addresses fault. An empty buffer is not probed.
NTSTATUS ProbeUserBuffer(const void* address, size_t length) {
  if (length == 0) return STATUS_SUCCESS;
  if (address == nullptr || InPool(address, length) || OnKernelStack(address, length)) {
    return STATUS_ACCESS_VIOLATION;
  }
  return STATUS_SUCCESS;
}

// Runs `probes` in order and gives the first failure.
template <typename... Statuses>
NTSTATUS FirstFailure(Statuses... statuses) {
  NTSTATUS result = STATUS_SUCCESS;
  ((result = NT_SUCCESS(result) ? statuses : result), ...);
  return result;
}

NTSTATUS CheckUserTransfer(HANDLE handle, PIO_STATUS_BLOCK ioStatus, const void* buffer,
                           ULONG length, PLARGE_INTEGER byteOffset) {
  return FirstFailure(CheckUserHandle(handle), ProbeUserBuffer(ioStatus, sizeof(*ioStatus)),
                      ProbeUserBuffer(buffer, length),
                      byteOffset != nullptr ? ProbeUserBuffer(byteOffset, sizeof(*byteOffset))
                                            : STATUS_SUCCESS);
}

// The object attributes and the name they point to. A user-mode caller
// cannot ask for a kernel handle: the handle goes to its own table.
NTSTATUS CaptureUserAttributes(POBJECT_ATTRIBUTES attributes, OBJECT_ATTRIBUTES* captured) {
  NTSTATUS status = ProbeUserBuffer(attributes, sizeof(*attributes));
  if (!NT_SUCCESS(status)) return status;
  *captured = *attributes;
  captured->Attributes &= ~OBJ_KERNEL_HANDLE;
  PUNICODE_STRING name = captured->ObjectName;
  if (name != nullptr) {
    status = ProbeUserBuffer(name, sizeof(*name));
    if (!NT_SUCCESS(status)) return status;
    status = ProbeUserBuffer(name->Buffer, name->Length);
    if (!NT_SUCCESS(status)) return status;
  }
  return captured->RootDirectory != nullptr ? CheckUserHandle(captured->RootDirectory)
                                            : STATUS_SUCCESS;
}

// An Nt entry point: a user-mode caller's arguments pass `userModeChecks`
// first; then the Zw service runs, keeping the caller's previous mode.
template <typename Checks, typename ZwService, typename... Arguments>
NTSTATUS ServeNtCall(Checks userModeChecks, ZwService service, Arguments... arguments) {
  if (FromUserMode()) {
    NTSTATUS status = userModeChecks();
    if (!NT_SUCCESS(status)) return status;
  }
  KeepPreviousMode keep;
  return service(arguments...);
}

}  // namespace

}  // namespace host

using host::ServeNtCall;

// A user-mode caller's object attributes are captured, and the service gets
// the copy.
extern "C" NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                       ULONG ShareAccess, ULONG CreateDisposition,
                                       ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  OBJECT_ATTRIBUTES Captured;
  if (host::FromUserMode()) {
    NTSTATUS Status = host::FirstFailure(
        host::ProbeUserBuffer(FileHandle, sizeof(*FileHandle)),
        host::ProbeUserBuffer(IoStatusBlock, sizeof(*IoStatusBlock)),
        AllocationSize != nullptr ? host::ProbeUserBuffer(AllocationSize, sizeof(*AllocationSize))
                                  : STATUS_SUCCESS,
        host::ProbeUserBuffer(EaBuffer, EaLength),
        host::CaptureUserAttributes(ObjectAttributes, &Captured));
    if (!NT_SUCCESS(Status)) return Status;
    ObjectAttributes = &Captured;
  }
  host::KeepPreviousMode Keep;
  return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                      FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer,
                      EaLength);
}

extern "C" NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                                     ULONG OpenOptions) {
  return host::OpenByCreate(NtCreateFile, FileHandle, DesiredAccess, ObjectAttributes,
                            IoStatusBlock, ShareAccess, OpenOptions);
}

extern "C" NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                     PULONG Key) {
  auto Checks = [&] {
    return host::FirstFailure(
        host::CheckUserTransfer(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset),
        host::CheckUserEvent(Event));
  };
  return ServeNtCall(Checks, ZwReadFile, FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock,
                     Buffer, Length, ByteOffset, Key);
}

extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event,
                                      PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key) {
  auto Checks = [&] {
    return host::FirstFailure(
        host::CheckUserTransfer(FileHandle, IoStatusBlock, Buffer, Length, ByteOffset),
        host::CheckUserEvent(Event));
  };
  return ServeNtCall(Checks, ZwWriteFile, FileHandle, Event, ApcRoutine, ApcContext,
                     IoStatusBlock, Buffer, Length, ByteOffset, Key);
}

extern "C" NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle,
                                                 PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
  auto Checks = [&] {
    return host::CheckUserTransfer(FileHandle, IoStatusBlock, FileInformation, Length, nullptr);
  };
  return ServeNtCall(Checks, ZwQueryInformationFile, FileHandle, IoStatusBlock, FileInformation,
                     Length, FileInformationClass);
}

extern "C" NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
  auto Checks = [&] {
    return host::CheckUserTransfer(FileHandle, IoStatusBlock, FileInformation, Length, nullptr);
  };
  return ServeNtCall(Checks, ZwSetInformationFile, FileHandle, IoStatusBlock, FileInformation,
                     Length, FileInformationClass);
}

extern "C" NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle,
                                                       PIO_STATUS_BLOCK IoStatusBlock,
                                                       PVOID FsInformation, ULONG Length,
                                                       FS_INFORMATION_CLASS FsInformationClass) {
  auto Checks = [&] {
    return host::CheckUserTransfer(FileHandle, IoStatusBlock, FsInformation, Length, nullptr);
  };
  return ServeNtCall(Checks, ZwQueryVolumeInformationFile, FileHandle, IoStatusBlock,
                     FsInformation, Length, FsInformationClass);
}

extern "C" NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event,
                                          PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                          PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                          PVOID InputBuffer, ULONG InputBufferLength,
                                          PVOID OutputBuffer, ULONG OutputBufferLength) {
  auto Checks = [&] {
    return host::FirstFailure(
        host::CheckUserTransfer(FileHandle, IoStatusBlock, InputBuffer, InputBufferLength,
                                nullptr),
        host::ProbeUserBuffer(OutputBuffer, OutputBufferLength), host::CheckUserEvent(Event));
  };
  return ServeNtCall(Checks, ZwFsControlFile, FileHandle, Event, ApcRoutine, ApcContext,
                     IoStatusBlock, FsControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                     OutputBufferLength);
}

extern "C" NTSTATUS NTAPI NtClose(HANDLE Handle) {
  return ServeNtCall([&] { return host::CheckUserHandle(Handle); }, ZwClose, Handle);
}
