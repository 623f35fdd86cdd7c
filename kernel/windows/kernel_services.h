// Kernel services for the Windows build: the mingw-w64 DDK headers.
#pragma once

// Under C++ the DDK's own inline definitions of these intrinsics clash with the
// compiler's intrinsics header; declaring them defined keeps one of each.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndComplement

#include <ntifs.h>

// The object type of file objects, as ObReferenceObjectByHandle takes it:
// *IoFileObjectType. The kernel exports IoFileObjectType as a variable that
// holds the type. The WDK declares it as a plain POBJECT_TYPE *, so the name
// stands for the import slot, which holds the variable's address, and
// *IoFileObjectType is the type. This toolchain's headers declare it as an
// import, so there the name is the variable itself and *IoFileObjectType
// reads the type's first field instead of the type. The name is bound here
// to the import slot, as the WDK binds it.
extern "C" POBJECT_TYPE *DorvaneFileObjectTypeSlot __asm__("__imp_IoFileObjectType");
#define IoFileObjectType DorvaneFileObjectTypeSlot

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
