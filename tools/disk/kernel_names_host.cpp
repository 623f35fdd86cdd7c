// Kernel names through the host kernel's drive and share tables.
#include "tools/disk/kernel_names.h"

#include "host/host_kernel.h"

#include <sys/stat.h>

#include <filesystem>

namespace dorvane {

// A backslash is a character of a host file's name, but a folder separator
// in a kernel name: such a name would lead the driver elsewhere.
std::string KernelNameForPath(const std::string &path, std::u16string *name) {
  std::error_code code;
  std::string full = std::filesystem::absolute(path, code).string();
  if (full.find('\\') != std::string::npos) {
    return "the name holds a backslash, which the driver reads as a folder separator";
  }
  bool utf8 = false;
  host::Utf16FromUtf8(full, &utf8);
  if (!utf8) {
    return "the name is not UTF-8 text, which the driver needs to name a file";
  }
  *name = host::NtPathForHostPath(path);
  return "";
}

bool PathForKernelName(const std::u16string &name, std::string *path) {
  return NT_SUCCESS(host::HostPathForNtName(name, true, path));
}

std::string MapDriveLetter(char letter, const std::string &dir) {
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return dir + " is not a directory";
  }
  host::MapDrive(letter, dir);
  return "";
}

bool CountedName(std::u16string *name, UNICODE_STRING *text) {
  if (name->size() * sizeof(WCHAR) > 0xFFFE) {
    return false;
  }
  text->Buffer = name->data();
  text->Length = text->MaximumLength = static_cast<USHORT>(name->size() * sizeof(WCHAR));
  return true;
}

}  // namespace dorvane
