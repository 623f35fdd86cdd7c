// Fixed-image throughput through the driver against the raw file.
//
// A fixed image (512 MiB by default) filled with data and in the page cache.
// Sequential reads and writes of the whole disk run through the host I/O
// manager and the driver's read and write requests (what the dorvane command
// does), at several request sizes, and with pread/pwrite on the image file at
// the same offsets; alternately, several rounds, the best round of each
// counting. A fixed image's disk is its file, so the ratio (driver / raw)
// shows what the request path costs on top of the copy itself.
//
//   driver_bench [--dir DIR] [--size-mib N] [--rounds N]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "driver/driver.h"
#include "host/host_kernel.h"
#include "host/io/io_client.h"
#include "tools/image_files/image_writer.h"

namespace {

using namespace bench;

constexpr uint32_t kMiB = 1u << 20;

struct Workload {
  const char *name;
  bool write;
  uint32_t requestSize;
};

}  // namespace

int main(int argc, char **argv) {
  Options defaults;
  defaults.size = 512ull * kMiB;
  defaults.rounds = 3;
  Options options = ParseOptions(argc, argv, defaults);
  std::string dir = options.dir.empty()
                        ? (std::filesystem::temp_directory_path() / "dorvane-driver-bench").string()
                        : options.dir;
  std::filesystem::create_directories(dir);
  std::string path = dir + "/fixed.vhd";
  std::filesystem::remove(path);
  dorvane::NewImageParameters newImage;
  newImage.diskType = VHD_DISK_TYPE_FIXED;
  newImage.size = options.size;
  std::string error = dorvane::CreateImage(path, newImage);
  if (!error.empty()) Fail(error);

  std::vector<uint8_t> buffer(2 * kMiB);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = uint8_t(i * 131 + 7);
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) Fail("cannot open " + path);
  for (uint64_t offset = 0; offset < options.size; offset += buffer.size()) {
    if (pwrite(fd, buffer.data(), buffer.size(), off_t(offset)) != ssize_t(buffer.size())) {
      Fail("cannot fill the image");
    }
  }

  if (host::LoadDriver(DriverEntry, u"Dorvane") != STATUS_SUCCESS) Fail("cannot load the driver");
  host::OpenParameters parameters;
  parameters.desiredAccess = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;
  host::DeviceFile file;
  IO_STATUS_BLOCK opened =
      host::DeviceFile::Open(u"\\Device\\Dorvane" + host::NtPathForHostPath(path), parameters,
                             &file);
  if (opened.Status != STATUS_SUCCESS) {
    Fail(std::string("cannot open the image through the driver: ") +
         host::StatusName(opened.Status));
  }

  const Workload workloads[] = {
      {"sequential read, 64 KiB requests", false, 64 * 1024},
      {"sequential read, 1 MiB requests", false, kMiB},
      {"sequential read, 2 MiB requests", false, 2 * kMiB},
      {"sequential write, 2 MiB requests", true, 2 * kMiB},
  };
  std::printf("fixed image of %llu MiB, best of %d rounds\n",
              (unsigned long long)(options.size / kMiB), options.rounds);
  std::printf("%-36s %12s %12s %8s\n", "workload", "driver MB/s", "raw MB/s", "ratio");
  for (const Workload &w : workloads) {
    double driverBest = 1e30, rawBest = 1e30;
    for (int round = 0; round < options.rounds; ++round) {
      driverBest = std::min(driverBest, Seconds([&] {
        for (uint64_t offset = 0; offset < options.size; offset += w.requestSize) {
          IO_STATUS_BLOCK status = w.write ? file.WriteAt(buffer.data(), w.requestSize,
                                                          int64_t(offset))
                                           : file.ReadAt(buffer.data(), w.requestSize,
                                                         int64_t(offset));
          if (status.Status != STATUS_SUCCESS || status.Information != w.requestSize) {
            Fail(std::string("driver request failed: ") + host::StatusName(status.Status));
          }
        }
      }));
      rawBest = std::min(rawBest, Seconds([&] {
        for (uint64_t offset = 0; offset < options.size; offset += w.requestSize) {
          ssize_t moved = w.write ? pwrite(fd, buffer.data(), w.requestSize, off_t(offset))
                                  : pread(fd, buffer.data(), w.requestSize, off_t(offset));
          if (moved != ssize_t(w.requestSize)) Fail("raw transfer failed");
        }
      }));
    }
    double megabytes = double(options.size) / 1e6;
    std::printf("%-36s %12.0f %12.0f %8.2f\n", w.name, megabytes / driverBest,
                megabytes / rawBest, rawBest / driverBest);
  }

  file.Close();
  host::UnloadDriver(u"Dorvane");
  close(fd);
  std::filesystem::remove(path);
  return 0;
}
