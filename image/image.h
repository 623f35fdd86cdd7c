// The image chain: the per-image record, opening and validating image files,
// the parent chain of differencing images, the in-memory block allocation
// table, and the primitive operations on image files. Built on format/ alone:
// what the virtual disk of an image holds, and every transfer of it, is the
// block engine's (engine/engine.h), which builds on this layer.
//
// Every routine here runs at PASSIVE_LEVEL on the requesting thread. The open
// takes no lock (the record is private until the create binds it); transfers
// run inside the admission gate of the top image, which covers its parents.
#pragma once

#include "format/vhd_format.h"
#include "image/image_validation.h"
#include "kernel/owners.h"

// One open image file: the image a client named, or a parent in its chain.
typedef struct _IMAGE_CONTEXT {
  KSPIN_LOCK GateLock;                // admission gate lock
  LONG SharedCount;                   // admitted shared requests
  LONG ExclusiveCount;                // admitted exclusive requests (0 or 1)
  // Owned; entries in file byte order, 0xFFFFFFFF for every unallocated
  // entry the file holds (0 included). An entry of 0 marks a lost append
  // (IsLostAppend) that the file's entry still names: unallocated here, and
  // cleared in the file before the file's end moves (LostAppends).
  PULONG Bat;
  ULONG BatCapacity;                  // entries Bat has room for (TableCapacity)
  UNICODE_STRING ImagePath;           // owned copy of the path opened
  HANDLE ImageHandle;                 // kernel handle of the image file
  PFILE_OBJECT ImageFileObject;       // referenced file object of ImageHandle
  // FILE_WRITE_DATA was granted on ImageHandle. The file object's WriteAccess
  // is also set by FILE_APPEND_DATA alone, which must not admit writes at
  // any offset.
  BOOLEAN WriteDataGranted;
  // The image file's volume gives zeros, after a power loss, for space the
  // file never wrote (NTFS, ReFS, ext4, xfs, btrfs, tmpfs). FAT and exFAT may
  // keep a grown file's length while its new clusters still hold a deleted
  // file's bytes, so there is no fresh space there. Learnt at the open.
  BOOLEAN FreshSpaceZeroed;
  struct _IMAGE_CONTEXT *Parent;      // owned parent record, differencing only
  UNICODE_STRING ParentPath;          // owned resolved parent path
  PVHD_FOOTER Footer;                 // owned, as read and validated
  LONGLONG DiskSize;                  // virtual disk size in bytes
  LONGLONG FileEnd;                   // image file length; footer at FileEnd - 512
  ULONG DiskType;                     // VHD_DISK_TYPE_*
  // Dynamic and differencing images; zero for a fixed image.
  ULONG BlockSize;
  USHORT BlockShift;
  LONGLONG BatOffset;
  ULONG BatEntries;
  // What the block engine has learnt of the file since the open; zero, as
  // opened, claims nothing.
  //
  // Whether a span that no BAT entry names may lie between the metadata and
  // the trailing footer (IMAGE_SPANS_*): a release or an allocation that
  // failed or stopped part way leaves one, and compaction gives it back.
  UCHAR SpanGaps;
  // Upper bound of the file's length: FileEnd, or more while a write past
  // FileEnd may have lengthened the file without FileEnd following (0:
  // FileEnd). A successful cut makes it exact again.
  LONGLONG FileReach;
  // Where fresh space begins (0: nowhere yet). No byte at or past it can hold,
  // after a power loss, anything but zeros or what was written there since
  // the engine's last flush into a place that is still part of the file: a
  // block appended there reads as zeros when its own writes are lost. Set to
  // the file's reach by each flush the engine makes, raised past the reach
  // by every cut; left at 0 unless FreshSpaceZeroed.
  LONGLONG FreshSpaceStart;
  // Entries of 0 in Bat: lost appends found by the open whose entries in the
  // file still name the place behind the footer, where the next block goes.
  ULONG LostAppends;
  // Pool charged to this image and to the images opened before it in its
  // chain (its children), against IMAGE_CHAIN_POOL_LIMIT.
  ULONGLONG ChainPool;
  VHD_DYNAMIC_HEADER DynamicHeader;
  // Differencing images; FALSE and NULL for the others.
  BOOLEAN MergeThrough;
  // A merge found no block left: the file is removed when the record is
  // released, if it is still empty then (CloseImageContext).
  BOOLEAN DeleteWhenEmpty;
  KSPIN_LOCK CacheLock;               // guards BitmapCache's slots and buffers
  struct _SECTOR_BITMAP_CACHE *BitmapCache;  // owned; image/bitmap_cache.h
} IMAGE_CONTEXT, *PIMAGE_CONTEXT;
// Every record is allocated whole and zero-filled, whatever its disk type:
// a field that its type does not use reads as zero, never past the record.

