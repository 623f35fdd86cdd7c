// The FUSE front end of the virtual disk (libfuse 3, high-level API).
//
// Data moves between FUSE's own request buffers and the driver: a read
// request fills the buffer libfuse replies from, a write request hands the
// driver the buffer the data arrived in. Requests of up to 1 MiB are taken
// in one piece.
//
// Requests are admitted as on every server of the disk (admission.h):
// reads and queries shared, changes exclusive, waiting rather than retried.
//
// Page cache: the image file is opened without write sharing, so while the
// mount stands the disk changes only through it. Cached pages are therefore
// kept across opens (keep_cache), and reads are served from the cache and
// by readahead. The size can change only by a truncate through the mount,
// and the reply to it carries the size the driver then reports (a dynamic
// disk grows to whole blocks), so the kernel's size is right at once.
//
// A failing image (a parent truncated or unreadable, an I/O error) fails the
// requests that touch it with an errno; the mount stays up and answers
// everything else.
#define FUSE_USE_VERSION 312
#include "tools/mount/fuse_disk.h"

#include "tools/disk/admission.h"
#include "tools/disk/errors.h"
#include "tools/disk/status_errno.h"

#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <utility>

namespace dorvane {

namespace {

// Largest read and write request asked of the kernel.
constexpr unsigned kLargestRequest = 1u << 20;
// Worker threads: reads run side by side under the shared admission and wait
// on the image file, so a few more than the cores help; writes run one at a
// time whatever the count.
constexpr unsigned kWorkerThreads = 8;
// Block size reported by statfs.
constexpr uint64_t kStatfsBlock = 4096;

void RaiseReadahead(const std::string &tableName);
std::string MountTableName(const std::string &mountPoint);

struct MountedDisk {
  MountedDisk(Disk *disk_, const MountSettings &settings)
      : disk(disk_), filePath("/" + settings.fileName),
        mountTableName(MountTableName(settings.mountPoint)),
        readOnly(settings.readOnly) {}

