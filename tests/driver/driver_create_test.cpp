// Load, create and close through the device: the device and its link, the
// checks before the open, the image bound to the client's file object, the
// event-log entry of a failed open, and the release at the last close.
#include <gtest/gtest.h>

#include "host/testing/host_testing.h"
#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

class DriverCreate : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path_ = File("fixed.vhd");
    MakeFixedImage(path_, 1 << 20);
  }
  std::string path_;
};

// The fields of a captured event-log packet.
IO_ERROR_LOG_PACKET PacketOf(const host::ErrorLogEntry &entry) {
  IO_ERROR_LOG_PACKET packet{};
  memcpy(&packet, entry.packet.data(), std::min(entry.packet.size(), sizeof(packet)));
  return packet;
}

TEST_F(DriverCreate, LoadMakesTheDeviceAndItsLinkAndUnloadRemovesThem) {
  std::u16string target;
  ASSERT_TRUE(host::QuerySymbolicLink(kLinkName, &target));
  EXPECT_EQ(target, kDeviceName);
  PDEVICE_OBJECT device = host::DriverObjectOf(kDorvaneService)->DeviceObject;
  EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_NULL));
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO), ULONG(DO_DIRECT_IO));
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Pageable);
  // Unload waits for the last file object; meanwhile no create gets in.
  host::DeviceFile file;
  ASSERT_EQ(host::DeviceFile::Open(kLinkName + NtName(path_), SynchronousOpen(), &file).Status,
            STATUS_SUCCESS);
  ASSERT_EQ(host::UnloadDriver(kDorvaneService), STATUS_SUCCESS);
  host::DeviceFile refused;
  EXPECT_EQ(OpenImage(path_, SynchronousOpen(), &refused).Status, STATUS_NO_SUCH_DEVICE);
  char buffer[512];
  EXPECT_EQ(file.ReadAt(buffer, sizeof(buffer), 0).Information, sizeof(buffer));
  EXPECT_TRUE(host::IsDriverLoaded(kDorvaneService));
  file.Close();
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
  EXPECT_FALSE(host::DeviceExists(kDeviceName));
  EXPECT_FALSE(host::QuerySymbolicLink(kLinkName, nullptr));
  // Someone else's link by the driver's name fails the load, which deletes
  // its device again.
  ASSERT_EQ(host::CreateSymbolicLink(kLinkName, u"\\Device\\Elsewhere"), STATUS_SUCCESS);
  EXPECT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(host::DeviceExists(kDeviceName));
  ASSERT_EQ(host::DeleteSymbolicLink(kLinkName), STATUS_SUCCESS);
  // Nothing of the first load is in the way of a second.
  EXPECT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_SUCCESS);
}

TEST_F(DriverCreate, CreatesAreCheckedBeforeTheImageIsOpened) {
  host::OpenParameters sized = SynchronousOpen();
  sized.allocationSize = 4096;
  const std::vector<std::string> missingName{"Dorvane: Missing file name.\n"};
  struct {
    std::u16string name;
    host::OpenParameters parameters;
    std::vector<std::string> output;
  } td[] = {
      /* 0 */ {kDeviceName, SynchronousOpen(), missingName},
      /* 1 */ {u"\\??\\Dorvane", SynchronousOpen(), missingName},
      // The virtual disk's size is the image's; a create cannot choose it.
      /* 2 */ {kDeviceName + NtName(path_), sized, {}},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    host::ClearDebugOutput();
    host::DeviceFile file;
    EXPECT_EQ(OutcomeOf(host::DeviceFile::Open(td[i].name, td[i].parameters, &file)),
              Outcome(STATUS_INVALID_PARAMETER, 0)) << i;
    EXPECT_EQ(host::DebugOutput(), td[i].output) << i;
  }
  // A create on a file object that already has an image is refused, and the
  // image stays bound.
  host::DeviceFile file = OpenImageOrFail(path_);
  IO_SECURITY_CONTEXT security{};
  security.DesiredAccess = kReadWriteAccess;
  IO_STATUS_BLOCK status = file.SendRequest(IRP_MJ_CREATE, [&](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.Create.SecurityContext = &security;
    stack->Parameters.Create.Options = FILE_OPEN << 24;
  });
  EXPECT_EQ(status.Status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(CountDebugMessages("Dorvane: Path already open.\n"), 1u);
  EXPECT_EQ(host::CreateHistory().size(), 1u) << "no second open of the image file";
  char buffer[512];
  EXPECT_EQ(file.ReadAt(buffer, sizeof(buffer), 0).Information, sizeof(buffer));
  EXPECT_TRUE(host::ErrorLog().empty()) << "checks before the open log nothing";
}

// Failed opens complete with the open's status (a directory mapped to a name
// collision) and log that same status once.
TEST_F(DriverCreate, FailedOpensLogTheirStatus) {
  WriteFileBytes(File("short.vhd"), Bytes(1535, 0));
  const std::pair<std::string, NTSTATUS> td[] = {
      /* 0 */ {File("missing.vhd"), STATUS_OBJECT_NAME_NOT_FOUND},
      /* 1 */ {DirPath(), STATUS_OBJECT_NAME_COLLISION},
      /* 2 */ {File("none/missing.vhd"), STATUS_OBJECT_PATH_NOT_FOUND},
      /* 3 */ {File("short.vhd"), STATUS_BAD_FILE_TYPE},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    host::ClearErrorLog();
    host::DeviceFile file;
    EXPECT_EQ(OpenImage(td[i].first, SynchronousOpen(), &file).Status, td[i].second) << i;
    auto log = host::ErrorLog();
    ASSERT_EQ(log.size(), 1u) << i;
    EXPECT_EQ(PacketOf(log[0]).ErrorCode, td[i].second) << i;
    EXPECT_EQ(PacketOf(log[0]).FinalStatus, td[i].second) << i;
  }
  // The entry: the packet, then the text with its terminator.
  host::ErrorLogEntry entry = host::ErrorLog()[0];
  IO_ERROR_LOG_PACKET packet = PacketOf(entry);
  EXPECT_EQ(entry.driverName, u"\\Driver\\Dorvane");
  EXPECT_EQ(std::make_tuple(packet.NumberOfStrings, packet.StringOffset, packet.EventCategory,
                            packet.UniqueErrorValue),
            std::make_tuple(USHORT(1), USHORT(48), USHORT(4000), ULONG(401)));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(&entry.packet[48]),
                           (entry.packet.size() - 48) / 2),
            std::u16string(u"Image file failed.", 19));
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Pageable);
  // No entry to be had, or above DISPATCH_LEVEL: the entry is dropped.
  host::ClearErrorLog();
  host::FailErrorLogAllocation(1);
  host::DeviceFile file;
  EXPECT_EQ(OpenImage(File("missing.vhd"), SynchronousOpen(), &file).Status,
            STATUS_OBJECT_NAME_NOT_FOUND);
  host::SetCurrentIrql(DISPATCH_LEVEL + 1);
  WriteImageErrorLog(STATUS_ACCESS_DENIED);
  host::SetCurrentIrql(DISPATCH_LEVEL);
  WriteImageErrorLog(STATUS_DISK_FULL);
  host::SetCurrentIrql(PASSIVE_LEVEL);
  ASSERT_EQ(host::ErrorLog().size(), 1u);
  EXPECT_EQ(PacketOf(host::ErrorLog()[0]).ErrorCode, STATUS_DISK_FULL);
}

