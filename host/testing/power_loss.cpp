// Simulated power loss. While it is armed, every change a file call makes to
// a file (a write, an end-of-file or allocation change, zeroed data) is kept
// in the file's journal until the next flush of that file, which makes them
// durable and empties the journal. A cut puts every file with a journal back
// to its state at its last flush and then applies an arbitrary subset of the
// journal, in order, where a write may be torn at a 512-byte boundary: what
// a disk that reorders and tears its writes may have kept when the power
// went. Afterwards nothing more reaches the disk until ClearFaults, as after
// a Crash fault.
//
// Where a kept change grows a file, the space it grows by that no kept write
// covers reads as zeros, as on file systems that never show what a file did
// not write; armed for stale growth, it reads as a deleted file's bytes
// instead, as FAT may show it after a cut: the file's new length kept, its
// new clusters never written.
//
// The journal works in whole sectors, as a disk writes the page cache back:
// a change is kept as the bytes of the sectors it touched, as they stood
// right after it (a later change to the same sector therefore carries the
// earlier one with it), together with what those sectors and the file's
// length were before it, so that the cut can undo it.
#include "host/executive/executive_internal.h"
#include "host/testing/testing_internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

namespace host {

namespace {

constexpr int64_t kSector = 512;

struct Change {
  bool resize = false;      // an end-of-file change, else sectors written
  int64_t offset = 0;       // first byte of the sectors
  std::vector<uint8_t> before, after;  // the sectors' bytes (inside the file)
  int64_t sizeBefore = 0, sizeAfter = 0;
};

struct Journal {
  int fd = -1;  // a descriptor of its own, writable
  std::vector<Change> changes;
};

using FileKey = std::pair<dev_t, ino_t>;

std::mutex journalLock;
std::atomic<bool> armed{false};
UnwrittenSpace growth = UnwrittenSpace::Zeros;  // under journalLock
PowerCutReport lastCut;  // under journalLock
std::map<FileKey, Journal> &Journals() {
  static auto *journals = new std::map<FileKey, Journal>();
  return *journals;
}

bool KeyOf(int fd, FileKey *key, int64_t *size) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *key = {st.st_dev, st.st_ino};
  *size = st.st_size;
  return true;
}

// Bytes [offset, offset + length) of the file, cut at its end.
std::vector<uint8_t> ReadRange(int fd, int64_t offset, int64_t length) {
  std::vector<uint8_t> bytes(size_t(std::max<int64_t>(length, 0)));
  ssize_t got = length > 0 ? pread(fd, bytes.data(), bytes.size(), offset) : 0;
  bytes.resize(size_t(std::max<ssize_t>(got, 0)));
  return bytes;
}

void WriteRange(int fd, int64_t offset, const uint8_t *bytes, size_t length) {
  for (size_t done = 0; done < length;) {
    ssize_t put = pwrite(fd, bytes + done, length - done, offset + int64_t(done));
    if (put <= 0) BugCheck("POWER_LOSS", "cannot rewrite a file at a cut (errno %d)", errno);
    done += size_t(put);
  }
}

void SetSize(int fd, int64_t size) {
  if (ftruncate(fd, size) != 0) BugCheck("POWER_LOSS", "cannot resize a file at a cut");
}

// The bytes a file grown to `end` shows past its present length, before any
// kept write lands there: zeros, or (stale growth) another file's old bytes.
void GrowTo(int fd, int64_t end) {
  struct stat st;
  if (fstat(fd, &st) != 0 || end <= st.st_size) return;
  if (growth == UnwrittenSpace::Zeros) {
    SetSize(fd, end);
    return;
  }
  std::vector<uint8_t> stale(size_t(end - st.st_size), 0xA5);
  WriteRange(fd, st.st_size, stale.data(), stale.size());
}

void CloseJournals() {
  for (auto &[key, journal] : Journals()) close(journal.fd);
  Journals().clear();
}

// One file back at its last flush, then the changes the disk kept.
void CutFile(Journal &journal, std::mt19937_64 &random, PowerCutReport *report) {
  for (auto change = journal.changes.rbegin(); change != journal.changes.rend(); ++change) {
    SetSize(journal.fd, change->sizeBefore);
    WriteRange(journal.fd, change->offset, change->before.data(), change->before.size());
  }
  for (const Change &change : journal.changes) {
    ++report->pending;
    if (random() % 2 == 0) continue;
    ++report->kept;
    if (change.resize) {
      GrowTo(journal.fd, change.sizeAfter);
      SetSize(journal.fd, change.sizeAfter);
      continue;
    }
    size_t from = 0, to = change.after.size();
    size_t sectors = (to + kSector - 1) / kSector;
    if (sectors > 1 && random() % 3 == 0) {
      ++report->torn;
      size_t boundary = size_t(1 + random() % (sectors - 1)) * kSector;
      (random() % 2 == 0 ? to : from) = boundary;
    }
    GrowTo(journal.fd, change.offset + int64_t(from));
    WriteRange(journal.fd, change.offset + int64_t(from), change.after.data() + from, to - from);
  }
}

// A change under way: the sectors it touches as they were before it.
struct ChangeInProgress {
  int fd;
  bool resize;
  int64_t first, end, sizeBefore;
  std::vector<uint8_t> before;
};

void *BeginChange(int fd, int64_t offset, int64_t length, bool resize) {
  if (!armed.load()) return nullptr;
  std::lock_guard<std::mutex> guard(journalLock);
  FileKey key;
  int64_t size;
  if (!KeyOf(fd, &key, &size)) return nullptr;
  if (resize) {
    // The sectors a shrink cuts off, to put back; a growth adds zeros.
    length = std::max<int64_t>(size - offset, 0);
  }
  auto *change = new ChangeInProgress{fd, resize, offset / kSector * kSector,
                                      (offset + length + kSector - 1) / kSector * kSector, size,
                                      {}};
  change->before = ReadRange(fd, change->first, std::min(change->end, size) - change->first);
  return change;
}

void EndChange(void *inProgress) {
  std::unique_ptr<ChangeInProgress> made(static_cast<ChangeInProgress *>(inProgress));
  if (!armed.load()) return;
  std::lock_guard<std::mutex> guard(journalLock);
  FileKey key;
  int64_t size;
  if (!KeyOf(made->fd, &key, &size)) return;
  Journal &journal = Journals()[key];
  if (journal.fd < 0) journal.fd = dup(made->fd);
  Change change;
  change.resize = made->resize;
  change.offset = made->first;
  change.before = std::move(made->before);
  change.sizeBefore = made->sizeBefore;
  change.sizeAfter = size;
  if (!made->resize) {
    change.after = ReadRange(made->fd, made->first, std::min(made->end, size) - made->first);
  }
  journal.changes.push_back(std::move(change));
}

void FlushedFile(int fd) {
  if (!armed.load()) return;
  std::lock_guard<std::mutex> guard(journalLock);
  FileKey key;
  int64_t size;
  if (!KeyOf(fd, &key, &size)) return;
  auto it = Journals().find(key);
  if (it == Journals().end()) return;
  close(it->second.fd);
  Journals().erase(it);
}

const HookInstaller installer([] {
  testHooks.beginChange = BeginChange;
  testHooks.endChange = EndChange;
  testHooks.fileFlushed = FlushedFile;
});

}  // namespace

void ArmPowerLoss(bool arm, UnwrittenSpace grownSpace) {
  std::lock_guard<std::mutex> guard(journalLock);
  CloseJournals();
  growth = grownSpace;
  armed.store(arm);
}

PowerCutReport CutPower(uint64_t seed) {
  std::lock_guard<std::mutex> guard(journalLock);
  PowerCutReport report;
  std::mt19937_64 random(seed);
  for (auto &[key, journal] : Journals()) CutFile(journal, random, &report);
  CloseJournals();
  MarkCrashed();
  lastCut = report;
  return report;
}

PowerCutReport LastPowerCut() {
  std::lock_guard<std::mutex> guard(journalLock);
  return lastCut;
}

}  // namespace host
