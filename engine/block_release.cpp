// Release of a dynamic image's block that has become entirely zero, keeping
// the file compact: the block span that lies last in the file moves into the
// freed place and the file is cut one span shorter. When the freed block is
// itself the last, the footer takes its place.
//
// The writes are ordered so that the file is a valid image after each one:
//
//   1. the freed block's entry is cleared: the block reads as zeros, which is
//      what the write that released it asked for, and its span is unnamed;
//   2. the last span is copied into the freed place, which no entry names;
//   3. the moved block's entry names the freed place; the last span is now
//      unnamed;
//   4. the footer is written where the file is to end, in front of the
//      trailing footer, over bytes that no entry names;
//   5. the file is cut behind the new footer.
//
// Nothing is undone after a failure: every state in between reads the same
// and opens, at worst with a span that no entry names.
//
// A power loss may keep any subset of the writes since the last flush, so
// each of 1 to 3 is flushed: the freed place is written (by the move, or by
// the next allocation when nothing moves) only once no entry names it, the
// moved entry names it only once the copy is there, and the cut comes only
// once no entry names the last span.
#include "engine/engine_internal.h"

namespace {

// The last span, read into WorkBuffer, into the freed place, then the moved
// block's entry, each flushed.
NTSTATUS MoveLastSpan(PIMAGE_CONTEXT Context, ULONG Mover, ULONG FreedSector,
                      PUCHAR WorkBuffer) {
  ULONG Span = ContextBlockSpan(Context);
  NTSTATUS Status = WriteImageFileExact(Context->ImageHandle, WorkBuffer, Span,
                                        (LONGLONG)FreedSector << VHD_SECTOR_SHIFT);
  if (NT_SUCCESS(Status)) {
    Status = FlushImageWrites(Context);
  }
  if (NT_SUCCESS(Status)) {
    Status = WriteBatEntry(Context, Mover, FreedSector);
  }
  if (NT_SUCCESS(Status)) {
    Status = FlushImageWrites(Context);
  }
  return Status;
}

}  // namespace

NTSTATUS ReleaseBlock(PIMAGE_CONTEXT Context, ULONG BlockIndex, PUCHAR WorkBuffer) {
  ULONG Sector = LookupBlockSector(Context, BlockIndex);
  if (Sector == VHD_BAT_UNALLOCATED) {
    return STATUS_SUCCESS;
  }
  ULONG Span = ContextBlockSpan(Context);
  LONGLONG FreedPlace = (LONGLONG)Sector << VHD_SECTOR_SHIFT;
  // The last span ends on the sector boundary at or before the trailing
  // footer: blocks start and end on sector boundaries even in a file whose
  // length is not a whole number of sectors.
  LONGLONG LastPlace =
      AlignDownToSector(Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER)) - (LONGLONG)Span;
  // Only a block reaching into the footer could lie behind the last place;
  // then nothing lies behind the freed block either.
  if (LastPlace < FreedPlace) {
    LastPlace = FreedPlace;
  }

  // The block that moves is the one at the last place; the freed block may
  // be that one itself, and then no other block lies behind it: blocks do
  // not overlap, and none reaches into the footer.
  ULONG Mover = FindBlockAt(Context, LastPlace);
  BOOLEAN Moving = Mover != Context->BatEntries && Mover != BlockIndex;
  // Where the footer goes: in front of the last span when a block moves out
  // of it; where the freed block starts when no other block lies behind it
  // (whatever unnamed bytes follow go with it); in front of an unnamed last
  // span. When another block reaches into the last place without starting
  // there, no cut keeps it whole: the freed block is then only unnamed.
  LONGLONG FooterPlace = LastPlace;
  if (Mover == BlockIndex) {
    FooterPlace = FreedPlace;
  } else if (!Moving) {
    LONGLONG OthersEnd = HighestBlockEnd(Context, BlockIndex);
    if (OthersEnd <= FreedPlace) {
      FooterPlace = FreedPlace;
    } else if (OthersEnd > LastPlace) {
      NTSTATUS Status = ClearBatEntry(Context, BlockIndex);
      if (NT_SUCCESS(Status)) {
        Context->SpanGaps = IMAGE_SPANS_GAPPED;
      }
      return Status;
    }
  }

  NTSTATUS Status;
  if (Moving) {
    Status = ReadImageFileExact(Context->ImageHandle, WorkBuffer, Span, LastPlace);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  Status = ClearBatEntry(Context, BlockIndex);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // From here a failure leaves the freed span, or the last one, unnamed.
  UCHAR GapsBefore = Context->SpanGaps;
  Context->SpanGaps = IMAGE_SPANS_GAPPED;
  // Before the freed place is written, by the move or by the next
  // allocation, no entry on the disk may name it.
  Status = FlushImageWrites(Context);
  if (NT_SUCCESS(Status) && Moving) {
    Status = MoveLastSpan(Context, Mover, Sector, WorkBuffer);
  }
  if (NT_SUCCESS(Status)) {
    Status = PlaceTrailingFooter(Context, FooterPlace);
  }
  // A release that filled the freed place, or cut the file there, leaves
  // the file as compact as it found it; one that dropped an unnamed last
  // span instead leaves the freed span unnamed.
  if (NT_SUCCESS(Status) && (Moving || FooterPlace == FreedPlace)) {
    Context->SpanGaps = GapsBefore;
  }
  return Status;
}
