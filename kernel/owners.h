// Owners of what driver code must release: a pool buffer, a kernel handle, a
// referenced file object. Each releases what it holds when it goes out of
// scope, so that every early return is safe; ownership is handed over last,
// with Detach() (`*ContextOut = Context.Detach(); return STATUS_SUCCESS;`).
#pragma once

#include "kernel/pool.h"

// Holds one value (NULL for none) and hands it to Release when it goes out
// of scope, unless it was handed over with Detach().
template <typename T, VOID (*Release)(T)>
class RESOURCE_OWNER {
 public:
  explicit RESOURCE_OWNER(T Value = NULL) : Value_(Value) {}
  ~RESOURCE_OWNER() { Reset(); }
  RESOURCE_OWNER(const RESOURCE_OWNER &) = delete;
  RESOURCE_OWNER &operator=(const RESOURCE_OWNER &) = delete;

  T Get() const { return Value_; }
  T operator->() const { return Value_; }
  explicit operator bool() const { return Value_ != NULL; }
  T Detach() {
    T Value = Value_;
    Value_ = NULL;
    return Value;
  }
  // Releases what is held and takes Value in its place.
  VOID Reset(T Value = NULL) {
    if (Value_ != NULL) {
      Release(Value_);
    }
    Value_ = Value;
  }

 private:
  T Value_;
};

template <typename T>
VOID FreePoolBuffer(T *Buffer) {
  FreePool(Buffer);
}

inline VOID CloseKernelHandle(HANDLE Handle) { ZwClose(Handle); }

inline VOID DereferenceFileObject(PFILE_OBJECT FileObject) { ObfDereferenceObject(FileObject); }

// One pool buffer, freed with the driver's tag.
template <typename T>
using POOL_BUFFER = RESOURCE_OWNER<T *, FreePoolBuffer<T>>;

// A kernel handle, closed with ZwClose.
typedef RESOURCE_OWNER<HANDLE, CloseKernelHandle> HANDLE_OWNER;

// A reference to a file object (ObReferenceObjectByHandle), given back with
// ObfDereferenceObject.
typedef RESOURCE_OWNER<PFILE_OBJECT, DereferenceFileObject> FILE_OBJECT_REFERENCE;
