// Transfers, the engine's entry point: a range of a fixed image's virtual
// disk is the same range of its file; one of a dynamic or differencing image
// is cut at block boundaries, each piece served by its block. A write through
// a merge-through image goes to the image that receives the merge.
#include "engine/engine_internal.h"

NTSTATUS ImageTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                       PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  if (Operation == IMAGE_OPERATION_WRITE && Context->MergeThrough) {
    return WriteThroughMerge(Context, Length, ByteOffset, Buffer, IoStatus);
  }
  return DirectTransfer(Context, Operation, Length, ByteOffset, Buffer, IoStatus);
}

NTSTATUS DirectTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                        PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  if (Context->DiskType == VHD_DISK_TYPE_FIXED) {
    return ImageFileTransfer(Context, Operation, Buffer, Length, ByteOffset, IoStatus);
  }
  return DynamicTransfer(Context, Operation, Length, ByteOffset, Buffer, IoStatus);
}

NTSTATUS BlockTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, PVOID Buffer, ULONG Length,
                       ULONG BlockIndex, ULONG OffsetInBlock, PULONG SectorOut,
                       PIO_STATUS_BLOCK IoStatus) {
  BOOLEAN Reading = Operation == IMAGE_OPERATION_READ;
  if (!Reading && Operation != IMAGE_OPERATION_WRITE) {
    return STATUS_INTERNAL_ERROR;
  }
  switch (Context->DiskType) {
    case VHD_DISK_TYPE_DYNAMIC:
      return Reading ? ReadBlockData(Context, Buffer, Length, BlockIndex, OffsetInBlock,
                                     SectorOut, IoStatus)
                     : ZeroBlockRange(Context, Buffer, Length, BlockIndex, OffsetInBlock,
                                      SectorOut, IoStatus);
    case VHD_DISK_TYPE_DIFFERENCING:
      return Reading ? ReadDifferencingBlock(Context, Buffer, Length, BlockIndex,
                                             OffsetInBlock, SectorOut, IoStatus)
                     : WriteDifferencingBlock(Context, Buffer, Length, BlockIndex,
                                              OffsetInBlock, SectorOut, IoStatus);
    default:
      return STATUS_INTERNAL_ERROR;
  }
}

NTSTATUS DynamicTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                         PLARGE_INTEGER ByteOffset, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  PUCHAR Bytes = static_cast<PUCHAR>(Buffer);
  BOOLEAN Reading = Operation == IMAGE_OPERATION_READ;
  LONGLONG Offset = ByteOffset->QuadPart;
  // No place of the virtual disk lies before its start.
  if (Offset < 0) {
    if (Reading) {
      RtlZeroMemory(Bytes, Length);
    }
    return CompleteTransfer(IoStatus, STATUS_INVALID_PARAMETER, 0);
  }
  // A read returns zeros wherever no piece finds data. A dynamic image's
  // pieces are cleared one by one as they turn out unallocated, so that data
  // read from the file is not preceded by a pass over the buffer; a
  // differencing piece that succeeds sets every byte of its range.
  BOOLEAN ClearEachPiece = Reading && Context->DiskType == VHD_DISK_TYPE_DYNAMIC;

  // The block index in full: cut to 32 bits, an offset far beyond the disk
  // would alias one of its first blocks.
  ULONGLONG BlockIndex = (ULONGLONG)Offset >> Context->BlockShift;
  ULONG OffsetInBlock = (ULONG)Offset & (Context->BlockSize - 1);
  ULONG Done = 0;
  NTSTATUS Status = STATUS_SUCCESS;
  while (Done < Length && BlockIndex < Context->BatEntries) {
    ULONG Piece = Length - Done;
    if (Piece > Context->BlockSize - OffsetInBlock) {
      Piece = Context->BlockSize - OffsetInBlock;
    }
    ULONG Sector = VHD_BAT_UNALLOCATED;
    IoStatus->Information = 0;
    Status = BlockTransfer(Context, Operation, Bytes + Done, Piece, (ULONG)BlockIndex,
                           OffsetInBlock, &Sector, IoStatus);
    ULONG Moved = (ULONG)IoStatus->Information;
    if (!NT_SUCCESS(Status) || Moved != Piece) {
      if (NT_SUCCESS(Status)) {
        Status = IMAGE_STATUS_SHORT_TRANSFER;
      }
      if (Moved < Piece) {
        Done += Moved;
      }
      break;
    }
    if (ClearEachPiece && Sector == VHD_BAT_UNALLOCATED) {
      RtlZeroMemory(Bytes + Done, Piece);
    }
    Done += Piece;
    OffsetInBlock = 0;
    ++BlockIndex;
  }

  // Bytes that no piece filled, a failed piece's included, read as zeros.
  if (Reading && Done < Length) {
    RtlZeroMemory(Bytes + Done, Length - Done);
  }
  IoStatus->Status = Status;
  IoStatus->Information = Done;
  return Status;
}
