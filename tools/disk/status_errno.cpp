// The status-to-errno table of the disk's servers.
#include "tools/disk/status_errno.h"

#include <cerrno>

namespace dorvane {

namespace {

struct StatusErrno {
  NTSTATUS status;
  int error;
};

const StatusErrno kStatusErrno[] = {
    {STATUS_SUCCESS, 0},
    {STATUS_INVALID_PARAMETER, EINVAL},
    {STATUS_INVALID_DEVICE_REQUEST, EOPNOTSUPP},
    {STATUS_NOT_SUPPORTED, EOPNOTSUPP},
    {STATUS_NOT_IMPLEMENTED, ENOSYS},
    {STATUS_ACCESS_DENIED, EACCES},
    {STATUS_MEDIA_WRITE_PROTECTED, EROFS},
    {STATUS_SHARING_VIOLATION, EBUSY},
    {STATUS_DEVICE_BUSY, EBUSY},
    {STATUS_DISK_FULL, ENOSPC},
    {STATUS_FILE_TOO_LARGE, EFBIG},
    {STATUS_INSUFFICIENT_RESOURCES, ENOMEM},
    {STATUS_NO_MEMORY, ENOMEM},
    {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
    {STATUS_OBJECT_PATH_NOT_FOUND, ENOENT},
    {STATUS_INVALID_HANDLE, EBADF},
    {STATUS_FILE_CORRUPT_ERROR, EIO},
    {STATUS_BAD_FILE_TYPE, EIO},
    {STATUS_END_OF_FILE, EIO},
    {STATUS_IO_DEVICE_ERROR, EIO},
};

}  // namespace

int ErrnoForStatus(NTSTATUS status) {
  for (const StatusErrno &row : kStatusErrno) {
    if (row.status == status) {
      return row.error;
    }
  }
  return NT_SUCCESS(status) ? 0 : EIO;
}

}  // namespace dorvane
