// The read caches a differencing image's record keeps: the sector bitmaps of
// its allocated blocks, and work buffers for reads that mix present and
// absent sectors. The open makes them and the record's release frees them,
// so that what a chain may hold in pool is settled at open; the block engine
// reads and writes through them. Not part of the image chain's face: beyond
// the open, only the engine's own code includes this header.
//
// Bitmaps here are in RTL order (sector k of a block is bit k).
#pragma once

#include "image/image.h"

// Bytes of parent or image data a mixed read stages at once in a work buffer.
#define DIFFERENCING_SCRATCH_LENGTH (64u * 1024)

// Made at open (STATUS_INSUFFICIENT_RESOURCES when the pool has no room),
// released at close; nothing for other disk types.
NTSTATUS CreateBitmapCache(PIMAGE_CONTEXT Context);
VOID ReleaseBitmapCache(PIMAGE_CONTEXT Context);

// The bitmap of block BlockIndex at Sector into Bits (the bitmap length of
// the image's blocks): from the cache, or read from the file and then kept.
// The one reader of sector bitmaps.
NTSTATUS LoadSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector, PUCHAR Bits);
// Keeps Bits as the bitmap of the block; the file must hold it.
VOID StoreSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector, const UCHAR *Bits);
// Drops whatever the cache holds for the block.
VOID ForgetSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex);

// Whether Sector is present (its bit set) in Bits.
inline BOOLEAN IsSectorPresent(const ULONG *Bits, ULONG Sector) {
  return ((Bits[Sector >> 5] >> (Sector & 31)) & 1) != 0;
}

// The end of the run of sectors that share Sector's state in Bits, at most
// EndSector.
ULONG SectorRunEnd(const ULONG *Bits, ULONG Sector, ULONG EndSector);

// How sectors [FirstSector, EndSector) of block BlockIndex at Sector stand
// by its cached bitmap, with nothing copied: all present, all absent, or
// mixed (also when the block's bitmap is not in the cache).
typedef enum _SECTOR_RANGE_STATE { SectorsMixed, SectorsPresent, SectorsAbsent } SECTOR_RANGE_STATE;
SECTOR_RANGE_STATE ProbeSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector,
                                     ULONG FirstSector, ULONG EndSector);

// A work buffer: the bitmap length of the image's blocks for a bitmap, then
// DIFFERENCING_SCRATCH_LENGTH bytes of scratch. One of the buffers the image
// keeps, or a fresh one when all are in use; NULL when none can be had.
PUCHAR TakeWorkBuffer(PIMAGE_CONTEXT Context);
VOID ReturnWorkBuffer(PIMAGE_CONTEXT Context, PUCHAR Buffer);

// A work buffer held for one operation.
class WORK_BUFFER {
 public:
  explicit WORK_BUFFER(PIMAGE_CONTEXT Context)
      : Context_(Context), Buffer_(TakeWorkBuffer(Context)) {}
  ~WORK_BUFFER() { ReturnWorkBuffer(Context_, Buffer_); }
  WORK_BUFFER(const WORK_BUFFER &) = delete;
  WORK_BUFFER &operator=(const WORK_BUFFER &) = delete;
  explicit operator bool() const { return Buffer_ != NULL; }
  PUCHAR Bitmap() const { return Buffer_; }
  PUCHAR Scratch() const { return Buffer_ + SectorBitmapLength(Context_->BlockSize); }

 private:
  PIMAGE_CONTEXT Context_;
  PUCHAR Buffer_;
};
