// Object names: NT names of files to host paths and back. \??\X:\ names go
// through the drive table (Z: is / by default, more from MapDrive and the
// DORVANE_DRIVES variable), \Device\Mup\server\share\ and \??\UNC\ names
// through the share table. Names are checked as NTFS checks them, and with
// OBJ_CASE_INSENSITIVE a component that does not exist as written may match
// one directory entry that differs only in (ASCII) case.
#include "host/objects/object_internal.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace host {

namespace {

std::mutex nameLock;
bool drivesLoaded = false;
std::map<char, std::string>& Drives() {
  static auto* drives = new std::map<char, std::string>();
  return *drives;
}
// Drives that stand for a file system without zero-data (FAT, exFAT).
std::set<char>& DrivesWithoutZeroData() {
  static auto* drives = new std::set<char>();
  return *drives;
}
std::map<std::pair<std::string, std::string>, std::string>& Shares() {
  static auto* shares = new std::map<std::pair<std::string, std::string>, std::string>();
  return *shares;
}

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }
char16_t UpperAscii16(char16_t c) { return (c >= u'a' && c <= u'z') ? (char16_t)(c - 32) : c; }

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  }
  return text;
}

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

// Host directories of the tables are absolute, without trailing slash
// (except "/").
std::string AbsoluteDirectory(const std::string& dir) {
  std::string path = dir;
  if (path.empty() || path[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) != nullptr) path = std::string(cwd) + "/" + path;
  }
  // Lexical normalisation: drop "." and empty components, fold "..".
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string result;
  for (const auto& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

// Called with nameLock held. Explicit MapDrive calls come after this, so they
// override the environment.
void LoadDrivesLocked() {
  if (drivesLoaded) return;
  drivesLoaded = true;
  Drives()['Z'] = "/";
  const char* env = getenv("DORVANE_DRIVES");
  if (env == nullptr) return;
  std::string list = env;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    start = end + 1;
    if (entry.empty()) continue;
    char letter = UpperAscii(entry[0]);
    if (entry.size() < 4 || letter < 'A' || letter > 'Z' || entry.compare(1, 2, ":=") != 0) {
      fprintf(stderr, "dorvane: ignoring malformed DORVANE_DRIVES entry \"%s\"\n",
              entry.c_str());
      continue;
    }
    Drives()[letter] = AbsoluteDirectory(entry.substr(3));
  }
}

bool InvalidNtfsCharacter(char16_t c) {
  return c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' ||
         c == u'>' || c == u'?' || c == u'|';
}

// Splits "\a\b\c" (after the volume or share) into checked components.
NTSTATUS SplitComponents(const std::u16string& rest, std::vector<std::u16string>* components,
                         bool* trailingSeparator) {
  *trailingSeparator = false;
  if (rest.empty()) return STATUS_SUCCESS;
  if (rest[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
  size_t start = 1;
  while (start <= rest.size()) {
    size_t end = rest.find(u'\\', start);
    if (end == std::u16string::npos) end = rest.size();
    std::u16string part = rest.substr(start, end - start);
    if (part.empty()) {
      // Only the very end may be a separator ("\dir\"); "\\" inside is invalid.
      if (end == rest.size() && start == rest.size()) {
        *trailingSeparator = !components->empty();
        break;
      }
      return STATUS_OBJECT_NAME_INVALID;
    }
    // NTFS does not interpret "." and ".." (the I/O manager of Win32 does);
    // names holding them are refused rather than resolved on the host.
    if (part == u"." || part == u"..") return STATUS_OBJECT_NAME_INVALID;
    if (part.size() > 255) return STATUS_OBJECT_NAME_INVALID;
    // ':' would name an alternate data stream; the host has none to offer.
    for (char16_t c : part) {
      if (InvalidNtfsCharacter(c)) return STATUS_OBJECT_NAME_INVALID;
    }
    components->push_back(part);
    start = end + 1;
  }
  return STATUS_SUCCESS;
}

// The unique entry of `directory` equal to `name` ignoring ASCII case, if any.
bool FindCaseInsensitive(const std::string& directory, const std::string& name,
                         std::string* match) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  int matches = 0;
  while (dirent* entry = readdir(dir)) {
    if (EqualIgnoringAsciiCase(entry->d_name, name)) {
      *match = entry->d_name;
      ++matches;
    }
  }
  closedir(dir);
  // Two entries differing only in case cannot exist on NTFS; picking one
  // would be a guess, so neither is taken.
  return matches == 1;
}

NTSTATUS ResolveBelow(const std::string& root, const std::vector<std::u16string>& components,
                      bool caseInsensitive, std::string* hostPath) {
  std::string path = root;
  bool searching = true;
  for (const auto& component : components) {
    bool valid;
    std::string name = Utf8FromUtf16(component, &valid);
    // Unpaired surrogates are legal in NTFS names but have no host spelling.
    if (!valid) return STATUS_OBJECT_NAME_INVALID;
    std::string parent = path;
    path = (path == "/" ? "" : path) + "/" + name;
    if (!caseInsensitive || !searching) continue;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) continue;
    auto saved = errno;
    if (saved != ENOENT) {
      searching = false;
      continue;
    }
    std::string match;
    if (FindCaseInsensitive(parent, name, &match)) {
      path = (parent == "/" ? "" : parent) + "/" + match;
    } else {
      searching = false;  // nothing below a missing component exists
    }
  }
  *hostPath = path;
  return STATUS_SUCCESS;
}

