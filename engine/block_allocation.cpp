// Allocation of new blocks at the end of a dynamic or differencing image.
//
// The new block goes where the trailing footer stands, and the footer moves
// behind it. The writes are ordered so that the file is a valid image after
// each one, even when a write fails or the system stops between them:
//
//   1. the footer at the new end of the file: the old footer still stands in
//      front of it, and the bytes between them belong to no block;
//   2. the block's bitmap over the old footer, then the data the block is
//      allocated for: still no entry names the span;
//   3. (after a flush) the BAT entry: the block exists.
//
// The flush keeps a power loss from keeping the entry without the span it
// names; a loss before it may keep the bitmap over the old footer without
// the footer behind it, which leaves the footer copy at offset 0 to rebuild
// the trailing one from (dorvane check --repair).
//
// A dynamic block whose data area lies in fresh space (image/image.h) needs
// no such flush: whatever part of its writes a power loss keeps, its data
// area reads as zeros, which is what the block read before it existed, or
// as the data written. Its bitmap is never read, and an entry kept without
// the footer behind the block names a block where the footer still stands,
// or behind it: the open reads such a lost append as unallocated, and its
// entry is cleared before the next block takes the place (ClearLostAppends).
// Filling a new image therefore flushes once, not once per block. A
// differencing block's bitmap decides where its sectors come from, and a
// place used before may bring older bytes back: those are flushed first.
// On a volume that may show another file's old bytes in clusters a file
// grew into (FAT, exFAT, anything not known to zero them), there is no
// fresh space, and every new block is flushed first.
//
// Everything of the span behind the bitmap lies past the file's old end, so
// the first write leaves it reading as zeros: only the bitmap and the data
// are written, the data straight from the caller's buffer.
//
// A failed bitmap or data write is undone (the footer written back where it
// stood and the file cut to its old length). A failed entry write leaves a
// span that no entry names, which a later release drops when it lies last in
// the file.
#include "engine/engine_internal.h"

namespace {

// Where the next block goes: the trailing footer's place, moved up to the
// next sector boundary when the file's length is not a whole number of
// sectors (a BAT entry names only whole sectors).
LONGLONG NewBlockPlace(const IMAGE_CONTEXT *Context) {
  return AlignUpToSector(Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER));
}

// The bytes written into a new span: Length bytes of Data at OffsetInSpan.
struct SPAN_PIECE {
  const VOID *Data;
  ULONG Length;
  ULONG OffsetInSpan;
};

// Places a new span where the trailing footer stands and writes the footer
// behind it, then the pieces; no BAT entry names it yet. *SectorOut receives
// the span's sector on success.
NTSTATUS AppendSpan(PIMAGE_CONTEXT Context, const SPAN_PIECE *Pieces, ULONG PieceCount,
                    PULONG SectorOut) {
  LONGLONG Place = NewBlockPlace(Context);
  if ((ULONGLONG)Place < LocateImageMetadata(Context).End) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  // A BAT entry holds a 32-bit sector, and 0xFFFFFFFF means unallocated: a
  // block at or beyond that sector (2 TiB) cannot be named.
  if (((ULONGLONG)Place >> VHD_SECTOR_SHIFT) >= VHD_BAT_UNALLOCATED) {
    return STATUS_DISK_FULL;
  }
  NTSTATUS Status = ClearLostAppends(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  ULONG Span = ContextBlockSpan(Context);
  LONGLONG OldEnd = Context->FileEnd;
  LONGLONG NewEnd = Place + Span + sizeof(VHD_FOOTER);
  NoteFileReach(Context, NewEnd);
  Status = WriteImageFileExact(Context->ImageHandle, Context->Footer,
                                        sizeof(VHD_FOOTER), Place + Span);
  if (!NT_SUCCESS(Status)) {
    // A torn footer at the end would hide the intact one in front of it;
    // cutting the file back to its old length restores the image as it was.
    CutImageFile(Context, OldEnd);
    return Status;
  }
  Context->FileEnd = NewEnd;

  // The first piece (the bitmap) covers the old footer: the place is at most
  // 511 bytes past the old footer's start and a bitmap takes whole sectors.
  for (ULONG Index = 0; Index < PieceCount && NT_SUCCESS(Status); ++Index) {
    if (Pieces[Index].Data != NULL && Pieces[Index].Length != 0) {
      Status = WriteImageFileExact(Context->ImageHandle, Pieces[Index].Data, Pieces[Index].Length,
                                   Place + Pieces[Index].OffsetInSpan);
    }
  }
  if (!NT_SUCCESS(Status)) {
    // Most often a full disk. No entry names the span: the footer goes back
    // where it stood and the file is cut to its old length, so the image is
    // as it was and retries do not make the file grow. When either step
    // fails, the footer at the new end still stands, behind a span no entry
    // names.
    if (!NT_SUCCESS(PlaceTrailingFooter(Context, OldEnd - (LONGLONG)sizeof(VHD_FOOTER)))) {
      Context->SpanGaps = IMAGE_SPANS_GAPPED;
    }
    return Status;
  }
  *SectorOut = (ULONG)((ULONGLONG)Place >> VHD_SECTOR_SHIFT);
  return STATUS_SUCCESS;
}

// Whether the new dynamic block at Sector has its data area in fresh space.
BOOLEAN LiesInFreshSpace(const IMAGE_CONTEXT *Context, ULONG Sector) {
  return Context->DiskType == VHD_DISK_TYPE_DYNAMIC && Context->FreshSpaceStart != 0 &&
         BlockDataOffset(Context, Sector, 0) >= Context->FreshSpaceStart;
}

// Sets the bits, in file order, of the sectors of [OffsetInBlock,
// OffsetInBlock + Length), both on sector boundaries.
VOID MarkSectors(PUCHAR Bitmap, ULONG BlockSize, ULONG OffsetInBlock, ULONG Length) {
  ULONG First = OffsetInBlock >> VHD_SECTOR_SHIFT;
  ULONG End = (OffsetInBlock + Length) >> VHD_SECTOR_SHIFT;
  if (End == First) {
    return;
  }
  RTL_BITMAP Header;
  RtlInitializeBitMap(&Header, reinterpret_cast<PULONG>(Bitmap), BlockSize / VHD_SECTOR_SIZE);
  RtlSetBits(&Header, First, End - First);
  SectorBitmapToDisk(Bitmap, SectorBitmapLength(BlockSize));
}

}  // namespace