// SpanGaps: not looked at since the open; known to hold no span that
// compaction could give back; may hold one.
#define IMAGE_SPANS_UNCHECKED 0
#define IMAGE_SPANS_COMPACT 1
#define IMAGE_SPANS_GAPPED 2

// Operation codes of transfers: the request major function codes.
#define IMAGE_OPERATION_READ IRP_MJ_READ
#define IMAGE_OPERATION_WRITE IRP_MJ_WRITE
#define IMAGE_OPERATION_FLUSH IRP_MJ_FLUSH_BUFFERS

// A read or write of an image file moved another byte count than asked.
#define IMAGE_STATUS_SHORT_TRANSFER STATUS_INTERNAL_DB_CORRUPTION

// Deepest parent chain opened, counting the image itself: refuses chains that
// loop back on themselves, and bounds what a chain holds in handles and pool.
// The images of a chain are opened and read one after the other, not nested,
// so the kernel stack a request takes does not depend on it.
#define IMAGE_CHAIN_DEPTH_LIMIT 20

// Most parent opens one chain open tries, all levels together. Every level
// may try each of its eight locators, and locators that name one file in
// different ways (letter case, relative and absolute) are each tried, so
// without a bound the opens of a chain whose base fails grow as eight to
// the power of its depth.
#define IMAGE_PARENT_OPEN_LIMIT (IMAGE_CHAIN_DEPTH_LIMIT * VHD_PARENT_LOCATOR_COUNT)

// The driver's device, and the name of its link in the DOS device directory.
#define DORVANE_DEVICE_NAME "\\Device\\Dorvane"
#define DORVANE_LINK_BASE_NAME "Dorvane"

// Kernel stack an image open must find left before it starts: its own frames
// and the create of the image file through the file system and its filters.
// Parents open one after the other at the same depth of the stack, so a
// request that starts with too little left is refused before its first open.
#define IMAGE_OPEN_STACK_RESERVE 0x2000

// ---------------------------------------------------------------------------
// Open and release.

// TRUE when an NT name leads to the driver's own device: the device name, or
// the link in any of the DOS device directories (\??\, \DosDevices\,
// \GLOBAL??\, and through their Global and GLOBALROOT links), any case.
BOOLEAN NameLeadsToOwnDevice(PCUNICODE_STRING Name);

// Refuses an image open before anything is opened: a name that leads to the
// driver's own device (STATUS_OBJECT_NAME_INVALID), which would enter the
// driver's create again on this thread, and an open with less than
// IMAGE_OPEN_STACK_RESERVE of kernel stack left (STATUS_TOO_MANY_LINKS).
NTSTATUS CheckImageOpenAllowed(PCUNICODE_STRING ImagePath);

NTSTATUS OpenImageFile(PIMAGE_CONTEXT *ContextOut, PCUNICODE_STRING ImagePath,
                       USHORT FileAttributes, ULONG CreateDisposition, ULONG CreateOptions,
                       ACCESS_MASK DesiredAccess, USHORT ShareAccess,
                       PIO_STATUS_BLOCK IoStatus);

// Where an open stands in a chain, as a child passes it to its parent's open.
typedef struct _IMAGE_CHAIN_OPEN {
  ULONG Depth;          // 0 for the image a client names
  ULONGLONG ChildPool;  // pool charged to its children (the child's ChainPool)
} IMAGE_CHAIN_OPEN;

// Opens one image file of a chain and makes its record: the create with the
// given parameters, the footer's validation, the file object's reference and
// the part of the image's disk type, a differencing image's header included
// but not its parent (OpenParentChain). A differencing image at a depth
// whose parent would pass IMAGE_CHAIN_DEPTH_LIMIT is refused with
// STATUS_TOO_MANY_LINKS.
NTSTATUS OpenImageRecord(PIMAGE_CONTEXT *ContextOut, PCUNICODE_STRING ImagePath,
                         USHORT FileAttributes, ULONG CreateDisposition, ULONG CreateOptions,
                         ACCESS_MASK DesiredAccess, USHORT ShareAccess, PIO_STATUS_BLOCK IoStatus,
                         const IMAGE_CHAIN_OPEN *Chain);

