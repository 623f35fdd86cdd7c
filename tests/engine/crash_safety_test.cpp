// Failure and crash safety of the dynamic write path: every image file call
// that an allocation, a plain write, a write of zeros or a release makes is
// failed in turn, or the system "stops" there, and the image must still open
// from disk with every block but the targeted one as before, the targeted one
// either as before or as asked, and the open record reading what the disk
// holds.
#include <cstdio>

#include "engine_fixture.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlockSize = 4 * kKiB;
constexpr uint32_t kBlocks = 8;

enum class Payload { Data, Zeros, Absent };

struct Scenario {
  const char *name;
  std::vector<uint32_t> placement;  // blocks in file order before the operation
  uint32_t target;
  uint32_t offsetInBlock;
  uint32_t length;
  Payload payload;
};

const Scenario kScenarios[] = {
    {"allocation", {0, 2, 3}, 5, 1000, 700, Payload::Data},
    {"allocation of a whole block", {1}, 0, 0, kBlockSize, Payload::Data},
    {"plain write", {0, 1, 2}, 1, 512, 1024, Payload::Data},
    {"zeros keeping the block", {0, 1, 2}, 1, 0, kBlockSize / 2, Payload::Zeros},
    {"release moving a higher index", {0, 1, 2, 3}, 1, 0, kBlockSize, Payload::Zeros},
    {"release moving a lower index", {3, 1, 2, 0}, 1, 0, kBlockSize, Payload::Zeros},
    {"release of the last block", {0, 1, 2}, 2, 0, kBlockSize, Payload::Zeros},
    {"release by absent data", {4, 6, 7}, 4, 0, kBlockSize, Payload::Absent},
};

const host::FileCall kCalls[] = {host::FileCall::Read, host::FileCall::Write,
                                 host::FileCall::SetInformation, host::FileCall::Control};

const char *CallName(host::FileCall call) {
  switch (call) {
    case host::FileCall::Read: return "read";
    case host::FileCall::Write: return "write";
    case host::FileCall::SetInformation: return "set-information";
    default: return "control";
  }
}

class EngineCrashSafetyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    template_ = File("template.vhd");
  }

  NTSTATUS Run(const Scenario &s) {
    uint64_t offset = uint64_t(s.target) * kBlockSize + s.offsetInBlock;
    switch (s.payload) {
      case Payload::Data:
        return Write(offset, PatternBytes(s.length, 4242)).status;
      case Payload::Zeros:
        return Write(offset, Bytes(s.length, 0)).status;
      default: {
        ULONG sector = 0;
        IO_STATUS_BLOCK ioStatus{};
        return ZeroBlockRange(image_.Get(), nullptr, s.length, s.target, s.offsetInBlock,
                              &sector, &ioStatus);
      }
    }
  }

  Bytes Expected(const Scenario &s, const Bytes &before) {
    Bytes after = before;
    uint64_t offset = uint64_t(s.target) * kBlockSize + s.offsetInBlock;
    Splice(&after, offset,
           s.payload == Payload::Data ? PatternBytes(s.length, 4242) : Bytes(s.length, 0));
    return after;
  }

  void Restore() {
    image_.Close();
    WriteFileBytes(path_, ReadFileBytes(template_));
  }

  // Every block but the target as before; the target as before or as asked
  // (any content when the fault let a write land in part).
  void ExpectBlocks(const Bytes &disk, const Bytes &before, const Bytes &after, uint32_t target,
                    bool targetAtomic, const char *when) {
    for (uint32_t index = 0; index < kBlocks; ++index) {
      Bytes block = Slice(disk, uint64_t(index) * kBlockSize, kBlockSize);
      Bytes old = Slice(before, uint64_t(index) * kBlockSize, kBlockSize);
      if (index != target) {
        EXPECT_TRUE(block == old) << when << ": block " << index << " changed";
      } else if (targetAtomic) {
        EXPECT_TRUE(block == old || block == Slice(after, uint64_t(index) * kBlockSize, kBlockSize))
            << when << ": the targeted block is neither as before nor as written";
      }
    }
  }

  // The operation with the nth call of one kind meeting the fault.
  void RunWithFault(const Scenario &s, host::FileCall call, uint64_t nth, host::FileFault fault,
                    bool targetAtomic, const Bytes &before, const Bytes &after) {
    Restore();
    OpenImage();
    host::InjectFileFault(call, nth, fault, "/disk.vhd");
    NTSTATUS status = Run(s);
    EXPECT_FALSE(NT_SUCCESS(status)) << "the operation reported success";
    ExpectPoolSettled();

    // Reads of the record still open (after a crash too: reads change
    // nothing and still reach the file).
    Bytes live = ReadDiskThroughEngine(image_.Get());
    ExpectBlocks(live, before, after, s.target, targetAtomic, "still open");
    host::ClearFaults();
    image_.Close();
    EXPECT_EQ(poolBaseline_, host::OutstandingAllocations());

    // The image as the disk holds it.
    ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_)) << "the image no longer opens";
    poolOpen_ = host::OutstandingAllocations();
    Bytes reopened = ReadDiskThroughEngine(image_.Get());
    EXPECT_TRUE(live == reopened) << "the open record read other data than the disk holds";
    EXPECT_TRUE(reopened == ReadDiskFromFile(path_));
    ExpectBlocks(reopened, before, after, s.target, targetAtomic, "reopened");

    // And it takes the operation again.
    ASSERT_EQ(STATUS_SUCCESS, Run(s));
    EXPECT_TRUE(after == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
    ASSERT_EQ(STATUS_SUCCESS, image_.Open(path_));
    EXPECT_TRUE(after == ReadDiskThroughEngine(image_.Get()));
    image_.Close();
  }

  std::string template_;
};

