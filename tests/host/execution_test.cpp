// Per-thread IRQL and previous mode, in-stack queued spin locks and events.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/host_kernel.h"

namespace dorvane::test {
namespace {

class HostExecution : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::ResetForTest(); }
};

TEST_F(HostExecution, IrqlAndPreviousModeArePerThreadWithNtDefaults) {
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
  EXPECT_EQ(KernelMode, ExGetPreviousMode());
  host::SetCurrentIrql(APC_LEVEL);
  host::SetPreviousMode(UserMode);
  KIRQL otherIrql = 0xFF;
  KPROCESSOR_MODE otherMode = -1;
  std::thread([&] {
    otherIrql = KeGetCurrentIrql();
    otherMode = ExGetPreviousMode();
  }).join();
  EXPECT_EQ(PASSIVE_LEVEL, otherIrql);
  EXPECT_EQ(KernelMode, otherMode);
  EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
  EXPECT_EQ(UserMode, ExGetPreviousMode());
}

TEST_F(HostExecution, SpinLockRaisesToDispatchAndRestoresTheOldIrql) {
  for (KIRQL start : {(KIRQL)PASSIVE_LEVEL, (KIRQL)APC_LEVEL, (KIRQL)DISPATCH_LEVEL}) {
    host::SetCurrentIrql(start);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_EQ(start, handle.OldIrql);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_EQ(start, KeGetCurrentIrql());
  }
}

TEST_F(HostExecution, SpinLockExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  // A non-atomic read-modify-write that loses updates without exclusion.
  volatile long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&lock, &handle);
        counter = counter + 1;
        KeReleaseInStackQueuedSpinLock(&handle);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(80000, counter);
}

TEST_F(HostExecution, NotificationEventReleasesAWaiterOnAnotherThread) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    released = true;
  });
  EXPECT_EQ(0, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
  waiter.join();
  EXPECT_TRUE(released);
  // A notification event stays signalled.
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
  EXPECT_EQ(1, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
}

TEST_F(HostExecution, SynchronizationEventIsResetByTheWaitItSatisfies) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll));
}

TEST_F(HostExecution, RelativeTimeoutExpires) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * 1000 * 20;  // 20 ms
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

using HostExecutionDeathTest = HostExecution;

TEST_F(HostExecutionDeathTest, WaitingWithATimeoutAtDispatchLevelIsABugCheck) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        host::SetCurrentIrql(DISPATCH_LEVEL);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
}  // namespace dorvane::test
