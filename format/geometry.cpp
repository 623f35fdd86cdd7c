// Disk geometry (cylinders, heads, sectors per track) of a virtual disk size.
#include "format/vhd_format.h"

VOID ComputeDiskGeometry(ULONGLONG TotalSectors, UCHAR GeometryField[4]) {
  const ULONGLONG MaxSectors = 65535ull * 16 * 255;
  ULONG SectorsPerTrack;
  ULONG Heads;
  ULONGLONG CylinderTimesHeads;

  if (TotalSectors > MaxSectors) {
    TotalSectors = MaxSectors;
  }
  if (TotalSectors >= 65535ull * 16 * 63) {
    SectorsPerTrack = 255;
    Heads = 16;
    CylinderTimesHeads = TotalSectors / SectorsPerTrack;
  } else {
    SectorsPerTrack = 17;
    CylinderTimesHeads = TotalSectors / SectorsPerTrack;
    Heads = (ULONG)((CylinderTimesHeads + 1023) / 1024);
    if (Heads < 4) {
      Heads = 4;
    }
    if (CylinderTimesHeads >= Heads * 1024ull || Heads > 16) {
      SectorsPerTrack = 31;
      Heads = 16;
      CylinderTimesHeads = TotalSectors / SectorsPerTrack;
    }
    if (CylinderTimesHeads >= Heads * 1024ull) {
      SectorsPerTrack = 63;
      Heads = 16;
      CylinderTimesHeads = TotalSectors / SectorsPerTrack;
    }
  }

  StoreBe16(GeometryField, (USHORT)(CylinderTimesHeads / Heads));
  GeometryField[2] = (UCHAR)Heads;
  GeometryField[3] = (UCHAR)SectorsPerTrack;
}
