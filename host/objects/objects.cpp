// Object manager and file objects: the process-wide handle table, file
// objects with their reference counts, and the per-file records that hold
// NT's share access and delete disposition across all opens of one file
// (same st_dev/st_ino).
//
// Lifetime as on NT: a handle holds one reference. Closing a file object's
// last handle is its cleanup: its share access is released and, when the
// last handle of the file closes with a delete pending, the file is
// unlinked. The last reference (handle or ObReferenceObjectByHandle) frees
// the file object and closes its fd.
#include "host/executive/test_hooks.h"
#include "host/objects/object_internal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <map>

namespace host {

struct FileNode {
  dev_t device;
  ino_t inode;
  bool directory;
  // NT's SHARE_ACCESS of the file.
  ULONG openCount = 0, readers = 0, writers = 0, deleters = 0;
  ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
  long cleanupCount = 0;  // file objects that still have a handle
  long fileObjects = 0;   // file objects not yet freed
  bool deletePending = false;
};

namespace {

constexpr uint64_t kHostFileMagic = 0x656C69467473486FULL;  // "oHstFile"

struct HandleEntry {
  HostFile* file;
  ACCESS_MASK granted;
  ULONG attributes;  // OBJ_KERNEL_HANDLE, OBJ_INHERIT
};

std::mutex objectLock;
std::map<uintptr_t, HandleEntry>& Handles() {
  static auto* handles = new std::map<uintptr_t, HandleEntry>();
  return *handles;
}
std::map<std::pair<dev_t, ino_t>, FileNode*>& Nodes() {
  static auto* nodes = new std::map<std::pair<dev_t, ino_t>, FileNode*>();
  return *nodes;
}
// Kernel handles have the top bit set, as on 64-bit NT; process handles are
// small multiples of 4. Values are not reused, so a stale handle stays
// invalid instead of reaching another file (NT reuses them).
uintptr_t nextKernelHandle = 0xFFFFFFFF80000004ULL;
uintptr_t nextProcessHandle = 0x4;

struct _OBJECT_TYPE fileObjectType = {"File"};
POBJECT_TYPE fileObjectTypePointer = &fileObjectType;

struct HostFileRecord {
  uint64_t magic = kHostFileMagic;
  HostFile file;
};

constexpr ULONG kShareRead = FILE_READ_DATA | FILE_EXECUTE;
constexpr ULONG kShareWrite = FILE_WRITE_DATA | FILE_APPEND_DATA;

// IoCheckShareAccess with Update = TRUE, on the file's record.
NTSTATUS CheckAndUpdateShareAccess(FileNode* node, HostFile* file) {
  ACCESS_MASK access = file->grantedAccess;
  bool read = (access & kShareRead) != 0;
  bool write = (access & kShareWrite) != 0;
  bool del = (access & DELETE) != 0;
  PFILE_OBJECT object = &file->object;
  object->ReadAccess = read;
  object->WriteAccess = write;
  object->DeleteAccess = del;
  // An open that neither reads, writes nor deletes does not take part.
  if (!read && !write && !del) return STATUS_SUCCESS;
  bool sharedRead = (file->shareAccess & FILE_SHARE_READ) != 0;
  bool sharedWrite = (file->shareAccess & FILE_SHARE_WRITE) != 0;
  bool sharedDelete = (file->shareAccess & FILE_SHARE_DELETE) != 0;
  if ((read && node->sharedRead < node->openCount) ||
      (write && node->sharedWrite < node->openCount) ||
      (del && node->sharedDelete < node->openCount) || (node->readers != 0 && !sharedRead) ||
      (node->writers != 0 && !sharedWrite) || (node->deleters != 0 && !sharedDelete)) {
    return STATUS_SHARING_VIOLATION;
  }
  object->SharedRead = sharedRead;
  object->SharedWrite = sharedWrite;
  object->SharedDelete = sharedDelete;
  ++node->openCount;
  node->readers += read;
  node->writers += write;
  node->deleters += del;
  node->sharedRead += sharedRead;
  node->sharedWrite += sharedWrite;
  node->sharedDelete += sharedDelete;
  return STATUS_SUCCESS;
}

// IoRemoveShareAccess.
void RemoveShareAccess(FileNode* node, HostFile* file) {
  PFILE_OBJECT object = &file->object;
  if (!object->ReadAccess && !object->WriteAccess && !object->DeleteAccess) return;
  --node->openCount;
  node->readers -= object->ReadAccess;
  node->writers -= object->WriteAccess;
  node->deleters -= object->DeleteAccess;
  node->sharedRead -= object->SharedRead;
  node->sharedWrite -= object->SharedWrite;
  node->sharedDelete -= object->SharedDelete;
}

// Removes the file from its directory if it is still the same file there.
void UnlinkFile(FileNode* node, const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || st.st_dev != node->device || st.st_ino != node->inode) {
    return;
  }
  if ((node->directory ? rmdir(path.c_str()) : unlink(path.c_str())) != 0) {
    auto saved = errno;
    fprintf(stderr, "dorvane: could not delete %s on close: %s\n", path.c_str(),
            strerror(saved));
  }
}

// The cleanup of a file object whose last handle closed. objectLock held.
void CleanupLocked(HostFile* file) {
  FileNode* node = file->node;
  RemoveShareAccess(node, file);
  if (!file->directory) ReleaseProcessShareAccess(file->fd);
  file->object.Flags |= FO_CLEANUP_COMPLETE;
  if (file->deleteOnClose) node->deletePending = true;
  --node->cleanupCount;
  // During a simulated crash nothing more reaches the disk, deletes included.
  if (node->cleanupCount == 0 && node->deletePending && !DiskStopped()) {
    UnlinkFile(node, file->hostPath);
  }
}

}  // namespace

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access) {
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (access & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

HostFile* HostFileFromObject(PFILE_OBJECT object) {
  if (object == nullptr || object->HostObject == nullptr) return nullptr;
  auto* record = static_cast<HostFileRecord*>(object->HostObject);
  if (record->magic != kHostFileMagic || &record->file.object != object) return nullptr;
  return &record->file;
}

NTSTATUS CheckNotDeletePending(const struct stat& st) {
  std::lock_guard<std::mutex> guard(objectLock);
  auto found = Nodes().find({st.st_dev, st.st_ino});
  if (found != Nodes().end() && found->second->deletePending) return STATUS_DELETE_PENDING;
  return STATUS_SUCCESS;
}

NTSTATUS InsertOpenedFile(int fd, const struct stat& st, const MappedName& name,
                          const std::u16string& ntName, ACCESS_MASK granted, ULONG shareAccess,
                          ULONG options, ULONG objectFlags, bool kernelHandle,
                          PHANDLE handle) {
  UNREFERENCED_PARAMETER(ntName);
  // Other processes' opens first: they hold their share access in the file's
  // locks, which close(fd) gives back if this open fails later.
  if (S_ISREG(st.st_mode)) {
    NTSTATUS shared = TakeProcessShareAccess(fd, granted, shareAccess);
    if (!NT_SUCCESS(shared)) {
      close(fd);
      return shared;
    }
  }
  auto* record = new HostFileRecord();
  HostFile* file = &record->file;
  file->fd = fd;
  file->hostPath = name.hostPath;
  file->fileName = name.volumeRelativeName;
  file->grantedAccess = granted;
  file->shareAccess = shareAccess;
  file->options = options;
  file->directory = S_ISDIR(st.st_mode);
  file->deleteOnClose = (objectFlags & FO_DELETE_ON_CLOSE) != 0;

  PFILE_OBJECT object = &file->object;
  memset(object, 0, sizeof(*object));
  object->Type = IO_TYPE_FILE;
  object->Size = sizeof(FILE_OBJECT);
  object->DeviceObject = HostFileSystemDevice();
  object->FileName.Buffer = file->fileName.data();
  object->FileName.Length = (USHORT)(file->fileName.size() * sizeof(WCHAR));
  object->FileName.MaximumLength = object->FileName.Length;
  object->HostObject = record;
  object->Flags = objectFlags | FO_HANDLE_CREATED;

  NTSTATUS status;
  {
    std::lock_guard<std::mutex> guard(objectLock);
    auto key = std::make_pair(st.st_dev, st.st_ino);
    auto found = Nodes().find(key);
    FileNode* node;
    if (found != Nodes().end()) {
      node = found->second;
    } else {
      node = new FileNode{st.st_dev, st.st_ino, S_ISDIR(st.st_mode)};
    }
    status = node->deletePending ? STATUS_DELETE_PENDING : CheckAndUpdateShareAccess(node, file);
    if (NT_SUCCESS(status)) {
      if (found == Nodes().end()) Nodes()[key] = node;
      file->node = node;
      ++node->cleanupCount;
      ++node->fileObjects;
      file->handleCount = 1;
      file->referenceCount = 1;
      uintptr_t value;
      if (kernelHandle) {
        value = nextKernelHandle;
        nextKernelHandle += 4;
      } else {
        value = nextProcessHandle;
        nextProcessHandle += 4;
      }
      Handles()[value] = HandleEntry{file, granted, kernelHandle ? (ULONG)OBJ_KERNEL_HANDLE : 0};
      *handle = reinterpret_cast<HANDLE>(value);
    } else if (found == Nodes().end()) {
      delete node;
    }
  }
  if (!NT_SUCCESS(status)) {
    close(fd);
    delete record;
  }
  return status;
}

NTSTATUS ReferenceHandle(HANDLE handle, HostFile** file, ACCESS_MASK* granted,
                         ULONG* handleAttributes) {
  std::lock_guard<std::mutex> guard(objectLock);
  auto found = Handles().find(reinterpret_cast<uintptr_t>(handle));
  if (found == Handles().end()) {
    if (IsEventHandle(handle)) return STATUS_OBJECT_TYPE_MISMATCH;
    return IsDeviceHandle(handle) ? STATUS_INVALID_DEVICE_REQUEST : STATUS_INVALID_HANDLE;
  }
  ++found->second.file->referenceCount;
  *file = found->second.file;
  if (granted != nullptr) *granted = found->second.granted;
  if (handleAttributes != nullptr) *handleAttributes = found->second.attributes;
  return STATUS_SUCCESS;
}

void ReferenceFile(HostFile* file) {
  std::lock_guard<std::mutex> guard(objectLock);
  ++file->referenceCount;
}

static long DereferenceFileCounted(HostFile* file) {
  long remaining;
  {
    std::lock_guard<std::mutex> guard(objectLock);
    if (file->referenceCount <= 0) {
      BugCheck("REFERENCE_BY_POINTER", "file object %p dereferenced more often than referenced",
               (void*)&file->object);
    }
    remaining = --file->referenceCount;
    if (remaining == 0) {
      FileNode* node = file->node;
      if (--node->fileObjects == 0) {
        Nodes().erase({node->device, node->inode});
        delete node;
      }
    }
  }
  if (remaining == 0) {
    close(file->fd);
    delete static_cast<HostFileRecord*>(file->object.HostObject);
  }
  return remaining;
}

void DereferenceFile(HostFile* file) { DereferenceFileCounted(file); }

NTSTATUS SetDeletePending(HostFile* file, bool deletePending) {
  if (deletePending && file->directory) {
    DIR* dir = opendir(file->hostPath.c_str());
    if (dir != nullptr) {
      bool empty = true;
      while (dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
          empty = false;
          break;
        }
      }
      closedir(dir);
      if (!empty) return STATUS_DIRECTORY_NOT_EMPTY;
    }
  }
  std::lock_guard<std::mutex> guard(objectLock);
  file->node->deletePending = deletePending;
  file->object.DeletePending = deletePending;
  return STATUS_SUCCESS;
}

bool DeletePending(HostFile* file) {
  std::lock_guard<std::mutex> guard(objectLock);
  return file->node->deletePending;
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> guard(objectLock);
  return Handles().size() + OpenEventHandleCount();
}

}  // namespace host

