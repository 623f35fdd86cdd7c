// The binary a kernel service loads, as the service manager keeps it, made a
// Win32 path. The manager hands kernel services' paths to the loader, which
// reads them as NT names ("\??\C:\x.sys", "\SystemRoot\System32\...") or
// relative to the system folder ("System32\drivers\x.sys"); users name files
// by Win32 paths.
#include "tools/service/driver_service.h"

#include <cctype>

namespace dorvane {

namespace {

bool StartsWithNoCase(const std::string &text, const char *prefix) {
  size_t index = 0;
  for (; prefix[index] != '\0'; ++index) {
    if (index >= text.size() ||
        std::tolower(static_cast<unsigned char>(text[index])) !=
            std::tolower(static_cast<unsigned char>(prefix[index]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string Win32DriverPath(const std::string &imagePath, const std::string &systemRoot) {
  if (StartsWithNoCase(imagePath, "\\??\\UNC\\")) {
    return "\\\\" + imagePath.substr(8);
  }
  if (StartsWithNoCase(imagePath, "\\??\\")) {
    return imagePath.substr(4);
  }
  if (StartsWithNoCase(imagePath, "\\SystemRoot\\")) {
    return systemRoot + imagePath.substr(11);
  }
  bool absolute = (imagePath.size() > 1 && imagePath[1] == ':') ||
                  (!imagePath.empty() && (imagePath[0] == '\\' || imagePath[0] == '%'));
  return absolute || imagePath.empty() ? imagePath : systemRoot + "\\" + imagePath;
}

}  // namespace dorvane
