// The host file system's driver and device: the device object of every host
// file object, where IoGetRelatedDeviceObject sends a driver's requests for
// the file. It answers IRP_MJ_FLUSH_BUFFERS and refuses every other request.
#include "host/files/file_services_internal.h"
#include "host/io/io_manager_internal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace host {

namespace {

// Completes an IRP made by IoBuildSynchronousFsdRequest: the status goes to
// the caller's block, the caller's event is set, and the IRP is freed.
void CompleteSynchronousIrp(PIRP Irp) {
  if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
  if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
  free(Irp->MdlAddress);
  free(Irp);
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  CompleteSynchronousIrp(Irp);
  return Status;
}

NTSTATUS HostFsRefuse(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
}

// NTFS flushes only through a handle that may write the file, and refuses
// others with STATUS_ACCESS_DENIED.
NTSTATUS HostFsFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
  HostFile* File = HostFileFromObject(Stack->FileObject);
  if (File == nullptr) return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
  // Every flush asked for is a call (counted, seen by the hook); it is
  // mutating, so after a simulated crash it cannot succeed.
  FileCallGate Gate = EnterFileCall(FileCall::Flush, File->hostPath, 0);
  if (!Stack->FileObject->WriteAccess) {
    return CompleteWith(Irp, STATUS_ACCESS_DENIED);
  }
  if (Gate.status != STATUS_SUCCESS) return CompleteWith(Irp, Gate.status);
  if (fsync(File->fd) != 0) {
    auto saved = errno;
    return CompleteWith(Irp, StatusFromErrno(saved));
  }
  FileFlushed(File->fd);
  return CompleteWith(Irp, STATUS_SUCCESS);
}

DRIVER_OBJECT hostFsDriver;
DEVICE_OBJECT hostFsDevice;
std::once_flag hostFsInitialized;

void InitializeHostFs() {
  hostFsDriver.Type = IO_TYPE_DRIVER;
  hostFsDriver.Size = sizeof(DRIVER_OBJECT);
  hostFsDriver.DeviceObject = &hostFsDevice;
  for (auto& Dispatch : hostFsDriver.MajorFunction) Dispatch = HostFsRefuse;
  hostFsDriver.MajorFunction[IRP_MJ_FLUSH_BUFFERS] = HostFsFlush;
  hostFsDevice.Type = IO_TYPE_DEVICE;
  hostFsDevice.Size = sizeof(DEVICE_OBJECT);
  hostFsDevice.ReferenceCount = 1;
  hostFsDevice.DriverObject = &hostFsDriver;
  hostFsDevice.DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
  hostFsDevice.StackSize = 1;
}

}  // namespace

PDEVICE_OBJECT HostFileSystemDevice() {
  std::call_once(hostFsInitialized, InitializeHostFs);
  return &hostFsDevice;
}

}  // namespace host
