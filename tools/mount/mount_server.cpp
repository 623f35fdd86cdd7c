// Serving a mount in the command's own process, or in a server process of
// its own.
//
// In the background the command forks a server that opens the image,
// mounts and only then releases the command, so that a script can use the
// file as soon as the command returns. The server reports back through a
// pipe: the error lines of a failed open or mount, or a single zero byte
// once the mount is ready. Everything the server uses is made after the
// fork, in the server itself.
#include "tools/mount/mount_server.h"

#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"
#include "tools/mount/mount_point.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace dorvane {

namespace {

// Opens the disk and serves it; `ready` runs once the mount is ready.
bool OpenAndServe(const MountSettings &settings, int errFd, const DiskOpener &openDisk,
                  const std::function<void()> &ready) {
  Disk disk;
  if (!openDisk(&disk, errFd)) {
    return false;
  }
  return ServeMount(&disk, settings, errFd, ready);
}

// The server's side of the fork: detached from the command's session and
// streams once the mount is ready.
[[noreturn]] void RunServer(const MountSettings &settings, const DiskOpener &openDisk,
                            FileDescriptor report) {
  setsid();
  bool served = OpenAndServe(settings, report.Get(), openDisk, [&] {
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
  _exit(served ? EXIT_SUCCESS : EXIT_FAILURE);
}

bool MountInBackground(const MountSettings &settings, int errFd, const DiskOpener &openDisk) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ReportError(errFd, settings.image, "cannot mount", ErrnoText("pipe", errno));
    return false;
  }
  FileDescriptor readEnd(fds[0]);
  FileDescriptor writeEnd(fds[1]);
  pid_t server = fork();
  if (server < 0) {
    ReportError(errFd, settings.image, "cannot mount", ErrnoText("fork", errno));
    return false;
  }
  if (server == 0) {
    readEnd.Reset();
    RunServer(settings, openDisk, std::move(writeEnd));
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
  WriteText(errFd, report);
  if (isReady) {
    return true;
  }
  int status = 0;
  while (waitpid(server, &status, 0) < 0 && errno == EINTR) {
  }
  if (report.empty()) {
    ReportError(errFd, settings.image, "cannot mount", "the mount's server ended unexpectedly");
  }
  return false;
}

}  // namespace

bool Mount(const MountSettings &settings, int errFd, const DiskOpener &openDisk) {
  std::string problem = MountPointProblem(settings.mountPoint);
  if (!problem.empty()) {
    ReportError(errFd, settings.mountPoint, "cannot mount", problem);
    return false;
  }
  if (settings.foreground) {
    return OpenAndServe(settings, errFd, openDisk, [] {});
  }
  return MountInBackground(settings, errFd, openDisk);
}

}  // namespace dorvane
