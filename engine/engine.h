// The block engine: what the virtual disk of an image holds, and every way it
// is read and changed. Fixed images pass straight through to their file;
// dynamic and differencing images are translated through their blocks, with
// allocation, release and compaction of blocks, the read-through of
// differencing images to their parents, growth and merging. Built on image/
// (records and file primitives) and format/; the driver's dispatch routines
// and the tests call it through this header. engine/engine_internal.h holds
// the engine's own routines and records.
//
// Everything here runs at PASSIVE_LEVEL on the requesting thread inside the
// admission gate of the top image: reads shared, anything that changes the
// file, the in-memory BAT or FileEnd exclusive. No locks of its own.
#pragma once

#include "image/image.h"

// A range of any image's virtual disk, by disk type (IMAGE_OPERATION_READ or
// IMAGE_OPERATION_WRITE): a fixed image's file at the same offsets, the
// blocks of a dynamic or differencing image. No range check against the
// disk's size: a client's range is clamped before (DiskTransfer), and the
// engine addresses parents with its own offsets.
NTSTATUS ImageTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                       PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus);

// A set-information request for the end of file or the allocation size
// (FileEndOfFileInformation, FileAllocationInformation, read alike): the
// first 8 bytes of Buffer are the new size. Only growth of fixed and dynamic
// images, to at most the format's 2040 GiB (VHD_MAX_DISK_SIZE; beyond it
// STATUS_INVALID_PARAMETER); the current size is success with nothing
// written. Runs under the
// image's exclusive admission. A failure leaves the record at its old size.
NTSTATUS SetDiskSize(PIMAGE_CONTEXT Context, FILE_INFORMATION_CLASS InformationClass, ULONG Length,
                     const VOID *Buffer);

// Zeroes Length bytes of a dynamic image's virtual disk from Offset, block by
// block through the dynamic write path: unallocated blocks cost no I/O, and a
// block left entirely zero is released. A length of 0 or below succeeds at
// once; the range ends at the last BAT entry. Every block is either as it was
// or zeroed when a failure stops the range. Then, whatever the range's
// result, CompactIfGapped.
NTSTATUS ZeroDiskRange(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length);

// ZeroDiskRange without the compaction: for a request of several ranges,
// which ends with one CompactIfGapped.
NTSTATUS ZeroDiskBlocks(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length);

// Gives back what a release or allocation that failed or stopped part way
// left in a dynamic image's file (spans that no entry names): blocks moved
// from the end of the file into those places, the file cut behind the last
// block. A file not looked at since the open is looked at once, a walk over
// its table; one known to be compact costs nothing. A file whose blocks do
// not lie one span after another from the end of its metadata is left as
// it is.
NTSTATUS CompactIfGapped(PIMAGE_CONTEXT Context);

// Merges at most BlockLimit blocks of a differencing image, last in the file
// first, into the parent chain made writable for ParentLevels levels; then
// moves the footer behind the highest block left, also when the loop failed.
// BlocksRemaining counts the blocks still allocated; with none left the image
// file is removed when its record is released, unless a write has given it a
// block again by then (DeleteWhenEmpty). A failure inside the loop is
// returned: BlocksMerged holds the blocks merged so far, BlocksRemaining is
// not written.
NTSTATUS MergeToParent(PIMAGE_CONTEXT Context, ULONG ParentLevels, ULONG BlockLimit,
                       PULONG BlocksMerged, PULONG BlocksRemaining);
