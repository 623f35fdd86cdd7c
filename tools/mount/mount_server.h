// tools/mount: the virtual disk as one regular file below a mount point,
// served through FUSE (fuse_disk.h) until it is unmounted, by the command's
// own process or by a server process of its own (this header). It reaches
// the disk only through tools/disk.
#pragma once

#include "tools/disk/disk_access.h"
#include "tools/mount/fuse_disk.h"

#include <functional>

namespace dorvane {

// Opens the image's disk in the process that serves it; false after the
// error lines on errFd.
using DiskOpener = std::function<bool(Disk *disk, int errFd)>;

// Opens the disk and mounts it on a folder that has no mount yet. In the foreground it is served here until it
// is unmounted; else a server process serves it, and this returns once the
// mount is ready (true) or the server gave up. Errors, the server's too, go
// to errFd.
bool Mount(const MountSettings &settings, int errFd, const DiskOpener &openDisk);

}  // namespace dorvane
