// The command's error lines: one line on standard error naming the image,
// what failed and why.
#pragma once

#include <kernel_services.h>

#include <string>

namespace dorvane {

// "STATUS_FILE_CORRUPT_ERROR (0xC0000102)".
std::string StatusText(NTSTATUS status);

// "dorvane: IMAGE: WHAT: STATUS_NAME (0x...)" on fd.
void ReportStatus(int fd, const std::string &image, const std::string &what, NTSTATUS status);

// "WHAT: the error's text", for failed POSIX calls.
std::string ErrnoText(const std::string &what, int error);

// "IMAGE: WHAT: DETAIL", the error line without the program's name.
std::string ErrorLine(const std::string &image, const std::string &what,
                      const std::string &detail);

// "dorvane: IMAGE: WHAT: DETAIL" on fd.
void ReportError(int fd, const std::string &image, const std::string &what,
                 const std::string &detail);

// Writes all the bytes to fd, retrying short writes; false (errno set) when
// it could not.
bool WriteBytes(int fd, const void *data, size_t length);
bool WriteText(int fd, const std::string &text);

}  // namespace dorvane
