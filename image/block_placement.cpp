// Where the metadata of a dynamic or differencing image lies in its file, and
// the validation of the places of its allocated blocks.
#include "image/image.h"

namespace {

VOID SiftDown(PULONG Values, ULONG Root, ULONG Count) {
  for (;;) {
    ULONG Largest = Root;
    ULONG Left = 2 * Root + 1;
    ULONG Right = Left + 1;
    if (Left < Count && Values[Left] > Values[Largest]) {
      Largest = Left;
    }
    if (Right < Count && Values[Right] > Values[Largest]) {
      Largest = Right;
    }
    if (Largest == Root) {
      return;
    }
    ULONG Swap = Values[Root];
    Values[Root] = Values[Largest];
    Values[Largest] = Swap;
    Root = Largest;
  }
}

// Heap sort: no recursion and no extra memory, whatever the table's size.
VOID SortAscending(PULONG Values, ULONG Count) {
  for (ULONG Index = Count / 2; Index-- > 0;) {
    SiftDown(Values, Index, Count);
  }
  for (ULONG End = Count; End > 1; --End) {
    ULONG Swap = Values[0];
    Values[0] = Values[End - 1];
    Values[End - 1] = Swap;
    SiftDown(Values, 0, End - 1);
  }
}

BOOLEAN Overlaps(ULONGLONG Start, ULONGLONG End, ULONGLONG OtherStart, ULONGLONG OtherEnd) {
  return Start < OtherEnd && OtherStart < End;
}

ULONGLONG MaxOffset(ULONGLONG Left, ULONGLONG Right) { return Left > Right ? Left : Right; }

BOOLEAN IsBlockPlaceValid(PIMAGE_CONTEXT Context, const IMAGE_METADATA &Metadata, ULONG Sector) {
  ULONGLONG Span = BlockSpan(Context->BlockSize);
  ULONGLONG Start = (ULONGLONG)Sector << VHD_SECTOR_SHIFT;
  ULONGLONG End = Start + Span;

  return End <= (ULONGLONG)(Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER)) &&
         !Overlaps(Start, End, 0, sizeof(VHD_FOOTER)) &&
         !Overlaps(Start, End, Metadata.HeaderStart, Metadata.HeaderEnd) &&
         !Overlaps(Start, End, Metadata.TableStart, Metadata.TableEnd);
}

// The end of the data of a differencing image's parent locators, with the
// space kept for each, as far as it lies in the file; 0 without any. The
// parents are found through these bytes at every open: they belong to the
// image as much as its header does.
ULONGLONG LocatorDataEnd(const IMAGE_CONTEXT *Context) {
  if (Context->DiskType != VHD_DISK_TYPE_DIFFERENCING) {
    return 0;
  }
  ULONGLONG FileEnd = (ULONGLONG)Context->FileEnd;
  ULONGLONG End = 0;
  for (ULONG Index = 0; Index < VHD_PARENT_LOCATOR_COUNT; ++Index) {
    const VHD_PARENT_LOCATOR *Locator = &Context->DynamicHeader.ParentLocators[Index];
    ULONGLONG Offset = LoadBe64(Locator->PlatformDataOffset);
    ULONGLONG Length =
        MaxOffset(LoadBe32(Locator->PlatformDataLength), LoadBe32(Locator->PlatformDataSpace));
    // Entries that name nothing, or nothing inside the file, hold nothing
    // to keep.
    if (Offset == 0 || Length == 0 || Offset >= FileEnd) {
      continue;
    }
    End = MaxOffset(End, Offset + Length < FileEnd ? Offset + Length : FileEnd);
  }
  return End;
}

}  // namespace

IMAGE_METADATA LocateImageMetadata(const IMAGE_CONTEXT *Context) {
  IMAGE_METADATA Metadata;
  Metadata.HeaderStart = LoadBe64(Context->Footer->DataOffset);
  Metadata.HeaderEnd = Metadata.HeaderStart + sizeof(VHD_DYNAMIC_HEADER);
  Metadata.TableStart = (ULONGLONG)Context->BatOffset;
  LONGLONG TableBytes = (LONGLONG)Context->BatEntries * sizeof(ULONG);
  Metadata.TableEnd = Metadata.TableStart + (ULONGLONG)AlignUpToSector(TableBytes);
  ULONGLONG End = MaxOffset(MaxOffset(sizeof(VHD_FOOTER), Metadata.HeaderEnd), Metadata.TableEnd);
  End = MaxOffset(End, LocatorDataEnd(Context));
  Metadata.End = (ULONGLONG)AlignUpToSector((LONGLONG)End);
  return Metadata;
}

NTSTATUS ValidateBlockPlacement(PIMAGE_CONTEXT Context) {
  ULONG Allocated = CountAllocatedBlocks(Context);
  if (Allocated == 0) {
    return STATUS_SUCCESS;
  }

  POOL_BUFFER<ULONG> Sectors(static_cast<PULONG>(AllocateUnfilledPool(Allocated * sizeof(ULONG))));
  if (!Sectors) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IMAGE_METADATA Metadata = LocateImageMetadata(Context);
  ULONG Count = 0;
  for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) {
    if (!IsBlockPlaceValid(Context, Metadata, Block.Sector)) {
      return STATUS_FILE_CORRUPT_ERROR;
    }
    Sectors.Get()[Count++] = Block.Sector;
  }

  // Sorted by place, each block must end before the next begins.
  SortAscending(Sectors.Get(), Count);
  ULONGLONG Span = BlockSpan(Context->BlockSize);
  for (ULONG Index = 1; Index < Count; ++Index) {
    ULONGLONG PreviousEnd = ((ULONGLONG)Sectors.Get()[Index - 1] << VHD_SECTOR_SHIFT) + Span;
    if (PreviousEnd > ((ULONGLONG)Sectors.Get()[Index] << VHD_SECTOR_SHIFT)) {
      return STATUS_FILE_CORRUPT_ERROR;
    }
  }
  return STATUS_SUCCESS;
}
