// The parent chain of a differencing image: the walk over the parent
// locators of its header, the nested open of the parent they lead to, and
// the check that the parent is the image the child was made from.
#include "image/image.h"

namespace {

// Kernel paths of the parents this walk tried and could not open. An image
// usually names its parent twice (an absolute and a relative locator) and
// both lead to one path; opening it a second time would repeat the failure
// of its whole chain at every level, so that the opens of a chain whose base
// is missing grew exponentially with its depth.
typedef struct _PARENT_WALK {
  UNICODE_STRING TriedPaths[VHD_PARENT_LOCATOR_COUNT];
  ULONG TriedCount;
} PARENT_WALK, *PPARENT_WALK;

// Compared exactly: paths that differ in letter case may name different
// files on a file system that tells case apart.
BOOLEAN WasTried(const PARENT_WALK *Walk, PCUNICODE_STRING Path) {
  for (ULONG Index = 0; Index < Walk->TriedCount; ++Index) {
    if (RtlCompareUnicodeString(&Walk->TriedPaths[Index], Path, FALSE) == 0) {
      return TRUE;
    }
  }
  return FALSE;
}

// Takes over the context's ParentPath.
VOID RememberTriedPath(PPARENT_WALK Walk, PIMAGE_CONTEXT Context) {
  Walk->TriedPaths[Walk->TriedCount++] = Context->ParentPath;
  Context->ParentPath.Buffer = NULL;
  Context->ParentPath.Length = 0;
  Context->ParentPath.MaximumLength = 0;
}

// The walk's tried paths freed, then the walk itself.
VOID ReleaseParentWalk(PPARENT_WALK Walk) {
  for (ULONG Index = 0; Index < Walk->TriedCount; ++Index) {
    FreeCountedString(&Walk->TriedPaths[Index]);
  }
  FreePool(Walk);
}

typedef RESOURCE_OWNER<PPARENT_WALK, ReleaseParentWalk> PARENT_WALK_OWNER;

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

// The parent is opened for reading only and shared for reading and
// deletion, never for writing: nobody may change it under its children.
NTSTATUS OpenParentByPath(PIMAGE_CONTEXT Context, const IMAGE_CHAIN_OPEN *Chain) {
  if (++*Chain->ParentOpens > IMAGE_PARENT_OPEN_LIMIT) {
    return STATUS_TOO_MANY_LINKS;
  }
  IMAGE_CHAIN_OPEN ParentChain = {Chain->Depth + 1, Context->ChainPool, Chain->ParentOpens};
  IO_STATUS_BLOCK IoStatus;
  return OpenImageFileInChain(&Context->Parent, &Context->ParentPath, FILE_ATTRIBUTE_NORMAL,
                              FILE_OPEN, 0, 0, FILE_SHARE_READ | FILE_SHARE_DELETE, &IoStatus,
                              &ParentChain);
}

// Walks the locators from the last entry to the first. A damaged locator
// ends the walk; a parent that does not open, or fails its own validation,
// moves it on to the next entry.
NTSTATUS WalkParentLocators(PIMAGE_CONTEXT Context, const IMAGE_CHAIN_OPEN *Chain,
                            PPARENT_WALK Walk) {
  // What a differencing image without any usable locator fails with: its
  // parent, which holds every sector it does not, cannot be found.
  NTSTATUS LastOpenStatus = STATUS_OBJECT_NAME_NOT_FOUND;
  for (LONG Index = VHD_PARENT_LOCATOR_COUNT - 1; Index >= 0; --Index) {
    const VHD_PARENT_LOCATOR *Locator = &Context->DynamicHeader.ParentLocators[Index];
    if (!IsUsableLocatorCode(Locator)) {
      continue;
    }
    FreeCountedString(&Context->ParentPath);
    NTSTATUS Status = ReadLocatorPath(Context, Locator);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    Status = ResolveParentPath(&Context->ParentPath, &Context->ImagePath);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    if (WasTried(Walk, &Context->ParentPath)) {
      continue;
    }
    Status = OpenParentByPath(Context, Chain);
    if (NT_SUCCESS(Status)) {
      return Status;
    }
    // Too deep a chain stays too deep whichever locator leads into it, and
    // a chain out of parent opens stays so.
    if (Status == STATUS_TOO_MANY_LINKS) {
      return Status;
    }
    LastOpenStatus = Status;
    RememberTriedPath(Walk, Context);
  }
  return LastOpenStatus;
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

}  // namespace

NTSTATUS OpenParentImage(PIMAGE_CONTEXT Context, const IMAGE_CHAIN_OPEN *Chain) {
  // Each parent is opened by a nested open; the bound keeps the nesting off
  // the end of the stack and ends a chain that loops back into itself.
  if (Chain->Depth + 1 >= IMAGE_CHAIN_DEPTH_LIMIT) {
    return STATUS_TOO_MANY_LINKS;
  }
  PARENT_WALK_OWNER Walk(static_cast<PPARENT_WALK>(AllocateZeroedPool(sizeof(PARENT_WALK))));
  if (!Walk) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS Status = WalkParentLocators(Context, Chain, Walk.Get());
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // A parent that opened but is another image is not retried through other
  // locators: the child's data was written over a different disk.
  return CheckParentIdentity(Context);
}
