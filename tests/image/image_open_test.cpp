// Opening image files and the parent chains of differencing images: the
// footer, header and table checks, the adapted create, the locator walk, the
// parent's identity, chain depth, reopening, and release after every failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "host/testing/host_testing.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

class ImageOpenTest : public TempDirTest {
 protected:
  // A dynamic image of 8 blocks of 4 KiB with blocks 1 and 5 allocated.
  std::string SmallDynamic(const std::string &name = "base.vhd") {
    std::string path = File(name);
    MakeDynamicImage(path, 8 * 4096, 4096);
    AppendBlock(path, 1, PatternBytes(4096, 1));
    AppendBlock(path, 5, PatternBytes(4096, 5));
    return path;
  }

  std::string Child(const std::string &parent, const std::string &name = "child.vhd") {
    MakeDifferencingImage(File(name), parent);
    return File(name);
  }

  // A child of base whose only locators are the given ones (index, code, path).
  using Locators = std::vector<std::tuple<int, const char *, std::u16string>>;
  std::string ChildWithLocators(const std::string &base, const std::string &name,
                                const Locators &entries) {
    std::string child = Child(base, name);
    ClearLocators(child);
    for (auto &[index, code, path] : entries) SetLocator(child, index, code, path);
    return child;
  }

  // A chain of differencing images over a dynamic base, top first.
  std::vector<std::string> Chain(size_t count) {
    std::vector<std::string> chain{SmallDynamic("level0.vhd")};
    for (size_t level = 1; level < count; ++level) {
      chain.insert(chain.begin(), Child(chain.front(), "level" + std::to_string(level) + ".vhd"));
    }
    return chain;
  }

  // The open's status; everything the image code took is released again.
  NTSTATUS OpenStatus(const std::string &path, const std::string &what = "") {
    size_t allocations = host::OutstandingAllocations();
    NTSTATUS status;
    {
      OpenedImage image;
      status = image.Open(path, GENERIC_READ);
    }
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << what;
    EXPECT_EQ(0u, host::OpenHandleCount()) << what;
    return status;
  }

  // NT names of the files created, in order.
  static std::vector<std::u16string> Creates() {
    std::vector<std::u16string> names;
    for (const host::CreateRecord &record : host::CreateHistory()) names.push_back(record.ntName);
    return names;
  }
};

TEST_F(ImageOpenTest, OpensFixedAndDynamicImagesWithTheirSizes) {
  std::string fixed = File("fixed.vhd");
  MakeFixedImage(fixed, 3 * kMiB);
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(fixed));
  EXPECT_EQ(VHD_DISK_TYPE_FIXED, image->DiskType);
  EXPECT_EQ(int64_t(3 * kMiB), image->DiskSize);
  EXPECT_EQ(int64_t(3 * kMiB + 512), image->FileEnd);
  EXPECT_EQ(ULONG_PTR(FILE_OPENED), image.CreateStatus().Information);
  EXPECT_EQ(NtName(fixed), std::u16string(image->ImagePath.Buffer, image->ImagePath.Length / 2));
  ASSERT_EQ(STATUS_SUCCESS, image.Open(SmallDynamic()));
  EXPECT_EQ(12, image->BlockShift);
  EXPECT_EQ(8u, image->BatEntries);
}

// Where a row of the table below puts its value: into a footer field (both
// copies, checksum refreshed), a header field (checksum refreshed), raw into
// the file (at a negative offset from its end), or the file is cut there.
enum Place { kFooter, kHeader, kRaw, kCut };

