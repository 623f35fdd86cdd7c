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

int RunCreate(const Arguments &args, const CommandIo &io);

const CommandDef kCreate = {
    "create",
    "create --type fixed|dynamic --size SIZE [--block-size SIZE] IMAGE\n"
    "create --parent PARENT IMAGE",
    "Create a new, empty image (default block size 2M), or a differencing image of PARENT.",
    {{"--type", true, false},
     {"--size", true, false},
     {"--block-size", true, false},
     {"--parent", true, false}},
    1,
    RunCreate,
};

// The fixed or dynamic image the options describe; false after a usage
// error. Sizes the writer cannot serve are left for it to refuse.
bool ReadNewImageParameters(const Arguments &args, const CommandIo &io,
                            NewImageParameters *parameters, int *exitCode) {
  std::string type = args.Value("--type");
  if (!args.Has("--type")) {
    *exitCode = UsageError(io, kCreate, "--type (fixed or dynamic) or --parent is required");
    return false;
  }
  if (type == "fixed") {
    parameters->diskType = VHD_DISK_TYPE_FIXED;
  } else if (type == "dynamic") {
    parameters->diskType = VHD_DISK_TYPE_DYNAMIC;
  } else {
    *exitCode = UsageError(io, kCreate, "--type \"" + type + "\": expected fixed or dynamic");
    return false;
  }
  if (!args.Has("--size")) {
    *exitCode = UsageError(io, kCreate, "--size is required");
    return false;
  }
  if (args.Has("--block-size") && parameters->diskType != VHD_DISK_TYPE_DYNAMIC) {
    *exitCode = UsageError(io, kCreate, "--block-size applies to dynamic images only");
    return false;
  }
  return SizeOption(args, "--size", kCreate, io, &parameters->size, exitCode) &&
         SizeOption(args, "--block-size", kCreate, io, &parameters->blockSize, exitCode);
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
  std::string error = CreateDifferencingImage(image, parent);
  if (!error.empty()) {
    ReportError(io.err, image, "cannot create image", error);
    return kExitFailure;
  }
  return 0;
}

int RunCreate(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  std::string error = UnopenableName(image);
  if (!error.empty()) {
    ReportError(io.err, image.empty() ? "\"\"" : image, "cannot create image", error);
    return kExitFailure;
  }
  if (args.Has("--parent")) {
    for (const char *option : {"--type", "--size", "--block-size"}) {
      if (args.Has(option)) {
        return UsageError(io, kCreate,
                          std::string(option) + " does not apply with --parent: a differencing "
                                                "image takes its size from its parent");
      }
    }
    return CreateChild(image, args.Value("--parent"), io);
  }
  NewImageParameters parameters;
  int exitCode = 0;
  if (!ReadNewImageParameters(args, io, &parameters, &exitCode)) {
    return exitCode;
  }
  error = CreateImage(image, parameters);
  if (!error.empty()) {
    ReportError(io.err, image, "cannot create image", error);
    return kExitFailure;
  }
  return 0;
}

}  // namespace

const CommandDef &CreateCommand() { return kCreate; }

}  // namespace dorvane
