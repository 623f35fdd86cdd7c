// Pool allocation for the driver: every buffer is non-paged, tagged "Dorv",
// and zero-filled unless it is wholly overwritten at once.
#pragma once

#include "kernel/kernel.h"

// Zero-filled non-paged pool with the driver's tag, or NULL.
PVOID AllocateZeroedPool(SIZE_T NumberOfBytes);

// Non-paged pool with the driver's tag, not filled: only for buffers that are
// wholly overwritten right away (a copied path, a bitmap read into it).
PVOID AllocateUnfilledPool(SIZE_T NumberOfBytes);

inline VOID FreePool(PVOID Buffer) {
  if (Buffer != NULL) {
    ExFreePoolWithTag(Buffer, DORVANE_POOL_TAG);
  }
}

// Owner of one pool buffer: freed when the owner goes out of scope unless it
// was handed over with Detach().
template <typename T>
class POOL_BUFFER {
 public:
  explicit POOL_BUFFER(T *Buffer = NULL) : Buffer_(Buffer) {}
  ~POOL_BUFFER() { FreePool(Buffer_); }
  POOL_BUFFER(const POOL_BUFFER &) = delete;
  POOL_BUFFER &operator=(const POOL_BUFFER &) = delete;

  T *Get() const { return Buffer_; }
  T *operator->() const { return Buffer_; }
  explicit operator bool() const { return Buffer_ != NULL; }
  T *Detach() {
    T *Buffer = Buffer_;
    Buffer_ = NULL;
    return Buffer;
  }
  VOID Reset(T *Buffer = NULL) {
    FreePool(Buffer_);
    Buffer_ = Buffer;
  }

 private:
  T *Buffer_;
};
