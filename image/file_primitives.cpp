// Primitive operations on image files: reads and writes at explicit offsets,
// size queries and changes, zeroing and flushing, each complete when it
// returns.
//
// Image files are opened for asynchronous I/O, so that the requests of
// several threads on one image reach the file system together instead of
// queueing on its file object one at a time. A read, write or zeroing call
// therefore gets an event of its own and, when the file system leaves it
// pending, waits for it there: its status block and buffer are the caller's
// until it completes. Size and disposition calls need no event: the I/O
// manager completes them before returning on any file object.
#include "image/image.h"

namespace {

BOOLEAN RequestFromUserMode() { return ExGetPreviousMode() == UserMode; }

NTSTATUS CheckExactCount(NTSTATUS Status, const IO_STATUS_BLOCK &IoStatus, ULONG Length) {
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return IoStatus.Information == Length ? Status : IMAGE_STATUS_SHORT_TRANSFER;
}

// ZwReadFile, NtReadFile, ZwWriteFile and NtWriteFile alike.
typedef NTSTATUS(NTAPI *FILE_TRANSFER_CALL)(HANDLE FileHandle, HANDLE Event,
                                            PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                            PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                            ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);

// The event one call on an image file is given: unnamed, a kernel handle,
// not signalled.
NTSTATUS CreateCallEvent(HANDLE_OWNER *Event) {
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE Created = NULL;
  NTSTATUS Status =
      ZwCreateEvent(&Created, EVENT_ALL_ACCESS, &Attributes, NotificationEvent, FALSE);
  if (NT_SUCCESS(Status)) {
    Event->Reset(Created);
  }
  return Status;
}

// The final status of a call given Event: a pending call is waited for, not
// alertable and without a timeout, since the file system writes IoStatus
// and the buffer until it completes.
NTSTATUS AwaitCall(NTSTATUS Status, HANDLE Event, PIO_STATUS_BLOCK IoStatus) {
  if (Status != STATUS_PENDING) {
    return Status;
  }
  ZwWaitForSingleObject(Event, FALSE, NULL);
  return IoStatus->Status;
}

// One read or write at Offset, complete at return; Information is 0 unless
// it succeeded.
NTSTATUS TransferAtOffset(FILE_TRANSFER_CALL Call, HANDLE ImageHandle, PVOID Buffer,
                          ULONG Length, LONGLONG Offset, PIO_STATUS_BLOCK IoStatus) {
  LARGE_INTEGER ByteOffset;
  ByteOffset.QuadPart = Offset;
  IoStatus->Information = 0;
  HANDLE_OWNER Event(NULL);
  NTSTATUS Status = CreateCallEvent(&Event);
  if (NT_SUCCESS(Status)) {
    Status = Call(ImageHandle, Event.Get(), NULL, NULL, IoStatus, Buffer, Length, &ByteOffset,
                  NULL);
    Status = AwaitCall(Status, Event.Get(), IoStatus);
  }
  if (!NT_SUCCESS(Status)) {
    IoStatus->Information = 0;
  }
  return Status;
}

}  // namespace

NTSTATUS CompleteTransfer(PIO_STATUS_BLOCK IoStatus, NTSTATUS Status, ULONG_PTR Information) {
  IoStatus->Status = Status;
  IoStatus->Information = NT_SUCCESS(Status) ? Information : 0;
  return Status;
}

NTSTATUS ReadImageFile(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset,
                       PIO_STATUS_BLOCK IoStatus) {
  return TransferAtOffset(RequestFromUserMode() ? ZwReadFile : NtReadFile, ImageHandle, Buffer,
                          Length, Offset, IoStatus);
}

NTSTATUS WriteImageFile(HANDLE ImageHandle, const VOID *Buffer, ULONG Length, LONGLONG Offset,
                        PIO_STATUS_BLOCK IoStatus) {
  return TransferAtOffset(RequestFromUserMode() ? ZwWriteFile : NtWriteFile, ImageHandle,
                          const_cast<PVOID>(Buffer), Length, Offset, IoStatus);
}

NTSTATUS ReadImageFileExact(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset) {
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ReadImageFile(ImageHandle, Buffer, Length, Offset, &IoStatus);
  return CheckExactCount(Status, IoStatus, Length);
}

NTSTATUS WriteImageFileExact(HANDLE ImageHandle, const VOID *Buffer, ULONG Length,
                             LONGLONG Offset) {
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = WriteImageFile(ImageHandle, Buffer, Length, Offset, &IoStatus);
  return CheckExactCount(Status, IoStatus, Length);
}

