// Create and close through the device: the checks before the open, the
// binding of the image to the client's file object, the event-log entry of a
// failed open, and the release at close.
#include <gtest/gtest.h>

#include <cstring>

#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

const char kMissingName[] = "Dorvane: Missing file name.\n";
const char kAlreadyOpen[] = "Dorvane: Path already open.\n";

// The fields of a captured event-log packet.
IO_ERROR_LOG_PACKET PacketOf(const host::ErrorLogEntry &entry) {
  IO_ERROR_LOG_PACKET packet{};
  memcpy(&packet, entry.packet.data(), std::min(entry.packet.size(), sizeof(packet)));
  return packet;
}

class DriverCreate : public DriverTest {
 protected:
  std::string FixedImage(uint64_t size = kMiB) {
    std::string path = File("fixed.vhd");
    MakeFixedImage(path, size);
    return path;
  }
};

TEST_F(DriverCreate, DeviceWithoutNameBelowItIsRefusedWithMessage) {
  for (const std::u16string &name : {kDeviceName, kLinkName, std::u16string(u"\\??\\Dorvane")}) {
    host::ClearDebugOutput();
    host::DeviceFile file;
    IO_STATUS_BLOCK status = host::DeviceFile::Open(name, SynchronousOpen(), &file);
    EXPECT_EQ(status.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status.Information, 0u);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(CountDebugMessages(kMissingName), 1u);
  }
  EXPECT_TRUE(host::ErrorLog().empty()) << "checks before the open log nothing";
  EXPECT_TRUE(host::CreateHistory().empty());
}

