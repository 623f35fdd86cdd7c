// On-disk record helpers: byte order, checksums, geometry and the sector
// bitmap's bit order.
#include <gtest/gtest.h>

#include "format/vhd_format.h"

namespace {

VHD_FOOTER ValidFooter() {
  VHD_FOOTER Footer;
  memset(&Footer, 0, sizeof(Footer));
  memcpy(Footer.Cookie, "conectix", 8);
  StoreBe32(Footer.FileFormatVersion, VHD_FILE_FORMAT_VERSION);
  StoreBe64(Footer.CurrentSize, 10 << 20);
  StoreBe32(Footer.DiskType, VHD_DISK_TYPE_FIXED);
  UpdateFooterChecksum(&Footer);
  return Footer;
}

TEST(FormatByteOrder, FieldsAreBigEndianAtTheirOffset) {
  UCHAR Record[16] = {};
  StoreBe64(Record, 0x0102030405060708ull, 4);
  const UCHAR Expected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(0, memcmp(Record + 4, Expected, 8));
  EXPECT_EQ(0x01020304u, LoadBe32(Record, 4));
  EXPECT_EQ(0x0506u, LoadBe16(Record, 8));
  EXPECT_EQ(0x0102030405060708ull, LoadBe64(Record, 4));
  EXPECT_EQ(0x00001234u, BatEntryToHost(BatEntryToDisk(0x1234)));
  ULONG Disk = BatEntryToDisk(0x11223344);
  EXPECT_EQ(0x11, reinterpret_cast<UCHAR *>(&Disk)[0]);
}

TEST(FormatChecksum, AllZeroRecordSumsToAllOnes) {
  VHD_FOOTER Footer;
  memset(&Footer, 0, sizeof(Footer));
  EXPECT_EQ(0xFFFFFFFFu, ComputeFooterChecksum(&Footer));
  VHD_DYNAMIC_HEADER Header;
  memset(&Header, 0, sizeof(Header));
  EXPECT_EQ(0xFFFFFFFFu, ComputeDynamicHeaderChecksum(&Header));
}

TEST(FormatChecksum, ChecksumFieldCountsAsZero) {
  VHD_FOOTER Footer = ValidFooter();
  ULONG Stored = LoadBe32(Footer.Checksum);
  StoreBe32(Footer.Checksum, 0xDEADBEEF);
  EXPECT_EQ(Stored, ComputeFooterChecksum(&Footer));
  // One's complement of the byte sum: adding one to any byte lowers it by one.
  Footer.Reserved[100] = 1;
  EXPECT_EQ(Stored - 1, ComputeFooterChecksum(&Footer));
}

TEST(FormatChecksum, FooterValidation) {
  struct Case {
    const char *what;
    void (*corrupt)(VHD_FOOTER *);
    bool intact;
  } Cases[] = {
      {"valid", [](VHD_FOOTER *) {}, true},
      {"version 1.1", [](VHD_FOOTER *F) { StoreBe32(F->FileFormatVersion, 0x00010001); }, false},
      {"cookie", [](VHD_FOOTER *F) { F->Cookie[7] = 'y'; }, false},
      {"checksum off by one",
       [](VHD_FOOTER *F) { StoreBe32(F->Checksum, LoadBe32(F->Checksum) + 1); }, false},
      {"checksum zero", [](VHD_FOOTER *F) { StoreBe32(F->Checksum, 0); }, false},
  };
  for (const Case &C : Cases) {
    VHD_FOOTER Footer = ValidFooter();
    C.corrupt(&Footer);
    EXPECT_EQ(C.intact, IsFooterIntact(&Footer) != 0) << C.what;
  }
}

TEST(FormatChecksum, HeaderCookieAndChecksumAreSeparateChecks) {
  VHD_DYNAMIC_HEADER Header;
  memset(&Header, 0, sizeof(Header));
  memcpy(Header.Cookie, "cxsparse", 8);
  UpdateDynamicHeaderChecksum(&Header);
  EXPECT_TRUE(HasDynamicHeaderCookie(&Header));
  EXPECT_TRUE(IsDynamicHeaderChecksumValid(&Header));
  Header.Cookie[0] = 'C';
  EXPECT_FALSE(HasDynamicHeaderCookie(&Header));
  EXPECT_FALSE(IsDynamicHeaderChecksumValid(&Header));
}

TEST(FormatGeometry, PublishedTable) {
  struct Case {
    ULONGLONG sectors;
    USHORT cylinders;
    UCHAR heads;
    UCHAR sectorsPerTrack;
  } Cases[] = {
      {0, 0, 4, 17},
      {20480, 301, 4, 17},             // 10 MiB
      {4194304, 4161, 16, 63},         // 2 GiB
      {66059279, 65534, 16, 63},
      {66059280, 16191, 16, 255},
      {267382800, 65535, 16, 255},
      {267382801, 65535, 16, 255},
      {4294967296ull, 65535, 16, 255},  // 2 TiB, beyond 32 bits
      {1ull << 40, 65535, 16, 255},
      {2097152, 2080, 16, 63},          // 1 GiB
      {204800, 1003, 12, 17},           // 100 MiB
  };
  for (const Case &C : Cases) {
    UCHAR Field[4];
    ComputeDiskGeometry(C.sectors, Field);
    EXPECT_EQ(C.cylinders, LoadBe16(Field)) << C.sectors;
    EXPECT_EQ(C.heads, Field[2]) << C.sectors;
    EXPECT_EQ(C.sectorsPerTrack, Field[3]) << C.sectors;
  }
}

TEST(FormatBlockLayout, BitmapIsPaddedToWholeSectors) {
  struct Case {
    ULONG blockSize;
    ULONG bitmap;
  } Cases[] = {
      {2u << 20, 512}, {4u << 20, 1024}, {1u << 31, 524288},
      {1u << 20, 512}, {4096, 512},     {512, 512},
  };
  for (const Case &C : Cases) {
    EXPECT_EQ(C.bitmap, SectorBitmapLength(C.blockSize)) << C.blockSize;
    EXPECT_EQ(C.bitmap + C.blockSize, BlockSpan(C.blockSize)) << C.blockSize;
    EXPECT_EQ(0u, BlockSpan(C.blockSize) % VHD_SECTOR_SIZE) << C.blockSize;
  }
}

TEST(FormatSectorBitmap, FileOrderIsMostSignificantBitFirst) {
  // Sectors 0, 7 and 8 present, as the file stores them.
  UCHAR Bitmap[4] = {0x81, 0x80, 0x00, 0x01};
  SectorBitmapFromDisk(Bitmap, sizeof(Bitmap));
  RTL_BITMAP Header;
  ULONG Storage[1];
  memcpy(Storage, Bitmap, 4);
  RtlInitializeBitMap(&Header, Storage, 32);
  for (ULONG Sector = 0; Sector < 32; ++Sector) {
    bool Expected = Sector == 0 || Sector == 7 || Sector == 8 || Sector == 31;
    EXPECT_EQ(Expected, RtlTestBit(&Header, Sector) != 0) << "sector " << Sector;
  }
  memcpy(Bitmap, Storage, 4);
  SectorBitmapToDisk(Bitmap, sizeof(Bitmap));
  const UCHAR Original[4] = {0x81, 0x80, 0x00, 0x01};
  EXPECT_EQ(0, memcmp(Bitmap, Original, 4));
}

TEST(FormatLocators, OnlyTheTwoWindowsCodesAreUsable) {
  const char *Codes[] = {"W2ku", "W2ru", "w2ku", "W2KU", "Wi2k", "Mac ", "MacX"};
  for (const char *Code : Codes) {
    VHD_PARENT_LOCATOR Locator;
    memset(&Locator, 0, sizeof(Locator));
    memcpy(Locator.PlatformCode, Code, 4);
    bool Expected = strcmp(Code, "W2ku") == 0 || strcmp(Code, "W2ru") == 0;
    EXPECT_EQ(Expected, IsUsableLocatorCode(&Locator) != 0) << Code;
  }
  VHD_PARENT_LOCATOR Empty;
  memset(&Empty, 0, sizeof(Empty));
  EXPECT_FALSE(IsUsableLocatorCode(&Empty));
}

}  // namespace
