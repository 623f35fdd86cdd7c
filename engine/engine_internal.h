// The block engine's own routines, shared between its files: block terms,
// the BAT and the trailing footer, the block I/O of dynamic and differencing
// images, release and compaction, growth and merging. Only engine/ and the
// engine's tests include this header; everyone else uses engine/engine.h.
#pragma once

#include "engine/engine.h"
#include "image/bitmap_cache.h"

// ---------------------------------------------------------------------------
// Block terms of a context (dynamic or differencing only).

inline ULONG ContextBitmapLength(const IMAGE_CONTEXT *Context) {
  return SectorBitmapLength(Context->BlockSize);
}
inline ULONG ContextBlockSpan(const IMAGE_CONTEXT *Context) {
  return BlockSpan(Context->BlockSize);
}

// File offset of byte OffsetInBlock of the data area of the block at Sector.
inline LONGLONG BlockDataOffset(const IMAGE_CONTEXT *Context, ULONG Sector,
                                ULONG OffsetInBlock) {
  return ((LONGLONG)Sector << VHD_SECTOR_SHIFT) + ContextBitmapLength(Context) + OffsetInBlock;
}

// Virtual-disk offset of byte OffsetInBlock of block BlockIndex: how a
// differencing image addresses its parent, whatever the parent's block size.
inline LONGLONG BlockVirtualOffset(const IMAGE_CONTEXT *Context, ULONG BlockIndex,
                                   ULONG OffsetInBlock) {
  return ((LONGLONG)BlockIndex << Context->BlockShift) + OffsetInBlock;
}

// A piece's range lies inside one block: an index the table has, and bytes
// OffsetInBlock to OffsetInBlock + Length within the block's data.
BOOLEAN IsRangeInBlock(const IMAGE_CONTEXT *Context, ULONG BlockIndex, ULONG OffsetInBlock,
                       ULONG Length);

// The zero test of the write path: Length is a multiple of 4 and every byte
// is zero. Data that passes never allocates a block.
BOOLEAN PassesZeroTest(const VOID *Data, ULONG Length);

// ---------------------------------------------------------------------------
// The BAT (block_table.cpp).

// The block whose span starts at file offset Place, or BatEntries when no
// entry names that place.
ULONG FindBlockAt(const IMAGE_CONTEXT *Context, LONGLONG Place);

// The end of the allocated block that lies last in the file, block
// ExceptIndex left out (BatEntries leaves out none); 0 when there is none.
LONGLONG HighestBlockEnd(const IMAGE_CONTEXT *Context, ULONG ExceptIndex);

// Writes one BAT entry (HostSector in host order) to the file, then to the
// in-memory BAT once the write succeeded. A failed or short write is undone
// on disk as far as the file allows, so that a torn entry never names a place
// holding other data; the in-memory entry then keeps its old value.
NTSTATUS WriteBatEntry(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG HostSector);

// Marks a block unallocated: the entry is written on disk first and changes
// in memory only once that write succeeded, so the record never names less
// than the disk does. The block's span stays in the file.
NTSTATUS ClearBatEntry(PIMAGE_CONTEXT Context, ULONG BlockIndex);

// Clears in the file the entries of the lost appends the open found (image.h
// LostAppends), then flushes: called before the file's end moves, since the
// place they name then holds a new block or no longer lies behind the
// footer. Until it succeeds the file's end stays where it is.
NTSTATUS ClearLostAppends(PIMAGE_CONTEXT Context);

// Makes the image file's writes so far durable. Called before a write that
// makes earlier ones reachable (an entry naming a block, bits marking
// sectors present) or unreachable (a cut), so that a power loss, which may
// keep any subset of the unflushed writes, never keeps the later one alone.
// Fresh space then begins at the file's reach.
NTSTATUS FlushImageWrites(PIMAGE_CONTEXT Context);

// ---------------------------------------------------------------------------
// The file's end and the trailing footer (trailing_footer.cpp).

// The upper bound of the file's length (FileReach, at least FileEnd).
inline LONGLONG ReachedFileEnd(const IMAGE_CONTEXT *Context) {
  return Context->FileReach > Context->FileEnd ? Context->FileReach : Context->FileEnd;
}

// Called before a write that may lengthen the file to End: until a cut,
// whatever it leaves there is counted in the file's reach.
VOID NoteFileReach(PIMAGE_CONTEXT Context, LONGLONG End);

