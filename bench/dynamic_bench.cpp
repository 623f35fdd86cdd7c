// Dynamic image throughput against a raw file, side by side in one run.
//
// A 1 GiB dynamic image (2 MiB blocks), filled completely, and a raw file of
// the same bytes, both in the page cache (written back and read in again
// before the reads are measured). Each workload runs on the raw file
// with pread/pwrite and on the image through ImageTransfer (the block engine
// over the host kernel's file services), segment by segment alternately,
// several rounds; the best run of each segment counts. Ratios are image
// throughput / raw throughput.
//
//   dynamic_bench [--dir DIR] [--size-mib N] [--rounds N] [--random-reads N]
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/engine.h"
#include "host/host_kernel.h"
#include "tools/image_files/image_writer.h"

namespace {

using namespace bench;

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kBlockSize = 2 * kMiB;

// A workload cut into segments; each segment runs alternately on the raw file
// and on the image, and the fastest run of each segment counts. On a shared
// machine this keeps a burst of other load from landing on one side only.
struct Result {
  Result(const char *Name, double Bytes, double Goal) : name(Name), bytes(Bytes), goal(Goal) {}

  const char *name;
  double bytes;
  double goal;  // 0: none
  std::vector<double> rawSegments;
  std::vector<double> imageSegments;
  double rawSeconds = 0;
  double imageSeconds = 0;

  void Measure(int segments, const std::function<void(int)> &raw,
               const std::function<void(int)> &image) {
    rawSegments.resize(size_t(segments), 1e30);
    imageSegments.resize(size_t(segments), 1e30);
    for (int segment = 0; segment < segments; ++segment) {
      rawSegments[size_t(segment)] =
          std::min(rawSegments[size_t(segment)], Seconds([&] { raw(segment); }));
      imageSegments[size_t(segment)] =
          std::min(imageSegments[size_t(segment)], Seconds([&] { image(segment); }));
    }
    rawSeconds = 0;
    imageSeconds = 0;
    for (size_t segment = 0; segment < rawSegments.size(); ++segment) {
      rawSeconds += rawSegments[segment];
      imageSeconds += imageSegments[segment];
    }
  }
};

void Report(const std::vector<Result> &results) {
  std::printf("%-34s %12s %12s %8s %8s\n", "workload", "raw MB/s", "image MB/s", "ratio",
              "goal");
  for (const Result &r : results) {
    double raw = r.bytes / r.rawSeconds / 1e6;
    double image = r.bytes / r.imageSeconds / 1e6;
    char goal[16] = "-";
    if (r.goal > 0) {
      std::snprintf(goal, sizeof(goal), ">= %.1f", r.goal);
    }
    std::printf("%-34s %12.0f %12.0f %8.2f %8s\n", r.name, raw, image, image / raw, goal);
  }
}

Options ParseBenchOptions(int argc, char **argv) {
  Options defaults;
  defaults.size = 1024ull * kMiB;
  defaults.rounds = 5;
  defaults.randomReads = 200000;
  Options options = ParseOptions(argc, argv, defaults);
  if (options.size == 0 || options.size % (64 * kMiB) != 0) {
    Fail("the size must be a multiple of 64 MiB");
  }
  return options;
}

}  // namespace

