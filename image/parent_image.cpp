// The parent chain of a differencing image: the walk over the parent
// locators of each image's header, the open of the parent they lead to, and
// the check that the parent is the image the child was made from.
//
// The chain opens one image after the other, never one open nested inside
// another: a level of the walk per image still looking for its parent, kept
// in pool, so the kernel stack an open takes is the same however deep the
// chain. A parent whose own chain fails to open is closed again, and its
// child goes on to its next locator.
#include "image/bitmap_cache.h"
#include "image/image.h"

namespace {

// One image of the chain still looking for its parent, with the kernel
// paths of the parents it tried and could not open. An image usually names
// its parent twice (an absolute and a relative locator) and both lead to one
// path; opening it a second time would repeat the failure of its whole chain
// at every level, so that the opens of a chain whose base is missing grew
// exponentially with its depth.
typedef struct _CHAIN_LEVEL {
  PIMAGE_CONTEXT Image;  // owned, except at level 0 (the caller's)
  LONG NextLocator;      // locators are tried from the last entry down
  NTSTATUS LastOpenStatus;
  UNICODE_STRING TriedPaths[VHD_PARENT_LOCATOR_COUNT];
  ULONG TriedCount;
} CHAIN_LEVEL, *PCHAIN_LEVEL;

typedef struct _CHAIN_WALK {
  CHAIN_LEVEL Levels[IMAGE_CHAIN_DEPTH_LIMIT];
  ULONG Count;        // levels in use; the last one is looking for its parent
  ULONG ParentOpens;  // parent opens tried for the whole chain
} CHAIN_WALK, *PCHAIN_WALK;

VOID StartLevel(PCHAIN_LEVEL Level, PIMAGE_CONTEXT Image) {
  Level->Image = Image;
  Level->NextLocator = VHD_PARENT_LOCATOR_COUNT;
  // What a differencing image without any usable locator fails with: its
  // parent, which holds every sector it does not, cannot be found.
  Level->LastOpenStatus = STATUS_OBJECT_NAME_NOT_FOUND;
  Level->TriedCount = 0;
}

// The level's tried paths freed; its image too unless it is the caller's.
VOID EndLevel(PCHAIN_WALK Walk, ULONG Index) {
  PCHAIN_LEVEL Level = &Walk->Levels[Index];
  for (ULONG Tried = 0; Tried < Level->TriedCount; ++Tried) {
    FreeCountedString(&Level->TriedPaths[Tried]);
  }
  Level->TriedCount = 0;
  if (Index > 0 && Level->Image != NULL) {
    ReleaseImageContext(Level->Image);
  }
  Level->Image = NULL;
}

VOID ReleaseChainWalk(PCHAIN_WALK Walk) {
  while (Walk->Count > 0) {
    EndLevel(Walk, --Walk->Count);
  }
  FreePool(Walk);
}

typedef RESOURCE_OWNER<PCHAIN_WALK, ReleaseChainWalk> CHAIN_WALK_OWNER;

// Compared exactly: paths that differ in letter case may name different
// files on a file system that tells case apart.
BOOLEAN WasTried(const CHAIN_LEVEL *Level, PCUNICODE_STRING Path) {
  for (ULONG Index = 0; Index < Level->TriedCount; ++Index) {
    if (RtlCompareUnicodeString(&Level->TriedPaths[Index], Path, FALSE) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

// The parent the image's ParentPath named failed with Status: the path is
// remembered and the walk goes on to the next locator (STATUS_SUCCESS), or
// the image fails too. Too deep a chain stays too deep whichever locator
// leads into it, and a chain out of parent opens stays so.
NTSTATUS ParentFailed(PCHAIN_LEVEL Level, NTSTATUS Status) {
  if (Status == STATUS_TOO_MANY_LINKS) {
    return Status;
  }
  Level->LastOpenStatus = Status;
  PIMAGE_CONTEXT Image = Level->Image;
  Level->TriedPaths[Level->TriedCount++] = Image->ParentPath;
  Image->ParentPath.Buffer = NULL;
  Image->ParentPath.Length = 0;
  Image->ParentPath.MaximumLength = 0;
  return STATUS_SUCCESS;
}

// Reads a locator's data, the parent's path as UTF-16 text, into the
// context's ParentPath, once the open's rules passed it (JudgeLocatorData).
NTSTATUS ReadLocatorPath(PIMAGE_CONTEXT Context, const VHD_PARENT_LOCATOR *Locator) {
  NTSTATUS Status = ImageFaultStatus(JudgeLocatorData(Locator, Context->FileEnd));
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  ULONG DataLength = LoadBe32(Locator->PlatformDataLength);
  PWSTR Buffer = static_cast<PWSTR>(AllocateUnfilledPool(DataLength));
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Context->ParentPath.Buffer = Buffer;
  Context->ParentPath.MaximumLength = (USHORT)DataLength;
  IO_STATUS_BLOCK IoStatus;
  Status = ReadImageFileAtOpen(Context->ImageHandle, Buffer, DataLength,
                               (LONGLONG)LoadBe64(Locator->PlatformDataOffset), &IoStatus);
  if (Status == STATUS_END_OF_FILE) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (IoStatus.Information != DataLength) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  // A path is whole UTF-16 units; an odd last byte is no part of it.
  Context->ParentPath.Length = (USHORT)(DataLength & ~1u);
  return STATUS_SUCCESS;
}

// The next parent the level's locators lead to, its record opened (not its
// own parent). A damaged locator fails the image; a parent that does not
// open moves the walk on to the next entry; with no entry left the image
// fails with what the last parent tried failed with. The parent is opened
// for reading only and shared for reading and deletion, never for writing:
// nobody may change it under its children.
NTSTATUS OpenNextParent(PCHAIN_WALK Walk, PCHAIN_LEVEL Level, PIMAGE_CONTEXT *ParentOut) {
  PIMAGE_CONTEXT Image = Level->Image;
  while (Level->NextLocator > 0) {
    const VHD_PARENT_LOCATOR *Locator = &Image->DynamicHeader.ParentLocators[--Level->NextLocator];
    if (!IsUsableLocatorCode(Locator)) {
      continue;
    }
    FreeCountedString(&Image->ParentPath);
    NTSTATUS Status = ReadLocatorPath(Image, Locator);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Status = ResolveParentPath(&Image->ParentPath, &Image->ImagePath);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    if (WasTried(Level, &Image->ParentPath)) {
      continue;
    }
    if (++Walk->ParentOpens > IMAGE_PARENT_OPEN_LIMIT) {
      return STATUS_TOO_MANY_LINKS;
    }
    IMAGE_CHAIN_OPEN ParentChain = {Walk->Count, Image->ChainPool};
    IO_STATUS_BLOCK IoStatus;
    Status = OpenImageRecord(ParentOut, &Image->ParentPath, FILE_ATTRIBUTE_NORMAL, FILE_OPEN, 0, 0,
                             FILE_SHARE_READ | FILE_SHARE_DELETE, &IoStatus, &ParentChain);
    if (NT_SUCCESS(Status)) {
      return Status;
    }
    Status = ParentFailed(Level, Status);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  return Level->LastOpenStatus;
}

// The 8 bytes at Offset as a little-endian number.
ULONGLONG LoadLe64(const UCHAR *Bytes, ULONG Offset) {
  ULONGLONG Value = 0;
  for (ULONG Index = 8; Index > 0; --Index) {
    Value = (Value << 8) | Bytes[Offset + Index - 1];
  }
  return Value;
}

NTSTATUS CheckParentIdentity(PIMAGE_CONTEXT Context) {
  if (JudgeParentIdentity(&Context->DynamicHeader, Context->Parent->Footer) == ImageSound) {
    return STATUS_SUCCESS;
  }
  const UCHAR *Stored = Context->DynamicHeader.ParentUniqueId;
  const UCHAR *Actual = Context->Parent->Footer->UniqueId;
  DbgPrint(
      "Stored vhd header parent GUID does not match actual parent GUID. child: "
      "%.16I64x%.16I64x parent: %.16I64x%.16I64x.\n",
      LoadLe64(Stored, 0), LoadLe64(Stored, 8), LoadLe64(Actual, 0), LoadLe64(Actual, 8));
  return ImageFaultStatus(ImageParentMismatch);
}

// A differencing image whose parent chain is open: the parent checked, the
// read caches made.
NTSTATUS FinishDifferencingImage(PIMAGE_CONTEXT Context) {
  NTSTATUS Status = CheckParentIdentity(Context);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return CreateBitmapCache(Context);
}

}  // namespace

NTSTATUS OpenParentChain(PIMAGE_CONTEXT Context) {
  CHAIN_WALK_OWNER Walk(static_cast<PCHAIN_WALK>(AllocateZeroedPool(sizeof(CHAIN_WALK))));
  if (!Walk) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  StartLevel(&Walk->Levels[Walk->Count++], Context);
  for (;;) {
    PCHAIN_LEVEL Level = &Walk->Levels[Walk->Count - 1];
    NTSTATUS Status;
    if (Level->Image->Parent == NULL) {
      PIMAGE_CONTEXT Parent = NULL;
      Status = OpenNextParent(Walk.Get(), Level, &Parent);
      if (NT_SUCCESS(Status)) {
        // A differencing parent looks for its own parent next; the records
        // refuse one too deep for the levels kept.
        if (Parent->DiskType == VHD_DISK_TYPE_DIFFERENCING) {
          StartLevel(&Walk->Levels[Walk->Count++], Parent);
        } else {
          Level->Image->Parent = Parent;
        }
        continue;
      }
    } else {
      Status = FinishDifferencingImage(Level->Image);
      if (NT_SUCCESS(Status)) {
        if (Walk->Count == 1) {
          return STATUS_SUCCESS;
        }
        PIMAGE_CONTEXT Opened = Level->Image;
        Level->Image = NULL;
        EndLevel(Walk.Get(), --Walk->Count);
        Walk->Levels[Walk->Count - 1].Image->Parent = Opened;
        continue;
      }
    }
    // The image failed: its child goes on to its next locator, or fails too.
    while (!NT_SUCCESS(Status)) {
      if (Walk->Count == 1) {
        return Status;
      }
      EndLevel(Walk.Get(), --Walk->Count);
      Status = ParentFailed(&Walk->Levels[Walk->Count - 1], Status);
    }
  }
}