// The open's reads and rules over the image file behind the record's handle
// (ImageHandle and ChainPool set; its parents aside): the file's length, the
// footer and, by disk type, the fixed disk's extent or the dynamic part
// (footer copy, header, table and the places of its blocks). Fills Footer,
// FileEnd, DiskType, DiskSize and the dynamic fields; on a refusal Verdict
// holds the rule broken (image_validation.h).
NTSTATUS LoadImageRecords(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict);

// The dynamic part of LoadImageRecords, for a record whose Footer, FileEnd
// and DiskSize are set.
NTSTATUS LoadDynamicHeader(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict);

// LoadImageRecords over a handle the caller opened for reading and keeps:
// how the open judges that file. ChainPool holds the charge of the images
// above it in its chain and receives its own as well. The inspector's way to
// the open's rules; the status is the one an open would fail with, or that
// of a read, with Verdict->Fault ImageSound when no rule was broken.
NTSTATUS JudgeImageFile(HANDLE ImageHandle, ULONGLONG *ChainPool, IMAGE_VERDICT *Verdict);

// After ReopenImageForWrite: the footer, header, table and file end read
// again through the new handle, since nothing held the file between its two
// opens, and the cached sector bitmaps dropped. An image that no longer
// passes the open's rules, or is no longer the image the record was opened
// on (another Unique Id or block size), is refused with the open's status or
// STATUS_FILE_CORRUPT_ERROR, and the new handle closed: nothing is written
// to it. The record keeps what it held on failure.
NTSTATUS ReloadImageRecords(PIMAGE_CONTEXT Context);

// Where the metadata of the record's image lies (LocateMetadata).
IMAGE_METADATA LocateImageMetadata(const IMAGE_CONTEXT *Context);

// Opens the parent chain of a differencing image record made at depth 0,
// one image after the other (no open nests inside another, so the stack it
// takes does not grow with the chain), and makes each differencing image of
// the chain ready: its parent checked and its read caches made. Each parent
// is found through its child's parent locators, tried from the last entry to
// the first; one whose own chain fails to open moves its child on to the
// next locator. The parent must carry the Unique Id the child records.
// A chain longer than IMAGE_CHAIN_DEPTH_LIMIT images is refused with
// STATUS_TOO_MANY_LINKS; so is a chain that leads back into itself, and one
// whose locators would make more than IMAGE_PARENT_OPEN_LIMIT parent opens.
NTSTATUS OpenParentChain(PIMAGE_CONTEXT Context);

// Turns a parent locator's path (in ParentPath, whose buffer it owns) into
// the kernel path to open, relative paths joined to ChildPath's folder. On
// success ParentPath holds the result; the buffer it held is freed or, for
// "\\.\" and "\\?\" paths, rewritten in place. A result that would not fit a
// counted string fails with STATUS_NAME_TOO_LONG, leaving ParentPath as it was.
NTSTATUS ResolveParentPath(PUNICODE_STRING ParentPath, PCUNICODE_STRING ChildPath);

// Releases what the record owns, parents first; the owner frees the record.
// An image a merge emptied (DeleteWhenEmpty) and that no write has given a
// block since is marked for deletion first, so it goes with its last handle.
VOID CloseImageContext(PIMAGE_CONTEXT Context);

// CloseImageContext, then the record itself freed: what an owner of a record
// does with it.
VOID ReleaseImageContext(PIMAGE_CONTEXT Context);

// An opened record, released when it goes out of scope unless handed over.
typedef RESOURCE_OWNER<PIMAGE_CONTEXT, ReleaseImageContext> IMAGE_CONTEXT_OWNER;

// ---------------------------------------------------------------------------
// The in-memory block allocation table of a dynamic or differencing image.

// The block's sector in host order; VHD_BAT_UNALLOCATED for the entries 0
// and 0xFFFFFFFF and for an index beyond the table.
inline ULONG LookupBlockSector(const IMAGE_CONTEXT *Context, ULONG BlockIndex) {
  if (BlockIndex >= Context->BatEntries) {
    return VHD_BAT_UNALLOCATED;
  }
  return BatEntrySector(Context->Bat[BlockIndex]);
}

// One allocated block: its BAT index and its sector in host order.
typedef struct _ALLOCATED_BLOCK {
  ULONG Index;
  ULONG Sector;
} ALLOCATED_BLOCK;

