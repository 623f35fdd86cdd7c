// Opening, validating and releasing image files.
#include <gtest/gtest.h>

#include <functional>

#include "host/host_kernel.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kFooterChecksum = offsetof(VHD_FOOTER, Checksum);

class ImageOpenTest : public TempDirTest {
 protected:
  NTSTATUS OpenStatus(const std::string &path, ACCESS_MASK access = GENERIC_READ) {
    OpenedImage image;
    return image.Open(path, access);
  }

  // A dynamic image of 8 blocks of 4 KiB with blocks 1 and 5 allocated.
  std::string SmallDynamic() {
    std::string path = File("small.vhd");
    MakeDynamicImage(path, 8 * 4096, 4096);
    AppendBlock(path, 1, PatternBytes(4096, 1));
    AppendBlock(path, 5, PatternBytes(4096, 5));
    return path;
  }
};

TEST_F(ImageOpenTest, OpensFixedAndDynamicImagesWithTheirGeometry) {
  std::string fixed = File("fixed.vhd");
  MakeFixedImage(fixed, 3 * kMiB);
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(fixed));
  EXPECT_EQ(VHD_DISK_TYPE_FIXED, image->DiskType);
  EXPECT_EQ(int64_t(3 * kMiB), image->DiskSize);
  EXPECT_EQ(int64_t(3 * kMiB + 512), image->FileEnd);
  EXPECT_EQ(ULONG_PTR(FILE_OPENED), image.CreateStatus().Information);
  EXPECT_NE(nullptr, image->ImageFileObject);

  std::string dynamic = SmallDynamic();
  ASSERT_EQ(STATUS_SUCCESS, image.Open(dynamic));
  EXPECT_EQ(VHD_DISK_TYPE_DYNAMIC, image->DiskType);
  EXPECT_EQ(4096u, image->BlockSize);
  EXPECT_EQ(12, image->BlockShift);
  EXPECT_EQ(8u, image->BatEntries);
  EXPECT_EQ(int64_t(kBatOffset), image->BatOffset);
  EXPECT_NE(VHD_BAT_UNALLOCATED, BatEntryToHost(image->Bat[1]));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, BatEntryToHost(image->Bat[0]));
}

TEST_F(ImageOpenTest, ImagePathIsCopiedExactly) {
  std::string path = File("fixed.vhd");
  MakeFixedImage(path, kMiB);
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
  std::u16string name = NtName(path);
  ASSERT_EQ(name.size() * 2, image->ImagePath.Length);
  EXPECT_EQ(image->ImagePath.Length, image->ImagePath.MaximumLength);
  EXPECT_EQ(0, memcmp(name.data(), image->ImagePath.Buffer, image->ImagePath.Length));
}

TEST_F(ImageOpenTest, ShortFilesAreRefusedBeforeAnyRead) {
  std::string path = File("short.vhd");
  WriteFileBytes(path, Bytes(1535, 0));
  host::ResetFileCallCounts();
  EXPECT_EQ(STATUS_BAD_FILE_TYPE, OpenStatus(path));
  EXPECT_EQ(0u, host::FileCallCount(host::FileCall::Read));

  // Three sectors with a valid fixed footer open, whatever the disk size.
  std::string tiny = File("tiny.vhd");
  MakeFixedImage(tiny, 1024);
  ASSERT_EQ(1536u, FileSize(tiny));
  EXPECT_EQ(STATUS_SUCCESS, OpenStatus(tiny));
}

