// Failures of executive and I/O manager services a test asks for: the nth
// pool allocation, error-log entry or MDL mapping from now, and the next
// identifiers, each failing as the service does when it has nothing to give.
#include "host/testing/testing_internal.h"

#include <atomic>
#include <mutex>

namespace host {

namespace {

std::mutex countLock;
// Calls left until the one that fails; 0 when none is to fail.
uint64_t allocationsUntilFailure = 0;
uint64_t mappingsUntilFailure = 0;
uint64_t errorLogAllocationsUntilFailure = 0;
uint64_t mappings = 0;
std::atomic<uint64_t> uuidFailuresPending{0};

// Counts one call down; true when it is the one to fail.
bool CountDown(uint64_t& untilFailure) {
  std::lock_guard<std::mutex> guard(countLock);
  return untilFailure != 0 && --untilFailure == 0;
}

void Arm(uint64_t& untilFailure, uint64_t nth) {
  std::lock_guard<std::mutex> guard(countLock);
  untilFailure = nth;
}

const HookInstaller installer([] {
  testHooks.failPoolAllocation = [] { return CountDown(allocationsUntilFailure); };
  testHooks.failErrorLogAllocation = [] { return CountDown(errorLogAllocationsUntilFailure); };
  testHooks.failMapping = [] {
    {
      std::lock_guard<std::mutex> guard(countLock);
      ++mappings;
    }
    return CountDown(mappingsUntilFailure);
  };
  testHooks.failUuidCreate = [] {
    uint64_t pending = uuidFailuresPending.load();
    while (pending != 0 && !uuidFailuresPending.compare_exchange_weak(pending, pending - 1)) {
    }
    return pending != 0;
  };
});

}  // namespace

void FailAllocation(uint64_t nth) { Arm(allocationsUntilFailure, nth); }
void FailMapping(uint64_t nth) { Arm(mappingsUntilFailure, nth); }
void FailErrorLogAllocation(uint64_t nth) { Arm(errorLogAllocationsUntilFailure, nth); }
void FailUuidCreate(uint64_t count) { uuidFailuresPending = count; }

uint64_t MappingCount() {
  std::lock_guard<std::mutex> guard(countLock);
  return mappings;
}

}  // namespace host
