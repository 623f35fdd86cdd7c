// The structural check of an image file and its parent chain, and the
// repairs that need no guess about data: records read with format/ and
// judged by the driver's own rules (image/image_validation.h), over files
// opened as every open of an image is (image_file.h), never through the
// driver.
#pragma once

#include "tools/image_files/image_inspector.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace dorvane {

struct CheckProblem {
  std::string path;  // the file at fault
  std::string what;  // one line
  bool repairable = false;
  bool repaired = false;
};

struct CheckResult {
  std::vector<std::string> chain;  // the files checked, the image first
  std::vector<CheckProblem> problems;
  // Each file the repair changed, with the undo file that keeps what it
  // overwrote there.
  std::vector<std::pair<std::string, std::string>> undoFiles;
  // The check could not be made (the image is in use, no image file, cannot
  // be opened, the repair's undo file cannot be written): the file at fault
  // and why, with the status behind it (STATUS_SUCCESS when there is none).
  InspectFailure error;
  NTSTATUS errorStatus = STATUS_SUCCESS;

  size_t Repaired() const;
  size_t Remaining() const { return problems.size() - Repaired(); }
};

using CheckProgress = std::function<void(uint64_t done, uint64_t total)>;

struct CheckOptions {
  bool repair = false;
  // Where the repair of the image itself keeps what it overwrites;
  // DefaultUndoFile(image) when empty. Parents keep theirs beside them.
  std::string undoFile;
  // When given, hears how many of a file's dynamic blocks had their bitmaps
  // read so far, out of how many.
  CheckProgress progress;
};

// Checks the image at path and each parent in turn: footer and footer copy,
// dynamic header, BAT entries (inside the file, clear of the metadata and of
// each other, in front of the trailing footer), the sector bitmaps of dynamic
// blocks, the parent locators, the parent's identity, loops and the limits of
// the chain, and every file by the driver's own rules, so that it never calls
// clean what the driver refuses. Each file is opened as a reader that lets
// others only read, or with repair as a writer that shares nothing: a file in
// use is an error, and nothing is read while another process changes it.
//
// Writes nothing unless repair is set; then, after keeping what it will
// overwrite in the undo file (repair_undo.h), it rebuilds the trailing footer
// from the copy at offset 0 or the copy from the footer, completes or undoes
// an interrupted growth, clears entries that name places past the end of the
// file, on metadata or on another block (the block that keeps a place is
// the one that starts first, and each cleared block is named with the data
// given up), rewrites the bitmaps of dynamic blocks that own their place and
// cuts the file behind its last block. It writes only to places that belong
// to nothing else, and a file that does not open by the driver's rules
// afterwards keeps a problem that says so.
CheckResult CheckImageChain(const std::string &path, const CheckOptions &options);

}  // namespace dorvane
