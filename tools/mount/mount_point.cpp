#include "tools/mount/mount_point.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace dorvane {

namespace {

// A field of /proc/self/mountinfo with its octal escapes ("\040" for a
// space) undone.
std::string Unescaped(const std::string &field) {
  std::string text;
  for (size_t i = 0; i < field.size(); ++i) {
    bool escape = field[i] == '\\' && i + 3 < field.size() &&
                  field.find_first_not_of("01234567", i + 1) >= i + 4;
    if (escape) {
      text.push_back(char(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

// The folder's absolute name with links resolved; when it cannot be resolved
// (a mount whose server died answers nothing), the name as given, made
// absolute, without trailing slashes.
std::string AbsoluteName(const std::string &path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) {
    return resolved;
  }
  std::string name = path;
  char cwd[PATH_MAX];
  if ((name.empty() || name[0] != '/') && getcwd(cwd, sizeof(cwd)) != nullptr) {
    name = std::string(cwd) + "/" + name;
  }
  while (name.size() > 1 && name.back() == '/') {
    name.pop_back();
  }
  return name;
}

// "SOURCE (TYPE)" of the last file system mounted at the absolute name, the
// one a new mount would cover, or "" when none is.
std::string MountedAt(const std::string &absolute) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line, found;
  while (std::getline(table, line)) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL...] - TYPE SOURCE ...
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) {
      words.push_back(word);
    }
    size_t dash = 6;
    while (dash < words.size() && words[dash] != "-") {
      ++dash;
    }
    if (dash + 2 >= words.size() || Unescaped(words[4]) != absolute) {
      continue;
    }
    found = Unescaped(words[dash + 2]) + " (" + Unescaped(words[dash + 1]) + ")";
  }
  return found;
}

}  // namespace

std::string MountPointProblem(const std::string &mountPoint) {
  std::string mounted = MountedAt(AbsoluteName(mountPoint));
  if (!mounted.empty()) {
    return "the mount point is busy: " + mounted + " is mounted there; unmount it first";
  }
  struct stat info;
  if (stat(mountPoint.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "the mount point is not a folder";
  }
  return "";
}

}  // namespace dorvane
