// Primitive operations on image files: synchronous reads and writes at
// explicit offsets, size queries and changes, zeroing, flushing and reopening.
#include "image/image.h"

namespace {

BOOLEAN RequestFromUserMode() { return ExGetPreviousMode() == UserMode; }

NTSTATUS CheckExactCount(NTSTATUS Status, const IO_STATUS_BLOCK &IoStatus, ULONG Length) {
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return IoStatus.Information == Length ? Status : IMAGE_STATUS_SHORT_TRANSFER;
}

}  // namespace

NTSTATUS ReadImageFile(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset,
                       PIO_STATUS_BLOCK IoStatus) {
  LARGE_INTEGER ByteOffset;
  ByteOffset.QuadPart = Offset;
  IoStatus->Information = 0;
  NTSTATUS Status =
      RequestFromUserMode()
          ? ZwReadFile(ImageHandle, NULL, NULL, NULL, IoStatus, Buffer, Length, &ByteOffset, NULL)
          : NtReadFile(ImageHandle, NULL, NULL, NULL, IoStatus, Buffer, Length, &ByteOffset, NULL);
  if (!NT_SUCCESS(Status)) {
    IoStatus->Information = 0;
  }
  return Status;
}

NTSTATUS WriteImageFile(HANDLE ImageHandle, const VOID *Buffer, ULONG Length, LONGLONG Offset,
                        PIO_STATUS_BLOCK IoStatus) {
  LARGE_INTEGER ByteOffset;
  ByteOffset.QuadPart = Offset;
  PVOID Data = const_cast<PVOID>(Buffer);
  IoStatus->Information = 0;
  NTSTATUS Status =
      RequestFromUserMode()
          ? ZwWriteFile(ImageHandle, NULL, NULL, NULL, IoStatus, Data, Length, &ByteOffset, NULL)
          : NtWriteFile(ImageHandle, NULL, NULL, NULL, IoStatus, Data, Length, &ByteOffset, NULL);
  if (!NT_SUCCESS(Status)) {
    IoStatus->Information = 0;
  }
  return Status;
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
  LARGE_INTEGER ByteOffset;
  ByteOffset.QuadPart = Offset;
  IoStatus->Information = 0;
  NTSTATUS Status =
      ZwReadFile(ImageHandle, NULL, NULL, NULL, IoStatus, Buffer, Length, &ByteOffset, NULL);
  if (!NT_SUCCESS(Status)) {
    IoStatus->Information = 0;
  }
  return Status;
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

NTSTATUS ZeroImageFileRange(HANDLE ImageHandle, LONGLONG FileOffset, LONGLONG BeyondFinalZero) {
  FILE_ZERO_DATA_INFORMATION ZeroData;
  IO_STATUS_BLOCK IoStatus;
  ZeroData.FileOffset.QuadPart = FileOffset;
  ZeroData.BeyondFinalZero.QuadPart = BeyondFinalZero;
  return ZwFsControlFile(ImageHandle, NULL, NULL, NULL, &IoStatus, FSCTL_SET_ZERO_DATA, &ZeroData,
                         sizeof(ZeroData), NULL, 0);
}

NTSTATUS FlushImageFile(HANDLE ImageHandle, PIO_STATUS_BLOCK IoStatus) {
  PFILE_OBJECT FileObject = NULL;
  NTSTATUS Status = ObReferenceObjectByHandle(ImageHandle, 0x100102, *IoFileObjectType,
                                              KernelMode, (PVOID *)&FileObject, NULL);
  if (!NT_SUCCESS(Status)) {
    IoStatus->Status = Status;
    IoStatus->Information = 0;
    return Status;
  }

  PDEVICE_OBJECT FileSystemDevice = IoGetRelatedDeviceObject(FileObject);
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, FileSystemDevice, NULL, 0, NULL,
                                          &Event, IoStatus);
  if (Irp == NULL) {
    ObfDereferenceObject(FileObject);
    IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
    IoStatus->Information = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  IoGetNextIrpStackLocation(Irp)->FileObject = FileObject;
  Status = IofCallDriver(FileSystemDevice, Irp);
  if (Status == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
  } else {
    IoStatus->Status = Status;
  }
  ObfDereferenceObject(FileObject);
  return IoStatus->Status;
}

NTSTATUS FlushImageChain(PIMAGE_CONTEXT Context) {
  // The farthest ancestor is written back first; a parent's failure does not
  // change the result, which is the record's own flush.
  if (Context->Parent != NULL) {
    FlushImageChain(Context->Parent);
  }
  IO_STATUS_BLOCK IoStatus;
  return FlushImageFile(Context->ImageHandle, &IoStatus);
}

NTSTATUS ReopenImageForWrite(PIMAGE_CONTEXT Context) {
  if (Context->ImageFileObject != NULL) {
    ObfDereferenceObject(Context->ImageFileObject);
    Context->ImageFileObject = NULL;
  }
  if (Context->ImageHandle != NULL) {
    ZwClose(Context->ImageHandle);
    Context->ImageHandle = NULL;
  }

  OBJECT_ATTRIBUTES Attributes;
  IO_STATUS_BLOCK IoStatus;
  InitializeObjectAttributes(&Attributes, &Context->ImagePath,
                             OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK, NULL, NULL);
  HANDLE Handle = NULL;
  NTSTATUS Status = ZwOpenFile(&Handle, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE,
                               &Attributes, &IoStatus, 0,
                               FILE_RANDOM_ACCESS | FILE_NON_DIRECTORY_FILE |
                                   FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("Image reopen result: %#x.\n", (unsigned)Status);
    return Status;
  }
  Context->ImageHandle = Handle;

  OBJECT_HANDLE_INFORMATION HandleInformation;
  Status = ObReferenceObjectByHandle(Handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                                     *IoFileObjectType, KernelMode,
                                     (PVOID *)&Context->ImageFileObject, &HandleInformation);
  if (!NT_SUCCESS(Status)) {
    Context->ImageFileObject = NULL;
    DbgPrint("Image file object reference result: %#x.\n", (unsigned)Status);
    return Status;
  }
  Context->WriteDataGranted = (HandleInformation.GrantedAccess & FILE_WRITE_DATA) != 0;
  return STATUS_SUCCESS;
}
