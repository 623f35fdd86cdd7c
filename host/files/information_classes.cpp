// The information classes of NtQueryInformationFile and NtSetInformationFile:
// which each call accepts, the fixed length each needs and the access each
// needs on the handle. Shared by the host file services and the I/O
// manager's client requests.
#include "host/files/file_services_internal.h"

namespace host {

namespace {

constexpr InformationClassRule kInformationClasses[] = {
    {FileBasicInformation, sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES,
     sizeof(FILE_BASIC_INFORMATION), FILE_WRITE_ATTRIBUTES},
    {FileStandardInformation, sizeof(FILE_STANDARD_INFORMATION), 0, 0, 0},
    {FileInternalInformation, sizeof(FILE_INTERNAL_INFORMATION), 0, 0, 0},
    {FileEaInformation, sizeof(ULONG), FILE_READ_EA, 0, 0},
    {FileAccessInformation, sizeof(ULONG), 0, 0, 0},
    {FileModeInformation, sizeof(ULONG), 0, sizeof(ULONG), 0},
    {FileAlignmentInformation, sizeof(ULONG), 0, 0, 0},
    {FilePositionInformation, sizeof(FILE_POSITION_INFORMATION), 0,
     sizeof(FILE_POSITION_INFORMATION), 0},
    {FileNetworkOpenInformation, sizeof(FILE_NETWORK_OPEN_INFORMATION), FILE_READ_ATTRIBUTES, 0,
     0},
    {FileNameInformation, sizeof(FILE_NAME_INFORMATION), 0, 0, 0},
    {FileAlternateNameInformation, sizeof(FILE_NAME_INFORMATION), 0, 0, 0},
    {FileAllInformation, 104, 0, 0, 0},
    {FileStreamInformation, 24, 0, 0, 0},
    {FileCompressionInformation, 16, 0, 0, 0},
    {FileAttributeTagInformation, 8, FILE_READ_ATTRIBUTES, 0, 0},
    {FileDispositionInformation, 0, 0, sizeof(FILE_DISPOSITION_INFORMATION), DELETE},
    {FileAllocationInformation, 0, 0, sizeof(FILE_ALLOCATION_INFORMATION), FILE_WRITE_DATA},
    {FileEndOfFileInformation, 0, 0, sizeof(FILE_END_OF_FILE_INFORMATION), FILE_WRITE_DATA},
    {FileValidDataLengthInformation, 0, 0, sizeof(FILE_VALID_DATA_LENGTH_INFORMATION),
     FILE_WRITE_DATA},
    {FileRenameInformation, 0, 0, 24, DELETE},
    {FileLinkInformation, 0, 0, 24, 0},
};

}  // namespace

const InformationClassRule* FindInformationClass(FILE_INFORMATION_CLASS infoClass) {
  for (const InformationClassRule& rule : kInformationClasses) {
    if (rule.infoClass == infoClass) return &rule;
  }
  return nullptr;
}

}  // namespace host
