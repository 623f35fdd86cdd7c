// Reads of differencing images: each sector of a range from the first image
// of the chain, from the top down, that holds it.
//
// The chain is read one image after the other, never by nesting a parent's
// read inside its child's, so the kernel stack a read takes is the same
// however deep the chain. The sectors of the range that no image read so far
// holds are the needed ones. Each image reads those of them it holds (a
// fixed or dynamic image all of them, zeros for a dynamic image's
// unallocated blocks) and leaves the rest to its parent. The needed sectors
// start as one run and stay one while images fill them from either end; once
// an image fills sectors in the middle, a bitmap over the range keeps them.
//
// An image reads on across short gaps (fewer than kJoinSectors sectors)
// between the runs it holds rather than stopping at each: a call costs more
// than the few bytes read in vain. A gap whose sectors are all still needed
// is read over straight into the destination, since an image further down
// overwrites those bytes; a gap holding sectors already filled makes the
// joined stretch go through scratch space (at most
// DIFFERENCING_SCRATCH_LENGTH bytes), from where the image's own sectors are
// copied to their places. Alternating sectors thus never cost a read each.
//
// A parent's disk ends at its own size: bytes of the range past the smallest
// size of the parents read so far are zeros, and no image further down is
// asked for them.
#include "engine/engine_internal.h"

namespace {

constexpr ULONG kJoinSectors = 16;
constexpr ULONG kScratchSectors = DIFFERENCING_SCRATCH_LENGTH >> VHD_SECTOR_SHIFT;
constexpr LONGLONG kNoLimit = 0x7FFFFFFFFFFFFFFFll;

ULONG Smaller(ULONG A, ULONG B) { return A < B ? A : B; }

// Sets or clears bits [From, To) of an RTL-order bitmap.
VOID SetBitRange(PULONG Bits, ULONG From, ULONG To, BOOLEAN Value) {
  while (From < To) {
    ULONG Bit = From & 31;
    ULONG Count = Smaller(32 - Bit, To - From);
    ULONG Mask = (Count == 32 ? 0xFFFFFFFFu : ((1u << Count) - 1)) << Bit;
    Bits[From >> 5] = Value ? (Bits[From >> 5] | Mask) : (Bits[From >> 5] & ~Mask);
    From += Count;
  }
}

// The sectors of a range that no image has filled yet, by their index in the
// range: the run [First, End) while they are contiguous, a bitmap over the
// range besides once they are not.
class NEEDED_SECTORS {
 public:
  explicit NEEDED_SECTORS(ULONG Count) : Count_(Count), First_(0), End_(Count), Bits_(NULL) {}
  ~NEEDED_SECTORS() { FreePool(Bits_); }
  NEEDED_SECTORS(const NEEDED_SECTORS &) = delete;
  NEEDED_SECTORS &operator=(const NEEDED_SECTORS &) = delete;

