// Kernel services for the host build: the NT types, constants and routines the
// driver uses, with their NT names, signatures and layouts, implemented by the
// host kernel (host/) over POSIX. The driver includes kernel/kernel.h, which
// includes this header and nothing else of the platform; behind it each
// component of the host kernel declares its own services. Only what the
// driver calls is declared; host-side helpers for tests and tools live in
// host/host_kernel.h.
#pragma once

#include "host/nt/nt_status.h"
#include "host/nt/nt_types.h"

#include "host/executive/executive.h"
#include "host/files/file_services.h"
#include "host/io/io_manager.h"
#include "host/objects/object_manager.h"
