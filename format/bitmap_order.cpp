// Bit order conversion of sector bitmaps between the file and memory.
#include "format/vhd_format.h"

namespace {

UCHAR ReverseBits(UCHAR Value) {
  Value = (UCHAR)(((Value & 0xF0) >> 4) | ((Value & 0x0F) << 4));
  Value = (UCHAR)(((Value & 0xCC) >> 2) | ((Value & 0x33) << 2));
  Value = (UCHAR)(((Value & 0xAA) >> 1) | ((Value & 0x55) << 1));
  return Value;
}

VOID ReverseBitsOfEachByte(PUCHAR Bitmap, ULONG Length) {
  for (ULONG Index = 0; Index < Length; ++Index) {
    Bitmap[Index] = ReverseBits(Bitmap[Index]);
  }
}

}  // namespace

VOID SectorBitmapFromDisk(PUCHAR Bitmap, ULONG Length) { ReverseBitsOfEachByte(Bitmap, Length); }

VOID SectorBitmapToDisk(PUCHAR Bitmap, ULONG Length) { ReverseBitsOfEachByte(Bitmap, Length); }