  BOOLEAN IsEmpty() const { return First_ >= End_; }
  ULONG First() const { return First_; }
  ULONG End() const { return End_; }
  BOOLEAN IsNeeded(ULONG Index) const {
    return Index >= First_ && Index < End_ && (Bits_ == NULL || IsSectorPresent(Bits_, Index));
  }
  // The end of the run of sectors that share Index's state, at most Limit.
  ULONG RunEnd(ULONG Index, ULONG Limit) const {
    ULONG End = Limit;
    if (Index < First_) {
      End = First_;
    } else if (Index < End_) {
      End = Bits_ == NULL ? End_ : SectorRunEnd(Bits_, Index, End_);
    }
    return Smaller(End, Limit);
  }
  // Sectors [From, To) are filled. Fails only when the run splits and no
  // pool is left for the bitmap.
  NTSTATUS Clear(ULONG From, ULONG To) {
    From = From > First_ ? From : First_;
    To = Smaller(To, End_);
    if (From >= To) {
      return STATUS_SUCCESS;
    }
    if (Bits_ == NULL) {
      if (From == First_) {
        First_ = To;
        return STATUS_SUCCESS;
      }
      if (To == End_) {
        End_ = From;
        return STATUS_SUCCESS;
      }
      Bits_ = static_cast<PULONG>(AllocateZeroedPool(((Count_ + 31) / 32) * sizeof(ULONG)));
      if (Bits_ == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      SetBitRange(Bits_, First_, End_, TRUE);
    }
    SetBitRange(Bits_, From, To, FALSE);
    if (!IsSectorPresent(Bits_, First_)) {
      First_ = SectorRunEnd(Bits_, First_, End_);
    }
    return STATUS_SUCCESS;
  }

 private:
  ULONG Count_;
  ULONG First_;
  ULONG End_;
  PULONG Bits_;
};

// Scratch space for joined stretches: a work buffer of the image whose read
// this is, taken the first time a stretch needs it.
class SCRATCH {
 public:
  explicit SCRATCH(PIMAGE_CONTEXT Image) : Image_(Image), Buffer_(NULL) {}
  ~SCRATCH() { ReturnWorkBuffer(Image_, Buffer_); }
  SCRATCH(const SCRATCH &) = delete;
  SCRATCH &operator=(const SCRATCH &) = delete;
  PUCHAR Get() {
    if (Buffer_ == NULL) {
      Buffer_ = TakeWorkBuffer(Image_);
    }
    return Buffer_ == NULL ? NULL : Buffer_ + SectorBitmapLength(Image_->BlockSize);
  }

