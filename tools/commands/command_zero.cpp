// dorvane zero: a zero-data request for a range of the virtual disk. A dynamic
// image gives back every block the range leaves entirely zero.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"

namespace dorvane {

int RunZero(const CommandCall &call) {
  if (!call.args.Has("--offset") || !call.args.Has("--length")) {
    return call.UsageError("--offset and --length are required");
  }
  uint64_t offset = 0;
  uint64_t length = 0;
  if (!call.SizeOption("--offset", &offset) || !call.SizeOption("--length", &length)) {
    return kExitUsage;
  }
  CommandDisk disk(call.Image(), call.io);
  if (!disk.OpenAt(true, 0)) {
    return kExitFailure;
  }
  // The zero-data request takes ranges that end before the end of the disk.
  uint64_t size = disk.Size();
  std::string range = std::to_string(length) + " bytes at offset " + std::to_string(offset);
  if (offset >= size || length >= size - offset) {
    return disk.Fail("cannot zero",
                     range + (offset >= size || length > size - offset ? " run past" : " reach") +
                         " the end of the disk (" + std::to_string(size) +
                         " bytes); a zero-data range must end before it (dorvane trim reaches "
                         "the end); nothing was zeroed");
  }
  return disk.FinishChange(disk.ZeroRange(offset, length), "cannot zero " + range);
}

}  // namespace dorvane
