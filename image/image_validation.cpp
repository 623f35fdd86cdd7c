// The rules by which an image file is judged at open. Every number read from
// a file is checked against the file's length before it is used as an
// offset, with arithmetic that cannot overflow.
#include "image/image_validation.h"

#include "kernel/owners.h"

namespace {

const LONGLONG MinimumImageLength = 3 * VHD_SECTOR_SIZE;
const ULONGLONG MaxFileOffset = 0x7FFFFFFFFFFFFFFFull;

BOOLEAN IsKnownDiskType(ULONG DiskType) {
  return DiskType == VHD_DISK_TYPE_FIXED || DiskType == VHD_DISK_TYPE_DYNAMIC ||
         DiskType == VHD_DISK_TYPE_DIFFERENCING;
}

BOOLEAN Overlaps(ULONGLONG Start, ULONGLONG End, ULONGLONG OtherStart, ULONGLONG OtherEnd) {
  return Start < OtherEnd && OtherStart < End;
}

ULONGLONG MaxOffset(ULONGLONG Left, ULONGLONG Right) { return Left > Right ? Left : Right; }

ULONGLONG TableBytes(ULONG Entries) {
  return (ULONGLONG)AlignUpToSector((LONGLONG)Entries * sizeof(ULONG));
}

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

// The entry that names the block at Sector.
ULONG EntryOfSector(const ULONG *Bat, ULONG Entries, ULONG Sector, ULONG After) {
  for (ULONG Index = 0; Index < Entries; ++Index) {
    if (BatEntrySector(Bat[Index]) == Sector && (After == Entries || Index != After)) {
      return Index;
    }
  }
  return Entries;
}

}  // namespace

NTSTATUS ImageFaultStatus(IMAGE_FAULT Fault) {
  switch (Fault) {
    case ImageSound:
      return STATUS_SUCCESS;
    case ImageFileTooShort:
    case ImageDiskTypeUnknown:
    case ImageFooterCopyUnreadable:
    case ImageHeaderOutsideFile:
    case ImageHeaderCookie:
    case ImageTableOutsideFile:
    case ImageBlockSizeTooSmall:
    case ImageTableUnreadable:
    case ImageLocatorTooLong:
      return STATUS_BAD_FILE_TYPE;
    case ImageBlockSizeBeyondLimit:
    case ImageTableBeyondLimit:
    case ImageChainBeyondLimit:
      return STATUS_NOT_SUPPORTED;
    case ImageLocatorTooShort:
      return STATUS_OBJECT_PATH_INVALID;
    case ImageNoParentLocator:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ImageChainTooDeep:
      return STATUS_TOO_MANY_LINKS;
    default:
      return STATUS_FILE_CORRUPT_ERROR;
  }
}

NTSTATUS RecordImageFault(IMAGE_VERDICT *Verdict, IMAGE_FAULT Fault, ULONGLONG Value,
                          ULONGLONG Other) {
  Verdict->Fault = Fault;
  Verdict->Value = Value;
  Verdict->Other = Other;
  return ImageFaultStatus(Fault);
}

IMAGE_FAULT JudgeImageFileLength(LONGLONG FileLength) {
  return FileLength < MinimumImageLength ? ImageFileTooShort : ImageSound;
}

IMAGE_FAULT JudgeFooter(const VHD_FOOTER *Footer, LONGLONG FileEnd) {
  if (!IsFooterIntact(Footer)) {
    return ImageFooterDamaged;
  }
  ULONG DiskType = LoadBe32(Footer->DiskType);
  if (!IsKnownDiskType(DiskType)) {
    return ImageDiskTypeUnknown;
  }
  ULONGLONG DiskSize = LoadBe64(Footer->CurrentSize);
  if (DiskSize > MaxFileOffset) {
    return ImageDiskSizeOutOfRange;
  }
  // Writes near the end of a fixed disk reaching past it would land on the
  // footer.
  if (DiskType == VHD_DISK_TYPE_FIXED &&
      (LONGLONG)DiskSize > FileEnd - (LONGLONG)sizeof(VHD_FOOTER)) {
    return ImageFixedDiskPastFooter;
  }
  return ImageSound;
}

IMAGE_FAULT JudgeFooterCopy(const VHD_FOOTER *Copy, const VHD_FOOTER *Footer) {
  if (Copy == NULL) {
    return ImageFooterCopyUnreadable;
  }
  return memcmp(Copy, Footer, sizeof(VHD_FOOTER)) == 0 ? ImageSound : ImageFooterCopyDiffers;
}

