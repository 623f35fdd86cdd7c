// Merging a differencing image into its parent chain: the outcomes of one or
// two requests by ParentLevels and BlockLimit, what the chain reads
// afterwards, where the child's file ends and the deletion mark; blocks
// without present sectors, writes through a merge-through image, a parent
// that another handle shares, and locator data behind the blocks.
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "host/testing/host_testing.h"
#include "merge_fixture.h"

namespace dorvane::test {
namespace {

const ChainShape kChain = {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 64 * kKiB};
constexpr ULONG kAll = 1000;

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

ULONG Allocated(const IMAGE_CONTEXT *image) {
  ULONG count = 0;
  for (ULONG i = 0; i < image->BatEntries; ++i) count += IsBatEntryAllocated(image->Bat[i]);
  return count;
}

struct Outcome {
  const char *name;
  ULONG levels[2], limits[2];  // a second request when limits[1] is not 0
  NTSTATUS status;
  int merged;  // by both requests; -1: every block
  char receiver;  // 'm' middle, 'b' base (the middle does not grow), 0 unchanged parents
};

const Outcome kOutcomes[] = {
    {"levels 0 merges nothing", {0}, {5}, STATUS_SUCCESS, 0, 0},
    {"one block", {1}, {1}, STATUS_SUCCESS, 1, 0},
    {"limit 0 only enables", {1}, {0}, STATUS_SUCCESS, 0, 0},
    {"limit beyond the blocks", {1}, {kAll}, STATUS_SUCCESS, -1, 'm'},
    {"two levels", {2}, {kAll}, STATUS_SUCCESS, -1, 'b'},
    {"levels raised", {1, 2}, {1, kAll}, STATUS_SUCCESS, -1, 'b'},
    {"levels lowered", {2, 1}, {1, kAll}, STATUS_SUCCESS, -1, 'b'},
    {"a third level is not differencing", {3}, {kAll}, STATUS_INVALID_DEVICE_REQUEST, 0, 0},
};

TEST_F(MergeTest, OutcomesByLevelsAndLimit) {
  for (const Outcome &o : kOutcomes) {
    SCOPED_TRACE(o.name);
    BuildChain(kChain);
    OpenImage();
    ULONG before = Allocated(image_.Get());
    Bytes middleFile = ReadFileBytes(middle_);
    MergeResult r = Merge(o.levels[0], o.limits[0]);
    ULONG merged = r.merged;
    if (o.limits[1] != 0) {
      middleFile = ReadFileBytes(middle_);
      r = Merge(o.levels[1], o.limits[1]);
      merged += r.merged;
    }
    ASSERT_EQ(o.status, r.status);
    ULONG expected = o.merged < 0 ? before : ULONG(o.merged);
    if (NT_SUCCESS(o.status)) {
      EXPECT_EQ(expected, merged);
      EXPECT_EQ(before - expected, r.remaining);
    }
    EXPECT_EQ(o.levels[0] > 0 && NT_SUCCESS(o.status), image_->MergeThrough != 0);
    EXPECT_TRUE(topDisk_ == ReadDiskThroughEngine(image_.Get()));
    uint64_t end = 0;
    for (ULONG i = 0; i < image_->BatEntries; ++i) {
      if (IsBatEntryAllocated(image_->Bat[i])) {
        end = std::max<uint64_t>(end, BatEntrySector(image_->Bat[i]) * 512ull +
                                          ContextBlockSpan(image_.Get()) + 512);
      }
    }
    ExpectPoolSettled();
    image_.Close();
    if (expected == 0) {
      EXPECT_TRUE(middleFile == ReadFileBytes(middle_)) << "the parent changed";
    } else if (expected < before) {
      EXPECT_EQ(end, FileSize(top_)) << "the file does not end behind the last block";
    }
    EXPECT_EQ(expected < before, Exists(top_)) << "deleted exactly when emptied";
    EXPECT_TRUE(topDisk_ == ReadImage(Exists(top_) ? top_ : middle_));
    EXPECT_TRUE(o.receiver != 'm' || baseDisk_ == ReadImage(base_)) << "the base changed";
    EXPECT_TRUE(o.receiver != 'b' || middleFile.size() >= FileSize(middle_))
        << "the middle image took data that was to pass down";
  }
}

// A block without present sectors is merged without a write to the parent;
// a write through a merge-through image moves its block into the parent and
// lands there, and the blocks left are still merged later.
TEST_F(MergeTest, EmptyBlocksAndWritesThroughTheImage) {
  BuildChain(kChain, 4);
  DynamicLayout layout = ReadLayout(top_);
  uint32_t free = 0;
  while (layout.entries[free] != VHD_BAT_UNALLOCATED) ++free;
  Bytes noSector(512, 0);
  AppendBlock(top_, free, PatternBytes(64 * kKiB, 9), &noSector);
  OpenImage();
  ULONG before = Allocated(image_.Get());
  host::ResetFileCallCounts();
  EXPECT_EQ(1u, Merge(1, 1).merged);
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Write, "/middle.vhd"));

