// The undo file of a repair. Layout, numbers little-endian:
//
//   "DORVUNDO", version (u32), range count (u32), length before and after
//   the repair (u64 each); per range its offset (u64), the length of the
//   bytes kept (u64) and of the bytes written (u32), the bytes written, the
//   bytes kept; last an FNV-1a hash (u64) of everything in front of it.
//
// It is written under a temporary name and linked to its own, so that it
// either exists whole or not at all, and an earlier repair's is never
// replaced.
#include "tools/image_files/repair_undo.h"

#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"
#include "tools/disk/plain_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace dorvane {

namespace {

const char kMagic[8] = {'D', 'O', 'R', 'V', 'U', 'N', 'D', 'O'};
const uint32_t kVersion = 1;
const uint64_t kChunk = 1u << 20;

class Hash {
 public:
  void Add(const void *data, size_t length) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < length; ++i) {
      value_ = (value_ ^ bytes[i]) * 0x100000001B3ull;
    }
  }
  uint64_t Value() const { return value_; }

 private:
  uint64_t value_ = 0xCBF29CE484222325ull;
};

// Sequential writes to the undo file, hashed as they go.
class UndoWriter {
 public:
  explicit UndoWriter(int fd) : fd_(fd) {}
  bool Put(const void *data, size_t length) {
    hash_.Add(data, length);
    return WriteBytes(fd_, data, length);
  }
  template <typename T>
  bool PutNumber(T value) {
    return Put(&value, sizeof(value));
  }
  bool Finish() {
    uint64_t value = hash_.Value();
    return WriteBytes(fd_, &value, sizeof(value));
  }

 private:
  int fd_;
  Hash hash_;
};

