// Merging a differencing image into its parent chain, a bounded number of
// blocks per request.
//
// The parents that are to receive data are reopened for writing, and every
// image above the receiving one becomes merge-through: its writes go to its
// parent after the block's own sectors have moved there. A block is merged
// by writing its present sectors into the parent through the parent's
// ordinary write path; a merge-through parent moves its own block further
// down first, so older data always reaches the receiving image before newer
// data overwrites it.
//
// A block is given up only when its data is durable below it: the receiving
// images are flushed (farthest first) before the block's entry is cleared on
// disk, and the child's cleared entries are flushed before its file is cut
// (WriteTrailingFooter).
// A failure or a stop at any step therefore leaves a chain that reads the
// same virtual disk: a block not yet cleared still holds its sectors, which
// the parent now holds as well, and merging it again writes them again.
// The flush is made once per request for all of the request's blocks.
#include "engine/engine_internal.h"

namespace {

// Blocks taken from the table in one walk: a walk costs as much as the
// table is long, and a merge request must not cost a walk per block.
#define MERGE_BATCH_BLOCKS 64

// The at most Wanted (up to MERGE_BATCH_BLOCKS) allocated blocks with the
// highest sectors below Bound, highest first, into Found; returns how many.
ULONG FindLastBlocksBelow(const IMAGE_CONTEXT *Context, ULONG Bound, ALLOCATED_BLOCK *Found,
                          ULONG Wanted) {
  ULONG Count = 0;
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    ULONG Sector = LookupBlockSector(Context, Index);
    if (Sector == VHD_BAT_UNALLOCATED || Sector >= Bound ||
        (Count == Wanted && Sector <= Found[Count - 1].Sector)) {
      continue;
    }
    ULONG At = Count < Wanted ? Count++ : Count - 1;
    for (; At > 0 && Found[At - 1].Sector < Sector; --At) {
      Found[At] = Found[At - 1];
    }
    Found[At].Index = Index;
    Found[At].Sector = Sector;
  }
  return Count;
}

