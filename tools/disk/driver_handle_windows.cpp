// Handles below the real driver's device through the native NT calls. The
// driver must be installed and started (dorvane driver install, start;
// STATUS_NO_SUCH_DEVICE when it is not running); the
// image's path becomes its kernel name as Windows resolves paths
// (kernel_names_windows.cpp). The handle is synchronous: the command sends
// one request at a time.
#include "tools/disk/driver_handle.h"

#include "tools/disk/driver_route_windows.h"
#include "tools/disk/kernel_names.h"

namespace dorvane {

namespace {

// Whether the driver is running: its link \??\Dorvane exists from its start
// to its unload. Without it every image's name is "not found", which would
// blame the image.
bool DriverRunning() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\??\\Dorvane");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
  HANDLE link = NULL;
  NTSTATUS status = ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes);
  if (NT_SUCCESS(status)) {
    NtClose(link);
  }
  return status != STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace

struct DriverHandle::State {
  HANDLE handle = NULL;
  ~State() {
    if (handle != NULL) {
      NtClose(handle);
    }
  }
};

DriverHandle::DriverHandle(std::unique_ptr<State> state) : state_(std::move(state)) {}

DriverHandle::~DriverHandle() = default;

NTSTATUS DriverHandle::Open(const std::string &path, bool writable,
                            std::unique_ptr<DriverHandle> *handle) {
  std::u16string name;
  if (!KernelNameForPath(path, &name).empty()) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  std::unique_ptr<State> state(new State);
  ACCESS_MASK access = (writable ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ) | SYNCHRONIZE;
  NTSTATUS status = RouteOpen(name, access, FILE_SHARE_READ,
                              FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                              &state->handle);
  if (!NT_SUCCESS(status)) {
    state->handle = NULL;
    bool notFound = status == STATUS_OBJECT_PATH_NOT_FOUND || status == STATUS_OBJECT_NAME_NOT_FOUND;
    return notFound && !DriverRunning() ? STATUS_NO_SUCH_DEVICE : status;
  }
  handle->reset(new DriverHandle(std::move(state)));
  return STATUS_SUCCESS;
}

IO_STATUS_BLOCK DriverHandle::Read(void *buffer, uint32_t length, int64_t offset) {
  IO_STATUS_BLOCK ioStatus{};
  LARGE_INTEGER at;
  at.QuadPart = offset;
  ioStatus.Status =
      NtReadFile(state_->handle, NULL, NULL, NULL, &ioStatus, buffer, length, &at, NULL);
  return ioStatus;
}

IO_STATUS_BLOCK DriverHandle::Write(const void *buffer, uint32_t length, int64_t offset) {
  IO_STATUS_BLOCK ioStatus{};
  LARGE_INTEGER at;
  at.QuadPart = offset;
  ioStatus.Status = NtWriteFile(state_->handle, NULL, NULL, NULL, &ioStatus,
                                const_cast<void *>(buffer), length, &at, NULL);
  return ioStatus;
}

IO_STATUS_BLOCK DriverHandle::Flush() {
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = ZwFlushBuffersFile(state_->handle, &ioStatus);
  return ioStatus;
}

IO_STATUS_BLOCK DriverHandle::Query(void *buffer, uint32_t length,
                                    FILE_INFORMATION_CLASS infoClass) {
  return RouteQuery(state_->handle, buffer, length, infoClass);
}

IO_STATUS_BLOCK DriverHandle::Set(void *buffer, uint32_t length,
                                  FILE_INFORMATION_CLASS infoClass) {
  return RouteSet(state_->handle, buffer, length, infoClass);
}

IO_STATUS_BLOCK DriverHandle::FsControl(uint32_t code, void *input, uint32_t inputLength,
                                        void *output, uint32_t outputLength) {
  return RouteFsControl(state_->handle, code, input, inputLength, output, outputLength);
}

// The driver's debug output goes to the kernel debugger on Windows, where
// the command cannot show it.
void ShowDriverDebugOutput(bool) {}

}  // namespace dorvane
