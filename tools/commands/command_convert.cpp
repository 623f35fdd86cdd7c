// dorvane convert: copies a raw file or any image (a differencing image
// with its parent chain flattened) into a new image or raw file. Images are
// read and written through the driver; stretches of zeros are not written,
// so a dynamic target allocates only the blocks that hold data and a raw or
// fixed target keeps holes there. The target is flushed at the end. A copy
// that fails or is interrupted removes the target it made.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"
#include "tools/disk/plain_files.h"
#include "tools/disk/transfer_size.h"
#include "tools/image_files/image_writer.h"
#include "tools/image_files/open_failure.h"

#include "format/vhd_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

namespace dorvane {

namespace {

// Zeros are looked for in pieces of this size: larger pieces of zeros are
// left out of the writes.
const uint32_t kZeroPiece = 64 * 1024;

bool AllZero(const uint8_t *bytes, size_t length) {
  uint64_t any = 0;
  size_t words = length / sizeof(uint64_t);
  for (size_t index = 0; index < words; ++index) {
    uint64_t word;
    std::memcpy(&word, bytes + index * sizeof(word), sizeof(word));
    any |= word;
  }
  for (size_t index = words * sizeof(uint64_t); index < length; ++index) {
    any |= bytes[index];
  }
  return any == 0;
}

// A file holds an image when its last sector, or its first (the footer
// copy of a dynamic image), begins with the footer's cookie.
bool HoldsImage(int fd, uint64_t size) {
  static const char kCookie[8] = {'c', 'o', 'n', 'e', 'c', 't', 'i', 'x'};
  char head[sizeof(kCookie)];
  for (uint64_t at : {size >= VHD_SECTOR_SIZE ? size - VHD_SECTOR_SIZE : size, uint64_t(0)}) {
    if (size >= VHD_SECTOR_SIZE &&
        ReadAt(fd, head, sizeof(head), at) == sizeof(head) &&
        std::memcmp(head, kCookie, sizeof(kCookie)) == 0) {
      return true;
    }
  }
  return false;
}

// One side of the copy: an image's virtual disk through the driver, or a
// raw file. Each step reports its own failure on io.err.
class Side {
 public:
  Side(const std::string &path, const CommandIo &io) : path_(path), io_(io), disk_(path, io) {}

  bool IsImage() const { return image_; }
  uint64_t Size() const { return size_; }
  const std::string &Path() const { return path_; }

  // The source: an image when the file holds one, else a raw file.
  bool OpenSource() {
    raw_ = FileDescriptor(OpenPlainFile(path_, O_RDONLY));
    PathKind kind = raw_.IsOpen() ? KindOfFile(raw_.Get()) : PathKind::kMissing;
    if (kind == PathKind::kMissing) {
      return Fail("cannot open source", std::strerror(errno));
    }
    if (kind == PathKind::kDirectory) {
      return Fail("cannot open source", "it is a directory");
    }
    // The copy needs the source's length before it starts: a pipe has none.
    int64_t end = PlainFileLength(raw_.Get());
    if (end < 0 || !(kind == PathKind::kRegular || kind == PathKind::kBlockDevice)) {
      return Fail("cannot open source", "it is not a regular file or a block device");
    }
    size_ = static_cast<uint64_t>(end);
    image_ = HoldsImage(raw_.Get(), size_);
    if (!image_) {
      return true;
    }
    raw_.Reset();
    return disk_.OpenAt(false, 0) && (size_ = disk_.Size(), true);
  }

  // The target: a new image of parameters (diskType 0: a raw file of size
  // bytes).
  bool CreateTarget(const NewImageParameters &parameters) {
    size_ = parameters.size;
    image_ = parameters.diskType != 0;
    if (image_) {
      std::string error = CreateImage(path_, parameters);
      if (!error.empty()) {
        return Fail("cannot create image", error);
      }
      created_ = true;
      return disk_.OpenUnexplained(true, "cannot open the new image");
    }
    raw_ = FileDescriptor(OpenPlainFile(path_, O_WRONLY | O_CREAT | O_EXCL));
    if (!raw_.IsOpen()) {
      return Fail("cannot create file", std::strerror(errno));
    }
    created_ = true;
    if (SetPlainFileLength(raw_.Get(), size_) != 0) {
      return Fail("cannot set the file's size", std::strerror(errno));
    }
    return true;
  }

  bool Read(uint64_t offset, uint8_t *buffer, uint32_t length) {
    std::string what = "cannot read at offset " + std::to_string(offset);
    if (image_) {
      uint32_t moved = 0;
      return disk_.Succeeded(disk_.ReadDisk(offset, buffer, length, &moved), what) &&
             (moved == length || Fail(what, "the disk ended early"));
    }
    for (uint32_t done = 0; done < length;) {
      ssize_t got = ReadAt(raw_.Get(), buffer + done, length - done, offset + done);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got <= 0) {
        // A raw source shorter than a whole sector reads as zeros to the end.
        if (got == 0 && offset + done >= size_) {
          std::memset(buffer + done, 0, length - done);
          return true;
        }
        return Fail(what, got == 0 ? "the file ended early" : std::strerror(errno));
      }
      done += static_cast<uint32_t>(got);
    }
    return true;
  }

