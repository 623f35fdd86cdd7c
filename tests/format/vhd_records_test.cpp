// On-disk record helpers: byte order, checksums, geometry, block layout and
// the sector bitmap's bit order. Validation of whole records is tested where
// images are opened (tests/image).
#include <gtest/gtest.h>

#include "format/vhd_format.h"

namespace {

TEST(FormatByteOrder, FieldsAreBigEndianAtTheirOffset) {
  UCHAR Record[16] = {};
  StoreBe64(Record, 0x0102030405060708ull, 4);
  const UCHAR Expected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(0, memcmp(Record + 4, Expected, 8));
  EXPECT_EQ(0x0506u, LoadBe16(Record, 8));
  EXPECT_EQ(0x0102030405060708ull, LoadBe64(Record, 4));
  // BAT entries: kept in file order, 0 and 0xFFFFFFFF both unallocated.
  EXPECT_EQ(0x11223344u, BatEntrySector(BatEntryToDisk(0x11223344)));
  EXPECT_EQ(VHD_BAT_UNALLOCATED, BatEntrySector(0));
  EXPECT_FALSE(IsBatEntryAllocated(BatEntryToDisk(VHD_BAT_UNALLOCATED)));
}

// The one's complement of the byte sum, with the Checksum field counted as 0.
TEST(FormatChecksum, ComplementOfTheByteSumWithoutTheField) {
  VHD_FOOTER Footer;
  memset(&Footer, 0, sizeof(Footer));
  VHD_DYNAMIC_HEADER Header;
  memset(&Header, 0, sizeof(Header));
  EXPECT_EQ(0xFFFFFFFFu, ComputeFooterChecksum(&Footer));
  EXPECT_EQ(0xFFFFFFFFu, ComputeDynamicHeaderChecksum(&Header));
  StoreBe32(Footer.Checksum, 0xDEADBEEF);
  Footer.Reserved[100] = 3;
  EXPECT_EQ(0xFFFFFFFFu - 3, ComputeFooterChecksum(&Footer));
  UpdateFooterChecksum(&Footer);
  EXPECT_EQ(0xFFFFFFFFu - 3, LoadBe32(Footer.Checksum));
  Header.ParentUnicodeName[0] = 1;
  UpdateDynamicHeaderChecksum(&Header);
  EXPECT_TRUE(IsDynamicHeaderChecksumValid(&Header));
  EXPECT_EQ(0xFFFFFFFEu, LoadBe32(Header.Checksum));
}

TEST(FormatGeometry, PublishedTable) {
  struct {
    ULONGLONG sectors;
    USHORT cylinders;
    UCHAR heads, sectorsPerTrack;
  } td[] = {
      /* 0 */ {0, 0, 4, 17},
      /* 1 */ {20480, 301, 4, 17},  // 10 MiB
      /* 2 */ {51000, 750, 4, 17},  // 3 heads would do: at least 4
      /* 3 */ {204800, 1003, 12, 17},  // 100 MiB
      /* 4 */ {278511, 1023, 16, 17},  // the last with 17 sectors per track
      /* 5 */ {278528, 561, 16, 31},
      /* 6 */ {507903, 1023, 16, 31},  // the last with 31 sectors per track
      /* 7 */ {507904, 503, 16, 63},
      /* 8 */ {2097152, 2080, 16, 63},  // 1 GiB
      /* 9 */ {66059279, 65534, 16, 63},  // the last below 65535 * 16 * 63
      /* 10 */ {66059280, 16191, 16, 255},
      /* 11 */ {267382800, 65535, 16, 255},  // the largest geometry
      /* 12 */ {1ull << 40, 65535, 16, 255},
      /* 13 */ {69632, 140, 16, 31},  // 4 heads exactly full: 31 sectors per track
  };
  for (size_t i = 0; i < std::size(td); ++i) {
    UCHAR Field[4];
    ComputeDiskGeometry(td[i].sectors, Field);
    EXPECT_EQ(td[i].cylinders, LoadBe16(Field)) << i;
    EXPECT_EQ(td[i].heads, Field[2]) << i;
    EXPECT_EQ(td[i].sectorsPerTrack, Field[3]) << i;
  }
}

TEST(FormatBlockLayout, BitmapIsPaddedToWholeSectors) {
  const ULONG td[][2] = {{512, 512}, {1u << 20, 512}, {2u << 20, 512}, {4u << 20, 1024},
                         {1u << 31, 524288}};
  for (const auto &row : td) {
    EXPECT_EQ(row[1], SectorBitmapLength(row[0])) << row[0];
    EXPECT_EQ(row[1] + row[0], BlockSpan(row[0])) << row[0];
  }
}

TEST(FormatSectorBitmap, FileOrderIsMostSignificantBitFirst) {
  // Sectors 0, 7, 8 and 31 present, as the file stores them.
  const UCHAR File[4] = {0x81, 0x80, 0x00, 0x01};
  ULONG Storage;
  memcpy(&Storage, File, 4);
  SectorBitmapFromDisk(reinterpret_cast<PUCHAR>(&Storage), 4);
  RTL_BITMAP Bitmap;
  RtlInitializeBitMap(&Bitmap, &Storage, 32);
  for (ULONG Sector = 0; Sector < 32; ++Sector) {
    bool Expected = Sector == 0 || Sector == 7 || Sector == 8 || Sector == 31;
    EXPECT_EQ(Expected, RtlTestBit(&Bitmap, Sector) != 0) << "sector " << Sector;
  }
  SectorBitmapToDisk(reinterpret_cast<PUCHAR>(&Storage), 4);
  EXPECT_EQ(0, memcmp(&Storage, File, 4));
}

}  // namespace
