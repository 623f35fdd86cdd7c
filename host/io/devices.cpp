// Drivers, devices and symbolic links: loading a driver by calling its
// DriverEntry, IoCreateDevice/IoDeleteDevice, the symbolic links, the lookup
// of a client's name through them, and unload once the last file object on
// the driver's devices is gone.
//
// Object names are compared ignoring case. \DosDevices and \GLOBAL?? are the
// same directory as \??, as on NT where both are links to it.
#include "host/io/io_manager_internal.h"

#include <cstdlib>
#include <map>
#include <memory>

namespace host::io {

namespace {

struct LoadedDriver {
  DRIVER_OBJECT object{};
  std::u16string service;
  std::u16string driverName;    // storage of object.DriverName
  std::u16string registryPath;
  bool unloadPending = false;
  bool unloading = false;
};

struct HostDevice {
  DEVICE_OBJECT object{};
  std::u16string name;  // empty once deleted
  LoadedDriver* driver = nullptr;
  void* extension = nullptr;
  bool deletePending = false;
};

struct SymbolicLink {
  std::u16string name;
  std::u16string target;
};

// The tables: keys are canonical names (upper case, \?? for the DOS device
// directory). Devices and links share one namespace.
std::mutex tableLock;
struct Tables {
  std::map<std::u16string, std::unique_ptr<LoadedDriver>> drivers;  // by upper-case service
  std::map<PDRIVER_OBJECT, LoadedDriver*> driverObjects;
  std::map<PDEVICE_OBJECT, HostDevice*> devices;  // every device not yet freed
  std::map<std::u16string, HostDevice*> deviceNames;
  std::map<std::u16string, SymbolicLink> links;
  // Drivers unloaded or failed at load while devices of theirs remain: kept
  // so those devices never point at freed memory.
  std::vector<std::unique_ptr<LoadedDriver>> orphans;
};
Tables& T() {
  static auto* tables = new Tables();
  return *tables;
}

constexpr size_t kMaximumLinkDepth = 32;

std::u16string Upcase(const std::u16string& text) {
  std::u16string upper(text);
  for (auto& c : upper) c = RtlUpcaseUnicodeChar(c);
  return upper;
}

bool StartsWith(const std::u16string& text, const std::u16string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Upper case, with the DOS device directory under one name.
std::u16string CanonicalName(const std::u16string& name) {
  std::u16string upper = Upcase(name);
  for (const char16_t* alias : {u"\\DOSDEVICES\\", u"\\GLOBAL??\\"}) {
    std::u16string prefix(alias);
    if (StartsWith(upper, prefix)) return u"\\??\\" + upper.substr(prefix.size());
  }
  return upper;
}

std::u16string FromCounted(PCUNICODE_STRING name) {
  return std::u16string(name->Buffer, name->Length / sizeof(WCHAR));
}

// The entry of `table` that is `name` or the longest leading run of its
// components; table.end() when none. *length receives the entry's length.
template <typename Map>
typename Map::const_iterator FindPrefix(const Map& table, const std::u16string& name,
                                       size_t* length) {
  size_t end = name.size();
  while (end > 0) {
    auto found = table.find(name.substr(0, end));
    if (found != table.end()) {
      *length = end;
      return found;
    }
    size_t separator = name.rfind(u'\\', end - 1);
    if (separator == std::u16string::npos || separator == 0) break;
    end = separator;
  }
  return table.end();
}

// How the object manager fails a name that resolves to no object: the last
// component missing is "name not found", an earlier one "path not found".
NTSTATUS MissingNameStatus(const std::u16string& canonical) {
  if (canonical.empty() || canonical[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  for (const char16_t* directory : {u"\\DEVICE\\", u"\\??\\"}) {
    std::u16string prefix(directory);
    if (StartsWith(canonical, prefix) &&
        canonical.find(u'\\', prefix.size()) == std::u16string::npos) {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  return STATUS_OBJECT_PATH_NOT_FOUND;
}

// Replaces the symbolic links at the start of *resolved by their targets.
// False when they nest deeper than links may. Called with tableLock held.
bool FollowLinks(std::u16string* resolved) {
  for (size_t depth = 0;; ++depth) {
    std::u16string canonical = CanonicalName(*resolved);
    size_t length = 0;
    auto link = FindPrefix(T().links, canonical, &length);
    if (link == T().links.end()) return true;
    if (depth == kMaximumLinkDepth) return false;
    // The canonical form may be shorter than the name (\DosDevices -> \??).
    size_t consumed = resolved->size() - (canonical.size() - length);
    *resolved = link->second.target + resolved->substr(consumed);
  }
}

LoadedDriver* DriverOf(PDRIVER_OBJECT object) {
  auto found = T().driverObjects.find(object);
  return found == T().driverObjects.end() ? nullptr : found->second;
}

HostDevice* DeviceOf(PDEVICE_OBJECT object) {
  auto found = T().devices.find(object);
  return found == T().devices.end() ? nullptr : found->second;
}

bool NameInUse(const std::u16string& canonical) {
  return T().deviceNames.count(canonical) != 0 || T().links.count(canonical) != 0;
}

void FreeDevice(HostDevice* device) {
  T().devices.erase(&device->object);
  free(device->extension);
  delete device;
}

bool DriverHasDevices(const LoadedDriver* driver) {
  for (const auto& [object, device] : T().devices) {
    if (device->driver == driver) return true;
  }
  return false;
}

// Under the table lock: removes the driver from the tables, keeping its
// object alive while devices of it remain.
void RetireDriver(LoadedDriver* driver) {
  T().driverObjects.erase(&driver->object);
  auto found = T().drivers.find(Upcase(driver->service));
  if (found == T().drivers.end() || found->second.get() != driver) return;
  std::unique_ptr<LoadedDriver> owned = std::move(found->second);
  T().drivers.erase(found);
  if (DriverHasDevices(driver)) T().orphans.push_back(std::move(owned));
}

// Under the table lock: a pending unload may run once no file object on any
// device of the driver remains. Marks it running and returns true if so.
bool ClaimIdleUnload(LoadedDriver* driver) {
  if (!driver->unloadPending || driver->unloading) return false;
  for (const auto& [object, device] : T().devices) {
    if (device->driver == driver && object->ReferenceCount != 0) return false;
  }
  driver->unloading = true;
  return true;
}

void RunUnload(LoadedDriver* driver) {
  {
    SystemThreadContext context;
    driver->object.DriverUnload(&driver->object);
  }
  std::lock_guard<std::mutex> guard(tableLock);
  RetireDriver(driver);
}

}  // namespace

SystemThreadContext::SystemThreadContext() {
  CurrentThread().irql = PASSIVE_LEVEL;
  CurrentThread().previousMode = KernelMode;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

bool NameLeadsToDevice(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(tableLock);
  std::u16string resolved = name;
  size_t length = 0;
  return FollowLinks(&resolved) &&
         FindPrefix(T().deviceNames, CanonicalName(resolved), &length) != T().deviceNames.end();
}

NTSTATUS ReferenceDeviceByName(const std::u16string& name, PDEVICE_OBJECT* device,
                               std::u16string* remainder) {
  std::lock_guard<std::mutex> guard(tableLock);
  // Case is kept in the remainder, which the driver receives as written.
  std::u16string resolved = name;
  if (!FollowLinks(&resolved)) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::u16string canonical = CanonicalName(resolved);
  size_t length = 0;
  auto found = FindPrefix(T().deviceNames, canonical, &length);
  if (found == T().deviceNames.end()) return MissingNameStatus(canonical);

  HostDevice* target = found->second;
  if (target->deletePending || (target->object.Flags & DO_DEVICE_INITIALIZING) != 0 ||
      target->driver->unloadPending) {
    return STATUS_NO_SUCH_DEVICE;
  }
  if ((target->object.Flags & DO_EXCLUSIVE) != 0 && target->object.ReferenceCount != 0) {
    return STATUS_ACCESS_DENIED;
  }
  ++target->object.ReferenceCount;
  *device = &target->object;
  *remainder = resolved.substr(resolved.size() - (canonical.size() - length));
  return STATUS_SUCCESS;
}

void DereferenceDevice(PDEVICE_OBJECT object) {
  LoadedDriver* unload = nullptr;
  {
    std::lock_guard<std::mutex> guard(tableLock);
    HostDevice* device = DeviceOf(object);
    if (device == nullptr || object->ReferenceCount <= 0) {
      BugCheck("REFERENCE_BY_POINTER", "device %p dereferenced below zero", (void*)object);
    }
    LoadedDriver* driver = device->driver;
    if (--object->ReferenceCount == 0 && device->deletePending) FreeDevice(device);
    if (ClaimIdleUnload(driver)) unload = driver;
  }
  if (unload != nullptr) RunUnload(unload);
}

}  // namespace host::io

namespace host {

using namespace host::io;

NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string& service) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
  auto owned = std::make_unique<LoadedDriver>();
  LoadedDriver* driver = owned.get();
  driver->service = service;
  driver->driverName = u"\\Driver\\" + service;
  driver->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
  PDRIVER_OBJECT object = &driver->object;
  object->Type = IO_TYPE_DRIVER;
  object->Size = sizeof(DRIVER_OBJECT);
  object->DriverName.Buffer = driver->driverName.data();
  object->DriverName.Length = USHORT(driver->driverName.size() * sizeof(WCHAR));
  object->DriverName.MaximumLength = object->DriverName.Length;
  object->DriverInit = driverEntry;
  object->DriverStart = reinterpret_cast<PVOID>(driverEntry);
  for (auto& dispatch : object->MajorFunction) dispatch = InvalidDeviceRequest;
  {
    std::lock_guard<std::mutex> guard(tableLock);
    if (T().drivers.count(Upcase(service)) != 0) return STATUS_OBJECT_NAME_COLLISION;
    T().drivers[Upcase(service)] = std::move(owned);
    T().driverObjects[object] = driver;
  }
  ResetDriverPaging();

  UNICODE_STRING registryPath;
  registryPath.Buffer = driver->registryPath.data();
  registryPath.Length = USHORT(driver->registryPath.size() * sizeof(WCHAR));
  registryPath.MaximumLength = registryPath.Length;
  NTSTATUS status;
  {
    SystemThreadContext context;
    status = driverEntry(object, &registryPath);
  }

  std::lock_guard<std::mutex> guard(tableLock);
  if (!NT_SUCCESS(status)) {
    RetireDriver(driver);
    return status;
  }
  // A table entry the driver cleared gets the refusal back, and its devices
  // become openable.
  for (auto& dispatch : object->MajorFunction) {
    if (dispatch == nullptr) dispatch = InvalidDeviceRequest;
  }
  for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr;
       device = device->NextDevice) {
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return status;
}

NTSTATUS UnloadDriver(const std::u16string& service) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
  LoadedDriver* driver;
  {
    std::lock_guard<std::mutex> guard(tableLock);
    auto found = T().drivers.find(Upcase(service));
    if (found == T().drivers.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    driver = found->second.get();
    if (driver->object.DriverUnload == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    driver->unloadPending = true;
    if (!ClaimIdleUnload(driver)) return STATUS_SUCCESS;
  }
  RunUnload(driver);
  return STATUS_SUCCESS;
}

bool IsDriverLoaded(const std::u16string& service) {
  std::lock_guard<std::mutex> guard(tableLock);
  return T().drivers.count(Upcase(service)) != 0;
}

PDRIVER_OBJECT DriverObjectOf(const std::u16string& service) {
  std::lock_guard<std::mutex> guard(tableLock);
  auto found = T().drivers.find(Upcase(service));
  return found == T().drivers.end() ? nullptr : &found->second->object;
}

bool DeviceExists(const std::u16string& deviceName) {
  std::lock_guard<std::mutex> guard(tableLock);
  return T().deviceNames.count(CanonicalName(deviceName)) != 0;
}

bool QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) {
  std::lock_guard<std::mutex> guard(tableLock);
  auto found = T().links.find(CanonicalName(linkName));
  if (found == T().links.end()) return false;
  if (target != nullptr) *target = found->second.target;
  return true;
}

NTSTATUS CreateSymbolicLink(const std::u16string& linkName, const std::u16string& target) {
  if (linkName.empty() || linkName[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::lock_guard<std::mutex> guard(tableLock);
  std::u16string canonical = CanonicalName(linkName);
  if (NameInUse(canonical)) return STATUS_OBJECT_NAME_COLLISION;
  T().links[canonical] = SymbolicLink{linkName, target};
  return STATUS_SUCCESS;
}

NTSTATUS DeleteSymbolicLink(const std::u16string& linkName) {
  std::lock_guard<std::mutex> guard(tableLock);
  return T().links.erase(CanonicalName(linkName)) != 0 ? STATUS_SUCCESS
                                                        : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace host

// Devices are made at PASSIVE_LEVEL by a loaded driver. A new device is
// linked first in its driver's list and stays DO_DEVICE_INITIALIZING (closed
// to opens) until its driver's DriverEntry has returned.
extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                         PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                         ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
  using namespace host::io;
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  std::u16string Name;
  if (DeviceName != nullptr && DeviceName->Length != 0) {
    if (DeviceName->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_NAME_INVALID;
    Name = FromCounted(DeviceName);
    if (Name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }
  std::lock_guard<std::mutex> Guard(tableLock);
  LoadedDriver* Driver = DriverOf(DriverObject);
  if (Driver == nullptr) {
    host::BugCheck("INVALID_DRIVER_OBJECT", "IoCreateDevice for driver object %p, which is not "
                   "a loaded driver", (void*)DriverObject);
  }
  std::u16string Canonical = CanonicalName(Name);
  if (!Name.empty() && NameInUse(Canonical)) return STATUS_OBJECT_NAME_COLLISION;

  void* Extension = nullptr;
  if (DeviceExtensionSize != 0) {
    Extension = calloc(1, DeviceExtensionSize);
    if (Extension == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* Device = new HostDevice();
  Device->name = Name;
  Device->driver = Driver;
  Device->extension = Extension;
  PDEVICE_OBJECT Object = &Device->object;
  Object->Type = IO_TYPE_DEVICE;
  Object->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  Object->DriverObject = DriverObject;
  Object->NextDevice = DriverObject->DeviceObject;
  Object->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  Object->Characteristics = DeviceCharacteristics;
  Object->DeviceExtension = Extension;
  Object->DeviceType = DeviceType;
  Object->StackSize = 1;
  DriverObject->DeviceObject = Object;
  T().devices[Object] = Device;
  if (!Name.empty()) T().deviceNames[Canonical] = Device;
  *DeviceObject = Object;
  return STATUS_SUCCESS;
}

// The name goes at once; the object itself when the last file object on it
// is gone. Requests on file objects already open still reach the driver.
extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  using namespace host::io;
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  std::lock_guard<std::mutex> Guard(tableLock);
  HostDevice* Device = DeviceOf(DeviceObject);
  if (Device == nullptr || Device->deletePending) {
    host::BugCheck("INVALID_DEVICE_OBJECT", "IoDeleteDevice of %p, which is not a device or "
                   "was deleted already", (void*)DeviceObject);
  }
  if (!Device->name.empty()) T().deviceNames.erase(CanonicalName(Device->name));
  Device->name.clear();
  PDEVICE_OBJECT* Link = &DeviceObject->DriverObject->DeviceObject;
  while (*Link != nullptr && *Link != DeviceObject) Link = &(*Link)->NextDevice;
  if (*Link == DeviceObject) *Link = DeviceObject->NextDevice;
  Device->deletePending = true;
  if (DeviceObject->ReferenceCount == 0) FreeDevice(Device);
}

extern "C" NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                                           PUNICODE_STRING DeviceName) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateUnprotectedSymbolicLink");
  return host::CreateSymbolicLink(host::io::FromCounted(SymbolicLinkName),
                                  host::io::FromCounted(DeviceName));
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  return host::DeleteSymbolicLink(host::io::FromCounted(SymbolicLinkName));
}
