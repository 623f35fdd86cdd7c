// Compaction of a dynamic image: blocks moved from the end of the file into
// the places no entry names, and the file cut behind the last block, so that
// what a release that failed or was cut short part way left behind is given
// back. It runs only while the record does not know the file to be compact
// (SpanGaps): a walk over the table costs as much as the table is long, and
// a request must not cost more on a larger disk.
//
// Each step leaves a valid image: the span is copied into a slot no entry
// names (on the disk too, after a flush), then (after a flush) its entry
// names the copy, then (after a flush) the footer moves in front of the
// unnamed last slot and the file is cut.
#include "engine/engine_internal.h"

namespace {

// Block places of a dynamic image: spans laid one after another from the end
// of the metadata. Slot k starts at Origin + k * Span.
typedef struct _BLOCK_SLOTS {
  LONGLONG Origin;
  ULONG Span;
  ULONG Count;   // slots between the metadata and the trailing footer
  PUCHAR Named;  // per slot: 1 when an entry names it
} BLOCK_SLOTS;

LONGLONG SlotPlace(const BLOCK_SLOTS *Slots, ULONG Slot) {
  return Slots->Origin + (LONGLONG)Slot * Slots->Span;
}

// Fills Slots->Named; FALSE when a block lies off the slots (then nothing is
// moved: such a file was not laid out by this driver's allocation).
BOOLEAN MarkNamedSlots(const IMAGE_CONTEXT *Context, BLOCK_SLOTS *Slots) {
  for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) {
    LONGLONG Offset = ((LONGLONG)Block.Sector << VHD_SECTOR_SHIFT) - Slots->Origin;
    if (Offset < 0 || Offset % Slots->Span != 0 || Offset / Slots->Span >= Slots->Count) {
      return FALSE;
    }
    Slots->Named[Offset / Slots->Span] = 1;
  }
  return TRUE;
}

// Moves blocks from the end of the file into the slots no entry names and
// cuts the file behind the last block. Success when nothing is left to give
// back, or when the file is not laid out in slots.
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
      NTSTATUS Status = PlaceTrailingFooter(Context, SlotPlace(&Slots, Last));
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
    ULONG Mover = FindBlockAt(Context, SlotPlace(&Slots, Last));
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

NTSTATUS CompactIfGapped(PIMAGE_CONTEXT Context) {
  if (Context->DiskType != VHD_DISK_TYPE_DYNAMIC || Context->SpanGaps == IMAGE_SPANS_COMPACT) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = CompactBlocks(Context);
  Context->SpanGaps = NT_SUCCESS(Status) ? IMAGE_SPANS_COMPACT : IMAGE_SPANS_GAPPED;
  return Status;
}
