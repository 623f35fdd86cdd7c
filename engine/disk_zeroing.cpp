// Zeroing ranges of a dynamic image for the zero-data and trim requests,
// block by block through the write path that writes of zeros take. A range
// costs what its allocated blocks cost, whatever the disk's size: the blocks
// it covers are looked up one by one, and compaction runs only where a
// release left something to give back.
#include "engine/engine_internal.h"

NTSTATUS ZeroDiskBlocks(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length) {
  if (*Length < 1) {
    return STATUS_SUCCESS;
  }
  if (*Offset < 0) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONGLONG BlockIndex = (ULONGLONG)*Offset >> Context->BlockShift;
  ULONG OffsetInBlock = (ULONG)*Offset & (Context->BlockSize - 1);
  ULONGLONG Done = 0;
  ULONGLONG Total = (ULONGLONG)*Length;
  while (Done < Total && BlockIndex < Context->BatEntries) {
    ULONGLONG Left = Total - Done;
    ULONG Piece = Context->BlockSize - OffsetInBlock;
    if (Left < Piece) {
      Piece = (ULONG)Left;
    }
    ULONG Sector;
    IO_STATUS_BLOCK IoStatus;
    IoStatus.Information = 0;
    NTSTATUS Status = ZeroBlockRange(Context, NULL, Piece, (ULONG)BlockIndex, OffsetInBlock,
                                     &Sector, &IoStatus);
    if (NT_SUCCESS(Status) && IoStatus.Information != Piece) {
      Status = IMAGE_STATUS_SHORT_TRANSFER;
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Done += Piece;
    OffsetInBlock = 0;
    ++BlockIndex;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ZeroDiskRange(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length) {
  if (*Length < 1) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = ZeroDiskBlocks(Context, Offset, Length);
  // A release that stopped part way, here or earlier, may have left a span
  // unnamed; the file is made compact again where the file system still
  // lets it, and the range's own result stands.
  CompactIfGapped(Context);
  return Status;
}
