// Reads through a chain of three images against a raw file of the same bytes.
//
// The chain: a dynamic base (2 MiB blocks) filled completely; a differencing
// image over it holding the first 256 KiB of every third block; and a
// differencing image over that holding 64 KiB in the middle of every fifth
// block and, in every seventh block, 4 KiB of every 32 KiB (sectors of the
// top and of the chain interleaved). Reads of the top image go through
// ImageTransfer (the block engine over the host kernel's file services); the
// raw file is read with pread. Both sit in the page cache. Each workload runs
// alternately on both, several rounds; the best round of each counts. Ratios
// are image throughput / raw throughput.
//
//   differencing_bench [--dir DIR] [--size-mib N] [--rounds N] [--random-reads N]
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
#include "image_writer.h"

namespace {

using namespace bench;

constexpr uint32_t kKiB = 1u << 10;
constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kBlockSize = 2 * kMiB;

struct Result {
  const char *name;
  double bytes;
  double rawSeconds = 1e30;
  double imageSeconds = 1e30;
};

void Report(const std::vector<Result> &results) {
  std::printf("%-40s %12s %12s %8s\n", "workload (top of a 3-image chain)", "raw MB/s",
              "image MB/s", "ratio");
  for (const Result &r : results) {
    double raw = r.bytes / r.rawSeconds / 1e6;
    double image = r.bytes / r.imageSeconds / 1e6;
    std::printf("%-40s %12.0f %12.0f %8.2f\n", r.name, raw, image, image / raw);
  }
}

Options ParseBenchOptions(int argc, char **argv) {
  Options defaults;
  defaults.size = 256ull * kMiB;
  defaults.rounds = 3;
  defaults.randomReads = 100000;
  Options options = ParseOptions(argc, argv, defaults);
  if (options.size == 0 || options.size % kBlockSize != 0) {
    Fail("the size must be a multiple of 2 MiB");
  }
  return options;
}

// Pattern bytes for one write, never all zero.
std::vector<uint8_t> Pattern(uint32_t length, std::mt19937_64 *random) {
  std::vector<uint8_t> bytes(length);
  for (auto &byte : bytes) {
    byte = uint8_t((*random)() | 1);
  }
  return bytes;
}

// Writes through the image and into the raw file alike.
void WriteBoth(Image *image, RawFile *raw, uint64_t offset, const std::vector<uint8_t> &data) {
  image->Transfer(IRP_MJ_WRITE, offset, const_cast<uint8_t *>(data.data()), uint32_t(data.size()));
  raw->Write(offset, data.data(), uint32_t(data.size()));
}

void BuildChain(const std::string &dir, uint64_t size) {
  std::mt19937_64 random(1);
  std::string base = dir + "/base.vhd", middle = dir + "/middle.vhd", top = dir + "/top.vhd";
  RawFile raw(dir + "/bench.raw");
  dorvane::ImageSpec spec;
  spec.diskType = VHD_DISK_TYPE_DYNAMIC;
  spec.size = size;
  spec.blockSize = kBlockSize;
  std::string error = dorvane::CreateImage(base, spec);
  if (!error.empty()) {
    Fail("cannot create the base: " + error);
  }
  {
    Image image(base);
    for (uint64_t offset = 0; offset < size; offset += kMiB) {
      WriteBoth(&image, &raw, offset, Pattern(kMiB, &random));
    }
  }
  error = dorvane::CreateDifferencingImage(middle, base);
  if (!error.empty()) {
    Fail("cannot create the middle image: " + error);
  }
  {
    Image image(middle);
    for (uint64_t block = 0; block < size / kBlockSize; block += 3) {
      WriteBoth(&image, &raw, block * kBlockSize, Pattern(256 * kKiB, &random));
    }
  }
  error = dorvane::CreateDifferencingImage(top, middle);
  if (!error.empty()) {
    Fail("cannot create the top image: " + error);
  }
  Image image(top);
  for (uint64_t block = 0; block < size / kBlockSize; ++block) {
    if (block % 5 == 0) {
      WriteBoth(&image, &raw, block * kBlockSize + kMiB, Pattern(64 * kKiB, &random));
    }
    if (block % 7 == 0) {
      for (uint32_t piece = 0; piece < kBlockSize; piece += 32 * kKiB) {
        WriteBoth(&image, &raw, block * kBlockSize + piece, Pattern(4 * kKiB, &random));
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options = ParseBenchOptions(argc, argv);
  std::string dir = options.dir;
  bool ownDir = dir.empty();
  if (ownDir) {
    char pattern[] = "/tmp/dorvane-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      Fail("cannot make a temporary folder");
    }
    dir = pattern;
  }
  const uint64_t size = options.size;
  BuildChain(dir, size);

  Image image(dir + "/top.vhd");
  RawFile raw(dir + "/bench.raw");
  std::vector<uint8_t> buffer(kMiB), expected(kMiB);

  // The chain reads as the raw file does.
  for (uint64_t offset = 0; offset < size; offset += kMiB) {
    image.Transfer(IRP_MJ_READ, offset, buffer.data(), kMiB);
    raw.Read(offset, expected.data(), kMiB);
    if (buffer != expected) {
      Fail("the chain differs from the raw file at " + std::to_string(offset));
    }
  }

  std::vector<uint64_t> randomOffsets(options.randomReads);
  std::mt19937_64 random(2);
  for (auto &offset : randomOffsets) {
    offset = random() % (size / (4 * kKiB)) * (4 * kKiB);
  }
  Result sequential{"sequential 1 MiB reads", double(size)};
  Result scattered{"random 4 KiB reads", double(options.randomReads) * 4 * kKiB};
  for (int round = 0; round < options.rounds; ++round) {
    sequential.rawSeconds = std::min(sequential.rawSeconds, Seconds([&] {
                                       for (uint64_t offset = 0; offset < size; offset += kMiB)
                                         raw.Read(offset, buffer.data(), kMiB);
                                     }));
    sequential.imageSeconds = std::min(sequential.imageSeconds, Seconds([&] {
                                         for (uint64_t offset = 0; offset < size; offset += kMiB) {
                                           image.Transfer(IRP_MJ_READ, offset, buffer.data(), kMiB);
                                         }
                                       }));
    scattered.rawSeconds = std::min(scattered.rawSeconds, Seconds([&] {
                                      for (uint64_t offset : randomOffsets)
                                        raw.Read(offset, buffer.data(), 4 * kKiB);
                                    }));
    scattered.imageSeconds =
        std::min(scattered.imageSeconds, Seconds([&] {
                   for (uint64_t offset : randomOffsets) {
                     image.Transfer(IRP_MJ_READ, offset, buffer.data(), 4 * kKiB);
                   }
                 }));
  }
  Report({sequential, scattered});

  if (ownDir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return 0;
}
