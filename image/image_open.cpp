// Opening an image file: the adapted create, the footer's validation, the
// record of the image's disk type, its reopening for writing, and its release.
#include "image/bitmap_cache.h"
#include "image/image.h"

namespace {

const ACCESS_MASK WriteDataAccess = GENERIC_WRITE | FILE_WRITE_DATA;
const ULONG DroppedCreateOptions = FILE_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY |
                                   FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_ALERT;
const ULONG AddedCreateOptions =
    FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS;
const LONGLONG MinimumImageLength = 3 * VHD_SECTOR_SIZE;

ACCESS_MASK AdaptDesiredAccess(ACCESS_MASK DesiredAccess) {
  ACCESS_MASK Access = DesiredAccess | GENERIC_READ | SYNCHRONIZE;
  // A writer may have to delete an emptied image when it closes.
  if ((DesiredAccess & WriteDataAccess) != 0) {
    Access |= DELETE;
  }
  return Access;
}

// Reads and validates the trailing footer into Footer.
NTSTATUS ReadTrailingFooter(HANDLE Handle, LONGLONG FileLength, POOL_BUFFER<VHD_FOOTER> *Footer) {
  Footer->Reset(static_cast<PVHD_FOOTER>(AllocateZeroedPool(sizeof(VHD_FOOTER))));
  if (!*Footer) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ReadImageFileAtOpen(Handle, Footer->Get(), sizeof(VHD_FOOTER),
                                        FileLength - (LONGLONG)sizeof(VHD_FOOTER), &IoStatus);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (!IsFooterIntact(Footer->Get())) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  return STATUS_SUCCESS;
}

BOOLEAN IsKnownDiskType(ULONG DiskType) {
  return DiskType == VHD_DISK_TYPE_FIXED || DiskType == VHD_DISK_TYPE_DYNAMIC ||
         DiskType == VHD_DISK_TYPE_DIFFERENCING;
}

NTSTATUS CopyImagePath(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  if (Source->Length == 0) {
    return STATUS_SUCCESS;
  }
  PWSTR Buffer = static_cast<PWSTR>(AllocateUnfilledPool(Source->Length));
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Buffer, Source->Buffer, Source->Length);
  Destination->Buffer = Buffer;
  Destination->Length = Source->Length;
  Destination->MaximumLength = Source->Length;
  return STATUS_SUCCESS;
}

// A fixed image's virtual disk must lie wholly before its footer: otherwise
// writes near the end of the disk would land on the footer.
NTSTATUS CheckFixedImageExtent(PIMAGE_CONTEXT Context) {
  if (Context->DiskSize > Context->FileEnd - (LONGLONG)sizeof(VHD_FOOTER)) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  return STATUS_SUCCESS;
}

// The reference to the file object of the record's handle, kept in the record.
NTSTATUS ReferenceImageFileObject(PIMAGE_CONTEXT Context, ACCESS_MASK Access) {
  PFILE_OBJECT FileObject = NULL;
  OBJECT_HANDLE_INFORMATION HandleInformation;
  NTSTATUS Status = ObReferenceObjectByHandle(Context->ImageHandle, Access, *IoFileObjectType,
                                              KernelMode, (PVOID *)&FileObject, &HandleInformation);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->ImageFileObject = FileObject;
  // The file object's write flag is also set by FILE_APPEND_DATA alone; only
  // a handle granted FILE_WRITE_DATA may overwrite the image's bytes.
  Context->WriteDataGranted = (HandleInformation.GrantedAccess & FILE_WRITE_DATA) != 0;
  return STATUS_SUCCESS;
}

// The record's file object given back and its handle closed.
VOID CloseImageFile(PIMAGE_CONTEXT Context) {
  if (Context->ImageFileObject != NULL) {
    ObfDereferenceObject(Context->ImageFileObject);
    Context->ImageFileObject = NULL;
  }
  if (Context->ImageHandle != NULL) {
    ZwClose(Context->ImageHandle);
    Context->ImageHandle = NULL;
  }
}

// Fills in a record that already owns the image's handle and footer: the
// path, the sizes, the disk type's own part (for a differencing image its
// header; OpenParentChain opens its parent), and the reference to the file
// object. Whatever it takes over the record releases.
NTSTATUS InitializeImageContext(PIMAGE_CONTEXT Context, PCUNICODE_STRING ImagePath,
                                ACCESS_MASK Access, LONGLONG FileLength,
                                const IMAGE_CHAIN_OPEN *Chain) {
  KeInitializeSpinLock(&Context->GateLock);
  Context->SharedCount = 0;
  Context->ExclusiveCount = 0;

  NTSTATUS Status = CopyImagePath(&Context->ImagePath, ImagePath);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->FileEnd = FileLength;
  Context->DiskType = LoadBe32(Context->Footer->DiskType);
  ULONGLONG CurrentSize = LoadBe64(Context->Footer->CurrentSize);
  // A size beyond the signed 64-bit range has no place in any file.
  if (CurrentSize > (ULONGLONG)0x7FFFFFFFFFFFFFFFll) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  Context->DiskSize = (LONGLONG)CurrentSize;
  Context->ChainPool = Chain->ChildPool;

  switch (Context->DiskType) {
    case VHD_DISK_TYPE_FIXED:
      Status = CheckFixedImageExtent(Context);
      break;
    case VHD_DISK_TYPE_DYNAMIC:
      Status = LoadDynamicHeader(Context);
      break;
    default:
      Status = LoadDynamicHeader(Context);
      // Its parent would lie deeper than the chain may go.
      if (NT_SUCCESS(Status) && Chain->Depth + 1 >= IMAGE_CHAIN_DEPTH_LIMIT) {
        Status = STATUS_TOO_MANY_LINKS;
      }
      break;
  }
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  return ReferenceImageFileObject(Context, Access);
}

}  // namespace

