// Reads through differencing chains against a raw file of the same bytes.
//
// Each chain: a dynamic base (2 MiB blocks) written completely; differencing
// images over it that together hold every third 64 KiB piece (one image for a
// chain of three; for deeper chains the pieces are dealt out to the middle
// images in turn, so that every image holds some sectors of every block);
// and a top image holding every fifth 4 KiB piece. Reads of the top image go
// through ImageTransfer (the block engine over the host kernel's file
// services); the raw file is read with pread, into page-aligned buffers on
// both sides. Everything sits in the page cache. Each workload runs
// alternately on both, several rounds; the best round of each counts. Ratios
// are image throughput / raw throughput. Last, `dorvane cat` of the top image
// of each chain is timed against `cat` of the raw file, both to /dev/null.
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
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "engine/engine.h"
#include "host/host_kernel.h"
#include "tools/image_files/image_writer.h"

namespace {

using namespace bench;

constexpr uint32_t kKiB = 1u << 10;
constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kBlockSize = 2 * kMiB;
constexpr uint32_t kMiddlePiece = 64 * kKiB;
constexpr uint32_t kTopPiece = 4 * kKiB;

struct Result {
  std::string name;
  double bytes;
  double goal;
  double rawSeconds = 1e30;
  double imageSeconds = 1e30;
};

void Report(const std::vector<Result> &results) {
  std::printf("%-44s %10s %10s %7s %7s\n", "workload", "raw MB/s", "image MB/s", "ratio", "goal");
  for (const Result &r : results) {
    double raw = r.bytes / r.rawSeconds / 1e6;
    double image = r.bytes / r.imageSeconds / 1e6;
    std::printf("%-44s %10.0f %10.0f %7.2f %7.2f\n", r.name.c_str(), raw, image, image / raw,
                r.goal);
  }
}

Options ParseBenchOptions(int argc, char **argv) {
  Options defaults;
  defaults.size = 1024ull * kMiB;
  defaults.rounds = 5;
  defaults.randomReads = 100000;
  Options options = ParseOptions(argc, argv, defaults);
  if (options.size == 0 || options.size % kBlockSize != 0) {
    Fail("the size must be a multiple of 2 MiB");
  }
  return options;
}

// A page-aligned buffer, as the driver's clients hand in.
struct AlignedBuffer {
  explicit AlignedBuffer(size_t length)
      : bytes(static_cast<uint8_t *>(std::aligned_alloc(4096, length))), size(length) {
    if (bytes == nullptr) {
      Fail("out of memory");
    }
  }
  ~AlignedBuffer() { std::free(bytes); }
  AlignedBuffer(const AlignedBuffer &) = delete;
  AlignedBuffer &operator=(const AlignedBuffer &) = delete;
  uint8_t *bytes;
  size_t size;
};

// Pattern bytes for one write, never all zero.
void Fill(AlignedBuffer *buffer, uint32_t length, std::mt19937_64 *random) {
  for (uint32_t index = 0; index < length; ++index) {
    buffer->bytes[index] = uint8_t((*random)() | 1);
  }
}

std::string LevelPath(const std::string &dir, int level) {
  return dir + "/level" + std::to_string(level) + ".vhd";
}

// Builds the chain of `depth` images; its top is LevelPath(dir, depth - 1),
// and dir/bench.raw holds the same bytes.
void BuildChain(const std::string &dir, uint64_t size, int depth) {
  std::mt19937_64 random(1);
  AlignedBuffer data(kMiB);
  RawFile raw(dir + "/bench.raw", true);
  auto writeBoth = [&](Image *image, uint64_t offset, uint32_t length) {
    Fill(&data, length, &random);
    image->Transfer(IRP_MJ_WRITE, offset, data.bytes, length);
    raw.Write(offset, data.bytes, length);
  };
  dorvane::NewImageParameters parameters;
  parameters.diskType = VHD_DISK_TYPE_DYNAMIC;
  parameters.size = size;
  parameters.blockSize = kBlockSize;
  std::string error = dorvane::CreateImage(LevelPath(dir, 0), parameters);
  if (!error.empty()) {
    Fail("cannot create the base: " + error);
  }
  {
    Image image(LevelPath(dir, 0));
    for (uint64_t offset = 0; offset < size; offset += kMiB) {
      writeBoth(&image, offset, kMiB);
    }
  }
  const int middles = depth - 2;
  for (int level = 1; level < depth; ++level) {
    error = dorvane::CreateDifferencingImage(LevelPath(dir, level), LevelPath(dir, level - 1));
    if (!error.empty()) {
      Fail("cannot create level " + std::to_string(level) + ": " + error);
    }
    Image image(LevelPath(dir, level));
    if (level < depth - 1) {
      // Every third piece of the disk, this level's share of them.
      uint64_t stride = 3ull * uint64_t(middles);
      for (uint64_t piece = 3ull * uint64_t(level - 1); piece * kMiddlePiece < size;
           piece += stride) {
        writeBoth(&image, piece * kMiddlePiece, kMiddlePiece);
      }
    } else {
      for (uint64_t offset = 0; offset < size; offset += 5ull * kTopPiece) {
        writeBoth(&image, offset, kTopPiece);
      }
    }
  }
  // Every file into the page cache the same way: written back, dropped, read
  // in again. Pages cached as small writes left them copy out more slowly.
  for (int level = -1; level < depth; ++level) {
    RawFile file(level < 0 ? dir + "/bench.raw" : LevelPath(dir, level));
    file.Settle();
  }
}

// Wall-clock seconds of a shell command, best of rounds.
double CommandSeconds(const std::string &command, int rounds) {
  double best = 1e30;
  for (int round = 0; round < rounds; ++round) {
    best = std::min(best, Seconds([&] {
                      if (std::system(command.c_str()) != 0) {
                        Fail("failed: " + command);
                      }
                    }));
  }
  return best;
}

void MeasureChain(const std::string &dir, const Options &options, int depth, double sequentialGoal,
                  double randomGoal, std::vector<Result> *results) {
  const uint64_t size = options.size;
  BuildChain(dir, size, depth);

  std::string top = LevelPath(dir, depth - 1);
  std::string chain = "depth " + std::to_string(depth);
  // The chain is held open in this process only while it is measured here:
  // the command below opens it in a process of its own.
  {
    Image image(top);
    RawFile raw(dir + "/bench.raw");
    AlignedBuffer buffer(kMiB), expected(kMiB);

    // The chain reads as the raw file does.
    for (uint64_t offset = 0; offset < size; offset += kMiB) {
      image.Transfer(IRP_MJ_READ, offset, buffer.bytes, kMiB);
      raw.Read(offset, expected.bytes, kMiB);
      if (std::memcmp(buffer.bytes, expected.bytes, kMiB) != 0) {
        Fail("the chain differs from the raw file at " + std::to_string(offset));
      }
    }

    std::vector<uint64_t> randomOffsets(options.randomReads);
    std::mt19937_64 random(2);
    for (auto &offset : randomOffsets) {
      offset = random() % (size / (4 * kKiB)) * (4 * kKiB);
    }
    Result sequential{chain + ": sequential 1 MiB reads", double(size), sequentialGoal};
    Result scattered{chain + ": random 4 KiB reads", double(options.randomReads) * 4 * kKiB,
                     randomGoal};
    for (int round = 0; round < options.rounds; ++round) {
      sequential.rawSeconds = std::min(sequential.rawSeconds, Seconds([&] {
                                         for (uint64_t offset = 0; offset < size; offset += kMiB)
                                           raw.Read(offset, buffer.bytes, kMiB);
                                       }));
      sequential.imageSeconds = std::min(sequential.imageSeconds, Seconds([&] {
                                           for (uint64_t offset = 0; offset < size; offset += kMiB) {
                                             image.Transfer(IRP_MJ_READ, offset, buffer.bytes, kMiB);
                                           }
                                         }));
      scattered.rawSeconds = std::min(scattered.rawSeconds, Seconds([&] {
                                        for (uint64_t offset : randomOffsets)
                                          raw.Read(offset, buffer.bytes, 4 * kKiB);
                                      }));
      scattered.imageSeconds =
          std::min(scattered.imageSeconds, Seconds([&] {
                     for (uint64_t offset : randomOffsets) {
                       image.Transfer(IRP_MJ_READ, offset, buffer.bytes, 4 * kKiB);
                     }
                   }));
    }
    results->push_back(sequential);
    results->push_back(scattered);
  }

  // The command against cat, as a user would run them.
  Result command{chain + ": dorvane cat vs cat (to /dev/null)", double(size), 1.0 / 3};
  command.rawSeconds = CommandSeconds("cat " + dir + "/bench.raw > /dev/null", options.rounds);
  command.imageSeconds = CommandSeconds(
      std::string(DORVANE_COMMAND_PATH) + " cat " + top + " > /dev/null", options.rounds);
  results->push_back(command);

  for (int level = 0; level < depth; ++level) {
    std::filesystem::remove(LevelPath(dir, level));
  }
}

}  // namespace

int main(int argc, char **argv) {
  Options options = ParseBenchOptions(argc, argv);
  WorkFolder folder(options.dir);
  const std::string &dir = folder.Path();
  std::vector<Result> results;
  MeasureChain(dir, options, 3, 0.8, 0.7, &results);
  MeasureChain(dir, options, 8, 0.6, 0.6, &results);
  Report(results);

  return 0;
}
