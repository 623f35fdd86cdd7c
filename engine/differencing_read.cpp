// Reads of allocated blocks of a differencing image: each sector of the range
// from the image that holds it, read straight into the destination.
//
// The block's bitmap (from the bitmap cache) splits the range into runs of
// present sectors, this image's, and absent ones, the parent chain's. The
// side that holds more of the range reads first, straight into the
// destination, and reads on across the other side's short runs (fewer than
// kJoinSectors) rather than stopping at each: a call costs more than the few
// bytes read in vain, which the other side then overwrites. The other side
// reads each of its runs; where its runs lie closer together than
// kJoinSectors, it reads them together into scratch space and copies them
// out. Alternating sectors thus never cost a read each: each side makes at
// most one read per kJoinSectors + 1 sectors of the range, and the staged
// side at most one more per DIFFERENCING_SCRATCH_LENGTH bytes.
#include "engine/engine_internal.h"

namespace {

constexpr ULONG kJoinSectors = 16;
constexpr ULONG kScratchSectors = DIFFERENCING_SCRATCH_LENGTH >> VHD_SECTOR_SHIFT;

// One piece being read: the destination stands for the block's bytes
// [Start, End).
typedef struct _READ_PIECE {
  PIMAGE_CONTEXT Context;
  PUCHAR Buffer;
  ULONG BlockIndex;
  ULONG Start;
  ULONG End;
  ULONG FirstSector;
  ULONG EndSector;
  const ULONG *Bits;  // the block's bitmap, RTL order
} READ_PIECE;

BOOLEAN IsPresent(const READ_PIECE &Piece, ULONG Sector) {
  return IsSectorPresent(Piece.Bits, Sector);
}

ULONG RunEnd(const READ_PIECE &Piece, ULONG Sector) {
  return SectorRunEnd(Piece.Bits, Sector, Piece.EndSector);
}

// The bytes of sectors [From, To) that the piece asks for.
ULONG ByteFrom(const READ_PIECE &Piece, ULONG From) {
  ULONG Byte = From << VHD_SECTOR_SHIFT;
  return Byte > Piece.Start ? Byte : Piece.Start;
}
ULONG ByteTo(const READ_PIECE &Piece, ULONG To) {
  ULONG Byte = To << VHD_SECTOR_SHIFT;
  return Byte < Piece.End ? Byte : Piece.End;
}

// Sectors [From, To) from one side into Destination, which stands for the
// first byte of them that the piece asks for.
NTSTATUS ReadSide(const READ_PIECE &Piece, BOOLEAN Present, ULONG From, ULONG To,
                  PUCHAR Destination) {
  ULONG First = ByteFrom(Piece, From);
  ULONG Length = ByteTo(Piece, To) - First;
  IO_STATUS_BLOCK IoStatus;
  if (Present) {
    ULONG Unused;
    return ReadBlockData(Piece.Context, Destination, Length, Piece.BlockIndex, First, &Unused,
                         &IoStatus);
  }
  return ReadParentRange(Piece.Context, Destination, Length,
                         BlockVirtualOffset(Piece.Context, Piece.BlockIndex, First), &IoStatus);
}

PUCHAR PlaceOf(const READ_PIECE &Piece, ULONG Sector) {
  return Piece.Buffer + (ByteFrom(Piece, Sector) - Piece.Start);
}

// The end of the run at From, extended over the other side's runs shorter
// than kJoinSectors as long as the whole spans at most Limit sectors;
// *Runs receives the number of runs of From's side it takes in.
ULONG JoinRuns(const READ_PIECE &Piece, ULONG From, ULONG Limit, PULONG Runs) {
  ULONG To = RunEnd(Piece, From);
  *Runs = 1;
  while (To < Piece.EndSector) {
    ULONG GapEnd = RunEnd(Piece, To);
    if (GapEnd >= Piece.EndSector || GapEnd - To >= kJoinSectors) {
      break;
    }
    ULONG NextEnd = RunEnd(Piece, GapEnd);
    if (NextEnd - From > Limit) {
      break;
    }
    To = NextEnd;
    ++*Runs;
  }
  return To;
}

// One side's runs, each joined across the other side's short runs. The side
// read first (Scratch NULL) reads every joined stretch straight into the
// destination: the other side overwrites the bytes read in vain. The side
// read second must not overwrite them: a run that stands alone goes straight
// into the destination, runs joined within the scratch length are read at
// once into Scratch and copied to their places.
NTSTATUS ReadRuns(const READ_PIECE &Piece, BOOLEAN Present, PUCHAR Scratch) {
  ULONG Limit = Scratch == NULL ? 0xFFFFFFFFu : kScratchSectors;
  ULONG Sector = Piece.FirstSector;
  while (Sector < Piece.EndSector) {
    if (IsPresent(Piece, Sector) != Present) {
      Sector = RunEnd(Piece, Sector);
      continue;
    }
    ULONG From = Sector;
    ULONG Runs;
    ULONG To = JoinRuns(Piece, From, Limit, &Runs);
    BOOLEAN Staged = Scratch != NULL && Runs > 1;
    NTSTATUS Status = ReadSide(Piece, Present, From, To, Staged ? Scratch : PlaceOf(Piece, From));
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    if (Staged) {
      ULONG StagedFrom = ByteFrom(Piece, From);
      for (ULONG Run = From; Run < To;) {
        ULONG RunTo = RunEnd(Piece, Run);
        if (IsPresent(Piece, Run) == Present) {
          ULONG First = ByteFrom(Piece, Run);
          RtlCopyMemory(PlaceOf(Piece, Run), Scratch + (First - StagedFrom),
                        ByteTo(Piece, RunTo) - First);
        }
        Run = RunTo;
      }
    }
    Sector = To;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReadAllocatedBlock(PIMAGE_CONTEXT Context, ULONG Sector, PUCHAR Buffer, ULONG Length,
                            ULONG BlockIndex, ULONG OffsetInBlock, PIO_STATUS_BLOCK IoStatus) {
  // A range that one image holds whole, by a bitmap already cached, is one
  // read with no bitmap copied: the common case of small reads.
  ULONG FirstSector = OffsetInBlock >> VHD_SECTOR_SHIFT;
  ULONG EndSector = (OffsetInBlock + Length + VHD_SECTOR_SIZE - 1) >> VHD_SECTOR_SHIFT;
  switch (ProbeSectorBitmap(Context, BlockIndex, Sector, FirstSector, EndSector)) {
    case SectorsPresent: {
      ULONG Unused;
      return ReadBlockData(Context, Buffer, Length, BlockIndex, OffsetInBlock, &Unused, IoStatus);
    }
    case SectorsAbsent: {
      IO_STATUS_BLOCK ParentStatus;
      NTSTATUS Status =
          ReadParentRange(Context, Buffer, Length,
                          BlockVirtualOffset(Context, BlockIndex, OffsetInBlock), &ParentStatus);
      return CompleteTransfer(IoStatus, Status, Length);
    }
    default:
      break;
  }
  WORK_BUFFER Work(Context);
  if (!Work) {
    return CompleteTransfer(IoStatus, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  NTSTATUS Status = LoadSectorBitmap(Context, BlockIndex, Sector, Work.Bitmap());
  if (!NT_SUCCESS(Status)) {
    return CompleteTransfer(IoStatus, Status, 0);
  }
  READ_PIECE Piece;
  Piece.Context = Context;
  Piece.Buffer = Buffer;
  Piece.BlockIndex = BlockIndex;
  Piece.Start = OffsetInBlock;
  Piece.End = OffsetInBlock + Length;
  Piece.FirstSector = FirstSector;
  Piece.EndSector = EndSector;
  Piece.Bits = reinterpret_cast<const ULONG *>(Work.Bitmap());

  ULONG PresentSectors = 0;
  for (ULONG Run = Piece.FirstSector; Run < Piece.EndSector;) {
    ULONG RunTo = RunEnd(Piece, Run);
    if (IsPresent(Piece, Run)) {
      PresentSectors += RunTo - Run;
    }
    Run = RunTo;
  }
  // The side holding more of the range reads first and over the other's
  // short runs; a side holding all of it makes the one read.
  BOOLEAN PresentFirst = PresentSectors * 2 > Piece.EndSector - Piece.FirstSector;
  Status = ReadRuns(Piece, PresentFirst, NULL);
  if (NT_SUCCESS(Status)) {
    Status = ReadRuns(Piece, !PresentFirst, Work.Scratch());
  }
  return CompleteTransfer(IoStatus, Status, Length);
}
