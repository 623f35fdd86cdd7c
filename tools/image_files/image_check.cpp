// Checking and repairing the structure of image files. One file at a time:
// its records are read as they stand, each problem becomes one line, and the
// repairs are collected and made together at the end, flushed in the order
// that keeps the file an image after each step: entries cleared and bitmaps
// rewritten, then the trailing footer in place and the file cut behind it,
// then the footer copy and the dynamic header.
#include "tools/image_files/image_check.h"

#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"
#include "tools/image_files/image_inspector.h"

#include "host/host_kernel.h"
#include "image/image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

namespace dorvane {

namespace {

const uint64_t kFooterSize = sizeof(VHD_FOOTER);
const uint64_t kHeaderSize = sizeof(VHD_DYNAMIC_HEADER);
const uint64_t kShortestImage = 3 * VHD_SECTOR_SIZE;

std::string Offset(uint64_t offset) { return "offset " + std::to_string(offset); }

uint64_t AlignUp(uint64_t value) {
  return (value + VHD_SECTOR_SIZE - 1) & ~uint64_t(VHD_SECTOR_SIZE - 1);
}

bool IntactFooter(const VHD_FOOTER &footer) {
  uint32_t type = LoadBe32(footer.DiskType);
  return IsFooterIntact(&footer) && type >= VHD_DISK_TYPE_FIXED &&
         type <= VHD_DISK_TYPE_DIFFERENCING;
}

// Whether two footers differ only in what a growth changes: the size, the
// geometry, the Unique Id and the checksum.
bool DifferByGrowth(const VHD_FOOTER &left, const VHD_FOOTER &right) {
  auto bytes = [](const VHD_FOOTER &footer) { return reinterpret_cast<const UCHAR *>(&footer); };
  for (size_t at = 0; at < kFooterSize; ++at) {
    bool grown = (at >= offsetof(VHD_FOOTER, CurrentSize) && at < offsetof(VHD_FOOTER, DiskType)) ||
                 (at >= offsetof(VHD_FOOTER, Checksum) && at < offsetof(VHD_FOOTER, SavedState));
    if (!grown && bytes(left)[at] != bytes(right)[at]) {
      return false;
    }
  }
  return true;
}

struct Region {
  uint64_t start, end;
  std::string name;
};

// One file's check: what was found, and the repairs it asks for.
class FileCheck {
 public:
  FileCheck(const std::string &path, bool repair, CheckResult *result)
      : path_(path), repair_(repair), result_(result), first_(result->problems.size()) {}

  // Checks the file; false when it is not sound enough to follow its chain.
  // *records receives the records as they stand after any repair.
  bool Run(ImageRecords *records);

 private:
  void Problem(const std::string &what, bool repairable = false) {
    result_->problems.push_back({path_, what, repairable, false});
  }
  std::string Read(void *buffer, uint64_t length, uint64_t offset, const char *what) {
    return ReadFileAt(file_.Get(), buffer, length, offset, what);
  }
  uint64_t EntriesFor(const VHD_FOOTER &footer) const {
    return (LoadBe64(footer.CurrentSize) + blockSize_ - 1) / blockSize_;
  }
  bool ReadFooters();
  bool ReadHeader();
  bool ResolveTableSize();
  bool TableHolds(uint64_t entries);
  void ReadTable(uint64_t entries, uint64_t limit);
  std::vector<Region> Metadata() const;
  void CheckBlocks();
  bool Repair();

