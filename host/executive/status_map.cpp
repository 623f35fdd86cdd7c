// The one errno-to-NTSTATUS map of the host kernel. Every
// failing host call is mapped here, with the errno saved right after it, to
// the status the NT file system reports for the same condition.
#include "host/executive/executive_internal.h"

#include <cerrno>

namespace host {

NTSTATUS StatusFromErrno(int err) {
  switch (err) {
    case 0:
      return STATUS_SUCCESS;
    case ENOENT:
      return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
      return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return STATUS_ACCESS_DENIED;
    case EROFS:
      return STATUS_MEDIA_WRITE_PROTECTED;
    case ENOSPC:
    case EDQUOT:
      return STATUS_DISK_FULL;
    case EFBIG:
      return STATUS_FILE_TOO_LARGE;
    case EEXIST:
      return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
      return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG:
      return STATUS_NAME_TOO_LONG;
    case ENOTEMPTY:
      return STATUS_DIRECTORY_NOT_EMPTY;
    case EMFILE:
    case ENFILE:
      return STATUS_TOO_MANY_OPENED_FILES;
    case EMLINK:
      return STATUS_TOO_MANY_LINKS;
    case ENOMEM:
      return STATUS_NO_MEMORY;
    case EINVAL:
      return STATUS_INVALID_PARAMETER;
    case EBADF:
      return STATUS_INVALID_HANDLE;
    case EFAULT:
      return STATUS_ACCESS_VIOLATION;
    case ETXTBSY:
    case EBUSY:
      return STATUS_SHARING_VIOLATION;
    case EOPNOTSUPP:
      return STATUS_NOT_SUPPORTED;
    case ENOSYS:
      return STATUS_NOT_IMPLEMENTED;
    case ENXIO:
    case ENODEV:
      return STATUS_NO_SUCH_DEVICE;
    case EIO:
      return STATUS_IO_DEVICE_ERROR;
    default:
      return STATUS_UNEXPECTED_IO_ERROR;
  }
}

}  // namespace host
