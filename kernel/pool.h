// Pool allocation for the driver: every buffer is non-paged, tagged "Dorv",
// and zero-filled unless it is wholly overwritten at once. Built on kernel
// services alone, so every layer of the driver can use it.
#pragma once

#include "kernel/kernel.h"

// Non-paged pool with the driver's tag, not filled: only for buffers that are
// wholly overwritten right away (a copied path, a bitmap read into it).
inline PVOID AllocateUnfilledPool(SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(NonPagedPool, NumberOfBytes, DORVANE_POOL_TAG);
}

// Zero-filled non-paged pool with the driver's tag, or NULL.
inline PVOID AllocateZeroedPool(SIZE_T NumberOfBytes) {
  PVOID Buffer = AllocateUnfilledPool(NumberOfBytes);
  if (Buffer != NULL) {
    RtlZeroMemory(Buffer, NumberOfBytes);
  }
  return Buffer;
}

inline VOID FreePool(PVOID Buffer) {
  if (Buffer != NULL) {
    ExFreePoolWithTag(Buffer, DORVANE_POOL_TAG);
  }
}

// Frees the pool buffer of a counted string and leaves the string empty.
inline VOID FreeCountedString(PUNICODE_STRING String) {
  FreePool(String->Buffer);
  String->Buffer = NULL;
  String->Length = 0;
  String->MaximumLength = 0;
}