// The allocated blocks of a record's BAT in index order:
//
//   for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) { ... }
//
// Each step reads the table as it stands then, so a walk may change the
// entries it has passed.
class ALLOCATED_BLOCKS {
 public:
  class ITERATOR {
   public:
    ITERATOR(const IMAGE_CONTEXT *Context, ULONG Index) : Context_(Context), Index_(Index) {
      SkipUnallocated();
    }
    ALLOCATED_BLOCK operator*() const {
      return ALLOCATED_BLOCK{Index_, BatEntrySector(Context_->Bat[Index_])};
    }
    ITERATOR &operator++() {
      ++Index_;
      SkipUnallocated();
      return *this;
    }
    bool operator!=(const ITERATOR &Other) const { return Index_ != Other.Index_; }

   private:
    VOID SkipUnallocated() {
      while (Index_ < Context_->BatEntries && !IsBatEntryAllocated(Context_->Bat[Index_])) {
        ++Index_;
      }
    }
    const IMAGE_CONTEXT *Context_;
    ULONG Index_;
  };

  explicit ALLOCATED_BLOCKS(const IMAGE_CONTEXT *Context) : Context_(Context) {}
  ITERATOR begin() const { return ITERATOR(Context_, 0); }
  ITERATOR end() const { return ITERATOR(Context_, Context_->BatEntries); }

 private:
  const IMAGE_CONTEXT *Context_;
};

inline ALLOCATED_BLOCKS AllocatedBlocks(const IMAGE_CONTEXT *Context) {
  return ALLOCATED_BLOCKS(Context);
}

inline ULONG CountAllocatedBlocks(const IMAGE_CONTEXT *Context) {
  ULONG Count = 0;
  for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) {
    (VOID) Block;
    ++Count;
  }
  return Count;
}

// ---------------------------------------------------------------------------
// Image file primitives. Reads and writes made while serving a request take
// the Zw call for a user-mode requester and the Nt call for a kernel-mode one.

// Stores a transfer's status and byte count (0 unless it succeeded) in
// IoStatus; returns Status.
NTSTATUS CompleteTransfer(PIO_STATUS_BLOCK IoStatus, NTSTATUS Status, ULONG_PTR Information);

NTSTATUS ImageFileTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER ByteOffset, PIO_STATUS_BLOCK IoStatus);

NTSTATUS ReadImageFile(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset,
                       PIO_STATUS_BLOCK IoStatus);
NTSTATUS WriteImageFile(HANDLE ImageHandle, const VOID *Buffer, ULONG Length, LONGLONG Offset,
                        PIO_STATUS_BLOCK IoStatus);

// Read or write of exactly Length bytes: another count is IMAGE_STATUS_SHORT_TRANSFER.
NTSTATUS ReadImageFileExact(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset);
NTSTATUS WriteImageFileExact(HANDLE ImageHandle, const VOID *Buffer, ULONG Length,
                             LONGLONG Offset);

// The open's reads, always through ZwReadFile.
NTSTATUS ReadImageFileAtOpen(HANDLE ImageHandle, PVOID Buffer, ULONG Length, LONGLONG Offset,
                             PIO_STATUS_BLOCK IoStatus);

NTSTATUS QueryImageFileLength(HANDLE ImageHandle, LONGLONG *FileLength);
// TRUE when the volume of the image file is known to give zeros, after a
// power loss, for space the file never wrote (IMAGE_CONTEXT's
// FreshSpaceZeroed); FALSE for FAT, exFAT, any other file system and a
// failed query.
BOOLEAN QueryFreshSpaceZeroed(HANDLE ImageHandle);
NTSTATUS SetImageFileEnd(HANDLE ImageHandle, LONGLONG FileEnd);
// The file is removed at its last close (needs DELETE access).
NTSTATUS DeleteImageFileOnClose(HANDLE ImageHandle);
// FSCTL_SET_ZERO_DATA: the range (clipped to the end of the file) reads as
// zeros, deallocated where the file system can. A file system that refuses
// the request (FAT, exFAT) gets the zeros written instead.
NTSTATUS ZeroImageFileRange(HANDLE ImageHandle, LONGLONG FileOffset, LONGLONG BeyondFinalZero);

NTSTATUS FlushImageFile(HANDLE ImageHandle, PIO_STATUS_BLOCK IoStatus);
NTSTATUS FlushImageChain(PIMAGE_CONTEXT Context);
NTSTATUS ReopenImageForWrite(PIMAGE_CONTEXT Context);
