// dorvane cat: the virtual disk's bytes to standard output.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"
#include "tools/disk/transfer_size.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace dorvane {

int RunCat(const CommandCall &call) {
  uint64_t offset = 0;
  uint64_t length = 0;
  if (!call.SizeOption("--offset", &offset) || !call.SizeOption("--length", &length)) {
    return kExitUsage;
  }

  // A range outside the disk is an error rather than a silently short read,
  // found before anything is written out.
  CommandDisk disk(call.Image(), call.io);
  if (!disk.OpenAt(false, offset)) {
    return kExitFailure;
  }
  bool toTheEnd = !call.args.Has("--length");
  if (!toTheEnd && length > disk.Size() - offset) {
    return disk.Fail("cannot read", std::to_string(length) + " bytes at offset " +
                                        std::to_string(offset) +
                                        " run past the end of the disk (" +
                                        std::to_string(disk.Size()) + " bytes)");
  }

  // Without --length the copy ends where the driver's reads come back short:
  // at the end of the disk.
  uint64_t left = toTheEnd ? UINT64_MAX : length;
  TransferBuffer buffer(static_cast<size_t>(std::min<uint64_t>(left, kTransferSize)));
  // Progress only while the bytes go elsewhere than the terminal.
  const uint64_t total = toTheEnd ? disk.Size() - offset : length;
  InterruptGuard interrupt;
  Progress progress(call.io.err, "reading", total, Progress::Unit::Bytes,
                    isatty(call.io.out) == 0);
  uint64_t done = 0;
  while (left > 0) {
    uint32_t chunk = TransferChunk(offset, left);
    uint32_t transferred = 0;
    std::string where = "cannot read at offset " + std::to_string(offset);
    if (!disk.Succeeded(disk.ReadDisk(offset, buffer.data(), chunk, &transferred), where)) {
      return kExitFailure;
    }
    if (!WriteBytes(call.io.out, buffer.data(), transferred)) {
      return disk.Fail("cannot write to standard output", std::strerror(errno));
    }
    if (transferred < chunk && !toTheEnd) {
      return disk.Fail(where, "the disk gave " + std::to_string(transferred) + " of " +
                                  std::to_string(chunk) + " bytes");
    }
    if (transferred < chunk) {
      break;
    }
    offset += chunk;
    left -= chunk;
    done += chunk;
    progress.Update(done);
    if (done < total && interrupt.Requested()) {
      progress.Finish();
      return disk.Fail("interrupted", "wrote " + std::to_string(done) + " of " +
                                          std::to_string(total) +
                                          " bytes to standard output; the rest was not read");
    }
  }
  return 0;
}

}  // namespace dorvane