TEST_F(DriverCreate, AllocationSizeIsRefusedBeforeTheImageIsTouched) {
  std::string path = FixedImage();
  host::OpenParameters parameters = SynchronousOpen();
  parameters.allocationSize = 4096;
  host::DeviceFile file;
  IO_STATUS_BLOCK status = OpenImage(path, parameters, &file);
  EXPECT_EQ(status.Status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(status.Information, 0u);
  EXPECT_TRUE(host::CreateHistory().empty());
  EXPECT_TRUE(host::DebugOutput().empty());
  EXPECT_TRUE(host::ErrorLog().empty());
}

TEST_F(DriverCreate, CreateOnABoundFileObjectIsRefusedAndKeepsTheImage) {
  std::string path = FixedImage();
  host::DeviceFile file = OpenImageOrFail(path);
  IMAGE_CONTEXT *bound = BoundImage(file);
  ASSERT_NE(bound, nullptr);
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = kReadWriteAccess;
  IO_STATUS_BLOCK status = file.SendRequest(IRP_MJ_CREATE, [&](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = FILE_OPEN << 24;
  });
  EXPECT_EQ(status.Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(status.Information, 0u);
  EXPECT_EQ(CountDebugMessages(kAlreadyOpen), 1u);
  EXPECT_TRUE(host::ErrorLog().empty());
  EXPECT_EQ(BoundImage(file), bound);
  EXPECT_EQ(host::CreateHistory().size(), 1u) << "no second open of the image file";
}

// Failed opens complete with the open's status (a directory mapped to a name
// collision) and log that same status once.
TEST_F(DriverCreate, FailedOpensLogTheirStatus) {
  std::string directory = DirPath();
  std::string shortFile = File("short.vhd");
  WriteFileBytes(shortFile, Bytes(1535, 0));
  struct Case {
    const char *what;
    std::string path;
    NTSTATUS expected;
  } cases[] = {
      {"directory", directory, STATUS_OBJECT_NAME_COLLISION},
      {"missing file", File("missing.vhd"), STATUS_OBJECT_NAME_NOT_FOUND},
      {"missing folder", File("none/missing.vhd"), STATUS_OBJECT_PATH_NOT_FOUND},
      {"not an image", shortFile, STATUS_BAD_FILE_TYPE},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    host::ClearErrorLog();
    host::DeviceFile file;
    IO_STATUS_BLOCK status = OpenImage(c.path, SynchronousOpen(), &file);
    EXPECT_EQ(status.Status, c.expected) << host::StatusName(status.Status);
    EXPECT_FALSE(file.IsOpen());
    auto log = host::ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(PacketOf(log[0]).ErrorCode, c.expected);
    EXPECT_EQ(PacketOf(log[0]).FinalStatus, c.expected);
  }
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Pageable)
      << "a failed open leaves the driver pageable";
}

TEST_F(DriverCreate, EventLogEntryLayout) {
  host::DeviceFile file;
  OpenImage(File("missing.vhd"), SynchronousOpen(), &file);
  auto log = host::ErrorLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].driverName, u"\\Driver\\Dorvane");
  ASSERT_EQ(log[0].packet.size(), 86u);
  IO_ERROR_LOG_PACKET packet = PacketOf(log[0]);
  EXPECT_EQ(packet.MajorFunctionCode, 0);
  EXPECT_EQ(packet.RetryCount, 0);
  EXPECT_EQ(packet.DumpDataSize, 0);
  EXPECT_EQ(packet.NumberOfStrings, 1);
  EXPECT_EQ(packet.StringOffset, 48);
  EXPECT_EQ(packet.EventCategory, 4000);
  EXPECT_EQ(packet.ErrorCode, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(packet.UniqueErrorValue, 401u);
  EXPECT_EQ(packet.FinalStatus, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(packet.SequenceNumber, 0u);
  EXPECT_EQ(packet.IoControlCode, 0u);
  std::u16string text(19, u'?');
  memcpy(text.data(), log[0].packet.data() + 48, 38);
  EXPECT_EQ(text, std::u16string(u"Image file failed.", 19));
}

TEST_F(DriverCreate, UnloggableEntryLeavesTheCreateStatusAlone) {
  host::FailErrorLogAllocation(1);
  host::DeviceFile file;
  IO_STATUS_BLOCK status = OpenImage(File("missing.vhd"), SynchronousOpen(), &file);
  EXPECT_EQ(status.Status, STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(host::ErrorLog().empty());
}

// The entry can be written up to DISPATCH_LEVEL; above it is dropped.
TEST_F(DriverCreate, EventLogEntryIsDroppedAboveDispatchLevel) {
  host::SetCurrentIrql(DISPATCH_LEVEL + 1);
  WriteImageErrorLog(STATUS_ACCESS_DENIED);
  host::SetCurrentIrql(DISPATCH_LEVEL);
  WriteImageErrorLog(STATUS_DISK_FULL);
  host::SetCurrentIrql(PASSIVE_LEVEL);
  auto log = host::ErrorLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(PacketOf(log[0]).ErrorCode, STATUS_DISK_FULL);
}

TEST_F(DriverCreate, SuccessReportsTheImageOpenAndMakesTheDriverResident) {
  std::string path = FixedImage();
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Pageable);
  host::DeviceFile file;
  IO_STATUS_BLOCK status = OpenImage(path, SynchronousOpen(), &file);
  ASSERT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(status.Information, ULONG_PTR(FILE_OPENED));
  IMAGE_CONTEXT *image = BoundImage(file);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->DiskSize, int64_t(kMiB));
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Resident);
  EXPECT_EQ(host::DriverPagingResets(), 1u);
  EXPECT_TRUE(host::ErrorLog().empty());

  // The client's create parameters reach the image file's open, adapted.
  auto creates = host::CreateHistory();
  ASSERT_EQ(creates.size(), 1u);
  EXPECT_EQ(creates[0].disposition, ULONG(FILE_OPEN));
  EXPECT_NE(creates[0].desiredAccess & DELETE, 0u);
  EXPECT_EQ(creates[0].shareAccess, ULONG(FILE_SHARE_READ));
}

