// Failure and crash safety of the merge and of zeroing: every file call that
// a merge (into a dynamic parent; through a differencing parent into a fixed
// one) or a multi-block zeroing makes is failed in turn, or the system stops
// there. Afterwards the chain opens and reads the same virtual disk, and a
// repeated merge finishes with the right data; a zeroing leaves each block
// as it was or zeroed, in an image that is compact at once after a failed
// call and after the next zeroing after a stop.
#include <unistd.h>

#include "merge_fixture.h"

namespace dorvane::test {
namespace {

const host::FileCall kCalls[] = {host::FileCall::Read, host::FileCall::Write,
                                 host::FileCall::SetInformation, host::FileCall::Control,
                                 host::FileCall::Flush};

struct Scenario {
  const char *name;
  ChainShape shape;
  ULONG levels;  // 0: zero a range of the dynamic base instead of merging
};

const Scenario kScenarios[] = {
    {"into a dynamic parent", {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 64 * kKiB}, 1},
    {"through a differencing parent into a fixed one", {VHD_DISK_TYPE_FIXED, 6 * kMiB, 0}, 2},
    {"zeroing blocks", {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 64 * kKiB}, 0},
};

constexpr LONGLONG kZeroStart = 100 * kKiB, kZeroLength = 700 * kKiB;

class MergeCrashTest : public MergeTest {
 protected:
  // The image the operation works on: with one level the middle image is
  // merged into the base, with two the top through the middle.
  std::string Target(const Scenario &s) { return s.levels == 1 ? middle_ : s.levels == 2 ? top_ : base_; }
  const Bytes &Expected(const Scenario &s) {
    return s.levels == 1 ? middleDisk_ : s.levels == 2 ? topDisk_ : baseDisk_;
  }

  NTSTATUS Run(const Scenario &s) {
    if (s.levels == 0) {
      return ZeroDiskRange(image_.Get(), &kZeroStart, &kZeroLength);
    }
    ULONG merged, remaining;
    return MergeToParent(image_.Get(), s.levels, 1000, &merged, &remaining);
  }

  void Restore() {
    image_.Close();
    for (const auto &file : saved_) WriteFileBytes(file.first, file.second);
  }

  // After a failed or stopped run: what the chain reads, then a run that
  // completes.
  void Check(const Scenario &s, const Bytes &zeroed, bool crash) {
    image_.Close();
    if (s.levels == 0) {
      Bytes disk = ReadImage(base_);
      for (uint64_t block = 0; block < disk.size() / s.shape.blockSize; ++block) {
        Bytes now = Slice(disk, block * s.shape.blockSize, s.shape.blockSize);
        EXPECT_TRUE(now == Slice(baseDisk_, block * s.shape.blockSize, s.shape.blockSize) ||
                    now == Slice(zeroed, block * s.shape.blockSize, s.shape.blockSize))
            << "block " << block << " is neither as before nor zeroed";
      }
      // A stop inside a release may leave a span unnamed until the next
      // zeroing gives it back; a failed call is followed by that at once.
      if (!crash) {
        EXPECT_EQ("", CheckCompact(base_));
      }
    } else if (access(Target(s).c_str(), F_OK) == 0) {
      EXPECT_TRUE(Expected(s) == ReadImage(Target(s))) << "the chain reads another disk";
    }
    if (access(Target(s).c_str(), F_OK) == 0) {
      ASSERT_EQ(STATUS_SUCCESS, image_.Open(Target(s)));
      ASSERT_EQ(STATUS_SUCCESS, Run(s)) << "a repeated run fails";
      image_.Close();
    }
    EXPECT_TRUE((s.levels == 0 ? zeroed : Expected(s)) == ReadImage(base_));
    if (s.levels == 0) {
      EXPECT_EQ("", CheckCompact(base_));
    }
  }

  std::vector<std::pair<std::string, Bytes>> saved_;
};

TEST_F(MergeCrashTest, EveryFileCallFailsOrStopsInTurn) {
  for (const Scenario &s : kScenarios) {
    SCOPED_TRACE(s.name);
    BuildChain(s.shape, 12);
    saved_.clear();
    for (const std::string &path : {base_, middle_, top_}) saved_.emplace_back(path, ReadFileBytes(path));
    Bytes zeroed = baseDisk_;
    std::fill(zeroed.begin() + kZeroStart, zeroed.begin() + kZeroStart + kZeroLength, 0);

    ASSERT_EQ(STATUS_SUCCESS, image_.Open(Target(s)));
    host::ResetFileCallCounts();
    ASSERT_EQ(STATUS_SUCCESS, Run(s));
    uint64_t counts[5];
    for (host::FileCall call : kCalls) counts[int(call)] = host::FileCallCount(call);

    for (host::FileCall call : kCalls) {
      for (uint64_t nth = 1; nth <= counts[int(call)]; ++nth) {
        for (bool crash : {false, true}) {
          SCOPED_TRACE("call kind " + std::to_string(int(call)) + " #" + std::to_string(nth) +
                       (crash ? " stops" : " fails"));
          Restore();
          ASSERT_EQ(STATUS_SUCCESS, image_.Open(Target(s)));
          host::InjectFileFault(call, nth, crash ? host::FileFault::Crash()
                                                 : host::FileFault::Fail(STATUS_IO_DEVICE_ERROR));
          Run(s);
          host::ClearFaults();
          ASSERT_NO_FATAL_FAILURE(Check(s, zeroed, crash));
        }
      }
    }
    Restore();
  }
}

}  // namespace
}  // namespace dorvane::test
