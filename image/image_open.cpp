// Opening an image file: the adapted create, the footer's validation, the
// record of the image's disk type, and its release.
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

// Reads and validates the trailing footer into a new buffer.
NTSTATUS ReadTrailingFooter(HANDLE Handle, LONGLONG FileLength, PVHD_FOOTER *FooterOut) {
  POOL_BUFFER<VHD_FOOTER> Footer(static_cast<PVHD_FOOTER>(AllocateZeroedPool(sizeof(VHD_FOOTER))));
  if (!Footer) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STATUS_BLOCK IoStatus;
  NTSTATUS Status = ReadImageFileAtOpen(Handle, Footer.Get(), sizeof(VHD_FOOTER),
                                        FileLength - (LONGLONG)sizeof(VHD_FOOTER), &IoStatus);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  if (!IsFooterIntact(Footer.Get())) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  *FooterOut = Footer.Detach();
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

VOID FreeUnicodeString(PUNICODE_STRING String) {
  FreePool(String->Buffer);
  String->Buffer = NULL;
  String->Length = 0;
  String->MaximumLength = 0;
}

}  // namespace

ULONG ImageContextSize(ULONG DiskType) {
  switch (DiskType) {
    case VHD_DISK_TYPE_FIXED:
      return offsetof(IMAGE_CONTEXT, DiskType) + sizeof(ULONG);
    case VHD_DISK_TYPE_DYNAMIC:
      return offsetof(IMAGE_CONTEXT, DynamicHeader) + sizeof(VHD_DYNAMIC_HEADER);
    default:
      return sizeof(IMAGE_CONTEXT);
  }
}

NTSTATUS OpenImageFile(PIMAGE_CONTEXT *ContextOut, PCUNICODE_STRING ImagePath,
                       USHORT FileAttributes, ULONG CreateDisposition, ULONG CreateOptions,
                       ACCESS_MASK DesiredAccess, USHORT ShareAccess,
                       PIO_STATUS_BLOCK IoStatus) {
  return OpenImageFileInChain(ContextOut, ImagePath, FileAttributes, CreateDisposition,
                              CreateOptions, DesiredAccess, ShareAccess, IoStatus, 0);
}

NTSTATUS OpenImageFileInChain(PIMAGE_CONTEXT *ContextOut, PCUNICODE_STRING ImagePath,
                              USHORT FileAttributes, ULONG CreateDisposition,
                              ULONG CreateOptions, ACCESS_MASK DesiredAccess,
                              USHORT ShareAccess, PIO_STATUS_BLOCK IoStatus,
                              ULONG ChainDepth) {
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
  HANDLE Handle = NULL;
  Status = ZwCreateFile(&Handle, Access, &Attributes, IoStatus, NULL, FileAttributes,
                                 Share, CreateDisposition, Options, NULL, 0);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  LONGLONG FileLength = 0;
  PVHD_FOOTER Footer = NULL;
  Status = QueryImageFileLength(Handle, &FileLength);
  if (NT_SUCCESS(Status) && FileLength < MinimumImageLength) {
    Status = STATUS_BAD_FILE_TYPE;
  }
  if (NT_SUCCESS(Status)) {
    Status = ReadTrailingFooter(Handle, FileLength, &Footer);
  }
  ULONG DiskType = Footer != NULL ? LoadBe32(Footer->DiskType) : 0;
  if (NT_SUCCESS(Status) && !IsKnownDiskType(DiskType)) {
    Status = STATUS_BAD_FILE_TYPE;
  }
  PIMAGE_CONTEXT Context = NULL;
  if (NT_SUCCESS(Status)) {
    Context = static_cast<PIMAGE_CONTEXT>(AllocateZeroedPool(ImageContextSize(DiskType)));
    if (Context == NULL) {
      Status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (!NT_SUCCESS(Status)) {
    FreePool(Footer);
    ZwClose(Handle);
    return Status;
  }

  Status = InitializeImageContext(Context, ImagePath, Handle, Access, Footer, &FileLength,
                                  ChainDepth);
  if (!NT_SUCCESS(Status)) {
    // Whatever the record took over it releases; the rest is released here.
    BOOLEAN HandleTaken = Context->ImageHandle != NULL;
    BOOLEAN FooterTaken = Context->Footer != NULL;
    CloseImageContext(Context);
    FreePool(Context);
    if (!HandleTaken) {
      ZwClose(Handle);
    }
    if (!FooterTaken) {
      FreePool(Footer);
    }
    return Status;
  }
  *ContextOut = Context;
  return Status;
}

NTSTATUS InitializeImageContext(PIMAGE_CONTEXT Context, PCUNICODE_STRING ImagePath,
                                HANDLE ImageHandle, ACCESS_MASK Access, PVHD_FOOTER Footer,
                                const LONGLONG *FileLength, ULONG ChainDepth) {
  KeInitializeSpinLock(&Context->GateLock);
  Context->SharedCount = 0;
  Context->ExclusiveCount = 0;

  NTSTATUS Status = CopyImagePath(&Context->ImagePath, ImagePath);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Context->Footer = Footer;
  Context->ImageHandle = ImageHandle;
  Context->FileEnd = *FileLength;
  Context->DiskType = LoadBe32(Footer->DiskType);
  ULONGLONG CurrentSize = LoadBe64(Footer->CurrentSize);
  // A size beyond the signed 64-bit range has no place in any file.
  if (CurrentSize > (ULONGLONG)0x7FFFFFFFFFFFFFFFll) {
    return STATUS_FILE_CORRUPT_ERROR;
  }
  Context->DiskSize = (LONGLONG)CurrentSize;

  switch (Context->DiskType) {
    case VHD_DISK_TYPE_FIXED:
      Status = CheckFixedImageExtent(Context);
      break;
    case VHD_DISK_TYPE_DYNAMIC:
      Status = LoadDynamicHeader(Context);
      break;
    default:
      Status = OpenParentImage(Context, ChainDepth);
      break;
  }
  if (!NT_SUCCESS(Status)) {
    return Status;
  }

  OBJECT_HANDLE_INFORMATION HandleInformation;
  Status = ObReferenceObjectByHandle(ImageHandle, Access, *IoFileObjectType, KernelMode,
                                     (PVOID *)&Context->ImageFileObject, &HandleInformation);
  if (!NT_SUCCESS(Status)) {
    Context->ImageFileObject = NULL;
    return Status;
  }
  Context->WriteDataGranted = (HandleInformation.GrantedAccess & FILE_WRITE_DATA) != 0;
  return Status;
}

VOID CloseImageContext(PIMAGE_CONTEXT Context) {
  if (Context == NULL) {
    return;
  }
  // The farthest parent is released first.
  if (Context->Parent != NULL) {
    CloseImageContext(Context->Parent);
    FreePool(Context->Parent);
    Context->Parent = NULL;
  }
  if (Context->ImageFileObject != NULL) {
    ObfDereferenceObject(Context->ImageFileObject);
    Context->ImageFileObject = NULL;
  }
  if (Context->ImageHandle != NULL) {
    ZwClose(Context->ImageHandle);
    Context->ImageHandle = NULL;
  }
  FreeUnicodeString(&Context->ImagePath);
  FreeUnicodeString(&Context->ParentPath);
  FreePool(Context->Footer);
  Context->Footer = NULL;
  FreePool(Context->Bat);
  Context->Bat = NULL;
}
