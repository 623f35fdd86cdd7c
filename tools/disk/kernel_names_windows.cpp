// Kernel names of Windows paths: the path resolved against the current
// folder as Windows resolves it (windows_path.h); drives are the system's.
#include "tools/disk/kernel_names.h"

#include "tools/disk/windows_path.h"

#include "host/nt/nt_text.h"

#include <direct.h>

#include <cstdlib>

namespace dorvane {

namespace {

std::string CurrentFolder() {
  wchar_t *folder = _wgetcwd(nullptr, 0);
  if (folder == nullptr) {
    return "";
  }
  std::string text = host::Utf8FromUtf16(reinterpret_cast<const char16_t *>(folder));
  std::free(folder);
  return text;
}

}  // namespace

std::string KernelNameForPath(const std::string &path, std::u16string *name) {
  std::string kernelName;
  std::string why = KernelNameForWindowsPath(path, CurrentFolder(), &kernelName);
  if (!why.empty()) {
    return why;
  }
  bool utf8 = false;
  *name = host::Utf16FromUtf8(kernelName, &utf8);
  return utf8 ? "" : "the name is not UTF-8 text";
}

bool PathForKernelName(const std::u16string &name, std::string *path) {
  const std::u16string dosDevices = u"\\??\\";
  const std::u16string unc = u"\\??\\UNC\\";
  if (name.compare(0, unc.size(), unc) == 0) {
    *path = "\\\\" + host::Utf8FromUtf16(name.substr(unc.size()));
    return true;
  }
  if (name.compare(0, dosDevices.size(), dosDevices) == 0 && name.size() > dosDevices.size() + 2 &&
      name[dosDevices.size() + 1] == u':') {
    *path = host::Utf8FromUtf16(name.substr(dosDevices.size()));
    return true;
  }
  return false;
}

std::string MapDriveLetter(char, const std::string &) {
  return "drive letters are the system's on Windows; --drive is for Linux";
}

bool CountedName(std::u16string *name, UNICODE_STRING *text) {
  if (name->size() * sizeof(WCHAR) > 0xFFFE) {
    return false;
  }
  text->Buffer = reinterpret_cast<PWSTR>(&(*name)[0]);
  text->Length = text->MaximumLength = static_cast<USHORT>(name->size() * sizeof(WCHAR));
  return true;
}

}  // namespace dorvane
