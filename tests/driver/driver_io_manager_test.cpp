// The host I/O manager as a driver sees it, through a driver that records
// every request: name lookup through links, the create's parameters, cleanup
// and close, access checks of user-mode callers, offsets and the file
// position, MDLs, IRQL and requestor mode.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "support/driver_client.h"

namespace dorvane::test {
namespace {

const std::u16string kRecorder = u"Recorder";

struct Request {
  UCHAR major;
  KIRQL irql;
  KPROCESSOR_MODE requestorMode;
  std::u16string fileName;
  ULONG fileObjectFlags;
  ACCESS_MASK desiredAccess;
  ULONG createOptions;
  USHORT fileAttributes;
  USHORT shareAccess;
  int64_t allocationSize;
  ULONG length;
  int64_t offset;
  bool hasMdl;
  MDL mdl;
};

std::mutex recordLock;
std::vector<Request> recorded;

std::vector<Request> Recorded() {
  std::lock_guard<std::mutex> guard(recordLock);
  return recorded;
}

std::vector<UCHAR> RecordedMajors() {
  std::vector<UCHAR> majors;
  for (const Request &request : Recorded()) majors.push_back(request.major);
  return majors;
}

void ClearRecorded() {
  std::lock_guard<std::mutex> guard(recordLock);
  recorded.clear();
}

// Records the request and completes it: creates of names containing "fail"
// fail, reads and writes move their whole length.
NTSTATUS RecordingDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  Request request{};
  request.major = stack->MajorFunction;
  request.irql = KeGetCurrentIrql();
  request.requestorMode = Irp->RequestorMode;
  request.fileName.assign(file->FileName.Buffer, file->FileName.Length / sizeof(WCHAR));
  request.fileObjectFlags = file->Flags;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  if (request.major == IRP_MJ_CREATE) {
    request.desiredAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
    request.createOptions = stack->Parameters.Create.Options;
    request.fileAttributes = stack->Parameters.Create.FileAttributes;
    request.shareAccess = stack->Parameters.Create.ShareAccess;
    request.allocationSize = Irp->Overlay.AllocationSize.QuadPart;
    if (request.fileName.find(u"fail") != std::u16string::npos) status = STATUS_ACCESS_DENIED;
    information = FILE_OPENED;
  } else if (request.major == IRP_MJ_READ || request.major == IRP_MJ_WRITE) {
    request.length = stack->Parameters.Read.Length;
    request.offset = stack->Parameters.Read.ByteOffset.QuadPart;
    request.hasMdl = Irp->MdlAddress != nullptr;
    if (request.hasMdl) request.mdl = *Irp->MdlAddress;
    information = request.length;
  }
  {
    std::lock_guard<std::mutex> guard(recordLock);
    recorded.push_back(request);
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

UNICODE_STRING recorderDevice = DORVANE_CONSTANT_STRING("\\Device\\Recorder");
UNICODE_STRING recorderLink = DORVANE_CONSTANT_STRING("\\DosDevices\\Recorder");

void RecorderUnload(PDRIVER_OBJECT driver) {
  IoDeleteSymbolicLink(&recorderLink);
  IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS RecorderEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &recorderDevice, FILE_DEVICE_NULL, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags |= DO_DIRECT_IO;
  status = IoCreateUnprotectedSymbolicLink(&recorderLink, &recorderDevice);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP}) {
    driver->MajorFunction[major] = RecordingDispatch;
  }
  driver->DriverUnload = RecorderUnload;
  return STATUS_SUCCESS;
}

class DriverIoManager : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    ClearRecorded();
    ASSERT_EQ(host::LoadDriver(RecorderEntry, kRecorder), STATUS_SUCCESS);
  }
  void TearDown() override {
    host::SetPreviousMode(KernelMode);
    host::SetCurrentIrql(PASSIVE_LEVEL);
    EXPECT_EQ(host::UnloadDriver(kRecorder), STATUS_SUCCESS);
    EXPECT_FALSE(host::IsDriverLoaded(kRecorder)) << "a handle was left open";
    TempDirTest::TearDown();
  }

  static host::DeviceFile OpenOrFail(const std::u16string &name,
                                     const host::OpenParameters &parameters = SynchronousOpen()) {
    host::DeviceFile file;
    EXPECT_EQ(host::DeviceFile::Open(name, parameters, &file).Status, STATUS_SUCCESS);
    return file;
  }
};

