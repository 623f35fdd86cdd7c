// The seam between the host kernel and its testing library (host/testing/,
// linked by tests and fuzzers only). Where a test may count, fail, journal or
// cut what a service does, the service calls through this table. The
// shipped command links no testing library: every entry stays null and the
// services simply go ahead. Each part of the testing library fills its own
// entries before main when it is linked.
#pragma once

#include "host/executive/executive.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

// The calls on host files a test can count and fail: reads, writes,
// set-information and file-system control calls, and flushes.
enum class FileCall { Read, Write, SetInformation, Control, Flush };

// What a file call may do: fail with `status` (not success), or move at most
// `allowedBytes`.
struct FileCallGate {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t allowedBytes = UINT64_MAX;
};

// One ZwCreateFile, as it ended.
struct CreateRecord {
  std::string hostPath;  // empty when the name did not map
  std::u16string ntName;
  ACCESS_MASK desiredAccess;
  ULONG fileAttributes, shareAccess, disposition, options, objectAttributes;
  NTSTATUS status;
};

struct TestHooks {
  // At the start of every file call, before it touches the file, with no
  // host-kernel lock held. `requestedBytes` is the length of a read or write.
  FileCallGate (*enterFileCall)(FileCall call, const std::string& hostPath,
                                uint64_t requestedBytes);
  // True while nothing may reach the disk any more (a simulated crash).
  bool (*diskStopped)();
  // Around one change of the file behind fd: the bytes [offset, offset +
  // length) are written, or (resize) the end of file moves to offset. What
  // beginChange returns is handed to endChange once the change is made.
  void* (*beginChange)(int fd, int64_t offset, int64_t length, bool resize);
  void (*endChange)(void* change);
  // A flush made the file's changes durable.
  void (*fileFlushed)(int fd);
  void (*fileCreated)(const CreateRecord& record);
  // Asked once by each call of the service; true makes that call fail.
  bool (*failPoolAllocation)();
  bool (*failUuidCreate)();
  bool (*failMapping)();
  bool (*failErrorLogAllocation)();
  // What IoGetRemainingStackSize reports, given what is left of the host
  // thread's stack and what the thread used since its kernel entry (when it
  // has one).
  size_t (*remainingStack)(size_t remaining, bool inKernel, size_t usedSinceEntry);
  // The file system name a volume query reports instead of the host's own
  // (empty: the host's own), so that a test can stand in another volume.
  std::u16string (*fileSystemName)();
};
inline TestHooks testHooks{};

inline FileCallGate EnterFileCall(FileCall call, const std::string& hostPath,
                                  uint64_t requestedBytes) {
  if (testHooks.enterFileCall == nullptr) return FileCallGate{};
  return testHooks.enterFileCall(call, hostPath, requestedBytes);
}

inline std::u16string ReportedFileSystemName() {
  return testHooks.fileSystemName == nullptr ? std::u16string() : testHooks.fileSystemName();
}

inline bool DiskStopped() { return testHooks.diskStopped != nullptr && testHooks.diskStopped(); }

inline bool FailsHere(bool (*failHook)()) { return failHook != nullptr && failHook(); }

inline void FileFlushed(int fd) {
  if (testHooks.fileFlushed != nullptr) testHooks.fileFlushed(fd);
}

inline void FileCreated(const CreateRecord& record) {
  if (testHooks.fileCreated != nullptr) testHooks.fileCreated(record);
}

// Lives around one change of a file (see beginChange).
class FileChange {
 public:
  FileChange(int fd, int64_t offset, int64_t length, bool resize = false)
      : change_(testHooks.beginChange == nullptr
                    ? nullptr
                    : testHooks.beginChange(fd, offset, length, resize)) {}
  ~FileChange() {
    if (change_ != nullptr) testHooks.endChange(change_);
  }
  FileChange(const FileChange&) = delete;
  FileChange& operator=(const FileChange&) = delete;

 private:
  void* change_;
};

}  // namespace host
