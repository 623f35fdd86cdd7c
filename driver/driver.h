// The driver frame: the routines the I/O manager calls (entry, unload and the
// dispatch routines), the per-image admission gate and the event-log entry of
// a failed open. Every dispatch routine completes its own request before it
// returns, with the status it returns; nothing is left pending or queued.
#pragma once

#include "driver/control_codes.h"
#include "image/image.h"

// The driver object, kept at load for the event-log entries of failed opens.
// Set once by DriverEntry, read-only afterwards.
extern PDRIVER_OBJECT DorvaneDriverObject;

// Loaded by the system: the device \Device\Dorvane, its link
// \DosDevices\Dorvane and the dispatch table. Runs at PASSIVE_LEVEL.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID DriverUnload(PDRIVER_OBJECT DriverObject);

// IRP_MJ_CREATE and IRP_MJ_CLOSE: bind an opened image to the client's file
// object, and release it. PASSIVE_LEVEL.
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_READ and IRP_MJ_WRITE on the bound image, through its gate.
NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// A client request's range: clamped to the virtual disk, the request's MDL
// mapped, then handed to the engine (ImageTransfer). A negative offset is
// refused with STATUS_INVALID_PARAMETER and never reaches the image file.
NTSTATUS DiskTransfer(PIMAGE_CONTEXT Context, UCHAR Operation, ULONG Length,
                      PLARGE_INTEGER ByteOffset, PMDL Mdl, PIO_STATUS_BLOCK IoStatus);

// IRP_MJ_FLUSH_BUFFERS: the image chain written back, farthest ancestor first.
NTSTATUS DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION: the handle answers
// like a file holding the virtual disk; the end of file or the allocation
// size set on it grows the disk (SetDiskSize).
NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The answer to a query of the bound image, under shared admission: sizes
// are the virtual disk's, the name the path the create used; basic, internal
// and EA information come from the image file's own query, which fills
// IoStatus. Other classes are refused with STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS QueryImageInformation(PIMAGE_CONTEXT Context, FILE_INFORMATION_CLASS InformationClass,
                               ULONG Length, PVOID Buffer, PIO_STATUS_BLOCK IoStatus);
// IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MJ_DEVICE_CONTROL and
// IRP_MJ_INTERNAL_DEVICE_CONTROL: zero-data, file-level trim, data-set trim
// and the private merge code, buffered, under exclusive admission. PASSIVE_LEVEL.
NTSTATUS DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Serves one admitted control code on its system buffer (InputLength bytes
// in, OutputLength bytes out). Sets IoStatus->Information only for the
// file-level trim and the merge.
NTSTATUS HandleControlRequest(PIMAGE_CONTEXT Context, ULONG ControlCode, PVOID Buffer,
                              ULONG InputLength, ULONG OutputLength, PIO_STATUS_BLOCK IoStatus);

// Zeroes Length bytes of the virtual disk from Offset: a zero-data request on
// a fixed image's file, ZeroDiskBlocks on a dynamic image (the request that
// zeroes compacts once, when all its ranges are done);
// STATUS_INVALID_DEVICE_REQUEST for a differencing image.
NTSTATUS ZeroImageRange(PIMAGE_CONTEXT Context, const LONGLONG *Offset, const LONGLONG *Length);


// Writes the "Image file failed." entry of a failed open to the system event
// log. Dropped silently above DISPATCH_LEVEL or when no entry can be had.
VOID WriteImageErrorLog(NTSTATUS Status);

// The admission gate of an image. Shared admission for reads and queries,
// exclusive for writes, flushes, size changes and control requests. Never
// waits: a conflicting request is refused with STATUS_DEVICE_BUSY and the
// client retries. Must be asked at PASSIVE_LEVEL (the request is refused with
// STATUS_ACCESS_DENIED otherwise). GateLock is held only while the counts are
// tested and updated, never across I/O. An image opened without write access
// admits shared requests uncounted and refuses exclusive ones.
NTSTATUS AcquireIoGate(PIMAGE_CONTEXT Context, BOOLEAN Exclusive);
// Ends one successful admission, in the mode it was granted.
VOID ReleaseIoGate(PIMAGE_CONTEXT Context, BOOLEAN Exclusive);

// The image bound to a client's file object at create, or NULL.
inline PIMAGE_CONTEXT BoundImage(PFILE_OBJECT FileObject) {
  return FileObject != NULL ? static_cast<PIMAGE_CONTEXT>(FileObject->FsContext2) : NULL;
}

// Stores the status and information in the request and completes it.
inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
