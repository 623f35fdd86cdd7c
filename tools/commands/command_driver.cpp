// dorvane driver: the driver's kernel service on Windows (install, start,
// stop, remove, status) through tools/service. Where there is no service
// manager every action is refused with one line saying so.
#include "tools/commands/command_line.h"
#include "tools/disk/errors.h"
#include "tools/service/driver_service.h"

#include <string>

namespace dorvane {

namespace {

// How long stop waits for the driver to unload.
const uint32_t kStopWaitMilliseconds = 30000;

struct DriverAction {
  const char *name;
  DriverServiceAction action;
  const char *failure;  // "cannot ..." in its error lines
  bool takesBinary;     // install [SYS]
};

const DriverAction kDriverActions[] = {
    {"install", DriverServiceAction::kInstall, "cannot install", true},
    {"start", DriverServiceAction::kStart, "cannot start", false},
    {"stop", DriverServiceAction::kStop, "cannot stop", false},
    {"remove", DriverServiceAction::kRemove, "cannot remove", false},
    {"status", DriverServiceAction::kStatus, "cannot query", false},
};

std::string ServiceSubject() { return std::string("service ") + kDriverServiceName; }

int Fail(const CommandCall &call, const DriverAction &action, uint32_t error,
         const std::string &binaryPath) {
  ReportError(call.io.err, ServiceSubject(), action.failure,
              DriverServiceFailure(action.action, error, binaryPath));
  return kExitFailure;
}

// The binary the installed service loads, for the lines that name it; "" when
// it cannot be told.
std::string InstalledBinary() {
  DriverServiceStatus status;
  return QueryDriverService(&status) == 0 ? status.binaryPath : "";
}

int Report(const CommandCall &call, const std::string &text) {
  return WriteText(call.io.out, ServiceSubject() + text + "\n") ? 0 : kExitFailure;
}

int RunAction(const CommandCall &call, const DriverAction &action) {
  const std::vector<std::string> &words = call.args.positional;
  switch (action.action) {
    case DriverServiceAction::kInstall: {
      std::string binary = DriverBinaryPath(words.size() > 1 ? words[1] : "");
      uint32_t error = InstallDriverService(binary);
      if (error != 0) {
        return Fail(call, action, error, binary);
      }
      return Report(call, " installed: kernel driver " + binary +
                              ", started on demand (dorvane driver start loads it)");
    }
    case DriverServiceAction::kStart: {
      uint32_t error = StartDriverService();
      if (error != 0) {
        return Fail(call, action, error, InstalledBinary());
      }
      return Report(call, " started: the driver is running");
    }
    case DriverServiceAction::kStop: {
      uint32_t error = StopDriverService(kStopWaitMilliseconds);
      if (error != 0) {
        return Fail(call, action, error, "");
      }
      return Report(call, " stopped: the driver is unloaded");
    }
    case DriverServiceAction::kRemove: {
      std::string binary = InstalledBinary();
      uint32_t error = RemoveDriverService();
      if (error != 0) {
        return Fail(call, action, error, binary);
      }
      return Report(call, " removed" + (binary.empty() ? "" : "; " + binary + " is left in place"));
    }
    case DriverServiceAction::kStatus: {
      DriverServiceStatus status;
      uint32_t error = QueryDriverService(&status);
      if (error != 0) {
        return Fail(call, action, error, "");
      }
      std::string text = std::string(": ") + DriverServiceStateName(status.state);
      if (status.state != DriverServiceState::kNotInstalled) {
        text += "\nbinary: " + status.binaryPath;
      }
      return Report(call, text);
    }
  }
  return kExitFailure;
}

}  // namespace

int RunDriver(const CommandCall &call) {
  const std::vector<std::string> &words = call.args.positional;
  if (words.empty()) {
    return call.UsageError("missing ACTION: install, start, stop, remove or status");
  }
  const DriverAction *action = nullptr;
  for (const DriverAction &candidate : kDriverActions) {
    if (words[0] == candidate.name) {
      action = &candidate;
    }
  }
  if (action == nullptr) {
    return call.UsageError("unknown action \"" + words[0] + "\"");
  }
  size_t allowed = action->takesBinary ? 2 : 1;
  if (words.size() > allowed) {
    return call.UsageError("unexpected argument \"" + words[allowed] + "\"");
  }
  if (!DriverServicesExist()) {
    ReportError(call.io.err, ServiceSubject(), action->failure,
                "the driver runs as a kernel service on Windows only; here every dorvane "
                "command loads it into its own host kernel, so there is nothing to install, "
                "start or stop");
    return kExitFailure;
  }
  return RunAction(call, *action);
}

}  // namespace dorvane