TEST_F(DriverIoManager, NamesResolveThroughLinksToTheRemainder) {
  struct Case {
    std::u16string name;
    NTSTATUS status;
    std::u16string fileName;
  } cases[] = {
      {u"\\Device\\Recorder\\A\\b.vhd", STATUS_SUCCESS, u"\\A\\b.vhd"},
      {u"\\DosDevices\\Recorder\\??\\Z:\\x", STATUS_SUCCESS, u"\\??\\Z:\\x"},
      {u"\\??\\RECORDER\\Keep Case", STATUS_SUCCESS, u"\\Keep Case"},
      {u"\\GLOBAL??\\recorder", STATUS_SUCCESS, u""},
      {u"\\device\\recorder\\", STATUS_SUCCESS, u"\\"},
      {u"\\Device\\RecorderX", STATUS_OBJECT_NAME_NOT_FOUND, u""},
      {u"\\Device\\Nothing\\x", STATUS_OBJECT_PATH_NOT_FOUND, u""},
      {u"\\??\\Nothing", STATUS_OBJECT_NAME_NOT_FOUND, u""},
      {u"Recorder\\x", STATUS_OBJECT_PATH_SYNTAX_BAD, u""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    ClearRecorded();
    host::DeviceFile file;
    EXPECT_EQ(host::DeviceFile::Open(c.name, SynchronousOpen(), &file).Status, c.status);
    auto requests = Recorded();
    if (c.status != STATUS_SUCCESS) {
      EXPECT_TRUE(requests.empty());
      continue;
    }
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].fileName, c.fileName);
  }
}

TEST_F(DriverIoManager, CreateCarriesTheClientsParameters) {
  host::OpenParameters parameters;
  parameters.desiredAccess = GENERIC_READ;
  parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_DELETE;
  parameters.disposition = FILE_OPEN_IF;
  parameters.options = FILE_SYNCHRONOUS_IO_ALERT | FILE_RANDOM_ACCESS;
  parameters.fileAttributes = FILE_ATTRIBUTE_HIDDEN;
  parameters.allocationSize = 12345;
  host::DeviceFile file;
  IO_STATUS_BLOCK status = host::DeviceFile::Open(u"\\Device\\Recorder\\f", parameters, &file);
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, ULONG_PTR(FILE_OPENED));
  auto requests = Recorded();
  ASSERT_EQ(requests.size(), 1u);
  const Request &create = requests[0];
  EXPECT_EQ(create.desiredAccess, ACCESS_MASK(FILE_GENERIC_READ)) << "generic rights mapped";
  EXPECT_EQ(create.createOptions,
            (ULONG(FILE_OPEN_IF) << 24) | FILE_SYNCHRONOUS_IO_ALERT | FILE_RANDOM_ACCESS);
  EXPECT_EQ(create.shareAccess, FILE_SHARE_READ | FILE_SHARE_DELETE);
  EXPECT_EQ(create.fileAttributes, FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(create.allocationSize, 12345);
  EXPECT_EQ(create.fileObjectFlags & (FO_SYNCHRONOUS_IO | FO_ALERTABLE_IO | FO_RANDOM_ACCESS),
            ULONG(FO_SYNCHRONOUS_IO | FO_ALERTABLE_IO | FO_RANDOM_ACCESS));
}