TEST_F(ImageOpenTest, DamagedFilesAreRefused) {
  enum Image { kFixed, kDynamic, kTinyFixed, kTinyBlocks };
  struct {
    Image image;
    Place place;
    int64_t offset;
    uint64_t value;
    int width;
    NTSTATUS expected;
  } td[] = {
      /* 0 */ {kFixed, kCut, 1535, 0, 0, STATUS_BAD_FILE_TYPE},
      // Three sectors with a valid footer open, whatever the disk size (the
      // file is cut at its own length).
      /* 1 */ {kTinyFixed, kCut, 1536, 0, 0, STATUS_SUCCESS},
      /* 2 */ {kFixed, kRaw, -505, 'X', 1, STATUS_FILE_CORRUPT_ERROR},  // cookie
      /* 3 */ {kFixed, kFooter, 12, 0x00010001, 4, STATUS_FILE_CORRUPT_ERROR},  // version 1.1
      /* 4 */ {kFixed, kRaw, -10, 1, 1, STATUS_FILE_CORRUPT_ERROR},  // checksum not matching
      /* 5 */ {kFixed, kFooter, 60, 1, 4, STATUS_BAD_FILE_TYPE},  // disk type
      /* 6 */ {kFixed, kFooter, 60, 5, 4, STATUS_BAD_FILE_TYPE},
      /* 7 */ {kFixed, kFooter, 48, kMiB + 1, 8, STATUS_FILE_CORRUPT_ERROR},  // disk past footer
      /* 8 */ {kDynamic, kRaw, 511, 1, 1, STATUS_FILE_CORRUPT_ERROR},  // footer copy differs
      /* 9 */ {kDynamic, kHeader, 7, 'E', 1, STATUS_BAD_FILE_TYPE},  // header cookie
      /* 10 */ {kDynamic, kRaw, 512 + 36, 1, 1, STATUS_FILE_CORRUPT_ERROR},  // header checksum
      /* 11 */ {kDynamic, kHeader, 32, 3 * 4096, 4, STATUS_FILE_CORRUPT_ERROR},  // block size
      /* 12 */ {kDynamic, kHeader, 32, 0, 4, STATUS_FILE_CORRUPT_ERROR},
      /* 13 */ {kDynamic, kHeader, 32, 256, 4, STATUS_BAD_FILE_TYPE},
      /* 14 */ {kDynamic, kHeader, 28, 9, 4, STATUS_FILE_CORRUPT_ERROR},  // table entries
      /* 15 */ {kDynamic, kHeader, 28, 7, 4, STATUS_FILE_CORRUPT_ERROR},
      /* 16 */ {kDynamic, kFooter, 16, 1ull << 40, 8, STATUS_BAD_FILE_TYPE},  // header offset
      // 2^32 + 1 blocks: a count cut to 32 bits would read as the table's 1.
      /* 17 */ {kTinyBlocks, kFooter, 48, ((1ull << 32) + 1) * 512, 8, STATUS_FILE_CORRUPT_ERROR},
  };
  size_t allocations = host::OutstandingAllocations();
  for (size_t i = 0; i < std::size(td); ++i) {
    std::string path = File("damaged" + std::to_string(i) + ".vhd");
    if (td[i].image == kFixed) MakeFixedImage(path, kMiB);
    if (td[i].image == kDynamic) MakeDynamicImage(path, 8 * 4096, 4096);
    if (td[i].image == kTinyFixed) MakeFixedImage(path, 1024);
    if (td[i].image == kTinyBlocks) MakeDynamicImage(path, 512, 512);
    Bytes value(td[i].width);
    for (int b = 0; b < td[i].width; ++b) {
      value[b] = uint8_t(td[i].value >> 8 * (td[i].width - 1 - b));
    }
    if (td[i].place == kFooter) {
      Bytes footer = ReadFooter(path);
      std::copy(value.begin(), value.end(), footer.begin() + td[i].offset);
      RewriteFooter(path, footer);
    } else if (td[i].place == kHeader) {
      PokeFile(path, kHeaderOffset + td[i].offset, value);
      RefreshHeaderChecksum(path);
    } else if (td[i].place == kRaw) {
      PokeFile(path, td[i].offset < 0 ? FileSize(path) + td[i].offset : td[i].offset, value);
    } else {
      TruncateFile(path, uint64_t(td[i].offset));
    }
    EXPECT_EQ(td[i].expected, OpenStatus(path)) << i;
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << i;
    EXPECT_EQ(0u, host::OpenHandleCount()) << i;
  }
}

// Sectors of the small image: header 1-2, table 3, block 1 at 4-12, block 5
// at 13-21, the footer at 22.
TEST_F(ImageOpenTest, BlocksMustNotOverlapMetadataOrEachOther) {
  const std::pair<uint32_t, NTSTATUS> td[] = {
      /* 0 */ {0, STATUS_SUCCESS},  // reads as unallocated
      /* 1 */ {1, STATUS_FILE_CORRUPT_ERROR},  // the dynamic header
      /* 2 */ {3, STATUS_FILE_CORRUPT_ERROR},  // the table
      /* 3 */ {5, STATUS_FILE_CORRUPT_ERROR},  // inside block 1
      /* 4 */ {13, STATUS_FILE_CORRUPT_ERROR},  // block 5's place
      /* 5 */ {14, STATUS_FILE_CORRUPT_ERROR},  // into the trailing footer
      /* 6 */ {0x7FFFFFF0, STATUS_FILE_CORRUPT_ERROR},  // far beyond the file
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    std::string path = SmallDynamic("small" + std::to_string(i) + ".vhd");
    ASSERT_EQ(22u * 512 + 512, FileSize(path));
    PokeBe32(path, kBatOffset + 8, td[i].first);
    EXPECT_EQ(td[i].second, OpenStatus(path)) << i;
  }
}