  Disk *disk;
  std::string filePath;  // "/" + file name
  std::string mountTableName;
  bool readOnly;
  std::once_flag readaheadRaised;
  uid_t uid = getuid();
  gid_t gid = getgid();
  time_t mountTime = time(nullptr);
  Admission admission;
  // Written since the last flush request: closing the file after a change
  // flushes; closing it after reading costs nothing.
  std::atomic<bool> dirty{false};
};

MountedDisk &Mounted() { return *static_cast<MountedDisk *>(fuse_get_context()->private_data); }

int Fail(NTSTATUS status) { return -ErrnoForStatus(status); }

// Whether the path names the disk's file; the directory is "/".
bool IsDiskFile(const char *path) { return Mounted().filePath == path; }

int FlushIfDirty(MountedDisk &mounted) {
  if (!mounted.dirty) {
    return 0;
  }
  auto held = mounted.admission.Exclusive();
  if (!mounted.dirty.exchange(false)) {
    return 0;
  }
  NTSTATUS status = mounted.disk->FlushDisk();
  if (!NT_SUCCESS(status)) {
    mounted.dirty = true;
    return Fail(status);
  }
  return 0;
}

NTSTATUS QueryDiskSizeShared(MountedDisk &mounted, uint64_t *size) {
  auto held = mounted.admission.Shared();
  return mounted.disk->QueryDiskSize(size);
}

void *InitMount(fuse_conn_info *connection, fuse_config *config) {
  connection->max_write = kLargestRequest;
  if (connection->max_readahead > kLargestRequest) {
    connection->max_readahead = kLargestRequest;
  }
  config->kernel_cache = 1;
  config->direct_io = 0;
  config->use_ino = 0;
  return fuse_get_context()->private_data;
}

int GetAttributes(const char *path, struct stat *attributes, fuse_file_info *) {
  MountedDisk &mounted = Mounted();
  *attributes = {};
  attributes->st_uid = mounted.uid;
  attributes->st_gid = mounted.gid;
  attributes->st_atime = attributes->st_mtime = attributes->st_ctime = mounted.mountTime;
  if (std::string(path) == "/") {
    attributes->st_mode = S_IFDIR | 0755;
    attributes->st_nlink = 2;
    return 0;
  }
  if (!IsDiskFile(path)) {
    return -ENOENT;
  }
  uint64_t size = 0;
  NTSTATUS status = QueryDiskSizeShared(mounted, &size);
  if (!NT_SUCCESS(status)) {
    return Fail(status);
  }
  attributes->st_mode = S_IFREG | (mounted.readOnly ? 0444 : 0644);
  attributes->st_nlink = 1;
  attributes->st_size = static_cast<off_t>(size);
  attributes->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  attributes->st_blksize = kLargestRequest;
  return 0;
}

int ReadDirectory(const char *path, void *entries, fuse_fill_dir_t fill, off_t, fuse_file_info *,
                  fuse_readdir_flags) {
  if (std::string(path) != "/") {
    return -ENOTDIR;
  }
  fill(entries, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(entries, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(entries, Mounted().filePath.c_str() + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int OpenFile(const char *path, fuse_file_info *file) {
  if (!IsDiskFile(path)) {
    return -ENOENT;
  }
  MountedDisk &mounted = Mounted();
  if (mounted.readOnly && (file->flags & O_ACCMODE) != O_RDONLY) {
    return -EROFS;
  }
  std::call_once(mounted.readaheadRaised, [&] { RaiseReadahead(mounted.mountTableName); });
  file->keep_cache = 1;
  return 0;
}

int ReadFile(const char *, char *buffer, size_t length, off_t offset, fuse_file_info *) {
  MountedDisk &mounted = Mounted();
  if (offset < 0 || length > UINT32_MAX) {
    return -EINVAL;
  }
  uint32_t transferred = 0;
  auto held = mounted.admission.Shared();
  NTSTATUS status = mounted.disk->ReadDisk(static_cast<uint64_t>(offset), buffer,
                                           static_cast<uint32_t>(length), &transferred);
  return NT_SUCCESS(status) ? static_cast<int>(transferred) : Fail(status);
}

int WriteFile(const char *, const char *buffer, size_t length, off_t offset, fuse_file_info *) {
  MountedDisk &mounted = Mounted();
  if (mounted.readOnly) {
    return -EROFS;
  }
  if (offset < 0 || length > UINT32_MAX) {
    return -EINVAL;
  }
  uint32_t transferred = 0;
  auto held = mounted.admission.Exclusive();
  mounted.dirty = true;
  NTSTATUS status = mounted.disk->WriteDisk(static_cast<uint64_t>(offset), buffer,
                                            static_cast<uint32_t>(length), &transferred);
  if (!NT_SUCCESS(status)) {
    return Fail(status);
  }
  // The driver writes nothing at or past the end of the disk; like a block
  // device, the file then has no room rather than growing.
  return transferred == 0 && length > 0 ? -ENOSPC : static_cast<int>(transferred);
}

// Growth only: the driver grows a disk by its end of file and never cuts one.
int Truncate(const char *path, off_t size, fuse_file_info *) {
  MountedDisk &mounted = Mounted();
  if (!IsDiskFile(path)) {
    return -EISDIR;
  }
  if (mounted.readOnly) {
    return -EROFS;
  }
  if (size < 0) {
    return -EINVAL;
  }
  auto held = mounted.admission.Exclusive();
  uint64_t current = 0;
  NTSTATUS status = mounted.disk->QueryDiskSize(&current);
  if (!NT_SUCCESS(status)) {
    return Fail(status);
  }
  if (static_cast<uint64_t>(size) == current) {
    return 0;
  }
  if (static_cast<uint64_t>(size) < current) {
    return -EINVAL;
  }
  mounted.dirty = true;
  status = mounted.disk->SetDiskEnd(static_cast<uint64_t>(size));
  return NT_SUCCESS(status) ? 0 : Fail(status);
}

// Punching a hole zeroes the range; a dynamic disk gives back the blocks it
// leaves all zero.
int Allocate(const char *, int mode, off_t offset, off_t length, fuse_file_info *) {
  MountedDisk &mounted = Mounted();
  if (mode != (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE)) {
    return -EOPNOTSUPP;
  }
  if (mounted.readOnly) {
    return -EROFS;
  }
  if (offset < 0 || length <= 0 || length > INT64_MAX - offset) {
    return -EINVAL;
  }
  auto held = mounted.admission.Exclusive();
  uint64_t size = 0;
  NTSTATUS status = mounted.disk->QueryDiskSize(&size);
  if (!NT_SUCCESS(status)) {
    return Fail(status);
  }
  uint64_t start = static_cast<uint64_t>(offset);
  if (start >= size) {
    return 0;
  }
  uint64_t end = std::min<uint64_t>(start + static_cast<uint64_t>(length), size);
  mounted.dirty = true;
  status = mounted.disk->ZeroDiskRange(start, end - start, size);
  return NT_SUCCESS(status) ? 0 : Fail(status);
}

int FlushFile(const char *, fuse_file_info *) { return FlushIfDirty(Mounted()); }

int SyncFile(const char *, int, fuse_file_info *) { return FlushIfDirty(Mounted()); }

int StatFileSystem(const char *, struct statvfs *info) {
  MountedDisk &mounted = Mounted();
  uint64_t size = 0;
  NTSTATUS status = QueryDiskSizeShared(mounted, &size);
  if (!NT_SUCCESS(status)) {
    return Fail(status);
  }
  *info = {};
  info->f_bsize = info->f_frsize = kStatfsBlock;
  info->f_blocks = (size + kStatfsBlock - 1) / kStatfsBlock;
  info->f_files = 1;
  info->f_namemax = NAME_MAX;
  return 0;
}

fuse_operations MountOperations() {
  fuse_operations operations{};
  operations.init = InitMount;
  operations.getattr = GetAttributes;
  operations.readdir = ReadDirectory;
  operations.open = OpenFile;
  operations.read = ReadFile;
  operations.write = WriteFile;
  operations.truncate = Truncate;
  operations.fallocate = Allocate;
  operations.flush = FlushFile;
  operations.fsync = SyncFile;
  operations.statfs = StatFileSystem;
  return operations;
}

// A mount option's value with the characters FUSE's option parser splits
// on escaped.
std::string EscapeOption(const std::string &value) {
  std::string escaped;
  for (char c : value) {
    if (c == ',' || c == '\\') {
      escaped += '\\';
    }
    escaped += c;
  }
  return escaped;
}

// The kernel gives a FUSE mount 128 KiB of readahead, and sequential reads
// reach the server in requests that large. The mount raises its own
// readahead to the largest request where it may (as root; others keep the
// default). The kernel sets the readahead from the reply to its first
// request, and each open file takes it as it stands at the open, so the
// first open raises it. The mount's device is found in the mount table
// rather than by a stat, which this server would have to answer itself.
void RaiseReadahead(const std::string &tableName) {
  std::ifstream table("/proc/self/mountinfo");
  std::string device;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, point;
    if (fields >> id >> parent >> majorMinor >> root >> point && point == tableName) {
      device = majorMinor;
    }
  }
  std::ofstream readahead("/sys/class/bdi/" + device + "/read_ahead_kb");
  if (!device.empty() && readahead) {
    readahead << kLargestRequest / 1024 << std::endl;
  }
}

// The mount point's absolute path as the mount table writes it, resolved
// while the server's working folder is still the command's.
std::string MountTableName(const std::string &mountPoint) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(mountPoint.c_str(), nullptr), free);
  std::string name;
  for (const char *c = resolved ? resolved.get() : ""; *c != '\0'; ++c) {
    char octal[8];
    std::snprintf(octal, sizeof(octal), "\\%03o", static_cast<unsigned char>(*c));
    name += (*c == ' ' || *c == '\t' || *c == '\n' || *c == '\\') ? octal : std::string(1, *c);
  }
  return name;
}

struct FuseArgsOwner {
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  ~FuseArgsOwner() { fuse_opt_free_args(&args); }
};

struct FuseOwner {
  fuse *session = nullptr;
  bool mounted = false;
  bool handlersSet = false;
  ~FuseOwner() {
    if (handlersSet) {
      fuse_remove_signal_handlers(fuse_get_session(session));
    }
    if (mounted) {
      fuse_unmount(session);
    }
    if (session != nullptr) {
      fuse_destroy(session);
    }
  }
};

struct LoopConfigOwner {
  fuse_loop_config *config = fuse_loop_cfg_create();
  ~LoopConfigOwner() { fuse_loop_cfg_destroy(config); }
};

}  // namespace

bool ServeMount(Disk *disk, const MountSettings &settings, int errFd,
                const std::function<void()> &ready) {
  MountedDisk mounted(disk, settings);
  FuseArgsOwner args;
  std::vector<std::string> options = {"fsname=" + EscapeOption(settings.image),
                                      "subtype=dorvane"};
  if (settings.readOnly) {
    options.push_back("ro");
  }
  options.insert(options.end(), settings.fuseOptions.begin(), settings.fuseOptions.end());
  fuse_opt_add_arg(&args.args, "dorvane");
  for (const std::string &option : options) {
    if (fuse_opt_add_arg(&args.args, "-o") != 0 ||
        fuse_opt_add_arg(&args.args, option.c_str()) != 0) {
      ReportError(errFd, settings.image, "cannot mount", "out of memory");
      return false;
    }
  }

  fuse_operations operations = MountOperations();
  FuseOwner fuse;
  fuse.session = fuse_new(&args.args, &operations, sizeof(operations), &mounted);
  if (fuse.session == nullptr) {
    ReportError(errFd, settings.image, "cannot mount",
                "FUSE refused the options (" + [&] {
                  std::string list;
                  for (const std::string &option : settings.fuseOptions) {
                    list += (list.empty() ? "-o " : " -o ") + option;
                  }
                  return list.empty() ? std::string("none given") : list;
                }() + ")");
    return false;
  }
  if (fuse_mount(fuse.session, settings.mountPoint.c_str()) != 0) {
    ReportError(errFd, settings.image, "cannot mount",
                "FUSE could not mount " + settings.mountPoint);
    return false;
  }
  fuse.mounted = true;
  if (fuse_set_signal_handlers(fuse_get_session(fuse.session)) != 0) {
    ReportError(errFd, settings.image, "cannot mount", "signal handlers could not be set");
    return false;
  }
  fuse.handlersSet = true;
  ready();

  LoopConfigOwner loop;
  fuse_loop_cfg_set_max_threads(loop.config, kWorkerThreads);
  int served = fuse_loop_mt(fuse.session, loop.config);
  NTSTATUS status = settings.readOnly ? STATUS_SUCCESS : disk->FlushDisk();
  if (!NT_SUCCESS(status)) {
    ReportStatus(errFd, settings.image, "cannot flush image", status);
    return false;
  }
  // A session ended by one of the handled signals reports the signal.
  int ending = served < 0 ? -served : served;
  if (ending != 0 && ending != SIGINT && ending != SIGTERM && ending != SIGHUP) {
    ReportError(errFd, settings.image, "mount failed", "the FUSE session ended with an error");
    return false;
  }
  return true;
}

}  // namespace dorvane
