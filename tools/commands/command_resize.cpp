// dorvane resize: grows the virtual disk by setting the end of file of its
// handle; the driver moves the footer or extends the block table.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/disk/errors.h"

#include <string>

namespace dorvane {

int RunResize(const CommandCall &call) {
  uint64_t size = 0;
  if (!call.RequiredSizeOption("--size", &size)) {
    return kExitUsage;
  }
  CommandDisk disk(call.Image(), call.io);
  if (!disk.OpenUnexplained(true, "cannot open image") || !disk.QuerySize()) {
    return kExitFailure;
  }
  // The driver refuses this too; asking first names both sizes.
  if (size < disk.Size()) {
    return disk.Fail("cannot resize", "the new size " + std::to_string(size) +
                                          " is smaller than the current size " +
                                          std::to_string(disk.Size()) + " (images only grow)");
  }
  NTSTATUS status = disk.SetDiskEnd(size);
  if (status == STATUS_NOT_SUPPORTED) {
    return disk.Fail("cannot resize",
                     "only fixed and dynamic images can grow, not differencing images (" +
                         StatusText(status) + ")");
  }
  if (!disk.Succeeded(status, "cannot resize to " + std::to_string(size) + " bytes") ||
      !disk.QuerySize()) {
    return kExitFailure;
  }
  return WriteText(call.io.out,
                   call.Image() + ": virtual disk " + std::to_string(disk.Size()) + " bytes\n")
             ? 0
             : kExitFailure;
}

}  // namespace dorvane
