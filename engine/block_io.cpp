// Reads and writes inside one block of a dynamic image: the data of allocated
// blocks, zeros for the others, allocation on the first non-zero write and
// release of blocks that writes of zeros leave entirely zero.
#include "engine/engine_internal.h"

namespace {

// A read or write of the image file that moved another count than asked is
// a failure of the piece.
NTSTATUS CompleteFileTransfer(PIO_STATUS_BLOCK IoStatus, NTSTATUS Status,
                              const IO_STATUS_BLOCK &FileStatus, ULONG Length) {
  if (NT_SUCCESS(Status) && FileStatus.Information != Length) {
    Status = IMAGE_STATUS_SHORT_TRANSFER;
  }
  return CompleteTransfer(IoStatus, Status, Length);
}

// Zeros into an allocated block. The block's data is read and the range
// cleared in the copy: when nothing else is left, the block is released
// instead of written.
NTSTATUS WriteZerosToBlock(PIMAGE_CONTEXT Context, ULONG Sector, ULONG Length,
                           ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                           PIO_STATUS_BLOCK IoStatus) {
  ULONG BitmapLength = ContextBitmapLength(Context);
  // One span: the data area behind the bitmap's place, and the work buffer
  // of a release.
  POOL_BUFFER<UCHAR> Block(static_cast<PUCHAR>(AllocateZeroedPool(ContextBlockSpan(Context))));
  if (!Block) {
    return CompleteTransfer(IoStatus, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  PUCHAR Data = Block.Get() + BitmapLength;
  // Every byte must be read: bytes taken for zero without reading them could
  // release a block that still holds data.
  NTSTATUS Status = ReadImageFileExact(Context->ImageHandle, Data, Context->BlockSize,
                                       BlockDataOffset(Context, Sector, 0));
  if (!NT_SUCCESS(Status)) {
    return CompleteTransfer(IoStatus, Status, 0);
  }
  RtlZeroMemory(Data + OffsetInBlock, Length);

  if (PassesZeroTest(Data, Context->BlockSize)) {
    Status = ReleaseBlock(Context, BlockIndex, Block.Get());
    if (NT_SUCCESS(Status)) {
      *SectorOut = VHD_BAT_UNALLOCATED;
    }
    return CompleteTransfer(IoStatus, Status, Length);
  }

  IO_STATUS_BLOCK FileStatus;
  Status = WriteImageFile(Context->ImageHandle, Data + OffsetInBlock, Length,
                          BlockDataOffset(Context, Sector, OffsetInBlock), &FileStatus);
  return CompleteFileTransfer(IoStatus, Status, FileStatus, Length);
}

}  // namespace

BOOLEAN IsRangeInBlock(const IMAGE_CONTEXT *Context, ULONG BlockIndex, ULONG OffsetInBlock,
                       ULONG Length) {
  return BlockIndex < Context->BatEntries &&
         (ULONGLONG)OffsetInBlock + Length <= Context->BlockSize;
}

BOOLEAN PassesZeroTest(const VOID *Data, ULONG Length) {
  if ((Length & (sizeof(ULONG) - 1)) != 0) {
    return FALSE;
  }
  // The words compared must be aligned, and a client's buffer may start
  // anywhere: the few bytes in front of the first aligned word and behind
  // the last are tested one by one.
  const UCHAR *Bytes = static_cast<const UCHAR *>(Data);
  ULONG Head = (ULONG)((sizeof(ULONG) - ((ULONG_PTR)Bytes & (sizeof(ULONG) - 1))) &
                       (sizeof(ULONG) - 1));
  if (Head > Length) {
    Head = Length;
  }
  ULONG Words = (Length - Head) & ~(ULONG)(sizeof(ULONG) - 1);
  for (ULONG Index = 0; Index < Head; ++Index) {
    if (Bytes[Index] != 0) {
      return FALSE;
    }
  }
  if (RtlCompareMemoryUlong(const_cast<UCHAR *>(Bytes + Head), Words, 0) != Words) {
    return FALSE;
  }
  for (ULONG Index = Head + Words; Index < Length; ++Index) {
    if (Bytes[Index] != 0) {
      return FALSE;
    }
  }
  return TRUE;
}

NTSTATUS ReadBlockData(PIMAGE_CONTEXT Context, PVOID Buffer, ULONG Length, ULONG BlockIndex,
                       ULONG OffsetInBlock, PULONG SectorOut, PIO_STATUS_BLOCK IoStatus) {
  if (!IsRangeInBlock(Context, BlockIndex, OffsetInBlock, Length)) {
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  ULONG Sector = LookupBlockSector(Context, BlockIndex);
  *SectorOut = Sector;
  // An unallocated block leaves the caller's buffer as it is: zeros for a
  // dynamic image, the parent's data for a differencing one.
  if (Sector == VHD_BAT_UNALLOCATED || Length == 0) {
    return CompleteTransfer(IoStatus, STATUS_SUCCESS, Length);
  }
  IO_STATUS_BLOCK FileStatus;
  NTSTATUS Status = ReadImageFile(Context->ImageHandle, Buffer, Length,
                                  BlockDataOffset(Context, Sector, OffsetInBlock), &FileStatus);
  return CompleteFileTransfer(IoStatus, Status, FileStatus, Length);
}

NTSTATUS ZeroBlockRange(PIMAGE_CONTEXT Context, const VOID *Data, ULONG Length,
                        ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                        PIO_STATUS_BLOCK IoStatus) {
  if (!IsRangeInBlock(Context, BlockIndex, OffsetInBlock, Length)) {
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  ULONG Sector = LookupBlockSector(Context, BlockIndex);
  *SectorOut = Sector;
  if (Length == 0) {
    return CompleteTransfer(IoStatus, STATUS_SUCCESS, 0);
  }
  BOOLEAN Zeros = Data == NULL || PassesZeroTest(Data, Length);

  if (Sector == VHD_BAT_UNALLOCATED) {
    if (Zeros) {
      return CompleteTransfer(IoStatus, STATUS_SUCCESS, Length);
    }
    // The data goes into the new block's span, so the block never exists on
    // disk without it.
    NTSTATUS Status = AllocateBlock(Context, BlockIndex, Data, OffsetInBlock, Length, SectorOut);
    return CompleteTransfer(IoStatus, Status, Length);
  }

  if (Zeros) {
    return WriteZerosToBlock(Context, Sector, Length, BlockIndex, OffsetInBlock, SectorOut,
                             IoStatus);
  }
  IO_STATUS_BLOCK FileStatus;
  NTSTATUS Status = WriteImageFile(Context->ImageHandle, Data, Length,
                                   BlockDataOffset(Context, Sector, OffsetInBlock), &FileStatus);
  return CompleteFileTransfer(IoStatus, Status, FileStatus, Length);
}
