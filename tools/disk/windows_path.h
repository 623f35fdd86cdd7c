// Windows paths as the command takes them on its command line, turned into
// the kernel names the driver opens below its device: C:\vm\a.vhd becomes
// \??\C:\vm\a.vhd, \\server\share\a.vhd becomes \??\UNC\server\share\a.vhd,
// relative paths are taken against the current directory. The Windows build
// opens every image by it; it is plain text work, so it builds everywhere.
#pragma once

#include <string>

namespace dorvane {

// The kernel name of path (UTF-8, either slash) with currentDirectory (a
// full path: C:\work or \\server\share\dir) for relative paths, and `.` and
// `..` resolved as Windows resolves them. Returns "" and sets *kernelName
// (UTF-8), or says why the path names no image file: device names and
// device paths (\\.\, \\?\GLOBALROOT, \Device\..., CON, NUL, COM1, ...),
// drive-relative paths (C:a.vhd), folders, stream names and characters no
// file name may hold are refused.
std::string KernelNameForWindowsPath(const std::string &path, const std::string &currentDirectory,
                                     std::string *kernelName);

}  // namespace dorvane
