// Power loss during the block engine's work: steps on a dynamic image
// (allocation, plain writes, releases moving a block and of the last block,
// growth of the table, an allocation after it), blocks appended one after
// another with no flush before their entries and one appended where a
// release cut the file (the same on a FAT volume, where none goes without
// a flush), on a differencing child (writes with partial sectors
// into new and allocated blocks) and a merge into a dynamic parent, most
// followed by a flush of the chain. A run cuts
// the power at a random file call of a random step, the disk keeping a random
// subset of the unflushed writes. Afterwards the image opens, or it was
// refused only for records a cut tears (the trailing footer, the records a
// growth writes one after another) and `dorvane check --repair` makes it
// open; every sector reads as one of the states since the last flush; a
// second check --repair changes nothing it reads.
#pragma once

#include <unistd.h>

#include <functional>
#include <numeric>
#include <random>

#include "host/testing/host_testing.h"
#include "merge_fixture.h"
#include "tools/image_files/image_file.h"
#include "tools/tool_test_support.h"

namespace dorvane::test {

struct CutStep {
  enum Kind { kWrite, kZero, kGrow, kMerge } kind;
  uint64_t offset, length;  // kGrow: length is the new size; kMerge: the block limit
  bool flush = true;        // the chain flushed after it
};
// kAppendStepsOnFat: the append steps on a volume that reports itself as
// FAT32 and shows a deleted file's bytes where a cut kept a file's growth
// but not the writes into it.
enum CutScenario {
  kDynamicSteps, kDifferencingSteps, kMergeSteps, kAppendSteps, kAppendStepsOnFat
};

class PowerLossCampaign : public MergeTest {
 protected:
  void RunCampaign(CutScenario scenario, int cuts, uint64_t seed) {
    const uint64_t B = kChainBlock;
    std::vector<CutStep> steps;
    if (scenario == kDynamicSteps) {
      MakeDynamic(16 * B, B, {0, 1, 2, 3});
      // The last block released and its place taken again before a flush.
      steps = {{CutStep::kWrite, 5 * B + 100, 3000}, {CutStep::kWrite, B + 512, 1024, false},
               {CutStep::kZero, B, B},  {CutStep::kZero, 3 * B, B, false},
               {CutStep::kWrite, 6 * B, B}, {CutStep::kGrow, 0, 132 * B},
               {CutStep::kWrite, 128 * B + 7, B}};
    } else if (scenario == kAppendSteps || scenario == kAppendStepsOnFat) {
      MakeDynamic(16 * B, B, {0, 1});
      // A volume known to give zeros whatever the test's folder lies on, or
      // one that does not.
      host::ReportFileSystemName(scenario == kAppendSteps ? u"NTFS" : u"FAT32");
      if (scenario == kAppendStepsOnFat) grownSpace_ = host::UnwrittenSpace::Stale;
      // The first block since the open waits for a flush; those behind it
      // lie in fresh space and do not, three of them in one request. A
      // release then moves the last block, full of data, and cuts the file:
      // the block appended where it stood must wait for a flush again, and
      // the cuts of the last step find it unflushed.
      steps = {{CutStep::kWrite, 4 * B + 100, 3000}, {CutStep::kWrite, 5 * B, 3 * B, false},
               {CutStep::kZero, 0, B, false}, {CutStep::kWrite, 9 * B, B, false},
               {CutStep::kWrite, 10 * B + 7, 1000}};
    } else if (scenario == kDifferencingSteps) {
      MakeChain();
      steps = {{CutStep::kWrite, 2 * B + 700, 1000}, {CutStep::kWrite, 2 * B + 3000, 600, false},
               {CutStep::kWrite, 4 * B + 300, 2 * B}};
    } else {
      BuildChain({VHD_DISK_TYPE_DYNAMIC, 256 * kKiB, 16 * kKiB}, 12);
      path_ = middle_;
      disk_ = middleDisk_;
      steps = {{CutStep::kMerge, 0, 2}, {CutStep::kMerge, 0, 1000}};
    }
    std::vector<std::pair<std::string, Bytes>> files;
    for (const char *name : {"disk.vhd", "base.vhd", "middle.vhd", "top.vhd"}) {
      if (access(File(name).c_str(), F_OK) == 0) files.emplace_back(File(name), ReadFileBytes(File(name)));
    }
    std::vector<Bytes> states = {disk_};
    for (const CutStep &step : steps) states.push_back(Apply(step, states.back()));
    // Mutating calls of each step, and of each kind, in a run without a cut.
    std::vector<std::vector<uint64_t>> calls;
    ASSERT_NO_FATAL_FAILURE(Replay(files, steps, steps.size(), &calls));

    std::mt19937_64 random(seed);
    for (int cut = 0; cut < cuts; ++cut) {
      size_t step = random() % steps.size();
      uint64_t pick = random() % std::accumulate(calls[step].begin(), calls[step].end(), 0ull);
      size_t kind = 0;
      while (pick >= calls[step][kind]) pick -= calls[step][kind++];
      SCOPED_TRACE("cut " + std::to_string(cut) + ": step " + std::to_string(step) + ", call kind " +
                   std::to_string(kind) + " #" + std::to_string(pick + 1));
      ASSERT_NO_FATAL_FAILURE(Replay(files, steps, step, nullptr));
      // Each cut starts afresh: the undo files of earlier repairs go.
      for (const char *name : {"disk.vhd", "base.vhd", "middle.vhd", "top.vhd"}) {
        std::remove((File(name) + ".repair-undo").c_str());
      }
      host::InjectFileFault(kMutating[kind], pick + 1, host::FileFault::PowerCut(random()));
      RunStep(steps[step]);
      image_.Close();
      host::ClearFaults();
      host::PowerCutReport last = host::LastPowerCut();
      stats_.pending += last.pending, stats_.kept += last.kept, stats_.torn += last.torn;
      if (image_.Open(path_) != STATUS_SUCCESS) {
        ++stats_.repaired;
        ASSERT_NO_FATAL_FAILURE(ExpectOnlyTornRecords(files));
        ToolRun run = RunTool({"check", "--repair", path_});
        ASSERT_EQ(1, run.exitCode) << run.out << run.err;
        ASSERT_NO_FATAL_FAILURE(OpenImage());
      }
      Bytes disk = ReadDiskThroughEngine(image_.Get());
      size_t flushed = step;  // the state the last flush made durable
      while (flushed > 0 && !steps[flushed - 1].flush) --flushed;
      ExpectOneOf(disk, states, flushed, step + 1);
      // A new block, where the next one goes, and the image opens again.
      Bytes more = PatternBytes(512, 11);
      ASSERT_EQ(STATUS_SUCCESS, image_.Write(disk.size() - 512, more.data(), 512));
      Splice(&disk, disk.size() - 512, more);
      ASSERT_NO_FATAL_FAILURE(OpenImage());
      ASSERT_TRUE(disk == ReadDiskThroughEngine(image_.Get())) << "a write after the cut";
      image_.Close();
      ToolRun again = RunTool({"check", "--repair", path_});
      ASSERT_NE(2, again.exitCode) << again.out;
      ASSERT_NO_FATAL_FAILURE(OpenImage());
      ASSERT_TRUE(disk == ReadDiskThroughEngine(image_.Get())) << "check --repair changed the disk";
    }
  }

