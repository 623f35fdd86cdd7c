// Growth of the virtual disk: a set-information request for the end of file
// or the allocation size moves a fixed image's footer, or extends a dynamic
// image's block allocation table (BAT) in place.
//
// Both paths order their writes so that the file holds a valid trailing
// footer after every one of them, and put flushes between the writes that
// depend on each other, so that the order also holds on the disk:
//
// Fixed image, old size D, file end F, new size S:
//   1. when the file must grow, the OLD footer at S (the file grows to
//      S + 512; the image still opens at the old size, with slack behind it);
//   2. zeros over [D, S) where the file held something (the old footer);
//   3. the new footer at S, and the file cut to S + 512 when it was longer.
//   Only the last write of 3 changes what an open finds: old size before,
//   new size after.
//
// Dynamic image, table offset T, K entries growing to M:
//   1. when the table needs more sectors and the file ends inside them, the
//      current footer where the grown table ends (E);
//   2. every block lying in [old table end, E) copied whole to the end of the
//      file, then (after a flush) the entries pointing at the copies;
//   3. (after a flush) the new entries and the rest of the table's last
//      sector as unallocated, and zeros over the part of the last block that
//      lay behind the old size;
//   4. the new footer at the end, the same at offset 0, the new dynamic
//      header.
//   The image opens at the old size with all its data after every write of
//   1 to 3. Step 4 changes three records that an open requires to agree; a
//   stop between them leaves the trailing footer ahead of the other two, or
//   the two footers ahead of the header (the header's Max Table Entries then
//   still counts the old size). A failure of a write in step 4 puts the old
//   records back, last written first.
//
// The record changes only when everything is written: a growth that fails
// leaves DiskSize, Footer, Bat, BatEntries and DynamicHeader as they were,
// so no write reaches a range that a reopen would not find. Blocks already
// moved stay moved, their entries on disk and in memory naming the copies;
// what the failed growth appended beyond the last block an entry names is
// cut away, so that a full disk leaves the image as compact as it was.
#include "engine/engine_internal.h"

namespace {

const LONGLONG MaxFileOffset = 0x7FFFFFFFFFFFFFFFll;
const ULONG EntriesPerSector = VHD_SECTOR_SIZE / sizeof(ULONG);
// Wait before another try of ExUuidCreate: 100 ms, relative, in 100 ns units.
const LONGLONG UuidRetryInterval = -100ll * 10000;

LONGLONG TableAreaEnd(LONGLONG TableOffset, ULONGLONG Entries) {
  ULONGLONG Sectors = (Entries + EntriesPerSector - 1) / EntriesPerSector;
  return TableOffset + (LONGLONG)(Sectors * VHD_SECTOR_SIZE);
}

// ExUuidCreate fails only while the system cannot yet make identifiers; it
// is asked again every 100 ms until it can.
VOID CreateUniqueId(UCHAR UniqueId[16]) {
  UUID Uuid;
  while (!NT_SUCCESS(ExUuidCreate(&Uuid))) {
    LARGE_INTEGER Interval;
    Interval.QuadPart = UuidRetryInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);
  }
  static_assert(sizeof(Uuid) == 16, "a Unique Id is 16 bytes");
  RtlCopyMemory(UniqueId, &Uuid, sizeof(Uuid));
}