  uint32_t block = 0;
  while (!IsBatEntryAllocated(image_->Bat[block])) ++block;
  uint64_t offset = uint64_t(block) * image_->BlockSize + 700;
  ASSERT_EQ(STATUS_SUCCESS, Write(offset, PatternBytes(3000, 77)));
  Splice(&topDisk_, offset, PatternBytes(3000, 77));
  EXPECT_FALSE(IsBatEntryAllocated(image_->Bat[block]));
  EXPECT_TRUE(topDisk_ == ReadDiskThroughEngine(image_.Get()));
  MergeResult r = Merge(1, kAll);
  EXPECT_EQ(before - 2, r.merged);
  EXPECT_EQ(0u, r.remaining);
  image_.Close();
  EXPECT_TRUE(topDisk_ == ReadImage(middle_));
}

// A request of more blocks than one walk of the table takes merges them last
// in the file first all the same: the blocks left are the lowest ones.
TEST_F(MergeTest, ManyBlocksARequestGoLastInTheFileFirst) {
  BuildChain({VHD_DISK_TYPE_DYNAMIC, 5 * kMiB, 4 * kKiB}, 200);
  OpenImage();
  std::vector<ULONG> sectors;
  for (ULONG i = 0; i < image_->BatEntries; ++i) {
    if (IsBatEntryAllocated(image_->Bat[i])) sectors.push_back(BatEntrySector(image_->Bat[i]));
  }
  const ULONG limit = 75;
  ASSERT_GT(sectors.size(), limit + 10);
  std::sort(sectors.rbegin(), sectors.rend());
  MergeResult r = Merge(1, limit);
  EXPECT_EQ(limit, r.merged);
  EXPECT_EQ(sectors.size() - limit, r.remaining);
  std::vector<ULONG> left;
  for (ULONG i = 0; i < image_->BatEntries; ++i) {
    if (IsBatEntryAllocated(image_->Bat[i])) left.push_back(BatEntrySector(image_->Bat[i]));
  }
  std::sort(left.rbegin(), left.rend());
  EXPECT_TRUE(left == std::vector<ULONG>(sectors.begin() + limit, sectors.end()));
  EXPECT_TRUE(topDisk_ == ReadDiskThroughEngine(image_.Get()));
  EXPECT_EQ(0u, Merge(1, kAll).remaining);
  image_.Close();
  EXPECT_TRUE(topDisk_ == ReadImage(middle_));
}

