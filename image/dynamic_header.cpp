// Loading and validating the dynamic part of an image: the footer copy, the
// dynamic header and the block allocation table.
#include "image/image.h"

namespace {

NTSTATUS CheckFooterCopy(PIMAGE_CONTEXT Context) {
  POOL_BUFFER<VHD_FOOTER> Copy(static_cast<PVHD_FOOTER>(AllocateZeroedPool(sizeof(VHD_FOOTER))));
  if (!Copy) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status =
      ReadImageFileAtOpen(Context->ImageHandle, Copy.Get(), sizeof(VHD_FOOTER), 0, &IoStatus);
  if (!NT_SUCCESS(Status)) {
    return STATUS_BAD_FILE_TYPE;
  }
  if (memcmp(Copy.Get(), Context->Footer, sizeof(VHD_FOOTER)) != 0) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadHeader(PIMAGE_CONTEXT Context) {
  ULONGLONG HeaderOffset = LoadBe64(Context->Footer->DataOffset);
  if (HeaderOffset > (ULONGLONG)Context->FileEnd) {
    return STATUS_BAD_FILE_TYPE;
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status =
      ReadImageFileAtOpen(Context->ImageHandle, &Context->DynamicHeader,
                          sizeof(VHD_DYNAMIC_HEADER), (LONGLONG)HeaderOffset, &IoStatus);
  if (!NT_SUCCESS(Status) || IoStatus.Information < sizeof(VHD_DYNAMIC_HEADER)) {
    return STATUS_BAD_FILE_TYPE;
  }
  if (!HasDynamicHeaderCookie(&Context->DynamicHeader)) {
    return STATUS_BAD_FILE_TYPE;
  }
  if (!IsDynamicHeaderChecksumValid(&Context->DynamicHeader)) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  return STATUS_SUCCESS;
}

// Block geometry of the header: a power-of-two block size of whole sectors
// and a table of exactly as many entries as blocks cover the virtual disk.
NTSTATUS TakeBlockGeometry(PIMAGE_CONTEXT Context) {
  const VHD_DYNAMIC_HEADER *Header = &Context->DynamicHeader;
  ULONGLONG TableOffset = LoadBe64(Header->TableOffset);
  Context->BatEntries = LoadBe32(Header->MaxTableEntries);
  Context->BlockSize = LoadBe32(Header->BlockSize);
  if (TableOffset > (ULONGLONG)Context->FileEnd) {
    return STATUS_BAD_FILE_TYPE;
  }
  Context->BatOffset = (LONGLONG)TableOffset;

  ULONG BlockSize = Context->BlockSize;
  if (BlockSize == 0 || (BlockSize & (BlockSize - 1)) != 0) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  USHORT Shift = 0;
  while ((1u << Shift) != BlockSize) {
    ++Shift;
  }
  Context->BlockShift = Shift;
  if (BlockSize < VHD_MIN_BLOCK_SIZE) {
    return STATUS_BAD_FILE_TYPE;
  }

  // Counted in full: a count cut to 32 bits would let block indexes wrap and
  // alias the first blocks of the disk.
  ULONGLONG BlocksNeeded = ((ULONGLONG)Context->DiskSize + BlockSize - 1) >> Shift;
  if (BlocksNeeded != Context->BatEntries) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  return CheckImageLimits(Context);
}

// Reads the table. Only bytes before the trailing footer are entries: a table
// cut short by the end of the file leaves its missing entries unallocated.
NTSTATUS ReadBat(PIMAGE_CONTEXT Context) {
  ULONGLONG TableBytes = (ULONGLONG)Context->BatEntries * sizeof(ULONG);
  if (TableBytes > 0xFFFFFFFFull) {
    return STATUS_BAD_FILE_TYPE;
  }
  Context->Bat = static_cast<PULONG>(AllocateZeroedPool(TableBytes));
  if (Context->Bat == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  LONGLONG FooterStart = Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER);
  if (Context->BatOffset >= FooterStart || TableBytes == 0) {
    return STATUS_SUCCESS;
  }
  ULONGLONG Readable = (ULONGLONG)(FooterStart - Context->BatOffset);
  ULONG ReadLength = (ULONG)(TableBytes < Readable ? TableBytes : Readable);
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ReadImageFileAtOpen(Context->ImageHandle, Context->Bat, ReadLength,
                                        Context->BatOffset, &IoStatus);
  if (!NT_SUCCESS(Status)) {
    return STATUS_BAD_FILE_TYPE;
  }
  // A partial last entry is no entry.
  ULONG EntriesRead = (ULONG)(IoStatus.Information / sizeof(ULONG));
  if (EntriesRead < Context->BatEntries) {
    RtlZeroMemory(Context->Bat + EntriesRead, (Context->BatEntries - EntriesRead) * sizeof(ULONG));
  }
  return Status;
}

}  // namespace

NTSTATUS LoadDynamicHeader(PIMAGE_CONTEXT Context) {
  NTSTATUS Status = CheckFooterCopy(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = ReadHeader(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = TakeBlockGeometry(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = ReadBat(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return ValidateBlockPlacement(Context);
}
