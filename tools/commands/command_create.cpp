// dorvane create: a new empty fixed or dynamic image, or a differencing image
// of a parent.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"
#include "tools/image_files/image_writer.h"
#include "tools/image_files/open_failure.h"

#include "format/vhd_format.h"

namespace dorvane {

namespace {

// The fixed or dynamic image the options describe; false after a usage
// error. Sizes the writer cannot serve are left for it to refuse.
bool ReadNewImageParameters(const CommandCall &call, NewImageParameters *parameters) {
  const Arguments &args = call.args;
  std::string type = args.Value("--type");
  if (!args.Has("--type")) {
    call.UsageError("--type (fixed or dynamic) or --parent is required");
    return false;
  }
  if (type == "fixed") {
    parameters->diskType = VHD_DISK_TYPE_FIXED;
  } else if (type == "dynamic") {
    parameters->diskType = VHD_DISK_TYPE_DYNAMIC;
  } else {
    call.UsageError("--type \"" + type + "\": expected fixed or dynamic");
    return false;
  }
  if (!args.Has("--size")) {
    call.UsageError("--size is required");
    return false;
  }
  if (args.Has("--block-size") && parameters->diskType != VHD_DISK_TYPE_DYNAMIC) {
    call.UsageError("--block-size applies to dynamic images only");
    return false;
  }
  return call.SizeOption("--size", &parameters->size) &&
         call.SizeOption("--block-size", &parameters->blockSize);
}

// 0 when error is empty, else kExitFailure after the line naming the image.
int CreateResult(const CommandIo &io, const std::string &image, const std::string &error) {
  if (error.empty()) {
    return 0;
  }
  ReportError(io.err, image.empty() ? "\"\"" : image, "cannot create image", error);
  return kExitFailure;
}

// A differencing image of parent. The parent chain is held open through
// the driver while the image is made, as its children will open it: so it
// is known to open, and no other process writes it meanwhile.
int CreateChild(const std::string &image, const std::string &parent, const CommandIo &io) {
  Disk parentDisk;
  NTSTATUS status = parentDisk.OpenDisk(parent, false);
  if (!NT_SUCCESS(status)) {
    ReportOpenFailure(io.err, image, "cannot create image",
                      ExplainOpenFailure(parent, false, status), status);
    return kExitFailure;
  }
  return CreateResult(io, image, CreateDifferencingImage(image, parent));
}

}  // namespace

int RunCreate(const CommandCall &call) {
  const std::string &image = call.Image();
  std::string unopenable = UnopenableName(image);
  if (!unopenable.empty()) {
    return CreateResult(call.io, image, unopenable);
  }
  if (call.args.Has("--parent")) {
    for (const char *option : {"--type", "--size", "--block-size"}) {
      if (call.args.Has(option)) {
        return call.UsageError(std::string(option) +
                               " does not apply with --parent: a differencing image takes its "
                               "size from its parent");
      }
    }
    return CreateChild(image, call.args.Value("--parent"), call.io);
  }
  NewImageParameters parameters;
  if (!ReadNewImageParameters(call, &parameters)) {
    return kExitUsage;
  }
  return CreateResult(call.io, image, CreateImage(image, parameters));
}

}  // namespace dorvane
