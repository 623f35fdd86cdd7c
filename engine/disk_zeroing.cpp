// Zeroing ranges of a dynamic image, and the two ways the merge gives blocks
// back: clearing one BAT entry, and moving the trailing footer behind the
// highest block that remains.
#include "engine/engine.h"

namespace {

// The footer at Place, then the file cut behind it.
NTSTATUS PlaceFooter(PIMAGE_CONTEXT Context, LONGLONG Place) {
  NTSTATUS Status =
      WriteImageFileExact(Context->ImageHandle, Context->Footer, sizeof(VHD_FOOTER), Place);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  LONGLONG NewEnd = Place + (LONGLONG)sizeof(VHD_FOOTER);
  Status = SetImageFileEnd(Context->ImageHandle, NewEnd);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->FileEnd = NewEnd;
  return STATUS_SUCCESS;
}

// Block places of a dynamic image: spans laid one after another from the end
// of the metadata. Slot k starts at Origin + k * Span.
typedef struct _BLOCK_SLOTS {
  LONGLONG Origin;
  ULONG Span;
  ULONG Count;        // slots between the metadata and the trailing footer
  PUCHAR Named;       // per slot: 1 when an entry names it
} BLOCK_SLOTS;

LONGLONG SlotPlace(const BLOCK_SLOTS *Slots, ULONG Slot) {
  return Slots->Origin + (LONGLONG)Slot * Slots->Span;
}

// The block whose entry names Slot, or BatEntries.
ULONG FindSlotOwner(const IMAGE_CONTEXT *Context, const BLOCK_SLOTS *Slots, ULONG Slot) {
  ULONG Sector = (ULONG)((ULONGLONG)SlotPlace(Slots, Slot) >> VHD_SECTOR_SHIFT);
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    if (LookupBlockSector(Context, Index) == Sector) {
      return Index;
    }
  }
  return Context->BatEntries;
}

// Fills Slots->Named; FALSE when a block lies off the slots (then nothing is
// moved: such a file was not laid out by this driver's allocation).
BOOLEAN MarkNamedSlots(const IMAGE_CONTEXT *Context, BLOCK_SLOTS *Slots) {
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    ULONG Sector = LookupBlockSector(Context, Index);
    if (Sector == VHD_BAT_UNALLOCATED) {
      continue;
    }
    LONGLONG Offset = ((LONGLONG)Sector << VHD_SECTOR_SHIFT) - Slots->Origin;
    if (Offset < 0 || Offset % Slots->Span != 0 || Offset / Slots->Span >= Slots->Count) {
      return FALSE;
    }
    Slots->Named[Offset / Slots->Span] = 1;
  }
  return TRUE;
}

