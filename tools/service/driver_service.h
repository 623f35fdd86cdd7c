// tools/service: the driver's kernel service in the Windows service control
// manager, what `sc create dorvane type= kernel start= demand binPath= ...`,
// `sc start`, `sc stop`, `sc delete` and `sc queryex` do. Plain C++ here; the
// build picks the implementation: driver_service_windows.cpp over the
// service manager's API, driver_service_posix.cpp where there is none (the
// driver then runs inside each command, on the host kernel). The lines that
// explain a failure (service_messages.cpp) are the same on every system.
#pragma once

#include <cstdint>
#include <string>

namespace dorvane {

// The service's name, as `sc` and the registry know it, and its display name.
extern const char kDriverServiceName[];
extern const char kDriverServiceDisplayName[];

// Where the driver is installed unless a path is given, before %SystemRoot%
// is expanded.
extern const char kDefaultDriverBinary[];

enum class DriverServiceState {
  kNotInstalled,
  kStopped,
  kStartPending,
  kRunning,
  kStopPending,
  kOther,  // paused or pending a pause: a kernel service never is
};

struct DriverServiceStatus {
  DriverServiceState state = DriverServiceState::kNotInstalled;
  std::string binaryPath;  // a Win32 path; "" when not installed
};

// Win32 error codes the service calls give and the command names. Their
// values are Windows' own; they are here so that the messages build
// everywhere.
enum : uint32_t {
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorAccessDenied = 5,
  kErrorCallNotImplemented = 120,
  kErrorBadExeFormat = 193,
  kErrorInvalidImageHash = 577,
  kErrorDependentServicesRunning = 1051,
  kErrorServiceRequestTimeout = 1053,
  kErrorServiceAlreadyRunning = 1056,
  kErrorServiceDisabled = 1058,
  kErrorServiceDoesNotExist = 1060,
  kErrorServiceCannotAcceptCtrl = 1061,
  kErrorServiceNotActive = 1062,
  kErrorServiceMarkedForDelete = 1072,
  kErrorServiceExists = 1073,
  kErrorDuplicateServiceName = 1078,
  kErrorDriverBlocked = 1275,
};

// False where there is no service manager: every call below then fails
// with kErrorCallNotImplemented.
bool DriverServicesExist();

// The driver binary the service would load: binary made absolute, or the
// default with %SystemRoot% expanded when binary is "". The file is not
// looked at.
std::string DriverBinaryPath(const std::string &binary);

// Each call returns 0 or the Win32 error that stopped it.
//
// Registers the kernel service, demand start, loading binaryPath (absolute,
// from DriverBinaryPath) where it is: nothing is copied. kErrorFileNotFound
// when there is no such file.
uint32_t InstallDriverService(const std::string &binaryPath);
// Loads the driver and returns once the service manager reports it running.
uint32_t StartDriverService();
// Asks the driver to unload and waits, at most waitMilliseconds, for the
// service to stop; kErrorServiceRequestTimeout when it is still stopping.
uint32_t StopDriverService(uint32_t waitMilliseconds);
// Deletes the service of a stopped driver (kErrorServiceAlreadyRunning while
// it is loaded); the binary stays where it is.
uint32_t RemoveDriverService();
// The service's state and binary; kNotInstalled (and 0) when there is none.
uint32_t QueryDriverService(DriverServiceStatus *status);

// The service's binary path as the service manager keeps it (an NT name, a
// path below the system folder or a Win32 path) as a Win32 path: "\??\C:\x.sys"
// is "C:\x.sys", "\SystemRoot\x.sys" and "x.sys" are in systemRoot.
std::string Win32DriverPath(const std::string &imagePath, const std::string &systemRoot);

// --- The lines the command prints, the same on every system.

// What the service calls do, for the lines that explain their failures.
enum class DriverServiceAction { kInstall, kStart, kStop, kRemove, kStatus };

// "not installed", "stopped", "starting", "running", "stopping".
const char *DriverServiceStateName(DriverServiceState state);

// "ERROR_SERVICE_EXISTS (1073)"; "Win32 error (1234)" for codes without a
// name here.
std::string Win32ErrorText(uint32_t error);

// Why action failed with error and what to do about it, ending with the
// error's text: "the driver is already running:
// ERROR_SERVICE_ALREADY_RUNNING (1056)". binaryPath names the file where the
// error is about it.
std::string DriverServiceFailure(DriverServiceAction action, uint32_t error,
                                 const std::string &binaryPath);

}  // namespace dorvane
