// The virtual disk a subcommand works on, through the driver. Each step
// reports its own failure as the command's one error line naming the image,
// so that a subcommand reads as its steps (open, do it, flush) and ends at
// the first that fails.
#pragma once

#include "tools/commands/commands.h"
#include "tools/disk/disk_access.h"

#include <cstdint>
#include <string>

namespace dorvane {

// Opens the image's virtual disk through the driver and checks that offset
// lies on it (or at its end). *size is the disk's size as the driver answers
// a standard-information query on the handle. False after the error line: a
// refused open is explained from the image's files, and a refused write says
// that nothing was written.
bool OpenDiskAt(const std::string &image, bool writable, uint64_t offset, const CommandIo &io,
                Disk *disk, uint64_t *size);

// A Disk whose steps report their failures on io.err. Steps that go on
// return whether they succeeded; steps that end the command return its exit
// code.
class CommandDisk : public Disk {
 public:
  CommandDisk(const std::string &image, const CommandIo &io) : image_(image), io_(io) {}

  // OpenDiskAt for this image; Size() is then the disk's size.
  bool OpenAt(bool writable, uint64_t offset) {
    return OpenDiskAt(image_, writable, offset, io_, this, &size_);
  }
  // Opens the disk; a refusal is the line "WHAT: STATUS", unexplained.
  bool OpenUnexplained(bool writable, const std::string &what);
  // Asks the driver for the disk's size again.
  bool QuerySize();
  uint64_t Size() const { return size_; }

  // Whether status succeeded; else the line "WHAT: STATUS".
  bool Succeeded(NTSTATUS status, const std::string &what);

  // Ends a change: status as Succeeded, then the flush request. The exit code.
  int FinishChange(NTSTATUS status, const std::string &what);
  // The flush request; 0, or kExitFailure after the line "WHAT: STATUS".
  int Flush(const std::string &what = "cannot flush image");
  // The line "WHAT: DETAIL"; kExitFailure.
  int Fail(const std::string &what, const std::string &detail);

 private:
  std::string image_;
  CommandIo io_;
  uint64_t size_ = 0;
};

}  // namespace dorvane
