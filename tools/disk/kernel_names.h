// Paths as the platform writes them, and the kernel names (\??\C:\...) the
// driver and the file services open: on Linux through the host kernel's
// drive table (kernel_names_host.cpp), on Windows as Windows resolves its
// paths (kernel_names_windows.cpp). The build links one.
#pragma once

#include <kernel_services.h>

#include <string>

namespace dorvane {

// The kernel name of path: "" and *name, or why path names no file.
std::string KernelNameForPath(const std::string &path, std::u16string *name);

// The path a kernel name leads to (the name of a parent an image records),
// names compared ignoring case; false when none does.
bool PathForKernelName(const std::u16string &name, std::string *path);

// --drive X:=DIR: "" once the letter names DIR, or why it cannot.
std::string MapDriveLetter(char letter, const std::string &dir);

// A counted string over name's characters (both builds' UNICODE_STRING);
// false when name is too long for one.
bool CountedName(std::u16string *name, UNICODE_STRING *text);

}  // namespace dorvane