// The footer of the grown disk: the record's footer with the new size, its
// geometry and a new Unique Id, checksum refreshed.
PVHD_FOOTER MakeGrownFooter(const IMAGE_CONTEXT *Context, LONGLONG NewSize) {
  PVHD_FOOTER Footer = static_cast<PVHD_FOOTER>(AllocateZeroedPool(sizeof(VHD_FOOTER)));
  if (Footer == NULL) {
    return NULL;
  }
  RtlCopyMemory(Footer, Context->Footer, sizeof(VHD_FOOTER));
  StoreBe64(Footer->CurrentSize, (ULONGLONG)NewSize);
  ComputeDiskGeometry((ULONGLONG)NewSize / VHD_SECTOR_SIZE, Footer->DiskGeometry);
  CreateUniqueId(Footer->UniqueId);
  UpdateFooterChecksum(Footer);
  return Footer;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fixed images.

NTSTATUS GrowFixedDisk(PIMAGE_CONTEXT Context, LONGLONG NewSize) {
  if (NewSize > MaxFileOffset - (LONGLONG)sizeof(VHD_FOOTER)) {
    return STATUS_INVALID_PARAMETER;
  }
  POOL_BUFFER<VHD_FOOTER> Footer(MakeGrownFooter(Context, NewSize));
  if (!Footer) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // What lies between the disk's old end and the footer (the old footer,
  // slack of an earlier attempt) becomes disk and must read as zeros. Past
  // the file's old end the file system supplies zeros already.
  LONGLONG OldSize = Context->DiskSize;
  LONGLONG OldFileEnd = Context->FileEnd;
  LONGLONG ZeroEnd = Context->FileEnd < NewSize ? Context->FileEnd : NewSize;
  // Step 1: the old footer at the new end.
  NTSTATUS Status = ExtendFileToFooterAt(Context, NewSize);
  if (NT_SUCCESS(Status) && ZeroEnd > OldSize) {
    Status = ZeroImageFileRange(Context->ImageHandle, OldSize, ZeroEnd);
    if (NT_SUCCESS(Status)) {
      Status = FlushImageWrites(Context);
    }
  }
  if (!NT_SUCCESS(Status)) {
    // A file that grew goes back to its old end, the old footer with it
    // (best effort: the footer at the new end stands until the cut).
    if (Context->FileEnd != OldFileEnd) {
      PlaceTrailingFooter(Context, OldFileEnd - (LONGLONG)sizeof(VHD_FOOTER));
    }
    return Status;
  }

  LONGLONG NewEnd = NewSize + (LONGLONG)sizeof(VHD_FOOTER);
  Status = WriteImageFileExact(Context->ImageHandle, Footer.Get(), sizeof(VHD_FOOTER), NewSize);
  if (!NT_SUCCESS(Status)) {
    // Only a footer at the very end can have been torn: the old one goes
    // back. A footer written inside the slack is no trailing footer.
    if (NewEnd == Context->FileEnd) {
      PlaceTrailingFooter(Context, Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER));
    }
    return Status;
  }
  if (NewEnd < Context->FileEnd) {
    // The new footer stands inside the slack of an earlier attempt; cutting
    // the file makes it the trailing one.
    Status = FlushImageWrites(Context);
    if (NT_SUCCESS(Status)) {
      Status = SetImageFileEnd(Context->ImageHandle, NewEnd);
    }
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Context->FileEnd = NewEnd;
  }
  FreePool(Context->Footer);
  Context->Footer = Footer.Detach();
  Context->DiskSize = NewSize;
  return STATUS_SUCCESS;
}