// Sets the file's end at NewEnd, below the file's reach: FileEnd follows
// once the cut succeeded. Space behind NewEnd may come back after a power
// loss as it was before the cut, so fresh space begins no earlier than the
// file's reach, whether or not the cut succeeds.
NTSTATUS CutImageFile(PIMAGE_CONTEXT Context, LONGLONG NewEnd);

// Writes the record's footer at Place and makes the file end right behind
// it: FileEnd follows once the cut succeeded. Also the way back after a
// failed write past the end: the footer where FileEnd - 512 names it.
NTSTATUS PlaceTrailingFooter(PIMAGE_CONTEXT Context, LONGLONG Place);

// Grows a file that ends before Place + 512 by writing the record's footer
// at Place, then flushes; a file that reaches that far is left alone. A
// failed write puts the footer back where it stood and cuts the file there.
NTSTATUS ExtendFileToFooterAt(PIMAGE_CONTEXT Context, LONGLONG Place);

// Writes the footer right behind the highest allocated block and cuts the
// file there. The footer never goes in front of the image's metadata
// (LocateImageMetadata), and the file is never made longer.
NTSTATUS WriteTrailingFooter(PIMAGE_CONTEXT Context);

// ---------------------------------------------------------------------------
// Transfers of dynamic and differencing images.

// ImageTransfer without the merge-through turn: the image's own range, by
// disk type. The way a merge writes into the image that receives it, so that
// no write nests inside another.
NTSTATUS DirectTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                        PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus);

// A range of a dynamic or differencing image's virtual disk, cut at block
// boundaries, each piece served by BlockTransfer. A read returns zeros
// wherever no piece found data. A negative offset is refused with
// STATUS_INVALID_PARAMETER.
NTSTATUS DynamicTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                         PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus);

// One piece of a transfer, inside one block of a dynamic or differencing
// image, by disk type and operation (IRP_MJ_READ, IRP_MJ_WRITE; Buffer NULL
// writes zeros to a dynamic image). Another disk type or operation gives
// STATUS_INTERNAL_ERROR with IoStatus untouched.
NTSTATUS BlockTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, PVOID Buffer, ULONG Length,
                       ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                       PIO_STATUS_BLOCK IoStatus);

// ---------------------------------------------------------------------------
// Dynamic image block I/O.

// Reads data of an allocated block. An unallocated block leaves Buffer as
// the caller filled it (zeros, or a parent's data) and reports the full
// count. *SectorOut receives the block's sector either way.
NTSTATUS ReadBlockData(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length, ULONG BlockIndex,
                       ULONG OffsetInBlock, PULONG SectorOut, PIO_STATUS_BLOCK IoStatus);

// The dynamic write into one block, shared by client writes and zeroing;
// Data NULL means zeros. Zeros never allocate, and zeros that leave an
// allocated block entirely zero release it (ReleaseBlock). A range reaching
// past the block, or a block index beyond the table, is refused with
// STATUS_INVALID_PARAMETER.
NTSTATUS ZeroBlockRange(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                        ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                        PIO_STATUS_BLOCK IoStatus);

// Appends a new block for BlockIndex where the trailing footer stands (on the
// next sector boundary), with Length bytes of Data at OffsetInBlock of its
// data area (none when Length is 0), and writes the footer behind it: bitmap
// all ones for a dynamic image; for a differencing one the sectors of data
// in whole sectors present, the others absent. The rest of the data area
// reads as zeros. The span is flushed before the BAT entry names it, so that
// no power loss keeps the block without its data; a dynamic block whose data
// area lies in fresh space needs no flush, as its data reads as zeros when
// lost (check --repair completes a span whose end the file lost). The image
// on disk is valid after each of its writes: the footer at the new end
// first, then the bitmap and the data (past the old end of file), then the
// BAT entry; FileEnd and the in-memory entry change only after the write
// they stand for. SectorOut receives the new sector on success and is left
// alone on failure. A range outside the block is refused with
// STATUS_INVALID_PARAMETER, a place whose sector would not fit in a BAT
// entry with STATUS_DISK_FULL, a place inside the image's metadata with
// STATUS_FILE_CORRUPT_ERROR, all changing nothing.
NTSTATUS AllocateBlock(PIMAGE_CONTEXT Context, ULONG BlockIndex, const VOID *Data,
                       ULONG OffsetInBlock, ULONG Length, PULONG SectorOut);