  bool Write(uint64_t offset, const uint8_t *buffer, uint32_t length) {
    std::string what = "cannot write at offset " + std::to_string(offset);
    if (image_) {
      uint32_t moved = 0;
      return disk_.Succeeded(disk_.WriteDisk(offset, buffer, length, &moved), what) &&
             (moved == length || Fail(what, "the disk took " + std::to_string(moved) + " of " +
                                                std::to_string(length) + " bytes"));
    }
    for (uint32_t done = 0; done < length;) {
      ssize_t put = WriteAt(raw_.Get(), buffer + done, length - done, offset + done);
      if (put < 0 && errno == EINTR) {
        continue;
      }
      if (put <= 0) {
        return Fail(what, std::strerror(put == 0 ? EIO : errno));
      }
      done += static_cast<uint32_t>(put);
    }
    return true;
  }

  bool Flush() {
    if (image_) {
      return disk_.Flush() == 0;
    }
    return SyncPlainFile(raw_.Get()) == 0 || Fail("cannot flush file", std::strerror(errno));
  }

  // Closes the target and removes it, when it was made here.
  void Remove() {
    disk_.Close();
    raw_.Reset();
    if (created_) {
      RemovePlainFile(path_);
      created_ = false;
    }
  }

  bool Fail(const std::string &what, const std::string &detail) {
    ReportError(io_.err, path_, what, detail);
    return false;
  }

 private:
  std::string path_;
  CommandIo io_;
  CommandDisk disk_;
  FileDescriptor raw_;
  bool image_ = false;
  bool created_ = false;
  uint64_t size_ = 0;
};

bool EndsWithVhd(const std::string &path) {
  return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".vhd") == 0;
}

// The target's kind from --type, or from its name: an image (dynamic) when
// it ends in .vhd, else a raw file. False after the usage error.
bool ReadTargetKind(const CommandCall &call, const std::string &target,
                    NewImageParameters *parameters) {
  std::string type = call.args.Has("--type") ? call.args.Value("--type")
                                             : (EndsWithVhd(target) ? "dynamic" : "raw");
  if (type == "fixed") {
    parameters->diskType = VHD_DISK_TYPE_FIXED;
  } else if (type == "dynamic") {
    parameters->diskType = VHD_DISK_TYPE_DYNAMIC;
  } else if (type != "raw") {
    call.UsageError("--type \"" + type + "\": expected fixed, dynamic or raw");
    return false;
  }
  if (call.args.Has("--block-size") && parameters->diskType != VHD_DISK_TYPE_DYNAMIC) {
    call.UsageError("--block-size applies to dynamic images only");
    return false;
  }
  return call.SizeOption("--block-size", &parameters->blockSize);
}

// Copies the source's disk into the target, leaving out pieces of zeros.
// False after the error line; *done is how far the copy got.
bool Copy(Side *source, Side *target, const CommandIo &io, uint64_t *done, bool *interrupted) {
  const uint64_t size = source->Size();
  TransferBuffer buffer(kTransferSize);
  InterruptGuard interrupt;
  Progress progress(io.err, "converting", size);
  for (uint64_t offset = 0; offset < size;) {
    uint32_t chunk = TransferChunk(offset, size - offset);
    if (!source->Read(offset, buffer.data(), chunk)) {
      return false;
    }
    // Runs of pieces that hold data, each written in one request.
    for (uint32_t start = 0; start < chunk;) {
      uint32_t piece = std::min(kZeroPiece, chunk - start);
      if (AllZero(buffer.data() + start, piece)) {
        start += piece;
        continue;
      }
      uint32_t end = start + piece;
      while (end < chunk) {
        uint32_t next = std::min(kZeroPiece, chunk - end);
        if (AllZero(buffer.data() + end, next)) {
          break;
        }
        end += next;
      }
      if (!target->Write(offset + start, buffer.data() + start, end - start)) {
        return false;
      }
      start = end;
    }
    offset += chunk;
    *done = offset;
    progress.Update(offset);
    if (interrupt.Requested() && offset < size) {
      *interrupted = true;
      return false;
    }
  }
  return true;
}

}  // namespace

int RunConvert(const CommandCall &call) {
  const std::string &sourcePath = call.args.positional[0];
  const std::string &targetPath = call.args.positional[1];
  NewImageParameters parameters;
  if (!ReadTargetKind(call, targetPath, &parameters)) {
    return kExitUsage;
  }
  if (NameTaken(targetPath)) {
    ReportError(call.io.err, targetPath, "cannot convert",
                "the target exists; convert makes a new file");
    return kExitFailure;
  }
  if (parameters.diskType != 0) {
    std::string unopenable = UnopenableName(targetPath);
    if (!unopenable.empty()) {
      ReportError(call.io.err, targetPath, "cannot create image", unopenable);
      return kExitFailure;
    }
  }

  Side source(sourcePath, call.io);
  if (!source.OpenSource()) {
    return kExitFailure;
  }
  // Images hold whole sectors: a raw file's last part sector is filled
  // with zeros.
  parameters.size = source.Size();
  if (parameters.diskType != 0) {
    parameters.size = (parameters.size + VHD_SECTOR_SIZE - 1) / VHD_SECTOR_SIZE * VHD_SECTOR_SIZE;
  }
  Side target(targetPath, call.io);
  uint64_t done = 0;
  bool interrupted = false;
  if (!target.CreateTarget(parameters) ||
      !Copy(&source, &target, call.io, &done, &interrupted) || !target.Flush()) {
    target.Remove();
    if (interrupted) {
      ReportError(call.io.err, targetPath, "interrupted",
                  "copied " + std::to_string(done) + " of " + std::to_string(source.Size()) +
                      " bytes of " + sourcePath + "; the incomplete target was removed");
    }
    return kExitFailure;
  }
  return 0;
}

}  // namespace dorvane
