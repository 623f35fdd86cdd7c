// Growth of the virtual disk: what each growth leaves in the file, and what
// a failure or a stop at every file call of a growth leaves behind. (The
// refusals: tests/driver/driver_information_test.cpp.)
#include <chrono>
#include <cstdio>
#include <optional>

#include "engine_fixture.h"
#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "tools/image_files/image_check.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = 4 * kKiB;

struct Growth {
  const char *name;
  bool fixed;
  uint64_t oldSize;
  std::vector<uint32_t> blocks;  // dynamic: blocks in file order, filled with data
  uint64_t request, newSize;
  std::vector<uint32_t> moved;   // blocks that must leave the grown table's area
  uint64_t writes;               // image file writes of the growth, 0 unchecked
};

// 2,560 entries take 20 table sectors, ending at 1536 + 20 * 512 = 11776:
// the blocks placed at 2048, 6656 and 11264 lie there.
const Growth kGrowths[] = {
    {"fixed, to a size not a multiple of 512", true, 300 * kKiB, {}, 700 * kKiB + 3,
     700 * kKiB + 3, {}, 0},
    {"dynamic within the table's sectors, one byte rounding to a block", false,
     100 * kBlock - 1024, {99, 0, 5}, 100 * kBlock + 1, 101 * kBlock, {}, 4},
    {"dynamic whose table grows over blocks", false, 128 * kBlock, {3, 0, 7, 1, 100},
     2560 * kBlock, 2560 * kBlock, {0, 3, 7}, 0},
    {"dynamic without blocks: the footer moves behind the table", false, 128 * kBlock, {},
     2560 * kBlock - 5, 2560 * kBlock, {}, 0},
};

class ResizeTest : public EngineTest {
 protected:
  // The image of a row; returns its disk as expected after the growth: the
  // old data, then zeros (the rest of a partial last block included).
  Bytes Make(const Growth &g) {
    image_.Close();
    std::remove(path_.c_str());
    Bytes disk = PatternBytes(g.oldSize, 7);
    if (g.fixed) {
      MakeFixedImage(path_, g.oldSize);
      PokeFile(path_, 0, disk);
    } else {
      disk = MakeFilledDynamicImage(path_, g.oldSize, kBlock, g.blocks);
      // Bytes of the last block behind the disk's end, never part of it.
      uint32_t tail = uint32_t(g.oldSize % kBlock), last = uint32_t(g.oldSize / kBlock);
      if (tail != 0 && PeekBe32(path_, kBatOffset + 4 * last) != VHD_BAT_UNALLOCATED) {
        PokeFile(path_, PeekBe32(path_, kBatOffset + 4 * last) * 512ull + 512 + tail,
                 Bytes(kBlock - tail, 0x77));
      }
    }
    disk.resize(g.oldSize);
    disk.resize(g.newSize, 0);
    return disk;
  }
  NTSTATUS Grow(uint64_t size, FILE_INFORMATION_CLASS infoClass = FileEndOfFileInformation) {
    return SetDiskSize(image_.Get(), infoClass, sizeof(size), &size);
  }
  uint64_t SizeIn(const Bytes &footer) { return LoadBe64(footer.data() + 48); }

  // The grown image as a reopen finds it.
  void ExpectGrown(const Growth &g, const Bytes &expected) {
    OpenImage();
    ASSERT_EQ(int64_t(g.newSize), image_->DiskSize);
    EXPECT_TRUE(expected == ReadDiskThroughEngine(image_.Get()));
    if (g.fixed) {
      EXPECT_EQ(g.newSize + 512, FileSize(path_));
      return;
    }
    EXPECT_TRUE(expected == ReadDiskFromFile(path_));
    uint32_t entries = uint32_t(g.newSize / kBlock);
    ASSERT_EQ(entries, image_->BatEntries);
    for (uint32_t i = uint32_t((g.oldSize + kBlock - 1) / kBlock); i < entries; ++i) {
      ASSERT_EQ(VHD_BAT_UNALLOCATED, DiskEntry(i)) << "entry " << i;
    }
    for (uint32_t block : g.moved) {
      EXPECT_GE(MemoryEntry(block) * 512ull, kBatOffset + (entries + 127) / 128 * 512);
    }
  }
};

// Each growth by both classes. The new Unique Id makes a differencing image
// of the old disk refuse to open; while the system cannot make an id, it is
// asked again every 100 ms.
TEST_F(ResizeTest, GrowthsReadBackAsOldDataThenZeros) {
  for (const Growth &g : kGrowths) {
    for (FILE_INFORMATION_CLASS infoClass : {FileAllocationInformation, FileEndOfFileInformation}) {
      SCOPED_TRACE(std::string(g.name) + ", class " + std::to_string(int(infoClass)));
      Bytes expected = Make(g);
      std::string child = File("child.vhd");
      std::remove(child.c_str());
      MakeDifferencingImage(child, path_);
      OpenImage();
      host::ResetFileCallCounts();
      host::FailUuidCreate(2);
      auto start = std::chrono::steady_clock::now();
      ASSERT_EQ(STATUS_SUCCESS, Grow(g.request, infoClass));
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
      if (g.writes != 0) {
        EXPECT_EQ(g.writes, host::FileCallCount(host::FileCall::Write, "/disk.vhd"));
      }
      EXPECT_EQ(int64_t(g.newSize), image_->DiskSize);
      ExpectPoolSettled();
      EXPECT_TRUE(expected == ReadDiskThroughEngine(image_.Get()));
      ExpectGrown(g, expected);
      image_.Close();
      OpenedImage opened;
      EXPECT_FALSE(NT_SUCCESS(opened.Open(child))) << "the child still finds its parent";
    }
  }
}

