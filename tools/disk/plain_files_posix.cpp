// Plain files over POSIX.
#include "tools/disk/plain_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace dorvane {

namespace {

PathKind KindOf(const struct stat &info) {
  if (S_ISREG(info.st_mode)) return PathKind::kRegular;
  if (S_ISDIR(info.st_mode)) return PathKind::kDirectory;
  if (S_ISFIFO(info.st_mode)) return PathKind::kFifo;
  if (S_ISSOCK(info.st_mode)) return PathKind::kSocket;
  if (S_ISCHR(info.st_mode)) return PathKind::kCharacterDevice;
  if (S_ISBLK(info.st_mode)) return PathKind::kBlockDevice;
  return PathKind::kOther;
}

}  // namespace

int OpenPlainFile(const std::string &path, int flags, int mode) {
  return open(path.c_str(), flags | O_CLOEXEC, mode);
}

int OpenTemporaryFile(std::string *folder) {
  const char *tmp = std::getenv("TMPDIR");
  *folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  std::string pattern = *folder + "/dorvane-input-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd >= 0) {
    unlink(name.data());
  }
  return fd;
}

ssize_t ReadAt(int fd, void *buffer, size_t length, uint64_t offset) {
  return pread(fd, buffer, length, static_cast<off_t>(offset));
}

ssize_t WriteAt(int fd, const void *buffer, size_t length, uint64_t offset) {
  return pwrite(fd, buffer, length, static_cast<off_t>(offset));
}

int SyncPlainFile(int fd) { return fsync(fd); }

int SetPlainFileLength(int fd, uint64_t length) {
  return ftruncate(fd, static_cast<off_t>(length));
}

// From the end, which block devices know and their stat does not; the
// position stays where it was.
int64_t PlainFileLength(int fd) {
  off_t here = lseek(fd, 0, SEEK_CUR);
  off_t end = here < 0 ? -1 : lseek(fd, 0, SEEK_END);
  if (here >= 0) {
    lseek(fd, here, SEEK_SET);
  }
  return end;
}

int64_t PlainFilePosition(int fd) { return lseek(fd, 0, SEEK_CUR); }

int RemovePlainFile(const std::string &path) { return unlink(path.c_str()); }

bool SyncFolderOf(const std::string &path) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) {
    close(fd);
  }
  return synced;
}

int LinkPlainFile(const std::string &from, const std::string &to) {
  return link(from.c_str(), to.c_str());
}

PathKind KindOfPath(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) != 0 ? PathKind::kMissing : KindOf(info);
}

bool NameTaken(const std::string &path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

PathKind KindOfFile(int fd) {
  struct stat info;
  return fstat(fd, &info) != 0 ? PathKind::kMissing : KindOf(info);
}

bool FileIdentity(const std::string &path, uint64_t *device, uint64_t *inode) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    return false;
  }
  *device = uint64_t(info.st_dev);
  *inode = uint64_t(info.st_ino);
  return true;
}

}  // namespace dorvane