// Appends a copy of a whole block span (bitmap and data, BlockSpan bytes at
// Span) where the trailing footer stands, the footer behind it as
// AllocateBlock places it, and names it in no BAT entry: the caller points
// an entry at *SectorOut once the copy is durable. A failed write restores
// the old end of the file.
NTSTATUS AppendBlockSpan(PIMAGE_CONTEXT Context, const VOID *Span, PULONG SectorOut);

// Marks every sector that the range touches, wholly or in part, present in
// the bitmap of block BlockIndex at Sector, on disk and then in the bitmap
// cache. No I/O for VHD_BAT_UNALLOCATED, an empty range, or sectors already
// marked; a short bitmap write is a failure.
NTSTATUS MarkSectorsPresent(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector,
                            ULONG OffsetInBlock, ULONG Length);

// ---------------------------------------------------------------------------
// Block release (compaction: engine.h, CompactIfGapped).

// Releases an allocated block of a dynamic image: the block span that lies
// last in the file moves into its place and the file is cut one span
// shorter; a freed block with no other block behind it gives its place to
// the footer. WorkBuffer holds at least one block span; its contents are not
// used. The image on disk is valid after each write: the freed entry is
// cleared first, the moved span copied, the moved block's entry rewritten,
// each flushed, then the footer is written where the file is to end and the
// file cut.
// FileEnd and the in-memory entries change only after the write they stand
// for; a failure undoes nothing that was written and leaves at worst a span
// that no entry names.
NTSTATUS ReleaseBlock(PIMAGE_CONTEXT Context, ULONG BlockIndex, PUCHAR WorkBuffer);

// ---------------------------------------------------------------------------
// Differencing image I/O.

NTSTATUS ReadDifferencingBlock(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length,
                               ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                               PIO_STATUS_BLOCK IoStatus);

// The write of one block of an image that is not merge-through (a write
// through a merge-through image goes through WriteThroughMerge instead).
NTSTATUS WriteDifferencingBlock(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                                ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                                PIO_STATUS_BLOCK IoStatus);

BOOLEAN MatchesParentData(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                          ULONG BlockIndex, ULONG OffsetInBlock);

// A range of the parent's virtual disk read into Buffer, every byte set:
// bytes that lie beyond the parent's disk, or beyond that of any image below
// it, are zeros. The chain is read image after image, not nested, so the
// stack this takes does not grow with the chain's depth.
NTSTATUS ReadParentRange(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length, LONGLONG Offset,
                         PIO_STATUS_BLOCK IoStatus);

// ---------------------------------------------------------------------------
// Virtual disk resize.

// Growth of a fixed image to exactly NewSize bytes; the added range reads as
// zeros. The file holds a valid trailing footer after every write.
NTSTATUS GrowFixedDisk(PIMAGE_CONTEXT Context, LONGLONG NewSize);

// Growth of a dynamic image to NewSize rounded up to whole blocks. The BAT
// grows in place; blocks lying where it grows are copied to the end of the
// file before their entries name the copies.
NTSTATUS GrowDynamicDisk(PIMAGE_CONTEXT Context, LONGLONG NewSize);

// ---------------------------------------------------------------------------
// Merging a differencing image into its parent chain.

// Reopens the parents at levels 1 to Levels for writing, each read again
// from its new handle (ReloadImageRecords: nothing held it between its two
// opens), and sets the merge-through flag of the image and of its ancestors
// at levels 1 to Levels - 1. Every ancestor above level Levels must be a
// differencing image and no image may be larger than the ancestor that is to
// receive its data; both are checked on the way down, before anything is
// reopened (STATUS_INVALID_DEVICE_REQUEST).
NTSTATUS EnableParentWrites(PIMAGE_CONTEXT Context, ULONG Levels);

// Writes the present sectors of one block of a merge-through image into the
// image that receives the merge, after the blocks of the merge-through images
// between them that lie under the block have gone there; makes the receiving
// images durable, and only then clears the block's entry: a block is never
// given up before its data is in the parent chain. STATUS_NO_MORE_ENTRIES
// when the block is not allocated.
NTSTATUS MergeBlockToParent(PIMAGE_CONTEXT Context, ULONG BlockIndex);

// A write through a merge-through image: each block of the range moved down
// first (MergeBlockToParent, and the blocks of the merge-through images below
// it where it holds none), then the data written into the receiving image,
// so that older data reaches it before newer data overwrites it.
NTSTATUS WriteThroughMerge(PIMAGE_CONTEXT Context, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PVOID Buffer, PIO_STATUS_BLOCK IoStatus);