TEST_F(ImageOpenTest, TableCutShortByTheFileEndsBeforeTheFooter) {
  // 2000 entries need 16 sectors of table; the file keeps only one of them,
  // and the footer right behind it must not be taken for entries.
  std::string path = File("cut.vhd");
  MakeDynamicImage(path, 2000 * 4096ull, 4096);
  Bytes footer = ReadFooter(path);
  TruncateFile(path, kBatOffset + 512);
  PokeFile(path, kBatOffset + 512, footer);
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(path));
  ASSERT_EQ(2000u, image->BatEntries);
  const uint8_t *entries = reinterpret_cast<const uint8_t *>(image->Bat);
  EXPECT_EQ(Bytes(4 * 1872, 0xFF), Bytes(entries + 4 * 128, entries + 4 * 2000));
}

TEST_F(ImageOpenTest, AccessSharingAndOptionsAreAdapted) {
  std::string path = File("fixed.vhd");
  MakeFixedImage(path, kMiB);
  std::u16string name = NtName(path);
  UNICODE_STRING ntPath{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  // The image file is never a synchronous file object, whose reads and
  // writes would queue behind each other.
  const ULONG dropped = FILE_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY |
                        FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_ALERT;
  const ULONG added = FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS;
  struct {
    ACCESS_MASK access;
    USHORT share;
    ULONG options;
    ACCESS_MASK expectedAccess;
    ULONG expectedShare, expectedOptions;
  } td[] = {
      /* 0 */ {FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
               FILE_READ_DATA | GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, added},
      // Writers may delete an emptied image: DELETE is added.
      /* 1 */ {GENERIC_WRITE, FILE_SHARE_READ, 0,
               GENERIC_WRITE | GENERIC_READ | SYNCHRONIZE | DELETE, FILE_SHARE_READ, added},
      /* 2 */ {FILE_WRITE_DATA, FILE_SHARE_DELETE | FILE_SHARE_WRITE, dropped | FILE_WRITE_THROUGH,
               FILE_WRITE_DATA | GENERIC_READ | SYNCHRONIZE | DELETE, FILE_SHARE_DELETE,
               added | FILE_WRITE_THROUGH},
      /* 3 */ {FILE_READ_DATA, 0, FILE_SYNCHRONOUS_IO_NONALERT,
               FILE_READ_DATA | GENERIC_READ | SYNCHRONIZE, 0, added},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    host::ClearCreateHistory();
    IMAGE_CONTEXT *context = nullptr;
    IO_STATUS_BLOCK ioStatus{};
    ASSERT_EQ(STATUS_SUCCESS, OpenImageFile(&context, &ntPath, FILE_ATTRIBUTE_NORMAL, FILE_OPEN,
                                            td[i].options, td[i].access, td[i].share, &ioStatus));
    ReleaseImageContext(context);
    std::vector<host::CreateRecord> history = host::CreateHistory();
    ASSERT_EQ(1u, history.size());
    EXPECT_EQ(td[i].expectedAccess, history[0].desiredAccess) << i;
    EXPECT_EQ(td[i].expectedShare, history[0].shareAccess) << i;
    EXPECT_EQ(td[i].expectedOptions, history[0].options) << i;
    EXPECT_EQ(ULONG(OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK),
              history[0].objectAttributes);
  }
}

TEST_F(ImageOpenTest, ReopenForWriteNeedsTheFileUnshared) {
  std::string path = File("fixed.vhd");
  MakeFixedImage(path, kMiB);
  OpenedImage image, other;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(path, GENERIC_READ));
  ASSERT_EQ(STATUS_SUCCESS, other.Open(path, GENERIC_READ));
  // A reader elsewhere keeps the unshared reopen out; the record is left
  // without a handle and the message names the status.
  host::ClearDebugOutput();
  EXPECT_EQ(STATUS_SHARING_VIOLATION, ReopenImageForWrite(image.Get()));
  EXPECT_EQ(nullptr, image->ImageHandle);
  EXPECT_EQ(nullptr, image->ImageFileObject);
  EXPECT_EQ(std::vector<std::string>{"Image reopen result: 0xc0000043.\n"}, host::DebugOutput());
  other.Close();
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_SUCCESS, ReopenImageForWrite(image.Get()));
  EXPECT_TRUE(image->ImageFileObject->WriteAccess);
  EXPECT_EQ(0u, image->ImageFileObject->Flags & FO_SYNCHRONOUS_IO);
  ASSERT_EQ(1u, host::CreateHistory().size());
  EXPECT_EQ(ULONG(FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS), host::CreateHistory()[0].options);
}

