// The end of an image file and its trailing footer: the last 512 bytes,
// which every open reads first. Placing the footer and cutting the file
// behind it is how a file shrinks (release, compaction, the end of a merge)
// and how a failed write past the end is taken back; writing it further out
// is how a file grows.
//
// The record follows how far the file may reach and where fresh space
// begins (image/image.h): a cut gives space back that a power loss may
// restore with what it held, so fresh space never begins in front of what
// the file reached before the cut; only a flush moves it back to the end.
#include "engine/engine_internal.h"

VOID NoteFileReach(PIMAGE_CONTEXT Context, LONGLONG End) {
  if (End > ReachedFileEnd(Context)) {
    Context->FileReach = End;
  }
}

NTSTATUS CutImageFile(PIMAGE_CONTEXT Context, LONGLONG NewEnd) {
  NTSTATUS Status = ClearLostAppends(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  LONGLONG Reach = ReachedFileEnd(Context);
  if (Context->FreshSpaceStart != 0 && Context->FreshSpaceStart < Reach) {
    Context->FreshSpaceStart = Reach;
  }
  Status = SetImageFileEnd(Context->ImageHandle, NewEnd);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->FileEnd = NewEnd;
  Context->FileReach = NewEnd;
  return STATUS_SUCCESS;
}

NTSTATUS PlaceTrailingFooter(PIMAGE_CONTEXT Context, LONGLONG Place) {
  NoteFileReach(Context, Place + (LONGLONG)sizeof(VHD_FOOTER));
  NTSTATUS Status =
      WriteImageFileExact(Context->ImageHandle, Context->Footer, sizeof(VHD_FOOTER), Place);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return CutImageFile(Context, Place + (LONGLONG)sizeof(VHD_FOOTER));
}

NTSTATUS ExtendFileToFooterAt(PIMAGE_CONTEXT Context, LONGLONG Place) {
  LONGLONG NewEnd = Place + (LONGLONG)sizeof(VHD_FOOTER);
  if (NewEnd <= Context->FileEnd) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status = ClearLostAppends(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  NoteFileReach(Context, NewEnd);
  Status = WriteImageFileExact(Context->ImageHandle, Context->Footer, sizeof(VHD_FOOTER), Place);
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
