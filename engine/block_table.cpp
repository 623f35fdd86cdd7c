// The block allocation table: where its blocks lie in the file, updates of
// single entries, on disk first; and the flush that orders an entry behind
// the writes it makes reachable.
#include "engine/engine_internal.h"

ULONG FindBlockAt(const IMAGE_CONTEXT *Context, LONGLONG Place) {
  // Only a whole sector that an entry can name is looked for. A release
  // asks once per block it frees: the table is compared as it is held, in
  // file byte order, without turning each entry around.
  if (Place <= 0 || (Place & (VHD_SECTOR_SIZE - 1)) != 0 ||
      (ULONGLONG)Place >> VHD_SECTOR_SHIFT >= VHD_BAT_UNALLOCATED) {
    return Context->BatEntries;
  }
  const ULONG Wanted = BatEntryToDisk((ULONG)((ULONGLONG)Place >> VHD_SECTOR_SHIFT));
  const ULONG *Entries = Context->Bat;
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    if (Entries[Index] == Wanted) {
      return Index;
    }
  }
  return Context->BatEntries;
}

LONGLONG HighestBlockEnd(const IMAGE_CONTEXT *Context, ULONG ExceptIndex) {
  LONGLONG Span = ContextBlockSpan(Context);
  LONGLONG End = 0;
  for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) {
    LONGLONG BlockEnd = ((LONGLONG)Block.Sector << VHD_SECTOR_SHIFT) + Span;
    if (Block.Index != ExceptIndex && BlockEnd > End) {
      End = BlockEnd;
    }
  }
  return End;
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

NTSTATUS ClearBatEntry(PIMAGE_CONTEXT Context, ULONG BlockIndex) {
  // On disk first: an entry cleared only in memory would let the footer be
  // moved over a block that the BAT on disk still names.
  return WriteBatEntry(Context, BlockIndex, VHD_BAT_UNALLOCATED);
}

NTSTATUS ClearLostAppends(PIMAGE_CONTEXT Context) {
  if (Context->LostAppends == 0) {
    return STATUS_SUCCESS;
  }
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    if (Context->Bat[Index] == 0) {
      NTSTATUS Status = WriteBatEntry(Context, Index, VHD_BAT_UNALLOCATED);
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
    }
  }
  // On the disk before the place they name takes a block whose entry, in
  // fresh space, is written without a flush in front of it.
  NTSTATUS Status = FlushImageWrites(Context);
  if (NT_SUCCESS(Status)) {
    Context->LostAppends = 0;
  }
  return Status;
}

NTSTATUS FlushImageWrites(PIMAGE_CONTEXT Context) {
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = FlushImageFile(Context->ImageHandle, &IoStatus);
  if (NT_SUCCESS(Status) && Context->FreshSpaceZeroed) {
    // Every write so far is on the disk: nothing of what the file held
    // before can come back past the end it may have now. A volume that may
    // show another file's old bytes there has no fresh space at all.
    Context->FreshSpaceStart = ReachedFileEnd(Context);
  }
  return Status;
}
