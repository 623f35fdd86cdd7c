// Shared internals of the executive: bug checks, the calling thread's
// execution state (IRQL, previous mode, kernel entry, the mode of Zw and Nt
// calls), pool membership, captured debug output and the errno map, as the
// other components of the host kernel use them. Not for the driver, tests or tools.
#pragma once

#include "host/executive/executive_control.h"

#include <cstdint>
#include <string>

namespace host {

// Stops the process as a bug check stops Windows: the code and a message on
// stderr, then abort() so a debugger or core dump shows the caller.
[[noreturn]] void BugCheck(const char* code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Execution state of the calling thread.
struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  KPROCESSOR_MODE previousMode = KernelMode;
  // Set by an Nt entry point for the Zw call it makes: that call keeps the
  // previous mode.
  bool keepPreviousMode = false;
  // The frame where the thread entered the kernel for a client request; 0
  // outside the kernel.
  uintptr_t kernelEntryFrame = 0;
};
ThreadState& CurrentThread();
// Bug check unless the calling thread runs at or below `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const char* routine);

// Changes the calling thread's execution state for the life of a scope; the
// state it had comes back when the scope ends.
class ThreadStateScope {
 public:
  ThreadStateScope(const ThreadStateScope&) = delete;
  ThreadStateScope& operator=(const ThreadStateScope&) = delete;

 protected:
  ThreadStateScope() : saved_(CurrentThread()) {}
  ~ThreadStateScope() { CurrentThread() = saved_; }

 private:
  ThreadState saved_;
};

// A system service called through its Zw entry point runs with previous mode
// KernelMode, the caller's mode coming back at return. The Nt entry points
// call the Zw ones after their own checks, under KeepPreviousMode, so that
// the service keeps the caller's mode.
class ZwCallMode : ThreadStateScope {
 public:
  ZwCallMode();
};
class KeepPreviousMode : ThreadStateScope {
 public:
  KeepPreviousMode();
};

// Marks the calling thread as running in the kernel for a client request,
// from the frame of the outermost entry until it returns; nested entries
// (a driver's own requests) change nothing.
class KernelEntry : ThreadStateScope {
 public:
  KernelEntry();
};
// True when [address, address + length) overlaps the part of the calling
// thread's stack below its kernel entry.
bool OnKernelStack(const void* address, size_t length);

// True when [address, address + length) overlaps a pool allocation.
bool InPool(const void* address, size_t length);

// The NTSTATUS the NT file system reports for a failed host call's errno.
NTSTATUS StatusFromErrno(int err);

// Appends one message to the captured debug output (and stderr if verbose).
void AppendDebugOutput(const std::string& message);
bool Verbose();

}  // namespace host
