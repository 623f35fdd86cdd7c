// The VHD on-disk records (file format version 1.0): the hard disk footer, the
// dynamic disk header with its parent locators, the block allocation table and
// the block layout, with the checksum and disk geometry algorithms that belong
// to them. Records are byte arrays in file order; fields are read and written
// through the big-endian helpers of byte_order.h.
#pragma once

#include "format/byte_order.h"

#define VHD_SECTOR_SIZE 512u
#define VHD_SECTOR_SHIFT 9

// File offsets rounded to whole sectors.
inline LONGLONG AlignUpToSector(LONGLONG Offset) {
  return (Offset + VHD_SECTOR_SIZE - 1) & ~(LONGLONG)(VHD_SECTOR_SIZE - 1);
}

inline LONGLONG AlignDownToSector(LONGLONG Offset) {
  return Offset & ~(LONGLONG)(VHD_SECTOR_SIZE - 1);
}

#define VHD_FILE_FORMAT_VERSION 0x00010000u

#define VHD_DISK_TYPE_FIXED 2u
#define VHD_DISK_TYPE_DYNAMIC 3u
#define VHD_DISK_TYPE_DIFFERENCING 4u

// BAT entry value of an unallocated block. An entry of 0 reads the same way.
#define VHD_BAT_UNALLOCATED 0xFFFFFFFFu

// The sector a BAT entry (kept in file byte order) names, or
// VHD_BAT_UNALLOCATED for the two values that mean "not allocated", 0 and
// 0xFFFFFFFF. The one place that rule is written down.
inline ULONG BatEntrySector(ULONG DiskEntry) {
  ULONG Sector = BatEntryToHost(DiskEntry);
  return Sector == 0 ? VHD_BAT_UNALLOCATED : Sector;
}

inline BOOLEAN IsBatEntryAllocated(ULONG DiskEntry) {
  return BatEntrySector(DiskEntry) != VHD_BAT_UNALLOCATED;
}

// Locator data longer than this is refused.
#define VHD_LOCATOR_DATA_LIMIT 65535u

// The hard disk footer: the last 512 bytes of every image file, and for
// dynamic and differencing images also the first 512.
typedef struct _VHD_FOOTER {
  UCHAR Cookie[8];              // 0x000 "conectix"
  UCHAR Features[4];            // 0x008
  UCHAR FileFormatVersion[4];   // 0x00C 0x00010000
  UCHAR DataOffset[8];          // 0x010 byte offset of the dynamic header
  UCHAR TimeStamp[4];           // 0x018
  UCHAR CreatorApplication[4];  // 0x01C
  UCHAR CreatorVersion[4];      // 0x020
  UCHAR CreatorHostOs[4];       // 0x024
  UCHAR OriginalSize[8];        // 0x028
  UCHAR CurrentSize[8];         // 0x030 virtual disk size in bytes
  UCHAR DiskGeometry[4];        // 0x038 cylinders (2), heads (1), sectors/track (1)
  UCHAR DiskType[4];            // 0x03C 2 fixed, 3 dynamic, 4 differencing
  UCHAR Checksum[4];            // 0x040
  UCHAR UniqueId[16];           // 0x044
  UCHAR SavedState;             // 0x054
  UCHAR Reserved[427];          // 0x055
} VHD_FOOTER, *PVHD_FOOTER;

// One parent locator entry of the dynamic header.
typedef struct _VHD_PARENT_LOCATOR {
  UCHAR PlatformCode[4];        // 0x00 "W2ku", "W2ru", ...
  UCHAR PlatformDataSpace[4];   // 0x04
  UCHAR PlatformDataLength[4];  // 0x08 bytes of locator data
  UCHAR Reserved[4];            // 0x0C
  UCHAR PlatformDataOffset[8];  // 0x10 byte offset of the data in the file
} VHD_PARENT_LOCATOR, *PVHD_PARENT_LOCATOR;

#define VHD_PARENT_LOCATOR_COUNT 8

// The dynamic disk header of dynamic and differencing images.
typedef struct _VHD_DYNAMIC_HEADER {
  UCHAR Cookie[8];              // 0x000 "cxsparse"
  UCHAR DataOffset[8];          // 0x008
  UCHAR TableOffset[8];         // 0x010 byte offset of the BAT
  UCHAR HeaderVersion[4];       // 0x018
  UCHAR MaxTableEntries[4];     // 0x01C number of BAT entries
  UCHAR BlockSize[4];           // 0x020 bytes of data per block, a power of two
  UCHAR Checksum[4];            // 0x024
  UCHAR ParentUniqueId[16];     // 0x028
  UCHAR ParentTimeStamp[4];     // 0x038
  UCHAR Reserved1[4];           // 0x03C
  UCHAR ParentUnicodeName[512]; // 0x040 UTF-16 big-endian
  VHD_PARENT_LOCATOR ParentLocators[VHD_PARENT_LOCATOR_COUNT];  // 0x240
  UCHAR Reserved2[256];         // 0x300
} VHD_DYNAMIC_HEADER, *PVHD_DYNAMIC_HEADER;

