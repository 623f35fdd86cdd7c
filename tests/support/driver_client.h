// Driver tests through the host I/O manager: a fixture that loads the driver
// before each test and unloads it after, checking that nothing stayed behind,
// and helpers to open images below its device as a client would.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

#include "driver/driver.h"
#include "host/testing/host_testing.h"
#include "host/io/io_client.h"
#include "temp_dir.h"

namespace dorvane::test {

inline const std::u16string kDorvaneService = u"Dorvane";
inline const std::u16string kDeviceName = u"\\Device\\Dorvane";
inline const std::u16string kLinkName = u"\\DosDevices\\Dorvane";

// Desired access of a client that reads and writes, and of one that only reads.
constexpr ACCESS_MASK kReadWriteAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
constexpr ACCESS_MASK kReadOnlyAccess = GENERIC_READ | SYNCHRONIZE;

// Open parameters of a synchronous handle (serialised requests, file position)
// and of a handle that takes requests from several threads at once.
host::OpenParameters SynchronousOpen(ACCESS_MASK access = kReadWriteAccess);
host::OpenParameters OverlappedOpen(ACCESS_MASK access = kReadWriteAccess);

// Fixture: temporary folder, host state reset, driver loaded (SetUp asserts the
// load); at TearDown the driver is unloaded and every pool allocation made
// during the test must have been freed.
class DriverTest : public TempDirTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens the image at a host path through \Device\Dorvane.
  IO_STATUS_BLOCK OpenImage(const std::string &path, const host::OpenParameters &parameters,
                            host::DeviceFile *file);
  // Same, expecting success.
  host::DeviceFile OpenImageOrFail(const std::string &path,
                                   const host::OpenParameters &parameters = SynchronousOpen());

 private:
  size_t allocationsAtStart_ = 0;
};

// Holds the first `count` file calls of one kind on files whose host path ends
// with `pathSuffix` inside the host file system, until Release(), so that a
// test can act while those requests are in progress. Installs the host
// kernel's file-call hook; the destructor releases and removes it.
class FileCallLatch {
 public:
  FileCallLatch(host::FileCall call, std::string pathSuffix, size_t count);
  ~FileCallLatch();
  FileCallLatch(const FileCallLatch &) = delete;
  FileCallLatch &operator=(const FileCallLatch &) = delete;

  // Blocks until `held` calls are being held; after 30 s without them the
  // test fails and every call is released.
  void WaitUntilHeld(size_t held);
  void Release();

 private:
  const host::FileCall call_;
  const std::string pathSuffix_;
  std::mutex lock_;
  std::condition_variable changed_;
  size_t toHold_;
  size_t held_ = 0;
  bool released_ = false;
};

// A request's status and byte count, compared as one.
using Outcome = std::pair<NTSTATUS, ULONG_PTR>;
inline Outcome OutcomeOf(const IO_STATUS_BLOCK &status) {
  return {status.Status, status.Information};
}

// The lines of captured debug output equal to `message`.
size_t CountDebugMessages(const std::string &message);

}  // namespace dorvane::test
