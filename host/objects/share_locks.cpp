// NT share access between processes. Within a process the file records of
// objects.cpp decide; across processes each opened regular file states its
// share access in open-file-description locks (F_OFD_SETLK) on six bytes far
// beyond any data a file can hold: one byte each for "this open reads",
// "writes", "deletes", and one each for "this open does not share reading",
// "writing", "deletion". An open holds a shared lock on the bytes that
// describe it. A lock beyond the end of file changes neither the file's
// bytes nor its size, and the kernel drops it when the open file description
// closes, also when the process dies: nothing stale is left after a crash.
//
// Shared locks never conflict with one another, so an open asks whether any
// other open description holds a byte it must not meet (F_OFD_GETLK ignores
// the caller's own locks). It asks, takes its own locks, and asks again: of
// two opens that race, each takes its locks before its second question, so
// at least one of them sees the other and backs off; neither can pass
// unseen. One that backs off drops its locks and tries again after a short
// pause, so that a race does not refuse both.
#include "host/objects/object_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

namespace host {

namespace {

// The last bytes a lock can name (off_t is signed 64-bit).
constexpr off_t kShareLockBase = 0x7FFFFFFFFFFFFF00;
enum ShareByte : off_t {
  kReads,
  kWrites,
  kDeletes,
  kDeniesRead,
  kDeniesWrite,
  kDeniesDelete,
  kBytes
};

constexpr int kAttempts = 8;

struct ShareClaim {
  bool holds[kBytes] = {};   // bytes this open locks
  bool meets[kBytes] = {};   // bytes no other open may hold
};

ShareClaim ClaimOf(ACCESS_MASK access, ULONG shareAccess) {
  ShareClaim claim;
  claim.holds[kReads] = (access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
  claim.holds[kWrites] = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  claim.holds[kDeletes] = (access & DELETE) != 0;
  claim.holds[kDeniesRead] = (shareAccess & FILE_SHARE_READ) == 0;
  claim.holds[kDeniesWrite] = (shareAccess & FILE_SHARE_WRITE) == 0;
  claim.holds[kDeniesDelete] = (shareAccess & FILE_SHARE_DELETE) == 0;
  // What this open does must be shared by every other; what it refuses to
  // share no other may be doing. Each "does" byte pairs with its "denies".
  for (off_t done = kReads; done <= kDeletes; ++done) {
    claim.meets[done + kDeniesRead] = claim.holds[done];
    claim.meets[done] = claim.holds[done + kDeniesRead];
  }
  return claim;
}

struct flock ByteLock(short type, off_t byte, off_t length = 1) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareLockBase + byte;
  lock.l_len = length;
  return lock;
}

// 1 when another open description holds a byte the claim meets, 0 when none
// does, -1 (errno set) when the file system keeps no such locks.
int MeetsAnother(int fd, const ShareClaim& claim) {
  for (off_t byte = 0; byte < kBytes; ++byte) {
    if (!claim.meets[byte]) continue;
    struct flock lock = ByteLock(F_WRLCK, byte);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
    if (lock.l_type != F_UNLCK) return 1;
  }
  return 0;
}

int Hold(int fd, const ShareClaim& claim) {
  for (off_t byte = 0; byte < kBytes; ++byte) {
    if (!claim.holds[byte]) continue;
    struct flock lock = ByteLock(F_RDLCK, byte);
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0) return -1;
  }
  return 0;
}

// File systems without such locks (some network and FUSE file systems) leave
// share access to each process.
bool LocksUnsupported(int err) {
  return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS;
}

}  // namespace

NTSTATUS TakeProcessShareAccess(int fd, ACCESS_MASK access, ULONG shareAccess) {
  // An open that neither reads, writes nor deletes does not take part.
  if ((access & (FILE_READ_DATA | FILE_EXECUTE | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE)) ==
      0) {
    return STATUS_SUCCESS;
  }
  ShareClaim claim = ClaimOf(access, shareAccess);
  std::minstd_rand pause(static_cast<unsigned>(fd) * 7919u +
                         static_cast<unsigned>(getpid()));
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    int met = MeetsAnother(fd, claim);
    if (met < 0) {
      auto saved = errno;
      return LocksUnsupported(saved) ? STATUS_SUCCESS : StatusFromErrno(saved);
    }
    if (met > 0) return STATUS_SHARING_VIOLATION;
    if (Hold(fd, claim) != 0) {
      auto saved = errno;
      ReleaseProcessShareAccess(fd);
      return LocksUnsupported(saved) ? STATUS_SUCCESS : StatusFromErrno(saved);
    }
    if (MeetsAnother(fd, claim) == 0) return STATUS_SUCCESS;
    ReleaseProcessShareAccess(fd);
    std::this_thread::sleep_for(std::chrono::microseconds(100 + pause() % 2000));
  }
  return STATUS_SHARING_VIOLATION;
}

void ReleaseProcessShareAccess(int fd) {
  struct flock lock = ByteLock(F_UNLCK, 0, kBytes);
  fcntl(fd, F_OFD_SETLK, &lock);
}

}  // namespace host
