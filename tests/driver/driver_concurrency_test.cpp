// Several threads reading and writing one handle at once. Every request must
// either complete whole or be refused with STATUS_DEVICE_BUSY having moved
// nothing; no read may see a write half done; the data ends byte-exact, the
// gate's counts at zero and the position at the sum of the bytes moved.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "support/driver_client.h"
#include "support/image_builder.h"

namespace dorvane::test {
namespace {

constexpr int kThreads = 4;
constexpr ULONG kRegion = 16 * 1024;
constexpr uint64_t kDiskSize = 1ull << 20;

// Region `owner` at `version`: every 64-bit word names both and its index,
// so a torn read shows as a word of another version.
uint64_t Word(int owner, uint32_t version, size_t index) {
  return (uint64_t(owner) << 56) | (uint64_t(version) << 24) | index;
}

Bytes RegionData(int owner, uint32_t version) {
  Bytes data(kRegion);
  for (size_t i = 0; i < kRegion / 8; ++i) {
    uint64_t word = Word(owner, version, i);
    memcpy(&data[i * 8], &word, 8);
  }
  return data;
}

// The version a region's bytes hold, or -1 when they mix versions.
int64_t VersionOf(const Bytes &data, int owner) {
  uint64_t first;
  memcpy(&first, data.data(), 8);
  uint32_t version = uint32_t((first >> 24) & 0xFFFFFFFF);
  return data == RegionData(owner, version) ? int64_t(version) : -1;
}

struct Tally {
  std::atomic<uint64_t> moved{0};
  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> writes{0};
  std::atomic<uint64_t> busy{0};
};

class DriverConcurrency : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    path_ = File("shared.vhd");
    MakeFixedImage(path_, kDiskSize);
    for (int owner = 0; owner < kThreads; ++owner) {
      PokeFile(path_, uint64_t(owner) * kRegion, RegionData(owner, 0));
    }
  }

  // One worker: writes new versions of its own region, reads it back, and
  // reads other regions, which must hold some whole version.
  void Work(const host::DeviceFile &file, int owner, std::chrono::steady_clock::time_point end,
            Tally *tally, uint32_t *lastVersion) {
    std::mt19937 random(owner + 1);
    uint32_t version = 0;
    Bytes buffer(kRegion);
    while (std::chrono::steady_clock::now() < end) {
      int choice = int(random() % 3);
      int region = choice == 2 ? int(random() % kThreads) : owner;
      int64_t offset = int64_t(region) * kRegion;
      IO_STATUS_BLOCK status;
      if (choice == 0) {
        Bytes data = RegionData(owner, version + 1);
        status = file.WriteAt(data.data(), kRegion, offset);
        if (status.Status == STATUS_SUCCESS) {
          ++version;
          ++tally->writes;
        }
      } else {
        memset(buffer.data(), 0, kRegion);
        status = file.ReadAt(buffer.data(), kRegion, offset);
        if (status.Status == STATUS_SUCCESS) {
          ++tally->reads;
          int64_t seen = VersionOf(buffer, region);
          if (region == owner) {
            ASSERT_EQ(seen, int64_t(version)) << "own region of thread " << owner;
          } else {
            ASSERT_GE(seen, 0) << "torn read of region " << region;
          }
        }
      }
      if (status.Status == STATUS_DEVICE_BUSY) {
        ASSERT_EQ(status.Information, 0u);
        ++tally->busy;
        std::this_thread::yield();
        continue;
      }
      ASSERT_EQ(status.Status, STATUS_SUCCESS) << host::StatusName(status.Status);
      ASSERT_EQ(status.Information, kRegion);
      tally->moved += status.Information;
    }
    *lastVersion = version;
  }

  void Run(const host::DeviceFile &file, std::chrono::milliseconds duration, Tally *tally) {
    auto end = std::chrono::steady_clock::now() + duration;
    uint32_t lastVersion[kThreads] = {};
    std::vector<std::thread> threads;
    for (int owner = 0; owner < kThreads; ++owner) {
      threads.emplace_back([&, owner] { Work(file, owner, end, tally, &lastVersion[owner]); });
    }
    for (auto &thread : threads) thread.join();

    IMAGE_CONTEXT *image = BoundImage(file);
    EXPECT_EQ(image->SharedCount, 0);
    EXPECT_EQ(image->ExclusiveCount, 0);
    EXPECT_EQ(uint64_t(file.FileObject()->CurrentByteOffset.QuadPart), tally->moved.load());
    EXPECT_GT(tally->reads.load(), 0u);
    EXPECT_GT(tally->writes.load(), 0u);
    for (int owner = 0; owner < kThreads; ++owner) {
      EXPECT_EQ(PeekFile(path_, uint64_t(owner) * kRegion, kRegion),
                RegionData(owner, lastVersion[owner]))
          << "region " << owner;
    }
    EXPECT_EQ(host::BreakpointCount(), 0u);
    RecordProperty("reads", std::to_string(tally->reads.load()));
    RecordProperty("writes", std::to_string(tally->writes.load()));
    RecordProperty("busy", std::to_string(tally->busy.load()));
  }

  std::string path_;
};

TEST_F(DriverConcurrency, OneHandleManyThreadsStaysConsistent) {
  host::DeviceFile file = OpenImageOrFail(path_, OverlappedOpen());
  Tally tally;
  Run(file, std::chrono::milliseconds(2500), &tally);
}

// Requests on a synchronous handle are serialised by the I/O manager, so the
// gate never finds another in progress.
TEST_F(DriverConcurrency, SynchronousHandleIsNeverBusy) {
  host::DeviceFile file = OpenImageOrFail(path_, SynchronousOpen());
  Tally tally;
  Run(file, std::chrono::milliseconds(500), &tally);
  EXPECT_EQ(tally.busy.load(), 0u);
}

}  // namespace
}  // namespace dorvane::test
