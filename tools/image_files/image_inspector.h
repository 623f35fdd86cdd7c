// tools/image_files: image files read and written as files, with format/,
// never through the driver: the inspector (this header), the checker and
// repairer (image_check.h), the writers of new images (image_writer.h), and
// the explanation of a refused open found by looking at the files
// (open_failure.h). Of tools/ it uses only tools/disk, for error text and
// file descriptors.
//
// The inspector: what an image file holds, read from its records over a
// plain read-only file. It knows nothing of the driver's own records; what
// the virtual disk holds is the driver's to say (tools/disk/disk_access.h).
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

// Exactly length bytes of the file at offset; "" or why they could not be
// read ("the file ends inside the WHAT").
std::string ReadFileAt(int fd, void *buffer, uint64_t length, uint64_t offset, const char *what);

// Where a differencing image's usable parent locators lead, in the order the
// driver tries them (the last entry first).
struct ParentCandidate {
  int locator = 0;
  std::string text;      // the locator's path; empty when its data is unusable
  std::string error;     // why the locator's data is unusable, else empty
  std::string hostPath;  // the file it names; empty when the name maps nowhere
  std::u16string name;   // the kernel name it forms
};
std::vector<ParentCandidate> ParentCandidates(int fd, const ImageRecords &child,
                                              const std::u16string &childName);

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
