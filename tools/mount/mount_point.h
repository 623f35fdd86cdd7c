// Whether a folder can take a new mount: it must be a folder, and nothing may
// be mounted on it already (a second server stacked over a live mount would
// hide the first one's file while both keep their images open).
#pragma once

#include <string>

namespace dorvane {

// Why the mount point cannot take a mount, in words, or "" when it can.
std::string MountPointProblem(const std::string &mountPoint);

}  // namespace dorvane
