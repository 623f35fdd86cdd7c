// Loading the dynamic part of an image: the footer copy, the dynamic header
// and the block allocation table, each judged by the open's rules
// (image_validation.h) as soon as it is read.
#include "image/image.h"

namespace {

// A read the system lacked the resources to make says nothing of the image:
// the open fails with that status instead of judging the image by it.
BOOLEAN ReadNotMade(NTSTATUS Status) { return Status == STATUS_INSUFFICIENT_RESOURCES; }

NTSTATUS CheckFooterCopy(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict) {
  POOL_BUFFER<VHD_FOOTER> Copy(static_cast<PVHD_FOOTER>(AllocateZeroedPool(sizeof(VHD_FOOTER))));
  if (!Copy) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status =
      ReadImageFileAtOpen(Context->ImageHandle, Copy.Get(), sizeof(VHD_FOOTER), 0, &IoStatus);
  if (ReadNotMade(Status)) {
    return Status;
  }
  return RecordImageFault(Verdict,
                          JudgeFooterCopy(NT_SUCCESS(Status) ? Copy.Get() : NULL, Context->Footer));
}

NTSTATUS ReadHeader(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict) {
  IMAGE_FAULT Fault = JudgeHeaderOffset(Context->Footer, Context->FileEnd);
  if (Fault != ImageSound) {
    return RecordImageFault(Verdict, Fault);
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ReadImageFileAtOpen(Context->ImageHandle, &Context->DynamicHeader,
                                        sizeof(VHD_DYNAMIC_HEADER),
                                        (LONGLONG)LoadBe64(Context->Footer->DataOffset), &IoStatus);
  if (ReadNotMade(Status)) {
    return Status;
  }
  ULONG BytesRead = NT_SUCCESS(Status) ? (ULONG)IoStatus.Information : 0;
  return RecordImageFault(Verdict, JudgeDynamicHeader(&Context->DynamicHeader, BytesRead));
}

NTSTATUS TakeBlockGeometry(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict) {
  IMAGE_BLOCK_GEOMETRY Geometry = {};
  IMAGE_FAULT Fault =
      JudgeBlockGeometry(Context->Footer, &Context->DynamicHeader, Context->FileEnd, &Geometry);
  if (Fault == ImageSound) {
    Fault = JudgeImageLimits(Context->DiskType, Geometry.BlockSize, Geometry.BatEntries,
                             &Context->ChainPool);
  }
  if (Fault != ImageSound) {
    return RecordImageFault(Verdict, Fault);
  }
  Context->BlockSize = Geometry.BlockSize;
  Context->BlockShift = Geometry.BlockShift;
  Context->BatOffset = Geometry.BatOffset;
  Context->BatEntries = Geometry.BatEntries;
  return STATUS_SUCCESS;
}

// Reads the table. Only bytes before the trailing footer are entries: a table
// cut short by the end of the file leaves its missing entries unallocated.
NTSTATUS ReadBat(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict) {
  ULONGLONG TableBytes = (ULONGLONG)Context->BatEntries * sizeof(ULONG);
  ULONG Capacity = TableCapacity(Context->DiskType, Context->BatEntries, Context->BlockSize);
  Context->Bat = static_cast<PULONG>(AllocateZeroedPool((ULONGLONG)Capacity * sizeof(ULONG)));
  if (Context->Bat == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Context->BatCapacity = Capacity;
  LONGLONG FooterStart = Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER);
  if (Context->BatOffset >= FooterStart || TableBytes == 0) {
    return STATUS_SUCCESS;
  }
  ULONGLONG Readable = (ULONGLONG)(FooterStart - Context->BatOffset);
  ULONG ReadLength = (ULONG)(TableBytes < Readable ? TableBytes : Readable);
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ReadImageFileAtOpen(Context->ImageHandle, Context->Bat, ReadLength,
                                        Context->BatOffset, &IoStatus);
  if (ReadNotMade(Status)) {
    return Status;
  }
  if (!NT_SUCCESS(Status)) {
    return RecordImageFault(Verdict, ImageTableUnreadable);
  }
  // A partial last entry is no entry.
  ULONG EntriesRead = (ULONG)(IoStatus.Information / sizeof(ULONG));
  if (EntriesRead < Context->BatEntries) {
    RtlZeroMemory(Context->Bat + EntriesRead, (Context->BatEntries - EntriesRead) * sizeof(ULONG));
  }
  return Status;
}

// Both unallocated values become 0xFFFFFFFF and lost appends 0 (image.h):
// a lost append reads as unallocated, and the engine knows which entries of
// the file to clear before the next block takes the place they name.
VOID MarkLostAppends(PIMAGE_CONTEXT Context) {
  Context->LostAppends = 0;
  for (ULONG Index = 0; Index < Context->BatEntries; ++Index) {
    ULONG Sector = BatEntrySector(Context->Bat[Index]);
    if (IsLostAppend(Context->BlockSize, Context->BatEntries, Context->FileEnd, Sector)) {
      Context->Bat[Index] = 0;
      ++Context->LostAppends;
    } else if (Sector == VHD_BAT_UNALLOCATED) {
      Context->Bat[Index] = VHD_BAT_UNALLOCATED;
    }
  }
}

}  // namespace

NTSTATUS LoadDynamicHeader(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict) {
  NTSTATUS Status = CheckFooterCopy(Context, Verdict);
  if (NT_SUCCESS(Status)) {
    Status = ReadHeader(Context, Verdict);
  }
  if (NT_SUCCESS(Status)) {
    Status = TakeBlockGeometry(Context, Verdict);
  }
  if (NT_SUCCESS(Status)) {
    Status = ReadBat(Context, Verdict);
  }
  if (NT_SUCCESS(Status)) {
    Status = JudgeBlockPlacement(Context->Footer, &Context->DynamicHeader, Context->FileEnd,
                                 Context->Bat, Context->BatEntries, Verdict);
  }
  if (NT_SUCCESS(Status)) {
    MarkLostAppends(Context);
  }
  return Status;
}

IMAGE_METADATA LocateImageMetadata(const IMAGE_CONTEXT *Context) {
  return LocateMetadata(Context->Footer, &Context->DynamicHeader, Context->FileEnd);
}
