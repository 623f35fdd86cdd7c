// RTL bitmaps. Bit i is bit (i % 32) of ULONG i / 32, which on a
// little-endian machine is bit (i % 8), least significant first, of byte
// i / 8. Indexes past the end of a bitmap are a caller bug: NT asserts on
// them in checked builds and corrupts memory in free builds; the host stops.
#include "host/executive/executive_internal.h"

namespace {

void CheckRange(PRTL_BITMAP BitMap, ULONG Start, ULONG Count, const char* Routine) {
  if (Start > BitMap->SizeOfBitMap || Count > BitMap->SizeOfBitMap - Start) {
    host::BugCheck("RTL_BITMAP_RANGE", "%s of bits %u..+%u in a bitmap of %u bits", Routine,
                   Start, Count, BitMap->SizeOfBitMap);
  }
}

bool BitSet(PRTL_BITMAP BitMap, ULONG Index) {
  return (BitMap->Buffer[Index / 32] >> (Index % 32)) & 1;
}

// Length of the run of bits equal to `Value` from `Start`, up to the end.
ULONG RunLength(PRTL_BITMAP BitMap, ULONG Start, bool Value) {
  ULONG Index = Start;
  ULONG Size = BitMap->SizeOfBitMap;
  ULONG Other = Value ? 0 : ~0u;
  while (Index < Size) {
    if (Index % 32 == 0 && Size - Index >= 32) {
      if (BitMap->Buffer[Index / 32] == ~Other) {
        Index += 32;
        continue;
      }
    }
    if (BitSet(BitMap, Index) != Value) break;
    ++Index;
  }
  return Index - Start;
}

}  // namespace

extern "C" VOID NTAPI RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer,
                                          ULONG SizeOfBitMap) {
  BitMapHeader->SizeOfBitMap = SizeOfBitMap;
  BitMapHeader->Buffer = BitMapBuffer;
}

extern "C" VOID NTAPI RtlSetBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex,
                                 ULONG NumberToSet) {
  CheckRange(BitMapHeader, StartingIndex, NumberToSet, "RtlSetBits");
  for (ULONG i = StartingIndex; i < StartingIndex + NumberToSet; ++i) {
    BitMapHeader->Buffer[i / 32] |= 1u << (i % 32);
  }
}

extern "C" VOID NTAPI RtlClearBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex,
                                   ULONG NumberToClear) {
  CheckRange(BitMapHeader, StartingIndex, NumberToClear, "RtlClearBits");
  for (ULONG i = StartingIndex; i < StartingIndex + NumberToClear; ++i) {
    BitMapHeader->Buffer[i / 32] &= ~(1u << (i % 32));
  }
}

extern "C" BOOLEAN NTAPI RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber) {
  CheckRange(BitMapHeader, BitNumber, 1, "RtlTestBit");
  return BitSet(BitMapHeader, BitNumber) ? TRUE : FALSE;
}

// FALSE for an empty range or one that does not fit in the bitmap, as NT.
extern "C" BOOLEAN NTAPI RtlAreBitsSet(PRTL_BITMAP BitMapHeader, ULONG StartingIndex,
                                       ULONG Length) {
  if (Length == 0 || StartingIndex >= BitMapHeader->SizeOfBitMap ||
      Length > BitMapHeader->SizeOfBitMap - StartingIndex) {
    return FALSE;
  }
  return RunLength(BitMapHeader, StartingIndex, true) >= Length ? TRUE : FALSE;
}

// Skips the set bits from FromIndex; the clear run found there (up to the end
// of the bitmap) is returned by length with its start in *StartingRunIndex.
// With no clear bit left, returns 0 and *StartingRunIndex is the bitmap size.
extern "C" ULONG NTAPI RtlFindNextForwardRunClear(PRTL_BITMAP BitMapHeader, ULONG FromIndex,
                                                  PULONG StartingRunIndex) {
  if (FromIndex >= BitMapHeader->SizeOfBitMap) {
    *StartingRunIndex = BitMapHeader->SizeOfBitMap;
    return 0;
  }
  ULONG Start = FromIndex + RunLength(BitMapHeader, FromIndex, true);
  *StartingRunIndex = Start;
  return RunLength(BitMapHeader, Start, false);
}
