// IRPs and the services around them: allocation and delivery of the client's
// requests, IofCompleteRequest, MDLs and their mapping into system space
// (MmMapLockedPagesSpecifyCache), the driver's paging state, and the system
// event log (IoAllocateErrorLogEntry, IoWriteErrorLogEntry), captured for
// tests.
#include "host/io/io_manager_internal.h"
#include "host/executive/test_hooks.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace host::io {

namespace {

constexpr uintptr_t kPageMask = 0xFFF;

std::mutex stateLock;
DriverPaging paging = DriverPaging::Resident;
uint64_t pagingResets = 0;

// Entries allocated and not yet written, by address: their size and driver.
struct PendingEntry {
  size_t size;
  std::u16string driverName;
};
std::map<void*, PendingEntry>& PendingEntries() {
  static auto* entries = new std::map<void*, PendingEntry>();
  return *entries;
}
std::vector<ErrorLogEntry>& WrittenEntries() {
  static auto* entries = new std::vector<ErrorLogEntry>();
  return *entries;
}

// The driver an error-log entry is allocated for: the object itself, or the
// driver of a device object.
PDRIVER_OBJECT DriverOfIoObject(PVOID IoObject) {
  auto* header = static_cast<CSHORT*>(IoObject);
  if (*header == IO_TYPE_DRIVER) return static_cast<PDRIVER_OBJECT>(IoObject);
  if (*header == IO_TYPE_DEVICE) return static_cast<PDEVICE_OBJECT>(IoObject)->DriverObject;
  return nullptr;
}

bool Completed(PIRP irp) { return irp->CurrentLocation > irp->StackCount; }

// Error severity (0xC... statuses); warnings such as STATUS_DEVICE_BUSY are not.
bool IsErrorStatus(NTSTATUS status) { return (ULONG(status) >> 30) == 3; }

}  // namespace

PIRP AllocateIrp(CCHAR stackSize) {
  size_t bytes = sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
  auto irp = static_cast<PIRP>(calloc(1, bytes));
  if (irp == nullptr) BugCheck("NO_MORE_IRP_STACK_LOCATIONS", "out of memory for an IRP");
  irp->Type = IO_TYPE_IRP;
  irp->Size = USHORT(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = CHAR(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  return irp;
}

void FreeIrp(PIRP irp) {
  free(irp->MdlAddress);
  free(irp);
}

PMDL AllocateMdl(void* buffer, ULONG length, MdlMapping mapping) {
  auto mdl = static_cast<PMDL>(calloc(1, sizeof(MDL)));
  if (mdl == nullptr) BugCheck("NO_PAGES_AVAILABLE", "out of memory for an MDL");
  uintptr_t address = reinterpret_cast<uintptr_t>(buffer);
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~kPageMask);
  mdl->ByteOffset = ULONG(address & kPageMask);
  mdl->ByteCount = length;
  if (mapping == MdlMapping::MappedToSystem) {
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = buffer;
  }
  return mdl;
}

NTSTATUS CallDriverAndWait(PDEVICE_OBJECT device, PIRP irp) {
  KEVENT completed;
  KeInitializeEvent(&completed, NotificationEvent, FALSE);
  irp->UserEvent = &completed;
  NTSTATUS status = IofCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
  }
  // On NT the caller would wait forever for an IRP that the driver neither
  // completed nor marked pending.
  if (!Completed(irp)) {
    BugCheck("DRIVER_RETURNED_WITHOUT_COMPLETING",
             "dispatch routine of major function %u returned %#x without completing the IRP",
             unsigned(IoGetNextIrpStackLocation(irp)->MajorFunction), unsigned(status));
  }
  return status;
}

void ResetDriverPaging() {
  std::lock_guard<std::mutex> guard(stateLock);
  paging = DriverPaging::Resident;
  pagingResets = 0;
}

}  // namespace host::io

namespace host {

DriverPaging CurrentDriverPaging() {
  std::lock_guard<std::mutex> guard(io::stateLock);
  return io::paging;
}

uint64_t DriverPagingResets() {
  std::lock_guard<std::mutex> guard(io::stateLock);
  return io::pagingResets;
}

std::vector<ErrorLogEntry> ErrorLog() {
  std::lock_guard<std::mutex> guard(io::stateLock);
  return io::WrittenEntries();
}

void ClearErrorLog() {
  std::lock_guard<std::mutex> guard(io::stateLock);
  io::WrittenEntries().clear();
}

}  // namespace host

// Completes an IRP: it goes back up its stack (completion routines are not
// supported and stop the system), the status block of a request that did not
// fail is copied to the caller's, and the caller's event is set. Completing
// twice, or with STATUS_PENDING, stops the system as on NT. The IRP is
// released by whoever issued it once it has been completed.
extern "C" VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  if (Irp->CurrentLocation > Irp->StackCount) {
    host::BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed twice", (void*)Irp);
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    host::BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS", "IRP %p completed with STATUS_PENDING",
                   (void*)Irp);
  }
  auto Base = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
  for (PIO_STACK_LOCATION Stack = Irp->Tail.Overlay.CurrentStackLocation;
       Stack < Base + Irp->StackCount; ++Stack) {
    if (Stack->CompletionRoutine != nullptr) {
      host::BugCheck("UNSUPPORTED", "IRP %p has a completion routine, which the host I/O "
                     "manager does not run", (void*)Irp);
    }
  }
  Irp->CurrentLocation = CHAR(Irp->StackCount + 1);
  Irp->Tail.Overlay.CurrentStackLocation = Base + Irp->StackCount;
  // NT hands a failed synchronous request's status back as the service's
  // result only, leaving the caller's status block untouched.
  if (Irp->UserIosb != nullptr && !host::io::IsErrorStatus(Irp->IoStatus.Status)) {
    *Irp->UserIosb = Irp->IoStatus;
  }
  if (Irp->UserEvent != nullptr) KeSetEvent(Irp->UserEvent, IO_NO_INCREMENT, FALSE);
}