namespace {

// ---------------------------------------------------------------------------
// Dynamic images.

BOOLEAN LiesInRange(ULONG Sector, ULONG SpanBytes, LONGLONG Start, LONGLONG End) {
  LONGLONG BlockStart = (LONGLONG)Sector << VHD_SECTOR_SHIFT;
  return BlockStart < End && BlockStart + SpanBytes > Start;
}

// A block copied out of the table's way: its entry and the copy's sector.
struct MOVED_BLOCK {
  ULONG Index;
  ULONG Sector;
};

// Step 2: copies every block lying in [AreaStart, AreaEnd) to the end of the
// file, then points the entries at the copies. The entries are written only
// after the copies are on the disk, and the area is written over only after
// the entries are, so no entry ever names a place that does not hold its
// block. Finding the blocks reads the in-memory table once; the rest costs
// what the area holds.
NTSTATUS RelocateBlocks(PIMAGE_CONTEXT Context, LONGLONG AreaStart, LONGLONG AreaEnd) {
  ULONG Span = ContextBlockSpan(Context);
  // Blocks do not overlap: at most one starts in front of the area, and the
  // others start inside it a span apart.
  ULONG Room = (ULONG)((AreaEnd - AreaStart) / Span) + 2;
  POOL_BUFFER<MOVED_BLOCK> Moves;
  POOL_BUFFER<UCHAR> Buffer;
  ULONG Moved = 0;
  NTSTATUS Status = STATUS_SUCCESS;
  for (ALLOCATED_BLOCK Block : AllocatedBlocks(Context)) {
    if (!LiesInRange(Block.Sector, Span, AreaStart, AreaEnd)) {
      continue;
    }
    if (!Buffer) {
      Buffer.Reset(static_cast<PUCHAR>(AllocateUnfilledPool(Span)));
      Moves.Reset(static_cast<MOVED_BLOCK *>(AllocateUnfilledPool(Room * sizeof(MOVED_BLOCK))));
      if (!Buffer || !Moves) {
        return STATUS_INSUFFICIENT_RESOURCES;
      }
    }
    if (Moved == Room) {
      // Only an image whose blocks overlap, which the open refuses.
      Status = STATUS_FILE_CORRUPT_ERROR;
      break;
    }
    Status = ReadImageFileExact(Context->ImageHandle, Buffer.Get(), Span,
                                (LONGLONG)Block.Sector << VHD_SECTOR_SHIFT);
    if (NT_SUCCESS(Status)) {
      Moves.Get()[Moved].Index = Block.Index;
      Status = AppendBlockSpan(Context, Buffer.Get(), &Moves.Get()[Moved].Sector);
    }
    if (!NT_SUCCESS(Status)) {
      break;
    }
    ++Moved;
  }
  // Copies made before a failure are named by no entry: they cost space only.
  if (!NT_SUCCESS(Status) || Moved == 0) {
    return Status;
  }
  Status = FlushImageWrites(Context);
  for (ULONG Index = 0; Index < Moved && NT_SUCCESS(Status); ++Index) {
    Status = WriteBatEntry(Context, Moves.Get()[Index].Index, Moves.Get()[Index].Sector);
  }
  if (NT_SUCCESS(Status)) {
    Status = FlushImageWrites(Context);
  }
  return Status;
}

// Step 3: the entries from FirstEntry to the end of the table's last sector
// marked unallocated, then flushed.
NTSTATUS WriteNewEntries(PIMAGE_CONTEXT Context, ULONG FirstEntry, LONGLONG TableEnd) {
  LONGLONG Start = Context->BatOffset + (LONGLONG)FirstEntry * sizeof(ULONG);
  ULONG Length = (ULONG)(TableEnd - Start);
  POOL_BUFFER<UCHAR> Entries(static_cast<PUCHAR>(AllocateUnfilledPool(Length)));
  if (!Entries) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlFillMemory(Entries.Get(), Length, 0xFF);
  NTSTATUS Status = WriteImageFileExact(Context->ImageHandle, Entries.Get(), Length, Start);
  if (NT_SUCCESS(Status)) {
    Status = FlushImageWrites(Context);
  }
  return Status;
}

// The bytes of the last block behind the old size were never part of the
// disk and may hold anything another writer left there; the grown disk must
// read them as zeros. Unseen at the old size, they may be zeroed any time
// before the records name the new one.
NTSTATUS ZeroPartialBlockTail(PIMAGE_CONTEXT Context, LONGLONG NewSize) {
  ULONG TailStart = (ULONG)Context->DiskSize & (Context->BlockSize - 1);
  if (TailStart == 0 || NewSize <= Context->DiskSize) {
    return STATUS_SUCCESS;
  }
  ULONG Sector = LookupBlockSector(Context, (ULONG)(Context->DiskSize >> Context->BlockShift));
  if (Sector == VHD_BAT_UNALLOCATED) {
    return STATUS_SUCCESS;
  }
  NTSTATUS Status =
      ZeroImageFileRange(Context->ImageHandle, BlockDataOffset(Context, Sector, TailStart),
                         BlockDataOffset(Context, Sector, Context->BlockSize));
  if (NT_SUCCESS(Status)) {
    Status = FlushImageWrites(Context);
  }
  return Status;
}

// Step 4: the three records, each flushed before the next. On a failure the
// records written so far, the failed one included, get their old contents
// back, last first (best effort: the first failure is the one reported).
NTSTATUS WriteGrownRecords(PIMAGE_CONTEXT Context, const VHD_FOOTER *Footer,
                           const VHD_DYNAMIC_HEADER *Header) {
  LONGLONG HeaderOffset = (LONGLONG)LoadBe64(Context->Footer->DataOffset);
  struct {
    const VOID *New;
    const VOID *Old;
    ULONG Length;
    LONGLONG Offset;
  } Records[] = {
      {Footer, Context->Footer, sizeof(VHD_FOOTER),
       Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER)},
      {Footer, Context->Footer, sizeof(VHD_FOOTER), 0},
      {Header, &Context->DynamicHeader, sizeof(VHD_DYNAMIC_HEADER), HeaderOffset},
  };
  // A header that does not change is not written.
  ULONG Count = RtlCompareMemory(Header, &Context->DynamicHeader, sizeof(VHD_DYNAMIC_HEADER)) ==
                        sizeof(VHD_DYNAMIC_HEADER)
                    ? 2
                    : 3;
  for (ULONG Index = 0; Index < Count; ++Index) {
    NTSTATUS Status = WriteImageFileExact(Context->ImageHandle, Records[Index].New,
                                          Records[Index].Length, Records[Index].Offset);
    if (NT_SUCCESS(Status) && Index + 1 < Count) {
      Status = FlushImageWrites(Context);
    }
    if (NT_SUCCESS(Status)) {
      continue;
    }
    for (ULONG Undo = Index + 1; Undo-- > 0;) {
      WriteImageFileExact(Context->ImageHandle, Records[Undo].Old, Records[Undo].Length,
                          Records[Undo].Offset);
    }
    return Status;
  }
  return STATUS_SUCCESS;
}

