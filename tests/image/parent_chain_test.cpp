// Opening the parent chains of differencing images: the locator walk, the
// parent's identity, chain depth, and release after every failure.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "host/host_kernel.h"
#include "support/differencing_chain.h"
#include "support/image_builder.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane::test {
namespace {

constexpr uint64_t kDiskSize = 64 * 1024;
constexpr uint32_t kBlockSize = 4096;

class ParentChainTest : public TempDirTest {
 protected:
  std::string DynamicBase(const std::string &name = "base.vhd") {
    std::string path = File(name);
    MakeDynamicImage(path, kDiskSize, kBlockSize);
    AppendBlock(path, 2, PatternBytes(kBlockSize, 2));
    return path;
  }

  std::string Child(const std::string &parent, const std::string &name = "child.vhd") {
    std::string path = File(name);
    MakeDifferencingImage(path, parent);
    return path;
  }

  NTSTATUS OpenStatus(const std::string &path) {
    OpenedImage image;
    return image.Open(path, GENERIC_READ);
  }

  // Creates of files whose host path ends with suffix, in order.
  std::vector<host::CreateRecord> CreatesOf(const std::string &suffix) {
    std::vector<host::CreateRecord> found;
    for (const host::CreateRecord &record : host::CreateHistory()) {
      if (record.hostPath.size() >= suffix.size() &&
          record.hostPath.compare(record.hostPath.size() - suffix.size(), suffix.size(), suffix) ==
              0) {
        found.push_back(record);
      }
    }
    return found;
  }

  // Everything the image code holds is released again.
  void ExpectNothingHeld(size_t allocations, const std::string &what) {
    EXPECT_EQ(allocations, host::OutstandingAllocations()) << what;
    EXPECT_EQ(0u, host::OpenHandleCount()) << what;
  }
};

TEST_F(ParentChainTest, OpensTheParentReadOnlyAndSharedForReadingAndDeletion) {
  std::string base = DynamicBase();
  std::string child = Child(base);
  host::ClearCreateHistory();
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(child));
  ASSERT_NE(nullptr, image->Parent);
  EXPECT_EQ(VHD_DISK_TYPE_DYNAMIC, image->Parent->DiskType);
  std::u16string parentName = NtName(base);
  EXPECT_EQ(parentName,
            std::u16string(image->ParentPath.Buffer, image->ParentPath.Length / sizeof(char16_t)));

  std::vector<host::CreateRecord> creates = CreatesOf("/base.vhd");
  ASSERT_EQ(1u, creates.size());
  const host::CreateRecord &parent = creates[0];
  EXPECT_EQ(ACCESS_MASK(GENERIC_READ | SYNCHRONIZE), parent.desiredAccess);
  EXPECT_EQ(ULONG(FILE_SHARE_READ | FILE_SHARE_DELETE), parent.shareAccess);
  EXPECT_EQ(ULONG(FILE_OPEN), parent.disposition);
  EXPECT_EQ(ULONG(FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS),
            parent.options);
  EXPECT_EQ(ULONG(FILE_ATTRIBUTE_NORMAL), parent.fileAttributes);
}

