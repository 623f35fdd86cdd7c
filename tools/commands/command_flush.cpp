// dorvane flush: a flush request on the image's handle, which writes back the
// image and its whole parent chain.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"

#include <string>

namespace dorvane {

namespace {

int RunFlush(const Arguments &args, const CommandIo &io);

const CommandDef kFlush = {
    "flush",
    "flush IMAGE",
    "Write the image and its parent chain back to the disk (farthest parent first).",
    {},
    1,
    RunFlush,
};

int RunFlush(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  Disk disk;
  // A flush is an exclusive request: the driver takes it only on a handle
  // that may write.
  NTSTATUS status = disk.OpenDisk(image, true);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot open image", status);
    return kExitFailure;
  }
  status = disk.FlushDisk();
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot flush", status);
    return kExitFailure;
  }
  return 0;
}

}  // namespace

const CommandDef &FlushCommand() { return kFlush; }

}  // namespace dorvane
