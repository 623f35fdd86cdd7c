// The rules an image file must pass to be opened, in one place: the driver's
// open applies them to what it reads, and so does the command's inspector
// (dorvane info, dorvane check), so that the command never calls an image
// sound that the driver refuses, nor the other way round. Each rule is a
// routine over records already read, and gives the fault it found; the
// fault decides the status the open fails with (ImageFaultStatus), and the
// inspector words it. JudgeImageFile (image.h) runs the open's own reads and
// rules over a handle the caller opened.
#pragma once

#include "format/vhd_format.h"
#include "image/image_limits.h"

// What is wrong with an image file, in the order the open finds it.
typedef enum _IMAGE_FAULT {
  ImageSound = 0,
  ImageFileTooShort,            // shorter than three sectors
  ImageFooterDamaged,           // cookie, version or checksum of the trailing footer
  ImageDiskTypeUnknown,
  ImageDiskSizeOutOfRange,      // Current Size beyond any file offset
  ImageFixedDiskPastFooter,     // a fixed disk reaching into its own footer
  ImageFooterCopyUnreadable,
  ImageFooterCopyDiffers,
  ImageHeaderOutsideFile,       // Data Offset past the file, or the header cut short
  ImageHeaderCookie,
  ImageHeaderChecksum,
  ImageTableOutsideFile,        // Table Offset past the end of the file
  ImageBlockSizeNotPowerOfTwo,
  ImageBlockSizeTooSmall,
  ImageTableEntriesMismatch,    // Max Table Entries does not count the disk's blocks
  ImageRecordsOverlap,          // header or table over the footer copy or each other
  ImageBlockSizeBeyondLimit,
  ImageTableBeyondLimit,
  ImageChainBeyondLimit,        // the chain's pool charge
  ImageTableUnreadable,
  ImageBlockPastFooter,         // a block reaching into the trailing footer or past it
  ImageBlockOnMetadata,         // a block over the footer copy, header, table or locator data
  ImageBlocksOverlap,
  ImageLocatorTooLong,
  ImageLocatorOffsetOutOfRange,
  ImageLocatorOutsideFile,      // locator data not wholly inside the file
  ImageLocatorTooShort,
  ImageNoParentLocator,         // no locator of a usable platform code
  ImageParentMismatch,          // the parent found carries another Unique Id
  ImageChainTooDeep,
} IMAGE_FAULT;

// Places of an image's metadata, as a fault names them.
typedef enum _IMAGE_REGION {
  ImageRegionFooterCopy = 0,
  ImageRegionHeader,
  ImageRegionTable,
  ImageRegionTrailingFooter,
  ImageRegionLocatorData,       // + the locator's index
} IMAGE_REGION;

// A fault with what it concerns, by fault: the block's index (block
// faults), the region it lies on or the other block's index (Other).
typedef struct _IMAGE_VERDICT {
  IMAGE_FAULT Fault;
  ULONGLONG Value;
  ULONGLONG Other;
} IMAGE_VERDICT;

// The status an open fails with for Fault; STATUS_SUCCESS for ImageSound.
NTSTATUS ImageFaultStatus(IMAGE_FAULT Fault);

// Records Fault (and what it concerns) in Verdict and returns its status.
NTSTATUS RecordImageFault(IMAGE_VERDICT *Verdict, IMAGE_FAULT Fault, ULONGLONG Value = 0,
                          ULONGLONG Other = 0);

// ---------------------------------------------------------------------------
// The file and its footers.

IMAGE_FAULT JudgeImageFileLength(LONGLONG FileLength);

// The trailing footer of a file of FileEnd bytes: intact, of a known disk
// type, a size that fits a file offset, and for a fixed image a disk that
// ends before the footer.
IMAGE_FAULT JudgeFooter(const VHD_FOOTER *Footer, LONGLONG FileEnd);

// The footer copy at offset 0 of a dynamic or differencing image (NULL when
// it could not be read) must equal the footer byte for byte.
IMAGE_FAULT JudgeFooterCopy(const VHD_FOOTER *Copy, const VHD_FOOTER *Footer);

// ---------------------------------------------------------------------------
// The dynamic header and the table's geometry.

// Data Offset must lie in the file before the header is read.
IMAGE_FAULT JudgeHeaderOffset(const VHD_FOOTER *Footer, LONGLONG FileEnd);

// The header as read (BytesRead of its 1024 bytes): whole, its cookie, its
// checksum.
IMAGE_FAULT JudgeDynamicHeader(const VHD_DYNAMIC_HEADER *Header, ULONG BytesRead);

// The table's place and the blocks' size, as the record keeps them.
typedef struct _IMAGE_BLOCK_GEOMETRY {
  ULONG BlockSize;
  USHORT BlockShift;
  LONGLONG BatOffset;
  ULONG BatEntries;
} IMAGE_BLOCK_GEOMETRY;

