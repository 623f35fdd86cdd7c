// A handle below the driver's device, the one thing of the disk layer that
// differs between the platforms: on Linux the driver runs in the host I/O
// manager (driver_handle_host.cpp), on Windows it is the real driver behind
// the native NT calls (driver_handle_windows.cpp). The build links one. Each
// call is one request; its IO_STATUS_BLOCK comes back as the driver set it.
// Used only by disk_access.cpp, which adds retries and request encoding.
#pragma once

#include <kernel_services.h>

#include <cstdint>
#include <memory>
#include <string>

namespace dorvane {

class DriverHandle {
 public:
  ~DriverHandle();
  DriverHandle(const DriverHandle &) = delete;
  DriverHandle &operator=(const DriverHandle &) = delete;

  // Opens the image at path (as the platform writes paths) below the
  // driver's device, for reading or for reading and writing, sharing reads.
  static NTSTATUS Open(const std::string &path, bool writable,
                       std::unique_ptr<DriverHandle> *handle);

  IO_STATUS_BLOCK Read(void *buffer, uint32_t length, int64_t offset);
  IO_STATUS_BLOCK Write(const void *buffer, uint32_t length, int64_t offset);
  IO_STATUS_BLOCK Flush();
  IO_STATUS_BLOCK Query(void *buffer, uint32_t length, FILE_INFORMATION_CLASS infoClass);
  IO_STATUS_BLOCK Set(void *buffer, uint32_t length, FILE_INFORMATION_CLASS infoClass);
  // A buffered file-system control request (IRP_MN_USER_FS_REQUEST).
  IO_STATUS_BLOCK FsControl(uint32_t code, void *input, uint32_t inputLength, void *output,
                            uint32_t outputLength);

  struct State;

 private:
  explicit DriverHandle(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// What the driver prints for debugging, shown on standard error (--verbose)
// where the platform lets the command see it.
void ShowDriverDebugOutput(bool shown);

}  // namespace dorvane