NTSTATUS OpenImageFile(PIMAGE_CONTEXT *ContextOut, PCUNICODE_STRING ImagePath,
                       USHORT FileAttributes, ULONG CreateDisposition, ULONG CreateOptions,
                       ACCESS_MASK DesiredAccess, USHORT ShareAccess,
                       PIO_STATUS_BLOCK IoStatus) {
  *ContextOut = NULL;
  IMAGE_CHAIN_OPEN Chain = {0, 0};
  PIMAGE_CONTEXT Opened = NULL;
  NTSTATUS Status = OpenImageRecord(&Opened, ImagePath, FileAttributes, CreateDisposition,
                                    CreateOptions, DesiredAccess, ShareAccess, IoStatus, &Chain);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  IMAGE_CONTEXT_OWNER Context(Opened);
  if (Context->DiskType == VHD_DISK_TYPE_DIFFERENCING) {
    Status = OpenParentChain(Context.Get());
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
  }
  *ContextOut = Context.Detach();
  return STATUS_SUCCESS;
}

NTSTATUS OpenImageRecord(PIMAGE_CONTEXT *ContextOut, PCUNICODE_STRING ImagePath,
                         USHORT FileAttributes, ULONG CreateDisposition, ULONG CreateOptions,
                         ACCESS_MASK DesiredAccess, USHORT ShareAccess, PIO_STATUS_BLOCK IoStatus,
                         const IMAGE_CHAIN_OPEN *Chain) {
  *ContextOut = NULL;
  NTSTATUS Status = CheckImageOpenAllowed(ImagePath);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  ACCESS_MASK Access = AdaptDesiredAccess(DesiredAccess);
  ULONG Share = ShareAccess & 0xFFFD;
  ULONG Options = (CreateOptions & ~DroppedCreateOptions) | AddedCreateOptions;

  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, const_cast<PUNICODE_STRING>(ImagePath),
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK,
                             NULL, NULL);
  HANDLE CreatedHandle = NULL;
  Status = ZwCreateFile(&CreatedHandle, Access, &Attributes, IoStatus, NULL,
                                 FileAttributes, Share, CreateDisposition, Options, NULL, 0);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  HANDLE_OWNER Handle(CreatedHandle);

  LONGLONG FileLength = 0;
  Status = QueryImageFileLength(Handle.Get(), &FileLength);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (FileLength < MinimumImageLength) {
    return STATUS_BAD_FILE_TYPE;
  }
  POOL_BUFFER<VHD_FOOTER> Footer;
  Status = ReadTrailingFooter(Handle.Get(), FileLength, &Footer);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  ULONG DiskType = LoadBe32(Footer->DiskType);
  if (!IsKnownDiskType(DiskType)) {
    return STATUS_BAD_FILE_TYPE;
  }
  IMAGE_CONTEXT_OWNER Context(
      static_cast<PIMAGE_CONTEXT>(AllocateZeroedPool(sizeof(IMAGE_CONTEXT))));
  if (!Context) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The record owns the handle and the footer from here on.
  Context->ImageHandle = Handle.Detach();
  Context->Footer = Footer.Detach();

  Status = InitializeImageContext(Context.Get(), ImagePath, Access, FileLength, Chain);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  *ContextOut = Context.Detach();
  return STATUS_SUCCESS;
}

NTSTATUS ReopenImageForWrite(PIMAGE_CONTEXT Context) {
  CloseImageFile(Context);

  OBJECT_ATTRIBUTES Attributes;
  IO_STATUS_BLOCK IoStatus;
  InitializeObjectAttributes(&Attributes, &Context->ImagePath,
                             OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK, NULL, NULL);
  HANDLE Handle = NULL;
  NTSTATUS Status = ZwOpenFile(&Handle, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE,
                               &Attributes, &IoStatus, 0,
                               FILE_RANDOM_ACCESS | FILE_NON_DIRECTORY_FILE |
                                   FILE_SYNCHRONOUS_IO_NONALERT);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("Image reopen result: %#x.\n", (unsigned)Status);
    return Status;
  }
  Context->ImageHandle = Handle;

  Status = ReferenceImageFileObject(Context, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE);
  if (!NT_SUCCESS(Status)) {
    DbgPrint("Image file object reference result: %#x.\n", (unsigned)Status);
    return Status;
  }
  return STATUS_SUCCESS;
}

namespace {

// What one record owns besides its parent.
VOID ReleaseRecordParts(PIMAGE_CONTEXT Context) {
  CloseImageFile(Context);
  FreeCountedString(&Context->ImagePath);
  FreeCountedString(&Context->ParentPath);
  FreePool(Context->Footer);
  Context->Footer = NULL;
  FreePool(Context->Bat);
  Context->Bat = NULL;
  ReleaseBitmapCache(Context);
}

}  // namespace

VOID CloseImageContext(PIMAGE_CONTEXT Context) {
  if (Context == NULL) {
    return;
  }
  // The farthest parent is released first, one record after the other.
  while (Context->Parent != NULL) {
    PIMAGE_CONTEXT Child = Context;
    while (Child->Parent->Parent != NULL) {
      Child = Child->Parent;
    }
    ReleaseRecordParts(Child->Parent);
    FreePool(Child->Parent);
    Child->Parent = NULL;
  }
  ReleaseRecordParts(Context);
}

VOID ReleaseImageContext(PIMAGE_CONTEXT Context) {
  CloseImageContext(Context);
  FreePool(Context);
}