NTSTATUS AllocateBlock(PIMAGE_CONTEXT Context, ULONG BlockIndex, const VOID *Data,
                       ULONG OffsetInBlock, ULONG Length, PULONG SectorOut) {
  if (!IsRangeInBlock(Context, BlockIndex, OffsetInBlock, Length)) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG BitmapLength = ContextBitmapLength(Context);
  POOL_BUFFER<UCHAR> Bitmap(static_cast<PUCHAR>(AllocateZeroedPool(BitmapLength)));
  if (!Bitmap) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // Every sector of a dynamic block is present. A differencing block starts
  // with the sectors of data in whole sectors, which the span completes;
  // data with partial sectors is marked only once their rest has come from
  // the parent, all at once, and the others come from the parent until
  // written.
  if (Context->DiskType != VHD_DISK_TYPE_DIFFERENCING) {
    RtlFillMemory(Bitmap.Get(), BitmapLength, 0xFF);
  } else if (((OffsetInBlock | Length) & (VHD_SECTOR_SIZE - 1)) == 0) {
    MarkSectors(Bitmap.Get(), Context->BlockSize, OffsetInBlock, Length);
  }
  // Everything of the span behind the bitmap lies past the file's old end and
  // reads as zeros: only the bitmap and the data are written.
  const SPAN_PIECE Pieces[] = {{Bitmap.Get(), BitmapLength, 0},
                               {Data, Length, BitmapLength + OffsetInBlock}};
  ULONG Sector = 0;
  NTSTATUS Status = AppendSpan(Context, Pieces, 2, &Sector);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (!LiesInFreshSpace(Context, Sector)) {
    Status = FlushImageWrites(Context);
  }
  if (NT_SUCCESS(Status)) {
    Status = WriteBatEntry(Context, BlockIndex, Sector);
  }
  if (!NT_SUCCESS(Status)) {
    // The span stays at the end of the file with no entry naming it.
    Context->SpanGaps = IMAGE_SPANS_GAPPED;
    return Status;
  }
  *SectorOut = Sector;
  return STATUS_SUCCESS;
}

NTSTATUS AppendBlockSpan(PIMAGE_CONTEXT Context, const VOID *Span, PULONG SectorOut) {
  const SPAN_PIECE Piece = {Span, ContextBlockSpan(Context), 0};
  NTSTATUS Status = AppendSpan(Context, &Piece, 1, SectorOut);
  if (NT_SUCCESS(Status)) {
    // Unnamed until the caller names it, which may fail.
    Context->SpanGaps = IMAGE_SPANS_GAPPED;
  }
  return Status;
}
