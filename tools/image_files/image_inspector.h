// tools/image_files: image files read and written as files, with format/ and
// the open's own rules (image/image_validation.h), never through the driver:
// the inspector (this header), the file opened as every image open is
// (image_file.h), the words for the open's faults (image_faults.h), the
// checker and repairer (image_check.h) with the undo of a repair
// (repair_undo.h), the writers of new images (image_writer.h), and the
// explanation of a refused open found by looking at the files
// (open_failure.h). Of tools/ it uses only tools/disk, for error text and
// file descriptors.
//
// The inspector: what an image file holds, read from its records over a
// file opened for reading that lets every other open go on, and judged by
// the driver's own rules. It knows nothing of the driver's records; what the
// virtual disk holds is the driver's to say (tools/disk/disk_access.h).
#pragma once

#include "format/vhd_format.h"
#include "tools/image_files/image_file.h"

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

// The entries of the table that lie before limit (the trailing footer's
// start), in host order; VHD_BAT_UNALLOCATED for 0 too. The driver reads the
// others as unallocated, and they are left out.
std::string ReadTableEntries(const ImageFile &file, const VHD_DYNAMIC_HEADER &header,
                             uint64_t limit, std::vector<uint32_t> *entries);

// Where a differencing image's usable parent locators lead, in the order the
// driver tries them (the last entry first).
struct ParentCandidate {
  int locator = 0;
  std::string text;      // the locator's path; empty when its data is unusable
  std::string error;     // why the locator's data is unusable, else empty
  std::string hostPath;  // the file it names; empty when the name maps nowhere
  std::u16string name;   // the kernel name it forms
};
std::vector<ParentCandidate> ParentCandidates(const ImageFile &file, const ImageRecords &child,
                                              const std::u16string &childName);

// Judges the file as the driver's open does, its parents aside, and reads the
// footer and, for dynamic and differencing images, the dynamic header and the
// block allocation table, whose entries beyond the footer's start count as
// unallocated (as the driver reads them). chainPool, when given, carries the
// pool charge of the images above it in its chain.
InspectFailure InspectImage(const std::string &path, ImageRecords *image,
                            uint64_t *chainPool = nullptr);

// The image at path, then each parent in turn. A parent is found as the
// driver finds it: the usable parent locators are tried from the last entry
// to the first, a relative path joined to the child's folder, names matched
// ignoring case; the first that leads to an image is the parent, and it must
// carry the Unique Id its child records. The chain as a whole must stay within
// the driver's depth and pool limits.
InspectFailure InspectChain(const std::string &path, std::vector<ImageRecords> *chain);

}  // namespace dorvane
