// The trailing footer of an image file: the last 512 bytes, which every open
// reads first. Placing it and cutting the file behind it is how a file
// shrinks (release, compaction, the end of a merge) and how a failed write
// past the end is taken back; writing it further out is how a file grows.
#include "engine/engine_internal.h"

NTSTATUS PlaceTrailingFooter(PIMAGE_CONTEXT Context, LONGLONG Place) {
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

NTSTATUS ExtendFileToFooterAt(PIMAGE_CONTEXT Context, LONGLONG Place) {
  LONGLONG NewEnd = Place + (LONGLONG)sizeof(VHD_FOOTER);
  if (NewEnd <= Context->FileEnd) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status =
      WriteImageFileExact(Context->ImageHandle, Context->Footer, sizeof(VHD_FOOTER), Place);
  if (!NT_SUCCESS(Status)) {
    // A torn footer at the new end would hide the one that still stands.
    // Best effort: the first failure is the one reported.
    PlaceTrailingFooter(Context, Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER));
    return Status;
  }
  Context->FileEnd = NewEnd;
  // The old footer, now inside the file, is written over later.
  return FlushImageWrites(Context);
}

NTSTATUS WriteTrailingFooter(PIMAGE_CONTEXT Context) {
  LONGLONG Place = (LONGLONG)LocateImageMetadata(Context).End;
  LONGLONG BlocksEnd = HighestBlockEnd(Context, Context->BatEntries);
  if (BlocksEnd > Place) {
    Place = BlocksEnd;
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
  return PlaceTrailingFooter(Context, Place);
}