 private:
  PIMAGE_CONTEXT Image_;
  PUCHAR Buffer_;
};

// One read of a chain: the destination stands for the virtual-disk bytes
// [Start, End); sector index 0 is the sector holding Start.
typedef struct _CHAIN_READ {
  PUCHAR Buffer;
  LONGLONG Start;
  LONGLONG End;
  LONGLONG Base;   // Start rounded down to a sector
  ULONG Sectors;   // indexes of the range
  LONGLONG Limit;  // bytes at or past it read as zeros
  NEEDED_SECTORS *Needed;
  SCRATCH *Scratch;
} CHAIN_READ;

LONGLONG SectorByte(const CHAIN_READ &Read, ULONG Index) {
  return Read.Base + ((LONGLONG)Index << VHD_SECTOR_SHIFT);
}
// The first byte of sector Index that the range asks for.
LONGLONG ByteFrom(const CHAIN_READ &Read, ULONG Index) {
  LONGLONG Byte = SectorByte(Read, Index);
  return Byte > Read.Start ? Byte : Read.Start;
}
// The end of the bytes the range asks for in the sectors before Index, and
// below the limit.
LONGLONG ByteTo(const CHAIN_READ &Read, ULONG Index) {
  LONGLONG Byte = SectorByte(Read, Index);
  Byte = Byte < Read.End ? Byte : Read.End;
  return Byte < Read.Limit ? Byte : Read.Limit;
}
PUCHAR PlaceOf(const CHAIN_READ &Read, LONGLONG Byte) { return Read.Buffer + (Byte - Read.Start); }

// Zeros into the needed sectors among [From, To), which are filled so.
NTSTATUS FillZeros(const CHAIN_READ &Read, ULONG From, ULONG To) {
  while (From < To) {
    ULONG RunTo = Read.Needed->RunEnd(From, To);
    if (Read.Needed->IsNeeded(From)) {
      LONGLONG First = ByteFrom(Read, From);
      LONGLONG Last = ByteTo(Read, RunTo);
      if (First < Last) {
        RtlZeroMemory(PlaceOf(Read, First), (SIZE_T)(Last - First));
      }
      NTSTATUS Status = Read.Needed->Clear(From, RunTo);
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
    }
    From = RunTo;
  }
  return STATUS_SUCCESS;
}

// The disk ends at Size for the images from here down: the needed bytes past
// it are zeros, and sectors that lie wholly past it are filled.
NTSTATUS ApplyDiskEnd(CHAIN_READ *Read, LONGLONG Size) {
  if (Size >= Read->Limit) {
    return STATUS_SUCCESS;
  }
  LONGLONG Into = Size - Read->Base;
  ULONG Past = Into <= 0 ? 0 : Smaller((ULONG)(Into >> VHD_SECTOR_SHIFT), Read->Sectors);
  // A sector that Size cuts stays needed for its bytes in front of Size.
  if (Into > 0 && (Into & (VHD_SECTOR_SIZE - 1)) != 0 && Past < Read->Sectors) {
    if (Read->Needed->IsNeeded(Past)) {
      LONGLONG First = Size > Read->Start ? Size : Read->Start;
      LONGLONG Last = ByteTo(*Read, Past + 1);
      if (First < Last) {
        RtlZeroMemory(PlaceOf(*Read, First), (SIZE_T)(Last - First));
      }
    }
    ++Past;
  }
  NTSTATUS Status = FillZeros(*Read, Past, Read->Sectors);
  Read->Limit = Size;
  return Status;
}

// The part of one block of one image that a read covers: indexes [First,
// End). File offset = virtual offset + FileDelta. Bits is the block's sector
// bitmap where it holds some of those sectors only (block sector = index +
// BitShift), NULL where it holds them all.
typedef struct _LEVEL_BLOCK {
  PIMAGE_CONTEXT Image;
  LONGLONG FileDelta;
  ULONG First;
  ULONG End;
  const ULONG *Bits;
  LONG BitShift;
} LEVEL_BLOCK;

BOOLEAN Holds(const LEVEL_BLOCK &Block, ULONG Index) {
  return Block.Bits == NULL || IsSectorPresent(Block.Bits, (ULONG)((LONG)Index + Block.BitShift));
}
ULONG HoldsRunEnd(const LEVEL_BLOCK &Block, ULONG Index) {
  if (Block.Bits == NULL) {
    return Block.End;
  }
  return (ULONG)((LONG)SectorRunEnd(Block.Bits, (ULONG)((LONG)Index + Block.BitShift),
                                    (ULONG)((LONG)Block.End + Block.BitShift)) -
                 Block.BitShift);
}

// Sectors the image reads: needed, and held by the block.
BOOLEAN Wanted(const CHAIN_READ &Read, const LEVEL_BLOCK &Block, ULONG Index) {
  return Read.Needed->IsNeeded(Index) && Holds(Block, Index);
}
ULONG WantedRunEnd(const CHAIN_READ &Read, const LEVEL_BLOCK &Block, ULONG Index) {
  while (Index < Block.End && Wanted(Read, Block, Index)) {
    Index = Smaller(Read.Needed->RunEnd(Index, Block.End), HoldsRunEnd(Block, Index));
  }
  return Index;
}
ULONG UnwantedRunEnd(const CHAIN_READ &Read, const LEVEL_BLOCK &Block, ULONG Index) {
  while (Index < Block.End && !Wanted(Read, Block, Index)) {
    Index = Read.Needed->IsNeeded(Index) ? HoldsRunEnd(Block, Index)
                                         : Read.Needed->RunEnd(Index, Block.End);
  }
  return Index;
}

// Reads sectors [From, To) of the block, at once, and fills the wanted ones
// among them: straight into the destination, or through scratch space when
// the stretch takes in sectors already filled.
NTSTATUS ReadStretch(const CHAIN_READ &Read, const LEVEL_BLOCK &Block, ULONG From, ULONG To,
                     BOOLEAN Staged) {
  LONGLONG First = ByteFrom(Read, From);
  LONGLONG Last = ByteTo(Read, To);
  PUCHAR Target = Staged ? Read.Scratch->Get() : PlaceOf(Read, First);
  if (Target == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (First < Last) {
    NTSTATUS Status = ReadImageFileExact(Block.Image->ImageHandle, Target, (ULONG)(Last - First),
                                         First + Block.FileDelta);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  for (ULONG Run = From; Run < To;) {
    if (!Wanted(Read, Block, Run)) {
      Run = UnwantedRunEnd(Read, Block, Run);
      continue;
    }
    ULONG RunTo = WantedRunEnd(Read, Block, Run);
    LONGLONG RunFirst = ByteFrom(Read, Run);
    LONGLONG RunLast = ByteTo(Read, RunTo);
    if (Staged && RunFirst < RunLast) {
      RtlCopyMemory(PlaceOf(Read, RunFirst), Target + (RunFirst - First),
                    (SIZE_T)(RunLast - RunFirst));
    }
    NTSTATUS Status = Read.Needed->Clear(Run, RunTo);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Run = RunTo;
  }
  return STATUS_SUCCESS;
}

// The wanted sectors of one block, their runs joined across short gaps.
NTSTATUS ReadBlockRuns(const CHAIN_READ &Read, const LEVEL_BLOCK &Block) {
  for (ULONG Index = Block.First; Index < Block.End;) {
    if (!Wanted(Read, Block, Index)) {
      Index = UnwantedRunEnd(Read, Block, Index);
      continue;
    }
    ULONG From = Index;
    ULONG To = WantedRunEnd(Read, Block, From);
    BOOLEAN Staged = FALSE;
    while (To < Block.End) {
      ULONG GapEnd = UnwantedRunEnd(Read, Block, To);
      if (GapEnd >= Block.End || GapEnd - To >= kJoinSectors) {
        break;
      }
      BOOLEAN GapFilled =
          !Read.Needed->IsNeeded(To) || Read.Needed->RunEnd(To, GapEnd) < GapEnd;
      ULONG NextEnd = WantedRunEnd(Read, Block, GapEnd);
      if ((Staged || GapFilled) && NextEnd - From > kScratchSectors) {
        break;
      }
      Staged = Staged || GapFilled;
      To = NextEnd;
    }
    NTSTATUS Status = ReadStretch(Read, Block, From, To, Staged);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Index = To;
  }
  return STATUS_SUCCESS;
}

// One block of a dynamic or differencing image: the needed sectors it holds.
NTSTATUS ReadImageBlock(const CHAIN_READ &Read, PIMAGE_CONTEXT Image, ULONG BlockIndex,
                        LONGLONG BlockStart, ULONG First, ULONG End) {
  ULONG Sector = LookupBlockSector(Image, BlockIndex);
  BOOLEAN Differencing = Image->DiskType == VHD_DISK_TYPE_DIFFERENCING;
  if (Sector == VHD_BAT_UNALLOCATED) {
    // A dynamic image's unallocated block reads as zeros; a differencing
    // image's leaves its sectors to the parent.
    return Differencing ? STATUS_SUCCESS : FillZeros(Read, First, End);
  }
  LEVEL_BLOCK Block = {Image, BlockDataOffset(Image, Sector, 0) - BlockStart, First, End, NULL,
                       (LONG)((Read.Base - BlockStart) / VHD_SECTOR_SIZE)};
  if (!Differencing) {
    return ReadBlockRuns(Read, Block);
  }
  ULONG FirstSector = (ULONG)((LONG)First + Block.BitShift);
  switch (ProbeSectorBitmap(Image, BlockIndex, Sector, FirstSector,
                            (ULONG)((LONG)End + Block.BitShift))) {
    case SectorsPresent:
      return ReadBlockRuns(Read, Block);
    case SectorsAbsent:
      return STATUS_SUCCESS;
    default:
      break;
  }
  WORK_BUFFER Work(Image);
  if (!Work) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS Status = LoadSectorBitmap(Image, BlockIndex, Sector, Work.Bitmap());
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Block.Bits = reinterpret_cast<const ULONG *>(Work.Bitmap());
  return ReadBlockRuns(Read, Block);
}

// The needed sectors one image of the chain holds.
NTSTATUS ReadImageLevel(const CHAIN_READ &Read, PIMAGE_CONTEXT Image) {
  ULONG First = Read.Needed->First();
  ULONG End = Read.Needed->End();
  if (Image->DiskType == VHD_DISK_TYPE_FIXED) {
    LEVEL_BLOCK Whole = {Image, 0, First, End, NULL, 0};
    return ReadBlockRuns(Read, Whole);
  }
  while (First < End) {
    LONGLONG At = SectorByte(Read, First);
    ULONGLONG BlockIndex = (ULONGLONG)At >> Image->BlockShift;
    // No block of the table holds the rest: it reads as zeros.
    if (BlockIndex >= Image->BatEntries) {
      return FillZeros(Read, First, End);
    }
    LONGLONG BlockStart = (LONGLONG)(BlockIndex << Image->BlockShift);
    LONGLONG BlockEnd = BlockStart + Image->BlockSize;
    ULONG BlockTo = Smaller((ULONG)((BlockEnd - Read.Base) >> VHD_SECTOR_SHIFT), End);
    // A block none of whose sectors are needed costs nothing.
    if (Read.Needed->IsNeeded(First) || Read.Needed->RunEnd(First, BlockTo) < BlockTo) {
      NTSTATUS Status = ReadImageBlock(Read, Image, (ULONG)BlockIndex, BlockStart, First, BlockTo);
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
    }
    First = BlockTo;
  }
  return STATUS_SUCCESS;
}

// The range [Offset, Offset + Length) of Image's virtual disk into Buffer,
// every byte set, from Image and its parents in turn. With DiskSized, the
// range ends at Image's own disk size too, not only at its parents'.
NTSTATUS ReadChainRange(PIMAGE_CONTEXT Image, PUCHAR Buffer, ULONG Length, LONGLONG Offset,
                        BOOLEAN DiskSized) {
  if (Length == 0) {
    return STATUS_SUCCESS;
  }
  LONGLONG Base = Offset & ~(LONGLONG)(VHD_SECTOR_SIZE - 1);
  ULONG Sectors = (ULONG)((Offset + Length - Base + VHD_SECTOR_SIZE - 1) >> VHD_SECTOR_SHIFT);
  NEEDED_SECTORS Needed(Sectors);
  SCRATCH Scratch(Image);
  CHAIN_READ Read = {Buffer, Offset,   Offset + Length, Base, Sectors, kNoLimit,
                     &Needed, &Scratch};
  for (PIMAGE_CONTEXT Level = Image; Level != NULL && !Needed.IsEmpty(); Level = Level->Parent) {
    NTSTATUS Status = STATUS_SUCCESS;
    if (Level != Image || DiskSized) {
      Status = ApplyDiskEnd(&Read, Level->DiskSize);
    }
    if (NT_SUCCESS(Status) && !Needed.IsEmpty()) {
      Status = ReadImageLevel(Read, Level);
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  // What no image of the chain holds reads as zeros.
  return FillZeros(Read, 0, Sectors);
}

}  // namespace

NTSTATUS ReadDifferencingBlock(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length, ULONG BlockIndex,
                               ULONG OffsetInBlock, PULONG SectorOut, PIO_STATUS_BLOCK IoStatus) {
  if (!IsRangeInBlock(Context, BlockIndex, OffsetInBlock, Length)) {
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  *SectorOut = LookupBlockSector(Context, BlockIndex);
  NTSTATUS Status = ReadChainRange(Context, static_cast<PUCHAR>(Buffer), Length,
                                   BlockVirtualOffset(Context, BlockIndex, OffsetInBlock), FALSE);
  return CompleteTransfer(IoStatus, Status, Length);
}

NTSTATUS ReadParentRange(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length, LONGLONG Offset,
                         PIO_STATUS_BLOCK IoStatus) {
  NTSTATUS Status =
      ReadChainRange(Context->Parent, static_cast<PUCHAR>(Buffer), Length, Offset, TRUE);
  return CompleteTransfer(IoStatus, Status, Length);
}