TEST_F(DriverCreate, AccessFlagsFollowTheImageFile) {
  std::string path = FixedImage();
  struct Case {
    ACCESS_MASK access;
    ULONG share;
    BOOLEAN read, write, del, sharedRead, sharedWrite, sharedDelete;
  } cases[] = {
      // 0: readers never write; share write is always dropped.
      {kReadOnlyAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, 1, 0, 0, 1, 0, 0},
      // 1: writers get delete access as well.
      {kReadWriteAccess, FILE_SHARE_READ | FILE_SHARE_DELETE, 1, 1, 1, 1, 0, 1},
      // 2: write data alone.
      {FILE_WRITE_DATA | SYNCHRONIZE, 0, 1, 1, 1, 0, 0, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const Case &c = cases[i];
    host::OpenParameters parameters = SynchronousOpen(c.access);
    parameters.shareAccess = c.share;
    host::DeviceFile file = OpenImageOrFail(path, parameters);
    PFILE_OBJECT object = file.FileObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->ReadAccess, c.read);
    EXPECT_EQ(object->WriteAccess, c.write);
    EXPECT_EQ(object->DeleteAccess, c.del);
    EXPECT_EQ(object->SharedRead, c.sharedRead);
    EXPECT_EQ(object->SharedWrite, c.sharedWrite);
    EXPECT_EQ(object->SharedDelete, c.sharedDelete);
  }
}

TEST_F(DriverCreate, CloseReleasesEveryAllocation) {
  std::string fixed = FixedImage();
  std::string dynamic = File("dynamic.vhd");
  MakeDynamicImage(dynamic, 8 * kMiB);
  size_t before = host::OutstandingAllocations();
  for (const std::string &path : {fixed, dynamic}) {
    host::DeviceFile file = OpenImageOrFail(path);
    host::DeviceFile second = file.Duplicate();
    EXPECT_GT(host::OutstandingAllocations(), before);
    file.Close();
    EXPECT_NE(BoundImage(second), nullptr) << "released before the last handle closed";
    second.Close();
    EXPECT_EQ(host::OutstandingAllocations(), before);
    EXPECT_EQ(host::OpenHandleCount(), 0u);
  }
}

// A file object whose image was released (here by a close request sent
// ahead of the system's) answers reads and writes with success and nothing
// moved, and its final close does not release anything twice.
TEST_F(DriverCreate, UnboundFileObjectMovesNothing) {
  std::string path = FixedImage();
  host::DeviceFile file = OpenImageOrFail(path);
  IO_STATUS_BLOCK status = file.SendRequest(IRP_MJ_CLOSE, [](PIRP, PIO_STACK_LOCATION) {});
  EXPECT_EQ(status.Status, STATUS_SUCCESS);
  EXPECT_EQ(BoundImage(file), nullptr);
  char buffer[512];
  host::ResetFileCallCounts();
  for (IO_STATUS_BLOCK result : {file.ReadAt(buffer, sizeof(buffer), 0),
                                 file.WriteAt(buffer, sizeof(buffer), 0)}) {
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
  }
  EXPECT_EQ(host::FileCallCount(host::FileCall::Read), 0u);
  EXPECT_EQ(host::FileCallCount(host::FileCall::Write), 0u);
  EXPECT_EQ(file.FileObject()->CurrentByteOffset.QuadPart, 0);
}

TEST_F(DriverCreate, MajorFunctionsWithoutHandlerAreRefused) {
  std::string path = FixedImage();
  host::DeviceFile file = OpenImageOrFail(path);
  for (UCHAR major : {IRP_MJ_CREATE_NAMED_PIPE, IRP_MJ_QUERY_EA, IRP_MJ_SET_EA,
                      IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_LOCK_CONTROL,
                      IRP_MJ_CLEANUP}) {
    SCOPED_TRACE(int(major));
    IO_STATUS_BLOCK status = file.SendRequest(major, [](PIRP, PIO_STACK_LOCATION) {});
    EXPECT_EQ(status.Status, STATUS_INVALID_DEVICE_REQUEST);
  }
  EXPECT_NE(BoundImage(file), nullptr);
}

}  // namespace
}  // namespace dorvane::test