// Table Offset inside the file, a power-of-two block size of whole sectors,
// a table of exactly the disk's blocks, and the header and the table clear
// of the footer copy and of each other (a table over the header would write
// its entries into it). Fills Geometry as far as it got.
IMAGE_FAULT JudgeBlockGeometry(const VHD_FOOTER *Footer, const VHD_DYNAMIC_HEADER *Header,
                               LONGLONG FileEnd, IMAGE_BLOCK_GEOMETRY *Geometry);

// Blocks of at most IMAGE_BLOCK_SIZE_LIMIT, tables of at most
// IMAGE_BAT_ENTRY_LIMIT entries, and a chain whose charge stays within
// IMAGE_CHAIN_POOL_LIMIT: ChainPool holds the charge of the images opened
// before this one in its chain (its children) and receives this one's too.
IMAGE_FAULT JudgeImageLimits(ULONG DiskType, ULONG BlockSize, ULONG BatEntries,
                             ULONGLONG *ChainPool);

// The entries an image's table is held in pool with room for. A dynamic
// disk may grow: its table gets a sixteenth more, as far as the largest disk
// of its block size (and the table limit) needs, so that most growths add
// their entries in place rather than copy the table, and a table copied
// grows by as much again. Other tables hold their entries alone.
ULONG TableCapacity(ULONG DiskType, ULONG BatEntries, ULONG BlockSize);

// The pool an image charges its chain: its table's capacity, and a block
// with its bitmap and one more bitmap, which a request may take at its level.
ULONGLONG ImagePoolCharge(ULONG DiskType, ULONG BatEntries, ULONG BlockSize);

// ---------------------------------------------------------------------------
// Where the metadata lies, and where blocks may.

// Where the metadata of a dynamic or differencing image lies in its file: the
// footer copy at 0, the dynamic header, the BAT counted in whole sectors and,
// for a differencing image, the data of its parent locators with the space
// kept for it (as far as it lies in the file; empty regions start where they
// end). End is the first sector boundary behind all of them: no block is
// placed, and the file is never cut, in front of it, so that the records an
// open reads, and the paths its parents are found by, stay whole.
typedef struct _IMAGE_METADATA {
  ULONGLONG HeaderStart;
  ULONGLONG HeaderEnd;
  ULONGLONG TableStart;
  ULONGLONG TableEnd;
  ULONGLONG LocatorStart[VHD_PARENT_LOCATOR_COUNT];
  ULONGLONG LocatorEnd[VHD_PARENT_LOCATOR_COUNT];
  ULONGLONG End;
} IMAGE_METADATA;

IMAGE_METADATA LocateMetadata(const VHD_FOOTER *Footer, const VHD_DYNAMIC_HEADER *Header,
                              LONGLONG FileEnd);

// The place of one allocated block at Sector: wholly in front of the
// trailing footer and clear of every region of Metadata. *Region receives
// the region it lies on (an IMAGE_REGION).
IMAGE_FAULT JudgeBlockPlace(const IMAGE_METADATA *Metadata, ULONG BlockSize, LONGLONG FileEnd,
                            ULONG Sector, PULONG Region);

// Whether the entry of a block at Sector is what an append leaves when a
// power loss kept the entry but not the block: new blocks go where the
// trailing footer stands (rounded up to a sector), so such a block starts
// there, or a whole number of block spans behind it for the appends that
// followed, one per table entry at most. No byte of its data area lies in
// front of the footer of a file of FileEnd bytes: the block holds nothing,
// and reads as an unallocated one, as it did before the append.
BOOLEAN IsLostAppend(ULONG BlockSize, ULONG Entries, LONGLONG FileEnd, ULONG Sector);

// Every allocated entry of a table of Entries entries (file byte order),
// lost appends aside, by JudgeBlockPlace, and no two blocks overlapping
// each other: writes to such blocks would destroy other data. STATUS_INSUFFICIENT_RESOURCES when no
// pool is left for the sort; else the status of the fault found.
NTSTATUS JudgeBlockPlacement(const VHD_FOOTER *Footer, const VHD_DYNAMIC_HEADER *Header,
                             LONGLONG FileEnd, const ULONG *Bat, ULONG Entries,
                             IMAGE_VERDICT *Verdict);

// ---------------------------------------------------------------------------
// The parent chain.

// A locator's data must be shorter than VHD_LOCATOR_DATA_LIMIT, lie wholly in
// the file, and be long enough to name a file.
IMAGE_FAULT JudgeLocatorData(const VHD_PARENT_LOCATOR *Locator, LONGLONG FileEnd);

// The parent found must carry the Unique Id its child records.
IMAGE_FAULT JudgeParentIdentity(const VHD_DYNAMIC_HEADER *Child, const VHD_FOOTER *Parent);
