// The read caches of a differencing image: sector bitmaps of its allocated
// blocks kept in memory, and reusable work buffers for reads that mix present
// and absent sectors. Both are made when the image opens and released when it
// closes, so the read path allocates nothing while the buffers kept suffice.
//
// The bitmap cache is direct-mapped: block b lives in slot b mod the slot
// count, and a block that maps to an occupied slot evicts its holder. A slot
// names its block and the block's sector; it is used only while the BAT still
// gives that sector, and WriteBatEntry forgets the slot of every entry it
// changes, so a released, moved or merged block never reads a stale bitmap.
// The cache is written through: every bitmap write updates the file first,
// then the slot, so a read straight from the file always agrees with it.
//
// Readers run side by side under shared admission and fill slots on misses;
// writers run alone. The cache lock (a spin lock) is held only to copy one
// bitmap in or out; no file I/O runs under it.
#include "image/bitmap_cache.h"

namespace {

// Bitmap bytes kept per image at most: 512 blocks of 2 MiB (1 GiB of disk).
constexpr ULONG kCacheBytes = 256 * 1024;
// Work buffers kept per image for readers running at the same time; more
// readers at once take fresh ones and free them after use.
constexpr ULONG kKeptWorkBuffers = 2;

typedef struct _BITMAP_CACHE_SLOT {
  ULONG BlockIndex;
  ULONG Sector;  // VHD_BAT_UNALLOCATED: the slot is empty
} BITMAP_CACHE_SLOT;

}  // namespace

typedef struct _SECTOR_BITMAP_CACHE {
  ULONG SlotCount;
  ULONG BitmapLength;
  ULONG WorkBufferLength;
  PUCHAR KeptBuffers[kKeptWorkBuffers];
  BITMAP_CACHE_SLOT *Slots;
  PUCHAR Bitmaps;  // SlotCount bitmaps of BitmapLength bytes, in RTL order
  // The slots and the bitmaps follow.
} SECTOR_BITMAP_CACHE;

namespace {

class CACHE_LOCK {
 public:
  explicit CACHE_LOCK(PIMAGE_CONTEXT Context) {
    KeAcquireInStackQueuedSpinLock(&Context->CacheLock, &Handle_);
  }
  ~CACHE_LOCK() { KeReleaseInStackQueuedSpinLock(&Handle_); }
  CACHE_LOCK(const CACHE_LOCK &) = delete;
  CACHE_LOCK &operator=(const CACHE_LOCK &) = delete;

 private:
  KLOCK_QUEUE_HANDLE Handle_;
};

// Only differencing images have one.
BOOLEAN HasCache(const IMAGE_CONTEXT *Context) { return Context->BitmapCache != NULL; }

PUCHAR SlotBitmap(SECTOR_BITMAP_CACHE *Cache, ULONG Slot) {
  return Cache->Bitmaps + (SIZE_T)Slot * Cache->BitmapLength;
}

}  // namespace

NTSTATUS CreateBitmapCache(PIMAGE_CONTEXT Context) {
  KeInitializeSpinLock(&Context->CacheLock);
  ULONG BitmapLength = SectorBitmapLength(Context->BlockSize);
  ULONG SlotCount = kCacheBytes / BitmapLength;
  if (SlotCount == 0) {
    SlotCount = 1;
  }
  if (Context->BatEntries != 0 && SlotCount > Context->BatEntries) {
    SlotCount = Context->BatEntries;
  }
  SIZE_T Length = sizeof(SECTOR_BITMAP_CACHE) + (SIZE_T)SlotCount * sizeof(BITMAP_CACHE_SLOT) +
                  (SIZE_T)SlotCount * BitmapLength;
  POOL_BUFFER<SECTOR_BITMAP_CACHE> Cache(
      static_cast<SECTOR_BITMAP_CACHE *>(AllocateZeroedPool(Length)));
  if (!Cache) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Cache->SlotCount = SlotCount;
  Cache->BitmapLength = BitmapLength;
  Cache->WorkBufferLength = BitmapLength + DIFFERENCING_SCRATCH_LENGTH;
  Cache->Slots = reinterpret_cast<BITMAP_CACHE_SLOT *>(Cache.Get() + 1);
  Cache->Bitmaps = reinterpret_cast<PUCHAR>(Cache->Slots + SlotCount);
  for (ULONG Slot = 0; Slot < SlotCount; ++Slot) {
    Cache->Slots[Slot].Sector = VHD_BAT_UNALLOCATED;
  }
  for (ULONG Index = 0; Index < kKeptWorkBuffers; ++Index) {
    Cache->KeptBuffers[Index] =
        static_cast<PUCHAR>(AllocateUnfilledPool(Cache->WorkBufferLength));
    if (Cache->KeptBuffers[Index] == NULL) {
      for (ULONG Made = 0; Made < Index; ++Made) {
        FreePool(Cache->KeptBuffers[Made]);
      }
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  Context->BitmapCache = Cache.Detach();
  return STATUS_SUCCESS;
}

VOID ReleaseBitmapCache(PIMAGE_CONTEXT Context) {
  if (!HasCache(Context)) {
    return;
  }
  SECTOR_BITMAP_CACHE *Cache = Context->BitmapCache;
  for (ULONG Index = 0; Index < kKeptWorkBuffers; ++Index) {
    FreePool(Cache->KeptBuffers[Index]);
  }
  FreePool(Cache);
  Context->BitmapCache = NULL;
}

NTSTATUS LoadSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector, PUCHAR Bits) {
  ULONG BitmapLength = SectorBitmapLength(Context->BlockSize);
  SECTOR_BITMAP_CACHE *Cache = HasCache(Context) ? Context->BitmapCache : NULL;
  ULONG Slot = Cache != NULL ? BlockIndex % Cache->SlotCount : 0;
  if (Cache != NULL) {
    CACHE_LOCK Lock(Context);
    if (Cache->Slots[Slot].Sector == Sector && Cache->Slots[Slot].BlockIndex == BlockIndex) {
      RtlCopyMemory(Bits, SlotBitmap(Cache, Slot), BitmapLength);
      return STATUS_SUCCESS;
    }
  }
  NTSTATUS Status = ReadImageFileExact(Context->ImageHandle, Bits, BitmapLength,
                                       (LONGLONG)Sector << VHD_SECTOR_SHIFT);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  SectorBitmapFromDisk(Bits, BitmapLength);
  StoreSectorBitmap(Context, BlockIndex, Sector, Bits);
  return STATUS_SUCCESS;
}

VOID StoreSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector, const UCHAR *Bits) {
  if (!HasCache(Context) || Sector == VHD_BAT_UNALLOCATED) {
    return;
  }
  SECTOR_BITMAP_CACHE *Cache = Context->BitmapCache;
  ULONG Slot = BlockIndex % Cache->SlotCount;
  CACHE_LOCK Lock(Context);
  RtlCopyMemory(SlotBitmap(Cache, Slot), Bits, Cache->BitmapLength);
  Cache->Slots[Slot].BlockIndex = BlockIndex;
  Cache->Slots[Slot].Sector = Sector;
}

