// File services: ZwCreateFile/ZwOpenFile, reads and writes, query and set
// information, FSCTL_SET_ZERO_DATA, with the results and effects NTFS gives.
//
// Access checks: NT's I/O manager checks a handle's granted access for
// user-mode requestors. The host kernel checks it for every requestor,
// kernel mode included, so that a driver reading, writing, resizing or
// deleting through a handle opened without the right fails here instead of
// depending on a check Windows may skip for kernel callers. The Zw entry
// points here run with previous mode KernelMode; the Nt ones (nt_services.cpp)
// check a user-mode caller's handles and buffers first.
//
// Requests are synchronous: Event and ApcRoutine arguments are ignored and
// the status block is final when the call returns.
#include "host/host_internal.h"
#include "host/io_client.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace host {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsNtTime = 116444736000000000LL;

int64_t NtTime(int64_t seconds, int64_t nanoseconds) {
  return seconds * 10000000LL + nanoseconds / 100 + kUnixEpochAsNtTime;
}

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

NTSTATUS Finish(PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS status, ULONG_PTR information) {
  if (IoStatusBlock != nullptr) {
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = NT_SUCCESS(status) ? information : 0;
  }
  return status;
}

// The checks a query or set of an information class begins with, in NT's
// order: the class, the buffer's length, the handle, then the handle's access.
NTSTATUS TakeForInformation(HANDLE handle, FILE_INFORMATION_CLASS infoClass, ULONG length,
                            ULONG needed, ACCESS_MASK required, FileReference* file,
                            PIO_STATUS_BLOCK IoStatusBlock) {
  if (infoClass <= 0 || infoClass >= FileMaximumInformation || needed == 0) {
    return STATUS_INVALID_INFO_CLASS;
  }
  if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  NTSTATUS status = file->Take(handle);
  if (!NT_SUCCESS(status)) return status;
  if ((file->granted() & required) != required) {
    return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  }
  return STATUS_SUCCESS;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// NTFS's read-only attribute is the absence of every write permission bit.
bool ReadOnlyAttribute(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
}

ULONG FileAttributesOf(const struct stat& st) {
  ULONG attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (ReadOnlyAttribute(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

struct FileTimes {
  int64_t creation, access, write, change;
};

NTSTATUS TimesOf(int fd, const struct stat& st, FileTimes* times) {
  times->access = NtTime(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  times->write = NtTime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  times->change = NtTime(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  // The birth time where the host file system keeps one, else the oldest
  // time known.
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    times->creation = NtTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
  } else {
    times->creation = std::min(times->write, times->change);
  }
  return STATUS_SUCCESS;
}

// --- Create -----------------------------------------------------------------

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
  if (overwrite && Crashed()) return STATUS_IO_DEVICE_ERROR;

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
  if (Crashed()) return STATUS_IO_DEVICE_ERROR;
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
  if (fstat(fd, &st) != 0) {
    auto saved = errno;
    close(fd);
    return StatusFromErrno(saved);
  }
  HANDLE handle;
  status = InsertOpenedFile(fd, st, mappedName, record->ntName, granted, ShareAccess,
                            CreateOptions, request.kernelHandle, &handle);
  if (!NT_SUCCESS(status)) return status;

  // The file is truncated only once share access allowed the open.
  if (*information == FILE_OVERWRITTEN || *information == FILE_SUPERSEDED) {
    if (ftruncate(fd, 0) != 0) {
      auto saved = errno;
      ZwClose(handle);
      return StatusFromErrno(saved);
    }
  }
  // NTFS reserves the initial allocation of a new or overwritten file
  // without changing its end of file.
  if (AllocationSize != nullptr && AllocationSize->QuadPart > 0 && !S_ISDIR(st.st_mode) &&
      *information != FILE_OPENED) {
    if (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, AllocationSize->QuadPart) != 0) {
      auto saved = errno;
      if (saved != EOPNOTSUPP) {
        ZwClose(handle);
        return StatusFromErrno(saved);
      }
    }
  }
  *FileHandle = handle;
  return STATUS_SUCCESS;
}

// --- Read and write -----------------------------------------------------------

NTSTATUS Transfer(bool write, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                  ULONG Length, PLARGE_INTEGER ByteOffset) {
  RequireIrqlAtMost(PASSIVE_LEVEL, write ? "ZwWriteFile" : "ZwReadFile");
  FileReference file;
  NTSTATUS status = file.Take(FileHandle);
  if (!NT_SUCCESS(status)) return status;
  if (file->directory) return Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
  ACCESS_MASK granted = file.granted();
  if (write ? !(granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) : !(granted & FILE_READ_DATA)) {
    return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  }
  PFILE_OBJECT object = &file->object;
  bool synchronous = (object->Flags & FO_SYNCHRONOUS_IO) != 0;
  bool usePosition = ByteOffset == nullptr ||
                     (ByteOffset->HighPart == -1 &&
                      ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION);
  if (usePosition && !synchronous) return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  // A handle that may only append writes at the end of file whatever the
  // offset given.
  bool toEnd = write && (((granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == FILE_APPEND_DATA) ||
                         (ByteOffset != nullptr && ByteOffset->HighPart == -1 &&
                          ByteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE));
  if (!usePosition && !toEnd && ByteOffset->QuadPart < 0) {
    return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }

  FileCallGate gate = EnterFileCall(write ? FileCall::Write : FileCall::Read, file->hostPath, Length);
  if (!NT_SUCCESS(gate.status)) return Finish(IoStatusBlock, gate.status, 0);
  ULONG allowed = (ULONG)std::min<uint64_t>(Length, gate.allowedBytes);

  std::unique_lock<std::mutex> serialised(file->ioLock, std::defer_lock);
  if (synchronous) serialised.lock();
  int64_t offset;
  if (toEnd) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
      auto saved = errno;
      return Finish(IoStatusBlock, StatusFromErrno(saved), 0);
    }
    offset = st.st_size;
  } else {
    offset = usePosition ? object->CurrentByteOffset.QuadPart : ByteOffset->QuadPart;
  }
  if (offset > std::numeric_limits<int64_t>::max() - (int64_t)Length) {
    return Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }

  // A zero-length request succeeds without touching the file, even at or
  // past the end.
  if (Length == 0) return Finish(IoStatusBlock, STATUS_SUCCESS, 0);

  uint8_t* bytes = static_cast<uint8_t*>(Buffer);
  ULONG done = 0;
  while (done < allowed) {
    ssize_t moved = write ? pwrite(file->fd, bytes + done, allowed - done, offset + done)
                          : pread(file->fd, bytes + done, allowed - done, offset + done);
    if (moved < 0) {
      auto saved = errno;
      if (saved == EINTR) continue;
      return Finish(IoStatusBlock, StatusFromErrno(saved), 0);
    }
    if (moved == 0) break;  // end of file (reads only)
    done += (ULONG)moved;
  }
  if (!write && done == 0 && allowed != 0) return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
  if (!write && done == 0) {
    // A shortened read of nothing still reports the end of file where NTFS
    // would.
    struct stat st;
    if (fstat(file->fd, &st) == 0 && offset >= st.st_size) {
      return Finish(IoStatusBlock, STATUS_END_OF_FILE, 0);
    }
  }
  if (synchronous) object->CurrentByteOffset.QuadPart = offset + done;
  return Finish(IoStatusBlock, STATUS_SUCCESS, done);
}

// --- Query and set information -------------------------------------------------

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

ULONG ModeOf(ULONG options) {
  return options & (FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_NO_INTERMEDIATE_BUFFERING |
                    FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT |
                    FILE_DELETE_ON_CLOSE);
}

NTSTATUS SetEndOfFile(HostFile* file, int64_t end) {
  if (end < 0 || file->directory) return STATUS_INVALID_PARAMETER;
  if (ftruncate(file->fd, end) != 0) {
    auto saved = errno;
    return StatusFromErrno(saved);
  }
  return STATUS_SUCCESS;
}

// An allocation below the end of file cuts the file there; a larger one
// reserves space without moving the end of file.
NTSTATUS SetAllocation(HostFile* file, int64_t allocation) {
  if (allocation < 0 || file->directory) return STATUS_INVALID_PARAMETER;
  struct stat st;
  if (fstat(file->fd, &st) != 0) {
    auto saved = errno;
    return StatusFromErrno(saved);
  }
  if (allocation < st.st_size) return SetEndOfFile(file, allocation);
  if (allocation > 0 && fallocate(file->fd, FALLOC_FL_KEEP_SIZE, 0, allocation) != 0) {
    auto saved = errno;
    if (saved != EOPNOTSUPP) return StatusFromErrno(saved);
  }
  return STATUS_SUCCESS;
}

int64_t TimeToSeconds(int64_t ntTime, long* nanoseconds) {
  int64_t sinceUnix = ntTime - kUnixEpochAsNtTime;
  int64_t seconds = sinceUnix / 10000000LL;
  int64_t rest = sinceUnix % 10000000LL;
  if (rest < 0) {
    rest += 10000000LL;
    --seconds;
  }
  *nanoseconds = (long)(rest * 100);
  return seconds;
}

// Times of 0 are left unchanged (as are -1 and -2, which on NT only change
// whether later I/O updates them). Creation and change times cannot be set
// on the host. Attributes: READONLY clears every write permission bit, its
// absence restores the owner's; 0 leaves them alone.
NTSTATUS SetBasic(HostFile* file, const FILE_BASIC_INFORMATION& info) {
  if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY && !file->directory) {
    return STATUS_INVALID_PARAMETER;
  }
  struct timespec times[2];
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_nsec = UTIME_OMIT;
  if (info.LastAccessTime.QuadPart > 0) {
    times[0].tv_sec = TimeToSeconds(info.LastAccessTime.QuadPart, &times[0].tv_nsec);
  }
  if (info.LastWriteTime.QuadPart > 0) {
    times[1].tv_sec = TimeToSeconds(info.LastWriteTime.QuadPart, &times[1].tv_nsec);
  }
  if ((times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) &&
      futimens(file->fd, times) != 0) {
    auto saved = errno;
    return StatusFromErrno(saved);
  }
  if (info.FileAttributes != 0 && !file->directory) {
    struct stat st;
    if (fstat(file->fd, &st) != 0) {
      auto saved = errno;
      return StatusFromErrno(saved);
    }
    mode_t mode = st.st_mode & 07777;
    mode = (info.FileAttributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~0222) : (mode | 0200);
    if (fchmod(file->fd, mode) != 0) {
      auto saved = errno;
      return StatusFromErrno(saved);
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace

}  // namespace host

using host::FileReference;

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
  host::RecordCreate(Record);
  IoStatusBlock->Status = Status;
  IoStatusBlock->Information = Information;
  return Status;
}

extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess,
                                     ULONG OpenOptions) {
  return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                      ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                     PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                                     PULONG Key) {
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  host::ZwCallMode Mode;
  return host::Transfer(false, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

extern "C" NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event,
                                      PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key) {
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(Key);
  host::ZwCallMode Mode;
  return host::Transfer(true, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

// Classes outside the enumeration are STATUS_INVALID_INFO_CLASS, as are those
// not queryable through this call; a buffer shorter than the class's fixed
// size is STATUS_INFO_LENGTH_MISMATCH. Queryable classes NTFS answers but the
// host does not (names, streams, compression...) give STATUS_NOT_IMPLEMENTED.
extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle,
                                                 PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryInformationFile");
  host::ZwCallMode Mode;
  ULONG Needed = host::QueryLength(FileInformationClass);
  FileReference File;
  NTSTATUS Status = host::TakeForInformation(FileHandle, FileInformationClass, Length, Needed,
                                             host::QueryAccess(FileInformationClass), &File,
                                             IoStatusBlock);
  if (!NT_SUCCESS(Status)) return Status;

  struct stat St;
  if (fstat(File->fd, &St) != 0) {
    auto Saved = errno;
    return host::Finish(IoStatusBlock, host::StatusFromErrno(Saved), 0);
  }
  bool Directory = S_ISDIR(St.st_mode);
  int64_t EndOfFile = Directory ? 0 : St.st_size;
  int64_t Allocation = Directory ? 0 : (int64_t)St.st_blocks * 512;
  host::FileTimes Times;
  host::TimesOf(File->fd, St, &Times);

  memset(FileInformation, 0, Needed);
  switch (FileInformationClass) {
    case FileBasicInformation: {
      auto* Info = static_cast<PFILE_BASIC_INFORMATION>(FileInformation);
      Info->CreationTime.QuadPart = Times.creation;
      Info->LastAccessTime.QuadPart = Times.access;
      Info->LastWriteTime.QuadPart = Times.write;
      Info->ChangeTime.QuadPart = Times.change;
      Info->FileAttributes = host::FileAttributesOf(St);
      break;
    }
    case FileStandardInformation: {
      auto* Info = static_cast<PFILE_STANDARD_INFORMATION>(FileInformation);
      Info->AllocationSize.QuadPart = Allocation;
      Info->EndOfFile.QuadPart = EndOfFile;
      Info->NumberOfLinks = (ULONG)St.st_nlink;
      Info->DeletePending = host::DeletePending(File.get());
      Info->Directory = Directory;
      break;
    }
    case FileInternalInformation:
      static_cast<PFILE_INTERNAL_INFORMATION>(FileInformation)->IndexNumber.QuadPart =
          (LONGLONG)St.st_ino;
      break;
    case FileEaInformation:
      static_cast<PFILE_EA_INFORMATION>(FileInformation)->EaSize = 0;
      break;
    case FileAccessInformation:
      *static_cast<PULONG>(FileInformation) = File.granted();
      break;
    case FileModeInformation:
      *static_cast<PULONG>(FileInformation) = host::ModeOf(File->options);
      break;
    case FileAlignmentInformation:
      // FILE_BYTE_ALIGNMENT.
      static_cast<PFILE_ALIGNMENT_INFORMATION>(FileInformation)->AlignmentRequirement = 0;
      break;
    case FilePositionInformation: {
      std::lock_guard<std::mutex> Serialised(File->ioLock);
      static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset =
          File->object.CurrentByteOffset;
      break;
    }
    case FileNetworkOpenInformation: {
      auto* Info = static_cast<PFILE_NETWORK_OPEN_INFORMATION>(FileInformation);
      Info->CreationTime.QuadPart = Times.creation;
      Info->LastAccessTime.QuadPart = Times.access;
      Info->LastWriteTime.QuadPart = Times.write;
      Info->ChangeTime.QuadPart = Times.change;
      Info->AllocationSize.QuadPart = Allocation;
      Info->EndOfFile.QuadPart = EndOfFile;
      Info->FileAttributes = host::FileAttributesOf(St);
      break;
    }
    default:
      return host::Finish(IoStatusBlock, STATUS_NOT_IMPLEMENTED, 0);
  }
  return host::Finish(IoStatusBlock, STATUS_SUCCESS, Needed);
}

extern "C" NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetInformationFile");
  host::ZwCallMode Mode;
  ULONG Needed = host::SetLength(FileInformationClass);
  FileReference File;
  NTSTATUS Status = host::TakeForInformation(FileHandle, FileInformationClass, Length, Needed,
                                             host::SetAccess(FileInformationClass), &File,
                                             IoStatusBlock);
  if (!NT_SUCCESS(Status)) return Status;

  host::FileCallGate Gate =
      host::EnterFileCall(host::FileCall::SetInformation, File->hostPath, 0);
  if (!NT_SUCCESS(Gate.status)) return host::Finish(IoStatusBlock, Gate.status, 0);

  switch (FileInformationClass) {
    case FileEndOfFileInformation:
      Status = host::SetEndOfFile(
          File.get(), static_cast<PFILE_END_OF_FILE_INFORMATION>(FileInformation)->EndOfFile.QuadPart);
      break;
    case FileAllocationInformation:
      Status = host::SetAllocation(
          File.get(),
          static_cast<PFILE_ALLOCATION_INFORMATION>(FileInformation)->AllocationSize.QuadPart);
      break;
    case FileDispositionInformation:
      Status = host::SetDeletePending(
          File.get(), static_cast<PFILE_DISPOSITION_INFORMATION>(FileInformation)->DeleteFile != 0);
      break;
    case FilePositionInformation: {
      LARGE_INTEGER Position =
          static_cast<PFILE_POSITION_INFORMATION>(FileInformation)->CurrentByteOffset;
      // Unbuffered file objects may only be positioned on sector boundaries.
      if (Position.QuadPart < 0 ||
          ((File->object.Flags & FO_NO_INTERMEDIATE_BUFFERING) && Position.QuadPart % 512 != 0)) {
        Status = STATUS_INVALID_PARAMETER;
        break;
      }
      std::lock_guard<std::mutex> Serialised(File->ioLock);
      File->object.CurrentByteOffset = Position;
      Status = STATUS_SUCCESS;
      break;
    }
    case FileBasicInformation:
      Status = host::SetBasic(File.get(), *static_cast<PFILE_BASIC_INFORMATION>(FileInformation));
      break;
    default:
      Status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  return host::Finish(IoStatusBlock, Status, 0);
}

// FSCTL_SET_ZERO_DATA makes [FileOffset, BeyondFinalZero) read as zeros,
// deallocating where the host file system can punch holes and writing zeros
// elsewhere. The range is clipped to the end of file, which never moves. Its
// input must be exactly one FILE_ZERO_DATA_INFORMATION.
extern "C" NTSTATUS NTAPI ZwFsControlFile(HANDLE FileHandle, HANDLE Event,
                                          PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                          PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                          PVOID InputBuffer, ULONG InputBufferLength,
                                          PVOID OutputBuffer, ULONG OutputBufferLength) {
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(ApcRoutine);
  UNREFERENCED_PARAMETER(ApcContext);
  UNREFERENCED_PARAMETER(OutputBuffer);
  UNREFERENCED_PARAMETER(OutputBufferLength);
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwFsControlFile");
  host::ZwCallMode Mode;
  FileReference File;
  NTSTATUS Status = File.Take(FileHandle);
  if (!NT_SUCCESS(Status)) return Status;
  if (FsControlCode != FSCTL_SET_ZERO_DATA) {
    return host::Finish(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (!(File.granted() & FILE_WRITE_DATA)) {
    return host::Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  }
  if (InputBuffer == nullptr || InputBufferLength != sizeof(FILE_ZERO_DATA_INFORMATION) ||
      File->directory) {
    return host::Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
  }
  FILE_ZERO_DATA_INFORMATION Range;
  memcpy(&Range, InputBuffer, sizeof(Range));
  int64_t First = Range.FileOffset.QuadPart;
  int64_t Beyond = Range.BeyondFinalZero.QuadPart;
  if (First < 0 || Beyond < First) return host::Finish(IoStatusBlock, STATUS_INVALID_PARAMETER, 0);

  host::FileCallGate Gate = host::EnterFileCall(host::FileCall::Control, File->hostPath, 0);
  if (!NT_SUCCESS(Gate.status)) return host::Finish(IoStatusBlock, Gate.status, 0);

  struct stat St;
  if (fstat(File->fd, &St) != 0) {
    auto Saved = errno;
    return host::Finish(IoStatusBlock, host::StatusFromErrno(Saved), 0);
  }
  Beyond = std::min<int64_t>(Beyond, St.st_size);
  if (First >= Beyond) return host::Finish(IoStatusBlock, STATUS_SUCCESS, 0);
  if (fallocate(File->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, First, Beyond - First) == 0) {
    return host::Finish(IoStatusBlock, STATUS_SUCCESS, 0);
  }
  auto Saved = errno;
  if (Saved != EOPNOTSUPP) return host::Finish(IoStatusBlock, host::StatusFromErrno(Saved), 0);

  static const uint8_t kZeros[64 * 1024] = {};
  for (int64_t Offset = First; Offset < Beyond;) {
    size_t Chunk = (size_t)std::min<int64_t>(sizeof(kZeros), Beyond - Offset);
    ssize_t Written = pwrite(File->fd, kZeros, Chunk, Offset);
    if (Written < 0) {
      auto WriteError = errno;
      if (WriteError == EINTR) continue;
      return host::Finish(IoStatusBlock, host::StatusFromErrno(WriteError), 0);
    }
    Offset += Written;
  }
  return host::Finish(IoStatusBlock, STATUS_SUCCESS, 0);
}
