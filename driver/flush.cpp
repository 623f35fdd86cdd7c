// Flush requests: the whole image chain is written back, farthest ancestor
// first, under exclusive admission so that no write runs meanwhile.
#include "driver/driver.h"

NTSTATUS DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIMAGE_CONTEXT Context = BoundImage(IoGetCurrentIrpStackLocation(Irp)->FileObject);
  if (Context == NULL) {
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  NTSTATUS Status = AcquireIoGate(Context, TRUE);
  if (!NT_SUCCESS(Status)) {
    return CompleteRequest(Irp, Status, 0);
  }
  // A parent's failed flush does not fail the request: the status is the
  // image's own.
  Status = FlushImageChain(Context);
  ReleaseIoGate(Context, TRUE);
  return CompleteRequest(Irp, Status, 0);
}
