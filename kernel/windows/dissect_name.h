// FsRtlDissectName's work, for the places that supply the routine where the
// system does not (Wine's kernel, the command's user-mode run of the image
// code): the first name of a backslash-separated path and the rest after
// its separator; a leading backslash is skipped.
#pragma once

#include <kernel_services.h>

inline VOID DissectBackslashName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                                 PUNICODE_STRING RemainingName) {
  USHORT Count = Path.Length / sizeof(WCHAR);
  USHORT Start = (Count > 0 && Path.Buffer[0] == L'\\') ? 1 : 0;
  USHORT End = Start;
  while (End < Count && Path.Buffer[End] != L'\\') {
    ++End;
  }
  FirstName->Buffer = Path.Buffer + Start;
  FirstName->Length = FirstName->MaximumLength = (USHORT)((End - Start) * sizeof(WCHAR));
  USHORT Rest = End < Count ? (USHORT)(End + 1) : Count;
  RemainingName->Buffer = Path.Buffer + Rest;
  RemainingName->Length = RemainingName->MaximumLength =
      (USHORT)((Count - Rest) * sizeof(WCHAR));
}
