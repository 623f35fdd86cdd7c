// Handles on driver devices made by ZwCreateFile. A name that leads to a
// device (\Device\Dorvane\..., or a link to it such as \??\Dorvane\...) is
// handed to the device's driver, as NT's object manager hands it to the I/O
// manager: the create request reaches the driver's dispatch routine on the
// calling thread, nested inside the caller's own request if there is one.
// The handle serves close; other services on it are refused (see
// NT_DIFFERENCES.md).
#include "host/io/io_manager_internal.h"

#include <map>

namespace host {

namespace {

std::mutex deviceHandleLock;
struct DeviceHandles {
  std::map<uintptr_t, DeviceFile> files;
  // Apart from the object manager's file handles: kernel handles keep the
  // top bit.
  uintptr_t nextKernel = 0xFFFFFFFFC0000004ULL;
  uintptr_t nextProcess = 0x40000004ULL;
};
DeviceHandles& D() {
  static auto* handles = new DeviceHandles();
  return *handles;
}

}  // namespace

bool NameLeadsToDevice(const std::u16string& ntName) { return io::NameLeadsToDevice(ntName); }

NTSTATUS CreateOnDevice(const std::u16string& ntName, const OpenParameters& parameters,
                        bool kernelHandle, PHANDLE handle, ULONG_PTR* information) {
  DeviceFile file;
  IO_STATUS_BLOCK result = DeviceFile::Open(ntName, parameters, &file);
  *information = result.Information;
  if (!NT_SUCCESS(result.Status)) return result.Status;
  std::lock_guard<std::mutex> guard(deviceHandleLock);
  uintptr_t& next = kernelHandle ? D().nextKernel : D().nextProcess;
  uintptr_t value = next;
  next += 4;
  D().files.emplace(value, std::move(file));
  *handle = reinterpret_cast<HANDLE>(value);
  return result.Status;
}

bool IsDeviceHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(deviceHandleLock);
  return D().files.count(reinterpret_cast<uintptr_t>(handle)) != 0;
}

NTSTATUS CloseDeviceHandle(HANDLE handle) {
  DeviceFile file;
  {
    std::lock_guard<std::mutex> guard(deviceHandleLock);
    auto found = D().files.find(reinterpret_cast<uintptr_t>(handle));
    if (found == D().files.end()) return STATUS_INVALID_HANDLE;
    file = std::move(found->second);
    D().files.erase(found);
  }
  // The cleanup and close requests go to the driver outside the lock.
  file.Close();
  return STATUS_SUCCESS;
}

}  // namespace host
