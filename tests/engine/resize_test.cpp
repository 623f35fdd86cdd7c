// Growth of the virtual disk: what SetDiskSize refuses, what each growth
// leaves in the file (read back by the test's own reader and after a
// reopen), and what a failure or a stop at every file call of a growth
// leaves behind.
#include <chrono>
#include <cstdio>

#include "engine_fixture.h"
#include "support/differencing_chain.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = 4 * kKiB;

enum class Kind { Fixed, Dynamic, Differencing };

struct Growth {
  const char *name;
  Kind kind;
  uint64_t oldSize;
  std::vector<uint32_t> blocks;  // dynamic: blocks in file order, filled with data
  uint64_t request;
  uint64_t newSize;              // as the disk reports it afterwards
  std::vector<uint32_t> moved;   // blocks that must leave the grown table's area
  uint64_t writes;               // image file writes of the growth, 0 unchecked
};

// Tables of 128 entries fill one sector; 2,560 entries take 20 sectors, so
// the table then ends at 1536 + 20 * 512 = 11776 and covers the blocks placed
// at 2048, 6656 and 11264.
const Growth kGrowths[] = {
    {"fixed, to a size not a multiple of 512", Kind::Fixed, 300 * kKiB, {}, 700 * kKiB + 3,
     700 * kKiB + 3, {}, 0},
    {"dynamic within the table's sectors, one byte rounding to a block", Kind::Dynamic,
     100 * kBlock - 1024, {99, 0, 5}, 100 * kBlock + 1, 101 * kBlock, {}, 4},
    {"dynamic whose table grows over blocks", Kind::Dynamic, 128 * kBlock, {3, 0, 7, 1, 100},
     2560 * kBlock, 2560 * kBlock, {0, 3, 7}, 0},
    {"dynamic without blocks: the footer moves behind the table", Kind::Dynamic, 128 * kBlock,
     {}, 2560 * kBlock - 5, 2560 * kBlock, {}, 0},
};

uint64_t Be64(const Bytes &bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = value << 8 | bytes[at + i];
  return value;
}

class ResizeTest : public EngineTest {
 protected:
  // The image of a row, and its disk as expected after the growth: the old
  // data, then zeros.
  Bytes Make(const Growth &g) {
    image_.Close();
    std::remove(path_.c_str());
    Bytes disk;
    if (g.kind == Kind::Fixed) {
      MakeFixedImage(path_, g.oldSize);
      disk = PatternBytes(g.oldSize, 7);
      PokeFile(path_, 0, disk);
    } else {
      disk = MakeFilledDynamicImage(path_, g.oldSize, kBlock, g.blocks);
      disk.resize(g.oldSize);
    }
    disk.resize(g.newSize, 0);
    return disk;
  }

  NTSTATUS Grow(uint64_t size, FILE_INFORMATION_CLASS infoClass = FileEndOfFileInformation) {
    return SetDiskSize(image_.Get(), infoClass, sizeof(size), &size);
  }

  // The grown image as a reopen finds it.
  void ExpectGrown(const Growth &g, const Bytes &expected) {
    image_.Close();
    OpenImage();
    ASSERT_EQ(int64_t(g.newSize), image_->DiskSize);
    EXPECT_TRUE(expected == ReadDiskThroughEngine(image_.Get()));
    if (g.kind == Kind::Fixed) {
      EXPECT_EQ(g.newSize + 512, FileSize(path_));
      return;
    }
    EXPECT_TRUE(expected == ReadDiskFromFile(path_));
    uint32_t entries = uint32_t(g.newSize / kBlock);
    ASSERT_EQ(entries, image_->BatEntries);
    for (uint32_t i = uint32_t((g.oldSize + kBlock - 1) / kBlock); i < entries; ++i) {
      ASSERT_EQ(VHD_BAT_UNALLOCATED, DiskEntry(i)) << "entry " << i;
    }
    uint64_t tableEnd = kBatOffset + (entries + 127) / 128 * 512;
    for (uint32_t block : g.moved) {
      EXPECT_GE(uint64_t(MemoryEntry(block)) * 512, tableEnd) << "block " << block;
    }
  }
};

