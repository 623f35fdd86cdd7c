// Read and write requests: admitted by the image's gate (shared for reads,
// exclusive for writes), moved by DiskTransfer straight between the request's
// mapped pages and the image, and counted into the handle's position.
#include "driver/driver.h"
#include "engine/engine.h"

namespace {

// The request's pages in system space: the MDL's own address when it has
// one, else a fresh mapping that the system releases with the MDL.
PVOID MapRequestBuffer(PMDL Mdl) {
  if ((Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
    return Mdl->MappedSystemVa;
  }
  return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, HighPagePriority);
}

}  // namespace

NTSTATUS DiskTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                      PLARGE_INTEGER ByteOffset, PMDL Mdl, PIO_STATUS_BLOCK IoStatus) {
  LONGLONG Offset = ByteOffset->QuadPart;
  // The platform's special offsets (write at end, use the file position) are
  // negative; none of them names a place on the virtual disk.
  if (Offset < 0) {
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  if (Offset >= Context->DiskSize || Length == 0) {
    return CompleteTransfer(IoStatus, STATUS_SUCCESS, 0);
  }
  if ((ULONGLONG)Length > (ULONGLONG)(Context->DiskSize - Offset)) {
    Length = (ULONG)(Context->DiskSize - Offset);
  }

  PVOID Buffer = Mdl != NULL ? MapRequestBuffer(Mdl) : NULL;
  if (Buffer == NULL) {
    return CompleteTransfer(IoStatus, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  return ImageTransfer(Context, Operation, Length, ByteOffset, Buffer, IoStatus);
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT FileObject = Stack->FileObject;
  PIMAGE_CONTEXT Context = BoundImage(FileObject);
  if (Context == NULL) {
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }

  UCHAR Operation = Stack->MajorFunction;
  BOOLEAN Exclusive = Operation == IRP_MJ_WRITE;
  NTSTATUS Status = AcquireIoGate(Context, Exclusive);
  if (!NT_SUCCESS(Status)) {
    return CompleteRequest(Irp, Status, 0);
  }

  ULONG Length = Exclusive ? Stack->Parameters.Write.Length : Stack->Parameters.Read.Length;
  PLARGE_INTEGER ByteOffset =
      Exclusive ? &Stack->Parameters.Write.ByteOffset : &Stack->Parameters.Read.ByteOffset;
  // DiskTransfer stores the request's final status and byte count in its
  // status block; a negative offset is refused there and moves nothing.
  Status = DiskTransfer(Context, Operation, Length, ByteOffset, Irp->MdlAddress, &Irp->IoStatus);

  // The position moves by the bytes moved, even by those of a transfer that
  // failed part way. Shared requests on one file object run at once, so the
  // addition is atomic.
  InterlockedExchangeAdd64(&FileObject->CurrentByteOffset.QuadPart,
                           static_cast<LONGLONG>(Irp->IoStatus.Information));

  ReleaseIoGate(Context, Exclusive);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