// A parent that another handle shares is not reopened for writing (the file
// system's sharing violation); a later request reopens it.
TEST_F(MergeTest, ASharedParentIsReopenedOnlyOnceFree) {
  BuildChain(kChain, 4);
  OpenImage();
  {
    OpenedImage other;
    ASSERT_EQ(STATUS_SUCCESS, other.Open(middle_, GENERIC_READ));
    EXPECT_EQ(STATUS_SHARING_VIOLATION, Merge(1, 1).status);
    EXPECT_FALSE(image_->MergeThrough);
  }
  EXPECT_EQ(0u, Merge(1, kAll).remaining);
  image_.Close();
  EXPECT_FALSE(Exists(top_));
  EXPECT_TRUE(topDisk_ == ReadImage(middle_));
}

// Locator data that lies behind a block, as a tool that gives an image a new
// parent path writes it, is the image's own: the cut after a merge stops
// behind it, however far below it the blocks left end, and the image still
// finds its parent.
TEST_F(MergeTest, TheCutAfterAMergeStopsBehindLocatorData) {
  MakeChain();
  OpenImage();
  Bytes first = PatternBytes(kChainBlock, 1), last = PatternBytes(kChainBlock, 2);
  ASSERT_EQ(STATUS_SUCCESS, Write(0, first));
  image_.Close();
  ClearLocators(path_);
  SetLocator(path_, 0, "W2ru", u".\\base.vhd");
  LocatorEntry locator = ReadLocator(path_, 0);
  OpenImage();
  ASSERT_EQ(STATUS_SUCCESS, Write(3 * kChainBlock, last));
  Splice(&disk_, 0, first);
  Splice(&disk_, 3 * kChainBlock, last);

  MergeResult r = Merge(1, 1);
  ASSERT_EQ(STATUS_SUCCESS, r.status);
  EXPECT_EQ(1u, r.merged);
  EXPECT_EQ(1u, r.remaining);
  image_.Close();
  EXPECT_EQ(locator.offset + locator.space + 512, FileSize(path_));
  EXPECT_TRUE(ReadLocator(path_, 0).path == u".\\base.vhd") << "the locator data was overwritten";
  OpenImage();
  EXPECT_TRUE(disk_ == ReadDiskThroughEngine(image_.Get()));
}

// Images of one chain may have blocks of other sizes: a middle image's block
// twice as wide as the top's that lies under a merged top block moves down
// whole, before the top's data, both when merged and when written through.
TEST_F(MergeTest, AWiderBlockBelowMovesWhole) {
  MakeDynamicImage(base_, 8 * kMiB, 2 * kMiB);
  MakeDifferencingImage(middle_, base_);
  MakeDifferencingImage(top_, middle_);
  PokeBe32(top_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries), 8);
  PokeBe32(top_, kHeaderOffset + offsetof(VHD_DYNAMIC_HEADER, BlockSize), 1 * kMiB);
  RefreshHeaderChecksum(top_);
  Bytes disk(8 * kMiB, 0);
  for (const auto &[path, offset, length, seed] :
       {std::tuple{middle_, 0ull, 4 * kMiB, 1}, {top_, 0ull, 1 * kMiB, 2}}) {
    OpenedImage image;
    ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
    Bytes data = PatternBytes(length, seed);
    ASSERT_EQ(STATUS_SUCCESS, image.Write(offset, data.data(), uint32_t(data.size())));
    Splice(&disk, offset, data);
  }
  OpenImage();
  ASSERT_EQ(STATUS_SUCCESS, Merge(2, 0).status);
  // Into the middle image's second block, under the top's block 2.
  ASSERT_EQ(STATUS_SUCCESS, Write(2 * kMiB + 700, PatternBytes(3000, 3)));
  Splice(&disk, 2 * kMiB + 700, PatternBytes(3000, 3));
  EXPECT_TRUE(disk == ReadDiskThroughEngine(image_.Get()));
  EXPECT_EQ(0u, Merge(2, kAll).remaining);
  image_.Close();
  EXPECT_TRUE(disk == ReadImage(middle_));
  EXPECT_TRUE(disk == ReadImage(base_));
}

}  // namespace
}  // namespace dorvane::test
