// dorvane resize: grows the virtual disk by setting the end of file of its
// handle; the driver moves the footer or extends the block table. Sizes the
// format, the image's kind or the driver's table limit rule out are refused
// first, each with its own reason.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/disk/errors.h"
#include "tools/image_files/image_inspector.h"
#include "tools/image_files/image_writer.h"

#include <string>

namespace dorvane {

namespace {

// Why the image cannot grow to `size`, or "" when the driver is to try.
std::string GrowthRefusal(const std::string &image, uint64_t size, uint64_t current) {
  // The driver refuses this too; asking first names both sizes.
  if (size < current) {
    return "the new size " + std::to_string(size) + " is smaller than the current size " +
           std::to_string(current) + " (images only grow)";
  }
  if (size > VHD_MAX_DISK_SIZE) {
    return DiskSizeBeyondFormat(size);
  }
  ImageRecords records;
  if (InspectImage(image, &records)) {
    return "";
  }
  if (records.DiskType() == VHD_DISK_TYPE_DIFFERENCING) {
    return "only fixed and dynamic images can grow, not differencing images";
  }
  if (records.header) {
    return TableBeyondLimit(size, LoadBe32(records.header->BlockSize));
  }
  return "";
}

}  // namespace

int RunResize(const CommandCall &call) {
  uint64_t size = 0;
  if (!call.RequiredSizeOption("--size", &size)) {
    return kExitUsage;
  }
  CommandDisk disk(call.Image(), call.io);
  if (!disk.OpenUnexplained(true, "cannot open image") || !disk.QuerySize()) {
    return kExitFailure;
  }
  std::string refusal = GrowthRefusal(call.Image(), size, disk.Size());
  if (!refusal.empty()) {
    return disk.Fail("cannot resize", refusal);
  }
  NTSTATUS status = disk.SetDiskEnd(size);
  if (!disk.Succeeded(status, "cannot resize to " + std::to_string(size) +
                                  " bytes; the virtual disk stays at " +
                                  std::to_string(disk.Size()) + " bytes") ||
      !disk.QuerySize()) {
    return kExitFailure;
  }
  return WriteText(call.io.out,
                   call.Image() + ": virtual disk " + std::to_string(disk.Size()) + " bytes\n")
             ? 0
             : kExitFailure;
}

}  // namespace dorvane
