// What the parts of the testing library offer one another.
#pragma once

#include "host/testing/host_testing.h"

namespace host {

// From now on no mutating file call reaches the disk, until ClearFaults.
void MarkCrashed();
// Forgets the calling thread's stack budget and what was reported under it.
void ResetKernelStack();

}  // namespace host
