// What is checked before an image file is opened. Opening runs inside the
// create of the driver's own device, so a name that leads back to the device
// would enter that create again on the same thread, once per level of the
// name, each with a chain of its own; and the create of an image file needs
// stack for the file system below the driver. Both are refused before
// anything is opened.
#include "image/image.h"

namespace {

const WCHAR Backslash = (WCHAR)'\\';

// Object-manager directories that hold the DOS device names.
constexpr UNICODE_STRING DosDirectories[] = {
    DORVANE_CONSTANT_STRING("\\??\\"),
    DORVANE_CONSTANT_STRING("\\DosDevices\\"),
    DORVANE_CONSTANT_STRING("\\GLOBAL??\\"),
};
// Links within them: "Global" to the global directory, "GLOBALROOT" to the
// root of the namespace.
constexpr UNICODE_STRING GlobalLink = DORVANE_CONSTANT_STRING("Global");
constexpr UNICODE_STRING RootLink = DORVANE_CONSTANT_STRING("GLOBALROOT");
constexpr UNICODE_STRING OwnDevice = DORVANE_CONSTANT_STRING(DORVANE_DEVICE_NAME);
constexpr UNICODE_STRING OwnLink = DORVANE_CONSTANT_STRING(DORVANE_LINK_BASE_NAME);

// Names are compared ignoring case, as the object manager compares them.
// Drops Prefix from the front of Name when Name starts with it and the prefix
// ends at a component boundary (a backslash, the end of the name, or the
// prefix's own trailing backslash).
BOOLEAN ConsumeComponents(PUNICODE_STRING Name, PCUNICODE_STRING Prefix) {
  if (Name->Length < Prefix->Length || !RtlPrefixUnicodeString(Prefix, Name, TRUE)) {
    return FALSE;
  }
  USHORT Characters = Prefix->Length / sizeof(WCHAR);
  BOOLEAN PrefixEndsWithSeparator = Characters > 0 && Prefix->Buffer[Characters - 1] == Backslash;
  if (!PrefixEndsWithSeparator && Name->Length > Prefix->Length &&
      Name->Buffer[Characters] != Backslash) {
    return FALSE;
  }
  Name->Buffer += Characters;
  Name->Length = (USHORT)(Name->Length - Prefix->Length);
  return TRUE;
}

BOOLEAN ConsumeDosDirectory(PUNICODE_STRING Name) {
  for (const UNICODE_STRING &Directory : DosDirectories) {
    if (ConsumeComponents(Name, &Directory)) {
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

BOOLEAN NameLeadsToOwnDevice(PCUNICODE_STRING Name) {
  UNICODE_STRING Rest = *Name;
  BOOLEAN InDosDirectory = FALSE;
  // Each round takes one step: a DOS directory, or one of the links inside
  // it that lead elsewhere in the namespace ("\??\Global\",
  // "\??\GLOBALROOT\Device\..."). Links the driver does not know of are
  // left to the stack check below.
  for (ULONG Round = 0; Round < 8; ++Round) {
    if (!InDosDirectory) {
      if (ConsumeComponents(&Rest, &OwnDevice)) {
        return TRUE;
      }
      if (!ConsumeDosDirectory(&Rest)) {
        return FALSE;
      }
      InDosDirectory = TRUE;
      continue;
    }
    if (ConsumeComponents(&Rest, &OwnLink)) {
      return TRUE;
    }
    if (ConsumeComponents(&Rest, &GlobalLink)) {
      if (Rest.Length == 0 || Rest.Buffer[0] != Backslash) {
        return FALSE;
      }
      ++Rest.Buffer;
      Rest.Length = (USHORT)(Rest.Length - sizeof(WCHAR));
      continue;
    }
    if (!ConsumeComponents(&Rest, &RootLink)) {
      return FALSE;
    }
    InDosDirectory = FALSE;
  }
  return FALSE;
}

NTSTATUS CheckImageOpenAllowed(PCUNICODE_STRING ImagePath) {
  if (NameLeadsToOwnDevice(ImagePath)) {
    DbgPrint("Dorvane: Image path leads back to the Dorvane device: %wZ.\n", ImagePath);
    return STATUS_OBJECT_NAME_INVALID;
  }
  // The open of this level and all it calls (the file system's create among
  // them) must fit in what is left.
  if (IoGetRemainingStackSize() < IMAGE_OPEN_STACK_RESERVE) {
    DbgPrint("Dorvane: Not enough kernel stack left to open %wZ.\n", ImagePath);
    return STATUS_TOO_MANY_LINKS;
  }
  return STATUS_SUCCESS;
}
