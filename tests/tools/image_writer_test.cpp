// New fixed and dynamic images, checked byte by byte in the file and opened
// through the image code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "format/vhd_format.h"
#include "host/host_kernel.h"
#include "image_writer.h"
#include "support/file_bytes.h"
#include "support/image_open.h"
#include "support/temp_dir.h"

namespace dorvane {
namespace {

using test::Bytes;

const uint64_t kMiB = 1ull << 20;
const uint64_t kGiB = 1ull << 30;
const int64_t kVhdEpoch = 946684800;  // 2000-01-01 00:00:00 UTC

class ToolCreate : public test::TempDirTest {};

ImageSpec Spec(uint32_t diskType, uint64_t size, uint32_t blockSize = 2u << 20) {
  ImageSpec spec;
  spec.diskType = diskType;
  spec.size = size;
  spec.blockSize = blockSize;
  return spec;
}

const VHD_FOOTER &AsFooter(const Bytes &bytes) {
  return *reinterpret_cast<const VHD_FOOTER *>(bytes.data());
}

std::string Geometry(const VHD_FOOTER &footer) {
  return std::to_string(LoadBe16(footer.DiskGeometry)) + "/" +
         std::to_string(footer.DiskGeometry[2]) + "/" + std::to_string(footer.DiskGeometry[3]);
}

bool AllBytesAre(const Bytes &bytes, uint8_t value) {
  for (uint8_t byte : bytes) {
    if (byte != value) {
      return false;
    }
  }
  return true;
}

// Every footer field the writer sets, for an image of the given type and size.
void ExpectFooter(const Bytes &bytes, uint32_t diskType, uint64_t size, uint64_t dataOffset) {
  ASSERT_EQ(bytes.size(), sizeof(VHD_FOOTER));
  const VHD_FOOTER &footer = AsFooter(bytes);
  EXPECT_EQ(std::memcmp(footer.Cookie, "conectix", 8), 0);
  EXPECT_EQ(LoadBe32(footer.Features), 2u);
  EXPECT_EQ(LoadBe32(footer.FileFormatVersion), 0x00010000u);
  EXPECT_EQ(LoadBe64(footer.DataOffset), dataOffset);
  int64_t now = static_cast<int64_t>(std::time(nullptr)) - kVhdEpoch;
  int64_t stamp = LoadBe32(footer.TimeStamp);
  EXPECT_LE(stamp, now);
  EXPECT_GE(stamp, now - 60);
  EXPECT_EQ(std::memcmp(footer.CreatorApplication, "dorv", 4), 0);
  EXPECT_EQ(LoadBe32(footer.CreatorVersion), 0x00010000u);
  EXPECT_EQ(std::memcmp(footer.CreatorHostOs, "Wi2k", 4), 0);
  EXPECT_EQ(LoadBe64(footer.OriginalSize), size);
  EXPECT_EQ(LoadBe64(footer.CurrentSize), size);
  EXPECT_EQ(LoadBe32(footer.DiskType), diskType);
  EXPECT_EQ(LoadBe32(footer.Checksum), ComputeFooterChecksum(&footer));
  EXPECT_TRUE(IsFooterIntact(&footer));
  // A version 4 UUID: random apart from its version and variant bits.
  EXPECT_EQ(footer.UniqueId[6] & 0xF0, 0x40);
  EXPECT_EQ(footer.UniqueId[8] & 0xC0, 0x80);
  EXPECT_EQ(footer.SavedState, 0);
  EXPECT_TRUE(AllBytesAre(Bytes(footer.Reserved, footer.Reserved + sizeof(footer.Reserved)), 0));
}

TEST_F(ToolCreate, FixedImageIsDataThenFooter) {
  const uint64_t size = 10 * kMiB;
  std::string path = File("fixed.vhd");
  ASSERT_EQ(CreateImage(path, Spec(VHD_DISK_TYPE_FIXED, size)), "");

  ASSERT_EQ(test::FileSize(path), size + 512);
  Bytes footer = test::PeekFile(path, size, 512);
  ExpectFooter(footer, VHD_DISK_TYPE_FIXED, size, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(Geometry(AsFooter(footer)), "301/4/17");
  EXPECT_TRUE(AllBytesAre(test::PeekFile(path, 0, size), 0));

  // The zeros are a hole, not written data.
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_LT(static_cast<uint64_t>(info.st_blocks) * 512, size / 2);
}

TEST_F(ToolCreate, GeometryFollowsTheSectorCount) {
  struct Case {
    uint64_t size;
    const char *geometry;
  } cases[] = {
      /* 0 */ {1024, "0/4/17"},
      /* 1 */ {10 * kMiB, "301/4/17"},
      /* 2 */ {2 * kGiB, "4161/16/63"},
      /* 3 */ {2048 * kGiB, "65535/16/255"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    std::string path = File("g" + std::to_string(i) + ".vhd");
    ASSERT_EQ(CreateImage(path, Spec(VHD_DISK_TYPE_FIXED, cases[i].size)), "") << "case " << i;
    EXPECT_EQ(Geometry(AsFooter(test::PeekFile(path, cases[i].size, 512))), cases[i].geometry)
        << "case " << i;
    unlink(path.c_str());
  }
}

TEST_F(ToolCreate, DynamicImageLayout) {
  struct Case {
    uint64_t size;
    uint32_t blockSize;
    uint32_t entries;
    uint64_t tableBytes;  // whole sectors
  } cases[] = {
      /* 0 */ {10 * kMiB, 2u << 20, 5, 512},
      /* 1 */ {10 * kMiB + 512, 2u << 20, 6, 512},      // a last, partial block
      /* 2 */ {512, 2u << 20, 1, 512},
      /* 3 */ {256 * kMiB, 2u << 20, 128, 512},          // exactly one sector of entries
      /* 4 */ {258 * kMiB, 2u << 20, 129, 1024},         // one entry into a second sector
      /* 5 */ {64 * kMiB, 4u << 20, 16, 512},
      /* 6 */ {1 * kMiB, 4096, 256, 1024},
      /* 7 */ {1 * kMiB, 512, 2048, 8192},
      /* 8 */ {3 * kGiB, 1u << 31, 2, 512},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    const Case &c = cases[i];
    std::string path = File("d" + std::to_string(i) + ".vhd");
    ASSERT_EQ(CreateImage(path, Spec(VHD_DISK_TYPE_DYNAMIC, c.size, c.blockSize)), "");

    uint64_t footerOffset = 1536 + c.tableBytes;
    ASSERT_EQ(test::FileSize(path), footerOffset + 512);
    Bytes footer = test::PeekFile(path, footerOffset, 512);
    ExpectFooter(footer, VHD_DISK_TYPE_DYNAMIC, c.size, 512);
    EXPECT_EQ(test::PeekFile(path, 0, 512), footer) << "footer copy differs";

    Bytes headerBytes = test::PeekFile(path, 512, sizeof(VHD_DYNAMIC_HEADER));
    const VHD_DYNAMIC_HEADER &header =
        *reinterpret_cast<const VHD_DYNAMIC_HEADER *>(headerBytes.data());
    EXPECT_EQ(std::memcmp(header.Cookie, "cxsparse", 8), 0);
    EXPECT_EQ(LoadBe64(header.DataOffset), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(LoadBe64(header.TableOffset), 1536u);
    EXPECT_EQ(LoadBe32(header.HeaderVersion), 0x00010000u);
    EXPECT_EQ(LoadBe32(header.MaxTableEntries), c.entries);
    EXPECT_EQ(LoadBe32(header.BlockSize), c.blockSize);
    EXPECT_EQ(LoadBe32(header.Checksum), ComputeDynamicHeaderChecksum(&header));
    // No parent: identity, name and locators all zero.
    EXPECT_TRUE(AllBytesAre(Bytes(headerBytes.begin() + 40, headerBytes.begin() + 768), 0));
    EXPECT_TRUE(AllBytesAre(Bytes(headerBytes.begin() + 768, headerBytes.end()), 0));

    EXPECT_TRUE(AllBytesAre(test::PeekFile(path, 1536, c.tableBytes), 0xFF))
        << "table entries, padding included, must all be unallocated";
    unlink(path.c_str());
  }
}

TEST_F(ToolCreate, NewImagesOpenAndReadAsZeros) {
  struct Case {
    uint32_t diskType;
    uint64_t size;
    uint32_t blockSize;
  } cases[] = {
      /* 0 */ {VHD_DISK_TYPE_FIXED, 1024, 0},
      /* 1 */ {VHD_DISK_TYPE_FIXED, 3 * kMiB + 512, 0},
      /* 2 */ {VHD_DISK_TYPE_DYNAMIC, 512, 2u << 20},
      /* 3 */ {VHD_DISK_TYPE_DYNAMIC, 5 * kMiB + 512, 2u << 20},
      /* 4 */ {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 4096},
      /* 5 */ {VHD_DISK_TYPE_DYNAMIC, 1 * kMiB, 512},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    std::string path = File("o" + std::to_string(i) + ".vhd");
    ASSERT_EQ(CreateImage(path, Spec(cases[i].diskType, cases[i].size, cases[i].blockSize)), "");
    {
      test::OpenedImage image;
      ASSERT_EQ(image.Open(path), STATUS_SUCCESS);
      EXPECT_EQ(image->DiskType, cases[i].diskType);
      EXPECT_EQ(static_cast<uint64_t>(image->DiskSize), cases[i].size);
      Bytes data(cases[i].size, 0xA5);
      uint32_t moved = 0;
      ASSERT_EQ(image.Read(0, data.data(), static_cast<uint32_t>(data.size()), &moved),
                STATUS_SUCCESS);
      EXPECT_EQ(moved, cases[i].size);
      EXPECT_TRUE(AllBytesAre(data, 0));
    }
    EXPECT_EQ(host::OutstandingAllocations(), 0u);
  }
}

TEST_F(ToolCreate, ImagesGetTheirOwnUniqueId) {
  std::string a = File("a.vhd");
  std::string b = File("b.vhd");
  ASSERT_EQ(CreateImage(a, Spec(VHD_DISK_TYPE_DYNAMIC, kMiB)), "");
  ASSERT_EQ(CreateImage(b, Spec(VHD_DISK_TYPE_DYNAMIC, kMiB)), "");
  EXPECT_NE(test::PeekFile(a, 68, 16), test::PeekFile(b, 68, 16));
}

TEST_F(ToolCreate, RefusesSizesTheDriverCouldNotServe) {
  struct Case {
    uint32_t diskType;
    uint64_t size;
    uint32_t blockSize;
    const char *mentions;
  } cases[] = {
      /* 0 */ {VHD_DISK_TYPE_FIXED, 1000, 0, "not a multiple of 512"},
      /* 1 */ {VHD_DISK_TYPE_DYNAMIC, kMiB + 1, 2u << 20, "not a multiple of 512"},
      /* 2 */ {VHD_DISK_TYPE_FIXED, 0, 0, "0"},
      /* 3 */ {VHD_DISK_TYPE_DYNAMIC, 0, 2u << 20, "0"},
      // A 1024-byte file is shorter than any image file can be.
      /* 4 */ {VHD_DISK_TYPE_FIXED, 512, 0, "at least 1024"},
      /* 5 */ {VHD_DISK_TYPE_FIXED, 0x7FFFFFFFFFFFFE00ull, 0, "too large"},
      /* 6 */ {VHD_DISK_TYPE_DYNAMIC, kMiB, 3000, "block size 3000"},
      /* 7 */ {VHD_DISK_TYPE_DYNAMIC, kMiB, 256, "block size 256"},
      /* 8 */ {VHD_DISK_TYPE_DYNAMIC, kMiB, 0, "block size 0"},
      /* 9 */ {VHD_DISK_TYPE_DYNAMIC, kMiB, 0x80000200u, "block size"},
      // Blocks past sector 2^32 could never be recorded in the table.
      /* 10 */ {VHD_DISK_TYPE_DYNAMIC, 2048 * kGiB, 2u << 20, "too large"},
      /* 11 */ {VHD_DISK_TYPE_DYNAMIC, 1024 * kGiB, 512, "table entries"},
      /* 12 */ {VHD_DISK_TYPE_DIFFERENCING, kMiB, 2u << 20, "disk type"},
      /* 13 */ {7, kMiB, 2u << 20, "disk type"},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    std::string path = File("r" + std::to_string(i) + ".vhd");
    std::string error =
        CreateImage(path, Spec(cases[i].diskType, cases[i].size, cases[i].blockSize));
    EXPECT_NE(error.find(cases[i].mentions), std::string::npos)
        << "case " << i << ": error \"" << error << "\" does not mention " << cases[i].mentions;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "case " << i;
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "case " << i << ": a file was left behind";
  }
}

TEST_F(ToolCreate, LargestDynamicImagesStayAddressable) {
  // 2040 GiB still fits 32-bit sector numbers with 2 MiB blocks; so do 1 TiB
  // of 4 MiB blocks and 2040 GiB of 2 GiB blocks.
  struct Case {
    uint64_t size;
    uint32_t blockSize;
  } cases[] = {{2040 * kGiB, 2u << 20}, {1024 * kGiB, 4u << 20}, {2040 * kGiB, 1u << 31}};
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    std::string path = File("big" + std::to_string(i) + ".vhd");
    EXPECT_EQ(CreateImage(path, Spec(VHD_DISK_TYPE_DYNAMIC, cases[i].size, cases[i].blockSize)),
              "")
        << "case " << i;
    test::OpenedImage image;
    EXPECT_EQ(image.Open(path), STATUS_SUCCESS) << "case " << i;
  }
}

TEST_F(ToolCreate, NeverTouchesAnExistingPath) {
  std::string precious = File("precious.vhd");
  Bytes content = test::PatternBytes(4096, 7);
  test::WriteFileBytes(precious, content);
  std::string error = CreateImage(precious, Spec(VHD_DISK_TYPE_FIXED, kMiB));
  EXPECT_NE(error.find("exists"), std::string::npos) << error;
  EXPECT_EQ(test::ReadFileBytes(precious), content);

  // A link to a file that does not exist yet is not followed.
  std::string target = File("target.vhd");
  std::string link = File("link.vhd");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_NE(CreateImage(link, Spec(VHD_DISK_TYPE_DYNAMIC, kMiB)), "");
  EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link's target was created";

  EXPECT_NE(CreateImage(DirPath(), Spec(VHD_DISK_TYPE_FIXED, kMiB)), "");
}

TEST_F(ToolCreate, ReportsWhyTheFileCouldNotBeMade) {
  std::string error = CreateImage(File("missing/a.vhd"), Spec(VHD_DISK_TYPE_FIXED, kMiB));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace dorvane
