// A Windows harness for the driver's service module in the Wine test
// (scripts/wine_service.sh): runs one action and prints one line,
//   ACTION: 0                       done
//   ACTION: 0 STATE | BINARY        status
//   ACTION: ERROR MESSAGE           refused with Win32 error ERROR
// MESSAGE being the explanation the command prints. Exit status 0 once the
// action ran, whatever it answered; 2 on a wrong command line.
#include "tools/service/driver_service.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv) {
  using namespace dorvane;
  std::string action = argc > 1 ? argv[1] : "";
  std::string binary = DriverBinaryPath(argc > 2 ? argv[2] : "");
  DriverServiceStatus status;
  DriverServiceAction which = DriverServiceAction::kStatus;
  uint32_t error = 0;
  if (action == "install") {
    which = DriverServiceAction::kInstall;
    error = InstallDriverService(binary);
  } else if (action == "start") {
    which = DriverServiceAction::kStart;
    error = StartDriverService();
  } else if (action == "stop") {
    which = DriverServiceAction::kStop;
    error = StopDriverService(30000);
  } else if (action == "remove") {
    which = DriverServiceAction::kRemove;
    error = RemoveDriverService();
  } else if (action == "status") {
    error = QueryDriverService(&status);
  } else {
    std::fprintf(stderr, "usage: service_client install|start|stop|remove|status [SYS]\n");
    return 2;
  }
  if (error != 0 && which != DriverServiceAction::kInstall) {
    // As the command does: a failure names the binary the service loads.
    DriverServiceStatus installed;
    binary = QueryDriverService(&installed) == 0 ? installed.binaryPath : "";
  }
  if (error != 0) {
    std::printf("%s: %u %s\n", action.c_str(), static_cast<unsigned>(error),
                DriverServiceFailure(which, error, binary).c_str());
  } else if (which == DriverServiceAction::kStatus) {
    std::printf("%s: 0 %s | %s\n", action.c_str(), DriverServiceStateName(status.state),
                status.binaryPath.c_str());
  } else {
    std::printf("%s: 0\n", action.c_str());
  }
  return 0;
}