IMAGE_FAULT JudgeHeaderOffset(const VHD_FOOTER *Footer, LONGLONG FileEnd) {
  return LoadBe64(Footer->DataOffset) > (ULONGLONG)FileEnd ? ImageHeaderOutsideFile : ImageSound;
}

IMAGE_FAULT JudgeDynamicHeader(const VHD_DYNAMIC_HEADER *Header, ULONG BytesRead) {
  if (BytesRead < sizeof(VHD_DYNAMIC_HEADER)) {
    return ImageHeaderOutsideFile;
  }
  if (!HasDynamicHeaderCookie(Header)) {
    return ImageHeaderCookie;
  }
  return IsDynamicHeaderChecksumValid(Header) ? ImageSound : ImageHeaderChecksum;
}

IMAGE_FAULT JudgeBlockGeometry(const VHD_FOOTER *Footer, const VHD_DYNAMIC_HEADER *Header,
                               LONGLONG FileEnd, IMAGE_BLOCK_GEOMETRY *Geometry) {
  ULONGLONG TableOffset = LoadBe64(Header->TableOffset);
  Geometry->BatEntries = LoadBe32(Header->MaxTableEntries);
  Geometry->BlockSize = LoadBe32(Header->BlockSize);
  if (TableOffset > (ULONGLONG)FileEnd) {
    return ImageTableOutsideFile;
  }
  Geometry->BatOffset = (LONGLONG)TableOffset;

  ULONG BlockSize = Geometry->BlockSize;
  if (BlockSize == 0 || (BlockSize & (BlockSize - 1)) != 0) {
    return ImageBlockSizeNotPowerOfTwo;
  }
  USHORT Shift = 0;
  while ((1u << Shift) != BlockSize) {
    ++Shift;
  }
  Geometry->BlockShift = Shift;
  if (BlockSize < VHD_MIN_BLOCK_SIZE) {
    return ImageBlockSizeTooSmall;
  }
  // Counted in full: a count cut to 32 bits would let block indexes wrap and
  // alias the first blocks of the disk.
  ULONGLONG BlocksNeeded = (LoadBe64(Footer->CurrentSize) + BlockSize - 1) >> Shift;
  if (BlocksNeeded != Geometry->BatEntries) {
    return ImageTableEntriesMismatch;
  }
  ULONGLONG HeaderStart = LoadBe64(Footer->DataOffset);
  ULONGLONG HeaderEnd = HeaderStart + sizeof(VHD_DYNAMIC_HEADER);
  ULONGLONG TableEnd = TableOffset + TableBytes(Geometry->BatEntries);
  if (Overlaps(HeaderStart, HeaderEnd, 0, sizeof(VHD_FOOTER)) ||
      Overlaps(TableOffset, TableEnd, 0, sizeof(VHD_FOOTER)) ||
      Overlaps(TableOffset, TableEnd, HeaderStart, HeaderEnd)) {
    return ImageRecordsOverlap;
  }
  return ImageSound;
}

ULONG TableCapacity(ULONG DiskType, ULONG BatEntries, ULONG BlockSize) {
  if (DiskType != VHD_DISK_TYPE_DYNAMIC || BlockSize == 0) {
    return BatEntries;
  }
  ULONGLONG Largest = VHD_MAX_DISK_SIZE / BlockSize;
  if (Largest > IMAGE_BAT_ENTRY_LIMIT) {
    Largest = IMAGE_BAT_ENTRY_LIMIT;
  }
  ULONGLONG Wanted = (ULONGLONG)BatEntries + BatEntries / 16;
  if (Wanted > Largest) {
    Wanted = Largest;
  }
  return Wanted > BatEntries ? (ULONG)Wanted : BatEntries;
}

ULONGLONG ImagePoolCharge(ULONG DiskType, ULONG BatEntries, ULONG BlockSize) {
  return (ULONGLONG)TableCapacity(DiskType, BatEntries, BlockSize) * sizeof(ULONG) +
         BlockSpan(BlockSize) + SectorBitmapLength(BlockSize);
}

