// Executive and run-time library (host/executive/): pool, processor modes and
// IRQL, the kernel stack, interlocked operations, spin locks, events, waits
// and delays, UUIDs, RTL bitmaps, memory and counted strings, and debug
// output, declared with their NT names, signatures and layouts for the host
// build and implemented over POSIX in this folder. The folder also holds the
// executive's host-side control (executive_control.h: accounting, debug
// output, names and statuses), the errno map, and the hook table through
// which the testing library reaches the host kernel (test_hooks.h).
#pragma once

#include "host/nt/nt_status.h"
#include "host/nt/nt_types.h"

// ---------------------------------------------------------------------------
// Executive: pool, modes, IRQL, kernel stack, UUIDs.

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

#define KernelMode 0
#define UserMode 1

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                               ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID);
NTKERNELAPI NTSTATUS NTAPI ExUuidCreate(UUID *Uuid);
NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
// Bytes of kernel stack left below the caller's frame.
NTKERNELAPI ULONG_PTR NTAPI IoGetRemainingStackSize(VOID);

// ---------------------------------------------------------------------------
// Interlocked operations: full barriers, as the x64 instructions behind them.

inline LONGLONG InterlockedExchangeAdd64(LONGLONG volatile *Addend, LONGLONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedExchange64(LONGLONG volatile *Target, LONGLONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedCompareExchange64(LONGLONG volatile *Destination, LONGLONG Exchange,
                                             LONGLONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

// ---------------------------------------------------------------------------
// Kernel: spin locks, events, waits, delays.

typedef struct _KSPIN_LOCK_QUEUE {
  struct _KSPIN_LOCK_QUEUE *volatile Next;
  PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
  KSPIN_LOCK_QUEUE LockQueue;
  KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Signalling;
  UCHAR Size;
  UCHAR Reserved1;
  volatile LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock,
                                                       PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                 KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                 PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

// ---------------------------------------------------------------------------
// Run-time library.

typedef struct _RTL_BITMAP {
  ULONG SizeOfBitMap;
  PULONG Buffer;
} RTL_BITMAP, *PRTL_BITMAP;

NTSYSAPI VOID NTAPI RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer,
                                        ULONG SizeOfBitMap);
NTSYSAPI VOID NTAPI RtlSetBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex,
                               ULONG NumberToSet);
NTSYSAPI VOID NTAPI RtlClearBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex,
                                 ULONG NumberToClear);
NTSYSAPI BOOLEAN NTAPI RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber);
NTSYSAPI ULONG NTAPI RtlFindNextForwardRunClear(PRTL_BITMAP BitMapHeader, ULONG FromIndex,
                                                PULONG StartingRunIndex);
NTSYSAPI BOOLEAN NTAPI RtlAreBitsSet(PRTL_BITMAP BitMapHeader, ULONG StartingIndex,
                                     ULONG Length);
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);
NTSYSAPI SIZE_T NTAPI RtlCompareMemoryUlong(PVOID Source, SIZE_T Length, ULONG Pattern);
NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1,
                                              PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTKERNELAPI VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                                        PUNICODE_STRING RemainingName);

#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) memmove((d), (s), (n))
#define RtlFillMemory(d, n, f) memset((d), (f), (n))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---------------------------------------------------------------------------
// Debugging.

extern "C" ULONG DbgPrint(PCSTR Format, ...);
// Without a kernel debugger attached, a breakpoint is an unhandled exception
// in kernel mode: the system stops with a bug check.
NTSYSAPI VOID NTAPI DbgBreakPoint(VOID);

// The kernel debugger's state, exported by the kernel as data.
extern "C" BOOLEAN KdDebuggerEnabled;
extern "C" BOOLEAN KdDebuggerNotPresent;
#define KD_DEBUGGER_ENABLED KdDebuggerEnabled
#define KD_DEBUGGER_NOT_PRESENT KdDebuggerNotPresent