POBJECT_TYPE* IoFileObjectType = &host::fileObjectTypePointer;

// NT bug checks a kernel-mode close of an invalid handle only under Driver
// Verifier; otherwise, as here, it returns STATUS_INVALID_HANDLE.
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  host::ZwCallMode Mode;
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
  host::HostFile* File = nullptr;
  {
    std::lock_guard<std::mutex> guard(host::objectLock);
    auto Found = host::Handles().find(reinterpret_cast<uintptr_t>(Handle));
    if (Found != host::Handles().end()) {
      File = Found->second.file;
      host::Handles().erase(Found);
      if (--File->handleCount == 0) host::CleanupLocked(File);
    }
  }
  if (File == nullptr && host::CloseEventHandle(Handle)) return STATUS_SUCCESS;
  // The close of a device handle goes to its driver, outside the lock.
  if (File == nullptr) return host::CloseDeviceHandle(Handle);
  host::DereferenceFile(File);
  return STATUS_SUCCESS;
}

// Only file objects are referenced by handle here. A user-mode reference
// may not use a kernel handle and is checked against the handle's granted
// access; a kernel-mode reference is not checked, as on NT.
extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType,
                                                     KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "ObReferenceObjectByHandle");
  host::HostFile* File;
  ACCESS_MASK Granted;
  ULONG Attributes;
  NTSTATUS Status = host::ReferenceHandle(Handle, &File, &Granted, &Attributes);
  if (!NT_SUCCESS(Status)) return Status;
  if (ObjectType != nullptr && ObjectType != *IoFileObjectType) {
    host::DereferenceFile(File);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  if (AccessMode == UserMode) {
    if (Attributes & OBJ_KERNEL_HANDLE) {
      host::DereferenceFile(File);
      return STATUS_INVALID_HANDLE;
    }
    if (host::MapGenericFileAccess(DesiredAccess) & ~Granted) {
      host::DereferenceFile(File);
      return STATUS_ACCESS_DENIED;
    }
  }
  if (HandleInformation != nullptr) {
    HandleInformation->GrantedAccess = Granted;
    HandleInformation->HandleAttributes = Attributes & OBJ_INHERIT;
  }
  *Object = &File->object;
  return STATUS_SUCCESS;
}

// Returns the remaining reference count, as NT does.
extern "C" LONG_PTR NTAPI ObfDereferenceObject(PVOID Object) {
  host::HostFile* File = host::HostFileFromObject(static_cast<PFILE_OBJECT>(Object));
  if (File == nullptr) {
    host::BugCheck("INVALID_OBJECT", "ObfDereferenceObject of %p, which is not a file object",
                   Object);
  }
  return host::DereferenceFileCounted(File);
}
