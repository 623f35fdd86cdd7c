// Requests that would endanger the kernel rather than the image: names that
// lead back into the driver's own device, clients granted only append access,
// the consistency breakpoint without a kernel debugger, parent chains opened
// with little kernel stack left, and user-mode clients whose requests the driver
// must serve with kernel-mode file calls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "host/host_files.h"
#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kDiskSize = 1ull << 20;
constexpr ULONG kChunk = 4096;

class DriverKernelSafety : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path_ = File("safe.vhd");
    MakeFixedImage(path_, kDiskSize);
    PokeFile(path_, 0, PatternBytes(kChunk, 3));
  }

  // A differencing child of path_ whose only locator holds `locator`.
  std::string MakeChild(const std::u16string &locator) {
    std::string child = File("child.vhd");
    MakeDifferencingImage(child, path_);
    ClearLocators(child);
    SetLocator(child, 7, "W2ku", locator);
    return child;
  }

  static IO_STATUS_BLOCK OpenByName(const std::u16string &name, host::DeviceFile *file,
                                    ACCESS_MASK access = kReadWriteAccess) {
    return host::DeviceFile::Open(name, SynchronousOpen(access), file);
  }

  std::string path_;
};

// A kernel-mode ZwCreateFile of a name below the device, by any of its names
// and in any case, is a create request to the driver, as on NT. The handle
// serves close only (NT difference "device-handles").
TEST_F(DriverKernelSafety, KernelCreatesOfDeviceNamesReachTheDriver) {
  for (const char16_t *device :
       {u"\\Device\\Dorvane", u"\\??\\dorvane", u"\\DosDevices\\DORVANE", u"\\GLOBAL??\\Dorvane"}) {
    SCOPED_TRACE(host::Utf8FromUtf16(device));
    host::ClearCreateHistory();
    std::u16string name = device + NtName(path_);
    UNICODE_STRING unicodeName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    Opened open{ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &attributes, &iosb, nullptr,
                             FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                             FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
                handle, iosb.Information};
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    std::vector<host::CreateRecord> creates = host::CreateHistory();
    ASSERT_EQ(creates.size(), 2u) << "the device's create and, nested in it, the image's";
    EXPECT_EQ(creates[0].hostPath, path_);
    EXPECT_EQ(ReadAt(open.handle, 0, 16).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ZwClose(open.Release()), STATUS_SUCCESS);
  }
}

// The name's tail after \Device\Dorvane leads back into the device: refused
// before any file is opened, however it is spelled. A folder that merely has
// the device's name is an ordinary folder.
TEST_F(DriverKernelSafety, NamesLeadingBackIntoTheDeviceAreRefusedBeforeAnyOpen) {
  std::u16string image = NtName(path_);
  std::string folder = File("Dorvane");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::string inFolder = folder + "/in.vhd";
  MakeFixedImage(inFolder, kDiskSize);
  std::u16string deep;
  for (int level = 0; level < 200; ++level) deep += u"\\??\\Dorvane";
  struct Case {
    std::u16string name;
    NTSTATUS status;
  } cases[] = {
      {kDeviceName + u"\\??\\Dorvane" + image, STATUS_OBJECT_NAME_INVALID},             // 0
      {kLinkName + u"\\Device\\Dorvane" + image, STATUS_OBJECT_NAME_INVALID},           // 1
      {kDeviceName + u"\\GLOBAL??\\dORVANE" + image, STATUS_OBJECT_NAME_INVALID},       // 2
      {kDeviceName + u"\\DosDevices\\DORVANE" + image, STATUS_OBJECT_NAME_INVALID},     // 3
      {kDeviceName + u"\\??\\Global\\Dorvane" + image, STATUS_OBJECT_NAME_INVALID},     // 4
      {kDeviceName + u"\\??\\GLOBALROOT\\Device\\Dorvane" + image, STATUS_OBJECT_NAME_INVALID},
      {kDeviceName + u"\\Device\\Dorvane", STATUS_OBJECT_NAME_INVALID},                 // 6
      {kDeviceName + deep + image, STATUS_OBJECT_NAME_INVALID},                         // 7
      {kDeviceName + NtName(inFolder), STATUS_SUCCESS},                                 // 8
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    host::ClearCreateHistory();
    host::ClearDebugOutput();
    host::DeviceFile file;
    EXPECT_EQ(OpenByName(cases[i].name, &file).Status, cases[i].status);
    if (cases[i].status == STATUS_SUCCESS) continue;
    EXPECT_TRUE(host::CreateHistory().empty()) << "a file was opened";
    ASSERT_EQ(host::DebugOutput().size(), 1u);
    EXPECT_EQ(host::DebugOutput()[0].rfind("Dorvane: Image path leads back to the Dorvane device", 0),
              0u);
  }
}

// A parent locator in the device form of the driver's own link names a
// parent below the device: the parent is not opened through it.
TEST_F(DriverKernelSafety, ParentLocatorLeadingIntoTheDeviceIsRefused) {
  std::u16string parent = NtName(path_);
  std::string child = MakeChild(u"\\\\.\\Dorvane" + parent);
  host::ClearCreateHistory();
  host::DeviceFile file;
  EXPECT_EQ(OpenByName(kDeviceName + NtName(child), &file, kReadOnlyAccess).Status,
            STATUS_OBJECT_NAME_INVALID);
  ASSERT_EQ(host::CreateHistory().size(), 1u) << "only the child is opened";
  EXPECT_EQ(host::CreateHistory()[0].hostPath, child);
}