// Moves blocks from the end of the file into the slots no entry names and
// cuts the file behind the last block: what a release that failed or was cut
// short part way leaves behind is given back. Each step leaves a valid
// image: the span is copied into a slot no entry names (on the disk too,
// after a flush), then (after a flush) its
// entry names the copy, then (after a flush) the footer moves in front of
// the unnamed last slot and the file is cut.
NTSTATUS CompactBlocks(PIMAGE_CONTEXT Context) {
  BLOCK_SLOTS Slots;
  Slots.Origin = (LONGLONG)LocateImageMetadata(Context).End;
  Slots.Span = ContextBlockSpan(Context);
  LONGLONG Room = Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER) - Slots.Origin;
  if (Room <= 0 || Room % Slots.Span != 0 || Room / Slots.Span > Context->BatEntries) {
    return STATUS_SUCCESS;
  }
  Slots.Count = (ULONG)(Room / Slots.Span);
  POOL_BUFFER<UCHAR> Named(static_cast<PUCHAR>(AllocateZeroedPool(Slots.Count)));
  if (!Named) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Slots.Named = Named.Get();
  if (!MarkNamedSlots(Context, &Slots)) {
    return STATUS_SUCCESS;
  }
  POOL_BUFFER<UCHAR> SpanBuffer;
  ULONG Free = 0;
  while (Slots.Count > 0) {
    ULONG Last = Slots.Count - 1;
    if (!Slots.Named[Last]) {
      NTSTATUS Status = PlaceFooter(Context, SlotPlace(&Slots, Last));
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
      Slots.Count = Last;
      continue;
    }
    while (Free < Last && Slots.Named[Free]) {
      ++Free;
    }
    if (Free == Last) {
      return STATUS_SUCCESS;
    }
    ULONG Mover = FindSlotOwner(Context, &Slots, Last);
    if (!SpanBuffer) {
      SpanBuffer.Reset(static_cast<PUCHAR>(AllocateUnfilledPool(Slots.Span)));
      if (!SpanBuffer) {
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      // An entry cleared by a release that stopped part way may not be on
      // the disk yet; the free slots are written only once it is.
      NTSTATUS Status = FlushImageWrites(Context);
      if (!NT_SUCCESS(Status)) {
        return Status;
      }
    }
    NTSTATUS Status = ReadImageFileExact(Context->ImageHandle, SpanBuffer.Get(), Slots.Span,
                                         SlotPlace(&Slots, Last));
    if (NT_SUCCESS(Status)) {
      Status = WriteImageFileExact(Context->ImageHandle, SpanBuffer.Get(), Slots.Span,
                                   SlotPlace(&Slots, Free));
    }
    if (NT_SUCCESS(Status)) {
      Status = FlushImageWrites(Context);
    }
    if (NT_SUCCESS(Status)) {
      Status = WriteBatEntry(Context, Mover,
                             (ULONG)((ULONGLONG)SlotPlace(&Slots, Free) >> VHD_SECTOR_SHIFT));
    }
    if (NT_SUCCESS(Status)) {
      Status = FlushImageWrites(Context);
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Slots.Named[Free] = 1;
    Slots.Named[Last] = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ClearBatEntry(PIMAGE_CONTEXT Context, ULONG BlockIndex) {
  // On disk first: an entry cleared only in memory would let the footer be
  // moved over a block that the BAT on disk still names.
  return WriteBatEntry(Context, BlockIndex, VHD_BAT_UNALLOCATED);
}

NTSTATUS ZeroDiskRange(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length) {
  if (*Length < 1) {
    return STATUS_SUCCESS;
  }
  if (*Offset < 0) {
    return STATUS_INVALID_PARAMETER;
  }
  // Whatever an earlier release left unnamed is given back first; zeroing
  // goes on whether or not that succeeds.
  if (Context->DiskType == VHD_DISK_TYPE_DYNAMIC) {
    CompactBlocks(Context);
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
      // A release that stopped part way may have left a span unnamed; the
      // file is made compact again where the file system still lets it.
      CompactBlocks(Context);
      return Status;
    }
    Done += Piece;
    OffsetInBlock = 0;
    ++BlockIndex;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WriteTrailingFooter(PIMAGE_CONTEXT Context) {
  ULONG Span = ContextBlockSpan(Context);
  LONGLONG Place = (LONGLONG)LocateImageMetadata(Context).End;
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    ULONG Sector = LookupBlockSector(Context, Index);
    LONGLONG BlockEnd = ((LONGLONG)Sector << VHD_SECTOR_SHIFT) + Span;
    if (Sector != VHD_BAT_UNALLOCATED && BlockEnd > Place) {
      Place = BlockEnd;
    }
  }
  // Never behind the footer that stands: the file is only ever cut here.
  LONGLONG Trailing = Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER);
  if (Place >= Trailing) {
    return STATUS_SUCCESS;
  }
  // Entries cleared since the last flush reach the disk before the cut: a
  // cut that outlived entries still naming the blocks it removed would leave
  // an image that no longer opens.
  NTSTATUS Status = FlushImageWrites(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // The footer in front of the one at the end is harmless until the cut:
  // the open reads the last 512 bytes.
  return PlaceFooter(Context, Place);
}
