// dorvane zero: a zero-data request for a range of the virtual disk. A dynamic
// image gives back every block the range leaves entirely zero.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"

#include <algorithm>

namespace dorvane {

namespace {

// Larger than any block and a multiple of every block size.
const uint64_t kZeroStep = 1ull << 30;

}  // namespace

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
  // One request per piece ending at a multiple of kZeroStep, so that the
  // progress moves and Ctrl-C can stop between them; the pieces' ends fall
  // on block boundaries, so a block split between two pieces is given back
  // all the same.
  InterruptGuard interrupt;
  Progress progress(call.io.err, "zeroing", length);
  for (uint64_t done = 0; done < length;) {
    uint64_t at = offset + done;
    uint64_t piece = std::min(length - done, kZeroStep - at % kZeroStep);
    if (!disk.Succeeded(disk.ZeroRange(at, piece), "cannot zero " + range)) {
      return kExitFailure;
    }
    done += piece;
    progress.Update(done);
    if (done < length && interrupt.Requested()) {
      progress.Finish();
      ReportError(call.io.err, call.Image(), "interrupted",
                  "zeroed " + std::to_string(done) + " of " + std::to_string(length) +
                      " bytes from offset " + std::to_string(offset) + "; the rest from offset " +
                      std::to_string(offset + done) + " was not zeroed");
      disk.Flush();
      return kExitFailure;
    }
  }
  progress.Finish();
  return disk.Flush();
}

}  // namespace dorvane
