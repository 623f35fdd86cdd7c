// dorvane trim: one file-level trim request with several ranges. Each range
// reads as zeros afterwards; a dynamic image gives back the blocks left all
// zero. A range the driver refuses ends the request; the ones before it stay
// trimmed.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"
#include "tools/commands/size_parse.h"

namespace dorvane {

namespace {

int RunTrim(const Arguments &args, const CommandIo &io);

const CommandDef kTrim = {
    "trim",
    "trim IMAGE OFFSET:LENGTH...",
    "Trim the given ranges of the virtual disk in one file-level trim request: they read as "
    "zeros afterwards.",
    {},
    1,
    RunTrim,
    true,
};

int RunTrim(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  if (args.positional.size() < 2) {
    return UsageError(io, kTrim, "no range given");
  }
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (size_t i = 1; i < args.positional.size(); ++i) {
    const std::string &text = args.positional[i];
    size_t colon = text.find(':');
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string error = colon == std::string::npos ? "expected OFFSET:LENGTH" : "";
    if (error.empty()) {
      error = ParseSize(text.substr(0, colon), &offset);
    }
    if (error.empty()) {
      error = ParseSize(text.substr(colon + 1), &length);
    }
    if (!error.empty()) {
      return UsageError(io, kTrim, "range \"" + text + "\": " + error);
    }
    ranges.emplace_back(offset, length);
  }
  Disk disk;
  uint64_t size = 0;
  if (!OpenDiskAt(image, true, 0, io, &disk, &size)) {
    return kExitFailure;
  }
  // Checked here too, so that a range past the end trims nothing at all.
  for (const auto &range : ranges) {
    if (range.first > size || range.second > size - range.first) {
      ReportError(io.err, image, "cannot trim",
                  std::to_string(range.second) + " bytes at offset " +
                      std::to_string(range.first) + " run past the end of the disk (" +
                      std::to_string(size) + " bytes); nothing was trimmed");
      return kExitFailure;
    }
  }
  NTSTATUS status = disk.TrimRanges(ranges);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot trim", status);
    return kExitFailure;
  }
  return FlushDiskOrReport(&disk, image, io) ? 0 : kExitFailure;
}

}  // namespace

const CommandDef &TrimCommand() { return kTrim; }

}  // namespace dorvane
