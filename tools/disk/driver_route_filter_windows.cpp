// The requests of driver_route_windows.h through the test filter dorvfilt.sys
// (filter/filter_control.h), for the test under Wine only: the filter names
// the create of the device and builds the query, set and file-system control
// requests on the handle's file object.
#include "tools/disk/driver_route_windows.h"

#include "filter/filter_control.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace dorvane {

namespace {

// The filter's control device, opened once and kept for the process.
NTSTATUS OpenControl(HANDLE *control) {
  static HANDLE opened = NULL;
  if (opened == NULL) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"" DORVFILT_CONTROL_DEVICE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = NtCreateFile(&opened, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                                   &attributes, &ioStatus, NULL, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (!NT_SUCCESS(status)) {
      opened = NULL;
      return status;
    }
  }
  *control = opened;
  return STATUS_SUCCESS;
}

NTSTATUS Control(HANDLE handle, ULONG code, void *input, ULONG inputLength, void *output,
                 ULONG outputLength) {
  IO_STATUS_BLOCK ioStatus{};
  return NtDeviceIoControlFile(handle, NULL, NULL, NULL, &ioStatus, code, input, inputLength,
                               output, outputLength);
}

// One request through the filter's forward: the head, then the larger of
// the input and the output.
IO_STATUS_BLOCK Forward(HANDLE handle, ULONG major, ULONG code, const void *input,
                        ULONG inputLength, void *output, ULONG outputLength) {
  IO_STATUS_BLOCK result{};
  ULONG data = inputLength > outputLength ? inputLength : outputLength;
  if (data > DORVFILT_FORWARD_DATA_MAX) {
    result.Status = STATUS_INVALID_PARAMETER;
    return result;
  }
  DORVFILT_FORWARD_HEAD head = {major, code, inputLength, outputLength, 0, 0};
  std::vector<unsigned char> buffer(DORVFILT_FORWARD_HEAD_SIZE + data);
  std::memcpy(buffer.data(), &head, sizeof(head));
  if (inputLength != 0) {
    std::memcpy(buffer.data() + DORVFILT_FORWARD_HEAD_SIZE, input, inputLength);
  }
  ULONG length = static_cast<ULONG>(buffer.size());
  NTSTATUS status = Control(handle, DORVFILT_FORWARD, buffer.data(), length, buffer.data(), length);
  if (!NT_SUCCESS(status)) {
    result.Status = status;
    return result;
  }
  std::memcpy(&head, buffer.data(), sizeof(head));
  if (output != nullptr && NT_SUCCESS(head.Status)) {
    std::memcpy(output, buffer.data() + DORVFILT_FORWARD_HEAD_SIZE, outputLength);
  }
  result.Status = head.Status;
  result.Information = head.Information;
  return result;
}

}  // namespace

NTSTATUS RouteOpen(const std::u16string &kernelName, ACCESS_MASK access, ULONG share,
                   ULONG options, HANDLE *handle) {
  HANDLE control = NULL;
  NTSTATUS status = OpenControl(&control);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG nameBytes = static_cast<ULONG>(kernelName.size() * sizeof(char16_t));
  if (nameBytes > DORVFILT_NAME_MAX_BYTES) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  // The filter hands the driver the access as given; the I/O manager would
  // have mapped generic rights to a file's specific rights first.
  ACCESS_MASK specific = access & ~(GENERIC_READ | GENERIC_WRITE);
  specific |= (access & GENERIC_READ) != 0 ? FILE_GENERIC_READ : 0;
  specific |= (access & GENERIC_WRITE) != 0 ? FILE_GENERIC_WRITE : 0;
  DORVFILT_OPEN open = {specific, share, FILE_OPEN, options, nameBytes};
  std::vector<unsigned char> request(DORVFILT_OPEN_HEAD_SIZE + nameBytes);
  std::memcpy(request.data(), &open, sizeof(open));
  std::memcpy(request.data() + DORVFILT_OPEN_HEAD_SIZE, kernelName.data(), nameBytes);
  status = Control(control, DORVFILT_SET_OPEN, request.data(), static_cast<ULONG>(request.size()),
                   NULL, 0);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  UNICODE_STRING device;
  RtlInitUnicodeString(&device, L"" DORVFILT_TARGET_DEVICE_NAME);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &device, OBJ_CASE_INSENSITIVE, NULL, NULL);
  IO_STATUS_BLOCK ioStatus{};
  status = NtCreateFile(handle, access, &attributes, &ioStatus, NULL, 0, share, FILE_OPEN, options,
                        NULL, 0);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // A system may hand out the handle before the driver answered the create.
  LONG created = STATUS_PENDING;
  for (int tries = 0; tries < 500 && created == STATUS_PENDING; ++tries) {
    status = Control(control, DORVFILT_LAST_CREATE, NULL, 0, &created, sizeof(created));
    if (!NT_SUCCESS(status)) {
      created = status;
    } else if (created == STATUS_PENDING) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  if (!NT_SUCCESS(created)) {
    NtClose(*handle);
    *handle = NULL;
  }
  return created;
}

IO_STATUS_BLOCK RouteQuery(HANDLE handle, void *buffer, ULONG length,
                           FILE_INFORMATION_CLASS infoClass) {
  return Forward(handle, DORVFILT_FORWARD_QUERY, infoClass, NULL, 0, buffer, length);
}

IO_STATUS_BLOCK RouteSet(HANDLE handle, void *buffer, ULONG length,
                         FILE_INFORMATION_CLASS infoClass) {
  return Forward(handle, DORVFILT_FORWARD_SET, infoClass, buffer, length, NULL, 0);
}

IO_STATUS_BLOCK RouteFsControl(HANDLE handle, ULONG code, void *input, ULONG inputLength,
                               void *output, ULONG outputLength) {
  return Forward(handle, DORVFILT_FORWARD_FS_CONTROL, code, input, inputLength, output,
                 outputLength);
}

}  // namespace dorvane