// The temporary folder as drive F:, a file system without zero-data (FAT,
// exFAT) while the object lives.
struct DriveWithoutZeroData {
  explicit DriveWithoutZeroData(const std::string &dir) {
    host::MapDrive('F', dir);
    host::SetDriveZeroData('F', false);
  }
  ~DriveWithoutZeroData() {
    host::SetDriveZeroData('F', true);
    host::MapDrive('F', "");
  }
};

// Where the file system refuses the zero-data request, growth writes the
// zeros itself: the slack of a fixed image and the tail of a dynamic image's
// last block read as zeros, and the image checks clean (NT difference
// "drive-file-systems").
TEST_F(ResizeTest, GrowthsOnADriveWithoutZeroData) {
  DriveWithoutZeroData drive(DirPath());
  for (const Growth &g : kGrowths) {
    SCOPED_TRACE(g.name);
    Bytes expected = Make(g);
    OpenImage();
    ASSERT_EQ(STATUS_SUCCESS, Grow(g.request));
    ExpectPoolSettled();
    ExpectGrown(g, expected);
    image_.Close();
    CheckResult check = CheckImageChain(path_, CheckOptions{});
    EXPECT_TRUE(check.problems.empty()) << check.problems[0].what;
  }
}

// Every file call of a growth fails, is cut short or meets a stop of the
// system in turn. The open record keeps the old size; the file opens at the
// old or the new size with all its data, or (after a stop between the three
// records that must agree) shows which record is behind and reads right once
// that record is brought forward. What is left takes the growth again.
TEST_F(ResizeTest, EveryFileCallFailsOrStopsInTurn) {
  const host::FileCall kCalls[] = {host::FileCall::Read, host::FileCall::Write,
                                   host::FileCall::SetInformation, host::FileCall::Control,
                                   host::FileCall::Flush};
  // The growths that zero, also on a drive without zero-data: the zeros
  // written instead keep the same guarantees.
  const std::pair<Growth, bool> kRuns[] = {{kGrowths[0], true}, {kGrowths[1], true},
                                           {kGrowths[2], true}, {kGrowths[0], false},
                                           {kGrowths[1], false}};
  for (const auto &[g, zeroData] : kRuns) {
    std::optional<DriveWithoutZeroData> drive;
    if (!zeroData) drive.emplace(DirPath());
    Bytes expected = Make(g);
    Bytes original = ReadFileBytes(path_);
    OpenImage();
    host::ResetFileCallCounts();
    ASSERT_EQ(STATUS_SUCCESS, Grow(g.request));
    uint64_t counts[5];
    for (host::FileCall call : kCalls) counts[int(call)] = host::FileCallCount(call, "/disk.vhd");
    for (host::FileCall call : kCalls) {
      for (uint64_t nth = 1; nth <= counts[int(call)]; ++nth) {
        for (host::FileFault fault : {host::FileFault::Fail(STATUS_DISK_FULL),
                                      host::FileFault::Crash(), host::FileFault::ShortBy(1)}) {
          if (fault.kind == host::FileFault::Kind::ShortBy && call != host::FileCall::Read &&
              call != host::FileCall::Write) {
            continue;
          }
          SCOPED_TRACE(std::string(g.name) + (zeroData ? "" : ", no zero-data") + ": call " + std::to_string(int(call)) + " #" +
                       std::to_string(nth) + ", fault " + std::to_string(int(fault.kind)));
          image_.Close();
          WriteFileBytes(path_, original);
          OpenImage();
          host::InjectFileFault(call, nth, fault, "/disk.vhd");
          EXPECT_FALSE(NT_SUCCESS(Grow(g.request)));
          EXPECT_EQ(int64_t(g.oldSize), image_->DiskSize);
          ExpectPoolSettled();
          host::ClearFaults();
          image_.Close();
          if (!NT_SUCCESS(image_.Open(path_))) {
            ASSERT_TRUE(fault.kind == host::FileFault::Kind::Crash && !g.fixed);
            Bytes trailing = PeekFile(path_, FileSize(path_) - 512, 512);
            Bytes copy = PeekFile(path_, 0, 512);
            uint32_t oldEntries = uint32_t((g.oldSize + kBlock - 1) / kBlock);
            ASSERT_EQ(g.newSize, SizeIn(trailing));
            ASSERT_TRUE(SizeIn(copy) == g.oldSize ||
                        (copy == trailing && PeekBe32(path_, kHeaderOffset + 28) == oldEntries))
                << "no record shows the state";
            PokeFile(path_, 0, trailing);
            PokeBe32(path_, kHeaderOffset + 28, uint32_t(g.newSize / kBlock));
            RefreshHeaderChecksum(path_);
            ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_));
          }
          uint64_t size = uint64_t(image_->DiskSize);
          ASSERT_TRUE(size == g.oldSize || size == g.newSize) << size;
          EXPECT_TRUE(Slice(expected, 0, size) == ReadDiskThroughEngine(image_.Get()));
          if (size == g.oldSize) {
            ASSERT_EQ(STATUS_SUCCESS, Grow(g.request));
          }
          image_.Close();
          ExpectGrown(g, expected);
        }
      }
    }
  }
}

}  // namespace
}  // namespace dorvane::test
