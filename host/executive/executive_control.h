// Host-side control of the executive, for the command and tests (through
// host/host_kernel.h): pool accounting, captured debug output and verbosity,
// the calling thread's execution state, the conversion of names between
// UTF-16 and UTF-8, and the names of statuses.
#pragma once

#include "host/executive/executive.h"
#include "host/nt/nt_text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// --- Pool -------------------------------------------------------------------

// Pool allocations made and not yet freed.
size_t OutstandingAllocations();

// --- Debug output --------------------------------------------------------------

std::vector<std::string> DebugOutput();
void ClearDebugOutput();
uint64_t BreakpointCount();
void ResetBreakpointCount();
// Also prints debug output and breakpoints to stderr.
void SetVerbose(bool verbose);
// Whether a kernel debugger is attached (KD_DEBUGGER_ENABLED and not
// KD_DEBUGGER_NOT_PRESENT). Attached by default; without one, DbgBreakPoint
// bug checks.
void SetKernelDebuggerPresent(bool present);

// --- Execution state of the calling thread ------------------------------------

void SetCurrentIrql(KIRQL irql);
void SetPreviousMode(KPROCESSOR_MODE mode);

// --- Names and statuses ----------------------------------------------------------

inline const char* StatusName(NTSTATUS status) { return StatusNameOf(static_cast<uint32_t>(status)); }

}  // namespace host
