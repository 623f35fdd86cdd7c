// Driver tests through the host I/O manager.
#include "driver_client.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "image_builder.h"

namespace dorvane::test {

host::OpenParameters SynchronousOpen(ACCESS_MASK access) {
  host::OpenParameters parameters;
  parameters.desiredAccess = access;
  return parameters;
}

host::OpenParameters OverlappedOpen(ACCESS_MASK access) {
  host::OpenParameters parameters = SynchronousOpen(access);
  parameters.options = FILE_NON_DIRECTORY_FILE;
  return parameters;
}

void DriverTest::SetUp() {
  TempDirTest::SetUp();
  host::ClearErrorLog();
  host::FailMapping(0);
  host::FailErrorLogAllocation(0);
  allocationsAtStart_ = host::OutstandingAllocations();
  ASSERT_EQ(host::LoadDriver(DriverEntry, kDorvaneService), STATUS_SUCCESS);
}

void DriverTest::TearDown() {
  host::SetCurrentIrql(PASSIVE_LEVEL);
  if (host::IsDriverLoaded(kDorvaneService)) {
    EXPECT_EQ(host::UnloadDriver(kDorvaneService), STATUS_SUCCESS);
  }
  EXPECT_FALSE(host::IsDriverLoaded(kDorvaneService)) << "a handle was left open";
  EXPECT_EQ(host::OutstandingAllocations(), allocationsAtStart_) << "pool leaked";
  host::ClearErrorLog();
  TempDirTest::TearDown();
}

IO_STATUS_BLOCK DriverTest::OpenImage(const std::string &path,
                                      const host::OpenParameters &parameters,
                                      host::DeviceFile *file) {
  return host::DeviceFile::Open(kDeviceName + NtName(path), parameters, file);
}

host::DeviceFile DriverTest::OpenImageOrFail(const std::string &path,
                                             const host::OpenParameters &parameters) {
  host::DeviceFile file;
  IO_STATUS_BLOCK status = OpenImage(path, parameters, &file);
  EXPECT_EQ(status.Status, STATUS_SUCCESS) << host::StatusName(status.Status);
  return file;
}

FileCallLatch::FileCallLatch(host::FileCall call, std::string pathSuffix, size_t count)
    : call_(call), pathSuffix_(std::move(pathSuffix)), toHold_(count) {
  host::SetFileCallHook([this](host::FileCall kind, const std::string &hostPath) {
    bool matches = kind == call_ && hostPath.size() >= pathSuffix_.size() &&
                   hostPath.compare(hostPath.size() - pathSuffix_.size(), pathSuffix_.size(),
                                    pathSuffix_) == 0;
    if (!matches) return;
    std::unique_lock<std::mutex> guard(lock_);
    if (released_ || toHold_ == 0) return;
    --toHold_;
    ++held_;
    changed_.notify_all();
    changed_.wait(guard, [this] { return released_; });
  });
}

FileCallLatch::~FileCallLatch() {
  Release();
  host::SetFileCallHook(nullptr);
}

void FileCallLatch::WaitUntilHeld(size_t held) {
  std::unique_lock<std::mutex> guard(lock_);
  // Calls that never arrive are queued in front of the file system: the test
  // fails, and the calls held so far go on so that nothing hangs.
  if (!changed_.wait_for(guard, std::chrono::seconds(30), [&] { return held_ >= held; })) {
    ADD_FAILURE() << "only " << held_ << " of " << held << " calls reached the file system";
    released_ = true;
    changed_.notify_all();
  }
}

void FileCallLatch::Release() {
  std::lock_guard<std::mutex> guard(lock_);
  released_ = true;
  changed_.notify_all();
}

size_t CountDebugMessages(const std::string &message) {
  auto output = host::DebugOutput();
  return size_t(std::count(output.begin(), output.end(), message));
}

}  // namespace dorvane::test
