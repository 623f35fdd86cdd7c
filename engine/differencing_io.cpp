// Reads and writes inside one block of a differencing image.
#include "engine/engine.h"

NTSTATUS ReadDifferencingBlock(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length,
                               ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                               PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Buffer);
  UNREFERENCED_PARAMETER(Length);
  UNREFERENCED_PARAMETER(BlockIndex);
  UNREFERENCED_PARAMETER(OffsetInBlock);
  *SectorOut = VHD_BAT_UNALLOCATED;
  IoStatus->Status = STATUS_NOT_SUPPORTED;
  IoStatus->Information = 0;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS WriteDifferencingBlock(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                                ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                                PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Data);
  UNREFERENCED_PARAMETER(Length);
  UNREFERENCED_PARAMETER(BlockIndex);
  UNREFERENCED_PARAMETER(OffsetInBlock);
  *SectorOut = VHD_BAT_UNALLOCATED;
  IoStatus->Status = STATUS_NOT_SUPPORTED;
  IoStatus->Information = 0;
  return STATUS_NOT_SUPPORTED;
}

BOOLEAN MatchesParentData(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                          ULONG BlockIndex, ULONG OffsetInBlock) {
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Data);
  UNREFERENCED_PARAMETER(Length);
  UNREFERENCED_PARAMETER(BlockIndex);
  UNREFERENCED_PARAMETER(OffsetInBlock);
  return FALSE;
}
