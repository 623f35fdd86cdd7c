// What Wine 8's kernel lacks or gets wrong for the driver, mended for the
// test by pointing the driver's import slots at the routines below (the
// driver's import table is writable data). Each routine does what Windows
// does, as far as the driver relies on it:
//
// - ObReferenceObjectByHandle: Wine leaves the handle information unfilled
//   and the file object's access flags zero; both are filled from the
//   handle's granted access (ZwQueryObject).
// - IoGetRelatedDeviceObject: Wine returns NULL (no file system device under
//   a file); the filter's control device stands in and completes the flush
//   the driver sends there.
// - KeAcquireInStackQueuedSpinLock: Wine's x64 version never stores the
//   saved IRQL in the lock handle; it is stored (Wine runs every driver
//   routine at PASSIVE_LEVEL).
// - ExGetPreviousMode and FsRtlDissectName: not implemented by Wine.
#include "filter/filter.h"
#include "kernel/windows/dissect_name.h"

#include <ntimage.h>

namespace {

typedef NTSTATUS(NTAPI *REFERENCE_BY_HANDLE)(HANDLE, ACCESS_MASK, POBJECT_TYPE,
                                             KPROCESSOR_MODE, PVOID *,
                                             POBJECT_HANDLE_INFORMATION);
typedef VOID(FASTCALL *ACQUIRE_QUEUED)(PKSPIN_LOCK, PKLOCK_QUEUE_HANDLE);

REFERENCE_BY_HANDLE WineReferenceByHandle = NULL;
ACQUIRE_QUEUED WineAcquireQueued = NULL;

NTSTATUS NTAPI MendedReferenceByHandle(HANDLE Handle, ACCESS_MASK Access, POBJECT_TYPE Type,
                                       KPROCESSOR_MODE Mode, PVOID *Object,
                                       POBJECT_HANDLE_INFORMATION Information) {
  NTSTATUS Status = WineReferenceByHandle(Handle, Access, Type, Mode, Object, Information);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  PUBLIC_OBJECT_BASIC_INFORMATION Basic;
  RtlZeroMemory(&Basic, sizeof(Basic));
  ZwQueryObject(Handle, ObjectBasicInformation, &Basic, sizeof(Basic), NULL);
  if (Information != NULL) {
    Information->GrantedAccess = Basic.GrantedAccess;
    Information->HandleAttributes = Basic.Attributes;
  }
  if (Type == *IoFileObjectType) {
    PFILE_OBJECT File = static_cast<PFILE_OBJECT>(*Object);
    File->ReadAccess = (Basic.GrantedAccess & FILE_READ_DATA) != 0;
    File->WriteAccess = (Basic.GrantedAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    File->DeleteAccess = (Basic.GrantedAccess & DELETE) != 0;
  }
  return Status;
}

PDEVICE_OBJECT NTAPI MendedRelatedDeviceObject(PFILE_OBJECT FileObject) {
  UNREFERENCED_PARAMETER(FileObject);
  return FilterControlDevice;
}

VOID FASTCALL MendedAcquireQueued(PKSPIN_LOCK Lock, PKLOCK_QUEUE_HANDLE Handle) {
  WineAcquireQueued(Lock, Handle);
  Handle->OldIrql = PASSIVE_LEVEL;
}

KPROCESSOR_MODE NTAPI MendedPreviousMode() { return KernelMode; }

VOID NTAPI MendedDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                             PUNICODE_STRING RemainingName) {
  DissectBackslashName(Path, FirstName, RemainingName);
}

struct MENDED_IMPORT {
  const char *Name;
  PVOID Mended;
  PVOID Original;  // the slot's value before mending
};

MENDED_IMPORT Imports[] = {
    {"ObReferenceObjectByHandle", reinterpret_cast<PVOID>(&MendedReferenceByHandle), NULL},
    {"IoGetRelatedDeviceObject", reinterpret_cast<PVOID>(&MendedRelatedDeviceObject), NULL},
    {"KeAcquireInStackQueuedSpinLock", reinterpret_cast<PVOID>(&MendedAcquireQueued), NULL},
    {"ExGetPreviousMode", reinterpret_cast<PVOID>(&MendedPreviousMode), NULL},
    {"FsRtlDissectName", reinterpret_cast<PVOID>(&MendedDissectName), NULL},
};
const ULONG ImportCount = sizeof(Imports) / sizeof(Imports[0]);

BOOLEAN SameName(const char *A, const char *B) {
  while (*A != 0 && *A == *B) {
    ++A;
    ++B;
  }
  return *A == *B;
}

// Calls Visit(import, slot) for every slot of the driver's import table
// bound to one of the routines above.
template <typename VISIT>
NTSTATUS ForEachSlot(PDRIVER_OBJECT Driver, VISIT Visit) {
  PUCHAR Base = static_cast<PUCHAR>(Driver->DriverStart);
  if (Base == NULL) {
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  PIMAGE_DOS_HEADER Dos = reinterpret_cast<PIMAGE_DOS_HEADER>(Base);
  PIMAGE_NT_HEADERS64 Nt = reinterpret_cast<PIMAGE_NT_HEADERS64>(Base + Dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY &Directory =
      Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (Directory.VirtualAddress == 0) {
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  for (PIMAGE_IMPORT_DESCRIPTOR Module =
           reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(Base + Directory.VirtualAddress);
       Module->Name != 0; ++Module) {
    PIMAGE_THUNK_DATA64 Names =
        reinterpret_cast<PIMAGE_THUNK_DATA64>(Base + Module->OriginalFirstThunk);
    PULONGLONG Slots = reinterpret_cast<PULONGLONG>(Base + Module->FirstThunk);
    for (; Names->u1.AddressOfData != 0; ++Names, ++Slots) {
      if (Names->u1.Ordinal & IMAGE_ORDINAL_FLAG64) {
        continue;
      }
      const char *Name = reinterpret_cast<const char *>(
          reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(Base + Names->u1.AddressOfData)->Name);
      for (ULONG Index = 0; Index < ImportCount; ++Index) {
        if (SameName(Name, Imports[Index].Name)) {
          Visit(Imports[Index], Slots);
        }
      }
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS MendWineGaps(PDRIVER_OBJECT Driver) {
  return ForEachSlot(Driver, [](MENDED_IMPORT &Import, PULONGLONG Slot) {
    Import.Original = reinterpret_cast<PVOID>(*Slot);
    if (Import.Mended == reinterpret_cast<PVOID>(&MendedReferenceByHandle)) {
      WineReferenceByHandle = reinterpret_cast<REFERENCE_BY_HANDLE>(Import.Original);
    } else if (Import.Mended == reinterpret_cast<PVOID>(&MendedAcquireQueued)) {
      WineAcquireQueued = reinterpret_cast<ACQUIRE_QUEUED>(Import.Original);
    }
    *Slot = reinterpret_cast<ULONGLONG>(Import.Mended);
    DbgPrint("Dorvfilt: mended %s.\n", Import.Name);
  });
}

VOID UnmendWineGaps(PDRIVER_OBJECT Driver) {
  ForEachSlot(Driver, [](MENDED_IMPORT &Import, PULONGLONG Slot) {
    *Slot = reinterpret_cast<ULONGLONG>(Import.Original);
  });
}