// How a locator's path resolves is tested in parent_path_test.cpp; here the
// walk itself: the form of a path decides whether it is relative, not the
// platform code.
TEST_F(ImageOpenTest, LocatorPathsLeadToTheParentWhateverTheirCode) {
  std::string base = SmallDynamic();
  std::string child = ChildWithLocators(base, "relative.vhd", {{3, "W2ku", u".\\base.vhd"}});
  EXPECT_EQ(STATUS_SUCCESS, OpenStatus(child));
  child = ChildWithLocators(base, "absolute.vhd", {{3, "W2ru", NtName(base).substr(4)}});
  EXPECT_EQ(STATUS_SUCCESS, OpenStatus(child));
}

TEST_F(ImageOpenTest, WalkRunsFromTheLastEntryAndStopsAtTheFirstParentThatOpens) {
  std::string base = SmallDynamic();
  std::string child = ChildWithLocators(base, "child.vhd",
                                        {{7, "W2ku", u"Z:\\no\\such\\folder\\base.vhd"},
                                         {6, "W2ru", u".\\base.vhd"},
                                         {5, "W2ku", u"Z:\\never\\tried.vhd"}});
  host::ClearCreateHistory();
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(child, GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(Creates(), (std::vector<std::u16string>{
                           NtName(child), u"\\??\\Z:\\no\\such\\folder\\base.vhd", NtName(base)}));
  EXPECT_EQ(NtName(base), std::u16string(image->ParentPath.Buffer, image->ParentPath.Length / 2));
  // The parent is opened for reading only, shared for reading and deletion.
  host::CreateRecord parent = host::CreateHistory()[2];
  EXPECT_EQ(ACCESS_MASK(GENERIC_READ | SYNCHRONIZE), parent.desiredAccess);
  EXPECT_EQ(ULONG(FILE_SHARE_READ | FILE_SHARE_DELETE), parent.shareAccess);
  EXPECT_EQ(ULONG(FILE_OPEN), parent.disposition);
}

TEST_F(ImageOpenTest, TheWalkEndsAtADamagedLocatorOrWithTheLastFailure) {
  std::string base = SmallDynamic();
  WriteFileBytes(File("text.vhd"), Bytes(100, 'x'));
  const uint64_t inside = 0, nearEnd = 1;
  struct {
    uint32_t length;
    uint64_t offset;
    NTSTATUS status;
  } td[] = {
      /* 0 */ {8, inside, STATUS_OBJECT_PATH_INVALID},
      /* 1 */ {0, inside, STATUS_OBJECT_PATH_INVALID},
      /* 2 */ {65535, inside, STATUS_BAD_FILE_TYPE},
      // Locator data that does not lie wholly in the file.
      /* 3 */ {20, 1ull << 40, STATUS_FILE_CORRUPT_ERROR},
      /* 4 */ {20, 0xFFFFFFFFFFFFFFFEull, STATUS_FILE_CORRUPT_ERROR},
      /* 5 */ {1024, nearEnd, STATUS_FILE_CORRUPT_ERROR},
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    std::string child = Child(base, "child" + std::to_string(i) + ".vhd");
    uint64_t offset = td[i].offset == nearEnd ? FileSize(child) - 100
                      : td[i].offset == inside ? ReadLocator(child, 1).offset
                                               : td[i].offset;
    // Entry 1 holds the good relative path; the damaged entry comes first.
    PokeLocator(child, 4, "W2ku", td[i].length, offset);
    EXPECT_EQ(td[i].status, OpenStatus(child, std::to_string(i))) << i;
  }
  // Codes are compared exactly; other platforms' locators are skipped, and
  // without a usable one the parent is not found.
  std::string child = ChildWithLocators(
      base, "codes.vhd",
      {{7, "w2ku", u".\\base.vhd"}, {6, "W2RU", u".\\base.vhd"}, {5, "MacX", u".\\base.vhd"}});
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(child));
  EXPECT_EQ(1u, Creates().size()) << "no parent was tried";
  // Otherwise the last failed parent open is the result.
  child = ChildWithLocators(base, "last1.vhd",
                            {{7, "W2ru", u".\\missing.vhd"}, {6, "W2ru", u".\\text.vhd"}});
  EXPECT_EQ(STATUS_BAD_FILE_TYPE, OpenStatus(child));
  child = ChildWithLocators(base, "last2.vhd",
                            {{7, "W2ru", u".\\text.vhd"}, {6, "W2ru", u".\\missing.vhd"}});
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(child));
}

