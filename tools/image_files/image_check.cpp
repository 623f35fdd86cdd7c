// Checking and repairing the structure of image files. One file at a time:
// its records are read as they stand and judged by the open's rules, each
// problem becomes one line, and the repairs are collected and made together
// at the end, once what they overwrite is kept in the undo file, flushed in
// the order that keeps the file an image after each step: entries cleared
// and bitmaps rewritten, then the trailing footer in place and the file cut
// behind it, then the footer copy and the dynamic header. Last, the driver's
// rules judge the file as it stands: a file they refuse keeps a problem.
#include "tools/image_files/image_check.h"

#include "tools/disk/errors.h"
#include "tools/image_files/image_faults.h"
#include "tools/image_files/repair_undo.h"

#include "tools/disk/kernel_names.h"
#include "tools/disk/plain_files.h"

#include "image/image.h"


#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <utility>

namespace dorvane {

namespace {

const uint64_t kFooterSize = sizeof(VHD_FOOTER);
const uint64_t kHeaderSize = sizeof(VHD_DYNAMIC_HEADER);

std::string Offset(uint64_t offset) { return "offset " + std::to_string(offset); }

uint64_t AlignUp(uint64_t value) {
  return (value + VHD_SECTOR_SIZE - 1) & ~uint64_t(VHD_SECTOR_SIZE - 1);
}

uint32_t DiskType(const VHD_FOOTER &footer) { return LoadBe32(footer.DiskType); }

// An intact footer of a dynamic or differencing image: what a copy at
// offset 0 must be to rebuild the trailing footer from.
bool IntactDynamicFooter(const VHD_FOOTER &footer) {
  return JudgeFooter(&footer, INT64_MAX) == ImageSound &&
         DiskType(footer) != VHD_DISK_TYPE_FIXED;
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

template <typename T>
std::vector<uint8_t> BytesOf(const T &record) {
  const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

// One write of a repair.
struct Change {
  uint64_t offset;
  std::vector<uint8_t> bytes;
};

// One file's check: what was found, and the repairs it asks for.
class FileCheck {
 public:
  FileCheck(ImageFile *file, const std::string &undoFile, const CheckOptions &options,
            CheckResult *result)
      : file_(file), undoFile_(undoFile), repair_(options.repair),
        progress_(options.progress), result_(result), first_(result->problems.size()) {}

  // Checks the file; false when its parent chain cannot be followed from it
  // (or a repair could not start: result->error). *records receives the
  // records as they stand after any repair; chainPool carries the pool
  // charge of the chain so far.
  bool Run(uint64_t *chainPool, ImageRecords *records);

 private:
  void Problem(const std::string &what, bool repairable = false) {
    result_->problems.push_back({file_->path(), what, repairable, false});
  }
  FaultFacts Facts() const {
    return FaultFacts{size_, &footer_, haveHeader_ ? &header_ : nullptr, &entries_};
  }
  std::string Words(IMAGE_FAULT fault, uint64_t value = 0, uint64_t other = 0) const {
    return FaultText(IMAGE_VERDICT{fault, value, other}, Facts());
  }
  uint64_t EntriesFor(const VHD_FOOTER &footer) const {
    return (LoadBe64(footer.CurrentSize) + blockSize_ - 1) / blockSize_;
  }
  bool ReadFooters();
  bool ReadHeader();
  bool CheckGeometry(uint64_t chainPool);
  bool ResolveTableSize();
  bool TableHolds(uint64_t entries);
  void CheckBlocks();
  void CheckBitmaps(const std::vector<std::pair<uint64_t, uint32_t>> &kept);
  void Clear(uint32_t index, const std::string &what);
  std::string GivenUp(uint32_t index) const;
  bool Repair();
  NTSTATUS Apply(const std::vector<Change> &changes);
  void JudgeAsItStands(uint64_t *chainPool, bool repaired);

  ImageFile *file_;
  std::string undoFile_;
  bool repair_;
  const CheckProgress &progress_;
  CheckResult *result_;
  size_t first_;  // this file's first problem
  uint64_t size_ = 0;
  VHD_FOOTER trailing_{}, copy_{}, footer_{};
  bool trailingIntact_ = false, copyRead_ = false, keepCopy_ = false;
  std::optional<VHD_FOOTER> grownFrom_;  // the other footer of an interrupted growth
  VHD_DYNAMIC_HEADER header_{}, headerRead_{};
  bool haveHeader_ = false;
  uint32_t blockSize_ = 0;
  uint64_t tableOffset_ = 0;
  std::vector<uint32_t> entries_;  // host order; VHD_BAT_UNALLOCATED for 0 too
  // Repairs.
  std::vector<uint32_t> clear_;    // entries to mark unallocated
  std::vector<uint64_t> bitmaps_;  // dynamic blocks whose bitmap is rewritten
  bool placeFooter_ = false;
  uint64_t footerPlace_ = 0;
};

bool FileCheck::ReadFooters() {
  uint64_t at = size_ - kFooterSize;
  std::string error = file_->Read(&trailing_, kFooterSize, at, "footer");
  IMAGE_FAULT trailingFault = error.empty() ? JudgeFooter(&trailing_, LONGLONG(size_))
                                            : ImageFooterDamaged;
  footer_ = trailing_;
  // A footer that is intact but gives a size no file can have, or a fixed
  // disk reaching into it, cannot be told right from the file.
  if (trailingFault == ImageDiskSizeOutOfRange || trailingFault == ImageFixedDiskPastFooter) {
    Problem(Words(trailingFault));
    return false;
  }
  trailingIntact_ = trailingFault == ImageSound;
  if (trailingIntact_ && DiskType(trailing_) == VHD_DISK_TYPE_FIXED) {
    return true;
  }
  copyRead_ = file_->Read(&copy_, kFooterSize, 0, "footer copy").empty();
  bool copyIntact = copyRead_ && IntactDynamicFooter(copy_);
  if (!trailingIntact_) {
    if (!copyIntact) {
      Problem(Words(trailingFault) + ", and there is no intact copy at offset 0");
      return false;
    }
    Problem(Words(trailingFault) + "; the copy at offset 0 is intact", true);
    footer_ = copy_;
    placeFooter_ = true;
    return true;
  }
  if (JudgeFooterCopy(copyRead_ ? &copy_ : nullptr, &trailing_) == ImageSound) {
    return true;
  }
  if (!copyIntact) {
    Problem("the footer copy at offset 0 is damaged", true);
  } else if (DifferByGrowth(copy_, trailing_)) {
    grownFrom_ = copy_;
  } else {
    Problem(Words(ImageFooterCopyDiffers) + " in more than a growth changes");
    // Which of the two is right is a guess: other repairs leave both.
    keepCopy_ = true;
  }
  return true;
}

bool FileCheck::ReadHeader() {
  IMAGE_FAULT fault = JudgeHeaderOffset(&footer_, LONGLONG(size_));
  if (fault == ImageSound) {
    bool read =
        file_->Read(&header_, kHeaderSize, LoadBe64(footer_.DataOffset), "dynamic header").empty();
    fault = JudgeDynamicHeader(&header_, read ? ULONG(kHeaderSize) : 0);
  }
  if (fault != ImageSound) {
    Problem(Words(fault));
    return false;
  }
  haveHeader_ = true;
  headerRead_ = header_;
  blockSize_ = LoadBe32(header_.BlockSize);
  tableOffset_ = LoadBe64(header_.TableOffset);
  return true;
}

// The table's place and size by the open's rules, after an interrupted
// growth is resolved, and the driver's limits.
bool FileCheck::CheckGeometry(uint64_t chainPool) {
  IMAGE_BLOCK_GEOMETRY geometry{};
  IMAGE_FAULT fault = JudgeBlockGeometry(&footer_, &header_, LONGLONG(size_), &geometry);
  if (fault == ImageTableEntriesMismatch || (fault == ImageSound && grownFrom_)) {
    if (!ResolveTableSize()) {
      return false;
    }
    fault = JudgeBlockGeometry(&footer_, &header_, LONGLONG(size_), &geometry);
  }
  if (fault == ImageSound) {
    fault = JudgeImageLimits(DiskType(footer_), geometry.BlockSize, geometry.BatEntries,
                             &chainPool);
  }
  if (fault != ImageSound) {
    Problem(Words(fault));
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
      end > size_ - kFooterSize) {
    return false;
  }
  VHD_DYNAMIC_HEADER grown = header_;
  StoreBe32(grown.MaxTableEntries, uint32_t(entries));
  std::vector<uint32_t> table;
  if (!ReadTableEntries(*file_, grown, size_ - kFooterSize, &table).empty()) {
    return false;
  }
  uint64_t span = BlockSpan(blockSize_);
  for (size_t index = 0; index < table.size(); ++index) {
    uint64_t start = uint64_t(table[index]) * VHD_SECTOR_SIZE;
    bool extra = index >= LoadBe32(header_.MaxTableEntries);
    if (table[index] != VHD_BAT_UNALLOCATED &&
        (extra || (start < end && tableOffset_ < start + span))) {
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
  VHD_FOOTER grown = footer_;
  std::optional<VHD_FOOTER> old = grownFrom_;
  if (old && LoadBe64(old->CurrentSize) > LoadBe64(grown.CurrentSize)) {
    std::swap(grown, *old);
  }
  if (!old && entries > EntriesFor(grown)) {
    Problem(Words(ImageTableEntriesMismatch));
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

// What clearing block index gives up, in words.
std::string FileCheck::GivenUp(uint32_t index) const {
  uint64_t first = uint64_t(index) * blockSize_;
  uint64_t end = std::min(first + blockSize_, LoadBe64(footer_.CurrentSize));
  bool differencing = DiskType(footer_) == VHD_DISK_TYPE_DIFFERENCING;
  return "clearing its entry opens the image and gives up block " + std::to_string(index) +
         "'s data: disk bytes " + std::to_string(first) + " to " +
         std::to_string(end == 0 ? 0 : end - 1) + " read " +
         (differencing ? "from its parent" : "as zeros") + " after it";
}

void FileCheck::Clear(uint32_t index, const std::string &what) {
  Problem(what, true);
  clear_.push_back(index);
}

void FileCheck::CheckBlocks() {
  // With the footer lost the blocks may reach the end of the file, where
  // the rebuilt footer goes behind them.
  uint64_t limit = trailingIntact_ ? size_ - kFooterSize : size_;
  IMAGE_METADATA metadata = LocateMetadata(&footer_, &header_, LONGLONG(size_));
  uint64_t last = metadata.End;
  uint64_t span = BlockSpan(blockSize_);
  std::vector<std::pair<uint64_t, uint32_t>> placed;  // start, index
  for (uint32_t index = 0; index < entries_.size(); ++index) {
    if (entries_[index] == VHD_BAT_UNALLOCATED) {
      continue;
    }
    uint64_t start = uint64_t(entries_[index]) * VHD_SECTOR_SIZE;
    // The open reads it as unallocated; the repair makes the file say so.
    if (trailingIntact_ && IsLostAppend(blockSize_, ULONG(entries_.size()), LONGLONG(size_),
                                        entries_[index])) {
      Clear(index, "entry " + std::to_string(index) + " names a block at " + Offset(start) +
                       ", at or behind the footer at " + Offset(limit) +
                       ": the leftover of an append a power loss cut short; nothing is lost, "
                       "the block reads " +
                       (DiskType(footer_) == VHD_DISK_TYPE_DIFFERENCING ? "from its parent"
                                                                         : "as zeros") +
                       ", as before it was written");
      continue;
    }
    // A block whose data area begins at or past the end holds nothing of
    // its data in the file: clearing its entry gives up nothing.
    if (start + SectorBitmapLength(blockSize_) >= limit) {
      Clear(index, "entry " + std::to_string(index) + " names a block at " + Offset(start) +
                       " whose data lies past the end of the file's blocks at " + Offset(limit));
      continue;
    }
    // With the footer lost, the file's end went with it: an append that
    // lost its end leaves a block whose rest the rebuilt footer, placed
    // behind it, brings back as the zeros it held before.
    uint64_t fileEnd = limit + kFooterSize;
    if (!trailingIntact_ && start + span > limit) {
      Problem("block " + std::to_string(index) + " at " + Offset(start) +
                  " runs past the end of the file's blocks at " + Offset(limit) +
                  "; its rest reads as zeros",
              true);
      fileEnd = start + span + kFooterSize;
    }
    // A block on the metadata, or reaching into the trailing footer, holds
    // no data of its own there: its entry goes, the records stay.
    ULONG region = 0;
    IMAGE_FAULT fault = JudgeBlockPlace(&metadata, blockSize_, LONGLONG(fileEnd),
                                        entries_[index], &region);
    if (fault != ImageSound) {
      Clear(index, Words(fault, index, region) + "; " + GivenUp(index));
      continue;
    }
    placed.push_back({start, index});
  }
  // Of blocks that overlap, the one that starts first keeps the place (a
  // damaged entry most often names a place inside another block); at equal
  // places the lower entry keeps it.
  std::sort(placed.begin(), placed.end());
  std::vector<std::pair<uint64_t, uint32_t>> kept;
  for (const auto &[start, index] : placed) {
    if (!kept.empty() && start < kept.back().first + span) {
      Clear(index, Words(ImageBlocksOverlap, kept.back().second, index) + "; " + GivenUp(index));
      continue;
    }
    kept.push_back({start, index});
    last = std::max(last, start + span);
  }
  CheckBitmaps(kept);
  footerPlace_ = last;
  if (trailingIntact_ && size_ - kFooterSize > last) {
    Problem(std::to_string(size_ - kFooterSize - last) +
                " bytes between the last block and the footer belong to no block",
            true);
    placeFooter_ = true;
  }
}

// Every sector of a dynamic block is present: its bitmap is all ones, sector
// k being bit 0x80 >> (k mod 8) of byte k / 8. Only blocks that own their
// place have their bitmap rewritten.
void FileCheck::CheckBitmaps(const std::vector<std::pair<uint64_t, uint32_t>> &kept) {
  if (DiskType(footer_) != VHD_DISK_TYPE_DYNAMIC) {
    return;
  }
  uint32_t sectors = blockSize_ / VHD_SECTOR_SIZE;
  std::vector<uint8_t> bitmap((sectors + 7) / 8);
  uint64_t checked = 0;
  for (const auto &[start, index] : kept) {
    if (progress_) {
      progress_(checked++, kept.size());
    }
    if (!file_->Read(bitmap.data(), bitmap.size(), start, "sector bitmap").empty()) {
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

NTSTATUS FileCheck::Apply(const std::vector<Change> &changes) {
  for (const Change &change : changes) {
    NTSTATUS status = file_->Write(change.bytes.data(), change.bytes.size(), change.offset);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  return changes.empty() ? STATUS_SUCCESS : file_->Flush();
}

bool FileCheck::Repair() {
  bool wanted = false;
  for (size_t at = first_; at < result_->problems.size(); ++at) {
    wanted = wanted || result_->problems[at].repairable;
  }
  if (!wanted) {
    return true;
  }
  std::vector<Change> entries, footer, records;
  for (uint32_t index : clear_) {
    entries.push_back({tableOffset_ + index * sizeof(ULONG), std::vector<uint8_t>(4, 0xFF)});
  }
  for (uint64_t start : bitmaps_) {
    entries.push_back({start, std::vector<uint8_t>(SectorBitmapLength(blockSize_), 0xFF)});
  }
  uint64_t newSize = size_;
  if (placeFooter_) {
    footer.push_back({footerPlace_, BytesOf(footer_)});
    newSize = footerPlace_ + kFooterSize;
  }
  if (!keepCopy_ && (!copyRead_ || std::memcmp(&copy_, &footer_, kFooterSize) != 0)) {
    records.push_back({0, BytesOf(footer_)});
  }
  if (std::memcmp(&header_, &headerRead_, kHeaderSize) != 0) {
    records.push_back({LoadBe64(footer_.DataOffset), BytesOf(header_)});
  }

  // What every write covers, and what the cut drops, is kept first.
  RepairUndo undo{size_, newSize, {}};
  for (const std::vector<Change> *phase : {&entries, &footer, &records}) {
    for (const Change &change : *phase) {
      uint64_t kept = change.offset < size_ ? std::min<uint64_t>(change.bytes.size(), size_ - change.offset) : 0;
      undo.ranges.push_back({change.offset, kept, change.bytes});
    }
  }
  if (newSize < size_) {
    undo.ranges.push_back({newSize, size_ - newSize, {}});
  }
  std::string error = WriteUndoFile(undoFile_, *file_, undo);
  if (!error.empty()) {
    result_->error = {file_->path(), error + (result_->undoFiles.empty()
                                                  ? "; nothing was written"
                                                  : "; this file was not written")};
    return false;
  }
  NTSTATUS status = Apply(entries);
  if (NT_SUCCESS(status)) {
    status = Apply(footer);
  }
  if (NT_SUCCESS(status) && newSize != size_) {
    status = file_->SetSize(newSize);
  }
  if (NT_SUCCESS(status)) {
    status = Apply(records);
  }
  result_->undoFiles.push_back({file_->path(), undoFile_});
  if (!NT_SUCCESS(status)) {
    Problem("cannot repair the file: " + StatusText(status) + "; what the repair overwrote is kept in " +
            undoFile_);
    return false;
  }
  for (size_t at = first_; at < result_->problems.size(); ++at) {
    result_->problems[at].repaired = result_->problems[at].repairable;
  }
  for (uint32_t index : clear_) {
    entries_[index] = VHD_BAT_UNALLOCATED;
  }
  size_ = newSize;
  return true;
}

// The file as it stands now, by the driver's rules: a refusal that no
// problem found so far explains, or one that a repair left, is a problem.
void FileCheck::JudgeAsItStands(uint64_t *chainPool, bool repaired) {
  IMAGE_VERDICT verdict;
  uint64_t pool = *chainPool;
  NTSTATUS status = file_->Judge(&pool, &verdict);
  if (NT_SUCCESS(status)) {
    *chainPool = pool;
    return;
  }
  std::string text = verdict.Fault != ImageSound ? FaultText(verdict, Facts())
                                                 : "cannot read the file: " + StatusText(status);
  if (repaired) {
    Problem("after the repair the image still does not open: " + text);
  } else if (result_->problems.size() == first_) {
    Problem(text);
  }
}

bool FileCheck::Run(uint64_t *chainPool, ImageRecords *records) {
  size_ = file_->Size();
  bool followable = false;
  if (JudgeImageFileLength(LONGLONG(size_)) != ImageSound) {
    Problem(Words(ImageFileTooShort));
  } else if (ReadFooters()) {
    followable = true;
    if (DiskType(footer_) != VHD_DISK_TYPE_FIXED) {
      followable = ReadHeader() && CheckGeometry(*chainPool) &&
                   ReadTableEntries(*file_, header_, trailingIntact_ ? size_ - kFooterSize : size_,
                                    &entries_)
                       .empty();
      if (followable) {
        CheckBlocks();
      }
    }
  }
  // Repairs rest on the blocks' places; an image whose header or table
  // cannot be read keeps every problem.
  size_t before = result_->Repaired();
  if (repair_ && followable && !Repair()) {
    if (result_->error) {
      return false;
    }
    followable = false;
  }
  JudgeAsItStands(chainPool, result_->Repaired() > before);

  *records = ImageRecords();
  records->path = file_->path();
  records->fileSize = size_;
  records->device = file_->device();
  records->inode = file_->inode();
  records->footer = footer_;
  if (haveHeader_) {
    records->header = header_;
  }
  return followable;
}

// The parent a child's walk leads to, as the driver's walk finds it: the
// first locator, from the last entry down, whose file opens by the driver's
// rules; else the first whose file exists, to be checked for what keeps it
// from opening. A damaged locator met before either ends the walk.
std::optional<ParentCandidate> FindParent(const ImageFile &file, const ImageRecords &child,
                                          const std::u16string &name, CheckResult *result) {
  std::optional<ParentCandidate> existing;
  std::string missing;
  for (ParentCandidate &candidate : ParentCandidates(file, child, name)) {
    if (!candidate.error.empty()) {
      result->problems.push_back(
          {child.path, "parent locator " + std::to_string(candidate.locator) + ": " + candidate.error});
      return std::nullopt;
    }
    if (candidate.hostPath.empty()) {
      missing += (missing.empty() ? "" : ", ") + candidate.text;
      continue;
    }
    ImageRecords records;
    if (!InspectImage(candidate.hostPath, &records)) {
      return std::move(candidate);
    }
    if (!existing) {
      existing = std::move(candidate);
    }
  }
  if (!existing) {
    result->problems.push_back({child.path, missing.empty() ? FaultText({ImageNoParentLocator, 0, 0}, FaultFacts{})
                                                            : "its parent is not found at " + missing});
  }
  return existing;
}

}  // namespace

size_t CheckResult::Repaired() const {
  return size_t(std::count_if(problems.begin(), problems.end(),
                              [](const CheckProblem &problem) { return problem.repaired; }));
}

CheckResult CheckImageChain(const std::string &path, const CheckOptions &options) {
  CheckResult result;
  ImageFileAccess access = options.repair ? ImageFileAccess::kRepair : ImageFileAccess::kCheck;
  // Every file of the chain stays open as checked until the whole chain is.
  std::vector<std::unique_ptr<ImageFile>> files;
  std::u16string name;
  KernelNameForPath(path, &name);
  std::string current = path;
  std::set<std::pair<uint64_t, uint64_t>> seen;
  std::optional<ImageRecords> child;
  uint64_t chainPool = 0;
  while (true) {
    auto file = std::make_unique<ImageFile>();
    std::string why = file->Open(current, access);
    if (!why.empty()) {
      if (!child || file->status() == STATUS_SHARING_VIOLATION) {
        result.error = {current, why};
        result.errorStatus = file->status();
        return result;
      }
      result.problems.push_back({child->path, "its parent " + current + ": " + why});
      break;
    }
    std::string undoFile =
        child || options.undoFile.empty() ? DefaultUndoFile(current) : options.undoFile;
    ImageRecords records;
    bool followable =
        FileCheck(file.get(), undoFile, options, &result).Run(&chainPool, &records);
    if (result.error) {
      return result;
    }
    result.chain.push_back(current);
    if (child && IsFooterIntact(&records.footer) &&
        JudgeParentIdentity(&*child->header, &records.footer) != ImageSound) {
      result.problems.push_back({child->path, "the image at " + current +
                                                  " is not its parent: its Unique Id is another"});
      break;
    }
    if (!followable || records.DiskType() != VHD_DISK_TYPE_DIFFERENCING) {
      break;
    }
    seen.insert({records.device, records.inode});
    if (seen.size() >= IMAGE_CHAIN_DEPTH_LIMIT) {
      result.problems.push_back({current, FaultText({ImageChainTooDeep, 0, 0}, FaultFacts{})});
      break;
    }
    std::optional<ParentCandidate> parent = FindParent(*file, records, name, &result);
    files.push_back(std::move(file));
    if (!parent) {
      break;
    }
    uint64_t device = 0, inode = 0;
    if (FileIdentity(parent->hostPath, &device, &inode) && seen.count({device, inode}) != 0) {
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