// The images that receive a merge-through image's writes, farthest first:
// each merge-through image's parent is open for writing.
NTSTATUS FlushMergeTargets(PIMAGE_CONTEXT Context) {
  PIMAGE_CONTEXT Parent = Context->Parent;
  if (Parent->MergeThrough) {
    NTSTATUS Status = FlushMergeTargets(Parent);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  IO_STATUS_BLOCK IoStatus;
  return FlushImageFile(Parent->ImageHandle, &IoStatus);
}

// Writes the present sectors of the block at Sector into the parent, run by
// run. The block stays allocated.
NTSTATUS CopyBlockToParent(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector) {
  POOL_BUFFER<UCHAR> Data(static_cast<PUCHAR>(AllocateUnfilledPool(Context->BlockSize)));
  WORK_BUFFER Work(Context);
  if (!Data || !Work) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS Status = LoadSectorBitmap(Context, BlockIndex, Sector, Work.Bitmap());
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  const ULONG *Bits = reinterpret_cast<const ULONG *>(Work.Bitmap());
  Status = ReadImageFileExact(Context->ImageHandle, Data.Get(), Context->BlockSize,
                              BlockDataOffset(Context, Sector, 0));
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // Sectors past the end of the virtual disk are no part of it, and the
  // parent holds nothing of them: a bit set there is not followed.
  LONGLONG BlockStart = BlockVirtualOffset(Context, BlockIndex, 0);
  ULONGLONG DiskLeft =
      Context->DiskSize > BlockStart ? (ULONGLONG)(Context->DiskSize - BlockStart) : 0;
  ULONG Sectors = Context->BlockSize >> VHD_SECTOR_SHIFT;
  if (DiskLeft < Context->BlockSize) {
    Sectors = (ULONG)((DiskLeft + VHD_SECTOR_SIZE - 1) >> VHD_SECTOR_SHIFT);
  }
  for (ULONG Start = 0, End = 0; Start < Sectors; Start = End) {
    End = SectorRunEnd(Bits, Start, Sectors);
    if (!IsSectorPresent(Bits, Start)) {
      continue;
    }
    LARGE_INTEGER Offset;
    Offset.QuadPart = BlockVirtualOffset(Context, BlockIndex, Start << VHD_SECTOR_SHIFT);
    ULONG Length = (End - Start) << VHD_SECTOR_SHIFT;
    if (Offset.QuadPart + Length > Context->DiskSize) {
      Length = (ULONG)(Context->DiskSize - Offset.QuadPart);
    }
    IO_STATUS_BLOCK IoStatus;
    IoStatus.Information = 0;
    Status = ImageTransfer(Context->Parent, IMAGE_OPERATION_WRITE, Length, &Offset,
                           Data.Get() + ((ULONG_PTR)Start << VHD_SECTOR_SHIFT), &IoStatus);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    if (IoStatus.Information != Length) {
      return IMAGE_STATUS_SHORT_TRANSFER;
    }
  }
  return STATUS_SUCCESS;
}

// After the blocks at or above sector Bound were copied: the receiving
// images made durable, then those blocks' entries cleared, counted in
// *BlocksMerged.
NTSTATUS ClearCopiedBlocks(PIMAGE_CONTEXT Context, ULONG Bound, PULONG BlocksMerged) {
  NTSTATUS Status = FlushMergeTargets(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) {
    if (Block.Sector < Bound) {
      continue;
    }
    Status = ClearBatEntry(Context, Block.Index);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    ++*BlocksMerged;
  }
  return STATUS_SUCCESS;
}

// The merge loop of a request: blocks copied last in the file first, then
// all of them given up after one flush. Blocks copied before a failure are
// still given up when the flush succeeds.
NTSTATUS MergeBlocks(PIMAGE_CONTEXT Context, ULONG BlockLimit, PULONG BlocksMerged) {
  ULONG Bound = VHD_BAT_UNALLOCATED;
  ULONG Copied = 0;
  POOL_BUFFER<ALLOCATED_BLOCK> Batch(static_cast<ALLOCATED_BLOCK *>(
      AllocateUnfilledPool(MERGE_BATCH_BLOCKS * sizeof(ALLOCATED_BLOCK))));
  if (!Batch) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS Status = STATUS_SUCCESS;
  ULONG Found = MERGE_BATCH_BLOCKS;
  while (Copied < BlockLimit && Found == MERGE_BATCH_BLOCKS && NT_SUCCESS(Status)) {
    ULONG Wanted = BlockLimit - Copied;
    if (Wanted > MERGE_BATCH_BLOCKS) {
      Wanted = MERGE_BATCH_BLOCKS;
    }
    Found = FindLastBlocksBelow(Context, Bound, Batch.Get(), Wanted);
    for (ULONG At = 0; At < Found; ++At) {
      Status = CopyBlockToParent(Context, Batch.Get()[At].Index, Batch.Get()[At].Sector);
      if (!NT_SUCCESS(Status)) {
        break;
      }
      Bound = Batch.Get()[At].Sector;
      ++Copied;
    }
  }
  if (Copied == 0) {
    return Status;
  }
  NTSTATUS ClearStatus = ClearCopiedBlocks(Context, Bound, BlocksMerged);
  return NT_SUCCESS(Status) ? ClearStatus : Status;
}

// A parent that is to receive data through Context must hold all of it.
BOOLEAN CanReceive(const IMAGE_CONTEXT *Context) {
  return Context->Parent != NULL && Context->Parent->DiskSize >= Context->DiskSize;
}

}  // namespace

NTSTATUS EnableParentWrites(PIMAGE_CONTEXT Context, ULONG Levels) {
  if (Levels == 0) {
    return STATUS_SUCCESS;
  }
  if (Context->DiskType != VHD_DISK_TYPE_DIFFERENCING || !CanReceive(Context)) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (Levels >= 2) {
    if (Context->Parent->DiskType != VHD_DISK_TYPE_DIFFERENCING) {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS Status = EnableParentWrites(Context->Parent, Levels - 1);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  if (Context->MergeThrough) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = ReopenImageForWrite(Context->Parent);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->MergeThrough = TRUE;
  return STATUS_SUCCESS;
}

NTSTATUS MergeToParent(PIMAGE_CONTEXT Context, ULONG ParentLevels, ULONG BlockLimit,
                       PULONG BlocksMerged, PULONG BlocksRemaining) {
  NTSTATUS Status = EnableParentWrites(Context, ParentLevels);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  *BlocksMerged = 0;
  if (Context->MergeThrough && BlockLimit > 0) {
    Status = MergeBlocks(Context, BlockLimit, BlocksMerged);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  WriteTrailingFooter(Context);
  *BlocksRemaining = CountAllocatedBlocks(Context);
  if (*BlocksRemaining == 0) {
    DeleteImageFileOnClose(Context->ImageHandle);
  }
  return STATUS_SUCCESS;
}

NTSTATUS MergeBlockToParent(PIMAGE_CONTEXT Context, ULONG BlockIndex) {
  if (!Context->MergeThrough) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  ULONG Sector = LookupBlockSector(Context, BlockIndex);
  if (Sector == VHD_BAT_UNALLOCATED) {
    return STATUS_NO_MORE_ENTRIES;
  }
  NTSTATUS Status = CopyBlockToParent(Context, BlockIndex, Sector);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = FlushMergeTargets(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return ClearBatEntry(Context, BlockIndex);
}
