// Explaining a refused open: the kind of file named, then the records of the
// image and its parent chain as the inspector judges them (by the driver's
// own rules, its limits included), then, for a sharing violation, which file
// of the chain another process holds.
#include "tools/image_files/open_failure.h"

#include "tools/disk/errors.h"
#include "tools/disk/kernel_names.h"

#include <vector>

namespace dorvane {

namespace {

// True when another open of the file would refuse an open with this access
// and sharing (ours is closed by now).
bool HeldElsewhere(const std::string &path, ACCESS_MASK access, ULONG share) {
  std::u16string name;
  UNICODE_STRING text;
  if (!KernelNameForPath(path, &name).empty() || !CountedName(&name, &text)) {
    return false;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                             NULL);
  HANDLE handle = NULL;
  IO_STATUS_BLOCK status;
  NTSTATUS opened = ZwCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, NULL, 0,
                                 share, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
  if (NT_SUCCESS(opened)) {
    ZwClose(handle);
  }
  return opened == STATUS_SHARING_VIOLATION;
}

// The file of the chain that another process keeps from being opened as
// the driver opens it: the image as asked, each parent for reading with
// reading and deletion shared.
std::string FileInUse(const std::string &image, const std::vector<ImageRecords> &chain,
                      bool writable) {
  ACCESS_MASK imageAccess = writable ? GENERIC_READ | GENERIC_WRITE | DELETE : GENERIC_READ;
  if (HeldElsewhere(image, imageAccess, FILE_SHARE_READ)) {
    return image;
  }
  for (size_t i = 1; i < chain.size(); ++i) {
    if (HeldElsewhere(chain[i].path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE)) {
      return chain[i].path;
    }
  }
  return "";
}

}  // namespace

InspectFailure ExplainOpenFailure(const std::string &image, bool writable, NTSTATUS status) {
  if (image.empty()) {
    return {image, "an image's name cannot be empty"};
  }
  std::string kind = NotAnImageFile(image);
  if (!kind.empty()) {
    return {image, kind};
  }
  std::vector<ImageRecords> chain;
  if (InspectFailure failure = InspectChain(image, &chain)) {
    return failure;
  }
  if (status == STATUS_SHARING_VIOLATION) {
    std::string held = FileInUse(image, chain, writable);
    if (!held.empty()) {
      return {held, "the file is in use by another process"};
    }
    return {image, "the file or a file of its parent chain was in use by another process"};
  }
  return {image, ""};
}

std::string OpenFailureLine(const std::string &image, const std::string &what,
                            const InspectFailure &why, NTSTATUS status) {
  std::string detail;
  if (why.path != image) {
    detail = "in the parent chain, " + (why.path.empty() ? "\"\"" : why.path) + ": ";
  }
  if (!why.what.empty()) {
    detail += why.what + ": ";
  }
  return ErrorLine(image.empty() ? "\"\"" : image, what, detail + StatusText(status));
}

void ReportOpenFailure(int fd, const std::string &image, const std::string &what,
                       const InspectFailure &why, NTSTATUS status) {
  WriteText(fd, "dorvane: " + OpenFailureLine(image, what, why, status) + "\n");
}

std::string UnopenableName(const std::string &path) {
  if (path.empty()) {
    return "an image's name cannot be empty";
  }
  std::u16string name;
  return KernelNameForPath(path, &name);
}

}  // namespace dorvane
