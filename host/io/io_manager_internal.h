// Shared internals of the host I/O manager (devices.cpp, io_manager.cpp,
// client.cpp, device_handles.cpp, file_system_device.cpp): the object tables
// of drivers, devices and links, and the building, delivery and completion
// of IRPs. Not for the
// driver, tests or tools.
#pragma once

#include "host/objects/object_internal.h"
#include "host/io/io_client.h"

namespace host::io {

// --- Devices and drivers (devices.cpp) ------------------------------------------------

// Resolves `name` through symbolic links to a device and the rest of the name
// after the device's (empty, or beginning with a backslash), and takes a
// file-object reference on the device. Fails as the object manager would
// for a name that leads nowhere, and with STATUS_NO_SUCH_DEVICE for a device
// being initialised, deleted or unloaded.
NTSTATUS ReferenceDeviceByName(const std::u16string& name, PDEVICE_OBJECT* device,
                               std::u16string* remainder);
// True when `name` resolves to a device or a name below one.
bool NameLeadsToDevice(const std::u16string& name);
// Drops a reference taken by ReferenceDeviceByName. When the last one goes, a
// deleted device is freed and a pending unload of its driver runs.
void DereferenceDevice(PDEVICE_OBJECT device);

// The refusal of every major function a driver leaves without a handler.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Thread context of driver load and unload: PASSIVE_LEVEL, kernel mode. The
// caller's state comes back when the object goes out of scope.
class SystemThreadContext : ThreadStateScope {
 public:
  SystemThreadContext();
};

// --- IRPs (io_manager.cpp) -------------------------------------------------------------

// A zeroed IRP with `stackSize` stack locations after it, the current location
// one past the last (IoGetNextIrpStackLocation gives the first driver's).
PIRP AllocateIrp(CCHAR stackSize);
// Frees an IRP from AllocateIrp with its MDL, if any.
void FreeIrp(PIRP irp);
// An MDL over `length` bytes at `buffer`, its pages locked, with or without a
// system address.
PMDL AllocateMdl(void* buffer, ULONG length, MdlMapping mapping);

// Hands `irp` to the device's driver (IofCallDriver) and waits until it is
// completed. Returns what the dispatch routine returned, or the completion
// status when it returned STATUS_PENDING. The IRP stays allocated.
NTSTATUS CallDriverAndWait(PDEVICE_OBJECT device, PIRP irp);

// Paging state of a newly loaded driver.
void ResetDriverPaging();

}  // namespace host::io
