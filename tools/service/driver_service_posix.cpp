// The driver's service where there is no service manager: on Linux the
// driver runs inside each dorvane command, on its host kernel, so every call
// is refused and the command says the verb is for Windows.
#include "tools/service/driver_service.h"

namespace dorvane {

bool DriverServicesExist() { return false; }

std::string DriverBinaryPath(const std::string &binary) {
  return binary.empty() ? kDefaultDriverBinary : binary;
}

uint32_t InstallDriverService(const std::string &) { return kErrorCallNotImplemented; }

uint32_t StartDriverService() { return kErrorCallNotImplemented; }

uint32_t StopDriverService(uint32_t) { return kErrorCallNotImplemented; }

uint32_t RemoveDriverService() { return kErrorCallNotImplemented; }

uint32_t QueryDriverService(DriverServiceStatus *) { return kErrorCallNotImplemented; }

}  // namespace dorvane
