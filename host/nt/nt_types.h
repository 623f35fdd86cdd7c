// Base NT definitions of the host kernel (host/nt/), below every component:
// this header and the status codes (nt_status.h). Here the calling
// conventions and annotations the driver's declarations use, and NT's base
// types with their layouts (LLP64: LONG and ULONG are 32 bits wide, as on
// Windows).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#define NTAPI
#define NTKERNELAPI extern "C"
#define NTSYSAPI extern "C"
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define IN
#define OUT
#define OPTIONAL
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))

// UTF-16 text literal in the platform's WCHAR type.
#define KTEXT(s) u"" s

typedef void VOID;
typedef void *PVOID;
typedef char CHAR;
typedef signed char CCHAR;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uint8_t UCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef uint8_t BOOLEAN;
typedef char16_t WCHAR;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR KSPIN_LOCK;
typedef void *HANDLE;
typedef ULONG DEVICE_TYPE;
typedef ULONG LOGICAL;

typedef VOID *PVOID;
typedef CHAR *PCHAR;
typedef UCHAR *PUCHAR;
typedef USHORT *PUSHORT;
typedef ULONG *PULONG;
typedef LONG *PLONG;
typedef BOOLEAN *PBOOLEAN;
typedef WCHAR *PWCH, *PWSTR;
typedef const WCHAR *PCWCH, *PCWSTR;
typedef const CHAR *PCSTR;
typedef HANDLE *PHANDLE;
typedef KIRQL *PKIRQL;
typedef KSPIN_LOCK *PKSPIN_LOCK;
typedef ULONG_PTR *PULONG_PTR;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL nullptr
#endif

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  };
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, UUID, *PGUID;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY *Flink;
  struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;


#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)