VOID ForgetSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex) {
  if (!HasCache(Context)) {
    return;
  }
  SECTOR_BITMAP_CACHE *Cache = Context->BitmapCache;
  ULONG Slot = BlockIndex % Cache->SlotCount;
  CACHE_LOCK Lock(Context);
  if (Cache->Slots[Slot].BlockIndex == BlockIndex) {
    Cache->Slots[Slot].Sector = VHD_BAT_UNALLOCATED;
  }
}

ULONG SectorRunEnd(const ULONG *Bits, ULONG Sector, ULONG EndSector) {
  ULONG Fill = IsSectorPresent(Bits, Sector) ? 0xFFFFFFFFu : 0;
  ULONG Word = Sector >> 5;
  ULONG Differ = (Bits[Word] ^ Fill) & (0xFFFFFFFFu << (Sector & 31));
  while (Differ == 0) {
    ++Word;
    if ((Word << 5) >= EndSector) {
      return EndSector;
    }
    Differ = Bits[Word] ^ Fill;
  }
  ULONG At = (Word << 5) + (ULONG)__builtin_ctz(Differ);
  return At < EndSector ? At : EndSector;
}

SECTOR_RANGE_STATE ProbeSectorBitmap(PIMAGE_CONTEXT Context, ULONG BlockIndex, ULONG Sector,
                                     ULONG FirstSector, ULONG EndSector) {
  if (!HasCache(Context)) {
    return SectorsMixed;
  }
  SECTOR_BITMAP_CACHE *Cache = Context->BitmapCache;
  ULONG Slot = BlockIndex % Cache->SlotCount;
  CACHE_LOCK Lock(Context);
  if (Cache->Slots[Slot].Sector != Sector || Cache->Slots[Slot].BlockIndex != BlockIndex) {
    return SectorsMixed;
  }
  const ULONG *Bits = reinterpret_cast<const ULONG *>(SlotBitmap(Cache, Slot));
  if (SectorRunEnd(Bits, FirstSector, EndSector) < EndSector) {
    return SectorsMixed;
  }
  return IsSectorPresent(Bits, FirstSector) ? SectorsPresent : SectorsAbsent;
}

PUCHAR TakeWorkBuffer(PIMAGE_CONTEXT Context) {
  if (HasCache(Context)) {
    SECTOR_BITMAP_CACHE *Cache = Context->BitmapCache;
    CACHE_LOCK Lock(Context);
    for (ULONG Index = 0; Index < kKeptWorkBuffers; ++Index) {
      PUCHAR Buffer = Cache->KeptBuffers[Index];
      if (Buffer != NULL) {
        Cache->KeptBuffers[Index] = NULL;
        return Buffer;
      }
    }
  }
  return static_cast<PUCHAR>(
      AllocateUnfilledPool(SectorBitmapLength(Context->BlockSize) + DIFFERENCING_SCRATCH_LENGTH));
}

VOID ReturnWorkBuffer(PIMAGE_CONTEXT Context, PUCHAR Buffer) {
  if (Buffer == NULL) {
    return;
  }
  if (HasCache(Context)) {
    SECTOR_BITMAP_CACHE *Cache = Context->BitmapCache;
    CACHE_LOCK Lock(Context);
    for (ULONG Index = 0; Index < kKeptWorkBuffers; ++Index) {
      if (Cache->KeptBuffers[Index] == NULL) {
        Cache->KeptBuffers[Index] = Buffer;
        return;
      }
    }
  }
  FreePool(Buffer);
}
