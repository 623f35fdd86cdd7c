// Dynamic images beyond what the model test reaches: the zero test on buffers
// at any address, releases and allocations in odd files and full ones, and
// where a new block waits for a flush.
#include "engine_fixture.h"
#include "host/testing/host_testing.h"

#include <sys/statfs.h>

#include <algorithm>

namespace dorvane::test {
namespace {

constexpr uint32_t kBlock = 4 * kKiB;

using EngineDynamicTest = EngineTest;

TEST_F(EngineDynamicTest, TheZeroTestTakesWholeWordsAtAnyAddress) {
  Bytes storage(72, 0);
  for (size_t start = 0; start < 4; ++start) {
    const uint8_t *data = storage.data() + start;
    for (uint32_t length : {0u, 4u, 64u, 1u, 3u, 63u, 66u}) {
      EXPECT_EQ(length % 4 == 0, PassesZeroTest(data, length)) << start << "+" << length;
    }
    for (size_t set : {0, 1, 2, 3, 31, 60, 61, 62, 63}) {
      storage[start + set] = 0x40;
      EXPECT_FALSE(PassesZeroTest(data, 64)) << "at " << start << ", byte " << set << " set";
      storage[start + set] = 0;
    }
  }
}

// Files with bytes that no entry names in front of the footer, or with the
// footer moved, and disks that refuse the new block. Each step fills a block
// with data or zeros (a write call may find the disk full): the file must end
// where given, with the footer intact and every block kept.
TEST_F(EngineDynamicTest, OddFilesKeepEveryBlock) {
  // kLastPlace: the last sector a BAT entry can name (0xFFFFFFFF means none).
  const uint64_t kSpan = BlockSpan(kBlock), kLastPlace = 0xFFFFFFFEull * 512;
  // fullAt: the write call that finds the disk full (0: none).
  struct Step { uint32_t block; bool data; uint64_t fullAt; NTSTATUS status; uint64_t fileSize; };
  struct Case {
    std::vector<uint32_t> blocks;
    bool unnameLast;       // the last span named by no entry (its entry 0)
    uint32_t junk;         // bytes between the last span and the footer
    uint64_t footerPlace;  // where the footer is moved to (0: left)
    std::vector<Step> steps;
  } td[] = {
      // 0: the release drops the unnamed span; the freed span stays, unnamed.
      {{0, 1, 2}, true, 0, 0, {{0, false, 0, 0, 12288}, {1, false, 0, 0, 7680}}},
      // 1: the last place lies inside block 1, which a cut would destroy: block
      // 0 is only unnamed; then the footer takes block 1's place.
      {{0, 1}, false, 600, 0, {{0, false, 0, 0, 12888}, {1, false, 0, 0, 7680}}},
      // 2: a length that is no whole number of sectors: blocks start on one.
      {{0}, false, 100, 0,
       {{3, true, 0, 0, 12800}, {0, false, 0, 0, 8192}, {3, false, 0, 0, 3072}}},
      // 3: the next sector is one that no entry can name; 4: the last that can.
      {{}, false, 0, kLastPlace + 512, {{0, true, 0, STATUS_DISK_FULL, kLastPlace + 1024}}},
      {{}, false, 0, kLastPlace,
       {{0, true, 0, 0, kLastPlace + kSpan + 512}, {0, false, 0, 0, kLastPlace + 512}}},
      // 5: the footer inside the table (the file cut short).
      {{}, false, 0, kBatOffset + 512,
       {{0, true, 0, STATUS_FILE_CORRUPT_ERROR, kBatOffset + 1024}}},
      // 6: the bitmap write, then the data write find the disk full.
      {{1}, false, 0, 0,
       {{0, true, 2, STATUS_DISK_FULL, 7680}, {0, true, 3, STATUS_DISK_FULL, 7680},
        {0, true, 0, 0, 7680 + kSpan}}},
  };
  for (const Case &c : td) {
    SCOPED_TRACE("case " + std::to_string(&c - td));
    MakeDynamic(200 * kBlock, kBlock, c.blocks);
    Bytes footer = ReadFooter(path_);
    if (c.unnameLast) {
      PokeBe32(path_, kBatOffset + 4 * c.blocks.back(), 0);
      Splice(&disk_, c.blocks.back() * kBlock, Bytes(kBlock, 0));
    }
    Bytes tail = PatternBytes(c.junk, 3);
    tail.insert(tail.end(), footer.begin(), footer.end());
    TruncateFile(path_, c.footerPlace != 0 ? c.footerPlace : FileSize(path_) - 512);
    PokeFile(path_, FileSize(path_), tail);
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    for (const Step &step : c.steps) {
      SCOPED_TRACE("block " + std::to_string(step.block));
      if (step.fullAt != 0) {
        host::InjectFileFault(host::FileCall::Write, step.fullAt,
                              host::FileFault::Fail(STATUS_DISK_FULL), "/disk.vhd");
      }
      Bytes data = step.data ? PatternBytes(kBlock, step.block) : Bytes(kBlock, 0);
      EXPECT_EQ(step.status, Write(uint64_t(step.block) * kBlock, data));
      host::ClearFaults();
      if (NT_SUCCESS(step.status)) {
        Splice(&disk_, uint64_t(step.block) * kBlock, data);
      }
      EXPECT_EQ(step.fileSize, FileSize(path_));
      EXPECT_EQ(int64_t(step.fileSize), image_->FileEnd);
      EXPECT_EQ(footer, ReadFooter(path_));
      ExpectPoolSettled();
      ExpectDisk(disk_, "the disk");
    }
  }
}

// A new block's entry waits for a flush only where a power loss could bring
// older bytes back into the block: not in space the file has not held since
// the engine's last flush, where a lost append reads as zeros; always where
// a cut gave space back, which such a loss may undo; always in a
// differencing image, whose bitmap decides where each sector comes from; and
// always on a volume that may show another file's old bytes where a file
// grew (FAT), which has no such space. The power-loss campaign shows both
// sides safe; this shows where the flush goes.
TEST_F(EngineDynamicTest, ANewBlockWaitsForAFlushOnlyWhereOlderBytesCanReturn) {
  const struct Step {
    const char *what;
    uint64_t offset, length;
    bool zeros;
    int flushes, flushesOnFat;  // -1: not counted here
  } steps[] = {
      {"the first block since the open", 5 * kBlock, 100, false, 1, 1},
      {"a block behind it", 6 * kBlock + 7, 3000, false, 0, 1},
      {"two blocks in one request", 7 * kBlock, 2 * kBlock, false, 0, 2},
      {"data into an allocated block", 5 * kBlock + 200, 100, false, 0, 0},
      {"a release moving the last block", 6 * kBlock, kBlock, true, -1, -1},
      {"a block where the file was cut", 9 * kBlock, 512, false, 1, 1},
      {"a block past the end before the cut", 10 * kBlock, 512, false, 0, 1},
  };
  for (bool fat : {false, true}) {
    SCOPED_TRACE(fat ? "FAT32" : "NTFS");
    host::ReportFileSystemName(fat ? u"FAT32" : u"NTFS");
    MakeDynamic(16 * kBlock, kBlock, {0, 1});
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    for (const Step &step : steps) {
      SCOPED_TRACE(step.what);
      host::ResetFileCallCounts();
      Bytes data =
          step.zeros ? Bytes(step.length, 0) : PatternBytes(step.length, &step - steps + 1);
      ASSERT_EQ(STATUS_SUCCESS, Write(step.offset, data));
      Splice(&disk_, step.offset, data);
      int flushes = fat ? step.flushesOnFat : step.flushes;
      if (flushes >= 0) {
        EXPECT_EQ(uint64_t(flushes), host::FileCallCount(host::FileCall::Flush, "/disk.vhd"));
      }
    }
    ExpectDisk(disk_, "the dynamic disk");
  }

  MakeChain();
  ASSERT_NO_FATAL_FAILURE(OpenImage());
  for (uint32_t block : {3, 4}) {
    host::ResetFileCallCounts();
    Bytes data = PatternBytes(kBlock, block);
    ASSERT_EQ(STATUS_SUCCESS, Write(block * kBlock, data));
    Splice(&disk_, block * kBlock, data);
    EXPECT_EQ(1u, host::FileCallCount(host::FileCall::Flush, "/disk.vhd")) << "block " << block;
  }
  ExpectDisk(disk_, "the differencing disk");
}

// Which volumes give zeros, after a power loss, for space a file never wrote:
// by the name its file system reports, in any case. On the others a block
// appended behind the first one since the open still waits for a flush
// between its data and its entry.
TEST_F(EngineDynamicTest, TheVolumeDecidesWhetherANewBlockWaitsForAFlush) {
  struct statfs folder;
  ASSERT_EQ(0, statfs(DirPath().c_str(), &folder));
  const bool folderIsExt4 = folder.f_type == 0xEF53;
  const struct {
    std::u16string name;  // empty: the folder's own, tried on ext4 only
    bool flushes;
  } volumes[] = {
      {u"NTFS", false},  {u"ntfs", false},  {u"ReFS", false},  {u"ext4", false},
      {u"XFS", false},   {u"btrfs", false}, {u"tmpfs", false}, {u"", false},
      {u"FAT32", true},  {u"FAT", true},    {u"exFAT", true},  {u"fuse", true},
      {u"NTFS-3G", true}, {u"posix", true},
  };
  for (const auto &volume : volumes) {
    SCOPED_TRACE(std::string(volume.name.begin(), volume.name.end()));
    if (volume.name.empty() && !folderIsExt4) continue;
    host::ReportFileSystemName(volume.name);
    MakeDynamic(16 * kBlock, kBlock, {0, 1});
    ASSERT_NO_FATAL_FAILURE(OpenImage());
    ASSERT_EQ(STATUS_SUCCESS, Write(5 * kBlock, PatternBytes(512, 1)));
    std::vector<host::FileCall> calls;
    host::SetFileCallHook([&calls](host::FileCall call, const std::string &path) {
      if (call == host::FileCall::Write || call == host::FileCall::Flush) {
        if (path.size() >= 9 && path.compare(path.size() - 9, 9, "/disk.vhd") == 0) {
          calls.push_back(call);
        }
      }
    });
    ASSERT_EQ(STATUS_SUCCESS, Write(6 * kBlock, PatternBytes(512, 2)));
    host::SetFileCallHook(nullptr);
    // The entry is the request's last write, the data the one before it.
    auto entry = std::find(calls.rbegin(), calls.rend(), host::FileCall::Write);
    auto data = std::find(std::next(entry), calls.rend(), host::FileCall::Write);
    ASSERT_NE(calls.rend(), data);
    EXPECT_EQ(volume.flushes ? 1 : 0, std::count(entry, data, host::FileCall::Flush));
    image_.Close();
  }
}

}  // namespace
}  // namespace dorvane::test
