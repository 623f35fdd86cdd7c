// Error lines of the command.
#include "tools/disk/errors.h"

#include "host/nt/nt_text.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dorvane {

std::string StatusText(NTSTATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(status));
  return std::string(host::StatusNameOf(static_cast<uint32_t>(status))) + " (" + hex + ")";
}

std::string ErrnoText(const std::string &what, int error) {
  return what + ": " + std::strerror(error);
}

void ReportStatus(int fd, const std::string &image, const std::string &what, NTSTATUS status) {
  ReportError(fd, image, what, StatusText(status));
}

std::string ErrorLine(const std::string &image, const std::string &what,
                      const std::string &detail) {
  return image + ": " + what + ": " + detail;
}

void ReportError(int fd, const std::string &image, const std::string &what,
                 const std::string &detail) {
  WriteText(fd, "dorvane: " + ErrorLine(image, what, detail) + "\n");
}

bool WriteText(int fd, const std::string &text) { return WriteBytes(fd, text.data(), text.size()); }

bool WriteBytes(int fd, const void *bytes, size_t length) {
  const char *data = static_cast<const char *>(bytes);
  size_t left = length;
  while (left > 0) {
    ssize_t written = write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace dorvane
