// dorvane cat: the virtual disk's bytes to standard output.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"
#include "tools/disk/transfer_size.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dorvane {

namespace {

int RunCat(const Arguments &args, const CommandIo &io);

const CommandDef kCat = {
    "cat",
    "cat IMAGE [--offset N] [--length N]",
    "Write the virtual disk's bytes to standard output (default: from the offset to the end).",
    {{"--offset", true, false}, {"--length", true, false}},
    1,
    RunCat,
};

int RunCat(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  uint64_t offset = 0;
  uint64_t length = 0;
  int exitCode = 0;
  if (!SizeOption(args, "--offset", kCat, io, &offset, &exitCode) ||
      !SizeOption(args, "--length", kCat, io, &length, &exitCode)) {
    return exitCode;
  }

  // A range outside the disk is an error rather than a silently short read,
  // found before anything is written out.
  Disk disk;
  uint64_t size = 0;
  if (!OpenDiskAt(image, false, offset, io, &disk, &size)) {
    return kExitFailure;
  }
  bool toTheEnd = !args.Has("--length");
  if (!toTheEnd && length > size - offset) {
    ReportError(io.err, image, "cannot read",
                std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                    " run past the end of the disk (" + std::to_string(size) + " bytes)");
    return kExitFailure;
  }

  // Without --length the copy ends where the driver's reads come back short:
  // at the end of the disk.
  uint64_t left = toTheEnd ? UINT64_MAX : length;
  TransferBuffer buffer(static_cast<size_t>(std::min<uint64_t>(left, kTransferSize)));
  while (left > 0) {
    uint32_t chunk = TransferChunk(offset, left);
    uint32_t transferred = 0;
    NTSTATUS status = disk.ReadDisk(offset, buffer.data(), chunk, &transferred);
    if (!NT_SUCCESS(status)) {
      ReportStatus(io.err, image, "cannot read at offset " + std::to_string(offset), status);
      return kExitFailure;
    }
    if (!WriteBytes(io.out, buffer.data(), transferred)) {
      ReportError(io.err, image, "cannot write to standard output", std::strerror(errno));
      return kExitFailure;
    }
    if (transferred < chunk && !toTheEnd) {
      ReportError(io.err, image, "cannot read at offset " + std::to_string(offset),
                  "the disk gave " + std::to_string(transferred) + " of " +
                      std::to_string(chunk) + " bytes");
      return kExitFailure;
    }
    if (transferred < chunk) {
      break;
    }
    offset += chunk;
    left -= chunk;
  }
  return 0;
}

}  // namespace

const CommandDef &CatCommand() { return kCat; }

}  // namespace dorvane
