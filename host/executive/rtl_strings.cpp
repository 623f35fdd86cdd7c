// RTL counted strings: upper-casing, comparison, prefix test and the file
// system's split of a path into its first name and the rest. Lengths are in
// bytes, as in UNICODE_STRING; a string's characters are its Length / 2 code
// units, none of them a terminator.
#include "host/executive/executive_internal.h"

namespace {

// Simple (one to one) upper-case mappings of the scripts image names are
// written in: Latin with its supplements and Extended-A, Greek, Cyrillic and
// the full-width Latin letters. NT's table is the NLS upcase table, which
// maps further scripts too; code units outside these ranges are returned
// unchanged, surrogates included, as NT does for them.
WCHAR UpcaseCodeUnit(WCHAR C) {
  if (C < 0x80) {
    return (C >= u'a' && C <= u'z') ? WCHAR(C - 0x20) : C;
  }
  if (C >= 0xE0 && C <= 0xFE && C != 0xF7) return WCHAR(C - 0x20);
  if (C == 0xFF) return 0x178;
  if (C >= 0x100 && C <= 0x137) return (C & 1) ? WCHAR(C - 1) : C;
  if (C >= 0x139 && C <= 0x148) return (C & 1) ? C : WCHAR(C - 1);
  if (C >= 0x14A && C <= 0x177) return (C & 1) ? WCHAR(C - 1) : C;
  if (C >= 0x179 && C <= 0x17E) return (C & 1) ? C : WCHAR(C - 1);
  if (C >= 0x3B1 && C <= 0x3CB && C != 0x3C2) return WCHAR(C - 0x20);
  if (C == 0x3AC) return 0x386;
  if (C >= 0x3AD && C <= 0x3AF) return WCHAR(C - 0x25);
  if (C == 0x3CC) return 0x38C;
  if (C == 0x3CD || C == 0x3CE) return WCHAR(C - 0x3F);
  if (C >= 0x430 && C <= 0x44F) return WCHAR(C - 0x20);
  if (C >= 0x450 && C <= 0x45F) return WCHAR(C - 0x50);
  if (C >= 0x460 && C <= 0x481) return (C & 1) ? WCHAR(C - 1) : C;
  if (C >= 0x48A && C <= 0x4BF) return (C & 1) ? WCHAR(C - 1) : C;
  if (C >= 0xFF41 && C <= 0xFF5A) return WCHAR(C - 0x20);
  return C;
}

WCHAR Fold(WCHAR C, BOOLEAN CaseInSensitive) { return CaseInSensitive ? UpcaseCodeUnit(C) : C; }

}  // namespace

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
  return UpcaseCodeUnit(SourceCharacter);
}

// The first differing character decides (compared upper-cased when asked);
// a string that is a prefix of the other is the lesser. Lengths beyond the
// shorter string's characters compare in bytes, as NT returns them.
extern "C" LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive) {
  USHORT Count1 = String1->Length / sizeof(WCHAR);
  USHORT Count2 = String2->Length / sizeof(WCHAR);
  USHORT Common = Count1 < Count2 ? Count1 : Count2;
  for (USHORT Index = 0; Index < Common; ++Index) {
    WCHAR C1 = Fold(String1->Buffer[Index], CaseInSensitive);
    WCHAR C2 = Fold(String2->Buffer[Index], CaseInSensitive);
    if (C1 != C2) return (LONG)C1 - (LONG)C2;
  }
  return (LONG)String1->Length - (LONG)String2->Length;
}

// TRUE when String1 is a prefix of String2; an empty String1 is a prefix of
// every string.
extern "C" BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                                BOOLEAN CaseInSensitive) {
  USHORT Count1 = String1->Length / sizeof(WCHAR);
  if (String1->Length > String2->Length) return FALSE;
  for (USHORT Index = 0; Index < Count1; ++Index) {
    if (Fold(String1->Buffer[Index], CaseInSensitive) !=
        Fold(String2->Buffer[Index], CaseInSensitive)) {
      return FALSE;
    }
  }
  return TRUE;
}

// One leading backslash is skipped; the first name runs up to the next
// backslash and the remaining name is everything behind that backslash.
// Both results point into Path's buffer; an empty part has no buffer.
extern "C" VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                                       PUNICODE_STRING RemainingName) {
  *FirstName = UNICODE_STRING{0, 0, nullptr};
  *RemainingName = UNICODE_STRING{0, 0, nullptr};
  USHORT Count = Path.Length / sizeof(WCHAR);
  if (Count == 0) return;

  USHORT Start = Path.Buffer[0] == u'\\' ? 1 : 0;
  USHORT End = Start;
  while (End < Count && Path.Buffer[End] != u'\\') ++End;
  FirstName->Buffer = Path.Buffer + Start;
  FirstName->Length = USHORT((End - Start) * sizeof(WCHAR));
  FirstName->MaximumLength = FirstName->Length;
  if (End + 1 < Count) {
    RemainingName->Buffer = Path.Buffer + End + 1;
    RemainingName->Length = USHORT((Count - End - 1) * sizeof(WCHAR));
    RemainingName->MaximumLength = RemainingName->Length;
  }
}
