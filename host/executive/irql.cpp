// Execution state and spin locks: the per-thread IRQL and previous mode that
// tests set, the previous mode of Zw and Nt calls, bug checks, and in-stack
// queued spin locks with real mutual exclusion between host threads.
#include "host/executive/executive_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace host {

namespace {
thread_local ThreadState threadState;
}

ThreadState& CurrentThread() { return threadState; }

void SetCurrentIrql(KIRQL irql) { threadState.irql = irql; }
void SetPreviousMode(KPROCESSOR_MODE mode) { threadState.previousMode = mode; }

ZwCallMode::ZwCallMode() {
  ThreadState& thread = CurrentThread();
  if (thread.keepPreviousMode) {
    thread.keepPreviousMode = false;
  } else {
    thread.previousMode = KernelMode;
  }
}

KeepPreviousMode::KeepPreviousMode() { CurrentThread().keepPreviousMode = true; }

void BugCheck(const char* code, const char* format, ...) {
  fprintf(stderr, "*** host kernel bug check %s: ", code);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  fflush(stderr);
  abort();
}

void RequireIrqlAtMost(KIRQL maximum, const char* routine) {
  if (threadState.irql > maximum) {
    BugCheck("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u (at most %u allowed)", routine,
             threadState.irql, maximum);
  }
}

}  // namespace host

using host::threadState;

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) { return threadState.irql; }

extern "C" KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID) { return threadState.previousMode; }

extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// The lock word is 0 when free and 1 when held. Acquisition raises the
// thread to DISPATCH_LEVEL first, as NT does, so code under the lock that
// checks the IRQL sees what it would see on Windows. A host thread can be
// descheduled while holding the lock, so waiters yield instead of burning
// the shared cores.
extern "C" VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock,
                                                      PKLOCK_QUEUE_HANDLE LockHandle) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireInStackQueuedSpinLock");
  LockHandle->OldIrql = threadState.irql;
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  threadState.irql = DISPATCH_LEVEL;
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, 1, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      return;
    }
    if (spins >= 64) std::this_thread::yield();
  }
}

extern "C" VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  PKSPIN_LOCK SpinLock = LockHandle->LockQueue.Lock;
  if (SpinLock == nullptr || __atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 1) {
    host::BugCheck("SPIN_LOCK_NOT_OWNED", "KeReleaseInStackQueuedSpinLock of a lock not held");
  }
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  LockHandle->LockQueue.Lock = nullptr;
  threadState.irql = LockHandle->OldIrql;
}
