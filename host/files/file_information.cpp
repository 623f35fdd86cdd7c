// File services: ZwQueryInformationFile and ZwSetInformationFile. The
// information classes each call accepts with their sizes and the access they
// need, the answers (standard, basic, internal, EA, access, mode, alignment,
// position, network open) and the effects of a set (end of file, allocation,
// delete disposition, position, times and the read-only attribute) as NTFS
// gives them.
#include "host/files/file_services_internal.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace host {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsNtTime = 116444736000000000LL;

int64_t NtTime(int64_t seconds, int64_t nanoseconds) {
  return seconds * 10000000LL + nanoseconds / 100 + kUnixEpochAsNtTime;
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

ULONG FileAttributesOf(const struct stat& st) {
  ULONG attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (ReadOnlyAttribute(st)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

struct FileTimes {
  int64_t creation, access, write, change;
};

void TimesOf(int fd, const struct stat& st, FileTimes* times) {
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
}

// The times and attributes a basic and a network-open answer both begin with.
template <typename Information>
void PutTimesAndAttributes(Information* info, const FileTimes& times, const struct stat& st) {
  info->CreationTime.QuadPart = times.creation;
  info->LastAccessTime.QuadPart = times.access;
  info->LastWriteTime.QuadPart = times.write;
  info->ChangeTime.QuadPart = times.change;
  info->FileAttributes = FileAttributesOf(st);
}

enum class InformationCall { Query, Set };

// A query or set of an information class, in the Zw call's mode. Begin makes
// the checks it starts with, in NT's order: the caller's IRQL, the class, the
// buffer's length, the handle, then the handle's access; `needed` is then
// the class's fixed size.
struct InformationRequest {
  ZwCallMode mode;
  FileReference file;
  ULONG needed = 0;

  NTSTATUS Begin(InformationCall call, HANDLE handle, FILE_INFORMATION_CLASS infoClass,
                 ULONG length, PIO_STATUS_BLOCK IoStatusBlock);
};

NTSTATUS InformationRequest::Begin(InformationCall call, HANDLE handle,
                                   FILE_INFORMATION_CLASS infoClass, ULONG length,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  bool query = call == InformationCall::Query;
  RequireIrqlAtMost(PASSIVE_LEVEL, query ? "ZwQueryInformationFile" : "ZwSetInformationFile");
  const InformationClassRule* rule = FindInformationClass(infoClass);
  needed = rule == nullptr ? 0 : query ? rule->queryLength : rule->setLength;
  if (needed == 0) return STATUS_INVALID_INFO_CLASS;
  if (length < needed) return STATUS_INFO_LENGTH_MISMATCH;
  NTSTATUS status = file.Take(handle);
  if (!NT_SUCCESS(status)) return status;
  ACCESS_MASK required = query ? rule->queryAccess : rule->setAccess;
  if ((file.granted() & required) != required) {
    return Finish(IoStatusBlock, STATUS_ACCESS_DENIED, 0);
  }
  return STATUS_SUCCESS;
}

ULONG ModeOf(ULONG options) {
  return options & (FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_NO_INTERMEDIATE_BUFFERING |
                    FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT |
                    FILE_DELETE_ON_CLOSE);
}

NTSTATUS SetEndOfFile(HostFile* file, int64_t end) {
  if (end < 0 || file->directory) return STATUS_INVALID_PARAMETER;
  FileChange change(file->fd, end, 0, true);
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
  NTSTATUS status = StatFile(file->fd, &st);
  if (!NT_SUCCESS(status)) return status;
  if (allocation < st.st_size) return SetEndOfFile(file, allocation);
  return ReserveAllocation(file->fd, allocation);
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
    NTSTATUS status = StatFile(file->fd, &st);
    if (!NT_SUCCESS(status)) return status;
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

// The class checks come first (kInformationClasses); the answer is built from
// the host file's status, zero-filled up to the class's fixed size.
extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle,
                                                 PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass) {
  host::InformationRequest Request;
  NTSTATUS Status = Request.Begin(host::InformationCall::Query, FileHandle, FileInformationClass,
                                  Length, IoStatusBlock);
  if (!NT_SUCCESS(Status)) return Status;
  FileReference& File = Request.file;

  struct stat St;
  Status = host::StatFile(File->fd, &St);
  if (!NT_SUCCESS(Status)) return host::Finish(IoStatusBlock, Status, 0);
  bool Directory = S_ISDIR(St.st_mode);
  int64_t EndOfFile = Directory ? 0 : St.st_size;
  int64_t Allocation = Directory ? 0 : (int64_t)St.st_blocks * 512;
  host::FileTimes Times;
  host::TimesOf(File->fd, St, &Times);

  memset(FileInformation, 0, Request.needed);
  switch (FileInformationClass) {
    case FileBasicInformation:
      host::PutTimesAndAttributes(static_cast<PFILE_BASIC_INFORMATION>(FileInformation), Times,
                                  St);
      break;
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
      host::PutTimesAndAttributes(Info, Times, St);
      Info->AllocationSize.QuadPart = Allocation;
      Info->EndOfFile.QuadPart = EndOfFile;
      break;
    }
    default:
      return host::Finish(IoStatusBlock, STATUS_NOT_IMPLEMENTED, 0);
  }
  return host::Finish(IoStatusBlock, STATUS_SUCCESS, Request.needed);
}

extern "C" NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass) {
  host::InformationRequest Request;
  NTSTATUS Status = Request.Begin(host::InformationCall::Set, FileHandle, FileInformationClass,
                                  Length, IoStatusBlock);
  if (!NT_SUCCESS(Status)) return Status;
  FileReference& File = Request.file;

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