TEST_F(DriverIoManager, CleanupAtTheLastHandleCloseAtTheLastReference) {
  host::DeviceFile failed;
  EXPECT_EQ(host::DeviceFile::Open(u"\\Device\\Recorder\\fail", SynchronousOpen(), &failed).Status,
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(RecordedMajors(), std::vector<UCHAR>{IRP_MJ_CREATE})
      << "a failed create gets neither cleanup nor close";

  ClearRecorded();
  host::DeviceFile file = OpenOrFail(u"\\Device\\Recorder\\f");
  host::DeviceFile second = file.Duplicate();
  file.Close();
  EXPECT_EQ(RecordedMajors(), std::vector<UCHAR>{IRP_MJ_CREATE});
  second.Close();
  EXPECT_EQ(RecordedMajors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  for (const Request &request : Recorded()) {
    if (request.major != IRP_MJ_CREATE) {
      EXPECT_EQ(request.requestorMode, KernelMode);
    }
  }
}

TEST_F(DriverIoManager, UserModeCallersAreHeldToTheirHandlesAccess) {
  host::SetPreviousMode(UserMode);
  // Synchronous I/O without SYNCHRONIZE access.
  host::OpenParameters bad = SynchronousOpen(FILE_READ_DATA);
  host::DeviceFile refused;
  EXPECT_EQ(host::DeviceFile::Open(u"\\Device\\Recorder\\f", bad, &refused).Status,
            STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Recorded().empty());

  host::DeviceFile file = OpenOrFail(u"\\Device\\Recorder\\f", SynchronousOpen(kReadOnlyAccess));
  char buffer[16] = {};
  EXPECT_EQ(file.WriteAt(buffer, sizeof(buffer), 0).Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(file.ReadAt(buffer, sizeof(buffer), 0).Status, STATUS_SUCCESS);
  host::SetPreviousMode(KernelMode);
  EXPECT_EQ(file.WriteAt(buffer, sizeof(buffer), 0).Status, STATUS_SUCCESS);

  auto requests = Recorded();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].major, IRP_MJ_READ);
  EXPECT_EQ(requests[1].requestorMode, UserMode);
  EXPECT_EQ(requests[2].major, IRP_MJ_WRITE);
  EXPECT_EQ(requests[2].requestorMode, KernelMode);
}

TEST_F(DriverIoManager, OffsetsAndThePositionOfSynchronousHandles) {
  const int64_t kUsePosition = -2;  // FILE_USE_FILE_POINTER_POSITION, high part -1
  host::DeviceFile synchronous = OpenOrFail(u"\\Device\\Recorder\\s");
  host::DeviceFile overlapped = OpenOrFail(u"\\Device\\Recorder\\o", OverlappedOpen());
  synchronous.FileObject()->CurrentByteOffset.QuadPart = 777;
  char buffer[8];
  ClearRecorded();
  EXPECT_EQ(synchronous.Read(buffer, 8).Status, STATUS_SUCCESS);
  EXPECT_EQ(synchronous.ReadAt(buffer, 8, kUsePosition).Status, STATUS_SUCCESS);
  EXPECT_EQ(synchronous.WriteAt(buffer, 8, 5).Status, STATUS_SUCCESS);
  EXPECT_EQ(overlapped.Read(buffer, 8).Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(overlapped.ReadAt(buffer, 8, kUsePosition).Status, STATUS_SUCCESS);
  auto requests = Recorded();
  ASSERT_EQ(requests.size(), 4u) << "a request without an offset on an overlapped handle "
                                    "never reaches the driver";
  EXPECT_EQ(requests[0].offset, 777);
  EXPECT_EQ(requests[1].offset, 777);
  EXPECT_EQ(requests[2].offset, 5);
  EXPECT_EQ(requests[3].offset, kUsePosition) << "passed on as given";
}

TEST_F(DriverIoManager, RequestsRunAtTheCallersIrqlWithMdlsOverTheBuffer) {
  host::DeviceFile file = OpenOrFail(u"\\Device\\Recorder\\f", OverlappedOpen());
  alignas(4096) static char buffer[8192];
  ClearRecorded();
  host::SetCurrentIrql(APC_LEVEL);
  file.ReadAt(buffer + 100, 5000, 0);
  host::SetCurrentIrql(PASSIVE_LEVEL);
  file.WriteAt(buffer + 4096, 10, 0, host::MdlMapping::MappedToSystem);
  file.WriteAt(buffer, 0, 0);
  auto requests = Recorded();
  ASSERT_EQ(requests.size(), 3u);

  EXPECT_EQ(requests[0].irql, APC_LEVEL);
  ASSERT_TRUE(requests[0].hasMdl);
  EXPECT_EQ(requests[0].mdl.StartVa, buffer);
  EXPECT_EQ(requests[0].mdl.ByteOffset, 100u);
  EXPECT_EQ(requests[0].mdl.ByteCount, 5000u);
  EXPECT_EQ(requests[0].mdl.MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA),
            MDL_PAGES_LOCKED);

  EXPECT_EQ(requests[1].irql, PASSIVE_LEVEL);
  ASSERT_TRUE(requests[1].hasMdl);
  EXPECT_NE(requests[1].mdl.MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
  EXPECT_EQ(requests[1].mdl.MappedSystemVa, buffer + 4096);

  EXPECT_FALSE(requests[2].hasMdl) << "zero-length requests carry no MDL";
}

}  // namespace
}  // namespace dorvane::test