TEST_F(ResizeTest, RefusalsWriteNothing) {
  struct Case {
    Kind kind;
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    int64_t change;
    NTSTATUS status;
  } cases[] = {
      /* 0 */ {Kind::Fixed, FileEndOfFileInformation, 8, 0, STATUS_SUCCESS},
      /* 1 */ {Kind::Dynamic, FileAllocationInformation, 8, 0, STATUS_SUCCESS},
      /* 2 */ {Kind::Fixed, FileEndOfFileInformation, 8, -512, STATUS_INVALID_PARAMETER},
      /* 3 */ {Kind::Dynamic, FileAllocationInformation, 8, -1, STATUS_INVALID_PARAMETER},
      /* 4 */ {Kind::Differencing, FileEndOfFileInformation, 8, kBlock, STATUS_NOT_SUPPORTED},
      /* 5 */ {Kind::Dynamic, FileRenameInformation, 8, kBlock, STATUS_NOT_IMPLEMENTED},
      /* 6 */ {Kind::Fixed, FileEndOfFileInformation, 7, kBlock, STATUS_BUFFER_TOO_SMALL},
  };
  std::string parent = File("parent.vhd");
  MakeDynamicImage(parent, 8 * kBlock, kBlock);
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    image_.Close();
    std::remove(path_.c_str());
    if (c.kind == Kind::Differencing) {
      MakeDifferencingImage(path_, parent);
    } else if (c.kind == Kind::Fixed) {
      MakeFixedImage(path_, 64 * kKiB);
    } else {
      MakeFilledDynamicImage(path_, 8 * kBlock, kBlock, {1});
    }
    Bytes file = ReadFileBytes(path_);
    OpenImage();
    int64_t size = image_->DiskSize + c.change;
    host::ResetFileCallCounts();
    EXPECT_EQ(c.status, SetDiskSize(image_.Get(), c.infoClass, c.length, &size));
    for (host::FileCall call : {host::FileCall::Write, host::FileCall::SetInformation,
                                host::FileCall::Control, host::FileCall::Flush}) {
      EXPECT_EQ(0u, host::FileCallCount(call, "/disk.vhd"));
    }
    EXPECT_EQ(size - c.change, image_->DiskSize);
    ExpectPoolSettled();
    image_.Close();
    EXPECT_TRUE(file == ReadFileBytes(path_));
  }
}

TEST_F(ResizeTest, GrowthsReadBackAsOldDataThenZeros) {
  for (const Growth &g : kGrowths) {
    // Allocation size and end of file are the same request.
    for (FILE_INFORMATION_CLASS infoClass : {FileAllocationInformation, FileEndOfFileInformation}) {
      SCOPED_TRACE(std::string(g.name) + (infoClass == FileAllocationInformation ? ", class 19"
                                                                                  : ", class 20"));
      Bytes expected = Make(g);
      OpenImage();
      Bytes oldId = UniqueId(path_);
      host::ResetFileCallCounts();
      ASSERT_EQ(STATUS_SUCCESS, Grow(g.request, infoClass));
      if (g.writes != 0) {
        EXPECT_EQ(g.writes, host::FileCallCount(host::FileCall::Write, "/disk.vhd"));
      }
      EXPECT_EQ(int64_t(g.newSize), image_->DiskSize);
      ExpectPoolSettled();
      EXPECT_TRUE(expected == ReadDiskThroughEngine(image_.Get()));
      EXPECT_FALSE(oldId == UniqueId(path_));
      ExpectGrown(g, expected);
    }
  }
}

// A new Unique Id: the differencing image made on the old disk no longer
// finds its parent. The id is asked again every 100 ms while the system
// cannot make one.
TEST_F(ResizeTest, GrownParentRefusesItsOldChildren) {
  MakeDynamicImage(path_, 8 * kBlock, kBlock);
  std::string child = File("child.vhd");
  MakeDifferencingImage(child, path_);
  OpenImage();
  host::FailUuidCreate(2);
  uint64_t calls = host::UuidCreateCount();
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(STATUS_SUCCESS, Grow(9 * kBlock));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(calls + 3, host::UuidCreateCount());
  image_.Close();
  OpenedImage opened;
  EXPECT_FALSE(NT_SUCCESS(opened.Open(child)));
}

