// Merging a differencing image into its parent chain: the outcomes of one or
// two requests by ParentLevels and BlockLimit, what each image of the chain
// reads afterwards, where the child's file ends, and the deletion mark.
#include <sys/stat.h>

#include "merge_fixture.h"

namespace dorvane::test {
namespace {

const ChainShape kDynamicChain = {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 64 * kKiB};
constexpr ULONG kAll = 1000;

bool Exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

ULONG Allocated(const IMAGE_CONTEXT *image) {
  ULONG count = 0;
  for (ULONG i = 0; i < image->BatEntries; ++i) count += IsBatEntryAllocated(image->Bat[i]);
  return count;
}

struct Outcome {
  const char *name;
  ULONG levels, limit;
  NTSTATUS status;
  int merged;  // -1: every allocated block
  const char *receiver;  // the image that holds the top's disk afterwards, or ""
};

const Outcome kOutcomes[] = {
    {"levels 0 merges nothing", 0, 5, STATUS_SUCCESS, 0, ""},
    {"one block", 1, 1, STATUS_SUCCESS, 1, ""},
    {"limit 0 only enables", 1, 0, STATUS_SUCCESS, 0, ""},
    {"limit beyond the blocks", 1, kAll, STATUS_SUCCESS, -1, "middle"},
    {"two levels", 2, kAll, STATUS_SUCCESS, -1, "base"},
    {"a third level is not differencing", 3, kAll, STATUS_INVALID_DEVICE_REQUEST, 0, ""},
};

TEST_F(MergeTest, OutcomesByLevelsAndLimit) {
  for (const Outcome &o : kOutcomes) {
    SCOPED_TRACE(o.name);
    BuildChain(kDynamicChain);
    OpenImage();
    ULONG before = Allocated(image_.Get());
    ASSERT_GT(before, 3u);
    Bytes middleFile = ReadFileBytes(middle_);
    MergeResult r = Merge(o.levels, o.limit);
    ASSERT_EQ(o.status, r.status);
    ULONG merged = o.merged < 0 ? before : ULONG(o.merged);
    if (NT_SUCCESS(o.status)) {
      EXPECT_EQ(merged, r.merged);
      EXPECT_EQ(before - merged, r.remaining);
    }
    EXPECT_EQ(o.levels > 0 && NT_SUCCESS(o.status), image_->MergeThrough != 0);
    EXPECT_TRUE(topDisk_ == ReadDiskThroughEngine(image_.Get()));
    uint64_t highestEnd = 0;
    for (ULONG i = 0; i < image_->BatEntries; ++i) {
      if (IsBatEntryAllocated(image_->Bat[i])) {
        highestEnd = std::max<uint64_t>(highestEnd, BatEntrySector(image_->Bat[i]) * 512ull +
                                                        ContextBlockSpan(image_.Get()));
      }
    }
    ExpectPoolSettled();
    image_.Close();
    if (merged == 0) {
      EXPECT_TRUE(middleFile == ReadFileBytes(middle_)) << "the parent changed";
    } else if (merged < before) {
      EXPECT_EQ(highestEnd + 512ull, FileSize(top_)) << "the file does not end behind the last block";
    }
    EXPECT_EQ(merged < before, Exists(top_)) << "deleted only once emptied";
    if (Exists(top_)) {
      EXPECT_TRUE(topDisk_ == ReadImage(top_));
    }
    if (std::string(o.receiver) == "middle") {
      EXPECT_TRUE(topDisk_ == ReadImage(middle_));
      EXPECT_TRUE(baseDisk_ == ReadImage(base_));
    } else if (std::string(o.receiver) == "base") {
      // The middle image keeps only blocks that the top did not cover.
      EXPECT_TRUE(topDisk_ == ReadImage(middle_));
    }
  }
}

// Levels raised between requests reopen only the new level; lowered, they
// change nothing that was enabled: the data comes to rest in the base.
TEST_F(MergeTest, LevelsRaisedAndLoweredBetweenRequests) {
  BuildChain(kDynamicChain);
  Bytes baseFile = ReadFileBytes(base_);
  OpenImage();
  EXPECT_EQ(1u, Merge(1, 1).merged);
  host::ClearCreateHistory();
  EXPECT_EQ(1u, Merge(2, 1).merged);
  ASSERT_EQ(1u, host::CreateHistory().size()) << "more than the grandparent was reopened";
  EXPECT_NE(std::string::npos, host::CreateHistory()[0].hostPath.find("base.vhd"));
  EXPECT_EQ(0u, Merge(1, kAll).remaining);
  image_.Close();
  EXPECT_TRUE(topDisk_ == ReadImage(middle_));
  EXPECT_NE(ReadFileBytes(base_), baseFile) << "nothing came to rest in the base";
}

// A block without present sectors is merged without a write to the parent,
// and a write through a merge-through image moves the block and lands in the
// parent; the blocks left are still merged later.
TEST_F(MergeTest, EmptyBlocksAndWritesThroughTheImage) {
  BuildChain(kDynamicChain, 4);
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

  Bytes data = PatternBytes(3000, 77);
  uint32_t block = 0;
  while (!IsBatEntryAllocated(image_->Bat[block])) ++block;
  uint64_t offset = uint64_t(block) * image_->BlockSize + 700;
  ASSERT_EQ(STATUS_SUCCESS, image_.Write(offset, data.data(), uint32_t(data.size())));
  Splice(&topDisk_, offset, data);
  EXPECT_FALSE(IsBatEntryAllocated(image_->Bat[block]));
  EXPECT_TRUE(topDisk_ == ReadDiskThroughEngine(image_.Get()));
  MergeResult r = Merge(1, kAll);
  EXPECT_EQ(before - 2, r.merged);
  EXPECT_EQ(0u, r.remaining);
  image_.Close();
  EXPECT_TRUE(topDisk_ == ReadImage(middle_));
}

// A parent that another handle shares cannot be reopened for writing; the
// request fails with the file system's status and a later one reopens it.
TEST_F(MergeTest, ASharedParentIsReopenedOnlyOnceFree) {
  BuildChain(kDynamicChain, 4);
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

}  // namespace
}  // namespace dorvane::test
