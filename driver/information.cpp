// Query and set information: a handle on the device answers like a file
// whose contents are the virtual disk. Sizes are the virtual disk's, the name
// is the image path the create used, a few classes pass through to the image
// file, and setting the end of file or the allocation size grows the disk.
//
// Position and alignment need no admission: they proceed while a write is in
// progress. Every other query is a shared admission, a size change an
// exclusive one.
#include "driver/driver.h"
#include "engine/engine.h"

namespace {

// The disk's size as both allocation size and end of file, in a standard or
// network-open information record.
template <typename INFORMATION>
NTSTATUS AnswerSizes(const IMAGE_CONTEXT *Context, ULONG Length, PVOID Buffer,
                     PIO_STATUS_BLOCK IoStatus) {
  if (Length < sizeof(INFORMATION)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  INFORMATION *Information = static_cast<INFORMATION *>(Buffer);
  Information->AllocationSize.QuadPart = Context->DiskSize;
  Information->EndOfFile.QuadPart = Context->DiskSize;
  IoStatus->Information = sizeof(INFORMATION);
  return STATUS_SUCCESS;
}

// The image path exactly as the create named it, without terminator.
NTSTATUS AnswerName(const IMAGE_CONTEXT *Context, ULONG Length, PVOID Buffer,
                    PIO_STATUS_BLOCK IoStatus) {
  ULONG NameOffset = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
  ULONG Needed = NameOffset + Context->ImagePath.Length;
  if (Length < Needed) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  PFILE_NAME_INFORMATION Name = static_cast<PFILE_NAME_INFORMATION>(Buffer);
  Name->FileNameLength = Context->ImagePath.Length;
  RtlCopyMemory(static_cast<PUCHAR>(Buffer) + NameOffset, Context->ImagePath.Buffer,
                Context->ImagePath.Length);
  IoStatus->Information = Needed;
  return STATUS_SUCCESS;
}

BOOLEAN IsIgnoredSetClass(FILE_INFORMATION_CLASS InformationClass) {
  return InformationClass == FileBasicInformation ||
         InformationClass == FileDispositionInformation ||
         InformationClass == FileValidDataLengthInformation;
}

}  // namespace

NTSTATUS QueryImageInformation(PIMAGE_CONTEXT Context, FILE_INFORMATION_CLASS InformationClass,
                               ULONG Length, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  IoStatus->Information = 0;
  NTSTATUS Status;
  switch (InformationClass) {
    case FileBasicInformation:
    case FileInternalInformation:
    case FileEaInformation:
      // The image file's own answer, status and length as its query gives them.
      return ZwQueryInformationFile(Context->ImageHandle, IoStatus, Buffer, Length,
                                    InformationClass);
    case FileStandardInformation:
      Status = AnswerSizes<FILE_STANDARD_INFORMATION>(Context, Length, Buffer, IoStatus);
      break;
    case FileNameInformation:
      Status = AnswerName(Context, Length, Buffer, IoStatus);
      break;
    case FileNetworkOpenInformation:
      Status = AnswerSizes<FILE_NETWORK_OPEN_INFORMATION>(Context, Length, Buffer, IoStatus);
      break;
    default:
      Status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  IoStatus->Status = Status;
  return Status;
}

NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = Stack->FileObject;
  PIMAGE_CONTEXT Context = BoundImage(FileObject);
  ULONG Length = Stack->Parameters.QueryFile.Length;
  FILE_INFORMATION_CLASS InformationClass = Stack->Parameters.QueryFile.FileInformationClass;
  PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
  // Nothing of the system buffer goes back to the caller unwritten.
  if (Buffer != NULL) {
    RtlZeroMemory(Buffer, Length);
  }
  if (Context == NULL) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }

  switch (InformationClass) {
    case FilePositionInformation: {
      if (Length < sizeof(FILE_POSITION_INFORMATION)) {
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      // Read as one 64-bit value: a write in progress moves it meanwhile.
      static_cast<PFILE_POSITION_INFORMATION>(Buffer)->CurrentByteOffset.QuadPart =
          InterlockedCompareExchange64(&FileObject->CurrentByteOffset.QuadPart, 0, 0);
      return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    }
    case FileAlignmentInformation:
      if (Length < sizeof(FILE_ALIGNMENT_INFORMATION)) {
        return CompleteRequest(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      // Byte alignment: the buffer was zeroed above.
      return CompleteRequest(Irp, STATUS_SUCCESS, sizeof(FILE_ALIGNMENT_INFORMATION));
    default:
      break;
  }

  NTSTATUS Status = AcquireIoGate(Context, FALSE);
  if (!NT_SUCCESS(Status)) {
    return CompleteRequest(Irp, Status, 0);
  }
  IO_STATUS_BLOCK IoStatus;
  IoStatus.Information = 0;
  Status = QueryImageInformation(Context, InformationClass, Length, Buffer, &IoStatus);
  ReleaseIoGate(Context, FALSE);
  return CompleteRequest(Irp, Status, NT_SUCCESS(Status) ? IoStatus.Information : 0);
}

NTSTATUS DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = Stack->FileObject;
  PIMAGE_CONTEXT Context = BoundImage(FileObject);
  ULONG Length = Stack->Parameters.SetFile.Length;
  FILE_INFORMATION_CLASS InformationClass = Stack->Parameters.SetFile.FileInformationClass;
  PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
  if (Context == NULL) {
    return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }

  // Times, attributes and deletion belong to the image file, which the
  // handle does not change: accepted, and nothing done.
  if (IsIgnoredSetClass(InformationClass)) {
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  if (InformationClass == FilePositionInformation) {
    if (Length < sizeof(FILE_POSITION_INFORMATION)) {
      return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    }
    // Any value is taken: a transfer checks its own offset.
    LONGLONG Position;
    RtlCopyMemory(&Position, Buffer, sizeof(Position));
    InterlockedExchange64(&FileObject->CurrentByteOffset.QuadPart, Position);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }

  if (!FileObject->WriteAccess) {
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }
  NTSTATUS Status = AcquireIoGate(Context, TRUE);
  if (!NT_SUCCESS(Status)) {
    return CompleteRequest(Irp, Status, 0);
  }
  Status = SetDiskSize(Context, InformationClass, Length, Buffer);
  ReleaseIoGate(Context, TRUE);
  return CompleteRequest(Irp, Status, 0);
}
