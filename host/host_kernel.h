// The host kernel (host/): the NT kernel services the driver calls, over
// POSIX, by component, each below the next: the base NT definitions (nt/),
// the executive and run-time library (executive/), the object manager and
// names (objects/), the file services (files/) and the I/O manager (io/); the
// driver sees them only through kernel/kernel.h.
// This header is the host-side control of it for the command and tests: the
// object-name tables, status names, debug output and verbosity, pool and
// handle accounting and per-thread execution state, each declared by the
// component that implements it. The I/O manager's client is io/io_client.h;
// what only tests use (fault injection, power loss, the kernel-stack budget)
// is the testing library, testing/host_testing.h.
// Where the host knowingly differs from NT is listed in NT_DIFFERENCES.md.
#pragma once

#include <kernel_services.h>

#include "host/executive/executive_control.h"
#include "host/objects/object_control.h"