// A successful create reports the image file's open, makes the driver
// resident, and gives the client's file object the image file's access and
// sharing flags.
TEST_F(DriverCreate, TheOpenedImageIsBoundToTheFileObject) {
  struct {
    ACCESS_MASK access;
    ULONG share;
    BOOLEAN read, write, del, sharedRead, sharedWrite, sharedDelete;
  } td[] = {
      // 0: readers never write; share write is always dropped.
      {kReadOnlyAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, 1, 0, 0, 1, 0, 0},
      // 1: writers get delete access as well.
      {kReadWriteAccess, FILE_SHARE_READ | FILE_SHARE_DELETE, 1, 1, 1, 1, 0, 1},
      // 2: write data alone.
      {FILE_WRITE_DATA | SYNCHRONIZE, 0, 1, 1, 1, 0, 0, 0},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    host::OpenParameters parameters = SynchronousOpen(td[i].access);
    parameters.shareAccess = td[i].share;
    host::DeviceFile file;
    ASSERT_EQ(OutcomeOf(OpenImage(path_, parameters, &file)), Outcome(STATUS_SUCCESS, FILE_OPENED))
        << i;
    PFILE_OBJECT object = file.FileObject();
    EXPECT_EQ(object->ReadAccess, td[i].read) << i;
    EXPECT_EQ(object->WriteAccess, td[i].write) << i;
    EXPECT_EQ(object->DeleteAccess, td[i].del) << i;
    EXPECT_EQ(object->SharedRead, td[i].sharedRead) << i;
    EXPECT_EQ(object->SharedWrite, td[i].sharedWrite) << i;
    EXPECT_EQ(object->SharedDelete, td[i].sharedDelete) << i;
  }
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Resident);
  EXPECT_EQ(host::DriverPagingResets(), 3u);
  EXPECT_TRUE(host::ErrorLog().empty());
}

// The image is released at the last close of its file object (the fixture
// checks that nothing leaked). A file object whose image was released, here
// by a close request sent ahead of the system's, moves nothing, and majors
// without a handler are refused.
TEST_F(DriverCreate, TheImageIsReleasedAtTheLastClose) {
  host::DeviceFile file = OpenImageOrFail(path_);
  host::DeviceFile second = file.Duplicate();
  file.Close();
  char buffer[512];
  EXPECT_EQ(second.ReadAt(buffer, sizeof(buffer), 0).Information, sizeof(buffer));
  EXPECT_EQ(second.SendRequest(IRP_MJ_CLOSE, [](PIRP, PIO_STACK_LOCATION) {}).Status,
            STATUS_SUCCESS);
  EXPECT_EQ(host::OpenHandleCount(), 0u);
  host::ResetFileCallCounts();
  EXPECT_EQ(OutcomeOf(second.ReadAt(buffer, sizeof(buffer), 0)), Outcome(STATUS_SUCCESS, 0));
  EXPECT_EQ(OutcomeOf(second.WriteAt(buffer, sizeof(buffer), 0)), Outcome(STATUS_SUCCESS, 0));
  EXPECT_EQ(host::FileCallCount(host::FileCall::Read) + host::FileCallCount(host::FileCall::Write),
            0u);
  for (UCHAR major : {IRP_MJ_QUERY_EA, IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_CLEANUP}) {
    EXPECT_EQ(second.SendRequest(major, [](PIRP, PIO_STACK_LOCATION) {}).Status,
              STATUS_INVALID_DEVICE_REQUEST) << int(major);
  }
}

}  // namespace
}  // namespace dorvane::test
