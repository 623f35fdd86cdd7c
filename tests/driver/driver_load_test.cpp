// Driver load and unload in the host I/O manager: the device, its link and
// the dispatch table, failures at load, and unload deferred while file
// objects remain.
#include <gtest/gtest.h>

#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

class DriverLoad : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    allocationsAtStart_ = host::OutstandingAllocations();
  }
  void TearDown() override {
    if (host::IsDriverLoaded(kDorvaneService)) host::UnloadDriver(kDorvaneService);
    EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
    EXPECT_EQ(host::OutstandingAllocations(), allocationsAtStart_);
    TempDirTest::TearDown();
  }

  size_t allocationsAtStart_ = 0;
};

// A driver of another service that owns \Device\Dorvane.
NTSTATUS SquatterEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  UNICODE_STRING name = DORVANE_CONSTANT_STRING("\\Device\\Dorvane");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(DriverObject, 0, &name, FILE_DEVICE_DISK, 0,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  DriverObject->DriverUnload = [](PDRIVER_OBJECT Driver) { IoDeleteDevice(Driver->DeviceObject); };
  return STATUS_SUCCESS;
}

TEST_F(DriverLoad, LoadMakesDeviceLinkAndDispatchTable) {
  ASSERT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_SUCCESS);
  EXPECT_TRUE(host::DeviceExists(kDeviceName));
  std::u16string target;
  ASSERT_TRUE(host::QuerySymbolicLink(kLinkName, &target));
  EXPECT_EQ(target, kDeviceName);
  EXPECT_EQ(host::CurrentDriverPaging(), host::DriverPaging::Pageable);

  PDRIVER_OBJECT driver = host::DriverObjectOf(kDorvaneService);
  ASSERT_NE(driver, nullptr);
  PDEVICE_OBJECT device = driver->DeviceObject;
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->NextDevice, nullptr);
  EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_NULL));
  EXPECT_EQ(device->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_EXCLUSIVE), ULONG(DO_DIRECT_IO));
  EXPECT_EQ(device->Characteristics, 0u);
  EXPECT_EQ(device->DeviceExtension, nullptr);
  EXPECT_EQ(driver->DriverUnload, &DriverUnload);

  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &DispatchCreate);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &DispatchClose);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], &DispatchReadWrite);
  EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], &DispatchReadWrite);
  // Majors the driver never handles keep the system's refusal.
  PDRIVER_DISPATCH refusal = driver->MajorFunction[IRP_MJ_CLEANUP];
  for (UCHAR major : {IRP_MJ_CREATE_NAMED_PIPE, IRP_MJ_QUERY_EA, IRP_MJ_SET_EA,
                      IRP_MJ_DIRECTORY_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_LOCK_CONTROL}) {
    EXPECT_EQ(driver->MajorFunction[major], refusal) << int(major);
  }
  for (PDRIVER_DISPATCH handler : {&DispatchCreate, &DispatchClose, &DispatchReadWrite}) {
    EXPECT_NE(refusal, handler);
  }
}

TEST_F(DriverLoad, UnloadRemovesLinkAndDevice) {
  ASSERT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_SUCCESS);
  ASSERT_EQ(host::UnloadDriver(kDorvaneService), STATUS_SUCCESS);
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
  EXPECT_FALSE(host::DeviceExists(kDeviceName));
  EXPECT_FALSE(host::QuerySymbolicLink(kLinkName, nullptr));
  // Nothing of the first load is in the way of a second.
  EXPECT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_SUCCESS);
}

TEST_F(DriverLoad, LinkFailureDeletesTheDevice) {
  ASSERT_EQ(host::CreateSymbolicLink(u"\\??\\Dorvane", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
  EXPECT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
  EXPECT_FALSE(host::DeviceExists(kDeviceName));
  std::u16string target;
  ASSERT_TRUE(host::QuerySymbolicLink(kLinkName, &target));
  EXPECT_EQ(target, u"\\Device\\Elsewhere") << "someone else's link is left alone";
  ASSERT_EQ(host::DeleteSymbolicLink(kLinkName), STATUS_SUCCESS);
}

TEST_F(DriverLoad, DeviceFailureFailsTheLoadWithoutALink) {
  ASSERT_EQ(host::LoadDriver(SquatterEntry, u"Squatter"), STATUS_SUCCESS);
  EXPECT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
  EXPECT_FALSE(host::QuerySymbolicLink(kLinkName, nullptr));
  EXPECT_EQ(host::UnloadDriver(u"Squatter"), STATUS_SUCCESS);
  EXPECT_FALSE(host::DeviceExists(kDeviceName));
}

TEST_F(DriverLoad, UnloadWaitsForTheLastFileObject) {
  std::string path = File("fixed.vhd");
  MakeFixedImage(path, 1 << 20);
  ASSERT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_SUCCESS);
  host::DeviceFile file;
  ASSERT_EQ(host::DeviceFile::Open(kLinkName + NtName(path), SynchronousOpen(), &file).Status,
            STATUS_SUCCESS);
  host::DeviceFile second = file.Duplicate();

  ASSERT_EQ(host::UnloadDriver(kDorvaneService), STATUS_SUCCESS);
  EXPECT_TRUE(host::IsDriverLoaded(kDorvaneService));
  EXPECT_TRUE(host::DeviceExists(kDeviceName));
  host::DeviceFile refused;
  EXPECT_EQ(host::DeviceFile::Open(kDeviceName + NtName(path), SynchronousOpen(), &refused).Status,
            STATUS_NO_SUCH_DEVICE);

  char buffer[512];
  EXPECT_EQ(file.ReadAt(buffer, sizeof(buffer), 0).Information, sizeof(buffer));
  file.Close();
  EXPECT_TRUE(host::IsDriverLoaded(kDorvaneService)) << "a handle remains";
  second.Close();
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
  EXPECT_FALSE(host::DeviceExists(kDeviceName));
  EXPECT_FALSE(host::QuerySymbolicLink(kLinkName, nullptr));
}

}  // namespace
}  // namespace dorvane::test
