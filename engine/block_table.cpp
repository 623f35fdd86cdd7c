// The block allocation table: lookups in the in-memory copy and updates of
// single entries, on disk first; and the flush that orders an entry behind
// the writes it makes reachable.
#include "engine/engine.h"

ULONG LookupBlockSector(const IMAGE_CONTEXT *Context, ULONG BlockIndex) {
  if (BlockIndex >= Context->BatEntries) {
    return VHD_BAT_UNALLOCATED;
  }
  return BatEntrySector(Context->Bat[BlockIndex]);
}

NTSTATUS WriteBatEntry(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG HostSector) {
  if (BlockIndex >= Context->BatEntries) {
    return STATUS_INVALID_PARAMETER;
  }
  // The block's cached bitmap belongs to the place the entry names now.
  ForgetSectorBitmap(Context, BlockIndex);
  ULONG DiskEntry = BatEntryToDisk(HostSector);
  LONGLONG Offset = Context->BatOffset + (LONGLONG)BlockIndex * sizeof(ULONG);
  NTSTATUS Status = WriteImageFileExact(Context->ImageHandle, &DiskEntry, sizeof(DiskEntry), Offset);
  if (!NT_SUCCESS(Status)) {
    // Part of the new value may have reached the file. The in-memory entry is
    // what the disk held before; putting it back keeps the entry from naming
    // a place that holds other data. Whatever this write gives, the first
    // failure is the one reported.
    WriteImageFileExact(Context->ImageHandle, &Context->Bat[BlockIndex], sizeof(ULONG), Offset);
    return Status;
  }
  Context->Bat[BlockIndex] = DiskEntry;
  return STATUS_SUCCESS;
}

NTSTATUS FlushImageWrites(PIMAGE_CONTEXT Context) {
  IO_STATUS_BLOCK IoStatus;
  return FlushImageFile(Context->ImageHandle, &IoStatus);
}