bool StartsWithIgnoringCase(const std::u16string& text, const std::u16string& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (UpperAscii16(text[i]) != UpperAscii16(prefix[i])) return false;
  }
  return true;
}

// "server\share\rest" → the share's directory and "\rest".
NTSTATUS MapUnc(const std::u16string& unc, std::string* root, std::u16string* rest,
                std::u16string* volumeRelative) {
  size_t serverEnd = unc.find(u'\\');
  if (serverEnd == std::u16string::npos || serverEnd == 0) return STATUS_OBJECT_PATH_NOT_FOUND;
  size_t shareEnd = unc.find(u'\\', serverEnd + 1);
  if (shareEnd == std::u16string::npos) shareEnd = unc.size();
  if (shareEnd == serverEnd + 1) return STATUS_OBJECT_PATH_NOT_FOUND;
  bool validServer, validShare;
  std::string server = LowerAscii(Utf8FromUtf16(unc.substr(0, serverEnd), &validServer));
  std::string share =
      LowerAscii(Utf8FromUtf16(unc.substr(serverEnd + 1, shareEnd - serverEnd - 1), &validShare));
  if (!validServer || !validShare) return STATUS_OBJECT_PATH_NOT_FOUND;
  {
    std::lock_guard<std::mutex> guard(nameLock);
    auto found = Shares().find({server, share});
    if (found == Shares().end()) return STATUS_OBJECT_PATH_NOT_FOUND;
    *root = found->second;
  }
  *rest = unc.substr(shareEnd);
  *volumeRelative = u"\\" + unc;
  return STATUS_SUCCESS;
}

}  // namespace

void MapDrive(char letter, const std::string& dir) {
  std::lock_guard<std::mutex> guard(nameLock);
  LoadDrivesLocked();
  char key = UpperAscii(letter);
  if (dir.empty()) {
    Drives().erase(key);
  } else {
    Drives()[key] = AbsoluteDirectory(dir);
  }
}

void MapShare(const std::string& server, const std::string& share, const std::string& dir) {
  std::lock_guard<std::mutex> guard(nameLock);
  auto key = std::make_pair(LowerAscii(server), LowerAscii(share));
  if (dir.empty()) {
    Shares().erase(key);
  } else {
    Shares()[key] = AbsoluteDirectory(dir);
  }
}

