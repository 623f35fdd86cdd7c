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
