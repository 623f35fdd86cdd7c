// The errno a POSIX client (a FUSE or an NBD client) sees for a status of
// the driver or the host: one table for every server of the disk.
#pragma once

#include <kernel_services.h>

namespace dorvane {

// 0 for success. Access denied is EACCES here; a write refused for want of
// write access is EROFS, which the servers decide before asking the driver.
// A status the table does not name is EIO.
int ErrnoForStatus(NTSTATUS status);

}  // namespace dorvane
