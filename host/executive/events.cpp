// Kernel events and waits. One host mutex and condition variable serve every
// KEVENT: waits are rare here (file requests complete before their call
// returns, so only a flush or a test waits), so simplicity wins over
// per-event wait queues.
#include "host/executive/executive_internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex eventLock;
std::condition_variable eventSignalled;

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsNtTime = 116444736000000000LL;

}  // namespace

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> guard(eventLock);
  Event->Header.Type = (UCHAR)Type;
  Event->Header.Signalling = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Reserved1 = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

// Returns the previous signal state. Wait == TRUE (the caller will wait
// right after, holding the dispatcher lock on NT) makes no difference here.
extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  LONG Previous;
  {
    std::lock_guard<std::mutex> guard(eventLock);
    Previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
  }
  eventSignalled.notify_all();
  return Previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
  std::lock_guard<std::mutex> guard(eventLock);
  Event->Header.SignalState = 0;
}

// Waits on a KEVENT. A synchronization event is reset by the wait it
// satisfies; a notification event stays signalled. Timeout: NULL waits
// forever, negative is relative and positive absolute, in 100 ns units.
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  // Only a zero timeout (a poll) may be used at DISPATCH_LEVEL.
  bool Poll = Timeout != nullptr && Timeout->QuadPart == 0;
  host::RequireIrqlAtMost(Poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");

  PRKEVENT Event = static_cast<PRKEVENT>(Object);
  if (Event->Header.Type != NotificationEvent && Event->Header.Type != SynchronizationEvent) {
    host::BugCheck("INVALID_DISPATCHER_OBJECT", "KeWaitForSingleObject on object %p of type %u",
                   Object, Event->Header.Type);
  }

  std::unique_lock<std::mutex> guard(eventLock);
  auto Signalled = [Event] { return Event->Header.SignalState != 0; };
  if (Timeout == nullptr) {
    eventSignalled.wait(guard, Signalled);
  } else if (!Signalled()) {
    // Absolute times are turned into an interval from now, so that neither
    // form overflows the clock's range.
    int64_t Interval = Timeout->QuadPart;
    if (Interval > 0) {
      auto SinceEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::system_clock::now().time_since_epoch());
      int64_t Now = SinceEpoch.count() * 10 + kUnixEpochAsNtTime;
      Interval = Now - Interval;  // negative while the time is ahead
    }
    if (Interval >= 0) return STATUS_TIMEOUT;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(-(Interval / 10));
    if (!eventSignalled.wait_until(guard, Deadline, Signalled)) return STATUS_TIMEOUT;
  }
  if (Event->Header.Type == SynchronizationEvent) Event->Header.SignalState = 0;
  return STATUS_SUCCESS;
}
