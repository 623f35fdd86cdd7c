// The admission gate of an image: a shared count for reads and queries, an
// exclusive count for everything that changes the image. The gate never
// waits; a request that conflicts with admissions in progress is refused at
// once with STATUS_DEVICE_BUSY and its client tries again.
//
// GateLock is taken as an in-stack queued spin lock (DISPATCH_LEVEL) only
// around the test and update of the counts; the image I/O of an admitted
// request runs at PASSIVE_LEVEL outside it.
#include "driver/driver.h"

namespace {

const LONG SharedCountLimit = 0x7FFFFFFF;

// Counting happens only for images whose file was opened for writing data: an
// image that cannot change needs no exclusion between its readers. Append
// access alone does not count: the engine writes at any offset of the file.
BOOLEAN IsImageWritable(PIMAGE_CONTEXT Context) { return Context->WriteDataGranted; }

// An assertion of the gate's own consistency: no sequence of requests reaches
// it. An attached kernel debugger is given the chance to look; once resumed,
// the request carries on with the counts as they stand. Without a debugger a
// breakpoint would stop the system, so then there is only the message.
VOID ReportCorruptGate() {
  DbgPrint("Dorvane: I/O synchronization state corrupt.\n");
  if (KD_DEBUGGER_ENABLED && !KD_DEBUGGER_NOT_PRESENT) {
    DbgBreakPoint();
  }
}

// Called with GateLock held. CallerIrql is the IRQL the requester ran at
// before the lock raised it.
NTSTATUS AdmitRequest(PIMAGE_CONTEXT Context, BOOLEAN Exclusive, KIRQL CallerIrql) {
  if (CallerIrql > PASSIVE_LEVEL) {
    DbgPrint("Dorvane: Requested lock for I/O work at > PASSIVE_LEVEL. This is not supported "
             "by this driver.\n");
    return STATUS_ACCESS_DENIED;
  }
  if (!IsImageWritable(Context)) {
    return Exclusive ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
  }
  if (Exclusive) {
    if (Context->SharedCount >= 1 || Context->ExclusiveCount >= 1) {
      return STATUS_DEVICE_BUSY;
    }
    if (++Context->ExclusiveCount <= 0) {
      ReportCorruptGate();
    }
    return STATUS_SUCCESS;
  }
  if (Context->ExclusiveCount >= 1 || Context->SharedCount >= SharedCountLimit) {
    return STATUS_DEVICE_BUSY;
  }
  if (++Context->SharedCount <= 0) {
    ReportCorruptGate();
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AcquireIoGate(PIMAGE_CONTEXT Context, BOOLEAN Exclusive) {
  KLOCK_QUEUE_HANDLE LockHandle;
  KeAcquireInStackQueuedSpinLock(&Context->GateLock, &LockHandle);
  NTSTATUS Status = AdmitRequest(Context, Exclusive, LockHandle.OldIrql);
  KeReleaseInStackQueuedSpinLock(&LockHandle);
  return Status;
}

VOID ReleaseIoGate(PIMAGE_CONTEXT Context, BOOLEAN Exclusive) {
  if (!IsImageWritable(Context)) {
    return;
  }
  KLOCK_QUEUE_HANDLE LockHandle;
  KeAcquireInStackQueuedSpinLock(&Context->GateLock, &LockHandle);
  PLONG Count = Exclusive ? &Context->ExclusiveCount : &Context->SharedCount;
  if (--*Count < 0) {
    ReportCorruptGate();
  }
  KeReleaseInStackQueuedSpinLock(&LockHandle);
}
