// The kernel stack of host threads. A thread enters the kernel when it makes
// a client request (KernelEntry); the frame it entered at is the top of its
// kernel stack, and everything the request nests below it counts against the
// budget a test set, as a 24 KiB kernel stack counts on NT. Without a budget
// the stack is the host thread's own.
#include "host/executive/executive_internal.h"

#include <pthread.h>

#include <algorithm>

namespace host {

namespace {

struct KernelStack {
  size_t budget = 0;        // 0: the host thread's own stack
  uintptr_t hostLimit = 0;  // lowest address of the host thread's stack, once known
  std::vector<size_t> reports;
};
thread_local KernelStack kernelStack;

uintptr_t CurrentFrame() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

uintptr_t HostStackLimit() {
  if (kernelStack.hostLimit != 0) return kernelStack.hostLimit;
  pthread_attr_t attributes;
  void* base = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
  }
  kernelStack.hostLimit = reinterpret_cast<uintptr_t>(base);
  return kernelStack.hostLimit;
}

}  // namespace

KernelEntry::KernelEntry() {
  ThreadState& thread = CurrentThread();
  if (thread.kernelEntryFrame == 0) thread.kernelEntryFrame = CurrentFrame();
}

bool OnKernelStack(const void* address, size_t length) {
  uintptr_t top = CurrentThread().kernelEntryFrame;
  if (top == 0) return false;
  auto first = reinterpret_cast<uintptr_t>(address);
  return first + length > CurrentFrame() && first < top;
}

void SetKernelStackBudget(size_t bytes) { kernelStack.budget = bytes; }

std::vector<size_t> RemainingStackReports() { return kernelStack.reports; }

void ResetKernelStack() {
  kernelStack.budget = 0;
  kernelStack.reports.clear();
}

}  // namespace host

using host::kernelStack;

extern "C" ULONG_PTR NTAPI IoGetRemainingStackSize(VOID) {
  uintptr_t here = host::CurrentFrame();
  uintptr_t limit = host::HostStackLimit();
  size_t remaining = here > limit ? here - limit : 0;
  uintptr_t top = host::CurrentThread().kernelEntryFrame;
  if (kernelStack.budget != 0 && top != 0) {
    size_t used = top > here ? top - here : 0;
    remaining = std::min(remaining, used >= kernelStack.budget ? 0 : kernelStack.budget - used);
  }
  if (kernelStack.budget != 0) kernelStack.reports.push_back(remaining);
  return remaining;
}
