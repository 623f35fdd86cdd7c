// Shared internals of the host file services, which keep a file per request
// kind: file_create.cpp (ZwCreateFile, ZwOpenFile), file_read_write.cpp
// (ZwReadFile, ZwWriteFile), file_information.cpp (ZwQueryInformationFile,
// ZwSetInformationFile), file_control.cpp (ZwFsControlFile),
// volume_information.cpp (ZwQueryVolumeInformationFile, with the file system
// names of file_system_kinds.cpp) and nt_services.cpp (the Nt entry
// points). Here: the handle reference a request holds, the completion of
// its status block, the file object flags of create options, the
// information classes and the host-file helpers more than one of them uses.
// The I/O manager uses some of them too.
//
// Access checks: NT's I/O manager checks a handle's granted access for
// user-mode requestors. The host kernel checks it for every requestor,
// kernel mode included, so that a driver reading, writing, resizing or
// deleting through a handle opened without the right fails here instead of
// depending on a check Windows may skip for kernel callers. The Zw entry
// points run with previous mode KernelMode; the Nt ones (nt_services.cpp)
// check a user-mode caller's handles and buffers first.
//
// Requests complete before their call returns, never STATUS_PENDING, whatever
// the file object: the status block is final at return. The event of a read,
// write or control request is checked, cleared at its start and set when it
// completes, so a caller that waits on it when told the request is pending
// works as on NT; APC routines are ignored. Synchronous file objects
// serialise their reads and writes, as NT's file object lock does; other
// file objects run them in parallel.
#pragma once

#include "host/executive/test_hooks.h"
#include "host/files/file_services.h"
#include "host/objects/object_internal.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace host {

// The FO_ flags of a file object opened with these create options.
ULONG FileObjectFlags(ULONG options);

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

// ZwOpenFile and NtOpenFile: a create of an existing file through `create`
// (ZwCreateFile or NtCreateFile), with no allocation, attributes or extended
// attributes.
inline NTSTATUS OpenByCreate(decltype(&ZwCreateFile) create, PHANDLE FileHandle,
                             ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                             PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                             ULONG OpenOptions) {
  return create(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

// The file system a host file lies on, as a volume query reports it.
struct FileSystemDescription {
  std::u16string name;
  ULONG attributes = 0;                 // FILE_* volume attributes
  LONG maximumComponentNameLength = 0;  // in characters
};

// Describes the file system of the file behind fd, at hostPath
// (file_system_kinds.cpp).
NTSTATUS DescribeFileSystem(int fd, const std::string& hostPath,
                            FileSystemDescription* description);

// Releases a reference taken by ReferenceHandle when it goes out of scope.
class FileReference {
 public:
  FileReference() = default;
  ~FileReference() {
    if (file_ != nullptr) DereferenceFile(file_);
  }
  FileReference(const FileReference&) = delete;
  FileReference& operator=(const FileReference&) = delete;
  NTSTATUS Take(HANDLE handle) { return ReferenceHandle(handle, &file_, &granted_, nullptr); }
  HostFile* operator->() const { return file_; }
  HostFile* get() const { return file_; }
  ACCESS_MASK granted() const { return granted_; }

 private:
  HostFile* file_ = nullptr;
  ACCESS_MASK granted_ = 0;
};

// The event given to a read, write or control request, from the request's
// start to its completion: cleared when taken and set when the request is
// done (the object going out of scope).
class RequestEvent {
 public:
  RequestEvent() = default;
  ~RequestEvent() {
    if (event_ != nullptr) KeSetEvent(event_.get(), 0, FALSE);
  }
  RequestEvent(const RequestEvent&) = delete;
  RequestEvent& operator=(const RequestEvent&) = delete;
  // No event (NULL) is no error.
  NTSTATUS Take(HANDLE handle) {
    if (handle == nullptr) return STATUS_SUCCESS;
    NTSTATUS status = ReferenceEventHandle(handle, &event_);
    if (NT_SUCCESS(status)) KeClearEvent(event_.get());
    return status;
  }

 private:
  std::shared_ptr<KEVENT> event_;
};

// Completes a request into its status block (Information only on success).
// A warning (STATUS_BUFFER_OVERFLOW) still reports what was filled in; an
// error reports nothing.
inline NTSTATUS Finish(PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS status, ULONG_PTR information) {
  const bool error = (ULONG(status) >> 30) == 3;
  if (IoStatusBlock != nullptr) {
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = error ? 0 : information;
  }
  return status;
}

// fstat, failing with the status the NT file system would give.
inline NTSTATUS StatFile(int fd, struct stat* st) {
  if (fstat(fd, st) == 0) return STATUS_SUCCESS;
  auto saved = errno;
  return StatusFromErrno(saved);
}

// NTFS's read-only attribute is the absence of every write permission bit.
inline bool ReadOnlyAttribute(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

// Reserves the first `size` bytes of allocation without moving the end of
// file, as NTFS's allocation size does; a host file system that cannot
// reserve space is not an error.
inline NTSTATUS ReserveAllocation(int fd, int64_t size) {
  if (size <= 0 || fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return STATUS_SUCCESS;
  auto saved = errno;
  return saved == EOPNOTSUPP ? STATUS_SUCCESS : StatusFromErrno(saved);
}

}  // namespace host