int main(int argc, char **argv) {
  Options options = ParseBenchOptions(argc, argv);
  WorkFolder folder(options.dir);
  const std::string &dir = folder.Path();
  const std::string imagePath = dir + "/bench.vhd";
  const std::string rawPath = dir + "/bench.raw";
  const uint64_t size = options.size;

  std::vector<uint8_t> data(kMiB);
  std::mt19937_64 random(1);
  for (auto &byte : data) {
    byte = uint8_t(random() | 1);  // never zero: every block allocates
  }
  std::vector<uint8_t> buffer(kMiB);

  auto makeImage = [&]() {
    std::filesystem::remove(imagePath);
    dorvane::NewImageParameters parameters;
    parameters.diskType = VHD_DISK_TYPE_DYNAMIC;
    parameters.size = size;
    parameters.blockSize = kBlockSize;
    std::string error = dorvane::CreateImage(imagePath, parameters);
    if (!error.empty()) {
      Fail("cannot create the image: " + error);
    }
  };

  Result allocating{"first writes that allocate (1 MiB)", double(size), 0};
  Result sequentialReads{"sequential 1 MiB reads", double(size), 0.9};
  Result randomReads{"random 4 KiB reads", double(options.randomReads) * 4096, 0.7};
  Result overwrites{"sequential 1 MiB overwrites", double(size), 0.8};

  const int segments = 64;
  const uint64_t segmentBytes = size / segments;
  std::vector<uint64_t> randomOffsets(options.randomReads);
  for (auto &offset : randomOffsets) {
    offset = (random() % (size / 4096)) * 4096;
  }
  const size_t randomPerSegment = randomOffsets.size() / segments;

  auto sequential = [&](int segment, const std::function<void(uint64_t)> &transfer) {
    uint64_t start = uint64_t(segment) * segmentBytes;
    for (uint64_t offset = start; offset < start + segmentBytes; offset += kMiB) {
      transfer(offset);
    }
  };
  auto randomly = [&](int segment, const std::function<void(uint64_t)> &transfer) {
    size_t start = size_t(segment) * randomPerSegment;
    for (size_t index = start; index < start + randomPerSegment; ++index) {
      transfer(randomOffsets[index]);
    }
  };

  for (int round = 0; round < options.rounds; ++round) {
    // First writes: a fresh raw file extended, a fresh image allocating.
    makeImage();
    {
      RawFile raw(rawPath, true);
      Image image(imagePath);
      allocating.Measure(
          segments,
          [&](int segment) {
            sequential(segment, [&](uint64_t offset) { raw.Write(offset, data.data(), kMiB); });
          },
          [&](int segment) {
            sequential(segment, [&](uint64_t offset) {
              image.Transfer(IRP_MJ_WRITE, offset, data.data(), kMiB);
            });
          });
    }
  }

  // Both files into the page cache the same way: written back, dropped, read
  // in again. Right after the allocating writes the image's cached pages are
  // shaped by how they were written (small writes into a sparse stretch), and
  // the kernel then copies them out more slowly than the raw file's, whatever
  // reads them.
  for (const std::string &path : {rawPath, imagePath}) {
    RawFile file(path, false);
    file.Settle();
  }

  RawFile raw(rawPath, false);
  Image image(imagePath);
  for (int round = 0; round < options.rounds; ++round) {
    sequentialReads.Measure(
        segments,
        [&](int segment) {
          sequential(segment, [&](uint64_t offset) { raw.Read(offset, buffer.data(), kMiB); });
        },
        [&](int segment) {
          sequential(segment, [&](uint64_t offset) {
            image.Transfer(IRP_MJ_READ, offset, buffer.data(), kMiB);
          });
        });
    if (std::memcmp(buffer.data(), data.data(), kMiB) != 0) {
      Fail("the image read back other data");
    }
    randomReads.Measure(
        segments,
        [&](int segment) {
          randomly(segment, [&](uint64_t offset) { raw.Read(offset, buffer.data(), 4096); });
        },
        [&](int segment) {
          randomly(segment, [&](uint64_t offset) {
            image.Transfer(IRP_MJ_READ, offset, buffer.data(), 4096);
          });
        });
    overwrites.Measure(
        segments,
        [&](int segment) {
          sequential(segment, [&](uint64_t offset) { raw.Write(offset, data.data(), kMiB); });
        },
        [&](int segment) {
          sequential(segment, [&](uint64_t offset) {
            image.Transfer(IRP_MJ_WRITE, offset, data.data(), kMiB);
          });
        });
  }

  std::printf("dynamic image of %llu MiB, 2 MiB blocks, 64 segments, best of %d rounds\n",
              (unsigned long long)(size / kMiB), options.rounds);
  Report({sequentialReads, randomReads, overwrites, allocating});

  std::filesystem::remove(imagePath);
  std::filesystem::remove(rawPath);
  return 0;
}
