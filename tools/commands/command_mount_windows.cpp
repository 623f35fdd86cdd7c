// dorvane mount on Windows: the mount serves the disk through FUSE, which
// only Linux has; the verb is refused as a command line that cannot run.
#include "tools/commands/command_line.h"

namespace dorvane {

int RunMount(const CommandCall &call) {
  return call.UsageError("only on Linux (FUSE); on Windows open the image through the driver");
}

}  // namespace dorvane