TEST_F(ImageOpenTest, CorruptFootersAndHeadersAreRefused) {
  using Corruption = std::function<void(const std::string &)>;
  auto footerField = [](uint64_t offset, uint32_t value, bool fixChecksum) {
    return [=](const std::string &path) {
      Bytes footer = ReadFooter(path);
      StoreBe32(footer.data(), value, uint32_t(offset));
      if (fixChecksum) {
        RewriteFooter(path, footer);
      } else {
        PokeFile(path, FileSize(path) - 512, footer);
      }
    };
  };
  auto headerField = [](uint64_t offset, uint32_t value, bool fixChecksum) {
    return [=](const std::string &path) {
      PokeBe32(path, kHeaderOffset + offset, value);
      if (fixChecksum) {
        RefreshHeaderChecksum(path);
      }
    };
  };
  const uint64_t version = offsetof(VHD_FOOTER, FileFormatVersion);
  const uint64_t diskType = offsetof(VHD_FOOTER, DiskType);
  const uint64_t maxEntries = offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries);
  const uint64_t blockSize = offsetof(VHD_DYNAMIC_HEADER, BlockSize);
  struct Case {
    const char *what;
    bool dynamic;
    Corruption corrupt;
    NTSTATUS expected;
  } cases[] = {
      {"footer cookie", false, [](const std::string &p) { PokeFile(p, FileSize(p) - 505, {'X'}); },
       STATUS_FILE_CORRUPT_ERROR},
      {"version 1.1", false, footerField(version, 0x00010001, true), STATUS_FILE_CORRUPT_ERROR},
      {"checksum off by one", false,
       [](const std::string &p) {
         uint64_t at = FileSize(p) - 512 + kFooterChecksum;
         PokeBe32(p, at, PeekBe32(p, at) + 1);
       },
       STATUS_FILE_CORRUPT_ERROR},
      {"disk type 1", false, footerField(diskType, 1, true), STATUS_BAD_FILE_TYPE},
      {"disk type 5", false, footerField(diskType, 5, true), STATUS_BAD_FILE_TYPE},
      {"fixed disk larger than its file", false,
       [](const std::string &p) {
         Bytes footer = ReadFooter(p);
         StoreBe64(footer.data(), FileSize(p) - 511, offsetof(VHD_FOOTER, CurrentSize));
         RewriteFooter(p, footer);
       },
       STATUS_FILE_CORRUPT_ERROR},
      {"footer copy differs in a reserved byte", true,
       [](const std::string &p) { PokeFile(p, 511, {1}); }, STATUS_FILE_CORRUPT_ERROR},
      {"header cookie, checksum fixed", true,
       [](const std::string &p) {
         PokeFile(p, kHeaderOffset, {'c', 'x', 's', 'p', 'a', 'r', 's', 'E'});
         RefreshHeaderChecksum(p);
       },
       STATUS_BAD_FILE_TYPE},
      {"header checksum", true, headerField(offsetof(VHD_DYNAMIC_HEADER, Checksum), 1, false),
       STATUS_FILE_CORRUPT_ERROR},
      {"block size not a power of two", true, headerField(blockSize, 3 * 4096, true),
       STATUS_FILE_CORRUPT_ERROR},
      {"block size zero", true, headerField(blockSize, 0, true), STATUS_FILE_CORRUPT_ERROR},
      {"block size below a sector", true, headerField(blockSize, 256, true),
       STATUS_BAD_FILE_TYPE},
      {"one table entry too many", true, headerField(maxEntries, 9, true),
       STATUS_FILE_CORRUPT_ERROR},
      {"one table entry too few", true, headerField(maxEntries, 7, true),
       STATUS_FILE_CORRUPT_ERROR},
      {"dynamic header beyond the file", true,
       [](const std::string &p) {
         Bytes footer = ReadFooter(p);
         StoreBe64(footer.data(), 1ull << 40, offsetof(VHD_FOOTER, DataOffset));
         RewriteFooter(p, footer);
       },
       STATUS_BAD_FILE_TYPE},
  };
  for (const Case &c : cases) {
    std::string path = File("corrupt.vhd");
    if (c.dynamic) {
      MakeDynamicImage(path, 8 * 4096, 4096);
    } else {
      MakeFixedImage(path, kMiB);
    }
    c.corrupt(path);
    size_t allocations = host::OutstandingAllocations();
    size_t handles = host::OpenHandleCount();
    EXPECT_EQ(c.expected, OpenStatus(path)) << c.what;
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << c.what;
    EXPECT_EQ(handles, host::OpenHandleCount()) << c.what;
    std::remove(path.c_str());
  }
}

TEST_F(ImageOpenTest, TableEntryCountIsComparedInFull) {
  // 2^32 + 1 blocks of 512 bytes: a count cut to 32 bits would read as 1, and
  // offsets beyond the first block would alias block 0.
  std::string path = File("wrap.vhd");
  MakeDynamicImage(path, 512, 512);
  Bytes footer = ReadFooter(path);
  StoreBe64(footer.data(), ((1ull << 32) + 1) * 512, offsetof(VHD_FOOTER, CurrentSize));
  RewriteFooter(path, footer);
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, OpenStatus(path));
}

