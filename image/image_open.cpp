// Opening an image file: the adapted create, the footer's validation, the
// record of the image's disk type, its reopening for writing, and its release.
#include "image/bitmap_cache.h"
#include "image/image.h"

namespace {

const ACCESS_MASK WriteDataAccess = GENERIC_WRITE | FILE_WRITE_DATA;
// Image files are opened for asynchronous I/O whatever the client asked
// (the file primitives wait for each call themselves): the requests of all
// the image's users then reach the file system in parallel instead of
// queueing on its file object.
const ULONG DroppedCreateOptions = FILE_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY |
                                   FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_ALERT |
                                   FILE_SYNCHRONOUS_IO_NONALERT;
const ULONG AddedCreateOptions = FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS;

ACCESS_MASK AdaptDesiredAccess(ACCESS_MASK DesiredAccess) {
  ACCESS_MASK Access = DesiredAccess | GENERIC_READ | SYNCHRONIZE;
  // A writer may have to delete an emptied image when it closes.
  if ((DesiredAccess & WriteDataAccess) != 0) {
    Access |= DELETE;
  }
  return Access;
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

// Reads the trailing footer of a file of FileLength bytes into the record.
NTSTATUS ReadTrailingFooter(PIMAGE_CONTEXT Context, LONGLONG FileLength) {
  Context->Footer = static_cast<PVHD_FOOTER>(AllocateZeroedPool(sizeof(VHD_FOOTER)));
  if (Context->Footer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IO_STATUS_BLOCK IoStatus;
  return ReadImageFileAtOpen(Context->ImageHandle, Context->Footer, sizeof(VHD_FOOTER),
                             FileLength - (LONGLONG)sizeof(VHD_FOOTER), &IoStatus);
}

// Fills in a record whose image file's records are loaded: the gate, the
// path and the reference to the file object (OpenParentChain opens a
// differencing image's parent). Whatever it takes over the record releases.
NTSTATUS InitializeImageContext(PIMAGE_CONTEXT Context, PCUNICODE_STRING ImagePath,
                                ACCESS_MASK Access, const IMAGE_CHAIN_OPEN *Chain) {
  KeInitializeSpinLock(&Context->GateLock);
  Context->SharedCount = 0;
  Context->ExclusiveCount = 0;

  NTSTATUS Status = CopyImagePath(&Context->ImagePath, ImagePath);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // Its parent would lie deeper than the chain may go.
  if (Context->DiskType == VHD_DISK_TYPE_DIFFERENCING &&
      Chain->Depth + 1 >= IMAGE_CHAIN_DEPTH_LIMIT) {
    return STATUS_TOO_MANY_LINKS;
  }
  return ReferenceImageFileObject(Context, Access);
}

// Swaps the records Fresh read into Context: what a reload replaces.
VOID TakeRecords(PIMAGE_CONTEXT Context, PIMAGE_CONTEXT Fresh) {
  PVHD_FOOTER Footer = Context->Footer;
  Context->Footer = Fresh->Footer;
  Fresh->Footer = Footer;
  PULONG Bat = Context->Bat;
  Context->Bat = Fresh->Bat;
  Fresh->Bat = Bat;
  Context->DynamicHeader = Fresh->DynamicHeader;
  Context->FileEnd = Fresh->FileEnd;
  Context->DiskSize = Fresh->DiskSize;
  Context->BatOffset = Fresh->BatOffset;
  Context->BatEntries = Fresh->BatEntries;
  Context->BatCapacity = Fresh->BatCapacity;
  Context->LostAppends = Fresh->LostAppends;
  // What the engine learnt of the file under the old handle no longer holds;
  // what its volume is (FreshSpaceZeroed) does not change.
  Context->SpanGaps = IMAGE_SPANS_UNCHECKED;
  Context->FileReach = 0;
  Context->FreshSpaceStart = 0;
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

  IMAGE_CONTEXT_OWNER Context(
      static_cast<PIMAGE_CONTEXT>(AllocateZeroedPool(sizeof(IMAGE_CONTEXT))));
  if (!Context) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The record owns the handle from here on.
  Context->ImageHandle = Handle.Detach();
  Context->FreshSpaceZeroed = QueryFreshSpaceZeroed(Context->ImageHandle);
  Context->ChainPool = Chain->ChildPool;
  IMAGE_VERDICT Verdict;
  Status = LoadImageRecords(Context.Get(), &Verdict);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = InitializeImageContext(Context.Get(), ImagePath, Access, Chain);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  *ContextOut = Context.Detach();
  return STATUS_SUCCESS;
}

NTSTATUS LoadImageRecords(PIMAGE_CONTEXT Context, IMAGE_VERDICT *Verdict) {
  RecordImageFault(Verdict, ImageSound);
  LONGLONG FileLength = 0;
  NTSTATUS Status = QueryImageFileLength(Context->ImageHandle, &FileLength);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  IMAGE_FAULT Fault = JudgeImageFileLength(FileLength);
  if (Fault != ImageSound) {
    return RecordImageFault(Verdict, Fault);
  }
  Status = ReadTrailingFooter(Context, FileLength);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Fault = JudgeFooter(Context->Footer, FileLength);
  if (Fault != ImageSound) {
    return RecordImageFault(Verdict, Fault);
  }
  Context->FileEnd = FileLength;
  Context->DiskType = LoadBe32(Context->Footer->DiskType);
  Context->DiskSize = (LONGLONG)LoadBe64(Context->Footer->CurrentSize);
  if (Context->DiskType == VHD_DISK_TYPE_FIXED) {
    return STATUS_SUCCESS;
  }
  return LoadDynamicHeader(Context, Verdict);
}

NTSTATUS JudgeImageFile(HANDLE ImageHandle, ULONGLONG *ChainPool, IMAGE_VERDICT *Verdict) {
  RecordImageFault(Verdict, ImageSound);
  IMAGE_CONTEXT_OWNER Context(
      static_cast<PIMAGE_CONTEXT>(AllocateZeroedPool(sizeof(IMAGE_CONTEXT))));
  if (!Context) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The handle stays the caller's: the record only borrows it.
  Context->ImageHandle = ImageHandle;
  Context->ChainPool = *ChainPool;
  NTSTATUS Status = LoadImageRecords(Context.Get(), Verdict);
  Context->ImageHandle = NULL;
  if (NT_SUCCESS(Status)) {
    *ChainPool = Context->ChainPool;
  }
  return Status;
}

NTSTATUS ReloadImageRecords(PIMAGE_CONTEXT Context) {
  IMAGE_CONTEXT_OWNER Fresh(static_cast<PIMAGE_CONTEXT>(AllocateZeroedPool(sizeof(IMAGE_CONTEXT))));
  if (!Fresh) {
    CloseImageFile(Context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Fresh->ImageHandle = Context->ImageHandle;
  IMAGE_VERDICT Verdict;
  NTSTATUS Status = LoadImageRecords(Fresh.Get(), &Verdict);
  Fresh->ImageHandle = NULL;
  if (NT_SUCCESS(Status) &&
      (Fresh->DiskType != Context->DiskType || Fresh->BlockSize != Context->BlockSize ||
       !RtlEqualMemory(Fresh->Footer->UniqueId, Context->Footer->UniqueId,
                       sizeof(Context->Footer->UniqueId)))) {
    Status = STATUS_FILE_CORRUPT_ERROR;
  }
  if (!NT_SUCCESS(Status)) {
    CloseImageFile(Context);
    return Status;
  }
  // Bitmaps cached under the old table may name places the file no longer
  // gives those blocks.
  ULONG Entries = Context->BatEntries > Fresh->BatEntries ? Context->BatEntries : Fresh->BatEntries;
  for (ULONG Index = 0; Index < Entries; ++Index) {
    ForgetSectorBitmap(Context, Index);
  }
  TakeRecords(Context, Fresh.Get());
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
                               &Attributes, &IoStatus, 0, AddedCreateOptions);
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
  if (Context->DeleteWhenEmpty && Context->ImageHandle != NULL &&
      CountAllocatedBlocks(Context) == 0) {
    // Best effort: an image that stays is still an image, only not removed.
    DeleteImageFileOnClose(Context->ImageHandle);
  }
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