IMAGE_FAULT JudgeImageLimits(ULONG DiskType, ULONG BlockSize, ULONG BatEntries,
                             ULONGLONG *ChainPool) {
  if (BlockSize > IMAGE_BLOCK_SIZE_LIMIT) {
    return ImageBlockSizeBeyondLimit;
  }
  if (BatEntries > IMAGE_BAT_ENTRY_LIMIT) {
    return ImageTableBeyondLimit;
  }
  ULONGLONG Charge = ImagePoolCharge(DiskType, BatEntries, BlockSize);
  if (*ChainPool > IMAGE_CHAIN_POOL_LIMIT - Charge) {
    return ImageChainBeyondLimit;
  }
  *ChainPool += Charge;
  return ImageSound;
}

IMAGE_METADATA LocateMetadata(const VHD_FOOTER *Footer, const VHD_DYNAMIC_HEADER *Header,
                              LONGLONG FileEnd) {
  IMAGE_METADATA Metadata;
  Metadata.HeaderStart = LoadBe64(Footer->DataOffset);
  Metadata.HeaderEnd = Metadata.HeaderStart + sizeof(VHD_DYNAMIC_HEADER);
  Metadata.TableStart = LoadBe64(Header->TableOffset);
  Metadata.TableEnd = Metadata.TableStart + TableBytes(LoadBe32(Header->MaxTableEntries));
  ULONGLONG End = MaxOffset(MaxOffset(sizeof(VHD_FOOTER), Metadata.HeaderEnd), Metadata.TableEnd);
  // The parents are found through the locators' data at every open: it
  // belongs to a differencing image as much as its header does. Entries
  // that name nothing, or nothing inside the file, hold nothing to keep.
  BOOLEAN Differencing = LoadBe32(Footer->DiskType) == VHD_DISK_TYPE_DIFFERENCING;
  for (ULONG Index = 0; Index < VHD_PARENT_LOCATOR_COUNT; ++Index) {
    const VHD_PARENT_LOCATOR *Locator = &Header->ParentLocators[Index];
    ULONGLONG Offset = LoadBe64(Locator->PlatformDataOffset);
    ULONGLONG Length =
        MaxOffset(LoadBe32(Locator->PlatformDataLength), LoadBe32(Locator->PlatformDataSpace));
    Metadata.LocatorStart[Index] = Metadata.LocatorEnd[Index] = 0;
    if (!Differencing || Offset == 0 || Length == 0 || Offset >= (ULONGLONG)FileEnd) {
      continue;
    }
    Metadata.LocatorStart[Index] = Offset;
    Metadata.LocatorEnd[Index] =
        Offset + Length < (ULONGLONG)FileEnd ? Offset + Length : (ULONGLONG)FileEnd;
    End = MaxOffset(End, Metadata.LocatorEnd[Index]);
  }
  Metadata.End = (ULONGLONG)AlignUpToSector((LONGLONG)End);
  return Metadata;
}

IMAGE_FAULT JudgeBlockPlace(const IMAGE_METADATA *Metadata, ULONG BlockSize, LONGLONG FileEnd,
                            ULONG Sector, PULONG Region) {
  ULONGLONG Start = (ULONGLONG)Sector << VHD_SECTOR_SHIFT;
  ULONGLONG End = Start + BlockSpan(BlockSize);
  *Region = ImageRegionTrailingFooter;
  if (End > (ULONGLONG)(FileEnd - (LONGLONG)sizeof(VHD_FOOTER))) {
    return ImageBlockPastFooter;
  }
  const struct {
    ULONGLONG Start, End;
    ULONG Region;
  } Regions[] = {{0, sizeof(VHD_FOOTER), ImageRegionFooterCopy},
                 {Metadata->HeaderStart, Metadata->HeaderEnd, ImageRegionHeader},
                 {Metadata->TableStart, Metadata->TableEnd, ImageRegionTable}};
  for (ULONG Index = 0; Index < sizeof(Regions) / sizeof(Regions[0]); ++Index) {
    if (Overlaps(Start, End, Regions[Index].Start, Regions[Index].End)) {
      *Region = Regions[Index].Region;
      return ImageBlockOnMetadata;
    }
  }
  for (ULONG Index = 0; Index < VHD_PARENT_LOCATOR_COUNT; ++Index) {
    if (Overlaps(Start, End, Metadata->LocatorStart[Index], Metadata->LocatorEnd[Index])) {
      *Region = ImageRegionLocatorData + Index;
      return ImageBlockOnMetadata;
    }
  }
  return ImageSound;
}

