// File services: ZwCreateFile and ZwOpenFile. Parameter checks, name
// mapping, NT's create dispositions and their Information values, the access
// granted (MAXIMUM_ALLOWED included), directory and non-directory opens, and
// the truncation and initial allocation of new and overwritten files, with
// the results NTFS gives; and the file object flags of the create options.
#include "host/files/file_services_internal.h"
#include "host/files/open_parameters.h"

#include <unistd.h>

namespace host {

namespace {

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

struct CreateRequest {
  ACCESS_MASK desiredAccess;  // after generic mapping
  bool maximumAllowed;
  ULONG fileAttributes, shareAccess, disposition, options;
  int64_t allocationSize;
  bool kernelHandle;
  std::u16string ntName;
};

NTSTATUS MissingFileStatus(const std::string& path) {
  struct stat parent;
  if (stat(ParentOf(path).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode)) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// The access granted for MAXIMUM_ALLOWED, given what the host lets the
// process do with the file.
ACCESS_MASK MaximumAccess(const std::string& path, const struct stat& st) {
  ACCESS_MASK access = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | READ_CONTROL;
  bool writable = !ReadOnlyAttribute(st) && ::access(path.c_str(), W_OK) == 0;
  if (writable) access |= FILE_GENERIC_WRITE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD;
  if (::access(ParentOf(path).c_str(), W_OK | X_OK) == 0) access |= DELETE;
  return access;
}

NTSTATUS OpenExisting(const CreateRequest& request, const MappedName& name,
                      const struct stat& st, int* fdOut, ACCESS_MASK* granted,
                      ULONG_PTR* information) {
  const std::string& path = name.hostPath;
  ULONG disposition = request.disposition;
  bool directory = S_ISDIR(st.st_mode);

  NTSTATUS status = CheckNotDeletePending(st);
  if (!NT_SUCCESS(status)) return status;
  if (disposition == FILE_CREATE) {
    *information = FILE_EXISTS;
    return STATUS_OBJECT_NAME_COLLISION;
  }
  bool overwrite = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                   disposition == FILE_OVERWRITE_IF;
  if (directory) {
    if (request.options & FILE_NON_DIRECTORY_FILE) return STATUS_FILE_IS_A_DIRECTORY;
    if (overwrite) return STATUS_FILE_IS_A_DIRECTORY;
  } else {
    if (request.options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
    // "name\" may only name a directory.
    if (name.trailingSeparator) return STATUS_OBJECT_NAME_INVALID;
    // Pipes and sockets have no NTFS counterpart (and opening a FIFO would
    // block); devices and regular files are served.
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return STATUS_ACCESS_DENIED;
  }
  if (overwrite && DiskStopped()) return STATUS_IO_DEVICE_ERROR;

  ACCESS_MASK access = request.desiredAccess;
  if (request.maximumAllowed) {
    ACCESS_MASK maximum = MaximumAccess(path, st);
    if (access & ~maximum) return STATUS_ACCESS_DENIED;
    access |= maximum;
  }
  bool wantsWrite = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  // Overwriting needs write access to the data whether or not the caller
  // asked for it, as NTFS checks.
  if (ReadOnlyAttribute(st) && (wantsWrite || overwrite || (access & DELETE))) {
    return STATUS_ACCESS_DENIED;
  }
  if (access & DELETE) {
    if (::access(ParentOf(path).c_str(), W_OK | X_OK) != 0) {
      auto saved = errno;
      return StatusFromErrno(saved);
    }
  }

  int flags = O_CLOEXEC | O_NOCTTY;
  if (directory) {
    flags |= O_RDONLY | O_DIRECTORY;
    if (wantsWrite && ::access(path.c_str(), W_OK) != 0) {
      auto saved = errno;
      return StatusFromErrno(saved);
    }
  } else {
    flags |= (wantsWrite || overwrite) ? O_RDWR : O_RDONLY;
  }
  int fd = open(path.c_str(), flags);
  if (fd < 0) {
    auto saved = errno;
    if (saved == ENOENT) return MissingFileStatus(path);
    return StatusFromErrno(saved);
  }
  *fdOut = fd;
  *granted = access;
  *information = disposition == FILE_SUPERSEDE   ? FILE_SUPERSEDED
                 : overwrite                      ? FILE_OVERWRITTEN
                                                  : FILE_OPENED;
  return STATUS_SUCCESS;
}

NTSTATUS CreateNew(const CreateRequest& request, const MappedName& name, int* fdOut,
                   ACCESS_MASK* granted, ULONG_PTR* information) {
  const std::string& path = name.hostPath;
  if (name.trailingSeparator && !(request.options & FILE_DIRECTORY_FILE)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  if (DiskStopped()) return STATUS_IO_DEVICE_ERROR;
  ACCESS_MASK access = request.desiredAccess;
  // The creator of a file may do anything with it.
  if (request.maximumAllowed) access |= FILE_ALL_ACCESS;
  int fd;
  if (request.options & FILE_DIRECTORY_FILE) {
    if (mkdir(path.c_str(), 0777) != 0) {
      auto saved = errno;
      if (saved == ENOENT) return MissingFileStatus(path);
      return StatusFromErrno(saved);
    }
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } else {
    bool wantsWrite = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    mode_t mode = (request.fileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    fd = open(path.c_str(), O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | (wantsWrite ? O_RDWR : O_RDONLY),
              mode);
  }
  if (fd < 0) {
    auto saved = errno;
    if (saved == ENOENT) return MissingFileStatus(path);
    return StatusFromErrno(saved);
  }
  *fdOut = fd;
  *granted = access;
  *information = FILE_CREATED;
  return STATUS_SUCCESS;
}

NTSTATUS ValidateCreateParameters(ACCESS_MASK desiredAccess, ULONG shareAccess,
                                  ULONG disposition, ULONG options) {
  if (disposition > FILE_MAXIMUM_DISPOSITION) return STATUS_INVALID_PARAMETER;
  if (options & ~FILE_VALID_OPTION_FLAGS) return STATUS_INVALID_PARAMETER;
  if (shareAccess & ~FILE_SHARE_VALID_FLAGS) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((options & FILE_SYNCHRONOUS_IO_ALERT) && (options & FILE_SYNCHRONOUS_IO_NONALERT)) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE &&
      disposition != FILE_OPEN && disposition != FILE_OPEN_IF) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((options & FILE_DELETE_ON_CLOSE) && !(desiredAccess & DELETE)) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// What a create does to the file once share access allowed the open: an
// overwritten or superseded file is truncated, and NTFS reserves the initial
// allocation of a new or overwritten file without changing its end of file.
NTSTATUS ApplyCreateEffects(int fd, const struct stat& st, ULONG_PTR information,
                            PLARGE_INTEGER AllocationSize) {
  bool overwritten = information == FILE_OVERWRITTEN || information == FILE_SUPERSEDED;
  if (overwritten && ftruncate(fd, 0) != 0) {
    auto saved = errno;
    return StatusFromErrno(saved);
  }
  if (AllocationSize == nullptr || S_ISDIR(st.st_mode) || information == FILE_OPENED) {
    return STATUS_SUCCESS;
  }
  return ReserveAllocation(fd, AllocationSize->QuadPart);
}

NTSTATUS CreateWorker(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER AllocationSize,
                      ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                      ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength, CreateRecord* record,
                      ULONG_PTR* information) {
  ACCESS_MASK mapped = MapGenericFileAccess(DesiredAccess);
  NTSTATUS status = ValidateCreateParameters(mapped, ShareAccess, CreateDisposition, CreateOptions);
  if (!NT_SUCCESS(status)) return status;
  // Opening by file ID and extended attributes are NTFS features the host
  // file system does not offer.
  if (CreateOptions & FILE_OPEN_BY_FILE_ID) return STATUS_NOT_IMPLEMENTED;
  if (EaBuffer != nullptr && EaLength != 0) return STATUS_NOT_SUPPORTED;

  PUNICODE_STRING Name = ObjectAttributes->ObjectName;
  if (Name == nullptr || (Name->Length % sizeof(WCHAR)) != 0 ||
      (Name->Length != 0 && Name->Buffer == nullptr)) {
    return STATUS_OBJECT_NAME_INVALID;
  }
  bool caseInsensitive = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;

  MappedName mappedName;
  if (ObjectAttributes->RootDirectory != nullptr) {
    FileReference root;
    status = root.Take(ObjectAttributes->RootDirectory);
    if (!NT_SUCCESS(status)) return status;
    if (!root->directory) return STATUS_INVALID_PARAMETER;
    status = MapRelativeName(root->hostPath, root->fileName, record->ntName, caseInsensitive,
                             &mappedName);
  } else if (NameLeadsToDevice(record->ntName)) {
    OpenParameters parameters;
    parameters.desiredAccess = DesiredAccess;
    parameters.shareAccess = ShareAccess;
    parameters.disposition = CreateDisposition;
    parameters.options = CreateOptions;
    parameters.fileAttributes = FileAttributes;
    parameters.allocationSize = AllocationSize != nullptr ? AllocationSize->QuadPart : 0;
    return CreateOnDevice(record->ntName, parameters,
                          (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0, FileHandle,
                          information);
  } else {
    status = MapNtName(record->ntName, caseInsensitive, &mappedName);
  }
  if (!NT_SUCCESS(status)) return status;
  record->hostPath = mappedName.hostPath;

  CreateRequest request;
  request.maximumAllowed = (mapped & MAXIMUM_ALLOWED) != 0;
  request.desiredAccess = mapped & ~MAXIMUM_ALLOWED;
  request.fileAttributes = FileAttributes;
  request.shareAccess = ShareAccess;
  request.disposition = CreateDisposition;
  request.options = CreateOptions;
  request.kernelHandle = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;

  int fd = -1;
  ACCESS_MASK granted = 0;
  // A create can race with another one making the same name; it is then
  // opened as existing, once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat st;
    if (stat(mappedName.hostPath.c_str(), &st) == 0) {
      status = OpenExisting(request, mappedName, st, &fd, &granted, information);
      break;
    }
    auto saved = errno;
    if (saved == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (saved != ENOENT) return StatusFromErrno(saved);
    status = MissingFileStatus(mappedName.hostPath);
    if (status == STATUS_OBJECT_PATH_NOT_FOUND) return status;
    if (CreateDisposition == FILE_OPEN || CreateDisposition == FILE_OVERWRITE) {
      *information = FILE_DOES_NOT_EXIST;
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    status = CreateNew(request, mappedName, &fd, &granted, information);
    if (status != STATUS_OBJECT_NAME_COLLISION || CreateDisposition == FILE_CREATE) break;
  }
  if (!NT_SUCCESS(status)) return status;

  struct stat st;
  status = StatFile(fd, &st);
  if (!NT_SUCCESS(status)) {
    close(fd);
    return status;
  }
  HANDLE handle;
  status = InsertOpenedFile(fd, st, mappedName, record->ntName, granted, ShareAccess,
                            CreateOptions, FileObjectFlags(CreateOptions), request.kernelHandle,
                            &handle);
  if (!NT_SUCCESS(status)) return status;
  status = ApplyCreateEffects(fd, st, *information, AllocationSize);
  if (!NT_SUCCESS(status)) {
    ZwClose(handle);
    return status;
  }
  *FileHandle = handle;
  return STATUS_SUCCESS;
}

}  // namespace

ULONG FileObjectFlags(ULONG options) {
  ULONG flags = 0;
  if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) {
    flags |= FO_SYNCHRONOUS_IO;
  }
  if (options & FILE_SYNCHRONOUS_IO_ALERT) flags |= FO_ALERTABLE_IO;
  if (options & FILE_NO_INTERMEDIATE_BUFFERING) flags |= FO_NO_INTERMEDIATE_BUFFERING;
  if (options & FILE_WRITE_THROUGH) flags |= FO_WRITE_THROUGH;
  if (options & FILE_SEQUENTIAL_ONLY) flags |= FO_SEQUENTIAL_ONLY;
  if (options & FILE_RANDOM_ACCESS) flags |= FO_RANDOM_ACCESS;
  if (options & FILE_DELETE_ON_CLOSE) flags |= FO_DELETE_ON_CLOSE;
  return flags;
}

}  // namespace host

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock,
                                       PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                       ULONG ShareAccess, ULONG CreateDisposition,
                                       ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateFile");
  host::ZwCallMode Mode;
  if (FileHandle == nullptr || ObjectAttributes == nullptr || IoStatusBlock == nullptr) {
    return STATUS_ACCESS_VIOLATION;
  }
  host::CreateRecord Record{};
  if (ObjectAttributes->ObjectName != nullptr && ObjectAttributes->ObjectName->Buffer != nullptr) {
    Record.ntName.assign(ObjectAttributes->ObjectName->Buffer,
                         ObjectAttributes->ObjectName->Length / sizeof(WCHAR));
  }
  Record.desiredAccess = DesiredAccess;
  Record.fileAttributes = FileAttributes;
  Record.shareAccess = ShareAccess;
  Record.disposition = CreateDisposition;
  Record.options = CreateOptions;
  Record.objectAttributes = ObjectAttributes->Attributes;
  ULONG_PTR Information = 0;
  NTSTATUS Status = host::CreateWorker(FileHandle, DesiredAccess, ObjectAttributes,
                                       AllocationSize, FileAttributes, ShareAccess,
                                       CreateDisposition, CreateOptions, EaBuffer, EaLength,
                                       &Record, &Information);
  Record.status = Status;
  host::FileCreated(Record);
  IoStatusBlock->Status = Status;
  IoStatusBlock->Information = Information;
  return Status;
}

extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                                     ULONG OpenOptions) {
  return host::OpenByCreate(ZwCreateFile, FileHandle, DesiredAccess, ObjectAttributes,
                            IoStatusBlock, ShareAccess, OpenOptions);
}
