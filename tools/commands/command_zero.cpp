// dorvane zero: a zero-data request for a range of the virtual disk. A dynamic
// image gives back every block the range leaves entirely zero.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"

namespace dorvane {

namespace {

int RunZero(const Arguments &args, const CommandIo &io);

const CommandDef kZero = {
    "zero",
    "zero IMAGE --offset N --length N",
    "Make N bytes of the virtual disk read as zeros (a zero-data request; dynamic images give "
    "back the blocks left all zero). The range must end before the end of the disk; trim "
    "reaches the end.",
    {{"--offset", true, false}, {"--length", true, false}},
    1,
    RunZero,
};

int RunZero(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  if (!args.Has("--offset") || !args.Has("--length")) {
    return UsageError(io, kZero, "--offset and --length are required");
  }
  uint64_t offset = 0;
  uint64_t length = 0;
  int exitCode = 0;
  if (!SizeOption(args, "--offset", kZero, io, &offset, &exitCode) ||
      !SizeOption(args, "--length", kZero, io, &length, &exitCode)) {
    return exitCode;
  }
  Disk disk;
  uint64_t size = 0;
  if (!OpenDiskAt(image, true, 0, io, &disk, &size)) {
    return kExitFailure;
  }
  // The zero-data request takes ranges that end before the end of the disk.
  if (offset >= size || length >= size - offset) {
    ReportError(io.err, image, "cannot zero",
                std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                    (offset >= size || length > size - offset ? " run past" : " reach") +
                    " the end of the disk (" + std::to_string(size) +
                    " bytes); a zero-data range must end before it (dorvane trim reaches the "
                    "end); nothing was zeroed");
    return kExitFailure;
  }
  NTSTATUS status = disk.ZeroRange(offset, length);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot zero " + std::to_string(length) + " bytes at offset " +
                                    std::to_string(offset), status);
    return kExitFailure;
  }
  return FlushDiskOrReport(&disk, image, io) ? 0 : kExitFailure;
}

}  // namespace

const CommandDef &ZeroCommand() { return kZero; }

}  // namespace dorvane
