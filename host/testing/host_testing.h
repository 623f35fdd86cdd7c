// The host kernel's testing library (dorvane_host_testing), linked by tests
// and fuzzers and never by the shipped command: fault injection in file calls
// and executive services, counting of file calls and the history of creates,
// simulated power loss, the kernel-stack budget, and the reset tests run
// between cases. It reaches the host kernel through the hooks of
// host/executive/test_hooks.h, which it fills when linked.
#pragma once

#include "host/host_kernel.h"
#include "host/executive/test_hooks.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// --- Executive and I/O manager faults -------------------------------------------

// Makes the nth ExAllocatePoolWithTag from now (1 = the next) return NULL.
// 0 cancels.
void FailAllocation(uint64_t nth);
// Makes the next `count` ExUuidCreate calls fail with STATUS_RETRY (0 cancels).
void FailUuidCreate(uint64_t count);
// Makes the nth MmMapLockedPagesSpecifyCache from now (1 = the next) fail:
// NULL, or a bug check when the caller asked for one on failure. 0 cancels.
void FailMapping(uint64_t nth);
// Calls of MmMapLockedPagesSpecifyCache so far.
uint64_t MappingCount();
// Makes the nth IoAllocateErrorLogEntry from now (1 = the next) yield
// nothing. 0 cancels.
void FailErrorLogAllocation(uint64_t nth);

// --- File-call fault injection and counting ----------------------------------

struct FileFault {
  enum class Kind {
    Fail,     // the call fails with `status` and does nothing
    ShortBy,  // the call moves `bytes` fewer bytes than asked, and succeeds
    ShortTo,  // the call moves at most `bytes` bytes, and succeeds
    Crash,    // the call and every later mutating call fail with
              // STATUS_IO_DEVICE_ERROR, doing nothing (a power cut)
    PowerCut, // CutPower(`bytes` as the seed) first, then as Crash
  };
  Kind kind = Kind::Fail;
  NTSTATUS status = STATUS_IO_DEVICE_ERROR;
  uint64_t bytes = 0;

  static FileFault Fail(NTSTATUS s) { return {Kind::Fail, s, 0}; }
  static FileFault ShortBy(uint64_t n) { return {Kind::ShortBy, STATUS_SUCCESS, n}; }
  static FileFault ShortTo(uint64_t n) { return {Kind::ShortTo, STATUS_SUCCESS, n}; }
  static FileFault Crash() { return {Kind::Crash, STATUS_IO_DEVICE_ERROR, 0}; }
  static FileFault PowerCut(uint64_t seed) {
    return {Kind::PowerCut, STATUS_IO_DEVICE_ERROR, seed};
  }
};

// The nth call (1 = the next) of `call` on a file whose host path ends with
// `pathSuffix` (any file when empty) meets `fault`. Several may be pending.
void InjectFileFault(FileCall call, uint64_t nth, FileFault fault, std::string pathSuffix = "");
// Cancels pending faults and ends a simulated crash.
void ClearFaults();
// Calls of a kind since the last ResetFileCallCounts, on files whose host path
// ends with `pathSuffix` (all when empty).
uint64_t FileCallCount(FileCall call, const std::string& pathSuffix = "");
void ResetFileCallCounts();
// Called at the start of every read, write, set-information and control call
// (before faults apply), on the calling thread, without host-kernel locks held.
// nullptr clears it.
void SetFileCallHook(std::function<void(FileCall, const std::string& hostPath)> hook);

// --- Power loss -----------------------------------------------------------------

// What a cut leaves in space a kept change grew a file by and no kept write
// covered: zeros (NTFS, ext4...), or another file's old bytes (FAT, exFAT).
enum class UnwrittenSpace { Zeros, Stale };

// While armed, each file's writes, end-of-file changes and zeroed ranges since
// its last flush are kept (a flush of the file makes them durable). Arming
// or disarming forgets what was kept; ResetForTest disarms.
void ArmPowerLoss(bool arm, UnwrittenSpace grownSpace = UnwrittenSpace::Zeros);

struct PowerCutReport {
  uint64_t pending = 0;  // changes not yet flushed
  uint64_t kept = 0;     // of them, reaching the disk
  uint64_t torn = 0;     // of those, writes torn at a 512-byte boundary
};
// Loses power now: each file with unflushed changes is put back to its state
// at its last flush, and an arbitrary subset of the changes (chosen by seed)
// is applied again in order, a write possibly keeping only the sectors in
// front of or behind a 512-byte boundary. Afterwards every mutating call fails
// as after a Crash fault, until ClearFaults.
PowerCutReport CutPower(uint64_t seed);
// What the last cut did.
PowerCutReport LastPowerCut();

// --- Kernel stack ------------------------------------------------------------------

// The calling thread's kernel stack: `bytes` counted from the frame where the
// thread entered the kernel for a client request (IoGetRemainingStackSize
// reports what is left of them). 0: the host thread's own stack.
void SetKernelStackBudget(size_t bytes);
// What IoGetRemainingStackSize reported on this thread while a budget was
// set, in order.
std::vector<size_t> RemainingStackReports();

// --- Volumes ------------------------------------------------------------------------

// Volume queries report `name` as the file system of every file (empty: the
// host's own again); the other attributes stay the host's.
void ReportFileSystemName(const std::u16string& name);

// --- Create history ----------------------------------------------------------------

std::vector<CreateRecord> CreateHistory();
void ClearCreateHistory();

// Clears faults, the file-call hook and counters, debug output, breakpoints,
// the create history, the reported file system name, the calling thread's
// IRQL, previous mode and stack budget; attaches the kernel debugger again.
void ResetForTest();

}  // namespace host