  std::string path_;
  bool repair_;
  CheckResult *result_;
  size_t first_;  // this file's first problem
  FileDescriptor file_;
  uint64_t fileSize_ = 0;
  VHD_FOOTER trailing_{}, copy_{}, footer_{};
  bool trailingIntact_ = false;
  std::optional<VHD_FOOTER> grownFrom_;  // the other footer of an interrupted growth
  VHD_DYNAMIC_HEADER header_{}, headerRead_{};
  uint32_t blockSize_ = 0;
  uint64_t tableOffset_ = 0;
  std::vector<uint32_t> entries_;  // host order; VHD_BAT_UNALLOCATED for 0 too
  // Repairs.
  std::vector<uint32_t> clear_;       // entries to mark unallocated
  std::vector<uint64_t> bitmaps_;     // dynamic blocks whose bitmap is rewritten
  bool placeFooter_ = false;
  uint64_t footerPlace_ = 0;
};

bool FileCheck::ReadFooters() {
  uint64_t at = fileSize_ - kFooterSize;
  std::string error = Read(&trailing_, kFooterSize, at, "footer");
  trailingIntact_ = error.empty() && IntactFooter(trailing_);
  if (trailingIntact_ && LoadBe32(trailing_.DiskType) == VHD_DISK_TYPE_FIXED) {
    footer_ = trailing_;
    if (LoadBe64(footer_.CurrentSize) > at) {
      Problem("the disk's size of " + std::to_string(LoadBe64(footer_.CurrentSize)) +
              " bytes reaches past the footer at " + Offset(at));
    }
    return true;
  }
  bool copyIntact = Read(&copy_, kFooterSize, 0, "footer copy").empty() && IntactFooter(copy_) &&
                    LoadBe32(copy_.DiskType) != VHD_DISK_TYPE_FIXED;
  if (!trailingIntact_) {
    if (!copyIntact) {
      Problem("the footer at " + Offset(at) +
              " is damaged (its cookie, version, checksum or disk type) and there is no intact "
              "copy at offset 0");
      return false;
    }
    Problem("the footer at " + Offset(at) + " is damaged; the copy at offset 0 is intact", true);
    footer_ = copy_;
    placeFooter_ = true;
    return true;
  }
  footer_ = trailing_;
  if (std::memcmp(&copy_, &trailing_, kFooterSize) == 0) {
    return true;
  }
  if (!copyIntact) {
    Problem("the footer copy at offset 0 is damaged", true);
  } else if (DifferByGrowth(copy_, trailing_)) {
    grownFrom_ = copy_;
  } else {
    Problem("the footer copy at offset 0 differs from the footer in more than a growth changes");
  }
  return true;
}

bool FileCheck::ReadHeader() {
  uint64_t offset = LoadBe64(footer_.DataOffset);
  if (offset > fileSize_ || kHeaderSize > fileSize_ - offset) {
    Problem("the dynamic header's " + Offset(offset) + " lies outside the file");
    return false;
  }
  std::string error = Read(&header_, kHeaderSize, offset, "dynamic header");
  if (!error.empty() || !HasDynamicHeaderCookie(&header_)) {
    Problem("no dynamic header at " + Offset(offset) + " (no \"cxsparse\" cookie)");
    return false;
  }
  if (!IsDynamicHeaderChecksumValid(&header_)) {
    Problem("the dynamic header at " + Offset(offset) + " fails its checksum");
    return false;
  }
  headerRead_ = header_;
  blockSize_ = LoadBe32(header_.BlockSize);
  tableOffset_ = LoadBe64(header_.TableOffset);
  if (blockSize_ < VHD_MIN_BLOCK_SIZE || (blockSize_ & (blockSize_ - 1)) != 0) {
    Problem("the block size of " + std::to_string(blockSize_) +
            " bytes is no power of two of 512 bytes or more");
    return false;
  }
  return true;
}

// Whether the table can hold that many entries: the entries past Max Table
// Entries are all unallocated (a growth writes them before its records), and
// the table's sectors stay clear of the header records and of every block.
bool FileCheck::TableHolds(uint64_t entries) {
  uint64_t end = tableOffset_ + AlignUp(entries * sizeof(ULONG));
  uint64_t headerOffset = LoadBe64(footer_.DataOffset);
  if (entries > 0xFFFFFFFFu / sizeof(ULONG) || tableOffset_ < kFooterSize ||
      (tableOffset_ < headerOffset + kHeaderSize && headerOffset < end) ||
      end > fileSize_ - kFooterSize) {
    return false;
  }
  ReadTable(entries, fileSize_ - kFooterSize);
  uint64_t span = BlockSpan(blockSize_);
  for (size_t index = 0; index < entries_.size(); ++index) {
    uint64_t start = uint64_t(entries_[index]) * VHD_SECTOR_SIZE;
    bool extra = index >= LoadBe32(header_.MaxTableEntries);
    if (entries_[index] != VHD_BAT_UNALLOCATED && (extra || (start < end && tableOffset_ < start + span))) {
      return false;
    }
  }
  return true;
}

// Max Table Entries must count the blocks of the disk's size. A growth
// stopped between its three records leaves the trailing footer, or both
// footers, ahead of the header: it is completed when the table holds the
// grown size, else undone when the old footer is still at hand.
bool FileCheck::ResolveTableSize() {
  uint64_t entries = LoadBe32(header_.MaxTableEntries);
  if (!grownFrom_ && entries == EntriesFor(footer_)) {
    return true;
  }
  VHD_FOOTER grown = footer_;
  std::optional<VHD_FOOTER> old = grownFrom_;
  if (old && LoadBe64(old->CurrentSize) > LoadBe64(grown.CurrentSize)) {
    std::swap(grown, *old);
  }
  if (!old && entries > EntriesFor(grown)) {
    Problem("the header's " + std::to_string(entries) + " table entries do not match the disk's " +
            std::to_string(LoadBe64(grown.CurrentSize)) + " bytes");
    return false;
  }
  std::string what = "an interrupted growth: the footer gives " +
                     std::to_string(LoadBe64(trailing_.CurrentSize)) + " bytes, " +
                     (grownFrom_ ? "its copy " + std::to_string(LoadBe64(copy_.CurrentSize)) +
                                       " bytes, "
                                 : std::string()) +
                     "the header " + std::to_string(entries) + " table entries";
  if (TableHolds(EntriesFor(grown))) {
    Problem(what + "; completed to " + std::to_string(LoadBe64(grown.CurrentSize)) + " bytes", true);
    footer_ = grown;
  } else if (old && entries <= EntriesFor(*old) && TableHolds(EntriesFor(*old))) {
    Problem(what + "; undone to " + std::to_string(LoadBe64(old->CurrentSize)) + " bytes", true);
    footer_ = *old;
  } else {
    Problem(what + "; the table cannot hold either size");
    return false;
  }
  StoreBe32(header_.MaxTableEntries, uint32_t(EntriesFor(footer_)));
  UpdateDynamicHeaderChecksum(&header_);
  placeFooter_ = placeFooter_ || std::memcmp(&footer_, &trailing_, kFooterSize) != 0;
  return true;
}

// The entries the file holds in front of limit; the driver reads the others
// as unallocated, and they are left out.
void FileCheck::ReadTable(uint64_t entries, uint64_t limit) {
  uint64_t readable = tableOffset_ < limit ? (limit - tableOffset_) / sizeof(ULONG) : 0;
  entries_.assign(size_t(std::min(entries, readable)), VHD_BAT_UNALLOCATED);
  std::vector<ULONG> raw(entries_.size());
  if (raw.empty() || !Read(raw.data(), raw.size() * sizeof(ULONG), tableOffset_, "table").empty()) {
    return;
  }
  for (size_t index = 0; index < raw.size(); ++index) {
    entries_[index] = BatEntrySector(raw[index]);
  }
}

// The footer copy, the header, the table and, for a differencing image, the
// data of its parent locators with the space kept for it: where no block may
// lie.
std::vector<Region> FileCheck::Metadata() const {
  uint64_t headerOffset = LoadBe64(footer_.DataOffset);
  std::vector<Region> regions = {
      {0, kFooterSize, "the footer copy"},
      {headerOffset, headerOffset + kHeaderSize, "the dynamic header"},
      {tableOffset_, tableOffset_ + AlignUp(uint64_t(LoadBe32(header_.MaxTableEntries)) * 4),
       "the table"}};
  if (LoadBe32(footer_.DiskType) != VHD_DISK_TYPE_DIFFERENCING) {
    return regions;
  }
  for (int index = 0; index < VHD_PARENT_LOCATOR_COUNT; ++index) {
    const VHD_PARENT_LOCATOR &locator = header_.ParentLocators[index];
    uint64_t offset = LoadBe64(locator.PlatformDataOffset);
    uint64_t length = std::max(LoadBe32(locator.PlatformDataLength),
                               LoadBe32(locator.PlatformDataSpace));
    if (offset != 0 && length != 0 && offset < fileSize_) {
      regions.push_back({offset, std::min(offset + length, fileSize_),
                         "parent locator " + std::to_string(index) + "'s data"});
    }
  }
  return regions;
}

void FileCheck::CheckBlocks() {
  // With the footer lost the blocks may reach the end of the file, where
  // the rebuilt footer goes behind them.
  uint64_t limit = trailingIntact_ ? fileSize_ - kFooterSize : fileSize_;
  std::vector<Region> metadata = Metadata();
  uint64_t last = 0;
  for (const Region &region : metadata) {
    last = std::max(last, AlignUp(region.end));
  }
  uint64_t span = BlockSpan(blockSize_);
  std::vector<std::pair<uint64_t, uint32_t>> placed;  // start, index
  for (uint32_t index = 0; index < entries_.size(); ++index) {
    if (entries_[index] == VHD_BAT_UNALLOCATED) {
      continue;
    }
    uint64_t start = uint64_t(entries_[index]) * VHD_SECTOR_SIZE;
    std::string block = "block " + std::to_string(index) + " at " + Offset(start);
    // A block whose data area begins at or past the end holds nothing of
    // its data in the file: clearing its entry gives up nothing.
    if (start + SectorBitmapLength(blockSize_) >= limit) {
      Problem("entry " + std::to_string(index) + " names a block at " + Offset(start) +
                  " whose data lies past the end of the file's blocks at " + Offset(limit),
              true);
      clear_.push_back(index);
      continue;
    }
    if (start + span > limit) {
      // With the footer lost, the file's end went with it: an append that
      // lost its end leaves a block whose rest the rebuilt footer, placed
      // behind it, brings back as the zeros it held before.
      Problem(block + " runs past the end of the file's blocks at " + Offset(limit) +
                  (trailingIntact_ ? "" : "; its rest reads as zeros"),
              !trailingIntact_);
    }
    for (const Region &region : metadata) {
      if (start < region.end && region.start < start + span) {
        Problem(block + " overlaps " + region.name);
      }
    }
    placed.push_back({start, index});
    last = std::max(last, start + span);
  }
  std::sort(placed.begin(), placed.end());
  for (size_t at = 1; at < placed.size(); ++at) {
    if (placed[at - 1].first + span > placed[at].first) {
      Problem("blocks " + std::to_string(placed[at - 1].second) + " and " +
              std::to_string(placed[at].second) + " overlap at " + Offset(placed[at].first));
    }
  }
  if (LoadBe32(footer_.DiskType) == VHD_DISK_TYPE_DYNAMIC) {
    // Every sector of a dynamic block is present: its bitmap is all ones,
    // sector k being bit 0x80 >> (k mod 8) of byte k / 8.
    uint32_t sectors = blockSize_ / VHD_SECTOR_SIZE;
    std::vector<uint8_t> bitmap((sectors + 7) / 8);
    for (const auto &[start, index] : placed) {
      if (!Read(bitmap.data(), bitmap.size(), start, "sector bitmap").empty()) {
        continue;
      }
      bool full = true;
      for (uint32_t sector = 0; sector < sectors; ++sector) {
        full = full && (bitmap[sector / 8] & (0x80 >> (sector % 8))) != 0;
      }
      if (!full) {
        Problem("the sector bitmap of block " + std::to_string(index) + " at " + Offset(start) +
                    " is not all ones",
                true);
        bitmaps_.push_back(start);
      }
    }
  }
  footerPlace_ = last;
  if (trailingIntact_ && fileSize_ - kFooterSize > last) {
    Problem(std::to_string(fileSize_ - kFooterSize - last) +
                " bytes between the last block and the footer belong to no block",
            true);
    placeFooter_ = true;
  }
}

bool FileCheck::Run(ImageRecords *records) {
  file_ = FileDescriptor(open(path_.c_str(), (repair_ ? O_RDWR : O_RDONLY) | O_CLOEXEC));
  struct stat info;
  if (!file_.IsOpen() || fstat(file_.Get(), &info) != 0) {
    Problem(ErrnoText("cannot open the file", errno));
    return false;
  }
  fileSize_ = uint64_t(info.st_size);
  if (fileSize_ < kShortestImage) {
    Problem("the file is " + std::to_string(fileSize_) + " bytes long, shorter than any image (" +
            std::to_string(kShortestImage) + " bytes)");
    return false;
  }
  if (!ReadFooters()) {
    return false;
  }
  bool sound = true;
  if (LoadBe32(footer_.DiskType) != VHD_DISK_TYPE_FIXED) {
    sound = ReadHeader() && ResolveTableSize();
    if (sound) {
      ReadTable(LoadBe32(header_.MaxTableEntries),
                trailingIntact_ ? fileSize_ - kFooterSize : fileSize_);
      CheckBlocks();
    }
  }
  // Repairs rest on the blocks' places; an image whose header or table
  // cannot be read keeps every problem.
  if (repair_ && sound && !Repair()) {
    return false;
  }
  *records = ImageRecords();
  records->path = path_;
  records->fileSize = fileSize_;
  records->device = uint64_t(info.st_dev);
  records->inode = uint64_t(info.st_ino);
  records->footer = footer_;
  if (LoadBe32(footer_.DiskType) != VHD_DISK_TYPE_FIXED) {
    records->header = header_;
  }
  return sound;
}

bool FileCheck::Repair() {
  bool wanted = false;
  for (size_t at = first_; at < result_->problems.size(); ++at) {
    wanted = wanted || result_->problems[at].repairable;
  }
  if (!wanted) {
    return true;
  }
  int fd = file_.Get();
  auto put = [fd](const void *data, uint64_t length, uint64_t offset) {
    return pwrite(fd, data, length, off_t(offset)) == ssize_t(length);
  };
  bool done = true;
  for (uint32_t index : clear_) {
    ULONG unallocated = VHD_BAT_UNALLOCATED;
    done = done && put(&unallocated, sizeof(unallocated), tableOffset_ + index * sizeof(ULONG));
  }
  std::vector<uint8_t> ones(SectorBitmapLength(blockSize_), 0xFF);
  for (uint64_t start : bitmaps_) {
    done = done && put(ones.data(), ones.size(), start);
  }
  done = done && fsync(fd) == 0;
  if (placeFooter_) {
    done = done && put(&footer_, kFooterSize, footerPlace_) && fsync(fd) == 0 &&
           ftruncate(fd, off_t(footerPlace_ + kFooterSize)) == 0;
    fileSize_ = footerPlace_ + kFooterSize;
  }
  if (LoadBe32(footer_.DiskType) != VHD_DISK_TYPE_FIXED) {
    VHD_FOOTER copy;
    if (!Read(&copy, kFooterSize, 0, "footer copy").empty() ||
        std::memcmp(&copy, &footer_, kFooterSize) != 0) {
      done = done && put(&footer_, kFooterSize, 0);
    }
    if (std::memcmp(&header_, &headerRead_, kHeaderSize) != 0) {
      done = done && put(&header_, kHeaderSize, LoadBe64(footer_.DataOffset));
    }
  }
  done = done && fsync(fd) == 0;
  if (!done) {
    Problem(ErrnoText("cannot repair the file", errno));
    return false;
  }
  for (size_t at = first_; at < result_->problems.size(); ++at) {
    result_->problems[at].repaired = result_->problems[at].repairable;
  }
  return true;
}

}  // namespace

size_t CheckResult::Repaired() const {
  return size_t(std::count_if(problems.begin(), problems.end(),
                              [](const CheckProblem &problem) { return problem.repaired; }));
}

CheckResult CheckImageChain(const std::string &path, bool repair) {
  CheckResult result;
  std::u16string name = host::NtPathForHostPath(path);
  std::string current = path;
  std::set<std::pair<uint64_t, uint64_t>> seen;
  std::optional<ImageRecords> child;
  while (true) {
    ImageRecords records;
    bool sound = FileCheck(current, repair, &result).Run(&records);
    result.chain.push_back(current);
    if (child && !records.path.empty() &&
        std::memcmp(records.footer.UniqueId, child->header->ParentUniqueId, 16) != 0) {
      result.problems.push_back({child->path, "the image at " + current +
                                                  " is not its parent: its Unique Id is another"});
      break;
    }
    if (!sound || records.DiskType() != VHD_DISK_TYPE_DIFFERENCING) {
      break;
    }
    seen.insert({records.device, records.inode});
    if (seen.size() >= IMAGE_CHAIN_DEPTH_LIMIT) {
      result.problems.push_back({current, "its parent chain is longer than " +
                                              std::to_string(IMAGE_CHAIN_DEPTH_LIMIT) + " images"});
      break;
    }
    FileDescriptor file(open(current.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<ParentCandidate> parent;
    std::string missing;
    for (ParentCandidate &candidate : ParentCandidates(file.Get(), records, name)) {
      if (!candidate.error.empty()) {
        result.problems.push_back(
            {current, "parent locator " + std::to_string(candidate.locator) + ": " + candidate.error});
      } else if (candidate.hostPath.empty()) {
        missing += (missing.empty() ? "" : ", ") + candidate.text;
      } else if (!parent) {
        parent = std::move(candidate);
      }
    }
    if (!parent) {
      result.problems.push_back({current, missing.empty() ? "no parent locator names its parent"
                                                          : "its parent is not found at " + missing});
      break;
    }
    struct stat info;
    if (stat(parent->hostPath.c_str(), &info) == 0 &&
        seen.count({uint64_t(info.st_dev), uint64_t(info.st_ino)}) != 0) {
      result.problems.push_back({current, "its parent chain leads back to " + parent->hostPath});
      break;
    }
    child = std::move(records);
    name = parent->name;
    current = parent->hostPath;
  }
  return result;
}

}  // namespace dorvane