// Append access sets the file object's write flag as write access does, but
// the engine writes at any offset: only FILE_WRITE_DATA admits writes.
TEST_F(DriverKernelSafety, AppendOnlyClientsCannotWrite) {
  Bytes before = ReadFileBytes(path_);
  host::DeviceFile file;
  ASSERT_EQ(OpenByName(kDeviceName + NtName(path_), &file,
                       FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE)
                .Status,
            STATUS_SUCCESS);
  Bytes data(kChunk, 0x5A);
  EXPECT_EQ(file.WriteAt(data.data(), kChunk, 0).Status, STATUS_ACCESS_DENIED);
  Bytes read(kChunk);
  EXPECT_EQ(file.ReadAt(read.data(), kChunk, 0).Status, STATUS_SUCCESS);
  EXPECT_EQ(read, PatternBytes(kChunk, 3));
  file.Close();
  EXPECT_EQ(ReadFileBytes(path_), before);
}

// The gate's consistency assertion prints its message always and breaks only
// into an attached debugger; without one the host bug checks as NT would
// (NT difference "debugger-attached": the host starts with one).
TEST_F(DriverKernelSafety, BrokenGateBreaksOnlyIntoAnAttachedDebugger) {
  for (bool attached : {true, false}) {
    SCOPED_TRACE(attached);
    host::SetKernelDebuggerPresent(attached);
    host::ResetBreakpointCount();
    host::ClearDebugOutput();
    host::DeviceFile file;
    ASSERT_EQ(OpenByName(kDeviceName + NtName(path_), &file).Status, STATUS_SUCCESS);
    BoundImage(file.FileObject())->SharedCount = -1;
    Bytes read(kChunk);
    EXPECT_EQ(file.ReadAt(read.data(), kChunk, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(host::BreakpointCount(), attached ? 2u : 0u);
    EXPECT_EQ(CountDebugMessages("Dorvane: I/O synchronization state corrupt.\n"), 2u);
    BoundImage(file.FileObject())->SharedCount = 0;
  }
}

// The images of a chain open one after the other at one depth of the kernel
// stack: the budget that just lets the deepest chain's first parent open
// lets all of them open, and one byte less refuses that parent cleanly
// (NT difference "kernel-stack": the budget is measured on the host's
// frames, not NT's).
TEST_F(DriverKernelSafety, ParentsOpenAtOneStackDepthWhateverTheChainLength) {
  std::string top = path_;
  for (int level = 1; level < IMAGE_CHAIN_DEPTH_LIMIT; ++level) {
    std::string child = File("level" + std::to_string(level) + ".vhd");
    MakeDifferencingImage(child, top);
    top = child;
  }
  std::u16string name = kDeviceName + NtName(top);
  constexpr size_t kMeasuringBudget = 1u << 20;
  host::SetKernelStackBudget(kMeasuringBudget);
  {
    host::DeviceFile file;
    ASSERT_EQ(OpenByName(name, &file, kReadOnlyAccess).Status, STATUS_SUCCESS);
  }
  std::vector<size_t> reports = host::RemainingStackReports();
  ASSERT_EQ(reports.size(), size_t(IMAGE_CHAIN_DEPTH_LIMIT)) << "one check per image opened";
  for (size_t i = 2; i < reports.size(); ++i) EXPECT_EQ(reports[i], reports[1]) << "image " << i;
  size_t parentUse = kMeasuringBudget - reports[1];

  struct Case {
    size_t budget;
    NTSTATUS status;
    size_t opened;
  } cases[] = {
      {parentUse + IMAGE_OPEN_STACK_RESERVE - 1, STATUS_TOO_MANY_LINKS, 1},  // 0: parent refused
      {parentUse + IMAGE_OPEN_STACK_RESERVE, STATUS_SUCCESS, IMAGE_CHAIN_DEPTH_LIMIT},  // 1: all
      {1024, STATUS_TOO_MANY_LINKS, 0},                                      // 2: nothing opened
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    host::SetKernelStackBudget(cases[i].budget);
    host::ClearCreateHistory();
    host::DeviceFile file;
    EXPECT_EQ(OpenByName(name, &file, kReadOnlyAccess).Status, cases[i].status);
    EXPECT_EQ(host::CreateHistory().size(), cases[i].opened);
  }
}

// A user-mode client's requests reach the driver with previous mode UserMode;
// the driver's own file calls use kernel handles and kernel buffers, which
// only the Zw entry points accept from such a thread.
TEST_F(DriverKernelSafety, UserModeClientsAreServedThroughKernelModeFileCalls) {
  host::SetPreviousMode(UserMode);
  host::DeviceFile file;
  ASSERT_EQ(OpenByName(kDeviceName + NtName(path_), &file).Status, STATUS_SUCCESS);
  Bytes data(kChunk, 0x77), read(kChunk);
  EXPECT_EQ(file.WriteAt(data.data(), kChunk, kChunk).Status, STATUS_SUCCESS);
  EXPECT_EQ(file.ReadAt(read.data(), kChunk, kChunk).Status, STATUS_SUCCESS);
  EXPECT_EQ(read, data);
  file.Close();
  host::SetPreviousMode(KernelMode);
}

}  // namespace
}  // namespace dorvane::test
