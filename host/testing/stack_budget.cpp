// The kernel-stack budget of a test: while set on a thread, what
// IoGetRemainingStackSize reports there is cut to the budget less what the
// thread used since its kernel entry, and every report is kept.
#include "host/testing/testing_internal.h"

#include <algorithm>

namespace host {

namespace {

struct StackBudget {
  size_t bytes = 0;  // 0: the host thread's own stack
  std::vector<size_t> reports;
};
thread_local StackBudget budget;

size_t RemainingStack(size_t remaining, bool inKernel, size_t usedSinceEntry) {
  if (budget.bytes == 0) return remaining;
  if (inKernel) {
    remaining = std::min(remaining,
                         usedSinceEntry >= budget.bytes ? 0 : budget.bytes - usedSinceEntry);
  }
  budget.reports.push_back(remaining);
  return remaining;
}

const HookInstaller installer([] {
  testHooks.remainingStack = RemainingStack;
});

}  // namespace

void SetKernelStackBudget(size_t bytes) { budget.bytes = bytes; }

std::vector<size_t> RemainingStackReports() { return budget.reports; }

void ResetKernelStack() {
  budget.bytes = 0;
  budget.reports.clear();
}

}  // namespace host
