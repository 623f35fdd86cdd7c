// What the parts of the testing library offer one another.
#pragma once

#include "host/testing/host_testing.h"

namespace host {

// From now on no mutating file call reaches the disk, until ClearFaults.
void MarkCrashed();
// Forgets the calling thread's stack budget and what was reported under it.
void ResetKernelStack();

// Runs `install` before main. Each part of the testing library fills its
// entries of testHooks with one, so that linking the part installs it.
struct HookInstaller {
  explicit HookInstaller(void (*install)()) { install(); }
};

}  // namespace host
