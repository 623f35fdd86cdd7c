// Failure and crash safety of transfers. Every file call that a transfer
// makes (allocation, plain write, zeros, release, read; dynamic and
// differencing) fails in turn, is cut short, or the system stops there, and so
// does each pool allocation. The transfer must then fail (a failing parent
// read or pool allocation may instead be worked around), count only bytes it
// did, leave every byte outside its range as it was and its range old or new,
// keep the record's file end in step with the file; and the image must open
// from the file alone, read what the record read and take the transfer again.
#include <functional>

#include "engine_fixture.h"
#include "host/testing/host_testing.h"

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = kChainBlock;
using host::FileFault;
enum Payload { kData, kZeros, kAbsent, kRead };

struct Scenario {
  const char *name;
  bool differencing;             // a child made by MakeChain
  std::vector<uint32_t> blocks;  // in file order; in a child, holding sectors 0, 1 and 7
  uint64_t offset, length;
  Payload payload;
  bool atomic;  // a failed transfer leaves its range all old or all new
} const kScenarios[] = {
    /* 0 */ {"allocation", false, {0, 2, 3}, 5 * kBlock + 1000, 700, kData, true},
    /* 1 */ {"write into an allocated block", false, {0, 1, 2}, kBlock + 512, 1024, kData, true},
    /* 2 */ {"zeros keeping the block", false, {0, 1, 2}, kBlock, kBlock / 2, kZeros, true},
    /* 3 */ {"release moving a higher index", false, {0, 1, 2, 3}, kBlock, kBlock, kZeros, true},
    /* 4 */ {"release moving a lower index", false, {3, 1, 2, 0}, kBlock, kBlock, kZeros, true},
    /* 5 */ {"release of the last block", false, {0, 1, 2}, 2 * kBlock, kBlock, kZeros, true},
    /* 6 */ {"release by absent data", false, {4, 6, 7}, 4 * kBlock, kBlock, kAbsent, true},
    /* 7 */ {"read across three blocks", false, {0, 1, 2}, kBlock - 100, kBlock + 200, kRead, true},
    /* 8 */ {"child allocation, partial sectors", true, {}, 2 * kBlock + 700, 1000, kData, true},
    /* 9 */ {"child zeros over parent data", true, {}, kBlock, kBlock, kZeros, true},
    /* 10 */ {"child write of three blocks", true, {3}, 2 * kBlock + 700, 2 * kBlock, kData, false},
};

const struct Target {
  host::FileCall call;
  const char *file;
} kTargets[] = {{host::FileCall::Read, "/disk.vhd"}, {host::FileCall::Write, "/disk.vhd"},
                {host::FileCall::SetInformation, "/disk.vhd"}, {host::FileCall::Read, "/base.vhd"}};
constexpr uint64_t kPoolFaults = 10;

class EngineCrashSafetyTest : public EngineTest {
 protected:
  static Bytes Data(const Scenario &s) {
    return s.payload == kData ? PatternBytes(s.length, 42) : Bytes(s.length, 0);
  }

  void Prepare(const Scenario &s) {
    if (s.differencing) {
      MakeChain();
      for (uint32_t index : s.blocks) {
        PlaceChildBlock(index, PatternBytes(kBlock, index), {0, 1, 7});
      }
    } else {
      MakeDynamic(16 * kBlock, kBlock, s.blocks);
    }
    template_ = ReadFileBytes(path_);
    after_ = disk_;
    Splice(&after_, s.offset, s.payload == kRead ? Slice(disk_, s.offset, s.length) : Data(s));
  }

  NTSTATUS Run(const Scenario &s) {
    moved_ = 0;
    if (s.payload == kAbsent) {
      return WriteAbsent(s.offset, s.length);
    }
    Bytes data = Data(s);
    NTSTATUS status = s.payload == kRead ? image_.Read(s.offset, data.data(), s.length, &moved_)
                                         : image_.Write(s.offset, data.data(), s.length, &moved_);
    EXPECT_EQ(NT_SUCCESS(status), moved_ == s.length) << "counted " << moved_;
    Bytes read(s.length, 0);
    Splice(&read, 0, Slice(disk_, s.offset, moved_));
    EXPECT_TRUE(s.payload != kRead || read == data) << "a read gives its count's bytes, then zeros";
    return status;
  }

