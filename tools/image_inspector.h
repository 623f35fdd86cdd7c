// The command's inspector: what an image file holds, read from its records
// with format/ over a plain read-only file. It never goes through the driver
// and knows nothing of the driver's own records; what the virtual disk holds
// is the driver's to say (disk_access.h).
#pragma once

#include "format/vhd_format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dorvane {

// The records of one image file.
struct ImageRecords {
  std::string path;                          // host path of the file
  uint64_t fileSize = 0;
  uint64_t device = 0, inode = 0;            // which file it is, to tell a chain that loops
  VHD_FOOTER footer{};                       // the trailing footer, intact
  std::optional<VHD_DYNAMIC_HEADER> header;  // dynamic and differencing images
  uint64_t allocatedBlocks = 0;              // table entries that name a block

  uint32_t DiskType() const { return LoadBe32(footer.DiskType); }
  uint64_t CurrentSize() const { return LoadBe64(footer.CurrentSize); }
};

// What kept a file from being inspected, and which file it was.
struct InspectFailure {
  std::string path;
  std::string what;  // one line; empty when nothing failed

  explicit operator bool() const { return !what.empty(); }
};

// Reads the footer and, for dynamic and differencing images, the dynamic
// header and the block allocation table, whose entries beyond the footer's
// start count as unallocated (as the driver reads them).
InspectFailure InspectImage(const std::string &path, ImageRecords *image);

// The image at path, then each parent in turn. A parent is found as the
// driver finds it: the usable parent locators are tried from the last entry
// to the first, a relative path joined to the child's folder, names matched
// ignoring case; the first that leads to an image is the parent, and it must
// carry the Unique Id its child records.
InspectFailure InspectChain(const std::string &path, std::vector<ImageRecords> *chain);

}  // namespace dorvane
