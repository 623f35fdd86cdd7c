// Transfers of dynamic and differencing images.
#include "image/image.h"

NTSTATUS DynamicTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                         PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Operation);
  UNREFERENCED_PARAMETER(Length);
  UNREFERENCED_PARAMETER(ByteOffset);
  UNREFERENCED_PARAMETER(Buffer);
  IoStatus->Status = STATUS_NOT_SUPPORTED;
  IoStatus->Information = 0;
  return STATUS_NOT_SUPPORTED;
}