// Whether [Start, End) holds the footer copy or the dynamic header, which a
// table growing in place would overwrite.
BOOLEAN CoversHeaderRecords(const IMAGE_CONTEXT *Context, LONGLONG Start, LONGLONG End) {
  LONGLONG HeaderOffset = (LONGLONG)LoadBe64(Context->Footer->DataOffset);
  BOOLEAN CoversCopy = Start < (LONGLONG)sizeof(VHD_FOOTER);
  BOOLEAN CoversHeader =
      Start < HeaderOffset + (LONGLONG)sizeof(VHD_DYNAMIC_HEADER) && HeaderOffset < End;
  return CoversCopy || CoversHeader;
}

}  // namespace

NTSTATUS GrowDynamicDisk(PIMAGE_CONTEXT Context, LONGLONG NewSize) {
  ULONG BlockSize = Context->BlockSize;
  if (NewSize > MaxFileOffset - (LONGLONG)(BlockSize - 1)) {
    return STATUS_INVALID_PARAMETER;
  }
  LONGLONG Size = (NewSize + (LONGLONG)(BlockSize - 1)) & ~(LONGLONG)(BlockSize - 1);
  ULONGLONG Entries = (ULONGLONG)Size >> Context->BlockShift;
  // No larger table than an open accepts: the grown image must open again.
  if (Entries > IMAGE_BAT_ENTRY_LIMIT) {
    return STATUS_NOT_SUPPORTED;
  }
  ULONG OldEntries = Context->BatEntries;
  ULONG NewEntries = (ULONG)Entries;
  LONGLONG OldTableEnd = TableAreaEnd(Context->BatOffset, OldEntries);
  LONGLONG NewTableEnd = TableAreaEnd(Context->BatOffset, NewEntries);
  // A table that the trailing footer cuts short has entries under the footer
  // that no write may uncover; allocation refuses such images too.
  if (Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER) < OldTableEnd) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  if (NewTableEnd > OldTableEnd && CoversHeaderRecords(Context, OldTableEnd, NewTableEnd)) {
    return STATUS_NOT_SUPPORTED;
  }

  POOL_BUFFER<VHD_FOOTER> Footer(MakeGrownFooter(Context, Size));
  POOL_BUFFER<VHD_DYNAMIC_HEADER> Header(
      static_cast<PVHD_DYNAMIC_HEADER>(AllocateUnfilledPool(sizeof(VHD_DYNAMIC_HEADER))));
  // A table with no room for the new entries is copied into a larger one
  // once everything is written; within its room the entries are added in
  // place.
  ULONG Capacity = Context->BatCapacity;
  POOL_BUFFER<ULONG> Bat;
  if (NewEntries > Capacity) {
    Capacity = TableCapacity(VHD_DISK_TYPE_DYNAMIC, NewEntries, BlockSize);
    Bat.Reset(static_cast<PULONG>(AllocateUnfilledPool((SIZE_T)Capacity * sizeof(ULONG))));
  }
  if (!Footer || !Header || (NewEntries > Context->BatCapacity && !Bat)) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Header.Get(), &Context->DynamicHeader, sizeof(VHD_DYNAMIC_HEADER));
  StoreBe32(Header->MaxTableEntries, NewEntries);
  UpdateDynamicHeaderChecksum(Header.Get());

  NTSTATUS Status = STATUS_SUCCESS;
  if (NewTableEnd > OldTableEnd) {
    // Step 1: when the file ends inside the grown table, the current footer
    // goes where the table will end, so that blocks moved out of the way
    // land behind the table.
    Status = ExtendFileToFooterAt(Context, NewTableEnd);
    if (NT_SUCCESS(Status)) {
      Status = RelocateBlocks(Context, OldTableEnd, NewTableEnd);
    }
  }
  if (NT_SUCCESS(Status) && NewEntries > OldEntries) {
    Status = WriteNewEntries(Context, OldEntries, NewTableEnd);
  }
  if (NT_SUCCESS(Status)) {
    Status = ZeroPartialBlockTail(Context, Size);
  }
  if (NT_SUCCESS(Status)) {
    Status = WriteGrownRecords(Context, Footer.Get(), Header.Get());
  }
  if (!NT_SUCCESS(Status)) {
    // Most often a full disk. What the growth appended and no entry names
    // (the footer moved out to the grown table's end, copies of blocks not
    // yet named) is cut away again: the image stays as compact as it was.
    WriteTrailingFooter(Context);
    return Status;
  }

  if (Bat) {
    RtlCopyMemory(Bat.Get(), Context->Bat, (SIZE_T)OldEntries * sizeof(ULONG));
    FreePool(Context->Bat);
    Context->Bat = Bat.Detach();
    Context->BatCapacity = Capacity;
  }
  if (NewEntries > OldEntries) {
    RtlFillMemory(Context->Bat + OldEntries, (SIZE_T)(NewEntries - OldEntries) * sizeof(ULONG),
                  0xFF);
    Context->BatEntries = NewEntries;
  }
  RtlCopyMemory(Context->Footer, Footer.Get(), sizeof(VHD_FOOTER));
  RtlCopyMemory(&Context->DynamicHeader, Header.Get(), sizeof(VHD_DYNAMIC_HEADER));
  Context->DiskSize = Size;
  return STATUS_SUCCESS;
}

