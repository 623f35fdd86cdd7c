// dorvane write: bytes from standard input or a file into the virtual disk.
// The whole input must fit between the offset and the end of the disk; that is
// checked before the first byte is written, so a refused write changes
// nothing. Input of unknown length (a pipe, a terminal) is first copied to an
// unlinked temporary file to learn its length.
#include "tools/commands/command_disk.h"
#include "tools/commands/command_line.h"
#include "tools/commands/progress.h"
#include "tools/disk/errors.h"
#include "tools/disk/file_descriptor.h"
#include "tools/disk/plain_files.h"
#include "tools/disk/transfer_size.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace dorvane {

namespace {

// Reads until length bytes or the end of the input; the count read, or -1.
ssize_t ReadFull(int fd, uint8_t *buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = read(fd, buffer + done, length - done);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return -1;
    }
    if (got == 0) {
      break;
    }
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// TooLong leaves *length at the input's length, or at 0 when only a part of
// it was read.
enum class Measure { Fits, TooLong, Failed };

// Copies the input into an unlinked temporary file, at most limit + 1 bytes:
// one byte more than fits is enough to refuse. On success *input reads the copy
// from its start and *length is its length.
Measure SpoolInput(FileDescriptor *input, uint64_t limit, uint64_t *length, std::string *error) {
  std::string folder;
  FileDescriptor copy(OpenTemporaryFile(&folder));
  if (!copy.IsOpen()) {
    *error = ErrnoText("cannot make a temporary file in " + folder, errno);
    return Measure::Failed;
  }

  std::vector<uint8_t> buffer(kTransferSize);
  uint64_t total = 0;
  for (;;) {
    ssize_t got = ReadFull(input->Get(), buffer.data(), buffer.size());
    if (got < 0) {
      *error = ErrnoText("cannot read input", errno);
      return Measure::Failed;
    }
    if (got == 0) {
      break;
    }
    total += static_cast<uint64_t>(got);
    if (total > limit) {
      *length = 0;
      return Measure::TooLong;
    }
    if (!WriteBytes(copy.Get(), buffer.data(), static_cast<size_t>(got))) {
      *error = ErrnoText("cannot copy input to a temporary file", errno);
      return Measure::Failed;
    }
  }
  if (lseek(copy.Get(), 0, SEEK_SET) != 0) {
    *error = ErrnoText("cannot read back the temporary copy of the input", errno);
    return Measure::Failed;
  }
  *input = std::move(copy);
  *length = total;
  return Measure::Fits;
}

// The input's length: a regular file's remaining bytes, else a spooled copy's.
Measure MeasureInput(FileDescriptor *input, uint64_t limit, uint64_t *length,
                     std::string *error) {
  int64_t fileLength = PlainFileLength(input->Get());
  if (KindOfFile(input->Get()) == PathKind::kRegular && fileLength >= 0) {
    int64_t position = PlainFilePosition(input->Get());
    uint64_t start = position > 0 ? static_cast<uint64_t>(position) : 0;
    uint64_t fileSize = static_cast<uint64_t>(fileLength);
    *length = fileSize > start ? fileSize - start : 0;
    return *length > limit ? Measure::TooLong : Measure::Fits;
  }
  return SpoolInput(input, limit, length, error);
}


}  // namespace

int RunWrite(const CommandCall &call) {
  uint64_t offset = 0;
  if (!call.RequiredSizeOption("--offset", &offset)) {
    return kExitUsage;
  }

  FileDescriptor input(call.io.in, false);
  std::string inputName = "standard input";
  if (call.args.Has("--input") && call.args.Value("--input") != "-") {
    inputName = call.args.Value("--input");
    input = FileDescriptor(OpenPlainFile(inputName, O_RDONLY));
    if (!input.IsOpen()) {
      ReportError(call.io.err, inputName, "cannot open input", std::strerror(errno));
      return kExitFailure;
    }
  }

  const std::string &image = call.Image();
  CommandDisk disk(image, call.io);
  if (!disk.OpenAt(true, offset)) {
    return kExitFailure;
  }
  uint64_t size = disk.Size();
  uint64_t length = 0;
  std::string error;
  switch (MeasureInput(&input, size - offset, &length, &error)) {
    case Measure::Fits:
      break;
    case Measure::TooLong:
      return disk.Fail("cannot write",
                       (length > 0 ? std::to_string(length) + " bytes" : std::string("the input")) +
                           " at offset " + std::to_string(offset) +
                           " would run past the end of the disk (" + std::to_string(size) +
                           " bytes): only " + std::to_string(size - offset) +
                           " bytes fit; nothing was written");
    case Measure::Failed:
      ReportError(call.io.err, inputName, "cannot write to " + image,
                  error + "; nothing was written");
      return kExitFailure;
  }

  // Requests break only at multiples of kTransferSize on the disk: every
  // sector, and every block of the default size, is written whole by one
  // request, whatever the offset.
  TransferBuffer buffer(static_cast<size_t>(length < kTransferSize ? length : kTransferSize));
  InterruptGuard interrupt;
  Progress progress(call.io.err, "writing", length);
  const uint64_t total = length;
  while (length > 0) {
    size_t want = TransferChunk(offset, length);
    ssize_t got = ReadFull(input.Get(), buffer.data(), want);
    if (got < 0) {
      ReportError(call.io.err, inputName, "cannot read input",
                  std::string(std::strerror(errno)) + "; the disk holds the input up to offset " +
                      std::to_string(offset));
      return kExitFailure;
    }
    if (got == 0) {
      break;  // the file was cut short while we read it
    }
    uint32_t transferred = 0;
    std::string where = "cannot write at offset " + std::to_string(offset);
    if (!disk.Succeeded(
            disk.WriteDisk(offset, buffer.data(), static_cast<uint32_t>(got), &transferred),
            where)) {
      return kExitFailure;
    }
    if (transferred != static_cast<uint32_t>(got)) {
      return disk.Fail(where, "the disk took " + std::to_string(transferred) + " of " +
                                  std::to_string(got) + " bytes");
    }
    offset += transferred;
    length -= transferred;
    progress.Update(total - length);
    if (length > 0 && interrupt.Requested()) {
      progress.Finish();
      ReportError(call.io.err, image, "interrupted",
                  "wrote " + std::to_string(total - length) + " of " + std::to_string(total) +
                      " bytes; the disk holds the input up to offset " + std::to_string(offset) +
                      ", the rest was not written");
      disk.Flush();
      return kExitFailure;
    }
  }
  progress.Finish();
  return disk.Flush();
}

}  // namespace dorvane
