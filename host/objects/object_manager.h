// Object manager and names (host/objects/): access rights, object
// attributes, handles and references to objects, declared with their NT
// names, signatures and layouts for the host build. Implemented in this
// folder over POSIX, with NT object names mapped to host paths.
#pragma once

#include "host/executive/executive.h"

// ---------------------------------------------------------------------------
// Access rights.

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

// ---------------------------------------------------------------------------
// Object attributes.

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s)                                      \
  do {                                                                                 \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                            \
    (p)->RootDirectory = (r);                                                           \
    (p)->Attributes = (a);                                                              \
    (p)->ObjectName = (n);                                                              \
    (p)->SecurityDescriptor = (s);                                                      \
    (p)->SecurityQualityOfService = NULL;                                               \
  } while (0)

// ---------------------------------------------------------------------------
// Handles and references.

typedef struct _OBJECT_TYPE *POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE AccessMode, PVOID *Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject(o) ObfDereferenceObject(o)

NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle);
// The same as a system call: with previous mode UserMode, a kernel handle is
// refused.
NTSYSAPI NTSTATUS NTAPI NtClose(HANDLE Handle);
