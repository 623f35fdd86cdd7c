// Fault injection and observation of file calls: per-kind call counters, the
// test hook, pending faults (fail, short transfer, crash) and the history of
// creates, plus the reset tests run between cases.
#include "host/testing/testing_internal.h"

#include <atomic>
#include <map>
#include <mutex>
#include <utility>

namespace host {

namespace {

struct PendingFault {
  FileCall call;
  uint64_t remaining;  // matching calls until it fires, this one included
  FileFault fault;
  std::string pathSuffix;
};

std::mutex faultLock;
std::vector<PendingFault>& Faults() {
  static auto* faults = new std::vector<PendingFault>();
  return *faults;
}
std::map<std::pair<FileCall, std::string>, uint64_t>& Counts() {
  static auto* counts = new std::map<std::pair<FileCall, std::string>, uint64_t>();
  return *counts;
}
std::function<void(FileCall, const std::string&)>& Hook() {
  static auto* hook = new std::function<void(FileCall, const std::string&)>();
  return *hook;
}
std::vector<CreateRecord>& Creates() {
  static auto* creates = new std::vector<CreateRecord>();
  return *creates;
}
std::atomic<bool> crashed{false};

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool Mutating(FileCall call) { return call != FileCall::Read; }

}  // namespace

void InjectFileFault(FileCall call, uint64_t nth, FileFault fault, std::string pathSuffix) {
  if (nth == 0) return;
  std::lock_guard<std::mutex> guard(faultLock);
  Faults().push_back(PendingFault{call, nth, fault, std::move(pathSuffix)});
}

void ClearFaults() {
  std::lock_guard<std::mutex> guard(faultLock);
  Faults().clear();
  crashed.store(false);
}

void MarkCrashed() { crashed.store(true); }

uint64_t FileCallCount(FileCall call, const std::string& pathSuffix) {
  std::lock_guard<std::mutex> guard(faultLock);
  uint64_t total = 0;
  for (const auto& [key, count] : Counts()) {
    if (key.first == call && EndsWith(key.second, pathSuffix)) total += count;
  }
  return total;
}

void ResetFileCallCounts() {
  std::lock_guard<std::mutex> guard(faultLock);
  Counts().clear();
}

void SetFileCallHook(std::function<void(FileCall, const std::string&)> hook) {
  std::lock_guard<std::mutex> guard(faultLock);
  Hook() = std::move(hook);
}

namespace {

bool Stopped() { return crashed.load(); }

FileCallGate GateFileCall(FileCall call, const std::string& hostPath, uint64_t requestedBytes) {
  std::function<void(FileCall, const std::string&)> hook;
  {
    std::lock_guard<std::mutex> guard(faultLock);
    hook = Hook();
  }
  // The hook may block (tests hold a call here on a latch), so it runs with
  // no lock held.
  if (hook) hook(call, hostPath);

  FileCallGate gate;
  bool crashesHere = false;
  std::lock_guard<std::mutex> guard(faultLock);
  ++Counts()[{call, hostPath}];
  for (auto it = Faults().begin(); it != Faults().end();) {
    if (it->call != call || !EndsWith(hostPath, it->pathSuffix) || --it->remaining != 0) {
      ++it;
      continue;
    }
    const FileFault& fault = it->fault;
    switch (fault.kind) {
      case FileFault::Kind::Fail:
        if (gate.status == STATUS_SUCCESS) gate.status = fault.status;
        break;
      case FileFault::Kind::ShortBy:
        gate.allowedBytes = std::min(gate.allowedBytes,
                                     requestedBytes > fault.bytes ? requestedBytes - fault.bytes
                                                                  : 0);
        break;
      case FileFault::Kind::ShortTo:
        gate.allowedBytes = std::min<uint64_t>(gate.allowedBytes, fault.bytes);
        break;
      case FileFault::Kind::PowerCut:
        CutPower(fault.bytes);
        [[fallthrough]];
      case FileFault::Kind::Crash:
        crashed.store(true);
        crashesHere = true;
        break;
    }
    it = Faults().erase(it);
  }
  // After a crash nothing reaches the disk any more; reads still see the
  // files as the crash left them.
  if (crashesHere || (crashed.load() && Mutating(call))) gate.status = STATUS_IO_DEVICE_ERROR;
  return gate;
}

void RecordCreate(const CreateRecord& record) {
  std::lock_guard<std::mutex> guard(faultLock);
  Creates().push_back(record);
}

const HookInstaller installer([] {
  testHooks.enterFileCall = GateFileCall;
  testHooks.diskStopped = Stopped;
  testHooks.fileCreated = RecordCreate;
});

}  // namespace

std::vector<CreateRecord> CreateHistory() {
  std::lock_guard<std::mutex> guard(faultLock);
  return Creates();
}

void ClearCreateHistory() {
  std::lock_guard<std::mutex> guard(faultLock);
  Creates().clear();
}

void ResetForTest() {
  ClearFaults();
  ArmPowerLoss(false);
  FailUuidCreate(0);
  SetFileCallHook(nullptr);
  ResetFileCallCounts();
  ClearDebugOutput();
  ResetBreakpointCount();
  SetKernelDebuggerPresent(true);
  ClearCreateHistory();
  ReportFileSystemName(u"");
  SetCurrentIrql(PASSIVE_LEVEL);
  SetPreviousMode(KernelMode);
  ResetKernelStack();
}

}  // namespace host