TEST_F(ImageOpenTest, BlocksMustNotOverlapMetadataOrEachOther) {
  const uint32_t span = 4096 + 512;
  struct Case {
    const char *what;
    uint32_t sector;  // for block 2, with blocks 1 and 5 allocated
    NTSTATUS expected;
  } cases[] = {
      {"entry of zero", 0, STATUS_SUCCESS},  // reads as unallocated
      {"dynamic header", 1, STATUS_FILE_CORRUPT_ERROR},
      {"table", 3, STATUS_FILE_CORRUPT_ERROR},
      {"another block", 0, STATUS_FILE_CORRUPT_ERROR},  // filled in below
      {"into the trailing footer", 0, STATUS_FILE_CORRUPT_ERROR},
      {"far beyond the file", 0x7FFFFFF0, STATUS_FILE_CORRUPT_ERROR},
  };
  for (Case c : cases) {
    std::string path = SmallDynamic();
    uint32_t block1 = PeekBe32(path, kBatOffset + 4);
    if (std::string(c.what) == "another block") {
      c.sector = block1 + 1;
    } else if (std::string(c.what) == "into the trailing footer") {
      c.sector = uint32_t((FileSize(path) - 512 - span) / 512) + 1;
    }
    PokeBe32(path, kBatOffset + 4 * 2, c.sector);
    EXPECT_EQ(c.expected, OpenStatus(path)) << c.what;
    std::remove(path.c_str());
  }

  // Two entries naming the same place are refused too.
  std::string path = SmallDynamic();
  PokeBe32(path, kBatOffset + 4 * 3, PeekBe32(path, kBatOffset + 4 * 5));
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, OpenStatus(path));
}

TEST_F(ImageOpenTest, TableCutShortByTheFileEndsBeforeTheFooter) {
  // 2000 entries need 16 sectors of table; the file keeps only one of them,
  // and the footer right behind it must not be taken for entries.
  std::string path = File("cut.vhd");
  MakeDynamicImage(path, 2000 * 4096ull, 4096);
  Bytes footer = ReadFooter(path);
  TruncateFile(path, kBatOffset + 512 + 512);
  PokeFile(path, kBatOffset + 512, footer);
  PokeBe32(path, kBatOffset, VHD_BAT_UNALLOCATED);

  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
  ASSERT_EQ(2000u, image->BatEntries);
  for (ULONG index = 128; index < 2000; ++index) {
    ASSERT_EQ(0u, image->Bat[index]) << index;
  }
}

TEST_F(ImageOpenTest, DifferencingImageWithoutParentFailsCleanly) {
  std::string path = File("child.vhd");
  MakeDynamicImage(path, 8 * 4096, 4096);
  Bytes footer = ReadFooter(path);
  StoreBe32(footer.data(), VHD_DISK_TYPE_DIFFERENCING, offsetof(VHD_FOOTER, DiskType));
  RewriteFooter(path, footer);
  size_t allocations = host::OutstandingAllocations();
  EXPECT_FALSE(NT_SUCCESS(OpenStatus(path)));
  EXPECT_EQ(allocations, host::OutstandingAllocations());
  EXPECT_EQ(0u, host::OpenHandleCount());
}

