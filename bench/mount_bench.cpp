// The mounted disk against a raw file, side by side in one run.
//
// A 1 GiB dynamic image (2 MiB blocks), filled completely with the same
// bytes as a raw file, is mounted with `dorvane mount`; when vhdimount
// (libvhdi's read-only FUSE mounter) is installed, the image is mounted with
// it as well. Each reader runs the same workloads with pread/pwrite on its
// file: sequential 1 MiB reads and writes over the whole file and random
// 4 KiB reads (readahead off). Before every pass the files under the
// readers (the raw file, the image file) are in the page cache, and the
// mounted files' own cached pages are dropped, so that every byte of a
// mounted file passes through its FUSE server. Writes end in the page cache
// on both sides; the write-back after a pass is not timed. The best of the
// rounds counts; ratios are mounted throughput / raw throughput.
//
//   mount_bench [--dir DIR] [--size-mib N] [--rounds N] [--random-reads N]
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "tools/commands/commands.h"
#include "tools/disk/disk_access.h"

namespace {

using namespace bench;

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kPage = 4096;

bool IsMounted(const std::string &dir) {
  struct stat below, top;
  return stat(dir.c_str(), &below) == 0 && stat((dir + "/..").c_str(), &top) == 0 &&
         below.st_dev != top.st_dev;
}

void WaitUntil(const std::function<bool()> &done, const std::string &what) {
  for (int tries = 0; tries < 3000; ++tries) {
    if (done()) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Fail("timed out waiting for " + what);
}

// A file read and written in whole requests; `underlying` is the file whose
// pages must be cached before a pass (the file itself for the raw file).
struct Target {
  std::string name;
  std::string path;
  std::string underlying;
  bool writable;
};

void Run(const std::string &command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "mount_bench: %s failed\n", command.c_str());
  }
}

int OpenOrFail(const std::string &path, int flags) {
  int fd = open(path.c_str(), flags);
  if (fd < 0) {
    Fail("cannot open " + path);
  }
  return fd;
}

