// Unique identifiers and timed waits: ExUuidCreate from the host's random
// source, and KeDelayExecutionThread as a real wait of the calling thread.
#include "host/executive/executive_internal.h"
#include "host/executive/test_hooks.h"

#include <chrono>
#include <random>
#include <thread>

namespace host {

namespace {

// 100 ns units between 1601-01-01 and 1970-01-01, the epochs of NT system
// time and of the host clock.
constexpr int64_t kEpochDifference = 116444736000000000ll;

int64_t SystemTimeNow() {
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100 +
         kEpochDifference;
}

}  // namespace

}  // namespace host

// A version 4 (random) identifier. A failure a test asks for is
// STATUS_RETRY, as ExUuidCreate gives before the system can make identifiers.
extern "C" NTSTATUS NTAPI ExUuidCreate(UUID *Uuid) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ExUuidCreate");
  if (host::FailsHere(host::testHooks.failUuidCreate)) return STATUS_RETRY;

  thread_local std::mt19937_64 generator{std::random_device{}()};
  uint64_t words[2] = {generator(), generator()};
  auto *bytes = reinterpret_cast<uint8_t *>(words);
  bytes[7] = uint8_t((bytes[7] & 0x0F) | 0x40);  // Data3 (little-endian): version 4
  bytes[8] = uint8_t((bytes[8] & 0x3F) | 0x80);  // variant 1
  static_assert(sizeof(UUID) == sizeof(words), "a UUID is 16 bytes");
  memcpy(Uuid, words, sizeof(words));
  return STATUS_SUCCESS;
}

// A negative interval is relative (100 ns units), a positive one an absolute
// system time. The wait is never alerted: the host delivers no APCs.
extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Interval) {
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  host::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  int64_t ticks = Interval->QuadPart < 0 ? -Interval->QuadPart
                                         : Interval->QuadPart - host::SystemTimeNow();
  if (ticks > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(ticks * 100));
  return STATUS_SUCCESS;
}