TEST_F(EngineCrashSafetyTest, EveryFileCallFailsOrStopsInTurn) {
  for (const Scenario &s : kScenarios) {
    SCOPED_TRACE(s.name);
    Bytes before = MakeFilledDynamicImage(template_, uint64_t(kBlocks) * kBlockSize, kBlockSize,
                                          s.placement);
    Bytes after = Expected(s, before);

    // The calls of the operation when nothing fails.
    Restore();
    OpenImage();
    host::ResetFileCallCounts();
    ASSERT_EQ(STATUS_SUCCESS, Run(s));
    uint64_t counts[4];
    uint64_t total = 0;
    for (host::FileCall call : kCalls) {
      counts[int(call)] = host::FileCallCount(call, "/disk.vhd");
      total += counts[int(call)];
    }
    ASSERT_GT(total, 0u);
    EXPECT_TRUE(after == ReadDiskThroughEngine(image_.Get()));

    for (host::FileCall call : kCalls) {
      for (uint64_t nth = 1; nth <= counts[int(call)]; ++nth) {
        SCOPED_TRACE(std::string(CallName(call)) + " " + std::to_string(nth));
        {
          SCOPED_TRACE("fails");
          RunWithFault(s, call, nth, host::FileFault::Fail(STATUS_IO_DEVICE_ERROR), true, before,
                       after);
        }
        {
          SCOPED_TRACE("system stops");
          RunWithFault(s, call, nth, host::FileFault::Crash(), true, before, after);
        }
        if (call == host::FileCall::Write) {
          // A torn write: part of the bytes reach the file and the count
          // says so.
          SCOPED_TRACE("short by one byte");
          RunWithFault(s, call, nth, host::FileFault::ShortBy(1), false, before, after);
        }
      }
    }
    std::remove(template_.c_str());
  }
}

// After a failure the record keeps matching the file: later operations on
// the same record build on what the disk holds, never on a state that a
// failed write only pretended.
TEST_F(EngineCrashSafetyTest, TheOpenRecordFollowsTheDiskAfterFailures) {
  Bytes disk = MakeFilledDynamicImage(template_, uint64_t(kBlocks) * kBlockSize, kBlockSize,
                                      {0, 1, 2, 3});
  Restore();
  OpenImage();
  // A release whose cut fails: the footer already stands in front of the last
  // span, the file keeps its length and the record its file end.
  int64_t fileEnd = image_->FileEnd;
  host::InjectFileFault(host::FileCall::SetInformation, 1,
                        host::FileFault::Fail(STATUS_IO_DEVICE_ERROR), "/disk.vhd");
  EXPECT_EQ(STATUS_IO_DEVICE_ERROR, Write(kBlockSize, Bytes(kBlockSize, 0)).status);
  host::ClearFaults();
  Splice(&disk, kBlockSize, Bytes(kBlockSize, 0));
  EXPECT_EQ(fileEnd, image_->FileEnd);
  EXPECT_EQ(uint64_t(fileEnd), FileSize(path_));

  // Then allocations and releases go on from there, and every state opens.
  for (uint32_t index : {5u, 6u}) {
    Bytes data = PatternBytes(kBlockSize, index);
    ASSERT_EQ(STATUS_SUCCESS, Write(uint64_t(index) * kBlockSize, data).status);
    Splice(&disk, uint64_t(index) * kBlockSize, data);
  }
  for (uint32_t index : {0u, 6u, 3u}) {
    ASSERT_EQ(STATUS_SUCCESS, Write(uint64_t(index) * kBlockSize, Bytes(kBlockSize, 0)).status);
    Splice(&disk, uint64_t(index) * kBlockSize, Bytes(kBlockSize, 0));
  }
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
  image_.Close();
  OpenImage();
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
  EXPECT_TRUE(disk == ReadDiskFromFile(path_));
  ExpectPoolSettled();
}

}  // namespace
}  // namespace dorvane::test