// The underlying file read into the page cache, the target's own pages
// dropped.
void Prepare(const Target &target) {
  std::vector<uint8_t> chunk(kMiB);
  int fd = OpenOrFail(target.underlying, O_RDONLY);
  for (off_t at = 0; pread(fd, chunk.data(), kMiB, at) > 0; at += kMiB) {
  }
  close(fd);
  if (target.path != target.underlying) {
    fd = OpenOrFail(target.path, O_RDONLY);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

double SequentialPass(const Target &target, uint64_t size, bool write) {
  std::vector<uint8_t> chunk(kMiB, 0x5A);
  int fd = OpenOrFail(target.path, write ? O_WRONLY : O_RDONLY);
  double seconds = Seconds([&] {
    for (uint64_t at = 0; at < size; at += kMiB) {
      ssize_t moved = write ? pwrite(fd, chunk.data(), kMiB, off_t(at))
                            : pread(fd, chunk.data(), kMiB, off_t(at));
      if (moved != ssize_t(kMiB)) {
        Fail(target.name + ": transfer failed at " + std::to_string(at));
      }
    }
  });
  if (write && fsync(fd) != 0) {
    Fail(target.name + ": fsync failed");
  }
  close(fd);
  return double(size) / seconds / 1e6;
}

double RandomPass(const Target &target, uint64_t size, uint64_t reads) {
  std::vector<uint8_t> page(kPage);
  std::mt19937_64 random(7);
  int fd = OpenOrFail(target.path, O_RDONLY);
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  double seconds = Seconds([&] {
    for (uint64_t i = 0; i < reads; ++i) {
      off_t at = off_t(random() % (size / kPage) * kPage);
      if (pread(fd, page.data(), kPage, at) != ssize_t(kPage)) {
        Fail(target.name + ": random read failed");
      }
    }
  });
  close(fd);
  return double(reads) / seconds;
}

// The image filled through the driver with the raw file's bytes.
void MakeFiles(const std::string &image, const std::string &raw, uint64_t size) {
  if (dorvane::RunCommand({"create", "--type", "dynamic", "--size", std::to_string(size), image},
                          dorvane::CommandIo()) != 0) {
    Fail("cannot create " + image);
  }
  dorvane::Disk disk;
  if (disk.OpenDisk(image, true) != STATUS_SUCCESS) {
    Fail("cannot open " + image);
  }
  RawFile rawFile(raw, true);
  std::vector<uint64_t> chunk(kMiB / 8);
  std::mt19937_64 random(1);
  for (uint64_t at = 0; at < size; at += kMiB) {
    std::generate(chunk.begin(), chunk.end(), random);
    uint32_t moved = 0;
    if (disk.WriteDisk(at, chunk.data(), kMiB, &moved) != STATUS_SUCCESS || moved != kMiB) {
      Fail("cannot fill " + image);
    }
    rawFile.Write(at, chunk.data(), kMiB);
  }
  disk.FlushDisk();
}

}  // namespace

int main(int argc, char **argv) {
  Options options = ParseOptions(argc, argv, {"", 1024ull * kMiB, 2, 20000});
  WorkFolder folder(options.dir);
  const std::string &dir = folder.Path();
  const std::string image = dir + "/bench.vhd", raw = dir + "/bench.raw";
  const std::string ours = dir + "/mnt", theirs = dir + "/vhdimnt";
  std::filesystem::create_directories(ours);
  std::filesystem::create_directories(theirs);
  MakeFiles(image, raw, options.size);

  pid_t server = fork();
  if (server == 0) {
    _exit(dorvane::RunCommand({"mount", "--foreground", image, ours}, dorvane::CommandIo()));
  }
  WaitUntil([&] { return IsMounted(ours); }, "dorvane mount");
  std::vector<Target> targets = {{"raw file", raw, raw, true},
                                 {"dorvane mount", ours + "/disk", image, true}};
  if (std::system(("vhdimount " + image + " " + theirs + " >/dev/null 2>&1").c_str()) == 0) {
    WaitUntil([&] { return IsMounted(theirs); }, "vhdimount");
    targets.push_back({"vhdimount", theirs + "/vhdi1", image, false});
  } else {
    std::printf("vhdimount is not installed (Debian: libvhdi-utils); it is left out\n");
  }

  struct Row {
    const char *name;
    const char *unit;
    double goal;
    std::function<double(const Target &)> pass;
    bool writes;
  };
  const uint64_t size = options.size;
  const std::vector<Row> rows = {
      {"sequential 1 MiB reads", "MB/s", 0.4,
       [&](const Target &t) { return SequentialPass(t, size, false); }, false},
      {"sequential 1 MiB writes", "MB/s", 0.3,
       [&](const Target &t) { return SequentialPass(t, size, true); }, true},
      {"random 4 KiB reads", "reads/s", 0.25,
       [&](const Target &t) { return RandomPass(t, size, options.randomReads); }, false},
  };
  std::printf("%llu MiB dynamic image, 2 MiB blocks, fully allocated; best of %d rounds\n",
              (unsigned long long)(size / kMiB), options.rounds);
  for (const Row &row : rows) {
    std::vector<double> best(targets.size(), 0);
    for (int round = 0; round < options.rounds; ++round) {
      for (size_t i = 0; i < targets.size(); ++i) {
        if (row.writes && !targets[i].writable) {
          continue;
        }
        Prepare(targets[i]);
        best[i] = std::max(best[i], row.pass(targets[i]));
      }
    }
    std::printf("%-24s", row.name);
    for (size_t i = 0; i < targets.size(); ++i) {
      if (best[i] == 0) {
        std::printf("  %s: -", targets[i].name.c_str());
      } else if (i == 0) {
        std::printf("  %s: %.0f %s", targets[i].name.c_str(), best[i], row.unit);
      } else {
        std::printf("  %s: %.0f (%.2fx)", targets[i].name.c_str(), best[i], best[i] / best[0]);
      }
    }
    std::printf("  [goal for dorvane mount: %.2fx]\n", row.goal);
  }

  if (targets.size() > 2) {
    Run("umount " + theirs);
  }
  Run("fusermount3 -u " + ours);
  waitpid(server, nullptr, 0);
  for (const std::string &path : {image, raw, ours, theirs}) {
    std::filesystem::remove(path);
  }
  return 0;
}
