// The dorvane command's disk layer as a client of the driver: it loads the
// driver for as long as it needs it, and waits out busy refusals instead of
// failing.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/testing/host_testing.h"
#include "tools/disk/disk_access.h"
#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

class DriverDiskAccess : public TempDirTest {};

TEST_F(DriverDiskAccess, LoadsTheDriverWhileADiskIsOpen) {
  std::string path = File("disk.vhd");
  MakeFixedImage(path, 1 << 20);
  {
    Disk first, second;
    ASSERT_EQ(first.OpenDisk(path, false), STATUS_SUCCESS);
    ASSERT_EQ(second.OpenDisk(path, false), STATUS_SUCCESS);
    first.Close();
    EXPECT_TRUE(host::IsDriverLoaded(kDorvaneService));
    uint8_t last = 0;
    uint32_t moved = 0;
    EXPECT_EQ(second.ReadDisk((1u << 20) - 1, &last, 1, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1u);
  }
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
  // A failed open leaves nothing loaded and reports the driver's status.
  Disk missing;
  EXPECT_EQ(missing.OpenDisk(File("missing.vhd"), false), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService));
}

// A write that finds a read in progress on the same handle is refused busy by
// the driver; the layer retries it until the read is done.
TEST_F(DriverDiskAccess, BusyRequestsAreRetried) {
  std::string path = File("disk.vhd");
  MakeFixedImage(path, 1 << 20);
  Disk disk;
  ASSERT_EQ(disk.OpenDisk(path, true), STATUS_SUCCESS);
  Bytes buffer(4096), data(4096, 0x6D);
  NTSTATUS readStatus = STATUS_UNSUCCESSFUL, writeStatus = STATUS_UNSUCCESSFUL;
  uint32_t moved = 0, readMoved = 0;
  {
    FileCallLatch latch(host::FileCall::Read, "disk.vhd", 1);
    std::thread reader([&] { readStatus = disk.ReadDisk(0, buffer.data(), 4096, &readMoved); });
    latch.WaitUntilHeld(1);
    std::thread writer([&] { writeStatus = disk.WriteDisk(0, data.data(), 4096, &moved); });
    // Time for the writer's first attempts to meet the read. The outcome
    // holds however the two interleave; the pause only makes sure the retry
    // is what gets it there.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host::FileCallCount(host::FileCall::Write, "disk.vhd"), 0u);
    latch.Release();
    reader.join();
    writer.join();
  }
  EXPECT_EQ(readStatus, STATUS_SUCCESS);
  EXPECT_EQ(writeStatus, STATUS_SUCCESS);
  EXPECT_EQ(moved, 4096u);
  EXPECT_EQ(PeekFile(path, 0, 4096), data);
}

}  // namespace
}  // namespace dorvane::test
