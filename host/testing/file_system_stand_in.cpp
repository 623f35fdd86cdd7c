// The file system a test stands in for the host's own: the name volume
// queries report, so that the driver's judgement of a volume (FAT or NTFS)
// can be tried on whatever the test's files lie on.
#include "host/testing/testing_internal.h"

#include <mutex>

namespace host {

namespace {

std::mutex nameLock;
std::u16string standInName;  // under nameLock; empty: the host's own

const HookInstaller installer([] {
  testHooks.fileSystemName = [] {
    std::lock_guard<std::mutex> guard(nameLock);
    return standInName;
  };
});

}  // namespace

void ReportFileSystemName(const std::u16string& name) {
  std::lock_guard<std::mutex> guard(nameLock);
  standInName = name;
}

}  // namespace host
