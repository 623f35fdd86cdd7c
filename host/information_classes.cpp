// The information classes of NtQueryInformationFile and NtSetInformationFile:
// which the I/O manager accepts, the fixed length each needs and the access
// each needs on the handle. Shared by the host file services and the I/O
// manager's client requests.
#include "host/host_internal.h"

namespace host {

// The classes NtQueryInformationFile accepts, with their fixed sizes; 0 marks
// classes that are not queryable through it (directory listings, set-only).
ULONG QueryLength(FILE_INFORMATION_CLASS infoClass) {
  switch (infoClass) {
    case FileBasicInformation:
      return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
      return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation:
      return sizeof(FILE_INTERNAL_INFORMATION);
    case FileEaInformation:
    case FileAccessInformation:
    case FileModeInformation:
    case FileAlignmentInformation:
      return sizeof(ULONG);
    case FilePositionInformation:
      return sizeof(FILE_POSITION_INFORMATION);
    case FileNetworkOpenInformation:
      return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    case FileNameInformation:
    case FileAlternateNameInformation:
      return sizeof(FILE_NAME_INFORMATION);
    case FileAllInformation:
      return 104;
    case FileStreamInformation:
      return 24;
    case FileCompressionInformation:
      return 16;
    case FileAttributeTagInformation:
      return 8;
    default:
      return 0;
  }
}

ULONG SetLength(FILE_INFORMATION_CLASS infoClass) {
  switch (infoClass) {
    case FileBasicInformation:
      return sizeof(FILE_BASIC_INFORMATION);
    case FileDispositionInformation:
      return sizeof(FILE_DISPOSITION_INFORMATION);
    case FilePositionInformation:
      return sizeof(FILE_POSITION_INFORMATION);
    case FileModeInformation:
      return sizeof(ULONG);
    case FileAllocationInformation:
      return sizeof(FILE_ALLOCATION_INFORMATION);
    case FileEndOfFileInformation:
      return sizeof(FILE_END_OF_FILE_INFORMATION);
    case FileValidDataLengthInformation:
      return sizeof(FILE_VALID_DATA_LENGTH_INFORMATION);
    case FileRenameInformation:
    case FileLinkInformation:
      return 24;
    default:
      return 0;
  }
}

// Access a set-information class needs on the handle.
ACCESS_MASK SetAccess(FILE_INFORMATION_CLASS infoClass) {
  switch (infoClass) {
    case FileBasicInformation:
      return FILE_WRITE_ATTRIBUTES;
    case FileDispositionInformation:
    case FileRenameInformation:
      return DELETE;
    case FileAllocationInformation:
    case FileEndOfFileInformation:
    case FileValidDataLengthInformation:
      return FILE_WRITE_DATA;
    default:
      return 0;
  }
}

ACCESS_MASK QueryAccess(FILE_INFORMATION_CLASS infoClass) {
  switch (infoClass) {
    case FileBasicInformation:
    case FileNetworkOpenInformation:
    case FileAttributeTagInformation:
      return FILE_READ_ATTRIBUTES;
    case FileEaInformation:
      return FILE_READ_EA;
    default:
      return 0;
  }
}

}  // namespace host
