// dorvane mount: the virtual disk as one regular file below a mount point,
// served through FUSE until it is unmounted.
//
// Without --foreground the command forks a server that opens the image,
// mounts and only then releases the command, so that a script can use the
// file as soon as the command returns. The server reports back through a
// pipe: the error lines of a failed open or mount, or a single zero byte
// once the mount is ready. Everything the server uses is made after the
// fork, in the server itself.
#include "tools/commands/command_line.h"
#include "tools/disk/disk_access.h"
#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"
#include "tools/mount/fuse_disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace dorvane {

namespace {

int RunMount(const Arguments &args, const CommandIo &io);

const CommandDef kMount = {
    "mount",
    "mount [--read-only] [--foreground] [--name NAME] [-o FUSE_OPTION]... IMAGE MOUNTPOINT",
    "Show the virtual disk as the file MOUNTPOINT/NAME (default: disk) through FUSE, until "
    "fusermount3 -u MOUNTPOINT; the disk is flushed when it is unmounted.",
    {{"--read-only", false, false},
     {"--foreground", false, false},
     {"--name", true, false},
     {"-o", true, true}},
    2,
    RunMount,
};

// Opens the disk and serves it; `ready` runs once the mount is ready.
int OpenAndServe(const MountSettings &settings, int errFd, const std::function<void()> &ready) {
  Disk disk;
  uint64_t size = 0;
  CommandIo errorsOnly;
  errorsOnly.err = errFd;
  if (!OpenDiskAt(settings.image, !settings.readOnly, 0, errorsOnly, &disk, &size)) {
    return kExitFailure;
  }
  return ServeMount(&disk, settings, errFd, ready);
}

// The server's side of the fork: detached from the command's session and
// streams once the mount is ready.
[[noreturn]] void RunServer(const MountSettings &settings, FileDescriptor report) {
  setsid();
  int code = OpenAndServe(settings, report.Get(), [&] {
    static const char kReady = '\0';
    WriteBytes(report.Get(), &kReady, 1);
    FileDescriptor null(open("/dev/null", O_RDWR | O_CLOEXEC));
    for (int fd = 0; fd <= 2 && null.IsOpen(); ++fd) {
      dup2(null.Get(), fd);
    }
    report.Reset();
    // The server holds no folder busy; nothing it opens later is named
    // relative to it.
    int moved = chdir("/");
    (void)moved;
  });
  _exit(code);
}

int MountInBackground(const MountSettings &settings, const CommandIo &io) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ReportError(io.err, settings.image, "cannot mount", ErrnoText("pipe", errno));
    return kExitFailure;
  }
  FileDescriptor readEnd(fds[0]);
  FileDescriptor writeEnd(fds[1]);
  pid_t server = fork();
  if (server < 0) {
    ReportError(io.err, settings.image, "cannot mount", ErrnoText("fork", errno));
    return kExitFailure;
  }
  if (server == 0) {
    readEnd.Reset();
    RunServer(settings, std::move(writeEnd));
  }
  writeEnd.Reset();

  // Error lines until the server gives up, or the ready byte.
  std::string report;
  char chunk[512];
  for (;;) {
    ssize_t got = read(readEnd.Get(), chunk, sizeof(chunk));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    report.append(chunk, static_cast<size_t>(got));
  }
  bool isReady = !report.empty() && report.back() == '\0';
  if (isReady) {
    report.pop_back();
  }
  WriteText(io.err, report);
  if (isReady) {
    return 0;
  }
  int status = 0;
  while (waitpid(server, &status, 0) < 0 && errno == EINTR) {
  }
  if (report.empty()) {
    ReportError(io.err, settings.image, "cannot mount", "the mount's server ended unexpectedly");
  }
  return kExitFailure;
}

int RunMount(const Arguments &args, const CommandIo &io) {
  MountSettings settings;
  settings.image = args.positional[0];
  settings.mountPoint = args.positional[1];
  settings.readOnly = args.Has("--read-only");
  if (args.Has("--name")) {
    settings.fileName = args.Value("--name");
  }
  if (settings.fileName.empty() || settings.fileName == "." || settings.fileName == ".." ||
      settings.fileName.find('/') != std::string::npos) {
    return UsageError(io, kMount, "--name must be a file name without '/'");
  }
  if (args.Has("-o")) {
    settings.fuseOptions = args.options.at("-o");
  }
  struct stat info;
  if (stat(settings.mountPoint.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    ReportError(io.err, settings.mountPoint, "cannot mount", "the mount point is not a folder");
    return kExitFailure;
  }
  if (args.Has("--foreground")) {
    return OpenAndServe(settings, io.err, [] {});
  }
  return MountInBackground(settings, io);
}

}  // namespace

const CommandDef &MountCommand() { return kMount; }

}  // namespace dorvane
