// Differencing images and parent chains for tests: images made with the
// command's writer, their parent locators and identities reshaped in the
// file, and an independent reader (python3-libvhdi) for cross-checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "file_bytes.h"

namespace dorvane::test {

// A new differencing image of parent; throws with the writer's error line.
void MakeDifferencingImage(const std::string &path, const std::string &parent);

// Locator entry `index` (0 to 7) of a dynamic or differencing image.
struct LocatorEntry {
  std::string code;     // four characters as stored
  uint32_t space = 0;   // Platform Data Space
  uint32_t length = 0;  // Platform Data Length
  uint64_t offset = 0;  // Platform Data Offset
  std::u16string path;  // the data as UTF-16LE text (length / 2 units)
};
LocatorEntry ReadLocator(const std::string &path, int index);

// Sets entry `index` to `code` with `text` (UTF-16LE) as its locator data,
// placed in new sectors where the footer stood (the footer moves behind
// them). The header's checksum is refreshed.
void SetLocator(const std::string &path, int index, const std::string &code,
                const std::u16string &text);
// Pokes the raw fields of entry `index`, header checksum refreshed.
void PokeLocator(const std::string &path, int index, const std::string &code, uint32_t length,
                 uint64_t offset);
// Clears all eight entries.
void ClearLocators(const std::string &path);

// The footer's Unique Id, and the header's Parent Unique ID.
Bytes UniqueId(const std::string &path);
Bytes ParentUniqueId(const std::string &path);
void SetParentUniqueId(const std::string &path, const Bytes &id);

// The python3 interpreter that has the pyvhdi module, or "" without one.
std::string PyvhdiPython();
// The virtual disk of chain[0] as libvhdi reads it, each image given the
// next as its parent (the last is not differencing). Throws on failure.
Bytes ReadWithPyvhdi(const std::vector<std::string> &chain);

}  // namespace dorvane::test
