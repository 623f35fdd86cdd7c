// dorvane trim: one file-level trim request with several ranges. Each range
// reads as zeros afterwards; a dynamic image gives back the blocks left all
// zero. A range the driver refuses ends the request; the ones before it stay
// trimmed.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/commands/size_parse.h"

namespace dorvane {

int RunTrim(const CommandCall &call) {
  const std::vector<std::string> &positional = call.args.positional;
  if (positional.size() < 2) {
    return call.UsageError("no range given");
  }
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (size_t i = 1; i < positional.size(); ++i) {
    const std::string &text = positional[i];
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
      return call.UsageError("range \"" + text + "\": " + error);
    }
    ranges.emplace_back(offset, length);
  }
  CommandDisk disk(call.Image(), call.io);
  if (!disk.OpenAt(true, 0)) {
    return kExitFailure;
  }
  // Checked here too, so that a range past the end trims nothing at all.
  uint64_t size = disk.Size();
  for (const auto &range : ranges) {
    if (range.first > size || range.second > size - range.first) {
      return disk.Fail("cannot trim", std::to_string(range.second) + " bytes at offset " +
                                          std::to_string(range.first) +
                                          " run past the end of the disk (" +
                                          std::to_string(size) + " bytes); nothing was trimmed");
    }
  }
  return disk.FinishChange(disk.TrimRanges(ranges), "cannot trim");
}

}  // namespace dorvane
