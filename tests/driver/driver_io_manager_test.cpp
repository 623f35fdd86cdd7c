// The host I/O manager's name lookup, through a driver that records every
// request: names resolve through device links to the remainder the driver is
// given. What else the driver sees of the I/O manager (create parameters,
// cleanup and close, IRQL, MDLs, offsets) is tested through the driver itself.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "support/driver_client.h"

namespace dorvane::test {
namespace {

struct Request {
  UCHAR major;
  std::u16string fileName;
};

std::mutex recordLock;
std::vector<Request> recorded;

std::vector<Request> TakeRecorded() {
  std::lock_guard<std::mutex> guard(recordLock);
  return std::move(recorded);
}

// Records the request and completes it; creates of names containing "fail"
// fail.
NTSTATUS RecordingDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  Request request{stack->MajorFunction,
                  std::u16string(file->FileName.Buffer, file->FileName.Length / 2)};
  NTSTATUS status = STATUS_SUCCESS;
  if (request.major == IRP_MJ_CREATE && request.fileName.find(u"fail") != std::u16string::npos) {
    status = STATUS_ACCESS_DENIED;
  }
  {
    std::lock_guard<std::mutex> guard(recordLock);
    recorded.push_back(request);
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  static UNICODE_STRING device = DORVANE_CONSTANT_STRING("\\Device\\Recorder");
  static UNICODE_STRING link = DORVANE_CONSTANT_STRING("\\DosDevices\\Recorder");
  PDEVICE_OBJECT object;
  NTSTATUS status = IoCreateDevice(driver, 0, &device, FILE_DEVICE_NULL, 0, FALSE, &object);
  if (NT_SUCCESS(status)) status = IoCreateUnprotectedSymbolicLink(&link, &device);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP}) {
    driver->MajorFunction[major] = RecordingDispatch;
  }
  driver->DriverUnload = [](PDRIVER_OBJECT unloaded) {
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(unloaded->DeviceObject);
  };
  return status;
}

class DriverIoManager : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    TakeRecorded();
    ASSERT_EQ(host::LoadDriver(RecorderEntry, u"Recorder"), STATUS_SUCCESS);
  }
  void TearDown() override {
    EXPECT_EQ(host::UnloadDriver(u"Recorder"), STATUS_SUCCESS);
    EXPECT_FALSE(host::IsDriverLoaded(u"Recorder")) << "a handle was left open";
    TempDirTest::TearDown();
  }
};

TEST_F(DriverIoManager, NamesResolveThroughLinksToTheRemainder) {
  const std::tuple<std::u16string, NTSTATUS, std::u16string> td[] = {
      /* 0 */ {u"\\Device\\Recorder\\A\\b.vhd", STATUS_SUCCESS, u"\\A\\b.vhd"},
      /* 1 */ {u"\\DosDevices\\Recorder\\??\\Z:\\x", STATUS_SUCCESS, u"\\??\\Z:\\x"},
      /* 2 */ {u"\\??\\RECORDER\\Keep Case", STATUS_SUCCESS, u"\\Keep Case"},
      /* 3 */ {u"\\GLOBAL??\\recorder", STATUS_SUCCESS, u""},
      /* 4 */ {u"\\Device\\RecorderX", STATUS_OBJECT_NAME_NOT_FOUND, u""},
      /* 5 */ {u"\\Device\\Nothing\\x", STATUS_OBJECT_PATH_NOT_FOUND, u""},
      /* 6 */ {u"Recorder\\x", STATUS_OBJECT_PATH_SYNTAX_BAD, u""},
      // A create gets cleanup and close when it succeeded, else neither.
      /* 7 */ {u"\\Device\\Recorder\\fail", STATUS_ACCESS_DENIED, u"\\fail"},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    auto [name, expected, fileName] = td[i];
    {
      host::DeviceFile file;
      EXPECT_EQ(host::DeviceFile::Open(name, SynchronousOpen(), &file).Status, expected) << i;
    }
    std::vector<Request> requests = TakeRecorded();
    size_t count = expected == STATUS_SUCCESS ? 3 : fileName.empty() ? 0 : 1;
    ASSERT_EQ(requests.size(), count) << i;
    if (count > 0) {
      EXPECT_EQ(requests[0].fileName, fileName) << i;
    }
  }
}

}  // namespace
}  // namespace dorvane::test