NTSTATUS ReadImageFileAtOpen(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset,
                             PIO_STATUS_BLOCK IoStatus) {
  return TransferAtOffset(ZwReadFile, ImageHandle, Buffer, Length, Offset, IoStatus);
}

NTSTATUS ImageFileTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER ByteOffset, PIO_STATUS_BLOCK IoStatus) {
  NTSTATUS Status;
  IoStatus->Information = 0;
  switch (Operation) {
    case IMAGE_OPERATION_READ:
      Status = ReadImageFile(Context->ImageHandle, Buffer, Length, ByteOffset->QuadPart, IoStatus);
      break;
    case IMAGE_OPERATION_WRITE:
      Status =
          WriteImageFile(Context->ImageHandle, Buffer, Length, ByteOffset->QuadPart, IoStatus);
      break;
    case IMAGE_OPERATION_FLUSH:
      Status = FlushImageFile(Context->ImageHandle, IoStatus);
      break;
    default:
      Status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  IoStatus->Status = Status;
  return Status;
}

NTSTATUS QueryImageFileLength(HANDLE ImageHandle, LONGLONG *FileLength) {
  FILE_STANDARD_INFORMATION Standard;
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ZwQueryInformationFile(ImageHandle, &IoStatus, &Standard, sizeof(Standard),
                                           FileStandardInformation);
  if (NT_SUCCESS(Status)) {
    *FileLength = Standard.EndOfFile.QuadPart;
  }
  return Status;
}

namespace {

// The file systems that give zeros for space a file never wrote, even after
// a power loss: they keep a file's valid data length with its length, or
// never show clusters the file did not write.
constexpr UNICODE_STRING FreshSpaceZeroingFileSystems[] = {
    DORVANE_CONSTANT_STRING("NTFS"), DORVANE_CONSTANT_STRING("ReFS"),
    DORVANE_CONSTANT_STRING("ext4"), DORVANE_CONSTANT_STRING("xfs"),
    DORVANE_CONSTANT_STRING("btrfs"), DORVANE_CONSTANT_STRING("tmpfs")};

// FILE_FS_ATTRIBUTE_INFORMATION with room for a name longer than any of the
// names above; a longer one overflows it and is none of them.
struct FILE_SYSTEM_ATTRIBUTES {
  FILE_FS_ATTRIBUTE_INFORMATION Information;
  WCHAR NameRoom[32];
};

}  // namespace

BOOLEAN QueryFreshSpaceZeroed(HANDLE ImageHandle) {
  FILE_SYSTEM_ATTRIBUTES Attributes;
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ZwQueryVolumeInformationFile(ImageHandle, &IoStatus, &Attributes,
                                                 sizeof(Attributes), FileFsAttributeInformation);
  if (Status != STATUS_SUCCESS) {
    return FALSE;
  }
  UNICODE_STRING Name;
  Name.Buffer = Attributes.Information.FileSystemName;
  Name.Length = (USHORT)Attributes.Information.FileSystemNameLength;
  Name.MaximumLength = Name.Length;
  for (const UNICODE_STRING &Known : FreshSpaceZeroingFileSystems) {
    if (RtlCompareUnicodeString(&Name, &Known, TRUE) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

NTSTATUS SetImageFileEnd(HANDLE ImageHandle, LONGLONG FileEnd) {
  FILE_END_OF_FILE_INFORMATION EndOfFile;
  IO_STATUS_BLOCK IoStatus;
  EndOfFile.EndOfFile.QuadPart = FileEnd;
  return ZwSetInformationFile(ImageHandle, &IoStatus, &EndOfFile, sizeof(EndOfFile),
                              FileEndOfFileInformation);
}

NTSTATUS DeleteImageFileOnClose(HANDLE ImageHandle) {
  FILE_DISPOSITION_INFORMATION Disposition;
  IO_STATUS_BLOCK IoStatus;
  Disposition.DeleteFile = TRUE;
  return ZwSetInformationFile(ImageHandle, &IoStatus, &Disposition, sizeof(Disposition),
                              FileDispositionInformation);
}

namespace {

// Zeros written at once where the file system has no zero-data request.
const ULONG ZeroWriteLength = 64 * 1024;

// The answers of file systems that do not know the zero-data request: FAT
// and exFAT give STATUS_INVALID_DEVICE_REQUEST, others STATUS_NOT_SUPPORTED.
BOOLEAN IsZeroDataRefused(NTSTATUS Status) {
  return Status == STATUS_INVALID_DEVICE_REQUEST || Status == STATUS_NOT_SUPPORTED;
}

// The range written with zeros, a bounded buffer at a time, and clipped to
// the end of the file as the zero-data request clips it: the file never
// grows. Callers order their flushes around it as around the request.
NTSTATUS WriteZerosToRange(HANDLE ImageHandle, LONGLONG FileOffset, LONGLONG BeyondFinalZero) {
  LONGLONG FileLength = 0;
  NTSTATUS Status = QueryImageFileLength(ImageHandle, &FileLength);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  LONGLONG End = BeyondFinalZero < FileLength ? BeyondFinalZero : FileLength;
  if (FileOffset >= End) {
    return STATUS_SUCCESS;
  }
  ULONG BufferLength =
      End - FileOffset < (LONGLONG)ZeroWriteLength ? (ULONG)(End - FileOffset) : ZeroWriteLength;
  POOL_BUFFER<UCHAR> Zeros(static_cast<PUCHAR>(AllocateZeroedPool(BufferLength)));
  if (!Zeros) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (LONGLONG Offset = FileOffset; Offset < End; Offset += BufferLength) {
    if (End - Offset < (LONGLONG)BufferLength) {
      BufferLength = (ULONG)(End - Offset);
    }
    Status = WriteImageFileExact(ImageHandle, Zeros.Get(), BufferLength, Offset);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ZeroImageFileRange(HANDLE ImageHandle, LONGLONG FileOffset, LONGLONG BeyondFinalZero) {
  if (FileOffset < 0 || BeyondFinalZero < FileOffset) {
    return STATUS_INVALID_PARAMETER;
  }
  FILE_ZERO_DATA_INFORMATION ZeroData;
  IO_STATUS_BLOCK IoStatus;
  ZeroData.FileOffset.QuadPart = FileOffset;
  ZeroData.BeyondFinalZero.QuadPart = BeyondFinalZero;
  HANDLE_OWNER Event(NULL);
  NTSTATUS Status = CreateCallEvent(&Event);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = ZwFsControlFile(ImageHandle, Event.Get(), NULL, NULL, &IoStatus, FSCTL_SET_ZERO_DATA,
                           &ZeroData, sizeof(ZeroData), NULL, 0);
  Status = AwaitCall(Status, Event.Get(), &IoStatus);
  if (!IsZeroDataRefused(Status)) {
    return Status;
  }
  return WriteZerosToRange(ImageHandle, FileOffset, BeyondFinalZero);
}

NTSTATUS FlushImageFile(HANDLE ImageHandle, PIO_STATUS_BLOCK IoStatus) {
  PFILE_OBJECT Referenced = NULL;
  NTSTATUS Status = ObReferenceObjectByHandle(ImageHandle, 0x100102, *IoFileObjectType,
                                              KernelMode, (PVOID *)&Referenced, NULL);
  if (!NT_SUCCESS(Status)) {
    return CompleteTransfer(IoStatus, Status, 0);
  }
  FILE_OBJECT_REFERENCE FileObject(Referenced);

  PDEVICE_OBJECT FileSystemDevice = IoGetRelatedDeviceObject(FileObject.Get());
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, FileSystemDevice, NULL, 0, NULL,
                                          &Event, IoStatus);
  if (Irp == NULL) {
    return CompleteTransfer(IoStatus, STATUS_INSUFFICIENT_RESOURCES, 0);
  }

  IoGetNextIrpStackLocation(Irp)->FileObject = FileObject.Get();
  Status = IofCallDriver(FileSystemDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
  } else {
    IoStatus->Status = Status;
  }
  return IoStatus->Status;
}

NTSTATUS FlushImageChain(PIMAGE_CONTEXT Context) {
  // The farthest ancestor is written back first; a parent's failure does not
  // change the result, which is the record's own flush.
  ULONG Depth = 0;
  for (PIMAGE_CONTEXT Parent = Context->Parent; Parent != NULL; Parent = Parent->Parent) {
    ++Depth;
  }
  IO_STATUS_BLOCK IoStatus;
  for (; Depth > 0; --Depth) {
    PIMAGE_CONTEXT Ancestor = Context;
    for (ULONG Step = 0; Step < Depth; ++Step) {
      Ancestor = Ancestor->Parent;
    }
    FlushImageFile(Ancestor->ImageHandle, &IoStatus);
  }
  return FlushImageFile(Context->ImageHandle, &IoStatus);
}
