// The open's faults in words.
#include "tools/image_files/image_faults.h"

#include "image/image.h"

namespace dorvane {

namespace {

std::string Number(uint64_t value) { return std::to_string(value); }
std::string At(uint64_t offset) { return "offset " + Number(offset); }

uint64_t FooterField64(const FaultFacts &facts, size_t offset) {
  return facts.footer != nullptr ? LoadBe64(facts.footer, ULONG(offset)) : 0;
}
uint64_t HeaderField64(const FaultFacts &facts, size_t offset) {
  return facts.header != nullptr ? LoadBe64(facts.header, ULONG(offset)) : 0;
}
uint32_t HeaderField32(const FaultFacts &facts, size_t offset) {
  return facts.header != nullptr ? LoadBe32(facts.header, ULONG(offset)) : 0;
}

std::string BlockAt(const FaultFacts &facts, uint64_t index) {
  std::string text = "block " + Number(index);
  if (facts.entries != nullptr && index < facts.entries->size()) {
    text += " at " + At(uint64_t((*facts.entries)[index]) * VHD_SECTOR_SIZE);
  }
  return text;
}

// Which records of the header and the table overlap.
std::string OverlapText(const FaultFacts &facts) {
  uint64_t header = FooterField64(facts, offsetof(VHD_FOOTER, DataOffset));
  uint64_t table = HeaderField64(facts, offsetof(VHD_DYNAMIC_HEADER, TableOffset));
  uint64_t tableEnd = table + ((uint64_t(HeaderField32(facts, offsetof(VHD_DYNAMIC_HEADER,
                                                                          MaxTableEntries))) *
                                    4 + VHD_SECTOR_SIZE - 1) & ~uint64_t(VHD_SECTOR_SIZE - 1));
  std::string tableText = "the table at " + At(table);
  if (table < header + sizeof(VHD_DYNAMIC_HEADER) && header < tableEnd) {
    return tableText + " overlaps the dynamic header at " + At(header);
  }
  if (table < sizeof(VHD_FOOTER)) {
    return tableText + " overlaps the footer copy at offset 0";
  }
  return "the dynamic header at " + At(header) + " overlaps the footer copy at offset 0";
}

}  // namespace

std::string RegionText(uint64_t region) {
  switch (region) {
    case ImageRegionFooterCopy:
      return "the footer copy";
    case ImageRegionHeader:
      return "the dynamic header";
    case ImageRegionTable:
      return "the table";
    case ImageRegionTrailingFooter:
      return "the footer";
    default:
      return "parent locator " + Number(region - ImageRegionLocatorData) + "'s data";
  }
}

std::string FaultText(const IMAGE_VERDICT &verdict, const FaultFacts &facts) {
  uint64_t footerAt = facts.fileSize >= sizeof(VHD_FOOTER) ? facts.fileSize - sizeof(VHD_FOOTER) : 0;
  uint64_t diskSize = FooterField64(facts, offsetof(VHD_FOOTER, CurrentSize));
  uint64_t headerAt = FooterField64(facts, offsetof(VHD_FOOTER, DataOffset));
  uint64_t tableAt = HeaderField64(facts, offsetof(VHD_DYNAMIC_HEADER, TableOffset));
  uint32_t entries = HeaderField32(facts, offsetof(VHD_DYNAMIC_HEADER, MaxTableEntries));
  uint32_t blockSize = HeaderField32(facts, offsetof(VHD_DYNAMIC_HEADER, BlockSize));
  std::string locator = "parent locator " + Number(verdict.Value) + ": ";
  switch (verdict.Fault) {
    case ImageSound:
      return "";
    case ImageFileTooShort:
      return "the file is " + Number(facts.fileSize) + " bytes long, shorter than any image (" +
             Number(3 * VHD_SECTOR_SIZE) + " bytes)";
    case ImageFooterDamaged:
      return "the footer at " + At(footerAt) + " is damaged (its cookie, version or checksum)";
    case ImageDiskTypeUnknown:
      return "the footer names disk type " +
             Number(facts.footer != nullptr ? LoadBe32(facts.footer->DiskType) : 0) +
             ", none of fixed (2), dynamic (3) and differencing (4)";
    case ImageDiskSizeOutOfRange:
      return "the footer's disk size of " + Number(diskSize) + " bytes is beyond any file";
    case ImageFixedDiskPastFooter:
      return "the disk's size of " + Number(diskSize) + " bytes reaches past the footer at " +
             At(footerAt);
    case ImageFooterCopyUnreadable:
      return "the footer copy at offset 0 cannot be read";
    case ImageFooterCopyDiffers:
      return "the footer copy at offset 0 differs from the footer";
    case ImageHeaderOutsideFile:
      return "the dynamic header's " + At(headerAt) + " lies outside the file";
    case ImageHeaderCookie:
      return "no dynamic header at " + At(headerAt) + " (no \"cxsparse\" cookie)";
    case ImageHeaderChecksum:
      return "the dynamic header at " + At(headerAt) + " fails its checksum";
    case ImageTableOutsideFile:
      return "the table's " + At(tableAt) + " lies past the end of the file (" +
             Number(facts.fileSize) + " bytes)";
    case ImageBlockSizeNotPowerOfTwo:
      return "the block size of " + Number(blockSize) + " bytes is not a power of two";
    case ImageBlockSizeTooSmall:
      return "the block size of " + Number(blockSize) + " bytes is smaller than a sector";
    case ImageTableEntriesMismatch:
      return "the header's " + Number(entries) + " table entries do not match the disk's " +
             Number(diskSize) + " bytes";
    case ImageRecordsOverlap:
      return OverlapText(facts);
    case ImageBlockSizeBeyondLimit:
      return "its blocks of " + Number(blockSize) +
             " bytes are larger than the driver serves (at most " +
             Number(IMAGE_BLOCK_SIZE_LIMIT) + ")";
    case ImageTableBeyondLimit:
      return "its block table of " + Number(entries) +
             " entries is larger than the driver serves (at most " +
             Number(IMAGE_BAT_ENTRY_LIMIT) + ")";
    case ImageChainBeyondLimit:
      return "its parent chain needs more memory than the driver gives one chain (" +
             Number(IMAGE_CHAIN_POOL_LIMIT >> 20) + " MiB)";
    case ImageTableUnreadable:
      return "the table at " + At(tableAt) + " cannot be read";
    case ImageBlockPastFooter:
      return BlockAt(facts, verdict.Value) + " runs past the end of the file's blocks at " +
             At(footerAt);
    case ImageBlockOnMetadata:
      return BlockAt(facts, verdict.Value) + " overlaps " + RegionText(verdict.Other);
    case ImageBlocksOverlap:
      return BlockAt(facts, verdict.Value) + " and " + BlockAt(facts, verdict.Other) + " overlap";
    case ImageLocatorTooLong:
      return locator + "its data is " + Number(verdict.Other) + " bytes long, longer than a path";
    case ImageLocatorOffsetOutOfRange:
    case ImageLocatorOutsideFile:
      return locator + "its data lies outside the file";
    case ImageLocatorTooShort:
      return locator + "its data of " + Number(verdict.Other) + " bytes is no path";
    case ImageNoParentLocator:
      return "no parent locator names its parent";
    case ImageParentMismatch:
      return "its parent's Unique Id is another than the one it was made on";
    case ImageChainTooDeep:
      return "its parent chain is longer than " + Number(IMAGE_CHAIN_DEPTH_LIMIT) + " images";
  }
  return "fault " + Number(verdict.Fault);
}

}  // namespace dorvane
