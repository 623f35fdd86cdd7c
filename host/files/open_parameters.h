// The parameters of NtCreateFile a client of the host kernel chooses: the
// I/O manager's client (host/io/io_client.h) opens files with them, and
// ZwCreateFile hands them on when a name leads to a driver's device.
#pragma once

#include "host/files/file_services.h"

#include <cstdint>

namespace host {

struct OpenParameters {
  ACCESS_MASK desiredAccess = GENERIC_READ | SYNCHRONIZE;
  ULONG shareAccess = FILE_SHARE_READ;
  ULONG disposition = FILE_OPEN;
  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
  ULONG fileAttributes = FILE_ATTRIBUTE_NORMAL;
  int64_t allocationSize = 0;
};

}  // namespace host
