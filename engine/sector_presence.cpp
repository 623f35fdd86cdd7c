// Sector bitmaps of allocated differencing blocks: marking written sectors
// present, on disk and in the image's bitmap cache.
#include "engine/engine_internal.h"

NTSTATUS MarkSectorsPresent(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector,
                            ULONG OffsetInBlock, ULONG Length) {
  if (Sector == VHD_BAT_UNALLOCATED || Length == 0) {
    return STATUS_SUCCESS;
  }
  if ((ULONGLONG)OffsetInBlock + Length > Context->BlockSize) {
    return STATUS_INVALID_PARAMETER;
  }
  WORK_BUFFER Work(Context);
  if (!Work) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUCHAR Bytes = Work.Bitmap();
  NTSTATUS Status = LoadSectorBitmap(Context, BlockIndex, Sector, Bytes);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  RTL_BITMAP Bitmap;
  RtlInitializeBitMap(&Bitmap, reinterpret_cast<PULONG>(Bytes),
                      Context->BlockSize / VHD_SECTOR_SIZE);

  // Every sector the range touches, the partly written first and last ones
  // included: their data is now in this image.
  ULONG FirstSector = OffsetInBlock / VHD_SECTOR_SIZE;
  ULONG LastSector = (OffsetInBlock + Length - 1) / VHD_SECTOR_SIZE;
  ULONG Count = LastSector - FirstSector + 1;
  if (RtlAreBitsSet(&Bitmap, FirstSector, Count)) {
    return STATUS_SUCCESS;
  }
  RtlSetBits(&Bitmap, FirstSector, Count);

  // The sectors' data must be on the disk before the bits that expose it: a
  // power loss that kept the bits alone would show what the block held there
  // before instead of the parent's bytes or the written ones.
  Status = FlushImageWrites(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  ULONG BitmapLength = ContextBitmapLength(Context);
  SectorBitmapToDisk(Bytes, BitmapLength);
  // A bitmap written short leaves written sectors marked absent, and their
  // data would read from the parent: that is a failure, not a success. What
  // the file holds after a failed write is not known, so the cache forgets
  // the block and reads it again.
  Status = WriteImageFileExact(Context->ImageHandle, Bytes, BitmapLength,
                               (LONGLONG)Sector << VHD_SECTOR_SHIFT);
  if (!NT_SUCCESS(Status)) {
    ForgetSectorBitmap(Context, BlockIndex);
    return Status;
  }
  SectorBitmapFromDisk(Bytes, BitmapLength);
  StoreSectorBitmap(Context, BlockIndex, Sector, Bytes);
  return STATUS_SUCCESS;
}
