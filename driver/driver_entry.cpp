// Load and unload: the device, its symbolic link and the dispatch table.
#include "driver/driver.h"

PDRIVER_OBJECT DorvaneDriverObject = NULL;

namespace {

// Written through by nothing: the kernel only reads the names it is given.
UNICODE_STRING DeviceName = DORVANE_CONSTANT_STRING(DORVANE_DEVICE_NAME);
UNICODE_STRING LinkName = DORVANE_CONSTANT_STRING("\\DosDevices\\" DORVANE_LINK_BASE_NAME);

VOID FillDispatchTable(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
  DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
  DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;
  DriverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = DispatchControl;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchControl;
  DriverObject->DriverUnload = DriverUnload;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DorvaneDriverObject = DriverObject;
  // Nothing but load and the first create runs until an image is open, so the
  // driver stays out of memory until then.
  MmPageEntireDriver(reinterpret_cast<PVOID>(&DriverEntry));

  PDEVICE_OBJECT DeviceObject = NULL;
  NTSTATUS Status = IoCreateDevice(DriverObject, 0, &DeviceName, FILE_DEVICE_NULL, 0, FALSE,
                                   &DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  // Read and write requests carry their buffers as MDLs, mapped rather than
  // copied.
  DeviceObject->Flags |= DO_DIRECT_IO;

  Status = IoCreateUnprotectedSymbolicLink(&LinkName, &DeviceName);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(DeviceObject);
    return Status;
  }
  FillDispatchTable(DriverObject);
  return STATUS_SUCCESS;
}

// The system unloads the driver only when no file object on its device
// remains, so no image is open here.
VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  IoDeleteSymbolicLink(&LinkName);
  PDEVICE_OBJECT DeviceObject = DriverObject->DeviceObject;
  while (DeviceObject != NULL) {
    PDEVICE_OBJECT NextDevice = DeviceObject->NextDevice;
    IoDeleteDevice(DeviceObject);
    DeviceObject = NextDevice;
  }
}
