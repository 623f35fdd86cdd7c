// Pool allocation with the driver's tag.
#include "image/pool.h"

PVOID AllocateZeroedPool(SIZE_T NumberOfBytes) {
  PVOID Buffer = AllocateUnfilledPool(NumberOfBytes);
  if (Buffer != NULL) {
    RtlZeroMemory(Buffer, NumberOfBytes);
  }
  return Buffer;
}

PVOID AllocateUnfilledPool(SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(NonPagedPool, NumberOfBytes, DORVANE_POOL_TAG);
}
