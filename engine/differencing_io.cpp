// Writes inside one block of a differencing image, and the comparison with
// the parent chain that spares a block for data the chain already returns.
// The chain is addressed by virtual-disk offset, so a parent of another block
// size splits the range its own way; its reads are differencing_read.cpp's.
#include "engine/engine_internal.h"

namespace {

ULONG SectorStart(ULONG SectorInBlock) { return SectorInBlock << VHD_SECTOR_SHIFT; }

// Writes the sector SectorInBlock of an allocated block as the virtual disk
// held it, taken from the parent, with the bytes of the write that fall into
// it laid over.
NTSTATUS FillSectorFromParent(PIMAGE_CONTEXT Context, ULONG Sector, ULONG BlockIndex,
                              ULONG SectorInBlock, const UCHAR *Data, ULONG OffsetInBlock,
                              ULONG Length, PUCHAR Bytes) {
  ULONG Start = SectorStart(SectorInBlock);
  IO_STATUS_BLOCK ParentStatus;
  NTSTATUS Status = ReadParentRange(Context, Bytes, VHD_SECTOR_SIZE,
                                    BlockVirtualOffset(Context, BlockIndex, Start), &ParentStatus);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  ULONG From = OffsetInBlock > Start ? OffsetInBlock : Start;
  ULONG RangeEnd = OffsetInBlock + Length;
  ULONG To = RangeEnd < Start + VHD_SECTOR_SIZE ? RangeEnd : Start + VHD_SECTOR_SIZE;
  RtlCopyMemory(Bytes + (From - Start), Data + (From - OffsetInBlock), To - From);
  return WriteImageFileExact(Context->ImageHandle, Bytes, VHD_SECTOR_SIZE,
                             BlockDataOffset(Context, Sector, Start));
}

// A write that begins or ends inside a sector leaves the rest of that sector
// as it was on the virtual disk. A sector the block already holds has those
// bytes in place; an absent one is filled from the parent before it is marked
// present, since marking it would otherwise expose whatever the block's data
// area held there (zeros in a new block).
NTSTATUS FillPartialSectors(PIMAGE_CONTEXT Context, ULONG Sector, BOOLEAN NewBlock,
                            const UCHAR *Data, ULONG Length, ULONG BlockIndex,
                            ULONG OffsetInBlock) {
  ULONG RangeEnd = OffsetInBlock + Length;
  BOOLEAN HeadPartial = (OffsetInBlock & (VHD_SECTOR_SIZE - 1)) != 0;
  BOOLEAN TailPartial = (RangeEnd & (VHD_SECTOR_SIZE - 1)) != 0;
  if (!HeadPartial && !TailPartial) {
    return STATUS_SUCCESS;
  }
  ULONG HeadSector = OffsetInBlock >> VHD_SECTOR_SHIFT;
  ULONG TailSector = (RangeEnd - 1) >> VHD_SECTOR_SHIFT;

  // A new block holds no sector yet; an old one's bitmap says which it holds.
  WORK_BUFFER Work(Context);
  if (!Work) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NewBlock) {
    RtlZeroMemory(Work.Bitmap(), ContextBitmapLength(Context));
  } else {
    NTSTATUS Status = LoadSectorBitmap(Context, BlockIndex, Sector, Work.Bitmap());
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  ULONG Edges[2];
  ULONG EdgeCount = 0;
  if (HeadPartial) {
    Edges[EdgeCount++] = HeadSector;
  }
  if (TailPartial && !(HeadPartial && TailSector == HeadSector)) {
    Edges[EdgeCount++] = TailSector;
  }
  for (ULONG Index = 0; Index < EdgeCount; ++Index) {
    if (IsSectorPresent(reinterpret_cast<const ULONG *>(Work.Bitmap()), Edges[Index])) {
      continue;
    }
    NTSTATUS Status = FillSectorFromParent(Context, Sector, BlockIndex, Edges[Index], Data,
                                           OffsetInBlock, Length, Work.Scratch());
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WriteDifferencingBlock(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                                ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                                PIO_STATUS_BLOCK IoStatus) {
  if (Data == NULL || !IsRangeInBlock(Context, BlockIndex, OffsetInBlock, Length)) {
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  ULONG Sector = LookupBlockSector(Context, BlockIndex);
  *SectorOut = Sector;
  if (Length == 0) {
    return CompleteTransfer(IoStatus, STATUS_SUCCESS, 0);
  }
  const UCHAR *Bytes = static_cast<const UCHAR *>(Data);
  NTSTATUS Status;
  BOOLEAN NewBlock = Sector == VHD_BAT_UNALLOCATED;
  if (NewBlock) {
    // Data the chain already returns needs no block: copying unchanged data
    // over a differencing image does not grow it.
    if (MatchesParentData(Context, Data, Length, BlockIndex, OffsetInBlock)) {
      return CompleteTransfer(IoStatus, STATUS_SUCCESS, Length);
    }
    // The new block's span carries the data; its bitmap stays clear until
    // the sectors are complete.
    Status = AllocateBlock(Context, BlockIndex, Data, OffsetInBlock, Length, SectorOut);
    if (!NT_SUCCESS(Status)) {
      return CompleteTransfer(IoStatus, Status, 0);
    }
    Sector = *SectorOut;
  } else {
    // Written as it is, zeros included: a sector the child holds hides the
    // parent's, and differencing blocks are never released for being zero.
    Status = WriteImageFileExact(Context->ImageHandle, Data, Length,
                                 BlockDataOffset(Context, Sector, OffsetInBlock));
    if (!NT_SUCCESS(Status)) {
      return CompleteTransfer(IoStatus, Status, 0);
    }
  }
  Status = FillPartialSectors(Context, Sector, NewBlock, Bytes, Length, BlockIndex, OffsetInBlock);
  if (!NT_SUCCESS(Status)) {
    return CompleteTransfer(IoStatus, Status, 0);
  }
  Status = MarkSectorsPresent(Context, BlockIndex, Sector, OffsetInBlock, Length);
  return CompleteTransfer(IoStatus, Status, Length);
}

BOOLEAN MatchesParentData(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length, ULONG BlockIndex,
                          ULONG OffsetInBlock) {
  if (Length == 0) {
    return TRUE;
  }
  // Wholly overwritten by the parent read, which clears what it cannot read.
  POOL_BUFFER<UCHAR> ParentData(static_cast<PUCHAR>(AllocateUnfilledPool(Length)));
  if (!ParentData) {
    return FALSE;
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status =
      ReadParentRange(Context, ParentData.Get(), Length,
                      BlockVirtualOffset(Context, BlockIndex, OffsetInBlock), &IoStatus);
  // Only bytes the chain actually returned can make a write unnecessary: a
  // failed or short read taken as zeros would drop a write of zeros over
  // data the parent holds.
  if (!NT_SUCCESS(Status) || IoStatus.Information != Length) {
    return FALSE;
  }
  return RtlCompareMemory(ParentData.Get(), Data, Length) == Length;
}
