// Create and close: a create below the device opens the image it names with
// the client's own create parameters and binds the image's record to the
// client's file object; close releases the record and its parent chain.
#include "driver/driver.h"

namespace {

// A create's Options carry the disposition in their top 8 bits and the create
// options in the low 24.
const ULONG CreateDispositionShift = 24;
const ULONG CreateOptionsMask = 0x00FFFFFF;

// The six access and sharing flags of the client's file object follow those
// of the image file's own file object.
VOID CopyAccessFlags(PFILE_OBJECT Destination, const FILE_OBJECT *Source) {
  Destination->ReadAccess = Source->ReadAccess;
  Destination->WriteAccess = Source->WriteAccess;
  Destination->DeleteAccess = Source->DeleteAccess;
  Destination->SharedRead = Source->SharedRead;
  Destination->SharedWrite = Source->SharedWrite;
  Destination->SharedDelete = Source->SharedDelete;
}

// Opens the image the create names. The open writes the outcome of the image
// file's create into the request's own status block, so a successful create
// reports what that open reported (FILE_OPENED and the like).
NTSTATUS OpenRequestedImage(PIRP Irp, PIO_STACK_LOCATION Stack, PIMAGE_CONTEXT *ContextOut) {
  ULONG Options = Stack->Parameters.Create.Options;
  return OpenImageFile(ContextOut, &Stack->FileObject->FileName,
                       Stack->Parameters.Create.FileAttributes, Options >> CreateDispositionShift,
                       Options & CreateOptionsMask,
                       Stack->Parameters.Create.SecurityContext->DesiredAccess,
                       Stack->Parameters.Create.ShareAccess, &Irp->IoStatus);
}

}  // namespace

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = Stack->FileObject;

  if (FileObject->FileName.Length == 0) {
    DbgPrint("Dorvane: Missing file name.\n");
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  // The virtual disk's size is the image's; a create cannot choose it.
  if (Irp->Overlay.AllocationSize.QuadPart != 0) {
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (FileObject->FsContext2 != NULL) {
    DbgPrint("Dorvane: Path already open.\n");
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }

  PIMAGE_CONTEXT Context = NULL;
  NTSTATUS Status = OpenRequestedImage(Irp, Stack, &Context);
  if (Status == STATUS_FILE_IS_A_DIRECTORY) {
    // The device serves image files only; a directory by that name is
    // another object in the image's place.
    Status = STATUS_OBJECT_NAME_COLLISION;
  } else if (NT_SUCCESS(Status)) {
    FileObject->FsContext2 = Context;
    CopyAccessFlags(FileObject, Context->ImageFileObject);
    // An image is open: the request path must stay resident from now on.
    MmResetDriverPaging(reinterpret_cast<PVOID>(&DriverEntry));
  }

  // The information is left as the image file's open wrote it.
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (!NT_SUCCESS(Status)) {
    WriteImageErrorLog(Status);
  }
  return Status;
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PIMAGE_CONTEXT Context = BoundImage(FileObject);
  if (Context != NULL) {
    ReleaseImageContext(Context);
    FileObject->FsContext2 = NULL;
  }
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}
