// Synchronous file-system requests as a driver makes them: the device a file
// object's requests go to (IoGetRelatedDeviceObject), IRPs built by
// IoBuildSynchronousFsdRequest, and IofCallDriver, which passes an IRP to a
// device's driver through its MajorFunction table.
#include "host/executive/executive_internal.h"
#include "host/io/io_manager.h"

#include <cstdlib>

// The top of the device stack of the file object's device: where a driver
// sends requests for that file.
extern "C" PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject) {
  PDEVICE_OBJECT Device = FileObject->DeviceObject;
  while (Device != nullptr && Device->AttachedDevice != nullptr) Device = Device->AttachedDevice;
  return Device;
}

// Builds an IRP with the device's stack locations laid out right after it
// and the current location one past the last, so that
// IoGetNextIrpStackLocation gives the location the first driver will own.
// Only the major functions NT allows here are built; others give NULL.
// Buffers are used in place (the request is synchronous, so NT's copy for
// buffered I/O would change nothing observable); direct-I/O devices get an
// MDL describing the caller's buffer.
extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction,
                                                    PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset,
                                                    PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE &&
      MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN) {
    return nullptr;
  }
  CCHAR StackSize = DeviceObject->StackSize > 0 ? DeviceObject->StackSize : 1;
  size_t Bytes = sizeof(IRP) + (size_t)StackSize * sizeof(IO_STACK_LOCATION);
  PIRP Irp = static_cast<PIRP>(calloc(1, Bytes));
  if (Irp == nullptr) return nullptr;
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = (USHORT)Bytes;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = (CHAR)(StackSize + 1);
  Irp->RequestorMode = KernelMode;
  Irp->UserIosb = IoStatusBlock;
  Irp->UserEvent = Event;
  Irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;

  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
  Next->MajorFunction = (UCHAR)MajorFunction;
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    Irp->UserBuffer = Buffer;
    if (DeviceObject->Flags & DO_BUFFERED_IO) {
      Irp->AssociatedIrp.SystemBuffer = Buffer;
    } else if (DeviceObject->Flags & DO_DIRECT_IO) {
      PMDL Mdl = static_cast<PMDL>(calloc(1, sizeof(MDL)));
      if (Mdl == nullptr) {
        free(Irp);
        return nullptr;
      }
      uintptr_t Address = reinterpret_cast<uintptr_t>(Buffer);
      Mdl->Size = sizeof(MDL);
      Mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
      Mdl->StartVa = reinterpret_cast<PVOID>(Address & ~(uintptr_t)0xFFF);
      Mdl->ByteOffset = (ULONG)(Address & 0xFFF);
      Mdl->ByteCount = Length;
      Mdl->MappedSystemVa = Buffer;
      Irp->MdlAddress = Mdl;
    }
    Next->Parameters.Read.Length = Length;
    if (StartingOffset != nullptr) Next->Parameters.Read.ByteOffset = *StartingOffset;
  }
  return Irp;
}

extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  if (--Irp->CurrentLocation <= 0) {
    host::BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "IRP %p passed to device %p with no stack "
                   "location left", (void*)Irp, (void*)DeviceObject);
  }
  PIO_STACK_LOCATION Stack = --Irp->Tail.Overlay.CurrentStackLocation;
  Stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH Dispatch = DeviceObject->DriverObject->MajorFunction[Stack->MajorFunction];
  return Dispatch(DeviceObject, Irp);
}
