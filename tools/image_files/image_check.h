// The structural check of an image file and its parent chain, and the
// repairs that need no guess about data: records read with the inspector's
// file access and format/, over plain files, never through the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
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

  size_t Repaired() const;
  size_t Remaining() const { return problems.size() - Repaired(); }
};

// Checks the image at path and each parent in turn: footer and footer copy,
// dynamic header, BAT entries (inside the file, clear of the metadata and of
// each other, in front of the trailing footer), the sector bitmaps of dynamic
// blocks, the parent locators, the parent's identity and loops in the chain.
// Writes nothing unless repair is set; then it rebuilds the trailing footer
// from the copy at offset 0 or the copy from the footer, completes or undoes
// an interrupted growth, rewrites the bitmaps of dynamic blocks, clears
// entries that name places past the end of the file and cuts the file behind
// its last block. Nothing any remaining entry names is ever written over.
// progress, when given, hears how many of a file's dynamic blocks had their
// bitmaps read so far, out of how many.
using CheckProgress = std::function<void(uint64_t done, uint64_t total)>;
CheckResult CheckImageChain(const std::string &path, bool repair,
                            const CheckProgress &progress = {});

}  // namespace dorvane
