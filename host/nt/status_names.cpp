// The name of every status the kernel services declare. Pure C++ over the
// base NT definitions, so that the Windows build of the command, which has
// no host kernel, prints statuses by the same table.
#include "host/nt/nt_text.h"

#include "host/nt/nt_status.h"

namespace host {

const char* StatusNameOf(uint32_t status) {
  switch (static_cast<NTSTATUS>(status)) {
    case STATUS_SUCCESS:
      return "STATUS_SUCCESS";
    case STATUS_TIMEOUT:
      return "STATUS_TIMEOUT";
    case STATUS_PENDING:
      return "STATUS_PENDING";
    case STATUS_BUFFER_OVERFLOW:
      return "STATUS_BUFFER_OVERFLOW";
    case STATUS_DEVICE_BUSY:
      return "STATUS_DEVICE_BUSY";
    case STATUS_NO_MORE_FILES:
      return "STATUS_NO_MORE_FILES";
    case STATUS_NO_MORE_ENTRIES:
      return "STATUS_NO_MORE_ENTRIES";
    case STATUS_UNSUCCESSFUL:
      return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED:
      return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INVALID_INFO_CLASS:
      return "STATUS_INVALID_INFO_CLASS";
    case STATUS_INFO_LENGTH_MISMATCH:
      return "STATUS_INFO_LENGTH_MISMATCH";
    case STATUS_ACCESS_VIOLATION:
      return "STATUS_ACCESS_VIOLATION";
    case STATUS_INVALID_HANDLE:
      return "STATUS_INVALID_HANDLE";
    case STATUS_INVALID_PARAMETER:
      return "STATUS_INVALID_PARAMETER";
    case STATUS_NO_SUCH_DEVICE:
      return "STATUS_NO_SUCH_DEVICE";
    case STATUS_NO_SUCH_FILE:
      return "STATUS_NO_SUCH_FILE";
    case STATUS_INVALID_DEVICE_REQUEST:
      return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_END_OF_FILE:
      return "STATUS_END_OF_FILE";
    case STATUS_NO_MEMORY:
      return "STATUS_NO_MEMORY";
    case STATUS_ACCESS_DENIED:
      return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL:
      return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_TYPE_MISMATCH:
      return "STATUS_OBJECT_TYPE_MISMATCH";
    case STATUS_DISK_CORRUPT_ERROR:
      return "STATUS_DISK_CORRUPT_ERROR";
    case STATUS_OBJECT_NAME_INVALID:
      return "STATUS_OBJECT_NAME_INVALID";
    case STATUS_OBJECT_NAME_NOT_FOUND:
      return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_NAME_COLLISION:
      return "STATUS_OBJECT_NAME_COLLISION";
    case STATUS_OBJECT_PATH_INVALID:
      return "STATUS_OBJECT_PATH_INVALID";
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return "STATUS_OBJECT_PATH_NOT_FOUND";
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
      return "STATUS_OBJECT_PATH_SYNTAX_BAD";
    case STATUS_SHARING_VIOLATION:
      return "STATUS_SHARING_VIOLATION";
    case STATUS_DELETE_PENDING:
      return "STATUS_DELETE_PENDING";
    case STATUS_DISK_FULL:
      return "STATUS_DISK_FULL";
    case STATUS_INSUFFICIENT_RESOURCES:
      return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_MEDIA_WRITE_PROTECTED:
      return "STATUS_MEDIA_WRITE_PROTECTED";
    case STATUS_FILE_IS_A_DIRECTORY:
      return "STATUS_FILE_IS_A_DIRECTORY";
    case STATUS_NOT_SUPPORTED:
      return "STATUS_NOT_SUPPORTED";
    case STATUS_INTERNAL_DB_CORRUPTION:
      return "STATUS_INTERNAL_DB_CORRUPTION";
    case STATUS_INTERNAL_ERROR:
      return "STATUS_INTERNAL_ERROR";
    case STATUS_UNEXPECTED_IO_ERROR:
      return "STATUS_UNEXPECTED_IO_ERROR";
    case STATUS_IO_DEVICE_ERROR:
      return "STATUS_IO_DEVICE_ERROR";
    case STATUS_DIRECTORY_NOT_EMPTY:
      return "STATUS_DIRECTORY_NOT_EMPTY";
    case STATUS_FILE_CORRUPT_ERROR:
      return "STATUS_FILE_CORRUPT_ERROR";
    case STATUS_NOT_A_DIRECTORY:
      return "STATUS_NOT_A_DIRECTORY";
    case STATUS_NAME_TOO_LONG:
      return "STATUS_NAME_TOO_LONG";
    case STATUS_CANNOT_DELETE:
      return "STATUS_CANNOT_DELETE";
    case STATUS_FILE_CLOSED:
      return "STATUS_FILE_CLOSED";
    case STATUS_FILE_TOO_LARGE:
      return "STATUS_FILE_TOO_LARGE";
    case STATUS_TOO_MANY_LINKS:
      return "STATUS_TOO_MANY_LINKS";
    case STATUS_RETRY:
      return "STATUS_RETRY";
    case STATUS_UNRECOGNIZED_VOLUME:
      return "STATUS_UNRECOGNIZED_VOLUME";
    case STATUS_TOO_MANY_OPENED_FILES:
      return "STATUS_TOO_MANY_OPENED_FILES";
    case STATUS_FILE_INVALID:
      return "STATUS_FILE_INVALID";
    case STATUS_BAD_FILE_TYPE:
      return "STATUS_BAD_FILE_TYPE";
    default:
      return "STATUS_UNKNOWN";
  }
}

}  // namespace host
