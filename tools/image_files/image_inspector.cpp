// Reading an image file's records, judged by the driver's own rules, and
// walking a differencing image's parent locators to the files they name.
#include "tools/image_files/image_inspector.h"

#include "tools/disk/errors.h"
#include "tools/image_files/image_faults.h"

#include "tools/disk/kernel_names.h"
#include "tools/disk/plain_files.h"

#include "host/nt/nt_text.h"
#include "image/image.h"


#include <algorithm>
#include <cstring>

namespace dorvane {

namespace {

const uint64_t kFooterSize = sizeof(VHD_FOOTER);
const uint64_t kHeaderSize = sizeof(VHD_DYNAMIC_HEADER);
// Table entries read at once.
const uint64_t kEntriesPerRead = 1u << 18;

InspectFailure Failure(const std::string &path, const std::string &what) { return {path, what}; }

// The parent's path a locator holds, UTF-16LE text in the child's file, once
// the open's rules let it be read.
std::string ReadLocatorText(const ImageFile &file, int index, const VHD_PARENT_LOCATOR &locator,
                            uint64_t fileSize, std::u16string *text) {
  uint32_t length = LoadBe32(locator.PlatformDataLength);
  IMAGE_VERDICT verdict = {JudgeLocatorData(&locator, LONGLONG(fileSize)), uint64_t(index),
                           length};
  if (verdict.Fault != ImageSound) {
    // The words name the locator; the candidate names it again.
    std::string words = FaultText(verdict, FaultFacts{});
    return words.substr(words.find(": ") + 2);
  }
  std::vector<uint8_t> data(length);
  std::string error = file.Read(data.data(), length, LoadBe64(locator.PlatformDataOffset),
                                "parent locator's data");
  text->clear();
  for (size_t i = 0; error.empty() && i + 1 < data.size(); i += 2) {
    text->push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return error;
}

bool StartsWith(const std::u16string &text, const std::u16string &prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The kernel name a locator's path leads to, formed as the driver forms it:
// ".\rest" joined to the child's folder, "\\.\X" and "\\?\X" as \??\X,
// "\\server\share\..." below \Device\Mup, anything else a drive path below \??.
std::u16string LocatorName(const std::u16string &text, const std::u16string &childName) {
  if (StartsWith(text, u".\\")) {
    return childName.substr(0, childName.rfind(u'\\') + 1) + text.substr(2);
  }
  if (StartsWith(text, u"\\\\.\\") || StartsWith(text, u"\\\\?\\")) {
    return u"\\??\\" + text.substr(4);
  }
  if (StartsWith(text, u"\\\\")) {
    return u"\\Device\\Mup\\" + text.substr(2);
  }
  return u"\\??\\" + text;
}

// A parent found through a locator: its records and its kernel name.
struct FoundParent {
  ImageRecords records;
  std::u16string name;
};

InspectFailure FindParent(const ImageRecords &child, const std::u16string &childName,
                          uint64_t *chainPool, FoundParent *parent) {
  ImageFile file;
  std::string why = file.Open(child.path, ImageFileAccess::kInspect);
  if (!why.empty()) {
    return Failure(child.path, why);
  }
  std::string missing;    // the paths that lead to no file
  InspectFailure damaged;  // the last file that is no image
  for (const ParentCandidate &candidate : ParentCandidates(file, child, childName)) {
    if (!candidate.error.empty()) {
      return Failure(child.path,
                     "parent locator " + std::to_string(candidate.locator) + ": " + candidate.error);
    }
    if (candidate.hostPath.empty()) {
      missing += (missing.empty() ? "" : ", ") + candidate.text;
      continue;
    }
    uint64_t pool = *chainPool;
    InspectFailure failure = InspectImage(candidate.hostPath, &parent->records, &pool);
    if (failure) {
      damaged = failure;
      continue;
    }
    // Another image at the parent's place is no parent: the child's data was
    // written over a different disk.
    if (JudgeParentIdentity(&*child.header, &parent->records.footer) != ImageSound) {
      return Failure(child.path, "the image at " + candidate.hostPath +
                                     " is not its parent: its Unique Id is another");
    }
    parent->name = candidate.name;
    *chainPool = pool;
    return {};
  }
  if (damaged) {
    return damaged;
  }
  return Failure(child.path, missing.empty() ? "no parent locator names its parent"
                                             : "its parent is not found at " + missing);
}

// The words of a refusal by the open's rules, with the records that show it.
std::string RefusalText(const ImageFile &file, const IMAGE_VERDICT &verdict,
                        const ImageRecords &image) {
  std::vector<uint32_t> entries;
  FaultFacts facts{image.fileSize, &image.footer, image.header ? &*image.header : nullptr,
                   nullptr};
  if (image.header && (verdict.Fault == ImageBlockPastFooter ||
                       verdict.Fault == ImageBlockOnMetadata || verdict.Fault == ImageBlocksOverlap)) {
    ReadTableEntries(file, *image.header, image.fileSize - kFooterSize, &entries);
    facts.entries = &entries;
  }
  return FaultText(verdict, facts);
}

}  // namespace

std::vector<ParentCandidate> ParentCandidates(const ImageFile &file, const ImageRecords &child,
                                              const std::u16string &childName) {
  std::vector<ParentCandidate> candidates;
  for (int index = VHD_PARENT_LOCATOR_COUNT - 1; index >= 0; --index) {
    const VHD_PARENT_LOCATOR &locator = child.header->ParentLocators[index];
    if (!IsUsableLocatorCode(&locator)) {
      continue;
    }
    ParentCandidate candidate;
    candidate.locator = index;
    std::u16string text;
    candidate.error = ReadLocatorText(file, index, locator, child.fileSize, &text);
    if (candidate.error.empty()) {
      candidate.text = host::Utf8FromUtf16(text);
      candidate.name = LocatorName(text, childName);
      std::string hostPath;
      if (PathForKernelName(candidate.name, &hostPath) &&
          KindOfPath(hostPath) != PathKind::kMissing) {
        candidate.hostPath = hostPath;
      }
    }
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

std::string ReadTableEntries(const ImageFile &file, const VHD_DYNAMIC_HEADER &header,
                             uint64_t limit, std::vector<uint32_t> *entries) {
  uint64_t tableOffset = LoadBe64(header.TableOffset);
  uint64_t readable = tableOffset < limit ? (limit - tableOffset) / sizeof(ULONG) : 0;
  uint64_t present = std::min<uint64_t>(LoadBe32(header.MaxTableEntries), readable);
  entries->assign(size_t(present), VHD_BAT_UNALLOCATED);
  std::vector<ULONG> raw(size_t(std::min(present, kEntriesPerRead)));
  for (uint64_t done = 0; done < present;) {
    uint64_t count = std::min<uint64_t>(present - done, raw.size());
    std::string error = file.Read(raw.data(), count * sizeof(ULONG),
                                  tableOffset + done * sizeof(ULONG), "block allocation table");
    if (!error.empty()) {
      return error;
    }
    for (uint64_t i = 0; i < count; ++i) {
      (*entries)[size_t(done + i)] = BatEntrySector(raw[size_t(i)]);
    }
    done += count;
  }
  return "";
}

InspectFailure InspectImage(const std::string &path, ImageRecords *image, uint64_t *chainPool) {
  *image = ImageRecords();
  image->path = path;
  ImageFile file;
  std::string why = file.Open(path, ImageFileAccess::kInspect);
  if (!why.empty()) {
    return Failure(path, why);
  }
  image->fileSize = file.Size();
  image->device = file.device();
  image->inode = file.inode();
  uint64_t pool = chainPool != nullptr ? *chainPool : 0;
  IMAGE_VERDICT verdict;
  NTSTATUS status = file.Judge(&pool, &verdict);
  // The records, as far as the file has them, for the words of a refusal.
  if (image->fileSize >= kFooterSize) {
    file.Read(&image->footer, kFooterSize, image->fileSize - kFooterSize, "footer");
  }
  uint32_t diskType = image->DiskType();
  if (diskType == VHD_DISK_TYPE_DYNAMIC || diskType == VHD_DISK_TYPE_DIFFERENCING) {
    VHD_DYNAMIC_HEADER header;
    if (file.Read(&header, kHeaderSize, LoadBe64(image->footer.DataOffset), "header").empty()) {
      image->header = header;
    }
  }
  if (!NT_SUCCESS(status)) {
    return Failure(path, verdict.Fault != ImageSound
                             ? RefusalText(file, verdict, *image)
                             : "cannot read the file: " + StatusText(status));
  }
  if (chainPool != nullptr) {
    *chainPool = pool;
  }
  if (!image->header) {
    return {};
  }
  std::vector<uint32_t> entries;
  std::string error = ReadTableEntries(file, *image->header, image->fileSize - kFooterSize, &entries);
  image->allocatedBlocks = uint64_t(
      std::count_if(entries.begin(), entries.end(), [](uint32_t e) { return e != VHD_BAT_UNALLOCATED; }));
  return error.empty() ? InspectFailure() : Failure(path, error);
}

InspectFailure InspectChain(const std::string &path, std::vector<ImageRecords> *chain) {
  chain->clear();
  ImageRecords image;
  uint64_t pool = 0;
  if (InspectFailure failure = InspectImage(path, &image, &pool)) {
    return failure;
  }
  std::u16string name;
  KernelNameForPath(path, &name);
  chain->push_back(std::move(image));
  while (chain->back().DiskType() == VHD_DISK_TYPE_DIFFERENCING) {
    if (chain->size() >= IMAGE_CHAIN_DEPTH_LIMIT) {
      return Failure(chain->front().path, FaultText({ImageChainTooDeep, 0, 0}, FaultFacts{}));
    }
    FoundParent parent;
    if (InspectFailure failure = FindParent(chain->back(), name, &pool, &parent)) {
      return failure;
    }
    for (const ImageRecords &known : *chain) {
      if (known.device == parent.records.device && known.inode == parent.records.inode) {
        return Failure(chain->back().path, "its parent chain leads back to " + known.path);
      }
    }
    name = parent.name;
    chain->push_back(std::move(parent.records));
  }
  return {};
}

}  // namespace dorvane
