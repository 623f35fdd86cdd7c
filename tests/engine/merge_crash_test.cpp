// Failure and crash safety of the merge and of zeroing: every file call of a
// merge (into a dynamic parent; through a differencing parent into a fixed
// one) or of a zeroing across blocks is failed in turn, or the system stops
// there. Afterwards the chain opens and reads the same virtual disk and a
// repeated merge finishes with the right data; a zeroing leaves each block
// as it was or zeroed, in an image that is compact at once after a failed
// call and after the next zeroing after a stop.
#include <unistd.h>

#include "host/testing/host_testing.h"
#include "merge_fixture.h"

namespace dorvane::test {
namespace {

struct Scenario {
  const char *name;
  ChainShape shape;
  ULONG levels;  // merge the middle (1) or the top (2) image; 0: zero a range of the base
};

const Scenario kScenarios[] = {
    {"into a dynamic parent", {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 64 * kKiB}, 1},
    {"through a differencing parent into a fixed one", {VHD_DISK_TYPE_FIXED, 6 * kMiB, 0}, 2},
    {"zeroing blocks", {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 64 * kKiB}, 0},
};

constexpr LONGLONG kZeroStart = 100 * kKiB, kZeroLength = 700 * kKiB;

class MergeCrashTest : public MergeTest {
 protected:
  NTSTATUS Run(const Scenario &s, const std::string &target) {
    if (access(target.c_str(), F_OK) != 0) return STATUS_SUCCESS;
    OpenedImage image;
    NTSTATUS status = image.Open(target);
    ULONG merged, remaining;
    if (NT_SUCCESS(status)) {
      status = s.levels == 0 ? ZeroDiskRange(image.Get(), &kZeroStart, &kZeroLength)
                             : MergeToParent(image.Get(), s.levels, 1000, &merged, &remaining);
    }
    host::ClearFaults();
    return status;
  }
};

TEST_F(MergeCrashTest, EveryFileCallFailsOrStopsInTurn) {
  for (const Scenario &s : kScenarios) {
    SCOPED_TRACE(s.name);
    BuildChain(s.shape, 8);
    std::vector<std::pair<std::string, Bytes>> saved;
    for (const std::string &path : {base_, middle_, top_}) saved.emplace_back(path, ReadFileBytes(path));
    const std::string &target = s.levels == 1 ? middle_ : s.levels == 2 ? top_ : base_;
    Bytes expected = s.levels == 1 ? middleDisk_ : s.levels == 2 ? topDisk_ : baseDisk_;
    if (s.levels == 0) std::fill(expected.begin() + kZeroStart, expected.begin() + kZeroStart + kZeroLength, 0);
    host::ResetFileCallCounts();
    ASSERT_EQ(STATUS_SUCCESS, Run(s, target));
    const host::FileCall calls[] = {host::FileCall::Read, host::FileCall::Write,
                                    host::FileCall::SetInformation, host::FileCall::Control,
                                    host::FileCall::Flush};
    uint64_t counts[5];
    for (host::FileCall call : calls) counts[int(call)] = host::FileCallCount(call);

    for (host::FileCall call : calls) {
      for (uint64_t nth = 1; nth <= counts[int(call)]; ++nth) {
        for (bool crash : {false, true}) {
          SCOPED_TRACE("call kind " + std::to_string(int(call)) + " #" + std::to_string(nth) +
                       (crash ? " stops" : " fails"));
          for (const auto &file : saved) WriteFileBytes(file.first, file.second);
          host::InjectFileFault(call, nth, crash ? host::FileFault::Crash()
                                                 : host::FileFault::Fail(STATUS_IO_DEVICE_ERROR));
          Run(s, target);
          if (s.levels != 0 && access(target.c_str(), F_OK) == 0) {
            EXPECT_TRUE(expected == ReadImage(target)) << "the chain reads another disk";
          }
          if (s.levels == 0) {
            Bytes disk = ReadImage(base_);
            for (uint64_t at = 0; at < disk.size(); at += s.shape.blockSize) {
              Bytes now = Slice(disk, at, s.shape.blockSize);
              EXPECT_TRUE(now == Slice(baseDisk_, at, s.shape.blockSize) ||
                          now == Slice(expected, at, s.shape.blockSize))
                  << "the block at " << at << " is neither as before nor zeroed";
            }
            EXPECT_TRUE(crash || CheckCompact(base_).empty()) << CheckCompact(base_);
          }
          ASSERT_EQ(STATUS_SUCCESS, Run(s, target)) << "a repeated run fails";
          EXPECT_TRUE(expected == ReadImage(s.levels == 2 ? middle_ : base_));
          EXPECT_TRUE(s.levels != 0 || CheckCompact(base_).empty()) << CheckCompact(base_);
        }
      }
    }
  }
}

}  // namespace
}  // namespace dorvane::test
