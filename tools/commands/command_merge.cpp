// dorvane merge: folds a differencing image into its parent (or the ancestor
// at --levels N) through the driver's private merge code, a few blocks per
// request, until no block remains; the emptied image is then deleted when
// the handle closes. Each request leaves a chain that reads the same virtual
// disk, so Ctrl-C stops after the request in progress and a later run
// finishes the merge.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/image_files/image_inspector.h"
#include "tools/disk/errors.h"

#include "format/vhd_format.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace dorvane {

namespace {

int RunMerge(const Arguments &args, const CommandIo &io);

const CommandDef kMerge = {
    "merge",
    "merge IMAGE [--levels N] [--blocks-per-request K]",
    "Merge the differencing image IMAGE into its parent (--levels N: into the ancestor N levels "
    "down, default 1), K blocks per request (default 16); IMAGE is deleted when done. Ctrl-C "
    "stops after the request in progress; run again to finish. The receiving image keeps its "
    "identity, so every other differencing image made on it (a sibling of IMAGE) reads the "
    "merged data too: merge only where IMAGE is its only child.",
    {{"--levels", true, false}, {"--blocks-per-request", true, false}},
    1,
    RunMerge,
};

const uint64_t kDefaultBlocksPerRequest = 16;

volatile sig_atomic_t interruptRequested = 0;

void OnInterrupt(int) { interruptRequested = 1; }

// SIGINT asks for a stop between requests while the object lives.
class InterruptGuard {
 public:
  InterruptGuard() {
    interruptRequested = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &saved_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &saved_, nullptr); }
  InterruptGuard(const InterruptGuard &) = delete;
  InterruptGuard &operator=(const InterruptGuard &) = delete;
  bool Requested() const { return interruptRequested != 0; }

 private:
  struct sigaction saved_ {};
};

std::string Duration(double seconds) {
  long whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof(text), "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// "merging: 120 of 512 blocks (23%), 35.2 blocks/s, 0:11 left", over the
// previous line of the terminal.
void ShowProgress(int fd, uint64_t merged, uint64_t total, double seconds) {
  double rate = seconds > 0 ? static_cast<double>(merged) / seconds : 0;
  char text[160];
  std::snprintf(text, sizeof(text), "\rmerging: %llu of %llu blocks (%llu%%), %.1f blocks/s, %s left ",
                static_cast<unsigned long long>(merged), static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(total == 0 ? 100 : merged * 100 / total), rate,
                rate > 0 ? Duration(static_cast<double>(total - merged) / rate).c_str() : "-:--");
  WriteText(fd, text);
}

bool OptionAsCount(const Arguments &args, const std::string &name, uint64_t fallback,
                   const CommandIo &io, uint32_t *value, int *exitCode) {
  uint64_t number = fallback;
  if (!SizeOption(args, name, kMerge, io, &number, exitCode)) {
    return false;
  }
  if (number == 0 || number > 0xFFFFFFFFu) {
    *exitCode = UsageError(io, kMerge, name + " must be between 1 and 4294967295");
    return false;
  }
  *value = static_cast<uint32_t>(number);
  return true;
}

int RunMerge(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  uint32_t levels = 0;
  uint32_t perRequest = 0;
  int exitCode = 0;
  if (!OptionAsCount(args, "--levels", 1, io, &levels, &exitCode) ||
      !OptionAsCount(args, "--blocks-per-request", kDefaultBlocksPerRequest, io, &perRequest,
                     &exitCode)) {
    return exitCode;
  }

  Disk disk;
  NTSTATUS status = disk.OpenDisk(image, true);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot open image for writing", status);
    return kExitFailure;
  }
  std::vector<ImageRecords> chain;
  if (InspectFailure failure = InspectChain(image, &chain)) {
    ReportError(io.err, failure.path, "cannot inspect image", failure.what);
    return kExitFailure;
  }
  if (chain.empty() || chain[0].DiskType() != VHD_DISK_TYPE_DIFFERENCING) {
    ReportError(io.err, image, "cannot merge", "not a differencing image");
    return kExitFailure;
  }
  if (levels >= chain.size()) {
    ReportError(io.err, image, "cannot merge",
                "--levels " + std::to_string(levels) + " asks for more than its " +
                    std::to_string(chain.size() - 1) + " parent images");
    return kExitFailure;
  }
  const std::string &receiver = chain[levels].path;

  // The first request makes the parents writable and merges nothing: it
  // tells how many blocks there are.
  uint32_t merged = 0;
  uint32_t remaining = 0;
  status = disk.MergeStep(levels, 0, &merged, &remaining);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot make " + receiver + " writable for the merge", status);
    return kExitFailure;
  }
  const uint64_t total = remaining;
  WriteText(io.out, "Merging " + std::to_string(total) + " blocks of " + image + " into " +
                        receiver + ". Every other image made on " + receiver +
                        " reads the merged data too.\n");

  bool terminal = isatty(io.err) != 0;
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  uint64_t done = 0;
  bool interrupted = false;
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
      if (terminal) {
        ShowProgress(io.err, done, total, elapsed());
      }
      // A request that merges nothing while blocks remain would repeat
      // forever.
      if (merged == 0 && remaining > 0) {
        status = STATUS_INTERNAL_ERROR;
        break;
      }
    }
  }
  if (terminal && total > 0) {
    WriteText(io.err, "\n");
  }
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image,
                 "merge stopped after " + std::to_string(done) + " of " + std::to_string(total) +
                     " blocks; the chain reads as before, run the command again to go on",
                 status);
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
  struct stat info;
  bool removed = stat(image.c_str(), &info) != 0;
  WriteText(io.out, "Merged " + std::to_string(done) + " blocks into " + receiver + " in " +
                        Duration(elapsed()) + "; " + image +
                        (removed ? " is removed" : " is empty but was not removed") +
                        ". Every other image made on " + receiver +
                        " now reads the merged data.\n");
  return removed ? 0 : kExitFailure;
}

}  // namespace

const CommandDef &MergeCommand() { return kMerge; }

}  // namespace dorvane
