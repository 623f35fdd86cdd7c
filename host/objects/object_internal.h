// Shared internals of the host kernel: the pieces one concern of host/ offers
// another (bug checks, errno mapping, thread state, the file-call gate of fault
// injection, name mapping, file objects). Not for the driver, tests or tools.
#pragma once

#include "host/host_kernel.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct _OBJECT_TYPE {
  const char* Name;
};

namespace host {

// Stops the process as a bug check stops Windows: the code and a message on
// stderr, then abort() so a debugger or core dump shows the caller.
[[noreturn]] void BugCheck(const char* code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The NTSTATUS the NT file system reports for a failed host call's errno.
NTSTATUS StatusFromErrno(int err);

// Execution state of the calling thread.
struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  KPROCESSOR_MODE previousMode = KernelMode;
  // Set by an Nt entry point for the Zw call it makes: that call keeps the
  // previous mode.
  bool keepPreviousMode = false;
};
ThreadState& CurrentThread();
// Bug check unless the calling thread runs at or below `maximum`.
void RequireIrqlAtMost(KIRQL maximum, const char* routine);

// Marks the calling thread as running in the kernel for a client request,
// from the frame of the outermost entry until it returns; nested entries
// (a driver's own requests) change nothing.
class KernelEntry {
 public:
  KernelEntry();
  ~KernelEntry();
  KernelEntry(const KernelEntry&) = delete;
  KernelEntry& operator=(const KernelEntry&) = delete;

 private:
  bool outermost_;
};
// True when [address, address + length) overlaps the part of the calling
// thread's stack below its kernel entry.
bool OnKernelStack(const void* address, size_t length);
void ResetKernelStack();

// True when [address, address + length) overlaps a pool allocation.
bool InPool(const void* address, size_t length);

// A system service called through its Zw entry point runs with previous mode
// KernelMode, the caller's mode coming back at return. The Nt entry points
// call the Zw ones after their own checks, under KeepPreviousMode, so that
// the service keeps the caller's mode.
class ZwCallMode {
 public:
  ZwCallMode();
  ~ZwCallMode();
  ZwCallMode(const ZwCallMode&) = delete;
  ZwCallMode& operator=(const ZwCallMode&) = delete;

 private:
  KPROCESSOR_MODE saved_;
};
class KeepPreviousMode {
 public:
  KeepPreviousMode();
  ~KeepPreviousMode();
  KeepPreviousMode(const KeepPreviousMode&) = delete;
  KeepPreviousMode& operator=(const KeepPreviousMode&) = delete;
};

// Appends one message to the captured debug output (and stderr if verbose).
void AppendDebugOutput(const std::string& message);
bool Verbose();

// --- The file-call gate of fault injection ----------------------------------

// What a file call may do after the gate: fail with `status` (not success), or
// move at most `allowedBytes`.
struct FileCallGate {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t allowedBytes = UINT64_MAX;
};
// Runs the hook, counts the call and applies pending faults. `requestedBytes`
// is the transfer length of reads and writes (0 for others).
FileCallGate EnterFileCall(FileCall call, const std::string& hostPath, uint64_t requestedBytes);
// True after a Crash fault fired: nothing more may reach the disk.
bool Crashed();
void MarkCrashed();

// The journal of simulated power loss (power_loss.cpp). An UnflushedChange
// lives around one change to the file behind fd: the sectors of
// [offset, offset + length) are written, or (resize) the end of file moves
// to offset. Nothing is kept unless power loss is armed.
class UnflushedChange {
 public:
  UnflushedChange(int fd, int64_t offset, int64_t length, bool resize = false);
  ~UnflushedChange();
  UnflushedChange(const UnflushedChange&) = delete;
  UnflushedChange& operator=(const UnflushedChange&) = delete;

 private:
  int fd_;
  bool resize_;
  bool active_ = false;
  int64_t first_ = 0, end_ = 0, sizeBefore_ = 0;
  std::vector<uint8_t> before_;
};
// A flush made the file's changes durable.
void FlushedFile(int fd);
void RecordCreate(CreateRecord record);

// --- Object names ------------------------------------------------------------

struct MappedName {
  std::string hostPath;
  // The name below the volume or share, as NT keeps in FILE_OBJECT::FileName
  // ("\srv\vm\a.vhd" for "\??\Z:\srv\vm\a.vhd").
  std::u16string volumeRelativeName;
  bool trailingSeparator = false;  // "\dir\" names a directory only
};
NTSTATUS MapNtName(const std::u16string& ntName, bool caseInsensitive, MappedName* out);
// Resolves `relative` (an NT name below a directory) against a host directory.
NTSTATUS MapRelativeName(const std::string& directory, const std::u16string& directoryNtName,
                         const std::u16string& relative, bool caseInsensitive, MappedName* out);

// --- Handles on driver devices (device_handles.cpp) --------------------------

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
};

// The host file system's device: every host file object's DeviceObject.
PDEVICE_OBJECT HostFileSystemDevice();

// Looks up a handle and takes a reference on its file object. Checks nothing
// about access; `granted` receives the handle's access.
NTSTATUS ReferenceHandle(HANDLE handle, HostFile** file, ACCESS_MASK* granted,
                         ULONG* handleAttributes);
void ReferenceFile(HostFile* file);
void DereferenceFile(HostFile* file);
// The host file behind a file object, or nullptr for other file objects.
HostFile* HostFileFromObject(PFILE_OBJECT object);

// Creates a file object for an opened fd and a kernel or process handle for
// it, applying share access and delete-pending rules. On failure the fd is
// closed.
NTSTATUS InsertOpenedFile(int fd, const struct stat& st, const MappedName& name,
                          const std::u16string& ntName, ACCESS_MASK granted, ULONG shareAccess,
                          ULONG options, bool kernelHandle, PHANDLE handle);
// Share access against opens of the same file in other processes (and other
// open descriptions in this one), held in the file's locks (share_locks.cpp):
// STATUS_SHARING_VIOLATION when another open conflicts. Released by
// ReleaseProcessShareAccess or when fd's open description closes.
NTSTATUS TakeProcessShareAccess(int fd, ACCESS_MASK access, ULONG shareAccess);
void ReleaseProcessShareAccess(int fd);
// STATUS_DELETE_PENDING if the file is open and marked for deletion.
NTSTATUS CheckNotDeletePending(const struct stat& st);
// Marks or clears the file's delete disposition.
NTSTATUS SetDeletePending(HostFile* file, bool deletePending);
bool DeletePending(HostFile* file);

// Generic mapping of file objects: GENERIC_READ to FILE_GENERIC_READ, etc.
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);

// The byte offset of a read or write that asks for the file object's current
// position instead of an offset.
inline bool UsesFilePosition(const LARGE_INTEGER& offset) {
  return offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION;
}

// What a query and a set of each class need: the fixed size of the buffer
// (0: the call does not accept the class) and the access the handle must
// have. Classes outside this table, directory listings among them, are
// STATUS_INVALID_INFO_CLASS for both. Classes NTFS answers but the host does
// not (names, streams, compression, rename, links...) pass these checks and
// then give STATUS_NOT_IMPLEMENTED.
struct InformationClassRule {
  FILE_INFORMATION_CLASS infoClass;
  ULONG queryLength;
  ACCESS_MASK queryAccess;
  ULONG setLength;
  ACCESS_MASK setAccess;
};

const InformationClassRule* FindInformationClass(FILE_INFORMATION_CLASS infoClass);

}  // namespace host
