// The block engine: translation of virtual-disk ranges of dynamic and
// differencing images to their blocks, block allocation, release and
// compaction, and the read-through of differencing images to their parents.
//
// Everything here runs at PASSIVE_LEVEL on the requesting thread inside the
// admission gate of the top image: reads shared, anything that changes the
// file, the in-memory BAT or FileEnd exclusive. No locks of its own.
#pragma once

#include "image/image.h"

// A sector bitmap record: the RTL header followed by the bitmap bytes, in
// RTL bit order (sector k is bit k). Made by ReadSectorBitmap, freed by its
// caller with FreePool.
typedef struct _SECTOR_BITMAP {
  RTL_BITMAP Header;
  // Bitmap bytes follow.
} SECTOR_BITMAP, *PSECTOR_BITMAP;

// Block terms of a context (dynamic or differencing only).
inline ULONG ContextBitmapLength(const IMAGE_CONTEXT *Context) {
  return SectorBitmapLength(Context->BlockSize);
}
inline ULONG ContextBlockSpan(const IMAGE_CONTEXT *Context) {
  return BlockSpan(Context->BlockSize);
}

// The block's sector in host order, VHD_BAT_UNALLOCATED for 0 and 0xFFFFFFFF.
ULONG LookupBlockSector(const IMAGE_CONTEXT *Context, ULONG BlockIndex);

// ---------------------------------------------------------------------------
// Dynamic image block I/O.

NTSTATUS BlockTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, PVOID Buffer, ULONG Length,
                       ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                       PIO_STATUS_BLOCK IoStatus);

NTSTATUS ReadBlockData(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length, ULONG BlockIndex,
                       ULONG OffsetInBlock, PULONG SectorOut, PIO_STATUS_BLOCK IoStatus);

// The dynamic write into one block; Data NULL means zeros.
NTSTATUS ZeroBlockRange(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                        ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                        PIO_STATUS_BLOCK IoStatus);

NTSTATUS AllocateBlock(PIMAGE_CONTEXT Context, ULONG BlockIndex, PULONG SectorOut);

NTSTATUS ReadSectorBitmap(PIMAGE_CONTEXT Context, PSECTOR_BITMAP *BitmapOut, ULONG Sector);

NTSTATUS MarkSectorsPresent(PIMAGE_CONTEXT Context, ULONG Sector, ULONG OffsetInBlock,
                            ULONG Length);

// ---------------------------------------------------------------------------
// Block release and compaction.

NTSTATUS ReleaseBlock(PIMAGE_CONTEXT Context, ULONG BlockIndex, PUCHAR WorkBuffer);

// ---------------------------------------------------------------------------
// Differencing image I/O.

NTSTATUS ReadDifferencingBlock(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length,
                               ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                               PIO_STATUS_BLOCK IoStatus);

NTSTATUS WriteDifferencingBlock(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                                ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                                PIO_STATUS_BLOCK IoStatus);

BOOLEAN MatchesParentData(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                          ULONG BlockIndex, ULONG OffsetInBlock);
