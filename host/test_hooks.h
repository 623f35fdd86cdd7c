// The seam between the host kernel and the machinery only tests use.
#pragma once

#include "host/host_kernel.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// --- The file-call gate of fault injection ----------------------------------

// What a file call may do after the gate: fail with `status` (not success), or
// move at most `allowedBytes`.
struct FileCallGate {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t allowedBytes = UINT64_MAX;
};
// Runs the hook, counts the call and applies pending faults. `requestedBytes`
// is the transfer length of reads and writes (0 for others).
FileCallGate EnterFileCall(FileCall call, const std::string& hostPath, uint64_t requestedBytes);
// True after a Crash fault fired: nothing more may reach the disk.
bool Crashed();
void MarkCrashed();
// Forgets the stack budget and its reports.
void ResetKernelStack();

// The journal of simulated power loss (power_loss.cpp). An UnflushedChange
// lives around one change to the file behind fd: the sectors of
// [offset, offset + length) are written, or (resize) the end of file moves
// to offset. Nothing is kept unless power loss is armed.
class UnflushedChange {
 public:
  UnflushedChange(int fd, int64_t offset, int64_t length, bool resize = false);
  ~UnflushedChange();
  UnflushedChange(const UnflushedChange&) = delete;
  UnflushedChange& operator=(const UnflushedChange&) = delete;

 private:
  int fd_;
  bool resize_;
  bool active_ = false;
  int64_t first_ = 0, end_ = 0, sizeBefore_ = 0;
  std::vector<uint8_t> before_;
};
// A flush made the file's changes durable.
void FlushedFile(int fd);
void RecordCreate(CreateRecord record);

}  // namespace host
