// Turning a parent locator's path into the kernel path the parent is opened
// by: a relative path (first name ".") is joined to the child's folder, an
// absolute one is given the kernel's name for its form.
#include "image/image.h"

namespace {

// The longest text a counted string can hold: its length is 16 bits and
// counts whole UTF-16 units.
const ULONG PathLengthLimit = 0xFFFE;

const WCHAR Backslash = (WCHAR)'\\';

// Prefix of a child path below the memory vault, dropped before a relative
// path is joined to the child's folder.
constexpr UNICODE_STRING VaultPrefix = DORVANE_CONSTANT_STRING("\\??\\memvault");
constexpr UNICODE_STRING NetworkPrefix = DORVANE_CONSTANT_STRING("\\Device\\Mup\\");
constexpr UNICODE_STRING DosDevicesPrefix = DORVANE_CONSTANT_STRING("\\??\\");

ULONG CharacterCount(PCUNICODE_STRING String) { return String->Length / sizeof(WCHAR); }

BOOLEAN IsCurrentFolderName(PCUNICODE_STRING Name) {
  return Name->Length == sizeof(WCHAR) && Name->Buffer[0] == (WCHAR)'.';
}

// Replaces Path's buffer with a new one of First followed by Second. The old
// buffer is freed only once the new one exists, so a failure leaves Path as
// it was.
NTSTATUS ReplaceWithConcatenation(PUNICODE_STRING Path, const WCHAR *First, ULONG FirstLength,
                                  const WCHAR *Second, ULONG SecondLength) {
  ULONG Length = FirstLength + SecondLength;
  if (Length > PathLengthLimit) {
    return STATUS_NAME_TOO_LONG;
  }
  // Nothing left to name a file by: no buffer of zero bytes is made for it.
  if (Length == 0) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  PWSTR Buffer = static_cast<PWSTR>(AllocateUnfilledPool(Length));
  if (Buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(Buffer, First, FirstLength);
  RtlCopyMemory(reinterpret_cast<PUCHAR>(Buffer) + FirstLength, Second, SecondLength);
  FreePool(Path->Buffer);
  Path->Buffer = Buffer;
  Path->Length = (USHORT)Length;
  Path->MaximumLength = (USHORT)Length;
  return STATUS_SUCCESS;
}

// The rest of a relative path behind the child's folder: the child's path up
// to and including its last backslash, after the vault prefix is dropped.
NTSTATUS JoinToChildFolder(PUNICODE_STRING Path, PCUNICODE_STRING ChildPath,
                           PCUNICODE_STRING Rest) {
  UNICODE_STRING Folder = *ChildPath;
  if (Folder.Length > VaultPrefix.Length && RtlPrefixUnicodeString(&VaultPrefix, &Folder, TRUE)) {
    Folder.Buffer += CharacterCount(&VaultPrefix);
    Folder.Length = (USHORT)(Folder.Length - VaultPrefix.Length);
  }
  ULONG FolderCharacters = CharacterCount(&Folder);
  while (FolderCharacters > 0 && Folder.Buffer[FolderCharacters - 1] != Backslash) {
    --FolderCharacters;
  }
  return ReplaceWithConcatenation(Path, Folder.Buffer, FolderCharacters * sizeof(WCHAR),
                                  Rest->Buffer, Rest->Length);
}

BOOLEAN StartsWithTwoBackslashes(PCUNICODE_STRING Path) {
  return CharacterCount(Path) >= 2 && Path->Buffer[0] == Backslash && Path->Buffer[1] == Backslash;
}

// "\\.\" and "\\?\": the local device forms of a path.
BOOLEAN IsLocalDeviceForm(PCUNICODE_STRING Path) {
  if (CharacterCount(Path) < 4 || !StartsWithTwoBackslashes(Path)) {
    return FALSE;
  }
  WCHAR Third = Path->Buffer[2];
  return (Third == (WCHAR)'.' || Third == (WCHAR)'?') && Path->Buffer[3] == Backslash;
}

NTSTATUS ResolveAbsolutePath(PUNICODE_STRING Path) {
  if (IsLocalDeviceForm(Path)) {
    // "\\.\X" and "\\?\X" become "\??\X" in the same buffer.
    Path->Buffer[1] = (WCHAR)'?';
    Path->Buffer[2] = (WCHAR)'?';
    return STATUS_SUCCESS;
  }
  if (StartsWithTwoBackslashes(Path)) {
    return ReplaceWithConcatenation(Path, NetworkPrefix.Buffer, NetworkPrefix.Length,
                                    Path->Buffer + 2, Path->Length - 2 * sizeof(WCHAR));
  }
  return ReplaceWithConcatenation(Path, DosDevicesPrefix.Buffer, DosDevicesPrefix.Length,
                                  Path->Buffer, Path->Length);
}

}  // namespace

NTSTATUS ResolveParentPath(PUNICODE_STRING ParentPath, PCUNICODE_STRING ChildPath) {
  UNICODE_STRING FirstName;
  UNICODE_STRING Rest;
  FsRtlDissectName(*ParentPath, &FirstName, &Rest);
  if (IsCurrentFolderName(&FirstName)) {
    return JoinToChildFolder(ParentPath, ChildPath, &Rest);
  }
  return ResolveAbsolutePath(ParentPath);
}
