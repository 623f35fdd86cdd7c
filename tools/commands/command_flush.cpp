// dorvane flush: a flush request on the image's handle, which writes back the
// image and its whole parent chain.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"

namespace dorvane {

int RunFlush(const CommandCall &call) {
  CommandDisk disk(call.Image(), call.io);
  // A flush is an exclusive request: the driver takes it only on a handle
  // that may write.
  if (!disk.OpenUnexplained(true, "cannot open image")) {
    return kExitFailure;
  }
  return disk.Flush("cannot flush");
}

}  // namespace dorvane