// Maps the pages an MDL describes. The host has one address space, so the
// system address is the buffer's own; what matters is that the driver asks,
// and that it may be refused.
extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                     KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType,
                                                     PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(Priority);
  host::RequireIrqlAtMost(AccessMode == KernelMode ? DISPATCH_LEVEL : APC_LEVEL,
                          "MmMapLockedPagesSpecifyCache");
  PMDL Mdl = MemoryDescriptorList;
  if ((Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
    host::BugCheck("PFN_LIST_CORRUPT", "MmMapLockedPagesSpecifyCache of MDL %p whose pages are "
                   "not locked", (void*)Mdl);
  }
  if (AccessMode != KernelMode || RequestedAddress != nullptr) {
    host::BugCheck("UNSUPPORTED", "MmMapLockedPagesSpecifyCache into user space is not "
                   "supported by the host kernel");
  }
  if ((Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
    host::BugCheck("MEMORY_MANAGEMENT", "MmMapLockedPagesSpecifyCache of MDL %p, which is "
                   "mapped already", (void*)Mdl);
  }
  if (host::FailsHere(host::testHooks.failMapping)) {
    if (BugCheckOnFailure) {
      host::BugCheck("NO_MORE_SYSTEM_PTES", "MmMapLockedPagesSpecifyCache of MDL %p failed",
                     (void*)Mdl);
    }
    return nullptr;
  }
  Mdl->MappedSystemVa = static_cast<PCHAR>(Mdl->StartVa) + Mdl->ByteOffset;
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return Mdl->MappedSystemVa;
}

extern "C" PVOID NTAPI MmPageEntireDriver(PVOID AddressWithinSection) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "MmPageEntireDriver");
  std::lock_guard<std::mutex> Guard(host::io::stateLock);
  host::io::paging = host::DriverPaging::Pageable;
  return AddressWithinSection;
}

extern "C" VOID NTAPI MmResetDriverPaging(PVOID AddressWithinSection) {
  UNREFERENCED_PARAMETER(AddressWithinSection);
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "MmResetDriverPaging");
  std::lock_guard<std::mutex> Guard(host::io::stateLock);
  host::io::paging = host::DriverPaging::Resident;
  ++host::io::pagingResets;
}

// An entry of EntrySize bytes (at most ERROR_LOG_MAXIMUM_SIZE), zeroed, for a
// device or driver object; NULL when too large or when none can be had.
extern "C" PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
  if (IoObject == nullptr || EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
  PDRIVER_OBJECT Driver = host::io::DriverOfIoObject(IoObject);
  if (Driver == nullptr) return nullptr;
  if (host::FailsHere(host::testHooks.failErrorLogAllocation)) return nullptr;
  std::lock_guard<std::mutex> Guard(host::io::stateLock);
  void* Entry = calloc(1, EntrySize == 0 ? 1 : EntrySize);
  if (Entry == nullptr) return nullptr;
  host::io::PendingEntries()[Entry] = host::io::PendingEntry{
      EntrySize, std::u16string(Driver->DriverName.Buffer,
                                Driver->DriverName.Length / sizeof(WCHAR))};
  return Entry;
}

// The event log takes the entry over; it is captured as written.
extern "C" VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
  host::ErrorLogEntry Written;
  {
    std::lock_guard<std::mutex> Guard(host::io::stateLock);
    auto Found = host::io::PendingEntries().find(ElEntry);
    if (Found == host::io::PendingEntries().end()) {
      host::BugCheck("BAD_POOL_CALLER", "IoWriteErrorLogEntry of %p, which is not an allocated "
                     "error-log entry", ElEntry);
    }
    auto* Bytes = static_cast<uint8_t*>(ElEntry);
    Written.driverName = Found->second.driverName;
    Written.packet.assign(Bytes, Bytes + Found->second.size);
    host::io::PendingEntries().erase(Found);
    host::io::WrittenEntries().push_back(Written);
  }
  free(ElEntry);
  if (host::Verbose() && Written.packet.size() >= sizeof(IO_ERROR_LOG_PACKET)) {
    IO_ERROR_LOG_PACKET Packet;
    memcpy(&Packet, Written.packet.data(), sizeof(Packet));
    bool Valid;
    fprintf(stderr, "event log: %s: error %#x, final status %#x\n",
            host::Utf8FromUtf16(Written.driverName, &Valid).c_str(), unsigned(Packet.ErrorCode),
            unsigned(Packet.FinalStatus));
  }
}
