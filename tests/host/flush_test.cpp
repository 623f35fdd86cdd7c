// The flush path a driver takes: IoGetRelatedDeviceObject, an IRP from
// IoBuildSynchronousFsdRequest, IofCallDriver to the host file system, and
// completion into the caller's status block and event.
#include <gtest/gtest.h>

#include "host/host_kernel.h"
#include "host_files.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

class HostFlush : public TempDirTest {
 protected:
  // Flushes as a driver does; returns the status IofCallDriver returned and
  // the one completed into the block.
  NTSTATUS Flush(HANDLE handle, NTSTATUS* completed) {
    PFILE_OBJECT object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0x100102, *IoFileObjectType, KernelMode,
                                                (PVOID*)&object, nullptr);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(object);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = -1;
    iosb.Information = 0xDEAD;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr,
                                            &event, &iosb);
    EXPECT_NE(nullptr, irp);
    if (irp == nullptr) {
      ObfDereferenceObject(object);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    // The first location a driver fills is the one just below the current.
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + device->StackSize - 1, next);
    EXPECT_EQ(IRP_MJ_FLUSH_BUFFERS, next->MajorFunction);
    EXPECT_EQ(&iosb, irp->UserIosb);
    EXPECT_EQ(&event, irp->UserEvent);
    next->FileObject = object;
    status = IofCallDriver(device, irp);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll))
        << "the event is set at completion";
    EXPECT_EQ(0u, iosb.Information);
    *completed = iosb.Status;
    ObfDereferenceObject(object);
    return status;
  }
};

TEST_F(HostFlush, FlushOfAWritableHandleSucceeds) {
  WriteFileBytes(File("f"), Repeat(1, 16));
  OpenResult open = CreateHost(File("f"), GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  NTSTATUS completed = -1;
  EXPECT_EQ(STATUS_SUCCESS, Flush(open.handle, &completed));
  EXPECT_EQ(STATUS_SUCCESS, completed);
  ZwClose(open.handle);
}

TEST_F(HostFlush, NtfsRefusesToFlushAReadOnlyHandle) {
  WriteFileBytes(File("f"), Repeat(1, 16));
  OpenResult open = CreateHost(File("f"), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  NTSTATUS completed = -1;
  EXPECT_EQ(STATUS_ACCESS_DENIED, Flush(open.handle, &completed));
  EXPECT_EQ(STATUS_ACCESS_DENIED, completed);
  ZwClose(open.handle);
}

TEST_F(HostFlush, OtherRequestsToTheFileSystemAreRefused) {
  WriteFileBytes(File("f"), Repeat(1, 16));
  OpenResult open = CreateHost(File("f"), GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN);
  ASSERT_EQ(STATUS_SUCCESS, open.status);
  PFILE_OBJECT object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(open.handle, 0, *IoFileObjectType,
                                                      KernelMode, (PVOID*)&object, nullptr));
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(object);
  // IoBuildSynchronousFsdRequest builds only reads, writes, flushes and shutdowns.
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(nullptr, IoBuildSynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, device, nullptr, 0,
                                                  nullptr, nullptr, &iosb));
  uint8_t buffer[16];
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer, sizeof(buffer), &offset,
                                          nullptr, &iosb);
  ASSERT_NE(nullptr, irp);
  EXPECT_EQ(sizeof(buffer), IoGetNextIrpStackLocation(irp)->Parameters.Read.Length);
  IoGetNextIrpStackLocation(irp)->FileObject = object;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, IofCallDriver(device, irp));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, iosb.Status);
  ObfDereferenceObject(object);
  ZwClose(open.handle);
}

}  // namespace
}  // namespace dorvane::test
