// How the requests a system may keep from the driver reach it on Windows:
// the create of an image below its device, query and set information and
// file-system controls. Windows hands them to the driver as they are
// (driver_route_native_windows.cpp, linked into dorvane.exe); Wine stops at
// the device's name and never sends the other three, so the test build of
// the command goes through the test filter dorvfilt.sys instead
// (driver_route_filter_windows.cpp, linked into the test's dorvane-wine.exe
// only). Reads, writes, flushes and device controls go the native way in
// both.
#pragma once

#include <kernel_services.h>

#include <string>

namespace dorvane {

// Opens \Device\Dorvane<kernelName> with the access, sharing and options
// given (disposition FILE_OPEN).
NTSTATUS RouteOpen(const std::u16string &kernelName, ACCESS_MASK access, ULONG share,
                   ULONG options, HANDLE *handle);
IO_STATUS_BLOCK RouteQuery(HANDLE handle, void *buffer, ULONG length,
                           FILE_INFORMATION_CLASS infoClass);
IO_STATUS_BLOCK RouteSet(HANDLE handle, void *buffer, ULONG length,
                         FILE_INFORMATION_CLASS infoClass);
IO_STATUS_BLOCK RouteFsControl(HANDLE handle, ULONG code, void *input, ULONG inputLength,
                               void *output, ULONG outputLength);

}  // namespace dorvane
