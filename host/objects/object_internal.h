// Shared internals of the object manager: NT names mapped to host paths, the
// host side of file objects, the handle table that holds them and their share
// access, and what the I/O manager answers for the object manager (handles on
// drivers' devices, the host file system's device). Used by the file services
// and the I/O manager; not for the driver, tests or tools.
#pragma once

#include "host/executive/executive_internal.h"
#include "host/objects/object_control.h"
#include "host/objects/object_manager.h"

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

struct _OBJECT_TYPE {
  const char* Name;
};

namespace host {

// --- Object names ------------------------------------------------------------

struct MappedName {
  std::string hostPath;
  // The name below the volume or share, as NT keeps in FILE_OBJECT::FileName
  // ("\srv\vm\a.vhd" for "\??\Z:\srv\vm\a.vhd").
  std::u16string volumeRelativeName;
  bool trailingSeparator = false;  // "\dir\" names a directory only
};
// Whether the file system holding a host path serves FSCTL_SET_ZERO_DATA
// (SetDriveZeroData).
bool ZeroDataServed(const std::string& hostPath);

NTSTATUS MapNtName(const std::u16string& ntName, bool caseInsensitive, MappedName* out);
// Resolves `relative` (an NT name below a directory) against a host directory.
NTSTATUS MapRelativeName(const std::string& directory, const std::u16string& directoryNtName,
                         const std::u16string& relative, bool caseInsensitive, MappedName* out);

// --- Devices, answered by the I/O manager (io/) -------------------------------
// The object manager hands names that lead to a driver's device, and handles
// on them, to the I/O manager, as NT's object manager calls the parse and
// close procedures of the device object type.

// The host file system's device: every host file object's DeviceObject
// (file_system_device.cpp).
struct _DEVICE_OBJECT* HostFileSystemDevice();

// Handles on driver devices (device_handles.cpp).
struct OpenParameters;
// True when an NT name leads to a driver's device, through symbolic links.
bool NameLeadsToDevice(const std::u16string& ntName);
// ZwCreateFile of such a name: the create goes to the device's driver; on
// success *handle serves ZwClose, and every other service on it fails with
// STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS CreateOnDevice(const std::u16string& ntName, const OpenParameters& parameters,
                        bool kernelHandle, PHANDLE handle, ULONG_PTR* information);
bool IsDeviceHandle(HANDLE handle);
// STATUS_INVALID_HANDLE when `handle` is no device handle.
NTSTATUS CloseDeviceHandle(HANDLE handle);

// --- File objects ------------------------------------------------------------

struct FileNode;

// The host side of a file object made by ZwCreateFile. FILE_OBJECT::HostObject
// points here. Lifetime: references (handles count as one each) keep it; the
// fd closes at the last reference.
struct HostFile {
  FILE_OBJECT object;
  int fd = -1;
  std::string hostPath;
  std::u16string fileName;  // storage of object.FileName
  ACCESS_MASK grantedAccess = 0;
  ULONG shareAccess = 0;
  ULONG options = 0;
  bool directory = false;
  bool deleteOnClose = false;
  FileNode* node = nullptr;
  // Under the object-table lock.
  long handleCount = 0;
  long referenceCount = 0;
  // Serialises synchronous I/O on the file object, as NT's file object lock.
  std::mutex ioLock;
  // Bytes written through this file object since its write-back last began
  // (file_read_write.cpp).
  std::atomic<uint64_t> unwrittenBytes{0};
};

// --- Event objects (event_objects.cpp) -----------------------------------------

// The event behind a handle, kept alive while the caller holds it:
// STATUS_OBJECT_TYPE_MISMATCH for a handle of another object,
// STATUS_INVALID_HANDLE for no handle.
NTSTATUS ReferenceEventHandle(HANDLE handle, std::shared_ptr<KEVENT>* event);
bool IsEventHandle(HANDLE handle);
// False when `handle` is no event handle.
bool CloseEventHandle(HANDLE handle);
size_t OpenEventHandleCount();

// Looks up a handle and takes a reference on its file object. Checks nothing
// about access; `granted` receives the handle's access.
NTSTATUS ReferenceHandle(HANDLE handle, HostFile** file, ACCESS_MASK* granted,
                         ULONG* handleAttributes);
void ReferenceFile(HostFile* file);
void DereferenceFile(HostFile* file);
// The host file behind a file object, or nullptr for other file objects.
HostFile* HostFileFromObject(PFILE_OBJECT object);

// Creates a file object with the FO_ flags `objectFlags` for an opened fd and
// a kernel or process handle for it, applying share access and delete-pending
// rules. On failure the fd is closed.
NTSTATUS InsertOpenedFile(int fd, const struct stat& st, const MappedName& name,
                          const std::u16string& ntName, ACCESS_MASK granted, ULONG shareAccess,
                          ULONG options, ULONG objectFlags, bool kernelHandle, PHANDLE handle);
// STATUS_DELETE_PENDING if the file is open and marked for deletion.
NTSTATUS CheckNotDeletePending(const struct stat& st);
// Marks or clears the file's delete disposition.
NTSTATUS SetDeletePending(HostFile* file, bool deletePending);
bool DeletePending(HostFile* file);

// Share access against opens of the same file in other processes (and other
// open descriptions in this one), held in the file's locks (share_locks.cpp):
// STATUS_SHARING_VIOLATION when another open conflicts. Released by
// ReleaseProcessShareAccess or when fd's open description closes.
NTSTATUS TakeProcessShareAccess(int fd, ACCESS_MASK access, ULONG shareAccess);
void ReleaseProcessShareAccess(int fd);

// Generic mapping of file objects: GENERIC_READ to FILE_GENERIC_READ, etc.
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);

}  // namespace host
