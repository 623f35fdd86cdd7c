// The two entry points of every transfer: a client request's range check and
// buffer mapping, and the hand-off by disk type. Dynamic and differencing
// images go to the block engine: the one call from image/ up into engine/.
#include "engine/engine.h"
#include "image/image.h"

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

NTSTATUS CompleteTransfer(PIO_STATUS_BLOCK IoStatus, NTSTATUS Status, ULONG_PTR Information) {
  IoStatus->Status = Status;
  IoStatus->Information = NT_SUCCESS(Status) ? Information : 0;
  return Status;
}

NTSTATUS ImageTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                       PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  if (Context->DiskType == VHD_DISK_TYPE_FIXED) {
    return ImageFileTransfer(Context, Operation, Buffer, Length, ByteOffset, IoStatus);
  }
  return DynamicTransfer(Context, Operation, Length, ByteOffset, Buffer, IoStatus);
}
