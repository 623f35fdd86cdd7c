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

// The image Depth levels below Context (Context itself at 0).
PIMAGE_CONTEXT ImageBelow(PIMAGE_CONTEXT Context, ULONG Depth) {
  for (; Depth > 0; --Depth) {
    Context = Context->Parent;
  }
  return Context;
}

// The merge-through images from Context down: the receiving image, which
// takes their writes, lies that many levels below Context.
ULONG MergeThroughLevels(const IMAGE_CONTEXT *Context) {
  ULONG Levels = 0;
  for (; Context->MergeThrough; Context = Context->Parent) {
    ++Levels;
  }
  return Levels;
}

// The images that receive a merge-through image's writes, farthest first:
// each merge-through image's parent is open for writing.
NTSTATUS FlushMergeTargets(PIMAGE_CONTEXT Context) {
  for (ULONG Depth = MergeThroughLevels(Context); Depth > 0; --Depth) {
    IO_STATUS_BLOCK IoStatus;
    NTSTATUS Status = FlushImageFile(ImageBelow(Context, Depth)->ImageHandle, &IoStatus);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

// Writes the present sectors of the block at Sector straight into the image
// that receives the merge, run by run. The block stays allocated.
NTSTATUS CopyBlockToReceiver(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector) {
  PIMAGE_CONTEXT Receiver = ImageBelow(Context, MergeThroughLevels(Context));
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
    Status = DirectTransfer(Receiver, IMAGE_OPERATION_WRITE, Length, &Offset,
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

// Moves into the receiving image the blocks of the merge-through images below
// Context that lie under the virtual-disk range [Start, End), deepest image
// first, so that older data reaches the receiver before newer data. Each
// image's range widens to whole blocks of the images above it: those are the
// blocks that move down into it. Each image gives its blocks up only once the
// receiver and the images between hold their data durably.
NTSTATUS MergeImagesBelow(PIMAGE_CONTEXT Context, LONGLONG Start, LONGLONG End) {
  for (ULONG Depth = MergeThroughLevels(Context); Depth-- > 1;) {
    PIMAGE_CONTEXT Image = ImageBelow(Context, Depth);
    ULONG Widest = 0;
    for (ULONG Above = 0; Above < Depth; ++Above) {
      ULONG BlockSize = ImageBelow(Context, Above)->BlockSize;
      Widest = BlockSize > Widest ? BlockSize : Widest;
    }
    // The image's own blocks may be wider still: each one reaching into the
    // range moves whole.
    LONGLONG WideEnd = (End + Widest - 1) & ~(LONGLONG)(Widest - 1);
    ULONGLONG First = (ULONGLONG)(Start & ~(LONGLONG)(Widest - 1)) >> Image->BlockShift;
    ULONGLONG Last = (ULONGLONG)(WideEnd + Image->BlockSize - 1) >> Image->BlockShift;
    Last = Last < Image->BatEntries ? Last : Image->BatEntries;
    ULONG Copied = 0;
    for (ULONGLONG Index = First; Index < Last; ++Index) {
      ULONG Sector = LookupBlockSector(Image, (ULONG)Index);
      if (Sector == VHD_BAT_UNALLOCATED) {
        continue;
      }
      NTSTATUS Status = CopyBlockToReceiver(Image, (ULONG)Index, Sector);
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
      ++Copied;
    }
    if (Copied == 0) {
      continue;
    }
    NTSTATUS Status = FlushMergeTargets(Image);
    for (ULONGLONG Index = First; Index < Last && NT_SUCCESS(Status); ++Index) {
      if (LookupBlockSector(Image, (ULONG)Index) != VHD_BAT_UNALLOCATED) {
        Status = ClearBatEntry(Image, (ULONG)Index);
      }
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return STATUS_SUCCESS;
}

// Writes the present sectors of the block at Sector into the parent chain:
// the merge-through images below it first give up what lies under the
// block, then the block's runs go into the receiving image. The block stays
// allocated.
NTSTATUS CopyBlockToParent(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector) {
  LONGLONG BlockStart = BlockVirtualOffset(Context, BlockIndex, 0);
  NTSTATUS Status = MergeImagesBelow(Context, BlockStart, BlockStart + Context->BlockSize);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return CopyBlockToReceiver(Context, BlockIndex, Sector);
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
  // Every level is checked before anything is reopened.
  PIMAGE_CONTEXT Image = Context;
  for (ULONG Depth = 0; Depth < Levels; ++Depth, Image = Image->Parent) {
    if (Image->DiskType != VHD_DISK_TYPE_DIFFERENCING || !CanReceive(Image)) {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
  }
  // The deepest parent is reopened first: an image becomes merge-through only
  // once every image below it that passes its writes on is.
  for (ULONG Depth = Levels; Depth-- > 0;) {
    Image = ImageBelow(Context, Depth);
    if (Image->MergeThrough) {
      continue;
    }
    NTSTATUS Status = ReopenImageForWrite(Image->Parent);
    if (NT_SUCCESS(Status)) {
      Status = ReloadImageRecords(Image->Parent);
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Image->MergeThrough = TRUE;
  }
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
  }
  // Also after a failure: the blocks given up before it (a full disk stops
  // the parent's writes) leave no space behind the ones that remain.
  WriteTrailingFooter(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  *BlocksRemaining = CountAllocatedBlocks(Context);
  if (*BlocksRemaining == 0) {
    Context->DeleteWhenEmpty = TRUE;
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

NTSTATUS WriteThroughMerge(PIMAGE_CONTEXT Context, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  LONGLONG Offset = ByteOffset->QuadPart;
  if (Offset < 0) {
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  ULONGLONG First = (ULONGLONG)Offset >> Context->BlockShift;
  ULONGLONG End = Length == 0 ? First : (((ULONGLONG)Offset + Length - 1) >> Context->BlockShift) + 1;
  End = End < Context->BatEntries ? End : Context->BatEntries;
  for (ULONGLONG Index = First; Index < End; ++Index) {
    NTSTATUS Status = MergeBlockToParent(Context, (ULONG)Index);
    if (Status == STATUS_NO_MORE_ENTRIES) {
      LONGLONG BlockStart = BlockVirtualOffset(Context, (ULONG)Index, 0);
      Status = MergeImagesBelow(Context, BlockStart, BlockStart + Context->BlockSize);
    }
    if (!NT_SUCCESS(Status)) {
      return CompleteTransfer(IoStatus, Status, 0);
    }
  }
  return DirectTransfer(ImageBelow(Context, MergeThroughLevels(Context)), IMAGE_OPERATION_WRITE,
                        Length, ByteOffset, Buffer, IoStatus);
}