// Sequential reads of the undo file.
class UndoReader {
 public:
  explicit UndoReader(int fd) : fd_(fd) {}
  bool Get(void *data, size_t length) {
    auto *bytes = static_cast<uint8_t *>(data);
    while (length > 0) {
      ssize_t got = ReadAt(fd_, bytes, length, at_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      bytes += got;
      length -= size_t(got);
      at_ += uint64_t(got);
    }
    return true;
  }
  template <typename T>
  bool GetNumber(T *value) {
    return Get(value, sizeof(*value));
  }
  uint64_t At() const { return at_; }
  void Skip(uint64_t length) { at_ += length; }

 private:
  int fd_;
  uint64_t at_ = 0;
};

std::string WriteRanges(int fd, const ImageFile &image, const RepairUndo &undo) {
  UndoWriter writer(fd);
  bool written = writer.Put(kMagic, sizeof(kMagic)) && writer.PutNumber(kVersion) &&
                 writer.PutNumber(uint32_t(undo.ranges.size())) &&
                 writer.PutNumber(undo.originalSize) && writer.PutNumber(undo.repairedSize);
  std::vector<uint8_t> chunk;
  for (const UndoRange &range : undo.ranges) {
    written = written && writer.PutNumber(range.offset) && writer.PutNumber(range.keptLength) &&
              writer.PutNumber(uint32_t(range.after.size())) &&
              writer.Put(range.after.data(), range.after.size());
    for (uint64_t done = 0; written && done < range.keptLength;) {
      chunk.resize(size_t(std::min(kChunk, range.keptLength - done)));
      std::string error = image.Read(chunk.data(), chunk.size(), range.offset + done, "image");
      if (!error.empty()) {
        return error;
      }
      written = writer.Put(chunk.data(), chunk.size());
      done += chunk.size();
    }
  }
  if (!written || !writer.Finish() || SyncPlainFile(fd) != 0) {
    return ErrnoText("cannot write it", errno);
  }
  return "";
}

// A range as the undo file holds it: the bytes written, and where in the
// undo file the kept ones lie.
struct StoredRange {
  uint64_t offset = 0, keptLength = 0, keptAt = 0;
  std::vector<uint8_t> after;
};

struct StoredUndo {
  uint64_t originalSize = 0, repairedSize = 0;
  std::vector<StoredRange> ranges;
};

std::string ReadStoredUndo(int fd, StoredUndo *undo) {
  int64_t fileLength = PlainFileLength(fd);
  if (fileLength < 0 || uint64_t(fileLength) < sizeof(kMagic) + sizeof(uint64_t)) {
    return "it is no undo file of a repair";
  }
  uint64_t hashedLength = uint64_t(fileLength) - sizeof(uint64_t);
  // The whole file first: a file cut short or changed is not applied at all.
  UndoReader whole(fd);
  Hash hash;
  std::vector<uint8_t> chunk;
  for (uint64_t done = 0; done < hashedLength; done += chunk.size()) {
    chunk.resize(size_t(std::min(kChunk, hashedLength - done)));
    if (!whole.Get(chunk.data(), chunk.size())) return "it cannot be read";
    hash.Add(chunk.data(), chunk.size());
  }
  uint64_t stored = 0;
  if (!whole.GetNumber(&stored) || stored != hash.Value()) {
    return "it is damaged or no undo file of a repair";
  }
  UndoReader reader(fd);
  char magic[sizeof(kMagic)];
  uint32_t version = 0, count = 0;
  if (!reader.Get(magic, sizeof(magic)) || std::memcmp(magic, kMagic, sizeof(kMagic)) != 0 ||
      !reader.GetNumber(&version) || version != kVersion || !reader.GetNumber(&count) ||
      !reader.GetNumber(&undo->originalSize) || !reader.GetNumber(&undo->repairedSize)) {
    return "it is no undo file of a repair";
  }
  for (uint32_t index = 0; index < count; ++index) {
    StoredRange range;
    uint32_t afterLength = 0;
    if (!reader.GetNumber(&range.offset) || !reader.GetNumber(&range.keptLength) ||
        !reader.GetNumber(&afterLength) || afterLength > hashedLength) {
      return "it is damaged";
    }
    range.after.resize(afterLength);
    if (!reader.Get(range.after.data(), afterLength) || range.keptLength > hashedLength) {
      return "it is damaged";
    }
    range.keptAt = reader.At();
    reader.Skip(range.keptLength);
    undo->ranges.push_back(std::move(range));
  }
  return reader.At() == hashedLength ? "" : "it is damaged";
}

// Whether a range the repair cut off is as it left it: past the image's end,
// or, where the file reaches into it again, holding the kept bytes or the
// zeros of a lengthening (an undo that stopped part way). Anything else was
// written since, by a block placed where the cut bytes stood.
bool CutRangeAsLeft(int fd, const ImageFile &image, uint64_t size, const StoredRange &range) {
  std::vector<uint8_t> now, kept;
  for (uint64_t at = range.offset; at < size && at < range.offset + range.keptLength;
       at += now.size()) {
    now.resize(size_t(std::min({kChunk, range.offset + range.keptLength - at, size - at})));
    kept.resize(now.size());
    if (!image.Read(now.data(), now.size(), at, "image").empty() ||
        ReadAt(fd, kept.data(), kept.size(), range.keptAt + at - range.offset) !=
            ssize_t(kept.size())) {
      return false;
    }
    if (now != kept && std::any_of(now.begin(), now.end(), [](uint8_t b) { return b != 0; })) {
      return false;
    }
  }
  return true;
}

// Whether the image's bytes at a range are those the repair wrote there, or
// those it kept (an undo that stopped part way).
bool RangeAsLeft(int fd, const ImageFile &image, uint64_t size, const StoredRange &range) {
  if (range.after.empty()) {
    return CutRangeAsLeft(fd, image, size, range);
  }
  uint64_t end = std::min<uint64_t>(range.offset + range.after.size(), size);
  if (end <= range.offset) {
    return true;
  }
  std::vector<uint8_t> now(size_t(end - range.offset)), kept(now.size());
  if (!image.Read(now.data(), now.size(), range.offset, "image").empty()) {
    return false;
  }
  if (std::equal(now.begin(), now.end(), range.after.begin())) {
    return true;
  }
  size_t keptLength = size_t(std::min<uint64_t>(kept.size(), range.keptLength));
  kept.resize(keptLength);
  return keptLength == now.size() && ReadAt(fd, kept.data(), keptLength, range.keptAt) ==
                                         ssize_t(keptLength) && kept == now;
}

NTSTATUS PutBack(int fd, ImageFile *image, const StoredRange &range, uint64_t *bytes) {
  std::vector<uint8_t> chunk;
  for (uint64_t done = 0; done < range.keptLength; done += chunk.size()) {
    chunk.resize(size_t(std::min(kChunk, range.keptLength - done)));
    if (ReadAt(fd, chunk.data(), chunk.size(), range.keptAt + done) != ssize_t(chunk.size())) {
      return STATUS_UNEXPECTED_IO_ERROR;
    }
    NTSTATUS status = image->Write(chunk.data(), chunk.size(), range.offset + done);
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  *bytes += range.keptLength;
  return STATUS_SUCCESS;
}

}  // namespace

std::string DefaultUndoFile(const std::string &image) { return image + ".repair-undo"; }

std::string WriteUndoFile(const std::string &path, const ImageFile &image, const RepairUndo &undo) {
  if (access(path.c_str(), F_OK) == 0) {
    return "the undo file " + path +
           " of an earlier repair is in the way: undo that repair (dorvane check --undo) or "
           "remove the file";
  }
  std::string partial = path + ".partial";
  FileDescriptor file(OpenPlainFile(partial, O_WRONLY | O_CREAT | O_TRUNC));
  if (!file.IsOpen()) {
    return ErrnoText("cannot create the undo file " + partial, errno);
  }
  std::string error = WriteRanges(file.Get(), image, undo);
  if (error.empty() && LinkPlainFile(partial, path) != 0) {
    error = ErrnoText("cannot name the undo file " + path, errno);
  }
  // Windows removes no file that is still open.
  file.Reset();
  RemovePlainFile(partial);
  if (error.empty() && !SyncFolderOf(path)) {
    error = ErrnoText("cannot flush the folder of the undo file " + path, errno);
  }
  return error.empty() ? "" : "the undo file " + path + ": " + error;
}

UndoOutcome UndoRepair(const std::string &path, ImageFile *image) {
  UndoOutcome outcome;
  FileDescriptor file(OpenPlainFile(path, O_RDONLY));
  if (!file.IsOpen()) {
    outcome.error = ErrnoText("cannot open the undo file " + path, errno);
    return outcome;
  }
  StoredUndo undo;
  std::string error = ReadStoredUndo(file.Get(), &undo);
  if (!error.empty()) {
    outcome.error = "the undo file " + path + ": " + error;
    return outcome;
  }
  uint64_t size = image->Size();
  bool asLeft = size == undo.repairedSize || size == undo.originalSize;
  for (const StoredRange &range : undo.ranges) {
    asLeft = asLeft && RangeAsLeft(file.Get(), *image, size, range);
  }
  if (!asLeft) {
    outcome.error = "the image has changed since the repair, and undoing it would lose those "
                    "changes; nothing was written";
    return outcome;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (undo.originalSize > size) {
    status = image->SetSize(undo.originalSize);
  }
  for (size_t index = undo.ranges.size(); index-- > 0 && NT_SUCCESS(status);) {
    status = PutBack(file.Get(), image, undo.ranges[index], &outcome.bytes);
    ++outcome.places;
  }
  if (NT_SUCCESS(status)) {
    status = image->SetSize(undo.originalSize);
  }
  if (NT_SUCCESS(status)) {
    status = image->Flush();
  }
  if (!NT_SUCCESS(status)) {
    outcome.error = "cannot put the kept bytes back: " + StatusText(status) +
                    "; the undo file stays, run the command again";
    return outcome;
  }
  file.Reset();
  if (RemovePlainFile(path) != 0 || !SyncFolderOf(path)) {
    outcome.error = ErrnoText("the image is as it was, but the undo file " + path +
                                  " cannot be removed",
                              errno);
  }
  return outcome;
}

}  // namespace dorvane