TEST_F(ImageOpenTest, AccessSharingAndOptionsAreAdapted) {
  std::string path = File("fixed.vhd");
  MakeFixedImage(path, kMiB);
  std::u16string name = NtName(path);
  UNICODE_STRING ntPath{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  struct Case {
    ACCESS_MASK requested;
    USHORT share;
    ULONG options;
    ACCESS_MASK expectedAccess;
    ULONG expectedShare;
    ULONG expectedOptions;
  } cases[] = {
      {FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
       GENERIC_READ | SYNCHRONIZE | FILE_READ_DATA, FILE_SHARE_READ, 0x860},
      {GENERIC_WRITE, FILE_SHARE_READ, 0, GENERIC_WRITE | GENERIC_READ | SYNCHRONIZE | DELETE,
       FILE_SHARE_READ, 0x860},
      {FILE_WRITE_DATA, FILE_SHARE_DELETE | FILE_SHARE_WRITE,
       FILE_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | FILE_NO_INTERMEDIATE_BUFFERING |
           FILE_SYNCHRONOUS_IO_ALERT | FILE_WRITE_THROUGH,
       FILE_WRITE_DATA | GENERIC_READ | SYNCHRONIZE | DELETE, FILE_SHARE_DELETE,
       0x860 | FILE_WRITE_THROUGH},
  };
  for (const Case &c : cases) {
    host::ClearCreateHistory();
    IMAGE_CONTEXT *context = nullptr;
    IO_STATUS_BLOCK ioStatus{};
    ASSERT_EQ(STATUS_SUCCESS, OpenImageFile(&context, &ntPath, FILE_ATTRIBUTE_NORMAL, FILE_OPEN,
                                            c.options, c.requested, c.share, &ioStatus));
    std::vector<host::CreateRecord> history = host::CreateHistory();
    ASSERT_EQ(1u, history.size());
    EXPECT_EQ(c.expectedAccess, history[0].desiredAccess);
    EXPECT_EQ(c.expectedShare, history[0].shareAccess);
    EXPECT_EQ(c.expectedOptions, history[0].options);
    EXPECT_EQ(ULONG(OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK),
              history[0].objectAttributes);
    EXPECT_EQ(ULONG(FILE_OPEN), history[0].disposition);
    CloseImageContext(context);
    FreePool(context);
  }
}

TEST_F(ImageOpenTest, CreatingDispositionsLeaveTheEmptyFileAndFail) {
  std::string path = File("new.vhd");
  std::u16string name = NtName(path);
  UNICODE_STRING ntPath{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  IMAGE_CONTEXT *context = nullptr;
  IO_STATUS_BLOCK ioStatus{};
  EXPECT_EQ(STATUS_BAD_FILE_TYPE, OpenImageFile(&context, &ntPath, FILE_ATTRIBUTE_NORMAL,
                                                FILE_OPEN_IF, 0, GENERIC_WRITE, 0, &ioStatus));
  EXPECT_EQ(nullptr, context);
  EXPECT_EQ(ULONG_PTR(FILE_CREATED), ioStatus.Information);
  EXPECT_EQ(0u, FileSize(path));
}

TEST_F(ImageOpenTest, EveryFailedOpenReleasesEverything) {
  std::string path = SmallDynamic();
  size_t allocations = host::OutstandingAllocations();
  // Fail each allocation, then each read of the open, in turn, until the
  // open succeeds: nothing may stay behind after any failure.
  for (uint64_t nth = 1;; ++nth) {
    host::FailAllocation(nth);
    NTSTATUS status = OpenStatus(path);
    host::FailAllocation(0);
    ASSERT_EQ(allocations, host::OutstandingAllocations()) << "allocation " << nth;
    ASSERT_EQ(0u, host::OpenHandleCount()) << "allocation " << nth;
    if (NT_SUCCESS(status)) {
      break;
    }
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << "allocation " << nth;
    ASSERT_LT(nth, 50u);
  }
  for (uint64_t nth = 1;; ++nth) {
    host::ClearFaults();
    host::InjectFileFault(host::FileCall::Read, nth, host::FileFault::Fail(STATUS_IO_DEVICE_ERROR));
    NTSTATUS status = OpenStatus(path);
    host::ClearFaults();
    ASSERT_EQ(allocations, host::OutstandingAllocations()) << "read " << nth;
    ASSERT_EQ(0u, host::OpenHandleCount()) << "read " << nth;
    if (NT_SUCCESS(status)) {
      break;
    }
    ASSERT_LT(nth, 50u);
  }
}

TEST_F(ImageOpenTest, CloseReleasesHandleReferenceAndBuffers) {
  std::string path = SmallDynamic();
  size_t allocations = host::OutstandingAllocations();
  {
    OpenedImage image;
    ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
    EXPECT_GT(host::OutstandingAllocations(), allocations);
    EXPECT_EQ(1u, host::OpenHandleCount());
  }
  EXPECT_EQ(allocations, host::OutstandingAllocations());
  EXPECT_EQ(0u, host::OpenHandleCount());
}

}  // namespace
}  // namespace dorvane::test
