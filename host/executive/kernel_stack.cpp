// The kernel stack of host threads. A thread enters the kernel when it makes
// a client request (KernelEntry); the frame it entered at is the top of its
// kernel stack. The stack left is the host thread's own, unless a test's
// budget (through the testing library's hook) counts what a request nests
// below its entry, as a 24 KiB kernel stack counts on NT.
#include "host/executive/executive_internal.h"
#include "host/executive/test_hooks.h"

#include <pthread.h>

namespace host {

namespace {

// Lowest address of the host thread's stack, once known.
thread_local uintptr_t hostStackLimit = 0;

uintptr_t CurrentFrame() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

uintptr_t HostStackLimit() {
  if (hostStackLimit != 0) return hostStackLimit;
  pthread_attr_t attributes;
  void* base = nullptr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
  }
  hostStackLimit = reinterpret_cast<uintptr_t>(base);
  return hostStackLimit;
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

}  // namespace host

extern "C" ULONG_PTR NTAPI IoGetRemainingStackSize(VOID) {
  uintptr_t here = host::CurrentFrame();
  uintptr_t limit = host::HostStackLimit();
  size_t remaining = here > limit ? here - limit : 0;
  if (host::testHooks.remainingStack == nullptr) return remaining;
  uintptr_t top = host::CurrentThread().kernelEntryFrame;
  size_t used = top > here ? top - here : 0;
  return host::testHooks.remainingStack(remaining, top != 0, used);
}
