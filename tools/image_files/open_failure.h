// Why the driver refused to open an image, in plain words. The driver gives
// a status only, and some statuses mislead on their own (a directory is
// STATUS_OBJECT_NAME_COLLISION, a chain that loops is
// STATUS_TOO_MANY_LINKS); the file at fault and the reason are found here
// by looking at the files and their records, after the refusal.
#pragma once

#include "tools/image_files/image_inspector.h"

#include <kernel_services.h>

#include <string>

namespace dorvane {

// The file at fault (image itself or a file of its parent chain) and the
// reason; `what` is empty when nothing more than the status is known.
InspectFailure ExplainOpenFailure(const std::string &image, bool writable, NTSTATUS status);

// "dorvane: IMAGE: WHAT: REASON: STATUS" on fd, one line; a reason about
// another file than IMAGE is "in the parent chain, FILE: REASON".
void ReportOpenFailure(int fd, const std::string &image, const std::string &what,
                       const InspectFailure &why, NTSTATUS status);
// The same line without the program's name and the line end.
std::string OpenFailureLine(const std::string &image, const std::string &what,
                            const InspectFailure &why, NTSTATUS status);

// A name the driver could not open once the file exists: empty, with a
// backslash (a folder separator to the driver), or not UTF-8 text. Returns
// the reason, or "" for a name it can open.
std::string UnopenableName(const std::string &path);

}  // namespace dorvane