static_assert(sizeof(VHD_FOOTER) == 512, "footer is one sector");
static_assert(offsetof(VHD_FOOTER, CurrentSize) == 48, "footer layout");
static_assert(offsetof(VHD_FOOTER, Checksum) == 64, "footer layout");
static_assert(offsetof(VHD_FOOTER, UniqueId) == 68, "footer layout");
static_assert(offsetof(VHD_FOOTER, Reserved) == 85, "footer layout");
static_assert(sizeof(VHD_PARENT_LOCATOR) == 24, "locator layout");
static_assert(sizeof(VHD_DYNAMIC_HEADER) == 1024, "header is two sectors");
static_assert(offsetof(VHD_DYNAMIC_HEADER, Checksum) == 36, "header layout");
static_assert(offsetof(VHD_DYNAMIC_HEADER, ParentUniqueId) == 40, "header layout");
static_assert(offsetof(VHD_DYNAMIC_HEADER, ParentLocators) == 576, "header layout");

// ---------------------------------------------------------------------------
// Checksum: the one's complement of the byte sum, Checksum field counted as 0.

ULONG ComputeFooterChecksum(const VHD_FOOTER *Footer);
ULONG ComputeDynamicHeaderChecksum(const VHD_DYNAMIC_HEADER *Header);

// Sets the Checksum field to the value computed over the record.
VOID UpdateFooterChecksum(VHD_FOOTER *Footer);
VOID UpdateDynamicHeaderChecksum(VHD_DYNAMIC_HEADER *Header);

// Cookie "conectix", version 1.0 and a passing checksum. Disk Type is checked
// by the caller, which refuses an unknown type with its own status.
BOOLEAN IsFooterIntact(const VHD_FOOTER *Footer);
BOOLEAN HasDynamicHeaderCookie(const VHD_DYNAMIC_HEADER *Header);
BOOLEAN IsDynamicHeaderChecksumValid(const VHD_DYNAMIC_HEADER *Header);

// ---------------------------------------------------------------------------
// Disk geometry of a virtual disk of TotalSectors sectors, stored into the
// 4-byte Disk Geometry field.

VOID ComputeDiskGeometry(ULONGLONG TotalSectors, UCHAR GeometryField[4]);

// ---------------------------------------------------------------------------
// Block layout. A block at sector s occupies its sector bitmap, padded to
// whole sectors, then Block Size bytes of data. For blocks of 2 MiB and more
// the bitmap is exactly Block Size / 4096 bytes; smaller blocks keep a whole
// sector of bitmap so that every block starts on a sector boundary.

inline ULONG SectorBitmapLength(ULONG BlockSize) {
  ULONG BitmapBytes = (BlockSize / VHD_SECTOR_SIZE + 7) / 8;
  return (BitmapBytes + VHD_SECTOR_SIZE - 1) & ~(VHD_SECTOR_SIZE - 1);
}

inline ULONG BlockSpan(ULONG BlockSize) { return SectorBitmapLength(BlockSize) + BlockSize; }

// Smallest and largest block sizes the image code lays out: a block must hold
// whole sectors, and a block span plus a footer must fit in 32 bits.
#define VHD_MIN_BLOCK_SIZE 512u
#define VHD_MAX_BLOCK_SHIFT 31

// Block size of a new dynamic image unless another is asked for, and of the
// children of a fixed image.
#define VHD_DEFAULT_BLOCK_SIZE (2u << 20)

// The largest virtual disk of the format, 2040 GiB: other readers refuse
// larger images, so none is made or grown beyond it.
#define VHD_MAX_DISK_SIZE (2040ull << 30)

// Sector bitmaps hold sector k of a block in bit 0x80 >> (k mod 8) of byte
// k / 8 in the file. In memory the driver keeps them in RTL_BITMAP order
// (bit k mod 8 of byte k / 8); these two convert a run of bitmap bytes in place
// right after it is read from, and right before it is written to, the file.
VOID SectorBitmapFromDisk(PUCHAR Bitmap, ULONG Length);
VOID SectorBitmapToDisk(PUCHAR Bitmap, ULONG Length);

// Platform codes of the parent locators the driver follows.
BOOLEAN IsUsableLocatorCode(const VHD_PARENT_LOCATOR *Locator);
