// The virtual disk as a FUSE file system: one directory holding one regular
// file whose bytes are the disk. Every operation on the file is a request on
// the one Disk handle the mount holds from start to end.
#pragma once

#include "tools/disk/disk_access.h"

#include <functional>
#include <string>
#include <vector>

namespace dorvane {

struct MountSettings {
  std::string image;       // named as the mount's source
  std::string mountPoint;
  std::string fileName = "disk";
  bool readOnly = false;
  bool foreground = false;  // served by the command's own process
  std::vector<std::string> fuseOptions;  // each as given after -o
};

// Mounts the open disk and serves it until it is unmounted (fusermount3 -u,
// or SIGINT, SIGTERM or SIGHUP), then flushes the disk. `ready` is called
// once the mount point shows the file, before any request is served; errors
// go to errFd as the command's error lines. False when the mount could not
// be made, or ended with an error or an unflushed disk.
bool ServeMount(Disk *disk, const MountSettings &settings, int errFd,
                const std::function<void()> &ready);

}  // namespace dorvane
