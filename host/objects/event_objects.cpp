// Event objects and their handles: ZwCreateEvent, ZwWaitForSingleObject and
// the reference a read, write or control request takes on the event it is
// given. Events keep a handle table of their own beside the file objects'
// (objects.cpp), with values apart from theirs and from devices'; ZwClose
// reaches it when a handle is no file's.
#include "host/executive/test_hooks.h"
#include "host/objects/object_internal.h"

#include <map>

namespace host {

namespace {

std::mutex eventHandleLock;
struct EventHandles {
  std::map<uintptr_t, std::shared_ptr<KEVENT>> events;
  // Kernel handles keep the top bit, as on 64-bit NT; values are not reused.
  uintptr_t nextKernel = 0xFFFFFFFFA0000004ULL;
  uintptr_t nextProcess = 0x20000004ULL;
};
EventHandles& E() {
  static auto* handles = new EventHandles();
  return *handles;
}

std::shared_ptr<KEVENT> FindEvent(HANDLE handle) {
  std::lock_guard<std::mutex> guard(eventHandleLock);
  auto found = E().events.find(reinterpret_cast<uintptr_t>(handle));
  return found == E().events.end() ? nullptr : found->second;
}

}  // namespace

NTSTATUS ReferenceEventHandle(HANDLE handle, std::shared_ptr<KEVENT>* event) {
  *event = FindEvent(handle);
  if (*event != nullptr) return STATUS_SUCCESS;
  HostFile* file = nullptr;
  if (!NT_SUCCESS(ReferenceHandle(handle, &file, nullptr, nullptr))) return STATUS_INVALID_HANDLE;
  DereferenceFile(file);
  return STATUS_OBJECT_TYPE_MISMATCH;
}

bool IsEventHandle(HANDLE handle) { return FindEvent(handle) != nullptr; }

bool CloseEventHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(eventHandleLock);
  return E().events.erase(reinterpret_cast<uintptr_t>(handle)) != 0;
}

size_t OpenEventHandleCount() {
  std::lock_guard<std::mutex> guard(eventHandleLock);
  return E().events.size();
}

}  // namespace host

extern "C" NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                        BOOLEAN InitialState) {
  UNREFERENCED_PARAMETER(DesiredAccess);
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateEvent");
  host::ZwCallMode Mode;
  if (EventType != NotificationEvent && EventType != SynchronizationEvent) {
    return STATUS_INVALID_PARAMETER;
  }
  if (ObjectAttributes != nullptr && ObjectAttributes->ObjectName != nullptr) {
    return STATUS_NOT_SUPPORTED;
  }
  // NT makes the object from pool: a test failing pool allocations fails it.
  if (host::FailsHere(host::testHooks.failPoolAllocation)) return STATUS_INSUFFICIENT_RESOURCES;
  auto event = std::make_shared<KEVENT>();
  KeInitializeEvent(event.get(), EventType, InitialState);
  bool kernelHandle =
      ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  std::lock_guard<std::mutex> guard(host::eventHandleLock);
  uintptr_t& next = kernelHandle ? host::E().nextKernel : host::E().nextProcess;
  uintptr_t value = next;
  next += 4;
  host::E().events.emplace(value, std::move(event));
  *EventHandle = reinterpret_cast<HANDLE>(value);
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
  host::ZwCallMode Mode;
  std::shared_ptr<KEVENT> event;
  NTSTATUS Status = host::ReferenceEventHandle(Handle, &event);
  if (!NT_SUCCESS(Status)) return Status;
  return KeWaitForSingleObject(event.get(), Executive, KernelMode, Alertable, Timeout);
}