  // Each byte as before or as written, the counted ones as written; the range
  // all one or the other.
  void ExpectOldOrNew(const Bytes &now, const Scenario &s, bool atomic) {
    Bytes range = Slice(now, s.offset, s.length);
    EXPECT_TRUE(!atomic || range == Slice(disk_, s.offset, s.length) ||
                range == Slice(after_, s.offset, s.length))
        << "the range is neither all old nor all new";
    EXPECT_TRUE(Slice(now, s.offset, moved_) == Slice(after_, s.offset, moved_)) << "counted bytes";
    for (uint64_t i = 0; i < now.size(); ++i) {
      if (now[i] != disk_[i] && now[i] != after_[i]) {
        ADD_FAILURE() << "byte " << i << " reads " << int(now[i]) << ", before " << int(disk_[i])
                      << ", written " << int(after_[i]);
        return;
      }
    }
  }

  void RunWithFault(const Scenario &s, const std::function<void()> &inject, bool mayPass,
                    bool crash, bool atomic) {
    image_.Close();
    WriteFileBytes(path_, template_);
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    inject();
    NTSTATUS status = Run(s);
    host::ClearFaults();
    host::FailAllocation(0);
    ExpectPoolSettled();
    if (NT_SUCCESS(status)) {
      EXPECT_TRUE(mayPass) << "the transfer reported success";
      ExpectDisk(after_, "a transfer that worked around the fault");
      return;
    }
    Bytes live = ReadDiskThroughEngine(image_.Get());
    ExpectOldOrNew(live, s, atomic);
    EXPECT_TRUE(crash || image_->FileEnd == int64_t(FileSize(path_))) << "the record's file end";
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    EXPECT_TRUE(live == ReadDiskThroughEngine(image_.Get())) << "the record and the file differ";
    ASSERT_EQ(STATUS_SUCCESS, Run(s)) << "the transfer again";
    ExpectDisk(after_, "the transfer again");
  }

  Bytes template_;
  Bytes after_;
  uint32_t moved_ = 0;
};

TEST_F(EngineCrashSafetyTest, EveryStepFailsOrStopsInTurn) {
  for (const Scenario &s : kScenarios) {
    SCOPED_TRACE(s.name);
    ASSERT_NO_FATAL_FAILURE(Prepare(s));
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    host::ResetFileCallCounts();
    ASSERT_EQ(STATUS_SUCCESS, Run(s));
    uint64_t counts[std::size(kTargets)];
    for (size_t t = 0; t < std::size(kTargets); ++t) {
      counts[t] = host::FileCallCount(kTargets[t].call, kTargets[t].file);
    }
    for (size_t t = 0; t < std::size(kTargets); ++t) {
      const Target &target = kTargets[t];
      bool parent = std::string(target.file) == "/base.vhd";
      for (uint64_t nth = 1; nth <= counts[t]; ++nth) {
        SCOPED_TRACE("call " + std::to_string(int(target.call)) + " #" + std::to_string(nth) +
                     " on " + target.file);
        auto inject = [&](FileFault fault) {
          return [=] { host::InjectFileFault(target.call, nth, fault, target.file); };
        };
        RunWithFault(s, inject(FileFault::Fail(STATUS_IO_DEVICE_ERROR)), parent, false, s.atomic);
        RunWithFault(s, inject(FileFault::Crash()), parent, true, s.atomic);
        if (target.call != host::FileCall::SetInformation) {
          RunWithFault(s, inject(FileFault::ShortBy(1)), parent, false, false);
        }
      }
    }
    for (uint64_t nth = 1; nth <= kPoolFaults; ++nth) {
      SCOPED_TRACE("pool allocation #" + std::to_string(nth));
      RunWithFault(s, [nth] { host::FailAllocation(nth); }, true, false, s.atomic);
    }
  }
}

}  // namespace
}  // namespace dorvane::test