TEST_F(ParentChainTest, LocatorPathsOfEveryFormLeadToTheParent) {
  std::string base = DynamicBase();
  host::MapDrive('C', DirPath());
  host::MapShare("fileserver", "images", DirPath());
  const std::u16string absolute = NtName(base).substr(4);
  // The Windows path of an image moved from there: a drive not mapped here.
  const std::u16string windows = u"D:\\Users\\someone\\VMs\\Base.vhd";
  struct Entry {
    int index;
    const char *code;
    std::u16string path;
  };
  std::vector<std::vector<Entry>> cases = {
      /* 0 */ {{3, "W2ku", absolute}},
      /* 1 */ {{3, "W2ru", u".\\base.vhd"}},
      // The form decides whether a path is relative, not the code.
      /* 2 */ {{3, "W2ku", u".\\base.vhd"}},
      /* 3 */ {{3, "W2ru", absolute}},
      /* 4 */ {{3, "W2ru", u"\\\\?\\" + absolute}},
      /* 5 */ {{3, "W2ru", u".\\BASE.VHD"}},
      // Drive letters and shares through the host's name tables.
      /* 6 */ {{0, "W2ku", u"C:\\base.vhd"}},
      /* 7 */ {{0, "W2ku", u"c:\\Base.VHD"}},
      /* 8 */ {{0, "W2ku", u"\\\\?\\C:\\base.vhd"}},
      /* 9 */ {{0, "W2ku", u"\\\\fileserver\\images\\base.vhd"}},
      // Moved from Windows, the relative locator tried first or second.
      /* 10 */ {{0, "W2ku", windows}, {1, "W2ru", u".\\Base.vhd"}},
      /* 11 */ {{1, "W2ku", windows}, {0, "W2ru", u".\\Base.vhd"}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string child = Child(base, "child" + std::to_string(i) + ".vhd");
    ClearLocators(child);
    for (const Entry &entry : cases[i]) {
      SetLocator(child, entry.index, entry.code, entry.path);
    }
    EXPECT_EQ(STATUS_SUCCESS, OpenStatus(child)) << "case " << i;
  }
  host::MapDrive('C', "");
  host::MapShare("fileserver", "images", "");
}

TEST_F(ParentChainTest, WalkRunsFromTheLastEntryAndStopsAtTheFirstParentThatOpens) {
  std::string base = DynamicBase();
  std::string child = Child(base);
  ClearLocators(child);
  SetLocator(child, 7, "W2ku", u"Z:\\no\\such\\folder\\base.vhd");
  SetLocator(child, 6, "W2ru", u".\\base.vhd");
  SetLocator(child, 5, "W2ku", u"Z:\\never\\tried.vhd");
  host::ClearCreateHistory();
  ASSERT_EQ(STATUS_SUCCESS, OpenStatus(child));
  std::vector<host::CreateRecord> creates = host::CreateHistory();
  ASSERT_EQ(3u, creates.size()) << "child, locator 7, locator 6";
  EXPECT_EQ(u"\\??\\Z:\\no\\such\\folder\\base.vhd", creates[1].ntName);
  EXPECT_FALSE(NT_SUCCESS(creates[1].status));
  EXPECT_EQ(NtName(base), creates[2].ntName);
}

TEST_F(ParentChainTest, ADamagedLocatorEndsTheWalk) {
  std::string base = DynamicBase();
  uint64_t farOffset = 1ull << 40;
  struct Case {
    uint32_t length;
    uint64_t offset;  // 0: data inside the file
    NTSTATUS status;
  } cases[] = {
      /* 0 */ {8, 0, STATUS_OBJECT_PATH_INVALID},
      /* 1 */ {0, 0, STATUS_OBJECT_PATH_INVALID},
      /* 2 */ {65535, 0, STATUS_BAD_FILE_TYPE},
      /* 3 */ {0xFFFFFFFF, 0, STATUS_BAD_FILE_TYPE},
      // Locator data that does not lie wholly in the file.
      /* 4 */ {20, farOffset, STATUS_FILE_CORRUPT_ERROR},
      /* 5 */ {20, 0x8000000000000000ull, STATUS_FILE_CORRUPT_ERROR},
      /* 6 */ {20, 0xFFFFFFFFFFFFFFFEull, STATUS_FILE_CORRUPT_ERROR},
      /* 7 */ {1024, 1, STATUS_FILE_CORRUPT_ERROR},  // runs past the end
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    std::string child = Child(base, "child" + std::to_string(i) + ".vhd");
    uint64_t offset = cases[i].offset;
    if (offset == 1) {
      offset = FileSize(child) - 100;
    } else if (offset == 0) {
      offset = ReadLocator(child, 1).offset;
    }
    // Entry 1 holds the good relative path; the damaged entry comes first.
    PokeLocator(child, 4, "W2ku", cases[i].length, offset);
    size_t allocations = host::OutstandingAllocations();
    EXPECT_EQ(cases[i].status, OpenStatus(child)) << "case " << i;
    ExpectNothingHeld(allocations, "case " + std::to_string(i));
  }
}

TEST_F(ParentChainTest, AnOddLastByteIsNoPartOfThePath) {
  std::string base = DynamicBase();
  std::string child = Child(base);
  ClearLocators(child);
  Bytes data = Utf16LeBytes(u".\\base.vhd");
  data.push_back('x');
  SetLocatorData(child, 0, "W2ru", data);
  EXPECT_EQ(STATUS_SUCCESS, OpenStatus(child));
}

TEST_F(ParentChainTest, WithoutAUsableLocatorTheParentIsNotFound) {
  std::string base = DynamicBase();
  std::string child = Child(base);
  ClearLocators(child);
  // Codes are compared exactly; other platforms' locators are skipped.
  SetLocator(child, 7, "w2ku", u".\\base.vhd");
  SetLocator(child, 6, "W2RU", u".\\base.vhd");
  SetLocator(child, 5, "MacX", u".\\base.vhd");
  size_t allocations = host::OutstandingAllocations();
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(child));
  EXPECT_EQ(1u, host::CreateHistory().size()) << "no parent was tried";
  ExpectNothingHeld(allocations, "no locator");
}