BOOLEAN IsLostAppend(ULONG BlockSize, ULONG Entries, LONGLONG FileEnd, ULONG Sector) {
  ULONGLONG Place = (ULONGLONG)AlignUpToSector(FileEnd - (LONGLONG)sizeof(VHD_FOOTER));
  ULONGLONG Start = (ULONGLONG)Sector << VHD_SECTOR_SHIFT;
  if (Sector == VHD_BAT_UNALLOCATED || Start < Place) {
    return FALSE;
  }
  ULONGLONG Span = BlockSpan(BlockSize);
  return (Start - Place) % Span == 0 && (Start - Place) / Span < Entries;
}

NTSTATUS JudgeBlockPlacement(const VHD_FOOTER *Footer, const VHD_DYNAMIC_HEADER *Header,
                             LONGLONG FileEnd, const ULONG *Bat, ULONG Entries,
                             IMAGE_VERDICT *Verdict) {
  ULONG Allocated = 0;
  for (ULONG Index = 0; Index < Entries; ++Index) {
    Allocated += IsBatEntryAllocated(Bat[Index]) ? 1 : 0;
  }
  if (Allocated == 0) {
    return STATUS_SUCCESS;
  }
  POOL_BUFFER<ULONG> Sectors(static_cast<PULONG>(AllocateUnfilledPool(Allocated * sizeof(ULONG))));
  if (!Sectors) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG BlockSize = LoadBe32(Header->BlockSize);
  IMAGE_METADATA Metadata = LocateMetadata(Footer, Header, FileEnd);
  ULONG Count = 0;
  for (ULONG Index = 0; Index < Entries; ++Index) {
    ULONG Sector = BatEntrySector(Bat[Index]);
    if (Sector == VHD_BAT_UNALLOCATED || IsLostAppend(BlockSize, Entries, FileEnd, Sector)) {
      continue;
    }
    ULONG Region;
    IMAGE_FAULT Fault = JudgeBlockPlace(&Metadata, BlockSize, FileEnd, Sector, &Region);
    if (Fault != ImageSound) {
      return RecordImageFault(Verdict, Fault, Index, Region);
    }
    Sectors.Get()[Count++] = Sector;
  }

  // Sorted by place, each block must end before the next begins.
  SortAscending(Sectors.Get(), Count);
  ULONGLONG Span = BlockSpan(BlockSize);
  for (ULONG Index = 1; Index < Count; ++Index) {
    ULONG Previous = Sectors.Get()[Index - 1];
    ULONG Next = Sectors.Get()[Index];
    if (((ULONGLONG)Previous << VHD_SECTOR_SHIFT) + Span > ((ULONGLONG)Next << VHD_SECTOR_SHIFT)) {
      ULONG First = EntryOfSector(Bat, Entries, Previous, Entries);
      return RecordImageFault(Verdict, ImageBlocksOverlap, First,
                              EntryOfSector(Bat, Entries, Next, First));
    }
  }
  return STATUS_SUCCESS;
}

IMAGE_FAULT JudgeLocatorData(const VHD_PARENT_LOCATOR *Locator, LONGLONG FileEnd) {
  ULONG DataLength = LoadBe32(Locator->PlatformDataLength);
  if (DataLength >= VHD_LOCATOR_DATA_LIMIT) {
    return ImageLocatorTooLong;
  }
  if (DataLength > 0) {
    // Offsets beyond the signed range would reach the file system as its
    // special positions (end of file, current position). The path consists
    // only of bytes read from the file: data that does not lie wholly inside
    // it is a damaged locator, not a shorter path, which could name another
    // file.
    ULONGLONG DataOffset = LoadBe64(Locator->PlatformDataOffset);
    if (DataOffset > MaxFileOffset) {
      return ImageLocatorOffsetOutOfRange;
    }
    if (DataOffset >= (ULONGLONG)FileEnd || DataLength > (ULONGLONG)FileEnd - DataOffset) {
      return ImageLocatorOutsideFile;
    }
  }
  return DataLength < 10 ? ImageLocatorTooShort : ImageSound;
}

IMAGE_FAULT JudgeParentIdentity(const VHD_DYNAMIC_HEADER *Child, const VHD_FOOTER *Parent) {
  return RtlEqualMemory(Child->ParentUniqueId, Parent->UniqueId, sizeof(Parent->UniqueId))
             ? ImageSound
             : ImageParentMismatch;
}