TEST_F(ImageOpenTest, AParentOfAnotherIdentityFailsWithoutTryingFurtherLocators) {
  std::string base = SmallDynamic();
  std::string other = SmallDynamic("other.vhd");
  std::string child = Child(base);
  SetLocator(child, 7, "W2ru", u".\\other.vhd");
  host::ClearCreateHistory();
  host::ClearDebugOutput();
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, OpenStatus(child));
  EXPECT_EQ(2u, Creates().size()) << "the good locators are not tried";

  ASSERT_EQ(1u, host::DebugOutput().size());
  EXPECT_EQ(0u, host::DebugOutput()[0].find("Stored vhd header parent GUID does not match actual "
                                            "parent GUID. child: "));
}

TEST_F(ImageOpenTest, ChainsUpToTheLimitOpenAndLongerOnesAreRefused) {
  std::vector<std::string> chain = Chain(IMAGE_CHAIN_DEPTH_LIMIT);
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_SUCCESS, OpenStatus(chain.front()));
  EXPECT_EQ(size_t(IMAGE_CHAIN_DEPTH_LIMIT), Creates().size());
  // The new top names its parent by two different paths; neither is tried
  // again once the chain has been found too deep.
  std::string deeper = Child(chain.front(), "deeper.vhd");
  host::MapDrive('C', DirPath());
  std::string top = "C:\\level" + std::to_string(chain.size() - 1) + ".vhd";
  SetLocator(deeper, 0, "W2ku", std::u16string(top.begin(), top.end()));
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_TOO_MANY_LINKS, OpenStatus(deeper));
  EXPECT_EQ(size_t(IMAGE_CHAIN_DEPTH_LIMIT), Creates().size())
      << "one open per level, no retries through the other locators";
  host::MapDrive('C', "");
}

// A chain that loops back ends at the depth limit; one whose base is gone
// is not retried through the second locator that every image has: that
// would double the opens at every level.
TEST_F(ImageOpenTest, ChainsThatLoopBackOrBreakOffEndWithoutRetries) {
  std::vector<std::string> chain = Chain(12);
  // level1 made a child of level11: level11 -> ... -> level1 -> level11 -> ...
  SetParentUniqueId(chain[10], UniqueId(chain[0]));
  ClearLocators(chain[10]);
  SetLocator(chain[10], 0, "W2ru", u".\\level11.vhd");
  SetLocator(chain[10], 1, "W2ku", NtName(chain[0]).substr(4));
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_TOO_MANY_LINKS, OpenStatus(chain[0]));
  EXPECT_EQ(size_t(IMAGE_CHAIN_DEPTH_LIMIT), Creates().size());

  host::ClearCreateHistory();
  std::filesystem::remove(chain[10]);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(chain[0]));
  EXPECT_EQ(11u, Creates().size());
}

// Every allocation (the events of the open's reads among them), read and
// short read of a chain's open fails in turn until the open succeeds: nothing
// may stay behind after any failure, and a failed allocation is reported as
// such, never as a damaged image.
TEST_F(ImageOpenTest, EveryFailedOpenReleasesEverything) {
  std::string base = File("fixed.vhd");
  MakeFixedImage(base, 64 * 1024);
  std::string top = Child(Child(base, "middle.vhd"), "top.vhd");
  for (std::string image : {top, SmallDynamic()}) {
    for (int kind = 0; kind < 3; ++kind) {
      for (uint64_t nth = 1;; ++nth) {
        if (kind == 0) host::FailAllocation(nth);
        if (kind > 0) {
          host::InjectFileFault(host::FileCall::Read, nth,
                                kind == 1 ? host::FileFault::Fail(STATUS_IO_DEVICE_ERROR)
                                          : host::FileFault::ShortBy(1));
        }
        std::string what = image + " kind " + std::to_string(kind) + " nth " + std::to_string(nth);
        NTSTATUS status = OpenStatus(image, what);
        host::FailAllocation(0);
        host::ClearFaults();
        if (NT_SUCCESS(status)) break;
        EXPECT_TRUE(kind != 0 || status == STATUS_INSUFFICIENT_RESOURCES) << what;
        ASSERT_LT(nth, 200u);
      }
    }
  }
}

}  // namespace
}  // namespace dorvane::test