TEST_F(ParentChainTest, TheLastFailedParentOpenIsTheResult) {
  std::string base = DynamicBase();
  std::string notAnImage = File("text.vhd");
  WriteFileBytes(notAnImage, Bytes(100, 'x'));
  struct Case {
    std::u16string seventh, sixth;
    NTSTATUS status;
  } cases[] = {
      {u".\\missing.vhd", u".\\text.vhd", STATUS_BAD_FILE_TYPE},
      {u".\\text.vhd", u".\\missing.vhd", STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const Case &c : cases) {
    std::string child = Child(base, "child.vhd");
    ClearLocators(child);
    SetLocator(child, 7, "W2ru", c.seventh);
    SetLocator(child, 6, "W2ru", c.sixth);
    size_t allocations = host::OutstandingAllocations();
    EXPECT_EQ(c.status, OpenStatus(child));
    ExpectNothingHeld(allocations, "last status");
    std::filesystem::remove(child);
  }
}

TEST_F(ParentChainTest, AParentOfAnotherIdentityFailsWithoutTryingFurtherLocators) {
  std::string base = DynamicBase();
  std::string other = DynamicBase("other.vhd");
  std::string child = Child(base);
  // Entry 6 names the right parent, entry 7 another image.
  SetLocator(child, 7, "W2ru", u".\\other.vhd");
  SetLocator(child, 6, "W2ru", u".\\base.vhd");
  size_t allocations = host::OutstandingAllocations();
  host::ClearDebugOutput();
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, OpenStatus(child));
  EXPECT_TRUE(CreatesOf("/base.vhd").empty());
  ExpectNothingHeld(allocations, "mismatch");

  // Each half of each identifier as a little-endian number.
  auto half = [](const Bytes &id, size_t offset) {
    uint64_t value = 0;
    for (size_t i = 8; i > 0; --i) value = (value << 8) | id[offset + i - 1];
    return value;
  };
  Bytes stored = ParentUniqueId(child), actual = UniqueId(other);
  char expected[256];
  snprintf(expected, sizeof(expected),
           "Stored vhd header parent GUID does not match actual parent GUID. child: "
           "%.16" PRIx64 "%.16" PRIx64 " parent: %.16" PRIx64 "%.16" PRIx64 ".\n",
           half(stored, 0), half(stored, 8), half(actual, 0), half(actual, 8));
  std::vector<std::string> output = host::DebugOutput();
  ASSERT_EQ(1u, output.size());
  EXPECT_EQ(expected, output[0]);
}

TEST_F(ParentChainTest, AParentOpenElsewhereForWritingMovesTheWalkOn) {
  std::string base = DynamicBase();
  std::string child = Child(base);
  OpenedImage writer;
  ASSERT_EQ(STATUS_SUCCESS, writer.Open(base, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ));
  EXPECT_EQ(STATUS_SHARING_VIOLATION, OpenStatus(child));

  // A copy of the parent, with its identity, found through a later entry.
  std::filesystem::copy_file(base, File("copy.vhd"));
  SetLocator(child, 0, "W2ru", u".\\copy.vhd");
  OpenedImage image;
  ASSERT_EQ(STATUS_SUCCESS, image.Open(child, GENERIC_READ));
  EXPECT_EQ(NtName(File("copy.vhd")),
            std::u16string(image->ParentPath.Buffer, image->ParentPath.Length / 2));
}

// Chains of differencing images over a dynamic base, top first.
class ParentChainDepthTest : public ParentChainTest {
 protected:
  std::vector<std::string> Chain(size_t count) {
    std::vector<std::string> chain{DynamicBase("level0.vhd")};
    for (size_t level = 1; level < count; ++level) {
      chain.insert(chain.begin(), Child(chain.front(), "level" + std::to_string(level) + ".vhd"));
    }
    return chain;
  }
};

