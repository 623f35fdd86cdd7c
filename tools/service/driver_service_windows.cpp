// The driver's kernel service over the Windows service control manager: the
// calls `sc create ... type= kernel start= demand`, `sc start`, `sc stop`,
// `sc delete` and `sc queryex` make. Every call opens the manager and the
// service with only the access it needs, so that status works from a prompt
// that is not elevated.
#include "tools/service/driver_service.h"

#include <windows.h>

#include <vector>

namespace dorvane {

namespace {

// How often a wait for the service's state looks at it.
const DWORD kPollMilliseconds = 100;
// How long a start waits for the service manager to report the driver running
// after StartServiceW returned (a kernel service normally is at once).
const uint32_t kStartWaitMilliseconds = 30000;

// Closes a service manager or service handle on every exit.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ServiceHandle() { reset(nullptr); }
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;

  void reset(SC_HANDLE handle) {
    if (handle_ != nullptr) {
      CloseServiceHandle(handle_);
    }
    handle_ = handle;
  }
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

std::wstring Wide(const std::string &text) {
  if (text.empty()) {
    return std::wstring();
  }
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
  return wide;
}

std::string Utf8(const wchar_t *text) {
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) {
    return std::string();
  }
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(length) - 1);
  return narrow;
}

// Opens the driver's service with access; *error is 0 or why it could not.
SC_HANDLE OpenDriverService(DWORD access, uint32_t *error) {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) {
    *error = GetLastError();
    return nullptr;
  }
  SC_HANDLE service = OpenServiceW(manager.get(), Wide(kDriverServiceName).c_str(), access);
  *error = service == nullptr ? GetLastError() : 0;
  return service;
}

uint32_t CurrentState(SC_HANDLE service, DWORD *state) {
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE *>(&status),
                            sizeof(status), &needed)) {
    return GetLastError();
  }
  *state = status.dwCurrentState;
  return 0;
}

// Opens the driver's service with access, which must include
// SERVICE_QUERY_STATUS, and reads its state: 0, or why either failed.
uint32_t OpenDriverServiceState(DWORD access, ServiceHandle *service, DWORD *state) {
  uint32_t error = 0;
  service->reset(OpenDriverService(access, &error));
  return *service ? CurrentState(service->get(), state) : error;
}

// Waits, at most waitMilliseconds, while the service is in pendingState.
// Returns 0 once it is in wantedState, kErrorServiceRequestTimeout when it
// is still pending then, or the error of a failed query. A service that
// leaves the pending state for another than the wanted one counts as timed
// out too: it did not do what was asked.
uint32_t WaitForState(SC_HANDLE service, DWORD pendingState, DWORD wantedState,
                      uint32_t waitMilliseconds) {
  ULONGLONG deadline = GetTickCount64() + waitMilliseconds;
  for (;;) {
    DWORD state = 0;
    uint32_t error = CurrentState(service, &state);
    if (error != 0) {
      return error;
    }
    if (state == wantedState) {
      return 0;
    }
    if (state != pendingState || GetTickCount64() >= deadline) {
      return kErrorServiceRequestTimeout;
    }
    Sleep(kPollMilliseconds);
  }
}

std::string SystemRoot() {
  wchar_t folder[MAX_PATH + 1] = {};
  UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
  return length == 0 || length > MAX_PATH ? std::string("C:\\Windows") : Utf8(folder);
}

// The binary the service loads, as a Win32 path.
uint32_t BinaryOf(SC_HANDLE service, std::string *binaryPath) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return GetLastError();
  }
  // The record and the strings it points to, in storage aligned for it.
  std::vector<QUERY_SERVICE_CONFIGW> config(needed / sizeof(QUERY_SERVICE_CONFIGW) + 1);
  if (!QueryServiceConfigW(service, config.data(),
                           static_cast<DWORD>(config.size() * sizeof(config[0])), &needed)) {
    return GetLastError();
  }
  *binaryPath = config[0].lpBinaryPathName == nullptr
                    ? std::string()
                    : Win32DriverPath(Utf8(config[0].lpBinaryPathName), SystemRoot());
  return 0;
}

