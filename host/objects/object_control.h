// Host-side control of the object manager, for the command and tests
// (through host/host_kernel.h): the tables that map NT object names to host
// paths, and handle accounting.
#pragma once

#include "host/objects/object_manager.h"

#include <string>

namespace host {

// \??\X:\... maps below `dir`. Letters are case-insensitive; an empty dir
// removes the drive. Z: is / unless remapped.
void MapDrive(char letter, const std::string& dir);
// The file system a drive stands for, as far as file-system controls go: an
// NTFS volume by default; with zero-data off, a FAT or exFAT volume, which
// refuses FSCTL_SET_ZERO_DATA with STATUS_INVALID_DEVICE_REQUEST. It holds for
// every file below the drive's directory, by whatever name it was opened
// (NtPathForHostPath's drive), and stays with the letter when it is remapped.
void SetDriveZeroData(char letter, bool served);
// \Device\Mup\server\share\... maps below `dir` (names case-insensitive);
// an empty dir removes the share.
void MapShare(const std::string& server, const std::string& share, const std::string& dir);
// The \??\X:\... name of a host path, relative paths taken from the current
// directory; the longest mapped drive prefix wins, Z: last.
std::u16string NtPathForHostPath(const std::string& path);
// The host path of an NT object name, or the NTSTATUS the object manager
// would give for it.
NTSTATUS HostPathForNtName(const std::u16string& ntName, bool caseInsensitive, std::string* out);

// Kernel handles open in the process.
size_t OpenHandleCount();

}  // namespace host
