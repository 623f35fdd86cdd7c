// Big-endian field access at a byte offset of an on-disk record. Every
// multi-byte field of a VHD record is big-endian; these helpers are the only
// place where that byte order is converted.
#pragma once

#include "kernel/kernel.h"

inline USHORT LoadBe16(const void *Record, ULONG Offset = 0) {
  const UCHAR *Bytes = static_cast<const UCHAR *>(Record) + Offset;
  return (USHORT)((Bytes[0] << 8) | Bytes[1]);
}

inline ULONG LoadBe32(const void *Record, ULONG Offset = 0) {
  const UCHAR *Bytes = static_cast<const UCHAR *>(Record) + Offset;
  return ((ULONG)Bytes[0] << 24) | ((ULONG)Bytes[1] << 16) | ((ULONG)Bytes[2] << 8) |
         (ULONG)Bytes[3];
}

inline ULONGLONG LoadBe64(const void *Record, ULONG Offset = 0) {
  return ((ULONGLONG)LoadBe32(Record, Offset) << 32) | LoadBe32(Record, Offset + 4);
}

inline void StoreBe16(void *Record, USHORT Value, ULONG Offset = 0) {
  UCHAR *Bytes = static_cast<UCHAR *>(Record) + Offset;
  Bytes[0] = (UCHAR)(Value >> 8);
  Bytes[1] = (UCHAR)Value;
}

inline void StoreBe32(void *Record, ULONG Value, ULONG Offset = 0) {
  UCHAR *Bytes = static_cast<UCHAR *>(Record) + Offset;
  Bytes[0] = (UCHAR)(Value >> 24);
  Bytes[1] = (UCHAR)(Value >> 16);
  Bytes[2] = (UCHAR)(Value >> 8);
  Bytes[3] = (UCHAR)Value;
}

inline void StoreBe64(void *Record, ULONGLONG Value, ULONG Offset = 0) {
  StoreBe32(Record, (ULONG)(Value >> 32), Offset);
  StoreBe32(Record, (ULONG)Value, Offset + 4);
}

// A BAT entry as kept in memory (file byte order) to its host value, and back.
inline ULONG BatEntryToHost(ULONG DiskEntry) { return LoadBe32(&DiskEntry); }

inline ULONG BatEntryToDisk(ULONG HostEntry) {
  ULONG DiskEntry;
  StoreBe32(&DiskEntry, HostEntry);
  return DiskEntry;
}
