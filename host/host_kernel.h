// The host kernel (host/): the NT kernel services the driver calls, over
// POSIX, by component: the executive and run-time library (executive/), the
// object manager and names (objects/), the file services (files/) and the
// I/O manager (io/); the driver sees them only through kernel/kernel.h.
// This header is the host-side control of it for the command and tests: the
// object-name tables, status names, debug output and verbosity, pool and
// handle accounting and per-thread execution state. The I/O manager's client
// is io_client.h; what only tests use (fault injection, power loss, the
// kernel-stack budget) is the testing library, testing/host_testing.h.
// Where the host knowingly differs from NT is listed in NT_DIFFERENCES.md.
#pragma once

#include <kernel_services.h>

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

// --- Object names --------------------------------------------------------------

// \??\X:\... maps below `dir`. Letters are case-insensitive; an empty dir
// removes the drive. Z: is / unless remapped.
void MapDrive(char letter, const std::string& dir);
// \Device\Mup\server\share\... maps below `dir` (names case-insensitive);
// an empty dir removes the share.
void MapShare(const std::string& server, const std::string& share, const std::string& dir);
// The \??\X:\... name of a host path, relative paths taken from the current
// directory; the longest mapped drive prefix wins, Z: last.
std::u16string NtPathForHostPath(const std::string& path);
// The host path of an NT object name, or the NTSTATUS the object manager
// would give for it.
NTSTATUS HostPathForNtName(const std::u16string& ntName, bool caseInsensitive, std::string* out);

// UTF-16 to UTF-8 and back, the one conversion of names between NT and the
// host. *valid (may be null) is false when the input was not well formed:
// unpaired surrogates become U+FFFD, and the UTF-8 conversion stops at the
// first ill-formed sequence.
std::string Utf8FromUtf16(const std::u16string& text, bool* valid = nullptr);
std::u16string Utf16FromUtf8(const std::string& text, bool* valid = nullptr);

// Kernel handles open in the process.
size_t OpenHandleCount();

// "STATUS_FILE_CORRUPT_ERROR" for every status the kernel services declare,
// "STATUS_UNKNOWN" for others (never null).
const char* StatusName(NTSTATUS status);

}  // namespace host
