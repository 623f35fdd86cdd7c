// The kernel services the driver's image code calls, for a Windows program:
// the dorvane command reads and repairs image files with the driver's own
// routines (open, validation, parent resolution), which it runs in user mode
// against the same DDK declarations. The file services (Zw*, Nt*) and the
// run-time library come from ntdll; this file gives the rest: pool from the
// C heap, spin locks as spin locks, the calling thread's stack limits, and
// the one I/O request those routines build themselves, the flush of an
// image file, sent as NtFlushBuffersFile on the file's handle. The build
// compiles the image code with _NTOSKRNL_ so that it calls these directly.
#include <kernel_services.h>

#include "kernel/windows/dissect_name.h"

#include <cstdlib>
#include <cstring>

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG) {
  return std::malloc(NumberOfBytes != 0 ? NumberOfBytes : 1);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG) { std::free(P); }

// The command runs the image code on behalf of its own user.
KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID) { return UserMode; }

VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Lock = SpinLock;
  while (InterlockedCompareExchange64(reinterpret_cast<volatile LONG64 *>(SpinLock), 1, 0) != 0) {
    YieldProcessor();
  }
}

VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  InterlockedExchange64(reinterpret_cast<volatile LONG64 *>(LockHandle->LockQueue.Lock), 0);
}

// The stack of the calling thread, from its thread information block at gs:
// StackBase at 0x08, StackLimit at 0x10.
VOID NTAPI IoGetStackLimits(PULONG_PTR LowLimit, PULONG_PTR HighLimit) {
  static_assert(FIELD_OFFSET(NT_TIB, StackBase) == 0x08 && FIELD_OFFSET(NT_TIB, StackLimit) == 0x10,
                "x64 thread information block");
  ULONG_PTR Base, Limit;
  __asm__("movq %%gs:0x08, %0" : "=r"(Base));
  __asm__("movq %%gs:0x10, %0" : "=r"(Limit));
  *HighLimit = Base;
  *LowLimit = Limit;
}

VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                            PUNICODE_STRING RemainingName) {
  DissectBackslashName(Path, FirstName, RemainingName);
}

// File objects stand for the handle they were referenced by; the only
// request made on them is the flush below.
NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE,
                                         PVOID *Object,
                                         POBJECT_HANDLE_INFORMATION HandleInformation) {
  if (HandleInformation != NULL) {
    // PUBLIC_OBJECT_BASIC_INFORMATION: Attributes, then GrantedAccess.
    ULONG Basic[14] = {};
    ULONG Returned = 0;
    NTSTATUS Status = ZwQueryObject(Handle, ObjectBasicInformation, Basic, sizeof(Basic),
                                    &Returned);
    if (!NT_SUCCESS(Status)) {
      return Status;
    }
    HandleInformation->HandleAttributes = Basic[0];
    HandleInformation->GrantedAccess = Basic[1];
  }
  PFILE_OBJECT FileObject = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  if (FileObject == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FileObject->Type = 5;  // IO_TYPE_FILE
  FileObject->Size = sizeof(FILE_OBJECT);
  FileObject->FsContext = Handle;
  *Object = FileObject;
  return STATUS_SUCCESS;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  std::free(Object);
  return 0;
}

PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT) {
  static DEVICE_OBJECT FileSystem;
  return &FileSystem;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE, BOOLEAN) {
  std::memset(Event, 0, sizeof(*Event));
}

// Requests complete before IofCallDriver returns: nothing is ever waited for.
NTSTATUS NTAPI KeWaitForSingleObject(PVOID, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER) {
  return STATUS_SUCCESS;
}

// An IRP with one stack location, for the flush.
PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT, PVOID, ULONG,
                                        PLARGE_INTEGER, PKEVENT, PIO_STATUS_BLOCK IoStatusBlock) {
  if (MajorFunction != IRP_MJ_FLUSH_BUFFERS) {
    return NULL;
  }
  PIRP Irp = static_cast<PIRP>(std::calloc(1, sizeof(IRP) + sizeof(IO_STACK_LOCATION)));
  if (Irp == NULL) {
    return NULL;
  }
  PIO_STACK_LOCATION Stack = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
  Irp->StackCount = 1;
  Irp->CurrentLocation = 2;
  Irp->Tail.Overlay.CurrentStackLocation = Stack + 1;
  Irp->UserIosb = IoStatusBlock;
  Stack->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  return Irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION Stack = IoGetNextIrpStackLocation(Irp);
  PIO_STATUS_BLOCK IoStatus = Irp->UserIosb;
  HANDLE Handle = Stack->FileObject != NULL ? Stack->FileObject->FsContext : NULL;
  NTSTATUS Status = Handle != NULL ? ZwFlushBuffersFile(Handle, IoStatus) : STATUS_INVALID_HANDLE;
  IoStatus->Status = Status;
  std::free(Irp);
  return Status;
}

}  // extern "C"

// The object type of file objects, as the image code reads it through the
// import slot the include point names (kernel_services.h).
namespace {
POBJECT_TYPE UserFileObjectType = NULL;
}
POBJECT_TYPE *DorvaneFileObjectTypeSlot = &UserFileObjectType;
