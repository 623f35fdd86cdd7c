// Handles below the driver's device in the host I/O manager. The driver is
// loaded into the host I/O manager while any disk is open, each image is
// opened below its device (\Device\Dorvane<NT name of the image>), and every
// byte moves through the driver's read and write requests.
#include "tools/disk/driver_handle.h"

#include "host/host_kernel.h"
#include "host/io/io_client.h"

#include <mutex>

// The driver's entry point, all the command knows of the driver's code: the
// host I/O manager loads the driver through it as the system would.
extern "C" DRIVER_INITIALIZE DriverEntry;

namespace dorvane {

namespace {

const char16_t kDriverService[] = u"Dorvane";
const char16_t kDeviceName[] = u"\\Device\\Dorvane";

// The driver stays loaded while any disk of the process is open, and is
// unloaded with the last one unless someone else had loaded it.
std::mutex driverLock;
int driverUsers = 0;
bool driverLoadedHere = false;

NTSTATUS AcquireDriver() {
  std::lock_guard<std::mutex> guard(driverLock);
  if (driverUsers == 0 && !host::IsDriverLoaded(kDriverService)) {
    NTSTATUS status = host::LoadDriver(DriverEntry, kDriverService);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    driverLoadedHere = true;
  }
  ++driverUsers;
  return STATUS_SUCCESS;
}

void ReleaseDriver() {
  std::lock_guard<std::mutex> guard(driverLock);
  if (--driverUsers == 0 && driverLoadedHere) {
    host::UnloadDriver(kDriverService);
    driverLoadedHere = false;
  }
}

}  // namespace

struct DriverHandle::State {
  host::DeviceFile file;
  ~State() {
    file.Close();
    ReleaseDriver();
  }
};

DriverHandle::DriverHandle(std::unique_ptr<State> state) : state_(std::move(state)) {}

DriverHandle::~DriverHandle() = default;

NTSTATUS DriverHandle::Open(const std::string &path, bool writable,
                            std::unique_ptr<DriverHandle> *handle) {
  std::u16string name = kDeviceName + host::NtPathForHostPath(path);
  if (name.size() * sizeof(WCHAR) > 0xFFFE) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  NTSTATUS status = AcquireDriver();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  std::unique_ptr<State> state(new State);
  host::OpenParameters parameters;
  parameters.desiredAccess = (writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ) | SYNCHRONIZE;
  parameters.shareAccess = FILE_SHARE_READ;
  parameters.disposition = FILE_OPEN;
  // Every request names its offset, so the handle need not be synchronous:
  // requests from several threads then run side by side, readers in
  // parallel, a writer refused while others are in progress and retried.
  parameters.options = FILE_NON_DIRECTORY_FILE;
  status = host::DeviceFile::Open(name, parameters, &state->file).Status;
  if (!NT_SUCCESS(status)) {
    return status;
  }
  handle->reset(new DriverHandle(std::move(state)));
  return STATUS_SUCCESS;
}

IO_STATUS_BLOCK DriverHandle::Read(void *buffer, uint32_t length, int64_t offset) {
  return state_->file.ReadAt(buffer, length, offset);
}

IO_STATUS_BLOCK DriverHandle::Write(const void *buffer, uint32_t length, int64_t offset) {
  return state_->file.WriteAt(buffer, length, offset);
}

IO_STATUS_BLOCK DriverHandle::Flush() {
  return state_->file.SendRequest(IRP_MJ_FLUSH_BUFFERS, [](PIRP, PIO_STACK_LOCATION) {});
}

IO_STATUS_BLOCK DriverHandle::Query(void *buffer, uint32_t length,
                                    FILE_INFORMATION_CLASS infoClass) {
  return state_->file.QueryInformation(buffer, length, infoClass);
}

IO_STATUS_BLOCK DriverHandle::Set(void *buffer, uint32_t length,
                                  FILE_INFORMATION_CLASS infoClass) {
  return state_->file.SetInformation(buffer, length, infoClass);
}

IO_STATUS_BLOCK DriverHandle::FsControl(uint32_t code, void *input, uint32_t inputLength,
                                        void *output, uint32_t outputLength) {
  return state_->file.Control(IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_USER_FS_REQUEST, code, input,
                              inputLength, output, outputLength);
}

void ShowDriverDebugOutput(bool shown) { host::SetVerbose(shown); }

}  // namespace dorvane
