// dorvane create: a new empty fixed or dynamic image, or a differencing image
// of a parent.
#include "command_line.h"
#include "errors.h"
#include "image_writer.h"

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

int CreateDifferencing(const Arguments &args, const CommandIo &io) {
  const std::string &image = args.positional[0];
  for (const char *option : {"--type", "--size", "--block-size"}) {
    if (args.Has(option)) {
      return UsageError(io, kCreate,
                        std::string(option) + " does not apply with --parent: a differencing "
                                              "image takes its size from its parent");
    }
  }
  std::string error = CreateDifferencingImage(image, args.Value("--parent"));
  if (!error.empty()) {
    ReportError(io.err, image, "cannot create image", error);
    return kExitFailure;
  }
  return 0;
}

int RunCreate(const Arguments &args, const CommandIo &io) {
  if (args.Has("--parent")) {
    return CreateDifferencing(args, io);
  }
  const std::string &image = args.positional[0];
  ImageSpec spec;
  std::string type = args.Value("--type");
  if (!args.Has("--type")) {
    return UsageError(io, kCreate, "--type (fixed or dynamic) or --parent is required");
  }
  if (type == "fixed") {
    spec.diskType = VHD_DISK_TYPE_FIXED;
  } else if (type == "dynamic") {
    spec.diskType = VHD_DISK_TYPE_DYNAMIC;
  } else {
    return UsageError(io, kCreate, "--type \"" + type + "\": expected fixed or dynamic");
  }
  if (!args.Has("--size")) {
    return UsageError(io, kCreate, "--size is required");
  }
  if (args.Has("--block-size") && spec.diskType != VHD_DISK_TYPE_DYNAMIC) {
    return UsageError(io, kCreate, "--block-size applies to dynamic images only");
  }
  uint64_t blockSize = spec.blockSize;
  int exitCode = 0;
  if (!SizeOption(args, "--size", kCreate, io, &spec.size, &exitCode) ||
      !SizeOption(args, "--block-size", kCreate, io, &blockSize, &exitCode)) {
    return exitCode;
  }
  if (blockSize > 0xFFFFFFFFull) {
    ReportError(io.err, image, "cannot create image",
                "the block size " + std::to_string(blockSize) +
                    " is not a power of two from 512 to 2147483648");
    return kExitFailure;
  }
  spec.blockSize = static_cast<uint32_t>(blockSize);

  std::string error = CreateImage(image, spec);
  if (!error.empty()) {
    ReportError(io.err, image, "cannot create image", error);
    return kExitFailure;
  }
  return 0;
}

}  // namespace

const CommandDef &CreateCommand() { return kCreate; }

}  // namespace dorvane
