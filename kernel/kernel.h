// The one include point for kernel services. The build puts either the
// Windows DDK adapter (kernel/windows) or the host kernel (host/include) on
// the include path; driver code includes this header and nothing else of the
// platform.
#pragma once

#include <kernel_services.h>

// Pool tag of every allocation the driver makes ("Dorv" in a pool dump).
#define DORVANE_POOL_TAG 'vroD'

// A counted string over a UTF-16 literal, without terminator in its length.
// Both builds' WCHAR literals are const; the string is never written through.
#define DORVANE_CONSTANT_STRING(s)                                                     \
  {                                                                                    \
    (USHORT)(sizeof(KTEXT(s)) - sizeof(WCHAR)), (USHORT)sizeof(KTEXT(s)),              \
        const_cast<PWSTR>(KTEXT(s))                                                    \
  }
