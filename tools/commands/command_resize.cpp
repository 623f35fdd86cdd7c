// dorvane resize: grows the virtual disk by setting the end of file of its
// handle; the driver moves the footer or extends the block table.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"

#include <string>

namespace dorvane {

namespace {

int RunResize(const Arguments &args, const CommandIo &io);

const CommandDef kResize = {
    "resize",
    "resize IMAGE --size SIZE",
    "Grow a fixed or dynamic image's virtual disk to SIZE (dynamic: whole blocks).",
    {{"--size", true, false}},
    1,
    RunResize,
};

int RunResize(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  if (!args.Has("--size")) {
    return UsageError(io, kResize, "--size is required");
  }
  uint64_t size = 0;
  int exitCode = 0;
  if (!SizeOption(args, "--size", kResize, io, &size, &exitCode)) {
    return exitCode;
  }

  Disk disk;
  NTSTATUS status = disk.OpenDisk(image, true);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot open image", status);
    return kExitFailure;
  }
  uint64_t current = 0;
  status = disk.QueryDiskSize(&current);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot query the disk size", status);
    return kExitFailure;
  }
  // The driver refuses this too; asking first names both sizes.
  if (size < current) {
    ReportError(io.err, image, "cannot resize",
                "the new size " + std::to_string(size) + " is smaller than the current size " +
                    std::to_string(current) + " (images only grow)");
    return kExitFailure;
  }
  status = disk.SetDiskEnd(size);
  if (status == STATUS_NOT_SUPPORTED) {
    ReportError(io.err, image, "cannot resize",
                "only fixed and dynamic images can grow, not differencing images (" +
                    StatusText(status) + ")");
    return kExitFailure;
  }
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot resize to " + std::to_string(size) + " bytes", status);
    return kExitFailure;
  }
  status = disk.QueryDiskSize(&current);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot query the disk size", status);
    return kExitFailure;
  }
  return WriteText(io.out, image + ": virtual disk " + std::to_string(current) + " bytes\n")
             ? 0
             : kExitFailure;
}

}  // namespace

const CommandDef &ResizeCommand() { return kResize; }

}  // namespace dorvane
