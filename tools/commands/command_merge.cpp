// dorvane merge: folds a differencing image into its parent (or the ancestor
// at --levels N) through the driver's private merge code, a few blocks per
// request, until no block remains; the emptied image is then deleted when
// the handle closes. Each request leaves a chain that reads the same virtual
// disk, so Ctrl-C stops after the request in progress and a later run
// finishes the merge.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"
#include "tools/disk/plain_files.h"
#include "tools/image_files/image_inspector.h"

#include "format/vhd_format.h"

#include <chrono>
#include <thread>

namespace dorvane {

namespace {

const uint64_t kDefaultBlocksPerRequest = 16;

// False after the usage error.
bool OptionAsCount(const CommandCall &call, const std::string &name, uint64_t fallback,
                   uint32_t *value) {
  uint64_t number = fallback;
  if (!call.SizeOption(name, &number)) {
    return false;
  }
  if (number == 0 || number > 0xFFFFFFFFu) {
    call.UsageError(name + " must be between 1 and 4294967295");
    return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}


}  // namespace

int RunMerge(const CommandCall &call) {
  uint32_t levels = 0;
  uint32_t perRequest = 0;
  if (!OptionAsCount(call, "--levels", 1, &levels) ||
      !OptionAsCount(call, "--blocks-per-request", kDefaultBlocksPerRequest, &perRequest)) {
    return kExitUsage;
  }

  const std::string &image = call.Image();
  const CommandIo &io = call.io;
  CommandDisk disk(image, io);
  if (!disk.OpenUnexplained(true, "cannot open image for writing")) {
    return kExitFailure;
  }
  std::vector<ImageRecords> chain;
  if (InspectFailure failure = InspectChain(image, &chain)) {
    ReportError(io.err, failure.path, "cannot inspect image", failure.what);
    return kExitFailure;
  }
  if (chain.empty() || chain[0].DiskType() != VHD_DISK_TYPE_DIFFERENCING) {
    return disk.Fail("cannot merge", "not a differencing image");
  }
  if (levels >= chain.size()) {
    return disk.Fail("cannot merge", "--levels " + std::to_string(levels) +
                                         " asks for more than its " +
                                         std::to_string(chain.size() - 1) + " parent images");
  }
  const std::string &receiver = chain[levels].path;

  // The first request makes the parents writable and merges nothing: it
  // tells how many blocks there are.
  uint32_t merged = 0;
  uint32_t remaining = 0;
  if (!disk.Succeeded(disk.MergeStep(levels, 0, &merged, &remaining),
                      "cannot make " + receiver + " writable for the merge")) {
    return kExitFailure;
  }
  const uint64_t total = remaining;
  WriteText(io.out, "Merging " + std::to_string(total) + " blocks of " + image + " into " +
                        receiver + ". Every other image made on " + receiver +
                        " reads the merged data too.\n");

  Progress progress(io.err, "merging", total, Progress::Unit::Blocks);
  uint64_t done = 0;
  bool interrupted = false;
  NTSTATUS status = STATUS_SUCCESS;
  {
    InterruptGuard interrupt;
    while (remaining > 0) {
      if (interrupt.Requested()) {
        interrupted = true;
        break;
      }
      status = disk.MergeStep(levels, perRequest, &merged, &remaining);
      if (!NT_SUCCESS(status)) {
        break;
      }
      done += merged;
      progress.Update(done);
      // A request that merges nothing while blocks remain would repeat
      // forever.
      if (merged == 0 && remaining > 0) {
        status = STATUS_INTERNAL_ERROR;
        break;
      }
    }
  }
  progress.Finish();
  // A failed request does not say how many of its blocks it merged before it
  // stopped (a full disk stops the parent's writes part way); one that
  // merges nothing counts what is left.
  uint32_t left = 0;
  if (!NT_SUCCESS(status) && NT_SUCCESS(disk.MergeStep(levels, 0, &merged, &left))) {
    done = total - left;
  }
  if (!disk.Succeeded(status, "merge stopped after " + std::to_string(done) + " of " +
                                  std::to_string(total) +
                                  " blocks; the chain reads as before, run the command again "
                                  "to go on")) {
    return kExitFailure;
  }
  if (interrupted) {
    WriteText(io.out, "Interrupted: merged " + std::to_string(done) + " of " +
                          std::to_string(total) + " blocks into " + receiver + "; " +
                          std::to_string(remaining) + " remain in " + image +
                          ". Run the command again to finish.\n");
    return kExitFailure;
  }
  disk.Close();
  // The driver deletes the image as its last handle closes, which a system
  // may do after the close returns (Wine does; on Windows another program
  // holding the file defers it); the name is given a moment to go.
  bool removed = KindOfPath(image) == PathKind::kMissing;
  for (int wait = 0; !removed && wait < 40; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    removed = KindOfPath(image) == PathKind::kMissing;
  }
  WriteText(io.out, "Merged " + std::to_string(done) + " blocks into " + receiver + " in " +
                        Duration(progress.Seconds()) + "; " + image +
                        (removed ? " is removed" : " is empty but was not removed") +
                        ". Every other image made on " + receiver +
                        " now reads the merged data.\n");
  return removed ? 0 : kExitFailure;
}

}  // namespace dorvane