TEST_F(ParentChainDepthTest, ChainsUpToTheLimitOpenAndLongerOnesAreRefused) {
  std::vector<std::string> chain = Chain(IMAGE_CHAIN_DEPTH_LIMIT);
  size_t allocations = host::OutstandingAllocations();
  {
    OpenedImage image;
    ASSERT_EQ(STATUS_SUCCESS, image.Open(chain.front(), GENERIC_READ));
    size_t depth = 1;
    for (IMAGE_CONTEXT *level = image->Parent; level != nullptr; level = level->Parent) {
      ++depth;
    }
    EXPECT_EQ(size_t(IMAGE_CHAIN_DEPTH_LIMIT), depth);
    // The middle of the chain, 16 deep, opens on its own too.
    OpenedImage middle;
    EXPECT_EQ(STATUS_SUCCESS, middle.Open(chain[IMAGE_CHAIN_DEPTH_LIMIT - 16], GENERIC_READ));
  }
  ExpectNothingHeld(allocations, "after close");

  // The new top names its parent by two different paths; neither is tried
  // again once the chain has been found too deep.
  std::string deeper = Child(chain.front(), "deeper.vhd");
  host::MapDrive('C', DirPath());
  SetLocator(deeper, 0, "W2ku", u"C:\\level" + Utf16(std::to_string(chain.size() - 1)) + u".vhd");
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_TOO_MANY_LINKS, OpenStatus(deeper));
  EXPECT_EQ(size_t(IMAGE_CHAIN_DEPTH_LIMIT), host::CreateHistory().size())
      << "one open per level, no retries through the other locators";
  ExpectNothingHeld(allocations, "too deep");
  std::string mapped;
  EXPECT_EQ(STATUS_SUCCESS,
            host::HostPathForNtName(u"\\??\\" + ReadLocator(deeper, 0).path, true, &mapped));
  EXPECT_EQ(chain.front(), mapped) << "the second locator names the parent too";
  host::MapDrive('C', "");
}

TEST_F(ParentChainDepthTest, AChainThatLoopsBackIsRefused) {
  std::vector<std::string> chain = Chain(3);  // level2 -> level1 -> level0
  // level1 is made a child of level2: level2 -> level1 -> level2 -> ...
  SetParentUniqueId(chain[1], UniqueId(chain[0]));
  ClearLocators(chain[1]);
  SetLocator(chain[1], 0, "W2ru", u".\\level2.vhd");
  SetLocator(chain[1], 1, "W2ku", NtName(chain[0]).substr(4));
  size_t allocations = host::OutstandingAllocations();
  host::ClearCreateHistory();
  EXPECT_EQ(STATUS_TOO_MANY_LINKS, OpenStatus(chain[0]));
  EXPECT_EQ(size_t(IMAGE_CHAIN_DEPTH_LIMIT), host::CreateHistory().size());
  ExpectNothingHeld(allocations, "loop");
}

TEST_F(ParentChainDepthTest, ABrokenChainIsNotRetriedThroughLocatorsNamingTheSameFile) {
  // Every image names its parent twice. With the base gone, each level's
  // second locator leads to the same failing chain: trying it again would
  // double the opens at every level (2^12 here).
  std::vector<std::string> chain = Chain(12);
  std::filesystem::remove(chain.back());
  host::ClearCreateHistory();
  size_t allocations = host::OutstandingAllocations();
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenStatus(chain.front()));
  EXPECT_EQ(12u, host::CreateHistory().size());
  ExpectNothingHeld(allocations, "broken chain");
}

TEST_F(ParentChainTest, EveryFailedChainOpenReleasesEverything) {
  std::string base = File("base.vhd");
  MakeFixedImage(base, kDiskSize);
  std::string middle = Child(base, "middle.vhd");
  std::string top = Child(middle, "top.vhd");
  size_t allocations = host::OutstandingAllocations();
  for (uint64_t nth = 1;; ++nth) {
    host::FailAllocation(nth);
    NTSTATUS status = OpenStatus(top);
    host::FailAllocation(0);
    ExpectNothingHeld(allocations, "allocation " + std::to_string(nth));
    if (NT_SUCCESS(status)) {
      break;
    }
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, status) << "allocation " << nth;
    ASSERT_LT(nth, 200u);
  }
  for (uint64_t nth = 1;; ++nth) {
    host::InjectFileFault(host::FileCall::Read, nth, host::FileFault::Fail(STATUS_IO_DEVICE_ERROR));
    NTSTATUS status = OpenStatus(top);
    host::ClearFaults();
    ExpectNothingHeld(allocations, "read " + std::to_string(nth));
    if (NT_SUCCESS(status)) {
      break;
    }
    ASSERT_LT(nth, 200u);
  }
  for (uint64_t nth = 1;; ++nth) {
    host::InjectFileFault(host::FileCall::Read, nth, host::FileFault::ShortBy(1));
    NTSTATUS status = OpenStatus(top);
    host::ClearFaults();
    ExpectNothingHeld(allocations, "short read " + std::to_string(nth));
    if (NT_SUCCESS(status)) {
      break;
    }
    ASSERT_LT(nth, 200u);
  }
}

}  // namespace
}  // namespace dorvane::test