NTSTATUS MapNtName(const std::u16string& ntName, bool caseInsensitive, MappedName* out) {
  // Object-manager directories (\??, \DosDevices, \Device) are matched
  // ignoring case, as NT's object manager does by default.
  static const std::u16string kDosPrefixes[] = {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"};
  if (ntName.empty() || ntName[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;

  std::string root;
  std::u16string rest;
  std::u16string volumeRelative;
  bool matched = false;
  for (const auto& prefix : kDosPrefixes) {
    if (!StartsWithIgnoringCase(ntName, prefix)) continue;
    matched = true;
    std::u16string below = ntName.substr(prefix.size());
    if (StartsWithIgnoringCase(below, u"UNC\\")) {
      NTSTATUS status = MapUnc(below.substr(4), &root, &rest, &volumeRelative);
      if (!NT_SUCCESS(status)) return status;
      break;
    }
    if (below.size() < 2 || below[1] != u':' || (below.size() > 2 && below[2] != u'\\')) {
      return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    char letter = (char)UpperAscii16(below[0]);
    if (below[0] > 0x7F || letter < 'A' || letter > 'Z') return STATUS_OBJECT_PATH_NOT_FOUND;
    {
      std::lock_guard<std::mutex> guard(nameLock);
      LoadDrivesLocked();
      auto found = Drives().find(letter);
      if (found == Drives().end()) return STATUS_OBJECT_PATH_NOT_FOUND;
      root = found->second;
    }
    // "\??\X:" alone names the volume on NT; the host has no volume objects
    // and takes it as the drive's root directory.
    rest = below.substr(2);
    volumeRelative = rest.empty() ? u"\\" : rest;
    break;
  }
  if (!matched) {
    if (!StartsWithIgnoringCase(ntName, u"\\Device\\Mup\\")) return STATUS_OBJECT_PATH_NOT_FOUND;
    NTSTATUS status = MapUnc(ntName.substr(12), &root, &rest, &volumeRelative);
    if (!NT_SUCCESS(status)) return status;
  }

  std::vector<std::u16string> components;
  NTSTATUS status = SplitComponents(rest, &components, &out->trailingSeparator);
  if (!NT_SUCCESS(status)) return status;
  out->volumeRelativeName = volumeRelative;
  return ResolveBelow(root, components, caseInsensitive, &out->hostPath);
}

NTSTATUS MapRelativeName(const std::string& directory, const std::u16string& directoryNtName,
                         const std::u16string& relative, bool caseInsensitive, MappedName* out) {
  // A name relative to a directory handle must not start with a separator.
  if (!relative.empty() && relative[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
  std::vector<std::u16string> components;
  NTSTATUS status =
      SplitComponents(relative.empty() ? relative : u"\\" + relative, &components,
                      &out->trailingSeparator);
  if (!NT_SUCCESS(status)) return status;
  std::u16string base = directoryNtName;
  if (!base.empty() && base.back() == u'\\') base.pop_back();
  out->volumeRelativeName = relative.empty() ? directoryNtName : base + u"\\" + relative;
  return ResolveBelow(directory, components, caseInsensitive, &out->hostPath);
}

NTSTATUS HostPathForNtName(const std::u16string& ntName, bool caseInsensitive, std::string* out) {
  MappedName mapped;
  NTSTATUS status = MapNtName(ntName, caseInsensitive, &mapped);
  if (NT_SUCCESS(status)) *out = mapped.hostPath;
  return status;
}

namespace {

// The drive whose directory is the longest prefix of an absolute path; Z:
// (the whole host) only when no other drive holds it. 0 when no drive maps
// it. Called with nameLock held.
char DriveOfPathLocked(const std::string& absolute) {
  LoadDrivesLocked();
  char best = 0;
  size_t bestLength = 0;
  for (const auto& [letter, dir] : Drives()) {
    bool below = dir == "/" || absolute == dir ||
                 (absolute.compare(0, dir.size(), dir) == 0 && absolute[dir.size()] == '/');
    if (!below) continue;
    size_t length = dir == "/" ? 0 : dir.size();
    bool better = best == 0 || length > bestLength ||
                  (length == bestLength && best == 'Z' && letter != 'Z');
    if (better) {
      best = letter;
      bestLength = length;
    }
  }
  return best;
}

}  // namespace

void SetDriveZeroData(char letter, bool served) {
  std::lock_guard<std::mutex> guard(nameLock);
  if (served) {
    DrivesWithoutZeroData().erase(UpperAscii(letter));
  } else {
    DrivesWithoutZeroData().insert(UpperAscii(letter));
  }
}

bool ZeroDataServed(const std::string& hostPath) {
  std::lock_guard<std::mutex> guard(nameLock);
  return DrivesWithoutZeroData().count(DriveOfPathLocked(hostPath)) == 0;
}

// Empty when no drive maps the path or the path is not UTF-8.
std::u16string NtPathForHostPath(const std::string& path) {
  std::string absolute = AbsoluteDirectory(path);
  char best;
  size_t bestLength;
  {
    std::lock_guard<std::mutex> guard(nameLock);
    best = DriveOfPathLocked(absolute);
    bestLength = best == 0 || Drives()[best] == "/" ? 0 : Drives()[best].size();
  }
  if (best == 0) return u"";
  std::string rest = absolute.substr(bestLength);
  if (rest.empty()) rest = "/";
  bool valid;
  std::u16string name = u"\\??\\" + std::u16string(1, (char16_t)best) + u":" +
                        Utf16FromUtf8(rest, &valid);
  if (!valid) return u"";
  for (size_t i = 6; i < name.size(); ++i) {
    if (name[i] == u'/') name[i] = u'\\';
  }
  return name;
}

}  // namespace host
