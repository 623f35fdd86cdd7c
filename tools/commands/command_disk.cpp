// The subcommands' steps on a virtual disk, each reporting its own failure.
#include "tools/commands/command_disk.h"

#include "tools/disk/errors.h"
#include "tools/image_files/open_failure.h"

namespace dorvane {

bool OpenDiskAt(const std::string &image, bool writable, uint64_t offset, const CommandIo &io,
                Disk *disk, uint64_t *size) {
  NTSTATUS status = disk->OpenDisk(image, writable);
  if (!NT_SUCCESS(status)) {
    const char *what = writable ? "cannot open image for writing" : "cannot open image";
    ReportOpenFailure(io.err, image, what, ExplainOpenFailure(image, writable, status), status);
    return false;
  }
  status = disk->QueryDiskSize(size);
  if (!NT_SUCCESS(status)) {
    ReportStatus(io.err, image, "cannot query the disk size", status);
    return false;
  }
  if (offset > *size) {
    ReportError(io.err, image, writable ? "cannot write" : "cannot read",
                "offset " + std::to_string(offset) + " is past the end of the disk (" +
                    std::to_string(*size) + " bytes)" + (writable ? "; nothing was written" : ""));
    return false;
  }
  return true;
}

bool CommandDisk::OpenUnexplained(bool writable, const std::string &what) {
  return Succeeded(OpenDisk(image_, writable), what);
}

bool CommandDisk::QuerySize() {
  return Succeeded(QueryDiskSize(&size_), "cannot query the disk size");
}

bool CommandDisk::Succeeded(NTSTATUS status, const std::string &what) {
  if (!NT_SUCCESS(status)) {
    ReportStatus(io_.err, image_, what, status);
    return false;
  }
  return true;
}

int CommandDisk::FinishChange(NTSTATUS status, const std::string &what) {
  return Succeeded(status, what) ? Flush() : kExitFailure;
}

int CommandDisk::Flush(const std::string &what) {
  return Succeeded(FlushDisk(), what) ? 0 : kExitFailure;
}

int CommandDisk::Fail(const std::string &what, const std::string &detail) {
  ReportError(io_.err, image_, what, detail);
  return kExitFailure;
}

}  // namespace dorvane
