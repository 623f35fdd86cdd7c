// Footer and dynamic header checksums and validation.
#include "format/vhd_format.h"

namespace {

ULONG SumWithoutChecksum(const UCHAR *Bytes, ULONG Length, ULONG ChecksumOffset) {
  ULONG Sum = 0;
  for (ULONG Index = 0; Index < Length; ++Index) {
    if (Index >= ChecksumOffset && Index < ChecksumOffset + 4) {
      continue;
    }
    Sum += Bytes[Index];
  }
  return ~Sum;
}

const UCHAR FooterCookie[8] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x'};
const UCHAR HeaderCookie[8] = {'c', 'x', 's', 'p', 'a', 'r', 's', 'e'};

}  // namespace

ULONG ComputeFooterChecksum(const VHD_FOOTER *Footer) {
  return SumWithoutChecksum(reinterpret_cast<const UCHAR *>(Footer), sizeof(VHD_FOOTER),
                            offsetof(VHD_FOOTER, Checksum));
}

ULONG ComputeDynamicHeaderChecksum(const VHD_DYNAMIC_HEADER *Header) {
  return SumWithoutChecksum(reinterpret_cast<const UCHAR *>(Header),
                            sizeof(VHD_DYNAMIC_HEADER), offsetof(VHD_DYNAMIC_HEADER, Checksum));
}

VOID UpdateFooterChecksum(VHD_FOOTER *Footer) {
  StoreBe32(Footer->Checksum, ComputeFooterChecksum(Footer));
}

VOID UpdateDynamicHeaderChecksum(VHD_DYNAMIC_HEADER *Header) {
  StoreBe32(Header->Checksum, ComputeDynamicHeaderChecksum(Header));
}

BOOLEAN IsFooterIntact(const VHD_FOOTER *Footer) {
  return memcmp(Footer->Cookie, FooterCookie, sizeof(FooterCookie)) == 0 &&
         LoadBe32(Footer->FileFormatVersion) == VHD_FILE_FORMAT_VERSION &&
         LoadBe32(Footer->Checksum) == ComputeFooterChecksum(Footer);
}

BOOLEAN HasDynamicHeaderCookie(const VHD_DYNAMIC_HEADER *Header) {
  return memcmp(Header->Cookie, HeaderCookie, sizeof(HeaderCookie)) == 0;
}

BOOLEAN IsDynamicHeaderChecksumValid(const VHD_DYNAMIC_HEADER *Header) {
  return LoadBe32(Header->Checksum) == ComputeDynamicHeaderChecksum(Header);
}

BOOLEAN IsUsableLocatorCode(const VHD_PARENT_LOCATOR *Locator) {
  // Compared as the four bytes in file order, letter case included.
  return memcmp(Locator->PlatformCode, "W2ku", 4) == 0 ||
         memcmp(Locator->PlatformCode, "W2ru", 4) == 0;
}
