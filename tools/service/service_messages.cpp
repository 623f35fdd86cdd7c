// The lines that say why a call on the driver's service failed and what the
// user can do: one text for each error a user meets, on every system.
#include "tools/service/driver_service.h"

namespace dorvane {

const char kDriverServiceName[] = "dorvane";
const char kDriverServiceDisplayName[] = "Dorvane VHD driver";
const char kDefaultDriverBinary[] = "%SystemRoot%\\System32\\drivers\\dorvane.sys";

namespace {

struct ErrorName {
  uint32_t code;
  const char *name;
};

const ErrorName kErrorNames[] = {
    {kErrorFileNotFound, "ERROR_FILE_NOT_FOUND"},
    {kErrorPathNotFound, "ERROR_PATH_NOT_FOUND"},
    {kErrorAccessDenied, "ERROR_ACCESS_DENIED"},
    {kErrorCallNotImplemented, "ERROR_CALL_NOT_IMPLEMENTED"},
    {kErrorBadExeFormat, "ERROR_BAD_EXE_FORMAT"},
    {kErrorInvalidImageHash, "ERROR_INVALID_IMAGE_HASH"},
    {kErrorDependentServicesRunning, "ERROR_DEPENDENT_SERVICES_RUNNING"},
    {kErrorServiceRequestTimeout, "ERROR_SERVICE_REQUEST_TIMEOUT"},
    {kErrorServiceAlreadyRunning, "ERROR_SERVICE_ALREADY_RUNNING"},
    {kErrorServiceDisabled, "ERROR_SERVICE_DISABLED"},
    {kErrorServiceDoesNotExist, "ERROR_SERVICE_DOES_NOT_EXIST"},
    {kErrorServiceCannotAcceptCtrl, "ERROR_SERVICE_CANNOT_ACCEPT_CTRL"},
    {kErrorServiceNotActive, "ERROR_SERVICE_NOT_ACTIVE"},
    {kErrorServiceMarkedForDelete, "ERROR_SERVICE_MARKED_FOR_DELETE"},
    {kErrorServiceExists, "ERROR_SERVICE_EXISTS"},
    {kErrorDuplicateServiceName, "ERROR_DUPLICATE_SERVICE_NAME"},
    {kErrorDriverBlocked, "ERROR_DRIVER_BLOCKED"},
};

const char kElevate[] =
    "the service manager refused: run the command from an elevated prompt (Run as "
    "administrator)";
const char kTestSigning[] =
    "Windows refused the driver's signature: 64-bit Windows loads only signed drivers; for a "
    "test-signed driver run `bcdedit /set testsigning on` from an elevated prompt (Secure "
    "Boot off) and restart";
const char kBlocked[] =
    "Windows blocked the driver (memory integrity or a driver block list): a test-signed "
    "driver needs memory integrity off and `bcdedit /set testsigning on`, then a restart";

// The explanation for one error, or nullptr when the error's name says all.
const char *Explanation(DriverServiceAction action, uint32_t error) {
  switch (error) {
    case kErrorAccessDenied:
      return kElevate;
    case kErrorInvalidImageHash:
      return kTestSigning;
    case kErrorDriverBlocked:
      return kBlocked;
    case kErrorServiceExists:
    case kErrorDuplicateServiceName:
      return "the service is already installed (dorvane driver status shows it)";
    case kErrorServiceDoesNotExist:
      return "the service is not installed (dorvane driver install installs it)";
    case kErrorServiceMarkedForDelete:
      return action == DriverServiceAction::kInstall
                 ? "the service was removed but is still in use: close every program that "
                   "holds it (such as the Services console) and try again"
                 : "the service is already removed, once every program that holds it lets "
                   "it go";
    case kErrorServiceAlreadyRunning:
      return action == DriverServiceAction::kRemove
                 ? "the driver is running: dorvane driver stop unloads it first"
                 : "the driver is already running";
    case kErrorServiceNotActive:
      return "the driver is not running";
    case kErrorServiceCannotAcceptCtrl:
      return "the driver is starting or stopping: try again in a moment";
    case kErrorServiceRequestTimeout:
      return action == DriverServiceAction::kStop
                 ? "the driver is still stopping: it unloads once every handle on its disks "
                   "is closed"
                 : "the driver did not start in time";
    case kErrorDependentServicesRunning:
      return "another running service depends on the driver: stop it first";
    case kErrorServiceDisabled:
      return "the service is disabled: sc config dorvane start= demand enables it";
    case kErrorBadExeFormat:
      return "the driver binary is not an x64 driver";
    default:
      return nullptr;
  }
}

}  // namespace

const char *DriverServiceStateName(DriverServiceState state) {
  switch (state) {
    case DriverServiceState::kNotInstalled:
      return "not installed";
    case DriverServiceState::kStopped:
      return "stopped";
    case DriverServiceState::kStartPending:
      return "starting";
    case DriverServiceState::kRunning:
      return "running";
    case DriverServiceState::kStopPending:
      return "stopping";
    case DriverServiceState::kOther:
      break;
  }
  return "paused";
}

std::string Win32ErrorText(uint32_t error) {
  for (const ErrorName &entry : kErrorNames) {
    if (entry.code == error) {
      return std::string(entry.name) + " (" + std::to_string(error) + ")";
    }
  }
  return "Win32 error (" + std::to_string(error) + ")";
}

std::string DriverServiceFailure(DriverServiceAction action, uint32_t error,
                                 const std::string &binaryPath) {
  std::string text;
  if (error == kErrorFileNotFound || error == kErrorPathNotFound) {
    text = action == DriverServiceAction::kInstall
               ? "no driver binary at " + binaryPath
               : "the driver binary " + binaryPath +
                     " is missing: put it back, or remove the service and install it again";
  } else {
    const char *explanation = Explanation(action, error);
    text = explanation != nullptr ? explanation : "the service manager refused";
  }
  return text + ": " + Win32ErrorText(error);
}

}  // namespace dorvane