NTSTATUS SetDiskSize(PIMAGE_CONTEXT Context, FILE_INFORMATION_CLASS InformationClass, ULONG Length,
                     const VOID *Buffer) {
  if (InformationClass != FileAllocationInformation &&
      InformationClass != FileEndOfFileInformation) {
    return STATUS_NOT_IMPLEMENTED;
  }
  if (Length < sizeof(LONGLONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  LONGLONG NewSize;
  RtlCopyMemory(&NewSize, Buffer, sizeof(NewSize));
  if (NewSize == Context->DiskSize) {
    return STATUS_SUCCESS;
  }
  if (NewSize < Context->DiskSize) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Context->DiskType != VHD_DISK_TYPE_FIXED && Context->DiskType != VHD_DISK_TYPE_DYNAMIC) {
    return STATUS_NOT_SUPPORTED;
  }
  // Other readers refuse a disk larger than the format's; none is made. A
  // dynamic disk rounded up to whole blocks stays within it, since 2040 GiB
  // is a whole number of blocks of every size.
  if ((ULONGLONG)NewSize > VHD_MAX_DISK_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  return Context->DiskType == VHD_DISK_TYPE_FIXED ? GrowFixedDisk(Context, NewSize)
                                                  : GrowDynamicDisk(Context, NewSize);
}
