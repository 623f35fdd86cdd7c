// dorvane cat: the virtual disk's bytes to standard output.
#include "command_line.h"
#include "disk_access.h"
#include "errors.h"
#include "transfer_size.h"

#include <cerrno>
#include <cstring>
#include <vector>

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

  Disk disk;
  NTSTATUS status = disk.OpenDisk(image, false);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot open image", status);
    return kExitFailure;
  }
  uint64_t size = disk.DiskSize();
  // A range outside the disk is an error rather than a silently short read.
  if (offset > size) {
    ReportError(io.err, image, "cannot read",
                "offset " + std::to_string(offset) + " is past the end of the disk (" +
                    std::to_string(size) + " bytes)");
    return kExitFailure;
  }
  if (!args.Has("--length")) {
    length = size - offset;
  } else if (length > size - offset) {
    ReportError(io.err, image, "cannot read",
                std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                    " run past the end of the disk (" + std::to_string(size) + " bytes)");
    return kExitFailure;
  }

  std::vector<uint8_t> buffer(static_cast<size_t>(length < kTransferSize ? length : kTransferSize));
  while (length > 0) {
    uint32_t chunk = static_cast<uint32_t>(length < kTransferSize ? length : kTransferSize);
    uint32_t transferred = 0;
    status = disk.ReadDisk(offset, buffer.data(), chunk, &transferred);
    if (!NT_SUCCESS(status)) {
      ReportStatus(io.err, image, "cannot read at offset " + std::to_string(offset), status);
      return kExitFailure;
    }
    if (transferred != chunk) {
      ReportError(io.err, image, "cannot read at offset " + std::to_string(offset),
                  "the disk gave " + std::to_string(transferred) + " of " +
                      std::to_string(chunk) + " bytes");
      return kExitFailure;
    }
    if (!WriteBytes(io.out, buffer.data(), chunk)) {
      ReportError(io.err, image, "cannot write to standard output", std::strerror(errno));
      return kExitFailure;
    }
    offset += chunk;
    length -= chunk;
  }
  return 0;
}

}  // namespace

const CommandDef &CatCommand() { return kCat; }

}  // namespace dorvane
