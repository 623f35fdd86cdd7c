// Host-side control of the host kernel, for tests and tools: fault injection,
// observation of what the driver asked of the kernel, the object-name tables
// and per-thread execution state. The driver never includes this header.
// Where the host knowingly differs from NT is listed in NT_DIFFERENCES.md.
#pragma once

#include <kernel_services.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// --- Pool -------------------------------------------------------------------

// Pool allocations made and not yet freed.
size_t OutstandingAllocations();
// Makes the nth ExAllocatePoolWithTag from now (1 = the next one) return NULL.
// 0 cancels.
void FailAllocation(uint64_t nth);

// --- Unique identifiers -------------------------------------------------------

// Makes the next `count` ExUuidCreate calls fail with STATUS_RETRY (0 cancels).
void FailUuidCreate(uint64_t count);
// ExUuidCreate calls so far, failed ones included.
uint64_t UuidCreateCount();

// --- File-call fault injection and counting ----------------------------------

enum class FileCall { Read, Write, SetInformation, Control, Flush };

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

// While armed, each file's writes, end-of-file changes and zeroed ranges since
// its last flush are kept (a flush of the file makes them durable). Arming
// or disarming forgets what was kept; ResetForTest disarms.
void ArmPowerLoss(bool arm);

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
// The calling thread's kernel stack: `bytes` counted from the frame where the
// thread entered the kernel for a client request (IoGetRemainingStackSize
// reports what is left of them). 0: the host thread's own stack.
void SetKernelStackBudget(size_t bytes);
// What IoGetRemainingStackSize reported on this thread while a budget was
// set, in order.
std::vector<size_t> RemainingStackReports();

// --- Create history ----------------------------------------------------------------

struct CreateRecord {
  std::string hostPath;  // empty when the name did not map
  std::u16string ntName;
  ACCESS_MASK desiredAccess;
  ULONG fileAttributes, shareAccess, disposition, options, objectAttributes;
  NTSTATUS status;
};
std::vector<CreateRecord> CreateHistory();
void ClearCreateHistory();

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

// Clears faults, the file-call hook and counters, debug output, breakpoints,
// the create history, the calling thread's IRQL, previous mode and stack
// budget; attaches the kernel debugger again.
void ResetForTest();

}  // namespace host
