// Kernel services for the Windows build: the mingw-w64 DDK headers.
#pragma once

// Under C++ the DDK's own inline definitions of these intrinsics clash with the
// compiler's intrinsics header; declaring them defined keeps one of each.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndComplement

#include <ntifs.h>

// UTF-16 text literal in the platform's WCHAR type.
#define KTEXT(s) L"" s

// Control codes the DDK headers of this toolchain leave out.
#ifndef FSCTL_FILE_LEVEL_TRIM
#define FSCTL_FILE_LEVEL_TRIM                                                          \
  CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 130, METHOD_BUFFERED, FILE_WRITE_DATA)
#endif
#ifndef IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES
#define IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES                                       \
  CTL_CODE(0x0000002d /* IOCTL_STORAGE_BASE */, 0x0501, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#endif
