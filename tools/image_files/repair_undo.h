// What a repair overwrites, kept in a file beside the image before anything
// is changed, so that a wrong repair can be undone (dorvane check --undo):
// the image's length before and after, and for every range the repair
// writes or cuts away, the bytes it held and the bytes written there.
#pragma once

#include "tools/image_files/image_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dorvane {

// IMAGE.repair-undo: where a repair keeps what it overwrites unless told
// otherwise.
std::string DefaultUndoFile(const std::string &image);

struct UndoRange {
  uint64_t offset = 0;
  uint64_t keptLength = 0;     // bytes of the image before the repair (inside its old length)
  std::vector<uint8_t> after;  // what the repair writes there; none for a cut
};

struct RepairUndo {
  uint64_t originalSize = 0;
  uint64_t repairedSize = 0;
  std::vector<UndoRange> ranges;
};

// Writes the undo file at path: the kept bytes are copied from the image as
// it stands now, and the file is flushed, and its folder, before this
// returns. An existing file is never replaced (an earlier repair's). "" or
// why it could not be written.
std::string WriteUndoFile(const std::string &path, const ImageFile &image, const RepairUndo &undo);

// What undoing did: the places and bytes put back.
struct UndoOutcome {
  std::string error;  // "" when the image is as it was before the repair
  uint64_t places = 0, bytes = 0;
};

// Puts back what the repair kept in the undo file at path, into the image
// opened for repair; the undo file is removed once the image is flushed. The
// image must still be as the repair left it (or as a stopped undo left it):
// otherwise nothing is written.
UndoOutcome UndoRepair(const std::string &path, ImageFile *image);

}  // namespace dorvane
