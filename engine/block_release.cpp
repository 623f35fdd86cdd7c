// Release of a dynamic image's block that has become entirely zero, keeping
// the file compact: the block span that lies last in the file moves into the
// freed place and the file is cut one span shorter.
//
// The writes are ordered so that the file is a valid image after each one:
//
//   1. the freed block's entry is cleared: the block reads as zeros, which is
//      what the write that released it asked for, and its span is unnamed;
//   2. the last span is copied into the freed place, which no entry names;
//   3. the moved block's entry names the freed place; the last span is now
//      unnamed;
//   4. the footer is written at the start of the last span, in front of the
//      trailing footer;
//   5. the file is cut behind the new footer.
//
// Nothing is undone after a failure: every state in between reads the same
// and opens, at worst with a span that no entry names.
#include "engine/engine.h"

namespace {

LONGLONG AlignDownToSector(LONGLONG Offset) {
  return Offset & ~(LONGLONG)(VHD_SECTOR_SIZE - 1);
}

// What lies in the last span place of the file.
typedef struct _LAST_SPAN {
  ULONG Mover;       // index of the block at the place, or BatEntries for none
  BOOLEAN Blocked;   // another block reaches into the place without starting there
} LAST_SPAN;

LAST_SPAN FindLastSpan(const IMAGE_CONTEXT *Context, ULONG BlockIndex, LONGLONG LastPlace) {
  LAST_SPAN Last = {Context->BatEntries, FALSE};
  ULONGLONG Span = ContextBlockSpan(Context);
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    ULONG Sector = LookupBlockSector(Context, Index);
    if (Sector == VHD_BAT_UNALLOCATED || Index == BlockIndex) {
      continue;
    }
    ULONGLONG Start = (ULONGLONG)Sector << VHD_SECTOR_SHIFT;
    if (Start == (ULONGLONG)LastPlace) {
      if (Last.Mover == Context->BatEntries) {
        Last.Mover = Index;
      }
    } else if (Start + Span > (ULONGLONG)LastPlace) {
      Last.Blocked = TRUE;
    }
  }
  return Last;
}

// The last span, read into WorkBuffer, into the freed place, then the moved
// block's entry.
NTSTATUS MoveLastSpan(PIMAGE_CONTEXT Context, ULONG Mover, ULONG FreedSector,
                      PUCHAR WorkBuffer) {
  ULONG Span = ContextBlockSpan(Context);
  NTSTATUS Status = WriteImageFileExact(Context->ImageHandle, WorkBuffer, Span,
                                        (LONGLONG)FreedSector << VHD_SECTOR_SHIFT);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return WriteBatEntry(Context, Mover, FreedSector);
}

// The footer in front of the last span, then the file cut behind it.
NTSTATUS DropLastSpan(PIMAGE_CONTEXT Context, LONGLONG LastPlace) {
  NTSTATUS Status =
      WriteImageFileExact(Context->ImageHandle, Context->Footer, sizeof(VHD_FOOTER), LastPlace);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  LONGLONG NewEnd = LastPlace + sizeof(VHD_FOOTER);
  Status = SetImageFileEnd(Context->ImageHandle, NewEnd);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->FileEnd = NewEnd;
  return STATUS_SUCCESS;
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

  LAST_SPAN Last = {BlockIndex, FALSE};
  if (FreedPlace != LastPlace) {
    Last = FindLastSpan(Context, BlockIndex, LastPlace);
  }
  // A layout in which the last place is not a whole span of its own (another
  // block reaches into it, or it lies in front of the freed block) cannot be
  // cut without losing data: the block is only unnamed.
  if (LastPlace < FreedPlace || (Last.Mover == Context->BatEntries && Last.Blocked)) {
    return WriteBatEntry(Context, BlockIndex, VHD_BAT_UNALLOCATED);
  }
  BOOLEAN Moving = Last.Mover != BlockIndex && Last.Mover != Context->BatEntries;

  NTSTATUS Status;
  if (Moving) {
    Status = ReadImageFileExact(Context->ImageHandle, WorkBuffer, Span, LastPlace);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  Status = WriteBatEntry(Context, BlockIndex, VHD_BAT_UNALLOCATED);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (Moving) {
    Status = MoveLastSpan(Context, Last.Mover, Sector, WorkBuffer);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  // With no block at the last place, the span there is one that no entry
  // names: it is dropped, and the freed span stays unnamed in the file.
  return DropLastSpan(Context, LastPlace);
}
