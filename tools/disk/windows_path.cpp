// Windows paths to kernel names.
#include "tools/disk/windows_path.h"

#include <cstring>
#include <vector>

namespace dorvane {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualIgnoringCase(const std::string &a, const char *b) {
  if (a.size() != std::strlen(b)) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperAscii(a[i]) != UpperAscii(b[i])) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> Components(const std::string &text) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : text) {
    if (IsSeparator(c)) {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

// The names Windows keeps for devices in every folder: a component whose
// name before its first dot (trailing spaces aside) is one of them opens
// the device, not a file.
bool IsDeviceName(const std::string &component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') {
    base.pop_back();
  }
  static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char *device : kDevices) {
    if (EqualIgnoringCase(base, device)) {
      return true;
    }
  }
  if (base.size() == 4 && base[3] >= '0' && base[3] <= '9' &&
      (EqualIgnoringCase(base.substr(0, 3), "COM") || EqualIgnoringCase(base.substr(0, 3), "LPT"))) {
    return true;
  }
  return false;
}

// Why a component cannot be part of a file's name, or "".
std::string BadComponent(const std::string &component) {
  for (char c : component) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c) != nullptr) {
      return c == ':' ? "a file name cannot hold ':' (streams are not image files)"
                      : "a file name cannot hold the character '" +
                            (static_cast<unsigned char>(c) < 0x20 ? std::string("control")
                                                                  : std::string(1, c)) +
                            "'";
    }
  }
  if (IsDeviceName(component)) {
    return "\"" + component + "\" names a device, not a file";
  }
  return "";
}

// A full path taken apart: the root the kernel name starts with, which `..`
// never leaves, and the components below it.
struct FullPath {
  std::string root;  // "\??\C:" or "\??\UNC\server\share"
  std::vector<std::string> parts;
};

// The root of a full DOS path and where its components begin, or why it is
// not one.
std::string SplitRoot(const std::string &path, FullPath *full, size_t *rest) {
  if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') {
    if (path.size() == 2 || !IsSeparator(path[2])) {
      return "a drive-relative path (" + path.substr(0, 2) +
             " without a backslash) depends on that drive's current folder; give the full path";
    }
    full->root = std::string("\\??\\") + UpperAscii(path[0]) + ":";
    *rest = 3;
    return "";
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    std::vector<std::string> parts = Components(path.substr(2));
    if (parts.size() < 3 || parts[0].empty() || parts[1].empty()) {
      return "a network path needs a server, a share and a file: \\\\server\\share\\file";
    }
    for (size_t i = 0; i < 2; ++i) {
      std::string bad = BadComponent(parts[i]);
      if (!bad.empty() || parts[i] == "." || parts[i] == "..") {
        return "\"" + parts[i] + "\" is not a server or share name";
      }
    }
    full->root = "\\??\\UNC\\" + parts[0] + "\\" + parts[1];
    *rest = 2 + parts[0].size() + 1 + parts[1].size() + 1;
    return "";
  }
  return "not a full path";
}

}  // namespace

std::string KernelNameForWindowsPath(const std::string &path, const std::string &currentDirectory,
                                     std::string *kernelName) {
  if (path.empty()) {
    return "an empty path names no file";
  }
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
      (path[2] == '.' || path[2] == '?') && IsSeparator(path[3])) {
    return "a device path (\\\\.\\ or \\\\?\\) is not taken; give the file's path "
           "(C:\\folder\\image.vhd or \\\\server\\share\\image.vhd)";
  }
  std::string full = path;
  bool rooted = IsSeparator(path[0]) && !(path.size() >= 2 && IsSeparator(path[1]));
  bool absolute = (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':') ||
                  (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]));
  if (rooted) {
    std::string first = Components(path.substr(1))[0];
    for (const char *directory : {"??", "Device", "GLOBAL??", "DosDevices"}) {
      if (EqualIgnoringCase(first, directory)) {
        return "an object-manager name (\\" + first + "\\...) is not taken; give the file's path";
      }
    }
  }
  if (!absolute) {
    FullPath current;
    size_t rest = 0;
    if (!SplitRoot(currentDirectory, &current, &rest).empty()) {
      return "the current folder (" + currentDirectory + ") is not a full path";
    }
    // A rooted path starts at the root of the current folder's drive or share.
    full = rooted ? currentDirectory.substr(0, rest) + path.substr(1)
                  : currentDirectory + "\\" + path;
  }
  if (IsSeparator(full.back()) || Components(full).back() == "." ||
      Components(full).back() == "..") {
    return "it names a folder, not an image file";
  }

  FullPath split;
  size_t rest = 0;
  std::string error = SplitRoot(full, &split, &rest);
  if (!error.empty()) {
    return error;
  }
  for (const std::string &part : Components(full.substr(rest))) {
    if (part.empty() || part == ".") {
      continue;
    }
    if (part == "..") {
      if (!split.parts.empty()) {
        split.parts.pop_back();
      }
      continue;
    }
    error = BadComponent(part);
    if (!error.empty()) {
      return error;
    }
    split.parts.push_back(part);
  }
  if (split.parts.empty()) {
    return "it names a folder, not an image file";
  }
  std::string name = split.root;
  for (const std::string &part : split.parts) {
    name += "\\" + part;
  }
  *kernelName = name;
  return "";
}

}  // namespace dorvane