// Every file call of a growth fails, is cut short or meets a stop of the
// system in turn. The open record keeps the old size; the file opens at the
// old or the new size with every byte of data, or (after a stop between the
// three records that must agree) shows which record is behind, and reads
// right once that record is brought forward.
class ResizeFaultTest : public ResizeTest {
 protected:
  void ExpectSurvives(const Growth &g, const Bytes &expected, bool stopped) {
    image_.Close();
    NTSTATUS status = image_.Open(path_);
    if (!NT_SUCCESS(status)) {
      ASSERT_TRUE(stopped && g.kind == Kind::Dynamic) << "the image no longer opens";
      uint64_t fileSize = FileSize(path_);
      Bytes trailing = PeekFile(path_, fileSize - 512, 512);
      Bytes copy = PeekFile(path_, 0, 512);
      uint32_t oldEntries = uint32_t((g.oldSize + kBlock - 1) / kBlock);
      ASSERT_EQ(g.newSize, Be64(trailing, 48)) << "the trailing footer is not the new one";
      bool copyBehind = Be64(copy, 48) == g.oldSize;
      bool headerBehind = copy == trailing && PeekBe32(path_, kHeaderOffset + 28) == oldEntries;
      ASSERT_TRUE(copyBehind || headerBehind) << "no record names the state";
      PokeFile(path_, 0, trailing);
      PokeBe32(path_, kHeaderOffset + 28, uint32_t(g.newSize / kBlock));
      RefreshHeaderChecksum(path_);
      ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_)) << "brought forward, it still does not open";
    }
    uint64_t size = uint64_t(image_->DiskSize);
    ASSERT_TRUE(size == g.oldSize || size == g.newSize) << size;
    EXPECT_TRUE(Slice(expected, 0, size) == ReadDiskThroughEngine(image_.Get()));
  }
};

TEST_F(ResizeFaultTest, EveryFileCallFailsOrStopsInTurn) {
  const host::FileCall kCalls[] = {host::FileCall::Read, host::FileCall::Write,
                                   host::FileCall::SetInformation, host::FileCall::Control,
                                   host::FileCall::Flush};
  for (size_t row : {0, 1, 2}) {
    const Growth &g = kGrowths[row];
    SCOPED_TRACE(g.name);
    Bytes expected = Make(g);
    Bytes original = ReadFileBytes(path_);
    OpenImage();
    host::ResetFileCallCounts();
    ASSERT_EQ(STATUS_SUCCESS, Grow(g.request));
    uint64_t counts[5];
    for (host::FileCall call : kCalls) counts[int(call)] = host::FileCallCount(call, "/disk.vhd");
    for (host::FileCall call : kCalls) {
      for (uint64_t nth = 1; nth <= counts[int(call)]; ++nth) {
        std::vector<host::FileFault> faults = {host::FileFault::Fail(STATUS_DISK_FULL),
                                               host::FileFault::Crash()};
        if (call == host::FileCall::Write || call == host::FileCall::Read) {
          faults.push_back(host::FileFault::ShortBy(1));
        }
        for (const host::FileFault &fault : faults) {
          SCOPED_TRACE("call " + std::to_string(int(call)) + " #" + std::to_string(nth) +
                       " fault " + std::to_string(int(fault.kind)));
          image_.Close();
          WriteFileBytes(path_, original);
          OpenImage();
          host::InjectFileFault(call, nth, fault, "/disk.vhd");
          EXPECT_FALSE(NT_SUCCESS(Grow(g.request)));
          EXPECT_EQ(int64_t(g.oldSize), image_->DiskSize);
          ExpectPoolSettled();
          host::ClearFaults();
          ExpectSurvives(g, expected, fault.kind == host::FileFault::Kind::Crash);
          // What is left takes the growth again.
          if (image_->DiskSize == int64_t(g.oldSize)) {
            ASSERT_EQ(STATUS_SUCCESS, Grow(g.request));
          }
          ExpectGrown(g, expected);
        }
      }
    }
  }
}

}  // namespace
}  // namespace dorvane::test