  struct { uint64_t repaired = 0, pending = 0, kept = 0, torn = 0; } stats_;
  host::UnwrittenSpace grownSpace_ = host::UnwrittenSpace::Zeros;

 private:
  static constexpr host::FileCall kMutating[] = {host::FileCall::Write, host::FileCall::SetInformation,
                                                 host::FileCall::Control, host::FileCall::Flush};

  static Bytes Apply(const CutStep &step, Bytes disk) {
    if (step.kind == CutStep::kGrow) disk.resize(step.length, 0);
    if (step.kind == CutStep::kWrite) Splice(&disk, step.offset, PatternBytes(step.length, 7));
    if (step.kind == CutStep::kZero) std::fill_n(disk.begin() + long(step.offset), step.length, 0);
    return disk;
  }

  void RunStep(const CutStep &step) {
    Bytes data = PatternBytes(step.length, 7);
    LONGLONG offset = LONGLONG(step.offset), length = LONGLONG(step.length);
    ULONG merged, remaining;
    if (step.kind == CutStep::kWrite) image_.Write(step.offset, data.data(), uint32_t(data.size()));
    if (step.kind == CutStep::kZero) ZeroDiskRange(image_.Get(), &offset, &length);
    if (step.kind == CutStep::kGrow) SetDiskSize(image_.Get(), FileEndOfFileInformation, 8, &length);
    if (step.kind == CutStep::kMerge) MergeToParent(image_.Get(), 1, ULONG(length), &merged, &remaining);
    if (step.flush) FlushImageChain(image_.Get());
  }

  // Every file the open refuses breaks a rule only a torn record breaks.
  static void ExpectOnlyTornRecords(const std::vector<std::pair<std::string, Bytes>> &files) {
    for (const auto &file : files) {
      ImageFile image;
      ASSERT_EQ("", image.Open(file.first, ImageFileAccess::kCheck));
      uint64_t pool = 0;
      IMAGE_VERDICT verdict{};
      if (NT_SUCCESS(image.Judge(&pool, &verdict))) continue;
      ASSERT_TRUE(verdict.Fault == ImageFooterDamaged || verdict.Fault == ImageFooterCopyDiffers ||
                  verdict.Fault == ImageTableEntriesMismatch)
          << file.first << " refused for fault " << verdict.Fault << " (" << verdict.Value << ")";
    }
  }

  // The files as made, then steps [0, count) run and flushed; with power
  // loss armed from there on. *calls (when given) receives each step's counts.
  void Replay(const std::vector<std::pair<std::string, Bytes>> &files,
              const std::vector<CutStep> &steps, size_t count,
              std::vector<std::vector<uint64_t>> *calls) {
    image_.Close();
    for (const auto &[path, bytes] : files) WriteFileBytes(path, bytes);
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    host::ArmPowerLoss(true, grownSpace_);
    for (size_t index = 0; index < count; ++index) {
      host::ResetFileCallCounts();
      RunStep(steps[index]);
      if (calls == nullptr) continue;
      calls->emplace_back();
      for (host::FileCall call : kMutating) calls->back().push_back(host::FileCallCount(call));
    }
  }

  // Each sector as one of the disks states[first..last] has it, the size one
  // of theirs.
  static void ExpectOneOf(const Bytes &disk, const std::vector<Bytes> &states, size_t first,
                          size_t last) {
    auto any = [&](const std::function<bool(const Bytes &)> &test) {
      return std::any_of(states.begin() + long(first), states.begin() + long(last) + 1, test);
    };
    ASSERT_TRUE(any([&](const Bytes &state) { return state.size() == disk.size(); }));
    for (uint64_t at = 0; at < disk.size(); at += 512) {
      Bytes sector = Slice(disk, at, std::min<uint64_t>(512, disk.size() - at));
      ASSERT_TRUE(any([&](const Bytes &state) {
        return at < state.size() && Slice(state, at, sector.size()) == sector;
      })) << "sector at " << at << " is none of the states since the last flush";
    }
  }
};

}  // namespace dorvane::test
