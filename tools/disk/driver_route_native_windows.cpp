// The requests of driver_route_windows.h as Windows carries them: the native
// calls, which the I/O manager turns into the driver's requests.
#include "tools/disk/driver_route_windows.h"

#include "tools/disk/kernel_names.h"

namespace dorvane {

NTSTATUS RouteOpen(const std::u16string &kernelName, ACCESS_MASK access, ULONG share,
                   ULONG options, HANDLE *handle) {
  std::u16string name = u"\\Device\\Dorvane" + kernelName;
  UNICODE_STRING text;
  if (!CountedName(&name, &text)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, NULL, NULL);
  IO_STATUS_BLOCK ioStatus{};
  return NtCreateFile(handle, access, &attributes, &ioStatus, NULL, 0, share, FILE_OPEN, options,
                      NULL, 0);
}

IO_STATUS_BLOCK RouteQuery(HANDLE handle, void *buffer, ULONG length,
                           FILE_INFORMATION_CLASS infoClass) {
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = NtQueryInformationFile(handle, &ioStatus, buffer, length, infoClass);
  return ioStatus;
}

IO_STATUS_BLOCK RouteSet(HANDLE handle, void *buffer, ULONG length,
                         FILE_INFORMATION_CLASS infoClass) {
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = NtSetInformationFile(handle, &ioStatus, buffer, length, infoClass);
  return ioStatus;
}

IO_STATUS_BLOCK RouteFsControl(HANDLE handle, ULONG code, void *input, ULONG inputLength,
                               void *output, ULONG outputLength) {
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = NtFsControlFile(handle, NULL, NULL, NULL, &ioStatus, code, input, inputLength,
                                    output, outputLength);
  return ioStatus;
}

}  // namespace dorvane
