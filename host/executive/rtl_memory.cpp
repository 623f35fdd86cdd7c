// RTL memory comparison and counted strings.
#include "host/executive/executive_internal.h"

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2,
                                         SIZE_T Length) {
  const UCHAR* Left = static_cast<const UCHAR*>(Source1);
  const UCHAR* Right = static_cast<const UCHAR*>(Source2);
  SIZE_T Equal = 0;
  while (Equal < Length && Left[Equal] == Right[Equal]) ++Equal;
  return Equal;
}

// Compares Length / 4 whole ULONGs with the pattern and returns the bytes of
// the leading ULONGs that match. Trailing bytes of a Length that is not a
// multiple of 4 are not compared, as NT's routine documents Length must be a
// multiple of sizeof(ULONG) and counts whole ULONGs.
extern "C" SIZE_T NTAPI RtlCompareMemoryUlong(PVOID Source, SIZE_T Length, ULONG Pattern) {
  const UCHAR* Bytes = static_cast<const UCHAR*>(Source);
  SIZE_T Count = Length / sizeof(ULONG);
  SIZE_T Index = 0;
  for (; Index < Count; ++Index) {
    ULONG Value;
    memcpy(&Value, Bytes + Index * sizeof(ULONG), sizeof(Value));
    if (Value != Pattern) break;
  }
  return Index * sizeof(ULONG);
}

// Length excludes the terminator and MaximumLength includes it; a NULL source
// gives an empty string without buffer. Lengths are capped at the largest
// even USHORT, as NT does.
extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString,
                                           PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    return;
  }
  size_t Count = 0;
  while (SourceString[Count] != 0) ++Count;
  size_t Bytes = Count * sizeof(WCHAR);
  if (Bytes > 0xFFFC) Bytes = 0xFFFC;
  DestinationString->Length = (USHORT)Bytes;
  DestinationString->MaximumLength = (USHORT)(Bytes + sizeof(WCHAR));
}
