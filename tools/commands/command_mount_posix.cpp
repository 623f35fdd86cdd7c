// dorvane mount: the virtual disk as one regular file below a mount point,
// served through FUSE until it is unmounted.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/mount/mount_server.h"

#include <string>

namespace dorvane {

int RunMount(const CommandCall &call) {
  const Arguments &args = call.args;
  MountSettings settings;
  settings.image = args.positional[0];
  settings.mountPoint = args.positional[1];
  settings.readOnly = args.Has("--read-only");
  settings.foreground = args.Has("--foreground");
  if (args.Has("--name")) {
    settings.fileName = args.Value("--name");
  }
  if (settings.fileName.empty() || settings.fileName == "." || settings.fileName == ".." ||
      settings.fileName.find('/') != std::string::npos) {
    return call.UsageError("--name must be a file name without '/'");
  }
  if (args.Has("-o")) {
    settings.fuseOptions = args.options.at("-o");
  }
  // The server process opens the disk; its errors go where the server's go.
  auto openDisk = [&settings](Disk *disk, int errFd) {
    CommandIo errorsOnly;
    errorsOnly.err = errFd;
    uint64_t size = 0;
    return OpenDiskAt(settings.image, !settings.readOnly, 0, errorsOnly, disk, &size);
  };
  return Mount(settings, call.io.err, openDisk) ? 0 : kExitFailure;
}

}  // namespace dorvane