DriverServiceState StateOf(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return DriverServiceState::kStopped;
    case SERVICE_START_PENDING:
      return DriverServiceState::kStartPending;
    case SERVICE_RUNNING:
      return DriverServiceState::kRunning;
    case SERVICE_STOP_PENDING:
      return DriverServiceState::kStopPending;
    default:
      return DriverServiceState::kOther;
  }
}

}  // namespace

bool DriverServicesExist() { return true; }

std::string DriverBinaryPath(const std::string &binary) {
  if (binary.empty()) {
    std::wstring pattern = Wide(kDefaultDriverBinary);
    DWORD length = ExpandEnvironmentStringsW(pattern.c_str(), nullptr, 0);
    std::vector<wchar_t> expanded(length + 1, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(pattern.c_str(), expanded.data(), length) == 0) {
      return kDefaultDriverBinary;
    }
    return Utf8(expanded.data());
  }
  std::wstring relative = Wide(binary);
  DWORD length = GetFullPathNameW(relative.c_str(), 0, nullptr, nullptr);
  std::vector<wchar_t> full(length + 1, L'\0');
  if (length == 0 || GetFullPathNameW(relative.c_str(), length, full.data(), nullptr) == 0) {
    return binary;
  }
  return Utf8(full.data());
}

uint32_t InstallDriverService(const std::string &binaryPath) {
  std::wstring path = Wide(binaryPath);
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? kErrorPathNotFound : kErrorFileNotFound;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return kErrorFileNotFound;
  }
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) {
    return GetLastError();
  }
  ServiceHandle service(CreateServiceW(
      manager.get(), Wide(kDriverServiceName).c_str(), Wide(kDriverServiceDisplayName).c_str(),
      SERVICE_QUERY_STATUS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
      path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  return service ? 0 : GetLastError();
}

uint32_t StartDriverService() {
  uint32_t error = 0;
  ServiceHandle service(
      OpenDriverService(SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, &error));
  if (!service) {
    return error;
  }
  if (!StartServiceW(service.get(), 0, nullptr)) {
    error = GetLastError();
    if (error == kErrorServiceAlreadyRunning || error == kErrorAccessDenied) {
      return error;
    }
    // Not every service manager says that the binary is gone (Wine reports
    // a failed load): name that cause when it is the one.
    std::string binary;
    bool missing = BinaryOf(service.get(), &binary) == 0 && !binary.empty() &&
                   GetFileAttributesW(Wide(binary).c_str()) == INVALID_FILE_ATTRIBUTES;
    return missing ? kErrorFileNotFound : error;
  }
  return WaitForState(service.get(), SERVICE_START_PENDING, SERVICE_RUNNING,
                      kStartWaitMilliseconds);
}

uint32_t StopDriverService(uint32_t waitMilliseconds) {
  uint32_t error = 0;
  ServiceHandle service(OpenDriverService(SERVICE_STOP | SERVICE_QUERY_STATUS, &error));
  if (!service) {
    return error;
  }
  SERVICE_STATUS status = {};
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    return GetLastError();
  }
  return WaitForState(service.get(), SERVICE_STOP_PENDING, SERVICE_STOPPED, waitMilliseconds);
}

uint32_t RemoveDriverService() {
  ServiceHandle service;
  DWORD state = 0;
  uint32_t error = OpenDriverServiceState(DELETE | SERVICE_QUERY_STATUS, &service, &state);
  if (error != 0) {
    return error;
  }
  // A running driver's service would only be marked for deletion, and could
  // then be neither started nor installed again until the driver stopped.
  if (state != SERVICE_STOPPED) {
    return kErrorServiceAlreadyRunning;
  }
  return DeleteService(service.get()) ? 0 : GetLastError();
}

uint32_t QueryDriverService(DriverServiceStatus *status) {
  *status = DriverServiceStatus();
  ServiceHandle service;
  DWORD state = 0;
  uint32_t error =
      OpenDriverServiceState(SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG, &service, &state);
  if (error == kErrorServiceDoesNotExist) {
    return 0;
  }
  if (error != 0) {
    return error;
  }
  error = BinaryOf(service.get(), &status->binaryPath);
  if (error != 0) {
    return error;
  }
  status->state = StateOf(state);
  return 0;
}

}  // namespace dorvane
